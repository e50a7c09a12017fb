"""Hostile containers: files of a few hundred bytes to a few megabytes, built
byte by byte (crafted.py), that ask the readers for gigabytes or minutes.
Every reader must refuse them within a bounded memory and time, with an
error that says what and where; be interruptible; survive a memory limit;
serve one Arrow stream to two threads; check what filters trust; keep the
statistics of enciphered columns to those who hold the key; and notice a
file replaced under a planned Dask read.

Peak memory is measured in a subprocess (its own VmHWM), with bounds far
above what the readers need and far below what the files once took."""

from __future__ import annotations

import os
import pathlib
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import sarnio
from crafted import (BITMAP, BOOL, DELTA, FLOAT, INT, LIST, MAP, OBJECT, PLAIN, RUN_LENGTH, TEXT, Block, Column,
                     Container, bloom, int_linear, lz_pieces, lz_range_one, lz_repeat, lz_run, plain, range_one,
                     stored, text_block, u16, u32, u64, varint, zigzag)
from sarnio_read_support import filter_rows, write_typed

SARN = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(sys.executable).with_name("sarn"))
GiB = 1 << 30
MiB = 1 << 20


def run_python(code: str, *args, timeout: float = 300, memory_limit: int | None = None):
    """Runs `code` in a fresh interpreter; returns (stdout, stderr, peak RSS
    in MiB, return code).  `memory_limit` caps its address space."""
    prelude = "import sys\n"
    if memory_limit is not None:
        prelude += f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({memory_limit}, {memory_limit}))\n"
    epilogue = textwrap.dedent("""
        hwm = [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
        print("VmHWM", int(hwm) // 1024)
    """)
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code) + epilogue, *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)
    lines = proc.stdout.splitlines()
    peak = -1
    if lines and lines[-1].startswith("VmHWM"):
        peak = int(lines.pop().split()[1])
    return "\n".join(lines), proc.stderr, peak, proc.returncode


def run_sarn(*args, timeout: float = 300):
    """The command's result and how long it took."""
    if not SARN.exists():
        pytest.skip("the sarn command is not installed beside the interpreter")
    start = time.monotonic()
    proc = subprocess.run([str(SARN), *map(str, args)], capture_output=True, text=True, timeout=timeout)
    return proc, time.monotonic() - start


def sarn_peak(*args):
    """The command's exit status and peak RSS in MiB, measured by an
    interpreter whose only child it is."""
    if not SARN.exists():
        pytest.skip("the sarn command is not installed beside the interpreter")
    out, err, _, code = run_python("""
        import resource, subprocess
        done = subprocess.run(sys.argv[1:], capture_output=True)
        print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)
    """, SARN, *args)
    assert code == 0, err
    status, peak = out.split()
    return int(status), int(peak)


# ---- 1. a memory budget checked before allocating ---------------------------------------------

ROWS_24 = 1 << 24
QUESTION = b"?" * 63


def text_bomb_block() -> Block:
    """A 10-byte RANGE block of 2^24 texts of 63 '?': 1 GiB of valid text."""
    return Block(range_one(0x3F, ROWS_24 * 64), PLAIN, 0, min_text=QUESTION, max_text=QUESTION, bloom=bloom([QUESTION]))


@pytest.fixture(scope="module")
def bombs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bombs")
    files = {}
    files["text"] = Container([Column("c")], ROWS_24, [[text_bomb_block()]]).write(folder / "text.sarn")
    files["four texts"] = Container([Column(f"c{i}") for i in range(4)], ROWS_24,
                                    [[text_bomb_block()] * 4]).write(folder / "four.sarn")
    # 64 integer columns of 2^24 values, each a LINEAR payload of two bytes.
    files["ints"] = Container([Column(f"n{i}", INT) for i in range(64)], ROWS_24,
                              [[int_linear(0, 1, ROWS_24)] * 64]).write(folder / "ints.sarn")
    # An LZ_RANGE block that states no length at all: 4 GiB of tokens, each
    # the literal '?', in a text column of 2^24 values.
    files["no length"] = Container([Column("c")], ROWS_24, [[Block(lz_range_one(0x3F, 0xFFFFFFFF), PLAIN, 0,
                                                                  min_text=QUESTION, max_text=QUESTION,
                                                                  bloom=bloom([QUESTION]))]]).write(folder / "lz.sarn")
    return files


# What each way of reading does with an open SarnFile `f`.
READERS = {
    "read": "f.read()",
    "iter_batches": "for _ in f.iter_batches(): pass",
    "to_arrow": "f.to_arrow()",
    "to_pandas": "f.to_pandas()",
    "arrow stream": "import pyarrow; pyarrow.table(f)",
    "verify": "f.verify()",
    "read_sarn": "import sarnio.dask; sarnio.dask.read_sarn(sys.argv[1]).compute()",
}

# Which column each file is refused at, and what the chunk would need.
REFUSED_AT = {
    "text": ("c", "needs 2199912452 bytes"),
    "four texts": ("c0", "needs 2199912452 bytes"),
    "ints": ("n7", "needs 1090519056 bytes"),
    "no length": ("c", "needs more than 1073741824 bytes"),
}


# Every reader on the first two files; a reader of each kind on the others.
CASES = [(file, reader) for file in ("text", "ints") for reader in READERS] + [
    (file, reader) for file in ("four texts", "no length") for reader in ("read", "to_arrow", "verify")]


@pytest.mark.parametrize("file, reader", CASES)
def test_budget_refuses_a_chunk_before_allocating_it(bombs, file, reader):
    out, err, peak, code = run_python(f"""
        import sarnio
        try:
            with sarnio.open(sys.argv[1]) as f:
                {READERS[reader]}
            print("read")
        except Exception as e:
            while e.__cause__ is not None and not isinstance(e, sarnio.SarnFormatError):
                e = e.__cause__
            print(type(e).__name__, e)
    """, bombs[file])
    assert code == 0, err
    column, needs = REFUSED_AT[file]
    if reader == "arrow stream":
        # pyarrow raises its own exception; its text is the reader's.
        assert "chunk 0" in out and f"'{column}'" in out and needs in out, out
    else:
        assert out.startswith("SarnFormatError"), out
        assert "chunk 0, column" in out and f"('{column}')" in out and needs in out and "max_chunk_bytes" in out, out
    # The files once took 2.1 to 8.4 GiB; the budget itself is 1 GiB (the
    # integer file decodes seven columns before the eighth passes it).
    assert peak < (1300 if file == "ints" else 400), f"{reader} on {file}: {peak} MiB"


@pytest.fixture(scope="module")
def small_text(tmp_path_factory):
    """2^20 texts of 15 'x', 16 MiB decoded: within the default budget."""
    value = b"x" * 15
    rows = 1 << 20
    block = Block(lz_repeat(b"\x0f" + value, rows * 16), PLAIN, 0, min_text=value, max_text=value, bloom=bloom([value]))
    return Container([Column("s")], rows, [[block]]).write(tmp_path_factory.mktemp("small") / "small.sarn")


def test_budget_is_set_per_file_and_per_call(small_text):
    with sarnio.open(small_text) as f:
        assert f.max_chunk_bytes == GiB
        assert len(f.read()["s"]) == 1 << 20
        f.verify()
        for call in (lambda: f.read(max_chunk_bytes=8 * MiB), lambda: f.to_arrow(max_chunk_bytes=8 * MiB),
                     lambda: list(f.iter_batches(max_chunk_bytes=8 * MiB)),
                     lambda: f.to_pandas(max_chunk_bytes=8 * MiB), lambda: f.verify(max_chunk_bytes=8 * MiB)):
            with pytest.raises(sarnio.SarnFormatError, match=r"chunk 0, column 0 \('s'\).*max_chunk_bytes allows \(8388608\)"):
                call()
    with sarnio.open(small_text, max_chunk_bytes=8 * MiB) as f:
        with pytest.raises(sarnio.SarnFormatError, match="needs"):
            f.read()
        assert len(f.read(max_chunk_bytes=64 * MiB)["s"]) == 1 << 20
        # A budget of 2 GiB or more lets a block reach 2 GiB: text is then large.
        assert str(f.to_arrow(max_chunk_bytes=4 * GiB).schema.field("s").type) == "large_string"
        assert str(f.to_arrow(max_chunk_bytes=64 * MiB).schema.field("s").type) == "string"
    for bad, error in [(0, ValueError), (-1, ValueError), (1 << 64, ValueError), (True, TypeError), (1.5, TypeError),
                       ("1G", TypeError)]:
        with pytest.raises(error):
            sarnio.open(small_text, max_chunk_bytes=bad)
        with sarnio.open(small_text) as f, pytest.raises(error):
            f.read(max_chunk_bytes=bad)


def test_read_sarn_takes_the_budget(small_text):
    import sarnio.dask

    assert len(sarnio.dask.read_sarn(small_text).compute()) == 1 << 20
    with pytest.raises(sarnio.SarnFormatError, match="max_chunk_bytes allows"):
        sarnio.dask.read_sarn(small_text, max_chunk_bytes=8 * MiB).compute()
    with pytest.raises(ValueError):
        sarnio.dask.read_sarn(small_text, max_chunk_bytes=0)


def test_commands_take_the_budget(bombs, small_text):
    # info measures blocks by what they state: 1 GiB of text takes no memory.
    proc, seconds = run_sarn("info", bombs["text"])
    assert proc.returncode == 0, proc.stderr
    assert "1,073,741,824" in proc.stdout
    for command in (["verify"], ["cat"]):
        proc, _ = run_sarn(*command, bombs["text"])
        assert proc.returncode == 1
        assert "chunk 0, column 0 ('c')" in proc.stdout + proc.stderr and "needs 2199912452 bytes" in proc.stdout + proc.stderr
    for command in (["verify"], ["cat"], ["info"]):
        proc, _ = run_sarn(*command, small_text)
        assert proc.returncode == 0, proc.stderr
        proc, _ = run_sarn(*command, "--max-chunk-bytes", "8M", small_text)
        assert proc.returncode == 1, command
        assert "max_chunk_bytes allows (8388608)" in proc.stdout + proc.stderr, command


# ---- 2. structured values ------------------------------------------------------------------


def test_json_text_stops_at_the_budget(tmp_path):
    # One object whose text of 16 MiB control characters is 96 MiB of JSON.
    text = b"\x01" * (16 * MiB)
    inner = b"\x03" + varint(len(text)) + text
    cell = b"\x06" + varint(1) + varint(1) + b"k" + varint(len(inner)) + inner
    payload = plain([cell])
    head = payload[:-len(text)] + b"\x01"
    block = Block(lz_run(head, len(payload)), PLAIN, 0)
    path = Container([Column("o", OBJECT)], 1, [[block]]).write(tmp_path / "json.sarn")
    with sarnio.open(path, max_chunk_bytes=64 * MiB) as f:
        with pytest.raises(sarnio.SarnFormatError, match=r"column 0 \('o'\).*needs more than 67108864 bytes"):
            f.to_arrow()
        # Without JSON the value fits, and reads.
        assert f.read()["o"] == [{"k": "\x01" * (16 * MiB)}]
        f.verify()
    with sarnio.open(path) as f:
        assert len(f.to_arrow().column("o")[0].as_py()) == 6 * 16 * MiB + len('{"k": ""}')


def nested_maps(depth: int, padding: int = 0) -> bytes:
    """`depth` maps, each holding the next as the value of its one pair (key
    null), around an empty list.  With `padding`, the list claims that many
    items and holds half as many, and every map claims as many pairs as it
    has bytes: a reader that reserves room for what is claimed reserves for
    millions of pairs at every level."""
    v = b"\x07" + varint(0) if padding == 0 else b"\x07" + varint(padding) + b"\x01\x00" * (padding // 2)
    for _ in range(depth):
        pair = varint(1) + b"\x00" + varint(len(v)) + v
        v = b"\x08" + varint(len(pair) if padding else 1) + pair
    return v


@pytest.mark.parametrize("depth", [1000, 1001])
def test_one_nesting_limit_for_every_reader(tmp_path, depth):
    # The list inside `depth` maps sits `depth` levels below the cell's
    # value: 1000 levels read everywhere, 1001 nowhere.
    cell = nested_maps(depth)
    path = Container([Column("m", MAP)], 1, [[Block(stored(plain([cell])), PLAIN, 0)]]).write(tmp_path / "n.sarn")
    deep = depth > 1000
    with sarnio.open(path) as f:
        for call in (f.read, f.to_arrow, f.verify):
            if deep:
                with pytest.raises(sarnio.SarnFormatError, match="nested too deeply"):
                    call()
            else:
                call()
    for command in ("verify", "cat"):
        proc, _ = run_sarn(command, path)
        assert proc.returncode == (1 if deep else 0), proc.stderr
        assert ("nested too deeply" in proc.stdout + proc.stderr) == deep


def test_nested_maps_claiming_huge_counts_end_as_too_deep_under_a_memory_limit(tmp_path):
    # 1,002 maps over a 1 MiB innermost value: each claims about a million
    # pairs.  Reserving room for them took 78 GiB of address space.
    cell = nested_maps(1002, padding=1 << 20)
    path = Container([Column("m", MAP)], 1, [[Block(stored(plain([cell])), PLAIN, 0)]]).write(tmp_path / "n.sarn")
    out, err, _, code = run_python("""
        import sarnio
        for call in ("read", "verify", "iter_batches"):
            try:
                with sarnio.open(sys.argv[1]) as f:
                    x = getattr(f, call)()
                    if call == "iter_batches":
                        list(x)
                print(call, "read")
            except Exception as e:
                print(call, type(e).__name__, e)
    """, path, memory_limit=2 * GiB)
    assert code == 0, err
    assert out.count("SarnFormatError") == 3 and out.count("nested too deeply") == 3, out


# ---- 3. footers and schemas ---------------------------------------------------------------------


def one_block_file(footer_from_body) -> Container:
    c = Container([Column("n", INT)], 4, [[int_linear(0, 1, 4)]])
    # Where build() puts the block: right after the header.
    header = 68 + len(stored(varint(1) + b"n" + bytes([INT, 0]))) + 8 + 2
    body = u32(1) + u16(1) + u32(4) + c.chunks[0][0].entry(header)
    c.footer_block = footer_from_body(body)
    return c


def test_footer_that_expands_past_its_entries_stops_there(tmp_path):
    # The footer's one entry, then 1.7 GiB of zeros from 130 KB of LZ tokens.
    path = one_block_file(lambda body: lz_pieces([(body + b"\x00", len(body) + int(1.7 * GiB))])).write(tmp_path / "f.sarn")
    assert path.stat().st_size < 200_000
    out, err, peak, code = run_python("""
        import sarnio, time
        t = time.monotonic()
        try:
            sarnio.open(sys.argv[1])
        except sarnio.SarnFormatError as e:
            print(e)
        print(time.monotonic() - t)
    """, path)
    assert code == 0, err
    message, seconds = out.splitlines()
    assert "footer at offset" in message and "holds more than its entries" in message, message
    assert peak < 200 and float(seconds) < 5, (peak, seconds)
    proc, seconds = run_sarn("info", path)
    assert proc.returncode == 1 and "holds more than its entries" in proc.stderr and seconds < 5


def test_footer_texts_are_held_to_the_budget(tmp_path):
    # A min_text that says it is 3 GiB long, and its bytes from LZ tokens.
    def body_with_text(body):
        # The entry's fields before its min_text: offset, length, encoding,
        # null count, min_int 0 and max_int 3.
        cut = len(u32(1) + u16(1) + u32(4)) + 8 + 8 + 1 + 4 + len(zigzag(0)) + len(zigzag(3))
        prefix = body[:cut] + varint(3 * GiB) + b"a"
        return lz_pieces([(prefix, len(prefix) - 1 + 3 * GiB)])
    path = one_block_file(body_with_text).write(tmp_path / "t.sarn")
    with pytest.raises(sarnio.SarnFormatError, match="min/max text of 3221225472 bytes passes what max_chunk_bytes"):
        sarnio.open(path)
    # A 4 MiB max_text opens under the default budget, not under a 1 MiB one.
    big = b"z" * (4 * MiB)
    block = text_block([big], data=stored(plain([big])))
    path = Container([Column("t")], 1, [[block]]).write(tmp_path / "big.sarn")
    with sarnio.open(path) as f:
        assert f.statistics("t")[0].max == big.decode()
    with pytest.raises(sarnio.SarnFormatError, match="max_chunk_bytes"):
        sarnio.open(path, max_chunk_bytes=MiB)


def test_schema_that_expands_past_its_columns_stops_there(tmp_path):
    # The one column's entry, then 1.5 GiB of zeros from 120 KB of LZ tokens.
    bomb = lz_pieces([(varint(1) + b"n" + bytes([INT, 0]) + b"\x00", int(1.5 * GiB))])
    path = Container([Column("n", INT)], 4, [[int_linear(0, 1, 4)]], schema_block=bomb).write(tmp_path / "s.sarn")
    out, err, peak, code = run_python("""
        import sarnio
        try:
            sarnio.open(sys.argv[1])
        except sarnio.SarnFormatError as e:
            print(e)
    """, path)
    assert "schema block at offset 68: holds more than the 1 columns of the header" in out, out + err
    assert peak < 200


def test_many_one_row_chunks_open_in_bounded_memory(tmp_path):
    # 500,000 chunks of one text row: a footer of 270 MB as the reader reads
    # it, 7 MB as stored (each entry but its block offset repeats the one
    # before).  Its index once took 849 MiB.
    n = 500_000
    value = b"v"
    payload = stored(plain([value]))
    first = Block(payload, PLAIN, 0, min_text=value, max_text=value, bloom=bloom([value]))
    header = 68 + len(stored(varint(1) + b"s" + bytes([TEXT, 0]))) + 8 + 2
    block_size = 12 + len(payload)
    entry_len = len(first.entry(0))
    def literals(data):
        return b"".join(b"\xff\x00\x00\x01\x00" if b == 0xFF else bytes([b]) for b in data)
    # The counts, then a row count of 1 for every chunk.
    tokens = bytearray(literals(u32(n) + u16(1)) + b"\x01\x00\x00\x00")
    left = 4 * n - 4
    while left > 0:
        k = min(left, 65535)
        tokens += b"\xff" + u16(4) + u16(k)
        left -= k
    tokens += literals(first.entry(header))
    for i in range(1, n):
        tokens += literals(u64(header + i * block_size)) + b"\xff" + u16(entry_len) + u16(entry_len - 8)
    import zlib
    data = bytearray()
    schema = stored(varint(1) + b"s" + bytes([TEXT, 0]))
    data += (b"SARN" + u16(2) + u16(1) + u64(n) + u32(n) + u32(1) + u64(0) + bytes(32) + u32(len(schema)) + schema
             + u64(2) + b"\x02\x00")
    assert len(data) == header
    data += (u32(zlib.crc32(payload)) + u64(len(payload)) + payload) * n
    footer = b"\x00" + bytes(tokens)
    path = tmp_path / "many.sarn"
    path.write_bytes(bytes(data) + footer + u64(len(footer)) + u64(header + n * block_size))
    out, err, peak, code = run_python("""
        import sarnio
        with sarnio.open(sys.argv[1]) as f:
            print(f.num_chunks, f.statistics("s")[-1])
    """, path)
    assert code == 0, err
    assert out == f"{n} ChunkStats(min='v', max='v', null_count=0)"
    assert peak < 300, f"{peak} MiB"


# ---- 4. time ---------------------------------------------------------------------------------------


def test_info_takes_raw_sizes_from_the_blocks(tmp_path):
    # 200 chunks of a 10-byte RANGE block of 1 GiB each: stated, not decoded.
    path = Container([Column("c")], ROWS_24, [[text_bomb_block()] for _ in range(200)]).write(tmp_path / "i.sarn")
    proc, seconds = run_sarn("info", "--json", path)
    assert proc.returncode == 0, proc.stderr
    assert '"raw_bytes": 214748364800' in proc.stdout
    assert seconds < 10, seconds


def test_verify_without_keys_reads_each_block_once(tmp_path):
    # 64 enciphered columns whose blocks expand to 8 MiB of text each.
    rows = 1 << 19
    block = Block(lz_repeat(b"\x0f" + b"e" * 15, rows * 16), PLAIN, 0)
    columns = [Column(f"s{i}", TEXT, 1) for i in range(64)]
    path = Container(columns, rows, [[block] * 64]).write(tmp_path / "e.sarn")
    start = time.monotonic()
    with sarnio.open(path) as f:
        f.verify()
    assert time.monotonic() - start < 10
    proc, seconds = run_sarn("verify", path)
    assert proc.returncode == 0 and seconds < 10, proc.stdout + proc.stderr


# ---- 5. Ctrl-C ------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    """4,000 chunks of 2^20 even integers (0, 2, 4, ...): seconds to minutes
    to read in full, no chunk the footer can rule out for n == 7, and no row
    that matches it (a read that finds nothing never returns to Python)."""
    rows = 1 << 20
    path = tmp_path_factory.mktemp("long") / "long.sarn"
    return Container([Column("n", INT)], rows, [[int_linear(0, 2, rows)] for _ in range(4000)]).write(path)


INTERRUPTIBLE = {
    "to_arrow": "f.to_arrow(filters=[('n', '==', 7)], threads={t})",
    "read": "f.read(filters=[('n', '==', 7)], threads={t})",
    "iter_batches": "for _ in f.iter_batches(filters=[('n', '==', 7)], threads={t}): pass",
    "verify": "f.verify()",
}


@pytest.mark.parametrize("call, threads", [(c, t) for c in INTERRUPTIBLE for t in ((1,) if c == "verify" else (1, 2))])
def test_ctrl_c_stops_a_long_read_at_once(long_file, call, threads):
    code = f"""
import sys, sarnio
with sarnio.open(sys.argv[1]) as f:
    print("started", flush=True)
    {INTERRUPTIBLE[call].format(t=threads)}
print("finished", flush=True)
"""
    proc = subprocess.Popen([sys.executable, "-c", code, str(long_file)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "started"
    time.sleep(1.0)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        pytest.fail(f"{call} went on for a minute after Ctrl-C")
    waited = time.monotonic() - sent
    assert "KeyboardInterrupt" in err and "finished" not in out, err
    # A chunk takes milliseconds; the rest of the read took 10 to 13 s.
    assert waited < 2.0, f"{call}: {waited:.2f} s after SIGINT"


# ---- 6. a memory limit ------------------------------------------------------------------------------


@pytest.mark.parametrize("threads", [1, 2])
def test_a_memory_limit_raises_memory_error(tmp_path, threads):
    # Each chunk decodes to 3 x 130 MiB, inside the budget but not inside the
    # address space the process is left.
    rows = ROWS_24
    path = Container([Column(f"n{i}", INT) for i in range(3)], rows,
                     [[int_linear(0, 1, rows)] * 3 for _ in range(4)]).write(tmp_path / "m.sarn")
    out, err, _, code = run_python(f"""
        import resource, sarnio
        size = int([l.split()[1] for l in open("/proc/self/status") if l.startswith("VmSize:")][0]) * 1024
        limit = size + 300 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            with sarnio.open(sys.argv[1]) as f:
                f.read(threads={threads})
            print("read")
        except MemoryError as e:
            print("MemoryError", e)
    """, path)
    assert code == 0, f"exit {code}: {err[-2000:]}"
    assert out.startswith("MemoryError"), out


# ---- 7. one Arrow stream, two threads -----------------------------------------------------------------


def test_one_arrow_stream_read_by_two_threads_gives_every_row_once(tmp_path):
    pytest.importorskip("pyarrow")
    rows, chunks = 1000, 400
    path = Container([Column("n", INT)], rows,
                     [[int_linear(k * rows, 1, rows)] for k in range(chunks)]).write(tmp_path / "s.sarn")
    # On one core the two threads interleave inside one call (a chunk came
    # twice); on two, one waited for a chunk the other had taken (it hung).
    for one_core in (True, True, True, False):
        out, err, _, code = run_python("""
            import os, threading, pyarrow, sarnio
            if sys.argv[2] == "1":
                os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
            with sarnio.open(sys.argv[1]) as f:
                reader = pyarrow.RecordBatchReader.from_stream(f)
                got = [[], []]
                def drain(i):
                    while True:
                        try:
                            batch = reader.read_next_batch()
                        except StopIteration:
                            return
                        got[i].extend(batch.column(0).to_pylist())
                threads = [threading.Thread(target=drain, args=(i,), daemon=True) for i in range(2)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(timeout=60)
                print(sum(t.is_alive() for t in threads), sorted(got[0] + got[1]) == list(range(int(sys.argv[3]))))
                sys.stdout.flush()
                os._exit(0)  # a thread that hangs would hold the exit too
        """, path, int(one_core), rows * chunks)
        assert code == 0, err
        assert out == "0 True", f"one core: {one_core}: {out} (hung threads, every row once)"


# ---- 8. verify checks what readers trust -------------------------------------------------------------


def _bitmap(bits: list[bool]) -> bytes:
    out = bytearray((len(bits) + 7) // 8)
    for i, b in enumerate(bits):
        if b:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def _rle(xs: list[int]) -> bytes:
    runs: list[list[int]] = []
    for x in xs:
        if runs and runs[-1][0] == x:
            runs[-1][1] += 1
        else:
            runs.append([x, 1])
    return varint(len(runs)) + b"".join(varint(n) + zigzag(v) for v, n in runs)


# Blocks whose statistics mislead a filter, the filter, and the fault.
MISLEADING = [
    ("bool min/max", BOOL, Block(stored(_bitmap([False] * 3 + [True] * 5)), BITMAP, 0, 1, 1), ("c", "==", False),
     "min_int/max_int 1/1 but the values range over 0/1"),
    ("float max", FLOAT, Block(stored(b"\xfe\x04" + _rle([15000, 72500])), RUN_LENGTH, 0, 1, 2), ("c", ">", 5.0),
     "value 7.2500 of row 1 lies outside min_int/max_int 1/2"),
    ("int max, nulls", INT, Block(stored(_rle([0, 0, 5, 9])), RUN_LENGTH, 2, 5, 8), ("c", "==", 9),
     "min_int/max_int 5/8 but the values that are not null range over 5/9"),
    ("text empty beside a null", TEXT, Block(stored(plain([b"", b"", b"a", b"ab"])), PLAIN, 1, min_text=b"a",
                                             max_text=b"ab", bloom=bloom([b"", b"", b"a", b"ab"])), ("c", "==", ""),
     "min_text \"a\" but the smallest value that is not null is \"\""),
    ("text filter", TEXT, Block(stored(plain([b"x", b"y"])), PLAIN, 0, min_text=b"x", max_text=b"y",
                                bloom=bloom([b"x"])), ("c", "==", "y"), "membership filter does not match the values"),
]


@pytest.mark.parametrize("name, type_code, block, predicate, fault", MISLEADING, ids=[m[0] for m in MISLEADING])
def test_verify_finds_statistics_that_would_change_a_filter(tmp_path, name, type_code, block, predicate, fault):
    rows = {BOOL: 8, FLOAT: 2, INT: 4, TEXT: 4 if name.startswith("text empty") else 2}[type_code]
    path = Container([Column("c", type_code)], rows, [[block]]).write(tmp_path / "m.sarn")
    with sarnio.open(path) as f:
        every = f.read()
        matching = [every["c"][i] for i in filter_rows(every, [predicate])]
        # The chunk is skipped: the filter misses rows that match.
        assert matching and f.read(filters=[predicate])["c"] == []
        with pytest.raises(sarnio.SarnFormatError) as caught:
            f.verify()
    assert fault in str(caught.value)
    proc, _ = run_sarn("verify", path)
    assert proc.returncode == 1 and fault in proc.stdout


BAD_TEXT = b"\xff\xfe"
NOT_UTF8 = [
    ("text column", TEXT, BAD_TEXT),
    ("object key", OBJECT, b"\x06" + varint(1) + varint(2) + BAD_TEXT + varint(1) + b"\x00"),
    ("text in a list", LIST, b"\x07" + varint(1) + varint(4) + b"\x03" + varint(2) + BAD_TEXT),
]


@pytest.mark.parametrize("name, type_code, cell", NOT_UTF8, ids=[n[0] for n in NOT_UTF8])
def test_text_that_is_not_utf8_is_a_fault_for_every_reader(tmp_path, name, type_code, cell):
    stats = dict(min_text=cell, max_text=cell, bloom=bloom([cell])) if type_code == TEXT else {}
    path = Container([Column("t", type_code)], 1, [[Block(stored(plain([cell])), PLAIN, 0, **stats)]]).write(tmp_path / "u.sarn")
    with sarnio.open(path) as f:
        for call in (f.read, f.to_arrow, f.verify):
            with pytest.raises(sarnio.SarnFormatError, match="not valid UTF-8"):
                call()
    proc, _ = run_sarn("verify", path)
    assert proc.returncode == 1 and "not valid UTF-8" in proc.stdout


def test_statistics_that_verify_passes_never_change_a_filter(tmp_path):
    """Random small blocks with true or damaged statistics: whenever verify
    passes, every filter gives what filtering all the rows gives."""
    rng = random.Random(20251)
    predicates = {
        INT: [("c", op, v) for op in ("==", "!=", "<", "<=", ">", ">=") for v in (-3, 0, 1, 7)] + [("c", "in", [0, 7])],
        BOOL: [("c", "==", True), ("c", "==", False), ("c", "!=", False), ("c", "not in", [True])],
        FLOAT: [("c", op, v) for op in ("==", "<", ">=") for v in (0.0, 1.5, -2.25, 100.75)],
        TEXT: [("c", op, v) for op in ("==", "!=", "<", ">=") for v in ("", "a", "ab", "zz")] + [("c", "in", ["", "a"])],
    }
    path = tmp_path / "p.sarn"
    passed = 0
    for _ in range(400):
        type_code = rng.choice([INT, BOOL, FLOAT, TEXT])
        n = rng.randint(1, 8)
        nulls = rng.choice([0, 0, rng.randint(0, n)])
        if type_code == INT:
            xs = [rng.choice([0, 1, -3, 7]) for _ in range(n)]
            kept = [x for x in xs if x != 0] if nulls and xs.count(0) == nulls else xs
            block = Block(stored(_rle(xs)), RUN_LENGTH, nulls, min(kept or [0]), max(kept or [0]))
        elif type_code == BOOL:
            bits = [rng.random() < 0.5 for _ in range(n)]
            block = Block(stored(_bitmap(bits)), BITMAP, nulls, int(min(bits)), int(max(bits)))
        elif type_code == FLOAT:
            xs = [rng.choice([0.0, 1.5, -2.25, 100.75]) for _ in range(n)]
            block = Block(stored(b"\xfe\x04" + _rle([round(x * 10000) for x in xs])), RUN_LENGTH, nulls,
                          int(min(xs)), int(max(xs)))
        else:
            values = [rng.choice([b"", b"a", b"ab", b"zz"]) for _ in range(n)]
            block = text_block(values, data=stored(plain(values)), null_count=nulls)
        damage = rng.random()
        if damage < 0.3:
            block.min_int += rng.choice([-1, 1])
        elif damage < 0.5:
            block.max_int += rng.choice([-1, 1])
        elif damage < 0.6:
            block.null_count = rng.randint(0, n)
        elif damage < 0.75 and type_code == TEXT:
            block.min_text = rng.choice([b"", b"a", b"b"])
        elif damage < 0.85 and type_code == TEXT:
            block.max_text = rng.choice([b"ab", b"zz", b"zzz"])
        Container([Column("c", type_code)], n, [[block]]).write(path)
        with sarnio.open(path) as f:
            try:
                f.verify()
            except sarnio.SarnFormatError:
                continue
            passed += 1
            every = f.read()
            for p in predicates[type_code]:
                expected = [every["c"][i] for i in filter_rows(every, [p])]
                assert f.read(filters=[p])["c"] == expected, (block, p)
    assert passed > 100


def test_sarn_verify_names_the_enciphered_columns_it_skipped(tmp_path):
    key = bytes(range(32))
    path = tmp_path / "k.sarn"
    write_typed(path, [("ssn", "string", key), ("n", "int64", None)], [["123-45", 1], ["678-90", 2]], chunk_size=2)
    proc, _ = run_sarn("verify", path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "skipped the values and statistics of the enciphered column \"ssn\"" in proc.stdout
    assert "right key" not in proc.stdout


def test_sarn_verify_holds_one_column_at_a_time(tmp_path):
    # Three chunks of 2^24 integers (DELTA, 16 MiB of payload each): 128 MiB
    # of values at a time.  It took 419 MiB.
    rows = ROWS_24
    block = Block(lz_run(b"\x00\x02", rows), DELTA, 0, 0, rows - 1)
    path = Container([Column("n", INT)], rows, [[block]] * 3).write(tmp_path / "d.sarn")
    status, peak = sarn_peak("verify", path)
    assert status == 0 and peak < 250, (status, peak)
    out, err, peak, code = run_python("""
        import sarnio
        sarnio.open(sys.argv[1]).verify()
    """, path)
    assert code == 0 and peak < 250, (err, peak)


# ---- 9. enciphered columns ----------------------------------------------------------------------------


def test_statistics_of_an_enciphered_column_need_its_key(tmp_path):
    key = bytes(range(32))
    path = tmp_path / "k.sarn"
    write_typed(path, [("ssn", "string", key), ("n", "int64", None)], [["123-45", 1], ["678-90", 2]], chunk_size=2)
    with sarnio.open(path) as f:
        with pytest.raises(sarnio.SarnError, match="column 'ssn' is enciphered"):
            f.statistics("ssn")
        assert f.statistics("n")[0].max == 2
        with pytest.raises(sarnio.SarnError, match="'ssn' is enciphered"):
            f.read(filters=[("ssn", "==", "123-45")])
    with sarnio.open(path, keys={"ssn": key}) as f:
        assert f.statistics("ssn")[0].min == "123-45"
    proc, _ = run_sarn("info", "--chunks", path)
    assert proc.returncode == 0 and "123-45" not in proc.stdout and "678-90" not in proc.stdout
    assert "(enciphered)" in proc.stdout
    proc, _ = run_sarn("info", "--json", path)
    assert proc.returncode == 0 and "123-45" not in proc.stdout and "678-90" not in proc.stdout


# ---- 10. read_sarn's plan -------------------------------------------------------------------------------


def test_read_sarn_finds_a_file_replaced_with_the_same_size_and_time(tmp_path):
    import sarnio.dask

    path = tmp_path / "r.sarn"
    rows = 4
    original = Container([Column("n", INT)], rows, [[int_linear(0, 1, rows)]], created_at=1000).build()
    path.write_bytes(original)
    stamp = path.stat().st_mtime_ns
    for changed in (
        Container([Column("n", INT)], rows, [[int_linear(0, 1, rows)]], created_at=2000).build(),  # as cp -p leaves it
        Container([Column("n", INT)], rows, [[int_linear(5, 1, rows)]], created_at=1000).build(),  # other values
    ):
        assert len(changed) == len(original)
        path.write_bytes(original)
        os.utime(path, ns=(stamp, stamp))
        frame = sarnio.dask.read_sarn(path)
        path.write_bytes(changed)
        os.utime(path, ns=(stamp, stamp))
        with pytest.raises(RuntimeError, match="changed after the read was planned"):
            frame.compute()


def test_read_sarn_plans_a_wide_file_in_moments(tmp_path, sarn):
    import sarnio.dask

    csv = tmp_path / "wide.csv"
    csv.write_text(",".join(f"c{i}" for i in range(65535)) + "\n")
    out = tmp_path / "wide.sarn"
    sarn.compress_csv(str(csv), str(out))
    start = time.monotonic()
    frame = sarnio.dask.read_sarn(out)
    planned = time.monotonic() - start
    assert len(frame.columns) == 65535 and list(frame.columns[:2]) == ["c0", "c1"]
    # It took 78 s here, most of it adding the columns one by one; what is
    # left is Dask's own conversion of the text columns.
    assert planned < 40, planned
