#include "sarnio_native/errors.hpp"

#include <cstring>
#include <new>
#include <string>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace sarn::sarnio {

namespace {

// A message as Python text: bytes that are not UTF-8 (a file name in a
// foreign encoding, an OS text in another locale) shown escaped.
nb::object message_text(const std::string& message) {
    PyObject* s = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace");
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

void raise_as(PyObject* type, const std::string& message) { PyErr_SetObject(type, message_text(message).ptr()); }

void raise_os_error(const common::Error& e) {
    if (e.errnum == 0) return raise_as(PyExc_OSError, e.message);
    nb::object filename = nb::none();
    if (!e.path.empty()) {
        // Decoded as os.fsdecode does, so that the name reopens the file.
        PyObject* name = PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
        if (!name) throw nb::python_error();
        filename = nb::steal(name);
    }
    nb::object error =
        nb::steal(PyObject_CallFunction(PyExc_OSError, "isO", e.errnum, std::strerror(e.errnum), filename.ptr()));
    if (!error.is_valid()) throw nb::python_error();
    // OSError(errno, ...) has already become its subclass (FileNotFoundError, ...).
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

nb::object sarnio_exception(const char* module, const char* name) { return nb::module_::import_(module).attr(name); }

}  // namespace

void set_python_error(const common::Error& e) {
    try {
        switch (e.kind) {
            case common::ErrorKind::Io: return raise_os_error(e);
            case common::ErrorKind::Value: return raise_as(PyExc_ValueError, e.message);
            case common::ErrorKind::Input:
                return raise_as(sarnio_exception("sarnio._errors", "SarnError").ptr(), e.message);
            case common::ErrorKind::Format:
                return raise_as(sarnio_exception("sarnio._read_errors", "SarnFormatError").ptr(), e.message);
            case common::ErrorKind::Cancelled: return raise_as(PyExc_RuntimeError, e.message);
            case common::ErrorKind::Memory: return raise_as(PyExc_MemoryError, e.message);
        }
        raise_as(PyExc_RuntimeError, e.message);
    } catch (nb::python_error& pending) {
        pending.restore();  // building the exception failed: that error stands
    }
}

void register_failure_translator() {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Failure& f) {
            set_python_error(f.error());
        } catch (const std::bad_alloc&) {
            // Also when the allocation failed outside the core (a vector of
            // the binding, a thread's start): Python's own MemoryError.
            PyErr_SetString(PyExc_MemoryError, "out of memory");
        }
    });
}

}  // namespace sarn::sarnio
