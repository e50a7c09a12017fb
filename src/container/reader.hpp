// SarnReader: reads a SARN container back and verifies it.
//
// open() reads and checks the header (magic, version, schema block,
// dictionary block), the trailer and the footer: counts agree with the header,
// every column block lies inside the chunk data, the blocks follow one
// another without gaps from the end of the header to the footer, and the
// per-chunk row counts are those that chunk_size and row_count imply.  It
// keeps only the header, schema and footer in memory, the footer in a
// compact index (SarnReader::Entry).  The schema and footer blocks are read
// a piece at a time and only as far as their entries go: a block that
// expands past them is refused there, and the names and min/max texts they
// hold are bounded by the memory budget (ReaderLimits::max_chunk_bytes).
//
// The bytes come from a ByteSource (byte_source.hpp): a local file, or an
// object in a store that is fetched a range at a time.  For a source that
// fetches, open() asks for the head and the tail of the object at once,
// which hold the header, the trailer and (mostly) the footer.
//
// Column blocks are then read on demand, one at a time and from any number
// of threads: read_block() checks the block's length and CRC-32,
// decompresses it and deciphers it when the column is enciphered and a key
// was given; read_column() decodes that payload into a DecodedColumn
// (chunk_decode.hpp).  Every reader of blocks (scans, the Arrow export,
// verify, info, cat) goes through these two, or through measure_block().
//
// Memory.  Each read of a chunk carries a ChunkBudget: what a block declares
// (its stated length, rows x 8 bytes for integers, ...) is checked against
// what is left of it before anything is allocated, and a block that states
// nothing (the LZ forms) stops expanding when it passes what is left.  A
// chunk that does not fit is refused with a Format error naming the chunk,
// the column and the bytes it would need.
//
// Failures.  A file that is not a sound container gives an error of kind
// Format whose text names the file and where in it the fault is (chunk,
// column, byte offset); a failed system call (open, fstat, pread) or
// request an error of kind Io that keeps its errno and the file's path.  No input can make
// the reader crash, read out of bounds or allocate from a length it has not
// checked against the file or the limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "container/byte_source.hpp"
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
    // Bytes that reading one chunk may take for the columns it is asked
    // for: each column's decompressed block and the values decoded from it
    // (for structured columns read as JSON, the JSON text too), added up
    // over the chunk's requested columns.  Checked from what a block
    // declares before its output is allocated.  The min/max texts of the
    // footer and the column names of the schema are each held to it as well.
    std::uint64_t max_chunk_bytes = DEFAULT_MAX_CHUNK_BYTES;
    std::uint64_t max_chunk_rows = 1ULL << 24;  // rows of a chunk whose blocks the reader reads

    static constexpr std::uint64_t DEFAULT_MAX_CHUNK_BYTES = 1ULL << 30;
};

// The part of a chunk's memory budget (ReaderLimits::max_chunk_bytes) that
// its reading has taken so far.  One per chunk read; not thread-safe.
class ChunkBudget {
public:
    explicit ChunkBudget(std::uint64_t limit) noexcept : limit_(limit) {}
    std::uint64_t limit() const noexcept { return limit_; }
    std::uint64_t used() const noexcept { return used_; }
    std::uint64_t left() const noexcept { return limit_ - used_; }
    // Takes `bytes` when they fit in what is left; false (and nothing
    // taken) when they do not.
    bool take(std::uint64_t bytes) noexcept {
        if (bytes > left()) return false;
        used_ += bytes;
        return true;
    }

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// One column block as stored: its method byte and its payload, decompressed
// and deciphered.
struct BlockPayload {
    std::optional<std::uint8_t> method;  // none for an empty block
    Bytes payload;
};

// A block measured without keeping its content: its method byte and the
// length of its content (deciphering keeps the length).
struct BlockMeasure {
    std::optional<std::uint8_t> method;  // none for an empty block
    std::uint64_t raw_len = 0;
};

struct ColumnBlockData {
    std::optional<std::uint8_t> method;  // the block's method byte; none for an empty block
    std::uint64_t raw_len = 0;  // length of the decompressed (and deciphered) payload
    std::optional<DecodedColumn> column;  // the decoded values, when asked for
};

struct ChunkData {
    std::vector<ColumnBlockData> columns;  // in schema order
};

class SarnReader {
public:
    // Opens the local file at `path` (FileSource::open).
    static Result<SarnReader> open(const std::string& path, ReaderLimits limits = {});
    // Opens the container that `source` holds; errors name source->name().
    static Result<SarnReader> open(std::shared_ptr<const ByteSource> source, ReaderLimits limits = {});

    const ContainerHeader& header() const noexcept { return header_; }
    const std::vector<ColumnSchema>& schema() const noexcept { return schema_; }
    std::size_t chunk_count() const noexcept { return chunk_rows_.size(); }
    std::uint32_t chunk_rows(std::size_t chunk) const { return chunk_rows_.at(chunk); }
    // The footer entry of one column block.  REQUIRES: chunk < chunk_count(), column < schema().size().
    ColumnChunkMeta block_meta(std::size_t chunk, std::size_t column) const;
    std::uint64_t block_offset(std::size_t chunk, std::size_t column) const { return entry(chunk, column).offset; }
    std::uint64_t block_length(std::size_t chunk, std::size_t column) const {
        return entry(chunk, column).compressed_len;
    }

    // The key of an enciphered column (the file never holds keys).  Without
    // one, the column's payload is decoded as it is stored.
    void set_column_key(std::size_t column, const AesKey& key) { schema_.at(column).key = key; }

    const std::string& path() const noexcept { return path_; }
    const ByteSource& source() const noexcept { return *source_; }
    std::shared_ptr<const ByteSource> shared_source() const noexcept { return source_; }
    // Where the block of column `column` in chunk `chunk` is stored: its
    // CRC-32 and length, then its payload.
    ByteRange block_range(std::size_t chunk, std::size_t column) const;
    const ReaderLimits& limits() const noexcept { return limits_; }
    // A checksum (CRC-32) of the footer block as stored: with the header's
    // created_at and the footer's place, what tells this file from another
    // of the same length and modification time.
    std::uint32_t footer_crc() const noexcept { return footer_crc_; }

    // Whether text columns decode with 64-bit offsets under `max_chunk_bytes`:
    // only when a block may then decompress to 2 GiB or more.
    static bool large_offsets_for(std::uint64_t max_chunk_bytes) noexcept { return max_chunk_bytes > 0x7FFFFFFFULL; }
    bool large_offsets() const noexcept { return large_offsets_for(limits_.max_chunk_bytes); }

    // "PATH: chunk C, column I ('name'), block at offset N: ", the place
    // every error about one block starts with.
    std::string place(std::size_t chunk, std::size_t column) const;

    // The error of a chunk whose reading would pass its budget at column
    // `column`: `needed` bytes in all, or more (`at_least`).
    Error over_budget(std::size_t chunk, std::size_t column, std::uint64_t needed, bool at_least,
                      const ChunkBudget& budget) const;

    // Reads the block of column `column` in chunk `chunk`: checks its length
    // against the footer and its CRC-32, decompresses it (within the bound
    // its type and row count allow and what is left of `budget`, which it
    // charges) and deciphers it when the column is enciphered.  Thread-safe.
    Result<BlockPayload> read_block(std::size_t chunk, std::size_t column, ChunkBudget& budget) const;

    // read_block, then the payload decoded; the decoded values are charged
    // to `budget` too, before they are allocated.  The stored block is read
    // from `fetched` when given (bytes fetched ahead; it falls back on the
    // file's own source), else from source().  Thread-safe.
    Result<DecodedColumn> read_column(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                      const ByteSource* fetched = nullptr) const;

    // The length of a block's content without holding it, and with the
    // length and CRC-32 checks of read_block: what the block declares (the
    // stored, Huffman and range forms), or what it expands to, counted a
    // piece at a time (the LZ forms, and every form when `check_content`
    // asks for every step of its decompression to be checked as read_block
    // does).  Charges the length to `budget`.  Thread-safe.
    Result<BlockMeasure> measure_block(std::size_t chunk, std::size_t column, ChunkBudget& budget,
                                       bool check_content = true, const ByteSource* fetched = nullptr) const;

    // The same, each on a budget of its own (a whole chunk's).
    Result<BlockPayload> read_block(std::size_t chunk, std::size_t column) const;
    Result<DecodedColumn> read_column(std::size_t chunk, std::size_t column) const;

    // Every block of chunk `chunk` on one budget, decoded when `decode_values` is set.
    Result<ChunkData> read_chunk(std::size_t chunk, bool decode_values = true) const;

    // One column block's footer entry as the reader keeps it: the fixed
    // fields, its texts in a shared arena and its membership filter in a
    // shared pool, as the positions of its set bits when they are few (a
    // chunk of a few rows sets a few bits of 4096) or as the 512 bytes.
    // Some 80 bytes a block where the entry as read takes over 600.
    struct Entry {
        std::uint64_t offset = 0;
        std::uint64_t compressed_len = 0;
        std::int64_t min_int = 0;
        std::int64_t max_int = 0;
        std::uint64_t text_at = 0;  // min_text, then max_text, in texts_
        std::uint64_t min_len = 0;
        std::uint64_t max_len = 0;
        std::uint64_t bloom_at = 0;  // in blooms_
        std::uint32_t null_count = 0;
        std::uint16_t bloom_bits = 0;  // set bits kept as u16 positions, or DENSE_BLOOM
        std::uint8_t encoding = 0;
    };
    static constexpr std::uint16_t DENSE_BLOOM = 0xFFFF;

private:
    SarnReader() = default;
    const Entry& entry(std::size_t chunk, std::size_t column) const {
        return entries_[chunk * schema_.size() + column];
    }
    // The block's stored bytes after the length and CRC-32 checks, read
    // from `from` (source() when null).
    Result<Bytes> stored_block(std::size_t chunk, std::size_t column, const ByteSource* from = nullptr) const;
    // read_block's work; when `then_decode` says the values will be decoded
    // next, a block that states its length is held to the budget for its
    // payload and its values before anything of it is allocated.
    Result<BlockPayload> read_payload(std::size_t chunk, std::size_t column, ChunkBudget& budget, bool then_decode,
                                      const ByteSource* from = nullptr) const;
    // Decodes the payload of a block read by read_payload, its values charged
    // to `budget` first; errors say where.
    Result<DecodedColumn> decode(std::size_t chunk, std::size_t column, ByteView payload, ChunkBudget& budget) const;

    std::string path_;
    std::shared_ptr<const ByteSource> source_;
    ReaderLimits limits_;
    ContainerHeader header_;
    std::vector<ColumnSchema> schema_;
    std::vector<std::uint32_t> chunk_rows_;
    std::vector<Entry> entries_;  // chunk by chunk, column by column
    std::string texts_;
    std::vector<std::uint8_t> blooms_;
    std::uint32_t footer_crc_ = 0;

    friend struct FooterParser;
};

// What a schema can be checked for beyond what open() checks (type codes
// known, names within the schema block): every name is UTF-8 and every
// encryption flag 0 or 1.  The schema carries no checksum, so this is all
// there is.  Returns the problem ("schema: ..."), or "".  The readers of
// values (TableReader) and `sarn verify` refuse a file that fails it; `sarn
// info` still shows it.
std::string schema_fault(const std::vector<ColumnSchema>& schema);

}  // namespace sarn::container
