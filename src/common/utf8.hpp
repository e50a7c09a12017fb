// UTF-8 validation for the CSV reader.
#pragma once

#include <cstddef>
#include <string_view>

namespace sarn::common {

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
// truncated sequences, no overlong forms, no surrogates (U+D800..U+DFFF) and
// nothing above U+10FFFF.  Runs of ASCII are checked eight bytes at a time.
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace sarn::common
