"""What `import sarn_fileformat` creates: attributes in order, doc strings in
signature form, heap types named builtins.<Class>, one module object."""

import subprocess
import sys
import textwrap

import sarn_fileformat as sarn

EXPECTED_ALL = [
    "__version__",
    "__doc__",
    "__author__",
    "compress_csv",
    "get_sarn_info",
    "PySarnWriter",
    "PySarnReader",
    "PyPerformanceMonitor",
]


def test_attributes_in_order():
    assert sarn.__all__ == EXPECTED_ALL
    assert sarn.__version__ == "1.1.2"
    assert sarn.__doc__ == (
        "Sarn Binary Format - Complete 8-language ecosystem for efficient data storage and querying\n\n"
        "Version 1.1.2: Full Python bindings with compression and reading support"
    )
    assert len(sarn.__doc__) == 164
    assert isinstance(sarn.__author__, str) and sarn.__author__


def test_function_signatures_and_docs():
    f = sarn.get_sarn_info
    assert f.__text_signature__ == "(sarn_path)"
    assert f.__doc__ == "Get SARN file information"
    assert f.__module__ == "sarn_fileformat"
    assert f.__name__ == "get_sarn_info"
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__self__ is sarn


def test_classes():
    for cls, doc in ((sarn.PySarnReader, "SarnReader Python wrapper"), (sarn.PySarnWriter, "SarnWriter Python wrapper")):
        assert cls.__doc__ == doc
        assert cls.__text_signature__ == "(path)"
        assert cls.__module__ == "builtins"
        assert cls.__bases__ == (object,)
        assert not hasattr(cls(""), "__dict__")
        assert not hasattr(cls(""), "path")
    for method in (sarn.PySarnReader.read_file, sarn.PySarnReader.get_compression_stats, sarn.PySarnWriter.get_info):
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ is None
    assert [m for m in vars(sarn.PySarnReader) if not m.startswith("__")] == ["read_file", "get_compression_stats"]
    writer_methods = [m for m in vars(sarn.PySarnWriter) if not m.startswith("__")]
    assert writer_methods[-1] == "get_info"


def test_reimport_gives_the_same_module():
    import importlib

    first = sys.modules["sarn_fileformat"]
    del sys.modules["sarn_fileformat"]
    try:
        second = importlib.import_module("sarn_fileformat")
    finally:
        sys.modules["sarn_fileformat"] = first
    assert second is first
    assert importlib.reload(first) is first


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_second_interpreter_is_refused():
    proc = run_python(
        """
        import sarn_fileformat
        import _testcapi
        code = "import sarn_fileformat"
        rc = _testcapi.run_in_subinterp(code)
        print("rc", rc)
        """
    )
    if "No module named '_testcapi'" in proc.stderr:
        import pytest

        pytest.skip("this interpreter has no _testcapi")
    assert "rc -1" in proc.stdout, proc.stderr
    assert "ImportError" in proc.stderr and "sub-interpreters" in proc.stderr



def test_internal_faults_are_panic_exceptions_outside_exception():
    # A progress line that cannot be written is an internal fault: it must
    # escape `except Exception` handlers and name itself.
    code = """
        import sys, sarn_fileformat as sarn
        try:
            try:
                sarn.compress_csv(sys.argv[1], sys.argv[2])
            except Exception:
                print("caught as Exception")
        except BaseException as e:
            t = type(e)
            print(t.__name__, t.__module__, t.__mro__[1].__name__, e.args)
    """
    import os
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        csv = os.path.join(d, "in.csv")
        with open(csv, "w") as f:
            f.write("a\n1\n")
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(code), csv, os.path.join(d, "o.sarn")],
                stdout=subprocess.PIPE,
                stderr=full,
                text=True,
                timeout=60,
            )
    assert proc.stdout.strip() == (
        "PanicException sarn_fileformat BaseException "
        "('failed printing to stderr: No space left on device (os error 28)',)"
    )
