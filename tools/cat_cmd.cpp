// sarn cat FILE: the rows of a container back as CSV on standard output.
//
// The output is written in the CSV dialect that compress reads: the column
// names on the first line, one line per row, cells joined by commas.  The
// dialect has no quoting, so a cell holding a comma or a line break, a cell
// with white space at either end, or a row that prints as a blank line
// cannot read back as it was.  Containers made from CSV files never hold
// such cells; for others, cat still writes everything but warns and exits
// with status 1, so that nothing is lost silently.
#include "commands.hpp"
#include "container_text.hpp"
#include "pipeline/csv.hpp"
#include "common/utf8.hpp"
#include "container/reader.hpp"

namespace sarn::cli {

int run_cat(int argc, char** argv);

const CommandSpec CAT_SPEC = {
    "cat",
    {"FILE"},
    {},
    {},
    "write a container's rows as CSV to standard output",
    "Write the rows of the SARN container FILE to standard output as CSV: the\n"
    "column names first, then one line per row, cells joined by commas.  A file\n"
    "made by `sarn compress IN.csv FILE` gives back the rows of IN.csv as the\n"
    "compress dialect reads them (fields trimmed, blank lines gone, short rows\n"
    "padded with empty cells, extra fields dropped).\n"
    "\n"
    "Every block is checked (CRC-32, decoding) on the way; a damaged file stops\n"
    "the output with an error and exit status 1.  Cells that the dialect cannot\n"
    "carry (commas, line breaks, white space at either end) are written as they\n"
    "are, with a warning and exit status 1.\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help\n",
    run_cat,
};

namespace {

// Whether a cell reads back as written under the dialect.
bool survives_dialect(std::string_view cell) {
    if (!common::is_valid_utf8(cell)) return false;
    if (cell.find_first_of(",\n") != std::string_view::npos) return false;
    if (!cell.empty() && cell.back() == '\r') return false;
    return pipeline::trim(cell).size() == cell.size();
}

class Output {
public:
    std::string& buffer() { return buf_; }
    bool maybe_flush() { return buf_.size() < (1u << 20) || flush(); }
    // Writes out what is buffered; a failure is reported on standard error.
    bool flush() {
        const bool ok = write_stdout(buf_);
        buf_.clear();
        return ok;
    }

private:
    std::string buf_;
};

}  // namespace

int run_cat(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(CAT_SPEC, argc, argv, args)) return *done;
    auto reader = container::SarnReader::open(args.positional[0]);
    if (!reader) {
        print_error(reader.error().message);
        return EXIT_FAILED;
    }
    const auto& schema = reader->schema();

    std::uint64_t unsafe_cells = 0;
    std::string first_unsafe;
    auto note_unsafe = [&](std::string where) {
        if (unsafe_cells++ == 0) first_unsafe = std::move(where);
    };

    Output out;
    std::string& buf = out.buffer();
    for (std::size_t c = 0; c < schema.size(); ++c) {
        if (c > 0) buf += ',';
        buf += schema[c].name;
        if (!survives_dialect(schema[c].name)) note_unsafe("the name of column " + std::to_string(c));
    }
    buf += '\n';

    std::uint64_t row_number = 0;
    std::string line;
    for (std::size_t chunk = 0; chunk < reader->chunk_count(); ++chunk) {
        auto data = reader->read_chunk(chunk);
        if (!data) {
            out.flush();
            print_error(data.error().message);
            return EXIT_FAILED;
        }
        const std::size_t rows = reader->chunk_rows(chunk);
        for (std::size_t r = 0; r < rows; ++r, ++row_number) {
            line.clear();
            for (std::size_t c = 0; c < schema.size(); ++c) {
                if (c > 0) line += ',';
                const std::size_t start = line.size();
                append_value_text(line, data->columns[c].values[r]);
                if (!survives_dialect(std::string_view(line).substr(start))) {
                    note_unsafe("row " + std::to_string(row_number + 1) + ", column " + std::to_string(c) + " ('" +
                                schema[c].name + "')");
                }
            }
            // A row that prints as a blank line would be skipped on reading.
            if (pipeline::is_blank(line)) note_unsafe("row " + std::to_string(row_number + 1) + " (prints as a blank line)");
            buf += line;
            buf += '\n';
            if (!out.maybe_flush()) return EXIT_FAILED;
        }
    }
    if (!out.flush()) return EXIT_FAILED;
    if (unsafe_cells > 0) {
        print_error(std::to_string(unsafe_cells) + " cell(s) or row(s) cannot be read back as written in the "
                    "CSV dialect (comma, line break, white space at an end, bytes that are not UTF-8, or a blank line), first at " +
                    first_unsafe);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace sarn::cli
