#include "pipeline/parallel_compress.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/system_error.hpp"
#include "common/utf8.hpp"
#include "container/encoded_chunk.hpp"
#include "container/text_batch.hpp"
#include "container/writer.hpp"
#include "pipeline/chunk_pipeline.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/csv.hpp"

namespace sarn::pipeline {

namespace {

using Kind = CompressFailure::Kind;
using Clock = std::chrono::steady_clock;

// How long a read from a pipe waits before it looks at the stop flag again.
constexpr int POLL_SLICE_MS = 40;
// How many lines the reader parses between two looks at the stop flag.
constexpr std::uint64_t STOP_CHECK_LINES = 1024;

[[noreturn]] void throw_os(int errnum, const std::string& what, const std::string& filename) {
    throw CompressFailure(Kind::Os, what + " " + filename + ": " + common::system_error_text(errnum), errnum,
                          filename);
}

[[noreturn]] void throw_cancelled() { throw CompressFailure(Kind::Cancelled, "the job was cancelled"); }

// The errno behind a core error text, which ends in "(os error N)" when it
// comes from the operating system; EIO for the core's own I/O texts.
int errno_in(const std::string& text) {
    const std::size_t at = text.rfind("(os error ");
    if (at == std::string::npos) return EIO;
    const int n = std::atoi(text.c_str() + at + 10);
    return n > 0 ? n : EIO;
}

// The process's file-creation mask, read without changing it (umask() can
// only be read by setting it, which would race with other threads).
mode_t current_umask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    return 022;
}

// Cuts the input into lines, as CsvLineReader does, but through a handle
// that may be a pipe, with exact byte positions for error messages, and
// with a stop flag that ends a wait for data.
class LineSource {
public:
    LineSource(int fd, bool pollable, const std::string& path, const std::atomic<bool>& stop)
        : fd_(fd), pollable_(pollable), path_(path), stop_(stop), buffer_(new char[READ_BUFFER_SIZE]) {}

    // The next line without its terminator, or false at end of input.
    // Throws CompressFailure for a failed read, invalid UTF-8 and cancel.
    bool next(std::string_view& line) {
        bool spilled = false;
        bool spill_ascii = true;  // every buffer the spilled part came from is ASCII
        if (spill_.capacity() > READ_BUFFER_SIZE) std::string().swap(spill_);
        spill_.clear();
        for (;;) {
            if (pos_ == fill_) {
                const std::size_t got = refill();
                if (got == 0) break;
                pos_ = 0;
                fill_ = got;
                buffer_ascii_ = common::is_ascii(std::string_view(buffer_.get(), got));
            }
            const char* start = buffer_.get() + pos_;
            const std::size_t available = fill_ - pos_;
            if (const void* lf = std::memchr(start, '\n', available)) {
                const std::size_t len = static_cast<const char*>(lf) - start + 1;
                pos_ += len;
                if (!spilled) return finish(std::string_view(start, len), buffer_ascii_, line);
                spill_.append(start, len);
                return finish(spill_, spill_ascii && buffer_ascii_, line);
            }
            spill_.append(start, available);
            spill_ascii = spill_ascii && buffer_ascii_;
            spilled = true;
            pos_ = fill_;
        }
        if (spill_.empty()) return false;
        return finish(spill_, spill_ascii, line);
    }

    std::uint64_t consumed() const noexcept { return consumed_; }
    std::uint64_t line_number() const noexcept { return lines_; }

private:
    std::size_t refill() {
        for (;;) {
            if (stop_.load(std::memory_order_relaxed)) throw_cancelled();
            if (pollable_) {
                pollfd p{fd_, POLLIN, 0};
                const int r = ::poll(&p, 1, POLL_SLICE_MS);
                if (r < 0 && errno != EINTR) throw_os(errno, "Cannot read", path_);
                if (r <= 0) continue;
            }
            const ssize_t n = ::read(fd_, buffer_.get(), READ_BUFFER_SIZE);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR || errno == EAGAIN) continue;
            throw_os(errno, "Cannot read", path_);
        }
    }

    bool finish(std::string_view gathered, bool known_ascii, std::string_view& line) {
        const std::uint64_t start = consumed_;
        consumed_ += gathered.size();
        ++lines_;
        if (!known_ascii && !common::is_valid_utf8(gathered)) {
            const std::size_t bad = common::first_bad_utf8(gathered);
            throw CompressFailure(Kind::BadInput, path_ + ": line " + std::to_string(lines_) +
                                                      " is not valid UTF-8 (byte offset " +
                                                      std::to_string(start + (bad < gathered.size() ? bad : 0)) +
                                                      ")");
        }
        if (!gathered.empty() && gathered.back() == '\n') {
            gathered.remove_suffix(1);
            if (!gathered.empty() && gathered.back() == '\r') gathered.remove_suffix(1);
        }
        line = gathered;
        return true;
    }

    int fd_;
    bool pollable_;
    const std::string& path_;
    const std::atomic<bool>& stop_;
    std::unique_ptr<char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t fill_ = 0;
    bool buffer_ascii_ = true;  // no byte of buffer_[0, fill_) has its high bit set
    std::string spill_;
    std::uint64_t consumed_ = 0;
    std::uint64_t lines_ = 0;
};

}  // namespace

struct ParallelCompress::State {
    // Fixed by the constructor.
    std::string csv_path;
    std::string sarn_path;
    std::string target;  // the file the rename replaces: sarn_path, or where its link leads
    unsigned threads = 1;
    common::FileHandle input;
    bool pollable = false;
    std::uint64_t total_bytes = 0;
    Clock::time_point started;

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> bytes_read{0};

    std::mutex m;
    std::condition_variable done_cv;  // `ended`, for the owner
    std::thread job;
    bool started_job = false;
    bool ended = false;
    bool cancelled = false;
    bool committed = false;  // the output has been renamed into place
    std::exception_ptr error;
    std::string temp_path;  // empty once renamed or removed
    ChunkPipeline* pipeline = nullptr;  // while the encoders run, for cancel()

    std::optional<container::StreamingSarnWriter> writer;
    ParallelSummary summary;

    void check_stop() {
        if (stop.load(std::memory_order_relaxed)) throw_cancelled();
    }

    void run() {
        try {
            compress();
        } catch (...) {  // a CompressFailure, or no memory or threads to be had
            std::lock_guard lk(m);
            if (!error) error = std::current_exception();
        }
        std::lock_guard lk(m);
        ended = true;
        done_cv.notify_all();
    }

    // A failure of the pipeline: an I/O error of the writer, or a chunk the
    // container cannot hold; after cancel(), the cancel.
    [[noreturn]] void pipeline_failed(const common::Error& e) {
        check_stop();
        if (e.kind == common::ErrorKind::Value) throw CompressFailure(Kind::Value, e.message);
        throw CompressFailure(Kind::Os, "Cannot write " + sarn_path + ": " + e.message, errno_in(e.message),
                              sarn_path);
    }

    // Header, output creation and then the batches, in one pass over one
    // handle.  With one thread this thread also encodes each chunk; with
    // more, a ChunkPipeline encodes them and this thread appends them.
    void compress() {
        LineSource source(input.fd(), pollable, csv_path, stop);
        std::string_view line;
        if (!source.next(line)) throw CompressFailure(Kind::Value, "CSV file is empty");
        std::vector<std::string> names = split_header(line);
        const std::size_t column_count = names.size();
        if (column_count > container::MAX_COLUMNS) {
            throw CompressFailure(Kind::Value, "CSV header has " + std::to_string(column_count) +
                                                   " columns; a SARN container holds at most " +
                                                   std::to_string(container::MAX_COLUMNS));
        }
        auto created = container::StreamingSarnWriter::create(temp_path, text_schema(std::move(names)), CHUNK_SIZE);
        if (!created) {
            const std::string& text = created.error().message;
            throw CompressFailure(Kind::Os, text, errno_in(text), sarn_path);
        }
        writer.emplace(std::move(*created));
        bytes_read.store(source.consumed(), std::memory_order_relaxed);

        std::optional<ChunkPipeline> encoders;
        if (threads > 1) {
            encoders.emplace(*writer, threads);
            std::lock_guard lk(m);
            pipeline = &*encoders;
            if (stop.load()) encoders->cancel();  // a cancel that came before
        }
        struct Detach {  // cancel() must not reach a pipeline that is gone
            State& s;
            ~Detach() {
                std::lock_guard lk(s.m);
                s.pipeline = nullptr;
            }
        } detach{*this};

        container::TextBatch batch(column_count);
        batch.reserve_rows(rows_to_reserve(column_count, CHUNK_SIZE));
        container::ChunkScratch scratch;  // for encoding on this thread
        std::uint32_t chunk_index = 0;
        std::uint64_t rows = 0;
        bool at_end = false;
        while (!at_end) {
            std::size_t batch_rows = 0;
            std::uint64_t lines = 0;
            while (batch_rows < CHUNK_SIZE) {
                if (!source.next(line)) {
                    at_end = true;
                    break;
                }
                if ((++lines % STOP_CHECK_LINES) == 0) {
                    check_stop();
                    bytes_read.store(source.consumed(), std::memory_order_relaxed);
                    // Encoded chunks wait for this thread: write them out
                    // now rather than after the whole batch is parsed.
                    if (encoders) {
                        if (auto r = encoders->poll(); !r) pipeline_failed(r.error());
                    }
                }
                if (is_blank(line)) continue;
                if (!append_row(batch, line, column_count)) {
                    throw CompressFailure(Kind::BadInput, csv_path + ": line " +
                                                              std::to_string(source.line_number()) + ": " +
                                                              LINE_TOO_LONG_TEXT);
                }
                ++batch_rows;
            }
            bytes_read.store(source.consumed(), std::memory_order_relaxed);
            if (batch_rows == 0) break;
            rows += batch_rows;
            if (encoders) {
                if (auto r = encoders->submit(batch); !r) pipeline_failed(r.error());
            } else {
                // Each block goes to the file as soon as it is made.
                auto encoded = container::encode_chunk(
                    writer->schema(), chunk_index, batch, &stop, &scratch,
                    [this](container::EncodedChunk& chunk, std::size_t complete) {
                        return writer->append_blocks(chunk, complete);
                    });
                check_stop();
                if (!encoded) pipeline_failed(encoded.error());
                batch.clear();
                append(std::move(*encoded));
            }
            ++chunk_index;
        }
        input.close().ok();  // read to the end: the input is no longer needed
        if (encoders) {
            if (auto r = encoders->finish(); !r) pipeline_failed(r.error());
        }
        summary.rows = rows;
        summary.chunks = chunk_index;
        summary.columns = column_count;
        finalize(source.consumed());
    }

    void append(container::EncodedChunk chunk) {
        if (auto r = writer->append_chunk(std::move(chunk)); !r) {
            const std::string& text = r.error().message;
            throw CompressFailure(Kind::Os, "Cannot write " + sarn_path + ": " + text, errno_in(text), sarn_path);
        }
    }

    // Closes the container, then puts it in place of the output.
    void finalize(std::uint64_t input_bytes) {
        check_stop();
        auto finished = writer->finish();
        if (!finished) {
            const std::string& text = finished.error().message;
            throw CompressFailure(Kind::Os, "Cannot write " + sarn_path + ": " + text, errno_in(text), sarn_path);
        }
        struct stat st;
        if (::stat(temp_path.c_str(), &st) != 0) throw_os(errno, "Cannot read the metadata of", temp_path);
        std::lock_guard lk(m);
        // A cancel that came before this point wins; after the rename the
        // job is done whatever is asked.
        check_stop();
        if (::rename(temp_path.c_str(), target.c_str()) != 0) throw_os(errno, "Cannot replace", sarn_path);
        committed = true;
        temp_path.clear();
        summary.input_bytes = input_bytes;
        summary.output_bytes = static_cast<std::uint64_t>(st.st_size);
        summary.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        sync_folder();
    }

    // Makes the rename itself durable.  A failure here cannot undo the
    // rename and the data is already on disk, so it is not an error.
    void sync_folder() const {
        const std::size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            (void)::fsync(fd);
            ::close(fd);
        }
    }
};

ParallelCompress::ParallelCompress(const std::string& csv_path, const std::string& sarn_path, unsigned threads)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.started = Clock::now();
    if (threads == 0) throw CompressFailure(Kind::Value, "threads must be at least 1");
    if (threads > MAX_THREADS)
        throw CompressFailure(Kind::Value, "threads must be at most " + std::to_string(MAX_THREADS));
    for (const std::string* p : {&csv_path, &sarn_path}) {
        if (p->find('\0') != std::string::npos) throw CompressFailure(Kind::Value, "embedded null byte");
    }
    s.csv_path = csv_path;
    s.sarn_path = sarn_path;
    s.threads = threads;

    // Opened without waiting: opening a FIFO would otherwise block until a
    // writer appears, out of reach of cancel().
    int fd;
    do {
        fd = ::open(csv_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw_os(errno, "Cannot open", csv_path);
    s.input = common::FileHandle(fd);
    struct stat in;
    if (::fstat(fd, &in) != 0) throw_os(errno, "Cannot read the metadata of", csv_path);
    if (S_ISDIR(in.st_mode)) throw_os(EISDIR, "Cannot read", csv_path);
    if (S_ISREG(in.st_mode)) {
        s.total_bytes = static_cast<std::uint64_t>(in.st_size);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    } else {
        s.pollable = true;
    }

    // The output: never the input, never a folder.
    mode_t mode = 0666 & ~current_umask();
    struct stat out;
    if (::stat(sarn_path.c_str(), &out) == 0) {
        if (out.st_dev == in.st_dev && out.st_ino == in.st_ino)
            throw CompressFailure(Kind::Value, "Output file is the CSV input file itself: " + sarn_path);
        if (S_ISDIR(out.st_mode)) throw_os(EISDIR, "Cannot replace", sarn_path);
        // A device or a FIFO would be replaced by a regular file, not written to.
        if (!S_ISREG(out.st_mode))
            throw CompressFailure(Kind::Value, "Output is not a regular file: " + sarn_path +
                                                   " (the container is written beside it and renamed over it)");
        mode = out.st_mode & 07777;  // a replaced file keeps its permissions
    } else if (errno != ENOENT) {
        throw_os(errno, "Cannot create", sarn_path);
    }

    // The temporary file sits beside the output, so the final rename stays
    // within one file system.
    // A symbolic link stays: the file it leads to is what gets replaced.
    s.target = sarn_path;
    struct stat link;
    if (::lstat(sarn_path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* resolved = ::realpath(sarn_path.c_str(), nullptr);
        if (resolved) {
            s.target = resolved;
            std::free(resolved);
        }
    }
    const std::string& target = s.target;
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + "." + base + ".partial-XXXXXX";
    const int tfd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (tfd < 0) throw_os(errno, "Cannot create", sarn_path);
    (void)::fchmod(tfd, mode);
    ::close(tfd);
    s.temp_path = std::move(pattern);
}

ParallelCompress::~ParallelCompress() {
    cancel();
    join();
}

void ParallelCompress::start() {
    State& s = *state_;
    std::lock_guard lk(s.m);
    if (s.started_job || s.ended) return;
    s.started_job = true;
    s.job = std::thread([&s] { s.run(); });
}

bool ParallelCompress::wait_for(std::chrono::milliseconds timeout) {
    State& s = *state_;
    std::unique_lock lk(s.m);
    if (!s.started_job) return true;
    return s.done_cv.wait_for(lk, timeout, [&] { return s.ended; });
}

void ParallelCompress::cancel() noexcept {
    State& s = *state_;
    std::lock_guard lk(s.m);
    if (s.committed) return;
    s.cancelled = true;
    s.stop.store(true);
    if (s.pipeline) s.pipeline->cancel();
}

void ParallelCompress::join() noexcept {
    State& s = *state_;
    if (s.job.joinable()) s.job.join();
    s.writer.reset();  // closes the temporary file
    s.input = common::FileHandle();
    if (!s.committed && !s.temp_path.empty()) {
        (void)::unlink(s.temp_path.c_str());
        s.temp_path.clear();
    }
}

std::uint64_t ParallelCompress::bytes_done() const noexcept {
    return state_->bytes_read.load(std::memory_order_relaxed);
}

std::uint64_t ParallelCompress::bytes_total() const noexcept { return state_->total_bytes; }

ParallelSummary ParallelCompress::result() {
    join();
    State& s = *state_;
    if (s.committed) return s.summary;
    if (s.cancelled) throw_cancelled();
    if (s.error) std::rethrow_exception(s.error);
    throw CompressFailure(Kind::Cancelled, "the job was not started");
}

ParallelSummary parallel_compress_csv(const std::string& csv_path, const std::string& sarn_path, unsigned threads,
                                      const std::atomic<bool>* stop) {
    ParallelCompress job(csv_path, sarn_path, threads);
    job.start();
    while (!job.wait_for(std::chrono::milliseconds(50))) {
        if (stop && stop->load()) job.cancel();
    }
    return job.result();
}

}  // namespace sarn::pipeline
