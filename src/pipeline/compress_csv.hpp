// compress_csv: streams one CSV file into one SARN container.
//
// The driver reads the header line on its own (1 MiB buffer, file closed at
// once), creates the container with one text column per header name, then
// streams the data lines in batches of CHUNK_SIZE rows through a 1 MiB read
// buffer.  Memory is one batch, one line and the read buffer, whatever the
// size of the file.  Progress lines go to standard error, one write each.
#pragma once

#include <cstdint>
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
    std::uint64_t csv_size = 0;   // input length before any processing
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
// It sees the run but changes nothing in what is written or printed.
class CompressHooks {
public:
    virtual ~CompressHooks() = default;
    // The output file now exists: this run created (or truncated) it.
    virtual void output_created() {}
    // Asked before the output is created, every few thousand lines of the
    // streaming pass and before the container is closed, with the input
    // bytes consumed so far (line feeds counted, carriage returns not).
    // Returning false abandons the run with the error INTERRUPTED_TEXT.
    virtual bool keep_going(std::uint64_t bytes_read) {
        (void)bytes_read;
        return true;
    }
};

inline constexpr const char* INTERRUPTED_TEXT = "interrupted";

// Compresses the CSV file at `csv_path` into a container at `sarn_path`.
// Progress lines go to `progress_fd` (standard error unless a test says
// otherwise).  Failures: Error::value "CSV file is empty" for a zero-byte
// input and for a header of more than 65,535 columns; Error::io for all
// else.  An output path naming the input file (by any spelling or link) is
// refused before anything is created.  After the container was created, a
// failure leaves the part written so far on disk.
// `hooks`, when given, is told about the run as it goes (see CompressHooks).
Result<CompressSummary> compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                     int progress_fd = STDERR_FILENO, CompressHooks* hooks = nullptr);

// Pieces of the progress lines, exposed for tests.

// "1.50GB" from 1 GiB up, else whole MiB rounded to even: "5MB", "0MB".
std::string size_text(std::uint64_t bytes);

// max(csv_size - sarn_size, 0) / csv_size * 100; 0.0 for an empty input.
double compression_ratio(std::uint64_t csv_size, std::uint64_t sarn_size) noexcept;

// The batch memory the Streaming line announces: 20 bytes a cell, in MiB.
std::uint64_t memory_estimate_mb(std::uint64_t column_count) noexcept;

}  // namespace sarn::pipeline
