"""PyPerformanceMonitor as Python code sees it: exports, alerts, argument
conversion and errors, signatures, and use from several threads."""

import json
import math
import os
import re
import sys
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest

TIMESTAMP = re.compile(
    r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{3}|\d{6}|\d{9}))?([+-])(\d\d):(\d\d)"
)

DICT_KEYS = [
    "total_bytes_read",
    "total_bytes_written",
    "read_operations",
    "write_operations",
    "avg_read_latency_ms",
    "avg_write_latency_ms",
    "read_throughput_mbps",
    "write_throughput_mbps",
    "compression_ratio",
    "current_memory_bytes",
    "peak_memory_bytes",
    "rows_processed",
    "columns_processed",
    "cache_hit_rate",
    "active_operations",
    "total_errors",
    "timestamp",
]
FLOAT_KEYS = {
    "avg_read_latency_ms",
    "avg_write_latency_ms",
    "read_throughput_mbps",
    "write_throughput_mbps",
    "compression_ratio",
    "cache_hit_rate",
}


def parse_timestamp(text):
    """The moment a timestamp text names, as an aware datetime (to the
    microsecond; nanoseconds are cut)."""
    match = TIMESTAMP.fullmatch(text)
    assert match, text
    year, month, day, hour, minute, second, fraction, sign, oh, om = match.groups()
    micro = int((fraction or "0").ljust(9, "0")[:6])
    offset = timedelta(hours=int(oh), minutes=int(om)) * (-1 if sign == "-" else 1)
    return datetime(
        int(year), int(month), int(day), int(hour), int(minute), int(second), micro,
        tzinfo=timezone(offset),
    )


def metrics_json(timestamp, **figures):
    """The exact get_metrics text with the given figures, the others as on a
    fresh monitor."""
    values = {
        "total_bytes_read": "0",
        "total_bytes_written": "0",
        "read_operations": "0",
        "write_operations": "0",
        "avg_read_latency_ms": "0.00",
        "avg_write_latency_ms": "0.00",
        "read_throughput_mbps": "0.00",
        "write_throughput_mbps": "0.00",
        "compression_ratio": "0.00",
        "peak_memory_bytes": "0",
        "current_memory_bytes": "0",
        "rows_processed": "0",
        "columns_processed": "0",
        "cache_hit_rate": "0.00",
        "active_operations": "0",
        "total_errors": "0",
    }
    values.update(figures)
    lines = [f'  "{key}": {value},' for key, value in values.items()]
    lines.append(f'  "timestamp": "{timestamp}"')
    return "{\n" + "\n".join(lines) + "\n}"


def prometheus(**figures):
    values = {
        "sarn_total_bytes_read_total": "0",
        "sarn_total_bytes_written_total": "0",
        "sarn_read_operations_total": "0",
        "sarn_write_operations_total": "0",
        "sarn_avg_read_latency_ms": "0.00",
        "sarn_avg_write_latency_ms": "0.00",
        "sarn_compression_ratio_percent": "0.00",
        "sarn_current_memory_bytes": "0",
        "sarn_cache_hit_rate": "0.00",
        "sarn_total_errors": "0",
    }
    values.update(figures)
    return "".join(f"{name} {{}} {value}\n" for name, value in values.items())


@pytest.fixture
def monitor(sarn):
    return sarn.PyPerformanceMonitor()


# ------------------------------------------------------------------ exports


def test_fresh_monitor_exports(sarn):
    before = datetime.now(timezone.utc)
    m = sarn.PyPerformanceMonitor()
    after = datetime.now(timezone.utc)

    d = m.get_metrics_dict()
    assert list(d) == DICT_KEYS
    for key in DICT_KEYS[:-1]:
        assert type(d[key]) is (float if key in FLOAT_KEYS else int), key
        assert d[key] == 0, key
    stamp = d["timestamp"]
    assert type(stamp) is str
    assert before - timedelta(microseconds=1) <= parse_timestamp(stamp) <= after

    assert m.get_metrics() == metrics_json(stamp)
    assert m.export_prometheus() == prometheus()
    assert m.get_alerts() == "[]"
    assert type(m.get_alerts()) is str


def test_timestamp_uses_the_local_zone(sarn):
    old = os.environ.get("TZ")
    try:
        for tz, suffix in [("XST-05:30", "+05:30"), ("UTC0", "+00:00"), ("YST7", "-07:00")]:
            os.environ["TZ"] = tz
            time.tzset()
            m = sarn.PyPerformanceMonitor()
            stamp = m.get_metrics_dict()["timestamp"]
            assert stamp.endswith(suffix), stamp
            m.update_cache_stats(0.0)
            assert json.loads(m.get_alerts())[0]["timestamp"].endswith(suffix)
    finally:
        if old is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = old
        time.tzset()


def test_exports_after_reads(monitor):
    monitor.record_read(1000, 500.0)
    monitor.record_read(3000, 1500.0)
    d = monitor.get_metrics_dict()
    assert d["total_bytes_read"] == 4000
    assert d["read_operations"] == 2
    assert d["avg_read_latency_ms"] == 1000.0
    assert d["read_throughput_mbps"] == 0.004
    assert monitor.get_metrics() == metrics_json(
        d["timestamp"],
        total_bytes_read="4000",
        read_operations="2",
        avg_read_latency_ms="1000.00",
        read_throughput_mbps="0.00",
    )
    assert monitor.export_prometheus() == prometheus(
        sarn_total_bytes_read_total="4000",
        sarn_read_operations_total="2",
        sarn_avg_read_latency_ms="1000.00",
    )
    alerts = json.loads(monitor.get_alerts())
    assert [a["metric_value"] for a in alerts] == [1500.0]


def test_exports_of_every_figure(monitor):
    monitor.record_write(10, 5000.0)
    monitor.record_write(2_000_000, 1000.0)
    monitor.record_compression(1000, 250)
    monitor.record_rows_columns(7, 3)
    monitor.record_rows_columns(1, 1)
    monitor.update_memory(10, 5)
    monitor.update_cache_stats(0.856)
    monitor.record_error()
    d = monitor.get_metrics_dict()
    assert d["write_throughput_mbps"] == 2.00001 / 3.0
    assert (d["current_memory_bytes"], d["peak_memory_bytes"]) == (10, 10)
    assert d["cache_hit_rate"] == 0.856
    assert d["compression_ratio"] == 75.0
    assert monitor.get_metrics() == metrics_json(
        d["timestamp"],
        total_bytes_written="2000010",
        write_operations="2",
        avg_write_latency_ms="3000.00",
        write_throughput_mbps="0.67",
        compression_ratio="75.00",
        peak_memory_bytes="10",
        current_memory_bytes="10",
        rows_processed="8",
        columns_processed="4",
        cache_hit_rate="0.86",
        total_errors="1",
    )
    assert monitor.export_prometheus() == prometheus(
        sarn_total_bytes_written_total="2000010",
        sarn_write_operations_total="2",
        sarn_avg_write_latency_ms="3000.00",
        sarn_compression_ratio_percent="75.00",
        sarn_current_memory_bytes="10",
        sarn_cache_hit_rate="0.86",
        sarn_total_errors="1",
    )
    # Exports change nothing.
    assert monitor.get_metrics_dict() == d
    monitor.update_memory(3, 4)
    assert monitor.get_metrics_dict()["peak_memory_bytes"] == 4


@pytest.mark.parametrize(
    "original, compressed, text",
    [(1000, 250, "75.00"), (100, 150, "-50.00"), (0, 5, "-inf"), (0, 0, "NaN")],
)
def test_compression_ratio_renderings(monitor, original, compressed, text):
    monitor.record_compression(original, compressed)
    value = monitor.get_metrics_dict()["compression_ratio"]
    if text == "NaN":
        assert math.isnan(value)
    else:
        assert value == float(text.replace("inf", "Infinity"))
    assert f'"compression_ratio": {text},\n' in monitor.get_metrics()
    assert f"sarn_compression_ratio_percent {{}} {text}\n" in monitor.export_prometheus()


def test_infinite_throughput(monitor):
    monitor.record_read(5, 0.0)
    assert monitor.get_metrics_dict()["read_throughput_mbps"] == math.inf
    assert '"read_throughput_mbps": inf,\n' in monitor.get_metrics()


def test_dictionary_is_new_each_time(monitor):
    first = monitor.get_metrics_dict()
    first["total_errors"] = 99
    assert monitor.get_metrics_dict()["total_errors"] == 0
    assert monitor.get_metrics_dict() is not monitor.get_metrics_dict()


def test_instances_are_independent(sarn):
    a, b = sarn.PyPerformanceMonitor(), sarn.PyPerformanceMonitor()
    a.record_read(1, 2000.0)
    assert b.get_metrics_dict()["read_operations"] == 0
    assert b.get_alerts() == "[]"


# ------------------------------------------------------------------- alerts


def alert_list(monitor):
    """The alerts without their timestamps, which are checked separately."""
    alerts = json.loads(monitor.get_alerts())
    for alert in alerts:
        assert list(alert) == ["alert_type", "message", "timestamp", "metric_value", "threshold"]
        parse_timestamp(alert.pop("timestamp"))
    return alerts


@pytest.mark.parametrize(
    "call, expected",
    [
        (("record_read", 1, 1500.0), ["HighLatency", "Read operation took 1500.00ms", 1500.0, 1000.0]),
        (("record_read", 0, 1000.0), None),
        (("record_write", 10, 5000.0), None),
        (
            ("update_memory", 2_500_000_000, 0),
            ["HighMemoryUsage", "Memory usage: 2500.00MB", 2500000000.0, 1000000000.0],
        ),
        (("update_memory", 1_000_000_000, 0), None),
        (
            ("update_memory", 1_000_000_001, 0),
            ["HighMemoryUsage", "Memory usage: 1000.00MB", 1000000001.0, 1000000000.0],
        ),
        (("record_error",), ["HighErrorRate", "Error rate: inf%", None, 0.05]),
        (("update_cache_stats", 0.125), ["LowCacheHitRate", "Cache hit rate: 12.50%", 0.125, 0.3]),
        (("update_cache_stats", 0.0), ["LowCacheHitRate", "Cache hit rate: 0.00%", 0.0, 0.3]),
        (("update_cache_stats", 0.29), ["LowCacheHitRate", "Cache hit rate: 29.00%", 0.29, 0.3]),
        (("update_cache_stats", 0.3), None),
        (("update_cache_stats", math.nan), None),
        (("update_cache_stats", 1.5), None),
    ],
)
def test_alert_rules(monitor, call, expected):
    getattr(monitor, call[0])(*call[1:])
    alerts = alert_list(monitor)
    if expected is None:
        assert alerts == []
    else:
        kind, message, value, threshold = expected
        assert alerts == [
            {"alert_type": kind, "message": message, "metric_value": value, "threshold": threshold}
        ]


def test_alert_json_text_is_compact(monitor):
    monitor.record_read(1, 1500.0)
    monitor.record_error()
    text = monitor.get_alerts()
    stamps = [a["timestamp"] for a in json.loads(text)]
    assert text == (
        '[{"alert_type":"HighLatency","message":"Read operation took 1500.00ms",'
        f'"timestamp":"{stamps[0]}","metric_value":1500.0,"threshold":1000.0}},'
        '{"alert_type":"HighErrorRate","message":"Error rate: 100.00%",'
        f'"timestamp":"{stamps[1]}","metric_value":1.0,"threshold":0.05}}]'
    )
    assert parse_timestamp(stamps[0]) <= parse_timestamp(stamps[1])


def test_error_rate_threshold(monitor):
    for _ in range(100):
        monitor.record_read(1, 1.0)
    for _ in range(5):
        monitor.record_error()
    assert alert_list(monitor) == []  # 5 / 100 is not above 0.05
    monitor.record_error()
    assert alert_list(monitor) == [
        {"alert_type": "HighErrorRate", "message": "Error rate: 6.00%", "metric_value": 0.06,
         "threshold": 0.05}
    ]


def test_clear_alerts_keeps_metrics(monitor):
    monitor.record_read(1, 2000.0)
    monitor.record_read(1, 3000.0)
    assert [a["metric_value"] for a in alert_list(monitor)] == [2000.0, 3000.0]
    assert monitor.clear_alerts() is None
    assert monitor.get_alerts() == "[]"
    assert monitor.get_metrics_dict()["read_operations"] == 2


# --------------------------------------------------------- argument handling


def test_accepted_conversions(monitor):
    class Index:
        def __index__(self):
            return 7

    class Real:
        def __float__(self):
            return 2.5

    class Sub(float):
        pass

    assert monitor.record_read(bytes=2048, duration_ms=12) is None
    d = monitor.get_metrics_dict()
    assert d["avg_read_latency_ms"] == 12.0 and type(d["avg_read_latency_ms"]) is float

    monitor.record_rows_columns(Index(), True)
    monitor.update_cache_stats(Real())
    monitor.record_write(Index(), Index())  # __index__ serves as a double too
    monitor.update_memory(current=2**64 - 1, peak=Index())
    monitor.record_compression(compressed_bytes=1, original_bytes=4)
    d = monitor.get_metrics_dict()
    assert (d["rows_processed"], d["columns_processed"]) == (7, 1)
    assert d["cache_hit_rate"] == 2.5
    assert (d["total_bytes_written"], d["avg_write_latency_ms"]) == (7, 7.0)
    assert (d["current_memory_bytes"], d["peak_memory_bytes"]) == (2**64 - 1, 2**64 - 1)
    assert d["compression_ratio"] == 75.0

    monitor.update_cache_stats(Sub(0.75))
    monitor.record_write(1, math.inf)
    monitor.record_read(1, -5.0)
    d = monitor.get_metrics_dict()
    assert d["cache_hit_rate"] == 0.75
    assert d["avg_write_latency_ms"] == math.inf


def test_counters_wrap(monitor):
    monitor.record_read(2**64 - 1, 1.0)
    assert monitor.get_metrics_dict()["total_bytes_read"] == 2**64 - 1
    monitor.record_read(1, 1.0)
    assert monitor.get_metrics_dict()["total_bytes_read"] == 0
    assert '"total_bytes_read": 0,' in monitor.get_metrics()


NEW = "PyPerformanceMonitor.__new__()"
READ = "PyPerformanceMonitor.record_read()"


@pytest.mark.parametrize(
    "method, args, kwargs, error, message",
    [
        ("record_read", (-1, 1.0), {}, OverflowError, "can't convert negative int to unsigned"),
        ("record_read", (2**64, 1.0), {}, OverflowError, "int too big to convert"),
        ("record_read", (-1, "x"), {}, OverflowError, "can't convert negative int to unsigned"),
        ("record_read", (1.5, 1.0), {}, TypeError,
         "argument 'bytes': 'float' object cannot be interpreted as an integer"),
        ("record_read", ("1", 1.0), {}, TypeError,
         "argument 'bytes': 'str' object cannot be interpreted as an integer"),
        ("record_read", (1, "x"), {}, TypeError,
         "argument 'duration_ms': must be real number, not str"),
        ("record_read", (1, None), {}, TypeError,
         "argument 'duration_ms': must be real number, not NoneType"),
        ("record_read", (1, 10**400), {}, OverflowError, "int too large to convert to float"),
        ("record_read", (1,), {}, TypeError,
         f"{READ} missing 1 required positional argument: 'duration_ms'"),
        ("record_read", (), {}, TypeError,
         f"{READ} missing 2 required positional arguments: 'bytes' and 'duration_ms'"),
        ("record_read", (1, 2, 3), {}, TypeError,
         f"{READ} takes 2 positional arguments but 3 were given"),
        ("record_read", (1, 2), {"bytes": 3}, TypeError,
         f"{READ} got multiple values for argument 'bytes'"),
        ("record_read", (1, 2), {"size": 3}, TypeError,
         f"{READ} got an unexpected keyword argument 'size'"),
        ("record_write", (1, []), {}, TypeError,
         "argument 'duration_ms': must be real number, not list"),
        ("record_compression", (), {"original_bytes": 1}, TypeError,
         "PyPerformanceMonitor.record_compression() missing 1 required positional argument: "
         "'compressed_bytes'"),
        ("record_rows_columns", (1, 2.0), {}, TypeError,
         "argument 'columns': 'float' object cannot be interpreted as an integer"),
        ("update_memory", (1, -2), {}, OverflowError, "can't convert negative int to unsigned"),
        ("update_cache_stats", ("x",), {}, TypeError,
         "argument 'hit_rate': must be real number, not str"),
        ("update_cache_stats", (), {}, TypeError,
         "PyPerformanceMonitor.update_cache_stats() missing 1 required positional argument: "
         "'hit_rate'"),
        ("update_cache_stats", (0.5, 0.5), {}, TypeError,
         "PyPerformanceMonitor.update_cache_stats() takes 1 positional arguments but 2 were given"),
        ("record_error", (1,), {}, TypeError,
         "PyPerformanceMonitor.record_error() takes no arguments (1 given)"),
        ("get_metrics", (), {"x": 1}, TypeError,
         "PyPerformanceMonitor.get_metrics() takes no keyword arguments"),
        ("clear_alerts", (None,), {}, TypeError,
         "PyPerformanceMonitor.clear_alerts() takes no arguments (1 given)"),
    ],
)
def test_argument_errors(monitor, method, args, kwargs, error, message):
    monitor.record_read(1, 2000.0)
    before = monitor.get_metrics_dict()
    alerts_before = monitor.get_alerts()
    with pytest.raises(error) as info:
        getattr(monitor, method)(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert monitor.get_metrics_dict() == before  # nothing recorded
    assert monitor.get_alerts() == alerts_before


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, f"{NEW} takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, f"{NEW} takes 0 positional arguments but 2 were given"),
        ((), {"path": "x"}, f"{NEW} got an unexpected keyword argument 'path'"),
    ],
)
def test_constructor_takes_no_arguments(sarn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        sarn.PyPerformanceMonitor(*args, **kwargs)
    assert str(info.value) == message


def test_wrong_receiver_is_refused_by_the_interpreter(sarn):
    with pytest.raises(TypeError):
        sarn.PyPerformanceMonitor.record_read(object(), 1, 1.0)
    with pytest.raises(TypeError):
        sarn.PyPerformanceMonitor.get_metrics(sarn.PySarnReader("x"))


# ---------------------------------------------------------------- the class


def test_class_surface(sarn):
    cls = sarn.PyPerformanceMonitor
    assert sarn.__all__[-1] == "PyPerformanceMonitor"
    assert cls.__name__ == "PyPerformanceMonitor"
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == "Performance Monitor Python wrapper"
    assert cls.__text_signature__ == "()"
    signatures = {
        "record_read": "($self, bytes, duration_ms)",
        "record_write": "($self, bytes, duration_ms)",
        "record_compression": "($self, original_bytes, compressed_bytes)",
        "record_rows_columns": "($self, rows, columns)",
        "update_memory": "($self, current, peak)",
        "update_cache_stats": "($self, hit_rate)",
        "record_error": "($self)",
        "get_metrics": "($self)",
        "get_metrics_dict": "($self)",
        "get_alerts": "($self)",
        "clear_alerts": "($self)",
        "export_prometheus": "($self)",
    }
    declared = [name for name in vars(cls) if not name.startswith("__")]
    assert declared == list(signatures)
    for name, signature in signatures.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


# ------------------------------------------------------------------ threads


def test_shared_between_threads(sarn):
    m = sarn.PyPerformanceMonitor()
    threads_count, rounds = 8, 1500
    errors = []
    start = threading.Barrier(threads_count)

    def work(index):
        try:
            start.wait()
            for i in range(rounds):
                m.record_read(3, 2000.0 if (index == 0 and i % 100 == 0) else 10.0)
                m.record_write(5, 10.0)
                m.record_rows_columns(1, 2)
                m.update_cache_stats(0.9)
                if i % 10 == 0:
                    m.record_error()
                if i % 250 == 0:
                    json.loads(m.get_alerts())
                    m.get_metrics()
                    m.get_metrics_dict()
                    m.export_prometheus()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)

    assert errors == []
    d = m.get_metrics_dict()
    total = threads_count * rounds
    assert d["read_operations"] == total
    assert d["write_operations"] == total
    assert d["total_bytes_read"] == 3 * total
    assert d["total_bytes_written"] == 5 * total
    assert (d["rows_processed"], d["columns_processed"]) == (total, 2 * total)
    assert d["total_errors"] == total // 10
    latency = [a for a in json.loads(m.get_alerts()) if a["alert_type"] == "HighLatency"]
    assert len(latency) == rounds // 100
