"""Helpers of the sarnio reading tests: containers with typed columns written
by the write_typed test tool, and a plain Python model of what reading them
gives (values as stored, nulls where the file can locate them) and of
filtering rows the way pyarrow does."""

from __future__ import annotations

import math
import os
import pathlib
import struct
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

TYPE_CODES = {"int64": 1, "float64": 2, "bool": 3, "string": 4, "binary": 5, "object": 6, "list": 7, "map": 8}


def write_typed_tool() -> str:
    tool = os.environ.get("SARN_WRITE_TYPED")
    if not tool:
        for candidate in ("build/asan/write_typed", "build/dev/write_typed"):
            if (REPO / candidate).exists():
                tool = str(REPO / candidate)
                break
    if not tool:
        pytest.skip("write_typed is not built (scripts/test.sh builds it and sets SARN_WRITE_TYPED)")
    return tool


# ---- serialized structured values ------------------------------------------------------


def _varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _zigzag(n: int) -> bytes:
    return _varint(((n << 1) ^ (n >> 63)) & 0xFFFFFFFFFFFFFFFF)


def _nested(v) -> bytes:
    s = serialize(v)
    return _varint(len(s)) + s


def serialize(v) -> bytes:
    """The self-describing form of a structured value (None, int, float, str,
    bool, bytes, dict with str keys, list; a tuple of pairs is a map)."""
    if v is None:
        return b"\x00"
    if isinstance(v, bool):
        return b"\x04" + bytes([int(v)])
    if isinstance(v, int):
        return b"\x01" + _zigzag(v)
    if isinstance(v, float):
        return b"\x02" + struct.pack("<d", v)
    if isinstance(v, str):
        b = v.encode()
        return b"\x03" + _varint(len(b)) + b
    if isinstance(v, bytes):
        return b"\x05" + _varint(len(v)) + v
    if isinstance(v, dict):
        out = b"\x06" + _varint(len(v))
        for k, x in v.items():
            kb = k.encode()
            out += _varint(len(kb)) + kb + _nested(x)
        return out
    if isinstance(v, list):
        return b"\x07" + _varint(len(v)) + b"".join(_nested(x) for x in v)
    if isinstance(v, tuple):  # a map, as pairs
        return b"\x08" + _varint(len(v)) + b"".join(_nested(k) + _nested(x) for k, x in v)
    raise TypeError(v)


def python_value(v):
    """What read() gives for a structured value."""
    if isinstance(v, dict):
        return {k: python_value(x) for k, x in v.items()}
    if isinstance(v, list):
        return [python_value(x) for x in v]
    if isinstance(v, tuple):
        return {python_value(k): python_value(x) for k, x in v}
    return v


# ---- writing -----------------------------------------------------------------------------


def _cell(type_name: str, v) -> str:
    if v is None:
        return "N"
    if type_name == "int64":
        return f"i{v}"
    if type_name == "float64":
        return "f" + struct.pack("<d", v)[::-1].hex()
    if type_name == "bool":
        return "b1" if v else "b0"
    if type_name == "string":
        return "t" + v.encode().hex()
    if type_name == "binary":
        return "y" + v.hex()
    return "s" + serialize(v).hex()


def write_typed(path, columns, rows, chunk_size: int) -> None:
    """columns: (name, type name, key or None) with key bytes meaning enciphered."""
    lines = [str(chunk_size)]
    for name, type_name, key in columns:
        lines.append("\t".join(["C", name.encode().hex(), str(TYPE_CODES[type_name]), "1" if key is not None else "0", key.hex() if key else "-"]))
    for row in rows:
        lines.append("\t".join(["R"] + [_cell(columns[i][1], v) for i, v in enumerate(row)]))
    proc = subprocess.run([write_typed_tool(), str(path)], input="\n".join(lines) + "\n", text=True, capture_output=True)
    assert proc.returncode == 0, proc.stderr


# ---- the model of reading ------------------------------------------------------------------


def stored_float(x: float) -> float:
    """A float as the column stores it: four decimals, halves away from zero."""
    scaled = x * 10000.0
    r = math.floor(abs(scaled) + 0.5) * (1 if scaled >= 0 else -1)
    return r / 10000


def expected_column(type_name: str, values: list, chunk_size: int) -> list:
    """The column as read back: chunk by chunk, nulls located where the file
    says where they are, elsewhere read as the value stored for them."""
    out = []
    for at in range(0, len(values), chunk_size):
        chunk = values[at:at + chunk_size]
        nulls = sum(v is None for v in chunk)
        if nulls == len(chunk):
            out.extend([None] * len(chunk))
            continue
        for v in chunk:
            if type_name == "int64":
                out.append(0 if v is None else v)
            elif type_name == "float64":
                out.append(0.0 if v is None else stored_float(v))
            elif type_name == "bool":
                out.append(False if v is None else v)
            elif type_name in ("string", "binary"):
                empty = "" if type_name == "string" else b""
                empties = sum(1 for x in chunk if x is None or x == empty)
                if v is None:
                    out.append(None if empties == nulls else empty)
                else:
                    out.append(v)
            else:
                out.append(None if v is None else python_value(v))
    return out


def _holds(x, op: str, v) -> bool:
    if op in ("in", "not in"):
        if x is None:
            return op == "not in"
        found = any(x == y for y in v)
        return found if op == "in" else not found
    if x is None:
        return False
    return {"==": x == v, "=": x == v, "!=": x != v, "<": x < v, "<=": x <= v, ">": x > v, ">=": x >= v}[op]


def filter_rows(table: dict, filters) -> list:
    """Indexes of the rows of {name: values} that the DNF filter keeps."""
    if isinstance(filters[0][0], str):
        filters = [filters]
    n = len(next(iter(table.values())))
    return [i for i in range(n) if any(all(_holds(table[c][i], op, v) for c, op, v in conj) for conj in filters)]
