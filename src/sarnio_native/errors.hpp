// How a failure of the core reaches Python from sarnio._native: one C++
// exception that carries the core's Error, and one translator that raises
// the Python exception its kind stands for.
//
//   Io         OSError(errno, strerror, filename) when the errno is known, so
//              that CPython picks the subclass (FileNotFoundError, ...);
//              OSError(message) otherwise
//   Value      ValueError(message)
//   Input      sarnio.SarnError(message): the CSV input is not readable
//   Format     sarnio.SarnFormatError(message): a damaged container
//   Cancelled  RuntimeError(message)
//   Memory     MemoryError(message): an allocation failed; so does a
//              std::bad_alloc that reaches the binding's edge
//
// Bindings throw; nothing else in the package sets a Python error for a core
// failure.
#pragma once

#include <exception>
#include <utility>

#include "common/result.hpp"

namespace sarn::sarnio {

class Failure : public std::exception {
public:
    explicit Failure(common::Error error) : error_(std::move(error)) {}
    const char* what() const noexcept override { return error_.message.c_str(); }
    const common::Error& error() const noexcept { return error_; }

private:
    common::Error error_;
};

[[noreturn]] inline void raise(common::Error error) { throw Failure(std::move(error)); }

// The value of `r`, or its error raised.
template <class T>
T take(common::Result<T>&& r) {
    if (!r) raise(std::move(r).error());
    return std::move(*r);
}
inline void take(common::Result<void>&& r) {
    if (!r) raise(std::move(r).error());
}

// Sets the Python exception for `error` (the interpreter lock held).
void set_python_error(const common::Error& error);

// Installs the translator of Failure; called once by the module's init.
void register_failure_translator();

}  // namespace sarn::sarnio
