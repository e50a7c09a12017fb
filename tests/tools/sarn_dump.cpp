// sarn_dump: verifies a SARN container and prints it as one JSON object.
//
//   sarn_dump [--no-rows] FILE
//
// Prints header fields, schema, per-chunk column metadata (with each block's
// method byte and decompressed length) and, unless --no-rows, every row.
// Every chunk is read and verified before anything is printed, so on an
// error stdout stays empty; the error goes to stderr and the exit status is 1.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/json_text.hpp"
#include "common/utf8.hpp"
#include "container/chunk_decode.hpp"
#include "container/reader.hpp"

namespace {

using sarn::container::Value;
using sarn::container::ValueKind;

void hex(std::string& out, std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
}

void json_string(std::string& out, std::string_view s) { sarn::common::append_json_string(out, s); }

// Text: a JSON string, or {"text_hex": ...} when it is not valid UTF-8.
void json_text(std::string& out, std::string_view s) {
    if (sarn::common::is_valid_utf8(s)) return json_string(out, s);
    out += "{\"text_hex\":\"";
    hex(out, s);
    out += "\"}";
}

void json_number(std::string& out, double d) {
    if (std::isnan(d)) {
        out += "\"NaN\"";
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "\"-inf\"" : "\"inf\"";
        return;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);  // shortest round-trip form
    out.append(buf, res.ptr);
}

// Its own lossless JSON of a value, not `sarn cat`'s CSV cells: the Python tests read containers through it.
void json_value(std::string& out, const Value& v) {
    switch (v.kind()) {
        case ValueKind::Null: out += "null"; break;
        case ValueKind::Int: out += std::to_string(v.int_value()); break;
        case ValueKind::Float: json_number(out, v.float_value()); break;
        case ValueKind::Bool: out += v.bool_value() ? "true" : "false"; break;
        case ValueKind::Text: json_text(out, v.text()); break;
        case ValueKind::Bytes:
            out += "{\"hex\":\"";
            hex(out, std::string_view(reinterpret_cast<const char*>(v.bytes().data()), v.bytes().size()));
            out += "\"}";
            break;
        case ValueKind::Object: {
            out += '{';
            bool first = true;
            for (const auto& [key, value] : v.object().entries) {
                if (!first) out += ',';
                first = false;
                if (sarn::common::is_valid_utf8(key)) {
                    json_string(out, key);
                } else {
                    std::string k = "text_hex:";
                    hex(k, key);
                    json_string(out, k);
                }
                out += ':';
                json_value(out, value);
            }
            out += '}';
            break;
        }
        case ValueKind::List: {
            out += '[';
            bool first = true;
            for (const Value& item : v.list().items) {
                if (!first) out += ',';
                first = false;
                json_value(out, item);
            }
            out += ']';
            break;
        }
        case ValueKind::Map: {
            out += '[';
            bool first = true;
            for (const auto& [key, value] : v.map().pairs) {
                if (!first) out += ',';
                first = false;
                out += '[';
                json_value(out, key);
                out += ',';
                json_value(out, value);
                out += ']';
            }
            out += ']';
            break;
        }
    }
}

template <class T>
void field(std::string& out, const char* name, T value, bool comma = true) {
    if (comma) out += ',';
    out += '"';
    out += name;
    out += "\":";
    out += std::to_string(value);
}

int usage() {
    std::fputs("usage: sarn_dump [--no-rows] FILE\n", stderr);
    return 1;
}

bool write_out(const std::string& s) { return std::fwrite(s.data(), 1, s.size(), stdout) == s.size(); }

}  // namespace

int main(int argc, char** argv) {
    bool rows = true;
    std::string path;
    bool have_path = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--no-rows")
            rows = false;
        else if (!have_path)
            path = a, have_path = true;
        else
            return usage();
    }
    if (!have_path) return usage();

    auto reader = sarn::container::SarnReader::open(path);
    if (!reader) {
        std::fprintf(stderr, "%s\n", reader.error().message.c_str());
        return 1;
    }
    const sarn::container::ContainerHeader& h = reader->header();
    std::string out = "{\"magic\":";
    json_text(out, h.magic);
    field(out, "version", h.version);
    field(out, "column_count", h.column_count);
    field(out, "row_count", h.row_count);
    field(out, "chunk_count", h.chunk_count);
    field(out, "chunk_size", h.chunk_size);
    field(out, "created_at", h.created_at);
    field(out, "header_size", h.header_size);
    field(out, "footer_offset", h.footer_offset);
    field(out, "footer_len", h.footer_len);
    out += ",\"schema\":[";
    for (std::size_t c = 0; c < reader->schema().size(); ++c) {
        const sarn::container::ColumnSchema& col = reader->schema()[c];
        if (c) out += ',';
        out += "{\"name\":";
        json_text(out, col.name);
        field(out, "type_code", static_cast<int>(col.type_code));
        field(out, "encrypted", static_cast<int>(col.encrypted));
        out += '}';
    }
    out += "],\"chunks\":[";
    // First pass: verify and decode every chunk; nothing is printed yet.
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        auto chunk = reader->read_chunk(k, true);
        if (!chunk) {
            std::fprintf(stderr, "%s\n", chunk.error().message.c_str());
            return 1;
        }
        if (k) out += ',';
        out += '{';
        field(out, "rows", reader->chunk_rows(k), false);
        out += ",\"columns\":[";
        for (std::size_t c = 0; c < chunk->columns.size(); ++c) {
            const sarn::container::ColumnChunkMeta& m = reader->block_meta(k, c);
            const sarn::container::ColumnBlockData& d = chunk->columns[c];
            if (c) out += ',';
            out += '{';
            field(out, "offset", m.offset, false);
            field(out, "compressed_len", m.compressed_len);
            out += ",\"method\":";
            out += d.method ? std::to_string(*d.method) : "null";
            field(out, "raw_len", d.raw_len);
            field(out, "encoding", static_cast<int>(m.encoding));
            field(out, "null_count", m.null_count);
            field(out, "min_int", m.min_int);
            field(out, "max_int", m.max_int);
            out += ",\"min_text\":";
            json_text(out, m.min_text);
            out += ",\"max_text\":";
            json_text(out, m.max_text);
            out += '}';
        }
        out += "]}";
    }
    out += ']';
    if (!rows) {
        out += "}\n";
        return write_out(out) ? 0 : 1;
    }
    // Second pass: stream the rows chunk by chunk, so memory stays at one chunk.
    out += ",\"rows\":[";
    bool first_row = true;
    for (std::size_t k = 0; k < reader->chunk_count(); ++k) {
        auto chunk = reader->read_chunk(k, true);
        if (!chunk) {
            std::fprintf(stderr, "%s\n", chunk.error().message.c_str());
            return 1;
        }
        const std::size_t n = reader->chunk_rows(k);
        for (std::size_t r = 0; r < n; ++r) {
            if (!first_row) out += ',';
            first_row = false;
            out += '[';
            for (std::size_t c = 0; c < chunk->columns.size(); ++c) {
                if (c) out += ',';
                json_value(out, sarn::container::stored_value(*chunk->columns[c].column, r));
            }
            out += ']';
        }
        if (!write_out(out)) return 1;
        out.clear();
    }
    out += "]}\n";
    return write_out(out) ? 0 : 1;
}
