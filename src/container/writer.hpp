// StreamingSarnWriter: writes one SARN container in a single pass.
//
// File layout (all integers little-endian):
//
//   header      "SARN", u16 version 2, u16 column_count, u64 row_count,
//               u32 chunk_count, u32 chunk_size, u64 created_at, 32 zero
//               bytes, u32 schema block length + schema block, u64
//               dictionary block length + dictionary block
//   chunk data  per chunk, per column in schema order, one column block:
//               u32 CRC-32 of the payload, u64 payload length, payload
//               (a compressed block of the encoded column)
//   footer      codec::compress_block of the footer body (per-chunk row counts and
//               per-column ColumnChunkMeta records)
//   trailer     u64 footer_len, u64 footer_offset
//
// create() writes the header with row_count and chunk_count 0; finish()
// appends footer and trailer and patches those two counts in place.  All of
// it goes through one 1 MiB buffer, so the file sees large sequential
// writes and exactly one seek.
//
// A writer dropped without finish() writes out its buffer (ignoring errors)
// and closes the file: what remains is the header with zero counts and the
// column blocks written so far, without footer or trailer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/file_io.hpp"
#include "common/result.hpp"
#include "container/encoded_chunk.hpp"
#include "container/text_batch.hpp"
#include "container/types.hpp"

namespace sarn::container {

inline constexpr std::uint16_t FORMAT_VERSION = 2;
// Large enough for sequential writes of full speed, small enough that a
// small output and a huge one touch the same memory.
inline constexpr std::size_t WRITE_BUFFER_SIZE = 1024 * 1024;
inline constexpr std::size_t MAX_COLUMNS = 65535;  // column_count is a u16

class StreamingSarnWriter {
public:
    // Creates (or truncates) the file at `path` and puts the header into the
    // write buffer.  The schema is taken over.  `chunk_size` is written to the
    // header as given; the writer itself uses max(chunk_size, 1) to derive the
    // per-chunk row counts of the footer.
    // `level` is the block codec's compression level for every block the
    // writer compresses: the schema and dictionary blocks here, the column
    // blocks of write_chunk and the footer (a level outside
    // codec::MIN_LEVEL..codec::MAX_LEVEL is taken as the nearest one).
    // Errors: "Cannot create {path}: {system error text}"; a schema of more
    // than 65,535 columns, or with a type code the encoder does not know, is
    // refused before the file is touched.
    static Result<StreamingSarnWriter> create(const std::string& path, std::vector<ColumnSchema> schema,
                                              std::uint32_t chunk_size, int level = codec::DEFAULT_LEVEL);

    // The same on a file the caller opened for writing (empty, positioned at
    // its start), which the writer takes over and closes; `path` names it in
    // errors.  A schema the writer refuses closes the file untouched.
    static Result<StreamingSarnWriter> create(common::FileHandle file, const std::string& path,
                                              std::vector<ColumnSchema> schema, std::uint32_t chunk_size,
                                              int level = codec::DEFAULT_LEVEL);

    StreamingSarnWriter(StreamingSarnWriter&&) noexcept;
    StreamingSarnWriter& operator=(StreamingSarnWriter&&) noexcept;
    StreamingSarnWriter(const StreamingSarnWriter&) = delete;
    StreamingSarnWriter& operator=(const StreamingSarnWriter&) = delete;
    ~StreamingSarnWriter();

    // Appends one chunk of rows.size() rows (nothing for zero rows): the
    // same as encode_chunk for the next chunk index, then append_chunk.  Every
    // chunk but the last must hold exactly chunk_size rows: the footer derives
    // the row counts from chunk_size and the total.  On a write failure the
    // error is the system error text, and chunks(), total_rows() and
    // chunk_count() are left as before the call.
    Result<void> write_chunk(std::span<const Row> rows);

    // The same for a batch of text cells; the bytes written are identical to
    // those of the equivalent rows of Text values.
    Result<void> write_chunk(const TextBatch& batch);

    // Appends a chunk made by encode_chunk (nothing for zero rows): writes
    // its column blocks and records their offsets.  Chunks must come in
    // order: `chunk.index` must equal chunk_count() and the chunk must have
    // been encoded for this writer's schema, or nothing is written and the
    // error says so.  On a write failure the bookkeeping is left as before
    // the call, as for write_chunk.
    Result<void> append_chunk(EncodedChunk chunk);

    // Writes blocks [chunk.blocks_written, complete) of `chunk`, which must
    // be the next chunk (index chunk_count()), ahead of the rest, and
    // releases their data: a chunk encoded column by column need not hold
    // every compressed block until it is complete.  append_chunk writes the
    // remaining blocks and records the chunk.  After a write failure the
    // container is incomplete and should be abandoned.
    Result<void> append_blocks(EncodedChunk& chunk, std::size_t complete);

    // Appends footer and trailer, patches the header counts, flushes to stable
    // storage and closes the file.  Returns the summary line
    // "SARN v2 (streaming): {rows} rows × {cols} cols | {chunks} chunks | dict: 0 entries".
    // The writer is spent afterwards, whatever the outcome.
    Result<std::string> finish();

    // Bookkeeping, for callers and tests.
    const std::vector<ColumnSchema>& schema() const noexcept;
    const std::vector<std::vector<ColumnChunkMeta>>& chunks() const noexcept;
    std::uint64_t total_rows() const noexcept;
    std::uint32_t chunk_count() const noexcept;
    std::uint64_t position() const noexcept;  // offset of the next byte the writer emits
    std::uint64_t chunk_size() const noexcept;
    // The compression level given to create(); chunks encoded elsewhere for
    // append_chunk should use it too.
    int level() const noexcept;

    struct OpenFile;  // the file, its write buffer and the chunk index; writer.cpp

private:
    explicit StreamingSarnWriter(std::unique_ptr<OpenFile> state) noexcept;
    std::unique_ptr<OpenFile> file_;
};

}  // namespace sarn::container
