"""PyPerformanceMonitor compared with the plain Python model in
tests/reference/monitor_reference.py.

Every call goes to both; results and raised exceptions must agree, and after
every call all four exports are compared: the JSON text and the Prometheus
text character for character, the dictionary entry by entry (key order,
exact value types, doubles bit for bit with any NaN equal to any NaN), and
the alert list with its timestamps masked.  The timestamps themselves are
checked for form and for lying inside the clock window of the call that
stamped them.
"""

from __future__ import annotations

import math
import os
import pathlib
import random
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "reference"))

import monitor_reference as ref  # noqa: E402

MAX64 = (1 << 64) - 1
TIMESTAMP_JSON = '"timestamp": "'
ALERT_TIMESTAMP = '"timestamp":"'


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_double(a: float, b: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def up(x: float) -> float:
    return math.nextafter(x, math.inf)


def down(x: float) -> float:
    return math.nextafter(x, -math.inf)


def describe(exc):
    """An exception's type, message and cause, for comparison."""
    if exc is None:
        return None
    return (type(exc), str(exc), describe(exc.__cause__))


def _mask(text: str, marker: str) -> tuple[str, list[str]]:
    """Replace every quoted timestamp after marker by the model's
    placeholder; return the masked text and the timestamps found."""
    out, found, pos = [], [], 0
    while True:
        i = text.find(marker, pos)
        if i < 0:
            out.append(text[pos:])
            return "".join(out), found
        start = i + len(marker)
        end = text.index('"', start)
        out.append(text[pos:start] + ref.TS)
        found.append(text[start:end])
        pos = end


class Pair:
    """One native monitor and its model, driven in lockstep."""

    def __init__(self, sarn):
        self.sarn = sarn
        window = [time.time_ns(), None]
        self.native = sarn.PyPerformanceMonitor()
        window[1] = time.time_ns()
        self.model = ref.MonitorModel(window=window)
        self.created_text = None
        self.log: list[str] = []

    def do(self, name: str, *args, **kwargs):
        self.log.append(f"{name}{args!r}{kwargs!r}")
        window = [time.time_ns(), None]
        self.model.window = window
        native_exc = model_exc = None
        native_result = model_result = None
        try:
            native_result = getattr(self.native, name)(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - compared below
            native_exc = exc
        window[1] = time.time_ns()
        try:
            model_result = self.model.call(name, *args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            model_exc = exc
        where = " -> ".join(self.log)
        if native_exc or model_exc:
            assert describe(native_exc) == describe(model_exc), where
        elif name in ("get_metrics", "get_metrics_dict", "get_alerts",
                      "export_prometheus"):
            self._compare_export(name, native_result, model_result, where)
        else:
            assert native_result is None and model_result is None, where
        self.check(where)
        return native_result

    def _creation(self, text: str, where: str) -> None:
        if self.created_text is None:
            ref.check_timestamp(text, self.model.created)
            self.created_text = text
        assert text == self.created_text, where

    def _compare_export(self, name, native, model, where):
        if name == "get_metrics":
            assert type(native) is str, where
            masked, stamps = _mask(native, TIMESTAMP_JSON)
            assert len(stamps) == 1, where
            self._creation(stamps[0], where)
            assert masked == model, where
        elif name == "get_metrics_dict":
            assert type(native) is dict, where
            assert list(native) == list(model), where
            for key, mval in model.items():
                nval = native[key]
                assert type(nval) is type(mval), (key, where)
                if key == "timestamp":
                    self._creation(nval, where)
                elif type(mval) is float:
                    assert same_double(nval, mval), (key, nval, mval, where)
                else:
                    assert nval == mval, (key, where)
        elif name == "get_alerts":
            assert type(native) is str, where
            masked, stamps = _mask(native, ALERT_TIMESTAMP)
            assert len(stamps) == len(self.model.alerts), where
            for stamp, alert in zip(stamps, self.model.alerts):
                ref.check_timestamp(stamp, tuple(alert.window))
            assert masked == model, (masked, model, where)
        else:
            assert type(native) is str, where
            assert native == model, where

    def check(self, where: str = "") -> None:
        for name in ("get_metrics", "get_metrics_dict", "get_alerts",
                     "export_prometheus"):
            self._compare_export(name, getattr(self.native, name)(),
                                 getattr(self.model, name)(), where)


@pytest.fixture
def pair(sarn):
    return lambda: Pair(sarn)


# ---------------------------------------------------------------------------
# The model's own footing: known outputs, written out as literal texts
# ---------------------------------------------------------------------------

FRESH_JSON = """{
  "total_bytes_read": 0,
  "total_bytes_written": 0,
  "read_operations": 0,
  "write_operations": 0,
  "avg_read_latency_ms": 0.00,
  "avg_write_latency_ms": 0.00,
  "read_throughput_mbps": 0.00,
  "write_throughput_mbps": 0.00,
  "compression_ratio": 0.00,
  "peak_memory_bytes": 0,
  "current_memory_bytes": 0,
  "rows_processed": 0,
  "columns_processed": 0,
  "cache_hit_rate": 0.00,
  "active_operations": 0,
  "total_errors": 0,
  "timestamp": "<timestamp>"
}"""

FRESH_PROMETHEUS = """sarn_total_bytes_read_total {} 0
sarn_total_bytes_written_total {} 0
sarn_read_operations_total {} 0
sarn_write_operations_total {} 0
sarn_avg_read_latency_ms {} 0.00
sarn_avg_write_latency_ms {} 0.00
sarn_compression_ratio_percent {} 0.00
sarn_current_memory_bytes {} 0
sarn_cache_hit_rate {} 0.00
sarn_total_errors {} 0
"""


def test_model_renders_the_known_texts():
    m = ref.MonitorModel()
    assert m.get_metrics() == FRESH_JSON
    assert m.export_prometheus() == FRESH_PROMETHEUS
    assert m.get_alerts() == "[]"

    m.record_read(1000, 500.0)
    m.record_read(3000, 1500.0)
    d = m.get_metrics_dict()
    assert (d["total_bytes_read"], d["read_operations"]) == (4000, 2)
    assert d["avg_read_latency_ms"] == 1000.0
    assert d["read_throughput_mbps"] == 0.004
    assert '"avg_read_latency_ms": 1000.00,' in m.get_metrics()
    assert '"read_throughput_mbps": 0.00,' in m.get_metrics()
    assert "sarn_avg_read_latency_ms {} 1000.00\n" in m.export_prometheus()
    assert m.get_alerts() == (
        '[{"alert_type":"HighLatency","message":"Read operation took 1500.00ms",'
        '"timestamp":"<timestamp>","metric_value":1500.0,"threshold":1000.0}]')

    m = ref.MonitorModel()
    m.update_memory(2_500_000_000, 0)
    m.record_error()
    m.update_cache_stats(0.125)
    assert m.get_alerts() == (
        '[{"alert_type":"HighMemoryUsage","message":"Memory usage: 2500.00MB",'
        '"timestamp":"<timestamp>","metric_value":2500000000.0,'
        '"threshold":1000000000.0},'
        '{"alert_type":"HighErrorRate","message":"Error rate: inf%",'
        '"timestamp":"<timestamp>","metric_value":null,"threshold":0.05},'
        '{"alert_type":"LowCacheHitRate","message":"Cache hit rate: 12.50%",'
        '"timestamp":"<timestamp>","metric_value":0.125,"threshold":0.3}]')


@pytest.mark.parametrize("value, text", [
    (0.0, "0.0"), (-0.0, "-0.0"), (1000.0, "1000.0"),
    (1e9, "1000000000.0"), (0.05, "0.05"), (0.00001, "0.00001"),
    (1500.25, "1500.25"), (1e16, "1e+16"), (1.5e-7, "1.5e-7"),
    (2.5e21, "2.5e+21"), (1e15, "1000000000000000.0"),
    (123456789012345.6, "123456789012345.6"), (9.99999e-6, "9.99999e-6"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-2.5e-5, "-0.000025"), (0.1, "0.1"), (1 / 3, "0.3333333333333333"),
    (math.nan, "null"), (-math.nan, "null"), (math.inf, "null"),
    (-math.inf, "null"),
])
def test_model_json_numbers(value, text):
    assert ref.json_number(value) == text


@pytest.mark.parametrize("value, text", [
    (1000.5, "1000.50"), (0.125, "0.12"), (0.375, "0.38"), (-0.0, "-0.00"),
    (2.675, "2.67"), (math.nan, "NaN"), (-math.nan, "NaN"),
    (math.inf, "inf"), (-math.inf, "-inf"), (1e22, "10000000000000000000000.00"),
])
def test_model_two_decimal(value, text):
    assert ref.two_decimal(value) == text


def test_model_string_escapes():
    assert ref.json_string('a"b\\c\b\t\n\f\r\x01\x1f\x7fé') == \
        '"a\\"b\\\\c\\b\\t\\n\\f\\r\\u0001\\u001f\x7fé"'


# ---------------------------------------------------------------------------
# Native against model: call sequences through each rule and edge
# ---------------------------------------------------------------------------

EDGE_SEQUENCES = [
    [],
    [("record_read", 1000, 500.0), ("record_read", 3000, 1500.0)],
    [("record_read", 0, 1000.0)],
    [("record_write", 10, 5000.0)],
    [("record_compression", 1000, 250), ("record_compression", 100, 150),
     ("record_compression", 0, 0), ("record_compression", 0, 7)],
    [("update_memory", 10, 5), ("update_memory", 3, 4)],
    [("update_memory", 1_000_000_000, 0), ("update_memory", 1_000_000_001, 0),
     ("update_memory", 2_500_000_000, 0)],
    [("update_cache_stats", 0.3), ("update_cache_stats", 0.29),
     ("update_cache_stats", 1.5), ("update_cache_stats", 0.856),
     ("update_cache_stats", 0.125), ("update_cache_stats", 0.0),
     ("update_cache_stats", math.nan)],
    [("record_error",)],
    [("record_read", 1, 1.0)] * 100 + [("record_error",)] * 7,
    [("record_read", 1, 2000.0), ("record_read", 1, 3000.0),
     ("clear_alerts",), ("get_alerts",)],
    [("record_read", 5, 0.0)],
    [("record_read", MAX64, 1.0), ("record_read", 1, 1.0)],
    [("record_rows_columns", 7, 3), ("record_rows_columns", MAX64, MAX64)],
]


@pytest.mark.parametrize("sequence", EDGE_SEQUENCES,
                         ids=lambda s: "+".join(sorted({c[0] for c in s})) or "fresh")
def test_edge_sequences(pair, sequence):
    p = pair()
    p.check("fresh")
    for name, *args in sequence:
        p.do(name, *args)


def test_argument_conversions(pair):
    p = pair()
    assert p.do("record_read", bytes=2048, duration_ms=12) is None
    assert type(p.native.get_metrics_dict()["avg_read_latency_ms"]) is float
    for call in [("record_read", -1, 1.0), ("record_read", 1.5, 1.0),
                 ("update_cache_stats", "x"), ("record_error", 1)]:
        with pytest.raises((OverflowError, TypeError)):
            getattr(p.native, call[0])(*call[1:])
        p.do(*call)


# ---------------------------------------------------------------------------
# Native against model: hard values
# ---------------------------------------------------------------------------

SUBNORMAL = 5e-324
HARD_DOUBLES = [
    0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, SUBNORMAL,
    -SUBNORMAL, 2.2250738585072014e-308, down(2.2250738585072014e-308),
    1.7976931348623157e308, -1.7976931348623157e308,
    float(2**53 - 1), float(2**53), float(2**53 + 2), 2.0**63, 2.0**64,
    1000.0, up(1000.0), down(1000.0), 1000.005, 1000.0049999999999,
    0.3, up(0.3), down(0.3), 0.29, 0.125, 0.005, 0.015, 0.025, 0.045,
    1.005, 2.675, -0.001, -0.005, -1.5, -1e300, 1e16, 1e-5, 1e-6, 1e22,
    1.5, 1e300, 0.1, 12.345, 99.995, 4.35, 1e-320,
]
HARD_INTS = [
    0, 1, 2, 999_999_999, 1_000_000_000, 1_000_000_001, 1_000_000_002,
    2_500_000_000, 2**32 - 1, 2**32, 2**53 - 1, 2**53, 2**53 + 1,
    2**53 + 3, 2**63 - 1, 2**63, 2**63 + 1, 2**64 - 2, MAX64,
    10**19, 1_000_000_500_000_000, 12_345_678_901_234_567,
]


@pytest.mark.parametrize("op", ["record_read", "record_write"])
def test_hard_latencies(pair, op):
    for warm in (0, 1, 3):
        for value in HARD_DOUBLES:
            p = pair()
            for i in range(warm):
                p.do(op, 100 * (i + 1), 7.5 * (i + 1))
            p.do(op, 1_000_000, value)
            p.do(op, 3, 2.0)
            p.do(op, 0, value)


def test_hard_byte_counts(pair):
    for value in HARD_INTS:
        p = pair()
        for op in ("record_read", "record_write"):
            p.do(op, value, 0.5)
            p.do(op, value, 250.0)
            p.do(op, MAX64, 1.0)
        p.do("record_rows_columns", value, MAX64 - value)
        p.do("record_rows_columns", value, 1)


def test_hard_compression(pair):
    p = pair()
    for a in HARD_INTS:
        for b in HARD_INTS:
            p.do("record_compression", a, b)


def test_hard_memory(pair):
    p = pair()
    for a in HARD_INTS:
        for b in (0, a - 1 if a else 0, a + 1 if a < MAX64 else a, MAX64):
            p.do("update_memory", a, b)


def test_hard_cache_rates(pair):
    p = pair()
    for value in HARD_DOUBLES + [-0.3, 0.2999999999999999, 0.30000000000000004]:
        p.do("update_cache_stats", value)
        p.do("update_cache_stats", -value)


@pytest.mark.parametrize("ops", [0, 1, 2, 19, 20, 21, 39, 40, 41, 99, 100, 101,
                                 119, 120, 121, 1000])
def test_error_rate_around_threshold(pair, ops):
    p = pair()
    for i in range(ops):
        p.do("record_read" if i % 3 else "record_write", 1, 1.0)
    for _ in range(max(3, ops // 20 + 3)):
        p.do("record_error")


def test_negative_zero_mean_latency(pair):
    # -5e-324 / 2 rounds to -0.0, so the mean becomes a negative zero and
    # the throughput divides by it.
    for first_bytes in (0, 10):
        p = pair()
        p.do("record_read", first_bytes, -SUBNORMAL)
        p.do("record_read", 0, 0.0)
        p.do("record_write", first_bytes, -SUBNORMAL)
        p.do("record_write", 0, 0.0)


# ---------------------------------------------------------------------------
# Native against model: argument binding and conversion
# ---------------------------------------------------------------------------

class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floatable:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class BadFloat:
    def __float__(self):
        return "not a float"


class FloatSub(float):
    def __float__(self):
        return 99.0


class IntSub(int):
    pass


class WeirdInt(int):
    def __index__(self):
        return 99

    def __int__(self):
        return 98

    def __float__(self):
        return 97.0


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class IndexReturnsText:
    def __index__(self):
        return "7"


def chained_type_error():
    err = TypeError("inner")
    err.__cause__ = KeyError("why")
    return err


ODD_ARGUMENTS = [
    True, False, IntSub(5), WeirdInt(5), Indexable(7), Indexable(-1), Indexable(2**64),
    Floatable(2.5), Floatable(math.inf), BadFloat(), FloatSub(0.25),
    1.5, "3", b"3", None, [], 2**64, -1, -(2**70), 10**400, 2**64 - 1,
    RaisingFloat(TypeError("no float")), RaisingFloat(ValueError("bad float")),
    RaisingFloat(chained_type_error()), RaisingIndex(TypeError("no index")),
    RaisingIndex(ValueError("bad index")), RaisingIndex(chained_type_error()),
    IndexReturnsText(),
]


def test_argument_conversion(pair):
    p = pair()
    for name, params in ref.METHODS.items():
        if params is None:
            p.do(name, 1)
            p.do(name, x=1)
            continue
        good = [1] * len(params)
        for i in range(len(params)):
            for odd in ODD_ARGUMENTS:
                args = list(good)
                args[i] = odd
                p.do(name, *args)
                p.do(name, **{pn: a for (pn, _), a in zip(params, args)})
        for odd in ODD_ARGUMENTS[::3]:
            for other in ODD_ARGUMENTS[1::4]:
                p.do(name, *([odd, other] + good)[:len(params)])
        names = [pn for pn, _ in params]
        p.do(name)
        p.do(name, *good, 1)
        p.do(name, *good, **{names[0]: 1})
        p.do(name, *good[1:], bogus=2)
        p.do(name, **{names[-1]: 3})
        p.do(name, **dict(zip(reversed(names), good)))


def test_constructor_arguments(sarn):
    for args, kwargs in [((1,), {}), ((), {"x": 1}), ((1, 2), {})]:
        with pytest.raises(TypeError) as native:
            sarn.PyPerformanceMonitor(*args, **kwargs)
        with pytest.raises(TypeError) as model:
            ref.MonitorModel(*args, **kwargs)
        assert str(native.value) == str(model.value)


# ---------------------------------------------------------------------------
# Native against model: seeded random sequences
# ---------------------------------------------------------------------------

def random_double(rng: random.Random) -> float:
    kind = rng.randrange(8)
    if kind == 0:
        return rng.choice(HARD_DOUBLES)
    if kind == 1:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if kind == 2:
        return rng.uniform(-10, 2000)
    if kind == 3:
        return round(rng.uniform(0, 1), rng.randrange(1, 4))
    if kind == 4:
        return rng.choice([up, down])(rng.choice([1000.0, 0.3, 0.0]))
    if kind == 5:
        return rng.randrange(4000) / 4   # exact quarters: ties in rounding
    if kind == 6:
        return rng.randrange(200_000) / 1000 + 0.005
    return rng.expovariate(1 / 800)


def random_int(rng: random.Random) -> int:
    kind = rng.randrange(5)
    if kind == 0:
        return rng.choice(HARD_INTS)
    if kind == 1:
        return rng.getrandbits(rng.randrange(1, 65))
    if kind == 2:
        return rng.randrange(1_000_000_000 - 3, 1_000_000_000 + 3)
    if kind == 3:
        return MAX64 - rng.randrange(10)
    return rng.randrange(100_000)


def random_argument(rng, kind):
    if rng.random() < 0.03:
        return rng.choice(ODD_ARGUMENTS)
    value = random_int(rng) if kind == ref.U64 else random_double(rng)
    if kind == ref.F64 and rng.random() < 0.05:
        return random_int(rng)       # an int where a double is expected
    return value


def run_random_sequences(make_pair, seed: int, count: int) -> None:
    rng = random.Random(seed)
    names = list(ref.METHODS)
    weights = [6, 4, 2, 2, 3, 3, 4, 1, 1, 1, 1, 1]
    for _ in range(count):
        p = make_pair()
        for _ in range(rng.randrange(5, 60)):
            name = rng.choices(names, weights)[0]
            params = ref.METHODS[name]
            if params is None:
                p.do(name)
                continue
            args = [random_argument(rng, kind) for _, kind in params]
            if rng.random() < 0.2:
                p.do(name, **{pn: a for (pn, _), a in zip(params, args)})
            else:
                p.do(name, *args)


def test_random_sequences(pair):
    run_random_sequences(pair, 20261210, 1000)


# ---------------------------------------------------------------------------
# Timestamps in other time zones
# ---------------------------------------------------------------------------

TZ_SCRIPT = r"""
import sys, time
sys.path.insert(0, {refdir!r})
import monitor_reference as ref
import sarn_fileformat
w0 = time.time_ns()
m = sarn_fileformat.PyPerformanceMonitor()
w1 = time.time_ns()
created = m.get_metrics_dict()["timestamp"]
ref.check_timestamp(created, (w0, w1))
a0 = time.time_ns()
m.record_read(1, 5000.0)
a1 = time.time_ns()
alerts = m.get_alerts()
stamp = alerts.split('"timestamp":"')[1].split('"')[0]
ref.check_timestamp(stamp, (a0, a1))
print(created[-6:], stamp[-6:])
"""


@pytest.mark.parametrize("tz, offset", [
    ("UTC0", "+00:00"), ("<+0530>-5:30", "+05:30"), ("<-0330>3:30", "-03:30"),
    ("<-00>0", "+00:00"), ("<+1345>-13:45", "+13:45"),
])
def test_timestamp_offsets(tz, offset):
    script = TZ_SCRIPT.format(refdir=str(pathlib.Path(ref.__file__).parent))
    env = dict(os.environ, TZ=tz)
    done = subprocess.run([sys.executable, "-c", script], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [offset, offset]


# ---------------------------------------------------------------------------
# Number texts over the whole double range, in bulk
# ---------------------------------------------------------------------------

def test_number_texts_over_all_exponents(sarn):
    """Thousands of alerts and exports whose numbers cover every binary
    exponent, subnormals and values near rounding ties included: the alert
    messages carry two-decimal texts, the alert JSON the shortest
    round-trip numbers, the Prometheus text the stored hit rate."""
    rng = random.Random(7)
    native = sarn.PyPerformanceMonitor()
    model = ref.MonitorModel()
    native_lines, model_lines = [], []
    for i in range(6000):
        if i % 3 == 0:
            mantissa = rng.getrandbits(52)
        elif i % 3 == 1:
            mantissa = rng.getrandbits(rng.randrange(1, 8)) << rng.randrange(45)
        else:
            mantissa = (1 << 52) - 1 - rng.getrandbits(4)
        exponent = rng.randrange(0, 2047)
        value = struct.unpack("<d", struct.pack("<Q", (exponent << 52) | mantissa))[0]
        native.update_cache_stats(-value)
        model.call("update_cache_stats", -value)
        native.record_read(1, value)
        model.call("record_read", 1, value)
        native_lines.append(native.export_prometheus())
        model_lines.append(model.export_prometheus())
        quarter = rng.randrange(-4_000_000, 4_000_000) / 8   # exact ties
        native.update_cache_stats(quarter / 100)
        model.call("update_cache_stats", quarter / 100)
        native.record_read(1, quarter + 1000)
        model.call("record_read", 1, quarter + 1000)
    assert native_lines == model_lines
    masked, stamps = _mask(native.get_alerts(), ALERT_TIMESTAMP)
    assert len(stamps) == len(model.alerts) > 10000
    assert masked == model.get_alerts()


REENTRANT_SCRIPT = r"""
import sys
sys.path.insert(0, {refdir!r})
import monitor_reference as ref
import sarn_fileformat

class Reentrant:
    # A double argument whose conversion drives the same monitor.
    def __init__(self, call):
        self.call = call
    def __float__(self):
        self.call("record_read", 7, 2500.0)
        self.call("record_error")
        return 1500.0

native = sarn_fileformat.PyPerformanceMonitor()
model = ref.MonitorModel()
native_call = lambda name, *a: getattr(native, name)(*a)
native.record_read(1, Reentrant(native_call))
model.call("record_read", 1, Reentrant(model.call))
assert native.export_prometheus() == model.export_prometheus()
assert native.get_metrics_dict()["avg_read_latency_ms"] == \
    model.get_metrics_dict()["avg_read_latency_ms"]
print(native.get_alerts().count("alert_type"), len(model.alerts))
"""


def test_argument_conversion_may_call_back_into_the_monitor():
    # Run apart: a monitor lock held while converting would hang here.
    script = REENTRANT_SCRIPT.format(refdir=str(pathlib.Path(ref.__file__).parent))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["3", "3"]
