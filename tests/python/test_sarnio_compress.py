"""sarnio.compress_csv: the same container as the module for every thread
count, the interpreter free while it runs, Ctrl-C honoured without leaving
anything behind, errors as the standard exception types, pipes as input."""

import errno
import os
import pathlib
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import sarnio

REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED_DATA = REPO.parent / "shared" / "data"
THREADS = [1, 2, 3, 8]
# The header's created_at field (u64 at offset 24) is the only byte range
# that depends on when a container was written.
CREATED_AT = slice(24, 32)


def masked(path):
    data = bytearray(pathlib.Path(path).read_bytes())
    data[CREATED_AT] = bytes(8)
    return bytes(data)


def module_container(tmp_path, csv):
    import sarn_fileformat

    out = tmp_path / "reference.sarn"
    sarn_fileformat.compress_csv(str(csv), str(out))
    return masked(out)


def real_files():
    """Every CSV fixture with valid UTF-8: the repository's own, and the
    shared data set when it sits beside the clone."""
    files = sorted(REPO.glob("examples/*.csv")) + sorted(REPO.glob("tests/data/**/*.csv"))
    if SHARED_DATA.is_dir():
        files += sorted(SHARED_DATA.glob("*.csv"))
    valid = []
    for f in files:
        try:
            f.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        valid.append(f)
    return valid


def leftovers(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir() if ".partial-" in p.name)


# The options under which sarnio reads every input without a byte order
# mark as the module does.
MODULE_DIALECT = {"quote": None, "extra_fields": "drop"}


@pytest.mark.parametrize("csv", real_files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_real_files_match_the_module_for_every_thread_count(tmp_path, csv):
    expected = module_container(tmp_path, csv)
    # With the defaults too, for a file without quotes (none of these has a
    # byte order mark or rows wider than its header).
    plain = b'"' not in csv.read_bytes()
    for options in ([MODULE_DIALECT, {}] if plain else [MODULE_DIALECT]):
        for threads in THREADS:
            out = tmp_path / f"t{threads}.sarn"
            result = sarnio.compress_csv(csv, out, threads=threads, **options)
            assert masked(out) == expected, f"threads={threads}, {options}"
            assert result.output_bytes == out.stat().st_size
            assert result.input_bytes == csv.stat().st_size
    assert leftovers(tmp_path) == []


def write_generated(path, rows, *, crlf=False, blank_every=0):
    """A CSV of `rows` data rows with varied cells; every `blank_every`-th
    line is an extra blank line (not a row)."""
    end = "\r\n" if crlf else "\n"
    parts = ["id, name ,score,flag" + end]
    for i in range(rows):
        if blank_every and i % blank_every == 0:
            parts.append("   " + end)
        parts.append(f"{i},n{(i * 7919) % 1009}, {(i * 31) % 977}.{i % 10} ,{'yes' if i % 3 else ''}{end}")
    path.write_text("".join(parts), encoding="utf-8")
    return path


@pytest.mark.parametrize("rows,options", [
    (65536, {}),                                # exactly one full chunk
    (65537, {"crlf": True}),                    # one row into the second chunk
    (131073, {"blank_every": 1000}),            # blank lines are not rows
])
def test_chunk_boundaries_match_the_module(tmp_path, rows, options):
    csv = write_generated(tmp_path / "gen.csv", rows, **options)
    expected = module_container(tmp_path, csv)
    for threads in THREADS:
        out = tmp_path / f"t{threads}.sarn"
        result = sarnio.compress_csv(str(csv), str(out), threads=threads)
        assert masked(out) == expected, f"threads={threads}"
        assert (result.rows, result.columns, result.chunks) == (rows, 4, -(-rows // 65536))


@pytest.mark.parametrize("content,rows", [
    (b"a,b\n", 0),                # header only: a container without chunks
    (b"\n", 0),                   # one column with an empty name
    (b"a,b\r\n1,2", 1),           # last line without terminator
    (b"a\n \t\n,\n", 1),          # blank line skipped; a lone comma is a row (its second field dropped)
    (b'a,b\n"x,y",z,w\n', 1),     # quotes are text, extra fields dropped
])
def test_small_inputs_match_the_module(tmp_path, content, rows):
    csv = tmp_path / "small.csv"
    csv.write_bytes(content)
    expected = module_container(tmp_path, csv)
    for threads in (1, 2):
        out = tmp_path / "out.sarn"
        result = sarnio.compress_csv(csv, out, threads=threads, **MODULE_DIALECT)
        assert masked(out) == expected
        assert result.rows == rows


def test_result_fields_and_saved_percent(tmp_path):
    csv = write_generated(tmp_path / "gen.csv", 70000)
    r = sarnio.compress_csv(csv, tmp_path / "out.sarn", threads=2)
    assert isinstance(r, sarnio.CompressResult)
    assert (r.rows, r.columns, r.chunks) == (70000, 4, 2)
    assert r.seconds > 0
    assert r.saved_percent == pytest.approx((r.input_bytes - r.output_bytes) / r.input_bytes * 100)
    assert sarnio.CompressResult(10, 20, 0, 1, 0, 0.0).saved_percent == 0.0
    assert sarnio.CompressResult(0, 20, 0, 1, 0, 0.0).saved_percent == 0.0


def test_progress_reports_on_the_calling_thread(tmp_path, big_csv):
    calls = []
    caller = threading.get_ident()

    def progress(done, total):
        calls.append((done, total, threading.get_ident()))

    sarnio.compress_csv(big_csv, tmp_path / "out.sarn", threads=2, progress=progress)
    size = big_csv.stat().st_size
    assert len(calls) >= 2
    assert all(t == caller and total == size and 0 <= done <= size for done, total, t in calls)
    assert [c[0] for c in calls] == sorted(c[0] for c in calls)
    # The final report comes once, however long the job took after the
    # input was read to its end.
    assert [c[:2] for c in calls].count((size, size)) == 1
    assert calls[-1][:2] == (size, size)


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_raising_on_its_last_call_leaves_the_output(tmp_path, threads):
    csv = write_generated(tmp_path / "in.csv", 70000)
    size = csv.stat().st_size
    out = tmp_path / "out.sarn"
    out.write_bytes(b"the previous output")

    class Refused(Exception):
        pass

    def progress(done, total):
        if done == total == size:
            raise Refused

    with pytest.raises(Refused):
        sarnio.compress_csv(csv, out, threads=threads, progress=progress)
    assert out.read_bytes() == b"the previous output"
    assert leftovers(tmp_path) == []


def test_progress_of_a_pipe_ends_with_its_length_once(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 70000)
    data = csv.read_bytes()
    r, w = os.pipe()
    calls = []
    try:
        writer = threading.Thread(target=feed, args=(w, data))
        writer.start()
        sarnio.compress_csv(f"/proc/self/fd/{r}", tmp_path / "p.sarn", progress=lambda d, t: calls.append((d, t)))
        writer.join()
    finally:
        os.close(r)
    assert all(t == 0 for _, t in calls[:-1])  # the length is unknown until the end
    assert calls[-1] == (len(data), len(data))
    assert calls.count((len(data), len(data))) == 1


@pytest.fixture(scope="session")
def big_csv(tmp_path_factory):
    """About 40 MB: long enough that a job is still running when a test
    interrupts it or looks at another thread."""
    path = tmp_path_factory.mktemp("big") / "big.csv"
    with open(path, "w", encoding="utf-8") as f:
        f.write("a,b,c,d,e\n")
        block = []
        for i in range(1_200_000):
            block.append(f"{i},{(i * 2654435761) % 4294967296},{(i * 40503) % 65521},w{(i * 7) % 10007},{i % 97}\n")
            if len(block) == 100_000:
                f.write("".join(block))
                block.clear()
        f.write("".join(block))
    return path


def test_other_python_threads_run_during_a_job(tmp_path, big_csv):
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        time.sleep(0.05)
        before = ticks
        result = sarnio.compress_csv(big_csv, tmp_path / "out.sarn", threads=2)
        during = ticks - before
    finally:
        stop.set()
        t.join()
    # Holding the interpreter lock for the whole job would leave the ticker
    # stuck at `before`; released, it ticks about once a millisecond.
    assert result.seconds > 0.1
    assert during > 20, (during, result.seconds)


def interrupt_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("threads", [1, 2])
def test_sigint_stops_the_job_and_keeps_the_old_output(tmp_path, big_csv, threads):
    out = tmp_path / "out.sarn"
    out.write_bytes(b"the previous output")
    timer = interrupt_after(0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            sarnio.compress_csv(big_csv, out, threads=threads)
    finally:
        timer.cancel()
    assert out.read_bytes() == b"the previous output"
    assert leftovers(tmp_path) == []


def test_progress_exception_cancels_the_job(tmp_path, big_csv):
    out = tmp_path / "out.sarn"

    class Stop(Exception):
        pass

    def progress(done, total):
        raise Stop

    with pytest.raises(Stop):
        sarnio.compress_csv(big_csv, out, threads=2, progress=progress)
    assert not out.exists()
    assert leftovers(tmp_path) == []


def test_os_errors_carry_errno_and_filename(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 10)
    missing = tmp_path / "missing.csv"
    cases = [
        (missing, tmp_path / "o1.sarn", FileNotFoundError, errno.ENOENT, missing),
        (tmp_path, tmp_path / "o2.sarn", IsADirectoryError, errno.EISDIR, tmp_path),
        (csv, tmp_path, IsADirectoryError, errno.EISDIR, tmp_path),
        (csv, tmp_path / "no" / "o3.sarn", FileNotFoundError, errno.ENOENT, tmp_path / "no" / "o3.sarn"),
        (csv, csv / "o4.sarn", NotADirectoryError, errno.ENOTDIR, csv / "o4.sarn"),
    ]
    for src, dst, kind, code, name in cases:
        with pytest.raises(kind) as info:
            sarnio.compress_csv(src, dst)
        assert info.value.errno == code, (src, dst)
        assert info.value.filename == str(name), (src, dst)
        assert isinstance(info.value, OSError)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


FILE_SIZE_LIMIT_CHILD = """
import errno, os, resource, signal, sys
import sarnio
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[4]), resource.RLIM_INFINITY))
try:
    sarnio.compress_csv(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]))
except OSError as e:
    print(type(e).__name__, errno.errorcode.get(e.errno), e.filename == sys.argv[2])
else:
    print("no error")
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_a_write_failing_mid_job_is_an_oserror_and_leaves_nothing(tmp_path, big_csv, threads):
    # The container outgrows a file-size limit after a few chunks, while
    # blocks are written by the encoders: the job fails with the system's
    # error for the output, and neither the output nor its temporary file
    # remains.
    out = tmp_path / "out.sarn"
    proc = subprocess.run([sys.executable, "-c", FILE_SIZE_LIMIT_CHILD, str(big_csv), str(out), str(threads),
                           str(2 << 20)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["OSError", "EFBIG", "True"], proc.stdout
    assert not out.exists()
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads and writes whatever the permissions say")
def test_permission_errors(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 10)
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        with pytest.raises(PermissionError) as info:
            sarnio.compress_csv(csv, locked / "out.sarn")
        assert info.value.filename == str(locked / "out.sarn")
        csv.chmod(0)
        with pytest.raises(PermissionError) as info:
            sarnio.compress_csv(csv, tmp_path / "out.sarn")
        assert info.value.filename == str(csv)
    finally:
        locked.chmod(stat.S_IRWXU)
        csv.chmod(stat.S_IRUSR | stat.S_IWUSR)


@pytest.mark.parametrize("threads", [1, 2])
def test_invalid_utf8_names_line_and_offset(tmp_path, threads):
    csv = tmp_path / "bad.csv"
    good = "h\n" + "x\n" * 70000          # the bad line is in the second chunk
    csv.write_bytes(good.encode() + b"ok\xc3(\n")
    out = tmp_path / "out.sarn"
    out.write_bytes(b"old")
    with pytest.raises(sarnio.SarnError) as info:
        sarnio.compress_csv(csv, out, threads=threads)
    assert isinstance(info.value, ValueError)
    message = str(info.value)
    assert "line 70002" in message and f"byte offset {len(good) + 2}" in message, message
    assert out.read_bytes() == b"old"
    assert leftovers(tmp_path) == []


READ_BUFFER = 1 << 20  # how much the reader takes from the file at a time


@pytest.mark.parametrize("before,after,bad_at", [
    # `before` ends where the first read ends.  A long line whose first
    # read is plain ASCII and whose second holds the bad byte: the line is
    # checked although its first buffer was clean.
    (b"a" * 100, b"b\xff" + b"c" * 100, READ_BUFFER + 1),
    # A character cut in two by the read boundary is one valid character.
    (b"a\xc3", b"\xa9" + b"d" * 50, None),
    # The bad byte is the last of the first read.
    (b"a\xc3", b"(" + b"d" * 50, READ_BUFFER - 1),
], ids=["bad-in-second-read", "character-cut-in-two", "bad-last-byte-of-first-read"])
def test_utf8_across_the_read_boundary(tmp_path, before, after, bad_at):
    csv = tmp_path / "long.csv"
    head = b"h\n" + b"a" * (READ_BUFFER - 2 - len(before)) + before
    assert len(head) == READ_BUFFER
    csv.write_bytes(head + after + b"\nok\n")
    out = tmp_path / "out.sarn"
    if bad_at is None:
        r = sarnio.compress_csv(csv, out)
        assert r.rows == 2
        assert masked(out) == module_container(tmp_path, csv)
        return
    with pytest.raises(sarnio.SarnError, match=f"line 2 is not valid UTF-8 \\(byte offset {bad_at}\\)"):
        sarnio.compress_csv(csv, out)
    assert leftovers(tmp_path) == []


def test_value_errors(tmp_path):
    empty = tmp_path / "empty.csv"
    empty.write_bytes(b"")
    wide = tmp_path / "wide.csv"
    wide.write_text(",".join(["c"] * 65536) + "\n1\n")
    with pytest.raises(ValueError, match="CSV file is empty"):
        sarnio.compress_csv(empty, tmp_path / "o.sarn")
    with pytest.raises(ValueError, match="65536 columns"):
        sarnio.compress_csv(wide, tmp_path / "o.sarn")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.csv", "wide.csv"]

    csv = write_generated(tmp_path / "in.csv", 10)
    before = csv.read_bytes()
    os.link(csv, tmp_path / "hard.csv")
    os.symlink(csv, tmp_path / "soft.csv")
    for same in (csv, tmp_path / "hard.csv", tmp_path / "soft.csv", tmp_path / "." / "in.csv"):
        with pytest.raises(ValueError, match="input"):
            sarnio.compress_csv(csv, same)
    assert csv.read_bytes() == before
    assert leftovers(tmp_path) == []

    # A FIFO (or a device) would be replaced by the finished file, not fed.
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        sarnio.compress_csv(csv, fifo)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert leftovers(tmp_path) == []


def test_symlinked_output_keeps_the_link(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 100)
    target = tmp_path / "data" / "real.sarn"
    target.parent.mkdir()
    target.write_bytes(b"old")
    link = tmp_path / "link.sarn"
    link.symlink_to(target)
    sarnio.compress_csv(csv, link, threads=2)
    assert link.is_symlink() and link.resolve() == target
    assert masked(target) == module_container(tmp_path, csv)
    assert leftovers(tmp_path) == [] and leftovers(target.parent) == []


@pytest.mark.parametrize("threads,error", [(0, ValueError), (-2, ValueError), (4097, ValueError),
                                           (10**30, ValueError), ("2", TypeError),
                                           (True, TypeError), (2.0, TypeError)])
def test_bad_thread_counts(tmp_path, threads, error):
    csv = write_generated(tmp_path / "in.csv", 10)
    with pytest.raises(error):
        sarnio.compress_csv(csv, tmp_path / "o.sarn", threads=threads)
    assert not (tmp_path / "o.sarn").exists()


def test_minus_one_and_none_use_every_core(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 100)
    a = sarnio.compress_csv(csv, tmp_path / "a.sarn", threads=-1)
    b = sarnio.compress_csv(csv, tmp_path / "b.sarn")
    assert masked(tmp_path / "a.sarn") == masked(tmp_path / "b.sarn")
    assert a.rows == b.rows == 100
    assert sarnio._native.usable_cores() == len(os.sched_getaffinity(0))


def test_bad_argument_types(tmp_path):
    csv = write_generated(tmp_path / "in.csv", 10)
    with pytest.raises(TypeError):
        sarnio.compress_csv(123, tmp_path / "o.sarn")
    with pytest.raises(TypeError):
        sarnio.compress_csv(csv, tmp_path / "o.sarn", progress=5)


def feed(path, data):
    with open(path, "wb") as f:
        f.write(data)


@pytest.mark.parametrize("threads", [1, 2])
def test_fifo_and_pipe_inputs(tmp_path, threads):
    csv = write_generated(tmp_path / "in.csv", 70000)
    data = csv.read_bytes()
    expected = module_container(tmp_path, csv)

    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=feed, args=(fifo, data))
    writer.start()
    result = sarnio.compress_csv(fifo, tmp_path / "f.sarn", threads=threads)
    writer.join()
    assert masked(tmp_path / "f.sarn") == expected
    assert result.input_bytes == len(data)

    r, w = os.pipe()
    try:
        writer = threading.Thread(target=feed, args=(w, data))
        writer.start()
        sarnio.compress_csv(f"/proc/self/fd/{r}", tmp_path / "p.sarn", threads=threads)
        writer.join()
    finally:
        os.close(r)
    assert masked(tmp_path / "p.sarn") == expected


def test_sigint_while_waiting_for_a_silent_fifo(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    timer = interrupt_after(0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            sarnio.compress_csv(fifo, tmp_path / "out.sarn", threads=2)
    finally:
        timer.cancel()
    assert not (tmp_path / "out.sarn").exists()
    assert leftovers(tmp_path) == []
