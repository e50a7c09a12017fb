"""Calls that the module refuses at run time, so its type stub must make
mypy refuse them too.  test_stub.py checks that mypy reports an error on
exactly the lines marked "# error" and on no other line.  Never run."""

import pathlib

import sarn_fileformat
from sarn_fileformat import PyPerformanceMonitor, PySarnReader, PySarnWriter


def wrong_calls() -> None:
    sarn_fileformat.compress_csv(pathlib.Path("in.csv"), "out.sarn")  # error
    sarn_fileformat.compress_csv("in.csv")  # error
    sarn_fileformat.get_sarn_info(b"out.sarn")  # error
    sarn_fileformat.get_sarn_info("a", "b")  # error
    PySarnReader(5)  # error
    PySarnWriter(path="x", mode="w")  # error
    PySarnWriter("x").write_csv()  # error
    m = PyPerformanceMonitor()
    m.record_read("2048", 1.0)  # error
    m.record_read(1.5, 1.0)  # error
    m.update_cache_stats("x")  # error
    m.record_error(1)  # error
    PyPerformanceMonitor(1)  # error
    sarn_fileformat.compress_csv("in.csv", "out.sarn").upper()  # error


def wrong_results() -> None:
    version: int = sarn_fileformat.get_sarn_info("out.sarn")[1]  # error
    ratio: str = PySarnReader("x").get_compression_stats()[0]  # error
    alerts: list[str] = PyPerformanceMonitor().get_alerts()  # error
    cleared: str = PyPerformanceMonitor().clear_alerts()  # error


class Sub(PySarnReader):  # error
    pass
