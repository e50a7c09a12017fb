#include "common/fixed_text.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

namespace sarn::common {

std::string fixed_text(double v, int digits) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // glibc's printf converts the exact binary value and rounds it to the
    // requested digits with ties to even, which is the rounding wanted here.
    char small[64];
    int n = std::snprintf(small, sizeof small, "%.*f", digits, v);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), "%.*f", digits, v);
    return std::string(big.data(), static_cast<std::size_t>(n));
}

}  // namespace sarn::common
