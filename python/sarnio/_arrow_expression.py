"""pyarrow compute expressions, as engines push them into a dataset scan,
turned into sarnio filters that skip chunks.

An expression can only be looked into through its serialized form: pyarrow
pickles it as an Arrow IPC file whose schema metadata lists the expression
tree in prefix order ("call" NAME ... "end" NAME, "field_ref" NAME,
"literal" I, "options" I; I indexes a column that holds the value) and whose
columns hold the literals.  The metadata repeats keys, so it is read through
the Arrow C data interface, which keeps every pair in order.

Only comparisons of a column with a literal, ``is_in``, ``and`` and ``or``
are turned into filters; anything else makes its branch keep every chunk.
The filters only decide which chunks are read: the scan still applies the
whole expression to the rows.
"""

from __future__ import annotations

import ctypes
import struct
from typing import Any, Optional
from collections.abc import Iterator

__all__ = ["field_names", "filters_from_expression"]

_COMPARISONS = {
    "equal": "==",
    "not_equal": "!=",
    "less": "<",
    "less_equal": "<=",
    "greater": ">",
    "greater_equal": ">=",
}
_MIRRORED = {"==": "==", "!=": "!=", "<": ">", "<=": ">=", ">": "<", ">=": "<="}
_MAX_CONJUNCTIONS = 64


class _NotPushable(Exception):
    pass


class _ArrowSchemaC(ctypes.Structure):
    """struct ArrowSchema of the Arrow C data interface."""

    format: Optional[bytes]
    name: Optional[bytes]
    metadata: Optional[int]
    flags: int
    n_children: int
    children: Optional[int]
    dictionary: Optional[int]
    release: Any
    private_data: Optional[int]


_ArrowSchemaC._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_void_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(_ArrowSchemaC))),
    ("private_data", ctypes.c_void_p),
]


def _metadata_pairs(schema: Any) -> list[tuple[bytes, bytes]]:
    """The schema's metadata as the ordered list of (key, value) pairs,
    duplicates kept (pyarrow's own accessor folds them into a dict)."""
    c_schema = _ArrowSchemaC()
    schema._export_to_c(ctypes.addressof(c_schema))
    try:
        base = c_schema.metadata
        if not base:
            return []

        def read(offset: int, size: int) -> bytes:
            return ctypes.string_at(base + offset, size)

        (count,) = struct.unpack("=i", read(0, 4))
        pairs = []
        at = 4
        for _ in range(count):
            (klen,) = struct.unpack("=i", read(at, 4))
            key = read(at + 4, klen)
            at += 4 + klen
            (vlen,) = struct.unpack("=i", read(at, 4))
            value = read(at + 4, vlen)
            at += 4 + vlen
            pairs.append((key, value))
        return pairs
    finally:
        if c_schema.release:
            c_schema.release(ctypes.pointer(c_schema))


def _tree(expression: Any) -> Any:
    """The expression as nested tuples: ("call", name, [args]),
    ("field", name), ("literal", value), ("options", value)."""
    import pyarrow as pa  # type: ignore[import-untyped]

    reduced = expression.__reduce__()
    buffer = reduced[1][0]
    table = pa.ipc.open_file(buffer).read_all()
    values = [c[0].as_py() if len(c) else None for c in table.columns]
    pairs = iter(_metadata_pairs(table.schema))

    def node(key: bytes, value: bytes) -> Any:
        text = value.decode()
        if key == b"field_ref":
            return ("field", text)
        if key == b"literal":
            return ("literal", values[int(text)])
        if key == b"options":
            return ("options", values[int(text)])
        if key == b"call":
            args: list[Any] = []
            for k, v in pairs:
                if k == b"end":
                    return ("call", text, args)
                args.append(node(k, v))
            raise _NotPushable
        raise _NotPushable

    first = next(pairs, None)
    if first is None:
        raise _NotPushable
    return node(*first)


_Dnf = list[list[tuple[str, str, Any]]]


def _dnf(n: Any) -> _Dnf:
    if n[0] != "call":
        raise _NotPushable
    name, args = n[1], n[2]
    if name in ("and", "and_kleene"):
        parts: list[_Dnf] = []
        for a in args:
            try:
                parts.append(_dnf(a))
            except _NotPushable:
                pass  # a weaker filter is still a correct one
        if not parts:
            raise _NotPushable
        out = parts[0]
        for p in parts[1:]:
            out = [x + y for x in out for y in p]
            if len(out) > _MAX_CONJUNCTIONS:
                raise _NotPushable
        return out
    if name in ("or", "or_kleene"):
        out = [c for a in args for c in _dnf(a)]
        if len(out) > _MAX_CONJUNCTIONS:
            raise _NotPushable
        return out
    if name in _COMPARISONS and len(args) == 2:
        op = _COMPARISONS[name]
        left, right = args
        if left[0] == "field" and right[0] == "literal":
            column, value = left[1], right[1]
        elif left[0] == "literal" and right[0] == "field":
            column, value, op = right[1], left[1], _MIRRORED[op]
        else:
            raise _NotPushable
        if value is None:
            raise _NotPushable
        return [[(column, op, value)]]
    if name == "is_in" and len(args) == 2 and args[0][0] == "field" and args[1][0] == "options":
        options = args[1][1] or {}
        values = options.get("value_set")
        if not isinstance(values, list) or any(v is None for v in values):
            raise _NotPushable
        return [[(args[0][1], "in", values)]]
    raise _NotPushable


def filters_from_expression(expression: Any, types: dict[str, str]) -> Optional[list[Any]]:
    """sarnio filters that every row the expression keeps passes, or None
    when none can be made (see the module's doc string)."""
    if expression is None:
        return None
    try:
        dnf = _dnf(_tree(expression))
    except (_NotPushable, Exception):  # noqa: BLE001 - any surprise means no pushdown
        return None
    out = []
    for conj in dnf:
        kept = [p for p in conj if _fits(p, types)]
        if not kept:
            return None
        out.append(kept)
    return out


def _fits(pred: tuple[str, str, Any], types: dict[str, str]) -> bool:
    name, op, value = pred
    t = types.get(name)
    values = value if op == "in" else [value]
    if t in ("int64", "float64"):
        return all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values)
    if t == "bool":
        return all(isinstance(v, bool) for v in values)
    if t == "string":
        return all(isinstance(v, str) for v in values)
    return False


def _walk(n: Any) -> Iterator[Any]:
    yield n
    if n[0] == "call":
        for a in n[2]:
            yield from _walk(a)


def field_names(expression: Any) -> Optional[set[str]]:
    """The columns an expression reads, or None when its form is unknown
    (the caller then reads every column)."""
    try:
        return {n[1] for n in _walk(_tree(expression)) if n[0] == "field"}
    except Exception:  # noqa: BLE001 - an unknown form: read everything
        return None
