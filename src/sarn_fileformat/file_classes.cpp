// get_sarn_info, PySarnReader and PySarnWriter: the light information calls.
//
// None of them decodes a container: they open the named file, take its
// length from the file system and return it beside fixed version figures.
#include <new>

#include "sarn_fileformat/module.hpp"
#include "common/file_io.hpp"
#include "common/version.hpp"

namespace sarn::py {

namespace {

// Figures and message prefixes of the information calls, frozen for
// compatibility: callers of the module compare against them.
constexpr const char* MODULE_VERSION = SARN_VERSION;
constexpr double STATS_RATIO = 64.8;
constexpr const char* STATS_VERSION = "SARN v" SARN_VERSION;

constexpr const char* OPEN_FILE_PREFIX = "Failed to open file: ";
constexpr const char* OPEN_SARN_PREFIX = "Failed to open SARN file: ";

// The length of the file at `path`, read from the open file's metadata.
// The file is opened afresh on every call and closed before returning.
common::Result<std::uint64_t> probe_size(const std::string& path, const char* open_prefix) {
    auto file = common::open_for_reading(path);
    if (!file) return common::Error::io(open_prefix + file.error().message);
    auto length = common::file_length(*file);
    if (!length) return common::Error::io("Failed to read metadata: " + length.error().message);
    return length.value();
}

// (length, the package version, 0): the answer of get_info and get_sarn_info.
PyObject* info_tuple(const std::string& path) {
    auto size = probe_size(path, OPEN_SARN_PREFIX);
    if (!size) return raise(HostError::from(size.error()));
    return make_tuple(to_py(*size), to_py(MODULE_VERSION), to_py(std::uint64_t{0})).release();
}

// Instances of both classes hold only their path.
struct PathObject {
    PyObject_HEAD std::string path;
};

PyObject* path_object_new(PyTypeObject* type, const Signature<1>& sig, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto a = args_for(sig);
        if (!bind_tuple(sig, args, kwargs, a)) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&reinterpret_cast<PathObject*>(self)->path) std::string(a.text(0));
        return self;
    });
}

void path_object_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PathObject*>(self)->path.~basic_string();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

const std::string& path_of(PyObject* self) { return reinterpret_cast<PathObject*>(self)->path; }

// ---------------------------------------------------------- get_sarn_info

constexpr auto GET_SARN_INFO_SIG = signature(nullptr, "get_sarn_info", text_param("sarn_path"));

PyObject* get_sarn_info(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = args_for(GET_SARN_INFO_SIG);
        if (!bind_vectorcall(GET_SARN_INFO_SIG, args, nargsf, kwnames, a)) return nullptr;
        return info_tuple(a.text(0));
    });
}

// ----------------------------------------------------------- PySarnReader

constexpr auto READER_NEW_SIG = signature("PySarnReader", "__new__", text_param("path"));

PyTypeObject* reader_type_cache = nullptr;

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return path_object_new(type, READER_NEW_SIG, args, kwargs);
}

PyObject* reader_read_file(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, reader_type_cache, "PySarnReader")) return nullptr;
        auto size = probe_size(path_of(self), OPEN_FILE_PREFIX);
        if (!size) return raise(HostError::from(size.error()));
        return make_tuple(to_py(*size), to_py(MODULE_VERSION)).release();
    });
}

PyObject* reader_get_compression_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, reader_type_cache, "PySarnReader")) return nullptr;
        // The probe only proves the file can be opened; its size is unused.
        auto size = probe_size(path_of(self), OPEN_FILE_PREFIX);
        if (!size) return raise(HostError::from(size.error()));
        return make_tuple(to_py(STATS_RATIO), to_py(STATS_VERSION)).release();
    });
}

PyMethodDef reader_methods[] = {
    {"read_file", reader_read_file, METH_NOARGS, "read_file($self)\n--\n\n"},
    {"get_compression_stats", reader_get_compression_stats, METH_NOARGS, "get_compression_stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path_object_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>("PySarnReader(path)\n--\n\nSarnReader Python wrapper")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.PySarnReader", static_cast<int>(sizeof(PathObject)), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

// ----------------------------------------------------------- PySarnWriter

constexpr auto WRITER_NEW_SIG = signature("PySarnWriter", "__new__", text_param("path"));

PyTypeObject* writer_type_cache = nullptr;

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return path_object_new(type, WRITER_NEW_SIG, args, kwargs);
}

PyObject* writer_get_info(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, writer_type_cache, "PySarnWriter")) return nullptr;
        return info_tuple(path_of(self));
    });
}

PyMethodDef writer_methods[] = {
    {"write_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_write_csv)),
     METH_FASTCALL | METH_KEYWORDS, "write_csv($self, csv_path)\n--\n\n"},
    {"get_info", writer_get_info, METH_NOARGS, "get_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path_object_dealloc)},
    {Py_tp_methods, writer_methods},
    {Py_tp_doc, const_cast<char*>("PySarnWriter(path)\n--\n\nSarnWriter Python wrapper")},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "builtins.PySarnWriter", static_cast<int>(sizeof(PathObject)), 0, Py_TPFLAGS_DEFAULT, writer_slots,
};

}  // namespace

PyMethodDef get_sarn_info_def = {
    "get_sarn_info",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_sarn_info)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_sarn_info(sarn_path)\n--\n\nGet SARN file information",
};

PyTypeObject* sarn_reader_type() { return heap_type(reader_type_cache, reader_spec, "PySarnReader"); }

PyTypeObject* sarn_writer_type() { return heap_type(writer_type_cache, writer_spec, "PySarnWriter"); }

const std::string& sarn_writer_path(PyObject* self) { return path_of(self); }

}  // namespace sarn::py
