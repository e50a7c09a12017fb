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

struct EncodedColumn {
    ColumnEncoding encoding = ColumnEncoding::PLAIN;
    Bytes payload;
};

// ---- views ---------------------------------------------------------------

// Int itself, Float truncated toward zero with saturation (NaN gives 0),
// Bool 0 or 1, anything else 0.
std::int64_t integer_view(const Value& v) noexcept;
// Float or Int times 10000, rounded half away from zero, saturated (NaN
// gives 0); anything else 0.
std::int64_t scaled_float_view(const Value& v) noexcept;
// Bool itself; Int non-zero; Text "1" or "true" in any letter case.
bool boolean_view(const Value& v) noexcept;

// ---- encoders --------------------------------------------------------------

// The payload of one column: REQUIRES type_code 1..8.
EncodedColumn encode_column(std::uint8_t type_code, std::span<const Value> values);
// The same over borrowed values; a null pointer stands for a missing cell (Null).
EncodedColumn encode_column(std::uint8_t type_code, std::span<const Value* const> values);

// The integer pipeline over already computed views.
EncodedColumn encode_integers(std::span<const std::int64_t> xs);
// Each encoding on its own, for tests.
Bytes encode_linear(std::span<const std::int64_t> xs);
Bytes encode_run_length(std::span<const std::int64_t> xs);
Bytes encode_delta(std::span<const std::int64_t> xs);
Bytes encode_bit_packed(std::span<const std::int64_t> xs);  // REQUIRES max - min <= 0xFFFFFFFF

// ---- statistics --------------------------------------------------------------

// The text column as the writer sees it: per row its text bytes (empty for
// anything that is not Text) and whether the cell is Null.  `null_flags`
// empty means no cell is Null.
struct TextColumnView {
    std::span<const std::string_view> texts;
    std::span<const std::uint8_t> null_flags;
};

// Encodes a text column and fills the statistics of `meta` (everything but
// offset and compressed_len).  Byte-identical to the generic path for the
// same cells.
Bytes encode_text_column(TextColumnView column, ColumnChunkMeta& meta);

// Encodes any column and fills the statistics of `meta` (everything but
// offset and compressed_len).
Bytes encode_column_with_stats(std::uint8_t type_code, std::span<const Value* const> values,
                               ColumnChunkMeta& meta);

// Sets the three filter bits of `bytes` in a 4096-bit membership filter.
void bloom_insert(std::array<std::uint8_t, BLOOM_BYTES>& bloom, std::string_view bytes) noexcept;

}  // namespace sarn::container
