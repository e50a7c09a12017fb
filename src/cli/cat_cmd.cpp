// sarn cat FILE: the rows of a container back as CSV on standard output.
//
// The output is written in the dialect that `sarn compress` and sarnio read
// by default: the column names on the first line, one line per row, cells
// joined by commas, and a cell quoted (inner quotes doubled) when it holds a
// comma, a quote, CR or LF, or white space at either end, so that every cell
// reads back as it was.  Integers print in decimal.  Only bytes that are not
// UTF-8 (never in a container made from CSV) cannot be carried: cat writes
// them as they are, but warns and exits with status 1, so that nothing is
// lost silently.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "commands.hpp"
#include "container_text.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/csv_dialect.hpp"
#include "common/utf8.hpp"
#include "query/scan.hpp"

namespace sarn::cli {

int run_cat(int argc, char** argv);

// clang-format off: the help text is laid out as it prints
const CommandSpec CAT_SPEC = {
    "cat",
    {"FILE"},
    {},
    {{"--columns", "A,B", true}, {"--where", "COL==VALUE", true}, MAX_CHUNK_BYTES_OPTION},
    "write a container's rows as CSV to standard output",
    "Write the rows of the SARN container FILE to standard output as CSV: the\n"
    "column names first, then one line per row, cells joined by commas.  A cell\n"
    "that holds a comma, a double quote, CR or LF, or white space at either end is\n"
    "written between double quotes, its quotes doubled; integers are written in\n"
    "decimal.  So `sarn compress` (and every CSV reader that trims unquoted\n"
    "fields) reads the output back to the same cells, and a file made by `sarn\n"
    "compress IN.csv FILE` gives back the rows of IN.csv as compress read them\n"
    "(unquoted fields trimmed, blank lines gone, short rows padded with empty\n"
    "cells).\n"
    "\n"
    "Every block is checked (CRC-32, decoding) on the way; a damaged file stops\n"
    "the output with an error and exit status 1.  Bytes that are not UTF-8 (never\n"
    "in a container made from CSV) cannot be carried by CSV: they are written as\n"
    "they are, with a warning and exit status 1.\n"
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
// clang-format on

namespace {

// Appends `cell` to `out` as a CSV field that reads back as `cell`: as it is
// when it can, else between quotes with its quotes doubled.  Returns false
// (appending the bytes as they are) for bytes that are not UTF-8, which no
// CSV reader of this package takes.
bool append_field(std::string& out, std::string_view cell, bool first_of_file = false) {
    if (!common::is_valid_utf8(cell)) {
        out += cell;
        return false;
    }
    const bool quoted = cell.find_first_of(",\"\r\n") != std::string_view::npos ||
                        pipeline::trim(cell).size() != cell.size() ||
                        // A byte order mark at the very start would be dropped.
                        (first_of_file && cell.starts_with(pipeline::BYTE_ORDER_MARK));
    if (!quoted) {
        out += cell;
        return true;
    }
    out += '"';
    for (const char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return true;
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

// The cell as cat prints it, as a CSV field: nothing for a null, the value
// otherwise.  False for bytes that CSV cannot carry.
bool append_cell(std::string& out, const container::DecodedColumn& c, std::size_t i, std::string& scratch) {
    if (!c.is_valid(i)) return true;
    switch (c.layout) {
        case container::ColumnLayout::Int64: out += std::to_string(c.int_at(i)); return true;
        case container::ColumnLayout::Float64: out += double_text(c.float_at(i)); return true;
        case container::ColumnLayout::Bool: out += c.bool_at(i) ? "true" : "false"; return true;
        case container::ColumnLayout::Utf8:
        case container::ColumnLayout::Binary: return append_field(out, c.cell(i));
        case container::ColumnLayout::Structured: {
            scratch.clear();
            auto v = container::structured_cell(c.cell(i));
            if (v) append_value_text(scratch, *v);  // the decoder already checked it
            return append_field(out, scratch);
        }
    }
    return true;
}

// The position of the column named `name`; the error, after `option`, names
// an unknown name or one that several columns bear.
common::Result<std::size_t> column_named(const std::vector<container::ColumnSchema>& schema, std::string_view name,
                                         const char* option) {
    std::vector<std::size_t> found;
    for (std::size_t c = 0; c < schema.size(); ++c) {
        if (schema[c].name == name) found.push_back(c);
    }
    if (found.empty())
        return common::Error::value(std::string(option) + ": no column named '" + std::string(name) + "'");
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
common::Result<query::Predicate> parse_where(const std::vector<container::ColumnSchema>& schema,
                                             std::string_view text) {
    static const std::pair<const char*, query::CompareOp> ops[] = {
        {"==", query::CompareOp::Eq}, {"!=", query::CompareOp::Ne}, {"<=", query::CompareOp::Le},
        {">=", query::CompareOp::Ge}, {"=", query::CompareOp::Eq},  {"<", query::CompareOp::Lt},
        {">", query::CompareOp::Gt}};
    const std::size_t at = text.find_first_of("=!<>");
    if (at == std::string_view::npos)
        return common::Error::value("--where: expected COL==VALUE, got '" + std::string(text) + "'");
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
        if (r.ec != std::errc() || r.ptr != value.data() + value.size())
            return common::Error::value(bad + " (an integer)");
    } else if (type == container::TYPE_FLOAT) {
        char* end = nullptr;
        o.f = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size()) return common::Error::value(bad + " (a number)");
    } else if (type == container::TYPE_BOOL) {
        if (value == "true" || value == "1")
            o.i = 1;
        else if (value == "false" || value == "0")
            o.i = 0;
        else
            return common::Error::value(bad + " (true or false)");
    } else if (type == container::TYPE_TEXT || type == container::TYPE_BYTES) {
        o.s = value;
    } else {
        return common::Error::value("--where: column '" + std::string(name) +
                                    "' holds structured values, which do not compare");
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
        if (!append_field(buf, schema[columns[k]].name, k == 0)) {
            note_unsafe("the name of column " + std::to_string(columns[k]));
        }
    }
    // A lone empty name would print as a blank line, which is no header.
    if (columns.size() == 1 && schema[columns[0]].name.empty()) buf += "\"\"";
    buf += '\n';

    query::BatchStream stream(*scan, common::usable_cores());
    std::string line, scratch;
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
            const std::string row_place =
                args.has("--where") ? "chunk " + std::to_string(b.chunk) + ", selected row " + std::to_string(r + 1)
                                    : "row " + std::to_string(first_row + r + 1);
            for (std::size_t k = 0; k < b.columns.size(); ++k) {
                if (k > 0) line += ',';
                if (!append_cell(line, b.columns[k], r, scratch)) {
                    note_unsafe(row_place + ", column " + std::to_string(columns[k]) + " ('" + schema[columns[k]].name +
                                "')");
                }
            }
            // A row that would print as a blank line (one empty cell) would
            // be skipped on reading: an empty quoted field is a row.
            if (line.empty()) line = "\"\"";
            buf += line;
            buf += '\n';
            if (!out.maybe_flush()) return EXIT_FAILED;
        }
    }
    if (!out.flush()) return EXIT_FAILED;
    if (unsafe_cells > 0) {
        print_error(std::to_string(unsafe_cells) +
                    " cell(s) hold bytes that are not UTF-8, which CSV cannot carry; "
                    "they were written as they are, first at " +
                    first_unsafe);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace sarn::cli
