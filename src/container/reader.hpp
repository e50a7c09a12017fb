// SarnReader: reads a SARN container back and verifies it.
//
// open() reads and checks the header (magic, version, schema block,
// dictionary block), the trailer and the footer: counts agree with the header,
// every column block lies inside the chunk data, the blocks follow one
// another without gaps from the end of the header to the footer, and the
// per-chunk row counts are those that chunk_size and row_count imply.  It
// keeps only the header, schema and footer in memory.
//
// read_chunk() then reads one chunk's column blocks on demand: checks each
// block's CRC-32 and length, decompresses it, deciphers it when the column is
// enciphered and a key was given, and decodes its values.  Values come back
// as the writer's encoded views (Int for integer columns, Float of the scaled
// value / 10000 for float columns, Bool, Text, Bytes, structured values).
//
// Every failure is an error text naming the file and where in it the fault
// is; no input can make the reader crash, read out of bounds or allocate
// from a length it has not checked against the file or the limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/encryption.hpp"
#include "common/file_io.hpp"
#include "common/result.hpp"
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
    std::uint64_t max_chunk_rows = 1ULL << 24;    // rows of a chunk that read_chunk decodes
};

struct ColumnBlockData {
    std::optional<std::uint8_t> method;  // the block's method byte; none for an empty block
    std::uint64_t raw_len = 0;           // length of the decompressed (and deciphered) payload
    std::vector<Value> values;           // empty unless values were decoded
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

    // What scans need to read blocks themselves (scan.cpp).
    const std::string& path() const noexcept { return path_; }
    const common::FileHandle& file() const noexcept { return file_; }
    const ReaderLimits& limits() const noexcept { return limits_; }

    // Reads, verifies and (with decode_values) decodes chunk `chunk`.
    Result<ChunkData> read_chunk(std::size_t chunk, bool decode_values = true) const;

private:
    SarnReader() = default;

    std::string path_;
    common::FileHandle file_;
    ReaderLimits limits_;
    ContainerHeader header_;
    std::vector<ColumnSchema> schema_;
    std::vector<std::uint32_t> chunk_rows_;
    std::vector<std::vector<ColumnChunkMeta>> chunks_;
};

}  // namespace sarn::container
