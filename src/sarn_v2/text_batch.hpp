// TextBatch: a batch of rows whose every value is text, stored compactly.
//
// The CSV pipeline produces only text values, exactly `column_count` per row.
// Holding them as one byte arena plus one end offset per cell costs 8 bytes
// of overhead per cell instead of a heap object each, which keeps wide files
// affordable.  A chunk written from a TextBatch has the same bytes as one
// written from the equivalent rows of Text values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sarn {

class TextBatch {
public:
    explicit TextBatch(std::size_t column_count) : columns_(column_count) {}

    std::size_t column_count() const noexcept { return columns_; }
    std::size_t row_count() const noexcept { return columns_ == 0 ? 0 : ends_.size() / columns_; }
    bool empty() const noexcept { return ends_.empty(); }

    // Reserves room for `rows` rows; storage is kept across clear().
    void reserve_rows(std::size_t rows) { ends_.reserve(rows * columns_); }

    // Appends one cell of the row being built.  A row is complete after
    // column_count() cells; the caller appends exactly that many per row.
    void push_cell(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
    }

    std::string_view cell(std::size_t row, std::size_t column) const noexcept {
        std::size_t i = row * columns_ + column;
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

    // Empties the batch, keeping its storage for the next chunk.
    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
    }

private:
    std::size_t columns_;
    std::string bytes_;
    std::vector<std::uint64_t> ends_;  // end offset in bytes_ of each cell, row-major
};

}  // namespace sarn
