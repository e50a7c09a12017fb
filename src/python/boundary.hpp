// The boundary between the interpreter and the core.
//
// Every Python-callable entry of the module goes through this layer: binding
// the call's arguments to the declared parameters, converting them, checking
// the receiver of a method, raising failures and guarding against internal
// faults.  Parameter lists are data (a Signature), so each entry point only
// declares its parameters and gets the exact messages for free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace sarn::py {

// ---------------------------------------------------------------- references

// Owning reference to a Python object; releases it when dropped.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------ failure values

// The failure of a module operation: the exception type to raise and its
// single message.  Nothing is created in the interpreter until raise() runs.
struct HostError {
    PyObject* type;  // a borrowed built-in exception type, e.g. PyExc_OSError
    std::string message;

    static HostError io(std::string message) { return {PyExc_OSError, std::move(message)}; }
    static HostError from(const common::Error& e);
};

// Sets the interpreter's error indicator from `e`; always returns nullptr.
PyObject* raise(const HostError& e);

// A broken internal invariant.  Thrown inside an operation, it is caught by
// the entry's guard and raised as PanicException.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The exception type for internal faults, derived from BaseException so that
// `except Exception` does not swallow it.  Created once, on first need.
PyObject* panic_exception_type();

// Runs `body` (returning a new reference, or nullptr with an error set) so
// that no C++ exception escapes into the interpreter: an escaping exception
// is reported on standard error and raised as PanicException.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

// Same for slots that return an int (-1 on failure).
template <class Body>
int guarded_int(Body&& body) noexcept;

// Converts the exception in flight into a raised PanicException (or
// MemoryError for exhausted memory).  Never lets anything escape: a fault
// while converting ends the process.
void raise_current_fault() noexcept;

// ----------------------------------------------------------- binding

// What a callable declares about its parameters.  Every parameter of this
// module is required and may be passed by position or by keyword.
struct Signature {
    const char* class_name;  // nullptr for module functions
    const char* function_name;
    const char* const* params;
    Py_ssize_t count;

    // "compress_csv()" or "PySarnWriter.write_csv()".
    std::string full_name() const;
};

template <std::size_t N>
constexpr Signature make_signature(const char* cls, const char* fn,
                                   const std::array<const char*, N>& params) {
    return Signature{cls, fn, params.data(), static_cast<Py_ssize_t>(N)};
}

// Binds a vectorcall (argument array, positional count with flags, keyword
// names) to one borrowed slot per parameter.  Returns false with TypeError set.
bool bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** slots);

// Binds a constructor call (argument tuple and keyword dict, either may be
// null) the same way.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// ------------------------------------------------------- conversions

// The object's type's qualified name, as `type(o).__qualname__` reports it.
std::string type_qualname(PyObject* obj);

// A str argument as UTF-8 text.  On failure sets the error (prefixed with the
// argument name when it is a TypeError) and returns nullopt.
std::optional<std::string> extract_text(PyObject* obj, const char* param_name);

// An int (or an object with __index__) as an unsigned 64-bit value.
// OverflowError passes through unchanged; TypeError gets the argument prefix.
std::optional<std::uint64_t> extract_u64(PyObject* obj, const char* param_name);

// A float (or anything float() accepts) as a double, with the same rules.
std::optional<double> extract_f64(PyObject* obj, const char* param_name);

// If a TypeError is pending, replaces it with a TypeError whose message is
// "argument '<name>': " followed by the old message, keeping the old cause.
void prefix_type_error(const char* param_name);

// Checks that `self` is an instance of `type` (or of a subclass); otherwise
// raises TypeError "'<type>' object cannot be converted to '<class>'".
bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name);

// Results.  Each returns a new reference or throws InternalFault.
PyObject* to_py(std::uint64_t v);
PyObject* to_py(double v);
PyObject* to_py(std::string_view text);
PyObject* make_tuple(std::initializer_list<PyObject*> owned_items);

// ------------------------------------------------------- implementation

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_fault();
        return nullptr;
    }
}

template <class Body>
int guarded_int(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_fault();
        return -1;
    }
}

}  // namespace sarn::py
