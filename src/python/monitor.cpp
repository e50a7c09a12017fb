// PyPerformanceMonitor: the host class around one PerformanceMonitor.
//
// The methods only convert arguments and results; all figures, alerts and
// locking live in the monitor.  No monitor lock is held while the
// interpreter runs: arguments are converted before the operation (their
// __index__ or __float__ may run Python code) and result objects are built
// from texts and copies after it.
#include <memory>

#include "monitoring/monitor.hpp"
#include "python/module.hpp"

namespace sarn::py {

namespace {

using monitoring::PerformanceMetrics;
using monitoring::PerformanceMonitor;

constexpr const char* CLASS_NAME = "PyPerformanceMonitor";

struct MonitorObject {
    PyObject_HEAD
    PerformanceMonitor* monitor;  // owned; null only if construction failed
};

PyTypeObject* monitor_type_cache = nullptr;

// The monitor behind `self`, or nullptr with TypeError set when `self` is
// not a PyPerformanceMonitor.
PerformanceMonitor* monitor_of(PyObject* self) {
    if (!check_receiver(self, monitor_type_cache, CLASS_NAME)) return nullptr;
    PerformanceMonitor* monitor = reinterpret_cast<MonitorObject*>(self)->monitor;
    if (!monitor) throw InternalFault("PyPerformanceMonitor instance without a monitor");
    return monitor;
}

// Result texts.  A failure to build one is the interpreter's own error
// (memory), passed on as is.
PyObject* new_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// -------------------------------------------------------- constructor

constexpr std::array<const char*, 0> NO_PARAMS{};
constexpr Signature NEW_SIG = make_signature(CLASS_NAME, "__new__", NO_PARAMS);

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_tuple(NEW_SIG, args, kwargs, slots)) return nullptr;
        auto monitor = std::make_unique<PerformanceMonitor>();
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        reinterpret_cast<MonitorObject*>(self)->monitor = monitor.release();
        return self;
    });
}

void monitor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<MonitorObject*>(self)->monitor;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// -------------------------------------------------- recording methods

// Binds and converts the arguments of a recording method, then runs `op`
// on the monitor with them.  Conversion follows the parameter order and
// stops at the first failure, before the monitor is touched.
template <class Op>
PyObject* record(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, Op op) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_vectorcall(sig, args, nargsf, kwnames, slots)) return nullptr;
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        if (!op(*monitor, slots)) return nullptr;
        Py_RETURN_NONE;
    });
}

constexpr std::array<const char*, 2> BYTES_DURATION{"bytes", "duration_ms"};
constexpr std::array<const char*, 2> ORIGINAL_COMPRESSED{"original_bytes", "compressed_bytes"};
constexpr std::array<const char*, 2> ROWS_COLUMNS{"rows", "columns"};
constexpr std::array<const char*, 2> CURRENT_PEAK{"current", "peak"};
constexpr std::array<const char*, 1> HIT_RATE{"hit_rate"};

constexpr Signature RECORD_READ_SIG = make_signature(CLASS_NAME, "record_read", BYTES_DURATION);
constexpr Signature RECORD_WRITE_SIG = make_signature(CLASS_NAME, "record_write", BYTES_DURATION);
constexpr Signature RECORD_COMPRESSION_SIG =
    make_signature(CLASS_NAME, "record_compression", ORIGINAL_COMPRESSED);
constexpr Signature RECORD_ROWS_COLUMNS_SIG =
    make_signature(CLASS_NAME, "record_rows_columns", ROWS_COLUMNS);
constexpr Signature UPDATE_MEMORY_SIG = make_signature(CLASS_NAME, "update_memory", CURRENT_PEAK);
constexpr Signature UPDATE_CACHE_STATS_SIG =
    make_signature(CLASS_NAME, "update_cache_stats", HIT_RATE);

// Two unsigned 64-bit parameters, as named in `sig`.
template <class Apply>
bool two_u64(const Signature& sig, PyObject** slots, Apply apply) {
    auto first = extract_u64(slots[0], sig.params[0]);
    if (!first) return false;
    auto second = extract_u64(slots[1], sig.params[1]);
    if (!second) return false;
    apply(*first, *second);
    return true;
}

PyObject* record_read(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(RECORD_READ_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      auto bytes = extract_u64(slots[0], "bytes");
                      if (!bytes) return false;
                      auto duration = extract_f64(slots[1], "duration_ms");
                      if (!duration) return false;
                      m.record_read(*bytes, *duration);
                      return true;
                  });
}

PyObject* record_write(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return record(RECORD_WRITE_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      auto bytes = extract_u64(slots[0], "bytes");
                      if (!bytes) return false;
                      auto duration = extract_f64(slots[1], "duration_ms");
                      if (!duration) return false;
                      m.record_write(*bytes, *duration);
                      return true;
                  });
}

PyObject* record_compression(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
    return record(RECORD_COMPRESSION_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      return two_u64(RECORD_COMPRESSION_SIG, slots,
                                     [&](std::uint64_t original, std::uint64_t compressed) {
                                         m.record_compression(original, compressed);
                                     });
                  });
}

PyObject* record_rows_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return record(RECORD_ROWS_COLUMNS_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      return two_u64(RECORD_ROWS_COLUMNS_SIG, slots,
                                     [&](std::uint64_t rows, std::uint64_t columns) {
                                         m.record_rows_columns(rows, columns);
                                     });
                  });
}

PyObject* update_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return record(UPDATE_MEMORY_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      return two_u64(UPDATE_MEMORY_SIG, slots,
                                     [&](std::uint64_t current, std::uint64_t peak) {
                                         m.update_memory(current, peak);
                                     });
                  });
}

PyObject* update_cache_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
    return record(UPDATE_CACHE_STATS_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, PyObject** slots) {
                      auto rate = extract_f64(slots[0], "hit_rate");
                      if (!rate) return false;
                      m.update_cache_stats(*rate);
                      return true;
                  });
}

// ---------------------------------------------- methods without arguments

PyObject* record_error(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        monitor->record_error();
        Py_RETURN_NONE;
    });
}

PyObject* get_metrics(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        return new_str(monitor->metrics_json());
    });
}

// Sets d[key] = value, stealing `value`; false with the error set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* get_metrics_dict(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        // The copy is taken under the metrics lock; the dictionary is built
        // without it.
        const PerformanceMetrics m = monitor->snapshot();
        const double read_mbps = monitoring::read_throughput_mbps(m);
        const double write_mbps = monitoring::write_throughput_mbps(m);

        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        auto u64 = [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); };
        auto f64 = [](double v) { return PyFloat_FromDouble(v); };
        // Current memory precedes peak memory here, unlike the JSON text.
        const bool ok = set_item(d, "total_bytes_read", u64(m.total_bytes_read)) &&
                        set_item(d, "total_bytes_written", u64(m.total_bytes_written)) &&
                        set_item(d, "read_operations", u64(m.read_operations)) &&
                        set_item(d, "write_operations", u64(m.write_operations)) &&
                        set_item(d, "avg_read_latency_ms", f64(m.avg_read_latency_ms)) &&
                        set_item(d, "avg_write_latency_ms", f64(m.avg_write_latency_ms)) &&
                        set_item(d, "read_throughput_mbps", f64(read_mbps)) &&
                        set_item(d, "write_throughput_mbps", f64(write_mbps)) &&
                        set_item(d, "compression_ratio", f64(m.compression_ratio)) &&
                        set_item(d, "current_memory_bytes", u64(m.current_memory_bytes)) &&
                        set_item(d, "peak_memory_bytes", u64(m.peak_memory_bytes)) &&
                        set_item(d, "rows_processed", u64(m.rows_processed)) &&
                        set_item(d, "columns_processed", u64(m.columns_processed)) &&
                        set_item(d, "cache_hit_rate", f64(m.cache_hit_rate)) &&
                        set_item(d, "active_operations", u64(m.active_operations)) &&
                        set_item(d, "total_errors", u64(m.total_errors)) &&
                        set_item(d, "timestamp", new_str(m.timestamp));
        if (!ok) return nullptr;  // no partial dictionary
        return dict.release();
    });
}

PyObject* get_alerts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        return new_str(monitor->alerts_json());
    });
}

PyObject* clear_alerts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        monitor->clear_alerts();
        Py_RETURN_NONE;
    });
}

PyObject* export_prometheus(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        return new_str(monitor->prometheus_text());
    });
}

// ------------------------------------------------------------ the type

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// Each doc is only the text signature, so __doc__ is None.
PyMethodDef monitor_methods[] = {
    {"record_read", fastcall(record_read), KEYWORDS, "record_read($self, bytes, duration_ms)\n--\n\n"},
    {"record_write", fastcall(record_write), KEYWORDS,
     "record_write($self, bytes, duration_ms)\n--\n\n"},
    {"record_compression", fastcall(record_compression), KEYWORDS,
     "record_compression($self, original_bytes, compressed_bytes)\n--\n\n"},
    {"record_rows_columns", fastcall(record_rows_columns), KEYWORDS,
     "record_rows_columns($self, rows, columns)\n--\n\n"},
    {"update_memory", fastcall(update_memory), KEYWORDS,
     "update_memory($self, current, peak)\n--\n\n"},
    {"update_cache_stats", fastcall(update_cache_stats), KEYWORDS,
     "update_cache_stats($self, hit_rate)\n--\n\n"},
    {"record_error", record_error, METH_NOARGS, "record_error($self)\n--\n\n"},
    {"get_metrics", get_metrics, METH_NOARGS, "get_metrics($self)\n--\n\n"},
    {"get_metrics_dict", get_metrics_dict, METH_NOARGS, "get_metrics_dict($self)\n--\n\n"},
    {"get_alerts", get_alerts, METH_NOARGS, "get_alerts($self)\n--\n\n"},
    {"clear_alerts", clear_alerts, METH_NOARGS, "clear_alerts($self)\n--\n\n"},
    {"export_prometheus", export_prometheus, METH_NOARGS, "export_prometheus($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_methods, monitor_methods},
    {Py_tp_doc,
     const_cast<char*>("PyPerformanceMonitor()\n--\n\nPerformance Monitor Python wrapper")},
    {0, nullptr},
};

PyType_Spec monitor_spec = {
    "builtins.PyPerformanceMonitor",
    static_cast<int>(sizeof(MonitorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    monitor_slots,
};

}  // namespace

PyTypeObject* performance_monitor_type() {
    if (monitor_type_cache) return monitor_type_cache;
    PyObject* type = PyType_FromSpec(&monitor_spec);
    if (!type) {
        PyErr_Clear();
        throw InternalFault("failed to create type object for PyPerformanceMonitor");
    }
    monitor_type_cache = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    return monitor_type_cache;
}

}  // namespace sarn::py
