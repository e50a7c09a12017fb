// Thin, owning wrappers over POSIX files for the core.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace sarn::common {

// An open file descriptor, closed when dropped.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FileHandle& operator=(FileHandle&& o) noexcept;
    ~FileHandle();

    int fd() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    // Closes now; returns the close error, if any, as system error text.
    Result<void> close();

private:
    int fd_ = -1;
};

// The message for a path that cannot name a file because it holds a NUL byte.
inline constexpr const char* NUL_IN_PATH_TEXT = "file name contained an unexpected NUL byte";

// A descriptor that open() put on 0, 1 or 2 (because the process had that
// standard stream closed) moved above them, keeping close-on-exec; any other
// is returned as it is.  Otherwise a later write meant for standard error
// would land in a file of ours: progress lines inside a container.  On
// failure the descriptor is closed and -1 returned with errno set.
int above_standard_streams(int fd) noexcept;

// Opens `path` for reading only, without locks, never on descriptors 0-2.  The error is the system
// error text (or NUL_IN_PATH_TEXT), without any prefix.
Result<FileHandle> open_for_reading(const std::string& path);

// The length in bytes of an open file.
Result<std::uint64_t> file_length(const FileHandle& file);

// The metadata of the file at `path` (following links), without opening it.
// The error is the system error text (or NUL_IN_PATH_TEXT).
Result<struct stat> path_status(const std::string& path);

// The length of the file at `path` (following links), without opening it.
Result<std::uint64_t> path_length(const std::string& path);

// Reads up to `size` bytes, retrying when interrupted.  Returns 0 at end of file.
Result<std::size_t> read_some(const FileHandle& file, void* buf, std::size_t size);

// The message for a write that accepted no bytes at all.
inline constexpr const char* WRITE_ZERO_TEXT = "failed to write whole buffer";

// Writes all of `data` at the descriptor's current position, retrying
// interrupted writes.  A write that makes no progress fails with
// WRITE_ZERO_TEXT rather than spin; any other failure is the system error
// text.  `written`, when given, receives the number of bytes that reached the
// file, on failure too, so that a caller can drop exactly those.
Result<void> write_all(int fd, ByteView data, std::size_t* written = nullptr);

}  // namespace sarn::common
