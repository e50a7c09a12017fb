// Chunk decoding: the payload of a column block back to its values, checked
// throughout, into the flat buffers of a DecodedColumn (column_batch.hpp).
// This is the only decoder of column payloads: the verifying reader, the
// scans, the Arrow export and the command all reach it.
//
// Decoding checks every length against the payload and the chunk's row
// count, the encoding against the type code, padding bits, and that text is
// well-formed UTF-8.  Failures are errors of kind Format whose text says what
// is wrong, without location; the caller adds file, chunk, column and offset.
// All functions are safe to call from several threads at once on different
// data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.hpp"
#include "container/column_batch.hpp"
#include "container/types.hpp"

namespace sarn::container {

// True for the four encodings of integer and float columns.
bool is_integer_encoding(ColumnEncoding encoding) noexcept;

// Decodes the (decompressed, deciphered) payload of one column block into
// buffers.  `rows` is the chunk's row count, `meta` the block's footer entry
// (its encoding and null count, which places the nulls: column_batch.hpp).
// `large_offsets` picks 64-bit offsets; with 32-bit ones a payload whose
// bytes exceed 2^31 - 1 is refused.
Result<DecodedColumn> decode_column_block(std::uint8_t type_code, const ColumnChunkMeta& meta, ByteView payload,
                                          std::size_t rows, bool large_offsets);

// The value cell `i` stores, as the writer's encoded view: Int for integer
// columns, Float (the stored value / 10000) for float columns, Bool, Text,
// Bytes, and the deserialized value for structured columns.  It ignores the
// validity bitmap: a null the decoder located still reads as the 0, false or
// empty text stored for it (a structured null is Null either way).
// REQUIRES: `column` came from decode_column_block, i < column.length.
Value stored_value(const DecodedColumn& column, std::size_t i);

}  // namespace sarn::container
