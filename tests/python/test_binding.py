"""Argument binding and conversion at the module's boundary: every bad call
gets the exact TypeError text, and good calls bind by position or keyword."""

import pathlib

import pytest

import sarn_fileformat as sarn


class Outer:
    class Inner:
        pass


class StrPath(str):
    pass


MISSING = "/nonexistent-dir/missing.sarn"

BAD_CALLS = [
    # (call, message)
    (lambda: sarn.get_sarn_info(), "get_sarn_info() missing 1 required positional argument: 'sarn_path'"),
    (lambda: sarn.get_sarn_info("a", "b"), "get_sarn_info() takes 1 positional arguments but 2 were given"),
    (lambda: sarn.get_sarn_info("a", "b", "c"), "get_sarn_info() takes 1 positional arguments but 3 were given"),
    (lambda: sarn.get_sarn_info("a", sarn_path="b"), "get_sarn_info() got multiple values for argument 'sarn_path'"),
    (lambda: sarn.get_sarn_info(path="a"), "get_sarn_info() got an unexpected keyword argument 'path'"),
    (lambda: sarn.get_sarn_info(5), "argument 'sarn_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: sarn.get_sarn_info(pathlib.Path("x")),
     "argument 'sarn_path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda: sarn.get_sarn_info(b"x"), "argument 'sarn_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: sarn.get_sarn_info(None), "argument 'sarn_path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: sarn.get_sarn_info(Outer.Inner()),
     "argument 'sarn_path': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda: sarn.PySarnReader(), "PySarnReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda: sarn.PySarnReader("a", "b"), "PySarnReader.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: sarn.PySarnWriter(path="x", mode="w"), "PySarnWriter.__new__() got an unexpected keyword argument 'mode'"),
    (lambda: sarn.PySarnWriter("x", path="y"), "PySarnWriter.__new__() got multiple values for argument 'path'"),
    (lambda: sarn.PySarnReader(5), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: sarn.PySarnWriter(pathlib.Path("x")), "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    # Binding ends at the first offending keyword, in the order given.
    (lambda: sarn.PySarnWriter(mode="w", path="x", other=1), "PySarnWriter.__new__() got an unexpected keyword argument 'mode'"),
    # Too many positionals is reported before any keyword problem.
    (lambda: sarn.get_sarn_info("a", "b", nope=1), "get_sarn_info() takes 1 positional arguments but 2 were given"),
]

BAD_CALLS += [
    (lambda: sarn.compress_csv("a.csv"), "compress_csv() missing 1 required positional argument: 'sarn_path'"),
    (lambda: sarn.compress_csv(),
     "compress_csv() missing 2 required positional arguments: 'csv_path' and 'sarn_path'"),
    (lambda: sarn.compress_csv(sarn_path="o"), "compress_csv() missing 1 required positional argument: 'csv_path'"),
    (lambda: sarn.compress_csv("a", "b", csv_path="c"), "compress_csv() got multiple values for argument 'csv_path'"),
    (lambda: sarn.compress_csv("a", 7), "argument 'sarn_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: sarn.PySarnWriter("o").write_csv(), "PySarnWriter.write_csv() missing 1 required positional argument: 'csv_path'"),
    (lambda: sarn.PySarnWriter("o").write_csv("a", "b"),
     "PySarnWriter.write_csv() takes 1 positional arguments but 2 were given"),
    (lambda: sarn.PySarnWriter("o").write_csv(path="a"),
     "PySarnWriter.write_csv() got an unexpected keyword argument 'path'"),
]


@pytest.mark.parametrize("call,message", BAD_CALLS)
def test_bad_calls_raise_exact_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_keyword_and_positional_binding_agree(tmp_path):
    p = tmp_path / "f.bin"
    p.write_bytes(b"12345")
    expected = (5, "1.1.2", 0)
    assert sarn.get_sarn_info(str(p)) == expected
    assert sarn.get_sarn_info(sarn_path=str(p)) == expected
    assert sarn.PySarnWriter(path=str(p)).get_info() == expected
    assert sarn.PySarnReader(StrPath(str(p))).read_file() == (5, "1.1.2")


def test_text_without_utf8_form_passes_the_encoding_error_through():
    with pytest.raises(UnicodeEncodeError):
        sarn.get_sarn_info("bad\udc80name")
    with pytest.raises(UnicodeEncodeError):
        sarn.PySarnReader("\ud800")


def test_methods_refuse_arguments_and_foreign_receivers():
    reader = sarn.PySarnReader(MISSING)
    with pytest.raises(TypeError):
        reader.read_file(1)
    with pytest.raises(TypeError):
        sarn.PySarnReader.read_file(sarn.PySarnWriter(MISSING))
    with pytest.raises(TypeError):
        sarn.PySarnWriter.get_info(object())


def test_non_ascii_paths_round_trip(tmp_path):
    p = tmp_path / "données-✓.bin"
    p.write_bytes(b"x" * 7)
    assert sarn.get_sarn_info(str(p)) == (7, "1.1.2", 0)


# Fails the n-th allocation of the interpreter's allocators, for every n up to
# LAST, around each call that builds a result; then repeats the whole sweep
# and counts the memory blocks still allocated.  A result built half-way (an
# int made, then the next item or the tuple refused) must raise the
# interpreter's MemoryError and give back every object it had made.
FAILED_ALLOCATIONS = """
    import gc, sys, _testcapi
    import sarn_fileformat as sarn

    path = sys.argv[1]
    reader, writer = sarn.PySarnReader(path), sarn.PySarnWriter(path)
    monitor = sarn.PyPerformanceMonitor()
    monitor.record_read(123456789, 2.5)
    calls = [lambda: sarn.get_sarn_info(path), reader.read_file, reader.get_compression_stats,
             writer.get_info, monitor.get_metrics_dict, monitor.get_metrics]
    LAST = 40

    def sweep(outcomes):
        for call in calls:
            for n in range(LAST):
                _testcapi.set_nomemory(n, n + 1)
                try:
                    call()
                    outcome = "ok"
                except MemoryError:
                    outcome = "MemoryError"
                except BaseException as e:
                    outcome = type(e).__name__
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add(outcome)

    outcomes = set()
    for _ in range(3):  # fills the interpreter's free lists and caches
        sweep(outcomes)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(50):
        sweep(outcomes)
    gc.collect()
    print(sorted(outcomes), sys.getallocatedblocks() - before)
"""


def test_a_result_that_cannot_be_built_leaks_nothing(tmp_path):
    import subprocess
    import sys
    import textwrap

    p = tmp_path / "f.bin"
    p.write_bytes(b"x" * 70000)  # a size beyond the cached small ints
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(FAILED_ALLOCATIONS), str(p)],
                          capture_output=True, text=True, timeout=300)
    if "No module named '_testcapi'" in proc.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert proc.returncode == 0, proc.stderr
    outcomes, growth = proc.stdout.rsplit("]", 1)
    # Some sweeps succeed, some fail in the interpreter's allocator: only
    # MemoryError may come out, never an internal fault.
    assert outcomes + "]" == "['MemoryError', 'ok']", proc.stderr
    # 50 sweeps over six calls: a leak of one object per failed result would
    # leave hundreds of blocks behind.
    assert int(growth) < 50, proc.stdout
