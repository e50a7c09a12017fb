// libFuzzer target: the column decoders on arbitrary payloads.
//
// Input: byte 0 picks the type code (0-9, so unknown codes are included),
// byte 1 the encoding byte, bytes 2-3 the row count (little-endian); the rest
// is the payload.  decode_column must return values or an error text.  When
// it returns values, there are exactly as many as rows; integer and structured
// values read back the same after being encoded again.
#include <cstdint>
#include <cstdlib>

#include "container/chunk.hpp"
#include "container/chunk_internal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t type_code = data[0] % 10;
    const auto encoding = static_cast<sarn::container::ColumnEncoding>(data[1] % 9);
    const std::size_t rows = data[2] | (data[3] << 8);
    const sarn::common::ByteView payload(data + 4, size - 4);
    auto values = sarn::container::decode_column(type_code, encoding, payload, rows);
    if (!values) {
        if (values.error().message.empty()) std::abort();
        return 0;
    }
    if (values->size() != rows) std::abort();
    if (type_code == sarn::container::TYPE_INT && rows > 0) {
        std::vector<std::int64_t> xs;
        for (const auto& v : *values) xs.push_back(v.int_value());
        auto again = sarn::container::internal::encode_integers(xs);
        auto back = sarn::container::internal::decode_integers(again.encoding, again.payload, rows);
        if (!back || *back != xs) std::abort();
    }
    if (type_code >= 6 && type_code <= 8) {
        // Structured values survive being written and read again.
        std::vector<const sarn::container::Value*> refs;
        for (const auto& v : *values) refs.push_back(&v);
        auto again = sarn::container::decode_column(type_code, sarn::container::ColumnEncoding::PLAIN, sarn::container::internal::encode_column(type_code, refs).payload, rows);
        if (!again || *again != *values) std::abort();
    }
    return 0;
}
