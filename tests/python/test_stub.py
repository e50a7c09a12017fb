"""The type stub installed with the module: mypy must find it, accept a
typed program that uses the whole surface, refuse calls the module refuses,
and agree with the module itself on every name and parameter."""

import pathlib
import re
import shutil
import subprocess
import sys


HERE = pathlib.Path(__file__).resolve().parent


def run_mypy(tmp_path, *args):
    # Runs in an empty folder, so that only the installed stub can answer
    # `import sarn_fileformat`, never a file of the source tree.
    cmd = [sys.executable, "-m", "mypy", "--python-executable", sys.executable,
           "--cache-dir", str(tmp_path / "cache"), "--no-error-summary",
           "--show-error-codes", *args]
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_typed_usage_passes_strict_mypy(tmp_path):
    shutil.copy(HERE / "typed_usage.py", tmp_path)
    done = run_mypy(tmp_path, "--strict", "typed_usage.py")
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip() == ""


def test_refused_calls_are_type_errors(tmp_path):
    source = HERE / "typed_usage_errors.py"
    shutil.copy(source, tmp_path)
    lines = source.read_text().splitlines()
    expected = {n for n, line in enumerate(lines, 1) if line.rstrip().endswith("# error")}
    assert len(expected) > 10

    done = run_mypy(tmp_path, "--strict", "typed_usage_errors.py")
    assert done.returncode == 1, done.stdout + done.stderr
    reported = {int(m.group(1)) for m in
                re.finditer(r"^typed_usage_errors\.py:(\d+): error:", done.stdout, re.M)}
    assert "import-not-found" not in done.stdout
    missed = sorted(expected - reported)
    extra = sorted(reported - expected)
    assert not missed and not extra, (
        f"not flagged: {[lines[n - 1].strip() for n in missed]}\n"
        f"flagged unexpectedly: {[lines[n - 1].strip() for n in extra]}\n{done.stdout}")


def test_stub_matches_the_module():
    # stubtest imports the real module and compares it with the stub: every
    # function, class, method and parameter (name, kind, default) on either
    # side must exist on the other.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "sarn_fileformat"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
