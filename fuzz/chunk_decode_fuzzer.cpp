// libFuzzer target: the column decoder on arbitrary payloads.
//
// Input: byte 0 picks the type code (0-9, so unknown codes are included),
// byte 1 the encoding byte, bytes 2-3 the row count (little-endian); the rest
// is the payload.  decode_column_block must return a column or an error
// text.  When it returns a column, it holds exactly as many values as rows;
// integer and structured values read back the same after being encoded again.
#include <cstdint>
#include <cstdlib>

#include "container/chunk.hpp"
#include "container/chunk_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t type_code = data[0] % 10;
    sarn::container::ColumnChunkMeta meta;
    meta.encoding = static_cast<sarn::container::ColumnEncoding>(data[1] % 9);
    const std::size_t rows = data[2] | (data[3] << 8);
    const sarn::common::ByteView payload(data + 4, size - 4);
    auto column = sarn::container::decode_column_block(type_code, meta, payload, rows, false);
    if (!column) {
        if (column.error().message.empty()) std::abort();
        return 0;
    }
    if (column->length != rows) std::abort();
    std::vector<sarn::container::Value> values;
    for (std::size_t i = 0; i < rows; ++i) values.push_back(sarn::container::stored_value(*column, i));
    if (type_code == sarn::container::TYPE_INT && rows > 0) {
        std::vector<std::int64_t> xs;
        for (const auto& v : values) xs.push_back(v.int_value());
        auto again = sarn::container::internal::encode_integers(xs);
        auto back = sarn::container::internal::decode_integers(again.encoding, again.payload, rows);
        if (!back || *back != xs) std::abort();
    }
    if (type_code >= 6 && type_code <= 8) {
        // Structured values survive being written and read again.
        std::vector<const sarn::container::Value*> refs;
        for (const auto& v : values) refs.push_back(&v);
        sarn::container::ColumnChunkMeta plain;
        const auto encoded = sarn::container::internal::encode_column(type_code, refs);
        auto again = sarn::container::decode_column_block(type_code, plain, encoded.payload, rows, true);
        if (!again) std::abort();
        for (std::size_t i = 0; i < rows; ++i) {
            if (sarn::container::stored_value(*again, i) != values[i]) std::abort();
        }
    }
    return 0;
}
