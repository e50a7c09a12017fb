// The one line source and the row reader over it: lines with their offsets
// and numbers at every buffer size, the UTF-8 check and the place it names,
// lines across the 1 MiB read buffer, read failures, byte ranges read with
// positioned reads, and a stop request while a pipe is silent.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <stop_token>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/file_io.hpp"
#include "pipeline/csv_dialect.hpp"
#include "pipeline/line_source.hpp"
#include "pipeline/row_reader.hpp"

namespace {

using sarn::pipeline::InputFault;
using sarn::pipeline::LineSource;
using sarn::pipeline::Wording;

// An unlinked temporary file holding `bytes`, positioned at its start.
sarn::common::FileHandle file_with(const std::string& bytes) {
    char name[] = "/tmp/line_source_testXXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    ::unlink(name);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::lseek(fd, 0, SEEK_SET);
    return sarn::common::FileHandle(fd);
}

struct Line {
    std::string text;
    std::uint64_t offset;
    std::uint64_t number;
    std::string terminator = "\n";
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& l, std::ostream* os) {
    *os << "{\"" << l.text << "\", " << l.offset << ", " << l.number << ", " << l.terminator.size() << "}";
}

struct Read {
    std::vector<Line> lines;
    std::string error;  // empty when the input ended normally
    std::uint64_t position = 0;
};

Read read_all(LineSource& source) {
    Read out;
    std::string_view line;
    while (source.next(line)) {
        out.lines.push_back(
            {std::string(line), source.line_offset(), source.line_number(), std::string(source.terminator())});
    }
    if (source.failed()) out.error = source.error().message;
    out.position = source.position();
    return out;
}

Read read_all(const std::string& bytes, std::size_t capacity, Wording wording = Wording::Named) {
    auto file = file_with(bytes);
    LineSource source = LineSource::sequential(file.fd(), "in.csv", wording, {}, false, capacity);
    return read_all(source);
}

TEST(LineSource, CutsLinesWithTheirPlaceAtEveryBufferSize) {
    struct Case {
        std::string bytes;
        std::vector<Line> lines;
    };
    const std::string long_a(100, 'z'), long_b(37, 'q');
    const Case cases[] = {
        {"a,b\r\n1,2\r\n", {{"a,b", 0, 1, "\r\n"}, {"1,2", 5, 2, "\r\n"}}},
        {"a,b\n1,2", {{"a,b", 0, 1}, {"1,2", 4, 2, ""}}},  // last line without terminator
        {"x\ry\n", {{"x\ry", 0, 1}}},  // bare CR inside a line
        {"a\r", {{"a\r", 0, 1, ""}}},  // CR at the end of the input stays
        {"a\r\r\n", {{"a\r", 0, 1, "\r\n"}}},  // only one CR goes with the LF
        {"\n\n", {{"", 0, 1}, {"", 1, 2}}},
        {"", {}},
        {"\xEF\xBB\xBFh\n", {{"\xEF\xBB\xBFh", 0, 1}}},  // byte order mark kept
        {"\xC3\xA9t\xC3\xA9\nno\xE2\x82\xAC", {{"\xC3\xA9t\xC3\xA9", 0, 1}, {"no\xE2\x82\xAC", 6, 2, ""}}},
        {long_a + "\n" + long_b, {{long_a, 0, 1}, {long_b, 101, 2, ""}}},
    };
    for (const Case& c : cases) {
        for (std::size_t capacity : {1, 2, 3, 7, 64, 1 << 20}) {
            SCOPED_TRACE(testing::Message() << c.bytes << " capacity " << capacity);
            Read got = read_all(c.bytes, capacity);
            EXPECT_EQ(got.error, "");
            EXPECT_EQ(got.lines, c.lines);
            EXPECT_EQ(got.position, c.bytes.size());
        }
    }
}

TEST(LineSource, NamesTheLineAndByteOfInvalidUtf8) {
    struct Case {
        std::string bytes;
        std::size_t good_lines;
        std::uint64_t line, offset;
    };
    const Case cases[] = {
        {"ok\nmoir\xE9 effect\nlater\n", 1, 2, 7},
        {"a\n\xE2\x82", 1, 2, 2},  // a sequence cut off by the end of the input
        {"h\n1\n22\r\n33\xE2\x82x\n", 3, 4, 10},  // the sequence's first byte is named
        {"\xFF,a\nb\n", 0, 1, 0},  // in the header
    };
    for (const Case& c : cases) {
        for (std::size_t capacity : {1, 5, 4096}) {
            SCOPED_TRACE(testing::Message() << c.bytes << " capacity " << capacity);
            Read named = read_all(c.bytes, capacity, Wording::Named);
            EXPECT_EQ(named.lines.size(), c.good_lines);
            EXPECT_EQ(named.error, "in.csv: line " + std::to_string(c.line) + " is not valid UTF-8 (byte offset " +
                                       std::to_string(c.offset) + ")");
            // The module's frozen text says neither.
            Read module = read_all(c.bytes, capacity, Wording::Module);
            EXPECT_EQ(module.lines.size(), c.good_lines);
            EXPECT_EQ(module.error, "stream did not contain valid UTF-8");
        }
    }

    auto file = file_with("ok\nx\xC3(\n");
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named);
    (void)read_all(source);
    ASSERT_TRUE(source.failed());
    EXPECT_EQ(source.error().kind, sarn::common::ErrorKind::Input);
    EXPECT_EQ(source.error().path, "in.csv");
    EXPECT_EQ(source.fault().fault, InputFault::InvalidUtf8);
    EXPECT_EQ(source.fault().line, 2u);
    EXPECT_EQ(source.fault().offset, 4u);
    std::string_view line;
    EXPECT_FALSE(source.next(line));  // a failed source stays failed
}

// The whole-buffer ASCII shortcut must not hide a bad byte in a later
// buffer of a long line, nor refuse a character cut by a buffer's end.
TEST(LineSource, LinesAcrossTheOneMebibyteBuffer) {
    const std::size_t MiB = sarn::pipeline::READ_BUFFER_SIZE;
    const auto bad_at = [](std::size_t offset) {
        return "in.csv: line 2 is not valid UTF-8 (byte offset " + std::to_string(offset) + ")";
    };
    struct Case {
        std::string tail;  // what follows the first buffer, whose last bytes are `end_of_first`
        std::string end_of_first;
        std::string error;
    };
    const Case cases[] = {
        {"b\xFF" + std::string(100, 'c'), "a", bad_at(MiB + 1)},
        {"\xA9" + std::string(50, 'd'), "a\xC3", ""},
        {"(" + std::string(50, 'd'), "a\xC3", bad_at(MiB - 1)},
        {"\nnext\n", std::string("a"), ""},  // a line feed as the first byte of the second buffer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const std::string head = "h\n" + std::string(MiB - 2 - c.end_of_first.size(), 'a') + c.end_of_first;
        ASSERT_EQ(head.size(), MiB);
        const std::string bytes = head + c.tail + "\nok\n";
        Read got = read_all(bytes, MiB);
        EXPECT_EQ(got.error, c.error);
        if (!c.error.empty()) continue;
        ASSERT_GE(got.lines.size(), 3u);
        EXPECT_EQ(got.lines[1].offset, 2u);
        const std::size_t lf = c.tail.find('\n');
        EXPECT_EQ(got.lines[1].text.size(), MiB - 2 + (lf == std::string::npos ? c.tail.size() : lf));
        EXPECT_EQ(got.lines.back(), (Line{"ok", bytes.size() - 3, got.lines.size()}));
    }

    // A line of 2.5 buffers, then short ones.
    const std::string huge(MiB * 5 / 2, 'x');
    Read got = read_all("h\n" + huge + "\r\nz\n", MiB);
    ASSERT_EQ(got.lines.size(), 3u);
    EXPECT_EQ(got.lines[1], (Line{huge, 2, 2, "\r\n"}));
    EXPECT_EQ(got.lines[2], (Line{"z", 2 + huge.size() + 2, 3}));
}

TEST(LineSource, AReadFailureKeepsItsErrnoAndNamesTheFile) {
    // A folder opens for reading but cannot be read.
    for (Wording wording : {Wording::Module, Wording::Named}) {
        auto dir = sarn::common::open_for_reading("/tmp");
        ASSERT_TRUE(dir.ok());
        LineSource source = LineSource::sequential(dir->fd(), "/tmp", wording);
        std::string_view line;
        EXPECT_FALSE(source.next(line));
        ASSERT_TRUE(source.failed());
        EXPECT_EQ(source.error().errnum, EISDIR);
        EXPECT_EQ(source.error().path, "/tmp");
        EXPECT_EQ(source.error().message, wording == Wording::Module
                                              ? "Is a directory (os error 21)"
                                              : "Cannot read /tmp: Is a directory (os error 21)");
    }
}

// The lines that start in [begin, end), as a range scan reads them: from
// the byte before `begin`, through the line feed that ends the line in
// progress there.  Several sources share one descriptor.
TEST(LineSource, PositionedReadsGiveTheLinesOfARange) {
    const std::string bytes = "h\nab\ncd\r\n\nef\ngh";
    auto file = file_with(bytes);
    struct Case {
        std::uint64_t begin, end;
        std::vector<Line> lines;  // numbered from the range's first line
    };
    const Case cases[] = {
        {0, 3, {{"h", 0, 1}, {"ab", 2, 2}}},
        {2, 5, {{"ab", 2, 1}}},  // begins right after a line feed
        {3, 12, {{"cd", 5, 1, "\r\n"}, {"", 9, 2}, {"ef", 10, 3}}},  // begins inside "ab"
        {13, 15, {{"gh", 13, 1, ""}}},  // the last line, without a line feed
        {14, 15, {}},  // inside the last line: no line starts here
    };
    for (const Case& c : cases) {
        for (std::size_t capacity : {1, 4, 4096}) {
            SCOPED_TRACE(testing::Message() << c.begin << ".." << c.end << " capacity " << capacity);
            LineSource source =
                LineSource::positioned(file.fd(), "in.csv", Wording::Named, c.begin > 0 ? c.begin - 1 : 0, capacity);
            if (c.begin > 0 && !source.skip_through_line_feed()) {
                EXPECT_TRUE(c.lines.empty());
                EXPECT_FALSE(source.failed());
                continue;
            }
            source.stop_at(c.end);
            Read got = read_all(source);
            EXPECT_EQ(got.error, "");
            EXPECT_EQ(got.lines, c.lines);
        }
    }
    // Positioned reads leave the descriptor's own offset alone.
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR), 0);
}

// A file that shrinks or grows while it is read: the source fails with
// what happened instead of handing out a torn last line, or lines the file
// did not hold when it was opened.  Only reads tell: a file that changes
// back to its length before the source reads on is read as it is.
TEST(LineSource, AFileThatChangesLengthWhileReadFails) {
    const std::string bytes = "id,name\n1,aaaaa\n2,bbbbb\n3,ccccc\n";  // 32 bytes, lines of 8
    struct Case {
        const char* what;
        std::uint64_t resize_to;  // 0: append instead
        std::vector<std::string> lines;  // read before the source fails
        std::string error;
    };
    const Case cases[] = {
        // The torn line "2,b" is never handed out.
        {"shrinks mid-line",
         19,
         {"id,name", "1,aaaaa"},
         "in.csv changed while it was compressed: it ended after 19 bytes, before the 32 it had when opened"},
        {"shrinks at a line end",
         24,
         {"id,name", "1,aaaaa", "2,bbbbb"},
         "in.csv changed while it was compressed: it ended after 24 bytes, before the 32 it had when opened"},
        {"grows",
         0,
         {"id,name", "1,aaaaa", "2,bbbbb", "3,ccccc"},
         "in.csv changed while it was compressed: it grew past the 32 bytes it had when opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = file_with(bytes);
        // An 8-byte buffer: the first read holds the first line only.
        LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named, {}, false, 8);
        source.expect_end(bytes.size());
        std::string_view line;
        ASSERT_TRUE(source.next(line));
        if (c.resize_to != 0) {
            ASSERT_EQ(::ftruncate(file.fd(), static_cast<off_t>(c.resize_to)), 0);
        } else {
            ASSERT_EQ(::pwrite(file.fd(), "4,ddddd\n", 8, static_cast<off_t>(bytes.size())), 8);
        }
        std::vector<std::string> got{std::string(line)};
        while (source.next(line)) got.emplace_back(line);
        ASSERT_TRUE(source.failed());
        EXPECT_EQ(source.error().kind, sarn::common::ErrorKind::Io);
        EXPECT_EQ(source.error().message, c.error);
        EXPECT_EQ(source.error().path, "in.csv");
        EXPECT_EQ(got, c.lines);
    }
    // The length it had: read to its end as ever.
    auto file = file_with(bytes);
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named, {}, false, 8);
    source.expect_end(bytes.size());
    EXPECT_EQ(read_all(source).lines.size(), 4u);
    EXPECT_FALSE(source.failed());
}

TEST(LineSource, AStopRequestEndsTheWaitOnASilentPipe) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::write(ends[1], "a,b\n", 4), 4);  // one line, then silence
    std::stop_source stop;
    LineSource source = LineSource::sequential(ends[0], "pipe", Wording::Named, stop.get_token(), true);
    std::string_view line;
    ASSERT_TRUE(source.next(line));
    EXPECT_EQ(line, "a,b");
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(source.next(line));
    const auto waited = std::chrono::steady_clock::now() - started;
    stopper.join();
    ASSERT_TRUE(source.failed());
    EXPECT_EQ(source.error().kind, sarn::common::ErrorKind::Cancelled);
    EXPECT_LT(waited, std::chrono::seconds(2));
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(RowReader, HeaderRowsAndTheLinesTheyCameFrom) {
    auto file = file_with("a, b\n\n1,2\n  \t\r\n3\n4,5,6\n");
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named, {}, false, 3);
    sarn::pipeline::RowReader rows(source);
    auto names = rows.read_header();
    ASSERT_TRUE(names.ok());
    ASSERT_TRUE(names->has_value());
    EXPECT_EQ(**names, (std::vector<std::string>{"a", "b"}));

    sarn::container::TextBatch batch(2);
    int ticks = 0;
    const auto tick = [&] {
        ++ticks;
        return sarn::common::Result<void>();
    };
    auto got = rows.fill(batch, 2, 2, tick);  // blank lines 2 and 4 are no rows
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, 2u);
    EXPECT_EQ(rows.row_line(), 5u);
    EXPECT_EQ(rows.row_offset(), 15u);
    EXPECT_EQ(batch.cell(1, 0), "3");
    EXPECT_EQ(batch.cell(1, 1), "");

    auto skipped = rows.skip_row();
    ASSERT_TRUE(skipped.ok());
    EXPECT_TRUE(*skipped);
    EXPECT_EQ(rows.row_line(), 6u);
    got = rows.fill(batch, 2, 10, tick);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, 0u);  // the end of the input
    EXPECT_EQ(ticks, 0);  // fewer lines than a tick's worth

    auto empty = file_with("");
    LineSource none = LineSource::sequential(empty.fd(), "empty.csv", Wording::Named);
    sarn::pipeline::RowReader no_rows(none);
    auto header = no_rows.read_header();
    ASSERT_TRUE(header.ok());
    EXPECT_FALSE(header->has_value());
}

TEST(RowReader, ATickErrorEndsTheFill) {
    std::string bytes = "h\n";
    for (int i = 0; i < 5000; ++i) bytes += std::to_string(i) + "\n";
    auto file = file_with(bytes);
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named);
    sarn::pipeline::RowReader rows(source);
    ASSERT_TRUE(rows.read_header().ok());
    sarn::container::TextBatch batch(1);
    int ticks = 0;
    auto got = rows.fill(batch, 1, 100000, [&]() -> sarn::common::Result<void> {
        if (++ticks == 2) return sarn::common::Error::cancelled("stop");
        return {};
    });
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, sarn::common::ErrorKind::Cancelled);
    EXPECT_EQ(source.line_number(), 2 * sarn::pipeline::TICK_LINES);
}

namespace dialect_reading {

using sarn::pipeline::CsvDialect;
using sarn::pipeline::RowReader;
using Rows = std::vector<std::vector<std::string>>;

struct Table {
    std::vector<std::string> names;
    Rows rows;
    std::vector<std::uint64_t> lines;  // each row's first line
    std::string error;
    InputFault fault = InputFault::None;
    std::uint64_t fault_line = 0, fault_offset = 0;
};

// Everything a row reader makes of `bytes`, read through a buffer of
// `capacity` bytes, two rows per fill.
Table read_table(const std::string& bytes, std::size_t capacity, const CsvDialect& dialect, std::size_t columns = 0) {
    auto file = file_with(bytes);
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named, {}, false, capacity);
    RowReader reader(source, dialect);
    Table t;
    auto names = reader.read_header();
    if (!names.ok()) {
        t.error = names.error().message;
        t.fault = source.fault().fault;
        return t;
    }
    t.names = **names;
    const std::size_t width = columns ? columns : t.names.size();
    for (;;) {
        sarn::container::TextBatch batch(width);
        auto got = reader.fill(batch, width, 2, [] { return sarn::common::Result<void>(); });
        for (std::size_t r = 0; r < batch.row_count(); ++r) {
            std::vector<std::string> row;
            for (std::size_t c = 0; c < width; ++c) row.emplace_back(batch.cell(r, c));
            t.rows.push_back(std::move(row));
        }
        if (!got.ok()) {
            t.error = got.error().message;
            t.fault = source.fault().fault;
            t.fault_line = source.fault().line;
            t.fault_offset = source.fault().offset;
            return t;
        }
        if (*got == 2) t.lines.push_back(reader.row_line());
        if (*got < 2) return t;
    }
}

TEST(RowReaderDialect, QuotedRecordsWhateverTheBuffer) {
    // Quotes in some read buffers only, records that cross buffers, line
    // breaks inside quoted fields and a byte order mark.
    const std::string bytes =
        "\xEF\xBB\xBF\"id\",\"na,me\"\r\n"
        "1,plain\n"
        "\n"
        "2,\"a, b\"\n"
        "3,\"two\nlines, \"\"q\"\"\"\r\n"
        "4,  \"padded\"  \n"
        "5,ab\"c\n"
        "6,\"crlf\r\n\r\ninside\"\n"
        "7,\"\"\n"
        "8,last without LF";
    const Rows expected = {{"1", "plain"},  {"2", "a, b"},           {"3", "two\nlines, \"q\""},
                           {"4", "padded"}, {"5", "ab\"c"},          {"6", "crlf\r\n\r\ninside"},
                           {"7", ""},       {"8", "last without LF"}};
    for (std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{8},
                                 std::size_t{13}, std::size_t{64}, sarn::pipeline::READ_BUFFER_SIZE}) {
        SCOPED_TRACE(capacity);
        const Table t = read_table(bytes, capacity, CsvDialect{});
        EXPECT_EQ(t.error, "");
        EXPECT_EQ(t.names, (std::vector<std::string>{"id", "na,me"}));
        EXPECT_EQ(t.rows, expected);
        // The first line of every second row: rows 2, 4, 6 and 8 start on
        // lines 4, 7, 9 and 13 (row 3 takes lines 5-6, row 6 lines 9-11).
        EXPECT_EQ(t.lines, (std::vector<std::uint64_t>{4, 7, 9, 13}));
    }
    // The module's dialect on the same bytes: quotes are text, every comma
    // cuts, the byte order mark stays.
    const Table module = read_table(bytes, 7, CsvDialect::module());
    EXPECT_EQ(module.names, (std::vector<std::string>{"\xEF\xBB\xBF\"id\"", "\"na", "me\""}));
    EXPECT_EQ(module.rows[2], (std::vector<std::string>{"3", "\"two", ""}));
}

TEST(RowReaderDialect, FaultsAndWhereTheyAre) {
    struct Case {
        const char* bytes;
        CsvDialect dialect;
        InputFault fault;
        std::uint64_t line, offset;
        const char* says;
    };
    CsvDialect drop;
    drop.extra_fields = sarn::pipeline::ExtraFields::Drop;
    const Case cases[] = {
        {"a,b\n1,\"open\n2\n", {}, InputFault::Unterminated, 2, 6, "in.csv: line 2: a quoted field is never closed"},
        {"a,b\n1,\"x\" y\n", {}, InputFault::TextAfterQuote, 2, 10, "text after the closing quote"},
        {"a,b\n1,2\n\n3,4,5,6\n", {}, InputFault::ExtraFields, 4, 13, "4 fields where the header has 2"},
        {"a,b\n\"1\n\",2,\"3\"\n", {}, InputFault::ExtraFields, 2, 11, "3 fields where the header has 2"},
        {"a\tb\n1\t2\t\n",
         {'\t', '"', sarn::pipeline::ExtraFields::Error, true},
         InputFault::ExtraFields,
         2,
         8,
         "3 fields"},
        {"a,\"b\n", {}, InputFault::Unterminated, 1, 2, "line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        for (std::size_t capacity : {std::size_t{1}, std::size_t{4}, sarn::pipeline::READ_BUFFER_SIZE}) {
            const Table t = read_table(c.bytes, capacity, c.dialect);
            EXPECT_EQ(t.fault, c.fault);
            if (c.line > 1) {
                EXPECT_EQ(t.fault_line, c.line);
                EXPECT_EQ(t.fault_offset, c.offset);
            }
            EXPECT_NE(t.error.find(c.says), std::string::npos) << t.error;
        }
    }
    // Dropped instead, the wide rows read.
    const Table dropped = read_table("a,b\n1,2,3\n", 4, drop);
    EXPECT_EQ(dropped.error, "");
    EXPECT_EQ(dropped.rows, (Rows{{"1", "2"}}));
}

TEST(RowReaderDialect, RequiredIntegersAreChecked) {
    auto file = file_with("n,t\n1,a\n\"-2\",b\n007,c\n");
    LineSource source = LineSource::sequential(file.fd(), "in.csv", Wording::Named, {}, false, 5);
    RowReader reader(source, CsvDialect{});
    ASSERT_TRUE(reader.read_header().ok());
    reader.require_integers({0}, {"n", "t"});
    sarn::container::TextBatch batch(2);
    auto got = reader.fill(batch, 2, 10, [] { return sarn::common::Result<void>(); });
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, sarn::common::ErrorKind::Input);
    EXPECT_EQ(got.error().message,
              "in.csv: line 4: column 'n' is int64, and '007' is not an integer (an int64 cell is "
              "0, or an optional '-' and digits that do not start with 0, within the signed "
              "64-bit range)");
    EXPECT_EQ(source.fault().fault, InputFault::NotInteger);
    EXPECT_EQ(batch.cell(1, 0), "-2");
}

}  // namespace dialect_reading

}  // namespace
