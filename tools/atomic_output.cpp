#include "atomic_output.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/system_error.hpp"

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

void set_message(const std::string& text) {
    SignalsHeld held;
    copy_limited(stop_state.message, sizeof stop_state.message, text);
    stop_state.message_len = std::strlen(stop_state.message);
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t creation_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

AtomicOutput::AtomicOutput(std::string path) : path_(std::move(path)) {
    struct stat st {};
    existed_ = ::stat(path_.c_str(), &st) == 0;
    set_message("sarn: interrupted" + outcome() + "\n");
    stop_state.temporary[0] = '\0';
    stop_state.committed = 0;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOP_SIGNALS) sigaction(sig, &sa, nullptr);
}

AtomicOutput::~AtomicOutput() {
    if (!committed_) discard();
    for (int sig : STOP_SIGNALS) std::signal(sig, SIG_DFL);
}

common::Result<std::string> AtomicOutput::begin() {
    auto cannot = [this](int err) {
        return common::Error::io("Cannot create " + path_ + ": " + common::system_error_text(err));
    };
    if (path_.find('\0') != std::string::npos || path_.empty()) return cannot(ENOENT);

    // Follow symbolic links to the file that is to be replaced.
    target_ = path_;
    struct stat st {};
    for (int hops = 0;; ++hops) {
        if (::lstat(target_.c_str(), &st) != 0) {
            if (errno != ENOENT) return cannot(errno);
            existed_ = false;
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            existed_ = true;
            break;
        }
        if (hops == 40) return cannot(ELOOP);
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target_.c_str(), link, sizeof link - 1);
        if (n < 0) return cannot(errno);
        const std::string to(link, static_cast<std::size_t>(n));
        target_ = to.front() == '/' ? to : folder_of(target_) + "/" + to;
    }
    if (existed_ && S_ISDIR(st.st_mode)) return cannot(EISDIR);
    if (existed_ && !S_ISREG(st.st_mode)) {
        in_place_ = true;
        set_message("sarn: interrupted\n");
        return path_;
    }

    // A hidden name beside the target, unique by mkostemp.
    std::string name = folder_of(target_) + "/." + name_of(target_) + ".XXXXXX";
    if (name.size() > PATH_MAX) return cannot(ENAMETOOLONG);
    int fd;
    {
        SignalsHeld held;  // the handler must see the name only once the file is ours
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return cannot(errno);
        copy_limited(stop_state.temporary, sizeof stop_state.temporary, name);
        temporary_ = name;
    }
    // The new file gets the permissions of the one it replaces, or those a
    // newly created file would get; its owner too where that is allowed.
    ::fchmod(fd, existed_ ? (st.st_mode & 07777) : creation_mode());
    if (existed_ && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) (void)!::fchown(fd, st.st_uid, st.st_gid);
    ::close(fd);
    set_message("sarn: interrupted" + outcome() + "\n");
    return temporary_;
}

common::Result<void> AtomicOutput::commit() {
    if (in_place_) {
        committed_ = true;
        stop_state.committed = 1;
        return {};
    }
    {
        SignalsHeld held;
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
            return common::Error::io("Cannot replace " + path_ + ": " + common::system_error_text(errno));
        }
        committed_ = true;
        stop_state.committed = 1;
        stop_state.temporary[0] = '\0';
        temporary_.clear();
    }
    // The rename is only durable once the folder itself is on storage.
    const std::string folder = folder_of(target_);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        const int err = errno;
        if (dir >= 0) ::close(dir);
        return common::Error::io(path_ + " was replaced, but its folder could not be flushed to storage: " +
                                 common::system_error_text(err));
    }
    ::close(dir);
    return {};
}

std::string AtomicOutput::discard() {
    if (!temporary_.empty()) {
        SignalsHeld held;
        ::unlink(temporary_.c_str());
        stop_state.temporary[0] = '\0';
        temporary_.clear();
    }
    return outcome();
}

std::string AtomicOutput::outcome() const {
    if (in_place_) return "";
    return existed_ ? "; " + path_ + " was left as it was" : "; " + path_ + " was not created";
}

void AtomicOutput::set_bar_shown(bool shown) noexcept { stop_state.bar_shown = shown ? 1 : 0; }

}  // namespace sarn::cli
