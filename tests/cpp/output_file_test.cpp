// The output file under concurrency and kills: the module's in-place
// writer locked against a second writer of the same path, temporary files
// that a killed process cannot leave behind (unnamed while written), and
// the clean-up of what a killed run left under a name (only that output's
// pattern, only what no live writer holds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/file_io.hpp"
#include "test_folder.hpp"
#include "pipeline/output_file.hpp"

namespace {

namespace fs = std::filesystem;
using sarn::common::ErrorKind;
using sarn::pipeline::OutputFile;
using sarn::pipeline::OutputPolicy;
using sarn::pipeline::OutputRequest;
using sarn::pipeline::TempFile;
using sarn::pipeline::Wording;

class OutputFiles : public FolderTest {
protected:
    // Whether this folder's file system creates files without a name (the
    // fallback, a hidden name, is covered by the tests of named files).
    bool unnamed_files() const {
        const int fd = ::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        ::close(fd);
        return ::access("/proc/self/fd", X_OK) == 0;
    }

    static void put(int fd, const std::string& bytes) {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

// Two module writers of one path: the second is refused at once, with the
// module's creation message, and neither empties nor touches what the
// first writes.  Once the first is done the path is free again.
TEST_F(OutputFiles, InPlaceSecondWriterIsRefusedWithoutTouchingTheFile) {
    const std::string out = path("out.sarn");
    const OutputRequest request{out, OutputPolicy::InPlace, nullptr, Wording::Module, {}};
    auto first = OutputFile::open(request);
    ASSERT_TRUE(first.ok()) << first.error().message;
    {
        auto fd = first->writer_file();
        ASSERT_TRUE(fd.ok());
        put(fd->fd(), "first writer's bytes");
    }
    auto second = OutputFile::open(request);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().kind, ErrorKind::Io);
    EXPECT_EQ(second.error().errnum, EWOULDBLOCK);
    EXPECT_EQ(second.error().path, out);
    EXPECT_EQ(second.error().message, "Cannot create " + out + ": another writer is writing it (os error 11)");
    EXPECT_EQ(read(out), "first writer's bytes");

    first = OutputFile::open({path("other.sarn"), OutputPolicy::InPlace, nullptr, Wording::Module, {}});  // drops it
    ASSERT_TRUE(first.ok());
    auto third = OutputFile::open(request);
    ASSERT_TRUE(third.ok()) << third.error().message;
    EXPECT_EQ(read(out), "");  // emptied only once it is this writer's
}

// Only a regular file is locked: a device takes any number of writers, as
// creating it with truncation always allowed.
TEST_F(OutputFiles, InPlaceDevicesAreNotLocked) {
    const OutputRequest request{"/dev/null", OutputPolicy::InPlace, nullptr, Wording::Module, {}};
    auto first = OutputFile::open(request);
    auto second = OutputFile::open(request);
    EXPECT_TRUE(first.ok() && second.ok());
}

// A replacement is written into a file without a name: nothing shows
// beside the output until the rename, which leaves only the output.
TEST_F(OutputFiles, ReplacementHasNoNameUntilItIsPutInPlace) {
    if (!unnamed_files()) GTEST_SKIP() << "the file system of " << dir_ << " has no unnamed files";
    const std::string out = write("out.sarn", "old");
    ::chmod(out.c_str(), 0604);
    auto file = OutputFile::open({out, OutputPolicy::Replace, nullptr, Wording::Named, {}});
    ASSERT_TRUE(file.ok()) << file.error().message;
    EXPECT_TRUE(file->temp_path().empty());
    {
        auto fd = file->writer_file();
        ASSERT_TRUE(fd.ok());
        put(fd->fd(), "new");
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"out.sarn"}));
    EXPECT_EQ(read(out), "old");
    ASSERT_TRUE(file->commit().ok());
    EXPECT_EQ(listing(), (std::vector<std::string>{"out.sarn"}));
    EXPECT_EQ(read(out), "new");
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_FALSE(file->commit().ok());  // once only
}

// A folder removed under a job: the failure names the output, never the
// hidden name the file was about to get.
TEST_F(OutputFiles, RemovedFolderIsReportedAsTheOutput) {
    fs::create_directories(path("sub"));
    const std::string out = path("sub/out.sarn");
    auto file = OutputFile::open({out, OutputPolicy::Replace, nullptr, Wording::Named, "shown.sarn"});
    ASSERT_TRUE(file.ok()) << file.error().message;
    fs::remove_all(path("sub"));
    auto committed = file->commit();
    ASSERT_FALSE(committed.ok());
    EXPECT_EQ(committed.error().errnum, ENOENT);
    EXPECT_EQ(committed.error().path, "shown.sarn");
    EXPECT_EQ(committed.error().message.rfind("Cannot replace shown.sarn: ", 0), 0u) << committed.error().message;
    EXPECT_EQ(committed.error().message.find(".partial-"), std::string::npos);
}

// A process killed outright while it writes: its unnamed file is gone with
// it; a named one (a job's marker) stays, unheld, until the next run.
TEST_F(OutputFiles, KilledWriterLeavesNothingOrWhatTheNextRunRemoves) {
    const std::string out = path("out.sarn");
    for (const bool named : {false, true}) {
        if (!named && !unnamed_files()) continue;
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto temp = TempFile::create(out, nullptr, named, out);
            if (!temp) ::_exit(1);
            const std::string data(1 << 20, 'x');
            if (::write(temp->fd(), data.data(), data.size()) != static_cast<ssize_t>(data.size())) ::_exit(1);
            (void)!::write(ready[1], "r", 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        if (named) {
            // While the writer lives, its file is held: not a leftover.
            ASSERT_EQ(listing().size(), 1u);
            EXPECT_EQ(sarn::pipeline::remove_stale_temporaries(out), 0u);
            EXPECT_EQ(listing().size(), 1u);
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (named) {
            const auto left = listing();
            ASSERT_EQ(left.size(), 1u);
            EXPECT_EQ(left[0].rfind(".out.sarn.partial-", 0), 0u);
            EXPECT_EQ(sarn::pipeline::remove_stale_temporaries(out), 1u);
        }
        EXPECT_TRUE(listing().empty()) << (named ? "named" : "unnamed");
    }
}

// The clean-up takes exactly the leftovers of this output: files of its
// pattern that nobody holds, and the chunk files of a job whose marker is
// not held.  Everything else stays.
TEST_F(OutputFiles, CleanUpRemovesOnlyUnheldFilesOfTheOutputsPattern) {
    const std::string out = path("out.sarn");
    const std::vector<std::string> stale = {
        ".out.sarn.partial-abc123",  // a killed writer's container
        ".out.sarn.partial-Zz0Zz0.7.chunks",  // a killed job's chunks, its marker gone
        ".out.sarn.partial-dead00",  // a killed job's marker
        ".out.sarn.partial-dead00.0.chunks",  // ... and its chunks
    };
    const std::vector<std::string> kept = {
        ".out.sarn.partial-live00",  // a live job's marker (held below)
        ".out.sarn.partial-live00.12.chunks",  // ... and its chunks
        ".out.sarn.partial-busy00.3.chunks",  // chunks still being written (held below)
        ".other.sarn.partial-abc123",  // another output's
        ".out.sarn.partial-abc12",  // not the pattern: five characters
        ".out.sarn.partial-abc1234",  // seven
        ".out.sarn.partial-abc123.x.chunks",  // not a chunk number
        ".out.sarn.partial-abc123.chunks",
        "out.sarn.partial-abc123",  // not hidden
        "out.sarn",
    };
    for (const auto& name : stale) write(name, "left over");
    for (const auto& name : kept) write(name, "keep");
    fs::create_directory(path(".out.sarn.partial-dir000"));
    fs::create_symlink("out.sarn", path(".out.sarn.partial-lnk000"));
    ASSERT_EQ(::mkfifo(path(".out.sarn.partial-fifo00").c_str(), 0600), 0);
    std::vector<sarn::common::FileHandle> holders;
    for (const char* held : {".out.sarn.partial-live00", ".out.sarn.partial-busy00.3.chunks"}) {
        holders.emplace_back(::open(path(held).c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(holders.back().fd(), LOCK_EX | LOCK_NB), 0);
    }

    EXPECT_EQ(sarn::pipeline::remove_stale_temporaries(out), stale.size());
    std::vector<std::string> expected = kept;
    expected.insert(expected.end(),
                    {".out.sarn.partial-dir000", ".out.sarn.partial-lnk000", ".out.sarn.partial-fifo00"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(read(out), "keep");
}

// A replacement prepared beside leftovers of its own output removes them
// first, whatever front end prepares it.
TEST_F(OutputFiles, PreparingAnOutputRemovesItsLeftovers) {
    const std::string out = path("out.sarn");
    write(".out.sarn.partial-abc123", std::string(4096, 'x'));
    write(".out.sarn.partial-abc123.0.chunks", std::string(4096, 'x'));
    {
        auto file = OutputFile::open({out, OutputPolicy::Replace, nullptr, Wording::Named, {}});
        ASSERT_TRUE(file.ok());
        EXPECT_TRUE(listing().empty());
    }
    write(".out.sarn.partial-abc123", "x");
    auto job = sarn::pipeline::prepare_job_output({out, OutputPolicy::Replace, nullptr, Wording::Named, {}});
    ASSERT_TRUE(job.ok()) << job.error().message;
    EXPECT_EQ(job->target, out);
    const auto left = listing();
    ASSERT_EQ(left.size(), 1u);  // the new marker alone
    EXPECT_EQ(path(left[0]), job->marker.name());
    // A second job's preparation leaves the first one's marker alone.
    auto other = sarn::pipeline::prepare_job_output({out, OutputPolicy::Replace, nullptr, Wording::Named, {}});
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(listing().size(), 2u);
    job->marker.discard();
    other->marker.discard();
    EXPECT_TRUE(listing().empty());
}

}  // namespace
