// compress_csv: streams one CSV file into one SARN container.  Every front
// end runs this driver: sarn_fileformat.compress_csv, the `sarn` command and
// (on a thread of its own) sarnio's ParallelCompress.  They differ only in
// their options: how failures are worded, how the output is put in place,
// how many threads encode, where progress lines go, and the hooks.
//
// The driver opens the input once and reads it in one pass through a 1 MiB
// buffer: the header line first, then the data lines in batches of
// CHUNK_SIZE rows.  So a pipe, a FIFO or /dev/stdin gives every row, as a
// regular file does.  Memory is one batch per encoder, one line and the
// read buffer, whatever the size of the input.  Progress lines go to
// standard error, one write each; with standard error closed they go
// nowhere (the files the driver opens never take descriptors 0, 1 or 2).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <unistd.h>

#include "codec/codec.hpp"
#include "common/result.hpp"
#include "pipeline/batch_loop.hpp"
#include "pipeline/column_types.hpp"
#include "pipeline/csv_dialect.hpp"
#include "pipeline/messages.hpp"
#include "pipeline/output_file.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

// The streaming progress line may print when the row count is a multiple of
// this; it is only checked after a full batch.
inline constexpr std::uint64_t PROGRESS_INTERVAL_ROWS = 1000000;

// What a successful run reports.
struct CompressSummary {
    // The input's length: for a file its size before any processing, for a
    // stream (pipe, FIFO, terminal or other device) the bytes read from it.
    std::uint64_t csv_size = 0;
    std::uint64_t sarn_size = 0;  // output length after the container was closed
    double compression_ratio = 0;  // percent of the input saved, never negative
    std::uint64_t rows = 0;  // data rows (blank lines are not rows)
    std::uint64_t columns = 0;
    std::uint64_t chunks = 0;
};

// A progress line could not be written.  This is a fault of the process's
// environment, not of the input, so it is thrown rather than returned; the
// module raises it as PanicException with this message.
class ProgressWriteFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a front end may add to a run: it sees the run go and takes part in
// putting the output in place, but changes nothing in what is written.
class CompressHooks {
public:
    virtual ~CompressHooks() = default;
    // The input is open: `size` is its length for a regular file, nothing
    // for a stream, whose length is known only at its end.
    virtual void input_opened(std::optional<std::uint64_t> size) { (void)size; }
    // Every thousand lines or so and at the end of the input, with the
    // input offset reached.
    virtual void progress(std::uint64_t bytes) { (void)bytes; }
    // Prepares the output; by default OutputFile::open(request).
    virtual Result<OutputFile> open_output(const OutputRequest& request) { return OutputFile::open(request); }
    // The container is complete and on stable storage in
    // the output's file: put it in place, by default output.commit().
    // Nothing after this can fail the run but the driver's own check that
    // the output exists and is not empty.
    virtual Result<void> commit_output(OutputFile& output) { return output.commit(); }
};

// How the input is read and what the container is made of beyond its rows:
// choices of the everyday package that the module never makes.  The
// defaults read and write as the module does.
struct WriteChoices {
    // The block codec's compression level for every block (codec::MIN_LEVEL
    // to codec::MAX_LEVEL).  Any level's container reads back the same, and
    // a level fixes the bytes whatever the thread count.
    int level = codec::DEFAULT_LEVEL;
    // How records and fields are cut.  The everyday package's own default
    // is CsvDialect{} (quoted fields, extra fields an error, no BOM).
    CsvDialect dialect = CsvDialect::module();
    // The columns' types.  Infer reads a regular file twice (a first pass
    // decides) and refuses a stream.
    ColumnTypes types;
};

// Why `choices` cannot be used, or nothing.
std::optional<std::string> choices_problem(const WriteChoices& choices);

struct CompressOptions {
    // Where the progress lines go; -1 for nowhere.
    int progress_fd = STDERR_FILENO;
    // 1: every step on the calling thread.  N > 1: the chunks are encoded
    // on N threads (ChunkPipeline) while this thread reads and appends; the
    // bytes, the lines printed and the errors are the same.
    unsigned threads = 1;
    Wording wording = Wording::Module;
    OutputPolicy output = OutputPolicy::InPlace;
    // A stop request ends the run soon with ErrorKind::Cancelled.  When
    // stopping is possible, the input is opened without waiting (a FIFO
    // without a writer would block the open) and a stream is polled.
    std::stop_token stop;
    CompressHooks* hooks = nullptr;
    WriteChoices choices;
    // The progress lines show the input's name with control characters and
    // bytes that are not UTF-8 escaped (\xNN), as a terminal may print it;
    // the module's lines show it as it is.
    bool printable_names = false;
};

// Compresses the CSV file (or stream) at `csv_path` into a container at
// `sarn_path`.  Failures (worded as options.wording says): ErrorKind::Value
// for an empty input, a header of more than 65,535 columns and, in the
// Named wording, an embedded NUL or an output that names the input, types
// that name a column the header lacks or repeats, and types="infer" on a
// stream (refused before anything is read); ErrorKind::Input for a line
// that is not UTF-8 or too long and the faults of the dialect (see
// InputFault); Cancelled for a stop; Io for all else, with errno and the
// file when known.  An output
// naming the input (by any spelling or link) is refused before anything is
// created.  What a failure leaves of the output is the policy's business
// (see OutputFile).
Result<CompressSummary> compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                     const CompressOptions& options = {});

// Pieces of the progress lines, exposed for tests.

// "1.50GB" from 1 GiB up, else whole MiB rounded to even: "5MB", "0MB".
std::string size_text(std::uint64_t bytes);

// max(csv_size - sarn_size, 0) / csv_size * 100; 0.0 for an empty input.
double compression_ratio(std::uint64_t csv_size, std::uint64_t sarn_size) noexcept;

// The batch memory the Streaming line announces: 20 bytes a cell, in MiB.
std::uint64_t memory_estimate_mb(std::uint64_t column_count) noexcept;

}  // namespace sarn::pipeline
