"""CSV input from a URL and container output to a URL, for the writers.

Input.  A remote CSV file is read once, from start to end, as a pipe is: a
thread copies the object into a pipe that the native job reads like any
other pipe (``/dev/fd/N``).  If the copy fails, the pipe is left open (the
job must not take a cut input for a complete one) and the job is stopped
with the copy's exception.  ``types="infer"`` reads its input twice, so a
remote input is then first downloaded to a local temporary file.

Output.  The container is written to a local temporary file and uploaded
when it is complete; the object appears at its URL only then (an S3 upload
of several parts appears on its final request).  A failed upload leaves no
object and no part behind: s3fs aborts its multipart upload on an error, and
an upload stopped by Ctrl-C is cancelled and its parts aborted here.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import threading
import time
from typing import Any, Optional
from collections.abc import Callable, Mapping

from sarnio._source import filesystem, is_local, is_url, url_error

__all__ = ["Feed", "local_or_remote", "spool", "upload"]

# The bytes the feeding thread reads from the store at a time.
_FEED_BLOCK = 8 << 20
# The size of the parts of a multipart upload (S3's least is 5 MiB).
UPLOAD_PART_BYTES = 64 << 20


def local_or_remote(path: Any, storage_options: Optional[Mapping[str, Any]], name: str) -> tuple[Any, Any, str]:
    """(fs, path in it, URL) for a remote URL; (None, path, path) for a local
    path or a URL of the local file system."""
    if not is_url(path):
        return None, path, path
    fs, inner = filesystem(path, storage_options)
    if is_local(fs):
        return None, inner, path
    return fs, inner, path


class Feed:
    """Copies an object into a pipe on a thread of its own: ``path`` is the
    pipe's name for the native job."""

    def __init__(self, fs: Any, inner: str, url: str) -> None:
        try:
            info = fs.info(inner)
        except BaseException as e:
            raise url_error(e, url) from e
        if info.get("type") == "directory":
            raise IsADirectoryError(21, os.strerror(21), url)
        self.size = int(info.get("size") or 0)
        self.url = url
        self._fs, self._inner = fs, inner
        self._read, self._write = os.pipe()
        self.path = f"/dev/fd/{self._read}"
        self.error: Optional[BaseException] = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._copy, name="sarnio-feed", daemon=True)
        self._thread.start()

    def _copy(self) -> None:
        try:
            with self._fs.open(self._inner, "rb", block_size=_FEED_BLOCK, cache_type="none") as src:
                while not self._stop.is_set():
                    block = src.read(_FEED_BLOCK)
                    if not block:
                        break
                    view = memoryview(block)
                    while view:
                        view = view[os.write(self._write, view):]
        except BrokenPipeError:
            return  # the job stopped reading: it ended (or failed) first
        except BaseException as e:  # noqa: BLE001 - handed to the job's thread
            if not self._stop.is_set():
                self.error = url_error(e, self.url)
            return  # the pipe stays open: the job must not see an end of input
        os.close(self._write)
        self._write = -1

    def check(self) -> None:
        """Raises the copy's failure (from the job's progress callback, which
        then stops the job)."""
        if self.error is not None:
            raise self.error

    def close(self) -> None:
        self._stop.set()
        os.close(self._read)  # a blocked write now fails with EPIPE
        self._thread.join(timeout=60)
        if self._write >= 0:
            os.close(self._write)
            self._write = -1

    def renamed(self, error: BaseException) -> BaseException:
        """`error` of the native job with the pipe's name replaced by the URL."""
        return renamed(error, self.path, self.url)


def renamed(error: BaseException, old: str, new: str) -> BaseException:
    """`error` naming `new` wherever it named the file `old`."""
    if isinstance(error, OSError) and error.filename == old:
        made = OSError(error.errno, error.strerror, new)
        made.__traceback__ = error.__traceback__
        return made
    if error.args and isinstance(error.args[0], str) and old in error.args[0]:
        error.args = (error.args[0].replace(old, new),) + error.args[1:]
    return error


def spool(fs: Any, inner: str, url: str, folder: str) -> str:
    """Downloads the object to a file in `folder`; returns its path."""
    local = os.path.join(folder, "input.csv")
    try:
        if fs.info(inner).get("type") == "directory":
            raise IsADirectoryError(21, os.strerror(21), url)
        fs.get_file(inner, local)
    except BaseException as e:
        raise url_error(e, url) from e
    return local


def _s3_bucket_key(fs: Any, inner: str) -> Optional[tuple[str, str]]:
    split = getattr(fs, "split_path", None)
    if split is None or not hasattr(fs, "_call_s3"):
        return None
    bucket, key, _ = split(inner)
    return bucket, key


def _abort_uploads(fs: Any, inner: str, since: float) -> None:
    """Aborts the multipart uploads of the object begun at or after `since`
    (ours: an upload that was stopped leaves its parts)."""
    where = _s3_bucket_key(fs, inner)
    if where is None:
        return
    bucket, key = where
    try:
        listing = fs.call_s3("list_multipart_uploads", Bucket=bucket, Prefix=key)
        for upload in listing.get("Uploads", []):
            initiated = upload.get("Initiated")
            if upload.get("Key") == key and (initiated is None or initiated.timestamp() >= since - 5):
                fs.call_s3("abort_multipart_upload", Bucket=bucket, Key=key, UploadId=upload["UploadId"])
    except Exception:  # noqa: BLE001 - the upload's own failure is what the caller sees
        pass


def upload(local: str, fs: Any, inner: str, url: str) -> None:
    """Puts the finished container at `url`; see the module's text."""
    started = time.time()
    loop = getattr(fs, "loop", None) if getattr(fs, "async_impl", False) else None
    try:
        if loop is not None and loop.is_running() and hasattr(fs, "_put_file"):
            import asyncio

            kwargs = {"chunksize": UPLOAD_PART_BYTES} if _s3_bucket_key(fs, inner) else {}
            future = asyncio.run_coroutine_threadsafe(fs._put_file(local, inner, **kwargs), loop)
            try:
                future.result()
            except BaseException:
                future.cancel()
                try:
                    future.result(timeout=60)
                except BaseException:  # noqa: BLE001 - cancelled or failed: either way it has stopped
                    pass
                raise
        else:
            fs.put_file(local, inner)
    except BaseException as e:
        _abort_uploads(fs, inner, started)
        raise url_error(e, url) from e
    invalidate = getattr(fs, "invalidate_cache", None)
    if invalidate is not None:
        invalidate(inner)


def with_remote(csv_path: Any, sarn_path: Any, storage_options: Optional[Mapping[str, Any]], download: bool,
                run: Callable[[Any, Any, Optional[Feed]], Any]) -> Any:
    """Runs `run(local csv, local output, feed)` with URLs turned into local
    files: a remote input streamed through a pipe (`feed`; downloaded first
    when `download`: a job that reads its input twice or in ranges), a
    remote output written to a temporary file and uploaded after `run`
    returns."""
    if storage_options is not None and not (is_url(csv_path) or is_url(sarn_path)):
        raise ValueError(f"storage_options are for URLs (s3://..., memory://...), not for the local paths "
                         f"{csv_path!r} and {sarn_path!r}")
    in_fs, in_inner, in_url = local_or_remote(csv_path, storage_options, "csv_path")
    out_fs, out_inner, out_url = local_or_remote(sarn_path, storage_options, "sarn_path")
    if in_fs is None and out_fs is None:
        return run(in_inner, out_inner, None)
    folder = tempfile.mkdtemp(prefix="sarnio-")
    feed: Optional[Feed] = None
    local_csv: Any = in_inner
    local_out: Any = os.path.join(folder, "output.sarn") if out_fs is not None else out_inner
    try:
        if in_fs is not None:
            if download:
                local_csv = spool(in_fs, in_inner, in_url, folder)
            else:
                feed = Feed(in_fs, in_inner, in_url)
                local_csv = feed.path
        try:
            result = run(local_csv, local_out, feed)
        except BaseException as e:
            error = e
            if feed is not None and feed.error is not None and error is not feed.error:
                error = feed.error
            if in_fs is not None:
                error = renamed(error, str(local_csv), in_url)
            if out_fs is not None:
                error = renamed(error, str(local_out), out_url)
            if error is e:
                raise
            raise error from None
        if out_fs is not None:
            upload(str(local_out), out_fs, out_inner, out_url)
        return result
    finally:
        if feed is not None:
            feed.close()
        shutil.rmtree(folder, ignore_errors=True)
