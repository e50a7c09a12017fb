// Opening files and rendering the operating system's errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

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

TEST(WriteAll, WritesEverythingOrSaysHowMuchArrived) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    sarn::common::FileHandle read_end(fds[0]), write_end(fds[1]);

    // Whole buffer: every byte arrives, in order.
    const std::string text = "one write-all, many callers";
    std::size_t written = 99;
    ASSERT_TRUE(sarn::common::write_all(write_end.fd(), sarn::common::as_bytes(text), &written));
    EXPECT_EQ(written, text.size());
    std::string back(text.size(), '\0');
    ASSERT_EQ(::read(read_end.fd(), back.data(), back.size()), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, text);

    // A non-blocking pipe takes what fits and then refuses: the failure must
    // still report exactly the bytes that the reader can find.
    ASSERT_EQ(::fcntl(write_end.fd(), F_SETFL, O_NONBLOCK), 0);
    const std::vector<std::uint8_t> big(4 << 20, 0x5A);
    auto full = sarn::common::write_all(write_end.fd(), big, &written);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().message, sarn::common::system_error_text(EAGAIN));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    ASSERT_EQ(::fcntl(read_end.fd(), F_SETFL, O_NONBLOCK), 0);
    std::size_t drained = 0;
    std::vector<std::uint8_t> sink(1 << 16);
    for (ssize_t n; (n = ::read(read_end.fd(), sink.data(), sink.size())) > 0;) drained += static_cast<std::size_t>(n);
    EXPECT_EQ(drained, written);

    // A descriptor that cannot be written: nothing arrived.
    auto bad = sarn::common::write_all(read_end.fd(), big, &written);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, sarn::common::system_error_text(EBADF));
    EXPECT_EQ(written, 0u);
}

}  // namespace
