"""The CSV dialect end to end: what compress_csv stores for each kind of
line, and the real files of tests/data read back row by row."""

import pytest

import sarn_fileformat as sarn
from conftest import DATA
from csv_reference import dialect_table, sarn_dump


NBSP, EM_SPACE, IDEO_SPACE, BOM = "\u00a0", "\u2003", "\u3000", "\ufeff"

# (id, file bytes, column names, rows)
CASES = [
    ("lf", b"a,b\n1,2\n3,4\n", ["a", "b"], [["1", "2"], ["3", "4"]]),
    ("crlf", b"a,b\r\n1,2\r\n", ["a", "b"], [["1", "2"]]),
    ("no final line feed", b"a,b\n1,2", ["a", "b"], [["1", "2"]]),
    ("bare cr inside a line", b"a,b\nx\ry,z\n", ["a", "b"], [["x\ry", "z"]]),
    # A CR that stays in a line is still white space to trim.
    ("cr ending the last line", b"a\nv\r", ["a"], [["v"]]),
    ("two crs before the lf", b"a,b\n1,2\r\r\n", ["a", "b"], [["1", "2"]]),
    (
        "unicode white space trimmed",
        f"{NBSP}a{EM_SPACE}, b\t\n{IDEO_SPACE}1\u2028,\u00852\x0b\n".encode(),
        ["a", "b"],
        [["1", "2"]],
    ),
    ("not white space kept", "a\n\u200bx\u001c\n".encode(), ["a"], [["\u200bx\u001c"]]),
    ("bom kept", f"{BOM}id,v\n1,2\n".encode(), [f"{BOM}id", "v"], [["1", "2"]]),
    ("empty header", b"\n1,2\n", [""], [["1"]]),
    ("header names trimmed, empty and repeated", b"id , name ,,id\n", ["id", "name", "", "id"], []),
    ("quotes not special", b'a,b\n"x,y",z\n', ["a", "b"], [['"x', 'y"']]),
    ("backslash not special", b"a,b\nx\\,y\n", ["a", "b"], [["x\\", "y"]]),
    ("short rows padded", b"a,b,c\n1\n1,2\n", ["a", "b", "c"], [["1", "", ""], ["1", "2", ""]]),
    ("long rows cut", b"a,b,c\n1,2,3,4,5\n", ["a", "b", "c"], [["1", "2", "3"]]),
    ("spaces around fields", b"a,b,c\n 7 ,\t8 , 9\n", ["a", "b", "c"], [["7", "8", "9"]]),
    (
        "blank lines skipped",
        b"a,b\n\n1,2\n \t\n\r\n3,4\n\n",
        ["a", "b"],
        [["1", "2"], ["3", "4"]],
    ),
    ("a lone comma is a row", b"a,b\n,\n", ["a", "b"], [["", ""]]),
    ("header only", b"a,b\n", ["a", "b"], []),
    ("header only without line feed", b"a,b", ["a", "b"], []),
    ("multi-byte text", "k,v\n\u00e9t\u00e9,\U0001f600\n".encode(), ["k", "v"], [["\u00e9t\u00e9", "\U0001f600"]]),
]


@pytest.mark.parametrize("data,names,rows", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_dialect(tmp_path, data, names, rows):
    # The reference parse agrees with the hand-written expectation, so it can
    # be trusted for the real files below.
    assert dialect_table(data) == (names, rows)
    csv = tmp_path / "in.csv"
    csv.write_bytes(data)
    out = tmp_path / "out.sarn"
    csv_size, sarn_size, _ = sarn.compress_csv(str(csv), str(out))
    assert (csv_size, sarn_size) == (len(data), out.stat().st_size)
    dump = sarn_dump(out)
    assert [c["name"] for c in dump["schema"]] == names
    assert dump["rows"] == rows
    assert len(dump["chunks"]) == (1 if rows else 0)


def real_files():
    return sorted(p.name for p in DATA.glob("*.csv"))


@pytest.mark.parametrize("name", real_files())
def test_real_file_round_trip(tmp_path, name):
    data = (DATA / name).read_bytes()
    out = tmp_path / "out.sarn"
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(OSError) as err:
            sarn.compress_csv(str(DATA / name), str(out))
        assert err.value.args == ("stream did not contain valid UTF-8",)
        return
    names, rows = dialect_table(data)
    csv_size, sarn_size, ratio = sarn.compress_csv(str(DATA / name), str(out))
    assert (csv_size, sarn_size) == (len(data), out.stat().st_size)
    assert ratio == max(csv_size - sarn_size, 0) / csv_size * 100
    dump = sarn_dump(out)
    assert [c["name"] for c in dump["schema"]] == names
    assert dump["rows"] == rows
    assert [c["rows"] for c in dump["chunks"]] == [
        min(65536, len(rows) - i) for i in range(0, len(rows), 65536)
    ]


def test_the_one_file_that_is_not_utf8_is_there():
    # Keeps the failure case above from silently disappearing.
    assert "s57expectedinput.csv" in real_files()
