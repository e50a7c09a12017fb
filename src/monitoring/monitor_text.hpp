// Text renderings used by the performance monitor: JSON numbers for the
// alert list (its strings go through common/json_text.hpp), and the local
// RFC 3339 timestamp text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sarn::monitoring {

// A double as a JSON number: the shortest digits that read back as the same
// double, in plain decimal when the first significant digit's decimal
// exponent E is within -5..15 (whole numbers get ".0": 1000.0), otherwise in
// scientific form with a signed exponent (1e+16, 1.5e-7).  Negative zero is
// "-0.0".  NaN and infinities, which JSON cannot carry, are "null".
std::string json_number_text(double v);

// A moment of local wall-clock time with its offset from UTC.
struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;  // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;  // 0..60
    long nanosecond = 0;  // 0..999,999,999
    long utc_offset_seconds = 0;  // east of UTC is positive
};

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+HH:MM": the fraction is left
// out when the nanoseconds are zero and otherwise has 3, 6 or 9 digits, the
// fewest that show it exactly.  The offset is always a sign and HH:MM (never
// Z), rounded to the nearest minute.
std::string rfc3339_text(const LocalTime& t);

// The present moment in the operating system's local time zone, as
// rfc3339_text renders it.  Throws MonitorFault if the clock or the time
// zone lookup fails.
std::string local_timestamp_now();

}  // namespace sarn::monitoring
