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
from sarnio._reader import ChunkStats, Field, SarnFile, ScanStats, dataset, open
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
