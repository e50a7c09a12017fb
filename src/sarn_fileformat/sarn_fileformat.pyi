"""Stream CSV files of any size into SARN containers: chunked, columnar, compressed.

Type information for the native module ``sarn_fileformat``.  Every parameter
may be passed by position or by keyword; every parameter is required.
"""

from typing import Final, SupportsFloat, SupportsIndex, final

__version__: Final[str]
__author__: Final[str]
__all__ = [
    "__version__",
    "__doc__",
    "__author__",
    "compress_csv",
    "get_sarn_info",
    "PySarnWriter",
    "PySarnReader",
    "PyPerformanceMonitor",
]

def compress_csv(csv_path: str, sarn_path: str) -> tuple[int, int, float]:
    """Compress the CSV file at ``csv_path`` into a SARN container at ``sarn_path``.

    Streams the rows 65,536 at a time with constant memory and prints progress
    lines on standard error.  Returns ``(csv_size, sarn_size, compression_ratio)``:
    both sizes in bytes, and the percentage of the input size saved (0.0 when
    the container is not smaller than the input).

    Raises ``OSError`` when a file cannot be read or written (a missing input,
    bytes that are not UTF-8, ...) and ``ValueError`` for a zero-byte CSV file.
    """

def get_sarn_info(sarn_path: str) -> tuple[int, str, int]:
    """Get SARN file information: ``(file size in bytes, "1.1.2", 0)``.

    Only the file's size is read; the content is not decoded.  Raises
    ``OSError`` when the file cannot be opened.
    """

@final
class PySarnWriter:
    """SarnWriter Python wrapper: writes SARN containers to one path."""

    def __new__(cls, path: str) -> PySarnWriter: ...
    def write_csv(self, csv_path: str) -> tuple[int, int, float]:
        """Compress ``csv_path`` into this writer's path; the result is that of
        ``compress_csv``.  Each call rewrites the output file."""

    def get_info(self) -> tuple[int, str, int]:
        """``(file size in bytes, "1.1.2", 0)`` of this writer's path."""

@final
class PySarnReader:
    """SarnReader Python wrapper: light information about one file."""

    def __new__(cls, path: str) -> PySarnReader: ...
    def read_file(self) -> tuple[int, str]:
        """``(file size in bytes, "1.1.2")``; the content is not decoded."""

    def get_compression_stats(self) -> tuple[float, str]:
        """``(64.8, "SARN v1.1.2")`` once the file could be opened."""

@final
class PyPerformanceMonitor:
    """Performance Monitor Python wrapper.

    Accumulates the figures its caller reports, raises threshold alerts and
    exports the figures as JSON text, as a dictionary and as Prometheus text.
    Byte counts and row/column counts are unsigned 64-bit (a negative value
    raises ``OverflowError``); latencies and the hit rate are floats.
    """

    def __new__(cls) -> PyPerformanceMonitor: ...
    def record_read(self, bytes: SupportsIndex, duration_ms: SupportsFloat | SupportsIndex) -> None: ...
    def record_write(self, bytes: SupportsIndex, duration_ms: SupportsFloat | SupportsIndex) -> None: ...
    def record_compression(self, original_bytes: SupportsIndex, compressed_bytes: SupportsIndex) -> None: ...
    def record_rows_columns(self, rows: SupportsIndex, columns: SupportsIndex) -> None: ...
    def update_memory(self, current: SupportsIndex, peak: SupportsIndex) -> None: ...
    def update_cache_stats(self, hit_rate: SupportsFloat | SupportsIndex) -> None: ...
    def record_error(self) -> None: ...
    def get_metrics(self) -> str:
        """The metrics as JSON text."""

    def get_metrics_dict(self) -> dict[str, int | float | str]:
        """The metrics as a new dictionary of 17 entries (counters as ``int``,
        latencies, throughputs and ratios as ``float``, ``timestamp`` as ``str``)."""

    def get_alerts(self) -> str:
        """The alerts raised so far, as compact JSON text (``"[]"`` when none)."""

    def clear_alerts(self) -> None: ...
    def export_prometheus(self) -> str:
        """The metrics as Prometheus text, one line per metric."""
