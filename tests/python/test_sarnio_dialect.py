"""sarnio's CSV dialect and column types end to end: every rule on a small
fixture (read back by sarnio, by `sarn cat` and Python's csv module, and by
`sarn verify --csv`), every fault with its line and byte offset, integer
inference and named types, a pipe with "infer", the container the same for
every thread count, and typed columns on the reading side."""

import csv
import io
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import sarnio
from csv_reference import DialectFault, everyday_table, quoted_csv

SARN = pathlib.Path(os.environ.get("SARN_CLI") or pathlib.Path(sys.executable).with_name("sarn"))


def run(*args, **kw):
    return subprocess.run([str(SARN), *map(str, args)], capture_output=True, timeout=300, **kw)


def flags(options):
    """The command's flags for sarnio's keyword options."""
    out = []
    if "quote" in options:
        out += ["--quote", "none" if options["quote"] is None else options["quote"]]
    if "delimiter" in options:
        out += ["--delimiter", options["delimiter"]]
    if "extra_fields" in options:
        out += ["--extra-fields", options["extra_fields"]]
    types = options.get("types")
    if isinstance(types, str):
        out += ["--types", types]
    elif types:
        out += ["--types", ",".join(f"{k}={v}" for k, v in types.items())]
    return out


def read_back(path):
    """(names, rows) of a container, every cell as the text it prints as."""
    with sarnio.open(path) as f:
        names = [field.name for field in f.schema]
        columns = list(f.read().values())
    rows = [[str(c[r]) for c in columns] for r in range(len(columns[0]) if columns else 0)]
    return names, rows


def masked(path):
    data = bytearray(path.read_bytes())
    data[24:32] = bytes(8)
    return bytes(data)


def leftovers(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir() if ".partial-" in p.name)


# (id, input, options, names, rows)
FIXTURES = [
    ("delimiter inside quotes", b'a,b\n"Union County, Troy Shelton",USA\n', {},
     ["a", "b"], [["Union County, Troy Shelton", "USA"]]),
    ("doubled quotes", b'a\n"say ""hi"""\n"""q"""\n', {}, ["a"], [['say "hi"'], ['"q"']]),
    ("LF inside quotes", b'a,b\n"1\n2",3\n', {}, ["a", "b"], [["1\n2", "3"]]),
    ("CR LF inside quotes", b'a,b\r\n"1\r\n\r\n2",3\r\n', {}, ["a", "b"], [["1\r\n\r\n2", "3"]]),
    ("white space around quotes", b'a,b\n  "x"  ,\t" y "\t\n', {}, ["a", "b"], [["x", " y "]]),
    ("a quote inside an unquoted field", b'a,b\nab"c,d"\n', {}, ["a", "b"], [['ab"c', 'd"']]),
    ("empty quoted fields", b'a,b\n"",x\n,""\n', {}, ["a", "b"], [["", "x"], ["", ""]]),
    ("an empty quoted field is a row", b'a\n""\n\n', {}, ["a"], [[""]]),
    ("quoted header names", b'"id, no","x""",  "c"\n1,2,3\n', {}, ["id, no", 'x"', "c"], [["1", "2", "3"]]),
    ("byte order mark", b"\xef\xbb\xbfid,v\n1,2\n", {}, ["id", "v"], [["1", "2"]]),
    ("byte order mark before a quote", b'\xef\xbb\xbf"id",v\n1,2\n', {}, ["id", "v"], [["1", "2"]]),
    ("tab delimiter", b'a\tb\n x, y \t"q\tr"\n\t\n', {"delimiter": "\t"},
     ["a", "b"], [["x, y", "q\tr"], ["", ""]]),
    ("semicolon delimiter", b'a;b\n1,5;"x;y"\n', {"delimiter": ";"}, ["a", "b"], [["1,5", "x;y"]]),
    ("another quote", b"a,b\n'it''s',\"no\"\n", {"quote": "'"}, ["a", "b"], [["it's", '"no"']]),
    ("no quoting", b'a,b\n"x,y",z\n', {"quote": None, "extra_fields": "drop"}, ["a", "b"], [['"x', 'y"']]),
    ("extra fields dropped", b"a,b\n1,2,3\n\"4\",5,\"6\n7\"\n", {"extra_fields": "drop"},
     ["a", "b"], [["1", "2"], ["4", "5"]]),
    ("fewer fields padded", b'a,b,c\n1\n"2",\n', {}, ["a", "b", "c"], [["1", "", ""], ["2", "", ""]]),
    ("blank records skipped", b"a\n\n \t\n1\n\r\n\xe3\x80\x80\n", {}, ["a"], [["1"]]),
    ("a lone CR is text", b'a\nx\ry\n"p\rq"\n', {}, ["a"], [["x\ry"], ["p\rq"]]),
    ("Unicode white space", '\u00a0a,b\n\u3000x\u00a0,"\u3000y"\n'.encode(), {}, ["a", "b"], [["x", "\u3000y"]]),
    ("last record without a line feed", b'a\n"x\ny"', {}, ["a"], [["x\ny"]]),
]


@pytest.mark.parametrize("data,options,names,rows", [f[1:] for f in FIXTURES], ids=[f[0] for f in FIXTURES])
def test_fixture_reads_back_everywhere(tmp_path, data, options, names, rows):
    # The independent reading agrees with the expectation written by hand.
    assert everyday_table(data, **{k: v for k, v in options.items() if k != "types"}) == (names, rows)
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    out = tmp_path / "out.sarn"
    result = sarnio.compress_csv(src, out, **options)
    assert (result.rows, result.columns) == (len(rows), len(names))
    assert read_back(out) == (names, rows)
    # The command makes the same container, and proves it holds the file.
    cli_out = tmp_path / "cli.sarn"
    done = run("compress", "--quiet", *flags(options), src, cli_out)
    assert done.returncode == 0, done.stderr
    assert masked(cli_out) == masked(out)
    verified = run("verify", out, "--csv", src, *flags(options))
    assert verified.returncode == 0, verified.stdout
    # sarn cat writes CSV that Python's csv module reads back to the cells.
    cat = run("cat", out)
    assert cat.returncode == 0, cat.stderr
    table = list(csv.reader(io.StringIO(cat.stdout.decode("utf-8"), newline=""), strict=True))
    assert table == [names] + rows
    # And that the command reads back to the same container.
    again = tmp_path / "again.csv"
    again.write_bytes(cat.stdout)
    assert sarnio.compress_csv(again, tmp_path / "again.sarn").rows == len(rows)
    assert read_back(tmp_path / "again.sarn") == (names, rows)


# (id, input, options, exception, what the message says)
FAULTS = [
    ("unterminated", b'a,b\n1,"open\n2,3\n', {}, sarnio.SarnError,
     ["line 2", "never closed", "byte offset 6"]),
    ("unterminated header", b'a,"b\n1,2\n', {}, sarnio.SarnError, ["line 1", "never closed", "byte offset 2"]),
    ("unterminated, opened on a later line", b'a,b,c\n1,"x\ny","open\nz\n', {}, sarnio.SarnError,
     ["line 2", "never closed (it opens on line 3 at byte offset 14)"]),
    ("text after a quote", b'a,b\n1,"x" y\n', {}, sarnio.SarnError,
     ["line 2", "text after the closing quote", "byte offset 10"]),
    ("text after a quote, later line", b'a,b\n1,"x\nz"y\n', {}, sarnio.SarnError,
     ["line 2", "text after the closing quote", "byte offset 11"]),
    ("extra fields", b"a,b\n1,2\n3,4,5\n", {}, sarnio.SarnError,
     ["line 3", "3 fields where the header has 2", "byte offset 12"]),
    ("extra fields, quoted record", b'a,b\n"1\n2",3,4\n', {}, sarnio.SarnError,
     ["line 2", "3 fields where the header has 2", "byte offset 12"]),
    ("extra fields, empty", b"a\n1,\n", {}, sarnio.SarnError, ["line 2", "2 fields where the header has 1"]),
    ("not an integer", b"n,t\n1,a\n\n2.5,b\n", {"types": {"n": "int64"}}, sarnio.SarnError,
     ["line 4", "column 'n'", "'2.5' is not an integer"]),
    ("an empty cell is not an integer", b"n,t\n1,a\n,b\n", {"types": {"n": "int64"}}, sarnio.SarnError,
     ["line 3", "column 'n'", "'' is not an integer"]),
    ("a missing cell is not an integer", b"t,n\na\n", {"types": {"n": "int64"}}, sarnio.SarnError,
     ["line 2", "column 'n'"]),
    ("a named column the header lacks", b"n,t\n1,a\n", {"types": {"m": "int64"}}, ValueError,
     ["column 'm'", "does not have"]),
    ("a named column the header repeats", b"n,n\n1,2\n", {"types": {"n": "int64"}}, ValueError,
     ["column 'n'", "columns 0, 1"]),
    ("a bad type", b"n\n1\n", {"types": {"n": "float"}}, ValueError, ["int64", "string"]),
    ("quote and delimiter alike", b"n\n1\n", {"quote": ","}, ValueError, ["quote and the delimiter"]),
    ("a white-space quote", b"n\n1\n", {"quote": " "}, ValueError, ["quote cannot be"]),
    ("a delimiter that ends records", b"n\n1\n", {"delimiter": "\n"}, ValueError, ["delimiter cannot be"]),
    ("a delimiter of two characters", b"n\n1\n", {"delimiter": "::"}, ValueError, ["one ASCII character"]),
    ("a non-ASCII delimiter", b"n\n1\n", {"delimiter": "\u00a7"}, ValueError, ["one ASCII character"]),
    ("an unknown extra_fields", b"n\n1\n", {"extra_fields": "keep"}, ValueError, ['"error" or "drop"']),
    ("an unknown types word", b"n\n1\n", {"types": "guess"}, ValueError, ["infer"]),
]


@pytest.mark.parametrize("data,options,error,says", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_faults_name_the_place_and_leave_the_output(tmp_path, data, options, error, says):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    out = tmp_path / "out.sarn"
    out.write_bytes(b"the old output")
    for threads in (1, 2):
        with pytest.raises(error) as raised:
            sarnio.compress_csv(src, out, threads=threads, **options)
        assert type(raised.value) is error
        for part in says:
            assert part in str(raised.value), str(raised.value)
        if error is sarnio.SarnError:
            assert str(raised.value).startswith(f"{src}: line ")
            offset = [int(p.split()[-1].rstrip(")")) for p in says if p.startswith("byte offset")]
            if offset and "types" not in options:  # the independent reading finds the same place
                with pytest.raises(DialectFault) as ref:
                    everyday_table(data, **options)
                assert ref.value.args[1:] == (int(says[0].split()[1]), offset[0])
    assert out.read_bytes() == b"the old output"
    assert leftovers(tmp_path) == []
    if all(isinstance(v, (str, dict)) for v in options.values()) and "::" not in options.values():
        done = run("compress", "--quiet", *flags(options), src, out)
        assert done.returncode in (1, 2)
        if error is sarnio.SarnError:
            assert str(raised.value) in done.stderr.decode()
    assert out.read_bytes() == b"the old output"


# Columns and their cells: which become int64 under types="infer", and why
# the others stay text.
INFER_COLUMNS = {
    "ok": (["0", "7", "-1", "42"], "int64"),
    "bounds": (["9223372036854775807", "-9223372036854775808", "1", "2"], "int64"),
    "quoted_ok": (['"5"', '"-6"', ' "7" ', "8"], "int64"),
    "trimmed_ok": ([" 5 ", "\t6", "7\u00a0", "8"], "int64"),
    "empty": (["1", "", "3", "4"], "string"),
    "zero_padded": (["1", "007", "3", "4"], "string"),
    "plus": (["1", "+5", "3", "4"], "string"),
    "decimal": (["1", "1.0", "3", "4"], "string"),
    "exponent": (["1", "1e3", "3", "4"], "string"),
    "too_big": (["1", "9223372036854775808", "3", "4"], "string"),
    "too_small": (["1", "-9223372036854775809", "3", "4"], "string"),
    "minus_zero": (["1", "-0", "3", "4"], "string"),
    "quoted_space": (["1", '" 5 "', "3", "4"], "string"),
    "late": (["1", "2", "3", "x"], "string"),
}


def infer_file(tmp_path):
    names = list(INFER_COLUMNS)
    lines = [",".join(names)]
    for r in range(4):
        lines.append(",".join(INFER_COLUMNS[n][0][r] for n in names))
    src = tmp_path / "infer.csv"
    src.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return src


def test_infer_makes_int64_only_of_columns_that_print_back(tmp_path):
    src = infer_file(tmp_path)
    names, rows = everyday_table(src.read_bytes())
    for threads in (1, 2):
        out = tmp_path / f"t{threads}.sarn"
        sarnio.compress_csv(src, out, types="infer", threads=threads)
        with sarnio.open(out) as f:
            assert {field.name: field.type for field in f.schema} == {n: t for n, (_, t) in INFER_COLUMNS.items()}
            values = f.read()
        for c, name in enumerate(names):
            cells = [row[c] for row in rows]
            if INFER_COLUMNS[name][1] == "int64":
                assert values[name] == [int(x) for x in cells]
                assert all(type(v) is int for v in values[name])
            else:
                assert values[name] == cells
    # The command: the same container; cat prints every cell as it was read;
    # verify proves it, and knows the types the options imply.
    cli_out = tmp_path / "cli.sarn"
    assert run("compress", "--quiet", "--types", "infer", src, cli_out).returncode == 0
    assert masked(cli_out) == masked(tmp_path / "t1.sarn")
    cat = run("cat", cli_out)
    assert list(csv.reader(io.StringIO(cat.stdout.decode(), newline=""))) == [names] + rows
    assert run("verify", cli_out, "--csv", src, "--types", "infer").returncode == 0
    text_only = tmp_path / "text.sarn"
    sarnio.compress_csv(src, text_only)
    wrong = run("verify", text_only, "--csv", src, "--types", "infer")
    assert wrong.returncode == 1 and "column 0 ('ok') is text" in wrong.stdout.decode()
    assert run("verify", cli_out, "--csv", src).returncode == 1


def test_infer_without_data_rows_keeps_text(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n\n")
    out = tmp_path / "out.sarn"
    sarnio.compress_csv(src, out, types="infer")
    with sarnio.open(out) as f:
        assert [field.type for field in f.schema] == ["string", "string"]


def test_named_types(tmp_path):
    src = infer_file(tmp_path)
    out = tmp_path / "out.sarn"
    sarnio.compress_csv(src, out, types={"ok": "int64", "quoted_ok": "int64", "bounds": "string"})
    with sarnio.open(out) as f:
        types = {field.name: field.type for field in f.schema}
        assert [n for n, t in types.items() if t == "int64"] == ["ok", "quoted_ok"]
        assert f.read(columns=["ok"])["ok"] == [0, 7, -1, 42]
    done = run("compress", "--quiet", "--types", "ok=int64,quoted_ok=int64,bounds=string", src, tmp_path / "c.sarn")
    assert done.returncode == 0, done.stderr
    assert masked(tmp_path / "c.sarn") == masked(out)
    assert run("verify", out, "--csv", src, "--types", "ok=int64,quoted_ok=int64").returncode == 0
    assert run("verify", out, "--csv", src, "--types", "ok=int64").returncode == 1
    for bad in ("ok=float", "ok", "ok=int64,ok=string"):
        done = run("compress", "--types", bad, src, tmp_path / "x.sarn")
        assert done.returncode == 2 and "--types" in done.stderr.decode()
    with pytest.raises(TypeError):
        sarnio.compress_csv(src, out, types={1: "int64"})
    with pytest.raises(TypeError):
        sarnio.compress_csv(src, out, types=["ok"])


def test_infer_refuses_a_pipe_before_reading_it(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.sarn"
    # Nobody writes to the FIFO: a job that opened it would wait for ever.
    with pytest.raises(ValueError, match="infer"):
        sarnio.compress_csv(fifo, out, types="infer")
    assert not out.exists()
    # Named types need no first pass: a pipe is fine.
    writer = threading.Thread(target=lambda: fifo.write_bytes(b"a,b\n1,x\n2,y\n"))
    writer.start()
    sarnio.compress_csv(fifo, out, types={"a": "int64"})
    writer.join()
    with sarnio.open(out) as f:
        assert f.read()["a"] == [1, 2]
    done = run("compress", "--types", "infer", "-", tmp_path / "c.sarn", input=b"a\n1\n")
    assert done.returncode == 1 and "infer" in done.stderr.decode()
    assert not (tmp_path / "c.sarn").exists()


def test_quoted_multiline_file_same_for_every_thread_count(tmp_path):
    src = tmp_path / "q.csv"
    src.write_bytes(quoted_csv(150_000, 3, late_text=True))
    names, rows = everyday_table(src.read_bytes())
    for types in (None, "infer"):
        containers = set()
        for threads in (1, 2, 3, 8):
            out = tmp_path / f"t{threads}.sarn"
            result = sarnio.compress_csv(src, out, threads=threads, types=types)
            assert (result.rows, result.chunks) == (len(rows), 3)
            containers.add(masked(out))
        assert len(containers) == 1
        with sarnio.open(tmp_path / "t1.sarn") as f:
            assert [field.type for field in f.schema] == (
                ["int64", "string", "string", "string"] if types else ["string"] * 4)
            got = f.read()
        assert got["note"] == [r[1] for r in rows]
        assert [str(v) for v in got["id"]] == [r[0] for r in rows]


def test_files_without_quotes_give_the_modules_container(tmp_path):
    import sarn_fileformat

    src = tmp_path / "plain.csv"
    src.write_bytes(b"a, b ,c\r\n1,2,3\n\n  \t\n4,,6\n7\n")
    ref = tmp_path / "module.sarn"
    sarn_fileformat.compress_csv(str(src), str(ref))
    for threads in (1, 2):
        out = tmp_path / "out.sarn"
        sarnio.compress_csv(src, out, threads=threads)
        assert masked(out) == masked(ref)


# ---- reading typed columns -------------------------------------------------------


@pytest.fixture(scope="module")
def flights(tmp_path_factory):
    """delay and distance inferred int64 over three chunks; delay grows
    with the row, so that its footer bounds rule chunks out."""
    folder = tmp_path_factory.mktemp("typed")
    src = folder / "flights.csv"
    lines = ["date,delay,distance,origin"]
    for i in range(150_000):
        lines.append(f"0{1010000 + i},{i // 1000 - 20},{(i * 37) % 3000 + 50},{'SFO' if i % 3 else 'LAX'}")
    src.write_text("\n".join(lines) + "\n")
    out = folder / "flights.sarn"
    sarnio.compress_csv(src, out, types="infer")
    return src, out


def test_typed_columns_come_back_as_integers(flights):
    pa = pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    _, out = flights
    with sarnio.open(out) as f:
        assert [field.type for field in f.schema] == ["string", "int64", "int64", "string"]
        table = f.to_arrow(columns=["delay", "date"])
        assert table.schema.field("delay").type == pa.int64()
        assert table.column("date")[0].as_py() == "01010000"  # a leading zero keeps date text
        frame = f.to_pandas(columns=["delay"])
        assert str(frame["delay"].dtype) == "int64"
        assert f.read(columns=["delay"])["delay"][:2] == [-20, -20]


def test_numeric_filters_skip_chunks_by_their_bounds(flights):
    _, out = flights
    with sarnio.open(out) as f:
        got = f.read(columns=["delay"], filters=[("delay", ">", 60)])["delay"]
        assert got == [d for d in (i // 1000 - 20 for i in range(150_000)) if d > 60]
        assert f.last_scan.chunks_skipped == 1  # the first chunk's delays end at 45
        assert f.to_arrow(filters=[("distance", "<=", 51)]).num_rows == sum(
            1 for i in range(150_000) if (i * 37) % 3000 + 50 <= 51)


def test_a_number_against_a_text_column_suggests_infer(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"delay\n7\n100\n")
    out = tmp_path / "out.sarn"
    sarnio.compress_csv(src, out)
    with sarnio.open(out) as f:
        with pytest.raises(TypeError, match='types="infer"'):
            f.to_arrow(filters=[("delay", ">", 60)])
        # As text, "7" > "60" and "100" < "60": why the hint matters.
        assert f.read(filters=[("delay", ">", "60")])["delay"] == ["7"]


def test_cat_where_compares_integers_as_numbers(flights, tmp_path):
    _, out = flights
    done = run("cat", "--columns", "delay", "--where", "delay>128", out)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().split() == ["delay"] + [str(d) for d in range(129, 130)] * 1000
