#include "atomic_output.hpp"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "cli_support.hpp"

namespace sarn::cli {

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// What the signal handler needs, prepared beforehand: it may only call
// async-signal-safe functions (unlink, write, _exit), so it builds nothing.
struct StopState {
    char temporary[PATH_MAX + 1] = {};  // the file to remove; "" for none
    char message[PATH_MAX + 128] = {};  // "sarn: interrupted; ...\n"
    std::size_t message_len = 0;
    volatile std::sig_atomic_t bar_shown = 0;
    volatile std::sig_atomic_t committed = 0;
};

StopState stop_state;

extern "C" void on_stop_signal(int sig) {
    if (stop_state.committed) return;  // the output is whole: finish normally
    if (stop_state.temporary[0] != '\0') ::unlink(stop_state.temporary);
    if (stop_state.bar_shown) (void)!::write(STDERR_FILENO, "\r\033[K", 4);
    (void)!::write(STDERR_FILENO, stop_state.message, stop_state.message_len);
    ::_exit(128 + sig);
}

// Blocks the stop signals for one scope: what the handler reads must not be
// half updated when it runs.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : STOP_SIGNALS) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

void copy_limited(char* to, std::size_t room, const std::string& from) {
    const std::size_t n = std::min(room - 1, from.size());
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

}  // namespace

AtomicOutput::AtomicOutput(std::string path) : path_(std::move(path)) {
    struct stat st{};
    existed_ = ::stat(path_.c_str(), &st) == 0;
    {
        SignalsHeld held;
        const std::string message = "sarn: interrupted" + printable(outcome()) + "\n";
        copy_limited(stop_state.message, sizeof stop_state.message, message);
        stop_state.message_len = std::strlen(stop_state.message);
        stop_state.temporary[0] = '\0';
        stop_state.committed = 0;
    }
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOP_SIGNALS) sigaction(sig, &sa, nullptr);
}

AtomicOutput::~AtomicOutput() {
    for (int sig : STOP_SIGNALS) std::signal(sig, SIG_DFL);
}

common::Result<pipeline::OutputFile> AtomicOutput::open(const pipeline::OutputRequest& request) {
    SignalsHeld held;  // the handler must see the name only once the file is ours
    auto output = pipeline::OutputFile::open(request);
    if (output) copy_limited(stop_state.temporary, sizeof stop_state.temporary, output->temp_path());
    return output;
}

common::Result<void> AtomicOutput::commit(pipeline::OutputFile& output) {
    SignalsHeld held;
    auto done = output.commit();
    if (done) {
        stop_state.committed = 1;
        stop_state.temporary[0] = '\0';
    }
    return done;
}

std::string AtomicOutput::outcome() {
    {
        SignalsHeld held;
        stop_state.temporary[0] = '\0';
    }
    return existed_ ? "; " + path_ + " was left as it was" : "; " + path_ + " was not created";
}

void AtomicOutput::set_bar_shown(bool shown) noexcept { stop_state.bar_shown = shown ? 1 : 0; }

}  // namespace sarn::cli
