// AES-256 against FIPS-197, the counter block, and counter-mode enciphering.
#include <gtest/gtest.h>

#include "container/encryption.hpp"

namespace {

using sarn::common::Bytes;
using sarn::container::AesBlock;
using sarn::container::AesKey;

AesKey sequential_key() {
    AesKey key;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

TEST(Aes256, MatchesTheFips197Example) {
    // FIPS-197 appendix C.3: key 00 01 .. 1f, plaintext 00 11 22 .. ff.
    AesBlock plain;
    for (int i = 0; i < 16; ++i) plain[i] = static_cast<std::uint8_t>(i * 0x11);
    const AesBlock expected{0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf,
                            0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89};
    EXPECT_EQ(sarn::container::Aes256(sequential_key()).encrypt_block(plain), expected);
}

TEST(Aes256, MatchesAnSp80038aCounterModeBlock) {
    // SP 800-38A F.5.5 (CTR-AES256), first block: an independent key schedule check.
    const AesKey key{0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
                     0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
    const AesBlock counter{0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7,
                           0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
    const AesBlock keystream{0x0b, 0xdf, 0x7d, 0xf1, 0x59, 0x17, 0x16, 0x33,
                             0x5e, 0x9a, 0x8b, 0x15, 0xc8, 0x60, 0xc5, 0x02};
    EXPECT_EQ(sarn::container::Aes256(key).encrypt_block(counter), keystream);
}

TEST(CounterBlock, DerivedFromNameAndChunk) {
    const std::uint64_t h = sarn::container::fnv1a_64("a");
    const std::uint64_t p = h * 0x100000001b3ULL;
    const std::uint32_t q = static_cast<std::uint32_t>(h) * 0x7ed7fb2fu;
    AesBlock expected{};
    for (int i = 0; i < 8; ++i) expected[i] = static_cast<std::uint8_t>(p >> (8 * i));
    for (int i = 0; i < 4; ++i) expected[8 + i] = static_cast<std::uint8_t>(q >> (8 * i));
    EXPECT_EQ(sarn::container::counter_block("a", 0, 0), expected);

    // The block number is big-endian in the last four bytes.
    AesBlock b = sarn::container::counter_block("a", 0, 0x01020304);
    EXPECT_EQ(b[12], 0x01);
    EXPECT_EQ(b[15], 0x04);
    // The chunk index enters through the seed: chunk 1 of "a" is seed h ^ 1.
    const std::uint64_t p1 = (h ^ 1) * 0x100000001b3ULL;
    EXPECT_EQ(sarn::container::load_le(sarn::container::counter_block("a", 1, 0).data(), 8), p1);
}

TEST(EncryptColumnPayload, CounterModeOverTheWholePayload) {
    const AesKey key = sequential_key();
    Bytes payload(17);
    for (int i = 0; i < 17; ++i) payload[i] = static_cast<std::uint8_t>(i);
    Bytes cipher = sarn::container::encrypt_column_payload("col", key, 3, payload);
    ASSERT_EQ(cipher.size(), 17u);

    // Byte t is payload[t] XOR keystream block t/16, byte t%16; the 17th byte
    // uses only the first byte of block 1.
    const sarn::container::Aes256 aes(key);
    const AesBlock k0 = aes.encrypt_block(sarn::container::counter_block("col", 3, 0));
    const AesBlock k1 = aes.encrypt_block(sarn::container::counter_block("col", 3, 1));
    for (int t = 0; t < 16; ++t) EXPECT_EQ(cipher[t], payload[t] ^ k0[t]);
    EXPECT_EQ(cipher[16], payload[16] ^ k1[0]);

    EXPECT_EQ(sarn::container::encrypt_column_payload("col", key, 3, cipher), payload);  // its own inverse
    EXPECT_NE(sarn::container::encrypt_column_payload("col", key, 4, payload), cipher);  // other chunk
    EXPECT_NE(sarn::container::encrypt_column_payload("cox", key, 3, payload), cipher);  // other column
    EXPECT_TRUE(sarn::container::encrypt_column_payload("col", key, 3, Bytes{}).empty());
    EXPECT_EQ(sarn::container::encrypt_column_payload("col", AesKey{}, 3, payload), payload);  // zero key: unchanged
}

}  // namespace
