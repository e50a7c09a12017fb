// Column block encryption: AES-256 in counter mode.
//
// No nonce is stored: the counter block is derived from the column's name and
// the chunk's index, so every (column, chunk) pair gets its own keystream
// under one key.  Counter block j is
//   bytes 0-7    P = seed x 0x100000001b3, little-endian
//   bytes 8-11   Q = (seed mod 2^32) x 0x7ed7fb2f mod 2^32, little-endian
//   bytes 12-15  j, big-endian (the one big-endian field of the container)
// with seed = fnv1a_64(name) XOR chunk index.  There is no padding and no
// authentication tag; the ciphertext has the payload's length.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "container/types.hpp"

namespace sarn::container {

using AesKey = std::array<std::uint8_t, 32>;
using AesBlock = std::array<std::uint8_t, 16>;

// An expanded AES-256 key: the 60 words of the key schedule, as 240 bytes.
class Aes256 {
public:
    explicit Aes256(const AesKey& key) noexcept;
    // Enciphers one 16-byte block (FIPS-197, 14 rounds).
    AesBlock encrypt_block(const AesBlock& in) const noexcept;

private:
    std::array<std::uint8_t, 240> round_keys_;
};

// Counter block `j` for the given column name and chunk index.
AesBlock counter_block(std::string_view column_name, std::uint32_t chunk_index, std::uint32_t j) noexcept;

// Enciphers (or, applied again, deciphers) a column payload.  An all-zero key
// means "not enciphered": the payload comes back unchanged.  Cannot fail.
Bytes encrypt_column_payload(std::string_view column_name, const AesKey& key, std::uint32_t chunk_index,
                             ByteView payload);
// The same over `data` itself, for a reader that holds a payload it may not
// copy (it may be as large as the reader's memory budget).
void encrypt_column_payload_in_place(std::string_view column_name, const AesKey& key, std::uint32_t chunk_index,
                                     std::span<std::uint8_t> data);

}  // namespace sarn::container
