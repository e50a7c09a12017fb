"""Writers under concurrency, kills, changing inputs and odd names:

- two module writers of one output: the second fails with OSError at once,
  the first finishes a sound container; two replacing writers both finish
  soundly (the last rename wins);
- a writer killed with SIGKILL leaves no temporary file where the file
  system allows unnamed files, and whatever a killed run left under a name
  is removed by the next run on the same output, never a live writer's;
- an input file that shrinks or grows while it is compressed fails the
  everyday front ends with OSError, the earlier output kept;
- odd outputs and names: a folder removed under a job is reported as the
  output, never a hidden temporary name; `sarn` prints file names with
  control characters escaped; a dangling link as output creates its target;
  a file name that is not UTF-8 works in every entry.
"""

import contextlib
import errno
import fcntl
import os
import pathlib
import signal
import subprocess
import shutil
import sys
import time

import pytest

import sarn_fileformat
import sarnio
from process_files import read_position, written_beside

SARN = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(sys.executable).with_name("sarn"))
CHUNK = 65536


def rows(start, stop):
    return "".join(f"{i},name {i * 7919 % 1000003}\n" for i in range(start, stop))


def wait_for(condition, proc, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert proc.poll() is None, f"the writer ended before {what}: {proc.communicate()}"
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


def python_writer(code, *args):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def sound(path, expected_rows):
    with sarnio.open(path) as f:
        f.verify()
        assert f.num_rows == expected_rows
        return f.read()


@contextlib.contextmanager
def fifo_writer(path, reader):
    """The writing end of the FIFO at `path` (made before `reader` started),
    opened once the process `reader` opens the other end (a reader that ends
    first fails the test rather than leave it waiting for ever)."""
    deadline = time.monotonic() + 60
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as e:
            if e.errno != errno.ENXIO:
                raise
        assert reader.poll() is None, f"the reader ended before it opened {path}: {reader.communicate()}"
        assert time.monotonic() < deadline, f"timed out waiting for a reader of {path}"
        time.sleep(0.005)
    os.set_blocking(fd, True)
    with open(fd, "w") as w:
        yield w


# ---- two writers of one output ------------------------------------------------------------------


@pytest.mark.parametrize("entry", ["compress_csv", "PySarnWriter.write_csv"])
def test_a_second_module_writer_fails_and_the_first_finishes_soundly(tmp_path, capfd, entry):
    fifo, out, other = tmp_path / "in.fifo", tmp_path / "out.sarn", tmp_path / "other.csv"
    os.mkfifo(fifo)
    other.write_text("x\n1\n")
    first = python_writer("import sys, sarn_fileformat; print(sarn_fileformat.compress_csv(sys.argv[1], sys.argv[2]))",
                          fifo, out)
    with fifo_writer(fifo, first) as w:
        # The first writer holds the output from its creation on: while it
        # waits for more rows, a second one comes.
        w.write("id,name\n" + rows(0, CHUNK + 5))
        w.flush()
        wait_for(out.exists, first, "the output was created")
        capfd.readouterr()
        with pytest.raises(OSError) as refused:
            if entry == "compress_csv":
                sarn_fileformat.compress_csv(str(other), str(out))
            else:
                sarn_fileformat.PySarnWriter(str(out)).write_csv(str(other))
        message = f"Cannot create {out}: another writer is writing it (os error 11)"
        assert refused.value.args == (message,)  # the module's one-argument OSError
        # Refused where the module creates its output: after the Columns line.
        assert capfd.readouterr().err.endswith(">>> Columns (1): x\n")
        w.write(rows(CHUNK + 5, 2 * CHUNK + 9))
    _, err = first.communicate(timeout=120)
    assert first.returncode == 0, err.decode()
    table = sound(out, 2 * CHUNK + 9)
    assert table["id"][-1] == str(2 * CHUNK + 8)
    # The path is free once the first writer is done.
    sarn_fileformat.compress_csv(str(other), str(out))
    assert sound(out, 1) == {"x": ["1"]}


@pytest.mark.parametrize("writer", ["sarnio", "sarn"])
def test_two_replacing_writers_both_finish_and_the_last_rename_wins(tmp_path, writer):
    fifo, out, other = tmp_path / "in.fifo", tmp_path / "out.sarn", tmp_path / "other.csv"
    os.mkfifo(fifo)
    other.write_text("x\n1\n")
    if writer == "sarnio":
        first = python_writer("import sys, sarnio; sarnio.compress_csv(sys.argv[1], sys.argv[2])", fifo, out)
    else:
        first = subprocess.Popen([str(SARN), "compress", "--quiet", str(fifo), str(out)], stderr=subprocess.PIPE)
    with fifo_writer(fifo, first) as w:
        w.write("id,name\n" + rows(0, CHUNK + 5))
        w.flush()
        wait_for(lambda: written_beside(first.pid, tmp_path) is not None, first, "the temporary file was made")
        sarnio.compress_csv(str(other), str(out))
        assert sound(out, 1) == {"x": ["1"]}
        w.write(rows(CHUNK + 5, 2 * CHUNK))
    _, err = first.communicate(timeout=120)
    assert first.returncode == 0, err.decode()
    sound(out, 2 * CHUNK)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo", "other.csv", "out.sarn"]


# ---- killed writers -----------------------------------------------------------------------------


def unnamed_files(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600))
    except OSError:
        return False
    return os.access("/proc/self/fd", os.X_OK)


@pytest.mark.parametrize("writer", ["sarnio", "sarn", "module"])
def test_a_killed_writer_leaves_no_temporary_file(tmp_path, writer):
    if writer != "module" and not unnamed_files(tmp_path):
        pytest.skip("the file system has no unnamed files; the next run removes what is left (tested below)")
    fifo, out = tmp_path / "in.fifo", tmp_path / "out.sarn"
    os.mkfifo(fifo)
    out.write_bytes(b"precious")
    if writer == "sarnio":
        proc = python_writer("import sys, sarnio; sarnio.compress_csv(sys.argv[1], sys.argv[2], threads=1)", fifo,
                             out)
    elif writer == "sarn":
        proc = subprocess.Popen([str(SARN), "compress", "--quiet", "--threads", "1", str(fifo), str(out)])
    else:
        proc = python_writer("import sys, sarn_fileformat; sarn_fileformat.compress_csv(sys.argv[1], sys.argv[2])",
                             fifo, out)
    with fifo_writer(fifo, proc) as w:
        w.write("id,name\n" + rows(0, 12 * CHUNK))
        w.flush()
        # Killed with a few chunks written (the writer's buffer is 1 MiB).
        wait_for(lambda: (written_beside(proc.pid, tmp_path, skip=[fifo]) or 0) >= 1 << 20, proc,
                 "a few chunks were written")
        proc.kill()
        proc.wait()
    left = sorted(p.name for p in tmp_path.iterdir())
    if writer == "module":
        # The module writes its output in place and leaves it partial.
        assert left == ["in.fifo", "out.sarn"] and out.read_bytes()[:4] == b"SARN"
    else:
        assert left == ["in.fifo", "out.sarn"]
        assert out.read_bytes() == b"precious"


def leftovers(folder):
    """Files as a killed run leaves them: a container, a Dask job's marker and
    its chunks; another output's file of the same kind; and one held by a
    live writer, which must stay."""
    made = {
        ".out.sarn.partial-Kild01": b"x" * 5000,
        ".out.sarn.partial-Kild02": b"",
        ".out.sarn.partial-Kild02.0.chunks": b"x" * 7000,
        ".out.sarn.partial-Kild02.13.chunks": b"x" * 3000,
        ".other.sarn.partial-Kild03": b"other output's",
        ".out.sarn.partial-Live04": b"a live writer's",
    }
    for name, data in made.items():
        (folder / name).write_bytes(data)
    live = os.open(folder / ".out.sarn.partial-Live04", os.O_RDONLY)
    fcntl.flock(live, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return live


@pytest.mark.parametrize("writer", ["sarnio", "sarn", "dask"])
def test_the_next_run_removes_what_killed_runs_left(tmp_path, writer):
    csv, out = tmp_path / "in.csv", tmp_path / "out.sarn"
    csv.write_text("id,name\n" + rows(0, 10))
    live = leftovers(tmp_path)
    try:
        if writer == "sarnio":
            sarnio.compress_csv(csv, out)
        elif writer == "sarn":
            subprocess.run([str(SARN), "compress", "--quiet", str(csv), str(out)], check=True)
        else:
            dask = pytest.importorskip("dask")
            sarnio_dask = pytest.importorskip("sarnio.dask")
            with dask.config.set(scheduler="sync"):
                sarnio_dask.compress_csv(csv, out)
    finally:
        os.close(live)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        ".other.sarn.partial-Kild03", ".out.sarn.partial-Live04", "in.csv", "out.sarn"]
    assert sound(out, 10)["id"] == [str(i) for i in range(10)]


def test_a_killed_dask_job_leaves_only_what_the_next_job_removes(tmp_path):
    pytest.importorskip("dask")
    csv, out = tmp_path / "in.csv", tmp_path / "out.sarn"
    with open(csv, "w") as f:
        f.write("id,name\n")
        for k in range(24):
            f.write(rows(k * CHUNK, (k + 1) * CHUNK))
    code = ("import sys, dask, sarnio.dask\n"
            "with dask.config.set(scheduler='sync'):\n"
            "    sarnio.dask.compress_csv(sys.argv[1], sys.argv[2], blocksize='4 MiB')\n")
    job = python_writer(code, csv, out)
    # Killed while it encodes: its chunk files cannot be unnamed (other tasks
    # read them), so they and its marker stay.
    wait_for(lambda: any(p.name.endswith(".chunks") for p in tmp_path.iterdir()), job, "chunks were spilled")
    job.kill()
    job.wait()
    left = {p.name: p.stat().st_size for p in tmp_path.iterdir() if p.name.startswith(".")}
    assert any(name.endswith(".chunks") for name in left) and len(left) >= 2
    import dask
    import sarnio.dask

    with dask.config.set(scheduler="sync"):
        result = sarnio.dask.compress_csv(csv, out, blocksize="4 MiB")
    assert result.rows == 24 * CHUNK
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn"]


# ---- inputs that change while they are compressed -----------------------------------------------


@pytest.fixture(scope="module")
def big_input():
    """About 32 MiB of rows: long enough to catch a writer half-way."""
    block = rows(0, 1 << 16)
    return ("id,name\n" + block * (32 * 2**20 // len(block) + 1)).encode()


def start_writer(writer, csv, out):
    if writer == "sarn":
        return subprocess.Popen([str(SARN), "compress", "--quiet", str(csv), str(out)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    threads = 1 if writer == "sarnio, 1 thread" else 2
    code = ("import sys, sarnio\n"
            "try:\n"
            f"    sarnio.compress_csv(sys.argv[1], sys.argv[2], threads={threads})\n"
            "except Exception as e:\n"
            "    print(type(e).__name__, e, file=sys.stderr)\n"
            "    sys.exit(3)\n")
    return python_writer(code, csv, out)


def stopped_half_way(writer, csv, out, data):
    """A writer stopped (SIGSTOP) with its input read part of the way: the
    process and the offset reached.  A writer that got too far before it
    could be stopped is let go and tried again."""
    for _ in range(5):
        csv.write_bytes(data)
        proc = start_writer(writer, csv, out)
        deadline = time.monotonic() + 60
        while not read_position(proc.pid, csv) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        os.kill(proc.pid, signal.SIGSTOP)
        reached = read_position(proc.pid, csv)
        if reached and reached < len(data) - (4 << 20):
            return proc, reached
        os.kill(proc.pid, signal.SIGCONT)
        proc.communicate(timeout=120)
        out.write_bytes(b"earlier")
    pytest.fail("the writer could not be stopped half-way through its input")


@pytest.mark.parametrize("writer", ["sarnio, 1 thread", "sarnio, 2 threads", "sarn"])
@pytest.mark.parametrize("change", ["shrinks", "grows"])
def test_an_input_that_changes_while_compressed_fails_and_keeps_the_output(tmp_path, big_input, writer, change):
    csv, out = tmp_path / "in.csv", tmp_path / "out.sarn"
    out.write_bytes(b"earlier")
    proc, reached = stopped_half_way(writer, csv, out, big_input)
    size = len(big_input)
    try:
        if change == "shrinks":
            cut = (reached + size) // 2 + 3  # through a line: its first half would be a torn row
            os.truncate(csv, cut)
            how = f"it ended after {cut} bytes, before the {size} it had when opened"
        else:
            with open(csv, "ab") as f:
                f.write(rows(10**7, 10**7 + 1000).encode())
            how = f"it grew past the {size} bytes it had when opened"
    finally:
        os.kill(proc.pid, signal.SIGCONT)
    _, err = proc.communicate(timeout=120)
    message = f"{csv} changed while it was compressed: {how}"
    if writer == "sarn":
        assert proc.returncode == 1
        assert err.decode() == f"sarn: error: {message}; {out} was left as it was\n"
    else:
        assert proc.returncode == 3
        assert err.decode() == f"OSError {message}\n"
    assert out.read_bytes() == b"earlier"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn"]


# ---- odd outputs and names ----------------------------------------------------------------------


@pytest.mark.parametrize("writer", ["sarnio", "sarn"])
def test_a_removed_output_folder_is_reported_as_the_output(tmp_path, writer):
    fifo, folder = tmp_path / "in.fifo", tmp_path / "sub"
    os.mkfifo(fifo)
    folder.mkdir()
    out = folder / "out.sarn"
    if writer == "sarnio":
        code = ("import sys, sarnio\n"
                "try:\n"
                "    sarnio.compress_csv(sys.argv[1], sys.argv[2])\n"
                "except OSError as e:\n"
                "    print(type(e).__name__, e.errno, e.filename, file=sys.stderr)\n"
                "    print(e, file=sys.stderr)\n"
                "    sys.exit(3)\n")
        proc = python_writer(code, fifo, out)
    else:
        proc = subprocess.Popen([str(SARN), "compress", "--quiet", str(fifo), str(out)], stderr=subprocess.PIPE)
    with fifo_writer(fifo, proc) as w:
        w.write("id,name\n" + rows(0, 10))
        w.flush()
        wait_for(lambda: written_beside(proc.pid, folder) is not None, proc, "the temporary file was made")
        shutil.rmtree(folder)
        w.write(rows(10, 20))
    _, err = proc.communicate(timeout=60)
    err = err.decode()
    assert ".partial" not in err
    if writer == "sarnio":
        assert proc.returncode == 3
        assert err.splitlines()[0] == f"FileNotFoundError {errno.ENOENT} {out}"
    else:
        assert proc.returncode == 1
        assert err == (f"sarn: error: Cannot replace {out}: No such file or directory (os error 2); "
                       f"{out} was not created\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo"]


@pytest.mark.parametrize("step", ["_encode", "_assemble"])
def test_a_removed_output_folder_is_reported_as_the_output_by_dask(tmp_path, monkeypatch, step):
    dask = pytest.importorskip("dask")
    sarnio_dask = pytest.importorskip("sarnio.dask")
    csv, folder = tmp_path / "in.csv", tmp_path / "sub"
    csv.write_text("id,name\n" + rows(0, 10))
    folder.mkdir()
    out = folder / "out.sarn"
    real = getattr(sarnio_dask, step)

    def folder_removed_first(*args):
        shutil.rmtree(folder, ignore_errors=True)
        return real(*args)

    monkeypatch.setattr(sarnio_dask, step, folder_removed_first)
    with dask.config.set(scheduler="sync"), pytest.raises(FileNotFoundError) as failed:
        sarnio_dask.compress_csv(str(csv), str(out))
    assert failed.value.filename == str(out)
    assert ".partial" not in str(failed.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


ESCAPES = "\x1b]0;title\x07\x1b[2J"  # would set the terminal's title and clear its screen
SHOWN = "\\x1B]0;title\\x07\\x1B[2J"


def test_sarn_prints_file_names_with_control_characters_escaped(tmp_path):
    csv = tmp_path / f"in{ESCAPES}.csv"
    out = tmp_path / f"out{ESCAPES}.sarn"
    csv.write_text("a,b\n1,2\n")
    shown_csv, shown_out = str(tmp_path / f"in{SHOWN}.csv"), str(tmp_path / f"out{SHOWN}.sarn")
    done = subprocess.run([str(SARN), "compress", str(csv), str(out)], capture_output=True, text=True, check=True)
    assert f">>> File: {shown_csv} (0MB)\n" in done.stderr
    info = subprocess.run([str(SARN), "info", str(out)], capture_output=True, text=True, check=True)
    assert f"File:            {shown_out} (" in info.stdout
    verify = subprocess.run([str(SARN), "verify", str(out)], capture_output=True, text=True, check=True)
    assert verify.stdout.startswith(f"OK: {shown_out}: 1 row")
    missing = subprocess.run([str(SARN), "compress", str(csv) + ESCAPES, str(out)], capture_output=True, text=True)
    assert missing.stderr == (f"sarn: error: CSV file does not exist: {shown_csv}{SHOWN}; "
                              f"{shown_out} was left as it was\n")
    for result in (done, info, verify, missing):
        assert "\x1b" not in result.stdout + result.stderr and "\x07" not in result.stdout + result.stderr


@pytest.mark.parametrize("writer", ["module", "sarnio", "sarn", "dask"])
def test_a_dangling_link_as_output_creates_its_target(tmp_path, writer):
    csv, link = tmp_path / "in.csv", tmp_path / "out.sarn"
    csv.write_text("id,name\n" + rows(0, 10))
    (tmp_path / "data").mkdir()
    link.symlink_to("data/new.sarn")
    if writer == "module":
        sarn_fileformat.compress_csv(str(csv), str(link))
    elif writer == "sarnio":
        sarnio.compress_csv(csv, link)
    elif writer == "sarn":
        subprocess.run([str(SARN), "compress", "--quiet", str(csv), str(link)], check=True)
    else:
        dask = pytest.importorskip("dask")
        sarnio_dask = pytest.importorskip("sarnio.dask")
        with dask.config.set(scheduler="sync"):
            sarnio_dask.compress_csv(csv, link)
    assert link.is_symlink() and os.readlink(link) == "data/new.sarn"
    assert sound(tmp_path / "data" / "new.sarn", 10)["id"] == [str(i) for i in range(10)]
    assert sorted(p.name for p in (tmp_path / "data").iterdir()) == ["new.sarn"]


def test_names_that_are_not_utf8_work_in_every_entry(tmp_path):
    folder = os.fsencode(tmp_path)
    csv, out = folder + b"/in\xff.csv", folder + b"/out\xfe.sarn"
    with open(csv, "wb") as f:
        f.write(("id,name\n" + rows(0, 10)).encode())
    ids = [str(i) for i in range(10)]
    sarnio.compress_csv(csv, out)
    for name in (out, os.fsdecode(out)):
        with sarnio.open(name) as f:
            assert f.read()["id"] == ids
            assert f.path == os.fsdecode(out)
    subprocess.run([str(SARN), "verify", out], check=True, capture_output=True)
    dask = pytest.importorskip("dask")
    sarnio_dask = pytest.importorskip("sarnio.dask")
    with dask.config.set(scheduler="sync"):
        for name in (folder + b"/dask\xfd.sarn", os.fsdecode(folder + b"/dask\xfc.sarn")):
            assert sarnio_dask.compress_csv(os.fsdecode(csv) if isinstance(name, str) else csv, name).rows == 10
            assert sarnio_dask.read_sarn(name).compute()["id"].tolist() == ids
        assert sarnio_dask.compress_many([csv], folder)[0].rows == 10
        assert sarnio_dask.read_sarn(folder + b"/in\xff.sarn").compute()["id"].tolist() == ids
        # A failure names the file by its own bytes.
        with pytest.raises(FileNotFoundError) as missing:
            sarnio_dask.compress_csv(folder + b"/gone\xff.csv", out)
        assert os.fsencode(missing.value.filename) == folder + b"/gone\xff.csv"
