#include "pipeline/compress_csv.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "pipeline/chunk_pipeline.hpp"
#include "pipeline/csv.hpp"
#include "container/writer.hpp"
#include "common/file_io.hpp"
#include "common/fixed_text.hpp"
#include "common/system_error.hpp"
#include "container/text_batch.hpp"

namespace sarn::pipeline {

namespace {

constexpr const char* BANNER = "\n>>> compress_csv v1.3.2 STREAMING MODE\n";
constexpr std::uint64_t ESTIMATE_BYTES_PER_CELL = 20;
// Progress lines, each written to `fd` in one write (retried when
// interrupted or partial).  A process without a standard error stream (a
// closed descriptor) gets no progress lines; any other failure is a fault.
void print_line(int fd, const std::string& line) {
    auto written = common::write_all(fd, common::as_bytes(line));
    if (written || written.error().message == common::system_error_text(EBADF)) return;
    throw ProgressWriteFault("failed printing to stderr: " + written.error().message);
}

// The input, open, and what one look at its path told.
struct Input {
    CsvLineReader reader;
    struct stat status;  // of the path, before it was opened
    bool is_stream;      // its size is what is read from it
};

// Checks the input path (one stat), prints the banner and File lines and
// opens the input.  A stream has no size before it is read, so its File
// line says "stream" where a file's gives its size.
Result<Input> open_input(const std::string& csv_path, int progress_fd) {
    auto status = common::path_status(csv_path);
    if (!status) return Error::io("CSV file does not exist: " + csv_path);
    // Pipes, FIFOs, terminals and devices give bytes until they end; their
    // metadata says nothing of how many.
    const bool is_stream = S_ISFIFO(status->st_mode) || S_ISCHR(status->st_mode) || S_ISBLK(status->st_mode);
    print_line(progress_fd, BANNER);
    print_line(progress_fd, ">>> File: " + csv_path + " (" +
                                (is_stream ? std::string("stream") : size_text(status->st_size)) + ")\n");
    auto file = common::open_for_reading(csv_path);
    if (!file) return std::move(file).error();
    return Input{CsvLineReader(std::move(*file), READ_BUFFER_SIZE), *status, is_stream};
}

// The column names from the input's first line.  The reader goes on with
// the data lines.
Result<std::vector<std::string>> read_header(CsvLineReader& reader) {
    auto line = reader.next_line();
    if (!line) return std::move(line).error();
    if (!*line) return Error::value("CSV file is empty");
    std::vector<std::string> names = split_header(**line);
    // The container stores the column count in 16 bits: a wider header
    // cannot be written, so refuse it before any output exists.
    if (names.size() > container::MAX_COLUMNS) {
        return Error::value("CSV header has " + std::to_string(names.size()) +
                            " columns; a SARN container holds at most " + std::to_string(container::MAX_COLUMNS));
    }
    return names;
}

std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        out += names[i];
    }
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

// Errors of the container writer are all reported as I/O failures.
Error as_io(Error e) {
    e.kind = common::ErrorKind::Io;
    return e;
}

}  // namespace

std::string size_text(std::uint64_t bytes) {
    const double gb = static_cast<double>(bytes) * 0x1p-30;
    if (gb >= 1.0) return common::fixed_text(gb, 2) + "GB";
    return common::fixed_text(static_cast<double>(bytes) * 0x1p-20, 0) + "MB";
}

double compression_ratio(std::uint64_t csv_size, std::uint64_t sarn_size) noexcept {
    if (csv_size == 0) return 0.0;
    const std::uint64_t saved = csv_size > sarn_size ? csv_size - sarn_size : 0;
    return static_cast<double>(saved) / static_cast<double>(csv_size) * 100.0;
}

std::uint64_t memory_estimate_mb(std::uint64_t column_count) noexcept {
    return column_count * CHUNK_SIZE * ESTIMATE_BYTES_PER_CELL / (std::uint64_t{1} << 20);
}

namespace {

// Creates the container where the hooks say (sarn_path by default).  The
// output path is checked first: creating it truncates it, and if it is the
// input itself (the same path, another spelling, a hard or symbolic link)
// the data would be gone before it was read.
Result<container::StreamingSarnWriter> create_output(const std::string& sarn_path, const struct stat& input,
                                                     std::vector<container::ColumnSchema> schema,
                                                     CompressHooks* hooks) {
    if (auto output = common::path_status(sarn_path);
        output && output->st_dev == input.st_dev && output->st_ino == input.st_ino) {
        return Error::io("Output file is the CSV input file itself: " + sarn_path);
    }
    if (hooks && !hooks->keep_going(0)) return Error::io(INTERRUPTED_TEXT);
    std::string target = sarn_path;
    if (hooks) {
        auto chosen = hooks->output_target(sarn_path);
        if (!chosen) return std::move(chosen).error();
        target = std::move(*chosen);
    }
    auto created = container::StreamingSarnWriter::create(target, std::move(schema), CHUNK_SIZE);
    if (!created) {
        Error e = as_io(std::move(created).error());
        // A file of the front end's own choosing is its business: the
        // message names the output the caller asked for.
        const std::string prefix = "Cannot create " + target;
        if (target != sarn_path && e.message.rfind(prefix, 0) == 0) {
            e.message = "Cannot create " + sarn_path + e.message.substr(prefix.size());
        }
        return e;
    }
    return std::move(*created);
}

// The streaming pass: every further line of the input, blank ones skipped,
// in batches of CHUNK_SIZE rows, the last one partial.  Returns the row count.
Result<std::uint64_t> stream_rows(CsvLineReader& reader, container::StreamingSarnWriter& writer,
                                  std::size_t column_count, int progress_fd, CompressHooks* hooks,
                                  std::chrono::steady_clock::time_point start, unsigned threads) {
    // With several threads the chunks are encoded beside this loop; the
    // pipeline appends them in order from this thread.
    std::optional<ChunkPipeline> pipeline;
    if (threads > 1) pipeline.emplace(writer, threads);
    auto write = [&](container::TextBatch& full) -> Result<void> {
        if (pipeline) return pipeline->submit(full);
        auto written = writer.write_chunk(full);
        full.clear();
        return written;
    };
    container::TextBatch batch(column_count);
    batch.reserve_rows(rows_to_reserve(column_count, CHUNK_SIZE));
    std::uint64_t rows = 0;
    std::size_t batch_rows = 0;
    std::uint64_t lines_read = 0;
    for (;;) {
        auto line = reader.next_line();
        if (!line) return std::move(line).error();
        if (!*line) break;
        if (hooks && (++lines_read & 4095) == 0 && !hooks->keep_going(reader.bytes_read())) {
            return Error::io(INTERRUPTED_TEXT);
        }
        if (is_blank(**line)) continue;
        if (!append_row(batch, **line, column_count)) return Error::io(LINE_TOO_LONG_TEXT);
        ++rows;
        if (++batch_rows == CHUNK_SIZE) {
            if (auto written = write(batch); !written) return as_io(std::move(written).error());
            batch_rows = 0;
            if (rows % PROGRESS_INTERVAL_ROWS == 0) {
                const double rows_m = static_cast<double>(rows) / 1e6;
                const double elapsed = seconds_since(start);
                print_line(progress_fd, "  Streamed " + common::fixed_text(rows_m, 1) + "M rows in " +
                                            common::fixed_text(elapsed, 0) + "s (" +
                                            common::fixed_text(rows_m / elapsed, 1) + "M rows/sec)\n");
            }
        }
    }
    reader.close();
    if (batch_rows > 0) {
        if (auto written = write(batch); !written) return as_io(std::move(written).error());
    }
    if (pipeline) {
        if (auto written = pipeline->finish(); !written) return as_io(std::move(written).error());
    }
    return rows;
}

}  // namespace

Result<CompressSummary> compress_csv(const std::string& csv_path, const std::string& sarn_path, int progress_fd,
                                     CompressHooks* hooks, unsigned threads) {
    auto input = open_input(csv_path, progress_fd);
    if (!input) return std::move(input).error();
    if (hooks) {
        hooks->input_opened(input->is_stream ? std::nullopt
                                             : std::optional<std::uint64_t>(input->status.st_size));
    }
    auto names = read_header(input->reader);
    if (!names) return std::move(names).error();
    const std::size_t column_count = names->size();
    print_line(progress_fd, ">>> Columns (" + std::to_string(column_count) + "): " + join_names(*names) + "\n");

    auto writer = create_output(sarn_path, input->status, text_schema(std::move(*names)), hooks);
    if (!writer) return std::move(writer).error();
    print_line(progress_fd, ">>> Streaming " + std::to_string(CHUNK_SIZE) + " rows at a time (~" +
                                std::to_string(memory_estimate_mb(column_count)) + "MB memory constant)...\n");

    const auto start = std::chrono::steady_clock::now();
    auto rows = stream_rows(input->reader, *writer, column_count, progress_fd, hooks, start, threads);
    if (!rows) return std::move(rows).error();
    if (hooks && !hooks->keep_going(input->reader.bytes_read())) return Error::io(INTERRUPTED_TEXT);
    auto finished = writer->finish();
    if (!finished) return as_io(std::move(finished).error());
    if (hooks) {
        if (auto complete = hooks->output_complete(); !complete) return std::move(complete).error();
    }

    CompressSummary summary;
    summary.csv_size = input->is_stream ? input->reader.bytes_read() : static_cast<std::uint64_t>(input->status.st_size);
    auto output = common::path_status(sarn_path);
    if (!output) return Error::io("Output file was not created at: " + sarn_path);
    summary.sarn_size = static_cast<std::uint64_t>(output->st_size);
    if (summary.sarn_size == 0) return Error::io("Output file is empty");
    summary.compression_ratio = compression_ratio(summary.csv_size, summary.sarn_size);

    const double elapsed = seconds_since(start);
    const double gb = static_cast<double>(summary.csv_size) * 0x1p-30;
    const double out_mb = static_cast<double>(summary.sarn_size) * 0x1p-20;
    print_line(progress_fd, ">>> DONE! " + size_text(summary.csv_size) + " \xE2\x86\x92 " +
                                common::fixed_text(out_mb, 1) + "MB (" +
                                common::fixed_text(summary.compression_ratio, 1) + "% saved) in " +
                                common::fixed_text(elapsed, 0) + "s (" + common::fixed_text(gb / elapsed, 1) +
                                "GB/sec) | " + *finished + "\n");
    return summary;
}

}  // namespace sarn::pipeline
