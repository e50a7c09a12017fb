// EncodedChunk: one chunk of rows turned into its column blocks, ready to be
// appended to a container.
//
// Writing a chunk has two halves.  encode_chunk is the expensive, pure half:
// per column it computes the statistics and membership filter, encodes the
// values, enciphers the payload of an encrypted column, compresses it and
// check-sums the block.  It touches no file and no writer, so any number of
// chunks can be encoded at once on different threads.  The cheap, ordered
// half is StreamingSarnWriter::append_chunk, which writes the blocks of one
// encoded chunk after those of the chunk before and records where they went.
//
// The chunk's index is an input of the pure half because the cipher's
// counter depends on it; block offsets are the only thing left for append.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/codec.hpp"
#include "common/result.hpp"
#include "container/text_batch.hpp"
#include "container/types.hpp"

namespace sarn::container {

// One column block of an encoded chunk: the compressed payload and its CRC.
struct EncodedBlock {
    std::uint32_t crc = 0;  // CRC-32 of `data`
    Bytes data;  // the compressed (and, when enciphered, encrypted) payload
};

struct EncodedChunk {
    std::uint32_t index = 0;  // position of the chunk in the container, from 0
    std::uint64_t rows = 0;  // rows in the chunk; 0 means nothing to append
    // One per schema column.  Everything but `offset` is final; append sets
    // offset (compressed_len is the block's length already).
    std::vector<ColumnChunkMeta> metas;
    std::vector<EncodedBlock> blocks;  // one per schema column, in schema order
    // Leading blocks already handed to the writer (StreamingSarnWriter::
    // append_blocks): their data is released and their metas' offsets set.
    std::size_t blocks_written = 0;
};

// Called by encode_chunk each time the block of a column is complete, with
// the chunk so far and the number of complete blocks.  It may hand them to
// the writer ahead of the rest, so that a wide chunk need not hold all its
// compressed blocks at once; an error it returns ends the encoding with
// that error.
using BlockSink = std::function<Result<void>(EncodedChunk& chunk, std::size_t complete)>;

// Working storage of encode_chunk that one thread keeps across chunks: the
// column being gathered, its payload and the block compressor's tables.
// Reusing it spares a fresh allocation, and the page faults of touching
// it, for every column.
struct ChunkScratch {
    std::vector<std::string_view> texts;
    std::vector<std::int64_t> integers;
    std::vector<std::uint8_t> null_flags;
    Bytes payload;
    codec::BlockWorkspace codec;
};

// Encodes `batch` as chunk number `index` of a container with `schema`.
// Columns the batch lacks read as Null cells.  The cells of an integer
// column (type code 1) are canonical decimal integers
// (common::parse_canonical_int64), stored as their values.  The bytes are those the
// writer's write_chunk(batch) emits for the same chunk, when the writer
// works at the same level.
// Errors: a column whose encoded payload reaches 4 GiB, the most a column
// block can hold ("Column '{name}' of chunk {index} encodes to {n} bytes; a
// column block holds less than 4 GiB"); a cell of an integer column that is
// not a canonical integer (ErrorKind::Input, NOT_INTEGER_TEXT and the place:
// the row reader checks cells before, so only input that changed under a
// job gets here).
// When `stop` is given and becomes true, the work ends after the column in
// hand with the error STOPPED_TEXT, so that a cancelled job does not finish
// a wide chunk first.
// `scratch`, when given, is used instead of storage of the call's own;
// `on_block`, when given, sees each block as it is complete.  `level` is the
// block codec's compression level for the column blocks (codec::MIN_LEVEL
// to codec::MAX_LEVEL); any level's blocks read back the same.
// Thread-safety: reads only its arguments; safe to call concurrently, each
// thread with a scratch of its own.
Result<EncodedChunk> encode_chunk(std::span<const ColumnSchema> schema, std::uint32_t index, const TextBatch& batch,
                                  const std::atomic<bool>* stop = nullptr, ChunkScratch* scratch = nullptr,
                                  const BlockSink& on_block = {}, int level = codec::DEFAULT_LEVEL);

inline constexpr const char* STOPPED_TEXT = "chunk encoding stopped";
inline constexpr const char* NOT_INTEGER_TEXT = "is not an integer";

// The same for rows of any values; a row shorter than the schema reads as
// Null in its missing positions.
Result<EncodedChunk> encode_chunk(std::span<const ColumnSchema> schema, std::uint32_t index, std::span<const Row> rows,
                                  int level = codec::DEFAULT_LEVEL);

}  // namespace sarn::container
