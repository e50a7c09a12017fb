// Module initialisation: the module object, its attributes in their fixed
// order (each also listed in __all__), its functions and its classes.
#include <atomic>

#include "sarn_fileformat/module.hpp"
#include "common/version.hpp"

namespace sarn::py {

namespace {

// The module's attributes.  Their texts are frozen: callers of
// sarn_fileformat read them, and they stay what the module has always said.
constexpr const char* VERSION = SARN_VERSION;
constexpr const char* MODULE_DOC =
    "Sarn Binary Format - Complete 8-language ecosystem for efficient data storage and "
    "querying\n\nVersion " SARN_VERSION ": Full Python bindings with compression and reading support";
constexpr const char* AUTHOR = "The sarn_fileformat developers";

// m_size 0 (not -1): a re-import after removal from sys.modules then calls
// the init function again, which hands back the very same module object
// instead of a copy of its dict.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sarn_fileformat", "Sarn Python module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute.  Steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!owned) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return false;
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        throw InternalFault("could not append __name__ to __all__");
    }
    return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name(PyUnicode_FromString("sarn_fileformat"));
    if (!module_name) return false;
    return add(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.get()));
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (!type) return false;
    Py_INCREF(type);
    return add(module, name, reinterpret_cast<PyObject*>(type));
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "sarn_fileformat does not support sub-interpreters: it was already "
                        "initialised in another interpreter of this process");
        return nullptr;
    }

    if (the_module) {
        Py_INCREF(the_module);
        return the_module;
    }

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* m = module.get();
    if (!add(m, "__version__", PyUnicode_FromString(VERSION))) return nullptr;
    if (!add(m, "__doc__", PyUnicode_FromString(MODULE_DOC))) return nullptr;
    if (!add(m, "__author__", PyUnicode_FromString(AUTHOR))) return nullptr;
    if (!add_function(m, &compress_csv_def)) return nullptr;
    if (!add_function(m, &get_sarn_info_def)) return nullptr;
    if (!add_type(m, "PySarnWriter", sarn_writer_type())) return nullptr;
    if (!add_type(m, "PySarnReader", sarn_reader_type())) return nullptr;
    if (!add_type(m, "PyPerformanceMonitor", performance_monitor_type())) return nullptr;

    the_module = module.release();
    Py_INCREF(the_module);  // one reference kept for later imports
    return the_module;
}

}  // namespace

}  // namespace sarn::py

PyMODINIT_FUNC PyInit_sarn_fileformat() {
    return sarn::py::guarded([] { return sarn::py::init(); });
}
