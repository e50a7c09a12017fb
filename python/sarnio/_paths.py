"""Path arguments, taken the one way every sarnio entry takes them."""

from __future__ import annotations

import os
from typing import Union

__all__ = ["PathArg", "fs_path", "fs_text"]

# What a path argument may be: text, the file system's bytes, or an object
# that gives either (pathlib.Path, os.DirEntry, ...).
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def fs_path(path: PathArg, name: str) -> bytes:
    """``path`` as the file system's bytes, which name any file it holds.

    Raises TypeError for anything but str, bytes and os.PathLike, and
    ValueError for an embedded NUL (which would name a shorter path).
    """
    try:
        value = os.fspath(path)
    except TypeError:
        raise TypeError(f"{name} must be str, bytes or os.PathLike, not {type(path).__name__}") from None
    data = os.fsencode(value)
    if b"\0" in data:
        raise ValueError(f"{name}: embedded null byte")
    return data


def fs_text(path: PathArg, name: str) -> str:
    """``path`` as text, as ``os.fsdecode`` gives it (bytes that are not
    valid in the file system's encoding kept as surrogate escapes)."""
    return os.fsdecode(fs_path(path, name))
