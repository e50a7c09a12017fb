"""sarnio.dask on a two-process LocalCluster on the loopback interface:
compress_csv gives the bytes of one process (the module's, in its dialect)
however the byte ranges cut the file, also through quoted fields that hold
line breaks, and the errors of one process; compress_many; read_sarn
against the files' own to_pandas(), with filters that skip chunks and
neighbouring chunks grouped into partitions."""

import os
import subprocess
import sys
import textwrap

import pytest

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import sarn_fileformat  # noqa: E402
import sarnio  # noqa: E402
import sarnio.dask  # noqa: E402
from csv_reference import quoted_csv  # noqa: E402

CHUNK = 65536


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    c = distributed.Client(cluster)
    try:
        yield c
    finally:
        c.close()
        cluster.close()


def masked(path):
    """A container's bytes with the creation time (header bytes 24..31) zeroed."""
    data = bytearray(open(path, "rb").read())
    data[24:32] = bytes(8)
    return bytes(data)


# The options under which sarnio reads every input without a byte order
# mark as the module does.
MODULE_DIALECT = {"quote": None, "extra_fields": "drop"}


def one_process_bytes(csv, tmp_path, **options):
    ref = tmp_path / "one.sarn"
    sarnio.compress_csv(str(csv), str(ref), threads=2, **options)
    data = masked(ref)
    ref.unlink()
    return data


def module_bytes(csv, tmp_path):
    ref = tmp_path / "module.sarn"
    sarn_fileformat.compress_csv(str(csv), str(ref))
    return masked(ref)


def listing(folder):
    return sorted(os.listdir(folder))


# A line that puts a range edge at a chosen byte of itself: (bytes, index of
# the byte that must start a new range).
EDGE_LINES = [
    (b"crlf,between,cr and lf\r\n", len(b"crlf,between,cr and lf\r")),
    ("mb,\u00e9\u20ac\U0001F600,inside a 4-byte character\n".encode(), len("mb,\u00e9\u20ac".encode()) + 2),
    ("mb,\u00e9,inside a 2-byte character\n".encode(), len(b"mb,") + 1),
    (b"edge,at,line start\n", 0),
    (b"  \t \r\n", 2),                                   # a blank line cut in two
    ("\u3000\u00a0\u2028\n".encode(), 1),                # a blank line of non-ASCII space, cut inside
    (b"\n", 0),                                          # an empty line starting a range
    (b"lone\rcr,is,text\n", len(b"lone\r")),
    (b"cr,then,lf\r", len(b"cr,then,lf")),               # CR at a range's last byte; its LF starts the next
    (b"\n", 0),
    (b"short\n", len(b"short")),                         # the LF alone in the next range
]


def build_csv(path, rows, blocksize, bad_at=None):
    """About `rows` data lines with blank lines, CR LF and multi-byte text,
    and EDGE_LINES placed so that range edges (multiples of `blocksize`) fall
    at their marked bytes.  `bad_at`: a data row index whose line gets a
    byte that is not UTF-8."""
    out = bytearray(b"id, name ,ville\r\n")
    next_edge = blocksize
    edge = 0
    i = 0
    while i < rows:
        if next_edge - len(out) < 300:
            line, at = EDGE_LINES[edge % len(EDGE_LINES)]
            edge += 1
            need = next_edge - at - len(out)  # the padding line's length
            prefix = f"{i},pad,".encode()
            out += prefix + b"x" * (need - len(prefix) - 1) + b"\n"
            out += line
            assert len(out) - len(line) + at == next_edge
            next_edge += blocksize
            i += 1
            continue
        if i % 97 == 13:
            out += b"   \t\r\n" if i % 2 else b"\n"
        end = b"\r\n" if i % 3 == 0 else b"\n"
        text = f"{i}, n\u00e4me {i % 101} ,Z\u00fcrich \u6771\u4eac {i * 7919 % 10007}"
        if bad_at == i:
            out += text.encode()[:6] + b"\xff" + text.encode()[6:] + end
        else:
            out += text.encode() + end
        i += 1
    out += b"last,line,without line feed"
    path.write_bytes(bytes(out))
    return path


# ---- compress_csv ----------------------------------------------------------------


def test_large_file_byte_identical_with_edges_inside_lines(client, tmp_path):
    blocksize = 128 * 1024
    csv = build_csv(tmp_path / "big.csv", 300_000, blocksize)
    expected = module_bytes(csv, tmp_path)
    out = tmp_path / "big.sarn"
    result = sarnio.dask.compress_csv(csv, out, client=client, blocksize=blocksize, **MODULE_DIALECT)
    assert masked(out) == expected
    with sarnio.open(out) as f:
        assert result.rows == f.num_rows
        assert result.chunks == f.num_chunks
        # Chunk starts fall inside ranges, not on their edges.
        assert f.num_chunks >= 4 and os.path.getsize(csv) // blocksize > f.num_chunks
    assert result == (os.path.getsize(csv), os.path.getsize(out), result.rows, 3, result.chunks, result.seconds)
    assert listing(tmp_path) == ["big.csv", "big.sarn", "module.sarn"]


@pytest.mark.parametrize("options", [MODULE_DIALECT, {"extra_fields": "drop"}], ids=["module", "quoted"])
@pytest.mark.parametrize("blocksize", [1, 5, 64, "1 KiB"])
def test_tiny_ranges_byte_identical(client, tmp_path, blocksize, options):
    """Ranges shorter than a line: most hold no line start, many lines span
    several ranges, and every edge case of the dialect sits on some edge."""
    text = (b"\xef\xbb\xbfa, b ,c\r\n"       # BOM not part of the first name
            b"1,2,3\r\n\r\n   \n"
            b"\xe2\x80\x83x\xe2\x80\x83,\"q,r\",s,t,u\n"
            b"only one\n\t\n"
            b"x\ry,z\n"
            + "\u00e9\u00e8,\U0001F600,\u3000\n".encode()
            + b",,\n"
            b"end\r")
    csv = tmp_path / "small.csv"
    csv.write_bytes(text)
    expected = one_process_bytes(csv, tmp_path, **options)
    out = tmp_path / "small.sarn"
    sarnio.dask.compress_csv(str(csv), str(out), client=client, blocksize=blocksize, **options)
    assert masked(out) == expected
    # Without its byte order mark, the file gives the module's container.
    if options == MODULE_DIALECT:
        csv.write_bytes(text[3:])
        sarnio.dask.compress_csv(str(csv), str(out), client=client, blocksize=blocksize, **options)
        assert masked(out) == module_bytes(csv, tmp_path)


@pytest.mark.parametrize("types", [None, "infer", {"n": "int64"}], ids=["text", "infer", "named"])
def test_quoted_multiline_fields_byte_identical_for_every_blocksize(client, tmp_path, types):
    """Range edges land inside quoted fields that hold line breaks, just
    after a quote, between the two quotes of a "" and between CR and LF:
    each range's start state is picked from the range before."""
    csv = tmp_path / "q.csv"
    csv.write_bytes(quoted_csv(70_000, 5))
    expected = one_process_bytes(csv, tmp_path, types=types)
    for blocksize in (997, 4096, 65_537, "1 MiB"):
        out = tmp_path / "q.sarn"
        result = sarnio.dask.compress_csv(csv, out, client=client, blocksize=blocksize, types=types)
        assert masked(out) == expected, blocksize
        assert (result.rows, result.chunks) == (70_000, 2)
    with sarnio.open(out) as f:
        assert [field.type for field in f.schema][0] == ("int64" if types == "infer" else "string")
    assert listing(tmp_path) == ["q.csv", "q.sarn"]


def test_tiny_ranges_through_quoted_fields(client, tmp_path):
    text = quoted_csv(60, 9)
    csv = tmp_path / "small.csv"
    csv.write_bytes(text)
    for types in (None, "infer"):
        expected = one_process_bytes(csv, tmp_path, types=types)
        for blocksize in (1, 2, 3, 7, 16, 61):
            out = tmp_path / "small.sarn"
            sarnio.dask.compress_csv(csv, out, client=client, blocksize=blocksize, types=types)
            assert masked(out) == expected, (types, blocksize)


@pytest.mark.parametrize("tail,options", [
    (b'1,"open\nstill, open\n2,x,3,y\n', {}),
    (b'1,"q" x,3,y\n', {}),
    (b"1,2,3,4,5\n", {}),
    (b'1,"a\nb",3,4,"5\n6"\n', {}),
    (b"1,x,1.5,y\n", {"types": {"n": "int64"}}),
    (b'1,"x\n\xff",3,y\n', {}),
], ids=["unterminated", "after-quote", "extra", "extra-quoted", "not-integer", "not-utf8"])
def test_quoted_faults_match_one_process(client, tmp_path, tail, options):
    csv = tmp_path / "in.csv"
    csv.write_bytes(quoted_csv(3000, 4) + tail + quoted_csv(10, 6).partition(b"\n")[2])
    for blocksize in (777, 8192):
        error = same_failure(client, str(csv), str(tmp_path / "out.sarn"), blocksize, **options)
        assert isinstance(error, sarnio.SarnError) and ": line " in str(error)
    assert listing(tmp_path) == ["in.csv"]


def test_infer_through_dask_sees_a_late_cell(client, tmp_path):
    csv = tmp_path / "late.csv"
    csv.write_bytes(quoted_csv(70_000, 8, late_text=True))
    out = tmp_path / "late.sarn"
    sarnio.dask.compress_csv(csv, out, client=client, blocksize="64 KiB", types="infer")
    with sarnio.open(out) as f:
        assert [field.type for field in f.schema] == ["int64", "string", "string", "string"]
        assert f.read(columns=["n"])["n"][-3] == "007"


@pytest.mark.parametrize("data", [
    b"a,b\n",                     # header only
    b"a,b",                       # header only, no line feed
    b"a,b\r\n \n\t\r\n\n",        # header and blank lines only
    b"\n1\n",                     # empty header: one unnamed column
], ids=["header", "header-no-lf", "only-blank", "empty-header"])
def test_files_without_chunks_or_names(client, tmp_path, data):
    csv = tmp_path / "in.csv"
    csv.write_bytes(data)
    expected = module_bytes(csv, tmp_path)
    out = tmp_path / "out.sarn"
    sarnio.dask.compress_csv(csv, out, client=client, blocksize=3)
    assert masked(out) == expected


@pytest.mark.parametrize("rows", [CHUNK, CHUNK + 1, 2 * CHUNK + 1])
def test_row_counts_at_chunk_boundaries(client, tmp_path, rows):
    lines = [f"{i},{i % 7}" for i in range(rows)]
    lines[1000:1000] = ["", "  "]  # blank lines do not count
    csv = tmp_path / "in.csv"
    csv.write_text("n,m\n" + "\n".join(lines) + "\n")
    expected = module_bytes(csv, tmp_path)
    out = tmp_path / "out.sarn"
    result = sarnio.dask.compress_csv(csv, out, client=client, blocksize="100 KiB")
    assert masked(out) == expected
    assert result.rows == rows and result.chunks == -(-rows // CHUNK)


def test_local_default_scheduler_without_a_client(tmp_path):
    """With no distributed client anywhere, Dask's local scheduler runs the
    same steps (in a fresh interpreter, so the module's cluster is unseen)."""
    csv = build_csv(tmp_path / "in.csv", 70_000, 64 * 1024)
    expected = module_bytes(csv, tmp_path)
    out = tmp_path / "out.sarn"
    code = textwrap.dedent(f"""
        import sarnio.dask
        r = sarnio.dask.compress_csv({str(csv)!r}, {str(out)!r}, blocksize="64 KiB", quote=None,
                                     extra_fields="drop")
        print(r.rows)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert masked(out) == expected


# ---- compress_csv: errors ----------------------------------------------------------


def same_failure(client, csv, out, blocksize, **options):
    """Runs sarnio.compress_csv and sarnio.dask.compress_csv on the same
    paths; both must fail alike and leave `out` as it was."""
    before = open(out, "rb").read() if os.path.isfile(out) else None
    with pytest.raises(Exception) as one:
        sarnio.compress_csv(csv, out, threads=2, **options)
    with pytest.raises(Exception) as dist:
        sarnio.dask.compress_csv(csv, out, client=client, blocksize=blocksize, **options)
    assert type(dist.value) is type(one.value)
    assert str(dist.value) == str(one.value)
    if isinstance(one.value, OSError):
        assert (dist.value.errno, dist.value.filename) == (one.value.errno, one.value.filename)
    after = open(out, "rb").read() if os.path.isfile(out) else None
    assert after == before
    return dist.value


def test_invalid_utf8_in_a_late_range(client, tmp_path):
    blocksize = 128 * 1024
    csv = build_csv(tmp_path / "bad.csv", 300_000, blocksize, bad_at=290_000)
    out = tmp_path / "bad.sarn"
    out.write_bytes(b"the old output")
    error = same_failure(client, str(csv), str(out), blocksize, **MODULE_DIALECT)
    assert isinstance(error, sarnio.SarnError) and "not valid UTF-8" in str(error)
    assert listing(tmp_path) == ["bad.csv", "bad.sarn"]


@pytest.mark.parametrize("data", [
    b"",                                                   # empty
    b"a,\xff\n1,2\n",                                      # the header
    b"a,b\n1,2\n" + b"x" * 40 + b"\xc3\n" + b"3,\xff\n",   # a line spanning ranges; the first fault wins
    b"a,b\n" + b"1,2\n" * 50 + b"\xed\xa0\x80\n",          # a surrogate, in the last range
    b"a,b\n1,2\n\xe2\x82",                                  # truncated at the end of the file
    b"a,b\n1,2\n \xc2\n",                                   # a blank-looking line that is not UTF-8
    (b"c," * 65535) + b"c\n1\n",                           # 65,536 columns
    (b"c," * 65535) + b"\xff\n",                           # too wide and not UTF-8: the header fault first
], ids=["empty", "header", "spanning", "surrogate", "truncated", "blank", "wide", "wide-bad"])
def test_faults_match_one_process(client, tmp_path, data):
    csv = tmp_path / "in.csv"
    csv.write_bytes(data)
    # Ranges of 16 bytes, or 32 ranges for the wide headers (which span them all).
    same_failure(client, str(csv), str(tmp_path / "out.sarn"), max(16, len(data) // 32))
    assert listing(tmp_path) == ["in.csv"]


def test_path_errors_match_one_process(client, tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a\n1\n")
    e = same_failure(client, str(tmp_path / "missing.csv"), str(tmp_path / "o.sarn"), 16)
    assert isinstance(e, FileNotFoundError)
    e = same_failure(client, str(tmp_path), str(tmp_path / "o.sarn"), 16)
    assert isinstance(e, IsADirectoryError)
    e = same_failure(client, str(csv), str(csv), 16)
    assert isinstance(e, ValueError)
    e = same_failure(client, str(csv), str(tmp_path / "no" / "o.sarn"), 16)
    assert isinstance(e, FileNotFoundError)
    (tmp_path / "dir.sarn").mkdir()
    e = same_failure(client, str(csv), str(tmp_path / "dir.sarn"), 16)
    assert isinstance(e, IsADirectoryError)
    assert csv.read_text() == "a\n1\n"
    assert listing(tmp_path) == ["dir.sarn", "in.csv"]


FULL_DISK_CHILD = """
import errno, os, resource, signal, sys
import sarnio.dask
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[3]), resource.RLIM_INFINITY))
try:
    sarnio.dask.compress_csv(sys.argv[1], sys.argv[2], blocksize=sys.argv[4])
except OSError as e:
    print(type(e).__name__, errno.errorcode.get(e.errno), e.filename == sys.argv[2])
else:
    print("no error")
"""


@pytest.mark.parametrize("limit", [300_000, 550_000], ids=["while-encoding", "while-assembling"])
def test_a_full_disk_is_an_oserror_naming_the_output(tmp_path, limit):
    # A file-size limit stands for a full disk.  The container of this input
    # is about 720 kB in two chunks of about 360 kB, each spilled on its own:
    # 300 kB stops the spill files while the chunks are encoded, 550 kB only
    # the container while it is assembled.  Either way the error is the
    # system's, with errno and the output as filename, and nothing is left.
    csv = build_csv(tmp_path / "in.csv", 120_000, 1 << 20)
    out = tmp_path / "out.sarn"
    out.write_bytes(b"the old output")
    done = subprocess.run([sys.executable, "-c", FULL_DISK_CHILD, str(csv), str(out), str(limit), "1 MiB"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["OSError", "EFBIG", "True"], done.stdout
    assert out.read_bytes() == b"the old output"
    assert listing(tmp_path) == ["in.csv", "out.sarn"]


def test_blocksize_is_checked(tmp_path):
    for bad in (0, -1, "zero", 1.5):
        with pytest.raises((ValueError, TypeError)):
            sarnio.dask.compress_csv(tmp_path / "a.csv", tmp_path / "a.sarn", blocksize=bad)


# ---- compress_many ---------------------------------------------------------------


def test_compress_many(client, tmp_path):
    sources = tmp_path / "in"
    sources.mkdir()
    csvs = []
    for k in range(4):
        p = sources / f"part{k}.csv"
        p.write_text("k,v\n" + "".join(f"{k},{i}\n" for i in range(k * 40_000)))
        csvs.append(p)
    out = tmp_path / "out"
    out.mkdir()
    results = sarnio.dask.compress_many(csvs, out, client=client)
    assert [r.rows for r in results] == [0, 40_000, 80_000, 120_000]
    for p, r in zip(csvs, results):
        target = out / (p.stem + ".sarn")
        assert masked(target) == module_bytes(p, tmp_path)
        assert (r.input_bytes, r.output_bytes, r.columns) == (os.path.getsize(p), os.path.getsize(target), 2)


def test_compress_many_refuses_clashing_names_and_reports_the_first_failure(client, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    for d in "ab":
        (tmp_path / d / "x.csv").write_text("h\n1\n")
    with pytest.raises(ValueError, match="both"):
        sarnio.dask.compress_many([tmp_path / "a" / "x.csv", tmp_path / "b" / "x.csv"], tmp_path, client=client)
    (tmp_path / "empty.csv").write_bytes(b"")
    with pytest.raises(ValueError, match="CSV file is empty"):
        sarnio.dask.compress_many([tmp_path / "a" / "x.csv", tmp_path / "empty.csv"], tmp_path, client=client)
    assert (tmp_path / "x.sarn").exists()  # the file that worked is kept


class NoTasks:
    """A client that must not be asked to run anything."""

    def submit(self, *args, **kwargs):
        raise AssertionError("a task was submitted")


def test_compress_many_refuses_a_lone_path_and_a_missing_folder_before_any_task(tmp_path):
    csv = tmp_path / "a.csv"
    csv.write_text("h\n1\n")
    for lone in (str(csv), csv, bytes(csv)):
        with pytest.raises(TypeError, match="single"):
            sarnio.dask.compress_many(lone, tmp_path, client=NoTasks())
    missing = tmp_path / "missing"
    with pytest.raises(FileNotFoundError) as info:
        sarnio.dask.compress_many([csv], missing, client=NoTasks())
    assert info.value.filename == str(missing)
    with pytest.raises(NotADirectoryError) as info:
        sarnio.dask.compress_many([csv], csv, client=NoTasks())
    assert info.value.filename == str(csv)
    assert listing(tmp_path) == ["a.csv"]


# ---- read_sarn -------------------------------------------------------------------


@pytest.fixture(scope="module")
def containers(tmp_path_factory):
    """Three containers of the same columns; `region` is sorted, so an
    equality filter on it leaves few chunks."""
    folder = tmp_path_factory.mktemp("containers")
    paths = []
    regions = ["north", "east", "south", "west"]
    for k, rows in enumerate([150_000, 70_000, 10]):
        csv = folder / f"f{k}.csv"
        with open(csv, "w") as f:
            f.write("region,id,note\n")
            for i in range(rows):
                region = regions[min(i * len(regions) // max(rows, 1), 3)] if k < 2 else "east"
                f.write(f"{region},{k}-{i},{'' if i % 11 == 0 else 'n' + str(i % 13)}\n")
        out = folder / f"f{k}.sarn"
        sarnio.compress_csv(csv, out)
        paths.append(str(out))
    return paths


def expected_frame(paths, columns=None, filters=None):
    frames = []
    for p in paths:
        with sarnio.open(p) as f:
            frames.append(f.to_pandas(columns=columns, filters=filters))
    return pd.concat(frames, ignore_index=True)


def same_rows(got, want):
    pd.testing.assert_frame_equal(got.reset_index(drop=True).astype(object), want.astype(object),
                                  check_dtype=False)


def test_read_sarn_equals_each_files_pandas(client, containers):
    df = sarnio.dask.read_sarn(containers, split_chunks=True)
    chunks = 0
    for p in containers:
        with sarnio.open(p) as f:
            chunks += f.num_chunks
    assert df.npartitions == chunks
    same_rows(df.compute(), expected_frame(containers))
    # By default these small files are a partition each.
    df = sarnio.dask.read_sarn(containers)
    assert df.npartitions == len(containers)
    assert list(df.columns) == ["region", "id", "note"]
    same_rows(df.compute(), expected_frame(containers))
    # A glob reads the same files, in sorted order.
    folder = os.path.dirname(containers[0])
    same_rows(sarnio.dask.read_sarn(os.path.join(folder, "f*.sarn")).compute(), expected_frame(containers))


def test_read_sarn_columns(client, containers):
    df = sarnio.dask.read_sarn(containers, columns=["note", "region"])
    assert list(df.columns) == ["note", "region"]
    same_rows(df.compute(), expected_frame(containers, columns=["note", "region"]))
    # Dask may narrow the columns further when it plans the computation.
    same_rows(sarnio.dask.read_sarn(containers)["id"].to_frame().compute(),
              expected_frame(containers, columns=["id"]))


@pytest.mark.parametrize("filters", [
    [("region", "==", "south")],
    [("region", "in", ["west", "nowhere"]), ("note", "!=", "n3")],
    [[("region", "==", "north")], [("id", "==", "2-5")]],
    [("id", ">=", "1-69990")],
])
def test_read_sarn_filters_skip_partitions(client, containers, filters):
    df = sarnio.dask.read_sarn(containers, filters=filters, split_chunks=True)
    total = 0
    planned = 0
    for p in containers:
        with sarnio.open(p) as f:
            total += f.num_chunks
            f.read(columns=["region"], filters=filters)
            planned += f.last_scan.chunks_read
    assert df.npartitions == planned < total
    same_rows(df.compute(), expected_frame(containers, filters=filters))


# ---- read_sarn: partitions of several chunks ----------------------------------------------


@pytest.fixture(scope="module")
def many_chunks(tmp_path_factory):
    """A container of 8 chunks and a few rows: `k` is the chunk's number (so
    that a filter on it leaves chosen chunks), `v` a row number."""
    folder = tmp_path_factory.mktemp("many")
    csv = folder / "many.csv"
    rows = 7 * CHUNK + 100
    with open(csv, "w") as f:
        f.write("k,v\n")
        f.writelines(f"c{i // CHUNK},{i}\n" for i in range(rows))
    out = folder / "many.sarn"
    sarnio.compress_csv(csv, out)
    with sarnio.open(out) as f:
        assert f.num_chunks == 8
    return str(out)


def chunk_bytes(path, columns=None, filters=None):
    """The stored bytes of each chunk's blocks that a read of `columns` takes."""
    with sarnio.open(path) as f:
        plan = f._plan(columns, filters, as_json=True)
        return list(plan.chunks()), list(plan.chunk_bytes())


def fewest_groups(sizes, limit):
    """The fewest runs of neighbours of at most `limit` bytes each (a larger
    one alone), by filling each run while the next one fits."""
    count, load = 0, None
    for size in sizes:
        if load is None or load + size > limit:
            count, load = count + 1, size
        else:
            load += size
    return count


def partition_rows(df):
    return df.map_partitions(len).compute().tolist()


@pytest.mark.parametrize("split_chunks,rows", [
    (True, [CHUNK] * 7 + [100]),
    (False, [7 * CHUNK + 100]),
    (1, [CHUNK] * 7 + [100]),
    (3, [3 * CHUNK, 3 * CHUNK, CHUNK + 100]),
    (8, [7 * CHUNK + 100]),
    (100, [7 * CHUNK + 100]),
])
def test_read_sarn_chunks_per_partition(client, many_chunks, split_chunks, rows):
    df = sarnio.dask.read_sarn(many_chunks, split_chunks=split_chunks)
    assert df.npartitions == len(rows)
    assert partition_rows(df) == rows
    same_rows(df.compute(), expected_frame([many_chunks]))


def test_read_sarn_blocksize_groups_neighbours_evenly(client, many_chunks):
    chunks, sizes = chunk_bytes(many_chunks)
    assert chunks == list(range(8))
    full = sum(sizes[:7]) // 7  # the full chunks' blocks are about this size
    for blocksize, partitions in [
        (1, 8),  # smaller than any chunk: one each
        (sum(sizes), 1),
        (f"{sum(sizes) + 1} B", 1),
        (2 * full + full // 2, None),
        (3 * full + full // 2, None),
    ]:
        df = sarnio.dask.read_sarn(many_chunks, blocksize=blocksize)
        limit = blocksize if isinstance(blocksize, int) else sum(sizes) + 1
        expected = partitions if partitions is not None else fewest_groups(sizes, limit)
        assert df.npartitions == expected, blocksize
        counts = partition_rows(df)
        assert sum(counts) == 7 * CHUNK + 100
        # Whole chunks, in order, within the limit unless alone.
        assert all(n % CHUNK == 0 for n in counts[:-1])
        groups, at = [], 0
        for n in counts:
            k = -(-n // CHUNK)
            groups.append(sizes[at:at + k])
            at += k
        assert all(len(g) == 1 or sum(g) <= limit for g in groups), (blocksize, groups)
        # Even: no small remainder, as filling each partition up would leave
        # (3.5 chunks a partition: 2, 3 and 2 and a bit, not 3, 3 and 1 and a bit).
        loads = [sum(g) for g in groups]
        assert min(loads) >= sum(sizes) / len(groups) - max(sizes), (blocksize, groups)
    # The default groups the 8 small chunks of this file into one partition.
    assert sarnio.dask.read_sarn(many_chunks).npartitions == 1


def test_read_sarn_selected_columns_size_the_partitions(client, many_chunks):
    # Fewer columns read, fewer bytes per chunk: more chunks per partition.
    _, both = chunk_bytes(many_chunks)
    _, k_only = chunk_bytes(many_chunks, columns=["k"])
    _, v_only = chunk_bytes(many_chunks, columns=["v"])
    assert sum(k_only) < sum(both) and [k + v for k, v in zip(k_only, v_only)] == both
    # A column read only for the filter is read all the same.
    _, v_filtered_on_k = chunk_bytes(many_chunks, columns=["v"], filters=[("k", "!=", "x")])
    assert v_filtered_on_k == both
    blocksize = 2 * max(both)
    assert (sarnio.dask.read_sarn(many_chunks, columns=["k"], blocksize=blocksize).npartitions
            < sarnio.dask.read_sarn(many_chunks, blocksize=blocksize).npartitions)


@pytest.mark.parametrize("sizes,blocksize,groups", [
    # A chunk larger than the limit stands alone; its small neighbours
    # still pair up.
    ([5, 5, 100, 5, 5], 10, [[0, 1], [2], [3, 4]]),
    # Even, where filling up would leave 3, 3 and 1.
    ([10] * 7, 35, [[0, 1], [2, 3, 4], [5, 6]]),
    # Uneven sizes: the fewest partitions within the limit.
    ([1, 1, 1, 1, 50, 1], 52, [[0, 1, 2, 3], [4, 5]]),
    ([30, 1, 1, 30], 31, [[0, 1], [2, 3]]),
    ([30, 1, 1, 30], 30, [[0], [1, 2], [3]]),
    ([7], 1, [[0]]),
    ([0, 0, 0], 1, [[0, 1, 2]]),
])
def test_grouping_by_bytes_with_uneven_chunks(sizes, blocksize, groups):
    split = sarnio.dask._split_option("adaptive", blocksize)
    chunks = [10 + i for i in range(len(sizes))]  # chunk numbers are not positions
    got = sarnio.dask._group_chunks(chunks, sizes, split)
    assert got == [tuple(10 + i for i in g) for g in groups]
    assert len(got) == fewest_groups(sizes, blocksize)


@pytest.mark.parametrize("filters,survivors", [
    ([("k", "in", ["c0", "c1", "c5", "c6", "c7"])], [0, 1, 5, 6, 7]),
    ([("k", "==", "c3")], [3]),
    ([("k", ">", "c5")], [6, 7]),
])
@pytest.mark.parametrize("split_chunks", [True, 2, False, "adaptive"])
def test_read_sarn_filters_with_grouping(client, many_chunks, filters, survivors, split_chunks):
    chunks, sizes = chunk_bytes(many_chunks, filters=filters)
    assert chunks == survivors  # the footer rules the others out
    blocksize = None
    if split_chunks == "adaptive":
        blocksize = sizes[0] + sizes[-1]  # about two chunks a partition
    df = sarnio.dask.read_sarn(many_chunks, filters=filters, split_chunks=split_chunks, blocksize=blocksize)
    expected = {True: len(survivors), 2: -(-len(survivors) // 2), False: 1,
                "adaptive": fewest_groups(sizes, blocksize or 1)}[split_chunks]
    assert df.npartitions == expected
    want = expected_frame([many_chunks], filters=filters)
    assert sorted(set(want["k"])) == [f"c{c}" for c in survivors]
    same_rows(df.compute(), want)


@pytest.mark.parametrize("options,error,message", [
    ({"split_chunks": 0}, ValueError, "split_chunks must be a positive number of chunks per partition, not 0"),
    ({"split_chunks": -2}, ValueError, "positive number of chunks"),
    ({"split_chunks": "auto"}, ValueError, "split_chunks must be 'adaptive', True, False or a number of chunks"),
    ({"split_chunks": 1.5}, TypeError, "split_chunks must be .* not float"),
    ({"split_chunks": None}, TypeError, "not NoneType"),
    ({"blocksize": "lots"}, ValueError, "blocksize 'lots' is not a size"),
    ({"blocksize": 0}, ValueError, "blocksize must be a positive number of bytes, not 0"),
    ({"blocksize": "0 B"}, ValueError, "positive number of bytes"),
    ({"blocksize": -5}, ValueError, "positive number of bytes"),
    ({"blocksize": True}, TypeError, "blocksize must be a number of bytes .* not bool"),
    ({"blocksize": 1.5}, TypeError, "not float"),
    ({"split_chunks": True, "blocksize": "1 MiB"}, ValueError, "blocksize applies only with split_chunks='adaptive'"),
    ({"split_chunks": 3, "blocksize": 1000}, ValueError, "blocksize applies only"),
])
def test_read_sarn_refuses_bad_partition_sizes(containers, options, error, message):
    with pytest.raises(error, match=message):
        sarnio.dask.read_sarn(containers, **options)


@pytest.mark.parametrize("convert", [True, False])
def test_read_sarn_text_dtype_follows_dasks_setting_where_planned(client, containers, convert):
    # Text goes straight from Arrow to Dask's Arrow-backed strings, or stays
    # object when Dask's conversion is off; the partitions computed later
    # (under the default setting) keep the planned dtype and the empty texts.
    import dask

    with dask.config.set({"dataframe.convert-string": convert}):
        df = sarnio.dask.read_sarn(containers, split_chunks=True)
    want = pd.StringDtype("pyarrow") if convert else object
    assert df.dtypes["note"] == want and df._meta.dtypes["region"] == want
    got = df.compute()
    assert list(got.dtypes) == [want] * 3
    expected = expected_frame(containers)
    assert (got["note"] == "").sum() == (expected["note"] == "").sum() > 0
    same_rows(got, expected)


def test_read_sarn_nothing_survives(client, containers):
    df = sarnio.dask.read_sarn(containers, columns=["id"], filters=[("region", "==", "atlantis")])
    assert df.npartitions == 1
    got = df.compute()
    assert list(got.columns) == ["id"] and len(got) == 0


def test_read_sarn_refuses_bad_requests(containers, tmp_path):
    with pytest.raises(KeyError):
        sarnio.dask.read_sarn(containers, columns=["nope"])
    with pytest.raises(KeyError):
        sarnio.dask.read_sarn(containers, filters=[("nope", "==", "x")])
    with pytest.raises(FileNotFoundError):
        sarnio.dask.read_sarn(str(tmp_path / "*.sarn"))
    other = tmp_path / "other.csv"
    other.write_text("a\n1\n")
    sarnio.compress_csv(other, tmp_path / "other.sarn")
    with pytest.raises(ValueError, match="columns"):
        sarnio.dask.read_sarn([containers[0], str(tmp_path / "other.sarn")])


def test_read_sarn_raises_the_readers_error_for_a_damaged_block(client, tmp_path):
    csv = tmp_path / "a.csv"
    csv.write_text("a,b\n" + "".join(f"{i},x{i % 7}\n" for i in range(1000)))
    out = tmp_path / "a.sarn"
    sarnio.compress_csv(csv, out)
    data = bytearray(out.read_bytes())
    footer_offset = int.from_bytes(data[-8:], "little")
    data[footer_offset - 5] ^= 0x04  # inside the last block: column b
    out.write_bytes(bytes(data))
    with sarnio.open(out) as f:
        with pytest.raises(sarnio.SarnFormatError) as read:
            f.read()
    assert "chunk 0, column 1 ('b'), block at offset" in str(read.value)
    df = sarnio.dask.read_sarn(out)
    with pytest.raises(sarnio.SarnFormatError) as computed:
        df.compute()
    assert str(computed.value) == str(read.value)


def test_read_sarn_keeps_repeated_names(client, tmp_path):
    csv = tmp_path / "a.csv"
    csv.write_text("a,b,a\n1,2,3\n4,5,6\n")
    out = tmp_path / "a.sarn"
    sarnio.compress_csv(csv, out)
    df = sarnio.dask.read_sarn(out)
    assert list(df.columns) == ["a", "b", "a"]
    got = df.compute()
    assert [got.iloc[:, i].tolist() for i in range(3)] == [["1", "4"], ["2", "5"], ["3", "6"]]
    assert df["b"].compute().tolist() == ["2", "5"]
    with pytest.raises(ValueError, match="column name 'a' is ambiguous"):
        sarnio.dask.read_sarn(out, columns=["a"])


def test_read_sarn_refuses_a_file_changed_after_planning(client, tmp_path):
    csv = tmp_path / "a.csv"
    csv.write_text("a\n1\n2\n")
    out = tmp_path / "a.sarn"
    sarnio.compress_csv(csv, out)
    df = sarnio.dask.read_sarn(out)
    csv.write_text("a\n1\n2\n3\n")
    sarnio.compress_csv(csv, out)
    with pytest.raises(RuntimeError, match="changed"):
        df.compute()


def test_relative_paths_are_named_as_given(client, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rel.csv").write_bytes(b"a\n1\n\xff\n")
    error = same_failure(client, "rel.csv", "rel.sarn", 2)
    assert str(error).startswith("rel.csv: line 3 ")
    error = same_failure(client, "missing.csv", "rel.sarn", 2)
    assert error.filename == "missing.csv"
    (tmp_path / "ok.csv").write_text("a\n1\n")
    sarnio.dask.compress_csv("ok.csv", "ok.sarn", client=client)
    assert masked(tmp_path / "ok.sarn") == module_bytes(tmp_path / "ok.csv", tmp_path)


def test_lines_longer_than_the_read_window(client, tmp_path):
    """Lines of several MiB: ranges that start inside them, and a line's
    bytes gathered across several reads (one with an invalid byte after its
    first MiB)."""
    long_field = ("\u00e9" * 700_000 + "x" * 1_000_001).encode()   # about 2.4 MB, 2-byte characters first
    text = b"a,b\n1,2\n" + long_field + b",tail\r\n3,4\n" + b"y" * 3_000_000 + b"\n\n5,6"
    csv = tmp_path / "long.csv"
    csv.write_bytes(text)
    expected = module_bytes(csv, tmp_path)
    out = tmp_path / "long.sarn"
    for blocksize in ("700 KiB", "3 MiB"):
        sarnio.dask.compress_csv(csv, out, client=client, blocksize=blocksize)
        assert masked(out) == expected
    bad = bytearray(text)
    bad[8 + 1_200_001] = 0xFF  # the second byte of an é, past the first MiB of the line
    csv.write_bytes(bytes(bad))
    error = same_failure(client, str(csv), str(out), "700 KiB")
    assert "line 3 " in str(error)
