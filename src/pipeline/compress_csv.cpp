#include "pipeline/compress_csv.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <sys/stat.h>
#include <utility>
#include <vector>

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
// The batch's cell index is reserved up front for a full chunk, up to this
// many cells; wider files grow it on demand instead of asking for gigabytes
// they may never fill.
constexpr std::size_t MAX_RESERVED_CELLS = std::size_t{1} << 24;

// Writes one progress line to `fd` in one write (retried when interrupted
// or partial).  A process without a standard error stream (a closed
// descriptor) gets no progress lines; any other failure is a fault.
void print_line(int fd, const std::string& line) {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) return;
            throw ProgressWriteFault("failed printing to stderr: " + common::system_error_text(errno));
        }
        if (n == 0) throw ProgressWriteFault("failed printing to stderr: failed to write whole buffer");
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// The header line: the first line of the file, read through its own small
// buffer; the file is closed before this returns, whatever the outcome.
Result<std::string> read_header(const std::string& csv_path) {
    auto file = common::open_for_reading(csv_path);
    if (!file) return std::move(file).error();
    CsvLineReader reader(std::move(*file), HEADER_BUFFER_SIZE);
    auto line = reader.next_line();
    if (!line) return std::move(line).error();
    if (!*line) return Error::value("CSV file is empty");
    return std::string(**line);
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

Result<CompressSummary> compress_csv(const std::string& csv_path, const std::string& sarn_path,
                                     int progress_fd, CompressHooks* hooks) {
    // Validation.
    if (!common::path_status(csv_path)) return Error::io("CSV file does not exist: " + csv_path);
    auto input = common::path_status(csv_path);
    if (!input) return Error::io("Failed to read CSV metadata: " + input.error().message);
    CompressSummary summary;
    summary.csv_size = static_cast<std::uint64_t>(input->st_size);
    const double gb = static_cast<double>(summary.csv_size) * 0x1p-30;
    const std::string size = size_text(summary.csv_size);

    print_line(progress_fd, BANNER);
    print_line(progress_fd, ">>> File: " + csv_path + " (" + size + ")\n");

    // Header.
    auto header = read_header(csv_path);
    if (!header) return std::move(header).error();
    std::vector<std::string> names = split_header(*header);
    header->clear();
    header->shrink_to_fit();
    const std::size_t column_count = names.size();
    // The container stores the column count in 16 bits: a wider header
    // cannot be written, so refuse it before any output exists.
    if (column_count > container::MAX_COLUMNS) {
        return Error::value("CSV header has " + std::to_string(column_count) +
                            " columns; a SARN container holds at most " +
                            std::to_string(container::MAX_COLUMNS));
    }
    print_line(progress_fd, ">>> Columns (" + std::to_string(column_count) + "): " +
                                join_names(names) + "\n");

    // Creating the output truncates it.  If it is the input itself (the same
    // path, another spelling of it, or a hard or symbolic link to it), the
    // data would be gone before it was read: refuse while nothing is lost.
    if (auto output = common::path_status(sarn_path);
        output && output->st_dev == input->st_dev && output->st_ino == input->st_ino) {
        return Error::io("Output file is the CSV input file itself: " + sarn_path);
    }

    std::vector<container::ColumnSchema> schema;
    schema.reserve(column_count);
    for (std::string& name : names) {
        container::ColumnSchema column;
        column.name = std::move(name);
        column.key.fill(0);
        column.encrypted = 0;
        column.type_code = container::TYPE_TEXT;
        schema.push_back(std::move(column));
    }
    names.clear();
    if (hooks && !hooks->keep_going(0)) return Error::io(INTERRUPTED_TEXT);
    auto created = container::StreamingSarnWriter::create(sarn_path, std::move(schema), CHUNK_SIZE);
    if (!created) return as_io(std::move(created).error());
    container::StreamingSarnWriter writer = std::move(*created);
    if (hooks) hooks->output_created();

    print_line(progress_fd, ">>> Streaming " + std::to_string(CHUNK_SIZE) + " rows at a time (~" +
                                std::to_string(memory_estimate_mb(column_count)) +
                                "MB memory constant)...\n");

    // Streaming pass: a fresh reader from the start, the header line skipped
    // whatever it reads as (it was checked above).
    auto data_file = common::open_for_reading(csv_path);
    if (!data_file) return std::move(data_file).error();
    CsvLineReader reader(std::move(*data_file), READ_BUFFER_SIZE);
    (void)reader.next_line();

    container::TextBatch batch(column_count);
    batch.reserve_rows(column_count * CHUNK_SIZE <= MAX_RESERVED_CELLS
                           ? CHUNK_SIZE
                           : std::max<std::size_t>(1, MAX_RESERVED_CELLS / column_count));
    std::uint64_t rows = 0;
    std::size_t batch_rows = 0;
    std::uint64_t bytes_read = 0;  // for the hooks only
    std::uint64_t lines_read = 0;
    const auto start = std::chrono::steady_clock::now();

    for (;;) {
        auto line = reader.next_line();
        if (!line) return std::move(line).error();
        if (!*line) break;
        if (hooks) {
            bytes_read += (*line)->size() + 1;
            if ((++lines_read & 4095) == 0 && !hooks->keep_going(bytes_read)) {
                return Error::io(INTERRUPTED_TEXT);
            }
        }
        if (is_blank(**line)) continue;
        if (!append_row(batch, **line, column_count)) return Error::io(LINE_TOO_LONG_TEXT);
        ++rows;
        if (++batch_rows == CHUNK_SIZE) {
            if (auto written = writer.write_chunk(batch); !written) {
                return as_io(std::move(written).error());
            }
            batch.clear();
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
        if (auto written = writer.write_chunk(batch); !written) {
            return as_io(std::move(written).error());
        }
        batch.clear();
    }

    if (hooks && !hooks->keep_going(bytes_read)) return Error::io(INTERRUPTED_TEXT);
    auto finished = writer.finish();
    if (!finished) return as_io(std::move(finished).error());

    // Output check.
    if (!common::path_status(sarn_path)) return Error::io("Output file was not created at: " + sarn_path);
    auto output = common::path_status(sarn_path);
    if (!output) return std::move(output).error();
    summary.sarn_size = static_cast<std::uint64_t>(output->st_size);
    if (summary.sarn_size == 0) return Error::io("Output file is empty");

    summary.compression_ratio = compression_ratio(summary.csv_size, summary.sarn_size);
    const double elapsed = seconds_since(start);
    const double out_mb = static_cast<double>(summary.sarn_size) * 0x1p-20;
    print_line(progress_fd, ">>> DONE! " + size + " \xE2\x86\x92 " + common::fixed_text(out_mb, 1) + "MB (" +
                                common::fixed_text(summary.compression_ratio, 1) + "% saved) in " +
                                common::fixed_text(elapsed, 0) + "s (" + common::fixed_text(gb / elapsed, 1) +
                                "GB/sec) | " + *finished + "\n");
    return summary;
}

}  // namespace sarn::pipeline
