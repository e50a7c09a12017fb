// Byte strings shown to a person on one line: in error texts of the reader
// and in the command's output, where a value may hold any bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sarn::common {

// `bytes` for a one-line human display: control characters and invalid
// UTF-8 escaped as \xNN, cut to `max_chars` code points with "…".
std::string display_text(std::string_view bytes, std::size_t max_chars);

// display_text between double quotes, with quotes and backslashes inside
// escaped (\" and \\), so that the end of the value is never in doubt.
std::string quoted_text(std::string_view bytes, std::size_t max_chars);

}  // namespace sarn::common
