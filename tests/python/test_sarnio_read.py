"""sarnio.open: containers read back as columns, batches and Arrow, filters
that skip chunks, and refusal of damaged input."""

from __future__ import annotations

import os
import pathlib
import random
import re
import struct

import pytest

import sarnio
from csv_reference import dialect_table
from sarnio_read_support import expected_column, filter_rows, write_typed

REPO = pathlib.Path(__file__).resolve().parents[2]
SHARED = REPO.parent / "shared" / "data"


@pytest.fixture(scope="module")
def sarn_module():
    import sarn_fileformat

    return sarn_fileformat


def compress(sarn_module, csv_path, out):
    sarn_module.compress_csv(str(csv_path), str(out))
    return out


def csv_columns(csv_path):
    names, rows = dialect_table(pathlib.Path(csv_path).read_bytes())
    return names, {n: [r[i] for r in rows] for i, n in enumerate(names)}


# ---- round trips of CSV files ------------------------------------------------------------

EXAMPLES = sorted((REPO / "examples").glob("*.csv")) + sorted((REPO / "tests" / "data").glob("*.csv"))


@pytest.mark.parametrize("csv_path", EXAMPLES, ids=lambda p: p.name)
def test_csv_fixture_reads_back_as_the_dialect_reads_it(sarn_module, tmp_path, csv_path):
    try:
        csv_path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        # A fixture the dialect refuses makes no container to read back.
        with pytest.raises(OSError, match="UTF-8"):
            compress(sarn_module, csv_path, tmp_path / "f.sarn")
        return
    out = compress(sarn_module, csv_path, tmp_path / "f.sarn")
    names, columns = csv_columns(csv_path)
    with sarnio.open(out) as f:
        assert [fl.name for fl in f.schema] == names
        assert all(fl.type == "string" and not fl.encrypted for fl in f.schema)
        assert f.num_rows == len(columns[names[0]]) if names else 0
        assert f.read() == columns
        for threads in (1, 2):
            assert f.to_arrow(threads=threads).to_pydict() == columns


@pytest.mark.skipif(not SHARED.is_dir(), reason="../shared/data is not present")
@pytest.mark.parametrize("name", ["airports.csv", "birdstrikes.csv", "flights-3m.csv", "s57expectedinput.csv", "sp500-2000.csv", "ubuntu.csv", "zipcodes.csv"])
def test_shared_file_reads_back_as_the_dialect_reads_it(sarn_module, tmp_path, name):
    csv_path = SHARED / name
    if not csv_path.exists():
        pytest.skip(f"{name} is not in ../shared/data")
    try:
        out = compress(sarn_module, csv_path, tmp_path / "f.sarn")
    except OSError as e:
        # Files the dialect refuses (not UTF-8) make no container.
        assert "UTF-8" in str(e)
        return
    names, columns = csv_columns(csv_path)
    with sarnio.open(out) as f:
        assert f.read(threads=2) == columns
        assert f.to_arrow().to_pydict() == columns


# ---- typed and enciphered containers ------------------------------------------------------

KEY_A = bytes(range(32))
KEY_B = bytes(range(100, 132))

TYPED_COLUMNS = [
    ("id", "int64", None),
    ("price", "float64", None),
    ("ok", "bool", None),
    ("name", "string", None),
    ("blob", "binary", None),
    ("doc", "object", None),
    ("tags", "list", None),
    ("secret", "string", KEY_A),
    ("amount", "int64", KEY_B),
]


def random_cell(rng, type_name, null_rate):
    if rng.random() < null_rate:
        return None
    if type_name == "int64":
        return rng.choice([rng.randint(-5, 5), rng.randint(-(2**62), 2**62), 0])
    if type_name == "float64":
        return rng.choice([round(rng.uniform(-1000, 1000), 6), 0.5, -2.25, 0.00005])
    if type_name == "bool":
        return rng.random() < 0.5
    if type_name == "string":
        return rng.choice(["", "a", "b", "ab", "Ωmega", "zz", "日本", "x" * rng.randint(0, 200)])
    if type_name == "binary":
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 6)))
    if type_name == "object":
        return {"k": rng.randint(-3, 3), "s": "t", "n": None, "f": 1.5, "b": b"\x00\xff", "l": [1, "x", True]}
    return [rng.randint(0, 9) for _ in range(rng.randint(0, 4))]


def make_typed_rows(rng, n, null_rates):
    rows = []
    for _ in range(n):
        rows.append([random_cell(rng, t, null_rates[j]) for j, (_, t, _) in enumerate(TYPED_COLUMNS)])
    return rows


@pytest.fixture(scope="module")
def typed_file(tmp_path_factory):
    """A container of 9 columns, chunks of 7 rows: some chunks all null in a
    column, some with mixed nulls, some without."""
    rng = random.Random(1234)
    rows = []
    for block, rates in enumerate([0.0, 0.3, 1.0, 0.0, 0.6, 0.1]):
        rows += make_typed_rows(rng, 7 if block < 5 else 5, [rates] * len(TYPED_COLUMNS))
    path = tmp_path_factory.mktemp("typed") / "typed.sarn"
    write_typed(path, TYPED_COLUMNS, rows, chunk_size=7)
    expected = {name: expected_column(t, [r[i] for r in rows], 7) for i, (name, t, _) in enumerate(TYPED_COLUMNS)}
    return path, rows, expected


KEYS = {"secret": KEY_A, "amount": KEY_B}


def test_typed_columns_read_back_with_their_types_and_values(typed_file):
    path, rows, expected = typed_file
    with sarnio.open(path, keys=KEYS) as f:
        assert [(fl.name, fl.type, fl.encrypted) for fl in f.schema] == [(n, t, k is not None) for n, t, k in TYPED_COLUMNS]
        assert f.num_rows == len(rows) and f.chunk_rows == [7, 7, 7, 7, 7, 5]
        assert f.read() == expected
        batches = list(f.iter_batches(threads=2))
        assert [len(b["id"]) for b in batches] == f.chunk_rows
        f.verify()


def test_arrow_types_and_json_of_structured_values(typed_file):
    import json

    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    path, rows, expected = typed_file
    with sarnio.open(path, keys=KEYS) as f:
        t = f.to_arrow()
    assert [str(t.schema.field(n).type) for n in ("id", "price", "ok", "name", "blob", "doc", "tags")] == [
        "int64", "double", "bool", "string", "binary", "string", "string"]
    got = t.to_pydict()
    for name in ("id", "price", "ok", "name", "blob", "secret", "amount"):
        assert got[name] == expected[name], name
    # Structured values are JSON text (bytes as base64).
    for name in ("doc", "tags"):
        for text, value in zip(got[name], expected[name]):
            if value is None:
                assert text is None
            else:
                decoded = json.loads(text)
                if isinstance(value, dict):
                    value = dict(value, b="AP8=")
                assert decoded == value
    assert isinstance(t, pa.Table)


def test_enciphered_column_needs_its_key(typed_file):
    path, _, expected = typed_file
    with sarnio.open(path) as f:
        # Columns in the clear read without keys.
        assert f.read(columns=["id"])["id"] == expected["id"]
        for call in (lambda: f.read(), lambda: f.read(columns=["secret"]), lambda: f.to_arrow(columns=["amount"]),
                     lambda: f.read(columns=["id"], filters=[("secret", "==", "a")])):
            with pytest.raises(sarnio.SarnError, match="'secret'|'amount'"):
                call()
    with sarnio.open(path, keys={"secret": KEY_B, "amount": KEY_A}) as f:
        with pytest.raises(sarnio.SarnFormatError, match="chunk 0, column 7 \\('secret'\\)"):
            f.read(columns=["secret"])
        with pytest.raises(sarnio.SarnFormatError, match="'amount'"):
            f.read(columns=["amount"])


@pytest.mark.parametrize(
    "keys, error",
    [
        ({"nope": KEY_A}, KeyError),
        ({"secret": KEY_A[:31]}, ValueError),
        ({"secret": "x" * 32}, TypeError),
        ({"id": KEY_A}, ValueError),
    ],
)
def test_bad_keys(typed_file, keys, error):
    with pytest.raises(error):
        sarnio.open(typed_file[0], keys=keys)


def test_statistics_come_from_the_footer(typed_file):
    path, rows, expected = typed_file
    with sarnio.open(path, keys=KEYS) as f:
        stats = f.statistics("id")
        assert len(stats) == f.num_chunks
        for c, s in enumerate(stats):
            chunk = [r[0] for r in rows[c * 7:(c + 1) * 7]]
            values = [v for v in chunk if v is not None]
            assert s.null_count == len(chunk) - len(values)
            assert (s.min, s.max) == ((min(values), max(values)) if values else (None, None))
        assert f.statistics("blob")[0].min is None
        with pytest.raises(KeyError):
            f.statistics("nope")


# ---- filters ----------------------------------------------------------------------------------

FILTER_CASES = [
    [("id", "==", 0)],
    [("id", "!=", 0)],
    [("id", "<", 3)],
    [("id", ">=", -2), ("id", "<=", 2)],
    [("id", "in", [1, 2, 3])],
    [("id", "not in", [0, 1])],
    [("id", "==", 2.0)],
    [("id", "<", 2.5)],
    [("id", ">", 2**70)],
    [("id", "!=", float("nan"))],
    [("price", ">", 0.5)],
    [("price", "==", 0.0001)],
    [("price", "in", [0.5, -2.25])],
    [("ok", "==", True)],
    [("ok", "!=", False)],
    [("name", "==", "")],
    [("name", "!=", "a")],
    [("name", ">", "b")],
    [("name", "in", {"a", "日本"})],
    [("name", "not in", ("a", ""))],
    [("blob", "==", b"")],
    [("blob", "<", b"\x80")],
    [[("id", "==", 1)], [("name", "==", "ab")]],
    [[("name", "==", "zz"), ("ok", "==", True)], [("price", "<", 0)]],
    [("secret", "==", "Ωmega")],
    [("amount", ">", 0)],
    [("id", "in", [])],
]


@pytest.mark.parametrize("filters", FILTER_CASES, ids=str)
def test_filters_agree_with_a_plain_python_filter(typed_file, filters):
    path, _, expected = typed_file
    keep = filter_rows(expected, filters)
    with sarnio.open(path, keys=KEYS) as f:
        got = f.read(filters=filters)
        assert got == {n: [v[i] for i in keep] for n, v in expected.items()}
        scan = f.last_scan
        assert scan.chunks_read + scan.chunks_skipped == scan.chunks_total == f.num_chunks
        flat = [n for n in got if n not in ("doc", "tags")]  # Arrow carries those as JSON text
        assert f.to_arrow(columns=flat, filters=filters).to_pydict() == {n: got[n] for n in flat}


def random_filter(rng, expected):
    ops = ["==", "!=", "<", "<=", ">", ">=", "in", "not in"]
    names = ["id", "price", "ok", "name", "blob", "secret", "amount"]

    def predicate():
        name = rng.choice(names)
        op = rng.choice(ops)
        pool = [v for v in expected[name] if v is not None] or [0]
        def pick():
            v = rng.choice(pool)
            if name in ("id", "amount") and rng.random() < 0.3:
                v = v + rng.choice([1, -1, 0.5])
            return v
        value = [pick() for _ in range(rng.randint(0, 3))] if op in ("in", "not in") else pick()
        return (name, op, value)

    return [[predicate() for _ in range(rng.randint(1, 3))] for _ in range(rng.randint(1, 2))]


def test_random_filters_agree_with_a_plain_python_filter(typed_file):
    path, _, expected = typed_file
    rng = random.Random(99)
    with sarnio.open(path, keys=KEYS) as f:
        for _ in range(300):
            filters = random_filter(rng, expected)
            keep = filter_rows(expected, filters)
            got = f.read(filters=filters, threads=rng.choice([1, 2]))
            assert got == {n: [v[i] for i in keep] for n, v in expected.items()}, filters


@pytest.fixture(scope="module")
def sorted_file(tmp_path_factory):
    """1,000 rows sorted by k (ten rows per value), chunks of 50 rows, and a
    text column of the same order."""
    rows = [[i // 10, f"v{i // 10:04d}", float(i)] for i in range(1000)]
    path = tmp_path_factory.mktemp("sorted") / "sorted.sarn"
    write_typed(path, [("k", "int64", None), ("t", "string", None), ("x", "float64", None)], rows, chunk_size=50)
    return path


@pytest.mark.parametrize(
    "filters, chunks_read, rows",
    [
        ([("k", "==", 42)], 1, 10),
        ([("t", "==", "v0042")], 1, 10),
        ([("k", "in", [3, 97])], 2, 20),
        ([("k", ">=", 95)], 1, 50),
        ([("k", "<", 5)], 1, 50),
        ([("x", ">", 950.5)], 1, 49),  # float bounds are the truncated values, widened by one
        ([("t", "==", "v0042x")], 0, 0),  # inside min/max; the membership filter rules it out
        ([("k", "==", 1000)], 0, 0),
        ([[("k", "==", 1)], [("k", "==", 999)]], 1, 10),
        ([("k", "!=", 1)], 20, 990),
        ([("k", "not in", [0, 1, 2, 3, 4])], 19, 950),
    ],
)
def test_chunks_ruled_out_by_the_footer_are_not_read(sorted_file, filters, chunks_read, rows):
    with sarnio.open(sorted_file) as f:
        got = f.read(filters=filters)
        assert len(got["k"]) == rows
        assert f.last_scan == sarnio.ScanStats(20, chunks_read, 20 - chunks_read, 50 * chunks_read)
        f.to_arrow(filters=filters)
        assert f.last_scan.chunks_read == chunks_read


@pytest.mark.parametrize(
    "filters, error",
    [
        ([], ValueError),
        ([[]], ValueError),
        ("k == 1", ValueError),
        ([("k", "~", 1)], ValueError),
        ([("k", "==")], ValueError),
        ([(1, "==", 1)], ValueError),
        ([("nope", "==", 1)], KeyError),
        ([("k", "==", "1")], TypeError),
        ([("t", "==", 1)], TypeError),
        ([("t", "in", "ab")], TypeError),
        ([("k", "in", 1)], TypeError),
        ([("k", "==", None)], TypeError),
        ([("t", "==", b"v")], TypeError),
    ],
)
def test_bad_filters(sorted_file, filters, error):
    with sarnio.open(sorted_file) as f:
        with pytest.raises(error):
            f.read(filters=filters)


@pytest.mark.parametrize("kwargs, error", [({"threads": 0}, ValueError), ({"threads": -2}, ValueError),
                                           ({"threads": 1.5}, TypeError), ({"columns": "k"}, TypeError),
                                           ({"columns": ["k", "nope"]}, KeyError)])
def test_bad_read_arguments(sorted_file, kwargs, error):
    with sarnio.open(sorted_file) as f:
        with pytest.raises(error):
            f.read(**kwargs)


def test_structured_columns_cannot_be_filtered(typed_file):
    with sarnio.open(typed_file[0], keys=KEYS) as f:
        with pytest.raises(TypeError, match="doc"):
            f.read(filters=[("doc", "==", 1)])


# ---- Arrow consumers ------------------------------------------------------------------------


def test_consumers_take_the_stream(sorted_file):
    duckdb = pytest.importorskip("duckdb", reason="the DuckDB consumer needs duckdb (pip install sarn_fileformat[test])")
    pandas = pytest.importorskip("pandas", reason="needs pandas")
    polars = pytest.importorskip("polars", reason="the polars consumer needs polars")
    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    with sarnio.open(sorted_file) as f:
        expected = f.read()
        assert pa.table(f).to_pydict() == expected
        assert polars.DataFrame(f).to_dict(as_series=False) == expected
        assert f.to_pandas().equals(pandas.DataFrame(expected))
        assert duckdb.sql("SELECT sum(k), count(*), max(t) FROM f").fetchall() == [(sum(expected["k"]), 1000, "v0099")]
        assert f.read(columns=["t", "k"], filters=[("k", "==", 7)]) == {"t": ["v0007"] * 10, "k": [7] * 10}


def test_stream_outlives_the_file_object(sorted_file):
    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    f = sarnio.open(sorted_file)
    capsule = f.__arrow_c_stream__()
    f.close()
    assert f.closed
    with pytest.raises(ValueError):
        f.read()
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    assert reader.read_all().num_rows == 1000


def test_requested_schema_is_best_effort(sorted_file):
    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    with sarnio.open(sorted_file) as f:
        same = pa.schema([("k", pa.int64()), ("t", pa.string()), ("x", pa.float64())])
        assert pa.RecordBatchReader._import_from_c_capsule(f.__arrow_c_stream__(same.__arrow_c_schema__())).read_all().num_rows == 1000
        with pytest.raises(ValueError, match="fields"):
            f.__arrow_c_stream__(pa.schema([("k", pa.int64())]).__arrow_c_schema__())


def test_iter_batches_is_lazy_and_counts_what_it_read(sorted_file):
    with sarnio.open(sorted_file) as f:
        it = f.iter_batches(columns=["k"], threads=2)
        first = next(it)
        assert first == {"k": [i // 10 for i in range(50)]}
        assert f.last_scan.chunks_read == 1
        rest = list(it)
        assert len(rest) == 19 and f.last_scan.chunks_read == 20


def test_file_description(sorted_file):
    import datetime

    with sarnio.open(sorted_file) as f:
        assert f.num_rows == 1000 and f.num_chunks == 20 and f.chunk_rows == [50] * 20
        assert f.created_at.tzinfo == datetime.timezone.utc
        assert abs((datetime.datetime.now(datetime.timezone.utc) - f.created_at).total_seconds()) < 3600
        assert f.statistics("x")[1] == sarnio.ChunkStats(50, 99, 0)
        assert f.statistics("t")[0] == sarnio.ChunkStats("v0000", "v0004", 0)


# ---- damaged input --------------------------------------------------------------------------


def test_missing_and_foreign_files(tmp_path):
    for path in (tmp_path / "missing.sarn", str(tmp_path / "missing.sarn"), os.fsencode(tmp_path / "missing.sarn")):
        with pytest.raises(FileNotFoundError) as missing:
            sarnio.open(path)
        assert missing.value.errno == 2 and missing.value.filename == str(tmp_path / "missing.sarn")
    with pytest.raises(IsADirectoryError) as folder:
        sarnio.open(tmp_path)
    assert folder.value.filename == str(tmp_path)
    (tmp_path / "x.csv").write_text("a,b\n1,2\n")
    with pytest.raises(sarnio.SarnFormatError, match="x.csv"):
        sarnio.open(tmp_path / "x.csv")
    assert issubclass(sarnio.SarnFormatError, sarnio.SarnError) and issubclass(sarnio.SarnError, ValueError)


def test_every_truncation_is_refused(sorted_file, tmp_path):
    data = sorted_file.read_bytes()
    cut = tmp_path / "cut.sarn"
    for length in list(range(0, 200)) + list(range(200, len(data), 97)) + [len(data) - 1]:
        cut.write_bytes(data[:length])
        with pytest.raises(sarnio.SarnFormatError, match="cut.sarn"):
            sarnio.open(cut)


def test_flipped_bytes_in_chunk_data_name_chunk_column_and_offset(sorted_file, tmp_path):
    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    data = sorted_file.read_bytes()
    with sarnio.open(sorted_file) as f:
        header_size = 78 + struct.unpack_from("<I", data, 64)[0]
        footer_offset = struct.unpack_from("<Q", data, len(data) - 8)[0]
    rng = random.Random(5)
    bad = tmp_path / "bad.sarn"
    for _ in range(60):
        at = rng.randrange(header_size, footer_offset)
        damaged = bytearray(data)
        damaged[at] ^= 1 << rng.randrange(8)
        bad.write_bytes(bytes(damaged))
        with sarnio.open(bad) as f:
            with pytest.raises(sarnio.SarnFormatError, match=r"bad.sarn: chunk \d+, column \d \('\w'\), block at offset \d+") as read:
                f.read(threads=2)
            with pytest.raises(sarnio.SarnFormatError):
                f.verify()
            # The Arrow paths raise the same error, chained from the exception
            # pyarrow makes of the failed stream.
            for export in (f.to_arrow, f.to_pandas):
                with pytest.raises(sarnio.SarnFormatError) as exported:
                    export()
                assert str(exported.value) == str(read.value)
                assert isinstance(exported.value.__cause__, OSError)
            # A consumer that drives the stream itself raises its own error,
            # with the whole text.
            with pytest.raises(OSError, match=re.escape(str(read.value))):
                pa.table(f)


def test_flipped_bytes_anywhere_never_crash(typed_file, tmp_path):
    data = typed_file[0].read_bytes()
    rng = random.Random(6)
    bad = tmp_path / "bad.sarn"
    for _ in range(150):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        bad.write_bytes(bytes(damaged))
        try:
            with sarnio.open(bad, keys=KEYS) as f:
                f.read()
                f.to_arrow()
        except (sarnio.SarnError, OSError):
            pass


def test_column_name_that_is_not_utf8_is_a_format_error(tmp_path, sarn_module):
    out = compress(sarn_module, write_csv(tmp_path, "name,b\nx,y\n"), tmp_path / "f.sarn")
    data = bytearray(out.read_bytes())
    assert data[68] == 2, "expected a STORED schema block"
    data[data.index(b"\x04name\x04\x00", 68) + 2] = 0xFF
    out.write_bytes(bytes(data))
    with pytest.raises(sarnio.SarnFormatError, match=r"f\.sarn: schema: the name of column 0, .* is not valid UTF-8"):
        sarnio.open(out)


def write_csv(folder, text):
    csv = folder / "in.csv"
    csv.write_text(text)
    return csv


# ---- repeated column names ----------------------------------------------------------------


@pytest.mark.parametrize(
    "header, keys",
    [
        ("a,a,b", ["a", "a.1", "b"]),
        ("a,a,a", ["a", "a.1", "a.2"]),
        ("a,a,a.1", ["a", "a.1", "a.1.1"]),  # a name in use is skipped, as pandas does
        ("a,b,a", ["a", "b", "a.1"]),
    ],
)
def test_repeated_names_keep_every_column(tmp_path, sarn_module, header, keys):
    pa = pytest.importorskip("pyarrow", reason="needs pyarrow")

    out = compress(sarn_module, write_csv(tmp_path, f"{header}\n1,2,3\n4,5,6\n"), tmp_path / "f.sarn")
    columns = [["1", "4"], ["2", "5"], ["3", "6"]]
    names = header.split(",")
    with sarnio.open(out) as f:
        assert f.read() == dict(zip(keys, columns))
        assert list(f.iter_batches()) == [dict(zip(keys, columns))]
        table = f.to_arrow()
        assert table.column_names == names
        assert [c.to_pylist() for c in table.columns] == columns
        assert pa.table(f).column_names == names
        frame = f.to_pandas()
        assert list(frame.columns) == names
        assert [frame.iloc[:, i].tolist() for i in range(3)] == columns


def test_a_repeated_name_cannot_select_or_filter(tmp_path, sarn_module):
    out = compress(sarn_module, write_csv(tmp_path, "a,b,a\nx,y,z\n"), tmp_path / "f.sarn")
    with sarnio.open(out) as f:
        for call in (lambda: f.read(columns=["a"]), lambda: f.iter_batches(columns=["b", "a"]),
                     lambda: f.to_arrow(columns=["a"]), lambda: f.read(filters=[("a", "==", "x")]),
                     lambda: f.to_arrow(filters=[[("b", "==", "y")], [("a", "!=", "q")]]), lambda: f.statistics("a")):
            with pytest.raises(ValueError, match="column name 'a' is ambiguous: columns 0, 2 bear it"):
                call()
        # Names that one column bears still select and filter.
        assert f.read(columns=["b"], filters=[("b", "==", "y")]) == {"b": ["y"]}


# ---- sarn cat --columns / --where -----------------------------------------------------------

SARN_CLI = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(__import__("sys").executable).with_name("sarn"))


def run_cat(*args):
    import subprocess

    if not SARN_CLI.exists():
        pytest.skip("the sarn command is not installed beside the interpreter")
    return subprocess.run([str(SARN_CLI), "cat", *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize(
    "args, lines",
    [
        (["--columns", "t,k", "--where", "k==42"], ["t,k"] + ["v0042,42"] * 10),
        (["--columns", "k", "--where", "t=v0099"], ["k"] + ["99"] * 10),
        (["--columns", "x", "--where", "x>997.5"], ["x", "998", "999"]),
        (["--columns", "k", "--where", "k<0"], ["k"]),
        # Repeated options: every --where holds, the --columns lists join in order.
        (["--where", "k>=40", "--where", "k<42", "--columns", "k"], ["k"] + ["40"] * 10 + ["41"] * 10),
        (["--where", "k>=40", "--where", "t=v0041", "--where", "x<415"], ["k,t,x"] + [f"41,v0041,{x}" for x in range(410, 415)]),
        (["--columns", "t", "--columns", "k,t", "--where", "k==3"], ["t,k"] + ["v0003,3"] * 10),
    ],
)
def test_cat_selects_columns_and_rows(sorted_file, args, lines):
    proc = run_cat(sorted_file, *args)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == lines


@pytest.mark.parametrize("args, message", [(["--columns", "k,nope"], "no column named 'nope'"),
                                           (["--where", "k==x"], "not a value of column 'k'"),
                                           (["--where", "k"], "expected COL==VALUE"),
                                           (["--where", "nope==1"], "no column named 'nope'"),
                                           (["--where", "k==1", "--where", "nope==1"], "no column named 'nope'")])
def test_cat_refuses_bad_selections(sorted_file, args, message):
    proc = run_cat(sorted_file, *args)
    assert proc.returncode == 2
    assert message in proc.stderr


def test_cat_agrees_with_read(typed_file):
    # The null cells the reader locates print empty; the enciphered columns
    # need keys, which cat has no way to take.
    proc = run_cat(typed_file[0], "--columns", "id,name,ok")
    assert proc.returncode == 0, proc.stderr
    with sarnio.open(typed_file[0]) as f:
        d = f.read(columns=["id", "name", "ok"])
    text = {None: "", True: "true", False: "false"}
    expected = ["id,name,ok"] + [
        ",".join("" if v is None else text[v] if isinstance(v, bool) else str(v) for v in row)
        for row in zip(d["id"], d["name"], d["ok"])
    ]
    assert proc.stdout.split("\n")[:-1] == expected
    refused = run_cat(typed_file[0])
    assert refused.returncode == 1 and "'secret' is enciphered" in refused.stderr


def test_cat_refuses_a_repeated_name(tmp_path, sarn_module):
    out = compress(sarn_module, write_csv(tmp_path, "a,b,a\nx,y,z\n"), tmp_path / "f.sarn")
    for args in (["--columns", "a"], ["--where", "a==x"]):
        proc = run_cat(out, *args)
        assert proc.returncode == 2
        assert "column name 'a' is ambiguous: columns 0, 2 bear it" in proc.stderr
    proc = run_cat(out)
    assert proc.returncode == 0 and proc.stdout == "a,b,a\nx,y,z\n"
