// Result<T>: a value or the error text of a failed core operation.
//
// The core never throws for expected failures (I/O errors, bad input): it
// returns an Error carrying the text that the Python surface raises.  The
// kind says which Python exception type the surface should use.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace sarn::common {

enum class ErrorKind : unsigned char {
    Io,     // file and stream failures, raised as OSError
    Value,  // bad input the caller can fix, raised as ValueError
};

struct Error {
    ErrorKind kind = ErrorKind::Io;
    std::string message;

    static Error io(std::string message) { return {ErrorKind::Io, std::move(message)}; }
    static Error value(std::string message) { return {ErrorKind::Value, std::move(message)}; }
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }
    const T& operator*() const& { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }

    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : failed_(true), error_(std::move(error)) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const& { return error_; }
    Error&& error() && { return std::move(error_); }

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace sarn::common
