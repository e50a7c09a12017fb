// Internals of the block codec shared between its stages, the unit tests,
// the benchmarks and the fuzz targets.  Nothing here is part of the
// container format's public interface.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/codec.hpp"

namespace sarn::codec::internal {

// The stages read and write their little-endian fields with plain copies.
static_assert(std::endian::native == std::endian::little, "the block codec assumes a little-endian host");

// LZ stage limits.
inline constexpr std::size_t HASH_SLOTS = 65536;
inline constexpr int CHAIN_STEPS = 8;
inline constexpr std::size_t MIN_MATCH = 6;
inline constexpr std::size_t MAX_MATCH = 65535;
inline constexpr std::size_t MAX_DISTANCE = 65535;
inline constexpr std::size_t GOOD_MATCH = 127;

// Huffman coder limit.
inline constexpr int MAX_CODE_LEN = 15;

// Range coder: frequencies are scaled to this total (14 bits).
inline constexpr std::uint32_t FREQ_BITS = 14;
inline constexpr std::uint32_t FREQ_TOTAL = 1u << FREQ_BITS;

// Below this token-stream length only the LZ and stored forms compete.
inline constexpr std::size_t ENTROPY_MIN_TOKENS = 512;

// The LZ stage's hash tables (32-bit links), kept by a BlockWorkspace.
struct LzTables {
    std::unique_ptr<std::uint32_t[]> head;  // HASH_SLOTS entries, zero-filled per use
    std::unique_ptr<std::uint32_t[]> prev;  // a ring of 65,536 links, written before read
};

// What a compression level above 1 does in the LZ stage (lz_search.cpp).
struct LevelParams {
    int chain = 8;  // chain steps walked per searched position
    int lookahead = 1;  // lazy parse: later starts weighed against the match in hand
    int passes = 0;  // optimal parse: pricing passes; 0 for the lazy parse
    std::size_t good = 128;  // past a match this long the chain walk is cut to a quarter
    std::size_t nice = 128;  // a match this long ends the search and is taken whole
    bool all_methods = false;  // every block method competes, whatever the sizes so far
};
// The parameters of `level` (clamped to MIN_LEVEL..MAX_LEVEL).  Level 1's
// entry only describes lz_encode; its parse is not driven by it.
const LevelParams& level_params(int level);

// The deeper match finder's hash tables, kept by a BlockWorkspace.
struct SearchTables {
    std::unique_ptr<std::uint32_t[]> head;  // 2^17 entries, zero-filled per use
    std::unique_ptr<std::uint32_t[]> prev;  // a ring of 65,536 links, written before read
};

// The token stream of `level` for `input` (any length), into `out`
// (overwritten), with the tables of `tables`.  Level 1 (or below) gives
// lz_encode's parse.
void lz_encode_searched(ByteView input, int level, Bytes& out, SearchTables& tables);
Bytes lz_encode_searched(ByteView input, int level);

// The stages of compress_block, each on its own.
Bytes lz_encode(ByteView input);  // LZ token stream (input of 10 bytes or more)
// The same into `out` (overwritten, its capacity reused), with the hash
// tables of `tables`.
void lz_encode(ByteView input, Bytes& out, LzTables& tables);
Bytes huffman_encode(ByteView input);  // canonical Huffman payload
Bytes range_encode(ByteView input);  // 14-bit range coder payload

// The stages of decompress_block, with its guarantees on hostile input.
// A failure because the output would pass `max_output` sets *exceeded
// (when given) beside the error; any other failure leaves it alone.
// lz_decode also gives the length it would have needed (*needed), as it
// measures a token stream before expanding it.
Result<Bytes> lz_decode(ByteView tokens, std::size_t max_output, bool* exceeded = nullptr,
                        std::size_t* needed = nullptr);
// What a token stream expands to, checked as lz_decode checks it, without
// expanding it: one pass over the tokens.
Result<std::size_t> lz_output_length(ByteView tokens);
Result<Bytes> huffman_decode(ByteView payload, std::size_t max_output, bool* exceeded = nullptr);
Result<Bytes> range_decode(ByteView payload, std::size_t max_output, bool* exceeded = nullptr);

// The length a Huffman payload says it encodes, after checking its table's
// form and size (not the codes themselves).  The empty payload encodes
// nothing, as for every stage decoder.
Result<std::size_t> huffman_declared_length(ByteView payload);

// A range-coded payload decoded a piece at a time: the registers and the
// position in the coded bytes carry over from one decode() to the next, so
// a reader can take the content in pieces without holding it whole (the
// token stream of an LZ_RANGE block, which may be far longer than the block).
// The payload must outlive the stream.
class RangeStream {
public:
    // Checks the head: the value count, the frequencies (summing to
    // FREQ_TOTAL, none zero, values in order) and the room for the coded
    // bytes.  The empty payload is a stream of length 0.
    static Result<RangeStream> open(ByteView payload);

    std::size_t length() const noexcept { return length_; }  // bytes the payload encodes
    std::size_t left() const noexcept { return left_; }  // of them, not decoded yet

    // The next `count` bytes (at most left()) into `out`.
    Result<void> decode(std::uint8_t* out, std::size_t count);
    // After the last byte: the coded bytes must have ended exactly there.
    Result<void> finish() const;

private:
    RangeStream() = default;
    std::size_t length_ = 0, left_ = 0;
    bool single_ = false;  // one value: no coded bytes, every byte is `only_`
    std::uint8_t only_ = 0;
    const std::uint8_t* coded_ = nullptr;
    std::size_t coded_size_ = 0, in_ = 0;
    std::uint32_t code_ = 0, low_ = 0, range_ = 0xFFFFFFFFu;
    std::array<std::uint32_t, 256> cum_{}, freq_{};
    std::array<std::uint8_t, FREQ_TOTAL> symbol_at_{};
};

// The token stream of an input without any match search: every byte a
// literal, FF escaped as FF 00 00 01 00.  Used for inputs of up to nine
// bytes.
Bytes escape_literals(ByteView input);

// Code lengths (0 for absent byte values) the Huffman coder assigns to
// these counts, after the depth limit of MAX_CODE_LEN has been applied.
// With a single present value its length is 1.
std::array<std::uint8_t, 256> huffman_code_lengths(const std::array<std::uint32_t, 256>& counts);

// The depth of the unlimited tree for these counts (0 when fewer than two
// values are present); tests use it to show that limiting really happened.
int huffman_tree_depth(const std::array<std::uint32_t, 256>& counts);

// Exact byte length huffman_encode would produce for an input with these
// counts, without producing it.
std::size_t huffman_encoded_size(const std::array<std::uint32_t, 256>& counts);

// What the Huffman coder decides for an input with these counts: the code
// lengths and the exact payload size.  Computing it once lets the block
// compressor measure a candidate and, if it wins, produce it without
// counting and building the tree again.
struct HuffmanPlan {
    std::array<std::uint32_t, 256> counts{};
    std::array<std::uint8_t, 256> lengths{};
    std::size_t size = 0;
};
HuffmanPlan plan_huffman(const std::array<std::uint32_t, 256>& counts);
// huffman_encode of `input`, whose counts are plan.counts, after `headroom`
// zero bytes left free for the caller (a block's method byte).
Bytes huffman_encode_planned(ByteView input, const HuffmanPlan& plan, std::size_t headroom = 0);

// Scaled range-coder frequencies for these counts (sum FREQ_TOTAL when at
// least one value is present).
std::array<std::uint32_t, 256> range_frequencies(const std::array<std::uint32_t, 256>& counts);

// What the range coder's carry handling did on one input.
struct RangeCarryStats {
    std::size_t carries = 0;  // additions that carried out of `low`
    std::size_t max_ripple = 0;  // most written bytes one carry changed
};
Bytes range_encode_with_stats(ByteView input, RangeCarryStats* stats);

// Counts of each byte value.
std::array<std::uint32_t, 256> byte_counts(ByteView input);

// How many block methods there are: BlockMethod values run from 0 to
// BLOCK_METHODS - 1.
inline constexpr std::size_t BLOCK_METHODS = 6;

// One size per block method, indexed by the method itself.
struct CandidateSizes {
    std::array<std::size_t, BLOCK_METHODS> by_method{};

    std::size_t& operator[](BlockMethod m) { return by_method[static_cast<std::size_t>(m)]; }
    std::size_t operator[](BlockMethod m) const { return by_method[static_cast<std::size_t>(m)]; }
};

// Which method compress_block picks and the size of each candidate it
// measured (0 for a candidate it did not produce).
struct BlockChoice {
    BlockMethod method = BlockMethod::STORED;
    std::size_t token_length = 0;
    CandidateSizes sizes;
};
BlockChoice choose_block_method(ByteView input);

}  // namespace sarn::codec::internal
