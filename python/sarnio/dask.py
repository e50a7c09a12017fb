"""sarnio on a Dask cluster: many containers as one Dask DataFrame, and CSV
files compressed by many workers.

Install with ``pip install sarnio[dask]`` (the extra brings ``dask[dataframe]``
and ``distributed``).  Dask is imported only by this module.

Files and workers.  Every path given to these functions must name the same
file on every machine that runs a task: the client's, the scheduler's
workers', all of them.  On one machine that is any local path; on a cluster it
means a shared file system (NFS, Lustre, a mounted bucket with POSIX
semantics), or an fsspec URL (``s3://bucket/...``) with ``storage_options``
that every worker can use: each task then opens its own connection.  A
relative path is made absolute against the calling process's working folder
before any task sees it.  Compressed chunks travel between
tasks as temporary files beside the output, never through the scheduler, so
the scheduler's memory stays small whatever the input's size.

Scheduler.  ``client=None`` uses the current ``distributed`` client when
there is one (``distributed.get_client()``), else Dask's local default
scheduler (threads; the native steps release the interpreter lock).
"""

from __future__ import annotations

import errno
import glob as _glob
import os
import stat as _stat
import time
from typing import Any, NamedTuple, Optional, Union
from collections.abc import Callable, Iterable, Mapping, Sequence

import dask
import dask.dataframe as dd
import pandas as pd  # type: ignore[import-untyped]

from sarnio import _native
from sarnio._compress import compress_csv as _compress_one
from sarnio._compress import TypesArg
from sarnio._compress import write_choices as _write_choices
from sarnio._paths import PathArg, fs_text
from sarnio._result import CompressResult
from sarnio._source import filesystem, is_url
from sarnio._transfer import with_remote

__all__ = ["compress_csv", "compress_many", "read_sarn"]


# The native steps of compress_csv are private to this module and have no stub.
_steps: Any = _native
_CHUNK_ROWS: int = _steps._CHUNK_ROWS


# ---- scheduling ----------------------------------------------------------------


def _current_client(client: Any) -> Any:
    """`client`, else the current distributed client, else None (Dask's
    local default scheduler)."""
    if client is not None:
        return client
    try:
        from distributed import get_client

        return get_client()
    except (ImportError, ValueError):
        return None


def _guarded(fn: Callable[..., Any], *args: Any) -> tuple[bool, Any]:
    """Runs `fn` and hands back its result or the exception it raised, so
    that the caller sees every task end before it cleans up, and can pick the
    failure that comes first in file order rather than the first to finish."""
    try:
        return True, fn(*args)
    except Exception as e:  # noqa: BLE001 - handed back and re-raised by the caller
        return False, e


def _run_all(client: Any, fn: Callable[..., Any], calls: Sequence[tuple[Any, ...]]) -> list[tuple[bool, Any]]:
    """Runs fn(*call) for every call as one task each and waits for all."""
    if not calls:
        return []
    if client is not None:
        futures = [client.submit(_guarded, fn, *call, pure=False) for call in calls]
        try:
            return list(client.gather(futures))
        except BaseException:
            client.cancel(futures)
            raise
    tasks = [dask.delayed(_guarded, pure=False)(fn, *call) for call in calls]
    return list(dask.compute(*tasks))


def _raise_first(outcomes: Iterable[tuple[bool, Any]]) -> list[Any]:
    values = []
    for ok, value in outcomes:
        if not ok:
            raise value
        values.append(value)
    return values


def _path_str(path: PathArg, name: str) -> str:
    return fs_text(path, name)


# ---- compress_csv: steps that run as tasks ---------------------------------------------


def _prepare(csv: str, given_csv: str,
             choices: dict[str, Any]) -> tuple[int, list[str], int, int, Optional[list[int]]]:
    """Checks the input as sarnio.compress_csv does, reads its header and the
    types it implies.  Returns (input length, names, offset of the data, lines
    of the header, type codes or None when the scans infer them).  Messages
    name the input as the caller spelled it."""
    fd = os.open(csv, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
    finally:
        os.close(fd)
    if _stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(21, os.strerror(21), csv)
    if not _stat.S_ISREG(st.st_mode):
        raise ValueError(f"{given_csv}: sarnio.dask.compress_csv reads byte ranges and needs a regular file; "
                         "use sarnio.compress_csv for pipes")
    names, data_start, header_lines = _steps._read_csv_header(csv, given_csv, choices)
    types = _steps._column_types(choices, names)
    return st.st_size, names, data_start, header_lines, types


def _scan(csv: str, begin: int, end: int, choices: dict[str, Any], columns: int, types: Optional[list[int]],
          first: bool) -> bytes:
    return _steps._scan_csv_range(csv, begin, end, choices, columns, types, first)


def _encode(csv: str, names: list[str], types: list[int], choices: dict[str, Any],
            run: tuple[int, int, int, int, int], size: int, spill: str, sarn: str) -> tuple[int, int]:
    try:
        return _steps._encode_csv_chunks(csv, names, types, run, size, spill, sarn, choices)
    except BaseException:
        _remove([spill])
        raise


def _assemble(target: str, marker: str, sarn: str, names: list[str], types: list[int], choices: dict[str, Any],
              spills: list[str]) -> tuple[int, int, int, float]:
    """Writes the container from the spill files into a temporary file beside
    `target` (flushed to storage) and renames it over `target`, the job's last
    step; removes the spill files whatever happens.  Returns (rows, chunks,
    bytes, seconds spent)."""
    started = time.perf_counter()
    try:
        rows, chunks, size, _summary = _steps._assemble_container(target, marker, names, types, spills, sarn,
                                                                 choices)
        return rows, chunks, size, time.perf_counter() - started
    finally:
        _remove(spills)


def _remove(paths: Sequence[str]) -> None:
    for p in paths:
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass


# ---- compress_csv: the plan --------------------------------------------------------------


def _spelled_as_given(error: BaseException, spellings: Mapping[str, str]) -> BaseException:
    """`error` with the file name a task saw (absolute) put back as the
    caller wrote it, as sarnio.compress_csv would name it."""
    if isinstance(error, OSError) and error.filename in spellings:
        return OSError(error.errno, error.strerror, spellings[error.filename])
    return error


def _worker_threads(client: Any) -> int:
    if client is not None:
        try:
            return max(1, sum(client.nthreads().values()))
        except Exception:  # noqa: BLE001 - a guess is enough here
            return 1
    return os.cpu_count() or 1


# Wall-clock seconds of the steps of the last compress_csv in this process,
# for benchmarks: prepare, scan, encode, assemble (the assembling task's own
# time, measured where it ran) and total.
_last_steps: dict[str, float] = {}


def compress_csv(
    csv_path: PathArg,
    sarn_path: PathArg,
    client: Any = None,
    blocksize: Union[int, str] = "64 MiB",
    *,
    level: int = 1,
    quote: Optional[str] = '"',
    delimiter: str = ",",
    extra_fields: str = "error",
    types: TypesArg = None,
    storage_options: Optional[Mapping[str, Any]] = None,
) -> CompressResult:
    """Compress one (large) CSV file into a SARN container on a Dask cluster.

    The container is byte for byte the one ``sarnio.compress_csv`` writes for
    the same input and options (its creation time aside), and the input's
    dialect behaves exactly as there, errors included: the same exception
    type and message, for the fault that comes first in the file.

    How it works: a task reads the header; tasks scan byte ranges of
    ``blocksize`` bytes for records.  A range may start inside a quoted field
    that holds line breaks, so each scan follows both possible start states,
    and the client picks each range's real one from the range before (the
    first range starts at a record).  The scans count the data records of
    each range, find the first fault and, for ``types="infer"``, which
    columns hold only integers; the counts fix where every chunk of 65,536
    records starts.  Tasks then encode runs of chunks into temporary files
    beside the output; a final task writes the container from those files
    in order, flushes it to stable storage and renames it over
    ``sarn_path``.  A failed job leaves ``sarn_path`` as it was and removes
    its temporary files; those of a job whose process was killed outright
    are removed by the next job on the same output.

    Both paths must name the same files on every worker (a shared file
    system); the input must be a regular file.  Either may be an fsspec URL
    (with ``storage_options``): a remote input is downloaded once to a local
    temporary folder, whose byte ranges the tasks read; a remote output is
    assembled there and uploaded when complete (it appears only then; a
    failed job leaves no object and no part).  The spill files go to that
    folder too, so the workers must share this machine's file system.

    Args:
        csv_path: the CSV input.
        sarn_path: the output; replaced only when the container is complete.
        client: a ``distributed.Client``; ``None`` uses the current client if
            there is one, else Dask's local default scheduler.
        blocksize: bytes of input per scanning task (an int, or text such as
            ``"64 MiB"``).
        level, quote, delimiter, extra_fields, types: as for
            :func:`sarnio.compress_csv`; the container is the same whatever
            ``blocksize`` and the number of workers.

    Returns:
        A :class:`sarnio.CompressResult`.

    Raises:
        The exceptions of :func:`sarnio.compress_csv`: ``OSError`` subclasses
        with ``errno`` and ``filename``, ``sarnio.SarnError`` for input the
        dialect refuses (naming the line number and byte offset),
        ``ValueError`` for an empty input, too many columns, an output naming
        the input or options that cannot work.
    """
    if is_url(csv_path) or is_url(sarn_path) or storage_options is not None:
        def run(local_csv: Any, local_sarn: Any, _feed: Any) -> CompressResult:
            return compress_csv(local_csv, local_sarn, client, blocksize, level=level, quote=quote,
                                delimiter=delimiter, extra_fields=extra_fields, types=types)

        return with_remote(csv_path, sarn_path, storage_options, True, run)
    started = time.perf_counter()
    given_csv = _path_str(csv_path, "csv_path")
    given_sarn = _path_str(sarn_path, "sarn_path")
    # Tasks may run in other working folders: they get absolute paths, and
    # messages name the paths as given.
    csv, sarn = os.path.abspath(given_csv), os.path.abspath(given_sarn)
    spellings = {csv: given_csv, sarn: given_sarn}
    size_per_task = dask.utils.parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if isinstance(size_per_task, bool) or not isinstance(size_per_task, int) or size_per_task < 1:
        raise ValueError(f"blocksize must be a positive number of bytes, not {blocksize!r}")
    choices = _write_choices(level, quote, delimiter, extra_fields, types)
    client = _current_client(client)

    steps: dict[str, float] = {}
    _last_steps.clear()
    try:
        (size, names, data_start, header_lines, column_types), = _raise_first(
            _run_all(client, _prepare, [(csv, given_csv, choices)]))
        # The output is checked and its marker made here, in the process that
        # sees the job through: the marker stays locked while the job runs, so
        # that its files beside the output (named after the marker) are never
        # taken for what a killed run left, which every run removes first.
        job = _steps._prepare_output(csv, sarn, given_sarn)
    except OSError as e:
        raise _spelled_as_given(e, spellings) from None
    steps["prepare"] = time.perf_counter() - started
    mark = time.perf_counter()
    spills: list[str] = []
    try:
        ranges = [(b, min(b + size_per_task, size)) for b in range(data_start, size, size_per_task)]
        ranges = ranges or [(data_start, size)]
        try:
            scans = _raise_first(_run_all(client, _scan, [
                (csv, b, e, choices, len(names), column_types, i == 0) for i, (b, e) in enumerate(ranges)]))
        except OSError as e:
            raise _spelled_as_given(e, spellings) from None
        # The first fault in the file, as one pass over it meets it; the
        # header's were raised by _prepare.  A few runs per worker thread,
        # so that a slow run does not hold up the end of the step.
        plan = _steps._plan_csv_job(given_csv, scans, names, header_lines, column_types,
                                    4 * _worker_threads(client))
        del scans
        column_types = plan["types"]
        runs = plan["runs"]

        steps["scan"] = time.perf_counter() - mark
        mark = time.perf_counter()
        spills = [f"{job.marker}.{i}.chunks" for i in range(len(runs))]
        # A chunk the container cannot hold ends its run; the runs are in
        # file order, so the first failure raised is the first in the file.
        try:
            _raise_first(_run_all(
                client, _encode,
                [(csv, names, column_types, choices, run, size, spill, sarn) for run, spill in zip(runs, spills)]))
        except OSError as e:
            raise _spelled_as_given(e, spellings) from None

        steps["encode"] = time.perf_counter() - mark
        try:
            (rows, chunks, output_bytes, steps["assemble"]), = _raise_first(
                _run_all(client, _assemble, [(job.target, job.marker, sarn, names, column_types, choices, spills)]))
        except OSError as e:
            raise _spelled_as_given(e, spellings) from None
    except BaseException:
        try:
            _run_all(client, _remove, [(spills,)])
        except Exception:  # noqa: BLE001 - the job's own failure matters more
            pass
        raise
    finally:
        job.close()
    seconds = time.perf_counter() - started
    steps["total"] = seconds
    _last_steps.update(steps)
    return CompressResult(size, output_bytes, rows, len(names), chunks, seconds)


# ---- compress_many ---------------------------------------------------------------


def _compress_to(csv: str, sarn: str, options: dict[str, Any]) -> CompressResult:
    return _compress_one(csv, sarn, **options)


def _output_name(csv: str) -> str:
    """`<the input's name without its extension>.sarn`, for a path or a URL."""
    return os.path.splitext(csv.rstrip("/").rsplit("/", 1)[-1])[0] + ".sarn"


def compress_many(
    csv_paths: Iterable[PathArg],
    out_dir: PathArg,
    client: Any = None,
    *,
    level: int = 1,
    quote: Optional[str] = '"',
    delimiter: str = ",",
    extra_fields: str = "error",
    types: TypesArg = None,
    storage_options: Optional[Mapping[str, Any]] = None,
) -> list[CompressResult]:
    """Compress each CSV file into ``out_dir/<its name without extension>.sarn``,
    one task per file, each running :func:`sarnio.compress_csv`.

    Returns the results in the order of ``csv_paths``.  Two inputs that would
    share an output name are refused before any task runs.  Every file must
    be reachable under its path on every worker.  A failing file does not stop
    the others; once all have ended, the first failure in input order is
    raised (the outputs of the files that succeeded stay).

    ``csv_paths`` must be a list (or another iterable) of paths: a lone path
    is refused with ``TypeError`` (use :func:`sarnio.compress_csv`, or a list
    of one).  ``out_dir`` must be an existing folder; that is checked before
    any task runs.  ``level``, ``quote``, ``delimiter``, ``extra_fields`` and
    ``types`` apply to every file, as for :func:`sarnio.compress_csv`
    (``types`` as a mapping names columns each file must have).

    Inputs and ``out_dir`` may be fsspec URLs (``s3://bucket/csv/``), with
    ``storage_options`` for their file system: each task streams its input
    and uploads its container as :func:`sarnio.compress_csv` does.  A remote
    ``out_dir`` is a prefix: it is not checked for being a folder.
    """
    # Bad options fail here, not in every task.
    _write_choices(level, quote, delimiter, extra_fields, types)
    options: dict[str, Any] = {"level": level, "quote": quote, "delimiter": delimiter, "extra_fields": extra_fields,
                               "types": dict(types) if isinstance(types, Mapping) else types}
    if storage_options is not None:
        options["storage_options"] = dict(storage_options)
    if isinstance(csv_paths, (str, bytes, os.PathLike)):
        raise TypeError("csv_paths must be an iterable of paths, not a single "
                        f"{type(csv_paths).__name__}; pass [path] for one file")
    csvs = [p if is_url(p) else os.path.abspath(_path_str(p, "csv_paths item")) for p in csv_paths]
    if is_url(out_dir):
        outputs = [out_dir.rstrip("/") + "/" + _output_name(c) for c in csvs]
    else:
        given_folder = _path_str(out_dir, "out_dir")
        folder = os.path.abspath(given_folder)
        try:
            st = os.stat(folder)
        except OSError as e:
            raise OSError(e.errno, e.strerror, given_folder) from None
        if not _stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), given_folder)
        outputs = [os.path.join(folder, _output_name(c)) for c in csvs]
    seen: dict[str, str] = {}
    for c, o in zip(csvs, outputs):
        if o in seen:
            raise ValueError(f"{seen[o]} and {c} would both be compressed into {o}")
        seen[o] = c
    client = _current_client(client)
    return _raise_first(_run_all(client, _compress_to, [(c, o, options) for c, o in zip(csvs, outputs)]))


# ---- read_sarn ----------------------------------------------------------------------------


def _expand_url(url: str, storage_options: Optional[Mapping[str, Any]]) -> list[str]:
    """A URL, or a glob pattern of URLs, as a sorted list of URLs."""
    fs, path = filesystem(url, storage_options)
    if not _glob.has_magic(path):
        return [url]
    matched = sorted(fs.glob(path))
    if not matched:
        raise FileNotFoundError(2, f"no file matches {url!r}", url)
    return [fs.unstrip_protocol(m) for m in matched]


def _expand_paths(paths: Union[PathArg, Sequence[PathArg]],
                  storage_options: Optional[Mapping[str, Any]] = None) -> list[str]:
    """A path or URL, a glob pattern, or a list of either, as a list of files."""
    items = [paths] if isinstance(paths, (str, bytes, os.PathLike)) else list(paths)
    out: list[str] = []
    for item in items:
        if is_url(item):
            out.extend(_expand_url(item, storage_options))
            continue
        if storage_options is not None:
            raise ValueError(f"storage_options are for URLs (s3://..., memory://...), not for the local path {item!r}")
        p = os.path.abspath(_path_str(item, "paths item"))
        if _glob.has_magic(p):
            matched = sorted(_glob.glob(p))
            if not matched:
                raise FileNotFoundError(2, f"no file matches {p!r}", p)
            out.extend(matched)
        else:
            out.append(p)
    if not out:
        raise ValueError("read_sarn needs at least one path")
    return out


def _text_dtype(pyarrow_strings: bool) -> Any:
    """The dtype of text columns: Dask's string dtype (Arrow-backed) when its
    ``dataframe.convert-string`` is on, as the caller read it when planning,
    else object."""
    return pd.StringDtype("pyarrow") if pyarrow_strings else "object"


def _pandas_dtype(type_name: str, pyarrow_strings: bool) -> Any:
    """The dtype every partition gives a column of this type, nulls or not:
    nullable integers and booleans, so that a chunk with a null does not
    change a column's dtype; bytes as Arrow binary; text (and structured
    values, as JSON text) as _text_dtype."""
    import pyarrow as pa  # type: ignore[import-untyped]

    return {
        "int64": pd.Int64Dtype(),
        "float64": "float64",
        "bool": pd.BooleanDtype(),
        "binary": pd.ArrowDtype(pa.binary()),
    }.get(type_name, _text_dtype(pyarrow_strings))


def _frame(table: Any, pyarrow_strings: bool) -> pd.DataFrame:
    """A pandas frame of an Arrow table in the dtypes of _pandas_dtype, column
    by column (names may repeat).  Arrow-backed text is made straight from
    the Arrow buffers: through Python str objects, which Dask then turned
    back into Arrow text, it took most of the time of a partition."""
    import pyarrow as pa  # type: ignore[import-untyped]

    types = {pa.int64(): "int64", pa.float64(): "float64", pa.bool_(): "bool",
             pa.binary(): "binary", pa.large_binary(): "binary"}
    mapping = {
        pa.int64(): pd.Int64Dtype(),
        pa.bool_(): pd.BooleanDtype(),
        pa.binary(): pd.ArrowDtype(pa.binary()),
        pa.large_binary(): pd.ArrowDtype(pa.binary()),
    }
    if pyarrow_strings:
        mapping[pa.string()] = mapping[pa.large_string()] = _text_dtype(True)
    df = table.to_pandas(types_mapper=mapping.get)
    for i, field in enumerate(table.schema):
        want = _pandas_dtype(types.get(field.type, "string"), pyarrow_strings)
        if df.dtypes.iloc[i] != want:
            df.isetitem(i, df.iloc[:, i].astype(want))
    return df


# A partition: (path, chunks, size, stamp, fingerprint): neighbouring chunks
# of one file, in file order; the stamp is the modification time in
# nanoseconds of a local file, the ETag (or the modification time the file
# system gives) of a remote one; the fingerprint what _Table.fingerprint()
# gives: (created_at, footer offset, footer length, CRC-32 of the footer
# block).
_Part = tuple[str, tuple[int, ...], int, Any, tuple[int, int, int, int]]


def _version(path: str, f: Any) -> tuple[int, Any]:
    """(size, stamp) of an open file: os.stat's for a local one, what the
    object's HEAD gave at open for a remote one."""
    if f._size is not None:
        return f._size, f.identity
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns

# read_sarn's partition size unless the call gives one: the stored bytes of
# the blocks a partition reads.  Chosen with scripts/bench_dask_read.py, a
# group-by over the 199 MB big.csv's container (68 MB, 127 chunks) on a
# 2-worker LocalCluster: a partition per chunk was 1.6 to 2.6 times slower
# than pandas reading the CSV file in one process; 8 to 64 MiB were all
# faster than pandas, and 16 MiB (5 partitions here, about 75 MiB of Arrow
# data each) keeps enough partitions for a larger cluster.
DEFAULT_BLOCKSIZE = "16 MiB"


class _Split(NamedTuple):
    """How read_sarn groups a file's chunks: `per` "chunk" (a partition
    each), "file" (one partition), "count" (`size` chunks a partition) or
    "bytes" (up to `size` stored bytes a partition)."""

    per: str
    size: int = 0


def _split_option(split_chunks: Any, blocksize: Any) -> _Split:
    """read_sarn's split_chunks and blocksize as one rule, checked."""
    if isinstance(split_chunks, bool):
        if blocksize is not None:
            raise ValueError(f"blocksize applies only with split_chunks='adaptive', not with "
                             f"split_chunks={split_chunks!r}")
        return _Split("chunk" if split_chunks else "file")
    if isinstance(split_chunks, int):
        if split_chunks < 1:
            raise ValueError(f"split_chunks must be a positive number of chunks per partition, not {split_chunks}")
        if blocksize is not None:
            raise ValueError(f"blocksize applies only with split_chunks='adaptive', not with a number of chunks "
                             f"({split_chunks})")
        return _Split("count", split_chunks)
    if not isinstance(split_chunks, str):
        raise TypeError(f"split_chunks must be 'adaptive', True, False or a number of chunks, "
                        f"not {type(split_chunks).__name__}")
    if split_chunks != "adaptive":
        raise ValueError(f"split_chunks must be 'adaptive', True, False or a number of chunks, not {split_chunks!r}")
    given = DEFAULT_BLOCKSIZE if blocksize is None else blocksize
    if isinstance(given, bool) or not isinstance(given, (int, str)):
        raise TypeError(f"blocksize must be a number of bytes (int) or a size such as '16 MiB', "
                        f"not {type(given).__name__}")
    if isinstance(given, str):
        try:
            size = dask.utils.parse_bytes(given)
        except (ValueError, TypeError):
            raise ValueError(f"blocksize {given!r} is not a size (such as '16 MiB' or '64MB')") from None
    else:
        size = given
    if size < 1:
        raise ValueError(f"blocksize must be a positive number of bytes, not {given!r}")
    return _Split("bytes", size)


def _group_chunks(chunks: Sequence[int], sizes: Sequence[int], split: _Split) -> list[tuple[int, ...]]:
    """The partitions of one file: its chunks left by the filters (in file
    order, `sizes` their stored bytes) in groups of neighbours, by the rule
    of _split_option.  By bytes, the file gets the fewest partitions that
    hold at most that many bytes each (a chunk larger than that is a
    partition of its own), about even rather than full ones and a small
    remainder."""
    if not chunks:
        return []
    if split.per == "chunk":
        return [(c,) for c in chunks]
    if split.per == "file":
        return [tuple(chunks)]
    if split.per == "count":
        return [tuple(chunks[i:i + split.size]) for i in range(0, len(chunks), split.size)]

    def fill(cap: int) -> list[tuple[int, ...]]:
        # Neighbours together while they fit in `cap`: the fewest groups of at
        # most `cap` bytes that keep the order (a larger chunk alone).
        groups: list[tuple[int, ...]] = []
        group: list[int] = []
        load = 0
        for chunk, size in zip(chunks, sizes):
            if group and load + size > cap:
                groups.append(tuple(group))
                group, load = [], 0
            group.append(chunk)
            load += size
        groups.append(tuple(group))
        return groups

    limit = split.size
    fewest = fill(limit)
    count = len(fewest)
    total = sum(sizes)
    if count == 1 or total == 0:
        return fewest
    # As many groups, each chunk in the one its middle byte falls in when the
    # file's bytes are cut in `count` equal parts: even, when that keeps
    # every group within the limit.
    even: list[list[int]] = [[] for _ in range(count)]
    loads = [0] * count
    before = 0
    for chunk, size in zip(chunks, sizes):
        at = min(count - 1, (2 * before + size) * count // (2 * total))
        even[at].append(chunk)
        loads[at] += size
        before += size
    if all(group and (load <= limit or len(group) == 1) for group, load in zip(even, loads)):
        return [tuple(group) for group in even]
    # Otherwise (chunks of very different sizes) the smallest cap that needs
    # no more groups than the limit does.
    low, high = 1, limit
    while low < high:
        middle = (low + high) // 2
        if len(fill(middle)) <= count:
            high = middle
        else:
            low = middle + 1
    return fill(low)


def _empty_frame(selected: Sequence[tuple[str, str]]) -> pd.DataFrame:
    """The frame of no rows with these (name, type) columns, in the dtypes of
    _pandas_dtype, made in one step per dtype: adding columns one at a time
    costs time quadratic in their number (minutes for 65,535 columns)."""
    import numpy as np

    groups: dict[str, list[int]] = {}
    for i, (_, type_name) in enumerate(selected):
        groups.setdefault(type_name, []).append(i)
    parts = []
    for type_name, positions in groups.items():
        # Text as object: Dask turns it into its string dtype itself, which
        # a frame of 65,535 string columns made here would take minutes over.
        dtype = _pandas_dtype(type_name, False)
        if isinstance(dtype, str):  # "object" and "float64": one 2-D block
            part = pd.DataFrame(np.empty((0, len(positions)), dtype=dtype), columns=positions)
        else:
            part = pd.DataFrame({i: pd.array([], dtype=dtype) for i in positions})
        parts.append(part)
    frame = pd.concat(parts, axis=1) if len(parts) > 1 else (parts[0] if parts else pd.DataFrame())
    if len(parts) > 1:
        frame = frame[sorted(frame.columns)]
    frame.columns = pd.Index([name for name, _ in selected], dtype=object)
    return frame


def _empty_partition(meta: pd.DataFrame) -> pd.DataFrame:
    return meta


def _read_part(
    part: _Part,
    columns: Optional[list[str]] = None,
    filters: Any = None,
    keys: Optional[Mapping[str, bytes]] = None,
    max_chunk_bytes: int = 1 << 30,
    storage_options: Optional[Mapping[str, Any]] = None,
    pyarrow_strings: bool = False,
) -> pd.DataFrame:
    """One partition: the rows of its chunks that the filters keep, in file
    order.  A damaged chunk raises SarnFormatError naming the file, chunk,
    column and offset.  A remote file is opened by the task itself (its own
    connection)."""
    from sarnio._reader import _read_arrow
    from sarnio._reader import open as open_sarn

    path, chunks, size, stamp, fingerprint = part
    remote = is_url(path)
    if not remote:
        st = os.stat(path)
        if st.st_size != size or st.st_mtime_ns != stamp:
            raise RuntimeError(f"{path} changed after the read was planned")
    with open_sarn(path, keys, max_chunk_bytes, storage_options=storage_options if remote else None) as f:
        if remote and _version(path, f) != (size, stamp):
            raise RuntimeError(f"{path} changed after the read was planned (its size or ETag differs)")
        # A file replaced by another of the same length and modification time
        # (as cp -p and rsync -a leave it) shows in its creation time and footer.
        if tuple(f._open_table().fingerprint()) != fingerprint:
            raise RuntimeError(f"{path} changed after the read was planned (another file of the same length "
                               "and modification time is there now)")
        plan = f._plan(columns, filters, as_json=True).restricted_to(list(chunks))
        table = _read_arrow(plan, 1)
    return _frame(table, pyarrow_strings)


# From this many files on, read_sarn reads the footers in tasks.
_PLAN_IN_TASKS = 4


def _plan_file(path: str, columns: Optional[list[str]], filters: Any, keys: Optional[Mapping[str, bytes]],
               max_chunk_bytes: int, storage_options: Optional[Mapping[str, Any]]) -> tuple[Any, ...]:
    """What read_sarn needs of one file's footer: (fields, chunks that
    survive the filters, their stored bytes, size, stamp, fingerprint)."""
    from sarnio._reader import open as open_sarn

    with open_sarn(path, keys, max_chunk_bytes, storage_options=storage_options) as f:
        fields = [(field.name, field.type) for field in f.schema]
        plan = f._plan(columns, filters, as_json=True)
        chunks = [int(c) for c in plan.chunks()]
        chunk_bytes = [int(b) for b in plan.chunk_bytes()]
        size, stamp = _version(path, f)
        return fields, chunks, chunk_bytes, size, stamp, tuple(f._open_table().fingerprint())


def read_sarn(
    paths: Union[PathArg, Sequence[PathArg]],
    columns: Optional[Sequence[str]] = None,
    filters: Any = None,
    keys: Optional[Mapping[str, bytes]] = None,
    max_chunk_bytes: int = 1 << 30,
    *,
    storage_options: Optional[Mapping[str, Any]] = None,
    split_chunks: Union[str, bool, int] = "adaptive",
    blocksize: Union[int, str, None] = None,
) -> dd.DataFrame:
    """Read SARN containers as one Dask DataFrame.

    The partitions are planned from the files' footers before any task runs:
    a chunk whose statistics or membership filter rule the filters out is
    left out, and the chunks left of each file are grouped, neighbours
    together, into partitions (never across files).  Each partition is read
    by a task with :func:`sarnio.open`, which applies the filters exactly to
    its chunks' rows, in file order.  Partitions have no known divisions.

    Partition size, as ``split_row_groups`` and ``blocksize`` of
    ``dask.dataframe.read_parquet``:

    - ``split_chunks="adaptive"`` (default): neighbouring chunks up to
      ``blocksize`` bytes per partition, counting the bytes the chunks'
      blocks of the columns read (selected and filtered on) take in the file,
      as the footer gives them.  A file gets the fewest partitions that stay
      within ``blocksize``, as even as its chunks allow; a chunk larger than
      ``blocksize`` is a partition alone.  ``blocksize`` is an int or a size
      such as ``"16 MiB"`` (default ``DEFAULT_BLOCKSIZE``, 16 MiB; text
      blocks decode to several times their stored size: for a CSV file of
      flights, 16 MiB of blocks hold about 75 MiB of Arrow text).
    - ``split_chunks=True``: one partition per chunk (65,536 rows); many
      small tasks, for the finest-grained scheduling.
    - ``split_chunks=False``: one partition per file.
    - ``split_chunks=n``: ``n`` neighbouring chunks per partition.

    ``blocksize`` goes only with ``"adaptive"``: given with another
    ``split_chunks`` it raises ValueError.

    Args:
        paths: a path, a glob pattern (``"data/*.sarn"``, sorted), or a list
            of paths and patterns; each may be an fsspec URL
            (``"s3://bucket/data/*.sarn"``).  Every file must have the same
            columns, and be reachable under its path on every worker.
        columns: the columns to read (default: all), in this order.
        filters: pyarrow-style filters, as for :meth:`sarnio.SarnFile.read`.
        keys: ``{column name: 32-byte key}`` for enciphered columns.
        max_chunk_bytes: the memory budget of reading one chunk, as for
            :func:`sarnio.open`; a chunk that needs more raises
            SarnFormatError when its partition is computed.
        storage_options: options of the URLs' file system (credentials,
            ``client_kwargs={"endpoint_url": ...}``), given to every task.
        split_chunks, blocksize: how chunks are grouped into partitions
            (above).

    Column dtypes: ``Int64`` and ``boolean`` (pandas' nullable types) for
    integer and boolean columns, ``float64``, Arrow binary for bytes, and
    for text and structured values (as JSON text) Dask's Arrow-backed
    ``string[pyarrow]``, made straight from the decoded buffers, or
    ``object`` when Dask's ``dataframe.convert-string`` is off where
    ``read_sarn`` is called.
    Columns keep the names they have in the files, repeated ones too; a
    name that several columns bear cannot be selected or filtered on
    (ValueError).

    A file must not change between this call and the computation: a task
    that finds its file's size, modification time (the ETag of an object),
    creation time or footer changed raises.  The footers of many files are
    read in parallel, one task per file.
    """
    from sarnio._reader import _budget

    max_chunk_bytes = _budget(max_chunk_bytes)
    split = _split_option(split_chunks, blocksize)
    files = _expand_paths(paths, storage_options)
    if columns is not None:
        if isinstance(columns, (str, bytes)) or not isinstance(columns, (list, tuple)):
            raise TypeError(f"columns must be a list of column names, not {type(columns).__name__}")
        columns = list(columns)
    parts: list[_Part] = []
    schema: Optional[list[tuple[str, str]]] = None
    calls = [(path, columns, filters, keys, max_chunk_bytes, storage_options if is_url(path) else None)
             for path in files]
    # Many footers are read side by side, one task each (remote ones cost a
    # round trip or two apiece).
    planned = (_raise_first(_run_all(_current_client(None), _plan_file, calls)) if len(files) >= _PLAN_IN_TASKS
               else [_plan_file(*call) for call in calls])
    for path, (fields, chunks, chunk_bytes, size, stamp, fingerprint) in zip(files, planned):
        if schema is None:
            schema = fields
        elif fields != schema:
            raise ValueError(f"{path} has the columns {fields}, unlike {files[0]} with {schema}")
        groups = _group_chunks(chunks, chunk_bytes, split)
        parts.extend((path, group, size, stamp, fingerprint) for group in groups)
    assert schema is not None
    if columns is None:
        selected = schema
    else:
        # The planning above refused unknown and ambiguous names.
        types = dict(schema)
        selected = [(name, types[name]) for name in columns]
    names = [name for name, _ in selected]
    # Decided here, for every partition alike (a worker's configuration may
    # differ): with Dask's conversion on, partitions come with the string
    # dtype it would convert their text to, and it has nothing left to do.
    setting = dask.config.get("dataframe.convert-string", None)
    pyarrow_strings = True if setting is None else bool(setting)
    meta = _empty_frame(selected)
    if not parts:
        # No chunk to read: one partition that is the empty frame.  from_map
        # rather than from_pandas, whose handling of a frame's columns one
        # at a time costs minutes for tens of thousands of them.
        return dd.from_map(_empty_partition, [meta], meta=meta, divisions=None, enforce_metadata=False,
                           label="read-sarn")
    return dd.from_map(
        _read_part,
        parts,
        # Every column unless a selection was given: a repeated name cannot
        # select.  Dask replaces it with the columns a computation needs.
        columns=names if columns is not None else None,
        filters=filters,
        keys=dict(keys) if keys is not None else None,
        max_chunk_bytes=max_chunk_bytes,
        storage_options=dict(storage_options) if storage_options is not None else None,
        pyarrow_strings=pyarrow_strings,
        meta=meta,
        divisions=None,
        enforce_metadata=False,
        label="read-sarn",
    )
