// Compressing a CSV file in pieces: range scans that add up to the one-pass
// reading whatever the cut (also inside quoted fields that hold line
// breaks, just after a quote, between the two quotes of "", between CR and
// LF), chunk runs and assembly that give the bytes of the one-pass driver,
// inferred and named integer columns, and the first fault of the file
// worded as the one-pass driver words it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/utf8.hpp"
#include "container/types.hpp"
#include "test_folder.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/csv_ranges.hpp"
#include "pipeline/range_scan.hpp"

namespace {

namespace fs = std::filesystem;
namespace pl = sarn::pipeline;
using pl::CHUNK_SIZE;

// Two containers (or error texts) are equal; else where they part.
::testing::AssertionResult same(const std::string& got, const std::string& expected) {
    if (got == expected) return ::testing::AssertionSuccess();
    if (got.rfind("error: ", 0) == 0 || expected.rfind("error: ", 0) == 0 || got.size() < 64 || expected.size() < 64) {
        return ::testing::AssertionFailure()
               << "got '" << got.substr(0, 400) << "', expected '" << expected.substr(0, 400) << "'";
    }
    const auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure() << "containers of " << got.size() << " and " << expected.size()
                                         << " bytes differ from offset " << (at.first - got.begin());
}

pl::WriteChoices everyday(pl::TypesMode mode = pl::TypesMode::Text) {
    pl::WriteChoices c;
    c.dialect = pl::CsvDialect{};
    c.types.mode = mode;
    return c;
}

class CsvRanges : public FolderTest {
protected:
    static std::string masked(std::string bytes) {
        std::fill(bytes.begin() + 24, bytes.begin() + 32, '\0');  // created_at
        return bytes;
    }

    // The container of the one-pass driver (creation time zeroed), or its
    // error text prefixed with "error: ".
    std::string one_pass(const std::string& csv, const pl::WriteChoices& choices, unsigned threads = 1) const {
        const int devnull = ::open("/dev/null", O_WRONLY);
        pl::CompressOptions o;
        o.progress_fd = devnull;
        o.wording = pl::Wording::Named;
        o.choices = choices;
        o.threads = threads;
        const std::string out = path("one.sarn");
        auto r = pl::compress_csv(csv, out, o);
        ::close(devnull);
        if (!r) return "error: " + r.error().message;
        return masked(read(out));
    }

    // The same made the way sarnio.dask makes it: the header, ranges of
    // `blocksize` bytes scanned on their own, combined, runs of
    // `chunks_per_run` chunks encoded from their checkpoints, assembled.
    std::string in_ranges(const std::string& csv, std::uint64_t blocksize, const pl::WriteChoices& choices,
                          std::uint64_t chunks_per_run = 1) const {
        auto header = pl::read_csv_header(csv, choices.dialect);
        if (!header) return "error: " + header.error().message;
        const std::vector<std::string>& names = header->names;
        pl::ScanRequest request;
        request.dialect = choices.dialect;
        request.columns = names.size();
        std::vector<std::uint8_t> types(names.size(), sarn::container::TYPE_TEXT);
        if (choices.types.mode == pl::TypesMode::Infer) {
            request.checks.assign(names.size(), pl::IntegerCheck::Infer);
        } else {
            auto resolved = pl::resolve_types(choices.types, names);
            if (!resolved) return "error: " + resolved.error().message;
            types = *resolved;
            request.checks.assign(names.size(), pl::IntegerCheck::None);
            for (std::size_t c : pl::integer_columns(types)) request.checks[c] = pl::IntegerCheck::Require;
        }
        const std::uint64_t size = fs::file_size(csv);
        std::vector<pl::RangeScan> scans;
        for (std::uint64_t b = header->data_start; b < size || scans.empty(); b += blocksize) {
            pl::ScanRequest r = request;
            r.at_record_start = scans.empty();
            auto s = pl::scan_range(csv, b, std::min(b + blocksize, size), r);
            if (!s) return "error: " + s.error().message;
            // Every scan crosses to another process as bytes.
            auto back = pl::scan_from_bytes(pl::scan_bytes(*s));
            if (!back) return "error: " + back.error().message;
            scans.push_back(std::move(*back));
        }
        auto plan = pl::combine_scans(scans, csv, names, header->lines);
        if (!plan) return "error: " + plan.error().message;
        if (choices.types.mode == pl::TypesMode::Infer) types = pl::inferred_types(plan->not_integer, plan->records);
        std::vector<std::string> spills;
        for (const pl::RunStart& run : pl::plan_chunk_runs(*plan, chunks_per_run)) {
            spills.push_back(path("run" + std::to_string(spills.size())));
            auto done = pl::encode_chunk_run(csv, names, types, run, fs::file_size(csv), spills.back(),
                                             path("out.sarn"), choices);
            if (!done) return "error: " + done.error().message;
            EXPECT_EQ(done->rows, run.rows);
        }
        auto assembled = pl::assemble_container(path("out.sarn"), "", names, types, spills, path("out.sarn"), choices);
        if (!assembled) return "error: " + assembled.error().message;
        EXPECT_EQ(assembled->rows, plan->records);
        return masked(read(path("out.sarn")));
    }
};

// About 140,000 data lines (three chunks) with blank lines, CR LF, lone CRs,
// multi-byte text and two lines longer than the 1 MiB read window.
std::string mixed_csv() {
    std::string s = "\xEF\xBB\xBFid, name ,t\r\n";
    for (int i = 0; i < 140000; ++i) {
        if (i % 89 == 3) s += (i % 2) ? "  \t\r\n" : "\xE3\x80\x80\n";
        if (i == 70000) s += std::string(1500000, 'y') + ",\xC3\xA9" + std::string(900000, 'z') + "\n";
        if (i == 100) s += "a\rb,c\n";
        s += std::to_string(i) + ",n\xC3\xA4me " + std::to_string(i % 17) + ",\xF0\x9F\x98\x80" +
             (i % 4 == 0 ? "\r\n" : "\n");
    }
    s += std::string(2 * 1024 * 1024 + 5, 'q') + "\r";  // the last line, no line feed, keeps its CR
    return s;
}

// Records whose second field is quoted in every way the dialect allows:
// delimiters, doubled quotes, LF and CR LF inside, white space around the
// quotes, an empty quoted field, a quote inside an unquoted field, blank
// lines inside a field and between records.  The first column holds
// canonical integers, the third integers but for one late "007".
std::string quoted_csv(int records, unsigned seed, bool late_text) {
    std::mt19937 rng(seed);
    std::string s = "\"id\",note,n,\"fl\"\"ag\"\r\n";
    const char* notes[] = {
        "plain",
        "\"a, b\"",
        "\"say \"\"hi\"\"\"",
        "\"two\nlines\"",
        "\"crlf\r\ninside, too\"",
        "  \"padded\"  ",
        "\"\"",
        "ab\"c",
        "\"blank\n\n\nlines\"",
        "\"\"\"\"",
        "\"ends \"\"\n\"\"x\"",
        "\"\xC3\xA9t\xC3\xA9\r\n\"",
    };
    for (int i = 0; i < records; ++i) {
        if (rng() % 13 == 0) s += (rng() % 2) ? "\n" : " \t\r\n";
        s += std::to_string(static_cast<int>(rng() % 2000) - 1000) + ",";
        s += notes[rng() % (sizeof notes / sizeof notes[0])];
        s += "," + (late_text && i == records - 3 ? std::string("007") : std::to_string(i * 7));
        s += (rng() % 3 == 0) ? ",\"x\"" : ",y";
        s += (rng() % 4 == 0) ? "\r\n" : "\n";
    }
    return s;
}

TEST_F(CsvRanges, AnyCutGivesTheDriversContainer) {
    const std::string csv = write("in.csv", mixed_csv());
    const pl::WriteChoices module;  // the module's dialect: every input as the module reads it
    const std::string expected = one_pass(csv, module);
    ASSERT_NE(expected.rfind("error: ", 0), 0u) << expected;
    for (std::uint64_t blocksize :
         {std::uint64_t{7777}, std::uint64_t{300001}, std::uint64_t{1} << 20, std::uint64_t{1} << 30}) {
        SCOPED_TRACE(blocksize);
        EXPECT_TRUE(same(in_ranges(csv, blocksize, module), expected));
    }
}

TEST_F(CsvRanges, QuotedFieldsCutAtEveryByte) {
    // Small enough to cut at every byte: every block size up to the file's
    // length puts range edges everywhere, inside quoted fields, between the
    // quotes of "", just after a quote and between CR and LF.
    const std::string csv = write("q.csv", quoted_csv(40, 7, false));
    for (const pl::TypesMode mode : {pl::TypesMode::Text, pl::TypesMode::Infer}) {
        const std::string expected = one_pass(csv, everyday(mode));
        ASSERT_NE(expected.rfind("error: ", 0), 0u) << expected;
        const std::uint64_t size = fs::file_size(csv);
        for (std::uint64_t blocksize = 1; blocksize <= size; blocksize += blocksize < 64 ? 1 : 37) {
            SCOPED_TRACE(blocksize);
            ASSERT_TRUE(same(in_ranges(csv, blocksize, everyday(mode)), expected));
        }
    }
}

TEST_F(CsvRanges, QuotedFieldsOverManyChunks) {
    // Three chunks: runs start at checkpoints of ranges whose start state
    // was picked from the range before, also after the two trackers met.
    const std::string csv = write("q.csv", quoted_csv(150000, 11, true));
    for (const pl::TypesMode mode : {pl::TypesMode::Text, pl::TypesMode::Infer}) {
        const std::string expected = one_pass(csv, everyday(mode), 3);
        ASSERT_NE(expected.rfind("error: ", 0), 0u) << expected;
        EXPECT_TRUE(same(one_pass(csv, everyday(mode), 1), expected));
        for (std::uint64_t blocksize : {std::uint64_t{4099}, std::uint64_t{1} << 20}) {
            SCOPED_TRACE(blocksize);
            EXPECT_TRUE(same(in_ranges(csv, blocksize, everyday(mode), 1), expected));
            EXPECT_TRUE(same(in_ranges(csv, blocksize, everyday(mode), 2), expected));
        }
    }
    // "id" qualifies; n does not, for one late "007"; the rest is text.
    const std::string infer = one_pass(csv, everyday(pl::TypesMode::Infer));
    const int fd = ::open(csv.c_str(), O_RDONLY);
    auto header = pl::read_csv_header(csv, pl::CsvDialect{});
    ASSERT_TRUE(header.ok());
    EXPECT_EQ(header->names, (std::vector<std::string>{"id", "note", "n", "fl\"ag"}));
    for (const std::uint64_t min_range : {std::uint64_t{1}, std::uint64_t{50000}, pl::MIN_INFER_RANGE}) {
        auto types = pl::infer_column_types(fd, csv, header->data_start, fs::file_size(csv), header->lines,
                                            header->names, pl::CsvDialect{}, 4, {}, min_range);
        ASSERT_TRUE(types.ok()) << types.error().message;
        EXPECT_EQ(*types, (std::vector<std::uint8_t>{1, 4, 4, 4}));
    }
    ::close(fd);
}

TEST_F(CsvRanges, FirstFaultOfTheFileWhateverTheCut) {
    // Each file has two faults; the first in the file is reported, with
    // its record's first line, as the one-pass driver reports it.
    const std::string body = quoted_csv(30, 3, false);
    struct Case {
        const char* name;
        std::string tail;
        pl::WriteChoices choices;
        const char* says;
    };
    pl::WriteChoices named = everyday(pl::TypesMode::Named);
    named.types.named = {{"n", sarn::container::TYPE_INT}};
    const Case cases[] = {
        {"unterminated", "1,\"open\nstill, open\n2,x,3,y\n", everyday(), "a quoted field is never closed"},
        {"unterminated later", "1,\"a\n\n\",\"open\nstill, open\n2,x,3,y\n", everyday(),
         "never closed (it opens on line"},
        {"after quote", "1,\"q\" x,3,y\n1,\"q\" x,3,y\n", everyday(), "text after the closing quote"},
        {"extra", "1,2,3,4,5\n1,2,3,4,5,6\n", everyday(), "5 fields where the header has 4"},
        {"extra quoted", "1,\"a\nb\",3,4,\"5\"\n1,2,3,4,5\n", everyday(), "5 fields where the header has 4"},
        {"not integer", "1,x,1.5,y\n1,x,+2,y\n", named, "'1.5' is not an integer"},
        {"not integer in a quote", "1,\"x\ny\",\"12\",y\n2,x,\"3 \",y\n", named, "'3 ' is not an integer"},
        {"not utf-8", "1,\"x\n\xFF\",3,y\n1,\xFE,3,y\n", everyday(), "is not valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string csv = write("f.csv", body + c.tail);
        const std::string expected = one_pass(csv, c.choices);
        ASSERT_EQ(expected.rfind("error: ", 0), 0u) << c.name;
        EXPECT_NE(expected.find(c.says), std::string::npos) << expected;
        EXPECT_NE(expected.find("line "), std::string::npos) << expected;
        const std::uint64_t size = fs::file_size(csv);
        for (std::uint64_t blocksize = 3; blocksize <= size; blocksize += 11) {
            SCOPED_TRACE(blocksize);
            ASSERT_TRUE(same(in_ranges(csv, blocksize, c.choices), expected));
        }
    }
}

TEST_F(CsvRanges, ScanTellsBothStartStates) {
    // The second record, [a, "x LF", b"c], has a line break in a quoted
    // field.  A range that starts on its second line, [",b"c], reads the
    // end of that record when it supposes the field is open, and text after
    // a closing quote when it supposes a record starts there.
    const std::string csv = write("s.csv", "h1,h2,h3\na,\"x\n\",b\"c\nd,e\n");
    pl::ScanRequest request;
    request.dialect = pl::CsvDialect{};
    request.columns = 3;
    auto scan = pl::scan_range(csv, 14, 24, request);
    ASSERT_TRUE(scan.ok());
    EXPECT_EQ(scan->first_line, 14u);
    EXPECT_EQ(scan->lines, 2u);
    ASSERT_FALSE(scan->from_inside.fault.has_value());
    EXPECT_EQ(scan->from_inside.records, 1u);  // d,e
    ASSERT_EQ(scan->from_inside.checkpoints.size(), 1u);
    EXPECT_EQ(scan->from_inside.checkpoints[0].offset, 20u);
    EXPECT_EQ(scan->from_inside.checkpoints[0].line, 2u);
    EXPECT_FALSE(scan->from_inside.ends_inside);
    ASSERT_TRUE(scan->from_record.fault.has_value());
    EXPECT_EQ(scan->from_record.fault->fault, pl::InputFault::TextAfterQuote);
    EXPECT_EQ(scan->from_record.fault->offset, 18u);
    // The range before ends inside the quoted field it opened, and reads
    // its record to the end.
    request.at_record_start = true;
    auto first = pl::scan_range(csv, 9, 14, request);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first->from_record.records, 1u);
    EXPECT_TRUE(first->from_record.ends_inside);
    EXPECT_FALSE(first->from_record.fault.has_value());
    // A range without a line start stays in the state it starts in.
    request.at_record_start = false;
    auto none = pl::scan_range(csv, 16, 18, request);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->lines, 0u);
    EXPECT_FALSE(none->from_record.ends_inside);
    EXPECT_TRUE(none->from_inside.ends_inside);
    // Put together: two data records, no fault.
    std::vector<pl::RangeScan> scans{*first, *scan};
    auto plan = pl::combine_scans(scans, csv, {"h1", "h2", "h3"}, 1);
    ASSERT_TRUE(plan.ok()) << plan.error().message;
    EXPECT_EQ(plan->records, 2u);
}

TEST_F(CsvRanges, FirstInvalidLineOfARange) {
    // Line 4 (offset 8) is not UTF-8 from its third byte (offset 10); line 5
    // neither (offset 14).
    const std::string csv = write("bad.csv", "h\n1\n22\r\n33\xE2\x82x\n\xFF\n");
    pl::ScanRequest request;
    request.at_record_start = true;
    auto whole = pl::scan_range(csv, 2, 100, request);
    ASSERT_TRUE(whole.ok());
    ASSERT_TRUE(whole->from_record.fault.has_value());
    EXPECT_EQ(whole->from_record.fault->fault, pl::InputFault::InvalidUtf8);
    EXPECT_EQ(whole->from_record.fault->line, 3u);  // the range's third line
    EXPECT_EQ(whole->from_record.fault->offset, 10u);
    EXPECT_EQ(whole->from_record.records, 2u);
    // Worded as the one-pass engines word it, counting the header's line.
    std::vector<pl::RangeScan> scans{*whole};
    auto plan = pl::combine_scans(scans, csv, {"h"}, 1);
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(plan.error().message, csv + ": line 4 is not valid UTF-8 (byte offset 10)");

    // A range starting inside the bad line sees only the line after it.
    request.at_record_start = false;
    auto later = pl::scan_range(csv, 9, 100, request);
    ASSERT_TRUE(later.ok());
    ASSERT_TRUE(later->from_record.fault.has_value());
    EXPECT_EQ(later->from_record.fault->line, 1u);
    EXPECT_EQ(later->from_record.fault->offset, 14u);
    // A range with no line start past its end.
    auto empty = pl::scan_range(csv, 16, 17, request);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->lines, 0u);
    EXPECT_FALSE(empty->from_record.fault.has_value());
}

// A run is encoded from a file planned at one length: a file that has
// since grown (here its unterminated last record, which would read on into
// the new bytes) or shrunk fails the run, naming the file, instead of
// encoding records the plan never saw.
TEST_F(CsvRanges, ARunOfAFileThatChangedLengthFails) {
    const std::string planned = "id,name\n1,a\n2,b\n3,c";
    const pl::RunStart run{8, 1, 0, 0, 3};
    struct Case {
        std::string now;
        std::string error;  // "" for success
    };
    const Case cases[] = {
        {planned, ""},
        {planned + "ccc\n4,d\n", "changed while it was compressed: it grew past the " + std::to_string(planned.size()) +
                                     " bytes it had when opened"},
        {planned.substr(0, 15), "changed while it was compressed: it ended after 15 bytes, before the " +
                                    std::to_string(planned.size()) + " it had when opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.now);
        const std::string csv = write("in.csv", c.now);
        auto done = pl::encode_chunk_run(csv, {"id", "name"}, {sarn::container::TYPE_TEXT, sarn::container::TYPE_TEXT},
                                         run, planned.size(), path("run0"), path("out.sarn"), everyday());
        if (c.error.empty()) {
            ASSERT_TRUE(done.ok()) << done.error().message;
            EXPECT_EQ(done->rows, 3u);
        } else {
            ASSERT_FALSE(done.ok());
            EXPECT_EQ(done.error().kind, sarn::common::ErrorKind::Io);
            EXPECT_EQ(done.error().message, csv + " " + c.error);
        }
    }
}

TEST(RangeScanBytes, RefusesWhatIsNotAScan) {
    pl::RangeScan scan;
    scan.begin = 5;
    scan.from_record.records = 3;
    scan.from_record.checkpoints.push_back({5, 0, 1});
    scan.from_inside.fault.emplace(pl::InputFault::NotInteger, 2, 9);
    scan.from_inside.fault->cell = "x\ny";
    scan.from_inside.not_integer = {0, 1};
    const sarn::common::Bytes bytes = pl::scan_bytes(scan);
    auto back = pl::scan_from_bytes(bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->from_record.checkpoints.size(), 1u);
    EXPECT_EQ(back->from_inside.fault->cell, "x\ny");
    EXPECT_EQ(back->from_inside.not_integer, (std::vector<std::uint8_t>{0, 1}));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(pl::scan_from_bytes(sarn::common::ByteView(bytes.data(), cut)).ok()) << cut;
    }
}

TEST(Utf8Prefix, LongestValidPrefix) {
    const struct {
        std::string bytes;
        std::size_t valid;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},  // truncated 2-byte sequence
        {"\xC3\xA9\xFF", 2},  // a byte that never starts a sequence
        {"\xC0\xAF", 0},  // overlong
        {"\xE0\x80\x80", 0},  // overlong 3-byte form
        {"\xED\xA0\x80", 0},  // surrogate
        {"x\xF4\x90\x80\x80", 1},  // above U+10FFFF
        {"\xF0\x9F\x98\x80!", 5},
        {"\xE2\x82", 0},  // truncated at the end
        {"\x80", 0},  // stray continuation byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sarn::common::first_bad_utf8(c.bytes), c.valid) << c.bytes;
    }
}

}  // namespace
