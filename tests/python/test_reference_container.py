"""Whole containers from compress_csv against the pure Python writer in
tests/reference, byte for byte.  Only the creation time (8 bytes at offset
24) is taken from the native file and handed to the reference.

The cases cover the CSV dialect, the real sample files, chunking at 65,536
rows, statistics and membership filters of awkward texts, and column
payloads that drive the block codec through its rarer paths (FF bytes from
length varints, long matches, big schema blocks)."""

import pathlib
import random
import sys

import pytest

import sarn_fileformat as sarn
from conftest import DATA

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))
import sarn_reference as ref  # noqa: E402



def describe(native: bytes, expected: bytes) -> str:
    """Where two containers part, with the region's name."""
    i = next((k for k in range(min(len(native), len(expected))) if native[k] != expected[k]),
             min(len(native), len(expected)))
    footer_offset = int.from_bytes(expected[-8:], "little") if len(expected) >= 16 else -1
    if i < 64:
        region = "fixed header"
    elif footer_offset >= 0 and i >= footer_offset:
        region = "footer or trailer"
    else:
        region = "schema block or chunk data"
    return (f"sizes native {len(native)} / reference {len(expected)}; first difference at {i} ({region}): "
            f"{native[i:i + 16].hex(' ')} / {expected[i:i + 16].hex(' ')}")


def assert_same_container(tmp_path, csv_bytes: bytes):
    csv = tmp_path / "in.csv"
    out = tmp_path / "out.sarn"
    csv.write_bytes(csv_bytes)
    sarn.compress_csv(str(csv), str(out))
    native = out.read_bytes()
    created_at = int.from_bytes(native[24:32], "little")
    expected = ref.container_from_csv(csv_bytes, created_at)
    assert native == expected, describe(native, expected)
    return native


NBSP, EM_SPACE, IDEO_SPACE, BOM = "\u00a0", "\u2003", "\u3000", "\ufeff"

DIALECT = [
    ("lf", b"a,b\n1,2\n3,4\n"),
    ("crlf", b"a,b\r\n1,2\r\n3,4\r\n"),
    ("no final line feed", b"a,b\n1,2"),
    ("bare cr inside and at the end", b"a,b\nx\ry,z\nlast\r"),
    ("two crs before the lf", b"a,b\n1,2\r\r\n"),
    ("unicode white space", f"{NBSP}a{EM_SPACE}, b\t\n{IDEO_SPACE}1\u2028,\u00852\x0b\n\u200bx\u001c,\ufeffy\n".encode()),
    ("bom in the header", f"{BOM}id,v\n1,2\n".encode()),
    ("empty header", b"\n1,2\n\n3\n"),
    ("header only", b"a,b\n"),
    ("header only without line feed", b"a,b"),
    ("blank header and blank lines", b" \t\n\n \n1\n\r\n"),
    ("repeated and empty names", b"id , name ,,id\n1,2,3,4\n"),
    ("quoted commas", b'a,b\n"x,y",z\n"1, 2",3\n'),
    ("short and long rows", b"a,b,c\n1\n1,2\n1,2,3,4,5\n,\n"),
    ("blank lines skipped", b"a,b\n\n1,2\n \t\n\r\n3,4\n\n"),
    ("multi-byte text and ordering", "k,v\n\u00e9t\u00e9,\U0001f600\nab,a\na,\nb,ab\n\u00e9,\x7f\n".encode()),
    ("one column of empties", b"x\n\n,\n \n,,\n"),
    ("control characters kept", b"a,b\n\x00,\x01\x1f\n\x1c \x1d,\x7f\n"),
    ("largest code point", "a\n\U0010ffff\n\u180e\n".encode()),
]


@pytest.mark.parametrize("csv_bytes", [c for _, c in DIALECT], ids=[n for n, _ in DIALECT])
def test_dialect(tmp_path, csv_bytes):
    assert_same_container(tmp_path, csv_bytes)


@pytest.mark.parametrize("name", ["ubuntu.csv", "airports.csv"])
def test_sample_files(tmp_path, name):
    assert_same_container(tmp_path, (DATA / name).read_bytes())


def csv_of(header, rows):
    return ("\n".join([",".join(header)] + [",".join(r) for r in rows]) + "\n").encode()


@pytest.mark.parametrize("rows, chunks", [(65536, 1), (65537, 2)])
def test_chunk_boundary(tmp_path, rows, chunks):
    # Blank lines among the rows must not count: with 65,537 rows the
    # second chunk holds exactly one row.
    lines = ["n,k"]
    for i in range(rows):
        lines.append(f"{i % 7},{'xy'[i % 2]}")
        if i % 9000 == 0:
            lines.append("  ")
    native = assert_same_container(tmp_path, ("\n".join(lines) + "\n").encode())
    assert int.from_bytes(native[8:16], "little") == rows
    assert int.from_bytes(native[16:20], "little") == chunks


def test_lines_across_read_buffer_boundaries(tmp_path):
    # Whatever the line reader's buffer size, a power of two from 4 KiB to
    # 1 MiB: at every even power a CR LF is split across it, at every odd
    # power a three-byte character.
    out = bytearray(b"k,v\r\n")
    i = 0
    for k in range(12, 21):
        boundary = 1 << k
        while len(out) < boundary - 40:
            out += b"row%d,value%d\r\n" % (i % 10, i % 7)
            i += 1
        if k % 2 == 0:
            out += b"pad," + b"p" * (boundary - 1 - len(out) - 4) + b"\r\n"
            assert out[boundary - 1:boundary + 1] == b"\r\n"
        else:
            out += b"eur," + b"e" * (boundary - 1 - len(out) - 4) + "\u20ac".encode() + b"\r\n"
            assert out[boundary - 1:boundary + 2] == "\u20ac".encode()
    out += b"last,row\r\n"
    assert_same_container(tmp_path, bytes(out))


NOT_UTF8 = [
    ("lone continuation byte", b"a\n\x80\n"),
    ("overlong form", b"a\n\xc0\xaf\n"),
    ("encoded surrogate", b"a\n\xed\xa0\x80\n"),
    ("above U+10FFFF", b"a\n\xf4\x90\x80\x80\n"),
    ("cut short at the end", b"a\nx\xe2\x82"),
    ("in the header", b"\xff\n1\n"),
]


@pytest.mark.parametrize("csv_bytes", [c for _, c in NOT_UTF8], ids=[n for n, _ in NOT_UTF8])
def test_both_refuse_bytes_that_are_not_utf8(tmp_path, csv_bytes):
    csv = tmp_path / "in.csv"
    csv.write_bytes(csv_bytes)
    with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
        sarn.compress_csv(str(csv), str(tmp_path / "out.sarn"))
    with pytest.raises(UnicodeDecodeError):
        ref.container_from_csv(csv_bytes, 0)


def test_values_that_stress_the_codec(tmp_path):
    rng = random.Random(11)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUV"
    rows = []
    for i in range(400):
        rows.append([
            # Lengths 255 and 383 have a length varint starting with FF, the
            # byte that needs the literal escape.
            "q" * rng.choice([1, 127, 128, 255, 383]),
            # Uniform letters: the block ends up range coded.
            "".join(rng.choice(letters) for _ in range(40)),
            # Words: LZ with Huffman.
            " ".join(rng.choice(["alpha", "beta", "gamma", "delta", "epsilon"]) for _ in range(6)),
            str(i),
        ])
    # One very long repetitive value: matches of the maximum length.
    rows.append(["z" * 70000, "", "", "end"])
    assert_same_container(tmp_path, csv_of(["ff", "uniform", "words", "n"], rows))


def test_wide_schema(tmp_path):
    # Many and long column names: the schema block goes through the
    # entropy coders; a 200-byte name has a two-byte length varint.
    names = [f"column_{i:04d}_" + "n" * (i % 7) for i in range(600)] + ["w" * 200]
    rows = [[str((r * 31 + c) % 97) for c in range(len(names))] for r in range(20)]
    assert_same_container(tmp_path, csv_of(names, rows))


def test_filter_and_text_statistics(tmp_path):
    # Texts that order differently by bytes than by code points or by
    # length, duplicates, and many distinct values to fill the filter.
    values = ["", "a", "ab", "b", "\u00ff", "\u0100", "\U0001f600", "\x7f", "a\x01", "aa", "b"]
    values += [f"v{i}" for i in range(3000)]
    random.Random(12).shuffle(values)
    assert_same_container(tmp_path, csv_of(["t", "u"], [[v, v[::-1]] for v in values]))
