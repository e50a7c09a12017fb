#include "monitoring/monitor_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "monitoring/poison_mutex.hpp"

namespace sarn::monitoring {

std::string json_number_text(double v) {
    if (!std::isfinite(v)) return "null";

    // Without a precision, to_chars gives the shortest digit string that
    // reads back as `v` (nearest to the exact value on a choice).  The
    // scientific form makes its digits and exponent easy to take apart:
    // "[-]d[.ddd]e(+|-)XX".
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    if (res.ec != std::errc()) throw MonitorFault("could not render a double");
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

    std::size_t pos = 0;
    const bool negative = !sci.empty() && sci[0] == '-';
    if (negative) ++pos;
    std::string digits;
    while (pos < sci.size() && sci[pos] != 'e') {
        if (sci[pos] != '.') digits += sci[pos];
        ++pos;
    }
    int exponent = 0;
    std::from_chars(sci.data() + pos + 1 + (sci[pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);

    std::string out;
    if (negative) out += '-';
    const int n = static_cast<int>(digits.size());
    if (exponent >= -5 && exponent <= 15) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else if (n <= exponent + 1) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
            out += '.';
            out.append(digits, static_cast<std::size_t>(exponent + 1));
        }
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += exponent < 0 ? '-' : '+';
        out += std::to_string(exponent < 0 ? -exponent : exponent);
    }
    return out;
}

std::string rfc3339_text(const LocalTime& t) {
    char buf[96];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                          t.second);
    std::string out(buf, static_cast<std::size_t>(n > 0 ? n : 0));

    if (t.nanosecond != 0) {
        if (t.nanosecond % 1000000 == 0) {
            n = std::snprintf(buf, sizeof buf, ".%03ld", t.nanosecond / 1000000);
        } else if (t.nanosecond % 1000 == 0) {
            n = std::snprintf(buf, sizeof buf, ".%06ld", t.nanosecond / 1000);
        } else {
            n = std::snprintf(buf, sizeof buf, ".%09ld", t.nanosecond);
        }
        out.append(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    }

    // Zones whose offset has a seconds part (old local mean times) are
    // shown to the nearest minute, the finest unit the form can carry.
    const long magnitude = t.utc_offset_seconds < 0 ? -t.utc_offset_seconds : t.utc_offset_seconds;
    const long minutes = (magnitude + 30) / 60;
    const char sign = t.utc_offset_seconds < 0 && minutes != 0 ? '-' : '+';
    n = std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, minutes / 60, minutes % 60);
    out.append(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    return out;
}

std::string local_timestamp_now() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        throw MonitorFault("could not read the wall clock");
    }
    tzset();
    std::tm local{};
    if (!localtime_r(&now.tv_sec, &local)) {
        throw MonitorFault("could not determine the local time and its UTC offset");
    }
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.nanosecond = now.tv_nsec;
    t.utc_offset_seconds = local.tm_gmtoff;
    return rfc3339_text(t);
}

}  // namespace sarn::monitoring
