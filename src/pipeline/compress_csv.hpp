// compress_csv: streams one CSV file into one SARN container.
//
// The driver opens the input once and reads it in one pass through a 1 MiB
// buffer: the header line first, then the data lines in batches of
// CHUNK_SIZE rows.  So a pipe, a FIFO or /dev/stdin gives every row, as a
// regular file does.  Memory is one batch, one line and the read buffer,
// whatever the size of the input.  Progress lines go to standard error, one
// write each; with standard error closed they go nowhere (the files the
// driver opens never take descriptors 0, 1 or 2).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "common/result.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

// Rows per chunk, and the container's chunk_size.
inline constexpr std::uint32_t CHUNK_SIZE = 65536;
// The streaming progress line may print when the row count is a multiple of
// this; it is only checked after a full batch.
inline constexpr std::uint64_t PROGRESS_INTERVAL_ROWS = 1000000;

// What a successful run reports.
struct CompressSummary {
    // The input's length: for a file its size before any processing, for a
    // stream (pipe, FIFO, terminal or other device) the bytes read from it.
    std::uint64_t csv_size = 0;
    std::uint64_t sarn_size = 0;  // output length after the container was closed
    double compression_ratio = 0; // percent of the input saved, never negative
};

// A progress line could not be written.  This is a fault of the process's
// environment, not of the input, so it is thrown rather than returned; the
// Python boundary raises it as PanicException with this message.
class ProgressWriteFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An observer of one run, for interactive front ends (the `sarn` command).
// It sees the run and may choose where the container is written first, but
// changes nothing in what is written or printed.
class CompressHooks {
public:
    virtual ~CompressHooks() = default;
    // The input is open: `size` is its length for a regular file, nothing
    // for a stream, whose length is known only at its end.
    virtual void input_opened(std::optional<std::uint64_t> size) { (void)size; }
    // The file to write the container into, asked once, right before it is
    // created.  By default `sarn_path` itself.  A front end that must leave
    // an existing output alone until the new one is whole returns a fresh
    // file beside it, and renames that over `sarn_path` in output_complete.
    // An error ends the run with it.
    virtual Result<std::string> output_target(const std::string& sarn_path) { return sarn_path; }
    // Asked before the output is created, every few thousand lines of the
    // streaming pass and before the container is closed, with the input
    // bytes read so far.  Returning false abandons the run with the error
    // INTERRUPTED_TEXT.
    virtual bool keep_going(std::uint64_t bytes_read) {
        (void)bytes_read;
        return true;
    }
    // The container is complete and on stable storage in the output_target
    // file.  An error ends the run with it.
    virtual Result<void> output_complete() { return {}; }
};

inline constexpr const char* INTERRUPTED_TEXT = "interrupted";

// Compresses the CSV file (or stream) at `csv_path` into a container at
// `sarn_path`.  Progress lines go to `progress_fd` (standard error unless a
// test says otherwise).  Failures: Error::value "CSV file is empty" for a zero-byte
// input and for a header of more than 65,535 columns; Error::io for all
// else.  An output path naming the input file (by any spelling or link) is
// refused before anything is created.  After the container was created, a
// failure leaves the part written so far on disk.
// `hooks`, when given, is told about the run as it goes (see CompressHooks).
// `threads` above 1 encodes the chunks on that many threads (ChunkPipeline)
// while this thread reads and appends; the bytes, the lines printed and the
// errors are the same.  With 1, every step runs on the calling thread.
Result<CompressSummary> compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                     int progress_fd = STDERR_FILENO, CompressHooks* hooks = nullptr,
                                     unsigned threads = 1);

// Pieces of the progress lines, exposed for tests.

// "1.50GB" from 1 GiB up, else whole MiB rounded to even: "5MB", "0MB".
std::string size_text(std::uint64_t bytes);

// max(csv_size - sarn_size, 0) / csv_size * 100; 0.0 for an empty input.
double compression_ratio(std::uint64_t csv_size, std::uint64_t sarn_size) noexcept;

// The batch memory the Streaming line announces: 20 bytes a cell, in MiB.
std::uint64_t memory_estimate_mb(std::uint64_t column_count) noexcept;

}  // namespace sarn::pipeline
