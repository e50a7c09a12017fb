"""Independent readings of the two CSV dialects, and a look inside
containers through the sarn_dump tool.

The module's dialect (dialect_table): a line ends at LF (one CR right before
it goes too, a CR anywhere else stays), a last line without LF still
counts, fields are cut at every comma with no quoting, every field is
trimmed of Unicode White_Space, blank data lines are skipped, short rows are
padded with empty texts and extra fields are dropped.  Input must be UTF-8.

The everyday dialect of sarnio and the command (everyday_table): the same,
with quoted fields, another delimiter, a byte order mark dropped and extra
fields an error (or dropped).
"""

import json
import os
import subprocess

import pytest

# The characters with the Unicode White_Space property.  (str.strip() with
# no argument is not the same set: it also strips U+001C..U+001F.)
WHITE_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def dialect_lines(data: bytes) -> list:
    """The lines of `data` as text; UnicodeDecodeError for bytes that are not UTF-8."""
    parts = data.split(b"\n")
    tail = parts.pop()  # what follows the last LF
    lines = [p[:-1] if p.endswith(b"\r") else p for p in parts]
    if tail:
        lines.append(tail)
    return [line.decode("utf-8") for line in lines]


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def dialect_table(data: bytes):
    """(column names, rows) as the dialect defines them."""
    lines = dialect_lines(data)
    names = [trim(p) for p in lines[0].split(",")]
    rows = []
    for line in lines[1:]:
        if not trim(line):
            continue
        pieces = line.split(",")
        rows.append([trim(pieces[i]) if i < len(pieces) else "" for i in range(len(names))])
    return names, rows


class DialectFault(ValueError):
    """Input the everyday dialect refuses: (what, line, offset)."""


def everyday_table(data: bytes, delimiter=",", quote='"', extra_fields="error"):
    """(column names, rows) as the everyday dialect reads `data`; a
    DialectFault (what, first line of the record, byte offset) for input it
    refuses.  Written character by character, apart from the code it checks."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
        base = 3
    else:
        base = 0
    text = data.decode("utf-8")
    # Byte offset of each character, for the faults.
    offsets = []
    at = base
    for ch in text:
        offsets.append(at)
        at += len(ch.encode("utf-8"))
    offsets.append(at)
    n = len(text)
    i = 0
    line = 1
    records = []  # (first line, cells)
    while i < n:
        start_line = line
        cells = []
        raw_start = i
        while True:  # one field
            j = i
            while j < n and text[j] in WHITE_SPACE and text[j] not in (delimiter, "\n"):
                j += 1
            if quote is not None and j < n and text[j] == quote:
                opened = j
                j += 1
                value = []
                while True:
                    if j >= n:
                        raise DialectFault("unterminated", start_line, offsets[opened])
                    if text[j] == quote:
                        if j + 1 < n and text[j + 1] == quote:
                            value.append(quote)
                            j += 2
                            continue
                        j += 1
                        break
                    if text[j] == "\n":
                        line += 1
                    value.append(text[j])
                    j += 1
                k = j
                while k < n and text[k] not in (delimiter, "\n"):
                    k += 1
                stray = text[j:k]
                if stray.endswith("\r") and k < n:  # CR of a CR LF end
                    stray = stray[:-1]
                if trim(stray):
                    first = j + (len(stray) - len(stray.lstrip(WHITE_SPACE)))
                    raise DialectFault("text after quote", start_line, offsets[first])
                cells.append(("".join(value), offsets[i]))
                j = k
            else:
                k = i
                while k < n and text[k] not in (delimiter, "\n"):
                    k += 1
                piece = text[i:k]
                if k < n and text[k] == "\n" and piece.endswith("\r"):
                    piece = piece[:-1]
                cells.append((trim(piece), offsets[i]))
                j = k
            if j < n and text[j] == delimiter:
                i = j + 1
                continue
            i = j + 1 if j < n else j  # past the LF
            line += 1
            break
        raw = text[raw_start:i]
        if records and not trim(raw) and delimiter not in raw:
            continue  # a blank record (the first line is the header, blank or not)
        records.append((start_line, cells))
    if not records:
        raise DialectFault("empty", 0, 0)
    names = [c for c, _ in records[0][1]]
    rows = []
    for first_line, cells in records[1:]:
        if len(cells) > len(names) and extra_fields == "error":
            raise DialectFault(f"{len(cells)} fields", first_line, cells[len(names)][1])
        values = [c for c, _ in cells[:len(names)]]
        rows.append(values + [""] * (len(names) - len(values)))
    return names, rows


def sarn_dump(path, rows=True):
    """The decoded container at `path` as sarn_dump reports it."""
    tool = os.environ.get("SARN_DUMP")
    if not tool:
        pytest.skip("SARN_DUMP is not set: no container decoder to read back what was written")
    args = [tool, str(path)] + ([] if rows else ["--no-rows"])
    proc = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# The second field of quoted_csv's records: quoted in every way the everyday
# dialect allows.
QUOTED_NOTES = [
    b"plain",
    b'"a, b"',
    b'"say ""hi"""',
    b'"two\nlines"',
    b'"crlf\r\ninside, too"',
    b'  "padded"  ',
    b'""',
    b'ab"c',
    b'"blank\n\n\nlines"',
    b'""""',
    b'"ends ""\n""x"',
    '"\u00e9t\u00e9\r\n"'.encode(),
]


def quoted_csv(records, seed, late_text=False):
    """A CSV whose records hold quoted fields with delimiters, doubled
    quotes, LF and CR LF inside, white space around the quotes, empty quoted
    fields and quotes inside unquoted fields, with blank lines between
    records.  Columns: id (canonical integers), note, n (integers, but for
    one late "007" with `late_text`), flag (text)."""
    import random

    rng = random.Random(seed)
    out = bytearray(b'"id",note,n,"fl""ag"\r\n')
    for i in range(records):
        if rng.randrange(13) == 0:
            out += b"\n" if rng.randrange(2) else b" \t\r\n"
        out += str(rng.randrange(2000) - 1000).encode() + b","
        out += QUOTED_NOTES[rng.randrange(len(QUOTED_NOTES))]
        out += b"," + (b"007" if late_text and i == records - 3 else str(i * 7).encode())
        out += b',"x"' if rng.randrange(3) == 0 else b",y"
        out += b"\r\n" if rng.randrange(4) == 0 else b"\n"
    return bytes(out)
