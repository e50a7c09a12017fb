"""The ``threads`` argument every sarnio call takes, checked in one place."""

from __future__ import annotations

from typing import Any, Optional


def thread_count(threads: Any) -> Optional[int]:
    """``threads`` as a positive count, or None for every core the process may use.

    ``None`` and ``-1`` both mean every core; 0, other negatives and
    anything but an int raise.
    """
    if threads is None:
        return None
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads == -1:
        return None
    if threads < 1:
        raise ValueError(f"threads must be at least 1, or -1 or None for every core; got {threads}")
    return threads
