// Rendering of operating-system errors.
#pragma once

#include <string>

namespace sarn::common {

// The operating system's description of errno value `errnum` followed by its
// number, e.g. "No such file or directory (os error 2)".  This is the
// "system error text" that every I/O failure message of the module ends with.
std::string system_error_text(int errnum);

}  // namespace sarn::common
