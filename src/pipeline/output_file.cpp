#include "pipeline/output_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/file_io.hpp"
#include "common/system_error.hpp"

namespace sarn::pipeline {

using common::Error;
using common::Result;

namespace {

// As many as the kernel follows in one path lookup (its ELOOP limit).
constexpr int MAX_LINK_HOPS = 40;
// Room left in a 255-byte file name for the temporary name's additions.
constexpr std::size_t MAX_NAME_IN_TEMP = 200;

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Error cannot_create(int err, const std::string& shown) {
    return common::os_error(err, shown).prefixed("Cannot create " + shown + ": ");
}

// The target of the symbolic link at `path`.
Result<std::string> link_text(const std::string& path, const std::string& shown) {
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return cannot_create(errno, shown);
        if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
        buf.resize(buf.size() * 2);  // the text filled the buffer: it may be longer
    }
}

// Follows the links of `path` one at a time to the file it stands for:
// `target` is that file's path, `st` its metadata when it exists.  Returns
// whether it exists; a dangling link leads to the file it names.
Result<bool> resolve(const std::string& path, const std::string& shown, std::string& target, struct stat& st) {
    target = path;
    for (int hops = 0;; ++hops) {
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) return false;
            return cannot_create(errno, shown);
        }
        if (!S_ISLNK(st.st_mode)) return true;
        if (hops == MAX_LINK_HOPS) return cannot_create(ELOOP, shown);
        auto to = link_text(target, shown);
        if (!to) return std::move(to).error();
        target = !to->empty() && to->front() == '/' ? *to : folder_of(target) + "/" + *to;
    }
}

// Six characters that make a temporary name unlikely to be taken.
std::string random_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = 0;
    if (::getrandom(&x, sizeof x, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof x)) {
        x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (static_cast<std::uint64_t>(::getpid()) << 32);
    }
    x ^= counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
    static constexpr char CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s;
    for (int i = 0; i < 6; ++i) {
        s += CHARS[x % 62];
        x /= 62;
    }
    return s;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

Result<Replacement> prepare_replacement(const OutputRequest& request) {
    const std::string& path = request.path;
    const std::string& shown = request.shown.empty() ? path : request.shown;
    if (path.find('\0') != std::string::npos) return Error::value("embedded null byte");
    if (path.empty()) return cannot_create(ENOENT, shown);

    Replacement r;
    struct stat st{};
    auto exists = resolve(path, shown, r.target, st);
    if (!exists) return std::move(exists).error();
    if (*exists) {
        if (request.input && same_file(st, *request.input)) return output_is_input_error(shown, request.wording);
        if (S_ISDIR(st.st_mode)) return cannot_create(EISDIR, shown);
        if (!S_ISREG(st.st_mode)) {
            Error e = Error::value("Output is not a regular file: " + shown +
                                   " (the container is written beside it and renamed over it)");
            e.path = shown;
            return e;
        }
    }

    // Beside the target, so that the rename stays within one file system;
    // hidden, and named after it.
    std::string name = name_of(r.target);
    if (name.size() > MAX_NAME_IN_TEMP) name.resize(MAX_NAME_IN_TEMP);
    const std::string stem = folder_of(r.target) + "/." + name + ".partial-";
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        r.temp = stem + random_suffix();
        // Created with 0666: the kernel applies the umask (or the folder's
        // default ACL), which is exactly what a newly created output gets.
        fd = ::open(r.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR) return cannot_create(errno, shown);
    }
    if (fd < 0) return cannot_create(EEXIST, shown);
    if (*exists) {
        // The owner first: changing it clears the set-user-ID and
        // set-group-ID bits, which the mode then puts back.  Where the
        // process may not give the owner, the group may still be allowed.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)!::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
        }
        (void)::fchmod(fd, st.st_mode & 07777);
    }
    ::close(fd);
    return r;
}

Result<void> commit_replacement(const Replacement& r, const std::string& shown) {
    if (::rename(r.temp.c_str(), r.target.c_str()) != 0) {
        return common::os_error(errno, shown).prefixed("Cannot replace " + shown + ": ");
    }
    // The rename is durable once the folder is on storage.  A failure here
    // cannot undo it, so it is not reported (see the header).
    const int dir = ::open(folder_of(r.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return {};
}

void discard_replacement(const std::string& temp) noexcept {
    if (!temp.empty()) (void)::unlink(temp.c_str());
}

Result<OutputFile> OutputFile::open(const OutputRequest& request) {
    OutputFile out;
    out.path_ = request.path;
    out.shown_ = request.shown.empty() ? request.path : request.shown;
    out.policy_ = request.policy;
    if (request.policy == OutputPolicy::InPlace) {
        // Creating the output truncates it: if it is the input, the data
        // would be gone before it was read.
        if (auto st = common::path_status(request.path); st && request.input && same_file(*st, *request.input)) {
            return output_is_input_error(out.shown_, request.wording);
        }
        return out;
    }
    auto files = prepare_replacement(request);
    if (!files) return std::move(files).error();
    out.files_ = std::move(*files);
    return out;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      shown_(std::move(other.shown_)),
      policy_(other.policy_),
      files_(std::move(other.files_)) {
    other.files_.temp.clear();
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        path_ = std::move(other.path_);
        shown_ = std::move(other.shown_);
        policy_ = other.policy_;
        files_ = std::move(other.files_);
        other.files_.temp.clear();
    }
    return *this;
}

OutputFile::~OutputFile() { discard(); }

Result<void> OutputFile::commit() {
    if (policy_ == OutputPolicy::InPlace) return {};
    if (files_.temp.empty()) return Error::io("Cannot replace " + shown_ + ": the output was already put in place");
    auto done = commit_replacement(files_, shown_);
    if (done) files_.temp.clear();
    return done;
}

void OutputFile::discard() noexcept {
    discard_replacement(files_.temp);
    files_.temp.clear();
}

}  // namespace sarn::pipeline
