"""CSV to SARN on every core."""

from __future__ import annotations

import os
from typing import Any, Callable, Optional, Union

from sarnio import _native
from sarnio._paths import PathArg, fs_path
from sarnio._result import CompressResult
from sarnio._threads import thread_count

__all__ = ["compress_csv", "PathArg", "ProgressCallback", "MIN_LEVEL", "MAX_LEVEL"]

MIN_LEVEL: int = _native.MIN_LEVEL
MAX_LEVEL: int = _native.MAX_LEVEL

ProgressCallback = Callable[[int, int], object]


def _thread_count(threads: Optional[int]) -> Optional[int]:
    count = thread_count(threads)
    if count is not None and count > _native.MAX_THREADS:
        raise ValueError(f"threads must be at most {_native.MAX_THREADS}; got {threads}")
    return count


def write_choices(level: Any) -> dict[str, Any]:
    """The choices of a job beyond its rows, checked, as the native steps take
    them (a plain dict, so that it travels to Dask workers as it is)."""
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be an int, not {type(level).__name__}")
    if not MIN_LEVEL <= level <= MAX_LEVEL:
        raise ValueError(f"level must be from {MIN_LEVEL} to {MAX_LEVEL}, not {level}")
    return {"level": level}


def compress_csv(
    csv_path: PathArg,
    sarn_path: PathArg,
    threads: Optional[int] = None,
    progress: Optional[ProgressCallback] = None,
    *,
    level: int = 1,
) -> CompressResult:
    """Compress the CSV file at ``csv_path`` into a SARN container at ``sarn_path``.

    The container is byte for byte the one ``sarn_fileformat.compress_csv``
    writes for the same input, its creation time aside, whatever ``threads``.

    Args:
        csv_path: the input; a regular file, a pipe or a FIFO.
        sarn_path: the output.  It is replaced only when the container is
            complete: the job writes a temporary file beside it and renames it
            over the output at the end.  It may not name the input.
        threads: encoder threads.  ``None`` (or ``-1``) uses every core the
            process may run on; ``1`` runs the whole job on one thread.
        progress: ``None``, or a callable ``progress(bytes_done, bytes_total)``
            called on the calling thread a few times a second, and exactly once
            with the final figures.  ``bytes_total`` is 0 while the input's
            length is unknown (a pipe).  An exception it raises stops the job
            and propagates; the final call comes before the output is
            replaced, so the output is then left as it was.
        level: how hard the block codec works, from 1 (the default: the
            module's own bytes, fastest) to 9 (smallest, slowest).  A
            container of any level is an ordinary SARN container that every
            reader decodes, and as fast; a level fixes the bytes whatever
            ``threads``.

    Returns:
        A :class:`CompressResult`.

    Raises:
        FileNotFoundError, IsADirectoryError, PermissionError, OSError: the
            input cannot be read or the output cannot be written; ``errno``
            and ``filename`` are set.
        SarnError: the input is not valid UTF-8 (the message names the line
            number and the byte offset) or has a line longer than 4 GiB.
        ValueError: the input is empty, its header has more than 65,535
            columns, the output path names the input or an existing file
            that is not a regular file (a device, a FIFO), ``threads`` is 0,
            below -1 or above 4096, or ``level`` is outside 1 to 9.
        KeyboardInterrupt: Ctrl-C (or any signal whose handler raises) stops
            the job within about a tenth of a second; the output is left as
            it was.

    The interpreter lock is released while the job runs: other Python
    threads keep running.
    """
    csv = fs_path(csv_path, "csv_path")
    sarn = fs_path(sarn_path, "sarn_path")
    count = _thread_count(threads)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    choices = write_choices(level)
    input_bytes, output_bytes, rows, columns, chunks, seconds = _native.compress_csv(
        csv, sarn, count, progress, choices)
    return CompressResult(input_bytes, output_bytes, rows, columns, chunks, seconds)
