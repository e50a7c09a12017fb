// UTF-8 validation for the CSV reader and the JSON text of the command.
#pragma once

#include <cstddef>
#include <string_view>

namespace sarn::common {

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at byte
// `i` of `s` (which must be inside `s`), or 0 when none starts there: a stray
// continuation byte, a truncated sequence, an overlong form, a surrogate
// (U+D800..U+DFFF) or a code point above U+10FFFF.
inline std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
    const auto at = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = at(i);
    if (b < 0x80) return 1;
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
        return 0;  // continuation byte, C0, C1 or F5..FF as a lead
    }
    if (s.size() - i < len) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    }
    return len;
}

// True when no byte of `bytes` has its high bit set.  Checks whole buffers
// at memory speed, so that the lines of an ASCII buffer skip their own
// check.
bool is_ascii(std::string_view bytes) noexcept;

// True when `bytes` is well-formed UTF-8 (see utf8_sequence_length).  Runs
// of ASCII are checked eight bytes at a time.
bool is_valid_utf8(std::string_view bytes) noexcept;

// Index of the first byte of the first ill-formed sequence in `bytes`
// (bytes.size() when there is none).  Only used to name the place of an
// error that is_valid_utf8 found, so it favours plainness over speed.
std::size_t first_bad_utf8(std::string_view bytes) noexcept;

}  // namespace sarn::common
