"""Reading containers back: columns, rows, batches and Arrow.

``sarnio.open(source, keys=None, max_chunk_bytes=1 GiB, storage_options=None)``
opens a container and checks its header, schema and footer; blocks are read
only when asked for, and chunks that the filters rule out from the footer's
statistics are never read at all.

The source is a local path, an fsspec URL (``s3://bucket/key.sarn``,
``memory://...``; fsspec is imported only then) or an open binary file
object.  A remote file is read as a footer index is meant to be: its head
and tail first (header, trailer and footer), then only the blocks of the
chunks and columns a read needs, coalesced into few requests and fetched
ahead of the decoding threads (see ``docs/reading.md``).

Memory.  ``max_chunk_bytes`` bounds what reading one chunk may take for the
columns asked for (each column's decompressed block and its decoded values,
JSON text included), checked from what the blocks declare before anything is
allocated: a file that asks for more raises SarnFormatError naming the chunk,
the column and the size.  Every reading method takes its own
``max_chunk_bytes`` too, for that call.

Values come back as Python objects by :meth:`SarnFile.read` and
:meth:`SarnFile.iter_batches`: ``str`` for text, ``int``, ``float`` (the
stored four-decimal value), ``bool``, ``bytes``, ``None`` for null, and
``dict``/``list`` for structured values (a map's keys that are themselves
structured become their JSON text).  Through Arrow, structured values are
strings holding their JSON text (bytes inside them as base64).

Column names may repeat in a file (a CSV header ``a,a,b``).  Arrow keeps
every column under its own name; the ``{name: list}`` forms name a repeated
column as pandas does (``a``, ``a.1``); a selection or filter that names a
repeated name is ambiguous and raises ValueError.

Nulls.  A column block stores a null as 0, false or the empty text and
counts it, without saying which cell it was.  A cell reads as null only where
the file leaves no doubt: every cell of a block whose values are all null,
the empty cells of a text or bytes block when there are exactly as many of
them as nulls, and the null cells of structured columns.  Elsewhere a null
reads as the value stored for it.  Filters see the values as they read.
"""

from __future__ import annotations

from collections import Counter
from datetime import datetime, timezone
from typing import Any, NamedTuple, Optional
from collections.abc import Iterator, Mapping, Sequence

from sarnio import _native
from sarnio._errors import SarnError
from sarnio._filters import ambiguous_name, normalize_filters
from sarnio._paths import fs_path, fs_text
from sarnio._read_errors import SarnFormatError
from sarnio._source import Remote, is_file_object, is_url, open_remote, remote_file_object
from sarnio._threads import thread_count

__all__ = ["ChunkStats", "Fetched", "Field", "SarnFile", "ScanStats", "open"]

# The memory budget of reading one chunk, unless the caller gives one.
DEFAULT_MAX_CHUNK_BYTES = 1 << 30


def _type_name(column_type: _native.ColumnType) -> str:
    """A column type's name as sarnio shows it: "int64", "string", ..."""
    return column_type.name.lower()


class Field(NamedTuple):
    """One column of a container's schema."""

    name: str
    type: str  # "int64", "float64", "bool", "string", "binary", "object", "list" or "map"
    encrypted: bool


class ChunkStats(NamedTuple):
    """A column's statistics in one chunk, as the footer keeps them.

    ``min``/``max`` are ``int`` for integer columns, the values truncated
    toward zero (an ``int``) for float columns, ``bool`` for boolean columns
    and ``str`` for text columns; ``None`` for other columns and when every
    value of the chunk is null.  Nulls are not part of min and max.
    """

    min: Any
    max: Any
    null_count: int


class ScanStats(NamedTuple):
    """What the last read did: chunks read and skipped, rows decoded and,
    for a remote file or a file object, the bytes it fetched and the
    requests it made (None for a local file, which is read in place)."""

    chunks_total: int
    chunks_read: int
    chunks_skipped: int
    rows_read: int  # rows of the chunks read, before the rows were filtered
    bytes_fetched: Optional[int] = None  # coalescing's gaps included
    requests: Optional[int] = None


class Fetched(NamedTuple):
    """What a remote file (or a file object) has fetched since it was
    opened: bytes, and requests (ranges asked for, and the one that learnt
    its size)."""

    bytes: int
    requests: int


def _output_names(names: Sequence[str]) -> list[str]:
    """Names unique as dict keys, as pandas makes them for a CSV header: a
    repeated name gets ".1", ".2", ... after it, skipping names in use."""
    counts: dict[str, int] = {}
    out = []
    for name in names:
        count = counts.get(name, 0)
        while count > 0:
            counts[name] = count + 1
            name = f"{name}.{count}"
            count = counts.get(name, 0)
        counts[name] = count + 1
        out.append(name)
    return out


def _budget(max_chunk_bytes: Any, name: str = "max_chunk_bytes") -> int:
    """A memory budget as given: a positive int (bool refused)."""
    if isinstance(max_chunk_bytes, bool) or not isinstance(max_chunk_bytes, int):
        raise TypeError(f"{name} must be an int, not {type(max_chunk_bytes).__name__}")
    if max_chunk_bytes <= 0 or max_chunk_bytes >= 1 << 64:
        raise ValueError(f"{name} must be a positive number of bytes below 2**64, not {max_chunk_bytes}")
    return max_chunk_bytes


def _threads(threads: Any) -> int:
    count = thread_count(threads)
    return int(_native.usable_cores()) if count is None else count


class _ArrowSource:
    """Exports one planned read through the Arrow PyCapsule stream protocol."""

    def __init__(self, plan: _native._Plan, threads: int) -> None:
        self._plan = plan
        self._threads = threads

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self._plan.arrow_stream(self._threads, requested_schema)


def _read_arrow(plan: _native._Plan, threads: int) -> Any:
    """The pyarrow.Table of a planned read.

    The batches are taken one at a time from Python, so that a signal
    (Ctrl-C) is handled between chunks rather than when the whole file has
    been read.

    pyarrow reports a stream that failed as an exception of its own, built
    from an errno and the text; the error the stream ended with is raised in
    its place (SarnFormatError for a damaged file, OSError with errno and
    file name for a failed read, MemoryError), chained from pyarrow's."""
    import pyarrow as pa  # type: ignore[import-untyped]

    try:
        reader = pa.RecordBatchReader.from_stream(_ArrowSource(plan, threads))
        batches = [batch for batch in reader]
        return pa.Table.from_batches(batches, schema=reader.schema)
    except Exception as arrow_error:
        try:
            plan.raise_stream_failure()
        except Exception as own:
            raise own from arrow_error
        raise


def _arrow_batches(plan: _native._Plan, threads: int) -> Iterator[Any]:
    """The pyarrow.RecordBatch objects of a planned read, one per chunk that
    has rows, with the stream's own error raised as _read_arrow does."""
    import pyarrow as pa  # type: ignore[import-untyped]

    try:
        reader = pa.RecordBatchReader.from_stream(_ArrowSource(plan, threads))
        for batch in reader:
            if batch.num_rows:
                yield batch
    except Exception as arrow_error:
        try:
            plan.raise_stream_failure()
        except Exception as own:
            raise own from arrow_error
        raise


class SarnFile:
    """An open SARN container.  Use :func:`sarnio.open`."""

    def __init__(
        self,
        path: Any,
        keys: Mapping[str, bytes] | None = None,
        max_chunk_bytes: int = DEFAULT_MAX_CHUNK_BYTES,
        storage_options: Mapping[str, Any] | None = None,
    ) -> None:
        self._max_chunk_bytes = _budget(max_chunk_bytes)
        self._identity: Any = None
        remote: Remote | str | None = None
        if is_file_object(path):
            if storage_options is not None:
                raise ValueError("storage_options are for URLs, not for a file object")
            remote = remote_file_object(path)
        elif is_url(path):
            remote = open_remote(path, storage_options)
        elif storage_options is not None:
            raise ValueError(f"storage_options are for URLs (s3://..., memory://...), not for the local path {path!r}")
        table: _native._Table
        self._size: int | None = None
        if isinstance(remote, Remote):
            self._path = remote.name
            self._identity = remote.identity
            self._size = remote.size
            table = _native._Table.remote(remote.name, remote.size, remote.fetcher, remote.requests,
                                          self._max_chunk_bytes)
        else:
            local = path if remote is None else remote
            self._path = fs_text(local, "path")
            # The bytes of the name, so that any name the file system holds opens;
            # a missing or unreadable file raises the OSError subclass of its errno.
            table = _native._Table(fs_path(local, "path"), self._max_chunk_bytes)
        columns = table.columns()
        self._schema = [Field(name, _type_name(code), bool(enc)) for name, code, enc in columns]
        self._names = [f.name for f in self._schema]
        self._types = [f.type for f in self._schema]
        self._repeated = {name for name, n in Counter(self._names).items() if n > 1}
        self._keyed: set[int] = set()
        if keys is not None:
            if not isinstance(keys, Mapping):
                raise TypeError(f"keys must be a mapping of column name to 32-byte key, not {type(keys).__name__}")
            for name, key in keys.items():
                if name not in self._names:
                    raise KeyError(name)
                if not isinstance(key, (bytes, bytearray, memoryview)):
                    raise TypeError(f"the key of column {name!r} must be bytes, not {type(key).__name__}")
                key = bytes(key)
                if len(key) != 32:
                    raise ValueError(f"the key of column {name!r} has {len(key)} bytes; AES-256 keys have 32")
                for i, n in enumerate(self._names):
                    if n == name:
                        if not self._schema[i].encrypted:
                            raise ValueError(f"column {name!r} is not enciphered; it takes no key")
                        table.set_key(i, key)
                        self._keyed.add(i)
        self._table: _native._Table | None = table
        self._chunk_rows = list(table.chunk_rows())
        self._last_scan: ScanStats | None = None

    # ---- description ------------------------------------------------------------

    @property
    def path(self) -> str:
        return self._path

    @property
    def schema(self) -> list[Field]:
        return list(self._schema)

    @property
    def num_rows(self) -> int:
        return int(self._open_table().num_rows)

    @property
    def num_chunks(self) -> int:
        return len(self._chunk_rows)

    @property
    def chunk_rows(self) -> list[int]:
        """Rows of each chunk, in file order."""
        return list(self._chunk_rows)

    @property
    def created_at(self) -> datetime:
        """When the container was written, in UTC (whole seconds)."""
        seconds = self._open_table().created_at
        try:
            return datetime.fromtimestamp(seconds, tz=timezone.utc)
        except (OverflowError, OSError, ValueError):
            raise SarnFormatError(f"{self._path}: creation time {seconds} at offset 24 is out of range") from None

    @property
    def max_chunk_bytes(self) -> int:
        """The memory budget of reading one chunk, unless a call gives its own."""
        return self._max_chunk_bytes

    @property
    def last_scan(self) -> ScanStats | None:
        """What the last read, iteration or export did (None before the first)."""
        return self._last_scan

    @property
    def fetched(self) -> Fetched | None:
        """Bytes and requests a remote file (or a file object) has fetched
        since it was opened, its header and footer included; None for a
        local file."""
        table = self._open_table()
        if not table.remote_source:
            return None
        return Fetched(*table.fetched())

    def statistics(self, column: str) -> list[ChunkStats]:
        """The footer's statistics of `column`, one entry per chunk.

        The footer keeps the statistics of an enciphered column in the clear
        (they are computed before enciphering), so they are given only with
        the column's key: without it this raises SarnError."""
        index = self._column_index(column)
        if self._schema[index].encrypted and index not in self._keyed:
            raise SarnError(
                f"{self._path}: column {column!r} is enciphered; its statistics would show its values: "
                "pass its 32-byte key in keys="
            )
        type_name = self._types[index]
        out = []
        for rows, (nulls, min_int, max_int, min_text, max_text) in zip(
            self._chunk_rows, self._open_table().statistics(index)
        ):
            lo: Any = None
            hi: Any = None
            if nulls < rows:
                if type_name in ("int64", "float64"):
                    lo, hi = min_int, max_int
                elif type_name == "bool":
                    lo, hi = bool(min_int), bool(max_int)
                elif type_name == "string":
                    lo = min_text.decode("utf-8", "surrogateescape")
                    hi = max_text.decode("utf-8", "surrogateescape")
            out.append(ChunkStats(lo, hi, int(nulls)))
        return out

    # ---- reading --------------------------------------------------------------------

    def read(
        self,
        columns: Sequence[str] | None = None,
        filters: Any = None,
        threads: int | None = None,
        max_chunk_bytes: int | None = None,
    ) -> dict[str, list[Any]]:
        """The selected columns of the rows the filters keep, as {name: list}.
        A name that repeats in the selection gets ".1", ".2", ... (as pandas
        names the columns of a CSV header ``a,a``)."""
        indexes = self._columns(columns)
        result: dict[str, list[Any]] = {key: [] for key in _output_names([self._names[i] for i in indexes])}
        for batch in self._batches(indexes, filters, threads, max_chunk_bytes):
            for key, values in zip(result, batch):
                result[key].extend(values)
        return result

    def iter_batches(
        self,
        columns: Sequence[str] | None = None,
        filters: Any = None,
        threads: int | None = None,
        max_chunk_bytes: int | None = None,
    ) -> Iterator[dict[str, list[Any]]]:
        """One {name: list} per chunk that has rows after the filters, in file
        order, named as read() names them; memory holds a few chunks
        whatever the file's size."""
        indexes = self._columns(columns)
        keys = _output_names([self._names[i] for i in indexes])
        return (dict(zip(keys, batch)) for batch in self._batches(indexes, filters, threads, max_chunk_bytes))

    def _batches(
        self, indexes: list[int], filters: Any, threads: Any, max_chunk_bytes: Any
    ) -> Iterator[list[list[Any]]]:
        """The batches of a read as lists of columns, in `indexes` order.  The
        read is planned now, so that a bad argument raises at the call."""
        plan = self._plan_indexes(indexes, filters, as_json=False, max_chunk_bytes=max_chunk_bytes)
        return self._stream_batches(plan.stream(_threads(threads)))

    def _stream_batches(self, stream: _native._Stream) -> Iterator[list[list[Any]]]:
        before = self._fetched_now()
        try:
            while True:
                batch = stream.next()
                self._last_scan = self._with_fetched(ScanStats(*stream.stats()), before)
                if batch is None:
                    return
                yield batch
        finally:
            self._last_scan = self._with_fetched(ScanStats(*stream.stats()), before)

    def _fetched_now(self) -> tuple[int, int] | None:
        table = self._table
        return tuple(table.fetched()) if table is not None and table.remote_source else None  # type: ignore[return-value]

    def _with_fetched(self, stats: ScanStats, before: tuple[int, int] | None) -> ScanStats:
        """`stats` with what the source fetched since `before` (remote files)."""
        table = self._table
        if before is None or table is None:
            return stats
        now = table.fetched()
        return stats._replace(bytes_fetched=now[0] - before[0], requests=now[1] - before[1])

    def to_arrow(
        self,
        columns: Sequence[str] | None = None,
        filters: Any = None,
        threads: int | None = None,
        max_chunk_bytes: int | None = None,
    ) -> Any:
        """A pyarrow.Table of the selection (imports pyarrow).  Every column
        keeps its name, repeated ones too.  Text is ``large_string`` when the
        budget lets a block reach 2 GiB."""
        plan = self._plan(columns, filters, as_json=True, max_chunk_bytes=max_chunk_bytes)
        before = self._fetched_now()
        table = _read_arrow(plan, _threads(threads))
        self._last_scan = self._with_fetched(self._planned_stats(plan), before)
        return table

    def iter_arrow_batches(
        self,
        columns: Sequence[str] | None = None,
        filters: Any = None,
        threads: int | None = None,
        max_chunk_bytes: int | None = None,
    ) -> Iterator[Any]:
        """The selection as pyarrow.RecordBatch objects, one per chunk that has
        rows after the filters, in file order; memory holds a few chunks
        whatever the file's size (imports pyarrow)."""
        plan = self._plan(columns, filters, as_json=True, max_chunk_bytes=max_chunk_bytes)
        self._last_scan = self._planned_stats(plan)
        return self._counted(_arrow_batches(plan, _threads(threads)))

    def _counted(self, batches: Iterator[Any]) -> Iterator[Any]:
        """`batches`, with last_scan given what they fetched as they go."""
        before = self._fetched_now()
        planned = self._last_scan
        try:
            yield from batches
        finally:
            if planned is not None:
                self._last_scan = self._with_fetched(planned, before)

    def to_pandas(
        self,
        columns: Sequence[str] | None = None,
        filters: Any = None,
        threads: int | None = None,
        max_chunk_bytes: int | None = None,
    ) -> Any:
        """A pandas.DataFrame of the selection, through Arrow."""
        return self.to_arrow(columns, filters, threads, max_chunk_bytes).to_pandas()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """Every column of every row as an Arrow C stream (PyCapsule)."""
        plan = self._plan(None, None, as_json=True)
        self._last_scan = self._planned_stats(plan)
        return plan.arrow_stream(_threads(None), requested_schema)

    def verify(self, max_chunk_bytes: int | None = None) -> None:
        """Reads and checks every block and its statistics, one block held
        at a time; raises SarnFormatError on the first fault.  Enciphered
        columns without a key are checked up to their decompression; their
        values and statistics are not checked."""
        budget = 0 if max_chunk_bytes is None else _budget(max_chunk_bytes)
        self._open_table().verify(budget)

    # ---- life ---------------------------------------------------------------------------

    def close(self) -> None:
        """Drops this object's hold on the file; streams already made keep theirs."""
        self._table = None

    @property
    def closed(self) -> bool:
        return self._table is None

    def __enter__(self) -> SarnFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self._schema)} columns, {len(self._chunk_rows)} chunks"
        return f"<sarnio.SarnFile {self._path!r}: {state}>"

    @property
    def identity(self) -> Any:
        """What tells this version of a remote file from another (its ETag or
        modification time, as the file system gives it); None for a local
        file or a file object."""
        return self._identity

    # ---- helpers ------------------------------------------------------------------------------

    def _open_table(self) -> _native._Table:
        if self._table is None:
            raise ValueError(f"{self._path}: the file is closed")
        return self._table

    def _column_index(self, name: str) -> int:
        if not isinstance(name, str):
            raise TypeError(f"column names are str, not {type(name).__name__}")
        if name in self._repeated:
            raise ValueError(ambiguous_name(name, self._names) + "; read every column (read() names them "
                             f"{name!r}, '{name}.1', ...; to_arrow() keeps the names as they are)")
        try:
            return self._names.index(name)
        except ValueError:
            raise KeyError(name) from None

    def _columns(self, columns: Sequence[str] | None) -> list[int]:
        if columns is None:
            return list(range(len(self._schema)))
        if isinstance(columns, (str, bytes)) or not isinstance(columns, (list, tuple)):
            raise TypeError(f"columns must be a list of column names, not {type(columns).__name__}")
        return [self._column_index(c) for c in columns]

    def _plan(
        self, columns: Sequence[str] | None, filters: Any, as_json: bool, max_chunk_bytes: Any = None
    ) -> _native._Plan:
        return self._plan_indexes(self._columns(columns), filters, as_json, max_chunk_bytes)

    def _plan_indexes(
        self, indexes: list[int], filters: Any, as_json: bool, max_chunk_bytes: Any = None
    ) -> _native._Plan:
        table = self._open_table()
        budget = 0 if max_chunk_bytes is None else _budget(max_chunk_bytes)
        normalized = normalize_filters(filters, self._names, self._types)
        needed = set(indexes) | {p[0] for conj in normalized for p in conj}
        for i in sorted(needed):
            if self._schema[i].encrypted and i not in self._keyed:
                raise SarnError(
                    f"{self._path}: column {self._names[i]!r} is enciphered; pass its 32-byte key in keys="
                )
        return _native._Plan(table, indexes, normalized, as_json, budget)

    def _planned_stats(self, plan: _native._Plan) -> ScanStats:
        chunks = plan.chunks()
        rows = sum(self._chunk_rows[c] for c in chunks)
        return ScanStats(len(self._chunk_rows), len(chunks), plan.chunks_skipped, rows)


def open(
    source: Any,
    keys: Mapping[str, bytes] | None = None,
    max_chunk_bytes: int = DEFAULT_MAX_CHUNK_BYTES,
    *,
    storage_options: Mapping[str, Any] | None = None,
) -> SarnFile:
    """Opens a container for reading.

    `source` is a local path (str, bytes or os.PathLike), an fsspec URL
    (``s3://bucket/key.sarn``, ``gs://...``, ``memory://...``,
    ``file://...``; fsspec and the file system's package are needed, and
    imported only then) with ``storage_options`` for its file system
    (credentials, ``client_kwargs={"endpoint_url": ...}``), or an open
    binary file object with ``seek`` and ``read``.  A remote file is read a
    range at a time: its head and tail at open, then only the blocks each
    read needs.

    `keys` maps the names of enciphered columns to their 32-byte AES-256
    keys.  `max_chunk_bytes` bounds the memory that reading one chunk may
    take for the columns asked for (default 1 GiB); the min/max texts of the
    footer and the column names are each held to it as well.  A file that
    is not a sound container (a truncated object too), or asks for more than
    the budget, raises SarnFormatError; a missing one FileNotFoundError, a
    denied one PermissionError; a URL without fsspec ImportError.
    """
    return SarnFile(source, keys, max_chunk_bytes, storage_options)
