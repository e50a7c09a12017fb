#include "sarn_fileformat/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

namespace sarn::py {

// ---------------------------------------------------------------- failures

HostError HostError::from(const common::Error& e) {
    return {e.kind == common::ErrorKind::Value ? PyExc_ValueError : PyExc_OSError, e.message};
}

PyObject* raise(const HostError& e) {
    Ref msg(PyUnicode_FromStringAndSize(e.message.data(), static_cast<Py_ssize_t>(e.message.size())));
    if (!msg) {
        // A message that is not valid UTF-8 (an OS text in a foreign locale)
        // is still shown, with the undecodable bytes escaped.
        PyErr_Clear();
        msg =
            Ref(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "backslashreplace"));
        if (!msg) return nullptr;
    }
    // The value is a str, so the interpreter builds the instance lazily from
    // that single argument: OSError(msg) has errno and strerror None.
    PyErr_SetObject(e.type, msg.get());
    return nullptr;
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("sarn_fileformat.PanicException",
                                         "An internal fault of the sarn_fileformat module.\n\n"
                                         "Raised when an invariant of the module breaks; it derives from\n"
                                         "BaseException so that ordinary `except Exception` handlers do not\n"
                                         "hide it.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(const char* message) {
    std::fprintf(stderr, "sarn_fileformat: internal fault: %s\n", message);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (!type) return;  // the interpreter's error from creating it stays set
    Ref msg(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "backslashreplace"));
    if (!msg) return;
    PyErr_SetObject(type, msg.get());
}

}  // namespace

void raise_current_fault() noexcept {
    try {
        try {
            throw;
        } catch (const ResultNotCreated&) {
            // The interpreter's own error is already set; it is what the
            // caller sees.  Without one the policy's promise is broken.
            if (!PyErr_Occurred()) raise_panic("result not created, yet no error set");
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("unknown internal fault");
        }
    } catch (...) {
        abort_at_boundary();
    }
}

// ---------------------------------------------------------------- binding

namespace detail {

std::string SignatureView::full_name() const {
    std::string name;
    if (class_name) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

namespace {

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool too_many_positional(const SignatureView& sig, Py_ssize_t given) {
    // "arguments" stays plural even for one parameter, as the messages of
    // this module always have.
    return type_error(sig.full_name() + " takes " + std::to_string(sig.count) + " positional arguments but " +
                      std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

// The keyword's text for a message; non-UTF-8 names are shown escaped.
std::string keyword_text(PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    Ref repr(PyObject_Repr(name));
    const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

// Places one keyword argument; returns false with TypeError set.
bool bind_keyword(const SignatureView& sig, PyObject* name, PyObject* value, PyObject** slots) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        int eq = PyUnicode_Check(name) ? PyUnicode_CompareWithASCIIString(name, sig.params[i].name) : 1;
        if (eq != 0) continue;
        if (slots[i]) {
            return type_error(sig.full_name() + " got multiple values for argument '" + keyword_text(name) + "'");
        }
        slots[i] = value;
        return true;
    }
    return type_error(sig.full_name() + " got an unexpected keyword argument '" + keyword_text(name) + "'");
}

bool check_missing(const SignatureView& sig, PyObject** slots) {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (!slots[i]) missing.push_back(sig.params[i].name);
    }
    if (missing.empty()) return true;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    return type_error(sig.full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
                      (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

bool place_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** slots) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
                return false;
            }
        }
    }
    return check_missing(sig, slots);
}

bool place_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, slots)) return false;
        }
    }
    return check_missing(sig, slots);
}

}  // namespace detail

// ------------------------------------------------------------ conversions

namespace {

// The object's type's qualified name, as `type(o).__qualname__` reports it.
std::string type_qualname(PyObject* obj) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return text;
}

// If a TypeError is pending, replaces it with a TypeError whose message is
// "argument '<name>': " followed by the old message, keeping the old cause.
void prefix_type_error(const char* param_name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref old_type(type), old_value(value), old_tb(tb);

    std::string message = std::string("argument '") + param_name + "': ";
    Ref text(old_value ? PyObject_Str(old_value.get()) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) PyErr_Clear();
    message += utf8 ? utf8 : "";

    Ref cause(old_value ? PyException_GetCause(old_value.get()) : nullptr);
    Ref msg(PyUnicode_FromString(message.c_str()));
    if (!msg) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    if (!replacement) return;
    if (cause) PyException_SetCause(replacement.get(), cause.release());  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// A str argument as UTF-8 text.  On failure sets the error (prefixed with the
// argument name when it is a TypeError) and returns nullopt.
std::optional<std::string> extract_text(PyObject* obj, const char* param_name) {
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        ("'" + type_qualname(obj) + "' object cannot be converted to 'PyString'").c_str());
        prefix_type_error(param_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) {
        // A lone surrogate has no UTF-8 form: the UnicodeEncodeError passes
        // through unchanged (a TypeError would get the argument prefix).
        prefix_type_error(param_name);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// An int (or an object with __index__) as an unsigned 64-bit value.
// OverflowError passes through unchanged; TypeError gets the argument prefix.
std::optional<std::uint64_t> extract_u64(PyObject* obj, const char* param_name) {
    Ref index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(param_name);
        return std::nullopt;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(param_name);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

// A float (or anything float() accepts) as a double, with the same rules.
std::optional<double> extract_f64(PyObject* obj, const char* param_name) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        prefix_type_error(param_name);
        return std::nullopt;
    }
    return v;
}

template <class T>
bool store(std::optional<T> value, ArgValue& out) {
    if (!value) return false;
    out = std::move(*value);
    return true;
}

}  // namespace

namespace detail {

bool convert(const SignatureView& sig, PyObject* const* slots, ArgValue* out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        bool ok = false;
        switch (p.kind) {
            case ParamKind::Text: ok = store(extract_text(slots[i], p.name), out[i]); break;
            case ParamKind::U64: ok = store(extract_u64(slots[i], p.name), out[i]); break;
            case ParamKind::F64: ok = store(extract_f64(slots[i], p.name), out[i]); break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace detail

bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (self && PyObject_TypeCheck(self, type)) return true;
    std::string message = "'" + (self ? type_qualname(self) : std::string("NoneType")) +
                          "' object cannot be converted to '" + class_name + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// ---------------------------------------------------------------- results

namespace {

Ref created(PyObject* obj) {
    if (!obj) throw ResultNotCreated{};
    return Ref(obj);
}

}  // namespace

Ref to_py(std::uint64_t v) { return created(PyLong_FromUnsignedLongLong(v)); }

Ref to_py(double v) { return created(PyFloat_FromDouble(v)); }

Ref to_py(std::string_view text) {
    return created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace detail {

Ref new_tuple(std::size_t size) { return created(PyTuple_New(static_cast<Py_ssize_t>(size))); }

}  // namespace detail

// ---------------------------------------------------------------- classes

PyTypeObject* heap_type(PyTypeObject*& cache, PyType_Spec& layout, const char* class_name) {
    if (cache) return cache;
    PyObject* type = PyType_FromSpec(&layout);
    if (!type) {
        PyErr_Clear();
        throw InternalFault(std::string("failed to create type object for ") + class_name);
    }
    cache = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    return cache;
}

}  // namespace sarn::py
