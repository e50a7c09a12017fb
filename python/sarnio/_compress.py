"""CSV to SARN on every core."""

from __future__ import annotations

from typing import Any, Optional, Union
from collections.abc import Callable, Mapping

from sarnio import _native
from sarnio._paths import PathArg, fs_path
from sarnio._result import CompressResult
from sarnio._threads import thread_count
from sarnio._transfer import Feed, with_remote

__all__ = ["compress_csv", "PathArg", "ProgressCallback", "TypesArg", "MIN_LEVEL", "MAX_LEVEL"]

# The native helpers that only this package calls have no stub.
_private: Any = _native

MIN_LEVEL: int = _native.MIN_LEVEL
MAX_LEVEL: int = _native.MAX_LEVEL

ProgressCallback = Callable[[int, int], object]


def _thread_count(threads: Optional[int]) -> Optional[int]:
    count = thread_count(threads)
    if count is not None and count > _native.MAX_THREADS:
        raise ValueError(f"threads must be at most {_native.MAX_THREADS}; got {threads}")
    return count


TypesArg = Union[None, str, Mapping[str, str]]


def write_choices(
    level: Any = 1,
    quote: Any = '"',
    delimiter: Any = ",",
    extra_fields: Any = "error",
    types: Any = None,
) -> dict[str, Any]:
    """The choices of a job beyond its paths, checked, as the native steps take
    them (a plain dict, so that it travels to Dask workers as it is)."""
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be an int, not {type(level).__name__}")
    if not MIN_LEVEL <= level <= MAX_LEVEL:
        raise ValueError(f"level must be from {MIN_LEVEL} to {MAX_LEVEL}, not {level}")
    if quote is not None and not isinstance(quote, str):
        raise TypeError(f"quote must be a str of one character or None, not {type(quote).__name__}")
    if not isinstance(delimiter, str):
        raise TypeError(f"delimiter must be a str of one character, not {type(delimiter).__name__}")
    if not isinstance(extra_fields, str):
        raise TypeError(f"extra_fields must be \"error\" or \"drop\", not {type(extra_fields).__name__}")
    named: Any
    if types is None or isinstance(types, str):
        if isinstance(types, str) and types != "infer":
            raise ValueError(f"types must be None, \"infer\" or a mapping of column name to type, not {types!r}")
        named = types
    elif isinstance(types, Mapping):
        named = []
        for name, kind in types.items():
            if not isinstance(name, str):
                raise TypeError(f"types: column names are str, not {type(name).__name__}")
            if not isinstance(kind, str):
                raise TypeError(f"types: the type of column {name!r} must be \"int64\" or \"string\", "
                                f"not {type(kind).__name__}")
            named.append((name, kind))
    else:
        raise TypeError(f"types must be None, \"infer\" or a mapping of column name to type, "
                        f"not {type(types).__name__}")
    choices = {"level": level, "quote": quote, "delimiter": delimiter, "extra_fields": extra_fields,
               "types": named}
    _private._check_choices(choices)  # the dialect's own rules, defined once in the core
    return choices


def compress_csv(
    csv_path: PathArg,
    sarn_path: PathArg,
    threads: Optional[int] = None,
    progress: Optional[ProgressCallback] = None,
    *,
    level: int = 1,
    quote: Optional[str] = '"',
    delimiter: str = ",",
    extra_fields: str = "error",
    types: TypesArg = None,
    storage_options: Optional[Mapping[str, Any]] = None,
) -> CompressResult:
    """Compress the CSV file at ``csv_path`` into a SARN container at ``sarn_path``.

    The container's bytes are fixed by the input and the options (its
    creation time aside), whatever ``threads``.  For an input without a
    quote character, a byte order mark or rows wider than the header, the
    defaults write byte for byte the container of
    ``sarn_fileformat.compress_csv``; so does ``quote=None,
    extra_fields="drop"`` for every input without a byte order mark.

    Reading (see ``docs/reading.md``): records end at LF or CR LF outside a
    quoted field; blank records are skipped; the first record is the header.
    Fields are cut at ``delimiter``; a field whose first character after
    white space is ``quote`` runs to the next quote that is not doubled
    (``""`` is one quote), delimiters and line breaks inside kept as they
    are; unquoted fields are trimmed of white space.  A UTF-8 byte order mark
    at the start is not part of the first name.

    Args:
        csv_path: the input; a regular file, a pipe or a FIFO, or an fsspec
            URL (``s3://bucket/flights.csv``), read once from start to end as
            a pipe is (``types="infer"`` downloads it to a local temporary
            file first, since it reads its input twice).
        sarn_path: the output.  It is replaced only when the container is
            complete: the job writes a temporary file beside it and renames it
            over the output at the end.  It may not name the input.  An fsspec
            URL is written to a local temporary file and uploaded when
            complete: the object appears only then, and a failed job or upload
            leaves none (and no part of a multipart upload).
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
        quote: the quote character (one ASCII character other than the
            delimiter, CR, LF and white space), or ``None``: no quoting, a
            quote is text like any other character.
        delimiter: the field delimiter, one ASCII character other than the
            quote, CR and LF; ``"\\t"`` for tab-separated files.
        extra_fields: ``"error"``: a row with more fields than the header
            fails the job; ``"drop"``: the fields past the header's width are
            dropped.  A row with fewer fields gets empty cells either way.
        types: ``None``: every column is text.  ``"infer"``: a column is
            ``int64`` when every one of its cells in the whole file is a
            canonical decimal integer (``0``, or an optional ``-`` and digits
            not starting with ``0``, within the signed 64-bit range); any other
            column stays text, so that every cell reads back exactly as it
            was.  Inferring reads the file twice (the first pass runs on
            ``threads`` threads) and refuses a pipe.  Or a mapping of column
            name to ``"int64"`` or ``"string"``; unnamed columns are text.
        storage_options: options of the URLs' file system (credentials,
            ``client_kwargs={"endpoint_url": ...}``); only with a URL.

    Returns:
        A :class:`CompressResult`.

    Raises:
        FileNotFoundError, IsADirectoryError, PermissionError, OSError: the
            input cannot be read or the output cannot be written; ``errno``
            and ``filename`` are set.  ``OSError`` (without ``errno``) when
            the input file ends before the length it had when it was opened,
            or grows past it, while the job reads it.
        SarnError: the input is not valid UTF-8, has a quoted field that is
            never closed, text after a closing quote, a row wider than the
            header (with ``extra_fields="error"``), a cell of an ``int64``
            column that is not a canonical integer, or a line longer than
            4 GiB; the message names the file, the line the record starts on
            and the byte offset (for a cell, the column and the cell).
        ValueError: the input is empty, its header has more than 65,535
            columns, the output path names the input or an existing file
            that is not a regular file (a device, a FIFO), ``threads`` is 0,
            below -1 or above 4096, ``level`` is outside 1 to 9, the dialect's
            characters cannot work together, ``types`` names a column the
            header lacks or repeats, or ``types="infer"`` is asked of a pipe.
        TypeError: an option of the wrong type.
        KeyboardInterrupt: Ctrl-C (or any signal whose handler raises) stops
            the job within about a tenth of a second; the output is left as
            it was.

    The interpreter lock is released while the job runs: other Python
    threads keep running.
    """
    count = _thread_count(threads)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    choices = write_choices(level, quote, delimiter, extra_fields, types)

    def run(csv_local: Any, sarn_local: Any, feed: Optional[Feed]) -> CompressResult:
        csv = fs_path(csv_local, "csv_path")
        sarn = fs_path(sarn_local, "sarn_path")
        report = progress
        if feed is not None:
            # A failed copy into the pipe stops the job from here, and the
            # object's length stands for the pipe's unknown one.
            def report(done: int, total: int, user: Optional[ProgressCallback] = progress,
                       copy: Feed = feed) -> None:
                copy.check()
                if user is not None:
                    user(done, total or copy.size)

        input_bytes, output_bytes, rows, columns, chunks, seconds = _native.compress_csv(
            csv, sarn, count, report, choices)
        return CompressResult(input_bytes, output_bytes, rows, columns, chunks, seconds)

    return with_remote(csv_path, sarn_path, storage_options, types == "infer", run)
