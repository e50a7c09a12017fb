// Cutting lines that hold no quoted field: header names, blank lines and
// rows (the lines themselves come from a LineSource, records that hold a
// quoted field go through QuotedRecord of csv_dialect.hpp).
//
// A line ends at a line feed (one carriage return right before it is dropped
// too); a bare carriage return is ordinary text.  Fields are cut at every
// delimiter (the module's is the comma, and it has no quoting, so quotes and
// backslashes stay in the field text).  Every field is trimmed of Unicode
// white space.  Input must be UTF-8.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "container/types.hpp"
#include "pipeline/messages.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

// `text` without leading and trailing Unicode White_Space (U+0009..U+000D,
// U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F, U+3000).  U+FEFF is not white space.  `text` must be valid UTF-8.
std::string_view trim_slow(std::string_view text) noexcept;

inline std::string_view trim(std::string_view text) noexcept {
    // Most fields start and end with a printable ASCII character, and no
    // white-space character can start or end with one: nothing to cut.
    if (!text.empty()) {
        const auto first = static_cast<unsigned char>(text.front());
        const auto last = static_cast<unsigned char>(text.back());
        if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return text;
    }
    return trim_slow(text);
}

// True when the line is empty after trim: such data lines are skipped.
inline bool is_blank(std::string_view line) noexcept { return trim(line).empty(); }

// The same for a delimiter that may itself be white space (a tab): a line
// that holds a delimiter has fields, and is never blank.
inline bool is_blank(std::string_view line, char delimiter) noexcept {
    if (!trim(line).empty()) return false;
    return line.find(delimiter) == std::string_view::npos;
}

// The column names of a header line: every piece between delimiters,
// trimmed and copied.  Always at least one name; names may be empty and may
// repeat.
std::vector<std::string> split_header(std::string_view line, char delimiter = ',');

// The row a data line stands for: exactly `column_count` Text values, piece
// i trimmed and copied, the empty text where the line has no piece i;
// pieces past `column_count` are ignored.
container::Row parse_row(std::string_view line, std::size_t column_count);

// One text column per header name, in header order: the schema of every
// container made from a CSV file.
std::vector<container::ColumnSchema> text_schema(std::vector<std::string> names);

// A batch's cell index is reserved up front for a full chunk, up to this
// many cells; wider files grow it on demand instead of asking for gigabytes
// they may never fill.
inline constexpr std::size_t MAX_RESERVED_CELLS = std::size_t{1} << 24;

// The rows to reserve in a batch of `column_count` columns (at least one)
// for chunks of `chunk_rows` rows: all of them while the cells fit in
// MAX_RESERVED_CELLS, else as many as fit, at least one.
std::size_t rows_to_reserve(std::size_t column_count, std::size_t chunk_rows) noexcept;

namespace detail {

static_assert(std::endian::native == std::endian::little, "ByteFinder reads words as little-endian");

// The positions of one byte value in a text, in order.  The text is read a
// word at a time at addresses that do not depend on the bytes found, so
// cutting a line into fields does not wait on each search in turn, as it
// would if each field's scan started at the previous field's comma.
class ByteFinder {
public:
    // `c` must not be the zero byte (see load_word).
    ByteFinder(const char* begin, const char* end, char c) noexcept
        : begin_(begin),
          end_(end),
          next_(begin),
          pattern_(ONES * static_cast<unsigned char>(c)) {
        assert(c != 0);
    }

    // The next position of the byte, or nullptr when there is none.
    const char* next() noexcept {
        while (flags_ == 0) {
            if (next_ == end_) return nullptr;
            load_word();
        }
        const char* at = base_ + (__builtin_ctzll(flags_) >> 3);
        flags_ &= flags_ - 1;
        return at;
    }

private:
    static constexpr std::uint64_t ONES = 0x0101010101010101ull;
    static constexpr std::uint64_t LOWS = 0x7F7F7F7F7F7F7F7Full;

    // Flags the matching bytes of the next word: the high bit of each.
    // The last few bytes are read as the text's last word shifted down, so
    // nothing outside [begin, end) is read; the bytes shifted in are zero,
    // which is not the byte looked for, so they are never flagged.
    void load_word() noexcept {
        base_ = next_;
        const std::size_t rest = static_cast<std::size_t>(end_ - next_);
        std::uint64_t word;
        if (rest >= 8) {
            std::memcpy(&word, next_, 8);
            next_ += 8;
        } else {
            if (end_ - begin_ >= 8) {
                std::memcpy(&word, end_ - 8, 8);
                word >>= 8 * (8 - rest);
            } else {
                word = 0;
                for (std::size_t i = 0; i < rest; ++i)
                    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(next_[i])) << (8 * i);
            }
            next_ = end_;
        }
        const std::uint64_t x = word ^ pattern_;  // a matching byte is now zero
        // Exact per byte (no borrow runs into the next byte): the high bit
        // of ((x & LOWS) + LOWS) | x is set for every non-zero byte.
        flags_ = ~(((x & LOWS) + LOWS) | x | LOWS);
    }

    const char* begin_;
    const char* end_;
    const char* next_;  // the first byte not yet loaded
    const char* base_ = nullptr;  // where the loaded word starts
    std::uint64_t pattern_;
    std::uint64_t flags_ = 0;
};

// Cuts `line` at `delimiter` into its first `column_count` pieces, trimmed,
// and hands each to put(piece, readable), then the empty piece for every
// missing one; `readable` is how many bytes may be read from the piece's
// start.  Returns where the first piece past `column_count` starts, or
// nullptr when the line has no more pieces: finding out costs nothing, as
// the last piece kept ends either at a delimiter or at the line's end.
template <typename Put>
inline const char* split_line(std::string_view line, std::size_t column_count, char delimiter, Put&& put) {
    const char* p = line.data();
    const char* const end = p + line.size();
    const auto piece = [&](const char* from, const char* to) {
        const std::string_view trimmed = trim(std::string_view(from, static_cast<std::size_t>(to - from)));
        put(trimmed, static_cast<std::size_t>(end - trimmed.data()));
    };
    ByteFinder delimiters(p, end, delimiter);
    std::size_t i = 0;
    while (i < column_count) {
        const char* found = delimiters.next();
        ++i;
        if (!found) {
            piece(p, end);
            for (; i < column_count; ++i) put(std::string_view(), 0);
            return nullptr;
        }
        piece(p, found);
        p = found + 1;
    }
    return p;  // every piece kept ended at a delimiter
}

}  // namespace detail

// What append_row made of a line.
enum class Appended : std::uint8_t {
    Row,  // the row is in the batch
    Wider,  // the row is in the batch, and the line has more fields than columns
    TooLong,  // nothing appended: the line is longer than TextBatch::MAX_ROW_BYTES
};

// The same cells as parse_row, appended to a compact batch instead of built
// as values: this is what the streaming pass uses.  Pieces past
// `column_count` are not even looked at, only noticed (Appended::Wider).
// REQUIRES: column_count >= 1.
inline Appended append_row(container::TextBatch& batch, std::string_view line, std::size_t column_count,
                           char delimiter = ',') {
    if (line.size() > container::TextBatch::MAX_ROW_BYTES) return Appended::TooLong;
    container::TextBatch::NarrowRow row;
    const char* rest;
    if (batch.begin_narrow_row(line.size(), row)) {
        rest = detail::split_line(line, column_count, delimiter,
                                  [&](std::string_view piece, std::size_t readable) { row.put(piece, readable); });
        batch.finish_narrow_row(row);
    } else {
        batch.begin_row(line.size());
        rest = detail::split_line(line, column_count, delimiter, [&](std::string_view piece, std::size_t readable) {
            batch.push_piece(piece, readable);
        });
    }
    return rest ? Appended::Wider : Appended::Row;
}

}  // namespace sarn::pipeline
