#include "pipeline/compress_csv.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "common/display_text.hpp"
#include "common/file_io.hpp"
#include "common/fixed_text.hpp"
#include "common/system_error.hpp"
#include "container/writer.hpp"
#include "pipeline/csv.hpp"
#include "pipeline/line_source.hpp"
#include "pipeline/range_scan.hpp"
#include "pipeline/row_reader.hpp"

namespace sarn::pipeline {

namespace {

// The module's progress lines (this banner, File, Columns, Streaming,
// Streamed, DONE) are frozen for compatibility: scripts read them as they
// are, so their words, figures and rounding stay.
constexpr const char* BANNER = "\n>>> compress_csv v1.3.2 STREAMING MODE\n";
constexpr std::uint64_t ESTIMATE_BYTES_PER_CELL = 20;
constexpr const char* NUL_TEXT = "embedded null byte";

// Progress lines, each written to `fd` in one write (retried when
// interrupted or partial).  A process without a standard error stream (a
// closed descriptor) gets no progress lines; any other failure is a fault.
void print_line(int fd, const std::string& line) {
    if (fd < 0) return;
    auto written = common::write_all(fd, common::as_bytes(line));
    if (written || written.error().errnum == EBADF) return;
    throw ProgressWriteFault("failed printing to stderr: " + written.error().message);
}

// The input, open, and what one look at its path told.
struct Input {
    common::FileHandle file;
    struct stat status;  // of the path, before it was opened
    bool is_stream;  // its size is what is read from it
    bool polled;  // opened without waiting; reads poll
    std::optional<std::uint64_t> opened_size;  // a regular file's length once open
};

// Opens `path` for reading.  With `without_waiting`, a FIFO's open does not
// wait for a writer (that wait would be out of reach of a stop request);
// a regular file is then read with plain blocking reads again, and
// anything else is polled.
Result<Input> open_file(const std::string& path, bool without_waiting, Input input) {
    if (!without_waiting) {
        auto file = common::open_for_reading(path);
        if (!file) return std::move(file).error();
        input.file = std::move(*file);
        input.polled = false;
        return input;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    fd = common::above_standard_streams(fd);
    if (fd < 0) return common::os_error(errno, path);
    input.file = common::FileHandle(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return common::os_error(errno, path);
    input.polled = !S_ISREG(st.st_mode);
    if (!input.polled) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return input;
}

// Checks the input path (one stat), prints the banner and File lines and
// opens the input.  A stream has no size before it is read, so its File
// line says "stream" where a file's gives its size.
Result<Input> open_input(const std::string& csv_path, const CompressOptions& o) {
    auto status = common::path_status(csv_path);
    if (!status) {
        return Error{common::ErrorKind::Io, "CSV file does not exist: " + csv_path, status.error().errnum, csv_path};
    }
    // Pipes, FIFOs, terminals and devices give bytes until they end; their
    // metadata says nothing of how many.
    const bool is_stream = S_ISFIFO(status->st_mode) || S_ISCHR(status->st_mode) || S_ISBLK(status->st_mode);
    // Inferring types reads the input twice, which a stream cannot give:
    // say so before taking a byte from it.
    if (is_stream && o.choices.types.mode == TypesMode::Infer) {
        Error e = Error::value(csv_path +
                               " is a pipe or another stream, and types=\"infer\" reads its input twice; "
                               "name the types instead, or compress a regular file");
        e.path = csv_path;
        return e;
    }
    print_line(o.progress_fd, BANNER);
    const std::string shown = o.printable_names ? common::display_text(csv_path, std::string::npos) : csv_path;
    print_line(o.progress_fd,
               ">>> File: " + shown + " (" + (is_stream ? std::string("stream") : size_text(status->st_size)) + ")\n");
    Input input{common::FileHandle(), *status, is_stream, false, std::nullopt};
    auto opened = open_file(csv_path, o.stop.stop_possible(), std::move(input));
    if (!opened && o.wording == Wording::Named) {
        return std::move(opened).error().prefixed("Cannot open " + csv_path + ": ");
    }
    if (struct stat st; opened && ::fstat(opened->file.fd(), &st) == 0 && S_ISREG(st.st_mode)) {
        opened->opened_size = static_cast<std::uint64_t>(st.st_size);
    }
    return opened;
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
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

// A failure of writing the output.  The module reports every one as an
// I/O failure with the writer's own text; the Named wording says which
// file, but leaves a refusal of the encoder (a Value error) and a stop as
// they are.
Error write_error(Error e, const std::string& sarn_path, Wording wording) {
    if (e.kind == common::ErrorKind::Cancelled) return e;
    if (wording == Wording::Module) {
        e.kind = common::ErrorKind::Io;
        return e;
    }
    if (e.kind == common::ErrorKind::Value) return e;
    e.kind = common::ErrorKind::Io;
    e.path = sarn_path;
    return std::move(e).prefixed("Cannot write " + sarn_path + ": ");
}

// Creates the container in the output's file.  Its errors name the output
// the caller asked for, never a temporary file of the front end's choosing;
// the module's header write failure keeps its bare system error text.
Result<container::StreamingSarnWriter> create_writer(const OutputFile& output, const std::string& sarn_path,
                                                     std::vector<std::string> names,
                                                     const std::vector<std::uint8_t>& types,
                                                     const WriteChoices& choices) {
    auto file = output.writer_file();
    if (!file) return std::move(file).error();
    auto created = container::StreamingSarnWriter::create(
        std::move(*file), sarn_path, csv_schema(std::move(names), types), CHUNK_SIZE, choices.level);
    if (created) return created;
    Error e = std::move(created).error();
    if (output.policy() == OutputPolicy::Replace && e.errnum != 0) {
        return common::os_error(e.errnum, sarn_path).prefixed("Cannot create " + sarn_path + ": ");
    }
    e.kind = common::ErrorKind::Io;
    e.path = sarn_path;
    return e;
}

// The driver's side of the batch loop: progress for the hooks, stop
// requests, and the module's "Streamed" line.
class RunObserver final : public BatchObserver {
public:
    RunObserver(const CompressOptions& o, CompressHooks& hooks, std::chrono::steady_clock::time_point start)
        : o_(o),
          hooks_(hooks),
          start_(start) {}

    Result<void> tick(std::uint64_t position) override {
        hooks_.progress(position);
        if (o_.stop.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
        return {};
    }

    void batch_done(std::uint64_t rows) override {
        if (rows % PROGRESS_INTERVAL_ROWS != 0) return;
        const double rows_m = static_cast<double>(rows) / 1e6;
        const double elapsed = seconds_since(start_);
        print_line(o_.progress_fd, "  Streamed " + common::fixed_text(rows_m, 1) + "M rows in " +
                                       common::fixed_text(elapsed, 0) + "s (" +
                                       common::fixed_text(rows_m / elapsed, 1) + "M rows/sec)\n");
    }

private:
    const CompressOptions& o_;
    CompressHooks& hooks_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

std::optional<std::string> choices_problem(const WriteChoices& choices) {
    if (choices.level < codec::MIN_LEVEL || choices.level > codec::MAX_LEVEL) {
        return "level must be from " + std::to_string(codec::MIN_LEVEL) + " to " + std::to_string(codec::MAX_LEVEL) +
               ", not " + std::to_string(choices.level);
    }
    if (auto bad = dialect_problem(choices.dialect)) return bad;
    return types_problem(choices.types);
}

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
                                     const CompressOptions& o) {
    CompressHooks plain;
    CompressHooks& hooks = o.hooks ? *o.hooks : plain;
    if (o.wording == Wording::Named) {
        // Such a path would silently name a shorter one.
        for (const std::string* p : {&csv_path, &sarn_path}) {
            if (p->find('\0') != std::string::npos) return Error::value(NUL_TEXT);
        }
    }

    auto input = open_input(csv_path, o);
    if (!input) return std::move(input).error();
    hooks.input_opened(input->is_stream ? std::nullopt : std::optional<std::uint64_t>(input->status.st_size));
    LineSource lines = LineSource::sequential(input->file.fd(), csv_path, o.wording, o.stop, input->polled);
    // A regular file that shrinks or grows while it is read would give torn
    // or missing rows as if they were the file's: the run fails instead.
    // The module's runs keep their frozen behaviour and read what is there.
    if (o.wording == Wording::Named && input->opened_size) lines.expect_end(*input->opened_size);
    RowReader rows(lines, o.choices.dialect);

    auto header = rows.read_header();
    if (!header) return std::move(header).error();
    if (!*header) return csv_empty_error();
    std::vector<std::string> names = std::move(**header);
    const std::size_t column_count = names.size();
    // The container stores the column count in 16 bits: a wider header
    // cannot be written, so refuse it before any output exists.
    if (column_count > container::MAX_COLUMNS) return header_too_wide_error(column_count);
    print_line(o.progress_fd, ">>> Columns (" + std::to_string(column_count) + "): " + join_names(names) + "\n");

    // The columns' types, before any output exists: named ones are checked
    // against the header, inferred ones take a first pass over the whole
    // input (which also finds its first fault).
    std::vector<std::uint8_t> types;
    if (o.choices.types.mode == TypesMode::Infer) {
        auto inferred = infer_column_types(input->file.fd(), csv_path, lines.position(),
                                           static_cast<std::uint64_t>(input->status.st_size), rows.header_lines(),
                                           names, o.choices.dialect, o.threads, o.stop);
        if (!inferred) return std::move(inferred).error();
        types = std::move(*inferred);
    } else {
        auto resolved = resolve_types(o.choices.types, names);
        if (!resolved) return std::move(resolved).error();
        types = std::move(*resolved);
        if (o.choices.types.mode == TypesMode::Named) rows.require_integers(integer_columns(types), names);
    }

    auto output = hooks.open_output(OutputRequest{sarn_path, o.output, &input->status, o.wording, {}});
    if (!output) return std::move(output).error();
    if (o.stop.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
    auto writer = create_writer(*output, sarn_path, std::move(names), types, o.choices);
    if (!writer) return std::move(writer).error();
    print_line(o.progress_fd, ">>> Streaming " + std::to_string(CHUNK_SIZE) + " rows at a time (~" +
                                  std::to_string(memory_estimate_mb(column_count)) + "MB memory constant)...\n");

    const auto start = std::chrono::steady_clock::now();
    BatchTotals totals;
    {
        auto sink = writer_sink(*writer, o.threads, o.stop);
        if (!sink) return std::move(sink).error();
        RunObserver observer(o, hooks, start);
        container::TextBatch batch = chunk_batch(column_count);
        auto streamed = stream_batches(rows, column_count, batch, **sink, &observer);
        if (!streamed) {
            Error e = std::move(streamed).error();
            if (lines.failed() || e.kind == common::ErrorKind::Cancelled) return e;
            // The encoder met a cell of an int64 column that the first pass
            // found to be an integer.
            if (e.kind == common::ErrorKind::Input) {
                return input_changed_error(csv_path, e.message);
            }
            return write_error(std::move(e), sarn_path, o.wording);
        }
        totals = *streamed;
    }
    input->file.close().ok();  // read to the end: the input is no longer needed
    hooks.progress(lines.position());
    if (o.stop.stop_requested()) return Error::cancelled(CANCELLED_TEXT);
    auto finished = writer->finish();
    if (!finished) return write_error(std::move(finished).error(), sarn_path, o.wording);
    if (auto committed = hooks.commit_output(*output); !committed) return std::move(committed).error();

    CompressSummary summary;
    summary.csv_size = input->is_stream ? lines.bytes_read() : static_cast<std::uint64_t>(input->status.st_size);
    summary.rows = totals.rows;
    summary.chunks = totals.chunks;
    summary.columns = column_count;
    auto out = common::path_status(sarn_path);
    if (!out) return Error::io("Output file was not created at: " + sarn_path);
    summary.sarn_size = static_cast<std::uint64_t>(out->st_size);
    if (summary.sarn_size == 0) return Error::io("Output file is empty");
    summary.compression_ratio = compression_ratio(summary.csv_size, summary.sarn_size);

    const double elapsed = seconds_since(start);
    const double gb = static_cast<double>(summary.csv_size) * 0x1p-30;
    const double out_mb = static_cast<double>(summary.sarn_size) * 0x1p-20;
    print_line(o.progress_fd,
               ">>> DONE! " + size_text(summary.csv_size) + " \xE2\x86\x92 " + common::fixed_text(out_mb, 1) + "MB (" +
                   common::fixed_text(summary.compression_ratio, 1) + "% saved) in " + common::fixed_text(elapsed, 0) +
                   "s (" + common::fixed_text(gb / elapsed, 1) + "GB/sec) | " + *finished + "\n");
    return summary;
}

}  // namespace sarn::pipeline
