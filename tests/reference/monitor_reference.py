"""A second, independent model of PyPerformanceMonitor in plain Python.

It exists to be compared with the native monitor after every call: the same
twelve methods, the same argument conversion and binding errors, the same
counters (wrapping at 2**64, or 2**32 for the two 32-bit counts), the same
IEEE double arithmetic without guards, the same alert rules and texts, and
the same four exports rendered character for character.

The one thing the model cannot know is the wall clock.  Every timestamp it
renders is the placeholder TS; instead it remembers, for the creation time
and for every alert, the clock window (nanoseconds since the epoch, read
before and after the call) in which the native timestamp must fall.
``check_timestamp`` validates such a text against its window.

Python floats are IEEE doubles and follow the same rounding; the places
where Python would refuse what the hardware does (division by zero, which
raises instead of giving an infinity or NaN) go through ``fdiv``.
"""

from __future__ import annotations

import math
import operator
import re
import time

MASK64 = (1 << 64) - 1
MASK32 = (1 << 32) - 1

TS = "<timestamp>"

CLASS_NAME = "PyPerformanceMonitor"

ALERT_KINDS = ("HighLatency", "LowThroughput", "HighMemoryUsage",
               "HighErrorRate", "LowCacheHitRate")

LATENCY_THRESHOLD_MS = 1000.0
MEMORY_THRESHOLD_BYTES = 1_000_000_000
ERROR_RATE_THRESHOLD = 0.05
CACHE_HIT_THRESHOLD = 0.3


# ---------------------------------------------------------------------------
# IEEE arithmetic
# ---------------------------------------------------------------------------

def fdiv(a: float, b: float) -> float:
    """a / b as the hardware computes it, a zero divisor included."""
    a = float(a)
    b = float(b)
    if b != 0.0 or math.isnan(b):
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
    return -math.inf if negative else math.inf


def u64_to_double(n: int) -> float:
    # float(int) rounds to nearest, ties to even, like the hardware's
    # unsigned conversion.
    return float(n & MASK64)


# ---------------------------------------------------------------------------
# Text renderings
# ---------------------------------------------------------------------------

def two_decimal(x: float) -> str:
    """Fixed notation, two digits after the point, correctly rounded with
    ties to even from the exact binary value.  NaN is "NaN" whatever its
    sign bit; infinities are "inf" / "-inf"; negative zero keeps its sign."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "-inf" if x < 0 else "inf"
    return format(x, ".2f")


def _shortest_digits(x: float) -> tuple[str, int]:
    """Shortest round-trip significant digits of |x| (x finite) and the
    decimal exponent E of the first digit."""
    r = repr(abs(x))
    if "e" in r:
        mant, exp_text = r.split("e")
        exp = int(exp_text)
    else:
        mant, exp = r, 0
    if "." in mant:
        ip, fp = mant.split(".")
    else:
        ip, fp = mant, ""
    all_digits = ip + fp
    stripped = all_digits.lstrip("0")
    lead = len(all_digits) - len(stripped)
    digits = stripped.rstrip("0")
    if not digits:
        return "0", 0
    return digits, len(ip) + exp - lead - 1


def json_number(x: float) -> str:
    if math.isnan(x) or math.isinf(x):
        return "null"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    digits, e = _shortest_digits(x)
    if -5 <= e <= 15:
        if e >= 0:
            if len(digits) <= e + 1:
                body = digits + "0" * (e + 1 - len(digits)) + ".0"
            else:
                body = digits[:e + 1] + "." + digits[e + 1:]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = digits[0]
        if len(digits) > 1:
            body += "." + digits[1:]
        body += "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


_SHORT_ESCAPES = {0x22: '\\"', 0x5C: "\\\\", 0x08: "\\b", 0x09: "\\t",
                  0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}


def json_string(text: str) -> str:
    out = bytearray(b'"')
    for byte in text.encode("utf-8", "surrogatepass"):
        if byte in _SHORT_ESCAPES:
            out += _SHORT_ESCAPES[byte].encode()
        elif byte < 0x20:
            out += b"\\u00%02x" % byte
        else:
            out.append(byte)
    out += b'"'
    return out.decode("utf-8", "surrogatepass")


# ---------------------------------------------------------------------------
# Timestamps
# ---------------------------------------------------------------------------

TIMESTAMP_RE = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{3}|\d{6}|\d{9}))?"
    r"([+-])(\d{2}):(\d{2})\Z")


def _days_from_civil(y: int, m: int, d: int) -> int:
    y -= m <= 2
    era = (y if y >= 0 else y - 399) // 400
    yoe = y - era * 400
    doy = (153 * (m + (-3 if m > 2 else 9)) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def check_timestamp(text: str, window: tuple[int, int]) -> None:
    """Raise AssertionError unless text is a local timestamp text of a
    moment inside window = (before_ns, after_ns)."""
    m = TIMESTAMP_RE.match(text)
    assert m, f"not a local timestamp text: {text!r}"
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    frac, sign, off_h, off_m = m.group(7), m.group(8), m.group(9), m.group(10)
    assert 1 <= month <= 12 and 1 <= day <= 31, text
    assert hour < 24 and minute < 60 and second < 61, text
    assert int(off_m) < 60, text
    ns = 0
    if frac is not None:
        ns = int(frac.ljust(9, "0"))
        # the shortest of the three widths that holds the value exactly
        assert ns != 0, f"zero fraction written: {text!r}"
        if len(frac) == 6:
            assert ns % 1_000_000 != 0, f"fraction could be 3 digits: {text!r}"
        if len(frac) == 9:
            assert ns % 1_000 != 0, f"fraction could be shorter: {text!r}"
    offset = (int(off_h) * 3600 + int(off_m) * 60) * (-1 if sign == "-" else 1)
    local_seconds = (_days_from_civil(year, month, day) * 86400
                     + hour * 3600 + minute * 60 + second)
    epoch_seconds = local_seconds - offset
    moment = epoch_seconds * 1_000_000_000 + ns
    before, after = window
    assert before <= moment <= after, (
        f"timestamp {text!r} ({moment}) outside the call's window "
        f"[{before}, {after}]")
    expected_offset = time.localtime(epoch_seconds).tm_gmtoff
    assert offset == expected_offset, (
        f"offset of {text!r} is {offset}s, local offset is {expected_offset}s")


# ---------------------------------------------------------------------------
# Argument binding and conversion, as the native boundary does it
# ---------------------------------------------------------------------------

U64, F64 = "u64", "f64"

METHODS = {
    # name: ((parameter, kind), ...) or None for the no-argument methods
    "record_read": (("bytes", U64), ("duration_ms", F64)),
    "record_write": (("bytes", U64), ("duration_ms", F64)),
    "record_compression": (("original_bytes", U64), ("compressed_bytes", U64)),
    "record_rows_columns": (("rows", U64), ("columns", U64)),
    "update_memory": (("current", U64), ("peak", U64)),
    "update_cache_stats": (("hit_rate", F64),),
    "record_error": None,
    "get_metrics": None,
    "get_metrics_dict": None,
    "get_alerts": None,
    "clear_alerts": None,
    "export_prometheus": None,
}


def _prefixed(name: str, err: TypeError) -> TypeError:
    """The boundary's replacement of a conversion TypeError: the argument
    name in front, the replaced error's cause kept, no context."""
    new = TypeError(f"argument '{name}': {err}")
    new.__cause__ = err.__cause__
    new.__suppress_context__ = False
    return new


def _raise_prefixed(name: str, convert, obj):
    failure = None
    try:
        return convert(obj)
    except TypeError as err:
        failure = _prefixed(name, err)
    raise failure


def _u64(obj) -> int:
    # An int (or subclass) is taken by its value, never through an
    # overridden __index__ or __int__; anything else through __index__.
    value = operator.index(obj)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value > MASK64:
        raise OverflowError("int too big to convert")
    return value


def _f64(obj) -> float:
    # The host's float conversion: a float (or subclass) as stored, else
    # __float__, else __index__.
    if isinstance(obj, float):
        return float.__float__(obj)
    tp = type(obj)
    if hasattr(tp, "__float__"):
        result = tp.__float__(obj)     # OverflowError passes unchanged
        if not isinstance(result, float):
            raise TypeError(f"{tp.__name__}.__float__ returned non-float "
                            f"(type {type(result).__name__})")
        return float.__float__(result)
    if hasattr(tp, "__index__"):
        return float(operator.index(obj))
    raise TypeError(f"must be real number, not {tp.__name__}")


def to_u64(name: str, obj) -> int:
    return _raise_prefixed(name, _u64, obj)


def to_f64(name: str, obj) -> float:
    return _raise_prefixed(name, _f64, obj)


def _plural(n: int, one: str, many: str) -> str:
    return one if n == 1 else many


def bind(full_name: str, params: tuple[str, ...], args: tuple, kwargs: dict):
    """Match arguments to parameters; every parameter is required and may
    be given by position or keyword."""
    if len(args) > len(params):
        raise TypeError(
            f"{full_name} takes {len(params)} positional arguments but "
            f"{len(args)} {_plural(len(args), 'was', 'were')} given")
    slots: list = list(args) + [None] * (len(params) - len(args))
    filled = [True] * len(args) + [False] * (len(params) - len(args))
    for key, value in kwargs.items():
        if key in params:
            i = params.index(key)
            if filled[i]:
                raise TypeError(
                    f"{full_name} got multiple values for argument '{key}'")
            slots[i], filled[i] = value, True
        else:
            raise TypeError(
                f"{full_name} got an unexpected keyword argument '{key}'")
    missing = [p for p, f in zip(params, filled) if not f]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            names = quoted[0]
        elif len(quoted) == 2:
            names = f"{quoted[0]} and {quoted[1]}"
        else:
            names = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        raise TypeError(
            f"{full_name} missing {len(missing)} required positional "
            f"{_plural(len(missing), 'argument', 'arguments')}: {names}")
    return slots


# ---------------------------------------------------------------------------
# The monitor
# ---------------------------------------------------------------------------

class Alert:
    __slots__ = ("kind", "message", "window", "metric_value", "threshold")

    def __init__(self, kind, message, window, metric_value, threshold):
        self.kind = kind
        self.message = message
        self.window = window
        self.metric_value = metric_value
        self.threshold = threshold


class MonitorModel:
    """Model of one PyPerformanceMonitor instance.

    ``window`` is the clock window of the call in progress; the driver sets
    it around each call so that alerts remember when they were raised."""

    def __init__(self, *args, window: tuple[int, int] | None = None, **kwargs):
        bind(f"{CLASS_NAME}.__new__()", (), args, kwargs)
        self.window = window
        self.created = window
        self.total_bytes_read = 0
        self.total_bytes_written = 0
        self.read_operations = 0
        self.write_operations = 0
        self.avg_read_latency_ms = 0.0
        self.avg_write_latency_ms = 0.0
        self.compression_ratio = 0.0
        self.peak_memory_bytes = 0
        self.current_memory_bytes = 0
        self.rows_processed = 0
        self.columns_processed = 0
        self.cache_hit_rate = 0.0
        self.active_operations = 0
        self.total_errors = 0
        self.alerts: list[Alert] = []

    # -- host entry: binding and conversion, then the operation --------------

    def call(self, name: str, *args, **kwargs):
        params = METHODS[name]
        if params is None:
            if kwargs:
                raise TypeError(
                    f"{CLASS_NAME}.{name}() takes no keyword arguments")
            if args:
                raise TypeError(
                    f"{CLASS_NAME}.{name}() takes no arguments "
                    f"({len(args)} given)")
            return getattr(self, name)()
        slots = bind(f"{CLASS_NAME}.{name}()", tuple(p for p, _ in params),
                     args, kwargs)
        values = []
        for (pname, kind), obj in zip(params, slots):
            values.append(to_u64(pname, obj) if kind == U64
                          else to_f64(pname, obj))
        return getattr(self, name)(*values)

    # -- alerts ----------------------------------------------------------------

    def _add_alert(self, kind: str, message: str, value: float,
                   threshold: float) -> None:
        self.alerts.append(Alert(kind, message, self.window, value, threshold))

    # -- recording operations (arguments already converted) ---------------------

    def record_read(self, nbytes: int, duration_ms: float) -> None:
        self.total_bytes_read = (self.total_bytes_read + nbytes) & MASK64
        n = self.read_operations
        self.read_operations = (n + 1) & MASK64
        self.avg_read_latency_ms = fdiv(
            u64_to_double(n) * self.avg_read_latency_ms + duration_ms,
            u64_to_double(self.read_operations))
        if duration_ms > LATENCY_THRESHOLD_MS:
            self._add_alert("HighLatency",
                            f"Read operation took {two_decimal(duration_ms)}ms",
                            duration_ms, LATENCY_THRESHOLD_MS)

    def record_write(self, nbytes: int, duration_ms: float) -> None:
        self.total_bytes_written = (self.total_bytes_written + nbytes) & MASK64
        n = self.write_operations
        self.write_operations = (n + 1) & MASK64
        self.avg_write_latency_ms = fdiv(
            u64_to_double(n) * self.avg_write_latency_ms + duration_ms,
            u64_to_double(self.write_operations))

    def record_compression(self, original: int, compressed: int) -> None:
        self.compression_ratio = (
            1.0 - fdiv(u64_to_double(compressed), u64_to_double(original))
        ) * 100.0

    def record_rows_columns(self, rows: int, columns: int) -> None:
        self.rows_processed = (self.rows_processed + rows) & MASK64
        self.columns_processed = (self.columns_processed + columns) & MASK64

    def update_memory(self, current: int, peak: int) -> None:
        self.current_memory_bytes = current
        self.peak_memory_bytes = max(current, peak)
        if current > MEMORY_THRESHOLD_BYTES:
            mb = fdiv(u64_to_double(current), 1_000_000.0)
            self._add_alert("HighMemoryUsage",
                            f"Memory usage: {two_decimal(mb)}MB",
                            u64_to_double(current),
                            float(MEMORY_THRESHOLD_BYTES))

    def update_cache_stats(self, hit_rate: float) -> None:
        self.cache_hit_rate = hit_rate
        if hit_rate < CACHE_HIT_THRESHOLD:
            self._add_alert("LowCacheHitRate",
                            f"Cache hit rate: {two_decimal(hit_rate * 100.0)}%",
                            hit_rate, CACHE_HIT_THRESHOLD)

    def record_error(self) -> None:
        self.total_errors = (self.total_errors + 1) & MASK32
        ops = (self.read_operations + self.write_operations) & MASK64
        rate = fdiv(float(self.total_errors), u64_to_double(ops))
        if rate > ERROR_RATE_THRESHOLD:
            self._add_alert("HighErrorRate",
                            f"Error rate: {two_decimal(rate * 100.0)}%",
                            rate, ERROR_RATE_THRESHOLD)

    # -- derived figures ----------------------------------------------------

    def read_throughput(self) -> float:
        if self.read_operations == 0:
            return 0.0
        return fdiv(fdiv(u64_to_double(self.total_bytes_read), 1_000_000.0),
                    fdiv(self.avg_read_latency_ms, 1000.0))

    def write_throughput(self) -> float:
        if self.write_operations == 0:
            return 0.0
        return fdiv(fdiv(u64_to_double(self.total_bytes_written), 1_000_000.0),
                    fdiv(self.avg_write_latency_ms, 1000.0))

    # -- exports ------------------------------------------------------------

    def get_metrics(self) -> str:
        rows = [
            ("total_bytes_read", str(self.total_bytes_read)),
            ("total_bytes_written", str(self.total_bytes_written)),
            ("read_operations", str(self.read_operations)),
            ("write_operations", str(self.write_operations)),
            ("avg_read_latency_ms", two_decimal(self.avg_read_latency_ms)),
            ("avg_write_latency_ms", two_decimal(self.avg_write_latency_ms)),
            ("read_throughput_mbps", two_decimal(self.read_throughput())),
            ("write_throughput_mbps", two_decimal(self.write_throughput())),
            ("compression_ratio", two_decimal(self.compression_ratio)),
            ("peak_memory_bytes", str(self.peak_memory_bytes)),
            ("current_memory_bytes", str(self.current_memory_bytes)),
            ("rows_processed", str(self.rows_processed)),
            ("columns_processed", str(self.columns_processed)),
            ("cache_hit_rate", two_decimal(self.cache_hit_rate)),
            ("active_operations", str(self.active_operations)),
            ("total_errors", str(self.total_errors)),
            ("timestamp", f'"{TS}"'),
        ]
        body = ",\n".join(f'  "{k}": {v}' for k, v in rows)
        return "{\n" + body + "\n}"

    def get_metrics_dict(self) -> dict:
        return {
            "total_bytes_read": self.total_bytes_read,
            "total_bytes_written": self.total_bytes_written,
            "read_operations": self.read_operations,
            "write_operations": self.write_operations,
            "avg_read_latency_ms": self.avg_read_latency_ms,
            "avg_write_latency_ms": self.avg_write_latency_ms,
            "read_throughput_mbps": self.read_throughput(),
            "write_throughput_mbps": self.write_throughput(),
            "compression_ratio": self.compression_ratio,
            "current_memory_bytes": self.current_memory_bytes,
            "peak_memory_bytes": self.peak_memory_bytes,
            "rows_processed": self.rows_processed,
            "columns_processed": self.columns_processed,
            "cache_hit_rate": self.cache_hit_rate,
            "active_operations": self.active_operations,
            "total_errors": self.total_errors,
            "timestamp": TS,
        }

    def get_alerts(self) -> str:
        parts = []
        for a in self.alerts:
            parts.append(
                "{" + ",".join([
                    '"alert_type":' + json_string(a.kind),
                    '"message":' + json_string(a.message),
                    '"timestamp":' + json_string(TS),
                    '"metric_value":' + json_number(a.metric_value),
                    '"threshold":' + json_number(a.threshold),
                ]) + "}")
        return "[" + ",".join(parts) + "]"

    def clear_alerts(self) -> None:
        self.alerts.clear()

    def export_prometheus(self) -> str:
        lines = [
            ("sarn_total_bytes_read_total", str(self.total_bytes_read)),
            ("sarn_total_bytes_written_total", str(self.total_bytes_written)),
            ("sarn_read_operations_total", str(self.read_operations)),
            ("sarn_write_operations_total", str(self.write_operations)),
            ("sarn_avg_read_latency_ms", two_decimal(self.avg_read_latency_ms)),
            ("sarn_avg_write_latency_ms",
             two_decimal(self.avg_write_latency_ms)),
            ("sarn_compression_ratio_percent",
             two_decimal(self.compression_ratio)),
            ("sarn_current_memory_bytes", str(self.current_memory_bytes)),
            ("sarn_cache_hit_rate", two_decimal(self.cache_hit_rate)),
            ("sarn_total_errors", str(self.total_errors)),
        ]
        return "".join(f"{name} {{}} {value}\n" for name, value in lines)
