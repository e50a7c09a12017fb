// The CSV dialect: UTF-8 checks, trimming, header names and row cells (the
// cutting of lines is line_source_test's).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "pipeline/csv.hpp"
#include "common/utf8.hpp"

namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesEverythingElse) {
    const char* valid[] = {
        "",
        "plain ascii text longer than eight bytes",
        "\xC2\x80",
        "\xDF\xBF",
        "\xE0\xA0\x80",
        "\xED\x9F\xBF",
        "\xEE\x80\x80",
        "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80",
        "\xF4\x8F\xBF\xBF",
        "abcdefg\xC3\xA9xyz01234567\xF0\x9F\x98\x80",
    };
    const char* invalid[] = {
        "\x80",  // lone continuation
        "\xC0\xAF",  // overlong
        "\xC1\xBF",  // overlong
        "\xE0\x9F\xBF",  // overlong three-byte form
        "\xED\xA0\x80",  // surrogate U+D800
        "\xF0\x8F\xBF\xBF",  // overlong four-byte form
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xF5\x80\x80\x80",
        "\xFF",
        "\xC3",  // truncated
        "\xE2\x82",
        "abcdefgh\xC3(",  // bad continuation after a fast-path word
    };
    for (const char* s : valid) EXPECT_TRUE(sarn::common::is_valid_utf8(s)) << s;
    for (const char* s : invalid) EXPECT_FALSE(sarn::common::is_valid_utf8(s)) << s;
}

TEST(Utf8, IsAsciiFindsAHighBitAnywhere) {
    // Every length around the 32-byte step, with the one high byte at every
    // position: in a folded word, in the tail, first and last.
    for (std::size_t n = 0; n <= 70; ++n) {
        std::string s(n, 'a');
        EXPECT_TRUE(sarn::common::is_ascii(s)) << n;
        for (std::size_t at = 0; at < n; ++at) {
            s[at] = '\x80';
            EXPECT_FALSE(sarn::common::is_ascii(s)) << n << " " << at;
            s[at] = '\x7F';
            EXPECT_TRUE(sarn::common::is_ascii(s)) << n << " " << at;
            s[at] = 'a';
        }
    }
}

TEST(Trim, RemovesEveryUnicodeWhiteSpaceCharacterAndNothingElse) {
    const char* spaces[] = {
        "\t",           "\n",           "\v",           "\f",           "\r",           " ",
        "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
        "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    };
    for (const char* s : spaces) {
        std::string text = std::string(s) + "x y" + s + s;
        EXPECT_EQ(sarn::pipeline::trim(text), "x y") << text;
        EXPECT_TRUE(sarn::pipeline::is_blank(std::string(s) + s)) << s;
    }
    // Look-alikes that are not White_Space: byte order mark, zero width
    // space U+200B, U+180E, U+2060, and characters sharing lead bytes.
    const char* kept[] = {
        "\xEF\xBB\xBF", "\xE2\x80\x8B", "\xE1\xA0\x8E", "\xE2\x81\xA0", "\xC2\xA1",
        "\xE2\x80\xA7", "\xE3\x80\x81", "\x1C",         "\x7F",
    };
    for (const char* s : kept) {
        EXPECT_EQ(sarn::pipeline::trim(s), s) << s;
        EXPECT_FALSE(sarn::pipeline::is_blank(s)) << s;
    }
    EXPECT_EQ(sarn::pipeline::trim(""), "");
    EXPECT_EQ(sarn::pipeline::trim(" \t "), "");
    EXPECT_EQ(sarn::pipeline::trim("\xC2\xA0\xC3\xA9\xC2\xA0"), "\xC3\xA9");
}

TEST(SplitHeader, KeepsEveryPieceTrimmed) {
    using V = std::vector<std::string>;
    EXPECT_EQ(sarn::pipeline::split_header("id , name ,,"), (V{"id", "name", "", ""}));
    EXPECT_EQ(sarn::pipeline::split_header(""), (V{""}));
    EXPECT_EQ(sarn::pipeline::split_header("a, b ,c"), (V{"a", "b", "c"}));
    EXPECT_EQ(sarn::pipeline::split_header(",a,a"), (V{"", "a", "a"}));
    EXPECT_EQ(sarn::pipeline::split_header("\"Code\",\"ID\""), (V{"\"Code\"", "\"ID\""}));
    EXPECT_EQ(sarn::pipeline::split_header("\xEF\xBB\xBFid,x"), (V{"\xEF\xBB\xBFid", "x"}));
}

TEST(AppendRow, PadsShortLinesAndDropsExtraPieces) {
    using V = std::vector<std::string>;
    using sarn::pipeline::Appended;
    struct Case {
        const char* line;
        std::size_t columns;
        V cells;
        Appended appended;  // Wider: the line has pieces past the columns
        char delimiter = ',';
    };
    const Case cases[] = {
        {"1", 3, {"1", "", ""}, Appended::Row},
        {"1,2,3,4", 3, {"1", "2", "3"}, Appended::Wider},
        {" 7 ,\t8 , 9", 3, {"7", "8", "9"}, Appended::Row},
        {"\"a,b\",c", 2, {"\"a", "b\""}, Appended::Wider},  // no quoting here
        {",", 3, {"", "", ""}, Appended::Row},
        {"", 2, {"", ""}, Appended::Row},
        {"a,b,", 3, {"a", "b", ""}, Appended::Row},
        {"a,b,", 2, {"a", "b"}, Appended::Wider},  // an empty piece is a piece
        {"x,y", 1, {"x"}, Appended::Wider},
        // A tab delimiter is not trimmed away; a comma is then text.
        {" a \t\t b,c ", 3, {"a", "", "b,c"}, Appended::Row, '\t'},
        {"1;2;3", 2, {"1", "2"}, Appended::Wider, ';'},
    };
    for (const Case& c : cases) {
        sarn::container::TextBatch batch(c.columns);
        EXPECT_EQ(sarn::pipeline::append_row(batch, c.line, c.columns, c.delimiter), c.appended) << c.line;
        ASSERT_EQ(batch.row_count(), 1u) << c.line;
        V cells;
        for (std::size_t i = 0; i < c.columns; ++i) cells.emplace_back(batch.cell(0, i));
        EXPECT_EQ(cells, c.cells) << c.line;
    }
}

}  // namespace

namespace {

TEST(ParseRow, GivesTheSameCellsAsTheBatchPath) {
    const char* lines[] = {"1", "1,2,3,4", " 7 ,\t8 , 9", "\"a,b\",c", ",", "", "a,b,", "\xC2\xA0x\xE3\x80\x80,y"};
    for (const char* line : lines) {
        for (std::size_t columns : {1, 2, 3, 5}) {
            sarn::container::Row row = sarn::pipeline::parse_row(line, columns);
            sarn::container::TextBatch batch(columns);
            sarn::pipeline::append_row(batch, line, columns);
            ASSERT_EQ(row.size(), columns);
            for (std::size_t i = 0; i < columns; ++i) {
                ASSERT_EQ(row[i].kind(), sarn::container::ValueKind::Text);
                EXPECT_EQ(row[i].text(), batch.cell(0, i)) << line << " column " << i;
            }
        }
    }
    sarn::container::Row row = sarn::pipeline::parse_row(" 7 ,\t8 , 9", 3);
    EXPECT_EQ(row[0].text(), "7");
    EXPECT_EQ(row[2].text(), "9");
}

}  // namespace

namespace {

TEST(AppendRow, FindsCommasAtEveryOffsetOfTheWordScan) {
    // Comma positions on both sides of each 8-byte word boundary, with
    // bytes that could fool a careless zero-byte test (0x2D, 0xAC, 0x01).
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t comma = 0; comma < length; ++comma) {
            std::string line(length, 'x');
            for (std::size_t i = 0; i < length; i += 3) line[i] = "\x01\x2D\xAC"[(i / 3) % 3];
            line[comma] = ',';
            if (comma + 5 < length) line[comma + 5] = ',';
            const std::size_t columns = 4;
            sarn::container::TextBatch batch(columns);
            sarn::pipeline::append_row(batch, line, columns);
            sarn::container::Row row = sarn::pipeline::parse_row(line, columns);
            for (std::size_t i = 0; i < columns; ++i) {
                ASSERT_EQ(batch.cell(0, i), row[i].text()) << length << " " << comma << " " << i;
            }
        }
    }
}

}  // namespace

namespace {

TEST(AppendRow, ManyRowsOfShortAndLongPiecesInOneBatch) {
    // Short pieces are copied a word at a time, reading up to the end of the
    // line and writing past the piece: each line lives in an allocation of
    // exactly its size (so a read past it is caught under AddressSanitizer),
    // and every earlier cell must survive the rows that follow, through the
    // arena's growth and after clear().
    std::mt19937 rng(11);
    const std::size_t columns = 5;
    sarn::container::TextBatch batch(columns);
    for (int round = 0; round < 2; ++round) {
        std::vector<sarn::container::Row> expected;
        for (int r = 0; r < 400; ++r) {
            std::string text;
            const std::size_t pieces = 1 + rng() % 7;  // fewer or more pieces than columns
            for (std::size_t p = 0; p < pieces; ++p) {
                if (p) text += ',';
                const std::size_t len = rng() % 3 == 0 ? rng() % 40 : rng() % 18;
                for (std::size_t k = 0; k < len; ++k) text += static_cast<char>('a' + rng() % 26);
                if (rng() % 6 == 0) text = " " + text + " ";
            }
            std::unique_ptr<char[]> exact(new char[text.size()]);
            std::copy(text.begin(), text.end(), exact.get());
            const std::string_view line(exact.get(), text.size());
            ASSERT_NE(sarn::pipeline::append_row(batch, line, columns), sarn::pipeline::Appended::TooLong);
            expected.push_back(sarn::pipeline::parse_row(text, columns));
        }
        ASSERT_EQ(batch.row_count(), expected.size());
        for (std::size_t r = 0; r < expected.size(); ++r) {
            for (std::size_t c = 0; c < columns; ++c) {
                ASSERT_EQ(batch.cell(r, c), expected[r][c].text()) << round << " " << r << " " << c;
            }
        }
        batch.clear();
    }
}

}  // namespace

namespace {

TEST(AppendRow, LinesAroundThe64KiBIndexLimit) {
    // Rows of up to 65,535 bytes take the 16-bit fast path; a longer line
    // widens the index, after which every row takes the general path.  The
    // cells read back the same throughout, and a line's last pieces (with
    // nothing readable after them) keep every length from 0 to 20.
    const std::size_t columns = 3;
    sarn::container::TextBatch batch(columns);
    std::vector<std::string> lines;
    for (std::size_t n = 0; n <= 20; ++n) lines.push_back("p," + std::string(n, 'a') + "," + std::string(20 - n, 'b'));
    lines.push_back(std::string(65533, 'x') + ",y");  // 65,535 bytes: still narrow
    lines.push_back("tail,," + std::string(65530, 'z'));  // 65,536 bytes: widens
    for (std::size_t n = 0; n <= 20; ++n) lines.push_back(std::string(n, 'c') + ",d");
    std::vector<sarn::container::Row> expected;
    for (const std::string& text : lines) {
        std::unique_ptr<char[]> exact(new char[text.size()]);
        std::copy(text.begin(), text.end(), exact.get());
        ASSERT_NE(sarn::pipeline::append_row(batch, std::string_view(exact.get(), text.size()), columns),
                  sarn::pipeline::Appended::TooLong);
        expected.push_back(sarn::pipeline::parse_row(text, columns));
    }
    for (std::size_t r = 0; r < expected.size(); ++r)
        for (std::size_t c = 0; c < columns; ++c) ASSERT_EQ(batch.cell(r, c), expected[r][c].text()) << r << " " << c;
}

}  // namespace
