"""sarnio's types: mypy's stubtest agrees with the installed package, the
native stub names the parameters nanobind reports, and a typed program
using the package passes mypy --strict while a wrong call does not."""

import ast
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

import sarnio  # noqa: E402 (only once mypy is known to be there)
import sarnio._native  # noqa: E402


def run(tmp_path, *args):
    # From an empty folder, so that only the installed package answers.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)


def test_stubtest_accepts_the_package(tmp_path):
    allowlist = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    done = run(tmp_path, "mypy.stubtest", "sarnio", "--mypy-config-file", str(tmp_path / "none.ini"),
               "--allowlist", str(allowlist))
    assert done.returncode == 0, done.stdout + done.stderr


REPO = pathlib.Path(__file__).resolve().parents[2]


def test_the_native_stub_in_the_tree_is_the_generated_one():
    """The build generates sarnio._native's stub from the module itself; the
    copy kept in the tree must be that stub, or it has drifted from the
    binding (regenerate it: install, then copy sarnio/_native.pyi)."""
    installed = pathlib.Path(sarnio.__file__).with_name("_native.pyi").read_text()
    kept = (REPO / "src" / "sarnio_native" / "_native.pyi").read_text()
    assert installed == kept
    # Every public name of the module is typed, its classes and enums too.
    tree = ast.parse(installed)
    typed = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    typed |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert {name for name in dir(sarnio._native) if not name.startswith("__")} <= typed


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
