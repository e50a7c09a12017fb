// Chunk encoding: how the values of one column of one chunk become the
// payload of a column block, and the statistics and membership filter kept
// for it in the footer.  Also the inverse, used by the verifying reader.
//
// Payload forms per column type code:
//   1 integer  integer view of each value, through the integer pipeline
//   2 float    0xFE 0x04, then the integer pipeline over value x 10000
//              (rounded half away from zero): four decimals are kept
//   3 boolean  BITMAP, one bit per value, least significant bit first
//   4 text     PLAIN: per value a varint length and the bytes
//   5 bytes    PLAIN, as text
//   6-8        PLAIN over serialize_value of each value
//
// The integer pipeline picks LINEAR for arithmetic progressions (and for at
// most two values), otherwise the shortest of RUN_LENGTH, DELTA and
// BIT_PACKED, ties going to BIT_PACKED, then DELTA.  The number of values is
// never stored: a reader takes it from the chunk's row count.
//
// Encoding cannot fail.  Decoding checks everything and returns an error text
// on malformed input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container {

inline constexpr std::int64_t FLOAT_SCALE = 10000;
inline constexpr std::uint8_t FLOAT_MARKER = 0xFE;
inline constexpr std::uint8_t FLOAT_DECIMALS = 4;

struct EncodedColumn {
    ColumnEncoding encoding = ColumnEncoding::PLAIN;
    Bytes payload;
};

// True for the type codes 1 to 8, the ones this encoder knows.
inline bool is_known_type_code(std::uint8_t type_code) noexcept { return type_code >= 1 && type_code <= 8; }

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

// Self-describing form of one value: a tag byte, then a body.
Bytes serialize_value(const Value& v);
void serialize_value_into(Bytes& out, const Value& v);

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

// ---- decoders ----------------------------------------------------------------

// Decodes a payload of `rows` values back to their encoded views: Int for
// type 1, Float (scaled value / 10000) for type 2, Bool, Text, Bytes, and
// the deserialized values for 6-8.  The error text says what is wrong,
// without location (the caller adds it).
Result<std::vector<Value>> decode_column(std::uint8_t type_code, ColumnEncoding encoding, ByteView payload,
                                         std::size_t rows);

// Integer views back from one of the four integer encodings.
Result<std::vector<std::int64_t>> decode_integers(ColumnEncoding encoding, ByteView payload, std::size_t rows);

// One serialized value from the front of `in` (advancing `pos`).
Result<Value> deserialize_value(ByteView in, std::size_t& pos);

}  // namespace sarn::container
