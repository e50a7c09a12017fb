// RowReader: the rows of a CSV input, made from the lines of a LineSource.
//
// This is the one place where the dialect turns input into cells: the
// header record into column names, a data record into the cells of one row
// of a TextBatch, a blank line into nothing.  Every engine reads its rows
// through it (the one-pass driver, the parallel engine, the range encoder of
// sarnio.dask, `sarn verify --csv`), and the range scan cuts records with
// the same pieces, so a change of dialect is made here once.
//
// A line that holds no quote character (the common case, and every line
// when quoting is off) is cut where it lies, with append_row.  A line that
// holds one goes through QuotedRecord, which may pull further lines: a
// quoted field keeps its line breaks.  The per-line test is skipped for the
// lines of every read buffer that holds no quote at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/csv_dialect.hpp"
#include "pipeline/line_source.hpp"

namespace sarn::pipeline {

// How many lines a row reader goes through between two calls of its tick.
inline constexpr std::uint64_t TICK_LINES = 1024;

// The error of an input fault of the file `path` (line numbers and offsets
// as `place` has them), as every engine words it; `names` are the header's,
// for the faults of a column.
common::Error input_fault_error(const std::string& path, const InputFaultPlace& place,
                                const std::vector<std::string>& names = {});

// At most InputFaultPlace::CELL_SHOWN bytes of `cell`, cut at a character's
// start, with "..." when cut.
std::string shown_cell(std::string_view cell);

class RowReader {
public:
    // REQUIRES: dialect_problem(dialect) is empty.
    explicit RowReader(LineSource& lines, const CsvDialect& dialect = CsvDialect::module());

    // Cells of these columns must be canonical integers (int64 columns that
    // the caller named): a row with another cell there fails the read with
    // InputFault::NotInteger.  `names` are the header's.
    void require_integers(std::vector<std::size_t> columns, std::vector<std::string> names);

    // The column names of the first record, or nothing for an input
    // without a single line.  A byte order mark at the very start is not
    // part of the first name when the dialect says so.  Errors: the
    // source's, and those of a quoted name.
    common::Result<std::optional<std::vector<std::string>>> read_header();

    // The number of lines the header took (0 before read_header).
    std::uint64_t header_lines() const noexcept { return header_lines_; }

    // Appends the rows of the next data records to `batch` (`columns` cells
    // each, `columns` >= 1) until it holds `max_rows` rows or the input
    // ends; blank lines are skipped.  Returns the number of rows appended:
    // fewer than asked only at the end of the input.  Every TICK_LINES
    // lines, `tick()` runs; an error it returns ends the fill with that
    // error.  Errors: the source's, and the faults of a record (see
    // InputFault); after one, the source has failed.
    template <class Tick>
    common::Result<std::size_t> fill(container::TextBatch& batch, std::size_t columns, std::size_t max_rows,
                                     Tick&& tick);

    // Passes over the next data record without making its cells: true for
    // a record, false at the end of the input.  Checks what a range scan
    // checked already (so only a file that changed since can fail here):
    // UTF-8, record length and quoting; not the fields.
    common::Result<bool> skip_row();

    // The first line's number and the offset of the last record filled or
    // skipped.
    std::uint64_t row_line() const noexcept { return row_line_; }
    std::uint64_t row_offset() const noexcept { return row_offset_; }

    LineSource& lines() noexcept { return lines_; }
    const CsvDialect& dialect() const noexcept { return dialect_; }

    // True when `line` (just read from the source) must go through
    // QuotedRecord: quoting is on and the line holds the quote.
    bool holds_quote(std::string_view line) const noexcept {
        return quoting_ && lines_.may_hold_watched() && !line.empty() &&
               std::memchr(line.data(), dialect_.quote, line.size()) != nullptr;
    }

private:
    common::Error too_long() { return lines_.refuse_line(InputFault::LineTooLong); }
    common::Error refuse(InputFaultPlace place);
    // Reads the record that starts with `line` (`offset`: its first byte's)
    // through QuotedRecord into record_; sets row_line_ and row_offset_.
    common::Result<void> read_quoted(std::string_view line, std::uint64_t offset);
    // Appends the cells of record_ as a row.
    common::Result<void> append_quoted(container::TextBatch& batch, std::size_t columns);
    common::Error extra_fields(std::string_view line, const char* rest, std::size_t columns);
    // The cells of the int64 columns of the row just appended.
    common::Result<void> check_integers(const container::TextBatch& batch);
    bool is_blank_line(std::string_view line) const noexcept {
        return is_blank(line) && (!space_delimiter_ || line.find(dialect_.delimiter) == std::string_view::npos);
    }

    LineSource& lines_;
    CsvDialect dialect_;
    bool quoting_;
    bool space_delimiter_;  // a tab or another white-space delimiter
    bool extra_error_;
    QuotedRecord record_;
    std::vector<std::size_t> integer_columns_;
    std::vector<std::string> names_;
    std::uint64_t header_lines_ = 0;
    std::uint64_t next_tick_ = TICK_LINES;
    std::uint64_t row_line_ = 0;
    std::uint64_t row_offset_ = 0;
};

template <class Tick>
common::Result<std::size_t> RowReader::fill(container::TextBatch& batch, std::size_t columns, std::size_t max_rows,
                                            Tick&& tick) {
    std::size_t rows = 0;
    std::string_view line;
    while (rows < max_rows) {
        if (!lines_.next(line)) {
            if (lines_.failed()) return lines_.error();
            break;
        }
        if (lines_.line_number() >= next_tick_) {
            next_tick_ = lines_.line_number() + TICK_LINES;
            if (common::Result<void> r = tick(); !r) return std::move(r).error();
        }
        if (holds_quote(line)) [[unlikely]] {
            if (auto r = read_quoted(line, lines_.line_offset()); !r) return std::move(r).error();
            if (auto r = append_quoted(batch, columns); !r) return std::move(r).error();
            ++rows;
            continue;
        }
        if (is_blank_line(line)) continue;
        const Appended appended = append_row(batch, line, columns, dialect_.delimiter);
        row_line_ = lines_.line_number();
        row_offset_ = lines_.line_offset();
        if (appended != Appended::Row) [[unlikely]] {
            if (appended == Appended::TooLong) return too_long();
            if (extra_error_) {
                // append_row found a piece past the last column: where it starts.
                const char* rest =
                    detail::split_line(line, columns, dialect_.delimiter, [](std::string_view, std::size_t) {});
                return extra_fields(line, rest, columns);
            }
        }
        if (!integer_columns_.empty()) {
            if (auto r = check_integers(batch); !r) return std::move(r).error();
        }
        ++rows;
    }
    return rows;
}

}  // namespace sarn::pipeline
