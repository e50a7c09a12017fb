// Block compressor: picks, per block, the smallest of the LZ token stream,
// the stored bytes and the Huffman- and range-coded forms, under a fixed
// order of preference among equal sizes; and the block reader.
//
// The choice is part of the format, so every candidate size is exact.  The
// Huffman sizes follow from the code lengths and byte counts, which give the
// payload length to the byte, so a Huffman payload is written only when it
// wins.  A range-coded payload's length is known only by coding it, so those
// candidates are produced in full when they compete.
#include <algorithm>
#include <limits>
#include <string>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace sarn::codec {

using namespace internal;

namespace {

constexpr std::size_t ABSENT = std::numeric_limits<std::size_t>::max();

// The token stream of `input`, into `out`, with the workspace's tables when
// there is one.
void token_stream(ByteView input, Bytes& out, BlockWorkspace* workspace) {
    // Inputs of up to nine bytes skip the match search: it would zero-fill
    // the LZ stage's 256 KiB hash table to save at most a few bytes, and a
    // container writes many such blocks (the dictionary block, columns of a
    // handful of short values).  The cut-off is part of the format.
    if (input.size() <= 9) {
        out = escape_literals(input);
    } else if (workspace) {
        lz_encode(input, out, workspace->lz());
    } else {
        out = lz_encode(input);
    }
}

Bytes framed(BlockMethod method, ByteView payload) {
    Bytes out;
    out.reserve(payload.size() + 1);
    out.push_back(static_cast<std::uint8_t>(method));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A Huffman payload written after a free byte for the method.
Bytes framed_huffman(BlockMethod method, ByteView input, const HuffmanPlan& plan) {
    Bytes out = huffman_encode_planned(input, plan, 1);
    out[0] = static_cast<std::uint8_t>(method);
    return out;
}

Bytes framed(BlockMethod method, Bytes&& payload) {
    // One move of the payload up by a byte is cheaper than a second buffer.
    payload.insert(payload.begin(), static_cast<std::uint8_t>(method));
    return std::move(payload);
}

struct Decision {
    BlockMethod method;
    CandidateSizes sizes;  // ABSENT for candidates not tried
    Bytes tokens;
    Bytes range_tokens;  // LZ_RANGE payload when produced
    Bytes range_input;  // RANGE payload when produced
    HuffmanPlan huffman_tokens;
    HuffmanPlan huffman_input;
};

// Below this input length the Huffman pass over the raw input is not tried:
// its code table alone (up to 257 bytes, and the length field) would take
// most of what it could save.
constexpr std::size_t RAW_HUFFMAN_MIN_INPUT = ENTROPY_MIN_TOKENS;
// The raw input is Huffman-coded only when the LZ stage left more than 85 %
// of it (tokens * 100 > input * 85).  When matches removed more, the token
// stream holds the repetition and its own Huffman pass nearly always wins;
// an order-0 coder over the raw bytes cannot see repeats.  When they removed
// less, the token stream is mostly literals plus match and FF escape
// overhead, and coding the raw bytes avoids that overhead.
constexpr std::uint64_t RAW_HUFFMAN_TOKEN_PERCENT = 85;
// The range candidates are tried only when the Huffman-coded token stream
// is at least 70 % of the stored size.  The range coder gains over Huffman
// only the fraction of a bit per byte that whole-bit code lengths waste, at
// the price of two more passes and two multiplications per byte, and a
// range block reads back at about a third of a Huffman block's speed (codec
// benchmark, text columns of real files).  On a block Huffman already shrank
// well that gain rarely changes the winner.
constexpr std::uint64_t RANGE_TRY_PERCENT = 70;
// An input this short reaches the entropy stage only when FF escapes (five
// bytes per FF) blew its token stream up past ENTROPY_MIN_TOKENS; its range
// table (three bytes per distinct value) would eat what coding the raw bytes
// could save, so only the token stream is range-coded.
constexpr std::size_t RAW_RANGE_MIN_INPUT = 256;

Decision decide(ByteView input, BlockWorkspace* workspace = nullptr) {
    const std::size_t n = input.size();
    Decision d;
    d.sizes.by_method.fill(ABSENT);
    if (workspace) d.tokens = std::move(workspace->tokens());
    token_stream(input, d.tokens, workspace);
    const std::size_t L = d.tokens.size();
    d.sizes[BlockMethod::LZ] = L + 1;
    d.sizes[BlockMethod::STORED] = n + 1;
    // Short token streams: the entropy coders' tables (a Huffman table of up
    // to 257 bytes, a range table of three bytes per value) would take most
    // of what they can save, so only the token stream and the stored bytes
    // compete; a token stream must be strictly shorter to win.
    if (L < ENTROPY_MIN_TOKENS) {
        d.method = L < n ? BlockMethod::LZ : BlockMethod::STORED;
        return d;
    }
    d.huffman_tokens = plan_huffman(byte_counts(d.tokens));
    d.sizes[BlockMethod::LZ_HUFFMAN] = 1 + d.huffman_tokens.size;
    if (n >= RAW_HUFFMAN_MIN_INPUT && std::uint64_t{100} * L > RAW_HUFFMAN_TOKEN_PERCENT * n) {
        d.huffman_input = plan_huffman(byte_counts(input));
        d.sizes[BlockMethod::HUFFMAN] = 1 + d.huffman_input.size;
    }
    if (!(std::uint64_t{100} * d.sizes[BlockMethod::LZ_HUFFMAN] < RANGE_TRY_PERCENT * d.sizes[BlockMethod::STORED])) {
        d.range_tokens = range_encode(d.tokens);
        d.sizes[BlockMethod::LZ_RANGE] = 1 + d.range_tokens.size();
        if (n >= RAW_RANGE_MIN_INPUT) {
            d.range_input = range_encode(input);
            d.sizes[BlockMethod::RANGE] = 1 + d.range_input.size();
        }
    }
    // The smallest candidate wins.  Among equal sizes the order below
    // decides; it is part of the format (a block's bytes follow from its
    // input alone) and must not change.  RANGE goes first, then the other
    // candidates from the most to the least worked form, except that the
    // stored bytes beat any equally long form that needs decoding.
    const std::size_t m =
        std::min({d.sizes[BlockMethod::LZ], d.sizes[BlockMethod::STORED], d.sizes[BlockMethod::LZ_HUFFMAN],
                  d.sizes[BlockMethod::HUFFMAN], d.sizes[BlockMethod::LZ_RANGE]});
    if (d.sizes[BlockMethod::RANGE] != ABSENT && d.sizes[BlockMethod::RANGE] <= m) {
        d.method = BlockMethod::RANGE;
        return d;
    }
    static constexpr BlockMethod ORDER[] = {BlockMethod::LZ_RANGE, BlockMethod::STORED, BlockMethod::LZ_HUFFMAN,
                                            BlockMethod::HUFFMAN, BlockMethod::LZ};
    for (BlockMethod method : ORDER) {
        if (d.sizes[method] == m) {
            d.method = method;
            return d;
        }
    }
    d.method = BlockMethod::STORED;  // unreachable: m is one of the sizes
    return d;
}

}  // namespace

internal::BlockChoice internal::choose_block_method(ByteView input) {
    BlockChoice choice;
    if (input.empty()) return choice;
    const Decision d = decide(input);
    choice.method = d.method;
    choice.token_length = d.tokens.size();
    for (std::size_t i = 0; i < BLOCK_METHODS; ++i)
        choice.sizes.by_method[i] = d.sizes.by_method[i] == ABSENT ? 0 : d.sizes.by_method[i];
    return choice;
}

namespace {

Bytes block_of(ByteView input, Decision& d) {
    switch (d.method) {
        case BlockMethod::LZ: return framed(BlockMethod::LZ, std::move(d.tokens));
        case BlockMethod::LZ_HUFFMAN: return framed_huffman(BlockMethod::LZ_HUFFMAN, d.tokens, d.huffman_tokens);
        case BlockMethod::STORED: return framed(BlockMethod::STORED, input);
        case BlockMethod::HUFFMAN: return framed_huffman(BlockMethod::HUFFMAN, input, d.huffman_input);
        case BlockMethod::RANGE: return framed(BlockMethod::RANGE, std::move(d.range_input));
        case BlockMethod::LZ_RANGE: return framed(BlockMethod::LZ_RANGE, std::move(d.range_tokens));
    }
    return framed(BlockMethod::STORED, input);
}

// ---- levels above 1 ----------------------------------------------------------
//
// A level above 1 weighs two token streams: level 1's, with the choice level
// 1 makes for it, and the deeper parse of lz_search.cpp, for which it tries
// the block methods on its own terms.  The smaller block wins, level 1's on
// a tie, so no level ever writes a block larger than level 1's.

// A range-coded block reads back at about a third of a Huffman-coded one's
// speed (codec benchmark), so above level 1 a range candidate must beat the
// best other one by this many per mille to be chosen.  Measured at level 9
// on the sample files' text columns: choosing range whenever it is smaller
// saved 0.04 % on flights-3m and 0.2 % on zipcodes, and cut their decoding
// speed by a fifth and by two fifths; no block there gains 1 % by it.
constexpr std::uint64_t SEARCHED_RANGE_MIN_GAIN_PERMILLE = 20;

struct SearchedChoice {
    BlockMethod method = BlockMethod::STORED;
    std::size_t size = ABSENT;
    HuffmanPlan huffman;  // the winner's plan, when it is Huffman-coded
    Bytes range;  // the winner's payload, when it is range-coded
};

// The best block for `tokens` (the deeper parse's) and the raw input.  Ties
// go to the form that reads back fastest.
SearchedChoice choose_searched(ByteView input, ByteView tokens, const LevelParams& params) {
    const std::size_t n = input.size();
    SearchedChoice best;
    const auto consider = [&](BlockMethod method, std::size_t size) {
        if (size < best.size) {
            best.method = method;
            best.size = size;
            return true;
        }
        return false;
    };
    consider(BlockMethod::STORED, n + 1);
    consider(BlockMethod::LZ, tokens.size() + 1);
    HuffmanPlan raw = plan_huffman(byte_counts(input));
    if (consider(BlockMethod::HUFFMAN, 1 + raw.size)) best.huffman = raw;
    HuffmanPlan coded = plan_huffman(byte_counts(tokens));
    if (consider(BlockMethod::LZ_HUFFMAN, 1 + coded.size)) best.huffman = coded;
    if (params.all_methods || !(std::uint64_t{100} * (1 + coded.size) < RANGE_TRY_PERCENT * (n + 1))) {
        const std::size_t bar = best.size - best.size * SEARCHED_RANGE_MIN_GAIN_PERMILLE / 1000;
        Bytes r = range_encode(input);
        Bytes rt = range_encode(tokens);
        const bool raw_wins = r.size() <= rt.size();
        Bytes& smaller = raw_wins ? r : rt;
        if (1 + smaller.size() < bar) {
            consider(raw_wins ? BlockMethod::RANGE : BlockMethod::LZ_RANGE, 1 + smaller.size());
            best.range = std::move(smaller);
        }
    }
    return best;
}

Bytes compress_searched(ByteView input, int level, BlockWorkspace* workspace) {
    const LevelParams& params = level_params(level);
    Decision base = decide(input, workspace);
    const std::size_t base_size = base.sizes[base.method];

    Bytes tokens;
    std::unique_ptr<SearchTables> own;
    if (!workspace) own = std::make_unique<SearchTables>();
    lz_encode_searched(input, level, tokens, workspace ? workspace->search() : *own);
    SearchedChoice c = choose_searched(input, tokens, params);
    if (c.size >= base_size) {
        Bytes block = block_of(input, base);
        if (workspace && base.method != BlockMethod::LZ) workspace->tokens() = std::move(base.tokens);
        return block;
    }
    if (workspace) workspace->tokens() = std::move(base.tokens);
    switch (c.method) {
        case BlockMethod::LZ: return framed(BlockMethod::LZ, std::move(tokens));
        case BlockMethod::LZ_HUFFMAN: return framed_huffman(BlockMethod::LZ_HUFFMAN, tokens, c.huffman);
        case BlockMethod::STORED: return framed(BlockMethod::STORED, input);
        case BlockMethod::HUFFMAN: return framed_huffman(BlockMethod::HUFFMAN, input, c.huffman);
        case BlockMethod::RANGE: return framed(BlockMethod::RANGE, std::move(c.range));
        case BlockMethod::LZ_RANGE: return framed(BlockMethod::LZ_RANGE, std::move(c.range));
    }
    return framed(BlockMethod::STORED, input);
}

}  // namespace

BlockWorkspace::BlockWorkspace() = default;
BlockWorkspace::~BlockWorkspace() = default;

internal::LzTables& BlockWorkspace::lz() {
    if (!lz_) lz_ = std::make_unique<internal::LzTables>();
    return *lz_;
}

internal::SearchTables& BlockWorkspace::search() {
    if (!search_) search_ = std::make_unique<internal::SearchTables>();
    return *search_;
}

Bytes compress_block(ByteView input, int level) {
    if (input.empty()) return {};
    if (level > MIN_LEVEL) return compress_searched(input, level, nullptr);
    Decision d = decide(input);
    return block_of(input, d);
}

Bytes compress_block(ByteView input, BlockWorkspace& workspace, int level) {
    if (input.empty()) return {};
    if (level > MIN_LEVEL) return compress_searched(input, level, &workspace);
    Decision d = decide(input, &workspace);
    Bytes block = block_of(input, d);
    // The token buffer goes back for the next block, unless it became this one.
    if (d.method != BlockMethod::LZ) workspace.tokens() = std::move(d.tokens);
    return block;
}

namespace {

// An LZ_RANGE block.  Its tokens are range-decoded whole when there are no
// more of them than the output may hold (a token stream is rarely longer
// than its output), then measured and expanded as an LZ block's are.  More
// tokens than that are counted through a BlockReader first, a piece at a
// time: a block of a few bytes can state billions of them.
Result<Bytes> decompress_lz_range(ByteView block, std::size_t max_output, bool* exceeded, std::size_t* needed) {
    auto head = internal::RangeStream::open(block.subspan(1));
    if (!head) return std::move(head).error();
    if (head->length() <= max_output) {
        auto tokens = range_decode(block.subspan(1), max_output);
        if (!tokens) return std::move(tokens).error();
        return lz_decode(*tokens, max_output, exceeded, needed);
    }
    auto counter = BlockReader::open(block);
    if (!counter) return std::move(counter).error();
    auto length = counter->skip(std::uint64_t{max_output} + 1);
    if (!length) return std::move(length).error();
    if (*length > max_output) {
        if (exceeded) *exceeded = true;
        return Error::value("Corrupt compressed block: output exceeds its limit");
    }
    auto reader = BlockReader::open(block);
    if (!reader) return std::move(reader).error();
    Bytes out(static_cast<std::size_t>(*length));
    auto k = reader->read(out.data(), out.size());
    if (!k) return std::move(k).error();
    return out;
}

}  // namespace

Result<Bytes> decompress_block(ByteView block, std::size_t max_output, bool* exceeded, std::size_t* needed) {
    if (block.empty()) return Bytes{};
    const ByteView payload = block.subspan(1);
    // A token stream spends at most five bytes per output byte (an escaped
    // FF), which bounds what the entropy stages may produce for it.
    const std::size_t token_limit = max_output > std::numeric_limits<std::size_t>::max() / 5
                                        ? std::numeric_limits<std::size_t>::max()
                                        : max_output * 5;
    // A form that states its length reports it when it passes the limit.
    auto over = [&](std::size_t length) {
        if (exceeded) *exceeded = true;
        if (needed) *needed = length;
    };
    switch (block[0]) {
        case static_cast<std::uint8_t>(BlockMethod::LZ): return lz_decode(payload, max_output, exceeded, needed);
        case static_cast<std::uint8_t>(BlockMethod::LZ_HUFFMAN): {
            Result<Bytes> tokens = huffman_decode(payload, token_limit, exceeded);
            if (!tokens) return std::move(tokens).error();
            return lz_decode(*tokens, max_output, exceeded, needed);
        }
        case static_cast<std::uint8_t>(BlockMethod::STORED):
            if (payload.size() > max_output) {
                over(payload.size());
                return Error::value("Corrupt compressed block: output exceeds its limit");
            }
            return Bytes(payload.begin(), payload.end());
        case static_cast<std::uint8_t>(BlockMethod::HUFFMAN): {
            auto r = huffman_decode(payload, max_output, exceeded);
            if (!r && exceeded && *exceeded && needed) {
                if (auto n = internal::huffman_declared_length(payload)) *needed = *n;
            }
            return r;
        }
        case static_cast<std::uint8_t>(BlockMethod::RANGE): {
            auto r = range_decode(payload, max_output, exceeded);
            if (!r && exceeded && *exceeded && needed) {
                if (auto rs = internal::RangeStream::open(payload)) *needed = rs->length();
            }
            return r;
        }
        case static_cast<std::uint8_t>(BlockMethod::LZ_RANGE):
            return decompress_lz_range(block, max_output, exceeded, needed);
        default: break;
    }
    return Error::value("Corrupt compressed block: unknown method byte " + std::to_string(block[0]));
}

}  // namespace sarn::codec
