#include "common/system_error.hpp"

#include <cstring>
#include <type_traits>

namespace sarn::common {

std::string system_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf; the
    // XSI version returns an int.  Handle both so the text is always right.
    auto r = strerror_r(errnum, buf, sizeof buf);
    const char* text;
    if constexpr (std::is_same_v<decltype(r), int>) {
        text = r == 0 ? buf : "Unknown error";
    } else {
        text = r;
    }
    std::string out(text);
    out.append(" (os error ").append(std::to_string(errnum)).append(")");
    return out;
}

}  // namespace sarn::common
