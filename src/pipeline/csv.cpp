#include "pipeline/csv.hpp"

#include <algorithm>
#include <utility>

namespace sarn::pipeline {

// ------------------------------------------------------------------- trim

namespace {

inline bool is_ascii_space(unsigned char b) noexcept { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// Length of the white-space character that starts at p[0] (0 when none);
// `n` bytes are available.
std::size_t space_at_start(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char b = p[0];
    if (b < 0x80) return is_ascii_space(b) ? 1 : 0;
    if (b == 0xC2) return n >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (n < 3) return 0;
    switch (b) {
        case 0xE1:  // U+1680
            return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
        case 0xE2:
            if (p[1] == 0x80) {
                // U+2000..U+200A, U+2028, U+2029, U+202F
                const unsigned char c = p[2];
                return (c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
            }
            return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
        case 0xE3:  // U+3000
            return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
        default: return 0;
    }
}

// Length of the white-space character that ends at p[n - 1] (0 when none).
std::size_t space_at_end(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char b = p[n - 1];
    if (b < 0x80) return is_ascii_space(b) ? 1 : 0;
    // In valid UTF-8 a lead byte cannot be mistaken for a continuation, so
    // matching the whole encoded form is enough.
    if (n >= 2 && p[n - 2] == 0xC2 && (b == 0x85 || b == 0xA0)) return 2;
    if (n >= 3 && space_at_start(p + n - 3, 3) == 3) return 3;
    return 0;
}

}  // namespace

std::string_view trim_slow(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        const std::size_t k = space_at_start(p + begin, end - begin);
        if (k == 0) break;
        begin += k;
    }
    while (end > begin) {
        const std::size_t k = space_at_end(p + begin, end - begin);
        if (k == 0) break;
        end -= k;
    }
    return text.substr(begin, end - begin);
}

// ------------------------------------------------------------------ header

std::vector<std::string> split_header(std::string_view line, char delimiter) {
    std::vector<std::string> names;
    for (;;) {
        const std::size_t comma = line.find(delimiter);
        names.emplace_back(trim(line.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        line.remove_prefix(comma + 1);
    }
    return names;
}

// -------------------------------------------------------------------- rows

container::Row parse_row(std::string_view line, std::size_t column_count) {
    container::Row row;
    row.reserve(column_count);
    for (;;) {
        if (row.size() == column_count) return row;
        const std::size_t comma = line.find(',');
        row.push_back(container::Value::from_text(std::string(trim(line.substr(0, comma)))));
        if (comma == std::string_view::npos) break;
        line.remove_prefix(comma + 1);
    }
    while (row.size() < column_count) row.push_back(container::Value::from_text(std::string()));
    return row;
}

std::vector<container::ColumnSchema> text_schema(std::vector<std::string> names) {
    std::vector<container::ColumnSchema> schema;
    schema.reserve(names.size());
    for (std::string& name : names) {
        container::ColumnSchema column;
        column.name = std::move(name);
        column.key.fill(0);
        column.encrypted = 0;
        column.type_code = container::TYPE_TEXT;
        schema.push_back(std::move(column));
    }
    return schema;
}

std::size_t rows_to_reserve(std::size_t column_count, std::size_t chunk_rows) noexcept {
    return column_count * chunk_rows <= MAX_RESERVED_CELLS
               ? chunk_rows
               : std::max<std::size_t>(1, MAX_RESERVED_CELLS / column_count);
}

}  // namespace sarn::pipeline
