// PySource: a container's bytes fetched by a Python object, the source of
// sarnio.open() for an fsspec URL or an open binary file object (the
// objects are made in python/sarnio/_source.py).
//
// The object's `start(starts, ends)` starts fetching the byte ranges
// [starts[i], ends[i]) and returns a handle whose `result()` waits for them
// and gives one bytes-like object per range.  The core calls start_fetch and
// wait on the thread that reads ahead (the consumer of a scan, or open()),
// never on a decoding thread; each call takes the interpreter lock for as
// long as it runs Python.
//
// Failures.  A Python exception raised by the object becomes an Io error
// (with the errno of an OSError, ENOENT for FileNotFoundError, EACCES for
// PermissionError; Cancelled for KeyboardInterrupt) and is kept:
// take_failure() gives it back, so that the binding raises the exception
// itself rather than one made from its text.  A range that comes back
// shorter than asked for is the object ending early: "unexpected end of
// file at offset N", as from a local file.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>

#include "container/byte_source.hpp"

namespace sarn::sarnio {

class PySource final : public container::ByteSource {
public:
    // `requests` made already to learn the size (a HEAD), counted in counts().
    PySource(std::string name, std::uint64_t size, nanobind::object fetcher, std::uint64_t requests);
    ~PySource() override;
    PySource(const PySource&) = delete;
    PySource& operator=(const PySource&) = delete;

    const std::string& name() const noexcept override { return name_; }
    std::uint64_t size() const noexcept override { return size_; }
    bool fetches() const noexcept override { return true; }
    common::Result<common::Bytes> read_at(std::uint64_t offset, std::uint64_t length) const override;
    std::unique_ptr<container::PendingFetch> start_fetch(std::vector<container::ByteRange> ranges) const override;

    // The exception behind an error whose text holds `message`, taken.
    std::optional<nanobind::python_error> take_failure(const std::string& message) const;

    // Keeps the exception being handled (the lock held) and returns the error it stands for.
    common::Error failed(const nanobind::python_error& e) const;

private:
    friend class PyPending;
    // Counts what a fetch brought in.
    void fetched(std::uint64_t bytes, std::uint64_t requests) const { count(bytes, requests); }

    std::string name_;
    std::uint64_t size_;
    nanobind::object fetcher_;
    mutable std::mutex mutex_;
    mutable std::optional<nanobind::python_error> failure_;
    mutable std::string failure_message_;
};

// The exception to raise for `error` of a read of `source`: the Python
// exception it came from when the source is a PySource that kept it.
std::optional<nanobind::python_error> python_failure(const container::ByteSource& source, const common::Error& error);

}  // namespace sarn::sarnio
