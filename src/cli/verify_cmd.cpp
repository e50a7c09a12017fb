// sarn verify FILE [--csv IN.csv]: proves a container sound, or names its
// first fault.
//
// The reader checks the structure and the schema when it opens the file
// (header, schema and dictionary blocks, trailer, footer counts, blocks
// tiling the chunk data), and every block as SarnFile.verify() does
// (TableReader::verify_block: length, CRC-32, decompression, decoding of
// exactly the chunk's rows, the footer's statistics against the values).
// With --csv this command also compares the decoded rows with what the CSV
// dialect makes of a file.
#include <algorithm>
#include <optional>
#include <unistd.h>

#include "commands.hpp"
#include "container_text.hpp"
#include "csv_options.hpp"
#include "pipeline/column_types.hpp"
#include "pipeline/csv_dialect.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/row_reader.hpp"
#include "common/file_io.hpp"
#include "common/utf8.hpp"
#include "query/scan.hpp"

namespace sarn::cli {

int run_verify(int argc, char** argv);

// clang-format off: the help text is laid out as it prints
const CommandSpec VERIFY_SPEC = {
    "verify",
    {"FILE"},
    {},
    {{"--csv", "IN.csv"}, CSV_OPTIONS[0], CSV_OPTIONS[1], CSV_OPTIONS[2], CSV_OPTIONS[3], MAX_CHUNK_BYTES_OPTION},
    "decode and check every block of a container",
    "Check that the SARN container FILE is sound: the header, schema and footer\n"
    "agree; the column blocks follow one another from the header to the footer;\n"
    "every block's CRC-32 matches, it decompresses and decodes to exactly its\n"
    "chunk's rows; and the footer's statistics (null count, smallest and largest\n"
    "value, membership filter) agree with the decoded values.  The file holds no\n"
    "keys: enciphered columns are checked up to their decompression, and the OK\n"
    "line names them as not checked beyond it (their values and statistics).\n"
    "\n"
    "With --csv IN.csv, also check that the container holds exactly the rows that\n"
    "`sarn compress` reads from IN.csv with the same options (--quote, --delimiter,\n"
    "--extra-fields, --types): the same column names and types and, row by row,\n"
    "the same cells (an int64 cell as its decimal text).\n"
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
    "  --csv IN.csv         compare the rows with this CSV file, read as\n"
    "                       `sarn compress` reads it with these options:\n"
    SARN_CSV_OPTIONS_HELP
    SARN_MAX_CHUNK_BYTES_HELP
    "  -h, --help           show this help\n",
    run_verify,
};
// clang-format on

namespace {

int fault(const std::string& text) {
    write_stdout("FAULT: " + printable(text) + "\n");
    return EXIT_FAILED;
}

std::string quoted(std::string_view s) { return quoted_text(s, 60); }

// The rows of a CSV file as `sarn compress` reads them, a chunk at a time.
class CsvRows {
public:
    CsvRows(std::string path, const pipeline::CsvDialect& dialect) : path_(std::move(path)), dialect_(dialect) {}

    // Opens the file and reads the header line.
    common::Result<std::vector<std::string>> open() {
        auto file = common::open_for_reading(path_);
        if (!file) return common::Error::io("Cannot open " + path_ + ": " + file.error().message);
        file_ = std::move(*file);
        lines_.emplace(pipeline::LineSource::sequential(file_.fd(), path_, pipeline::Wording::Named));
        rows_.emplace(*lines_, dialect_);
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
    pipeline::CsvDialect dialect_;
    common::FileHandle file_;
    std::optional<pipeline::LineSource> lines_;
    std::optional<pipeline::RowReader> rows_;
};

}  // namespace

int run_verify(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(VERIFY_SPEC, argc, argv, args)) return *done;
    const std::string& path = args.positional[0];
    const auto budget = max_chunk_bytes_option(VERIFY_SPEC, args);
    if (!budget) return EXIT_USAGE;
    container::ReaderLimits limits;
    limits.max_chunk_bytes = *budget;
    pipeline::WriteChoices choices;
    if (auto bad = csv_choices(args, choices)) {
        usage_error(VERIFY_SPEC, *bad);
        return EXIT_USAGE;
    }
    // Opening checks the structure and the schema.
    auto opened = query::TableReader::open(path, limits);
    if (!opened) return fault(opened.error().message);
    const query::TableReader& table = **opened;
    const auto& schema = table.schema();

    const bool inferring = choices.types.mode == pipeline::TypesMode::Infer;
    // Under --types infer, the text columns whose every cell so far is an
    // integer: at the end, any left should have been int64.
    std::vector<std::uint8_t> all_integers;
    std::optional<CsvRows> csv;
    const std::string csv_path = args.has("--csv") ? args.options.at("--csv") : "";
    if (args.has("--csv")) {
        csv.emplace(csv_path, choices.dialect);
        auto names = csv->open();
        if (!names) return fault(names.error().message);
        if (names->size() != schema.size()) {
            return fault(path + " has " + std::to_string(schema.size()) + " columns, the header line of " + csv_path +
                         " names " + std::to_string(names->size()));
        }
        std::vector<std::uint8_t> types(schema.size(), container::TYPE_TEXT);
        if (!inferring) {
            auto resolved = pipeline::resolve_types(choices.types, *names);
            if (!resolved) return fault(resolved.error().message);
            types = std::move(*resolved);
        }
        for (std::size_t i = 0; i < schema.size(); ++i) {
            if ((*names)[i] != schema[i].name) {
                return fault(path + ": column " + std::to_string(i) + " is named " + quoted(schema[i].name) +
                             ", the header line of " + csv_path + " gives " + quoted((*names)[i]));
            }
            const std::uint8_t have = schema[i].type_code;
            const bool allowed =
                inferring ? (have == container::TYPE_TEXT || have == container::TYPE_INT) : have == types[i];
            if (!allowed) {
                return fault(path + ": column " + std::to_string(i) + " ('" + schema[i].name + "') is " +
                             type_name(have) + ", the options given make it " +
                             (inferring ? std::string("text or int64") : type_name(types[i])));
            }
            if (schema[i].encrypted != 0) {
                return fault(path + ": column " + std::to_string(i) + " ('" + schema[i].name +
                             "') is enciphered, the CSV dialect makes clear columns only");
            }
        }
    }

    if (inferring) {
        for (const auto& col : schema) all_integers.push_back(col.type_code == container::TYPE_TEXT);
    }

    std::vector<std::string> enciphered;
    for (const auto& col : schema) {
        if (col.encrypted != 0) enciphered.push_back(col.name);
    }
    container::TextBatch batch(schema.size());
    std::vector<std::uint64_t> lines;
    std::uint64_t row_base = 0;
    for (std::size_t chunk = 0; chunk < table.chunk_count(); ++chunk) {
        const std::size_t rows = table.reader().chunk_rows(chunk);
        if (csv) {
            // The chunk's rows from the CSV file first, so that each column
            // can be compared as soon as it is checked, and dropped.
            batch.clear();
            lines.clear();
            for (std::size_t r = 0; r < rows; ++r) {
                auto more = csv->next_row(batch, schema.size());
                if (!more) return fault(more.error().message);
                if (!*more) {
                    return fault(csv_path + " ends after " + std::to_string(row_base + r) + " rows, " + path +
                                 " holds " + std::to_string(table.reader().header().row_count));
                }
                lines.push_back(csv->line_number());
            }
        }
        // Every block, checked as SarnFile.verify() checks it, one column
        // held at a time; the first cell that differs from the CSV file (by
        // row, then column) is reported once the chunk's blocks are sound.
        container::ChunkBudget chunk_budget(*budget);
        std::optional<std::pair<std::size_t, std::size_t>> differs;  // row, column
        std::string differs_text;
        std::string number;
        for (std::size_t i = 0; i < schema.size(); ++i) {
            auto checked = table.verify_block(chunk, i, chunk_budget);
            if (!checked) return fault(checked.error().message);
            if (!csv) continue;
            const container::DecodedColumn& column = **checked;
            for (std::size_t r = 0; r < rows; ++r) {
                if (differs && differs->first <= r) break;
                // A null of a text column is stored as the empty text, as the
                // dialect reads an empty cell; an int64 cell reads back as
                // the decimal text it was written from.
                std::string_view held;
                if (column.layout == container::ColumnLayout::Int64) {
                    number = std::to_string(column.int_at(r));
                    held = number;
                } else {
                    held = column.cell(r);
                }
                const std::string_view expected = batch.cell(r, i);
                if (!all_integers.empty() && all_integers[i]) {
                    std::int64_t value;
                    all_integers[i] = pipeline::parse_canonical_int64(expected, value) ? 1 : 0;
                }
                if (held != expected) {
                    differs = {r, i};
                    differs_text = table.reader().place(chunk, i) + "row " + std::to_string(row_base + r + 1) +
                                   " (row " + std::to_string(r + 1) + " of the chunk) holds " + quoted(held) +
                                   ", line " + std::to_string(lines[r]) + " of " + csv_path + " gives " +
                                   quoted(expected);
                    break;
                }
            }
        }
        if (differs) return fault(differs_text);
        row_base += rows;
    }
    if (csv) {
        auto more = csv->next_row(batch, schema.size());
        if (!more) return fault(more.error().message);
        if (*more) {
            return fault(csv_path + " has more rows than the " + std::to_string(row_base) + " of " + path + ": line " +
                         std::to_string(csv->line_number()) + " is not in the container");
        }
    }

    for (std::size_t i = 0; i < all_integers.size() && row_base > 0; ++i) {
        if (all_integers[i]) {
            return fault(path + ": column " + std::to_string(i) + " ('" + schema[i].name + "') is text, but every " +
                         "cell of it in " + csv_path + " is an integer: --types infer makes it int64");
        }
    }

    const container::ContainerHeader& h = table.reader().header();
    std::string ok = "OK: " + path + ": " + grouped(h.row_count) + (h.row_count == 1 ? " row, " : " rows, ") +
                     std::to_string(h.column_count) + (h.column_count == 1 ? " column, " : " columns, ") +
                     grouped(h.chunk_count) + (h.chunk_count == 1 ? " chunk" : " chunks") +
                     "; every block's CRC-32, decoding and statistics check out";
    if (!enciphered.empty()) {
        // The file holds no keys: say what was not checked, by name.
        std::string names;
        for (const std::string& name : enciphered) names += (names.empty() ? "" : ", ") + quoted(name);
        ok += "; skipped the values and statistics of the enciphered column" +
              std::string(enciphered.size() == 1 ? " " : "s ") + names +
              " (no key; their blocks were checked up to their decompression)";
    }
    if (csv) ok += "; the rows equal those of " + csv_path;
    return write_stdout(printable(ok) + "\n") ? EXIT_OK : EXIT_FAILED;
}

}  // namespace sarn::cli
