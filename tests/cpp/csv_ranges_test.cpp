// Compressing a CSV file in pieces: range scans that add up to the whole
// file whatever the cut, chunk runs and assembly that give the bytes of the
// one-pass driver, and the place of the first line that is not UTF-8.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/utf8.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/csv_ranges.hpp"

namespace {

namespace fs = std::filesystem;
using sarn::pipeline::CHECKPOINT_LINES;
using sarn::pipeline::CHUNK_SIZE;

class CsvRanges : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("csv_ranges_test_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static std::string masked(std::string bytes) {
        std::fill(bytes.begin() + 24, bytes.begin() + 32, '\0');  // created_at
        return bytes;
    }

    std::vector<sarn::pipeline::RangeScan> scan_all(const std::string& csv, std::uint64_t blocksize) const {
        const std::uint64_t size = fs::file_size(csv);
        std::vector<sarn::pipeline::RangeScan> scans;
        for (std::uint64_t b = 0; b < std::max<std::uint64_t>(size, 1); b += blocksize) {
            auto s = sarn::pipeline::scan_range(csv, b, std::min(b + blocksize, size));
            EXPECT_TRUE(s.ok());
            scans.push_back(std::move(*s));
        }
        return scans;
    }

    fs::path dir_;
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

TEST_F(CsvRanges, AnyCutGivesTheDriversContainer) {
    const std::string csv = write("in.csv", mixed_csv());
    const std::string ref = path("ref.sarn");
    const int devnull = ::open("/dev/null", O_WRONLY);
    sarn::pipeline::CompressOptions quiet;
    quiet.progress_fd = devnull;
    ASSERT_TRUE(sarn::pipeline::compress_csv(csv, ref, quiet).ok());
    ::close(devnull);
    const std::string expected = masked(read(ref));
    std::uint64_t rows = 0;
    std::memcpy(&rows, expected.data() + 8, 8);

    for (std::uint64_t blocksize : {std::uint64_t{7777}, std::uint64_t{300001}, std::uint64_t{1} << 20,
                                    std::uint64_t{1} << 30}) {
        SCOPED_TRACE(blocksize);
        const auto scans = scan_all(csv, blocksize);
        ASSERT_TRUE(scans[0].names.has_value());
        EXPECT_EQ(scans[0].names->size(), 3u);
        std::uint64_t data = 0;
        std::vector<std::uint64_t> before;
        for (const auto& s : scans) {
            EXPECT_FALSE(s.fault.has_value());
            EXPECT_EQ(s.checkpoints.size(), (s.data_lines + CHECKPOINT_LINES - 1) / CHECKPOINT_LINES);
            before.push_back(data);
            data += s.data_lines;
        }
        ASSERT_EQ(data, rows);

        // One run per chunk, each from the checkpoint before its first line.
        std::vector<std::string> spills;
        const std::vector<std::string> names = *scans[0].names;
        for (std::uint64_t chunk = 0, r = 0; chunk * CHUNK_SIZE < rows; ++chunk) {
            const std::uint64_t line = chunk * CHUNK_SIZE;
            while (before[r] + scans[r].data_lines <= line) ++r;
            const std::uint64_t local = line - before[r];
            spills.push_back(path("run" + std::to_string(chunk)));
            auto run = sarn::pipeline::encode_chunk_run(
                csv, names, scans[r].checkpoints[local / CHECKPOINT_LINES], local % CHECKPOINT_LINES,
                static_cast<std::uint32_t>(chunk), std::min<std::uint64_t>(rows - line, CHUNK_SIZE), spills.back(),
                path("out.sarn"));
            ASSERT_TRUE(run.ok()) << run.error().message;
            EXPECT_EQ(run->chunks, 1u);
        }
        auto assembled = sarn::pipeline::assemble_container(path("out.sarn"), names, spills, path("out.sarn"));
        ASSERT_TRUE(assembled.ok()) << assembled.error().message;
        EXPECT_EQ(assembled->rows, rows);
        EXPECT_EQ(masked(read(path("out.sarn"))), expected);
    }
}

TEST_F(CsvRanges, FirstInvalidLineOfARange) {
    // Line 4 (offset 8) is not UTF-8 from its third byte (offset 10); line 5
    // neither (offset 14).
    const std::string csv = write("bad.csv", "h\n1\n22\r\n33\xE2\x82x\n\xFF\n");
    auto whole = sarn::pipeline::scan_range(csv, 0, 100);
    ASSERT_TRUE(whole.ok());
    ASSERT_TRUE(whole->fault.has_value());
    EXPECT_EQ(whole->fault->fault, sarn::pipeline::InputFault::InvalidUtf8);
    EXPECT_EQ(whole->fault->line, 4u);
    EXPECT_EQ(whole->fault->offset, 10u);
    EXPECT_EQ(whole->data_lines, 2u);
    // Worded as the one-pass engines word it.
    EXPECT_EQ(sarn::pipeline::input_fault_error(csv, whole->fault->fault, whole->fault->line, whole->fault->offset)
                  .message,
              csv + ": line 4 is not valid UTF-8 (byte offset 10)");

    // A range starting inside the bad line sees only the line after it.
    auto later = sarn::pipeline::scan_range(csv, 9, 100);
    ASSERT_TRUE(later.ok());
    ASSERT_TRUE(later->fault.has_value());
    EXPECT_EQ(later->fault->line, 1u);
    EXPECT_EQ(later->fault->offset, 14u);
    // A range with no line start past its end.
    auto empty = sarn::pipeline::scan_range(csv, 16, 17);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->lines, 0u);
    EXPECT_FALSE(empty->fault.has_value());
}

TEST(Utf8Prefix, LongestValidPrefix) {
    const struct {
        std::string bytes;
        std::size_t valid;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},                       // truncated 2-byte sequence
        {"\xC3\xA9\xFF", 2},                // a byte that never starts a sequence
        {"\xC0\xAF", 0},                    // overlong
        {"\xE0\x80\x80", 0},                // overlong 3-byte form
        {"\xED\xA0\x80", 0},                // surrogate
        {"x\xF4\x90\x80\x80", 1},           // above U+10FFFF
        {"\xF0\x9F\x98\x80!", 5},
        {"\xE2\x82", 0},                    // truncated at the end
        {"\x80", 0},                        // stray continuation byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sarn::common::first_bad_utf8(c.bytes), c.valid) << c.bytes;
    }
}

}  // namespace
