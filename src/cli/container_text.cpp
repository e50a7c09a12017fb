#include "container_text.hpp"

#include "cli_support.hpp"

namespace sarn::cli {

namespace {

void append_json_like(std::string& out, const container::Value& v);

// Structured values in a JSON-like form whose separators are semicolons, so
// that a cell holding one needs no comma.
void append_json_like(std::string& out, const container::Value& v) {
    switch (v.kind()) {
        case container::ValueKind::Null: out += "null"; return;
        case container::ValueKind::Text: out += json_string(v.text()); return;
        case container::ValueKind::Bytes: {
            std::string hex;
            for (std::uint8_t b : v.bytes()) {
                static const char digits[] = "0123456789abcdef";
                hex += digits[b >> 4];
                hex += digits[b & 15];
            }
            out += json_string(hex);
            return;
        }
        case container::ValueKind::Object: {
            out += '{';
            bool first = true;
            for (const auto& [key, value] : v.object().entries) {
                if (!first) out += ';';
                first = false;
                out += json_string(key) + ':';
                append_json_like(out, value);
            }
            out += '}';
            return;
        }
        case container::ValueKind::List: {
            out += '[';
            bool first = true;
            for (const container::Value& item : v.list().items) {
                if (!first) out += ';';
                first = false;
                append_json_like(out, item);
            }
            out += ']';
            return;
        }
        case container::ValueKind::Map: {
            out += '{';
            bool first = true;
            for (const auto& [key, value] : v.map().pairs) {
                if (!first) out += ';';
                first = false;
                append_json_like(out, key);
                out += ':';
                append_json_like(out, value);
            }
            out += '}';
            return;
        }
        default: append_value_text(out, v); return;
    }
}

}  // namespace

void append_value_text(std::string& out, const container::Value& v) {
    switch (v.kind()) {
        case container::ValueKind::Null: return;
        case container::ValueKind::Int: out += std::to_string(v.int_value()); return;
        case container::ValueKind::Float: out += double_text(v.float_value()); return;
        case container::ValueKind::Bool: out += v.bool_value() ? "true" : "false"; return;
        case container::ValueKind::Text: out += v.text(); return;
        case container::ValueKind::Bytes: out.append(v.bytes().begin(), v.bytes().end()); return;
        default: append_json_like(out, v); return;
    }
}

}  // namespace sarn::cli
