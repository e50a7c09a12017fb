// TextBatch: a batch of rows whose every value is text, stored compactly.
//
// The CSV pipeline produces only text values, exactly `column_count` per row.
// Holding them as one byte arena, one 8-byte start per row and one end per
// cell (relative to its row's start) costs 2 bytes of overhead per cell
// instead of a heap object each, which keeps wide files of short fields
// affordable: the ends are 16-bit while every row of the batch is shorter
// than 64 KiB, and the whole index is widened to 32 bits the first time a
// longer row arrives.  On a file of one-character fields (2 bytes of CSV a
// cell) a batch then takes 3 bytes a cell instead of 5.  A chunk written from a TextBatch has the same bytes as
// one written from the equivalent rows of Text values.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace sarn::container {

namespace detail {

// An allocator whose resize() leaves new elements uninitialised: a row's
// cell ends are reserved at its start and each is written before it is
// read, so zero-filling them first would be wasted stores.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

}  // namespace detail

class TextBatch {
public:
    // The most text one row may hold: cell ends are 32-bit offsets from the
    // start of their row.  Callers refuse longer lines before appending.
    static constexpr std::size_t MAX_ROW_BYTES = std::numeric_limits<std::uint32_t>::max();

    explicit TextBatch(std::size_t column_count) : columns_(column_count) {}

    std::size_t column_count() const noexcept { return columns_; }
    std::size_t row_count() const noexcept { return row_starts_.size(); }
    bool empty() const noexcept { return row_starts_.empty(); }

    // Reserves room for `rows` rows; storage is kept across clear().
    void reserve_rows(std::size_t rows) {
        row_starts_.reserve(rows);
        if (wide_) {
            cell_ends32_.reserve(rows * columns_);
        } else {
            cell_ends16_.reserve(rows * columns_);
        }
    }

    // Reserves room for `bytes` bytes of cell text; kept across clear().
    void reserve_text(std::size_t bytes) {
        if (bytes > text_capacity_) reallocate_text(bytes);
    }
    // Bytes of cell text held now.
    std::size_t text_bytes() const noexcept { return text_size_; }

    // Appends one cell of the row being built.  A row is complete after
    // column_count() cells; the caller appends exactly that many per row,
    // holding at most MAX_ROW_BYTES bytes in all.
    void push_cell(std::string_view text) {
        if (cells_in_row_ == 0) row_starts_.push_back(text_size_);
        if (text_capacity_ - text_size_ < text.size()) grow_text(text.size());
        if (!text.empty()) std::memcpy(text_.get() + text_size_, text.data(), text.size());
        text_size_ += text.size();
        end_cell();
    }

    // The fast way to append a row whose cells are pieces of one line of
    // `line_bytes` bytes (so the row's text is at most that long): after
    // begin_row, push_piece each cell; `readable` is how many bytes may be
    // read from the piece's start (to the end of the line), which lets
    // short pieces go out as one word-sized copy.
    void begin_row(std::size_t line_bytes) {
        assert(cells_in_row_ == 0);
        if (text_capacity_ - text_size_ < line_bytes + COPY_SLACK) grow_text(line_bytes + COPY_SLACK);
        row_starts_.push_back(text_size_);
    }
    void push_piece(std::string_view piece, std::size_t readable) {
        copy_piece(text_.get() + text_size_, piece, readable);
        text_size_ += piece.size();
        end_cell();
    }

    // The same through pointers held by the caller, for rows that cannot
    // need 32-bit ends: the per-cell bookkeeping stays in registers instead
    // of going through the batch's members.  begin_narrow_row returns false,
    // appending nothing, when the batch keeps 32-bit ends or the line is
    // longer than NARROW_MAX; begin_row and push_piece take such a row.
    // Otherwise the caller puts exactly column_count() cells and then calls
    // finish_narrow_row.
    class NarrowRow {
    public:
        void put(std::string_view piece, std::size_t readable) noexcept {
            copy_piece(text_, piece, readable);
            text_ += piece.size();
            *end_++ = static_cast<std::uint16_t>(text_ - row_start_);
        }

    private:
        friend class TextBatch;
        char* row_start_ = nullptr;
        char* text_ = nullptr;  // where the next cell's bytes go
        std::uint16_t* end_ = nullptr;  // where the next cell's end goes
    };

    bool begin_narrow_row(std::size_t line_bytes, NarrowRow& row) {
        assert(cells_in_row_ == 0);
        if (wide_ || line_bytes > NARROW_MAX) return false;
        if (text_capacity_ - text_size_ < line_bytes + COPY_SLACK) grow_text(line_bytes + COPY_SLACK);
        const std::size_t cells = cell_ends16_.size();
        cell_ends16_.resize(cells + columns_);
        row_starts_.push_back(text_size_);
        row.row_start_ = row.text_ = text_.get() + text_size_;
        row.end_ = cell_ends16_.data() + cells;
        return true;
    }

    void finish_narrow_row(const NarrowRow& row) noexcept {
        assert(row.end_ == cell_ends16_.data() + cell_ends16_.size());
        text_size_ = static_cast<std::size_t>(row.text_ - text_.get());
    }

    std::string_view cell(std::size_t row, std::size_t column) const noexcept {
        const std::size_t i = row * columns_ + column;
        const std::size_t begin = column == 0 ? 0 : end_at(i - 1);
        return std::string_view(text_.get() + row_starts_[row] + begin, end_at(i) - begin);
    }

    // The bytes of a column's cells in all, and of its longest cell.
    struct ColumnSize {
        std::size_t bytes = 0;
        std::size_t longest = 0;
    };

    // Every row's cell of `column` into out[0, row_count()): the same views
    // as cell(), gathered with one test of the index width for the column.
    // Returns their sizes, counted on the way, so that the encoder need not
    // pass over the cells once more to size its output.
    ColumnSize column_cells(std::size_t column, std::string_view* out) const noexcept {
        return wide_ ? gather(cell_ends32_.data(), column, out) : gather(cell_ends16_.data(), column, out);
    }

    // Empties the batch, keeping its storage for the next chunk.
    void clear() noexcept {
        text_size_ = 0;
        row_starts_.clear();
        cell_ends16_.clear();
        cell_ends32_.clear();
        cells_in_row_ = 0;
    }

private:
    static constexpr std::size_t NARROW_MAX = 0xFFFF;
    // Room kept past a row's text for the word-sized copies of push_piece.
    static constexpr std::size_t COPY_SLACK = 16;

    // Copies a piece to `out`, short ones as one word when `readable`
    // allows, else as two overlapping ones: the bytes written past its size
    // are overwritten by what follows (COPY_SLACK keeps room for them).
    // The last pieces of a line have little readable after them, and a
    // library call per cell for them would cost more than the copy.
    static void copy_piece(char* out, std::string_view piece, std::size_t readable) noexcept {
        const char* in = piece.data();
        const std::size_t n = piece.size();
        if (n <= 8 && readable >= 8) {
            std::memcpy(out, in, 8);
        } else if (n <= 16 && readable >= 16) {
            std::memcpy(out, in, 16);
        } else if (n >= 8 && n <= 16) {
            std::memcpy(out, in, 8);
            std::memcpy(out + n - 8, in + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(out, in, 4);
            std::memcpy(out + n - 4, in + n - 4, 4);
        } else if (n > 0 && n < 4) {
            out[0] = in[0];
            out[n / 2] = in[n / 2];
            out[n - 1] = in[n - 1];
        } else if (n > 16) {
            std::memcpy(out, in, n);
        }
    }

    template <typename End>
    ColumnSize gather(const End* ends, std::size_t column, std::string_view* out) const noexcept {
        const std::size_t rows = row_starts_.size();
        const char* text = text_.get();
        const End* at = ends + column;  // the cell's end; the one before is its start
        ColumnSize size;
        for (std::size_t r = 0; r < rows; ++r, at += columns_) {
            const std::size_t begin = column == 0 ? 0 : at[-1];
            const std::size_t n = *at - begin;
            out[r] = std::string_view(text + row_starts_[r] + begin, n);
            size.bytes += n;
            size.longest = std::max(size.longest, n);
        }
        return size;
    }

    // Records the end of the cell just copied.
    void end_cell() {
        const std::size_t end = text_size_ - row_starts_.back();
        assert(end <= MAX_ROW_BYTES);
        if (!wide_ && end > NARROW_MAX) widen();
        if (wide_) {
            cell_ends32_.push_back(static_cast<std::uint32_t>(end));
        } else {
            cell_ends16_.push_back(static_cast<std::uint16_t>(end));
        }
        if (++cells_in_row_ == columns_) cells_in_row_ = 0;
    }

    // Makes room for `extra` more bytes, at least doubling the capacity so
    // that appends stay amortised.
    [[gnu::noinline]] void grow_text(std::size_t extra) {
        reallocate_text(std::max(text_capacity_ * 2, text_size_ + extra));
    }
    void reallocate_text(std::size_t capacity) {
        // Not value-initialised: pages are only touched as text arrives.
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (text_size_ != 0) std::memcpy(bigger.get(), text_.get(), text_size_);
        text_ = std::move(bigger);
        text_capacity_ = capacity;
    }

    std::size_t end_at(std::size_t i) const noexcept { return wide_ ? cell_ends32_[i] : cell_ends16_[i]; }

    // From here on this batch keeps 32-bit ends (also after clear(), which
    // keeps storage: a file with one long row likely has more).  Kept out
    // of line: push_cell runs once per cell and should inline.
    [[gnu::noinline, gnu::cold]] void widen() {
        cell_ends32_.reserve(cell_ends16_.capacity());
        cell_ends32_.assign(cell_ends16_.begin(), cell_ends16_.end());
        decltype(cell_ends16_)().swap(cell_ends16_);
        wide_ = true;
    }

    std::size_t columns_;
    std::size_t cells_in_row_ = 0;  // cells of the row being built
    std::unique_ptr<char[]> text_;  // the cells' text, row after row
    std::size_t text_size_ = 0;  // bytes of text_ in use
    std::size_t text_capacity_ = 0;  // bytes of text_ allocated
    std::vector<std::uint64_t> row_starts_;  // offset in text_ of each row
    bool wide_ = false;  // which of the two below holds the ends
    // End of each cell, from its row's start.
    std::vector<std::uint16_t, detail::UninitialisedAllocator<std::uint16_t>> cell_ends16_;
    std::vector<std::uint32_t> cell_ends32_;  // the same once a row reached 64 KiB
};

}  // namespace sarn::container
