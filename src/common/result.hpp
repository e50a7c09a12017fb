// Result<T>: a value or the error text of a failed core operation.
//
// The core never throws for expected failures (I/O errors, bad input): it
// returns an Error carrying the text that the Python surface raises.  The
// kind says which Python exception type the surface should use; an
// operating-system failure keeps its errno and the file it concerns.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace sarn::common {

enum class ErrorKind : unsigned char {
    Io,  // a file or stream failed: OSError (errnum and path say which, when known)
    Value,  // a request the caller can fix, or an input the container cannot hold: ValueError
    Input,  // the CSV input is not what the dialect reads (invalid UTF-8, a line too long)
    Format,  // a container that is not sound: truncated, corrupted or not a container
    Cancelled,  // the caller asked the job to stop
    Memory,  // an allocation failed (a memory limit of the process, or of the machine)
};

// The failure of a core operation.  `message` is finished text for a person;
// `errnum` and `path` keep what a caller needs to raise the platform's own
// error (OSError with errno and filename) without parsing the text.
struct Error {
    ErrorKind kind = ErrorKind::Io;
    std::string message;
    int errnum = 0;  // errno of the failed system call; 0 for a failure of the core's own
    std::string path;  // the file the failure concerns; "" when none or unknown

    static Error io(std::string message) { return {ErrorKind::Io, std::move(message), 0, {}}; }
    // A failed system call on `path`.
    static Error os(int errnum, std::string message, std::string path = {}) {
        return {ErrorKind::Io, std::move(message), errnum, std::move(path)};
    }
    static Error value(std::string message) { return {ErrorKind::Value, std::move(message), 0, {}}; }
    static Error input(std::string message, std::string path = {}) {
        return {ErrorKind::Input, std::move(message), 0, std::move(path)};
    }
    static Error format(std::string message, std::string path = {}) {
        return {ErrorKind::Format, std::move(message), 0, std::move(path)};
    }
    static Error cancelled(std::string message) { return {ErrorKind::Cancelled, std::move(message), 0, {}}; }
    static Error memory(std::string message) { return {ErrorKind::Memory, std::move(message), 0, {}}; }

    // The same failure with `prefix` in front of its message ("Cannot read x: ").
    Error prefixed(const std::string& prefix) && {
        message.insert(0, prefix);
        return std::move(*this);
    }
    // The same failure, about `file` when it named none.
    Error about(std::string file) && {
        if (path.empty()) path = std::move(file);
        return std::move(*this);
    }
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
