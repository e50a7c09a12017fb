#include "container/encoded_chunk.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "codec/codec.hpp"
#include "common/canonical_int.hpp"
#include "container/chunk_encode.hpp"
#include "container/encryption.hpp"

namespace sarn::container {

namespace {

constexpr std::uint64_t MAX_BLOCK_INPUT = 0xFFFFFFFFULL;  // the codec keeps positions in 32 bits

// The steps after encoding: encipher, compress, check-sum.
Result<void> seal_column(const ColumnSchema& col, std::uint32_t index, ByteView plain, EncodedBlock& block,
                         ColumnChunkMeta& meta, int level, codec::BlockWorkspace* workspace = nullptr) {
    Bytes enciphered;
    if (col.encrypted != 0) enciphered = encrypt_column_payload(col.name, col.key, index, plain);
    const ByteView payload = col.encrypted != 0 ? ByteView(enciphered) : plain;
    if (payload.size() > MAX_BLOCK_INPUT)
        return Error::value("Column '" + col.name + "' of chunk " + std::to_string(index) + " encodes to " +
                            std::to_string(payload.size()) + " bytes; a column block holds less than 4 GiB");
    block.data = workspace ? codec::compress_block(payload, *workspace, level) : codec::compress_block(payload, level);
    // The block waits for its turn to be written beside the rest of the
    // chunk; the codec's working capacity can be twice its length.  A few
    // bytes of slack (the Huffman writer's last word) are not worth a copy.
    if (block.data.capacity() - block.data.size() > block.data.size() / 8) block.data.shrink_to_fit();
    block.crc = crc32(block.data);
    meta.compressed_len = block.data.size();
    return {};
}

EncodedChunk empty_chunk(std::size_t columns, std::uint32_t index, std::uint64_t rows) {
    EncodedChunk chunk;
    chunk.index = index;
    chunk.rows = rows;
    chunk.metas.resize(columns);
    chunk.blocks.resize(columns);
    return chunk;
}

}  // namespace

Result<EncodedChunk> encode_chunk(std::span<const ColumnSchema> schema, std::uint32_t index, const TextBatch& batch,
                                  const std::atomic<bool>* stop, ChunkScratch* scratch, const BlockSink& on_block,
                                  int level) {
    const std::size_t n = batch.row_count();
    if (n == 0) return empty_chunk(0, index, 0);
    EncodedChunk chunk = empty_chunk(schema.size(), index, n);
    ChunkScratch own;
    ChunkScratch& work = scratch ? *scratch : own;
    std::vector<std::string_view>& texts = work.texts;
    std::vector<std::uint8_t>& null_flags = work.null_flags;
    // The compressor's tables are lent only by a caller's scratch: a call
    // on its own lets each block allocate and release its own.
    codec::BlockWorkspace* workspace = scratch ? &scratch->codec : nullptr;
    std::vector<const Value*> refs;
    for (std::size_t c = 0; c < schema.size(); ++c) {
        if (stop && stop->load(std::memory_order_relaxed)) return Error::io(STOPPED_TEXT);
        const bool present = c < batch.column_count();  // missing cells read as Null
        Bytes& payload = work.payload;
        if (schema[c].type_code == TYPE_TEXT) {
            texts.resize(n);
            TextBatch::ColumnSize size;  // all empty when the column is missing
            if (present) {
                size = batch.column_cells(c, texts.data());
            } else {
                std::fill(texts.begin(), texts.end(), std::string_view());
            }
            null_flags.assign(present ? 0 : n, 1);
            encode_text_column({texts, null_flags, size.bytes, size.longest}, chunk.metas[c], payload);
        } else if (schema[c].type_code == TYPE_INT && present) {
            texts.resize(n);
            batch.column_cells(c, texts.data());
            std::vector<std::int64_t>& integers = work.integers;
            integers.resize(n);
            for (std::size_t r = 0; r < n; ++r) {
                if (!common::parse_canonical_int64(texts[r], integers[r])) [[unlikely]] {
                    return Error::input("chunk " + std::to_string(index) + ", row " + std::to_string(r + 1) +
                                        ", column '" + schema[c].name + "': '" + std::string(texts[r].substr(0, 80)) +
                                        "' " + NOT_INTEGER_TEXT);
                }
            }
            encode_int_column(integers, chunk.metas[c], payload);
        } else {
            // Other column kinds see the cells as Text values, as rows would give them.
            std::vector<Value> values;
            values.reserve(n);
            for (std::size_t r = 0; r < n; ++r)
                values.push_back(present ? Value::from_text(std::string(batch.cell(r, c))) : Value());
            refs.resize(n);
            for (std::size_t r = 0; r < n; ++r) refs[r] = &values[r];
            payload = encode_column_with_stats(schema[c].type_code, refs, chunk.metas[c]);
        }
        if (auto r = seal_column(schema[c], index, payload, chunk.blocks[c], chunk.metas[c], level, workspace); !r)
            return std::move(r).error();
        if (on_block) {
            if (auto r = on_block(chunk, c + 1); !r) return std::move(r).error();
        }
    }
    return chunk;
}

Result<EncodedChunk> encode_chunk(std::span<const ColumnSchema> schema, std::uint32_t index, std::span<const Row> rows,
                                  int level) {
    const std::size_t n = rows.size();
    if (n == 0) return empty_chunk(0, index, 0);
    EncodedChunk chunk = empty_chunk(schema.size(), index, n);
    std::vector<const Value*> refs(n);
    for (std::size_t c = 0; c < schema.size(); ++c) {
        for (std::size_t r = 0; r < n; ++r) refs[r] = c < rows[r].size() ? &rows[r][c] : nullptr;
        Bytes payload = encode_column_with_stats(schema[c].type_code, refs, chunk.metas[c]);
        if (auto r = seal_column(schema[c], index, payload, chunk.blocks[c], chunk.metas[c], level); !r)
            return std::move(r).error();
    }
    return chunk;
}

}  // namespace sarn::container
