// Opening files and rendering the operating system's errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/file_io.hpp"
#include "common/system_error.hpp"

namespace {

TEST(SystemErrorText, NamesTheErrorAndItsNumber) {
    EXPECT_EQ(sarn::common::system_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(sarn::common::system_error_text(EACCES), "Permission denied (os error 13)");
}

TEST(OpenForReading, ReportsMissingFileAndNulInPath) {
    auto missing = sarn::common::open_for_reading("/nonexistent/dir/file.csv");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

    // "/etc/hostname\0x" must not silently open "/etc/hostname".
    auto nul = sarn::common::open_for_reading(std::string("/etc/hostname\0x", 15));
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message, sarn::common::NUL_IN_PATH_TEXT);
}

TEST(OpenForReading, LengthAndReadsFollowTheFile) {
    auto path = std::filesystem::temp_directory_path() / "sarn_file_io_test.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << "0123456789";
    }
    auto file = sarn::common::open_for_reading(path.string());
    ASSERT_TRUE(file);
    auto length = sarn::common::file_length(*file);
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 10u);
    EXPECT_EQ(*sarn::common::path_length(path.string()), 10u);

    char buf[16];
    auto n = sarn::common::read_some(*file, buf, sizeof buf);
    ASSERT_TRUE(n);
    EXPECT_EQ(std::string(buf, *n), "0123456789");
    auto eof = sarn::common::read_some(*file, buf, sizeof buf);
    ASSERT_TRUE(eof);
    EXPECT_EQ(*eof, 0u);
    EXPECT_TRUE(file->close());
    std::filesystem::remove(path);
}

}  // namespace
