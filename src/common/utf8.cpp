#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace sarn::common {

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

}  // namespace

bool is_ascii(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    // Four independent words a step, folded together: the compiler turns
    // this into vector ORs, and one test per 32 bytes decides.
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, p + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & HIGH_BITS) return false;
    }
    for (; i < n; ++i) {
        if (p[i] & 0x80) return false;
    }
    return true;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII fast path: skip whole words without a high bit.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & HIGH_BITS) break;
            i += 8;
        }
        if (i >= n) break;
        const std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::size_t first_bad_utf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) return i;
        i += len;
    }
    return bytes.size();
}

}  // namespace sarn::common
