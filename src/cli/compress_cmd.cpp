// sarn compress IN.csv OUT.sarn: the compress_csv driver behind a shell
// front end.
//
// The container is written by the very driver that compress_csv runs, so
// the bytes (creation time aside) and the refusals are the same.  What this
// file adds is only around the driver:
//   - where the driver's progress lines go: standard error as they are when
//     it is not a terminal; a progress bar instead when it is; nowhere with
//     --quiet;
//   - the output is replaced atomically (pipeline::OutputFile, with the
//     signal handling of atomic_output.hpp): a failed or interrupted run
//     leaves an earlier OUT.sarn as it was and no temporary file behind;
//   - failures name the file they concern, and for bad input its line and
//     byte offset (the Named wording);
//   - "-" as IN.csv is standard input.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "atomic_output.hpp"
#include "commands.hpp"
#include "csv_options.hpp"
#include "common/cores.hpp"
#include "common/fixed_text.hpp"
#include "codec/codec.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/parallel_compress.hpp"

namespace sarn::cli {

int run_compress(int argc, char** argv);

// clang-format off: the help text is laid out as it prints
const CommandSpec COMPRESS_SPEC = {
    "compress",
    {"IN.csv", "OUT.sarn"},
    {"--quiet"},
    {{"--threads", "N"}, {"--level", "N"}, CSV_OPTIONS[0], CSV_OPTIONS[1], CSV_OPTIONS[2], CSV_OPTIONS[3]},
    "compress a CSV file into a container",
    "Compress the CSV file IN.csv into the SARN container OUT.sarn (created, or\n"
    "replaced if it exists).  The container's bytes are fixed by the input and the\n"
    "options, apart from its creation time, as sarnio.compress_csv writes them.\n"
    "Errors name the file they concern, and for bad input its line and byte offset.\n"
    "\n"
    "IN.csv may be a pipe, a FIFO, /dev/stdin or - (standard input): it is read\n"
    "once, from start to end (but --types infer reads a file twice and refuses a\n"
    "stream).  The sizes shown for a stream are the bytes read from it.  A file\n"
    "named - is ./-.\n"
    "\n"
    "CSV dialect: records end with LF or CR LF outside a quoted field; blank records\n"
    "are skipped; the first record names the columns; the file must be UTF-8, and a\n"
    "byte order mark at its start is not part of the first name.  Fields are cut at\n"
    "the delimiter.  A field whose first character after white space is the quote\n"
    "runs to the next quote that is not doubled (\"\" stands for one quote), and\n"
    "delimiters and line breaks inside it are kept; after the closing quote only\n"
    "white space may follow.  Unquoted fields are trimmed of white space.  A row with\n"
    "fewer fields than the header gets empty cells.  With --quote none\n"
    "--extra-fields drop, every input without a byte order mark gives the container\n"
    "sarn_fileformat.compress_csv(IN.csv, OUT.sarn) writes.\n"
    "\n"
    "Progress goes to standard error: a progress bar when it is a terminal, the\n"
    "progress lines of compress_csv otherwise.\n"
    "\n"
    "options:\n"
    "  --quiet              print no progress\n"
    "  --threads N          encode chunks on N threads (default: every core this\n"
    "                       process may run on); the container is the same for\n"
    "                       every N\n"
    "  --level N            how hard the block codec works, from 1 (the default:\n"
    "                       the module's own bytes, fastest) to 9 (smallest,\n"
    "                       slowest); any level's container is an ordinary one\n"
    "                       that every reader decodes\n"
    SARN_CSV_OPTIONS_HELP
    "  -h, --help           show this help\n"
    "\n"
    "The container is written to a temporary file in the folder of OUT.sarn and\n"
    "renamed over OUT.sarn only once it is complete and flushed to storage.  On any\n"
    "failure, a full disk, Ctrl-C, SIGTERM or SIGHUP, an earlier OUT.sarn is left as\n"
    "it was and no temporary file stays behind; the exit status is 1 (128 + the\n"
    "signal number after a signal: 130 for Ctrl-C).  A symbolic link OUT.sarn stays:\n"
    "the file it leads to is replaced (or created).  An OUT.sarn that exists and is\n"
    "not a regular file (a device such as /dev/null, a FIFO) is refused: the\n"
    "container's header is completed last, which needs a file.\n",
    run_compress,
};
// clang-format on

namespace {

// The value of option `name` as a whole number from `lo` to `hi`, or the
// usage error's exit status (after saying what is wrong).
std::optional<unsigned long> whole_option(const ParsedArgs& args, const char* name, unsigned long lo, unsigned long hi,
                                          int& status) {
    const std::string& text = args.options.at(name);
    char* end = nullptr;
    errno = 0;
    const unsigned long n = text.empty() || text[0] == '-' ? 0 : std::strtoul(text.c_str(), &end, 10);
    if (n < lo || n > hi || errno != 0 || *end != '\0') {
        usage_error(COMPRESS_SPEC, std::string(name) + " takes a whole number from " + std::to_string(lo) + " to " +
                                       std::to_string(hi) + ", not '" + text + "'");
        status = EXIT_USAGE;
        return std::nullopt;
    }
    return n;
}

// MiB, as the DONE line beside the bar counts them (1 MB = 2^20 bytes).
std::string megabytes(std::uint64_t bytes) { return common::fixed_text(static_cast<double>(bytes) * 0x1p-20, 1); }

std::string clock_text(double seconds) {
    if (!(seconds >= 0) || seconds > 359999) return "--:--";
    const auto s = static_cast<std::uint64_t>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                      static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    } else {
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                      static_cast<unsigned long long>(s % 60));
    }
    return buf;
}

// The progress bar on a terminal: how far the input has been read, at most
// ten times a second.  A stream has no known size, so it gets the figures
// without the bar.
class ProgressBar {
public:
    explicit ProgressBar(bool shown) : shown_(shown) { start_ = last_draw_ = std::chrono::steady_clock::now(); }

    void set_total(std::optional<std::uint64_t> total) { total_ = total; }

    void update(std::uint64_t done) {
        if (!shown_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_draw_ < std::chrono::milliseconds(100)) return;
        last_draw_ = now;
        draw(done, now);
    }

    void clear() {
        if (shown_ && drawn_) write_stderr("\r\033[K");
        AtomicOutput::set_bar_shown(false);
    }

private:
    void draw(std::uint64_t done, std::chrono::steady_clock::time_point now) {
        if (total_ && done > *total_) done = *total_;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        std::string figures;
        double fraction = 0;
        if (total_) {
            const double left = rate > 0 ? static_cast<double>(*total_ - done) / rate : -1;
            fraction = *total_ > 0 ? static_cast<double>(done) / static_cast<double>(*total_) : 1;
            figures = " " + common::fixed_text(fraction * 100, 0) + "%  " + megabytes(done) + " of " +
                      megabytes(*total_) + " MB  " + megabytes(static_cast<std::uint64_t>(rate)) + " MB/s  " +
                      clock_text(left) + " left";
        } else {
            figures = " " + megabytes(done) + " MB read  " + megabytes(static_cast<std::uint64_t>(rate)) + " MB/s";
        }
        struct winsize ws{};
        int width = 80;
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) width = ws.ws_col;
        const int room = width - 1 - static_cast<int>(figures.size()) - 2;
        std::string line = "\r";
        if (total_ && room >= 10) {
            const int bar = std::min(room, 40);
            const int filled = static_cast<int>(fraction * bar);
            line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(bar - filled), '.') + "]";
        }
        line += figures + "\033[K";
        write_stderr(line);
        drawn_ = true;
        AtomicOutput::set_bar_shown(true);
    }

    bool shown_;
    bool drawn_ = false;
    std::optional<std::uint64_t> total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// Connects the driver to the atomic output and the bar.
class RunObserver final : public pipeline::CompressHooks {
public:
    RunObserver(AtomicOutput& output, ProgressBar& bar) : output_(output), bar_(bar) {}

    void input_opened(std::optional<std::uint64_t> size) override { bar_.set_total(size); }
    void progress(std::uint64_t bytes) override { bar_.update(bytes); }
    common::Result<pipeline::OutputFile> open_output(const pipeline::OutputRequest& request) override {
        return output_.open(request);
    }
    common::Result<void> commit_output(pipeline::OutputFile& output) override { return output_.commit(output); }

private:
    AtomicOutput& output_;
    ProgressBar& bar_;
};

// The last line of what the driver printed into `fd` (its DONE line).
std::string last_line_of(int fd) {
    std::string text;
    if (lseek(fd, 0, SEEK_SET) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const auto nl = text.rfind('\n');
    return (nl == std::string::npos ? text : text.substr(nl + 1)) + "\n";
}

// Where the driver's lines go: standard error itself, nowhere (--quiet), or
// under the bar a scratch file from which the final line is shown at the end.
class ProgressSink {
public:
    ProgressSink(bool quiet, bool bar) {
        if (quiet) {
            owned_ = open("/dev/null", O_WRONLY | O_CLOEXEC);
            fd_ = owned_;
        } else if (bar) {
            scratch_ = std::tmpfile();
            fd_ = scratch_ ? fileno(scratch_) : (owned_ = open("/dev/null", O_WRONLY | O_CLOEXEC));
        }
    }
    ~ProgressSink() {
        if (scratch_) std::fclose(scratch_);
        if (owned_ >= 0) close(owned_);
    }
    ProgressSink(const ProgressSink&) = delete;
    ProgressSink& operator=(const ProgressSink&) = delete;

    int fd() const { return fd_; }
    // The DONE line, when the lines went to the scratch file.
    std::string final_line() const { return scratch_ ? last_line_of(fd_) : ""; }

private:
    int fd_ = STDERR_FILENO;
    int owned_ = -1;
    FILE* scratch_ = nullptr;
};

}  // namespace

int run_compress(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(COMPRESS_SPEC, argc, argv, args)) return *done;
    // "-" is standard input, as for other tools; a file of that name is ./-.
    const std::string csv_path = args.positional[0] == "-" ? "/dev/stdin" : args.positional[0];
    const std::string& sarn_path = args.positional[1];
    if (sarn_path == "-") {
        write_stderr(usage_line(COMPRESS_SPEC) +
                     "sarn compress: error: OUT.sarn cannot be standard output: the "
                     "container's header is completed last, which needs a file\nTry 'sarn compress --help' for "
                     "more information.\n");
        return EXIT_USAGE;
    }
    const bool quiet = args.has("--quiet");
    int status = EXIT_OK;
    unsigned threads = common::usable_cores();
    if (args.has("--threads")) {
        auto n = whole_option(args, "--threads", 1, pipeline::MAX_THREADS, status);
        if (!n) return status;
        threads = static_cast<unsigned>(*n);
    }
    pipeline::WriteChoices choices;
    if (args.has("--level")) {
        auto n = whole_option(args, "--level", codec::MIN_LEVEL, codec::MAX_LEVEL, status);
        if (!n) return status;
        choices.level = static_cast<int>(*n);
    }
    if (auto bad = csv_choices(args, choices)) {
        usage_error(COMPRESS_SPEC, *bad);
        return EXIT_USAGE;
    }
    const bool bar_shown = !quiet && isatty(STDERR_FILENO) == 1;

    ProgressSink sink(quiet, bar_shown);
    if (sink.fd() < 0) {
        print_error("cannot open /dev/null");
        return EXIT_FAILED;
    }
    AtomicOutput output(sarn_path);
    ProgressBar bar(bar_shown);
    RunObserver observer(output, bar);

    std::string failure;
    bool progress_failed = false;
    try {
        pipeline::CompressOptions options;
        options.progress_fd = sink.fd();
        options.threads = threads;
        options.wording = pipeline::Wording::Named;
        options.output = pipeline::OutputPolicy::Replace;
        options.hooks = &observer;
        options.choices = choices;
        options.printable_names = true;
        auto result = pipeline::compress_csv(csv_path, sarn_path, options);
        if (result) {
            bar.clear();
            write_stderr(sink.final_line());
            return EXIT_OK;
        }
        failure = result.error().message;
    } catch (const pipeline::ProgressWriteFault& fault) {
        failure = fault.what();
        progress_failed = true;
    }
    bar.clear();
    const std::string message = failure + output.outcome();
    // When standard error itself is what failed, say so in one line on
    // standard output, the one place left to say it.
    if (!print_error(message) && progress_failed) {
        (void)write_text(STDOUT_FILENO, "sarn: error: " + printable(message) + "\n");
    }
    return EXIT_FAILED;
}

}  // namespace sarn::cli
