// write_typed: writes a container with typed and enciphered columns through
// StreamingSarnWriter, for the Python tests of the reading side (the CSV
// pipeline writes only text columns).
//
// Input on stdin, one item per line, fields separated by tabs:
//   chunk_size
//   per column: C <tab> name-hex <tab> type_code <tab> encrypted <tab> key-hex (64 digits, or "-")
//   per row:    R <tab> cell <tab> cell ...   (a short row leaves the rest null)
// A cell is "N" (null), "i" and a decimal integer, "f" and 16 hex digits
// (the double's bits), "b0" or "b1", "t" and the UTF-8 bytes in hex, "y" and
// raw bytes in hex, or "s" and a serialized value in hex (structured).
// Usage: write_typed OUT.sarn < ITEMS
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "container/value_serial_internal.hpp"
#include "container/writer.hpp"

using namespace sarn::container;
using internal::deserialize_value;

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Value parse_cell(const std::string& cell) {
    if (cell.empty() || cell == "N") return Value::null();
    const std::string rest = cell.substr(1);
    switch (cell[0]) {
        case 'i': return Value::from_int(std::stoll(rest));
        case 'f': {
            const std::uint64_t bits = std::stoull(rest, nullptr, 16);
            double d;
            std::memcpy(&d, &bits, 8);
            return Value::from_float(d);
        }
        case 'b': return Value::from_bool(rest == "1");
        case 't': {
            const Bytes b = from_hex(rest);
            return Value::from_text(std::string(b.begin(), b.end()));
        }
        case 'y': return Value::from_bytes(from_hex(rest));
        case 's': {
            const Bytes b = from_hex(rest);
            std::size_t pos = 0;
            auto v = internal::deserialize_value(b, pos);
            if (!v || pos != b.size()) throw std::runtime_error("bad serialized value " + rest);
            return *v;
        }
    }
    throw std::runtime_error("bad cell " + cell);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_typed OUT.sarn < ITEMS\n");
        return 2;
    }
    try {
        std::string line;
        std::getline(std::cin, line);
        const std::uint32_t chunk_size = static_cast<std::uint32_t>(std::stoul(line));
        std::vector<ColumnSchema> schema;
        std::vector<Row> rows;
        while (std::getline(std::cin, line)) {
            if (line.empty()) continue;
            const auto f = split_tabs(line);
            if (f[0] == "C") {
                ColumnSchema c;
                const Bytes name = from_hex(f.at(1));
                c.name.assign(name.begin(), name.end());
                c.type_code = static_cast<std::uint8_t>(std::stoul(f.at(2)));
                c.encrypted = static_cast<std::uint8_t>(std::stoul(f.at(3)));
                if (f.at(4) != "-") {
                    const Bytes key = from_hex(f.at(4));
                    std::copy(key.begin(), key.end(), c.key.begin());
                }
                schema.push_back(std::move(c));
            } else if (f[0] == "R") {
                Row row;
                for (std::size_t i = 1; i < f.size(); ++i) row.push_back(parse_cell(f[i]));
                rows.push_back(std::move(row));
            }
        }
        auto w = StreamingSarnWriter::create(argv[1], schema, chunk_size);
        if (!w) throw std::runtime_error(w.error().message);
        const std::size_t per = chunk_size == 0 ? 1 : chunk_size;
        for (std::size_t at = 0; at < rows.size(); at += per) {
            const std::size_t n = std::min(per, rows.size() - at);
            if (auto r = w->write_chunk(std::span<const Row>(rows.data() + at, n)); !r)
                throw std::runtime_error(r.error().message);
        }
        auto done = w->finish();
        if (!done) throw std::runtime_error(done.error().message);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "write_typed: %s\n", e.what());
        return 1;
    }
    return 0;
}
