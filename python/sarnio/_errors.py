"""The exceptions sarnio raises besides the standard ones."""

from __future__ import annotations

__all__ = ["SarnError"]


class SarnError(ValueError):
    """The input cannot become a container: for example a CSV line that is not
    valid UTF-8.  The message names the line number and the byte offset.

    A subclass of ValueError, so code that catches ValueError keeps working.
    """
