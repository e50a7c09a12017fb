// The block codec: the general-purpose byte compressor used for every block
// of a SARN container (schema, dictionary, column payloads, footer), and the
// decoders that read its blocks back.
//
// A block is one method byte (BlockMethod) followed by that method's payload;
// the empty input is the one exception and compresses to zero bytes.  The
// bytes are fully determined by the input.  No call keeps state between
// calls (a BlockWorkspace only lends memory); all functions are safe to call
// from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

// Compression levels.  Every level writes blocks that any reader decodes:
// the levels differ only in how hard the writer searches for matches and
// how many block forms it tries.  Level 1 is the fastest and its blocks are
// fixed to the byte; each level above it spends more time for smaller
// blocks, and never writes a block larger than level 1's for the same
// input.  A level's blocks depend on the input bytes and the level alone.
inline constexpr int MIN_LEVEL = 1;
inline constexpr int MAX_LEVEL = 9;
inline constexpr int DEFAULT_LEVEL = 1;

namespace internal {
struct LzTables;
struct SearchTables;
}  // namespace internal

// Working memory that compress_block can reuse from one call to the next on
// the same thread: the LZ stage's hash tables and token buffer.  A call
// without one allocates its own (about 0.5 MiB plus half the input) and
// releases it; a writer compressing block after block keeps one per thread
// instead, which spares it the fresh pages and their faults every block.
// The blocks' bytes are the same either way.  Not thread-safe: one
// workspace serves one call at a time.
class BlockWorkspace {
public:
    BlockWorkspace();
    ~BlockWorkspace();
    BlockWorkspace(const BlockWorkspace&) = delete;
    BlockWorkspace& operator=(const BlockWorkspace&) = delete;

    // The LZ tables, made on first use (a workspace that only ever sees
    // short blocks never needs them).
    internal::LzTables& lz();
    // The deeper match finder's tables, for levels above 1.
    internal::SearchTables& search();
    Bytes& tokens() noexcept { return tokens_; }

private:
    std::unique_ptr<internal::LzTables> lz_;
    std::unique_ptr<internal::SearchTables> search_;
    Bytes tokens_;  // the last token stream's storage, kept for its capacity
};

// Compresses `input` (shorter than 2^32 bytes) into one block at `level`;
// a level outside MIN_LEVEL..MAX_LEVEL is taken as the nearest one.  Cannot
// fail.
Bytes compress_block(ByteView input, int level = DEFAULT_LEVEL);
// The same, with working memory from `workspace`.
Bytes compress_block(ByteView input, BlockWorkspace& workspace, int level = DEFAULT_LEVEL);

// Reads one block back.  On malformed or hostile input it returns an error,
// never crashes, never reads or writes out of bounds, and never produces (or
// allocates for) more than `max_output` bytes: exceeding it is an error, and
// then *exceeded (when given) is set, which tells a content too large for
// the caller's limit from a damaged block, and *needed (when given) is set
// to the content's length when it is known.  Nothing is allocated for an
// output that passes the limit: the stored, Huffman and range forms state
// their length, and the LZ forms' tokens are measured before they are
// expanded (counted a piece at a time when an LZ_RANGE block states more
// tokens than the limit, whose length is then not known).  The output is
// allocated once, at its length.
Result<Bytes> decompress_block(ByteView block, std::size_t max_output, bool* exceeded = nullptr,
                               std::size_t* needed = nullptr);

// The length of a block's content as the block states it, before decoding:
// exact for the stored, Huffman and range forms, nothing for the LZ forms.
// Only the head it reads is checked; the empty block states 0.
Result<std::optional<std::size_t>> declared_length(ByteView block);

// A block's content read front to back a piece at a time, for a caller that
// must not hold it whole: a footer whose length is known only once it is
// parsed, or a block that is measured and not kept.  Beside the caller's
// buffer it holds the LZ window (the last 64 KiB of content), a range
// decoder's tables and, for the Huffman forms, their decoded bytes (at most
// eight times the block: a code takes at least one bit).  Move-only; the
// block must outlive the reader.
class BlockReader {
public:
    // Checks the method byte and the head of the payload.
    static Result<BlockReader> open(ByteView block);
    BlockReader(BlockReader&&) noexcept;
    BlockReader& operator=(BlockReader&&) noexcept;
    ~BlockReader();

    // As declared_length().
    std::optional<std::size_t> declared_length() const noexcept;
    // Content bytes read (or skipped) so far.
    std::uint64_t position() const noexcept;

    // Up to `n` more content bytes into `dst`: fewer only at the end (0 once
    // everything is read).  A damaged block is an error, found as the
    // reading reaches it; the end is checked too (trailing coded bytes).
    Result<std::size_t> read(std::uint8_t* dst, std::size_t n);
    // As read(), without keeping the bytes.
    Result<std::uint64_t> skip(std::uint64_t n);

private:
    struct State;
    explicit BlockReader(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sarn::codec
