// The block codec: the general-purpose byte compressor used for every block
// of a SARN container (schema, dictionary, column payloads, footer), and the
// decoders that read its blocks back.
//
// A block is one method byte (BlockMethod) followed by that method's payload;
// the empty input is the one exception and compresses to zero bytes.  The
// bytes are fully determined by the input.  No call keeps state between
// calls; all functions are safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace sarn::codec {

enum class BlockMethod : std::uint8_t {
    LZ = 0,
    LZ_HUFFMAN = 1,
    STORED = 2,
    HUFFMAN = 3,
    RANGE = 4,
    LZ_RANGE = 5,
};

// The common vocabulary this interface speaks in.
using common::Bytes;
using common::ByteView;
using common::Error;
using common::Result;

// Compresses `input` (shorter than 2^32 bytes) into one block.  Cannot fail.
Bytes compress_block(ByteView input);

// The stages, exposed for tests, benchmarks and fuzzing.
Bytes lz_encode(ByteView input);       // LZ token stream (input of 10 bytes or more)
Bytes huffman_encode(ByteView input);  // canonical Huffman payload
Bytes range_encode(ByteView input);    // 14-bit range coder payload

// Decoders.  On malformed or hostile input they return an error, never
// crash, never read or write out of bounds, and never produce (or allocate
// for) more than `max_output` bytes: exceeding it is an error.
Result<Bytes> decompress_block(ByteView block, std::size_t max_output);
Result<Bytes> lz_decode(ByteView tokens, std::size_t max_output);
Result<Bytes> huffman_decode(ByteView payload, std::size_t max_output);
Result<Bytes> range_decode(ByteView payload, std::size_t max_output);

}  // namespace sarn::codec
