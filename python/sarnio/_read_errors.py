"""The exception a damaged container raises when sarnio reads it."""

from __future__ import annotations

from sarnio._errors import SarnError

__all__ = ["SarnFormatError"]


class SarnFormatError(SarnError):
    """The file is not a sound SARN container: truncated, corrupted, hostile,
    or not a container at all.  The message names the file and, where known,
    the chunk, the column and the byte offset of the fault.
    """
