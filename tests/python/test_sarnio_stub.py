"""sarnio's types: mypy's stubtest agrees with the installed package, the
native stub names the parameters nanobind reports, and a typed program
using the package passes mypy --strict while a wrong call does not."""

import ast
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

import sarnio
import sarnio._native


def run(tmp_path, *args):
    # From an empty folder, so that only the installed package answers.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)


def test_stubtest_accepts_the_package(tmp_path):
    done = run(tmp_path, "mypy.stubtest", "sarnio", "--mypy-config-file", str(tmp_path / "none.ini"))
    assert done.returncode == 0, done.stdout + done.stderr


def stub_parameters():
    """Parameter names of each native function, from the installed stub."""
    source = (sarnio.__file__.rsplit("/", 1)[0] + "/_native.pyi")
    tree = ast.parse(open(source).read())
    protocols = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            call = next((n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__call__"), None)
            if call is not None:  # a function's protocol; classes are stubtest's to check
                protocols[node.name] = [a.arg for a in call.args.args[1:]]
    return {node.target.id: protocols[node.annotation.id]
            for node in tree.body if isinstance(node, ast.AnnAssign) and node.annotation.id in protocols}


def test_native_stub_names_every_function_and_parameter():
    stub = stub_parameters()
    runtime = {name for name in dir(sarnio._native) if callable(getattr(sarnio._native, name))
               and not name.startswith("_")}
    assert set(stub) == runtime
    for name, params in stub.items():
        obj = getattr(sarnio._native, name)
        if isinstance(obj, type):  # a class: its constructor's parameters, after self
            text = obj.__init__.__nb_signature__[0][0]
            inside = re.match(r"def __init__\(self(?:, )?(.*)\) ->", text).group(1)
        else:
            text = obj.__nb_signature__[0][0]
            inside = re.match(rf"def {name}\((.*)\) ->", text).group(1)
        names = [p.split(":")[0].strip() for p in inside.split(",") if p.strip() not in ("", "/")]
        assert names == params, name


def test_typed_use_passes_strict_mypy(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""
        import pathlib
        import sarnio

        def progress(done: int, total: int) -> None:
            pass

        r: sarnio.CompressResult = sarnio.compress_csv(pathlib.Path("a.csv"), "b.sarn", threads=2,
                                                       progress=progress)
        saved: float = r.saved_percent
        rows: int = r.rows
        seconds: float = r.seconds
        try:
            sarnio.compress_csv("a.csv", "b.sarn")
        except sarnio.SarnError as e:
            error: ValueError = e
    """))
    (tmp_path / "wrong.py").write_text(textwrap.dedent("""
        import sarnio
        sarnio.compress_csv(1, "b.sarn")
        sarnio.compress_csv("a.csv", "b.sarn", threads="2")
        sarnio.compress_csv("a.csv", "b.sarn", progress=lambda: None)
        x: str = sarnio.compress_csv("a.csv", "b.sarn").rows
    """))
    ok = run(tmp_path, "mypy", "--strict", "--python-executable", sys.executable, "use.py")
    assert ok.returncode == 0, ok.stdout + ok.stderr
    wrong = run(tmp_path, "mypy", "--strict", "--python-executable", sys.executable, "wrong.py")
    flagged = {int(n) for n in re.findall(r"^wrong\.py:(\d+): error", wrong.stdout, re.M)}
    assert flagged == {3, 4, 5, 6}, wrong.stdout
