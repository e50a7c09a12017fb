// The compress_csv driver: number texts of the progress lines, the result
// figures, the progress lines of a run, the refusals made before any
// output exists, and inputs and outputs that are not plain files (pipes,
// FIFOs, a closed standard error).
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "container/reader.hpp"
#include "pipeline/compress_csv.hpp"

namespace {

namespace fs = std::filesystem;

// The module's options, its progress lines going to `fd`.
sarn::pipeline::CompressOptions printing_to(int fd) {
    sarn::pipeline::CompressOptions o;
    o.progress_fd = fd;
    return o;
}

TEST(CompressFigures, SizeTextEstimateAndRatio) {
    EXPECT_EQ(sarn::pipeline::size_text(1610612736), "1.50GB");
    EXPECT_EQ(sarn::pipeline::size_text(1073741824), "1.00GB");
    EXPECT_EQ(sarn::pipeline::size_text(1073741823), "1024MB");
    EXPECT_EQ(sarn::pipeline::size_text(5000000), "5MB");
    EXPECT_EQ(sarn::pipeline::size_text(400000), "0MB");
    EXPECT_EQ(sarn::pipeline::size_text(1572864), "2MB");  // 1.5: tie to even
    EXPECT_EQ(sarn::pipeline::size_text(2621440), "2MB");  // 2.5: tie to even
    EXPECT_EQ(sarn::pipeline::size_text(0), "0MB");
    EXPECT_EQ(sarn::pipeline::size_text(UINT64_MAX), "17179869184.00GB");

    EXPECT_EQ(sarn::pipeline::memory_estimate_mb(1), 1u);
    EXPECT_EQ(sarn::pipeline::memory_estimate_mb(3), 3u);
    EXPECT_EQ(sarn::pipeline::memory_estimate_mb(10), 12u);
    EXPECT_EQ(sarn::pipeline::memory_estimate_mb(65535), 81918u);

    EXPECT_EQ(sarn::pipeline::compression_ratio(0, 100), 0.0);
    EXPECT_EQ(sarn::pipeline::compression_ratio(100, 250), 0.0);  // clamped, never negative
    EXPECT_EQ(sarn::pipeline::compression_ratio(100, 100), 0.0);
    EXPECT_EQ(sarn::pipeline::compression_ratio(3, 1), 2.0 / 3.0 * 100.0);
    EXPECT_EQ(sarn::pipeline::compression_ratio(UINT64_MAX, 0), 100.0);
}

class CompressRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pipeline_compress_test_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        char name[] = "/tmp/pipeline_progressXXXXXX";
        progress_fd_ = ::mkstemp(name);
        ::unlink(name);
    }
    void TearDown() override {
        ::close(progress_fd_);
        fs::remove_all(dir_);
    }

    std::string write_file(const std::string& name, const std::string& bytes) {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string progress() {
        std::string text;
        char buf[4096];
        ::lseek(progress_fd_, 0, SEEK_SET);
        ssize_t n;
        while ((n = ::read(progress_fd_, buf, sizeof buf)) > 0) text.append(buf, n);
        return text;
    }

    fs::path dir_;
    int progress_fd_ = -1;
};

TEST_F(CompressRun, PrintsTheProgressLinesAndReturnsTheSizes) {
    const std::string csv = write_file("in.csv", "a, b ,c\n1,2,3\n \n4,5\n");
    const std::string out = (dir_ / "out.sarn").string();
    auto result = sarn::pipeline::compress_csv(csv, out, printing_to(progress_fd_));
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(result->csv_size, 20u);
    EXPECT_EQ(result->sarn_size, fs::file_size(out));
    EXPECT_EQ(result->compression_ratio, 0.0);  // tiny input, larger container

    const std::string head = "\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: " + csv +
                             " (0MB)\n>>> Columns (3): a, b, c\n"
                             ">>> Streaming 65536 rows at a time (~3MB memory constant)...\n";
    const std::string text = progress();
    ASSERT_EQ(text.substr(0, head.size()), head);
    const std::string done = text.substr(head.size());
    EXPECT_EQ(done.rfind(">>> DONE! 0MB \xE2\x86\x92 0.0MB (0.0% saved) in 0s (", 0), 0u) << done;
    const std::string tail = "GB/sec) | SARN v2 (streaming): 2 rows \xC3\x97 3 cols | 1 chunks | dict: 0 entries\n";
    ASSERT_GE(done.size(), tail.size());
    EXPECT_EQ(done.substr(done.size() - tail.size()), tail);
}

TEST_F(CompressRun, RefusesAnOutputThatIsTheInput) {
    const std::string data = "a,b\n1,2\n";
    const std::string csv = write_file("in.csv", data);
    fs::create_directories(dir_ / "sub");
    fs::create_symlink(csv, dir_ / "link.sarn");
    fs::create_hard_link(csv, dir_ / "hard.sarn");
    for (const std::string& out : {csv, (dir_ / "sub" / ".." / "in.csv").string(), (dir_ / "link.sarn").string(),
                                   (dir_ / "hard.sarn").string()}) {
        auto result = sarn::pipeline::compress_csv(csv, out, printing_to(progress_fd_));
        ASSERT_FALSE(result.ok()) << out;
        EXPECT_EQ(result.error().kind, sarn::common::ErrorKind::Io);
        EXPECT_EQ(result.error().message, "Output file is the CSV input file itself: " + out);
        EXPECT_EQ(fs::file_size(csv), data.size());
    }
}

TEST_F(CompressRun, RefusesMoreColumnsThanAContainerHolds) {
    const std::string csv = write_file("in.csv", std::string(65535, ',') + "\n");
    const std::string out = (dir_ / "out.sarn").string();
    auto result = sarn::pipeline::compress_csv(csv, out, printing_to(progress_fd_));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, sarn::common::ErrorKind::Value);
    EXPECT_EQ(result.error().message, "CSV header has 65536 columns; a SARN container holds at most 65535");
    EXPECT_FALSE(fs::exists(out));
}

// An input file that shrinks or grows while it is compressed: the everyday
// front ends fail, leaving an earlier output as it was and nothing beside
// it, whatever the thread count; the module's frozen runs read what is
// there.  The change is made at the driver's first progress report, when
// the first read buffer (1 MiB of the 4 MiB file) has been taken.
TEST_F(CompressRun, AnInputThatChangesLengthWhileCompressedFailsTheEverydayRuns) {
    struct ChangeAtFirstReport final : sarn::pipeline::CompressHooks {
        std::string path;
        bool grow = false;
        bool done = false;
        void progress(std::uint64_t) override {
            if (done) return;
            done = true;
            if (grow) {
                std::ofstream(path, std::ios::app) << "9,appended\n";
            } else {
                fs::resize_file(path, fs::file_size(path) / 2 + 3);  // through the middle of a line
            }
        }
    };
    std::string data = "id,name\n";
    for (int i = 0; data.size() < (4u << 20); ++i) data += std::to_string(i) + ",row " + std::to_string(i) + "\n";
    for (const bool grow : {false, true}) {
        for (const auto wording : {sarn::pipeline::Wording::Named, sarn::pipeline::Wording::Module}) {
            for (const unsigned threads : {1u, 3u}) {
                SCOPED_TRACE(testing::Message() << (grow ? "grows" : "shrinks") << ", threads " << threads
                                                << (wording == sarn::pipeline::Wording::Named ? ", named" : ""));
                const std::string csv = write_file("in.csv", data);
                const std::string out = write_file("out.sarn", "earlier");
                ChangeAtFirstReport hooks;
                hooks.path = csv;
                hooks.grow = grow;
                sarn::pipeline::CompressOptions o = printing_to(-1);
                o.hooks = &hooks;
                o.threads = threads;
                o.wording = wording;
                o.output = wording == sarn::pipeline::Wording::Named ? sarn::pipeline::OutputPolicy::Replace
                                                                     : sarn::pipeline::OutputPolicy::InPlace;
                auto result = sarn::pipeline::compress_csv(csv, out, o);
                ASSERT_TRUE(hooks.done);
                if (wording == sarn::pipeline::Wording::Module) {
                    ASSERT_TRUE(result.ok()) << result.error().message;
                    EXPECT_NE(result->sarn_size, 0u);
                    continue;
                }
                ASSERT_FALSE(result.ok());
                EXPECT_EQ(result.error().kind, sarn::common::ErrorKind::Io);
                const std::string how =
                    grow ? "it grew past the " + std::to_string(data.size()) + " bytes it had when opened"
                         : "it ended after " + std::to_string(data.size() / 2 + 3) + " bytes, before the " +
                               std::to_string(data.size()) + " it had when opened";
                EXPECT_EQ(result.error().message, csv + " changed while it was compressed: " + how);
                std::ifstream kept(out);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "earlier");
                EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
            }
        }
    }
}

TEST_F(CompressRun, EmptyInputIsAValueErrorAfterTwoLines) {
    const std::string csv = write_file("in.csv", "");
    const std::string out = (dir_ / "out.sarn").string();
    auto result = sarn::pipeline::compress_csv(csv, out, printing_to(progress_fd_));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, sarn::common::ErrorKind::Value);
    EXPECT_EQ(result.error().message, "CSV file is empty");
    EXPECT_EQ(progress(), "\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: " + csv + " (0MB)\n");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(CompressRun, AFailedProgressWriteIsAFault) {
    const std::string csv = write_file("in.csv", "a\n1\n");
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    try {
        (void)sarn::pipeline::compress_csv(csv, (dir_ / "out.sarn").string(), printing_to(full));
        ADD_FAILURE() << "no fault";
    } catch (const sarn::pipeline::ProgressWriteFault& e) {
        EXPECT_STREQ(e.what(), "failed printing to stderr: No space left on device (os error 28)");
    }
    ::close(full);
}

// A CSV larger than the 1 MiB read buffer and than one chunk: a reader that
// lost what one handle had buffered would lose rows here.
std::string two_chunk_csv() {
    std::string csv = "id,name,score\n";
    for (int i = 0; i < 70000; ++i) {
        csv += std::to_string(i) + ",name" + std::to_string(i % 97) + "," + std::to_string(i * 7919 % 1000) + "\n";
    }
    return csv;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A container's bytes with its creation time (the header's bytes 24-31)
// blanked: the only bytes that two runs on the same rows may differ in.
std::string without_creation_time(std::string bytes) {
    if (bytes.size() >= 32) bytes.replace(24, 8, 8, '\0');
    return bytes;
}

// Writes `bytes` into the descriptor (or, given a path, the FIFO it opens) on
// a thread of its own, as another process would, then closes it.
std::thread feed(std::string bytes, int fd, std::string fifo = "") {
    return std::thread([bytes = std::move(bytes), fd, fifo]() mutable {
        if (!fifo.empty()) fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (fd >= 0) ::close(fd);
    });
}

// A pipe and a FIFO give every row, and the same container as the file does;
// csv_size and the DONE line's size are the bytes read, and the File line,
// written before anything was read, says "stream".
TEST_F(CompressRun, StreamsGiveEveryRowAndTheSameContainer) {
    const std::string data = two_chunk_csv();
    const std::string csv = write_file("in.csv", data);
    const std::string from_file = (dir_ / "file.sarn").string();
    ASSERT_TRUE(sarn::pipeline::compress_csv(csv, from_file, printing_to(progress_fd_)).ok());
    const std::string expected = without_creation_time(read_all(from_file));

    for (const std::string kind : {"pipe", "fifo"}) {
        SCOPED_TRACE(kind);
        std::string input;
        std::thread writer;
        int read_end = -1;
        if (kind == "pipe") {
            int ends[2];
            ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
            read_end = ends[0];
            input = "/dev/fd/" + std::to_string(read_end);
            writer = feed(data, ends[1]);
        } else {
            input = (dir_ / "in.fifo").string();
            ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
            writer = feed(data, -1, input);
        }
        ::ftruncate(progress_fd_, 0);
        ::lseek(progress_fd_, 0, SEEK_SET);
        const std::string out = (dir_ / (kind + ".sarn")).string();
        auto result = sarn::pipeline::compress_csv(input, out, printing_to(progress_fd_));
        writer.join();
        if (read_end >= 0) ::close(read_end);
        ASSERT_TRUE(result.ok()) << result.error().message;
        EXPECT_EQ(result->csv_size, data.size());
        EXPECT_EQ(result->sarn_size, fs::file_size(out));
        EXPECT_EQ(without_creation_time(read_all(out)), expected);
        const std::string text = progress();
        EXPECT_NE(text.find(">>> File: " + input + " (stream)\n"), std::string::npos) << text;
        EXPECT_NE(text.find(">>> DONE! " + sarn::pipeline::size_text(data.size()) + " \xE2\x86\x92 "),
                  std::string::npos)
            << text;
    }
}

// With standard error closed, the files the driver opens must not take
// descriptor 2: the progress lines would be written into the container.
// Run in a child process, whose descriptor 2 can be closed safely.
TEST_F(CompressRun, ClosedStandardErrorKeepsProgressOutOfTheContainer) {
    const std::string csv = write_file("in.csv", "a,b\n1,2\n3,4\n");
    const std::string out = (dir_ / "out.sarn").string();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDERR_FILENO);
        auto result = sarn::pipeline::compress_csv(csv, out);
        ::_exit(result.ok() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto reader = sarn::container::SarnReader::open(out);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    EXPECT_EQ(reader->header().row_count, 2u);
}

}  // namespace
