"""compress_csv and PySarnWriter.write_csv: progress lines, results, every
failure that can be provoked, chunk boundaries and the refusals that keep
the input safe."""

import os
import re
import socket
import subprocess
import sys
import textwrap

import pytest

import sarn_fileformat as sarn
from csv_reference import sarn_dump

BANNER = "\n>>> compress_csv v1.3.2 STREAMING MODE\n"
DONE = re.compile(
    r">>> DONE! (?P<size>\S+) \u2192 (?P<out>\d+\.\d)MB \((?P<ratio>\d+\.\d)% saved\) "
    r"in (?P<secs>\d+)s \((?P<rate>\d+\.\d|inf)GB/sec\) \| (?P<summary>[^\n]*)\n\Z"
)

RUNNER = textwrap.dedent(
    """
    import sys
    import sarn_fileformat as sarn
    how, csv, out = sys.argv[1:]
    try:
        if how == "function":
            result = sarn.compress_csv(csv, out)
        else:
            result = sarn.PySarnWriter(out).write_csv(csv)
        print("ok", repr(result))
    except BaseException as e:
        print(type(e).__name__, repr(e.args))
    """
)


def run(csv, out, how="function", stderr=subprocess.PIPE):
    """Runs one compression in a fresh interpreter: (outcome line, standard error)."""
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER, how, str(csv), str(out)],
        stdout=subprocess.PIPE,
        stderr=stderr,
        timeout=300,
    )
    err = proc.stderr.decode("utf-8") if proc.stderr is not None else None
    return proc.stdout.decode("utf-8").strip(), err


def head_lines(csv, size_text, names=None):
    """The progress lines before the streaming pass."""
    text = BANNER + f">>> File: {csv} ({size_text})\n"
    if names is not None:
        text += f">>> Columns ({len(names)}): {', '.join(names)}\n"
    return text


def summary_text(rows, cols, chunks):
    return f"SARN v2 (streaming): {rows} rows \u00d7 {cols} cols | {chunks} chunks | dict: 0 entries"


# ------------------------------------------------------------- success


@pytest.mark.parametrize("how", ["function", "method"])
def test_progress_lines_and_result(tmp_path, how):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"a, b ,c\n1,2,3\n\n4,5,6\n")
    out = tmp_path / "out.sarn"
    outcome, err = run(csv, out, how)
    sarn_size = out.stat().st_size
    csv_size = csv.stat().st_size
    ratio = max(csv_size - sarn_size, 0) / csv_size * 100
    assert outcome == f"ok {(csv_size, sarn_size, ratio)!r}"
    head = head_lines(csv, "0MB", ["a", "b", "c"]) + (
        ">>> Streaming 65536 rows at a time (~3MB memory constant)...\n"
    )
    assert err.startswith(head)
    done = DONE.match(err[len(head):])
    assert done, err
    assert done["size"] == "0MB"
    assert done["out"] == f"{sarn_size / 2**20:.1f}"
    assert done["ratio"] == f"{ratio:.1f}"
    assert done["secs"] == "0"
    assert done["summary"] == summary_text(2, 3, 1)


@pytest.mark.parametrize(
    "columns,size,size_text,estimate",
    [
        (1, 400_000, "0MB", 1),
        (3, 1_572_864, "2MB", 3),  # 1.5 MiB: a tie, rounded to even
        (10, 2_621_440, "2MB", 12),  # 2.5 MiB: a tie, rounded to even
        (2, 5_000_000, "5MB", 2),  # 4.77 MiB
    ],
)
def test_size_text_and_memory_estimate(tmp_path, columns, size, size_text, estimate):
    header = ",".join(f"c{i}" for i in range(columns)).encode() + b"\n"
    csv = tmp_path / "in.csv"
    # Blank lines pad the file to its size; they are skipped, not rows.
    csv.write_bytes(header + b"\n" * (size - len(header)))
    outcome, err = run(csv, tmp_path / "out.sarn")
    assert outcome.startswith("ok ")
    head = head_lines(csv, size_text, [f"c{i}" for i in range(columns)])
    head += f">>> Streaming 65536 rows at a time (~{estimate}MB memory constant)...\n"
    assert err.startswith(head)
    done = DONE.match(err[len(head):])
    assert done and done["size"] == size_text
    assert done["summary"] == summary_text(0, columns, 0)


def test_header_only_gives_a_container_without_chunks(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"a,b")
    out = tmp_path / "out.sarn"
    csv_size, sarn_size, ratio = sarn.compress_csv(str(csv), str(out))
    assert (csv_size, sarn_size) == (3, out.stat().st_size)
    assert sarn_size > csv_size and ratio == 0.0
    dump = sarn_dump(out, rows=False)
    assert dump["chunks"] == []


@pytest.mark.parametrize(
    "lines,chunk_rows",
    [
        (65_536, [65_536]),
        (65_537, [65_536, 1]),
        (2 * 65_536 + 5, [65_536, 65_536, 5]),
    ],
)
def test_chunk_boundaries(tmp_path, lines, chunk_rows):
    csv = tmp_path / "in.csv"
    # Blank lines between the rows are not counted towards the chunk.
    body = "".join(f"{i}\n" if i % 1000 else f"{i}\n \n" for i in range(lines))
    csv.write_text("n\n" + body)
    out = tmp_path / "out.sarn"
    sarn.compress_csv(str(csv), str(out))
    dump = sarn_dump(out)
    assert [c["rows"] for c in dump["chunks"]] == chunk_rows
    assert dump["rows"] == [[str(i)] for i in range(lines)]


def test_write_csv_writes_the_same_file_as_compress_csv(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("k,v\n" + "".join(f"{i},{i * i}\n" for i in range(70_000)))
    a, b = tmp_path / "a.sarn", tmp_path / "b.sarn"
    writer = sarn.PySarnWriter(str(b))
    first = sarn.compress_csv(str(csv), str(a))
    second = writer.write_csv(str(csv))
    assert first == second
    # Called again, the method rewrites its file from scratch.
    b.write_bytes(b"x" * 10_000_000)
    assert writer.write_csv(csv_path=str(csv)) == first
    da, db = a.read_bytes(), b.read_bytes()
    assert len(da) == len(db)
    # Only the creation time (header bytes 24..31) may differ.
    assert da[:24] == db[:24] and da[32:] == db[32:]


def test_entry_points_are_registered(tmp_path):
    f = sarn.compress_csv
    assert f.__text_signature__ == "(csv_path, sarn_path)"
    assert f.__doc__ == (
        "Compress CSV to SARN with true streaming \u2014 constant memory regardless of file size "
        "(v1.3.2).\n\nAlgorithm:\n  Pass 1 (scan): count rows only \u2014 O(1) memory\n"
        "  Pass 2 (write): stream CHUNK_SIZE rows at a time via StreamingSarnWriter\n"
        "  Memory usage = CHUNK_SIZE \u00d7 num_columns \u00d7 avg_value_size (constant, ~64MB)"
        "\n\nReturns: (csv_size, sarn_size, compression_ratio)"
    )
    assert f.__module__ == "sarn_fileformat" and f.__self__ is sarn
    assert sarn.__all__.index("compress_csv") == 3
    m = sarn.PySarnWriter.write_csv
    assert m.__text_signature__ == "($self, csv_path)"
    assert m.__doc__ is None
    assert [n for n in vars(sarn.PySarnWriter) if not n.startswith("__")][0] == "write_csv"

    csv = tmp_path / "in.csv"
    csv.write_text("a\n1\n")
    result = sarn.compress_csv(sarn_path=str(tmp_path / "o.sarn"), csv_path=str(csv))
    assert [type(x) for x in result] == [int, int, float]


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: sarn.compress_csv("a.csv"), "compress_csv() missing 1 required positional argument: 'sarn_path'"),
        (lambda: sarn.compress_csv("a", "b", csv_path="c"), "compress_csv() got multiple values for argument 'csv_path'"),
        (lambda: sarn.compress_csv(b"a", "b"), "argument 'csv_path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: sarn.compress_csv("a", 5), "argument 'sarn_path': 'int' object cannot be converted to 'PyString'"),
        (lambda: sarn.PySarnWriter("o").write_csv(), "PySarnWriter.write_csv() missing 1 required positional argument: 'csv_path'"),
        (lambda: sarn.PySarnWriter("o").write_csv("a", "b"), "PySarnWriter.write_csv() takes 1 positional arguments but 2 were given"),
        (lambda: sarn.PySarnWriter("o").write_csv(path="a"), "PySarnWriter.write_csv() got an unexpected keyword argument 'path'"),
        (lambda: sarn.PySarnWriter("o").write_csv(None), "argument 'csv_path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_calls(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert err.value.args == (message,)


# ------------------------------------------------------------- failures


def outcome_of(exc_type, message):
    return f"{exc_type} {(message,)!r}"


def test_missing_input_prints_nothing(tmp_path):
    csv = tmp_path / "nope.csv"
    outcome, err = run(csv, tmp_path / "out.sarn")
    assert outcome == outcome_of("OSError", f"CSV file does not exist: {csv}")
    assert err == ""
    with pytest.raises(OSError) as exc:
        sarn.compress_csv("in\0put.csv", str(tmp_path / "out.sarn"))
    assert exc.value.args == ("CSV file does not exist: in\0put.csv",)
    assert exc.value.errno is None and exc.value.strerror is None


@pytest.mark.parametrize(
    "content,exc_type,message",
    [
        (b"", "ValueError", "CSV file is empty"),
        (b"a,\xff\n1,2\n", "OSError", "stream did not contain valid UTF-8"),
        (b"caf\xc3", "OSError", "stream did not contain valid UTF-8"),
        ("directory", "OSError", "Is a directory (os error 21)"),
        ("socket", "OSError", "No such device or address (os error 6)"),
    ],
    ids=["empty", "header not utf8", "header cut in a character", "directory", "cannot open"],
)
def test_header_failures_create_no_output(tmp_path, content, exc_type, message):
    csv = tmp_path / "in.csv"
    if content == "directory":
        csv.mkdir()
    elif content == "socket":
        # Its metadata reads fine, but it cannot be opened as a file.
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(csv))
        sock.close()
    else:
        csv.write_bytes(content)
    out = tmp_path / "out.sarn"
    outcome, err = run(csv, out)
    assert outcome == outcome_of(exc_type, message)
    size_text = "0MB"
    assert err == head_lines(csv, size_text)
    assert not out.exists()


def test_create_failure_comes_after_the_columns_line(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n1,2\n")
    out = tmp_path / "missing" / "out.sarn"
    outcome, err = run(csv, out, how="method")
    assert outcome == outcome_of("OSError", f"Cannot create {out}: No such file or directory (os error 2)")
    assert err == head_lines(csv, "0MB", ["a", "b"])


def test_bad_data_line_fails_and_keeps_the_partial_container(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"n\n" + b"1\n" * 70_000 + b"moir\xe9\n" + b"2\n" * 10)
    out = tmp_path / "out.sarn"
    outcome, err = run(csv, out)
    assert outcome == outcome_of("OSError", "stream did not contain valid UTF-8")
    assert err == head_lines(csv, "0MB", ["n"]) + (
        ">>> Streaming 65536 rows at a time (~1MB memory constant)...\n"
    )
    # The first chunk was written before the bad line was met; the file is
    # left as it stands (header, blocks, no footer).
    assert out.exists() and out.stat().st_size > 40


@pytest.mark.parametrize(
    "out,message",
    [
        ("/dev/full", "No space left on device (os error 28)"),
        # Writes to /dev/null succeed, but it cannot be synced to storage.
        ("/dev/null", "Invalid argument (os error 22)"),
    ],
)
def test_closing_failure_is_an_os_error(tmp_path, out, message):
    csv = tmp_path / "in.csv"
    csv.write_text("a\n1\n")
    outcome, err = run(csv, out)
    assert outcome == outcome_of("OSError", message)
    assert err == head_lines(csv, "0MB", ["a"]) + (
        ">>> Streaming 65536 rows at a time (~1MB memory constant)...\n"
    )


def test_failed_progress_line_is_a_panic(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a\n1\n")
    out = tmp_path / "out.sarn"
    with open("/dev/full", "wb") as full:
        outcome, _ = run(csv, out, stderr=full)
    assert outcome == outcome_of("PanicException", "failed printing to stderr: No space left on device (os error 28)")
    assert not out.exists()  # the banner is the first thing printed


def test_no_standard_error_stream_means_no_progress_lines(tmp_path):
    # A process started with its standard error closed has nowhere to print
    # to; that is not a failure of the compression.
    csv = tmp_path / "in.csv"
    csv.write_text("a\n1\n")
    out = tmp_path / "out.sarn"
    code = "import os, sys; os.close(2); import sarn_fileformat as s; print(s.compress_csv(sys.argv[1], sys.argv[2])[0])"
    proc = subprocess.run([sys.executable, "-c", code, str(csv), str(out)], capture_output=True, text=True, timeout=60)
    assert proc.stdout == "4\n"
    # The container did not take descriptor 2, so no progress line is in it.
    data = out.read_bytes()
    assert data[:4] == b"SARN" and b">>> " not in data


# ------------------------------------------------ refusals that protect data


def same_file_spellings(tmp_path, csv):
    (tmp_path / "sub").mkdir()
    hard = tmp_path / "hard.csv"
    os.link(csv, hard)
    soft = tmp_path / "soft.sarn"
    soft.symlink_to(csv)
    return [
        str(csv),
        str(tmp_path / "sub" / ".." / "in.csv"),
        str(hard),
        str(soft),
        os.path.relpath(csv),
    ]


@pytest.mark.parametrize("how", ["function", "method"])
def test_output_naming_the_input_is_refused(tmp_path, how):
    data = b"a,b\n" + b"1,2\n" * 1000
    csv = tmp_path / "in.csv"
    csv.write_bytes(data)
    for out in same_file_spellings(tmp_path, csv):
        outcome, err = run(csv, out, how)
        assert outcome == outcome_of("OSError", f"Output file is the CSV input file itself: {out}")
        assert err == head_lines(csv, "0MB", ["a", "b"])
        assert csv.read_bytes() == data
    # A link to the input used as the input, with the real name as output.
    outcome, _ = run(tmp_path / "soft.sarn", csv, how)
    assert outcome.startswith("OSError") and csv.read_bytes() == data


def test_too_many_columns_is_refused_before_the_output_exists(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"," * 65_535 + b"\n1\n")
    out = tmp_path / "out.sarn"
    outcome, err = run(csv, out)
    assert outcome == outcome_of("ValueError", "CSV header has 65536 columns; a SARN container holds at most 65535")
    assert err == head_lines(csv, "0MB")
    assert not out.exists()


def test_widest_header_that_fits_is_accepted(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"," * 65_534 + b"\n" + b"x," * 65_536 + b"\n")
    out = tmp_path / "out.sarn"
    sarn.compress_csv(str(csv), str(out))
    dump = sarn_dump(out, rows=False)
    assert len(dump["schema"]) == 65_535
    assert [c["rows"] for c in dump["chunks"]] == [1]
