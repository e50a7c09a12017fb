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

Bytes token_stream(ByteView input) {
    // Short inputs skip the match search entirely.
    return input.size() <= 9 ? escape_literals(input) : lz_encode(input);
}

Bytes framed(BlockMethod method, ByteView payload) {
    Bytes out;
    out.reserve(payload.size() + 1);
    out.push_back(static_cast<std::uint8_t>(method));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes framed(BlockMethod method, Bytes&& payload) {
    // One move of the payload up by a byte is cheaper than a second buffer.
    payload.insert(payload.begin(), static_cast<std::uint8_t>(method));
    return std::move(payload);
}

struct Decision {
    BlockMethod method;
    std::array<std::size_t, 6> sizes;  // ABSENT for candidates not tried
    Bytes tokens;
    Bytes range_tokens;  // method 5 payload when produced
    Bytes range_input;   // method 4 payload when produced
    HuffmanPlan huffman_tokens;
    HuffmanPlan huffman_input;
};

Decision decide(ByteView input) {
    const std::size_t n = input.size();
    Decision d;
    d.sizes.fill(ABSENT);
    d.tokens = token_stream(input);
    const std::size_t L = d.tokens.size();
    d.sizes[0] = L + 1;
    d.sizes[2] = n + 1;
    if (L < ENTROPY_MIN_TOKENS) {
        d.method = L < n ? BlockMethod::LZ : BlockMethod::STORED;
        return d;
    }
    d.huffman_tokens = plan_huffman(byte_counts(d.tokens));
    d.sizes[1] = 1 + d.huffman_tokens.size;
    if (n >= ENTROPY_MIN_TOKENS && std::uint64_t{100} * L > std::uint64_t{85} * n) {
        d.huffman_input = plan_huffman(byte_counts(input));
        d.sizes[3] = 1 + d.huffman_input.size;
    }
    if (!(std::uint64_t{100} * d.sizes[1] < std::uint64_t{70} * d.sizes[2])) {
        d.range_tokens = range_encode(d.tokens);
        d.sizes[5] = 1 + d.range_tokens.size();
        if (n >= 256) {
            d.range_input = range_encode(input);
            d.sizes[4] = 1 + d.range_input.size();
        }
    }
    const std::size_t m = std::min({d.sizes[0], d.sizes[2], d.sizes[1], d.sizes[3], d.sizes[5]});
    if (d.sizes[4] != ABSENT && d.sizes[4] <= m) {
        d.method = BlockMethod::RANGE;
        return d;
    }
    static constexpr BlockMethod ORDER[] = {BlockMethod::LZ_RANGE, BlockMethod::STORED, BlockMethod::LZ_HUFFMAN,
                                            BlockMethod::HUFFMAN, BlockMethod::LZ};
    for (BlockMethod method : ORDER) {
        if (d.sizes[static_cast<int>(method)] == m) {
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
    for (int i = 0; i < 6; ++i) choice.sizes[i] = d.sizes[i] == ABSENT ? 0 : d.sizes[i];
    return choice;
}

Bytes compress_block(ByteView input) {
    if (input.empty()) return {};
    Decision d = decide(input);
    switch (d.method) {
        case BlockMethod::LZ: return framed(BlockMethod::LZ, std::move(d.tokens));
        case BlockMethod::LZ_HUFFMAN:
            return framed(BlockMethod::LZ_HUFFMAN, huffman_encode_planned(d.tokens, d.huffman_tokens));
        case BlockMethod::STORED: return framed(BlockMethod::STORED, input);
        case BlockMethod::HUFFMAN: return framed(BlockMethod::HUFFMAN, huffman_encode_planned(input, d.huffman_input));
        case BlockMethod::RANGE: return framed(BlockMethod::RANGE, std::move(d.range_input));
        case BlockMethod::LZ_RANGE: return framed(BlockMethod::LZ_RANGE, std::move(d.range_tokens));
    }
    return framed(BlockMethod::STORED, input);
}

Result<Bytes> decompress_block(ByteView block, std::size_t max_output) {
    if (block.empty()) return Bytes{};
    const ByteView payload = block.subspan(1);
    // A token stream spends at most five bytes per output byte (an escaped
    // FF), which bounds what the entropy stages may produce for it.
    const std::size_t token_limit =
        max_output > std::numeric_limits<std::size_t>::max() / 5 ? std::numeric_limits<std::size_t>::max() : max_output * 5;
    switch (block[0]) {
        case static_cast<std::uint8_t>(BlockMethod::LZ): return lz_decode(payload, max_output);
        case static_cast<std::uint8_t>(BlockMethod::LZ_HUFFMAN): {
            Result<Bytes> tokens = huffman_decode(payload, token_limit);
            if (!tokens) return std::move(tokens).error();
            return lz_decode(*tokens, max_output);
        }
        case static_cast<std::uint8_t>(BlockMethod::STORED):
            if (payload.size() > max_output) return Error::value("Corrupt compressed block: output exceeds its limit");
            return Bytes(payload.begin(), payload.end());
        case static_cast<std::uint8_t>(BlockMethod::HUFFMAN): return huffman_decode(payload, max_output);
        case static_cast<std::uint8_t>(BlockMethod::RANGE): return range_decode(payload, max_output);
        case static_cast<std::uint8_t>(BlockMethod::LZ_RANGE): {
            Result<Bytes> tokens = range_decode(payload, token_limit);
            if (!tokens) return std::move(tokens).error();
            return lz_decode(*tokens, max_output);
        }
        default: break;
    }
    return Error::value("Corrupt compressed block: unknown method byte " + std::to_string(block[0]));
}

}  // namespace sarn::codec
