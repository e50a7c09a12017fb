#include "pipeline/parallel_compress.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sched.h>
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
// As in compress_csv: a batch reserves its cell index for a full chunk up to
// this many cells; wider files grow it on demand.
constexpr std::size_t MAX_RESERVED_CELLS = std::size_t{1} << 24;

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

// Index of the first byte of the first ill-formed sequence in `bytes`
// (bytes.size() when there is none).  Only used to name the place of an
// error that is_valid_utf8 found, so it favours plainness over speed.
std::size_t first_bad_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
        }
        i += len;
    }
    return n;
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
        if (spill_.capacity() > READ_BUFFER_SIZE) std::string().swap(spill_);
        spill_.clear();
        for (;;) {
            if (pos_ == fill_) {
                const std::size_t got = refill();
                if (got == 0) break;
                pos_ = 0;
                fill_ = got;
            }
            const char* start = buffer_.get() + pos_;
            const std::size_t available = fill_ - pos_;
            if (const void* lf = std::memchr(start, '\n', available)) {
                const std::size_t len = static_cast<const char*>(lf) - start + 1;
                pos_ += len;
                if (!spilled) return finish(std::string_view(start, len), line);
                spill_.append(start, len);
                return finish(spill_, line);
            }
            spill_.append(start, available);
            spilled = true;
            pos_ = fill_;
        }
        if (spill_.empty()) return false;
        return finish(spill_, line);
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

    bool finish(std::string_view gathered, std::string_view& line) {
        const std::uint64_t start = consumed_;
        consumed_ += gathered.size();
        ++lines_;
        if (!common::is_valid_utf8(gathered)) {
            const std::size_t bad = first_bad_utf8(gathered);
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
    std::string spill_;
    std::uint64_t consumed_ = 0;
    std::uint64_t lines_ = 0;
};

}  // namespace

unsigned usable_cores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

struct ParallelCompress::State {
    // Fixed by the constructor.
    std::string csv_path;
    std::string sarn_path;
    unsigned threads = 1;
    common::FileHandle input;
    bool pollable = false;
    std::uint64_t total_bytes = 0;
    Clock::time_point started;

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> bytes_read{0};

    std::mutex m;
    std::condition_variable cv;       // every change below, for the job threads
    std::condition_variable done_cv;  // `ended`, for the owner
    std::vector<std::thread> pool;
    unsigned running = 0;
    bool ended = false;
    bool cancelled = false;
    bool committed = false;  // the output has been renamed into place
    std::exception_ptr error;
    std::string temp_path;  // empty once renamed or removed

    // Set by the reader before the first batch is queued; read-only after.
    std::vector<container::ColumnSchema> schema;
    std::optional<container::StreamingSarnWriter> writer;

    std::vector<std::unique_ptr<container::TextBatch>> batches;
    std::vector<container::TextBatch*> free_batches;
    std::size_t batch_limit = 1;     // parsed batches: one being filled, one per encoder
    std::size_t in_flight_limit = 1; // chunks between the reader and the file
    std::size_t in_flight = 0;
    std::size_t largest_text = 0;    // text bytes of the fullest batch so far
    std::deque<std::pair<std::uint32_t, container::TextBatch*>> work;
    std::map<std::uint32_t, container::EncodedChunk> ready;
    bool input_done = false;
    std::uint32_t chunks_read = 0;  // chunks handed on by the reader
    std::uint64_t rows = 0;         // set with input_done
    ParallelSummary summary;

    void fail(std::exception_ptr e) {
        std::lock_guard lk(m);
        if (!error) error = std::move(e);
        stop.store(true);
        cv.notify_all();
    }

    void check_stop() {
        if (stop.load(std::memory_order_relaxed)) throw_cancelled();
    }

    // Runs one job thread's body, handing any failure to fail().
    template <class F>
    void thread_body(F&& body) {
        try {
            body();
        } catch (...) {
            fail(std::current_exception());
        }
        std::lock_guard lk(m);
        if (--running == 0) {
            ended = true;
            done_cv.notify_all();
        }
    }

    container::TextBatch* acquire_batch(std::size_t columns) {
        std::unique_lock lk(m);
        cv.wait(lk, [&] {
            return stop.load() ||
                   (in_flight < in_flight_limit && (!free_batches.empty() || batches.size() < batch_limit));
        });
        check_stop();
        ++in_flight;
        if (!free_batches.empty()) {
            container::TextBatch* b = free_batches.back();
            free_batches.pop_back();
            return b;
        }
        auto b = std::make_unique<container::TextBatch>(columns);
        b->reserve_rows(columns * CHUNK_SIZE <= MAX_RESERVED_CELLS
                            ? CHUNK_SIZE
                            : std::max<std::size_t>(1, MAX_RESERVED_CELLS / columns));
        // Sized like the batch before it: growing the text by doubling
        // would briefly hold the old and the new copy and overshoot.
        b->reserve_text(largest_text + largest_text / 16);
        batches.push_back(std::move(b));
        return batches.back().get();
    }

    void chunk_done() {
        std::lock_guard lk(m);
        --in_flight;
        cv.notify_all();
    }

    void release_batch(container::TextBatch* b) {
        b->clear();
        std::lock_guard lk(m);
        free_batches.push_back(b);
        cv.notify_all();
    }

    // Header, output creation and then the batches, in one pass over one
    // handle.  With one thread it also encodes and appends each chunk.
    void run_reader() {
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
        std::vector<container::ColumnSchema> columns;
        columns.reserve(column_count);
        for (std::string& name : names) {
            container::ColumnSchema column;
            column.name = std::move(name);
            column.key.fill(0);
            column.encrypted = 0;
            column.type_code = container::TYPE_TEXT;
            columns.push_back(std::move(column));
        }
        auto created = container::StreamingSarnWriter::create(temp_path, columns, CHUNK_SIZE);
        if (!created) {
            const std::string& text = created.error().message;
            throw CompressFailure(Kind::Os, text, errno_in(text), sarn_path);
        }
        {
            std::lock_guard lk(m);
            schema = std::move(columns);
            writer.emplace(std::move(*created));
        }
        bytes_read.store(source.consumed(), std::memory_order_relaxed);

        const bool inline_mode = threads == 1;
        std::uint32_t chunk_index = 0;
        std::uint64_t rows_read = 0;
        bool at_end = false;
        while (!at_end) {
            container::TextBatch* batch = acquire_batch(column_count);
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
                }
                if (is_blank(line)) continue;
                if (!append_row(*batch, line, column_count)) {
                    throw CompressFailure(Kind::BadInput, csv_path + ": line " +
                                                              std::to_string(source.line_number()) + ": " +
                                                              LINE_TOO_LONG_TEXT);
                }
                ++batch_rows;
            }
            bytes_read.store(source.consumed(), std::memory_order_relaxed);
            {
                std::lock_guard lk(m);
                largest_text = std::max(largest_text, batch->text_bytes());
            }
            if (batch_rows == 0) {
                release_batch(batch);
                chunk_done();
                break;
            }
            const std::uint32_t index = chunk_index++;
            rows_read += batch_rows;
            if (inline_mode) {
                auto encoded = container::encode_chunk(schema, index, *batch, &stop);
                check_stop();
                if (!encoded) throw CompressFailure(Kind::Value, encoded.error().message);
                release_batch(batch);
                append(std::move(*encoded));
                chunk_done();
            } else {
                std::lock_guard lk(m);
                work.emplace_back(index, batch);
                chunks_read = chunk_index;
                cv.notify_all();
            }
        }
        input.close().ok();  // read to the end: the input is no longer needed
        if (inline_mode) {
            {
                std::lock_guard lk(m);
                chunks_read = chunk_index;
                rows = rows_read;
            }
            finalize(source.consumed());
        } else {
            std::lock_guard lk(m);
            input_done = true;
            rows = rows_read;
            summary.input_bytes = source.consumed();
            cv.notify_all();
        }
    }

    void run_encoder() {
        for (;;) {
            std::pair<std::uint32_t, container::TextBatch*> job;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [&] { return stop.load() || !work.empty() || input_done; });
                if (stop.load()) return;
                if (work.empty()) return;  // input_done and nothing left
                job = work.front();
                work.pop_front();
            }
            auto encoded = container::encode_chunk(schema, job.first, *job.second, &stop);
            // The cells are no longer needed: the encoded chunk is a fraction
            // of their size, so the batch goes back to the reader at once.
            release_batch(job.second);
            if (stop.load()) return;
            if (!encoded) throw CompressFailure(Kind::Value, encoded.error().message);
            std::lock_guard lk(m);
            ready.emplace(job.first, std::move(*encoded));
            cv.notify_all();
        }
    }

    void run_writer() {
        std::uint32_t next = 0;
        for (;;) {
            container::EncodedChunk item;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [&] {
                    return stop.load() || ready.count(next) != 0 || (input_done && next == chunks_read);
                });
                if (stop.load()) return;
                auto it = ready.find(next);
                if (it == ready.end()) break;  // every chunk is in the file
                item = std::move(it->second);
                ready.erase(it);
            }
            append(std::move(item));
            chunk_done();
            ++next;
        }
        finalize(summary.input_bytes);
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
        if (::rename(temp_path.c_str(), sarn_path.c_str()) != 0) throw_os(errno, "Cannot replace", sarn_path);
        committed = true;
        temp_path.clear();
        summary.input_bytes = input_bytes;
        summary.output_bytes = static_cast<std::uint64_t>(st.st_size);
        summary.rows = rows;
        summary.columns = schema.size();
        summary.chunks = chunks_read;
        summary.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        sync_folder();
    }

    // Makes the rename itself durable.  A failure here cannot undo the
    // rename and the data is already on disk, so it is not an error.
    void sync_folder() const {
        const std::size_t slash = sarn_path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : sarn_path.substr(0, slash);
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
    for (const std::string* p : {&csv_path, &sarn_path}) {
        if (p->find('\0') != std::string::npos) throw CompressFailure(Kind::Value, "embedded null byte");
    }
    s.csv_path = csv_path;
    s.sarn_path = sarn_path;
    s.threads = threads;
    s.batch_limit = threads == 1 ? 1 : threads + 1;
    s.in_flight_limit = threads == 1 ? 1 : threads + 2;

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
        if (S_ISREG(out.st_mode)) mode = out.st_mode & 07777;  // a replaced file keeps its permissions
    } else if (errno != ENOENT) {
        throw_os(errno, "Cannot create", sarn_path);
    }

    // The temporary file sits beside the output, so the final rename stays
    // within one file system.
    const std::size_t slash = sarn_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : sarn_path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? sarn_path : sarn_path.substr(slash + 1);
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
    if (!s.pool.empty() || s.ended) return;
    const unsigned encoders = s.threads == 1 ? 0 : s.threads;
    s.running = 1 + (encoders > 0 ? encoders + 1 : 0);
    s.pool.reserve(s.running);
    s.pool.emplace_back([&s] { s.thread_body([&s] { s.run_reader(); }); });
    if (encoders > 0) {
        for (unsigned i = 0; i < encoders; ++i) s.pool.emplace_back([&s] { s.thread_body([&s] { s.run_encoder(); }); });
        s.pool.emplace_back([&s] { s.thread_body([&s] { s.run_writer(); }); });
    }
}

bool ParallelCompress::wait_for(std::chrono::milliseconds timeout) {
    State& s = *state_;
    std::unique_lock lk(s.m);
    if (s.pool.empty()) return true;
    return s.done_cv.wait_for(lk, timeout, [&] { return s.ended; });
}

void ParallelCompress::cancel() noexcept {
    State& s = *state_;
    std::lock_guard lk(s.m);
    if (s.committed) return;
    s.cancelled = true;
    s.stop.store(true);
    s.cv.notify_all();
}

void ParallelCompress::join() noexcept {
    State& s = *state_;
    for (std::thread& t : s.pool) {
        if (t.joinable()) t.join();
    }
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
