// JSON string literals: the one escaper behind the monitor's alert list and
// the command's JSON output, which differ only in the choices below.
#pragma once

#include <string>
#include <string_view>

namespace sarn::common {

struct JsonStringStyle {
    // Backspace and form feed as \b and \f; otherwise as \u0008 and \u000c.
    bool short_control_escapes = true;
    // DEL (0x7F) as \u007f; otherwise copied unchanged.
    bool escape_delete = false;
    // Each byte that does not start a well-formed UTF-8 sequence becomes
    // U+FFFD, so the output is always valid UTF-8; otherwise every byte of
    // 0x80 and above is copied unchanged.
    bool replace_invalid_utf8 = false;
};

// The monitor's style: bytes in, bytes out, only what JSON requires escaped.
inline constexpr JsonStringStyle JSON_BYTES_STYLE{};
// The command's style: always valid UTF-8, every control character escaped.
inline constexpr JsonStringStyle JSON_DISPLAY_STYLE{false, true, true};

// Appends `text` to `out` in double quotes, escaped byte by byte: \" and \\,
// \t \n \r, \b \f (or \u00XX, see the style), \u00XX for the other bytes
// below 0x20 (lower-case hex), and the style's choices above.
void append_json_string(std::string& out, std::string_view text, const JsonStringStyle& style = JSON_BYTES_STYLE);

// The same, as a new string.
std::string json_string(std::string_view text, const JsonStringStyle& style = JSON_BYTES_STYLE);

}  // namespace sarn::common
