"""A container as a pyarrow Dataset, which engines scan with projection and
filter pushdown.

DuckDB (and anything else that scans pyarrow datasets) asks a dataset for a
scanner with the columns it needs and the filter it wants applied, as a
pyarrow compute expression, and reads the scanner's RecordBatchReader.  This
dataset hands both to sarnio: only the needed columns are decoded, the parts
of the filter that sarnio's filters can express skip chunks by their footer
statistics and membership filters (``_arrow_expression``), and the whole
expression is applied to the rows of the chunks read, so the rows are
exactly those the filter keeps.

pyarrow's own dataset machinery stands behind none of this object: every
method a caller can reach is implemented here or refuses plainly.
"""

from __future__ import annotations

from typing import Any, Optional
from collections.abc import Iterator, Sequence

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.compute as pc  # type: ignore[import-untyped]
import pyarrow.dataset as ds  # type: ignore[import-untyped]

from sarnio._arrow_expression import field_names, filters_from_expression
from sarnio._reader import SarnFile

__all__ = ["SarnDataset"]


class _Scanner:
    """One scan of a SarnDataset: columns, filter, and the reader over them."""

    def __init__(self, dataset: SarnDataset, columns: Optional[Sequence[str]], filter: Any) -> None:
        self._file = dataset._file
        self._threads = dataset._threads
        names = [f.name for f in self._file.schema]
        self._columns = list(columns) if columns is not None else names
        for name in self._columns:
            if name not in names:
                raise KeyError(name)
        self._filter = filter
        needed = list(self._columns)
        if filter is not None:
            read = field_names(filter)
            for name in names if read is None else [n for n in names if n in read]:
                if name not in needed:
                    needed.append(name)
        self._needed = needed
        types = {f.name: f.type for f in self._file.schema}
        self._sarn_filters = filters_from_expression(filter, types) if filter is not None else None
        self.projected_schema = pa.schema([dataset.schema.field(name) for name in self._columns])

    def _batches(self) -> Iterator[Any]:
        for batch in self._file.iter_arrow_batches(self._needed, self._sarn_filters, self._threads):
            if self._filter is not None:
                batch = pa.Table.from_batches([batch]).filter(self._filter).combine_chunks()
                out = batch.select(self._columns).to_batches()
                yield from (b for b in out if b.num_rows)
            else:
                yield batch.select(self._columns)

    def to_reader(self) -> Any:
        return pa.RecordBatchReader.from_batches(self.projected_schema, self._batches())

    def to_batches(self) -> Iterator[Any]:
        return iter(self.to_reader())

    def to_table(self) -> Any:
        return self.to_reader().read_all()

    def count_rows(self) -> int:
        return sum(b.num_rows for b in self._batches())

    def head(self, num_rows: int) -> Any:
        taken, total = [], 0
        for b in self._batches():
            taken.append(b.slice(0, num_rows - total))
            total += taken[-1].num_rows
            if total >= num_rows:
                break
        return pa.Table.from_batches(taken, schema=self.projected_schema)


class SarnDataset(ds.Dataset):  # type: ignore[misc]
    """A SARN container as a pyarrow Dataset (see the module's doc string).

    Use :func:`sarnio.dataset`.  The container stays open while the dataset
    lives.
    """

    def __init__(self, file: SarnFile, threads: Optional[int] = None) -> None:
        # pyarrow's Dataset is never initialised: nothing of its C++ side is
        # used, every method below stands on its own.
        self._file = file
        self._threads = threads
        self._schema: Any = None

    @property
    def schema(self) -> Any:
        if self._schema is None:
            plan = self._file._plan(None, None, as_json=True)
            self._schema = pa.RecordBatchReader.from_stream(
                _SchemaOnly(plan)).schema
        return self._schema

    def scanner(self, columns: Optional[Sequence[str]] = None, filter: Any = None, **kwargs: Any) -> _Scanner:
        # Other scan options (batch_size, use_threads, ...) tune pyarrow's
        # own scanner; this one reads a chunk at a time on sarnio's threads.
        return _Scanner(self, columns, filter)

    def to_reader(self, columns: Optional[Sequence[str]] = None, filter: Any = None, **kwargs: Any) -> Any:
        return self.scanner(columns, filter).to_reader()

    def to_table(self, columns: Optional[Sequence[str]] = None, filter: Any = None, **kwargs: Any) -> Any:
        return self.scanner(columns, filter).to_table()

    def to_batches(self, columns: Optional[Sequence[str]] = None, filter: Any = None, **kwargs: Any) -> Iterator[Any]:
        return self.scanner(columns, filter).to_batches()

    def count_rows(self, filter: Any = None, **kwargs: Any) -> int:
        if filter is None:
            return int(self._file.num_rows)
        return self.scanner(None, filter).count_rows()

    def head(self, num_rows: int, columns: Optional[Sequence[str]] = None, filter: Any = None, **kwargs: Any) -> Any:
        return self.scanner(columns, filter).head(num_rows)

    def filter(self, expression: Any) -> Any:
        raise NotImplementedError("SarnDataset.filter: pass filter= to scanner(), to_table() or to_batches()")

    def _unsupported(self, *args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError("a SarnDataset supports scanner(), to_table(), to_batches(), count_rows() and head()")

    get_fragments = join = join_asof = replace_schema = sort_by = take = _unsupported

    @property
    def partition_expression(self) -> Any:
        return pc.scalar(True)

    def __reduce__(self) -> Any:
        raise TypeError("a SarnDataset holds an open file and cannot be pickled; open the path where it is needed")

    def __repr__(self) -> str:
        return f"<sarnio.SarnDataset {self._file.path!r}>"


class _SchemaOnly:
    """The Arrow schema of a plan, without reading a batch."""

    def __init__(self, plan: Any) -> None:
        self._plan = plan

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._plan.arrow_stream(1, requested_schema)
