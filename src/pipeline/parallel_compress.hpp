// ParallelCompress: one CSV file into one SARN container on several cores,
// as a job that runs beside its owner's thread.
//
// The job runs the compress_csv driver on a thread of its own, with the
// Named wording, the Replace output policy and a stop request of its own,
// so the container is byte for byte the one sarn_fileformat.compress_csv
// writes for the same input (its creation time aside), for every thread
// count: one job thread reads, parses and appends; with `threads` = N > 1 a
// ChunkPipeline encodes the chunks on N threads.
//
// Output.  The container is written to a temporary file beside the output
// (see OutputFile).  When it is complete and on stable storage the job
// waits: complete() becomes true, and only result() renames it over the
// output.  So the owner's last word (a final progress report that may
// raise) comes before the output changes, and a job that ends with an
// error leaves the output as it was.
//
// Input.  The input is opened without waiting and read through one handle,
// so pipes and FIFOs work; reads from anything but a regular file wait at
// most a few tens of milliseconds at a time, so cancel() is honoured even
// while a pipe's writer is silent.
//
// Nothing here throws: failures are returned as common::Error.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "common/cores.hpp"
#include "common/result.hpp"
#include "pipeline/compress_csv.hpp"

namespace sarn::pipeline {

struct ParallelSummary {
    std::uint64_t input_bytes = 0;  // the input's length (bytes read, for a stream)
    std::uint64_t output_bytes = 0;  // length of the finished container
    std::uint64_t rows = 0;  // data rows (blank lines are not rows)
    std::uint64_t columns = 0;
    std::uint64_t chunks = 0;
    double seconds = 0;  // from start() to the rename
};

// The most threads a job accepts.
inline constexpr unsigned MAX_THREADS = 4096;

class ParallelCompress {
public:
    // A job for the paths; nothing is opened or created until start().
    // `choices` say what the container is made of beyond its rows (the
    // defaults write the module's bytes).  Errors: ErrorKind::Value for
    // `threads` = 0 or above MAX_THREADS, and for a level out of range.
    static common::Result<std::unique_ptr<ParallelCompress>> create(const std::string& csv_path,
                                                                    const std::string& sarn_path, unsigned threads,
                                                                    WriteChoices choices = {});

    // Cancels, joins and removes the temporary file unless committed.
    ~ParallelCompress();

    ParallelCompress(const ParallelCompress&) = delete;
    ParallelCompress& operator=(const ParallelCompress&) = delete;

    // Starts the job thread.  Call once.
    void start();

    // Waits up to `timeout` for the job to stop running: true once it has
    // failed, or its container is complete (complete()).
    bool wait_for(std::chrono::milliseconds timeout);

    // True once the container is complete and waits for result() to put it
    // in place.  Safe from any thread.
    bool complete() const noexcept;

    // Asks every thread to stop soon.  Safe from any thread, any number of
    // times; a job whose output result() has put in place stays done.
    void cancel() noexcept;

    // Waits for the job thread; the temporary file of a job that did not
    // commit is removed.  Idempotent.
    void join() noexcept;

    // Input bytes read so far, and the input's length (0 when not known in
    // advance, as for a pipe).  Safe from any thread.
    std::uint64_t bytes_done() const noexcept;
    std::uint64_t bytes_total() const noexcept;

    // The job's outcome: a complete container is renamed over the output
    // (the job's very last step) and the summary returned; otherwise the
    // error that ended the job (ErrorKind::Cancelled after cancel()).
    // Waits for the job to end.
    common::Result<ParallelSummary> result();

    struct Job;  // the job thread and what it shares with the owner

private:
    explicit ParallelCompress(std::unique_ptr<Job> state) noexcept;
    std::unique_ptr<Job> job_;
};

// Runs a whole job and returns its outcome.
common::Result<ParallelSummary> parallel_compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                                      unsigned threads, WriteChoices choices = {});

}  // namespace sarn::pipeline
