// sarn compress IN.csv OUT.sarn: the compress_csv driver behind a shell
// front end.
//
// The container is written by the very driver that compress_csv runs, so
// the bytes (creation time aside) and the refusals are the same.  What this
// file adds is only around the driver:
//   - where the driver's progress lines go: standard error as they are when
//     it is not a terminal; a progress bar instead when it is; nowhere with
//     --quiet;
//   - Ctrl-C (SIGINT), SIGTERM and SIGHUP: the driver is asked to stop at
//     its next check, and the output that this run created is removed;
//   - any other failure also removes the output once this run created it,
//     so no half-written container is ever left behind.
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.hpp"
#include "pipeline/compress_csv.hpp"
#include "common/fixed_text.hpp"

namespace sarn::cli {

int run_compress(int argc, char** argv);

const CommandSpec COMPRESS_SPEC = {
    "compress",
    {"IN.csv", "OUT.sarn"},
    {"--quiet"},
    {},
    "compress a CSV file into a container",
    "Compress the CSV file IN.csv into the SARN container OUT.sarn (created, or\n"
    "replaced if it exists).  The container holds the same bytes as the one that\n"
    "sarn_fileformat.compress_csv(IN.csv, OUT.sarn) writes, apart from its creation\n"
    "time, and the same inputs are refused.\n"
    "\n"
    "CSV dialect: lines end with LF or CR LF; every comma separates fields (there is\n"
    "no quoting); fields are trimmed of white space; blank lines are skipped; the\n"
    "first line names the columns; the file must be UTF-8.\n"
    "\n"
    "Progress goes to standard error: a progress bar when it is a terminal, the\n"
    "progress lines of compress_csv otherwise.\n"
    "\n"
    "options:\n"
    "  --quiet      print no progress\n"
    "  -h, --help   show this help\n"
    "\n"
    "Ctrl-C (or SIGTERM, SIGHUP) stops the run and removes the incomplete OUT.sarn.\n"
    "On any failure the error is printed, no partly written OUT.sarn is left, and\n"
    "the exit status is 1 (128 + the signal number after a signal: 130 for Ctrl-C).\n",
    run_compress,
};

namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int sig) { stop_signal = sig; }

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Ctrl-C, SIGTERM and a closed terminal (SIGHUP) ask the run to stop; a
// second signal, should the run not react, ends the process the ordinary way
// (SA_RESETHAND).
void install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : STOP_SIGNALS) sigaction(sig, &sa, nullptr);
}

std::string megabytes(std::uint64_t bytes) { return common::fixed_text(static_cast<double>(bytes) / 1e6, 1); }

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

// Follows the run: records that the output exists, answers the driver's
// "keep going?" with the stop flag, and draws the bar on a terminal.
class RunObserver final : public pipeline::CompressHooks {
public:
    RunObserver(std::string path, bool draw_bar, std::uint64_t total)
        : path_(std::move(path)), draw_bar_(draw_bar), total_(total) {
        start_ = last_draw_ = std::chrono::steady_clock::now();
    }

    // Records which file the run created, so that the clean-up removes that
    // file and nothing else.
    void output_created() override {
        created_ = true;
        struct stat st {};
        if (stat(path_.c_str(), &st) == 0) {
            regular_ = S_ISREG(st.st_mode);
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        }
    }

    bool keep_going(std::uint64_t bytes_read) override {
        if (stop_signal != 0) return false;
        if (draw_bar_) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_draw_ >= std::chrono::milliseconds(100)) {
                last_draw_ = now;
                draw(bytes_read, now);
            }
        }
        return true;
    }

    bool created() const { return created_; }

    // Removes the file this run created, if the path still leads to it.  Only
    // a regular file is removed: an output such as /dev/null is a device
    // that the run wrote to, not a file it made.  A symbolic link stays; the
    // file it leads to, which the run wrote, goes.  Returns what happened.
    std::string remove_output() const {
        if (!regular_) return "; " + path_ + " was left in place (not a regular file)";
        std::string target = path_;
        struct stat st {};
        if (lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            char* real = realpath(path_.c_str(), nullptr);
            if (!real) return "; the incomplete " + path_ + " could not be removed";
            target = real;
            std::free(real);
        }
        if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != dev_ || st.st_ino != ino_) {
            return "; " + path_ + " no longer leads to the file this run wrote, so it was left alone";
        }
        if (unlink(target.c_str()) != 0) return "; the incomplete " + path_ + " could not be removed";
        return "; the incomplete " + path_ + " was removed";
    }

    void clear_bar() {
        if (draw_bar_ && drawn_) write_stderr("\r\033[K");
    }

private:
    void draw(std::uint64_t done, std::chrono::steady_clock::time_point now) {
        if (done > total_) done = total_;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : -1;
        const double fraction = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1;

        std::string figures = " " + common::fixed_text(fraction * 100, 0) + "%  " + megabytes(done) + " of " +
                              megabytes(total_) + " MB  " + megabytes(static_cast<std::uint64_t>(rate)) +
                              " MB/s  " + clock_text(left) + " left";
        struct winsize ws {};
        int width = 80;
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) width = ws.ws_col;
        const int room = width - 1 - static_cast<int>(figures.size()) - 2;
        std::string line = "\r";
        if (room >= 10) {
            const int bar = std::min(room, 40);
            const int filled = static_cast<int>(fraction * bar);
            line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                    std::string(static_cast<std::size_t>(bar - filled), '.') + "]";
        }
        line += figures + "\033[K";
        write_stderr(line);
        drawn_ = true;
    }

    std::string path_;
    bool draw_bar_;
    std::uint64_t total_;
    bool created_ = false;
    bool regular_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
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

}  // namespace

int run_compress(int argc, char** argv) {
    ParsedArgs args;
    if (auto done = parse_command_line(COMPRESS_SPEC, argc, argv, args)) return *done;
    const std::string& csv_path = args.positional[0];
    const std::string& sarn_path = args.positional[1];
    const bool quiet = args.has("--quiet");
    const bool bar = !quiet && isatty(STDERR_FILENO) == 1;

    // Where the driver's lines go: standard error itself, nowhere, or (under
    // the bar) a scratch file from which the final line is shown at the end.
    int progress_fd = STDERR_FILENO;
    FILE* scratch = nullptr;
    if (quiet) {
        progress_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else if (bar) {
        scratch = std::tmpfile();
        progress_fd = scratch ? fileno(scratch) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (progress_fd < 0) {
        print_error("cannot open /dev/null");
        return EXIT_FAILED;
    }

    struct stat st {};
    const std::uint64_t total = stat(csv_path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    RunObserver observer(sarn_path, bar, total);
    install_stop_handlers();

    std::string failure;
    bool ok = false;
    try {
        auto result = pipeline::compress_csv(csv_path, sarn_path, progress_fd, &observer);
        if (result) {
            ok = true;
        } else {
            failure = result.error().message;
        }
    } catch (const pipeline::ProgressWriteFault& fault) {
        failure = fault.what();
    }
    observer.clear_bar();
    for (int sig : STOP_SIGNALS) signal(sig, SIG_DFL);

    // A run that completed keeps its container even if a signal came too
    // late to stop it: the file is whole.
    if (ok) {
        if (scratch) write_stderr(last_line_of(progress_fd));
        if (scratch) std::fclose(scratch);
        if (quiet) close(progress_fd);
        return EXIT_OK;
    }
    if (scratch) std::fclose(scratch);
    if (quiet) close(progress_fd);

    // The run failed or was stopped.  The driver leaves what it wrote on
    // disk; a container without its footer is useless, so remove it, but
    // only if this run created it (a refusal before that point, such as an
    // output path naming the input, must not touch the file).
    const std::string removed = observer.created() ? observer.remove_output() : "";
    if (stop_signal != 0) {
        write_stderr(std::string("sarn: interrupted") + removed + "\n");
        return 128 + stop_signal;
    }
    print_error(failure + removed);
    return EXIT_FAILED;
}

}  // namespace sarn::cli
