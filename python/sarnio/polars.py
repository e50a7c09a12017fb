"""SARN containers as polars LazyFrames, with projection and predicate pushdown.

``scan_sarn(source)`` returns a :class:`polars.LazyFrame` backed by an IO
plugin (``polars.io.plugins.register_io_source``).  When the query runs,
polars tells the source which columns it needs, the predicate it will apply,
how many rows it wants and how big a batch it likes:

- only the needed columns are decoded;
- the comparisons and ``is_in`` tests in the predicate (``==``, ``!=``, ``<``,
  ``<=``, ``>``, ``>=``, ``is_between``, ``is_in``, combined with ``&`` and
  ``|``) become sarnio filters, so chunks whose footer statistics or
  membership filter rule them out are never read; the rest of the predicate
  is applied by polars as usual, and every batch is filtered with the whole
  predicate before it is handed on;
- reading stops once ``n_rows`` rows have been produced.

polars is imported only by this module (``pip install polars``).
"""

from __future__ import annotations

import json
import os
from typing import Any, Optional, Union
from collections.abc import Iterator, Mapping

import polars as pl

from sarnio._reader import SarnFile
from sarnio._reader import open as _open

__all__ = ["scan_sarn", "filters_from_predicate"]

# Chunks hold at most 65,536 rows; a batch of that many is the natural unit.
_POLARS_TYPES = {
    "int64": pl.Int64,
    "float64": pl.Float64,
    "bool": pl.Boolean,
    "string": pl.String,
    "binary": pl.Binary,
    # Structured values come through Arrow as their JSON text.
    "object": pl.String,
    "list": pl.String,
    "map": pl.String,
}

# The comparison operators polars names in a serialized expression.
_COMPARISONS = {"Eq": "==", "NotEq": "!=", "Lt": "<", "LtEq": "<=", "Gt": ">", "GtEq": ">="}
# The same comparison with its two sides swapped (a literal on the left).
_MIRRORED = {"==": "==", "!=": "!=", "<": ">", "<=": ">=", ">": "<", ">=": "<="}
# Disjunctive normal forms larger than this are not worth planning with:
# the predicate is then only applied, not pushed down.
_MAX_CONJUNCTIONS = 64


class _NotPushable(Exception):
    """A part of the predicate that sarnio's filters cannot express."""


def _literal(node: Any) -> Any:
    """The Python value of a literal node of a serialized expression."""
    if not isinstance(node, dict) or "Literal" not in node:
        raise _NotPushable
    lit = node["Literal"]
    if not isinstance(lit, dict) or len(lit) != 1:
        raise _NotPushable
    (kind, body), = lit.items()
    if not isinstance(body, dict) or len(body) != 1:
        raise _NotPushable
    (tag, value), = body.items()
    if kind == "Dyn" and tag in ("Int", "Float", "Str"):
        return value
    if kind == "Scalar":
        if tag in ("Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64", "Float32", "Float64"):
            return value
        if tag in ("String", "Boolean"):
            return value
        if tag == "List":
            return _list_literal(value)
    raise _NotPushable


def _list_literal(value: Any) -> list[Any]:
    """The values of an ``is_in`` list, which polars serializes as an Arrow
    IPC stream of one column holding them."""
    if not isinstance(value, list) or not all(isinstance(b, int) for b in value):
        raise _NotPushable
    try:
        import pyarrow as pa  # type: ignore[import-untyped]

        table = pa.ipc.open_stream(bytes(value)).read_all()
        cells = table.column(0).to_pylist()
    except Exception as e:  # noqa: BLE001 - an unknown layout is simply not pushed down
        raise _NotPushable from e
    if table.num_columns != 1:
        raise _NotPushable
    return cells


def _column(node: Any) -> str:
    if isinstance(node, dict) and isinstance(node.get("Column"), str):
        return node["Column"]
    raise _NotPushable


# A predicate as disjunctive normal form: a list of AND-lists of tuples.
_Dnf = list[list[tuple[str, str, Any]]]


def _and(a: _Dnf, b: _Dnf) -> _Dnf:
    out = [x + y for x in a for y in b]
    if len(out) > _MAX_CONJUNCTIONS:
        raise _NotPushable
    return out


def _dnf(node: Any) -> _Dnf:
    if not isinstance(node, dict) or len(node) != 1:
        raise _NotPushable
    (kind, body), = node.items()
    if kind == "BinaryExpr":
        op = body.get("op")
        if op == "And":
            return _and_pushable(body["left"], body["right"])
        if op == "Or":
            out = _dnf(body["left"]) + _dnf(body["right"])
            if len(out) > _MAX_CONJUNCTIONS:
                raise _NotPushable
            return out
        if op in _COMPARISONS:
            left, right = body["left"], body["right"]
            sym = _COMPARISONS[op]
            if isinstance(left, dict) and "Column" in left:
                value = _literal(right)
                name = _column(left)
            else:
                value = _literal(left)
                name = _column(right)
                sym = _MIRRORED[sym]
            if value is None or isinstance(value, list):
                raise _NotPushable
            return [[(name, sym, value)]]
        raise _NotPushable
    if kind == "Function":
        function = body.get("function")
        inputs = body.get("input", [])
        boolean = function.get("Boolean") if isinstance(function, dict) else None
        if isinstance(boolean, dict) and "IsIn" in boolean and len(inputs) == 2:
            values = _literal(inputs[1])
            if not isinstance(values, list) or any(v is None for v in values):
                raise _NotPushable
            return [[(_column(inputs[0]), "in", values)]]
        if isinstance(boolean, dict) and "IsBetween" in boolean and len(inputs) == 3:
            name = _column(inputs[0])
            lo, hi = _literal(inputs[1]), _literal(inputs[2])
            closed = boolean["IsBetween"].get("closed")
            ops = {"Both": (">=", "<="), "Left": (">=", "<"), "Right": (">", "<="), "None": (">", "<")}
            if closed not in ops or lo is None or hi is None:
                raise _NotPushable
            return [[(name, ops[closed][0], lo), (name, ops[closed][1], hi)]]
    raise _NotPushable


def _and_pushable(left: Any, right: Any) -> _Dnf:
    """``left & right``: a side that cannot be pushed down is left to polars
    (dropping a conjunct only makes the filter weaker, never wrong)."""
    parts = []
    for side in (left, right):
        try:
            parts.append(_dnf(side))
        except _NotPushable:
            pass
    if not parts:
        raise _NotPushable
    out = parts[0]
    for p in parts[1:]:
        out = _and(out, p)
    return out


def filters_from_predicate(predicate: Optional[pl.Expr], schema: Mapping[str, str]) -> Optional[list[Any]]:
    """sarnio filters (an OR of ANDs, pyarrow's convention) that every row the
    predicate keeps passes, or None when nothing of it can be used.

    The filters are only ever weaker than the predicate: they decide which
    chunks are read, and polars' own predicate still decides the rows.
    ``schema`` maps column names to sarnio type names; comparisons that the
    column's type cannot take (a number against a text column) are left out.
    """
    if predicate is None:
        return None
    try:
        tree = json.loads(predicate.meta.serialize(format="json"))
        dnf = _dnf(tree)
    except (_NotPushable, ValueError, TypeError, KeyError, AttributeError):
        return None
    usable: list[list[tuple[str, str, Any]]] = []
    for conj in dnf:
        kept = [p for p in conj if _fits(p, schema)]
        if not kept:
            return None  # one OR branch that keeps every row: nothing to skip
        usable.append(kept)
    return usable


def _fits(pred: tuple[str, str, Any], schema: Mapping[str, str]) -> bool:
    name, op, value = pred
    type_name = schema.get(name)
    values = value if op == "in" else [value]
    if type_name in ("int64", "float64"):
        return all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values)
    if type_name == "bool":
        return all(isinstance(v, bool) for v in values)
    if type_name == "string":
        return all(isinstance(v, str) for v in values)
    return False


def scan_sarn(
    source: Union[str, os.PathLike[str], SarnFile],
    *,
    keys: Optional[Mapping[str, bytes]] = None,
    threads: Optional[int] = None,
    storage_options: Optional[Mapping[str, Any]] = None,
) -> pl.LazyFrame:
    """A lazy scan of a SARN container.

    Args:
        source: a path, an fsspec URL (``s3://...``: only the blocks a query
            needs are fetched), an open binary file object, or an open
            :class:`sarnio.SarnFile` (its ``last_scan`` then reports what the
            last collected query read).
        keys: ``{column name: 32-byte key}`` for enciphered columns.
        threads: decoding threads; ``None`` uses every core.
        storage_options: options of the URL's file system, as for
            :func:`sarnio.open`.

    Text and structured columns are ``pl.String`` (structured values as JSON
    text), bytes ``pl.Binary``.  Column names must be unique.
    """
    f = source if isinstance(source, SarnFile) else _open(source, keys, storage_options=storage_options)
    types = {field.name: field.type for field in f.schema}
    if len(types) != len(f.schema):
        raise ValueError("polars needs unique column names; this file repeats one")
    schema = {name: _POLARS_TYPES[t] for name, t in types.items()}

    def io_source(
        with_columns: Optional[list[str]],
        predicate: Optional[pl.Expr],
        n_rows: Optional[int],
        batch_size: Optional[int],
    ) -> Iterator[pl.DataFrame]:
        columns = list(with_columns) if with_columns is not None else list(types)
        needed = list(columns)
        if predicate is not None:
            for name in predicate.meta.root_names():
                if name not in needed:
                    needed.append(name)
        filters = filters_from_predicate(predicate, types)
        left = n_rows
        for batch in f.iter_arrow_batches(needed, filters, threads):
            df = pl.from_arrow(batch)
            assert isinstance(df, pl.DataFrame)
            if predicate is not None:
                df = df.filter(predicate)
            df = df.select(columns)
            if left is not None:
                if left <= 0:
                    return
                df = df.head(left)
                left -= df.height
            if df.height == 0:
                continue
            if batch_size:
                for start in range(0, df.height, batch_size):
                    yield df.slice(start, batch_size)
            else:
                yield df

    from polars.io.plugins import register_io_source

    return register_io_source(io_source, schema=schema)
