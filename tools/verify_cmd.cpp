// sarn verify FILE [--csv IN.csv]: proves a container sound, or names its
// first fault.
//
// The reader checks the structure when it opens the file (header, schema
// and dictionary blocks, trailer, footer counts, blocks tiling the chunk
// data) and every block when it reads a chunk (length, CRC-32,
// decompression, decoding of exactly the chunk's rows).  On top of that this
// command checks the footer's statistics against the decoded values, and,
// with --csv, the decoded rows against what the CSV dialect makes of a file.
#include <algorithm>
#include <optional>
#include <unistd.h>

#include "commands.hpp"
#include "container_text.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/row_reader.hpp"
#include "common/file_io.hpp"
#include "common/utf8.hpp"
#include "container/chunk.hpp"
#include "container/reader.hpp"

namespace sarn::cli {

int run_verify(int argc, char** argv);

const CommandSpec VERIFY_SPEC = {
    "verify",
    {"FILE"},
    {},
    {{"--csv", "IN.csv"}},
    "decode and check every block of a container",
    "Check that the SARN container FILE is sound: the header, schema and footer\n"
    "agree; the column blocks follow one another from the header to the footer;\n"
    "every block's CRC-32 matches, it decompresses and decodes to exactly its\n"
    "chunk's rows; and the footer's statistics (null count, smallest and largest\n"
    "value, membership filter) agree with the decoded values.\n"
    "\n"
    "With --csv IN.csv, also check that the container holds exactly the rows that\n"
    "the compress dialect reads from IN.csv: the same column names and, row by\n"
    "row, the same cells.\n"
    "\n"
    "Prints OK and exits with status 0 when everything holds.  Otherwise prints\n"
    "the first fault, with its chunk, column and file offset (or row and line),\n"
    "and exits with status 1.\n"
    "\n"
    "What verify cannot see: the header's fixed fields (counts, chunk size,\n"
    "creation time) and the schema block carry no checksum.  They are checked\n"
    "against the footer and the file's length, column names must be UTF-8 and\n"
    "within the schema block, type codes known and encryption flags 0 or 1; a\n"
    "change that keeps all of that consistent (a column renamed to another valid\n"
    "name, another creation time, another chunk size in a file of one chunk)\n"
    "goes unnoticed.  Compare with --csv to check the column names.\n"
    "\n"
    "options:\n"
    "  --csv IN.csv   compare the rows with this CSV file\n"
    "  -h, --help     show this help\n",
    run_verify,
};

namespace {

int fault(const std::string& text) {
    write_stdout("FAULT: " + text + "\n");
    return EXIT_FAILED;
}

std::string block_place(const std::string& path, std::size_t chunk, std::size_t column, const container::ColumnSchema& col,
                        const container::ColumnChunkMeta& meta) {
    return path + ": chunk " + std::to_string(chunk) + ", column " + std::to_string(column) + " ('" + col.name +
           "'), block at offset " + std::to_string(meta.offset) + ": ";
}

std::string quoted(std::string_view s) { return quoted_text(s, 60); }

// What the header and schema can be checked for beyond what the reader
// checks on opening (counts against the footer, the trailer against the
// file's length, known type codes, names within the schema block): they
// carry no checksum, so this is all there is.  Returns the problem, or an
// empty text.
std::string check_schema(const std::vector<container::ColumnSchema>& schema) {
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (!common::is_valid_utf8(schema[i].name)) {
            return "schema: the name of column " + std::to_string(i) + ", " + quoted(schema[i].name) +
                   ", is not valid UTF-8";
        }
        if (schema[i].encrypted > 1) {
            return "schema: column " + std::to_string(i) + " has encryption flag " +
                   std::to_string(schema[i].encrypted) + " (0 or 1 expected)";
        }
    }
    return {};
}

// The footer's statistics of one block against its decoded values.  Returns
// the problem, or an empty text.
std::string check_statistics(const container::ColumnSchema& col, const container::ColumnChunkMeta& meta, const std::vector<container::Value>& values) {
    if (meta.null_count > values.size()) {
        return "null count " + std::to_string(meta.null_count) + " exceeds the chunk's " +
               std::to_string(values.size()) + " rows";
    }
    const std::uint8_t type = col.type_code;
    const bool zero_bloom = std::all_of(meta.bloom.begin(), meta.bloom.end(), [](std::uint8_t b) { return b == 0; });
    if (!has_text_stats(type)) {
        if (!meta.min_text.empty() || !meta.max_text.empty()) return "text statistics on a non-text column";
        if (!zero_bloom) return "membership filter on a non-text column";
    }
    if (!has_int_stats(type) && (meta.min_int != 0 || meta.max_int != 0)) {
        return "integer statistics " + std::to_string(meta.min_int) + ".." + std::to_string(meta.max_int) +
               " on a column that keeps none";
    }
    if (has_text_stats(type)) {
        // Nulls read back as empty texts and mark the filter as the empty
        // text does, so the filter is exact whatever the null count.
        std::array<std::uint8_t, container::BLOOM_BYTES> bloom{};
        std::string_view lo, hi;
        for (std::size_t r = 0; r < values.size(); ++r) {
            const std::string_view t =
                values[r].kind() == container::ValueKind::Text ? std::string_view(values[r].text()) : std::string_view();
            container::bloom_insert(bloom, t);
            if (r == 0 || t < lo) lo = t;
            if (r == 0 || t > hi) hi = t;
        }
        if (bloom != meta.bloom) return "membership filter does not match the values";
        // Which rows were null is not stored, so the text range can only be
        // checked exactly when there were none.
        if (meta.null_count == 0 && !values.empty()) {
            if (lo != meta.min_text) return "min_text " + quoted(meta.min_text) + " but the smallest value is " + quoted(lo);
            if (hi != meta.max_text) return "max_text " + quoted(meta.max_text) + " but the largest value is " + quoted(hi);
        }
        if (meta.null_count == values.size() && (!meta.min_text.empty() || !meta.max_text.empty())) {
            return "text statistics on a block whose values are all null";
        }
    }
    if (type == container::TYPE_INT && meta.null_count == 0 && !values.empty()) {
        std::int64_t lo = values[0].kind() == container::ValueKind::Int ? values[0].int_value() : 0, hi = lo;
        for (const container::Value& v : values) {
            const std::int64_t x = v.kind() == container::ValueKind::Int ? v.int_value() : 0;
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
        if (lo != meta.min_int || hi != meta.max_int) {
            return "min_int/max_int " + std::to_string(meta.min_int) + "/" + std::to_string(meta.max_int) +
                   " but the values range over " + std::to_string(lo) + "/" + std::to_string(hi);
        }
    }
    return {};
}

// The rows of a CSV file as the compress dialect reads them, a chunk at a time.
class CsvRows {
public:
    explicit CsvRows(std::string path) : path_(std::move(path)) {}

    // Opens the file and reads the header line.
    common::Result<std::vector<std::string>> open() {
        auto file = common::open_for_reading(path_);
        if (!file) return common::Error::io("Cannot open " + path_ + ": " + file.error().message);
        file_ = std::move(*file);
        lines_.emplace(pipeline::LineSource::sequential(file_.fd(), path_, pipeline::Wording::Named));
        rows_.emplace(*lines_);
        auto names = rows_->read_header();
        if (!names) return std::move(names).error();
        if (!*names) return common::Error::io(path_ + " is empty (no header line)");
        return std::move(**names);
    }

    // The next data row's cells into `batch`; false at the end of the file.
    common::Result<bool> next_row(container::TextBatch& batch, std::size_t columns) {
        auto got = rows_->fill(batch, columns, 1, [] { return common::Result<void>(); });
        if (!got) return std::move(got).error();
        return *got == 1;
    }

    // The line of the last row.
    std::uint64_t line_number() const { return rows_->row_line(); }

private:
    std::string path_;
    common::FileHandle file_;
    std::optional<pipeline::LineSource> lines_;
    std::optional<pipeline::RowReader> rows_;
};

}  // namespace

int run_verify(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(VERIFY_SPEC, argc, argv, args)) return *done;
    const std::string& path = args.positional[0];
    auto reader = container::SarnReader::open(path);
    if (!reader) return fault(reader.error().message);
    const auto& schema = reader->schema();
    if (std::string problem = check_schema(schema); !problem.empty()) return fault(path + ": " + problem);

    std::optional<CsvRows> csv;
    const std::string csv_path = args.has("--csv") ? args.options.at("--csv") : "";
    if (args.has("--csv")) {
        csv.emplace(csv_path);
        auto names = csv->open();
        if (!names) return fault(names.error().message);
        if (names->size() != schema.size()) {
            return fault(path + " has " + std::to_string(schema.size()) + " columns, the header line of " + csv_path +
                         " names " + std::to_string(names->size()));
        }
        for (std::size_t i = 0; i < schema.size(); ++i) {
            if ((*names)[i] != schema[i].name) {
                return fault(path + ": column " + std::to_string(i) + " is named " + quoted(schema[i].name) +
                             ", the header line of " + csv_path + " gives " + quoted((*names)[i]));
            }
            if (schema[i].type_code != container::TYPE_TEXT) {
                return fault(path + ": column " + std::to_string(i) + " ('" + schema[i].name + "') is " +
                             type_name(schema[i].type_code) + ", the CSV dialect makes text columns only");
            }
        }
    }

    container::TextBatch batch(schema.size());
    std::vector<std::uint64_t> lines;
    std::uint64_t row_base = 0;
    for (std::size_t chunk = 0; chunk < reader->chunk_count(); ++chunk) {
        auto data = reader->read_chunk(chunk);
        if (!data) return fault(data.error().message);
        const auto& metas = reader->chunk_columns(chunk);
        for (std::size_t i = 0; i < schema.size(); ++i) {
            std::string problem = check_statistics(schema[i], metas[i], data->columns[i].values);
            if (!problem.empty()) return fault(block_place(path, chunk, i, schema[i], metas[i]) + problem);
        }
        if (!csv) {
            row_base += reader->chunk_rows(chunk);
            continue;
        }
        const std::size_t rows = reader->chunk_rows(chunk);
        batch.clear();
        lines.clear();
        for (std::size_t r = 0; r < rows; ++r) {
            auto more = csv->next_row(batch, schema.size());
            if (!more) return fault(more.error().message);
            if (!*more) {
                return fault(csv_path + " ends after " + std::to_string(row_base + r) + " rows, " + path + " holds " +
                             std::to_string(reader->header().row_count));
            }
            lines.push_back(csv->line_number());
        }
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t i = 0; i < schema.size(); ++i) {
                const container::Value& v = data->columns[i].values[r];
                const std::string_view held = v.kind() == container::ValueKind::Text ? std::string_view(v.text()) : "";
                const std::string_view expected = batch.cell(r, i);
                if (held != expected) {
                    return fault(block_place(path, chunk, i, schema[i], metas[i]) + "row " +
                                 std::to_string(row_base + r + 1) + " (row " + std::to_string(r + 1) +
                                 " of the chunk) holds " + quoted(held) + ", line " + std::to_string(lines[r]) +
                                 " of " + csv_path + " gives " + quoted(expected));
                }
            }
        }
        row_base += rows;
    }
    if (csv) {
        auto more = csv->next_row(batch, schema.size());
        if (!more) return fault(more.error().message);
        if (*more) {
            return fault(csv_path + " has more rows than the " + std::to_string(row_base) + " of " + path +
                         ": line " + std::to_string(csv->line_number()) + " is not in the container");
        }
    }

    const container::ContainerHeader& h = reader->header();
    std::string ok = "OK: " + path + ": " + grouped(h.row_count) + (h.row_count == 1 ? " row, " : " rows, ") +
                     std::to_string(h.column_count) + (h.column_count == 1 ? " column, " : " columns, ") +
                     grouped(h.chunk_count) + (h.chunk_count == 1 ? " chunk" : " chunks") +
                     "; every block's CRC-32, decoding and statistics check out";
    if (csv) ok += "; the rows equal those of " + csv_path;
    return write_stdout(ok + "\n") ? EXIT_OK : EXIT_FAILED;
}

}  // namespace sarn::cli
