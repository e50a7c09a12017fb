// Reading blocks a piece at a time (BlockReader), what blocks declare about
// their length, and blocks whose content would pass the reader's limit:
// refused before allocating when they state their length, stopped at the
// limit when they expand, and told apart from damaged blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"
#include "codec_test_data.hpp"

namespace {

using sarn::codec::BlockReader;
using sarn::common::Bytes;
using sarn::common::ByteView;
using namespace sarn::codec_test;
namespace ci = sarn::codec::internal;

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The content of `block` read through a BlockReader `piece` bytes at a time.
sarn::common::Result<Bytes> read_in_pieces(ByteView block, std::size_t piece) {
    auto reader = BlockReader::open(block);
    if (!reader) return std::move(reader).error();
    Bytes out;
    for (;;) {
        const std::size_t at = out.size();
        out.resize(at + piece);
        auto k = reader->read(out.data() + at, piece);
        if (!k) return std::move(k).error();
        out.resize(at + *k);
        if (*k < piece) break;
    }
    auto tail = reader->read(out.data(), 0);
    if (!tail) return std::move(tail).error();
    EXPECT_EQ(reader->position(), out.size());
    return out;
}

// Inputs that compress_block writes in each of the six forms, and one whose
// matches reach back across many refills of the reader's window.
std::vector<Bytes> inputs_of_every_method() {
    const Bytes rnd = random_bytes(300, 1);
    const Bytes wide = alphabet_bytes(60000, 96, 6, 0);
    Bytes far;
    const Bytes unit = random_bytes(65000, 7);
    for (int i = 0; i < 12; ++i) far = concat(far, unit);
    return {
        concat(rnd, rnd),  // LZ
        wordy_bytes(1500, 2),  // LZ_HUFFMAN
        random_bytes(600, 3),  // STORED
        alphabet_bytes(1500, 8, 4, 'a'),  // HUFFMAN
        alphabet_bytes(40000, 48, 5, 0),  // RANGE
        concat(wide, Bytes(wide.begin(), wide.begin() + 3000)),  // LZ_RANGE
        far,
    };
}

TEST(BlockReader, ReadsEveryMethodInPiecesAsTheWholeBlockReads) {
    std::set<int> methods;
    for (const Bytes& input : inputs_of_every_method()) {
        const Bytes block = sarn::codec::compress_block(input);
        methods.insert(block[0]);
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{1} << 22}) {
            if (piece == 1 && input.size() > 100000) continue;  // slow, and the window test needs no such cut
            auto got = read_in_pieces(block, piece);
            ASSERT_TRUE(got.ok()) << int(block[0]) << ": " << got.error().message;
            EXPECT_EQ(*got, input) << "method " << int(block[0]) << ", pieces of " << piece;
        }
        auto declared = sarn::codec::declared_length(block);
        ASSERT_TRUE(declared.ok());
        const bool states = block[0] == 2 || block[0] == 3 || block[0] == 4;
        EXPECT_EQ(declared->has_value(), states) << int(block[0]);
        if (states) {
            EXPECT_EQ(**declared, input.size());
        }
        auto reader = BlockReader::open(block);
        ASSERT_TRUE(reader.ok());
        auto skipped = reader->skip(std::uint64_t{1} << 40);
        ASSERT_TRUE(skipped.ok());
        EXPECT_EQ(*skipped, input.size());
    }
    EXPECT_EQ(methods.size(), 6u);
}

TEST(BlockReader, AMethodByteAloneIsTheEmptyContent) {
    // The stage decoders read an empty payload as no content; so must the
    // piecewise reader (the fuzzer found them disagreeing on "01").
    for (std::uint8_t method = 0; method <= 5; ++method) {
        const Bytes block{method};
        auto whole = sarn::codec::decompress_block(block, 100);
        ASSERT_TRUE(whole.ok()) << int(method) << ": " << whole.error().message;
        EXPECT_TRUE(whole->empty());
        auto pieces = read_in_pieces(block, 7);
        ASSERT_TRUE(pieces.ok()) << int(method) << ": " << pieces.error().message;
        EXPECT_TRUE(pieces->empty());
    }
}

TEST(BlockReader, DamagedBlocksFailAsTheWholeBlockFails) {
    // Every flip and cut that decompress_block refuses is refused when read
    // in pieces, and what it accepts reads back the same.
    for (const Bytes& input : inputs_of_every_method()) {
        if (input.size() > 100000) continue;
        const Bytes block = sarn::codec::compress_block(input);
        const std::size_t stride = std::max<std::size_t>(1, block.size() / 60);
        Bytes damaged = block;
        for (std::size_t i = 0; i < block.size(); i += stride) {
            for (std::uint8_t flip : {0x01, 0x80}) {
                damaged[i] ^= flip;
                auto whole = sarn::codec::decompress_block(damaged, input.size() * 8 + 64);
                auto pieces = read_in_pieces(damaged, 1000);
                if (whole.ok() && pieces.ok()) {
                    EXPECT_EQ(*whole, *pieces) << int(block[0]) << " at " << i;
                }
                // A limit may make the whole read fail where the pieces read on.
                if (!pieces.ok()) {
                    EXPECT_FALSE(pieces.error().message.empty());
                    EXPECT_FALSE(whole.ok()) << int(block[0]) << " at " << i;
                }
                damaged[i] ^= flip;
            }
        }
        for (std::size_t cut = 0; cut < block.size(); cut += stride) {
            const ByteView part(block.data(), cut);
            auto whole = sarn::codec::decompress_block(part, input.size() * 8 + 64);
            auto pieces = read_in_pieces(part, 1000);
            EXPECT_EQ(whole.ok(), pieces.ok()) << int(block[0]) << " cut at " << cut;
        }
    }
}

// Blocks of a few bytes whose content is gigabytes: each stops at the limit
// (or is refused at its head) and says that the limit was the reason.
TEST(CodecLimits, BombsStopAtTheLimitAndSaySo) {
    Bytes match_tokens = hex("61");
    for (int i = 0; i < 4000; ++i) match_tokens = concat(match_tokens, hex("FF 01 00 FF FF"));
    struct Case {
        const char* name;
        Bytes block;
    };
    const Case cases[] = {
        {"RANGE of one value, 4 GiB", hex("04 01 00 3F 00 40 FF FF FF FF")},
        {"LZ_RANGE of one literal, 4 GiB of tokens", hex("05 01 00 61 00 40 FF FF FF FF")},
        {"LZ of long matches", concat(hex("00"), match_tokens)},
        {"LZ_HUFFMAN of long matches", concat(hex("01"), ci::huffman_encode(match_tokens))},
        {"LZ_RANGE of long matches", concat(hex("05"), ci::range_encode(match_tokens))},
        {"HUFFMAN stating more than the limit", concat(hex("03"), ci::huffman_encode(Bytes(3 << 20, 'x')))},
        {"STORED over the limit", concat(hex("02"), Bytes((1 << 20) + 1, 'x'))},
    };
    const std::size_t limit = std::size_t{1} << 20;
    for (const Case& c : cases) {
        bool exceeded = false;
        auto r = sarn::codec::decompress_block(c.block, limit, &exceeded);
        EXPECT_FALSE(r.ok()) << c.name;
        EXPECT_TRUE(exceeded) << c.name;
    }
    // Damaged blocks are not "too large".
    for (const char* damaged : {"00 61 FF 02 00 06 00", "04 02 00 61 00 20 62 00 10 02 00 00 00 3F FF E0 00",
                                "05 01 00 FF 00 40 05 00 00 00", "03 FF 01 61 01 02 00 00 00 40"}) {
        bool exceeded = false;
        auto r = sarn::codec::decompress_block(hex(damaged), limit, &exceeded);
        EXPECT_FALSE(r.ok()) << damaged;
        EXPECT_FALSE(exceeded) << damaged;
    }
    // A content exactly at the limit reads.
    bool exceeded = false;
    auto at_limit = sarn::codec::decompress_block(hex("05 01 00 61 00 40 00 00 10 00"), limit, &exceeded);
    ASSERT_TRUE(at_limit.ok()) << at_limit.error().message;
    EXPECT_EQ(at_limit->size(), limit);
    EXPECT_FALSE(exceeded);
}

TEST(CodecLimits, DeclaredLengthsComeFromTheHeadAlone) {
    auto range = sarn::codec::declared_length(hex("04 01 00 3F 00 40 FF FF FF FF"));
    ASSERT_TRUE(range.ok());
    EXPECT_EQ(**range, 0xFFFFFFFFu);
    auto huffman = sarn::codec::declared_length(hex("03 FF 01 61 01 14 00 00 00 00 00 00"));
    ASSERT_TRUE(huffman.ok());
    EXPECT_EQ(**huffman, 20u);
    auto empty = sarn::codec::declared_length({});
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(**empty, 0u);
    for (const char* bad : {"06 00", "03 FD 00", "03 FF 01 61", "04 02 00 61 00 20 62 00 10 02 00 00 00"}) {
        EXPECT_FALSE(sarn::codec::declared_length(hex(bad)).ok()) << bad;
    }
}

}  // namespace
