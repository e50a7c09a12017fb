// sarn cat FILE: the rows of a container back as CSV on standard output.
//
// The output is written in the CSV dialect that compress reads: the column
// names on the first line, one line per row, cells joined by commas.  The
// dialect has no quoting, so a cell holding a comma or a line break, a cell
// with white space at either end, or a row that prints as a blank line
// cannot read back as it was.  Containers made from CSV files never hold
// such cells; for others, cat still writes everything but warns and exits
// with status 1, so that nothing is lost silently.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "commands.hpp"
#include "container_text.hpp"
#include "pipeline/csv.hpp"
#include "common/utf8.hpp"
#include "query/scan.hpp"

namespace sarn::cli {

int run_cat(int argc, char** argv);

const CommandSpec CAT_SPEC = {
    "cat",
    {"FILE"},
    {},
    {{"--columns", "A,B", true}, {"--where", "COL==VALUE", true}, MAX_CHUNK_BYTES_OPTION},
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
    "--columns picks columns by name, in the order given; given more than once, it\n"
    "takes every column named, each once, in the order first named.  --where keeps\n"
    "the rows whose cell in COL compares with VALUE by ==, !=, <, <=, > or >=\n"
    "(integers and numbers numerically, texts in the byte order of their UTF-8,\n"
    "booleans as true/false); given more than once, the rows that satisfy every\n"
    "comparison.  Chunks whose statistics rule a value out are not read at all.  A\n"
    "cell the container marks as null prints empty and never matches.  A name that\n"
    "several columns bear cannot pick one of them and is refused.\n"
    "\n"
    "options:\n"
    "  --columns A,B        only these columns (repeatable)\n"
    "  --where COL==VALUE   only the rows that satisfy the comparison (repeatable)\n"
    SARN_MAX_CHUNK_BYTES_HELP
    "  -h, --help           show this help\n",
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

namespace {

// The cell's text as cat prints it: nothing for a null, the value otherwise.
void append_cell(std::string& out, const container::DecodedColumn& c, std::size_t i) {
    if (!c.is_valid(i)) return;
    switch (c.layout) {
        case container::ColumnLayout::Int64: out += std::to_string(c.int_at(i)); return;
        case container::ColumnLayout::Float64: out += double_text(c.float_at(i)); return;
        case container::ColumnLayout::Bool: out += c.bool_at(i) ? "true" : "false"; return;
        case container::ColumnLayout::Utf8:
        case container::ColumnLayout::Binary: out += c.cell(i); return;
        case container::ColumnLayout::Structured: {
            auto v = container::structured_cell(c.cell(i));
            if (v) append_value_text(out, *v);  // the decoder already checked it
            return;
        }
    }
}

// The position of the column named `name`; the error, after `option`, names
// an unknown name or one that several columns bear.
common::Result<std::size_t> column_named(const std::vector<container::ColumnSchema>& schema, std::string_view name,
                                         const char* option) {
    std::vector<std::size_t> found;
    for (std::size_t c = 0; c < schema.size(); ++c) {
        if (schema[c].name == name) found.push_back(c);
    }
    if (found.empty()) return common::Error::value(std::string(option) + ": no column named '" + std::string(name) + "'");
    if (found.size() > 1) {
        std::string where;
        for (std::size_t c : found) where += (where.empty() ? "" : ", ") + std::to_string(c);
        return common::Error::value(std::string(option) + ": column name '" + std::string(name) +
                                    "' is ambiguous: columns " + where + " bear it");
    }
    return found[0];
}

// The columns of every "a,b" list, each once, in the order first named.
common::Result<std::vector<std::size_t>> parse_columns(const std::vector<container::ColumnSchema>& schema,
                                                       const std::vector<std::string>& lists) {
    std::vector<std::size_t> out;
    for (std::string_view list : lists) {
        for (;;) {
            const std::size_t comma = list.find(',');
            auto c = column_named(schema, list.substr(0, comma), "--columns");
            if (!c) return std::move(c).error();
            if (std::find(out.begin(), out.end(), *c) == out.end()) out.push_back(*c);
            if (comma == std::string_view::npos) break;
            list.remove_prefix(comma + 1);
        }
    }
    return out;
}

// "col==value" (or !=, <, <=, >, >=, =) as a predicate on the column's kind.
common::Result<query::Predicate> parse_where(const std::vector<container::ColumnSchema>& schema, std::string_view text) {
    static const std::pair<const char*, query::CompareOp> ops[] = {
        {"==", query::CompareOp::Eq}, {"!=", query::CompareOp::Ne}, {"<=", query::CompareOp::Le},
        {">=", query::CompareOp::Ge}, {"=", query::CompareOp::Eq},  {"<", query::CompareOp::Lt},
        {">", query::CompareOp::Gt}};
    const std::size_t at = text.find_first_of("=!<>");
    if (at == std::string_view::npos) return common::Error::value("--where: expected COL==VALUE, got '" + std::string(text) + "'");
    query::Predicate p;
    std::size_t op_len = 0;
    for (const auto& [sym, op] : ops) {
        if (text.substr(at).rfind(sym, 0) == 0) {
            p.op = op;
            op_len = std::char_traits<char>::length(sym);
            break;
        }
    }
    if (op_len == 0) return common::Error::value("--where: unknown comparison in '" + std::string(text) + "'");
    const std::string_view name = text.substr(0, at);
    const std::string value(text.substr(at + op_len));
    auto named = column_named(schema, name, "--where");
    if (!named) return std::move(named).error();
    const std::size_t c = *named;
    p.column = c;
    query::FilterOperand o;
    const std::uint8_t type = schema[c].type_code;
    const std::string bad = "--where: '" + value + "' is not a value of column '" + std::string(name) + "'";
    if (type == container::TYPE_INT) {
        const auto r = std::from_chars(value.data(), value.data() + value.size(), o.i);
        if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return common::Error::value(bad + " (an integer)");
    } else if (type == container::TYPE_FLOAT) {
        char* end = nullptr;
        o.f = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size()) return common::Error::value(bad + " (a number)");
    } else if (type == container::TYPE_BOOL) {
        if (value == "true" || value == "1") o.i = 1;
        else if (value == "false" || value == "0") o.i = 0;
        else return common::Error::value(bad + " (true or false)");
    } else if (type == container::TYPE_TEXT || type == container::TYPE_BYTES) {
        o.s = value;
    } else {
        return common::Error::value("--where: column '" + std::string(name) + "' holds structured values, which do not compare");
    }
    p.operands.push_back(std::move(o));
    return p;
}

}  // namespace

int run_cat(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(CAT_SPEC, argc, argv, args)) return *done;
    const auto budget = max_chunk_bytes_option(CAT_SPEC, args);
    if (!budget) return EXIT_USAGE;
    container::ReaderLimits limits;
    limits.max_chunk_bytes = *budget;
    auto table = query::TableReader::open(args.positional[0], limits);
    if (!table) {
        print_error(table.error().message);
        return EXIT_FAILED;
    }
    const auto& schema = (*table)->schema();

    std::vector<std::size_t> columns;
    for (std::size_t c = 0; c < schema.size(); ++c) columns.push_back(c);
    if (args.has("--columns")) {
        auto picked = parse_columns(schema, args.values("--columns"));
        if (!picked) {
            print_error(picked.error().message);
            return EXIT_USAGE;
        }
        columns = std::move(*picked);
    }
    // Every --where must hold: one conjunction.
    query::Filter filter;
    std::vector<query::Predicate> all_of;
    for (const std::string& text : args.values("--where")) {
        auto p = parse_where(schema, text);
        if (!p) {
            print_error(p.error().message);
            return EXIT_USAGE;
        }
        all_of.push_back(std::move(*p));
    }
    if (!all_of.empty()) filter.any_of.push_back(std::move(all_of));
    auto scan = query::Scan::plan(*table, columns, std::move(filter), false);
    if (!scan) {
        print_error(scan.error().message);
        return EXIT_FAILED;
    }

    std::uint64_t unsafe_cells = 0;
    std::string first_unsafe;
    auto note_unsafe = [&](std::string where) {
        if (unsafe_cells++ == 0) first_unsafe = std::move(where);
    };

    Output out;
    std::string& buf = out.buffer();
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (k > 0) buf += ',';
        buf += schema[columns[k]].name;
        if (!survives_dialect(schema[columns[k]].name)) note_unsafe("the name of column " + std::to_string(columns[k]));
    }
    buf += '\n';

    query::BatchStream stream(*scan, common::usable_cores());
    std::string line;
    for (;;) {
        auto batch = stream.next();
        if (!batch) {
            out.flush();
            print_error(batch.error().message);
            return EXIT_FAILED;
        }
        if (!*batch) break;
        const query::RecordBatch& b = **batch;
        // Rows are numbered within the file when no filter drops any.
        const std::uint64_t first_row = static_cast<std::uint64_t>(b.chunk) * (*table)->reader().chunk_rows(0);
        for (std::size_t r = 0; r < b.num_rows; ++r) {
            line.clear();
            const std::string row_place = args.has("--where") ? "chunk " + std::to_string(b.chunk) + ", selected row " + std::to_string(r + 1)
                                                              : "row " + std::to_string(first_row + r + 1);
            for (std::size_t k = 0; k < b.columns.size(); ++k) {
                if (k > 0) line += ',';
                const std::size_t start = line.size();
                append_cell(line, b.columns[k], r);
                if (!survives_dialect(std::string_view(line).substr(start))) {
                    note_unsafe(row_place + ", column " + std::to_string(columns[k]) + " ('" + schema[columns[k]].name + "')");
                }
            }
            // A row that prints as a blank line would be skipped on reading.
            if (pipeline::is_blank(line)) note_unsafe(row_place + " (prints as a blank line)");
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
