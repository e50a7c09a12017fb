#include "container/block_read_internal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "common/system_error.hpp"

namespace sarn::container::internal {

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

Result<Bytes> read_at(int fd, std::uint64_t offset, std::uint64_t size) {
    Bytes out(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return common::os_error(errno);
        }
        if (n == 0) return Error::io("unexpected end of file at offset " + std::to_string(offset + done));
        done += static_cast<std::size_t>(n);
    }
    return out;
}

std::uint64_t payload_bound(std::uint8_t type_code, std::uint64_t rows, std::uint64_t limit) {
    std::uint64_t bound = limit;
    if (type_code == TYPE_INT || type_code == TYPE_FLOAT) bound = 20 * rows + 32;
    if (type_code == TYPE_BOOL) bound = (rows + 7) / 8;
    return std::min(bound, limit);
}

}  // namespace sarn::container::internal
