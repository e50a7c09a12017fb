// ParallelCompress: one CSV file into one SARN container on several cores.
//
// The container is byte for byte the one compress_csv writes for the same
// input (its creation time aside), for every thread count: the chunks are
// cut the same way and encoded by the same encode_chunk, only on several
// threads at once, and appended in chunk order.
//
// Threads.  One job thread reads the input through one handle, checks
// UTF-8, cuts lines into cells and fills batches of CHUNK_SIZE rows.  With
// `threads` = 1 it also encodes each chunk (encode_chunk) and appends it.
// With `threads` = N > 1 it hands each batch to a ChunkPipeline, whose N
// encoder threads encode whole chunks, and appends the encoded chunks in
// chunk order, as `sarn compress --threads N` does through compress_csv.
//
// Memory.  At most N + 2 chunks are between the reader and the file, and at
// most N + 1 batches of cells exist (see ChunkPipeline); 1 of each with one
// thread.  Batches are reused with their storage.

// Output.  The container is written to a temporary file in the output's
// folder, flushed to stable storage and renamed over the output only when
// complete.  A failed or cancelled job removes the temporary file and leaves
// the output path as it was.  An output that is a symbolic link keeps the
// link: the file it leads to is replaced (a dangling link is replaced by the
// container itself).
//
// Input.  The input is opened once, up front, and read through that one
// handle, so pipes and FIFOs work.  Reads from anything but a regular file
// wait at most a few tens of milliseconds at a time, so that cancel() is
// honoured even while a pipe's writer is silent.
//
// Errors are thrown as CompressFailure: by the constructor for what can be
// checked before anything is touched, and by result() for what went wrong
// on a job thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/cores.hpp"

namespace sarn::pipeline {

// What a job reports when it failed.  kind() says which sort of error it is,
// and so which exception a front end raises.
class CompressFailure : public std::runtime_error {
public:
    enum class Kind {
        Os,         // an operating-system error: errnum() and filename() are set
        BadInput,   // the input cannot be read as the CSV dialect (invalid UTF-8, a line over 4 GiB)
        Value,      // an input the container cannot hold, or arguments that make no sense
        Cancelled,  // cancel() was called
    };

    CompressFailure(Kind kind, const std::string& message, int errnum = 0, std::string filename = {})
        : std::runtime_error(message), kind_(kind), errnum_(errnum), filename_(std::move(filename)) {}

    Kind kind() const noexcept { return kind_; }
    int errnum() const noexcept { return errnum_; }
    const std::string& filename() const noexcept { return filename_; }

private:
    Kind kind_;
    int errnum_;
    std::string filename_;
};

struct ParallelSummary {
    std::uint64_t input_bytes = 0;   // bytes read from the input
    std::uint64_t output_bytes = 0;  // length of the finished container
    std::uint64_t rows = 0;          // data rows (blank lines are not rows)
    std::uint64_t columns = 0;
    std::uint64_t chunks = 0;
    double seconds = 0;              // from the constructor to the rename
};

// The most threads a job accepts.
inline constexpr unsigned MAX_THREADS = 4096;

class ParallelCompress {
public:
    // Opens the input, checks the paths and creates the temporary file; no
    // thread runs yet.  Throws CompressFailure: Os for an input or an output
    // folder that cannot be opened, an input or output that is a directory;
    // Value for `threads` = 0 or above MAX_THREADS, for an existing output
    // that is not a regular file (a device, a FIFO) and for an output path that names the input
    // file (by any spelling or link).  Nothing is created when it throws.
    ParallelCompress(const std::string& csv_path, const std::string& sarn_path, unsigned threads);

    // Cancels, joins and removes the temporary file unless the job finished.
    ~ParallelCompress();

    ParallelCompress(const ParallelCompress&) = delete;
    ParallelCompress& operator=(const ParallelCompress&) = delete;

    // Starts the job threads.  Call once.
    void start();

    // Waits up to `timeout` for the job to end (finished or failed); true
    // when it has ended.
    bool wait_for(std::chrono::milliseconds timeout);

    // Asks every thread to stop soon.  Safe from any thread, any number of
    // times; a job that has already renamed its output stays finished.
    void cancel() noexcept;

    // Waits for every thread and removes the temporary file of a job that
    // did not finish.  Idempotent.
    void join() noexcept;

    // Input bytes read so far, and the input's length (0 when not known in
    // advance, as for a pipe).  Safe from any thread.
    std::uint64_t bytes_done() const noexcept;
    std::uint64_t bytes_total() const noexcept;

    // Joins, then returns the summary or throws the job's CompressFailure.
    ParallelSummary result();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Runs a whole job on the calling thread's behalf and returns its summary;
// throws CompressFailure.  `stop`, when given, is polled a few times a
// second and cancels the job when it becomes true.
ParallelSummary parallel_compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                      unsigned threads, const std::atomic<bool>* stop = nullptr);

}  // namespace sarn::pipeline
