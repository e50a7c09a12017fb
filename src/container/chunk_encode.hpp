// Chunk encoding: how the values of one column of one chunk become the
// payload of a column block, and the statistics and membership filter kept
// for it in the footer.  Encoding cannot fail.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "container/types.hpp"

namespace sarn::container {

// The text column as the writer sees it: per row its text bytes (empty for
// anything that is not Text) and whether the cell is Null.  `null_flags`
// empty means no cell is Null.
struct TextColumnView {
    std::span<const std::string_view> texts;
    std::span<const std::uint8_t> null_flags;
    // When the caller has counted them: the texts' bytes in all and the
    // longest text's, which spare the encoder a pass over the texts.
    static constexpr std::size_t NOT_COUNTED = SIZE_MAX;
    std::size_t text_bytes = NOT_COUNTED;
    std::size_t longest = 0;
};

// Encodes a text column and fills the statistics of `meta` (everything but
// offset and compressed_len).  Byte-identical to the generic path for the
// same cells.
Bytes encode_text_column(TextColumnView column, ColumnChunkMeta& meta);
// The same into `out`, which is overwritten; its capacity is reused, so a
// caller encoding many columns allocates once.
void encode_text_column(TextColumnView column, ColumnChunkMeta& meta, Bytes& out);

// Encodes an integer column (type code 1) of values none of which is Null
// and fills the statistics of `meta` (everything but offset and
// compressed_len): byte-identical to the generic path for the same Int
// values.  `out` is overwritten.
void encode_int_column(std::span<const std::int64_t> values, ColumnChunkMeta& meta, Bytes& out);

// Encodes any column (REQUIRES type_code 1..8; a null pointer stands for a
// missing cell, read as Null) and fills the statistics of `meta` (everything but
// offset and compressed_len).
Bytes encode_column_with_stats(std::uint8_t type_code, std::span<const Value* const> values, ColumnChunkMeta& meta);

// Sets the three filter bits of `bytes` in a 4096-bit membership filter.
void bloom_insert(std::array<std::uint8_t, BLOOM_BYTES>& bloom, std::string_view bytes) noexcept;

}  // namespace sarn::container
