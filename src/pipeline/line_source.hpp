// LineSource: the lines of a CSV input, with the place of each in it.
//
// Every reader of CSV input goes through this one class: the one-pass
// driver and the parallel engine read a descriptor front to back (a file, a
// pipe, a FIFO, a terminal), the range scan and the range encoder of
// sarnio.dask read a byte range of a file with positioned reads.
//
// A line ends at a line feed; the feed and one carriage return right before
// it are not part of the line.  A carriage return anywhere else, also at
// the very end of the input, is text.  The last line needs no line feed.
// Every line must be valid UTF-8.  Lines have no length limit but memory:
// the input is read through one buffer, and a line that crosses the end of
// the buffer is gathered in a side string, so memory is the buffer plus the
// longest line, whatever the input's size.
//
// The UTF-8 check costs next to nothing on ASCII input: a buffer found to
// be all ASCII when it is read spares each of its lines the check.  A row
// reader that must look for one byte in every line (the quote character)
// gets the same help: a buffer without that byte spares its lines the
// search (watch()).
//
// Not thread-safe: one source belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "common/utf8.hpp"
#include "pipeline/messages.hpp"

namespace sarn::pipeline {

// The read buffer.  1 MiB reads are already large enough that system calls
// cost nothing measurable, and a buffer this size is filled alike by small
// and huge inputs, so peak memory does not depend on the input's length.
inline constexpr std::size_t READ_BUFFER_SIZE = std::size_t{1} << 20;

// How long a read of a polled descriptor waits before it looks at the stop
// request again: short enough that a cancel feels immediate.
inline constexpr int POLL_SLICE_MS = 40;

// Why an input was refused, for callers that report the place themselves
// (the range scan hands it to the process that knows the line numbers of
// the ranges before).
enum class InputFault : std::uint8_t {
    None,
    InvalidUtf8,  // offset: the first byte that is not part of a well-formed character
    LineTooLong,  // offset: the line's first byte
    Unterminated,  // a quoted field still open at the end; offset: its opening quote
    TextAfterQuote,  // offset: the first character after a closing quote that is not white space
    ExtraFields,  // more fields than the header; offset: the first extra field's first byte
    NotInteger,  // a cell of an int64 column that is not a canonical integer; offset: the record's first byte
};

struct InputFaultPlace {
    InputFaultPlace() = default;
    InputFaultPlace(InputFault f, std::uint64_t at_line, std::uint64_t at_offset) noexcept
        : fault(f),
          line(at_line),
          offset(at_offset) {}

    InputFault fault = InputFault::None;
    // The number of the line (from 1 at the source's start) that is not
    // UTF-8, or of the first line of the record at fault.
    std::uint64_t line = 0;
    std::uint64_t offset = 0;  // see InputFault
    std::uint64_t fields = 0;  // ExtraFields: the record's fields; Unterminated: the line the quote opens on
    std::uint64_t column = 0;  // NotInteger: the column's position; ExtraFields: the header's fields
    std::string cell;  // NotInteger: the cell (at most CELL_SHOWN bytes of it)

    // How much of a cell a fault keeps to show.
    static constexpr std::size_t CELL_SHOWN = 80;
};

class LineSource {
public:
    // Reads `fd` front to back from its current position, which counts as
    // offset 0.  The descriptor is borrowed: it must stay open as long as
    // the source is used.  `path` names the input in messages.
    // With `polled` (a descriptor opened non-blocking that is not a regular
    // file: a pipe, a FIFO, a terminal), every wait for data lasts at most
    // POLL_SLICE_MS before `stop` is looked at again, so a stop request is
    // honoured while a pipe's writer is silent.  `stop` is also looked at
    // before every read.
    static LineSource sequential(int fd, std::string path, Wording wording, std::stop_token stop = {},
                                 bool polled = false, std::size_t capacity = READ_BUFFER_SIZE);

    // Reads the file `fd` with positioned reads, from offset `begin` on;
    // the descriptor's own position is neither used nor moved, so sources
    // may share one.  Offsets and errors are those of the file; line
    // numbers count on from `lines_before` (the first line read is
    // lines_before + 1).
    static LineSource positioned(int fd, std::string path, Wording wording, std::uint64_t begin,
                                 std::size_t capacity = READ_BUFFER_SIZE, std::uint64_t lines_before = 0);

    LineSource(LineSource&&) noexcept = default;
    LineSource& operator=(LineSource&&) noexcept = default;

    // The next line, without its terminator; false at the end of the input,
    // at the limit (stop_at) or on a failure, which failed() then tells.
    // The view stays valid until the next call.
    bool next(std::string_view& line);

    // The same, also for a line that starts at or past the limit: a record
    // that starts before the limit is read to its end.
    bool next_past_limit(std::string_view& line) {
        const std::uint64_t limit = limit_;
        limit_ = UINT64_MAX;
        const bool got = next(line);
        if (!failed()) limit_ = limit;
        return got;
    }

    // Lines read from now on tell whether they may hold `byte` (not the
    // zero byte): may_hold_watched().  Call before the first read.
    void watch(char byte) noexcept { watched_ = byte; }
    // False when the last line certainly does not hold the watched byte: no
    // buffer it came from does.  Always true when nothing is watched.
    bool may_hold_watched() const noexcept { return watched_ == 0 || line_watched_; }

    // Consumes the bytes up to and including the next line feed without
    // checking or counting them: for a range that may start inside a line.
    // False when the input ends first (or on a failure).
    bool skip_through_line_feed();

    // Lines that start at or past `offset` are not read: next() answers
    // false there, as at the end of the input.
    void stop_at(std::uint64_t offset) noexcept { limit_ = offset; }

    // The input is a regular file that ends at `offset` (its length when it
    // was opened, for a source that starts at its start): the source fails
    // when the file ends before it or grows past it.  Such a file changed
    // while it was read, and its lines would give torn or missing rows.
    void expect_end(std::uint64_t offset) noexcept { expected_end_ = offset; }

    // The number of lines returned so far, which is the number of the last
    // one (the first line is 1).
    std::uint64_t line_number() const noexcept { return lines_; }
    // The offset of the last line's first byte.
    std::uint64_t line_offset() const noexcept { return line_offset_; }
    // What ended the last line: "\n", "\r\n", or "" for a last line
    // without a line feed.  A record that runs on over a line break (a
    // quoted field) keeps it as text.
    std::string_view terminator() const noexcept { return std::string_view("\r\n").substr(2 - terminator_len_); }
    // The offset just past the last line and its terminator: where the
    // next line starts.
    std::uint64_t position() const noexcept { return position_; }
    // Bytes taken from the input so far (whole reads, so ahead of the lines).
    std::uint64_t bytes_read() const noexcept { return bytes_read_; }

    bool failed() const noexcept { return error_.has_value(); }
    // The failure: a read error (errnum and path set), a line that is not
    // UTF-8 (ErrorKind::Input) or a stop request (ErrorKind::Cancelled),
    // worded as the source was asked to.  REQUIRES: failed().
    const common::Error& error() const { return *error_; }
    // Where the input was refused, when it was.
    const InputFaultPlace& fault() const noexcept { return fault_; }

    // Refuses the last line returned, for a reason found by the caller
    // (a row reader's LineTooLong): the source fails with that error.
    const common::Error& refuse_line(InputFault fault);

    // Refuses a record the caller found at fault (`place`), with `error`:
    // the source fails with it, and fault() tells the place.
    const common::Error& refuse(InputFaultPlace place, common::Error error);

    const std::string& path() const noexcept { return path_; }
    Wording wording() const noexcept { return wording_; }

private:
    LineSource(int fd, std::string path, Wording wording, std::size_t capacity);

    bool next_slow(std::string_view& line);
    bool refill();
    bool fail(common::Error error);
    bool refuse_utf8(std::string_view gathered);

    // Hands out `gathered` (a whole line with its terminator, if any) as
    // the next line.  `ascii`: every buffer it came from held only ASCII;
    // `watched`: some buffer it came from holds the watched byte.
    bool take(std::string_view gathered, bool ascii, bool watched, std::string_view& line) {
        line_watched_ = watched;
        line_offset_ = position_;
        position_ += gathered.size();
        ++lines_;
        if (!ascii && !common::is_valid_utf8(gathered)) return refuse_utf8(gathered);
        // Only a line that ended with a line feed loses a carriage return:
        // a CR at the very end of the input stays part of the last line.
        const std::size_t whole = gathered.size();
        if (!gathered.empty() && gathered.back() == '\n') {
            gathered.remove_suffix(1);
            if (!gathered.empty() && gathered.back() == '\r') gathered.remove_suffix(1);
        }
        terminator_len_ = static_cast<unsigned char>(whole - gathered.size());
        line = gathered;
        return true;
    }

    int fd_;
    std::string path_;
    Wording wording_;
    bool positioned_ = false;
    bool polled_ = false;
    bool at_eof_ = false;
    std::stop_token stop_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t pos_ = 0;  // next unread byte in buffer_
    std::size_t fill_ = 0;  // bytes of buffer_ holding input
    bool buffer_ascii_ = true;  // no byte of buffer_[0, fill_) has its high bit set
    char watched_ = 0;  // the byte looked for in every buffer, or 0
    bool buffer_watched_ = false;  // buffer_[0, fill_) holds the watched byte
    bool line_watched_ = false;  // a buffer the last line came from holds it
    std::string spill_;  // a line that crossed the end of the buffer
    std::uint64_t read_offset_ = 0;  // where the next read starts (positioned reads)
    std::uint64_t bytes_read_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t line_offset_ = 0;
    std::uint64_t lines_ = 0;
    unsigned char terminator_len_ = 0;  // of the last line: 0, 1 or 2 bytes
    std::uint64_t limit_ = UINT64_MAX;
    std::uint64_t expected_end_ = UINT64_MAX;  // none
    std::optional<common::Error> error_;
    InputFaultPlace fault_;
};

inline bool LineSource::next(std::string_view& line) {
    // The common case inline: the whole line is in the buffer.
    if (pos_ < fill_ && position_ < limit_) {
        const char* start = buffer_.get() + pos_;
        if (const void* lf = std::memchr(start, '\n', fill_ - pos_)) {
            const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
            pos_ += len;
            return take(std::string_view(start, len), buffer_ascii_, buffer_watched_, line);
        }
    }
    return next_slow(line);
}

}  // namespace sarn::pipeline
