// sarn info FILE [--json] [--chunks]: what a container holds, read from it.
//
// Header fields, schema and footer come from the file; the block method and
// raw size of every column block come from reading (and CRC-checking) each
// block: the size its head states (stored, Huffman and range blocks), or
// what its LZ tokens expand to, counted without keeping the content.  The
// statistics of enciphered columns are not shown: the footer keeps them in
// the clear, and they would give away the values the key protects.
#include <algorithm>
#include <ctime>
#include <map>
#include <unistd.h>

#include "commands.hpp"
#include "container_text.hpp"
#include "common/fixed_text.hpp"
#include "container/reader.hpp"

namespace sarn::cli {

int run_info(int argc, char** argv);

// clang-format off: the help text is laid out as it prints
const CommandSpec INFO_SPEC = {
    "info",
    {"FILE"},
    {"--json", "--chunks"},
    {MAX_CHUNK_BYTES_OPTION},
    "header, schema, chunks and per-column figures",
    "Show what the SARN container FILE holds: its header fields, schema, chunk\n"
    "count and rows per chunk, and for every column its encoding, block method,\n"
    "compressed and raw (decompressed) sizes, null count, smallest and largest\n"
    "value, summed or combined over all chunks.\n"
    "\n"
    "Every block is read and its CRC-32 checked; its raw size is the one its head\n"
    "states (stored, Huffman and range blocks) or what its LZ tokens expand to,\n"
    "counted without keeping the content.  A damaged block is reported as an\n"
    "error; use `sarn verify` for a full check.  The smallest and largest values\n"
    "of an enciphered column are shown as (enciphered): the footer keeps them in\n"
    "the clear.\n"
    "\n"
    "options:\n"
    "  --json               print everything, per chunk and per column, as one JSON\n"
    "                       object\n"
    "  --chunks             also list every column block of every chunk\n"
    SARN_MAX_CHUNK_BYTES_HELP
    "  -h, --help           show this help\n",
    run_info,
};
// clang-format on

namespace {

// One column block as measured.  Its footer entry is taken from the reader
// when shown (a file may have millions of blocks).
struct BlockFigures {
    std::optional<std::uint8_t> method;
    std::uint64_t raw_len;
    std::uint32_t rows;
};

// The smallest and largest value of a column over its chunks.  A chunk whose
// values are all null has no statistics of its own (they read as 0 / empty)
// and is left out.
struct Range {
    bool any = false;
    std::int64_t min_int = 0, max_int = 0;
    std::string min_text, max_text;

    void add(std::uint8_t type_code, const container::ColumnChunkMeta& m, std::uint32_t rows) {
        if (m.null_count >= rows) return;
        if (!any) {
            min_int = m.min_int;
            max_int = m.max_int;
            min_text = m.min_text;
            max_text = m.max_text;
            any = true;
            return;
        }
        if (has_int_stats(type_code)) {
            min_int = std::min(min_int, m.min_int);
            max_int = std::max(max_int, m.max_int);
        }
        if (has_text_stats(type_code)) {
            // Unsigned byte order, a prefix before the longer text.
            if (std::string_view(m.min_text).compare(min_text) < 0) min_text = m.min_text;
            if (std::string_view(m.max_text).compare(max_text) > 0) max_text = m.max_text;
        }
    }
};

std::string utc_text(std::uint64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return "?";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string json_min_max(std::uint8_t type_code, bool any, std::int64_t i, const std::string& t) {
    if (!any) return "null";
    if (has_int_stats(type_code)) return std::to_string(i);
    if (has_text_stats(type_code)) return json_string(t);
    return "null";
}

// What the text output shows for a statistic of an enciphered column.
const std::string ENCIPHERED = "(enciphered)";

std::string shown_min_max(std::uint8_t type_code, bool any, std::int64_t i, const std::string& t) {
    if (!any || (!has_int_stats(type_code) && !has_text_stats(type_code))) return "-";
    if (has_int_stats(type_code)) return std::to_string(i);
    return quoted_text(t, 24);
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return "-";
    return common::fixed_text(static_cast<double>(part) * 100.0 / static_cast<double>(whole), 1) + "%";
}

// Formats rows of cells as left-aligned columns (right-aligned where asked).
std::string table(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
    std::vector<std::size_t> width;
    auto shown = [](const std::string& s) {
        std::size_t n = 0;
        for (unsigned char c : s) n += (c & 0xC0) != 0x80;
        return n;
    };
    for (const auto& row : rows) {
        if (width.size() < row.size()) width.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], shown(row[i]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line = " ";
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string pad(width[i] - shown(row[i]), ' ');
            line += ' ';
            line += (i < right.size() && right[i]) ? pad + row[i] : row[i] + pad;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string rows_per_chunk_text(const container::SarnReader& r) {
    // Runs of equal counts: "65,536 x 3, 34,475".
    std::string out;
    std::size_t i = 0;
    const std::size_t n = r.chunk_count();
    while (i < n) {
        std::size_t j = i;
        while (j < n && r.chunk_rows(j) == r.chunk_rows(i)) ++j;
        if (!out.empty()) out += ", ";
        out += grouped(r.chunk_rows(i));
        if (j - i > 1) out += " \xC3\x97 " + std::to_string(j - i);
        i = j;
    }
    return out.empty() ? "none" : out;
}

// Per column over all chunks.
struct ColumnTotals {
    std::uint64_t compressed = 0, raw = 0, nulls = 0;
    std::map<std::string, std::uint64_t> encodings, methods;
    Range range;
};

// Everything info shows beyond the header and schema, measured once.
struct ContainerFigures {
    std::vector<std::vector<BlockFigures>> blocks;  // [chunk][column]
    std::vector<ColumnTotals> totals;  // [column]
    std::uint64_t all_compressed = 0, all_raw = 0;
};

// Reads (and CRC-checks) every block, measures it, and sums the figures per
// column.  A chunk whose raw sizes pass the memory budget is refused as the
// readers refuse it.
common::Result<ContainerFigures> measure(const container::SarnReader& reader) {
    const auto& schema = reader.schema();
    const std::size_t chunks = reader.chunk_count();
    ContainerFigures f;
    f.blocks.resize(chunks);
    for (std::size_t c = 0; c < chunks; ++c) {
        container::ChunkBudget budget(reader.limits().max_chunk_bytes);
        for (std::size_t i = 0; i < schema.size(); ++i) {
            auto m = reader.measure_block(c, i, budget, false);
            if (!m) return std::move(m).error();
            f.blocks[c].push_back({m->method, m->raw_len, reader.chunk_rows(c)});
        }
    }
    f.totals.resize(schema.size());
    for (std::size_t c = 0; c < chunks; ++c) {
        for (std::size_t i = 0; i < schema.size(); ++i) {
            const BlockFigures& b = f.blocks[c][i];
            const container::ColumnChunkMeta meta = reader.block_meta(c, i);
            ColumnTotals& t = f.totals[i];
            t.compressed += meta.compressed_len;
            t.raw += b.raw_len;
            t.nulls += meta.null_count;
            ++t.encodings[encoding_name(meta.encoding)];
            ++t.methods[method_name(b.method)];
            t.range.add(schema[i].type_code, meta, b.rows);
            f.all_compressed += meta.compressed_len;
            f.all_raw += b.raw_len;
        }
    }
    return f;
}

std::string render_json(const std::string& path, const container::SarnReader& reader, const ContainerFigures& f) {
    const container::ContainerHeader& h = reader.header();
    const auto& schema = reader.schema();
    const std::size_t chunks = reader.chunk_count();
    const auto& [blocks, totals, all_compressed, all_raw] = f;
    std::string out;
    out += "{\n  \"file\": " + json_string(path) + ",\n  \"file_size\": " + std::to_string(h.file_size) + ",\n";
    out += "  \"header\": {\"magic\": " + json_string(h.magic) + ", \"version\": " + std::to_string(h.version) +
           ", \"column_count\": " + std::to_string(h.column_count) + ", \"row_count\": " + std::to_string(h.row_count) +
           ", \"chunk_count\": " + std::to_string(h.chunk_count) + ", \"chunk_size\": " + std::to_string(h.chunk_size) +
           ", \"created_at\": " + std::to_string(h.created_at) +
           ", \"created_at_utc\": " + json_string(utc_text(h.created_at)) +
           ", \"header_size\": " + std::to_string(h.header_size) +
           ", \"footer_offset\": " + std::to_string(h.footer_offset) +
           ", \"footer_len\": " + std::to_string(h.footer_len) + "},\n";
    out += "  \"schema\": [";
    for (std::size_t i = 0; i < schema.size(); ++i) {
        out += std::string(i ? ",\n    " : "\n    ") + "{\"index\": " + std::to_string(i) +
               ", \"name\": " + json_string(schema[i].name) +
               ", \"type_code\": " + std::to_string(schema[i].type_code) +
               ", \"type\": " + json_string(type_name(schema[i].type_code)) +
               ", \"encrypted\": " + (schema[i].encrypted ? "true" : "false") + "}";
    }
    out += schema.empty() ? "],\n" : "\n  ],\n";
    out += "  \"rows_per_chunk\": [";
    for (std::size_t c = 0; c < chunks; ++c) out += (c ? ", " : "") + std::to_string(reader.chunk_rows(c));
    out += "],\n  \"compressed_bytes\": " + std::to_string(all_compressed) +
           ",\n  \"raw_bytes\": " + std::to_string(all_raw) + ",\n";
    out += "  \"columns\": [";
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const ColumnTotals& t = totals[i];
        const std::uint8_t type = schema[i].type_code;
        auto counts = [](const std::map<std::string, std::uint64_t>& m) {
            std::string s = "{";
            bool first = true;
            for (const auto& [k, v] : m) {
                s += (first ? "" : ", ") + json_string(k) + ": " + std::to_string(v);
                first = false;
            }
            return s + "}";
        };
        out +=
            std::string(i ? ",\n    " : "\n    ") + "{\"index\": " + std::to_string(i) +
            ", \"name\": " + json_string(schema[i].name) + ", \"encodings\": " + counts(t.encodings) +
            ", \"block_methods\": " + counts(t.methods) + ", \"compressed_bytes\": " + std::to_string(t.compressed) +
            ", \"raw_bytes\": " + std::to_string(t.raw) + ", \"null_count\": " + std::to_string(t.nulls) +
            ", \"min\": " + json_min_max(type, t.range.any && !schema[i].encrypted, t.range.min_int, t.range.min_text) +
            ", \"max\": " + json_min_max(type, t.range.any && !schema[i].encrypted, t.range.max_int, t.range.max_text) +
            "}";
    }
    out += schema.empty() ? "],\n" : "\n  ],\n";
    out += "  \"chunks\": [";
    for (std::size_t c = 0; c < chunks; ++c) {
        out += std::string(c ? ",\n    " : "\n    ") + "{\"index\": " + std::to_string(c) +
               ", \"rows\": " + std::to_string(reader.chunk_rows(c)) + ", \"columns\": [";
        for (std::size_t i = 0; i < schema.size(); ++i) {
            const BlockFigures& b = blocks[c][i];
            const container::ColumnChunkMeta meta = reader.block_meta(c, i);
            const std::uint8_t type = schema[i].type_code;
            const bool any = meta.null_count < b.rows && !schema[i].encrypted;
            out += std::string(i ? ",\n      " : "\n      ") + "{\"index\": " + std::to_string(i) +
                   ", \"offset\": " + std::to_string(meta.offset) +
                   ", \"compressed_bytes\": " + std::to_string(meta.compressed_len) +
                   ", \"raw_bytes\": " + std::to_string(b.raw_len) +
                   ", \"encoding\": " + json_string(encoding_name(meta.encoding)) +
                   ", \"block_method\": " + json_string(method_name(b.method)) +
                   ", \"null_count\": " + std::to_string(meta.null_count) +
                   ", \"min\": " + json_min_max(type, any, meta.min_int, meta.min_text) +
                   ", \"max\": " + json_min_max(type, any, meta.max_int, meta.max_text) + "}";
        }
        out += schema.empty() ? "]}" : "\n    ]}";
    }
    out += chunks == 0 ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string render_text(const std::string& path, const container::SarnReader& reader, const ContainerFigures& f,
                        bool with_chunks) {
    const container::ContainerHeader& h = reader.header();
    const auto& schema = reader.schema();
    const std::size_t chunks = reader.chunk_count();
    const auto& [blocks, totals, all_compressed, all_raw] = f;
    const std::uint64_t chunk_data = h.footer_offset - h.header_size;
    std::string out;
    out += "File:            " + printable(path) + " (" + grouped(h.file_size) + " bytes)\n";
    out += "Format:          " + h.magic + " version " + std::to_string(h.version) + "\n";
    out += "Created:         " + utc_text(h.created_at) + " (" + std::to_string(h.created_at) + ")\n";
    out += "Rows:            " + grouped(h.row_count) + "\n";
    out += "Columns:         " + std::to_string(h.column_count) + "\n";
    out += "Chunks:          " + grouped(h.chunk_count) + " (chunk size " + grouped(h.chunk_size) + " rows)\n";
    out += "Rows per chunk:  " + rows_per_chunk_text(reader) + "\n";
    out += "Layout:          header " + grouped(h.header_size) + " bytes, chunk data " + grouped(chunk_data) +
           " bytes, footer " + grouped(h.footer_len) + " bytes at offset " + grouped(h.footer_offset) +
           ", trailer 16 bytes\n";
    out += "Column data:     " + grouped(all_compressed) + " bytes compressed from " + grouped(all_raw) +
           " bytes encoded" + (all_raw > 0 ? " (" + percent(all_compressed, all_raw) + " of raw)" : "") + "\n";

    out += "\nSchema:\n";
    std::vector<std::vector<std::string>> rows{{"#", "name", "type", "encrypted"}};
    for (std::size_t i = 0; i < schema.size(); ++i) {
        rows.push_back({std::to_string(i), display_text(schema[i].name, 40),
                        type_name(schema[i].type_code) + " (" + std::to_string(schema[i].type_code) + ")",
                        schema[i].encrypted ? "yes" : "no"});
    }
    out += table(rows, {true});

    out += "\nColumns, over all chunks:\n";
    rows = {{"#", "name", "encoding", "block method", "compressed", "raw", "of raw", "nulls", "min", "max"}};
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const ColumnTotals& t = totals[i];
        const std::uint8_t type = schema[i].type_code;
        auto listing = [&](const std::map<std::string, std::uint64_t>& m) {
            std::string s;
            for (const auto& [k, v] : m) {
                if (!s.empty()) s += ", ";
                s += k;
                if (m.size() > 1 || chunks > 1) s += " \xC3\x97" + std::to_string(v);
            }
            return s.empty() ? std::string("-") : s;
        };
        const bool hidden = schema[i].encrypted != 0;
        rows.push_back({std::to_string(i), display_text(schema[i].name, 24), listing(t.encodings), listing(t.methods),
                        grouped(t.compressed), grouped(t.raw), percent(t.compressed, t.raw), grouped(t.nulls),
                        hidden ? ENCIPHERED : shown_min_max(type, t.range.any, t.range.min_int, t.range.min_text),
                        hidden ? ENCIPHERED : shown_min_max(type, t.range.any, t.range.max_int, t.range.max_text)});
    }
    out += table(rows, {true, false, false, false, true, true, true, true});

    if (with_chunks) {
        for (std::size_t c = 0; c < chunks; ++c) {
            out += "\nChunk " + std::to_string(c) + " (" + grouped(reader.chunk_rows(c)) + " rows):\n";
            rows = {{"#", "name", "offset", "encoding", "block method", "compressed", "raw", "nulls", "min", "max"}};
            for (std::size_t i = 0; i < schema.size(); ++i) {
                const BlockFigures& b = blocks[c][i];
                const container::ColumnChunkMeta meta = reader.block_meta(c, i);
                const std::uint8_t type = schema[i].type_code;
                const bool any = meta.null_count < b.rows;
                const bool hidden = schema[i].encrypted != 0;
                rows.push_back({std::to_string(i), display_text(schema[i].name, 24), grouped(meta.offset),
                                encoding_name(meta.encoding), method_name(b.method), grouped(meta.compressed_len),
                                grouped(b.raw_len), grouped(meta.null_count),
                                hidden ? ENCIPHERED : shown_min_max(type, any, meta.min_int, meta.min_text),
                                hidden ? ENCIPHERED : shown_min_max(type, any, meta.max_int, meta.max_text)});
            }
            out += table(rows, {true, false, true, false, false, true, true, true});
        }
    }
    return out;
}

}  // namespace

int run_info(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(INFO_SPEC, argc, argv, args)) return *done;
    const std::string& path = args.positional[0];
    const auto budget = max_chunk_bytes_option(INFO_SPEC, args);
    if (!budget) return EXIT_USAGE;
    container::ReaderLimits limits;
    limits.max_chunk_bytes = *budget;
    auto reader = container::SarnReader::open(path, limits);
    if (!reader) {
        print_error(reader.error().message);
        return EXIT_FAILED;
    }
    auto figures = measure(*reader);
    if (!figures) {
        print_error(figures.error().message);
        return EXIT_FAILED;
    }
    const std::string out = args.has("--json") ? render_json(path, *reader, *figures)
                                               : render_text(path, *reader, *figures, args.has("--chunks"));
    return write_stdout(out) ? EXIT_OK : EXIT_FAILED;
}

}  // namespace sarn::cli
