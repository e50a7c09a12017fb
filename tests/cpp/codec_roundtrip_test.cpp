// Block codec: which method each kind of input gets, the depth limit of the
// Huffman coder, the range coder's carry, round trips of every stage on
// synthetic and real inputs, and the decoders' answer to damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
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

constexpr std::size_t LIMIT = std::size_t{1} << 30;

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

void expect_round_trip(const Bytes& input, const std::string& name) {
    const Bytes block = sarn::codec::compress_block(input);
    auto back = sarn::codec::decompress_block(block, input.size());
    ASSERT_TRUE(back.ok()) << name << ": " << back.error().message;
    EXPECT_TRUE(*back == input) << name << ": compress_block round trip";
    if (input.empty()) return;
    // The decoder must hold to an exact output limit.
    EXPECT_FALSE(sarn::codec::decompress_block(block, input.size() - 1).ok()) << name;

    const Bytes h = ci::huffman_encode(input);
    auto hb = ci::huffman_decode(h, input.size());
    ASSERT_TRUE(hb.ok()) << name << ": " << hb.error().message;
    EXPECT_TRUE(*hb == input) << name << ": Huffman round trip";
    EXPECT_EQ(h.size(), ci::huffman_encoded_size(ci::byte_counts(input))) << name;

    const Bytes r = ci::range_encode(input);
    auto rb = ci::range_decode(r, input.size());
    ASSERT_TRUE(rb.ok()) << name << ": " << rb.error().message;
    EXPECT_TRUE(*rb == input) << name << ": range round trip";

    const Bytes t = ci::lz_encode(input);
    auto tb = ci::lz_decode(t, input.size());
    ASSERT_TRUE(tb.ok()) << name << ": " << tb.error().message;
    EXPECT_TRUE(*tb == input) << name << ": LZ round trip";
}

struct Pinned {
    const char* name;
    Bytes input;
    BlockMethod method;
    std::size_t block_size;
    std::uint64_t block_fnv;
};

// One input per method on which that method is the smallest, pinned to the
// byte through the block's length and hash.
TEST(CodecBlock, EachMethodWinsSomewhere) {
    const Bytes rnd = random_bytes(2000, 1);
    const Bytes wide = alphabet_bytes(60000, 96, 6, 0);
    const Pinned cases[] = {
        // Repeated random bytes: the matches pay, entropy coding does not.
        {"lz", concat(rnd, rnd), BlockMethod::LZ, 2018, 0x781598811787d926ull},
        {"lz_huffman", wordy_bytes(4000, 2), BlockMethod::LZ_HUFFMAN, 1966, 0x36aa4644991ab3b2ull},
        {"stored", random_bytes(4000, 3), BlockMethod::STORED, 4001, 0x9296e26bb3e28781ull},
        // Eight letters, few matches: Huffman on the raw bytes beats the
        // token stream, whose match tokens add symbols.
        {"huffman", alphabet_bytes(4000, 8, 4, 'a'), BlockMethod::HUFFMAN, 1523, 0xea66b117804be406ull},
        // 48 equally likely values: Huffman spends 5.67 bits where the
        // range coder gets close to log2(48) = 5.58.
        {"range", alphabet_bytes(40000, 48, 5, 0), BlockMethod::RANGE, 28235, 0x2d6e274e6026e567ull},
        // The same with a repeated stretch: the token stream is shorter.
        {"lz_range", concat(wide, prefix(wide, 3000)), BlockMethod::LZ_RANGE, 49952, 0x8ea54406e8d05efeull},
    };
    for (const Pinned& c : cases) {
        const ci::BlockChoice choice = ci::choose_block_method(c.input);
        EXPECT_EQ(static_cast<int>(choice.method), static_cast<int>(c.method)) << c.name;
        const Bytes block = sarn::codec::compress_block(c.input);
        ASSERT_FALSE(block.empty());
        EXPECT_EQ(block[0], static_cast<std::uint8_t>(c.method)) << c.name;
        EXPECT_EQ(block.size(), c.block_size) << c.name;
        EXPECT_EQ(block.size(), choice.sizes[c.method]) << c.name;
        EXPECT_EQ(fnv1a(block), c.block_fnv) << c.name;
        auto back = sarn::codec::decompress_block(block, c.input.size());
        ASSERT_TRUE(back.ok()) << c.name << ": " << back.error().message;
        EXPECT_TRUE(*back == c.input) << c.name;
    }
}

TEST(CodecBlock, EntropyCandidatesStartAt512TokenBytes) {
    // Prefixes of one 4-letter text whose token streams are 511 and 512
    // bytes: the first is settled by LZ against stored alone, the second
    // already goes to Huffman.
    const Bytes text = alphabet_bytes(3000, 4, 7, 'a');
    const Bytes at511 = prefix(text, 531);
    const Bytes at512 = prefix(text, 532);
    ASSERT_EQ(ci::lz_encode(at511).size(), 511u);
    ASSERT_EQ(ci::lz_encode(at512).size(), 512u);
    const Bytes b511 = sarn::codec::compress_block(at511);
    const Bytes b512 = sarn::codec::compress_block(at512);
    EXPECT_EQ(b511[0], static_cast<std::uint8_t>(BlockMethod::LZ));
    EXPECT_EQ(b511.size(), 512u);
    EXPECT_EQ(b512[0], static_cast<std::uint8_t>(BlockMethod::HUFFMAN));
    EXPECT_EQ(b512.size(), 148u);
    EXPECT_EQ(*sarn::codec::decompress_block(b511, LIMIT), at511);
    EXPECT_EQ(*sarn::codec::decompress_block(b512, LIMIT), at512);
}

TEST(CodecBlock, StoredWinsTiesWithTheTokenStream) {
    // FF costs four extra token bytes; the run of ten a saves exactly four.
    const Bytes small = concat(hex("FF"), repeat("a", 10));
    ASSERT_EQ(ci::lz_encode(small).size(), small.size());
    EXPECT_EQ(sarn::codec::compress_block(small), concat(hex("02"), small));

    // The same balance above 512 token bytes, where all candidates compete:
    // random bytes without FF, one FF and one 9-byte repeat.
    Bytes big = random_bytes(700, 11);
    for (auto& b : big) b = b == 0xFF ? 0xFE : b;
    big[100] = 0xFF;
    std::copy(big.begin() + 200, big.begin() + 209, big.begin() + 600);
    ASSERT_EQ(ci::lz_encode(big).size(), big.size());
    const ci::BlockChoice choice = ci::choose_block_method(big);
    EXPECT_EQ(choice.sizes[BlockMethod::LZ], choice.sizes[BlockMethod::STORED]);
    EXPECT_EQ(static_cast<int>(choice.method), static_cast<int>(BlockMethod::STORED));
    EXPECT_EQ(sarn::codec::compress_block(big), concat(hex("02"), big));
}

std::array<std::uint32_t, 256> counts_of(const Bytes& b) { return ci::byte_counts(b); }

void expect_complete_code(const std::array<std::uint8_t, 256>& lengths, const std::string& name) {
    std::uint64_t kraft = 0;
    int longest = 0;
    for (auto len : lengths) {
        if (len == 0) continue;
        longest = std::max<int>(longest, len);
        kraft += std::uint64_t{1} << (ci::MAX_CODE_LEN - len);
    }
    EXPECT_LE(longest, ci::MAX_CODE_LEN) << name;
    EXPECT_EQ(kraft, std::uint64_t{1} << ci::MAX_CODE_LEN) << name << ": lengths must form a complete code";
}

TEST(CodecHuffman, DeepTreesAreRebuiltFromHalvedCounts) {
    // Fibonacci counts make the deepest tree for their total: 22 values
    // give depth 21.  The tree is rebuilt from halved counts (never below
    // 1) until it fits; the resulting lengths are pinned.
    Bytes input;
    std::uint32_t a = 1, b = 1;
    for (int s = 0; s < 22; ++s) {
        input.insert(input.end(), a, static_cast<std::uint8_t>('A' + s));
        const std::uint32_t next = a + b;
        a = b;
        b = next;
    }
    const auto counts = counts_of(input);
    EXPECT_EQ(ci::huffman_tree_depth(counts), 21);
    const auto lengths = ci::huffman_code_lengths(counts);
    expect_complete_code(lengths, "fibonacci");
    std::string got;
    for (int s = 0; s < 22; ++s) got += std::to_string(lengths['A' + s]) + " ";
    EXPECT_EQ(got, "14 14 14 13 14 13 12 12 11 11 10 10 9 9 8 8 6 5 4 3 2 1 ");
    auto back = ci::huffman_decode(ci::huffman_encode(input), LIMIT);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, input);

    // A tree that fits keeps its lengths exactly (no halving).
    const Bytes shallow = text_bytes("aaaabbc");
    EXPECT_EQ(ci::huffman_tree_depth(counts_of(shallow)), 2);
}

std::vector<Bytes> column_blocks(const char* file, std::size_t rows) {
    const std::string csv = read_file(data_path(file));
    EXPECT_FALSE(csv.empty()) << file;
    return text_column_blocks(csv, rows);
}

TEST(CodecHuffman, RealColumnBlocksNeedTheDepthLimit) {
    // Column blocks of 4096 rows: the zip code column's token stream and an
    // airport column's raw bytes both make trees of depth 16.  Payloads and
    // blocks are pinned to values computed independently.
    struct Case {
        const char* file;
        std::size_t block;
        bool tokens;  // the deep tree is the token stream's, else the raw bytes'
        std::size_t huffman_size;
        std::uint64_t huffman_fnv;
        BlockMethod method;
        std::size_t block_size;
        std::uint64_t block_fnv;
    };
    const Case cases[] = {
        {"zipcodes.csv", 0, true, 10650, 0x6f79ac1f149d08feull, BlockMethod::HUFFMAN, 10090, 0xc5c55932f2e04dd6ull},
        {"airports.csv", 1, false, 36834, 0xa81bed36be5672d7ull, BlockMethod::LZ_HUFFMAN, 31119, 0xe60b50e143c747abull},
    };
    for (const Case& c : cases) {
        const auto blocks = column_blocks(c.file, 4096);
        ASSERT_GT(blocks.size(), c.block);
        const Bytes& input = blocks[c.block];
        const Bytes coded = c.tokens ? ci::lz_encode(input) : input;
        const auto counts = counts_of(coded);
        EXPECT_EQ(ci::huffman_tree_depth(counts), 16) << c.file;
        expect_complete_code(ci::huffman_code_lengths(counts), c.file);
        const Bytes h = ci::huffman_encode(coded);
        EXPECT_EQ(h.size(), c.huffman_size) << c.file;
        EXPECT_EQ(fnv1a(h), c.huffman_fnv) << c.file;
        EXPECT_EQ(*ci::huffman_decode(h, LIMIT), coded) << c.file;

        const Bytes block = sarn::codec::compress_block(input);
        EXPECT_EQ(block[0], static_cast<std::uint8_t>(c.method)) << c.file;
        EXPECT_EQ(block.size(), c.block_size) << c.file;
        EXPECT_EQ(fnv1a(block), c.block_fnv) << c.file;
        EXPECT_EQ(*sarn::codec::decompress_block(block, input.size()), input) << c.file;
    }
}

TEST(CodecRange, CarryRipplesThroughFFBytes) {
    // Found by search and pinned: a carry out of `low` that turns an
    // already written FF into 00 and increments the byte before it.
    {
        const Bytes input = alphabet_bytes(48, 2, 33002ull * 131 + 48, 'a');
        ASSERT_EQ(input, text_bytes("bbaabaaababbbababbbaabbaaaabbbabaabbbbbaabbaabaa"));
        ci::RangeCarryStats stats;
        const Bytes got = ci::range_encode_with_stats(input, &stats);
        EXPECT_EQ(stats.carries, 1u);
        EXPECT_EQ(stats.max_ripple, 2u);
        EXPECT_EQ(got, hex("02 00 61 AA 1E 62 56 21 30 00 00 00 C2 D2 C2 00 00 32 FB 38 00"));
        EXPECT_EQ(*ci::range_decode(got, LIMIT), input);
    }
    {
        // A carry through two FF bytes in a 64 KiB input.
        const Bytes input = alphabet_bytes(65536, 17, 46, 'a');
        ci::RangeCarryStats stats;
        const Bytes got = ci::range_encode_with_stats(input, &stats);
        EXPECT_EQ(stats.max_ripple, 3u);
        EXPECT_EQ(got.size(), 33770u);
        EXPECT_EQ(fnv1a(got), 0x0490ade299b8ff10ull);
        EXPECT_EQ(*ci::range_decode(got, LIMIT), input);
    }
}

TEST(CodecBlock, RealColumnBlocksArePinned) {
    // Text column blocks of 65,536 rows from every sample file, compressed
    // by an independent implementation of the same format: input length,
    // method, block length and hash of the block.  flights-3m.csv holds one
    // full chunk and a partial one (blocks 5 to 9).
    struct Pin {
        const char* file;
        std::size_t block;
        std::size_t input_size;
        int method;
        std::size_t block_size;
        std::uint64_t block_fnv;
    };
    const Pin pins[] = {
        {"flights-3m.csv", 0, 589824, 1, 62953, 0x93c0083bc769c5e4ull},
        {"flights-3m.csv", 1, 186512, 1, 88842, 0xe0f48e010134e777ull},
        {"flights-3m.csv", 2, 268919, 1, 144325, 0x89dbd5beca329c91ull},
        {"flights-3m.csv", 3, 262144, 1, 119760, 0x7d40d5fd8ae03bd6ull},
        {"flights-3m.csv", 4, 262144, 1, 119737, 0x27076d7644067c37ull},
        {"flights-3m.csv", 5, 40176, 1, 4921, 0xf7a548c8d6105650ull},
        {"flights-3m.csv", 6, 13004, 1, 6694, 0x5874bd4fba8c76d3ull},
        {"flights-3m.csv", 7, 18404, 1, 10408, 0x9cc385478a5718fbull},
        {"flights-3m.csv", 8, 17856, 1, 8928, 0x27ace546081b3223ull},
        {"flights-3m.csv", 9, 17856, 1, 9013, 0xc34ccd42b98ee455ull},
        {"zipcodes.csv", 0, 98304, 3, 41519, 0x8ee428ceb329d4aaull},
        {"zipcodes.csv", 1, 162190, 1, 77742, 0x399f5a3a3f222a57ull},
        {"zipcodes.csv", 2, 178347, 1, 83076, 0x53020fc08c21cd99ull},
        {"zipcodes.csv", 3, 164525, 1, 73699, 0x782b85300d76e368ull},
        {"zipcodes.csv", 4, 49152, 0, 449, 0xf2a8e921ec4a487aull},
        {"zipcodes.csv", 5, 145808, 1, 23620, 0xae982ad185e522b2ull},
        {"birdstrikes.csv", 0, 216836, 1, 28825, 0xc5425c4820090b18ull},
        {"birdstrikes.csv", 1, 84274, 1, 25566, 0x029d57a9499af037ull},
        {"birdstrikes.csv", 2, 53053, 1, 3690, 0x0c3da96e33d7e388ull},
        {"birdstrikes.csv", 3, 110000, 1, 13810, 0xf5fdec7ff0771bccull},
        {"birdstrikes.csv", 4, 159715, 1, 21969, 0xfc024456af5575a6ull},
        {"birdstrikes.csv", 5, 88805, 1, 22036, 0x2c0096251ce243e0ull},
        {"birdstrikes.csv", 6, 95627, 1, 11712, 0x5ed0a1f93b6ec4e0ull},
        {"birdstrikes.csv", 7, 64346, 1, 7557, 0x938021dfee2b0ed3ull},
        {"birdstrikes.csv", 8, 199850, 1, 15598, 0x4c8e3fb6ac34c173ull},
        {"birdstrikes.csv", 9, 47739, 1, 7486, 0x29dc2bbeddaabd59ull},
        {"birdstrikes.csv", 10, 20229, 0, 798, 0x3c501dc8946ae209ull},
        {"birdstrikes.csv", 11, 20681, 1, 1511, 0xaafeed1f4654ac42ull},
        {"birdstrikes.csv", 12, 20773, 1, 1706, 0x72f0918193b922bbull},
        {"birdstrikes.csv", 13, 31180, 1, 13838, 0xb6f992a1ccd5f8efull},
        {"sp500-2000.csv", 0, 56155, 1, 15487, 0x84b24cb129fb9867ull},
        {"sp500-2000.csv", 1, 60756, 1, 24289, 0x13cec1e954de165eull},
        {"sp500-2000.csv", 2, 60785, 1, 24587, 0x3dea8af6e931dfb8ull},
        {"sp500-2000.csv", 3, 60729, 1, 24553, 0x6f9a0eb15df4dc9eull},
        {"sp500-2000.csv", 4, 60757, 1, 24547, 0x6b57721ff5c415f9ull},
        {"sp500-2000.csv", 5, 60757, 1, 24547, 0x6b57721ff5c415f9ull},
        {"sp500-2000.csv", 6, 55989, 1, 25548, 0x823a5321471edcc0ull},
        {"airports.csv", 0, 13546, 1, 8039, 0x4f2d9b7169e590d6ull},
        {"airports.csv", 1, 57682, 1, 31119, 0xe60b50e143c747abull},
        {"airports.csv", 2, 32512, 1, 20408, 0xc019d5d8b5de0fecull},
        {"airports.csv", 3, 10169, 1, 5515, 0x4d92cb97f3831e75ull},
        {"airports.csv", 4, 13543, 0, 176, 0x65be821c565b59e5ull},
        {"airports.csv", 5, 39570, 3, 18367, 0xa63115165df0a4fcull},
        {"airports.csv", 6, 43182, 3, 20594, 0xf0f91a5d3c8a11b9ull},
        {"s57expectedinput.csv", 0, 3330, 1, 438, 0x6c935ae3c2384212ull},
        {"s57expectedinput.csv", 1, 2434, 1, 703, 0x6b9367511c9f2ce2ull},
        {"s57expectedinput.csv", 2, 14638, 1, 8489, 0x6f5cbd8d2401b167ull},
        {"ubuntu.csv", 0, 303, 0, 271, 0x205acebead8080e1ull},
        {"ubuntu.csv", 1, 639, 1, 540, 0x3fdbb95b2b684057ull},
        {"ubuntu.csv", 2, 313, 2, 314, 0x81bde823c0200253ull},
        {"ubuntu.csv", 3, 495, 0, 413, 0x8a07a35f2788fa4eull},
        {"ubuntu.csv", 4, 495, 0, 409, 0x4523882882d455f9ull},
        {"ubuntu.csv", 5, 495, 0, 417, 0x3126ff7ac374a3f8ull},
        {"ubuntu.csv", 6, 155, 0, 120, 0xef66cd2983931c2cull},
        {"ubuntu.csv", 7, 125, 0, 85, 0xbc84934ad908b547ull},
        {"ubuntu.csv", 8, 115, 0, 84, 0x850e72672c4be128ull},
    };
    std::string loaded;
    std::vector<Bytes> blocks;
    for (const Pin& p : pins) {
        if (loaded != p.file) {
            blocks = column_blocks(p.file, 65536);
            loaded = p.file;
        }
        ASSERT_GT(blocks.size(), p.block) << p.file;
        const Bytes& input = blocks[p.block];
        ASSERT_EQ(input.size(), p.input_size) << p.file << " block " << p.block;
        const Bytes out = sarn::codec::compress_block(input);
        EXPECT_EQ(out[0], p.method) << p.file << " block " << p.block;
        EXPECT_EQ(out.size(), p.block_size) << p.file << " block " << p.block;
        EXPECT_EQ(fnv1a(out), p.block_fnv) << p.file << " block " << p.block;
    }
}

TEST(CodecRoundTrip, SyntheticInputs) {
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (std::size_t n = 0; n <= 12; ++n) {
        inputs.emplace_back("tiny random " + std::to_string(n), random_bytes(n, 100 + n));
        inputs.emplace_back("tiny FF " + std::to_string(n), Bytes(n, 0xFF));
        inputs.emplace_back("tiny a " + std::to_string(n), repeat("a", n));
    }
    inputs.emplace_back("random 100k", random_bytes(100000, 21));
    inputs.emplace_back("wordy 300k", wordy_bytes(300000, 22));
    inputs.emplace_back("single value 100k", Bytes(100000, 'x'));
    inputs.emplace_back("single FF 70k", Bytes(70000, 0xFF));
    inputs.emplace_back("two values", alphabet_bytes(50000, 2, 23, 0xFE));
    {
        // Half the bytes FF: literals grow fivefold.
        Bytes b = random_bytes(50000, 24);
        for (std::size_t i = 0; i < b.size(); i += 2) b[i] = 0xFF;
        inputs.emplace_back("FF rich", b);
    }
    {
        // Runs longer than the longest match, and repeats at the far end of
        // the distance window.
        Bytes b = repeat("0123456789abcdef", 20000);
        const Bytes r = random_bytes(66000, 25);
        b.insert(b.end(), r.begin(), r.end());
        b.insert(b.end(), r.begin(), r.end());
        inputs.emplace_back("long runs and far repeats", b);
    }
    {
        // Several MB of mixed content.
        Bytes b = wordy_bytes(2'000'000, 26);
        const Bytes r = random_bytes(1'000'000, 27);
        b.insert(b.end(), r.begin(), r.end());
        const Bytes w = alphabet_bytes(1'000'000, 40, 28, ' ');
        b.insert(b.end(), w.begin(), w.end());
        inputs.emplace_back("mixed 4MB", b);
    }
    {
        // Token streams of 511, 512 and 513 bytes.
        const Bytes text = alphabet_bytes(3000, 4, 7, 'a');
        int found = 0;
        for (std::size_t n = 500; n < 700; ++n) {
            const Bytes p = prefix(text, n);
            const std::size_t len = ci::lz_encode(p).size();
            if (len >= 511 && len <= 513) {
                inputs.emplace_back("tokens " + std::to_string(len), p);
                ++found;
            }
        }
        EXPECT_GE(found, 3);
    }
    for (const auto& [name, input] : inputs) expect_round_trip(input, name);
}

TEST(CodecRoundTrip, RealColumnBlocks) {
    const char* files[] = {"flights-3m.csv", "zipcodes.csv",         "birdstrikes.csv", "sp500-2000.csv",
                           "airports.csv",   "s57expectedinput.csv", "ubuntu.csv"};
    std::size_t blocks_seen = 0;
    for (const char* file : files) {
        const auto blocks = column_blocks(file, 65536);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            expect_round_trip(blocks[i], std::string(file) + " block " + std::to_string(i));
            ++blocks_seen;
        }
    }
    EXPECT_GT(blocks_seen, 40u);
}

// One workspace lent to block after block gives each block the bytes a
// fresh call gives: the hash table starts empty every time, a longer input
// after a shorter one sees none of the earlier positions, and the token
// buffer works whether the last block took it (method LZ) or gave it back.
TEST(CodecBlock, AWorkspaceCarriesNothingFromOneBlockToTheNext) {
    std::vector<Bytes> inputs;
    inputs.push_back(wordy_bytes(300000, 31));  // a long block first: big tables and buffer
    inputs.push_back(wordy_bytes(20000, 31));  // its own prefix: matches only within itself
    inputs.push_back(Bytes(5000, 0xFF));
    inputs.push_back(random_bytes(3, 32));  // too short for the match search
    inputs.push_back(random_bytes(9, 33));
    inputs.push_back(text_bytes("abcdefghijklmnopq"));
    inputs.push_back(random_bytes(70000, 34));  // stored wins
    inputs.push_back(repeat("0123456789abcdef", 5000));
    inputs.push_back(Bytes());
    for (const char* file : {"flights-3m.csv", "zipcodes.csv"}) {
        for (const Bytes& b : column_blocks(file, 65536)) inputs.push_back(b);
    }
    inputs.push_back(wordy_bytes(300000, 31));  // the first again, after everything else
    std::set<BlockMethod> methods;
    sarn::codec::BlockWorkspace workspace;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const Bytes fresh = sarn::codec::compress_block(inputs[i]);
            const Bytes lent = sarn::codec::compress_block(inputs[i], workspace);
            ASSERT_EQ(lent, fresh) << "pass " << pass << " input " << i;
            if (!fresh.empty()) methods.insert(static_cast<BlockMethod>(fresh[0]));
        }
        std::reverse(inputs.begin(), inputs.end());
    }
    // Blocks that keep the token buffer and blocks that take it were both seen.
    EXPECT_TRUE(methods.count(BlockMethod::LZ)) << "no LZ block";
    EXPECT_TRUE(methods.count(BlockMethod::LZ_HUFFMAN)) << "no LZ_HUFFMAN block";
    EXPECT_TRUE(methods.count(BlockMethod::STORED)) << "no STORED block";
}

// Prefixes and single-byte changes of a valid block (every position in the
// first 300 bytes, where the tables are, then a sample): the decoder returns
// an error or an output within the limit, and never crashes (the sanitizers
// watch its reads and writes).
void expect_survives_damage(const Bytes& block, std::size_t max_output) {
    const std::size_t stride = std::max<std::size_t>(1, block.size() / 100);
    auto positions = [&](auto&& visit) {
        for (std::size_t i = 0; i < block.size(); i += i < 300 ? 1 : stride) visit(i);
    };
    positions([&](std::size_t len) {
        auto r = sarn::codec::decompress_block(ByteView(block.data(), len), max_output);
        if (r.ok()) {
            EXPECT_LE(r->size(), max_output);
        } else {
            EXPECT_FALSE(r.error().message.empty());
        }
    });
    Bytes damaged = block;
    positions([&](std::size_t i) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            damaged[i] ^= flip;
            auto r = sarn::codec::decompress_block(damaged, max_output);
            if (r.ok()) {
                EXPECT_LE(r->size(), max_output);
            }
            damaged[i] ^= flip;
        }
    });
}

TEST(CodecDecode, DamagedBlocksOfEveryMethod) {
    const Bytes rnd = random_bytes(300, 1);
    const Bytes wide = alphabet_bytes(60000, 96, 6, 0);
    const Bytes inputs[] = {
        concat(rnd, rnd),  // LZ
        wordy_bytes(1500, 2),  // LZ_HUFFMAN
        random_bytes(600, 3),  // STORED
        alphabet_bytes(1500, 8, 4, 'a'),  // HUFFMAN
        alphabet_bytes(40000, 48, 5, 0),  // RANGE
        concat(wide, prefix(wide, 3000)),  // LZ_RANGE
    };
    std::set<int> methods;
    for (const Bytes& input : inputs) {
        const Bytes block = sarn::codec::compress_block(input);
        methods.insert(block[0]);
        expect_survives_damage(block, input.size());
    }
    EXPECT_EQ(methods.size(), 6u);
}

TEST(CodecDecode, LzOutputLimitIsExact) {
    // Literal runs of every length around the word size, with and without a
    // trailing match: the limit holds to the byte.
    for (std::size_t n = 1; n <= 40; ++n) {
        Bytes tokens = random_bytes(n, 900 + n);
        for (auto& b : tokens) b = b == 0xFF ? 0x00 : b;
        for (int with_match = 0; with_match < 2; ++with_match) {
            Bytes t = tokens;
            std::size_t expect = n;
            if (with_match) {
                t.insert(t.end(), {0xFF, 0x01, 0x00, 0x07, 0x00});
                expect += 7;
            }
            auto ok = ci::lz_decode(t, expect);
            ASSERT_TRUE(ok.ok()) << n;
            EXPECT_EQ(ok->size(), expect);
            EXPECT_TRUE(std::equal(tokens.begin(), tokens.end(), ok->begin())) << n;
            EXPECT_FALSE(ci::lz_decode(t, expect - 1).ok()) << n;
        }
    }
}

TEST(CodecDecode, MalformedPayloadsAreErrors) {
    struct Case {
        const char* name;
        Bytes block;
        std::size_t max_output;
    };
    const Case cases[] = {
        {"unknown method", hex("06 00"), 100},
        {"stored over limit", hex("02 01 02 03"), 2},
        {"LZ truncated match", hex("00 61 FF 01 00"), 100},
        {"LZ distance 0, length 2", hex("00 FF 00 00 02 00"), 100},
        {"LZ distance before start", hex("00 61 FF 02 00 06 00"), 100},
        {"LZ length 0", hex("00 61 FF 01 00 00 00"), 100},
        {"LZ over limit", hex("00 61 FF 01 00 FF FF"), 1000},
        {"Huffman unknown table form", hex("03 FD 00"), 100},
        {"Huffman empty pair list", hex("03 FF 00 01 00 00 00"), 100},
        {"Huffman length 16", hex("03 FF 01 61 10 01 00 00 00 00"), 100},
        {"Huffman values out of order", hex("03 FF 02 62 01 61 01 02 00 00 00 40"), 100},
        {"Huffman overfull code", hex("03 FF 03 61 01 62 01 63 01 03 00 00 00 00"), 100},
        {"Huffman huge count, short stream", hex("03 FF 01 61 01 FF FF FF FF 00"), std::size_t{1} << 40},
        {"Huffman count over limit", hex("03 FF 01 61 01 14 00 00 00 00 00 00"), 19},
        {"Huffman invalid code", hex("03 FF 01 61 01 02 00 00 00 40"), 100},
        {"Huffman trailing byte", hex("03 FF 01 61 01 02 00 00 00 00 00"), 100},
        {"Huffman missing stream", hex("03 FF 01 61 01 09 00 00 00 00"), 100},
        {"range no values", hex("04 00 00 00 00 00 00"), 100},
        {"range bad sum", hex("04 02 00 61 00 20 62 00 10 02 00 00 00 3F FF E0 00"), 100},
        {"range zero frequency", hex("04 02 00 61 00 40 62 00 00 02 00 00 00 3F FF E0 00"), 100},
        {"range values out of order", hex("04 02 00 62 00 20 61 00 20 02 00 00 00 3F FF E0 00"), 100},
        {"range one value over limit", hex("04 01 00 61 00 40 FF FF FF FF"), 1000},
        {"range one value trailing", hex("04 01 00 61 00 40 05 00 00 00 00"), 1000},
        {"range coded bytes end early", hex("04 02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0"), 100},
        {"range trailing byte", hex("04 02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00 00"), 100},
        {"range count far beyond stream", hex("04 02 00 61 00 20 62 00 20 FF FF 00 00 3F FF E0 00"), 1000000},
        {"LZ_HUFFMAN bad tokens", concat(hex("01"), ci::huffman_encode(hex("FF 09 00 01 00"))), 100},
        {"LZ_RANGE bad tokens", concat(hex("05"), ci::range_encode(hex("61 FF 02 00 06 00"))), 100},
    };
    for (const Case& c : cases) {
        auto r = sarn::codec::decompress_block(c.block, c.max_output);
        EXPECT_FALSE(r.ok()) << c.name;
        if (!r.ok()) {
            EXPECT_NE(r.error().message.find("Corrupt"), std::string::npos) << c.name << ": " << r.error().message;
        }
    }
    // The empty block is the empty input.
    auto empty = sarn::codec::decompress_block({}, 0);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

// ---- compression levels ---------------------------------------------------

// The matches of a token stream, checked against what the reader accepts
// from a writer: distance 1..65,535 and no farther back than the output so
// far, length 6..65,535, FF escaped as FF 00 00 01 00.  Returns an empty
// text when they hold.
std::string token_fault(const Bytes& tokens) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < tokens.size();) {
        if (tokens[i] != 0xFF) {
            ++out;
            ++i;
            continue;
        }
        if (tokens.size() - i < 5) return "truncated token at " + std::to_string(i);
        const std::size_t d = tokens[i + 1] | std::size_t{tokens[i + 2]} << 8;
        const std::size_t len = tokens[i + 3] | std::size_t{tokens[i + 4]} << 8;
        if (d == 0) {
            if (len != 1) return "distance 0 with length " + std::to_string(len);
            ++out;
        } else {
            if (len < ci::MIN_MATCH || len > ci::MAX_MATCH) return "match length " + std::to_string(len);
            if (d > ci::MAX_DISTANCE || d > out)
                return "match distance " + std::to_string(d) + " at output " + std::to_string(out);
            out += len;
        }
        i += 5;
    }
    return {};
}

// What every level must do with `input`: a block that reads back under an
// output limit of exactly the input's length (and not one byte less), no
// larger than level 1's block, level 1 the same as the default; the deeper
// parse's own tokens within the reader's limits; the same bytes with or
// without a workspace.
void expect_levels_round_trip(const Bytes& input, const std::string& name, sarn::codec::BlockWorkspace& workspace) {
    const Bytes level1 = sarn::codec::compress_block(input);
    ASSERT_EQ(sarn::codec::compress_block(input, 1), level1) << name;
    for (int level = sarn::codec::MIN_LEVEL; level <= sarn::codec::MAX_LEVEL; ++level) {
        const std::string what = name + " at level " + std::to_string(level);
        const Bytes block = sarn::codec::compress_block(input, level);
        EXPECT_LE(block.size(), level1.size()) << what;
        EXPECT_EQ(sarn::codec::compress_block(input, workspace, level), block) << what << ": workspace";
        auto back = sarn::codec::decompress_block(block, input.size());
        ASSERT_TRUE(back.ok()) << what << ": " << back.error().message;
        EXPECT_TRUE(*back == input) << what;
        if (!input.empty()) {
            EXPECT_FALSE(sarn::codec::decompress_block(block, input.size() - 1).ok()) << what;
        }
        if (level == 1) continue;
        const Bytes tokens = ci::lz_encode_searched(input, level);
        EXPECT_EQ(token_fault(tokens), "") << what;
        auto expanded = ci::lz_decode(tokens, input.size());
        ASSERT_TRUE(expanded.ok()) << what << ": " << expanded.error().message;
        EXPECT_TRUE(*expanded == input) << what << ": token stream";
    }
}

std::vector<std::pair<std::string, Bytes>> level_inputs() {
    std::vector<std::pair<std::string, Bytes>> inputs;
    inputs.emplace_back("empty", Bytes());
    for (std::size_t n = 1; n <= 16; ++n) {
        inputs.emplace_back("random " + std::to_string(n), random_bytes(n, 300 + n));
        inputs.emplace_back("FF " + std::to_string(n), Bytes(n, 0xFF));
        inputs.emplace_back("a " + std::to_string(n), repeat("a", n));
    }
    {
        Bytes b = random_bytes(20000, 41);
        for (std::size_t i = 0; i < b.size(); i += 3) b[i] = 0xFF;
        inputs.emplace_back("FF rich", b);
    }
    inputs.emplace_back("one value, a match longer than 65,535", Bytes(140000, 'x'));
    inputs.emplace_back("FF run", Bytes(70000, 0xFF));
    inputs.emplace_back("short period", repeat("0123456789abcdef", 6000));
    {
        // The same 70,000 random bytes twice: a match longer than the
        // longest a token holds, at a distance beyond the window.
        const Bytes r = random_bytes(70000, 42);
        inputs.emplace_back("far repeat", concat(r, r));
    }
    for (std::size_t gap : {std::size_t{65535}, std::size_t{65536}}) {
        // A repeat at exactly the farthest distance, and one byte beyond it.
        const Bytes r = random_bytes(gap, 43);
        inputs.emplace_back("repeat at distance " + std::to_string(gap), concat(r, prefix(r, 200)));
    }
    inputs.emplace_back("random", random_bytes(20000, 44));
    inputs.emplace_back("wordy", wordy_bytes(100000, 45));
    inputs.emplace_back("few letters", alphabet_bytes(30000, 8, 46, 'a'));
    // Real text columns: blocks of 2,048 rows, the first chunk of each file.
    for (const char* file : {"flights-3m.csv", "zipcodes.csv", "birdstrikes.csv", "sp500-2000.csv", "airports.csv",
                             "s57expectedinput.csv", "ubuntu.csv"}) {
        const auto blocks = column_blocks(file, 2048);
        std::size_t columns = 0;
        for (std::size_t i = 0; i < blocks.size() && columns < 16; ++i, ++columns)
            inputs.emplace_back(std::string(file) + " block " + std::to_string(i), blocks[i]);
    }
    return inputs;
}

TEST(CodecLevels, EveryLevelRoundTripsWithinTheReadersLimits) {
    sarn::codec::BlockWorkspace workspace;
    for (const auto& [name, input] : level_inputs()) expect_levels_round_trip(input, name, workspace);
}

TEST(CodecLevels, LevelOneIsTheDefaultAndLevelsOutsideTheRangeAreClamped) {
    sarn::codec::BlockWorkspace workspace;
    for (const char* file : {"flights-3m.csv", "zipcodes.csv", "airports.csv", "ubuntu.csv"}) {
        for (const Bytes& b : column_blocks(file, 65536)) {
            const Bytes def = sarn::codec::compress_block(b);
            EXPECT_EQ(sarn::codec::compress_block(b, 1), def) << file;
            EXPECT_EQ(sarn::codec::compress_block(b, workspace, 1), def) << file;
            EXPECT_EQ(sarn::codec::compress_block(b, 0), def) << file;
            EXPECT_EQ(sarn::codec::compress_block(b, -5), def) << file;
        }
    }
    const Bytes text = wordy_bytes(50000, 47);
    EXPECT_EQ(sarn::codec::compress_block(text, 100), sarn::codec::compress_block(text, sarn::codec::MAX_LEVEL));
}

TEST(CodecLevels, DeeperLevelsWriteSmallerBlocks) {
    // Real text columns shrink from level to level on the whole: the deeper
    // search and the priced parse are really at work, not only the level-1
    // candidate.  Totals over the first chunk's blocks of 8,192 rows.
    std::vector<Bytes> blocks;
    for (const char* file : {"flights-3m.csv", "birdstrikes.csv"}) {
        auto b = column_blocks(file, 8192);
        for (std::size_t i = 0; i < b.size() && i < 12; ++i) blocks.push_back(std::move(b[i]));
    }
    std::size_t prev = 0;
    std::size_t first = 0;
    for (int level : {1, 2, 4, 5, 9}) {
        std::size_t total = 0;
        for (const Bytes& b : blocks) total += sarn::codec::compress_block(b, level).size();
        if (level == 1) first = total;
        if (prev != 0) {
            EXPECT_LT(total, prev) << "level " << level;
        }
        prev = total;
    }
    EXPECT_LT(prev * 100, first * 90) << "level 9 against level 1";
}

}  // namespace
