// PyPerformanceMonitor: the host class around one PerformanceMonitor.
//
// The methods only convert arguments and results; all figures, alerts and
// locking live in the monitor.  No monitor lock is held while the
// interpreter runs: arguments are converted before the operation (their
// __index__ or __float__ may run Python code) and result objects are built
// from texts and copies after it.
#include <memory>

#include "monitoring/monitor.hpp"
#include "sarn_fileformat/module.hpp"

namespace sarn::py {

namespace {

using monitoring::PerformanceMetrics;
using monitoring::PerformanceMonitor;

constexpr const char* CLASS_NAME = "PyPerformanceMonitor";

struct MonitorObject {
    PyObject_HEAD PerformanceMonitor* monitor;  // owned; null only if construction failed
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

// -------------------------------------------------------- constructor

constexpr auto NEW_SIG = signature(CLASS_NAME, "__new__");

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto none = args_for(NEW_SIG);
        if (!bind_tuple(NEW_SIG, args, kwargs, none)) return nullptr;
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

// Binds the arguments of a recording method, checks the receiver, converts
// the arguments, then runs `op` on the monitor with them.  Conversion
// follows the parameter order and stops at the first failure, before the
// monitor is touched.
template <std::size_t N, class Op>
PyObject* record(const Signature<N>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                 Op op) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = nullptr;
        auto a = args_for(sig);
        const bool bound = bind_vectorcall(sig, args, nargsf, kwnames, a, [&] {
            monitor = monitor_of(self);
            return monitor != nullptr;
        });
        if (!bound) return nullptr;
        op(*monitor, a);
        Py_RETURN_NONE;
    });
}

constexpr auto RECORD_READ_SIG = signature(CLASS_NAME, "record_read", u64_param("bytes"), f64_param("duration_ms"));
constexpr auto RECORD_WRITE_SIG = signature(CLASS_NAME, "record_write", u64_param("bytes"), f64_param("duration_ms"));
constexpr auto RECORD_COMPRESSION_SIG =
    signature(CLASS_NAME, "record_compression", u64_param("original_bytes"), u64_param("compressed_bytes"));
constexpr auto RECORD_ROWS_COLUMNS_SIG =
    signature(CLASS_NAME, "record_rows_columns", u64_param("rows"), u64_param("columns"));
constexpr auto UPDATE_MEMORY_SIG = signature(CLASS_NAME, "update_memory", u64_param("current"), u64_param("peak"));
constexpr auto UPDATE_CACHE_STATS_SIG = signature(CLASS_NAME, "update_cache_stats", f64_param("hit_rate"));

PyObject* record_read(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(RECORD_READ_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.record_read(a.u64(0), a.f64(1)); });
}

PyObject* record_write(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(RECORD_WRITE_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.record_write(a.u64(0), a.f64(1)); });
}

PyObject* record_compression(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(RECORD_COMPRESSION_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.record_compression(a.u64(0), a.u64(1)); });
}

PyObject* record_rows_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(RECORD_ROWS_COLUMNS_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.record_rows_columns(a.u64(0), a.u64(1)); });
}

PyObject* update_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(UPDATE_MEMORY_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.update_memory(a.u64(0), a.u64(1)); });
}

PyObject* update_cache_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return record(UPDATE_CACHE_STATS_SIG, self, args, nargsf, kwnames,
                  [](PerformanceMonitor& m, const auto& a) { m.update_cache_stats(a.f64(0)); });
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
        return to_py(monitor->metrics_json()).release();
    });
}

// Sets d[key] = value; a failure is the interpreter's own error (memory),
// under the same policy as a result object that cannot be created.
void set_item(PyObject* dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict, key, value.get()) != 0) throw ResultNotCreated{};
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

        // A failure part-way drops the dictionary: no partial result.
        Ref dict(PyDict_New());
        if (!dict) throw ResultNotCreated{};
        PyObject* d = dict.get();
        // Current memory precedes peak memory here, unlike the JSON text.
        set_item(d, "total_bytes_read", to_py(m.total_bytes_read));
        set_item(d, "total_bytes_written", to_py(m.total_bytes_written));
        set_item(d, "read_operations", to_py(m.read_operations));
        set_item(d, "write_operations", to_py(m.write_operations));
        set_item(d, "avg_read_latency_ms", to_py(m.avg_read_latency_ms));
        set_item(d, "avg_write_latency_ms", to_py(m.avg_write_latency_ms));
        set_item(d, "read_throughput_mbps", to_py(read_mbps));
        set_item(d, "write_throughput_mbps", to_py(write_mbps));
        set_item(d, "compression_ratio", to_py(m.compression_ratio));
        set_item(d, "current_memory_bytes", to_py(m.current_memory_bytes));
        set_item(d, "peak_memory_bytes", to_py(m.peak_memory_bytes));
        set_item(d, "rows_processed", to_py(m.rows_processed));
        set_item(d, "columns_processed", to_py(m.columns_processed));
        set_item(d, "cache_hit_rate", to_py(m.cache_hit_rate));
        set_item(d, "active_operations", to_py(std::uint64_t{m.active_operations}));
        set_item(d, "total_errors", to_py(std::uint64_t{m.total_errors}));
        set_item(d, "timestamp", to_py(m.timestamp));
        return dict.release();
    });
}

PyObject* get_alerts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PerformanceMonitor* monitor = monitor_of(self);
        if (!monitor) return nullptr;
        return to_py(monitor->alerts_json()).release();
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
        return to_py(monitor->prometheus_text()).release();
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
    {"record_write", fastcall(record_write), KEYWORDS, "record_write($self, bytes, duration_ms)\n--\n\n"},
    {"record_compression", fastcall(record_compression), KEYWORDS,
     "record_compression($self, original_bytes, compressed_bytes)\n--\n\n"},
    {"record_rows_columns", fastcall(record_rows_columns), KEYWORDS,
     "record_rows_columns($self, rows, columns)\n--\n\n"},
    {"update_memory", fastcall(update_memory), KEYWORDS, "update_memory($self, current, peak)\n--\n\n"},
    {"update_cache_stats", fastcall(update_cache_stats), KEYWORDS, "update_cache_stats($self, hit_rate)\n--\n\n"},
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
    {Py_tp_doc, const_cast<char*>("PyPerformanceMonitor()\n--\n\nPerformance Monitor Python wrapper")},
    {0, nullptr},
};

PyType_Spec monitor_spec = {
    "builtins.PyPerformanceMonitor", static_cast<int>(sizeof(MonitorObject)), 0, Py_TPFLAGS_DEFAULT, monitor_slots,
};

}  // namespace

PyTypeObject* performance_monitor_type() { return heap_type(monitor_type_cache, monitor_spec, CLASS_NAME); }

}  // namespace sarn::py
