#include "common/file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "common/system_error.hpp"

namespace sarn::common {

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> FileHandle::close() {
    if (fd_ < 0) return {};
    int fd = fd_;
    fd_ = -1;
    // A failed close still releases the descriptor on Linux; never retry it.
    if (::close(fd) != 0 && errno != EINTR) return os_error(errno);
    return {};
}

int above_standard_streams(int fd) noexcept {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

Result<FileHandle> open_for_reading(const std::string& path) {
    // A path with an embedded NUL would silently name a shorter path.
    if (path.find('\0') != std::string::npos) return Error::io(NUL_IN_PATH_TEXT);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    fd = above_standard_streams(fd);
    if (fd < 0) return os_error(errno, path);
    return FileHandle(fd);
}

Result<std::uint64_t> file_length(const FileHandle& file) {
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) return os_error(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

Result<struct stat> path_status(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Error::io(NUL_IN_PATH_TEXT);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return os_error(errno, path);
    return st;
}

Result<std::uint64_t> path_length(const std::string& path) {
    auto st = path_status(path);
    if (!st) return std::move(st).error();
    return static_cast<std::uint64_t>(st->st_size);
}

Result<std::size_t> read_some(const FileHandle& file, void* buf, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(file.fd(), buf, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return os_error(errno);
    }
}

Result<void> write_all(int fd, ByteView data, std::size_t* written) {
    std::size_t done = 0;
    Result<void> result;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = os_error(errno);
            break;
        }
        if (n == 0) {
            result = Error::io(WRITE_ZERO_TEXT);
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) *written = done;
    return result;
}

}  // namespace sarn::common
