// sarnio's engine, ParallelCompress, and the pieces it shares with every
// front end: the module driver's bytes at every thread count, a cancel at
// any point (also after the container is complete) leaving the output as it
// was, failures leaving no temporary file, the output file's rules (links,
// dangling links, permissions, owner, the input refused as output,
// non-regular files), and the chunk pipeline on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "container/text_batch.hpp"
#include "container/writer.hpp"
#include "test_folder.hpp"
#include "pipeline/chunk_pipeline.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/output_file.hpp"
#include "pipeline/parallel_compress.hpp"

namespace {

namespace fs = std::filesystem;
using sarn::common::ErrorKind;
using sarn::pipeline::ParallelCompress;

class Engine : public FolderTest {
protected:
    // What the module's driver writes for `csv`, creation time blanked.
    std::string module_bytes(const std::string& csv) const {
        sarn::pipeline::CompressOptions quiet;
        quiet.progress_fd = -1;
        auto r = sarn::pipeline::compress_csv(csv, path("module.sarn"), quiet);
        EXPECT_TRUE(r.ok()) << r.error().message;
        std::string bytes = masked(read(path("module.sarn")));
        fs::remove(path("module.sarn"));
        return bytes;
    }

    static std::string masked(std::string bytes) {
        if (bytes.size() >= 32) bytes.replace(24, 8, 8, '\0');
        return bytes;
    }

    static sarn::common::Result<sarn::pipeline::ParallelSummary> run(const std::string& csv, const std::string& out,
                                                                     unsigned threads) {
        return sarn::pipeline::parallel_compress_csv(csv, out, threads);
    }
};

// About 140,000 rows (three chunks, the last partial) with blank lines,
// CR LF and multi-byte text.
std::string three_chunk_csv(std::size_t rows = 140000) {
    std::string s = "id, name ,t\r\n";
    for (std::size_t i = 0; i < rows; ++i) {
        if (i % 997 == 5) s += "  \t\n";
        s += std::to_string(i) + ",n\xC3\xA4me " + std::to_string(i % 17) + "," + std::to_string(i * 7919 % 1000) +
             (i % 4 == 0 ? "\r\n" : "\n");
    }
    return s;
}

TEST_F(Engine, SameBytesAsTheModulesDriverAtEveryThreadCount) {
    const std::string data = three_chunk_csv();
    const std::string csv = write("in.csv", data);
    const std::string expected = module_bytes(csv);
    for (unsigned threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        const std::string out = path("out.sarn");
        auto r = run(csv, out, threads);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(masked(read(out)), expected);
        EXPECT_EQ(r->input_bytes, data.size());
        EXPECT_EQ(r->output_bytes, fs::file_size(out));
        EXPECT_EQ(r->rows, 140000u);
        EXPECT_EQ(r->columns, 3u);
        EXPECT_EQ(r->chunks, 3u);
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.csv", "out.sarn"}));
}

// A cancel at any time before result() commits leaves the output as it
// was: while the job reads, and once the container is complete and only
// the rename is left.
TEST_F(Engine, CancelLeavesTheOutputAsItWas) {
    const std::string csv = write("in.csv", three_chunk_csv(400000));
    const std::string out = write("out.sarn", "the old output");
    for (bool wait_until_complete : {false, true}) {
        for (unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << "complete " << wait_until_complete << " threads " << threads);
            auto job = ParallelCompress::create(csv, out, threads);
            ASSERT_TRUE(job.ok());
            (*job)->start();
            if (wait_until_complete) {
                while (!(*job)->wait_for(std::chrono::milliseconds(20))) {}
                ASSERT_TRUE((*job)->complete());
                EXPECT_EQ((*job)->bytes_done(), fs::file_size(csv));
                // Complete, but not in place: the output is still the old one.
                EXPECT_EQ(read(out), "the old output");
            } else {
                while ((*job)->bytes_done() == 0 && !(*job)->wait_for(std::chrono::milliseconds(1))) {}
            }
            (*job)->cancel();
            auto r = (*job)->result();
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().kind, ErrorKind::Cancelled);
            EXPECT_EQ(read(out), "the old output");
            EXPECT_EQ(listing(), (std::vector<std::string>{"in.csv", "out.sarn"}));
        }
    }
}

TEST_F(Engine, AFailureLeavesNoTemporaryFileAndNamesThePlace) {
    const std::string good = three_chunk_csv(70000);
    const std::string csv = write("bad.csv", good + "ok,\xC3(\n");
    const std::string out = write("out.sarn", "old");
    for (unsigned threads : {1u, 2u}) {
        auto r = run(csv, out, threads);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::Input);
        std::size_t lines = 0;
        for (char c : good) lines += c == '\n';
        EXPECT_EQ(r.error().message, csv + ": line " + std::to_string(lines + 1) + " is not valid UTF-8 (byte offset " +
                                         std::to_string(good.size() + 3) + ")");
        EXPECT_EQ(read(out), "old");
        EXPECT_EQ(listing(), (std::vector<std::string>{"bad.csv", "out.sarn"}));
    }
}

TEST_F(Engine, RefusalsKeepTheirKindErrnoAndFile) {
    const std::string csv = write("in.csv", "a,b\n1,2\n");
    fs::create_directory(path("folder"));
    fs::create_symlink(csv, path("link.csv"));
    struct Case {
        std::string csv, out;
        unsigned threads;
        ErrorKind kind;
        int errnum;
        std::string file;
    };
    const Case cases[] = {
        {csv, path("o.sarn"), 0, ErrorKind::Value, 0, ""},
        {csv, path("o.sarn"), sarn::pipeline::MAX_THREADS + 1, ErrorKind::Value, 0, ""},
        {path("missing.csv"), path("o.sarn"), 2, ErrorKind::Io, ENOENT, path("missing.csv")},
        {path("folder"), path("o.sarn"), 1, ErrorKind::Io, EISDIR, path("folder")},
        {csv, path("folder"), 1, ErrorKind::Io, EISDIR, path("folder")},
        {csv, path("no/o.sarn"), 1, ErrorKind::Io, ENOENT, path("no/o.sarn")},
        {csv, csv + "/o.sarn", 1, ErrorKind::Io, ENOTDIR, csv + "/o.sarn"},
        {csv, path("link.csv"), 2, ErrorKind::Value, 0, path("link.csv")},  // the input by another name
        {csv, path("x") + std::string("\0y", 2), 1, ErrorKind::Value, 0, ""},  // would name a shorter path
        {write("empty.csv", ""), path("o.sarn"), 1, ErrorKind::Value, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.csv + " -> " + c.out);
        auto r = run(c.csv, c.out, c.threads);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, c.kind) << r.error().message;
        EXPECT_EQ(r.error().errnum, c.errnum) << r.error().message;
        if (!c.file.empty()) {
            EXPECT_EQ(r.error().path, c.file) << r.error().message;
        }
    }
    EXPECT_EQ(read(csv), "a,b\n1,2\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"empty.csv", "folder", "in.csv", "link.csv"}));
}

// ------------------------------------------------------------ output file

TEST_F(Engine, AChainOfLinksIsFollowedAndKept) {
    const std::string csv = write("in.csv", "a\n1\n");
    fs::create_directory(path("data"));
    const std::string real = write("data/real.sarn", "old");
    ::chmod(real.c_str(), 0640);
    fs::create_symlink("data/real.sarn", path("second"));  // relative, as links usually are
    fs::create_symlink(path("second"), path("first"));
    auto r = run(csv, path("first"), 2);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_TRUE(fs::is_symlink(path("first")));
    EXPECT_TRUE(fs::is_symlink(path("second")));
    EXPECT_EQ(read(real).substr(0, 4), "SARN");
    struct stat st;
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // the replaced file's permissions
    EXPECT_EQ(listing(), (std::vector<std::string>{"data", "first", "in.csv", "second"}));
    EXPECT_EQ(fs::directory_iterator(path("data"))->path().filename().string(), "real.sarn");
}

TEST_F(Engine, ADanglingLinkLeadsToTheFileToCreate) {
    const std::string csv = write("in.csv", "a\n1\n");
    fs::create_directory(path("data"));
    fs::create_symlink("data/new.sarn", path("link.sarn"));
    const mode_t old_mask = ::umask(027);
    auto r = run(csv, path("link.sarn"), 1);
    ::umask(old_mask);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_TRUE(fs::is_symlink(path("link.sarn")));
    EXPECT_EQ(read(path("data/new.sarn")).substr(0, 4), "SARN");
    struct stat st;
    ASSERT_EQ(::stat(path("data/new.sarn").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // what a new file gets under this umask
}

TEST_F(Engine, ALoopOfLinksAndNonRegularFilesAreRefused) {
    const std::string csv = write("in.csv", "a\n1\n");
    fs::create_symlink(path("b"), path("a"));
    fs::create_symlink(path("a"), path("b"));
    auto loop = run(csv, path("a"), 1);
    ASSERT_FALSE(loop.ok());
    EXPECT_EQ(loop.error().errnum, ELOOP);
    EXPECT_EQ(loop.error().path, path("a"));

    ASSERT_EQ(::mkfifo(path("out.fifo").c_str(), 0600), 0);
    auto fifo = run(csv, path("out.fifo"), 1);
    ASSERT_FALSE(fifo.ok());
    EXPECT_EQ(fifo.error().kind, ErrorKind::Value);
    EXPECT_NE(fifo.error().message.find("not a regular file: " + path("out.fifo")), std::string::npos);
    struct stat st;
    ASSERT_EQ(::lstat(path("out.fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(listing(), (std::vector<std::string>{"a", "b", "in.csv", "out.fifo"}));
}

TEST_F(Engine, AReplacedFileKeepsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    const std::string csv = write("in.csv", "a\n1\n");
    const std::string out = write("out.sarn", "old");
    ASSERT_EQ(::chown(out.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(out.c_str(), 02640), 0);
    auto r = run(csv, out, 1);
    ASSERT_TRUE(r.ok()) << r.error().message;
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 02640u);  // set after the owner, which clears the set-group-ID bit
}

// The module's policy writes in place: the output itself is created at
// once and written through, nothing beside it, and a failure leaves the
// partial file (its frozen contract).
TEST_F(Engine, InPlaceOutputOnlyRefusesTheInput) {
    const std::string csv = write("in.csv", "a\n1\n");
    struct stat in;
    ASSERT_EQ(::stat(csv.c_str(), &in), 0);
    using sarn::pipeline::OutputPolicy;
    using sarn::pipeline::Wording;
    auto same = sarn::pipeline::OutputFile::open({csv, OutputPolicy::InPlace, &in, Wording::Module, {}});
    ASSERT_FALSE(same.ok());
    EXPECT_EQ(same.error().kind, ErrorKind::Io);
    EXPECT_EQ(same.error().message, "Output file is the CSV input file itself: " + csv);
    auto other = sarn::pipeline::OutputFile::open({path("o.sarn"), OutputPolicy::InPlace, &in, Wording::Module, {}});
    ASSERT_TRUE(other.ok());
    EXPECT_TRUE(other->temp_path().empty());
    EXPECT_TRUE(other->commit().ok());
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.csv", "o.sarn"}));
}

// ------------------------------------------------------------ chunk pipeline

// Batches of one column whose chunks encode to different sizes, so that
// encoders finish out of order.
std::vector<sarn::container::TextBatch> varied_batches(std::size_t count) {
    std::vector<sarn::container::TextBatch> batches;
    for (std::size_t b = 0; b < count; ++b) {
        sarn::container::TextBatch batch(2);
        const std::size_t rows = b + 1 == count ? 777 : sarn::pipeline::CHUNK_SIZE;
        for (std::size_t r = 0; r < rows; ++r) {
            const std::string line =
                std::to_string(r * (b + 1) * 2654435761u % (b % 2 ? 1000003 : 7)) + ",x" + std::to_string(b);
            sarn::pipeline::append_row(batch, line, 2);
        }
        batches.push_back(std::move(batch));
    }
    return batches;
}

TEST_F(Engine, ChunkPipelineAppendsInOrderAsWriteChunkWould) {
    std::vector<sarn::container::ColumnSchema> schema = sarn::pipeline::text_schema({"a", "b"});
    {
        auto w = sarn::container::StreamingSarnWriter::create(path("ref.sarn"), schema, sarn::pipeline::CHUNK_SIZE);
        ASSERT_TRUE(w.ok());
        for (const auto& b : varied_batches(6)) ASSERT_TRUE(w->write_chunk(b).ok());
        ASSERT_TRUE(w->finish().ok());
    }
    const std::string expected = masked(read(path("ref.sarn")));
    for (unsigned threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        auto w = sarn::container::StreamingSarnWriter::create(path("out.sarn"), schema, sarn::pipeline::CHUNK_SIZE);
        ASSERT_TRUE(w.ok());
        {
            sarn::pipeline::ChunkPipeline pipeline(*w, threads);
            for (auto& b : varied_batches(6)) {
                ASSERT_TRUE(pipeline.submit(b).ok());
                EXPECT_TRUE(b.empty());  // handed back empty, to be filled again
                ASSERT_TRUE(pipeline.poll().ok());
            }
            ASSERT_TRUE(pipeline.finish().ok());
        }
        ASSERT_TRUE(w->finish().ok());
        EXPECT_EQ(masked(read(path("out.sarn"))), expected);
    }
}

TEST_F(Engine, ChunkPipelineReportsAWriteFailureAndACancel) {
    std::vector<sarn::container::ColumnSchema> schema = sarn::pipeline::text_schema({"a", "b"});
    auto batches = varied_batches(40);
    // /dev/full takes the header into the writer's buffer, then refuses the
    // first chunk data that reaches it.
    auto w = sarn::container::StreamingSarnWriter::create("/dev/full", schema, sarn::pipeline::CHUNK_SIZE);
    ASSERT_TRUE(w.ok());
    sarn::common::Result<void> r;
    {
        sarn::pipeline::ChunkPipeline pipeline(*w, 2);
        for (auto& b : batches) {
            if (r = pipeline.submit(b); !r) break;
        }
        if (r) r = pipeline.finish();
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().errnum, ENOSPC);

    auto w2 = sarn::container::StreamingSarnWriter::create(path("c.sarn"), schema, sarn::pipeline::CHUNK_SIZE);
    ASSERT_TRUE(w2.ok());
    sarn::pipeline::ChunkPipeline pipeline(*w2, 2);
    auto more = varied_batches(2);
    ASSERT_TRUE(pipeline.submit(more[0]).ok());
    pipeline.cancel();
    auto after = pipeline.submit(more[1]);
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().message, "interrupted");
    EXPECT_FALSE(pipeline.finish().ok());
}

}  // namespace
