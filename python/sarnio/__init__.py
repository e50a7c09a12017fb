"""sarnio: compress CSV files into SARN containers on every core.

The container is byte for byte the one ``sarn_fileformat.compress_csv``
writes for the same input (its creation time aside), whatever the number of
threads.  The interpreter stays free while a job runs, Ctrl-C stops it, and
a failed or interrupted job leaves the output path as it was.
"""

from __future__ import annotations

from sarnio._compress import MAX_LEVEL, MIN_LEVEL, compress_csv
from sarnio._errors import SarnError
from sarnio._read_errors import SarnFormatError
from collections.abc import Mapping
from typing import Any

from sarnio._paths import PathArg
from sarnio._reader import DEFAULT_MAX_CHUNK_BYTES, ChunkStats, Field, SarnFile, ScanStats, open
from sarnio._result import CompressResult

__all__ = [
    "ChunkStats",
    "CompressResult",
    "Field",
    "MAX_LEVEL",
    "MIN_LEVEL",
    "SarnError",
    "SarnFile",
    "SarnFormatError",
    "ScanStats",
    "compress_csv",
    "dataset",
    "open",
]


def dataset(
    path: PathArg | SarnFile,
    keys: Mapping[str, bytes] | None = None,
    threads: int | None = None,
    max_chunk_bytes: int = DEFAULT_MAX_CHUNK_BYTES,
    *,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """The container at `path` (or an open SarnFile) as a pyarrow Dataset that
    engines scan with projection and filter pushdown, DuckDB among them::

        trips = sarnio.dataset("trips.sarn")
        duckdb.sql("SELECT count(*) FROM trips WHERE origin = 'SFO'")

    Only the columns the query needs are decoded; comparisons and IN lists
    of its filter skip chunks by the footer's statistics and membership
    filters, and the rows are filtered exactly (imports pyarrow).
    """
    from sarnio._dataset import SarnDataset

    f = path if isinstance(path, SarnFile) else SarnFile(path, keys, max_chunk_bytes, storage_options)
    return SarnDataset(f, threads)
