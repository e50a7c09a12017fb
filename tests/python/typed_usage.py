"""A typed program against sarn_fileformat, checked with mypy --strict by
test_stub.py and never run: every call here must type-check as written."""

import json

import sarn_fileformat
from sarn_fileformat import (
    PyPerformanceMonitor,
    PySarnReader,
    PySarnWriter,
    compress_csv,
    get_sarn_info,
)


def convert(csv_path: str, sarn_path: str) -> float:
    csv_size, sarn_size, saved_percent = compress_csv(csv_path, sarn_path)
    total: int = csv_size + sarn_size
    again = compress_csv(sarn_path=sarn_path, csv_path=csv_path)
    return saved_percent + again[2] + total


def describe(path: str) -> str:
    size, version, zero = get_sarn_info(sarn_path=path)
    reader = PySarnReader(path)
    read_size, read_version = reader.read_file()
    ratio, label = reader.get_compression_stats()
    writer = PySarnWriter(path=path)
    written: tuple[int, int, float] = writer.write_csv(csv_path="in.csv")
    info: tuple[int, str, int] = writer.get_info()
    return f"{size + read_size + zero} {version}{read_version}{label} {ratio:.1f} {written} {info}"


def monitor() -> dict[str, int | float | str]:
    m = PyPerformanceMonitor()
    m.record_read(2048, 12)
    m.record_read(bytes=1, duration_ms=0.5)
    m.record_write(4096, 3.25)
    m.record_compression(original_bytes=1000, compressed_bytes=400)
    m.record_rows_columns(rows=10, columns=3)
    m.update_memory(current=1 << 20, peak=1 << 21)
    m.update_cache_stats(hit_rate=0.856)
    m.record_error()
    alerts: list[object] = json.loads(m.get_alerts())
    m.clear_alerts()
    text: str = m.get_metrics() + m.export_prometheus()
    figures = m.get_metrics_dict()
    figures["alerts"] = len(alerts) + len(text)
    return figures


VERSION: str = sarn_fileformat.__version__
AUTHOR: str = sarn_fileformat.__author__
NAMES: list[str] = sarn_fileformat.__all__
