// JSON string escaping in its two styles: the monitor's (bytes in, bytes out)
// and the command's (always valid UTF-8, every control character escaped).
#include <gtest/gtest.h>

#include <string>

#include "common/json_text.hpp"

namespace {

using sarn::common::append_json_string;
using sarn::common::JSON_BYTES_STYLE;
using sarn::common::JSON_DISPLAY_STYLE;
using sarn::common::json_string;

TEST(JsonString, EscapesInBothStyles) {
    const struct {
        std::string in;
        std::string bytes_style;
        std::string display_style;
    } cases[] = {
        {"", "\"\"", "\"\""},
        {"plain text", "\"plain text\"", "\"plain text\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\"", "\"say \\\"hi\\\"\""},
        {"C:\\dir", "\"C:\\\\dir\"", "\"C:\\\\dir\""},
        {"\t\n\r", "\"\\t\\n\\r\"", "\"\\t\\n\\r\""},
        {"\b\f", "\"\\b\\f\"", "\"\\u0008\\u000c\""},
        {std::string("\x00\x01\x0b\x1f", 4), "\"\\u0000\\u0001\\u000b\\u001f\"", "\"\\u0000\\u0001\\u000b\\u001f\""},
        {"/ \x7f", "\"/ \x7f\"", "\"/ \\u007f\""},  // slash stays; DEL only escaped for display
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},  // valid UTF-8 copied
        // Invalid bytes: copied, or one U+FFFD per byte that starts no
        // well-formed sequence (stray continuation, truncated, overlong,
        // surrogate, past U+10FFFF).
        {"\xff\xfe", "\"\xff\xfe\"", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"a\x80z", "\"a\x80z\"", "\"a\xef\xbf\xbdz\""},
        {"\xe2\x82", "\"\xe2\x82\"", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xc0\xaf", "\"\xc0\xaf\"", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xed\xa0\x80", "\"\xed\xa0\x80\"", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xf4\x90\x80\x80", "\"\xf4\x90\x80\x80\"", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const auto& c : cases) {
        std::string out = "x";
        append_json_string(out, c.in);
        EXPECT_EQ(out, "x" + c.bytes_style) << c.in;
        EXPECT_EQ(json_string(c.in, JSON_BYTES_STYLE), c.bytes_style) << c.in;
        EXPECT_EQ(json_string(c.in, JSON_DISPLAY_STYLE), c.display_style) << c.in;
    }
}

}  // namespace
