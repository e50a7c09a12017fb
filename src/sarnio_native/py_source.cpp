#include "sarnio_native/py_source.hpp"

#include <cerrno>
#include <cstring>

namespace nb = nanobind;

namespace sarn::sarnio {

using common::Bytes;
using common::Error;
using common::Result;
using container::ByteRange;

namespace {

// Whether Python objects may still be touched: not while the interpreter
// is going away (a reference dropped then is left to it).
bool interpreter_alive() { return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0; }

// Drops `o` with the interpreter lock taken: the owner may be destroyed on
// a thread that does not hold it (a decoding thread, an Arrow consumer's).
void drop(nb::object& o) {
    if (!o.is_valid()) return;
    if (!interpreter_alive()) {
        (void)o.release();
        return;
    }
    nb::gil_scoped_acquire locked;
    o.reset();
}

class FailedFetch final : public container::PendingFetch {
public:
    explicit FailedFetch(Error e) : e_(std::move(e)) {}
    Result<std::vector<Bytes>> wait() override { return std::move(e_); }

private:
    Error e_;
};

}  // namespace

class PyPending final : public container::PendingFetch {
public:
    PyPending(const PySource& source, std::vector<ByteRange> ranges, nb::object handle)
        : source_(source),
          ranges_(std::move(ranges)),
          handle_(std::move(handle)) {}
    ~PyPending() override { drop(handle_); }

    Result<std::vector<Bytes>> wait() override {
        if (!interpreter_alive()) return Error::io(source_.name() + ": the interpreter is shutting down");
        nb::gil_scoped_acquire locked;
        std::vector<Bytes> out;
        std::uint64_t bytes = 0;
        try {
            nb::object got = handle_.attr("result")();
            drop(handle_);
            if (nb::len(got) != ranges_.size())
                return Error::io(source_.name() + ": a fetch of " + std::to_string(ranges_.size()) + " ranges gave " +
                                 std::to_string(nb::len(got)) + " pieces");
            out.reserve(ranges_.size());
            std::size_t i = 0;
            for (nb::handle piece : got) {
                Py_buffer view;
                if (PyObject_GetBuffer(piece.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
                const auto* p = static_cast<const std::uint8_t*>(view.buf);
                const auto n = static_cast<std::uint64_t>(view.len);
                const ByteRange& r = ranges_[i++];
                if (n < r.length) {
                    PyBuffer_Release(&view);
                    return Error::format("unexpected end of file at offset " + std::to_string(r.offset + n));
                }
                out.emplace_back(p, p + r.length);
                bytes += n;
                PyBuffer_Release(&view);
            }
        } catch (nb::python_error& e) {
            return source_.failed(e);
        }
        source_.fetched(bytes, ranges_.size());
        return out;
    }

private:
    const PySource& source_;
    std::vector<ByteRange> ranges_;
    nb::object handle_;
};

PySource::PySource(std::string name, std::uint64_t size, nb::object fetcher, std::uint64_t requests)
    : name_(std::move(name)),
      size_(size),
      fetcher_(std::move(fetcher)) {
    count(0, requests);
}

PySource::~PySource() {
    drop(fetcher_);
    std::lock_guard<std::mutex> lock(mutex_);
    failure_.reset();  // a python_error releases its exception safely on any thread
}

Result<Bytes> PySource::read_at(std::uint64_t offset, std::uint64_t length) const {
    auto r = start_fetch({{offset, length}})->wait();
    if (!r) return std::move(r).error();
    return std::move(r->front());
}

std::unique_ptr<container::PendingFetch> PySource::start_fetch(std::vector<ByteRange> ranges) const {
    if (!interpreter_alive())
        return std::make_unique<FailedFetch>(Error::io(name_ + ": the interpreter is shutting down"));
    nb::gil_scoped_acquire locked;
    try {
        nb::list starts, ends;
        for (const ByteRange& r : ranges) {
            starts.append(r.offset);
            ends.append(r.end());
        }
        nb::object handle = fetcher_.attr("start")(starts, ends);
        return std::make_unique<PyPending>(*this, std::move(ranges), std::move(handle));
    } catch (nb::python_error& e) {
        return std::make_unique<FailedFetch>(failed(e));
    }
}

Error PySource::failed(const nb::python_error& e) const {
    int errnum = 0;
    Error error;
    if (e.matches(PyExc_KeyboardInterrupt)) {
        error = Error::cancelled(name_ + ": interrupted");
    } else {
        if (e.matches(PyExc_OSError)) {
            nb::object value = nb::borrow(e.value());
            nb::object number = nb::getattr(value, "errno", nb::none());
            if (nb::isinstance<nb::int_>(number)) errnum = nb::cast<int>(number);
            if (errnum == 0 && e.matches(PyExc_FileNotFoundError)) errnum = ENOENT;
            if (errnum == 0 && e.matches(PyExc_PermissionError)) errnum = EACCES;
        }
        std::string text;
        try {
            text = nb::cast<std::string>(nb::str(e.value()));
        } catch (...) {
            text = "a fetch failed";
        }
        if (text.empty()) text = nb::cast<std::string>(nb::str(nb::handle(e.type()).attr("__name__")));
        error = Error::os(errnum, name_ + ": " + text, name_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    failure_.reset();
    failure_.emplace(e);
    failure_message_ = error.message;
    return error;
}

std::optional<nb::python_error> PySource::take_failure(const std::string& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_ || message.find(failure_message_) == std::string::npos) return std::nullopt;
    std::optional<nb::python_error> out = std::move(failure_);
    failure_.reset();
    return out;
}

std::optional<nb::python_error> python_failure(const container::ByteSource& source, const Error& error) {
    const auto* py = dynamic_cast<const PySource*>(&source);
    if (!py) return std::nullopt;
    return py->take_failure(error.message);
}

}  // namespace sarn::sarnio
