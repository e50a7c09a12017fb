// The boundary between the interpreter and the core.
//
// Every Python-callable entry of the module goes through this layer: binding
// the call's arguments to the declared parameters and converting them,
// checking the receiver of a method, building results, raising failures and
// guarding against internal faults.  Parameter lists are data (a Signature
// of typed Params), so each entry point states its parameters once, gets
// them bound and converted in one call and gets the exact messages for free.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

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
    // Takes the new reference before the old one is dropped: dropping it may
    // run arbitrary Python code (a __del__), which must find this Ref already
    // holding its new value.  Safe for self-assignment.
    Ref& operator=(Ref&& o) noexcept {
        Ref old(std::move(o));
        std::swap(p_, old.p_);
        return *this;  // `old` now holds the previous reference and drops it
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

// The policy for a result object the interpreter could not create (it is out
// of memory): the error the interpreter set is what the caller sees, as for
// any other allocation that fails inside the module.  The result builders
// throw this so that a half-built result unwinds, dropping every reference
// taken so far; the entry's guard leaves the interpreter's error in place.
struct ResultNotCreated {};

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

// Converts the exception in flight into a raised error: ResultNotCreated
// keeps the interpreter's own error, exhausted memory becomes MemoryError,
// anything else PanicException.  Never lets anything escape: a fault while
// converting ends the process.
void raise_current_fault() noexcept;

// ----------------------------------------------------------- parameters

// What a parameter is converted to once bound.
enum class ParamKind {
    Text,  // a str, as UTF-8 text
    U64,  // an int (or an object with __index__), as an unsigned 64-bit value
    F64,  // a float (or anything float() accepts), as a double
};

struct Param {
    const char* name;
    ParamKind kind;
};

constexpr Param text_param(const char* name) { return {name, ParamKind::Text}; }
constexpr Param u64_param(const char* name) { return {name, ParamKind::U64}; }
constexpr Param f64_param(const char* name) { return {name, ParamKind::F64}; }

// What a callable declares about its parameters.  Every parameter of this
// module is required and may be passed by position or by keyword.
template <std::size_t N>
struct Signature {
    const char* class_name;  // nullptr for module functions
    const char* function_name;
    std::array<Param, N> params;
};

// The table's size is the number of parameters listed, so the slots and the
// converted arguments of a call can never be sized apart from it.
template <class... Params>
constexpr Signature<sizeof...(Params)> signature(const char* class_name, const char* function_name, Params... params) {
    static_assert((std::is_same_v<Params, Param> && ...), "a signature lists Params");
    return {class_name, function_name, {params...}};
}

// One converted argument; empty until converted.
using ArgValue = std::variant<std::monostate, std::string, std::uint64_t, double>;

// The converted arguments of one call, one per parameter of its Signature.
// Reading one as another kind than declared is an internal fault.
template <std::size_t N>
class Args {
public:
    const std::string& text(std::size_t i) const { return get<std::string>(i); }
    std::uint64_t u64(std::size_t i) const { return get<std::uint64_t>(i); }
    double f64(std::size_t i) const { return get<double>(i); }

    std::array<ArgValue, N> values;

private:
    template <class T>
    const T& get(std::size_t i) const {
        const T* v = i < N ? std::get_if<T>(&values[i]) : nullptr;
        if (!v) throw InternalFault("argument read as another kind than declared");
        return *v;
    }
};

// The converted arguments for a call of `sig`, still empty.
template <std::size_t N>
Args<N> args_for(const Signature<N>&) {
    return {};
}

// Binds a vectorcall (argument array, positional count with flags, keyword
// names) to the parameters, then runs `before_conversion` (a receiver check
// that must come first; returns false with an error set), then converts the
// arguments in parameter order.  Returns false with the error set at the
// first failure: TypeError for a bad call, a conversion's own error
// otherwise.
template <std::size_t N, class BeforeConversion>
bool bind_vectorcall(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args<N>& out,
                     BeforeConversion&& before_conversion);

template <std::size_t N>
bool bind_vectorcall(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                     Args<N>& out) {
    return bind_vectorcall(sig, args, nargsf, kwnames, out, [] { return true; });
}

// Binds and converts a constructor call (argument tuple and keyword dict,
// either may be null) the same way.
template <std::size_t N>
bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Args<N>& out);

// Checks that `self` is an instance of `type` (or of a subclass); otherwise
// raises TypeError "'<type>' object cannot be converted to '<class>'".
bool check_receiver(PyObject* self, PyTypeObject* type, const char* class_name);

// ------------------------------------------------------------- results

// New references to result objects; each throws ResultNotCreated when the
// interpreter cannot create the object.
Ref to_py(std::uint64_t v);
Ref to_py(double v);
Ref to_py(std::string_view text);

// A tuple of the given items, which it takes over.  When the tuple cannot be
// created the items are dropped with it, so nothing leaks; and as each item
// is a Ref, an item whose creation threw drops the ones built before it.
template <class... Items>
Ref make_tuple(Items... items);

// --------------------------------------------------------------- classes

// The class object that `layout` describes, created on first use and kept in `cache` for
// the life of the process; returns a borrowed reference.  A class that cannot
// be created is an internal fault.
PyTypeObject* heap_type(PyTypeObject*& cache, PyType_Spec& layout, const char* class_name);

// ------------------------------------------------------- implementation

namespace detail {

// The parameter table without its compile-time size, for the shared code.
struct SignatureView {
    const char* class_name;
    const char* function_name;
    const Param* params;
    Py_ssize_t count;

    // "compress_csv()" or "PySarnWriter.write_csv()".
    std::string full_name() const;
};

template <std::size_t N>
SignatureView view(const Signature<N>& sig) {
    return {sig.class_name, sig.function_name, sig.params.data(), static_cast<Py_ssize_t>(N)};
}

// One borrowed slot per parameter; false with TypeError set.
bool place_vectorcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** slots);
bool place_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converts the bound slots in parameter order; false with the error set.
bool convert(const SignatureView& sig, PyObject* const* slots, ArgValue* out);

Ref new_tuple(std::size_t size);

}  // namespace detail

template <std::size_t N, class BeforeConversion>
bool bind_vectorcall(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args<N>& out,
                     BeforeConversion&& before_conversion) {
    std::array<PyObject*, N> slots{};
    const detail::SignatureView v = detail::view(sig);
    if (!detail::place_vectorcall(v, args, nargsf, kwnames, slots.data())) return false;
    if (!before_conversion()) return false;
    return detail::convert(v, slots.data(), out.values.data());
}

template <std::size_t N>
bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Args<N>& out) {
    std::array<PyObject*, N> slots{};
    const detail::SignatureView v = detail::view(sig);
    if (!detail::place_tuple(v, args, kwargs, slots.data())) return false;
    return detail::convert(v, slots.data(), out.values.data());
}

template <class... Items>
Ref make_tuple(Items... items) {
    static_assert((std::is_same_v<Items, Ref> && ...), "tuple items are owned references");
    Ref tuple = detail::new_tuple(sizeof...(Items));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
    return tuple;
}

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
