// The quoted-field dialect: records cut into cells a line at a time, its
// faults and where they are, the dialect's own checks, and the canonical
// integer test that decides whether a column can be stored as integers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/csv_dialect.hpp"

namespace {

using sarn::pipeline::CsvDialect;
using sarn::pipeline::QuotedRecord;
using sarn::pipeline::RecordFault;

struct Cut {
    std::vector<std::string> cells;
    RecordFault fault = RecordFault::None;
    std::uint64_t fault_offset = 0;
    std::size_t lines = 0;  // lines the record took
};

// Feeds `input` (one record, possibly over several lines) line by line, as
// a reader would: each line without its terminator, the terminator beside.
Cut cut(std::string_view input, CsvDialect dialect = {}) {
    QuotedRecord record(dialect);
    record.start();
    Cut out;
    std::uint64_t offset = 0;
    for (;;) {
        const std::size_t lf = input.find('\n', offset);
        std::string_view line, terminator;
        std::uint64_t next;
        if (lf == std::string_view::npos) {
            line = input.substr(offset);
            next = input.size();
        } else {
            line = input.substr(offset, lf - offset);
            terminator = "\n";
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
                terminator = "\r\n";
            }
            next = lf + 1;
        }
        ++out.lines;
        const auto step = record.feed(line, terminator, offset);
        if (step == QuotedRecord::Step::Fault) {
            out.fault = record.fault();
            out.fault_offset = record.fault_offset();
            return out;
        }
        if (step == QuotedRecord::Step::Done) break;
        offset = next;
    }
    for (std::size_t i = 0; i < record.cell_count(); ++i) out.cells.emplace_back(record.cell(i));
    return out;
}

using Cells = std::vector<std::string>;

TEST(QuotedRecord, CutsFieldsAsExportsWriteThem) {
    struct Case {
        const char* input;
        Cells cells;
        std::size_t lines;
    };
    const Case cases[] = {
        {"\"Union County, Troy Shelton\",USA,34.5", {"Union County, Troy Shelton", "USA", "34.5"}, 1},
        {"a,\"say \"\"hi\"\"\",b", {"a", "say \"hi\"", "b"}, 1},
        {"\"\",x,\"\"", {"", "x", ""}, 1},
        {"  \"padded\"  , \" kept inside \" ", {"padded", " kept inside "}, 1},
        {"ab\"c,d\"", {"ab\"c", "d\""}, 1},  // a quote inside an unquoted field is text
        {"\"two\nlines\",z", {"two\nlines", "z"}, 2},
        {"\"crlf\r\ninside\",z", {"crlf\r\ninside", "z"}, 2},
        {"\"ends with a pair \"\"\"", {"ends with a pair \""}, 1},
        {"\"a\"\"\nb\"", {"a\"\nb"}, 2},  // a doubled quote right before the line break
        {"x,\"\n\n\",y", {"x", "\n\n", "y"}, 3},
        {"\"a\",", {"a", ""}, 1},
        {"\xC2\xA0\"nbsp before\"\xE3\x80\x80", {"nbsp before"}, 1},  // Unicode white space around
        {"\"lone \r cr\",q", {"lone \r cr", "q"}, 1},
    };
    for (const Case& c : cases) {
        const Cut got = cut(c.input);
        EXPECT_EQ(got.fault, RecordFault::None) << c.input;
        EXPECT_EQ(got.cells, c.cells) << c.input;
        EXPECT_EQ(got.lines, c.lines) << c.input;
    }
}

TEST(QuotedRecord, OtherDelimitersAndQuotes) {
    CsvDialect tab;
    tab.delimiter = '\t';
    // The tab delimiter is never taken for white space around a field.
    EXPECT_EQ(cut("\t\"a\tb\"\t c ", tab).cells, (Cells{"", "a\tb", "c"}));
    CsvDialect semi;
    semi.delimiter = ';';
    EXPECT_EQ(cut("\"1,5\";\"x;y\";z", semi).cells, (Cells{"1,5", "x;y", "z"}));
    CsvDialect single;
    single.quote = '\'';
    EXPECT_EQ(cut("'it''s',\"not quoted\"", single).cells, (Cells{"it's", "\"not quoted\""}));
}

TEST(QuotedRecord, FaultsNameWhereTheyAre) {
    // An unquoted field never opens a quoted one, so the fault of an open
    // quote is at the quote itself, however many lines follow.
    Cut open = cut("a,\"never closed\nstill open");
    EXPECT_EQ(open.fault, RecordFault::Unterminated);
    EXPECT_EQ(open.fault_offset, 2u);
    Cut after = cut("a,\"quoted\"  x,b");
    EXPECT_EQ(after.fault, RecordFault::TextAfterQuote);
    EXPECT_EQ(after.fault_offset, 12u);
    Cut later_line = cut("\"one\ntwo\" !");
    EXPECT_EQ(later_line.fault, RecordFault::TextAfterQuote);
    EXPECT_EQ(later_line.fault_offset, 10u);
}

TEST(QuotedRecord, StartsAfreshForEachRecord) {
    QuotedRecord record{CsvDialect{}};
    record.start();
    ASSERT_EQ(record.feed("\"open", "\n", 0), QuotedRecord::Step::More);
    record.start();
    ASSERT_EQ(record.feed("plain,\"q\"", "\n", 10), QuotedRecord::Step::Done);
    ASSERT_EQ(record.cell_count(), 2u);
    EXPECT_EQ(record.cell(0), "plain");
    EXPECT_EQ(record.cell(1), "q");
}

TEST(CsvDialectRules, RefusesCharactersThatCannotWork) {
    const auto problem = [](char delimiter, char quote) {
        CsvDialect d;
        d.delimiter = delimiter;
        d.quote = quote;
        return sarn::pipeline::dialect_problem(d).has_value();
    };
    EXPECT_FALSE(problem(',', '"'));
    EXPECT_FALSE(problem('\t', '"'));
    EXPECT_FALSE(problem(';', '\''));
    EXPECT_FALSE(problem(',', '\0'));
    EXPECT_TRUE(problem(',', ','));
    EXPECT_TRUE(problem('\n', '"'));
    EXPECT_TRUE(problem('\r', '"'));
    EXPECT_TRUE(problem(',', ' '));
    EXPECT_TRUE(problem(',', '\t'));
    EXPECT_TRUE(problem(',', '\n'));
    EXPECT_TRUE(problem('\xC3', '"'));
    EXPECT_TRUE(problem('\0', '"'));
}

TEST(CsvDialectRules, CountsUnquotedFields) {
    EXPECT_EQ(sarn::pipeline::unquoted_field_count("", ','), 1u);
    EXPECT_EQ(sarn::pipeline::unquoted_field_count("a,b,,", ','), 4u);
    EXPECT_EQ(sarn::pipeline::unquoted_field_count("a\tb", '\t'), 2u);
}

TEST(CanonicalInt64, AcceptsOnlyTextsThatPrintBackUnchanged) {
    struct Case {
        const char* text;
        bool ok;
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"7", true, 7},
        {"-1", true, -1},
        {"1234567890", true, 1234567890},
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"-0", false, 0},
        {"007", false, 0},
        {"00", false, 0},
        {"+5", false, 0},
        {"1.0", false, 0},
        {"1e3", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"12a", false, 0},
        {"--1", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t v = 42;
        EXPECT_EQ(sarn::pipeline::parse_canonical_int64(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
            EXPECT_EQ(std::to_string(v), c.text);
        }
    }
}

}  // namespace
