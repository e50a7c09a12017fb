// Column batches: the values of one column block decoded straight into flat
// column buffers, the layout the Arrow columnar format uses.  The decoder
// that fills them is decode_column_block (chunk_decode.hpp).
//
//   integer   8-byte signed values
//   float     8-byte doubles: the stored fixed-point value / 10000
//   boolean   one bit per value, least significant bit first
//   text      offsets (32- or 64-bit, one more than the values) and bytes
//   bytes     as text, the bytes unchecked
//   object,   as bytes: each cell holds the value's serialization as the
//   list, map file stores it; to_json_column turns them into JSON text
//
// plus a validity bitmap (bit set = value present) when a cell is null.  No
// per-cell object is made: a PLAIN payload is copied into the byte buffer
// length by length, an integer payload expanded into the value buffer.
//
// Where the nulls are.  A column block stores a null as the value its kind
// writes for "nothing" (0, false, the empty text) and counts it in the
// footer's null_count, but does not say which cells were null.  The decoder
// marks a cell null only where the file leaves no doubt:
//   - every cell, when null_count equals the chunk's rows;
//   - in text and bytes columns, every empty cell, when their number equals
//     null_count (the nulls are exactly the empty cells);
//   - in structured columns, every cell whose serialization is the null tag.
// Otherwise a null reads as the value stored for it (0, false, "").  Chunk
// pruning (scan.hpp) reasons about the values as they read here, so that
// skipping a chunk never changes a result.
//
// All functions are safe to call from several threads at once on different
// data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container {

// A heap buffer of raw bytes, 64-byte aligned, whose growth does not
// zero-fill.  An empty buffer still has a valid (zeroed) data pointer, as
// the Arrow interface wants for buffers of length 0.
class RawBuffer {
public:
    RawBuffer() = default;
    explicit RawBuffer(std::size_t size) { resize(size); }
    RawBuffer(RawBuffer&& o) noexcept : data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    RawBuffer& operator=(RawBuffer&& o) noexcept;
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;
    ~RawBuffer();

    // Inline: the decoder, the statistics check and the filters reach a
    // buffer through it once per cell (DecodedColumn::cell); out of line,
    // that call took 7 % of a scan of a 200 MB CSV file's container.
    std::uint8_t* data() noexcept { return data_ ? data_ : const_cast<std::uint8_t*>(EMPTY); }
    const std::uint8_t* data() const noexcept { return data_ ? data_ : EMPTY; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Sets the size; new bytes are uninitialised.  Keeps the content.
    void resize(std::size_t size);
    // Resizes and fills every byte with `value`.
    void assign(std::size_t size, std::uint8_t value);

    template <class T>
    T* as() noexcept {
        return reinterpret_cast<T*>(data());
    }
    template <class T>
    const T* as() const noexcept {
        return reinterpret_cast<const T*>(data());
    }

    static constexpr std::size_t ALIGNMENT = 64;

private:
    // What an empty buffer points at.
    alignas(ALIGNMENT) static constexpr std::uint8_t EMPTY[ALIGNMENT] = {};

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// How a decoded column's buffers are laid out.
enum class ColumnLayout : std::uint8_t {
    Int64,  // values: int64
    Float64,  // values: double
    Bool,  // values: bits
    Utf8,  // offsets + data, UTF-8 text
    Binary,  // offsets + data, raw bytes
    Structured,  // offsets + data, one serialized value per cell
};

ColumnLayout layout_for(std::uint8_t type_code) noexcept;

// One decoded column of one chunk (or of the rows a filter kept).
struct DecodedColumn {
    std::uint8_t type_code = TYPE_TEXT;
    ColumnLayout layout = ColumnLayout::Utf8;
    bool large_offsets = false;  // offsets are int64 (else int32)
    std::size_t length = 0;
    std::size_t null_count = 0;
    RawBuffer validity;  // ceil(length / 8) bytes; empty when null_count == 0
    RawBuffer values;  // fixed-width values, or the offsets of a variable-width layout
    RawBuffer data;  // bytes of a variable-width layout

    bool is_valid(std::size_t i) const noexcept {
        return null_count == 0 || ((validity.data()[i / 8] >> (i % 8)) & 1) != 0;
    }
    bool has_offsets() const noexcept {
        return layout == ColumnLayout::Utf8 || layout == ColumnLayout::Binary || layout == ColumnLayout::Structured;
    }
    // REQUIRES: has_offsets().
    std::uint64_t offset(std::size_t i) const noexcept {
        return large_offsets ? static_cast<std::uint64_t>(values.as<std::int64_t>()[i])
                             : static_cast<std::uint64_t>(values.as<std::int32_t>()[i]);
    }
    std::string_view cell(std::size_t i) const noexcept {
        const std::uint64_t b = offset(i), e = offset(i + 1);
        return {reinterpret_cast<const char*>(data.data()) + b, static_cast<std::size_t>(e - b)};
    }
    std::int64_t int_at(std::size_t i) const noexcept { return values.as<std::int64_t>()[i]; }
    double float_at(std::size_t i) const noexcept { return values.as<double>()[i]; }
    bool bool_at(std::size_t i) const noexcept { return ((values.data()[i / 8] >> (i % 8)) & 1) != 0; }
};

// The footer entry `meta` against the decoded values of its block: the one
// check of a block's statistics, behind `sarn verify` and SarnFile.verify().
//   - the null count: within the rows, and no more than the cells holding
//     what a null is stored as (exactly the null cells of structured kinds);
//   - only the statistics the kind keeps (integer bounds for types 1-3,
//     text bounds and membership filter for text), and none when every
//     value is null;
//   - integer and boolean bounds: exactly the range of the values that are
//     not null.  A null is stored as 0, so with nulls the zeros beyond the
//     null count are values, and when there are just as many zeros as nulls
//     every 0 is a null and the bounds are those of the other cells;
//   - float bounds (kept truncated to integers): every stored value within
//     one unit of them, but the 0 of a null;
//   - text: the membership filter rebuilt exactly from the cells; the bounds
//     exactly the range of the texts that are not null, reasoned about the
//     empty cells as about the zeros above.
// Bounds that a filter could trust wrongly (skipping a chunk that holds a
// match) are always among the faults.
// Returns the first disagreement as text, or "".
std::string check_block_statistics(const ColumnChunkMeta& meta, const DecodedColumn& column);

// Where the stored values of a float block can lie, given the footer's
// bounds on their integer view: the writer truncates for the statistics but
// rounds (x 10000) for storage, and clamps the scaled value to 64 bits.
std::pair<double, double> stored_float_bounds(std::int64_t min_int, std::int64_t max_int);

// The value a cell of a structured column holds (its serialization).
Result<Value> structured_cell(std::string_view cell);

// The JSON text of one value, as to_json_column writes it; `ok` is false
// when a text inside it is not well-formed UTF-8.
std::string value_to_json(const Value& v, bool& ok);

// A structured column with each cell rewritten as JSON text (layout Utf8):
// objects as JSON objects, lists as arrays, maps as objects whose keys are
// the JSON text of non-text keys, bytes as base64 text, non-finite floats as
// NaN, Infinity and -Infinity (as Python's json module writes them).  The
// text is written straight from the cells' serializations and stops as soon
// as the column's buffers would pass `max_bytes`: then *exceeded (when
// given) is set beside the error.  With 32-bit offsets it also stops where
// they could no longer point.
Result<DecodedColumn> to_json_column(const DecodedColumn& structured, std::uint64_t max_bytes = UINT64_MAX,
                                     bool* exceeded = nullptr);

// The rows of `column` whose bit is set in `keep` (one byte per row, 0 or 1),
// in order.  `kept` is the number of set bytes.
DecodedColumn take_rows(const DecodedColumn& column, std::span<const std::uint8_t> keep, std::size_t kept);

}  // namespace sarn::container
