// Rendering of operating-system errors.
#pragma once

#include <string>

#include "common/result.hpp"

namespace sarn::common {

// The operating system's description of errno value `errnum` followed by its
// number, e.g. "No such file or directory (os error 2)".  This is the
// "system error text" that every I/O failure message of the module ends with.
std::string system_error_text(int errnum);

// The failure of a system call that set `errnum`, on `path` when given: the
// system error text as its message, the errno and the path kept beside it.
inline Error os_error(int errnum, std::string path = {}) {
    return Error::os(errnum, system_error_text(errnum), std::move(path));
}

}  // namespace sarn::common
