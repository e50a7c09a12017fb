"""Row filters in pyarrow's convention, checked and put into the form the
native scan takes.

A filter is a list of ``(column, op, value)`` tuples, all of which must hold
(AND), or a list of such lists, any of which must hold (OR).  ``op`` is one of
``==`` (or ``=``), ``!=``, ``<``, ``<=``, ``>``, ``>=``, ``in`` and ``not in``;
``in`` and ``not in`` take a list, tuple or set.  A malformed filter raises
ValueError, an unknown column KeyError, a name that several columns bear
ValueError, and a value the column cannot be compared with TypeError.
"""

from __future__ import annotations

import math
from typing import Any
from collections.abc import Sequence

from sarnio._native import CompareOp

__all__ = ["ambiguous_name", "normalize_filters"]

# The native scan's operators.
EQ, NE, LT, LE, GT, GE = CompareOp.EQ, CompareOp.NE, CompareOp.LT, CompareOp.LE, CompareOp.GT, CompareOp.GE
IN, NOT_IN = CompareOp.IN, CompareOp.NOT_IN
_OPS = {"==": EQ, "=": EQ, "!=": NE, "<": LT, "<=": LE, ">": GT, ">=": GE, "in": IN, "not in": NOT_IN}
_COMPARISONS = {EQ, NE, LT, LE, GT, GE}

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# Predicates that hold for no row, and for every row that is not null.
_NONE: tuple[CompareOp, list[int]] = (IN, [])
_ALL: tuple[CompareOp, list[int]] = (GE, [INT64_MIN])


def _int_comparison(op: CompareOp, v: int) -> tuple[CompareOp, list[int]]:
    """``x op v`` over int64 cells, for any Python integer v."""
    if INT64_MIN <= v <= INT64_MAX:
        return op, [v]
    above = v > INT64_MAX
    if op == EQ:
        return _NONE
    if op == NE:
        return _ALL
    if op in (LT, LE):
        return _ALL if above else _NONE
    return _NONE if above else _ALL


def _int_operand(op: CompareOp, v: float | int) -> tuple[CompareOp, list[int]]:
    """An int64 column compared with an int or a float, exactly."""
    if isinstance(v, int):
        return _int_comparison(op, v)
    if math.isnan(v):
        return _ALL if op == NE else _NONE  # nothing equals or orders with NaN
    if math.isinf(v):
        return _int_comparison(op, INT64_MAX + 1 if v > 0 else INT64_MIN - 1)
    if v.is_integer():
        return _int_comparison(op, int(v))
    if op == EQ:
        return _NONE
    if op == NE:
        return _ALL
    if op in (LT, LE):
        return _int_comparison(LE, math.floor(v))
    return _int_comparison(GE, math.ceil(v))


def _as_float(v: float | int) -> float:
    try:
        return float(v)
    except OverflowError:
        return math.inf if v > 0 else -math.inf


def _check_value(name: str, type_name: str, v: Any) -> Any:
    """The value as the scan compares it, or TypeError."""
    if v is None:
        raise TypeError(f"filter on column {name!r}: None is not a value to compare with")
    if type_name in ("int64", "float64"):
        if isinstance(v, (int, float)):
            return v
    elif type_name == "bool":
        if isinstance(v, bool):
            return int(v)
    elif type_name == "string":
        if isinstance(v, str):
            return v
    elif type_name == "binary":
        if isinstance(v, (bytes, bytearray, memoryview)):
            return bytes(v)
    else:
        raise TypeError(f"filter on column {name!r}: {type_name} columns cannot be filtered")
    if type_name == "string" and isinstance(v, (int, float)) and not isinstance(v, bool):
        raise TypeError(f"filter on column {name!r} (string): cannot compare with {type(v).__name__} {v!r}; "
                        f"the column holds text (compare with a str, in text order), or compress with "
                        f"types=\"infer\" (or types={{{name!r}: \"int64\"}}) to store it as integers "
                        f"that compare as numbers")
    raise TypeError(f"filter on column {name!r} ({type_name}): cannot compare with {type(v).__name__} {v!r}")


def ambiguous_name(name: str, names: Sequence[str]) -> str:
    """The message for a name that several columns bear, which can pick none."""
    where = ", ".join(str(i) for i, n in enumerate(names) if n == name)
    return f"column name {name!r} is ambiguous: columns {where} bear it"


def _predicate(
    pred: Any, index: dict[str, int], names: Sequence[str], types: Sequence[str]
) -> tuple[int, CompareOp, list[Any]]:
    if not isinstance(pred, (tuple, list)) or len(pred) != 3:
        raise ValueError(f"Malformed filters: {pred!r} is not a (column, op, value) tuple")
    name, op_text, value = pred
    if not isinstance(name, str):
        raise ValueError(f"Malformed filters: column name {name!r} is not a str")
    if not isinstance(op_text, str) or op_text not in _OPS:
        raise ValueError(f"Malformed filters: unknown operator {op_text!r}")
    if name not in index:
        raise KeyError(name)
    column = index[name]
    if column < 0:
        raise ValueError("filters: " + ambiguous_name(name, names))
    type_name = types[column]
    op = _OPS[op_text]
    if op in _COMPARISONS:
        v = _check_value(name, type_name, value)
        if type_name == "int64":
            op, operands = _int_operand(op, v)
            return column, op, operands
        if type_name == "float64":
            return column, op, [_as_float(v)]
        return column, op, [v]
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple, set, frozenset)):
        raise TypeError(
            f"filter on column {name!r}: {op_text!r} takes a list, tuple or set, not {type(value).__name__}"
        )
    values = [_check_value(name, type_name, v) for v in value]
    if type_name == "int64":
        # Only values an int64 cell can equal matter.
        kept = []
        for v in values:
            o, xs = _int_operand(EQ, v)
            if o == EQ:
                kept.extend(xs)
        return column, op, kept
    if type_name == "float64":
        return column, op, [_as_float(v) for v in values]
    return column, op, values


def normalize_filters(
    filters: Any, names: Sequence[str], types: Sequence[str]
) -> list[list[tuple[int, CompareOp, list[Any]]]]:
    """The filter as a list of AND-lists of (column index, op code, operands).

    ``None`` gives ``[]`` (every row).
    """
    if filters is None:
        return []
    if not isinstance(filters, (list, tuple)) or len(filters) == 0:
        raise ValueError(
            "Malformed filters: expected a non-empty list of (column, op, value) tuples or of lists of them"
        )
    if any(not isinstance(f, (list, tuple)) or len(f) == 0 for f in filters):
        raise ValueError("Malformed filters: an empty or non-list member")
    if isinstance(filters[0][0], str):
        filters = [filters]
    # A name that several columns bear maps to -1.
    index: dict[str, int] = {}
    for i, n in enumerate(names):
        index[n] = i if n not in index else -1
    out = []
    for conj in filters:
        if not isinstance(conj, (list, tuple)) or len(conj) == 0:
            raise ValueError(f"Malformed filters: {conj!r} is not a non-empty list of tuples")
        out.append([_predicate(p, index, names, types) for p in conj])
    return out
