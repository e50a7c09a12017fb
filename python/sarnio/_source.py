"""Where a file is: a local path, an fsspec URL, or an open binary file object.

Local paths are read by the native core in place.  A URL (``s3://``,
``gs://``, ``memory://``, ``file://``, ...) goes through fsspec, which is
imported only then, with the file system's own package (s3fs, gcsfs, ...);
``file://`` and other URLs of the local file system are turned back into
local paths.  An open binary file object with ``seek`` and ``read`` is read
through its own methods.

For a container the core asks for byte ranges: the head and the tail at
open, then the blocks a read needs, coalesced and ahead of the decoding
threads.  This module provides the objects it asks (``start(starts, ends)``
returning a handle whose ``result()`` gives one bytes object per range):
fsspec's ``cat_ranges``, sent at once on fsspec's event loop when the file
system is asynchronous (s3fs, gcsfs, http), or the file object's
``seek``/``read``.

Errors keep the conventions of local files: a missing object raises
FileNotFoundError, a denied one PermissionError, each with ``errno`` set and
the URL as ``filename``.
"""

from __future__ import annotations

import errno as _errno
import io
import os
import re
import threading
from typing import Any, NamedTuple, Optional, TypeGuard
from collections.abc import Mapping, Sequence

__all__ = ["Remote", "filesystem", "is_file_object", "is_url", "open_remote", "remote_file_object", "url_error"]

# "scheme://..." or a chained URL ("simplecache::s3://...").
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*(::[A-Za-z][A-Za-z0-9+.\-]*)*://|^[A-Za-z][A-Za-z0-9+.\-]*::")

# What to install for a URL; fsspec names the file system's own package.
EXTRA = "pip install 'sarn_fileformat[s3]' (fsspec and s3fs; gcsfs for gs://, adlfs for az://)"


def is_url(source: Any) -> TypeGuard[str]:
    """Whether `source` is a URL for fsspec (text only: a bytes or
    os.PathLike argument is always a local path)."""
    return isinstance(source, str) and _URL.match(source) is not None


def is_file_object(source: Any) -> bool:
    """Whether `source` is an open file object rather than a path."""
    return not isinstance(source, (str, bytes, os.PathLike)) and hasattr(source, "read") and hasattr(source, "seek")


def filesystem(url: str, storage_options: Optional[Mapping[str, Any]]) -> tuple[Any, str]:
    """The fsspec file system of `url` and the path in it."""
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError(f"{url}: reading or writing a URL needs fsspec: {EXTRA}") from None
    if storage_options is not None and not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a mapping, not {type(storage_options).__name__}")
    try:
        return fsspec.core.url_to_fs(url, **dict(storage_options or {}))
    except ImportError as e:
        raise ImportError(f"{url}: {e} ({EXTRA})") from None


def is_local(fs: Any) -> bool:
    try:
        from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]
    except ImportError:
        return False
    return isinstance(fs, LocalFileSystem)


def url_error(e: BaseException, url: str) -> BaseException:
    """`e` as local files raise it: an OSError subclass with errno and the
    URL as filename (fsspec's file systems often leave both out)."""
    if not isinstance(e, OSError) or (e.errno is not None and e.filename is not None):
        return e
    number = e.errno
    if number is None:
        number = {FileNotFoundError: _errno.ENOENT, PermissionError: _errno.EACCES,
                  IsADirectoryError: _errno.EISDIR, FileExistsError: _errno.EEXIST}.get(type(e), None)
    text = e.strerror or str(e) or (os.strerror(number) if number else type(e).__name__)
    if number is None:
        return OSError(text)
    return OSError(number, text, url)  # the subclass of the errno: FileNotFoundError, ...


class _Done:
    """A fetch that already happened."""

    def __init__(self, pieces: list[bytes]) -> None:
        self._pieces = pieces

    def result(self) -> list[bytes]:
        return self._pieces


class _Future:
    """A fetch under way on fsspec's event loop."""

    def __init__(self, future: Any, url: str) -> None:
        self._future = future
        self._url = url

    def result(self) -> list[bytes]:
        try:
            return list(self._future.result())
        except BaseException as e:
            if isinstance(e, KeyboardInterrupt):
                self._future.cancel()
            raise url_error(e, self._url) from e


class _FsspecRanges:
    """Byte ranges of one object of an fsspec file system."""

    def __init__(self, fs: Any, path: str, url: str) -> None:
        self._fs = fs
        self._path = path
        self._url = url

    def start(self, starts: Sequence[int], ends: Sequence[int]) -> Any:
        paths = [self._path] * len(starts)
        loop = getattr(self._fs, "loop", None) if getattr(self._fs, "async_impl", False) else None
        if loop is not None and loop.is_running():
            import asyncio

            coro = self._fs._cat_ranges(paths, list(starts), list(ends), on_error="raise")
            return _Future(asyncio.run_coroutine_threadsafe(coro, loop), self._url)
        try:
            return _Done(list(self._fs.cat_ranges(paths, list(starts), list(ends), on_error="raise")))
        except BaseException as e:
            raise url_error(e, self._url) from e


class _FileRanges:
    """Byte ranges of an open binary file object, read with seek and read
    one at a time (the object's position is put back after each fetch)."""

    def __init__(self, f: Any) -> None:
        self._f = f
        self._lock = threading.Lock()

    def start(self, starts: Sequence[int], ends: Sequence[int]) -> _Done:
        pieces = []
        with self._lock:
            where = self._f.tell()
            try:
                for begin, end in zip(starts, ends):
                    self._f.seek(begin)
                    parts = []
                    left = end - begin
                    while left > 0:
                        part = self._f.read(left)
                        if not part:
                            break
                        parts.append(part)
                        left -= len(part)
                    pieces.append(b"".join(parts))
            finally:
                self._f.seek(where)
        return _Done(pieces)


class Remote(NamedTuple):
    """A file read a range at a time: its name for messages, its length,
    what fetches its ranges, the requests made to learn its length, and
    what tells this version of it from another (ETag or modification time;
    None when the file system gives neither)."""

    name: str
    size: int
    fetcher: Any
    requests: int
    identity: Any


def _identity(info: Mapping[str, Any]) -> Any:
    for key in ("ETag", "etag", "md5Hash", "generation", "mtime", "LastModified", "last_modified", "created"):
        value = info.get(key)
        if value is not None:
            return str(value)
    return None


def open_remote(url: str, storage_options: Optional[Mapping[str, Any]]) -> Remote | str:
    """The object at `url`, or the local path it names (``file://``)."""
    fs, path = filesystem(url, storage_options)
    if is_local(fs):
        return str(path)
    try:
        info = fs.info(path)
    except BaseException as e:
        raise url_error(e, url) from e
    if info.get("type") == "directory":
        raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), url)
    size = info.get("size")
    if not isinstance(size, int):
        raise OSError(f"{url}: the file system gives no size for it")
    return Remote(url, size, _FsspecRanges(fs, path, url), 1, _identity(info))


def remote_file_object(f: Any) -> Remote:
    """An open binary file object as a file read a range at a time."""
    if isinstance(f, io.TextIOBase):
        raise TypeError("the file object is open in text mode; open it in binary mode ('rb')")
    if getattr(f, "closed", False):
        raise ValueError("I/O operation on closed file")
    seekable = getattr(f, "seekable", None)
    if seekable is not None and not seekable():
        raise ValueError("the file object cannot seek (a pipe or a stream): a container is read at offsets; "
                         "save it to a file first")
    where = f.tell()
    size = f.seek(0, io.SEEK_END)
    f.seek(where)
    name = getattr(f, "name", None)
    shown = os.fsdecode(name) if isinstance(name, (str, bytes, os.PathLike)) else f"<{type(f).__name__}>"
    return Remote(shown, int(size), _FileRanges(f), 0, None)
