// Byte-exact outputs of the block codec: fixed vectors for each stage and for
// the block compressor's choice among its six methods.  Every vector here is
// also decoded back, so a wrong golden value cannot hide behind a matching
// wrong decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec_test_data.hpp"
#include "codec/codec.hpp"
#include "codec/codec_internal.hpp"

namespace {

using sarn::codec::BlockMethod;
using sarn::common::Bytes;
using sarn::common::ByteView;
using namespace sarn::codec_test;
namespace ci = sarn::codec::internal;

std::string show(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

constexpr std::size_t LIMIT = std::size_t{1} << 30;

Bytes must(sarn::common::Result<Bytes> r) {
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
    return r.ok() ? std::move(r).value() : Bytes{};
}

struct Vector {
    const char* name;
    Bytes input;
    Bytes expected;
};

TEST(CodecGolden, LzTokenStreams) {
    Bytes prefix_far = random_bytes(70000, 7);
    // The same 40 bytes at 0 and at 65600: too far apart to be a match.
    std::copy(prefix_far.begin(), prefix_far.begin() + 40, prefix_far.begin() + 65600);

    const Vector vectors[] = {
        {"ten a", repeat("a", 10), hex("61 FF 01 00 09 00")},
        {"twenty FF", Bytes(20, 0xFF), hex("FF 00 00 01 00 FF 01 00 13 00")},
        // At the second P the best match is 6 bytes (distance 18); the
        // look-ahead finds 9 bytes at distance 11, so P stays a literal.
        {"look-ahead", text_bytes("Pqrstu!#qrstuvwxy$Pqrstuvwxy"),
         [] {
             Bytes b = text_bytes("Pqrstu!#qrstuvwxy$P");
             Bytes m = hex("FF 0B 00 09 00");
             b.insert(b.end(), m.begin(), m.end());
             return b;
         }()},
        {"abcdefgh x3", repeat("abcdefgh", 3),
         [] {
             Bytes b = text_bytes("abcdefgh");
             Bytes m = hex("FF 08 00 10 00");
             b.insert(b.end(), m.begin(), m.end());
             return b;
         }()},
        // The match runs to the very last byte although the last four
        // positions are never searched.
        {"match to the end", text_bytes("0123456789_0123456789"),
         [] {
             Bytes b = text_bytes("0123456789_");
             Bytes m = hex("FF 0B 00 0A 00");
             b.insert(b.end(), m.begin(), m.end());
             return b;
         }()},
        // Literal FF bytes inside a run are escaped one by one.
        {"FF literals in a run", hex("01 FF 02 FF 03 04 05 06 07 08"),
         hex("01 FF 00 00 01 00 02 FF 00 00 01 00 03 04 05 06 07 08")},
    };
    for (const Vector& v : vectors) {
        const Bytes got = ci::lz_encode(v.input);
        EXPECT_EQ(show(got), show(v.expected)) << v.name;
        EXPECT_EQ(must(ci::lz_decode(got, LIMIT)), v.input) << v.name;
    }

    const Bytes far = ci::lz_encode(prefix_far);
    EXPECT_EQ(far.size(),
              prefix_far.size() + 4 * static_cast<std::size_t>(std::count(prefix_far.begin(), prefix_far.end(), 0xFF)))
        << "a 4-byte prefix 65600 bytes back must not be used";
    EXPECT_EQ(must(ci::lz_decode(far, LIMIT)), prefix_far);
}

TEST(CodecGolden, LzDistanceLimitIsInclusive) {
    // A 40-byte repeat exactly 65535 bytes back is still in reach.
    Bytes input = random_bytes(65535 + 40, 8);
    std::copy(input.begin(), input.begin() + 40, input.begin() + 65535);
    input.insert(input.end(), {0x10, 0x11, 0x12, 0x13, 0x14});
    const Bytes tokens = ci::lz_encode(input);
    const Bytes tail = hex("FF FF FF 28 00 10 11 12 13 14");
    ASSERT_GE(tokens.size(), tail.size());
    EXPECT_EQ(show(Bytes(tokens.end() - static_cast<std::ptrdiff_t>(tail.size()), tokens.end())), show(tail));
    EXPECT_EQ(must(ci::lz_decode(tokens, LIMIT)), input);
}

TEST(CodecGolden, HuffmanPayloads) {
    const Vector vectors[] = {
        {"aaaabbc", text_bytes("aaaabbc"), hex("FF 03 61 01 62 02 63 02 07 00 00 00 0A C0")},
        {"twenty a", repeat("a", 20), hex("FF 01 61 01 14 00 00 00 00 00 00")},
        {"abcdabcd", text_bytes("abcdabcd"), hex("FF 04 61 02 62 02 63 02 64 02 08 00 00 00 1B 1B")},
    };
    for (const Vector& v : vectors) {
        const Bytes got = ci::huffman_encode(v.input);
        EXPECT_EQ(show(got), show(v.expected)) << v.name;
        EXPECT_EQ(must(ci::huffman_decode(got, LIMIT)), v.input) << v.name;
        EXPECT_EQ(ci::huffman_encoded_size(ci::byte_counts(v.input)), got.size()) << v.name;
    }
    EXPECT_TRUE(ci::huffman_encode({}).empty());
}

TEST(CodecGolden, HuffmanTableFormSwitchesAt127Values) {
    for (int distinct : {126, 127}) {
        Bytes input;
        for (int s = 0; s < distinct; ++s) input.push_back(static_cast<std::uint8_t>(s * 2));
        const Bytes got = ci::huffman_encode(input);
        const std::size_t table = distinct == 126 ? 254 : 257;
        ASSERT_GT(got.size(), table + 4);
        EXPECT_EQ(got[0], distinct == 126 ? 0xFF : 0xFE);
        if (distinct == 126) {
            EXPECT_EQ(got[1], 126);
        }
        // The length field follows the table directly.
        EXPECT_EQ(got[table], distinct);
        EXPECT_EQ(got[table + 1], 0);
        EXPECT_EQ(must(ci::huffman_decode(got, LIMIT)), input);
    }
}

TEST(CodecGolden, HuffmanEqualCountsFollowTheHeap) {
    // Five equal counts: the heap procedure pairs (a, c), then (e, d), then
    // (b, a+c), so a and c get 3 bits while d and e, the higher values, get
    // 2.  Byte value never breaks a tie in the tree, only in the canonical
    // order: b 00, d 01, e 10, a 110, c 111.
    const Bytes got = ci::huffman_encode(text_bytes("abcde"));
    EXPECT_EQ(show(got), show(hex("FF 05 61 03 62 02 63 03 64 02 65 02 05 00 00 00 C7 60")));
    EXPECT_EQ(must(ci::huffman_decode(got, LIMIT)), text_bytes("abcde"));
}

TEST(CodecGolden, RangePayloads) {
    const Vector vectors[] = {
        {"ab", text_bytes("ab"), hex("02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00")},
        {"aaab", text_bytes("aaab"), hex("02 00 61 00 30 62 00 10 04 00 00 00 50 FF D0 00")},
        {"five a", repeat("a", 5), hex("01 00 61 00 40 05 00 00 00")},
    };
    for (const Vector& v : vectors) {
        const Bytes got = ci::range_encode(v.input);
        EXPECT_EQ(show(got), show(v.expected)) << v.name;
        EXPECT_EQ(must(ci::range_decode(got, LIMIT)), v.input) << v.name;
    }
    EXPECT_TRUE(ci::range_encode({}).empty());
}

TEST(CodecGolden, RangeFrequencyScaling) {
    {
        // 200 rare values of count 1 beside one common value: flooring
        // gives 0 -> raised to 1 each, the sum overshoots, and the common
        // value gives way one unit at a time.
        std::array<std::uint32_t, 256> counts{};
        for (int s = 0; s < 200; ++s) counts[s] = 1;
        counts[255] = 100000;
        const auto f = ci::range_frequencies(counts);
        std::uint32_t sum = 0;
        for (auto x : f) sum += x;
        EXPECT_EQ(sum, ci::FREQ_TOTAL);
        for (int s = 0; s < 200; ++s) EXPECT_EQ(f[s], 1u);
        EXPECT_EQ(f[255], ci::FREQ_TOTAL - 200);
    }
    {
        // Overshoot with two large equal frequencies: the highest value
        // gives way first, then they alternate.
        std::array<std::uint32_t, 256> counts{};
        for (int s = 0; s < 3; ++s) counts[s] = 1;
        counts[100] = 50000;
        counts[200] = 50000;
        // floor(50000 * 16384 / 100003) = 8191 each, rare values 1 each:
        // sum 16385, one unit comes off value 200.
        const auto f = ci::range_frequencies(counts);
        EXPECT_EQ(f[100], 8191u);
        EXPECT_EQ(f[200], 8190u);
        EXPECT_EQ(f[0] + f[1] + f[2], 3u);
    }
    {
        // Shortfall: three equal counts floor to 5461 each (sum 16383);
        // among the equal counts the highest value takes the missing unit.
        std::array<std::uint32_t, 256> counts{};
        counts['x'] = 7;
        counts['y'] = 7;
        counts['z'] = 7;
        const auto f = ci::range_frequencies(counts);
        EXPECT_EQ(f['x'], 5461u);
        EXPECT_EQ(f['y'], 5461u);
        EXPECT_EQ(f['z'], 5462u);
    }
    {
        // Shortfall goes to the largest count even when another value has a
        // higher byte value.
        std::array<std::uint32_t, 256> counts{};
        counts[1] = 10;
        counts[2] = 3;
        const auto f = ci::range_frequencies(counts);
        // floor(10*16384/13) = 12603, floor(3*16384/13) = 3780: sum 16383.
        EXPECT_EQ(f[1], 12604u);
        EXPECT_EQ(f[2], 3780u);
    }
}

TEST(CodecGolden, BlockCompressorSmallInputs) {
    const Vector vectors[] = {
        {"empty", {}, {}},
        {"single 00", hex("00"), hex("02 00")},
        {"single FF", hex("FF"), hex("02 FF")},
        {"nine a", repeat("a", 9), hex("02 61 61 61 61 61 61 61 61 61")},
        {"ten a", repeat("a", 10), hex("00 61 FF 01 00 09 00")},
    };
    for (const Vector& v : vectors) {
        const Bytes got = sarn::codec::compress_block(v.input);
        EXPECT_EQ(show(got), show(v.expected)) << v.name;
        EXPECT_EQ(must(sarn::codec::decompress_block(got, LIMIT)), v.input) << v.name;
    }
}

}  // namespace
