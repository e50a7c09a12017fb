#include "common/display_text.hpp"

#include <cstdio>

#include "common/utf8.hpp"

namespace sarn::common {

namespace {

std::string escaped_display(std::string_view s, std::size_t max_chars, bool escape_quotes) {
    std::string out;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size();) {
        if (chars == max_chars) {
            out += "\xE2\x80\xA6";  // …
            break;
        }
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t len = utf8_sequence_length(s, i);
        if (len == 0 || c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
            ++i;
        } else {
            if (escape_quotes && (c == '"' || c == '\\')) out += '\\';
            out.append(s.substr(i, len));
            i += len;
        }
        ++chars;
    }
    return out;
}

}  // namespace

std::string display_text(std::string_view s, std::size_t max_chars) { return escaped_display(s, max_chars, false); }

std::string quoted_text(std::string_view s, std::size_t max_chars) {
    return "\"" + escaped_display(s, max_chars, true) + "\"";
}

}  // namespace sarn::common
