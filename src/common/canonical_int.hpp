// Canonical decimal integers: the only integer texts that print back as
// they were read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sarn::common {

// True when `text` is a canonical decimal integer within the signed 64-bit
// range, which is then stored in `value`: "0", or an optional '-' followed by
// a digit 1-9 and more digits.  Only such texts print back as they were
// read, which is what makes an integer column lossless: "007", "+5", "-0",
// "1.0" and "" are not integers here.
inline bool parse_canonical_int64(std::string_view text, std::int64_t& value) noexcept {
    const std::size_t n = text.size();
    if (n == 0) return false;
    const bool negative = text[0] == '-';
    std::size_t i = negative ? 1 : 0;
    // Nineteen digits stay below 2^64, so the sum cannot wrap; the range
    // is checked once at the end.
    if (n - i == 0 || n - i > 19) return false;
    if (text[i] == '0') {
        if (n != 1) return false;  // "0" alone; not "007", not "-0"
        value = 0;
        return true;
    }
    std::uint64_t acc = 0;
    for (; i < n; ++i) {
        const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(text[i])) - '0';
        if (digit > 9) return false;
        acc = acc * 10 + digit;
    }
    constexpr std::uint64_t HIGHEST = 9223372036854775807ULL;
    if (negative) {
        if (acc > HIGHEST + 1) return false;
        value = static_cast<std::int64_t>(0 - acc);  // 2^63 becomes INT64_MIN
    } else {
        if (acc > HIGHEST) return false;
        value = static_cast<std::int64_t>(acc);
    }
    return true;
}

}  // namespace sarn::common
