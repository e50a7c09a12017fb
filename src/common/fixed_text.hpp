// Fixed-point number text, shared by the progress lines and the monitor.
#pragma once

#include <string>

namespace sarn::common {

// `v` in fixed notation with `digits` digits after the point (no point when
// `digits` is 0), correctly rounded from the exact binary value with ties to
// even.  NaN is "NaN" (never signed); infinities are "inf" and "-inf".
std::string fixed_text(double v, int digits);

}  // namespace sarn::common
