#include "pipeline/output_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/system_error.hpp"

namespace sarn::pipeline {

using common::Error;
using common::FileHandle;
using common::Result;

namespace {

// As many as the kernel follows in one path lookup (its ELOOP limit).
constexpr int MAX_LINK_HOPS = 40;
// Room left in a 255-byte file name for the temporary name's additions.
constexpr std::size_t MAX_NAME_IN_TEMP = 200;
// The random part of a hidden name.
constexpr std::size_t SUFFIX_CHARS = 6;
constexpr int NAME_ATTEMPTS = 100;

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".NAME.partial-": what every hidden name of `target`'s temporary files
// starts with (within its folder).
std::string temp_prefix(const std::string& target) {
    std::string name = name_of(target);
    if (name.size() > MAX_NAME_IN_TEMP) name.resize(MAX_NAME_IN_TEMP);
    return "." + name + ".partial-";
}

Error cannot_create(int err, const std::string& shown) {
    return common::os_error(err, shown).prefixed("Cannot create " + shown + ": ");
}

Error cannot_replace(int err, const std::string& shown) {
    return common::os_error(err, shown).prefixed("Cannot replace " + shown + ": ");
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
    for (std::size_t i = 0; i < SUFFIX_CHARS; ++i) {
        s += CHARS[x % 62];
        x /= 62;
    }
    return s;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the exclusive lock of the open file without waiting: 0, or the
// errno of the refusal (EWOULDBLOCK: another open file holds it).
int lock_exclusive(int fd) noexcept {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return common::above_standard_streams(fd);
}

// Whether an unnamed file can be given a name later: through
// /proc/self/fd, which every process may use (linkat with AT_EMPTY_PATH
// needs a privilege on older kernels).
bool unnamed_files_can_be_named() noexcept { return ::access("/proc/self/fd", X_OK) == 0; }

// Gives the unnamed file open as `fd` the name `name`; false with errno
// set on failure.  AT_EMPTY_PATH is tried first (it needs no /proc); a
// process without the privilege it takes on older kernels gets ENOENT.
bool link_unnamed(int fd, const std::string& name) noexcept {
    if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives the new file open as `fd` the owner and permission bits of `like`.
void take_owner_and_mode(int fd, const struct stat& like) noexcept {
    // The owner first: changing it clears the set-user-ID and set-group-ID
    // bits, which the mode then puts back.  Where the process may not give
    // the owner, the group may still be allowed.
    if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
        if (::fchown(fd, like.st_uid, like.st_gid) != 0) (void)!::fchown(fd, static_cast<uid_t>(-1), like.st_gid);
    }
    (void)::fchmod(fd, like.st_mode & 07777);
}

// Removes the file at `path` if it is a regular file that no one holds
// locked; true when it was removed.  The lock is held while the name is
// removed, and the name must still be the file that was locked.
bool remove_if_unheld(const std::string& path) noexcept {
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    FileHandle file(fd);
    struct stat held{}, named{};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) return false;
    if (lock_exclusive(fd) != 0) return false;
    if (::lstat(path.c_str(), &named) != 0 || !same_file(held, named)) return false;
    return ::unlink(path.c_str()) == 0;
}

bool all_alphanumeric(std::string_view s) noexcept {
    for (char c : s) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

bool all_digits(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The output a replacement is for, checked.
struct CheckedOutput {
    std::string target;  // the output path with its links followed
    bool exists = false;
    struct stat st{};  // the target's metadata when it exists
};

Result<CheckedOutput> check_output(const OutputRequest& request, const std::string& shown) {
    const std::string& path = request.path;
    if (path.find('\0') != std::string::npos) return Error::value("embedded null byte");
    if (path.empty()) return cannot_create(ENOENT, shown);

    CheckedOutput out;
    auto exists = resolve(path, shown, out.target, out.st);
    if (!exists) return std::move(exists).error();
    out.exists = *exists;
    if (out.exists) {
        if (request.input && same_file(out.st, *request.input)) return output_is_input_error(shown, request.wording);
        if (S_ISDIR(out.st.st_mode)) return cannot_create(EISDIR, shown);
        if (!S_ISREG(out.st.st_mode)) {
            Error e = Error::value("Output is not a regular file: " + shown +
                                   " (the container is written beside it and renamed over it)");
            e.path = shown;
            return e;
        }
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------- TempFile

TempFile::TempFile(TempFile&& other) noexcept
    : file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      stem_(std::move(other.stem_)) {
    other.name_.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = std::move(other.file_);
        name_ = std::move(other.name_);
        stem_ = std::move(other.stem_);
        other.name_.clear();
    }
    return *this;
}

Result<TempFile> TempFile::create(const std::string& target, const struct stat* like, bool named,
                                  const std::string& shown) {
    TempFile t;
    const std::string folder = folder_of(target);
    t.stem_ = folder + "/" + temp_prefix(target);
    if (!named && unnamed_files_can_be_named()) {
        // Created with 0666: the kernel applies the umask (or the folder's
        // default ACL), which is exactly what a newly created output gets.
        // A file system without unnamed files refuses (EOPNOTSUPP, or
        // EISDIR from a kernel that predates them); any other refusal
        // comes back, and is reported, from the named creation below.
        const int fd = open_retrying(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0) {
            t.file_ = FileHandle(fd);
            (void)lock_exclusive(fd);  // nobody else can reach it yet; held for when it is named
        }
    }
    for (int attempt = 0; !t.file_.is_open(); ++attempt) {
        if (attempt == NAME_ATTEMPTS) return cannot_create(EEXIST, shown);
        const std::string name = t.stem_ + random_suffix();
        const int fd = open_retrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return cannot_create(errno, shown);
        }
        FileHandle file(fd);
        // In the instant between creation and lock, another run's clean-up
        // may have taken the file for a leftover: it holds it, or has
        // removed it.  Then it is not ours to use; take another name.
        const int refused = lock_exclusive(fd);
        struct stat st{};
        if (refused == EWOULDBLOCK || ::fstat(fd, &st) != 0 || st.st_nlink == 0) continue;
        // A file system without locks (refused != 0) keeps its temporary
        // files from the clean-up too: that only removes what it can lock.
        t.file_ = std::move(file);
        t.name_ = name;
    }
    if (like) take_owner_and_mode(t.file_.fd(), *like);
    return t;
}

Result<FileHandle> TempFile::duplicate(const std::string& shown) const {
    if (!file_.is_open()) return Error::io("Cannot create " + shown + ": the temporary file is closed");
    const int fd = ::fcntl(file_.fd(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0) return cannot_create(errno, shown);
    return FileHandle(fd);
}

Result<void> TempFile::put_in_place(const std::string& target, const std::string& shown) {
    if (!file_.is_open()) return Error::io("Cannot replace " + shown + ": the output was already put in place");
    // An unnamed file cannot be renamed: it gets a hidden name first, and
    // from then on the clean-up pattern covers it should the process die.
    for (int attempt = 0; name_.empty(); ++attempt) {
        if (attempt == NAME_ATTEMPTS) return cannot_replace(EEXIST, shown);
        const std::string name = stem_ + random_suffix();
        if (link_unnamed(file_.fd(), name)) {
            name_ = name;
        } else if (errno != EEXIST) {
            return cannot_replace(errno, shown);
        }
    }
    if (::rename(name_.c_str(), target.c_str()) != 0) return cannot_replace(errno, shown);
    name_.clear();
    (void)file_.close();  // the output's now; its lock goes with the descriptor
    // The rename is durable once the folder is on storage.  A failure here
    // cannot undo it, so it is not reported (see the header).
    const int dir = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return {};
}

void TempFile::discard() noexcept {
    if (!name_.empty()) (void)::unlink(name_.c_str());
    name_.clear();
    (void)file_.close();
}

// ---------------------------------------------------------------- clean-up

std::size_t remove_stale_temporaries(const std::string& target) noexcept {
    try {
        const std::string folder = folder_of(target);
        const std::string prefix = temp_prefix(target);
        std::vector<std::string> temps;  // ".NAME.partial-XXXXXX": containers and markers
        std::vector<std::string> spills;  // ".NAME.partial-XXXXXX.N.chunks": a job's encoded chunks
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string_view name = entry->d_name;
                if (name.size() < prefix.size() + SUFFIX_CHARS || name.substr(0, prefix.size()) != prefix) continue;
                std::string_view rest = name.substr(prefix.size());
                if (!all_alphanumeric(rest.substr(0, SUFFIX_CHARS))) continue;
                rest.remove_prefix(SUFFIX_CHARS);
                if (rest.empty()) {
                    temps.emplace_back(name);
                } else if (rest.size() > 8 && rest.front() == '.' && rest.substr(rest.size() - 7) == ".chunks" &&
                           all_digits(rest.substr(1, rest.size() - 8))) {
                    spills.emplace_back(name);
                }
            }
            ::closedir(dir);
        }
        std::size_t removed = 0;
        // A job's files are its own while its marker is held.
        std::set<std::string> held;
        for (const std::string& name : temps) {
            if (remove_if_unheld(folder + "/" + name)) {
                ++removed;
            } else {
                held.insert(name);
            }
        }
        for (const std::string& name : spills) {
            if (held.count(name.substr(0, prefix.size() + SUFFIX_CHARS)) != 0) continue;
            if (remove_if_unheld(folder + "/" + name)) ++removed;
        }
        return removed;
    } catch (...) {  // out of memory: the leftovers wait for another run
        return 0;
    }
}

Result<JobOutput> prepare_job_output(const OutputRequest& request) {
    const std::string& shown = request.shown.empty() ? request.path : request.shown;
    auto checked = check_output(request, shown);
    if (!checked) return std::move(checked).error();
    remove_stale_temporaries(checked->target);
    auto marker = TempFile::create(checked->target, checked->exists ? &checked->st : nullptr, true, shown);
    if (!marker) return std::move(marker).error();
    return JobOutput{std::move(checked->target), std::move(*marker)};
}

Result<FileHandle> create_job_file(const std::string& path, const std::string& shown) {
    if (path.find('\0') != std::string::npos) return Error::value("embedded null byte");
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return cannot_create(errno, shown);
    (void)lock_exclusive(fd);  // a run that redoes this step replaces the file; nothing else writes it
    return FileHandle(fd);
}

// -------------------------------------------------------------- OutputFile

Result<OutputFile> OutputFile::open(const OutputRequest& request) {
    OutputFile out;
    out.shown_ = request.shown.empty() ? request.path : request.shown;
    out.policy_ = request.policy;
    if (request.policy == OutputPolicy::InPlace) {
        const std::string& path = request.path;
        // Emptying the output destroys it: if it is the input, the data
        // would be gone before it was read.
        if (auto st = common::path_status(path); st && request.input && same_file(*st, *request.input)) {
            return output_is_input_error(out.shown_, request.wording);
        }
        if (path.find('\0') != std::string::npos) {
            return Error::io("Cannot create " + out.shown_ + ": " + common::NUL_IN_PATH_TEXT);
        }
        // Not truncated on opening: a file that another writer is filling
        // must not be emptied under it.  The lock decides who writes.
        const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return cannot_create(errno, out.shown_);
        out.file_ = FileHandle(fd);
        struct stat st{};
        if (::fstat(fd, &st) != 0) return cannot_create(errno, out.shown_);
        // A device or a FIFO is written as it is, as creating it with
        // truncation always did; only a regular file holds a container.
        if (S_ISREG(st.st_mode)) {
            if (lock_exclusive(fd) == EWOULDBLOCK) {
                return Error::os(EWOULDBLOCK,
                                 "Cannot create " + out.shown_ + ": " + WRITER_BUSY_TEXT + " (os error " +
                                     std::to_string(EWOULDBLOCK) + ")",
                                 out.shown_);
            }
            // A file system without locks writes as it always did.
            int r;
            do {
                r = ::ftruncate(fd, 0);
            } while (r != 0 && errno == EINTR);
            if (r != 0) return cannot_create(errno, out.shown_);
        }
        return out;
    }
    auto checked = check_output(request, out.shown_);
    if (!checked) return std::move(checked).error();
    remove_stale_temporaries(checked->target);
    auto temp = TempFile::create(checked->target, checked->exists ? &checked->st : nullptr, false, out.shown_);
    if (!temp) return std::move(temp).error();
    out.target_ = std::move(checked->target);
    out.temp_ = std::move(*temp);
    return out;
}

Result<FileHandle> OutputFile::writer_file() const {
    if (policy_ == OutputPolicy::Replace) return temp_.duplicate(shown_);
    if (!file_.is_open()) return Error::io("Cannot create " + shown_ + ": the output is closed");
    const int fd = ::fcntl(file_.fd(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0) return cannot_create(errno, shown_);
    return FileHandle(fd);
}

Result<void> OutputFile::commit() {
    if (policy_ == OutputPolicy::InPlace) return {};
    if (committed_) return Error::io("Cannot replace " + shown_ + ": the output was already put in place");
    auto done = temp_.put_in_place(target_, shown_);
    if (done) committed_ = true;
    return done;
}

void OutputFile::discard() noexcept {
    if (policy_ == OutputPolicy::Replace) temp_.discard();
}

}  // namespace sarn::pipeline
