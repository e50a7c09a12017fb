"""What a finished compression reports."""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["CompressResult"]


class CompressResult(NamedTuple):
    """The summary of one finished :func:`sarnio.compress_csv` call.

    Attributes:
        input_bytes: length of the CSV input in bytes (bytes read, for a pipe).
        output_bytes: length of the finished container in bytes.
        rows: data rows written (blank lines are not rows).
        columns: columns of the container, one per header name.
        chunks: chunks of rows in the container.
        seconds: wall-clock time of the whole job.
    """

    input_bytes: int
    output_bytes: int
    rows: int
    columns: int
    chunks: int
    seconds: float

    @property
    def saved_percent(self) -> float:
        """Percent of the input the container saves, never negative; 0.0 for
        an empty input."""
        if self.input_bytes == 0:
            return 0.0
        saved = max(self.input_bytes - self.output_bytes, 0)
        return saved / self.input_bytes * 100.0
