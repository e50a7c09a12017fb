"""The installed `sarn` command, run in subprocesses: compress, info, verify
and cat on the real data files, the refusals it shares with compress_csv,
the faults verify must find, progress output, inputs that are streams,
closed or full standard streams, and an earlier output kept whatever ends
a run (a failure, a full disk, Ctrl-C, SIGTERM)."""

import collections
import csv as csv_module
import io
import json
import os
import pathlib
import pty
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import sarn_fileformat
import sarnio
from conftest import DATA
from csv_reference import dialect_table, everyday_table
from process_files import written_beside

# The command that `pip install` put beside the interpreter; SARN_CLI may name
# another build of it (a sanitizer build, say).
SARN = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(sys.executable).with_name("sarn"))
CSV_FILES = sorted(DATA.glob("*.csv"))
METHODS = ["LZ", "LZ_HUFFMAN", "STORED", "HUFFMAN", "RANGE", "LZ_RANGE"]


def run(*args, timeout=300, **kw):
    return subprocess.run([str(SARN), *map(str, args)], capture_output=True, timeout=timeout, **kw)


def is_valid(path):
    try:
        dialect_table(path.read_bytes())
        return True
    except UnicodeDecodeError:
        return False


VALID = [p for p in CSV_FILES if is_valid(p)]
INVALID = [p for p in CSV_FILES if not is_valid(p)]


def varint_len(n):
    size = 1
    while n >= 0x80:
        n >>= 7
        size += 1
    return size


def walk_blocks(data):
    """(offset, payload_len, method byte) of every column block, found by
    walking the chunk data from the end of the header to the footer, without
    the footer's help."""
    schema_len = struct.unpack_from("<I", data, 64)[0]
    (dict_len,) = struct.unpack_from("<Q", data, 68 + schema_len)
    pos = 76 + schema_len + dict_len
    footer_len, footer_offset = struct.unpack_from("<QQ", data, len(data) - 16)
    assert footer_offset + footer_len + 16 == len(data)
    blocks = []
    while pos < footer_offset:
        (length,) = struct.unpack_from("<Q", data, pos + 4)
        blocks.append((pos, length, data[pos + 12] if length else None))
        pos += 12 + length
    assert pos == footer_offset
    return blocks


@pytest.fixture(scope="module")
def flights(tmp_path_factory):
    """flights-3m.csv (70,000 rows) compressed by `sarn compress`: a full
    chunk and a partial one."""
    out = tmp_path_factory.mktemp("flights") / "flights.sarn"
    done = run("compress", "--quiet", DATA / "flights-3m.csv", out)
    assert done.returncode == 0, done.stderr
    return out


def test_installed_next_to_the_interpreter():
    assert SARN.is_file() and os.access(SARN, os.X_OK)


@pytest.mark.parametrize("args, status, stream, text", [
    (["--help"], 0, "stdout", "usage: sarn COMMAND"),
    (["help", "verify"], 0, "stdout", "usage: sarn verify"),
    (["compress", "--help"], 0, "stdout", "usage: sarn compress [--quiet] [--threads N] [--level N] [--quote C] "
                                          "[--delimiter C] [--extra-fields HOW] [--types TYPES] IN.csv OUT.sarn"),
    (["compress", "--threads", "0", "a", "b"], 2, "stderr", "--threads takes a whole number from 1"),
    (["compress", "--threads", "two", "a", "b"], 2, "stderr", "not 'two'"),
    (["compress", "--threads", "-1", "a", "b"], 2, "stderr", "not '-1'"),
    (["info", "-h"], 0, "stdout", "usage: sarn info [--json] [--chunks] [--max-chunk-bytes N] FILE"),
    (["verify", "--help"], 0, "stdout", "usage: sarn verify [--csv IN.csv] [--quote C] [--delimiter C] "
                                        "[--extra-fields HOW] [--types TYPES] [--max-chunk-bytes N] FILE"),
    (["cat", "--help"], 0, "stdout",
     "usage: sarn cat [--columns A,B]... [--where COL==VALUE]... [--max-chunk-bytes N] FILE"),
    (["info", "--max-chunk-bytes", "0", "a"], 2, "stderr", "takes a positive number of bytes"),
    (["verify", "--max-chunk-bytes=12X", "a"], 2, "stderr", "not '12X'"),
    (["cat", "--max-chunk-bytes", "-1", "a"], 2, "stderr", "not '-1'"),
    (["cat", "--max-chunk-bytes", "99999999999999999999", "a"], 2, "stderr", "takes a positive number of bytes"),
    (["compress", "--quote", "ab", "a", "b"], 2, "stderr", "--quote takes one ASCII character or none"),
    (["compress", "--quote", ",", "a", "b"], 2, "stderr", "the quote and the delimiter are both ','"),
    (["compress", "--delimiter", "", "a", "b"], 2, "stderr", "--delimiter takes one ASCII character"),
    (["compress", "--extra-fields", "keep", "a", "b"], 2, "stderr", "--extra-fields takes error or drop"),
    (["compress", "--types", "guess", "a", "b"], 2, "stderr", "--types takes infer or NAME=int64"),
    (["verify", "a", "--csv", "b", "--types", "x=float"], 2, "stderr", "must be int64 or string"),
    ([], 2, "stderr", "usage: sarn COMMAND"),
    (["frobnicate"], 2, "stderr", "unknown command 'frobnicate'"),
    (["compress", "only.csv"], 2, "stderr", "missing argument OUT.sarn"),
    (["compress", "in.csv", "-"], 2, "stderr", "OUT.sarn cannot be standard output"),
    (["info", "a", "b"], 2, "stderr", "unexpected argument 'b'"),
    (["info", "--jsn", "a"], 2, "stderr", "unknown option --jsn"),
    (["verify", "a", "--csv"], 2, "stderr", "option --csv needs a value"),
    (["verify", "a", "--csv", "x.csv", "--csv=y.csv"], 2, "stderr", "option --csv given more than once"),
])
def test_help_and_usage_errors(args, status, stream, text):
    done = run(*args)
    assert done.returncode == status
    assert text in getattr(done, stream).decode()


def test_threads_give_the_same_container_and_messages(tmp_path):
    # Three chunks, the last one partial, encoded on one to three threads.
    csv = tmp_path / "in.csv"
    lines = ["id,name,score"] + [f"{i},n{i % 89},{(i * 7919) % 1000}" for i in range(140000)]
    csv.write_text("\n".join(lines) + "\n")
    reference = tmp_path / "reference.sarn"
    sarn_fileformat.compress_csv(str(csv), str(reference))
    theirs = reference.read_bytes()
    for threads in (1, 2, 3):
        out = tmp_path / f"t{threads}.sarn"
        done = run("compress", "--threads", threads, csv, out)
        assert done.returncode == 0, done.stderr
        ours = out.read_bytes()
        assert ours[:24] == theirs[:24] and ours[32:] == theirs[32:], threads
        assert ">>> DONE! " in done.stderr.decode()
    # A failure in the second chunk reads the same on several threads, and
    # says where it is.
    bad = tmp_path / "bad.csv"
    bad.write_bytes(csv.read_bytes() + b"\xff\n")
    for threads in (1, 2):
        done = run("compress", "--threads", threads, bad, tmp_path / "bad.sarn")
        assert done.returncode == 1
        assert (f"sarn: error: {bad}: line 140002 is not valid UTF-8 (byte offset {csv.stat().st_size})"
                in done.stderr.decode())
        assert not (tmp_path / "bad.sarn").exists()


@pytest.mark.parametrize("csv", VALID, ids=lambda p: p.name)
def test_round_trip_on_real_files(tmp_path, csv):
    # Read as the module reads it: the same bytes as compress_csv writes,
    # creation time (bytes 24-31) aside.
    module_like = tmp_path / "module-like.sarn"
    done = run("compress", "--quote", "none", "--extra-fields", "drop", csv, module_like)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b""
    reference = tmp_path / "reference.sarn"
    sarn_fileformat.compress_csv(str(csv), str(reference))
    ours, theirs = module_like.read_bytes(), reference.read_bytes()
    assert len(ours) == len(theirs)
    assert ours[:24] == theirs[:24] and ours[32:] == theirs[32:]

    # With the defaults: quoted fields are fields.
    out = tmp_path / "out.sarn"
    assert run("compress", "--quiet", csv, out).returncode == 0
    names, rows = everyday_table(csv.read_bytes())
    info = json.loads(run("info", "--json", out).stdout)
    assert info["header"]["row_count"] == len(rows)
    assert [c["name"] for c in info["schema"]] == names

    verified = run("verify", out, "--csv", csv)
    assert verified.returncode == 0, verified.stdout
    assert verified.stdout.decode().startswith("OK: ")

    cat = run("cat", out)
    assert cat.returncode == 0, cat.stderr
    assert list(csv_module.reader(io.StringIO(cat.stdout.decode(), newline=""))) == [names] + rows


@pytest.mark.parametrize("content,options", [
    (b"a,b", []),                                         # header only, no line feed: no chunks
    (b"a,b\r\n1,2\r\n3,4", []),                          # CR LF, no final line feed
    (b"a,b\n\n  \t\n1,2\n \n3,4\n", []),                  # blank lines skipped
    ("\ufeffx , y\n 1 , 2 \n".encode(), []),              # byte order mark dropped, fields trimmed
    (b'name,city\n"Troy, AL",x\n', []),                   # a quoted comma
    (b'name,city\n"Troy, AL",x\n', ["--quote", "none", "--extra-fields", "drop"]),  # the module's cut
    (b"a,b,c\n1\n1,2,3,4\n", ["--extra-fields", "drop"]),  # short rows padded, long rows cut
    ("a\n\u00a0v\u3000\n".encode(), []),                  # Unicode white space trimmed
    (b"\n1\n2\n", []),                                     # empty header: one column without a name
    (b"a\nx\ry\n", []),                                     # a lone CR is text
    (b'a\n" "\n""\n"x\r\ny"\n', []),                     # cells cat must quote
    (b"a\tb\n1\t\n", ["--delimiter", "tab"]),               # tabs
], ids=lambda c: repr(c[:12]) if isinstance(c, bytes) else " ".join(c))
def test_round_trip_on_dialect_corners(tmp_path, content, options):
    csv = tmp_path / "in.csv"
    csv.write_bytes(content)
    out = tmp_path / "in.sarn"
    assert run("compress", "--quiet", *options, csv, out).returncode == 0
    verified = run("verify", out, "--csv", csv, *options)
    assert verified.returncode == 0, verified.stdout
    cat = run("cat", out)
    assert cat.returncode == 0, cat.stderr
    names, rows = read_with_options(content, options)
    assert list(csv_module.reader(io.StringIO(cat.stdout.decode(), newline=""))) == [names] + rows


def read_with_options(content, options):
    """everyday_table with the command's flags."""
    kw = {}
    for flag, value in zip(options[::2], options[1::2]):
        if flag == "--quote":
            kw["quote"] = None if value == "none" else value
        elif flag == "--delimiter":
            kw["delimiter"] = "\t" if value == "tab" else value
        elif flag == "--extra-fields":
            kw["extra_fields"] = value
    if kw.get("quote", '"') is None and kw.get("extra_fields") == "drop" and kw.get("delimiter", ",") == ",":
        return dialect_table(content)
    return everyday_table(content, **kw)


def test_info_reports_the_files_own_figures(flights):
    data = flights.read_bytes()
    names, rows = dialect_table((DATA / "flights-3m.csv").read_bytes())
    info = json.loads(run("info", "--json", flights).stdout)

    magic, version, columns, row_count, chunk_count, chunk_size, created = struct.unpack_from("<4sHHQIIQ", data)
    assert info["file_size"] == len(data)
    header = info["header"]
    assert (header["magic"], header["version"], header["column_count"]) == (magic.decode(), version, columns)
    assert (header["row_count"], header["chunk_count"]) == (row_count, chunk_count) == (len(rows), 2)
    assert (header["chunk_size"], header["created_at"]) == (chunk_size, created)
    assert info["rows_per_chunk"] == [65536, len(rows) - 65536]

    blocks = walk_blocks(data)
    assert len(blocks) == 2 * len(names)
    for c, chunk in enumerate(info["chunks"]):
        for i, col in enumerate(chunk["columns"]):
            offset, length, method = blocks[c * len(names) + i]
            assert (col["offset"], col["compressed_bytes"]) == (offset, length)
            assert col["block_method"] == METHODS[method]

    for i, col in enumerate(info["columns"]):
        values = [row[i] for row in rows]
        encoded = [v.encode() for v in values]
        assert col["name"] == names[i]
        assert col["encodings"] == {"PLAIN": 2}
        assert col["block_methods"] == dict(collections.Counter(
            METHODS[m] for _, _, m in blocks[i::len(names)]))
        assert col["compressed_bytes"] == sum(length for _, length, _ in blocks[i::len(names)])
        assert col["raw_bytes"] == sum(varint_len(len(e)) + len(e) for e in encoded)
        assert col["null_count"] == 0
        assert col["min"].encode() == min(encoded) and col["max"].encode() == max(encoded)

    text = run("info", flights).stdout.decode()
    assert "Rows:            70,000" in text
    assert "Rows per chunk:  65,536, 4,464" in text
    assert '"01010001"' in text  # the smallest date


def test_info_counts_equal_chunks_once(tmp_path):
    # Three full chunks and a partial one: the equal sizes are shown once,
    # with their count.
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"n\n" + b"7\n" * (3 * 65536 + 1234))
    out = tmp_path / "in.sarn"
    assert run("compress", "--quiet", csv, out).returncode == 0
    text = run("info", out).stdout.decode()
    assert "Rows:            197,842" in text
    assert "Rows per chunk:  65,536 \u00d7 3, 1,234" in text


def compress_csv_error(csv, out):
    try:
        sarn_fileformat.compress_csv(str(csv), str(out))
    except (OSError, ValueError) as e:
        return e.args[0]
    raise AssertionError("compress_csv accepted the input")


@pytest.mark.parametrize("case", ["missing input", "empty input", "output is input", "missing folder",
                                  "invalid UTF-8"])
def test_refusals_match_compress_csv_and_leave_no_output(tmp_path, case):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"a,b\n1,2\n")
    out = tmp_path / "out.sarn"
    if case == "missing input":
        csv = tmp_path / "missing.csv"
    elif case == "empty input":
        csv.write_bytes(b"")
    elif case == "output is input":
        out = csv
    elif case == "missing folder":
        out = tmp_path / "no" / "out.sarn"
    elif case == "invalid UTF-8":
        csv = INVALID[0] if INVALID else csv
        if not INVALID:
            csv.write_bytes(b"a\n\xe9\n")
    before = csv.read_bytes() if csv.exists() else None

    done = run("compress", csv, out)
    assert done.returncode == 1
    stderr = done.stderr.decode()
    # The same call through the module, on a fresh output path where that
    # path is not what the case is about.
    reference = out if case in ("output is input", "missing folder") else tmp_path / "reference.sarn"
    message = compress_csv_error(csv, reference)
    if case == "invalid UTF-8":
        # The module's frozen text does not say where; the command names the
        # file, the line and the byte offset, as sarnio does.
        assert message == "stream did not contain valid UTF-8"
        with pytest.raises(sarnio.SarnError) as named:
            sarnio.compress_csv(csv, tmp_path / "sarnio.sarn")
        message = str(named.value)
        assert f"{csv}: line " in message and "(byte offset " in message
    assert f"sarn: error: {message}" in stderr
    if case == "output is input":
        assert csv.read_bytes() == before  # the input is never touched
    else:
        assert not out.exists()
    if case == "invalid UTF-8":
        # compress_csv keeps its partial container; the command does not.
        assert (tmp_path / "reference.sarn").exists()
        assert stderr.endswith(f"; {out} was not created\n")
    assert sorted(p.name for p in tmp_path.iterdir()) <= ["in.csv", "reference.sarn"]


def test_refusal_before_creation_keeps_an_existing_output(tmp_path):
    out = tmp_path / "out.sarn"
    out.write_bytes(b"precious")
    done = run("compress", tmp_path / "missing.csv", out)
    assert done.returncode == 1
    assert out.read_bytes() == b"precious"


@pytest.mark.parametrize("kind", ["symlink", "device", "fifo"])
def test_failure_leaves_links_and_devices_alone(tmp_path, kind):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b"a,b\n1,2\n\xff\n")  # fails after the output was created
    out = tmp_path / "out.sarn"
    if kind == "symlink":
        target = tmp_path / "target.sarn"
        out.symlink_to(target)
    elif kind == "fifo":
        os.mkfifo(out)
    else:
        try:  # a private null device, so that nothing outside tmp_path is at stake
            os.mknod(out, 0o20666, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("creating a device node needs root")
    done = run("compress", csv, out)
    assert done.returncode == 1
    stderr = done.stderr.decode()
    if kind == "symlink":
        assert f"{csv}: line 3 is not valid UTF-8 (byte offset 8)" in stderr
        # The file the link leads to was never created; the link is the user's.
        assert out.is_symlink() and not target.exists()
        assert f"{out} was not created" in stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn"]
    else:
        # Refused before anything is read: the container's header is
        # completed last, which a device or a FIFO cannot take.
        assert f"Output is not a regular file: {out}" in stderr
        assert out.is_char_device() if kind == "device" else out.is_fifo()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn"]


def test_a_dangling_link_leads_to_the_file_to_create(tmp_path):
    (tmp_path / "data").mkdir()
    out = tmp_path / "out.sarn"
    out.symlink_to("data/new.sarn")
    done = run("compress", "--quiet", small_csv(tmp_path), out)
    assert done.returncode == 0, done.stderr
    assert out.is_symlink() and (tmp_path / "data" / "new.sarn").read_bytes()[:4] == b"SARN"


@pytest.mark.parametrize("case", ["folder as input", "socket as input", "file as folder", "unreadable input",
                                  "unwritable folder"])
def test_errors_name_the_file(tmp_path, case):
    csv = small_csv(tmp_path)
    out = tmp_path / "out.sarn"
    if case == "folder as input":
        csv = tmp_path / "folder"
        csv.mkdir()
        expected = f"sarn: error: Cannot read {csv}: Is a directory (os error 21); {out} was not created\n"
    elif case == "socket as input":
        # Its metadata reads fine, but it cannot be opened as a file.
        csv = tmp_path / "in.sock"
        with socket.socket(socket.AF_UNIX) as sock:
            sock.bind(str(csv))
        expected = f"sarn: error: Cannot open {csv}: No such device or address (os error 6); {out} was not created\n"
    elif case == "file as folder":
        out = csv / "out.sarn"
        expected = f"sarn: error: Cannot create {out}: Not a directory (os error 20); {out} was not created\n"
    else:
        if os.geteuid() == 0:
            pytest.skip("root reads and writes whatever the permissions say")
        if case == "unreadable input":
            csv.chmod(0)
            expected = f"sarn: error: Cannot open {csv}: Permission denied (os error 13); {out} was not created\n"
        else:
            locked = tmp_path / "locked"
            locked.mkdir()
            locked.chmod(0o500)
            out = locked / "out.sarn"
            expected = f"sarn: error: Cannot create {out}: Permission denied (os error 13); {out} was not created\n"
    done = run("compress", "--quiet", csv, out)
    assert done.returncode == 1
    assert done.stderr.decode() == expected


def test_symlinked_output_is_replaced_behind_the_link(tmp_path):
    target = tmp_path / "target.sarn"
    target.write_bytes(b"old")
    out = tmp_path / "out.sarn"
    out.symlink_to(target.name)  # relative, as links usually are
    target.chmod(0o640)
    done = run("compress", "--quiet", small_csv(tmp_path), out)
    assert done.returncode == 0, done.stderr
    assert out.is_symlink() and target.read_bytes()[:4] == b"SARN"
    assert target.stat().st_mode & 0o777 == 0o640  # the replaced file's permissions
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn", "target.sarn"]


def small_csv(folder):
    csv = folder / "in.csv"
    csv.write_bytes(b"a,b\n1,2\n")
    return csv


@pytest.fixture(scope="module")
def two_chunks(tmp_path_factory):
    """A CSV of 70,000 rows (two chunks) and its container."""
    folder = tmp_path_factory.mktemp("two")
    csv = folder / "in.csv"
    lines = ["id,name,score"] + [f"{i},name{i % 97},{(i * 7919) % 1000}" for i in range(70000)]
    csv.write_text("\n".join(lines) + "\n")
    out = folder / "in.sarn"
    assert run("compress", "--quiet", csv, out).returncode == 0
    return csv, out


def corrupt(data, case):
    data = bytearray(data)
    blocks = walk_blocks(bytes(data))
    if case == "payload byte":  # chunk 1, column 2
        offset, length, _ = blocks[3 + 2]
        data[offset + 12 + length // 2] ^= 0x40
        return bytes(data), ["chunk 1, column 2", f"offset {offset}", "CRC-32 mismatch"]
    if case == "crc field":
        offset, _, _ = blocks[1]
        data[offset] ^= 0x01
        return bytes(data), ["chunk 0, column 1", f"offset {offset}", "CRC-32 mismatch"]
    if case == "length field":
        offset, _, _ = blocks[4]
        data[offset + 4] ^= 0x01
        return bytes(data), ["chunk 1, column 1", f"offset {offset}", "payload length"]
    if case == "magic":
        data[0] ^= 0x20
        return bytes(data), ["bad magic at offset 0"]
    if case == "footer byte":
        footer_len, footer_offset = struct.unpack_from("<QQ", data, len(data) - 16)
        data[footer_offset + footer_len // 2] ^= 0xFF
        return bytes(data), [f"footer at offset {footer_offset}"]
    if case == "truncated tail":
        return bytes(data[:-100]), ["incomplete container"]
    if case == "truncated middle":
        return bytes(data[: len(data) // 2]), ["incomplete container"]
    if case == "empty file":
        return b"", ["too short"]
    # The header's fixed fields and the schema carry no checksum; what can be
    # checked of them is.  The schema block of this file is stored as it is.
    schema_len = struct.unpack_from("<I", data, 64)[0]
    assert data[68] == 2, "expected a STORED schema block"
    name_at = data.index(b"\x04name\x04\x00", 68, 68 + schema_len) + 1
    if case == "schema name byte":
        data[name_at] ^= 0x80
        return bytes(data), ["schema: the name of column 1", "not valid UTF-8"]
    if case == "encryption flag":
        data[name_at + 5] ^= 0x02
        return bytes(data), ["schema: column 1 has encryption flag 2"]
    if case == "type code":
        data[name_at + 4] ^= 0x40
        return bytes(data), ["schema: column 1 has unknown type code"]
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["payload byte", "crc field", "length field", "magic", "footer byte",
                                  "truncated tail", "truncated middle", "empty file", "schema name byte",
                                  "encryption flag", "type code"])
def test_verify_reports_damage_with_its_place(tmp_path, two_chunks, case):
    assert run("verify", two_chunks[1]).returncode == 0
    damaged, expected = corrupt(two_chunks[1].read_bytes(), case)
    bad = tmp_path / "bad.sarn"
    bad.write_bytes(damaged)
    done = run("verify", bad)
    report = done.stdout.decode()
    assert done.returncode == 1
    assert report.startswith("FAULT: ")
    for part in expected:
        assert part in report
    # cat and info refuse the damaged file as well, rather than print rubbish
    # (the schema checks are verify's own).
    if case not in ("schema name byte", "encryption flag"):
        assert run("cat", bad).returncode == 1
        assert run("info", bad).returncode == 1


# Footer statistics that disagree with the values, written by the reference
# writer; sarn verify and SarnFile.verify() run one check and report it alike.
STATISTICS_DAMAGE = [
    ("max_text", lambda m: setattr(m, "max_text", b"zz"), 'max_text "zz" but the largest value is "c"'),
    ("min_text", lambda m: setattr(m, "min_text", b"0"), 'min_text "0" but the smallest value is "a"'),
    ("filter", lambda m: setattr(m, "bloom", bytes(len(m.bloom))), "membership filter does not match the values"),
    ("null count", lambda m: setattr(m, "null_count", 1), "null count 1 but 0 cells hold the value stored for a null"),
    ("integer bounds", lambda m: setattr(m, "max_int", 4), "integer statistics 0..4 on a column that keeps none"),
]


@pytest.mark.parametrize("field, damage, fault", STATISTICS_DAMAGE, ids=[c[0] for c in STATISTICS_DAMAGE])
def test_verify_and_sarnfile_verify_run_one_statistics_check(tmp_path, monkeypatch, field, damage, fault):
    import sarnio

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
    import sarn_reference as ref

    class Damaged(ref.ColumnMeta):
        def __init__(self, *args):
            super().__init__(*args)
            if self.max_text == b"c":  # column x, not column y
                damage(self)

    monkeypatch.setattr(ref, "ColumnMeta", Damaged)
    bad = tmp_path / "bad.sarn"
    data = ref.write_container([b"x", b"y"], [[b"b", b"1"], [b"a", b"2"], [b"c", b"3"]], 0)
    bad.write_bytes(data)
    header_size = 78 + struct.unpack_from("<I", data, 64)[0]
    with pytest.raises(sarnio.SarnFormatError) as found:
        sarnio.open(bad).verify()
    assert str(found.value) == f"{bad}: chunk 0, column 0 ('x'), block at offset {header_size}: {fault}"
    done = run("verify", bad)
    assert done.returncode == 1
    assert done.stdout.decode() == f"FAULT: {found.value}\n"


@pytest.mark.parametrize("case", ["wrong cell", "missing row", "extra row", "renamed column", "extra column"])
def test_verify_csv_reports_the_first_differing_row(tmp_path, two_chunks, case):
    csv, container = two_chunks
    lines = csv.read_text().splitlines()
    if case == "wrong cell":
        lines[68001] = lines[68001].replace(",name", ",nome")  # data row 68,001: chunk 1, row 2464
        expected = ["chunk 1, column 1 ('name')", "row 68001 (row 2465 of the chunk)", "line 68002", '"nome']
    elif case == "missing row":
        del lines[-1]
        expected = ["ends after 69999 rows"]
    elif case == "extra row":
        lines.append("70000,x,1")
        expected = ["more rows than the 70000", "line 70002"]
    elif case == "renamed column":
        lines[0] = "id,nom,score"
        expected = ["column 1 is named \"name\"", '"nom"']
    else:
        lines[0] += ",more"
        expected = ["3 columns", "names 4"]
    other = tmp_path / "other.csv"
    other.write_text("\n".join(lines) + "\n")
    done = run("verify", container, "--csv", other)
    report = done.stdout.decode()
    assert done.returncode == 1, report
    for part in expected:
        assert part in report, report


def test_cat_quotes_what_would_not_read_back(tmp_path):
    # One column: an empty cell would print as a blank line, which is no
    # row; white space at the ends, quotes, commas and line breaks would be
    # trimmed, cut or end the record.
    csv = tmp_path / "in.csv"
    csv.write_bytes(b'a\n""\n" x"\n"q""q"\n"1,2"\n"l\nm"\nb\n')
    out = tmp_path / "in.sarn"
    assert run("compress", "--quiet", csv, out).returncode == 0
    done = run("cat", out)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b'a\n""\n" x"\n"q""q"\n"1,2"\n"l\nm"\nb\n'


def test_progress_output_by_destination(tmp_path):
    csv = DATA / "ubuntu.csv"
    plain = run("compress", csv, tmp_path / "a.sarn").stderr.decode()
    assert plain.startswith("\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: ")
    assert ">>> Columns (9): " in plain and ">>> DONE! " in plain
    assert run("compress", "--quiet", csv, tmp_path / "b.sarn").stderr == b""


def big_csv(folder, megabytes):
    """The rows of flights-3m.csv repeated to at least `megabytes` MB."""
    source = (DATA / "flights-3m.csv").read_bytes()
    header, _, body = source.partition(b"\n")
    path = folder / "big.csv"
    with open(path, "wb") as f:
        f.write(header + b"\n")
        for _ in range(-(-megabytes * 1_000_000 // len(body))):
            f.write(body)
    return path


def test_progress_bar_on_a_terminal(tmp_path):
    csv = big_csv(tmp_path, 33)
    master, slave = pty.openpty()
    chunks = []

    def drain():
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=drain)
    reader.start()
    proc = subprocess.Popen([str(SARN), "compress", str(csv), str(tmp_path / "big.sarn")], stderr=slave)
    os.close(slave)
    assert proc.wait(timeout=300) == 0
    reader.join(timeout=30)
    os.close(master)
    shown = b"".join(chunks).decode()
    assert "% " in shown and " MB/s " in shown and " left" in shown
    # The bar counts in the DONE line's unit, 2^20 bytes a MB.
    assert f" of {csv.stat().st_size / 2**20:.1f} MB " in shown
    assert ">>> Columns" not in shown  # the bar replaces the progress lines
    assert ">>> DONE! " in shown


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A CSV that takes a few seconds to compress."""
    return big_csv(tmp_path_factory.mktemp("big"), 88)


@pytest.mark.parametrize("sig, status, earlier", [
    (signal.SIGINT, 130, b"precious"), (signal.SIGTERM, 143, b"precious"), (signal.SIGHUP, 129, b"precious"),
    (signal.SIGINT, 130, None),
])
def test_signal_stops_and_keeps_the_earlier_output(tmp_path, big, sig, status, earlier):
    out = tmp_path / "big.sarn"
    if earlier is not None:
        out.write_bytes(earlier)
    proc = subprocess.Popen([str(SARN), "compress", str(big), str(out)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Wait for the temporary file the container is written into (it has
    # no name where the file system allows that).
    deadline = time.monotonic() + 60
    while not written_beside(proc.pid, tmp_path) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.3)
    assert proc.poll() is None, "finished before the signal: make the input bigger"
    proc.send_signal(sig)
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == status
    if earlier is None:
        assert stderr.decode().endswith(f"sarn: interrupted; {out} was not created\n")
        assert list(tmp_path.iterdir()) == []
    else:
        assert stderr.decode().endswith(f"sarn: interrupted; {out} was left as it was\n")
        assert out.read_bytes() == earlier
        assert list(tmp_path.iterdir()) == [out]


def test_first_ctrl_c_stops_a_run_waiting_for_a_fifo_writer(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.sarn"
    out.write_bytes(b"precious")
    proc = subprocess.Popen([str(SARN), "compress", str(fifo), str(out)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(0.5)  # blocked opening the FIFO: no writer yet
    assert proc.poll() is None
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=10)
    assert proc.returncode == 130
    assert stderr.decode().endswith(f"sarn: interrupted; {out} was left as it was\n")
    assert out.read_bytes() == b"precious"


def test_format_document_example_is_what_the_module_writes():
    # docs/format.md ends with the container of a small CSV file, generated
    # from the module; --check regenerates it and compares.
    script = pathlib.Path(__file__).resolve().parents[2] / "docs" / "make_format_example.py"
    done = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


# ------------------------------------------------ streams and standard streams


def without_creation_time(data):
    return data[:24] + bytes(8) + data[32:]


def feed(data, path=None, fd=None):
    """Writes `data` into a FIFO (opened here, as another process would) or a
    pipe's write end on a thread, then closes it."""

    def write():
        target = os.open(path, os.O_WRONLY) if path else fd
        with os.fdopen(target, "wb") as f:
            f.write(data)

    thread = threading.Thread(target=write)
    thread.start()
    return thread


@pytest.mark.parametrize("kind", ["stdin from a pipe", "stdin from a file", "fifo with a writer", "pipe as /dev/fd",
                                  "stdin as -"])
def test_streams_give_every_row(tmp_path, two_chunks, kind):
    csv, container = two_chunks  # 1.4 MB: more than one read buffer
    data = csv.read_bytes()
    out = tmp_path / "out.sarn"
    args = [str(SARN), "compress", "-" if kind == "stdin as -" else "/dev/stdin", str(out)]
    options = dict(capture_output=True, timeout=120)
    writer = None
    if kind in ("stdin from a pipe", "stdin as -"):
        options["input"] = data
    elif kind == "stdin from a file":
        options["stdin"] = open(csv, "rb")
    elif kind == "fifo with a writer":
        fifo = tmp_path / "in.fifo"
        os.mkfifo(fifo)
        args[2] = str(fifo)
        writer = feed(data, path=fifo)
    else:
        read_end, write_end = os.pipe()
        args[2] = f"/dev/fd/{read_end}"
        options["pass_fds"] = [read_end]
        writer = feed(data, fd=write_end)
    done = subprocess.run(args, **options)
    if writer:
        writer.join()
        if kind == "pipe as /dev/fd":
            os.close(read_end)
    if "stdin" in options:
        options["stdin"].close()
    assert done.returncode == 0, done.stderr
    assert without_creation_time(out.read_bytes()) == without_creation_time(container.read_bytes())
    stderr = done.stderr.decode()
    if kind == "stdin from a file":
        assert "(1MB)\n" in stderr  # a regular file behind /dev/stdin: its size
    else:
        assert "(stream)\n" in stderr
    assert ">>> DONE! 1MB " in stderr


def test_module_reads_a_pipe_through_dev_stdin(tmp_path, two_chunks):
    csv, container = two_chunks
    data = csv.read_bytes()
    out = tmp_path / "out.sarn"
    code = "import sys, sarn_fileformat as s; print(s.compress_csv('/dev/stdin', sys.argv[1])[:2])"
    done = subprocess.run([sys.executable, "-c", code, str(out)], input=data, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == f"({len(data)}, {out.stat().st_size})\n"
    assert without_creation_time(out.read_bytes()) == without_creation_time(container.read_bytes())


def test_closed_standard_error_keeps_progress_out_of_the_container(tmp_path):
    out = tmp_path / "out.sarn"
    done = subprocess.run([str(SARN), "compress", str(small_csv(tmp_path)), str(out)],
                          preexec_fn=lambda: os.close(2), capture_output=False, timeout=60)
    assert done.returncode == 0
    assert out.read_bytes()[:4] == b"SARN"
    assert run("verify", out).returncode == 0


@pytest.mark.parametrize("args", [["cat", "{f}"], ["verify", "{f}"], ["info", "{f}"], ["info", "--json", "{f}"],
                                  ["--help"], ["verify", "--help"]])
def test_full_standard_output_is_a_failure(two_chunks, args):
    with open("/dev/full", "wb") as full:
        done = subprocess.run([str(SARN), *(a.format(f=two_chunks[1]) for a in args)], stdout=full,
                              stderr=subprocess.PIPE, timeout=120)
    assert done.returncode == 1
    assert done.stderr.decode() == "sarn: error: cannot write to standard output: " \
                                   "No space left on device (os error 28)\n"


def test_failed_progress_write_is_reported_in_one_line(tmp_path):
    out = tmp_path / "out.sarn"
    out.write_bytes(b"precious")
    with open("/dev/full", "wb") as full:
        done = subprocess.run([str(SARN), "compress", str(small_csv(tmp_path)), str(out)], stderr=full,
                              capture_output=False, stdout=subprocess.PIPE, timeout=60)
    assert done.returncode == 1
    # Standard error is what failed, so the line is on standard output.
    assert done.stdout.decode() == ("sarn: error: failed printing to stderr: No space left on device (os error 28); "
                                    f"{out} was left as it was\n")
    assert out.read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.sarn"]


@pytest.fixture
def tiny_disk(tmp_path):
    """A folder on a 128 KiB tmpfs of its own, mounted for the test."""
    folder = tmp_path / "disk"
    folder.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs to fill needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", str(folder)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("cause", ["bad input", "full disk"])
def test_failure_keeps_the_earlier_output(request, tmp_path, two_chunks, cause):
    if cause == "full disk":
        folder = request.getfixturevalue("tiny_disk")
        csv = two_chunks[0]  # its container, about 230 KB, does not fit
        expected = "No space left on device"
    else:
        folder = tmp_path
        csv = tmp_path / "bad.csv"
        csv.write_bytes(two_chunks[0].read_bytes() + b"\xff\n")  # fails at the very end
        expected = f"{csv}: line 70002 is not valid UTF-8 (byte offset {two_chunks[0].stat().st_size})"
    out = folder / "out.sarn"
    out.write_bytes(b"precious")
    done = run("compress", csv, out)
    assert done.returncode == 1
    stderr = done.stderr.decode()
    assert expected in stderr and stderr.endswith(f"; {out} was left as it was\n")
    assert out.read_bytes() == b"precious"
    assert [p.name for p in folder.iterdir() if p.name != "bad.csv"] == ["out.sarn"]


def test_usage_and_help_agree_and_list_every_option():
    overview = run("--help").stdout.decode()
    for command in ["compress", "info", "verify", "cat"]:
        usage = run(command, "--no-such-option").stderr.decode().splitlines()[0]
        help_text = run(command, "--help").stdout.decode()
        assert help_text.splitlines()[0] == usage
        assert "  " + usage.removeprefix("usage: sarn ") + "\n" in overview
    assert "info [--json] [--chunks] [--max-chunk-bytes N] FILE" in overview


def test_info_escapes_quotes_in_quoted_values(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_bytes(b'a\n"""q"""\n"""q"""\n')
    out = tmp_path / "in.sarn"
    assert run("compress", "--quiet", csv, out).returncode == 0
    shown = run("info", out).stdout.decode()
    assert '"\\"q\\""' in shown and '""q""' not in shown
