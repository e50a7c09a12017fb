#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace sarn::common {

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

inline bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

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
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // The second byte's allowed range depends on the lead byte: this is
        // what rules out overlong forms, surrogates and code points past
        // U+10FFFF (the table of well-formed sequences in the Unicode standard).
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;  // continuation byte, C0, C1 or F5..FF as a lead
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (!is_continuation(p[i + k])) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace sarn::common
