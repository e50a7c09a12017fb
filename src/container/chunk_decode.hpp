// Chunk decoding: the payload of a column block back to its values, checked
// throughout.  The error text says what is wrong, without location (the
// caller adds it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "container/types.hpp"

namespace sarn::container {

// Decodes a payload of `rows` values back to their encoded views: Int for
// type 1, Float (scaled value / 10000) for type 2, Bool, Text, Bytes, and
// the deserialized values for 6-8.
Result<std::vector<Value>> decode_column(std::uint8_t type_code, ColumnEncoding encoding, ByteView payload,
                                         std::size_t rows);

}  // namespace sarn::container
