// Names and renderings of container contents, shared by info, verify and cat.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "container/types.hpp"

namespace sarn::cli {

inline std::string type_name(std::uint8_t type_code) {
    switch (type_code) {
        case container::TYPE_INT: return "integer";
        case container::TYPE_FLOAT: return "decimal";
        case container::TYPE_BOOL: return "boolean";
        case container::TYPE_TEXT: return "text";
        case container::TYPE_BYTES: return "bytes";
        case container::TYPE_OBJECT: return "object";
        case container::TYPE_LIST: return "list";
        case container::TYPE_MAP: return "map";
        default: return "type " + std::to_string(type_code);
    }
}

inline std::string encoding_name(container::ColumnEncoding e) {
    switch (e) {
        case container::ColumnEncoding::PLAIN: return "PLAIN";
        case container::ColumnEncoding::RUN_LENGTH: return "RUN_LENGTH";
        case container::ColumnEncoding::DELTA: return "DELTA";
        case container::ColumnEncoding::BITMAP: return "BITMAP";
        case container::ColumnEncoding::LINEAR: return "LINEAR";
        case container::ColumnEncoding::BIT_PACKED: return "BIT_PACKED";
    }
    return "ENCODING_" + std::to_string(static_cast<int>(e));
}

// The block method byte's name; "EMPTY" for a block of no bytes at all.
inline std::string method_name(std::optional<std::uint8_t> method) {
    if (!method) return "EMPTY";
    switch (*method) {
        case 0: return "LZ";
        case 1: return "LZ_HUFFMAN";
        case 2: return "STORED";
        case 3: return "HUFFMAN";
        case 4: return "RANGE";
        case 5: return "LZ_RANGE";
        default: return "METHOD_" + std::to_string(*method);
    }
}

// Statistics in the footer are integers for type codes 1-3, texts for 4,
// nothing for the rest.
inline bool has_int_stats(std::uint8_t type_code) {
    return type_code >= container::TYPE_INT && type_code <= container::TYPE_BOOL;
}
inline bool has_text_stats(std::uint8_t type_code) { return type_code == container::TYPE_TEXT; }

inline std::string double_text(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// One decoded value as the text a CSV cell holds: text and bytes as they
// are, numbers in decimal, booleans as true/false, null as nothing, and
// structured values in a JSON-like form.
void append_value_text(std::string& out, const container::Value& v);

}  // namespace sarn::cli
