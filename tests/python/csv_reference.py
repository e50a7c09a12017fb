"""An independent reading of the pipeline's CSV dialect, and a look inside
containers through the sarn_dump tool.

The dialect: a line ends at LF (one CR right before it goes too, a CR
anywhere else stays), a last line without LF still counts, fields are cut at
every comma with no quoting, every field is trimmed of Unicode White_Space,
blank data lines are skipped, short rows are padded with empty texts and
extra fields are dropped.  Input must be UTF-8.
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


def sarn_dump(path, rows=True):
    """The decoded container at `path` as sarn_dump reports it."""
    tool = os.environ.get("SARN_DUMP")
    if not tool:
        pytest.skip("SARN_DUMP is not set: no container decoder to read back what was written")
    args = [tool, str(path)] + ([] if rows else ["--no-rows"])
    proc = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)
