// RowReader: the rows of a CSV input, made from the lines of a LineSource.
//
// This is the one place where the dialect turns input into cells: the
// header line into column names, a data line into the cells of one row of
// a TextBatch, a blank line into nothing.  Every engine reads its rows
// through it (the one-pass driver, the parallel engine, the range scan and
// the range encoder of sarnio.dask, `sarn verify --csv`), so a change of
// dialect is made here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/line_source.hpp"

namespace sarn::pipeline {

// How many lines a row reader goes through between two calls of its tick.
inline constexpr std::uint64_t TICK_LINES = 1024;

class RowReader {
public:
    explicit RowReader(LineSource& lines) noexcept : lines_(lines) {}

    // The column names of the first line, or nothing for an input without
    // a single line.  Errors: the source's.
    common::Result<std::optional<std::vector<std::string>>> read_header();

    // Appends the rows of the next data lines to `batch` (`columns` cells
    // each) until it holds `max_rows` rows or the input ends; blank lines
    // are skipped.  Returns the number of rows appended: fewer than asked
    // only at the end of the input.  Every TICK_LINES lines, `tick()` runs;
    // an error it returns ends the fill with that error.  Errors: the
    // source's, and a line too long for a row (InputFault::LineTooLong).
    template <class Tick>
    common::Result<std::size_t> fill(container::TextBatch& batch, std::size_t columns, std::size_t max_rows,
                                     Tick&& tick);

    // Passes over the next data row without making its cells, with the same
    // checks as fill: true for a row, false at the end of the input.
    common::Result<bool> skip_row();

    // The line number and the offset of the last row filled or skipped.
    std::uint64_t row_line() const noexcept { return row_line_; }
    std::uint64_t row_offset() const noexcept { return row_offset_; }

    LineSource& lines() noexcept { return lines_; }

private:
    common::Error too_long() { return lines_.refuse_line(InputFault::LineTooLong); }

    LineSource& lines_;
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
        if ((lines_.line_number() % TICK_LINES) == 0) {
            if (common::Result<void> r = tick(); !r) return std::move(r).error();
        }
        if (is_blank(line)) continue;
        if (!append_row(batch, line, columns)) return too_long();
        ++rows;
        row_line_ = lines_.line_number();
        row_offset_ = lines_.line_offset();
    }
    return rows;
}

}  // namespace sarn::pipeline
