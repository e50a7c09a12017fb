// Internals of the column payload codec, shared between chunk_encode.cpp,
// chunk_decode.cpp, the unit tests and the fuzz targets: the views a column
// stores, the payload without statistics, and each integer encoding on its
// own.  The writer and the reader go through chunk_encode.hpp and
// chunk_decode.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container::internal {

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
// Each integer encoding on its own.
Bytes encode_linear(std::span<const std::int64_t> xs);
Bytes encode_run_length(std::span<const std::int64_t> xs);
Bytes encode_delta(std::span<const std::int64_t> xs);
Bytes encode_bit_packed(std::span<const std::int64_t> xs);  // REQUIRES max - min <= 0xFFFFFFFF

// ---- decoders ----------------------------------------------------------------

// Integer views back from one of the four integer encodings.
Result<std::vector<std::int64_t>> decode_integers(ColumnEncoding encoding, ByteView payload, std::size_t rows);
// The same into `out`, which holds `rows` values.
Result<void> decode_integers_into(ColumnEncoding encoding, ByteView payload, std::size_t rows, std::int64_t* out);

}  // namespace sarn::container::internal
