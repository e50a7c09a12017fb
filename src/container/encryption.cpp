#include "container/encryption.hpp"

#include <algorithm>

namespace sarn::container {

namespace {

// The AES S-box: the multiplicative inverse in GF(2^8) followed by the affine
// map of FIPS-197 5.1.1, computed at compile time.  Inverses come from the
// powers of the generator 3: inv(3^k) = 3^(255-k).
constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> power{}, log{};
    std::uint8_t x = 1;
    for (int k = 0; k < 255; ++k) {
        power[k] = x;
        log[x] = static_cast<std::uint8_t>(k);
        // x *= 3, that is x ^ xtime(x)
        x = static_cast<std::uint8_t>(x ^ ((x << 1) ^ ((x & 0x80) ? 0x1b : 0x00)));
    }
    std::array<std::uint8_t, 256> box{};
    for (int v = 0; v < 256; ++v) {
        std::uint8_t inv = v == 0 ? 0 : power[(255 - log[v]) % 255];
        std::uint8_t s = inv;
        std::uint8_t r = inv;
        for (int k = 0; k < 4; ++k) {
            r = static_cast<std::uint8_t>((r << 1) | (r >> 7));
            s ^= r;
        }
        box[v] = static_cast<std::uint8_t>(s ^ 0x63);
    }
    return box;
}

constexpr std::array<std::uint8_t, 256> SBOX = make_sbox();
static_assert(SBOX[0x00] == 0x63 && SBOX[0x01] == 0x7c && SBOX[0x53] == 0xed && SBOX[0xff] == 0x16);

constexpr std::uint8_t RCON[7] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

inline std::uint8_t xtime(std::uint8_t b) { return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00)); }

}  // namespace

Aes256::Aes256(const AesKey& key) noexcept {
    // Words are the key bytes in order (big-endian words): byte 4i+k of the
    // schedule is byte k of word i.
    for (int i = 0; i < 32; ++i) round_keys_[i] = key[i];
    for (int i = 8; i < 60; ++i) {
        std::uint8_t t[4];
        for (int k = 0; k < 4; ++k) t[k] = round_keys_[4 * (i - 1) + k];
        if (i % 8 == 0) {
            std::uint8_t first = t[0];  // RotWord, SubWord, round constant
            t[0] = static_cast<std::uint8_t>(SBOX[t[1]] ^ RCON[i / 8 - 1]);
            t[1] = SBOX[t[2]];
            t[2] = SBOX[t[3]];
            t[3] = SBOX[first];
        } else if (i % 8 == 4) {
            for (auto& b : t) b = SBOX[b];  // SubWord alone
        }
        for (int k = 0; k < 4; ++k)
            round_keys_[4 * i + k] = static_cast<std::uint8_t>(round_keys_[4 * (i - 8) + k] ^ t[k]);
    }
}

AesBlock Aes256::encrypt_block(const AesBlock& in) const noexcept {
    // State byte r + 4c is row r, column c (the input's byte order).
    AesBlock s;
    for (int i = 0; i < 16; ++i) s[i] = static_cast<std::uint8_t>(in[i] ^ round_keys_[i]);
    for (int round = 1; round <= 14; ++round) {
        for (auto& b : s) b = SBOX[b];  // SubBytes
        AesBlock t;  // ShiftRows: row r moves left by r
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) t[r + 4 * c] = s[r + 4 * ((c + r) % 4)];
        s = t;
        if (round != 14) {  // MixColumns, with xtime doubling
            for (int c = 0; c < 4; ++c) {
                std::uint8_t* col = &s[4 * c];
                std::uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
                std::uint8_t all = static_cast<std::uint8_t>(a0 ^ a1 ^ a2 ^ a3);
                col[0] = static_cast<std::uint8_t>(a0 ^ all ^ xtime(static_cast<std::uint8_t>(a0 ^ a1)));
                col[1] = static_cast<std::uint8_t>(a1 ^ all ^ xtime(static_cast<std::uint8_t>(a1 ^ a2)));
                col[2] = static_cast<std::uint8_t>(a2 ^ all ^ xtime(static_cast<std::uint8_t>(a2 ^ a3)));
                col[3] = static_cast<std::uint8_t>(a3 ^ all ^ xtime(static_cast<std::uint8_t>(a3 ^ a0)));
            }
        }
        for (int i = 0; i < 16; ++i) s[i] ^= round_keys_[16 * round + i];  // AddRoundKey
    }
    return s;
}

AesBlock counter_block(std::string_view column_name, std::uint32_t chunk_index, std::uint32_t j) noexcept {
    const std::uint64_t seed = fnv1a_64(column_name) ^ static_cast<std::uint64_t>(chunk_index);
    const std::uint64_t p = seed * FNV_PRIME;
    const std::uint32_t q = static_cast<std::uint32_t>(seed) * 0x7ed7fb2fu;
    AesBlock block;
    for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(p >> (8 * i));
    for (int i = 0; i < 4; ++i) block[8 + i] = static_cast<std::uint8_t>(q >> (8 * i));
    for (int i = 0; i < 4; ++i) block[12 + i] = static_cast<std::uint8_t>(j >> (8 * (3 - i)));
    return block;
}

void encrypt_column_payload_in_place(std::string_view column_name, const AesKey& key, std::uint32_t chunk_index,
                                     std::span<std::uint8_t> data) {
    bool zero_key = true;
    for (std::uint8_t b : key) zero_key = zero_key && b == 0;
    if (zero_key) return;
    const Aes256 aes(key);
    // Counter blocks differ only in their last four bytes.
    AesBlock ctr = counter_block(column_name, chunk_index, 0);
    std::uint32_t j = 0;
    for (std::size_t t = 0; t < data.size(); t += 16, ++j) {
        for (int i = 0; i < 4; ++i) ctr[12 + i] = static_cast<std::uint8_t>(j >> (8 * (3 - i)));
        const AesBlock ks = aes.encrypt_block(ctr);
        const std::size_t end = std::min(data.size(), t + 16);
        for (std::size_t k = t; k < end; ++k) data[k] ^= ks[k - t];
    }
}

Bytes encrypt_column_payload(std::string_view column_name, const AesKey& key, std::uint32_t chunk_index,
                             ByteView payload) {
    Bytes out(payload.begin(), payload.end());
    encrypt_column_payload_in_place(column_name, key, chunk_index, out);
    return out;
}

}  // namespace sarn::container
