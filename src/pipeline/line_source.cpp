#include "pipeline/line_source.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <utility>

#include "common/system_error.hpp"

namespace sarn::pipeline {

using common::Error;

LineSource::LineSource(int fd, std::string path, Wording wording, std::size_t capacity)
    : fd_(fd),
      path_(std::move(path)),
      wording_(wording),
      buffer_(new char[capacity == 0 ? 1 : capacity]),
      capacity_(capacity == 0 ? 1 : capacity) {}

LineSource LineSource::sequential(int fd, std::string path, Wording wording, std::stop_token stop, bool polled,
                                  std::size_t capacity) {
    LineSource source(fd, std::move(path), wording, capacity);
    source.stop_ = std::move(stop);
    source.polled_ = polled;
    return source;
}

LineSource LineSource::positioned(int fd, std::string path, Wording wording, std::uint64_t begin, std::size_t capacity,
                                  std::uint64_t lines_before) {
    LineSource source(fd, std::move(path), wording, capacity);
    source.lines_ = lines_before;
    source.positioned_ = true;
    source.read_offset_ = begin;
    source.position_ = begin;
    source.line_offset_ = begin;
    return source;
}

bool LineSource::fail(Error error) {
    error_ = std::move(error);
    limit_ = 0;  // the fast path of next() ends here too
    return false;
}

bool LineSource::refill() {
    if (at_eof_) return false;
    for (;;) {
        if (stop_.stop_requested()) return fail(Error::cancelled(CANCELLED_TEXT));
        if (polled_) {
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, POLL_SLICE_MS);
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) continue;
        }
        const ssize_t n = positioned_ ? ::pread(fd_, buffer_.get(), capacity_, static_cast<off_t>(read_offset_))
                                      : ::read(fd_, buffer_.get(), capacity_);
        if (n > 0) {
            pos_ = 0;
            fill_ = static_cast<std::size_t>(n);
            read_offset_ += fill_;
            if (read_offset_ > expected_end_ && expected_end_ != UINT64_MAX) {
                pos_ = fill_ = 0;
                return fail(input_changed_error(
                    path_, "it grew past the " + std::to_string(expected_end_) + " bytes it had when opened"));
            }
            bytes_read_ += fill_;
            buffer_ascii_ = common::is_ascii(std::string_view(buffer_.get(), fill_));
            buffer_watched_ = watched_ != 0 && std::memchr(buffer_.get(), watched_, fill_) != nullptr;
            return true;
        }
        if (n == 0) {
            at_eof_ = true;
            pos_ = fill_ = 0;
            if (read_offset_ < expected_end_ && expected_end_ != UINT64_MAX) {
                return fail(input_changed_error(path_, "it ended after " + std::to_string(read_offset_) +
                                                           " bytes, before the " + std::to_string(expected_end_) +
                                                           " it had when opened"));
            }
            return false;
        }
        if (errno == EINTR || (polled_ && errno == EAGAIN)) continue;
        break;
    }
    const int err = errno;
    Error e = common::os_error(err, path_);
    if (wording_ == Wording::Named) e = std::move(e).prefixed("Cannot read " + path_ + ": ");
    return fail(std::move(e));
}

bool LineSource::next_slow(std::string_view& line) {
    if (failed() || position_ >= limit_) return false;
    bool spilled = false;
    bool spill_ascii = true;  // every buffer the spilled part came from is ASCII
    bool spill_watched = false;  // some buffer it came from holds the watched byte
    // One very long line must not pin its memory for the rest of the input.
    if (spill_.capacity() > capacity_) std::string().swap(spill_);
    spill_.clear();
    for (;;) {
        if (pos_ == fill_ && !refill()) {
            if (failed()) return false;
            break;  // end of the input
        }
        const char* start = buffer_.get() + pos_;
        const std::size_t available = fill_ - pos_;
        if (const void* lf = std::memchr(start, '\n', available)) {
            const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
            pos_ += len;
            if (!spilled) return take(std::string_view(start, len), buffer_ascii_, buffer_watched_, line);
            spill_.append(start, len);
            return take(spill_, spill_ascii && buffer_ascii_, spill_watched || buffer_watched_, line);
        }
        spill_.append(start, available);
        spill_ascii = spill_ascii && buffer_ascii_;
        spill_watched = spill_watched || buffer_watched_;
        spilled = true;
        pos_ = fill_;
    }
    if (spill_.empty()) return false;
    return take(spill_, spill_ascii, spill_watched, line);
}

bool LineSource::skip_through_line_feed() {
    if (failed()) return false;
    for (;;) {
        if (pos_ == fill_ && !refill()) return false;
        const char* start = buffer_.get() + pos_;
        const std::size_t available = fill_ - pos_;
        if (const void* lf = std::memchr(start, '\n', available)) {
            const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
            pos_ += len;
            position_ += len;
            return true;
        }
        pos_ = fill_;
        position_ += available;
    }
}

bool LineSource::refuse_utf8(std::string_view gathered) {
    const std::size_t bad = common::first_bad_utf8(gathered);
    fault_ = {InputFault::InvalidUtf8, lines_, line_offset_ + (bad < gathered.size() ? bad : 0)};
    if (wording_ == Wording::Module) return fail(Error::input(INVALID_UTF8_TEXT, path_));
    return fail(Error::input(invalid_utf8_text(path_, fault_.line, fault_.offset), path_));
}

const Error& LineSource::refuse(InputFaultPlace place, Error error) {
    fault_ = std::move(place);
    fail(std::move(error));
    return *error_;
}

const Error& LineSource::refuse_line(InputFault fault) {
    fault_ = {fault, lines_, line_offset_};
    if (wording_ == Wording::Module) {
        fail(Error::input(LINE_TOO_LONG_TEXT, path_));
    } else {
        fail(Error::input(line_too_long_text(path_, lines_), path_));
    }
    return *error_;
}

}  // namespace sarn::pipeline
