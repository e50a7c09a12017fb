// SarnReader: reads a SARN container back and verifies it.
//
// open() reads and checks the header (magic, version, schema block,
// dictionary block), the trailer and the footer: counts agree with the header,
// every column block lies inside the chunk data, the blocks follow one
// another without gaps from the end of the header to the footer, and the
// per-chunk row counts are those that chunk_size and row_count imply.  It
// keeps only the header, schema and footer in memory.
//
// Column blocks are then read on demand, one at a time and from any number
// of threads: read_block() checks the block's length and CRC-32,
// decompresses it and deciphers it when the column is enciphered and a key
// was given; read_column() decodes that payload into a DecodedColumn
// (chunk_decode.hpp).  Every reader of blocks (scans, the Arrow export,
// verify, info, cat) goes through these two.
//
// Failures.  A file that is not a sound container gives an error of kind
// Format whose text names the file and where in it the fault is (chunk,
// column, byte offset); a failed system call (open, fstat, pread) an error
// of kind Io that keeps its errno and the file's path.  No input can make
// the reader crash, read out of bounds or allocate from a length it has not
// checked against the file or the limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/file_io.hpp"
#include "common/result.hpp"
#include "container/column_batch.hpp"
#include "container/encryption.hpp"
#include "container/types.hpp"

namespace sarn::container {

struct ContainerHeader {
    std::string magic;  // "SARN"
    std::uint16_t version = 0;
    std::uint16_t column_count = 0;
    std::uint64_t row_count = 0;
    std::uint32_t chunk_count = 0;
    std::uint32_t chunk_size = 0;
    std::uint64_t created_at = 0;
    std::uint64_t header_size = 0;
    std::uint64_t footer_offset = 0;
    std::uint64_t footer_len = 0;
    std::uint64_t file_size = 0;
};

// Bounds on what a hostile file can make the reader allocate.
struct ReaderLimits {
    std::uint64_t max_block_output = 1ULL << 30;  // decompressed bytes of any one block
    std::uint64_t max_chunk_rows = 1ULL << 24;    // rows of a chunk whose blocks the reader reads
};

// One column block as stored: its method byte and its payload, decompressed
// and deciphered.
struct BlockPayload {
    std::optional<std::uint8_t> method;  // none for an empty block
    Bytes payload;
};

struct ColumnBlockData {
    std::optional<std::uint8_t> method;  // the block's method byte; none for an empty block
    std::uint64_t raw_len = 0;           // length of the decompressed (and deciphered) payload
    std::optional<DecodedColumn> column; // the decoded values, when asked for
};

struct ChunkData {
    std::vector<ColumnBlockData> columns;  // in schema order
};

class SarnReader {
public:
    static Result<SarnReader> open(const std::string& path, ReaderLimits limits = {});

    const ContainerHeader& header() const noexcept { return header_; }
    const std::vector<ColumnSchema>& schema() const noexcept { return schema_; }
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    std::uint32_t chunk_rows(std::size_t chunk) const { return chunk_rows_.at(chunk); }
    const std::vector<ColumnChunkMeta>& chunk_columns(std::size_t chunk) const { return chunks_.at(chunk); }

    // The key of an enciphered column (the file never holds keys).  Without
    // one, the column's payload is decoded as it is stored.
    void set_column_key(std::size_t column, const AesKey& key) { schema_.at(column).key = key; }

    const std::string& path() const noexcept { return path_; }
    const ReaderLimits& limits() const noexcept { return limits_; }

    // Whether text columns decode with 64-bit offsets: only when a block may
    // decompress to 2 GiB or more.  The same for every chunk.
    bool large_offsets() const noexcept { return limits_.max_block_output > 0x7FFFFFFFULL; }

    // "PATH: chunk C, column I ('name'), block at offset N: ", the place
    // every error about one block starts with.
    std::string place(std::size_t chunk, std::size_t column) const;

    // Reads the block of column `column` in chunk `chunk`: checks its length
    // against the footer and its CRC-32, decompresses it (within the bound
    // its type and row count allow) and deciphers it when the column is
    // enciphered.  Thread-safe.
    Result<BlockPayload> read_block(std::size_t chunk, std::size_t column) const;

    // read_block, then the payload decoded.  Thread-safe.
    Result<DecodedColumn> read_column(std::size_t chunk, std::size_t column) const;

    // Every block of chunk `chunk`, decoded when `decode_values` is set.
    Result<ChunkData> read_chunk(std::size_t chunk, bool decode_values = true) const;

private:
    SarnReader() = default;
    // Decodes the payload of a block read by read_block; errors say where.
    Result<DecodedColumn> decode(std::size_t chunk, std::size_t column, ByteView payload) const;

    std::string path_;
    common::FileHandle file_;
    ReaderLimits limits_;
    ContainerHeader header_;
    std::vector<ColumnSchema> schema_;
    std::vector<std::uint32_t> chunk_rows_;
    std::vector<std::vector<ColumnChunkMeta>> chunks_;
};

// What a schema can be checked for beyond what open() checks (type codes
// known, names within the schema block): every name is UTF-8 and every
// encryption flag 0 or 1.  The schema carries no checksum, so this is all
// there is.  Returns the problem ("schema: ..."), or "".  The readers of
// values (TableReader) and `sarn verify` refuse a file that fails it; `sarn
// info` still shows it.
std::string schema_fault(const std::vector<ColumnSchema>& schema);

}  // namespace sarn::container
