#include "common/json_text.hpp"

#include "common/utf8.hpp"

namespace sarn::common {

void append_json_string(std::string& out, std::string_view text, const JsonStringStyle& style) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto hex_escape = [&out](unsigned char b) {
        out += "\\u00";
        out += HEX[b >> 4];
        out += HEX[b & 0xF];
    };
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80 && style.replace_invalid_utf8) {
            const std::size_t len = utf8_sequence_length(text, i);
            if (len == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER
                ++i;
            } else {
                out.append(text, i, len);
                i += len;
            }
            continue;
        }
        switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0D: out += "\\r"; break;
            case 0x08:
            case 0x0C:
                if (style.short_control_escapes) {
                    out += b == 0x08 ? "\\b" : "\\f";
                } else {
                    hex_escape(b);
                }
                break;
            default:
                if (b < 0x20 || (b == 0x7F && style.escape_delete)) {
                    hex_escape(b);
                } else {
                    out += static_cast<char>(b);
                }
        }
        ++i;
    }
    out += '"';
}

std::string json_string(std::string_view text, const JsonStringStyle& style) {
    std::string out;
    out.reserve(text.size() + 2);
    append_json_string(out, text, style);
    return out;
}

}  // namespace sarn::common
