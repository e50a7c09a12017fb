// The monitor's text renderings: JSON numbers (shortest round-trip digits in
// plain or scientific layout) and RFC 3339 timestamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "monitoring/monitor_text.hpp"

namespace {

using sarn::monitoring::json_number_text;
using sarn::monitoring::local_timestamp_now;
using sarn::monitoring::LocalTime;
using sarn::monitoring::rfc3339_text;

TEST(MonitorJsonNumber, HardCases) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {100.0, "100.0"},
        {1000.0, "1000.0"},
        {-1000.0, "-1000.0"},
        {1000000000.0, "1000000000.0"},
        {2500000000.0, "2500000000.0"},
        {1500.25, "1500.25"},
        {-1500.25, "-1500.25"},
        {1000.5, "1000.5"},
        {0.125, "0.125"},
        {0.05, "0.05"},
        {0.3, "0.3"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.0 / 3.0, "0.3333333333333333"},
        // Lower edge of the plain layout: exponent -5 is plain, -6 is not.
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {0.000099999, "0.000099999"},
        {0.000001, "1e-6"},
        {0.0000099999, "9.9999e-6"},
        {1.5e-7, "1.5e-7"},
        {-1.5e-7, "-1.5e-7"},
        // Upper edge: exponent 15 is plain, 16 is not.
        {1e15, "1000000000000000.0"},
        {1.5e15, "1500000000000000.0"},
        {9007199254740993.0, "9007199254740992.0"},  // rounds to 2^53 on reading
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {1.2345e16, "1.2345e+16"},
        {18446744073709551615.0, "1.8446744073709552e+19"},
        {2.5e21, "2.5e+21"},
        {1e100, "1e+100"},
        // Extremes of the format.
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {-std::numeric_limits<double>::denorm_min(), "-5e-324"},
        {1.2345e-310, "1.2345e-310"},
        // JSON has no literal for these.
        {std::nan(""), "null"},
        {-std::nan(""), "null"},
        {inf, "null"},
        {-inf, "null"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_number_text(c.value), c.text) << "for " << c.text;
    }
}

TEST(MonitorJsonNumber, ReadsBackAsTheSameDouble) {
    // Every binary exponent, subnormals included, with an awkward mantissa;
    // strtod of the text must give the same bits back.
    for (int e = -1074; e <= 1023; ++e) {
        const double v = std::ldexp(1.0 / 3.0 + e * 1e-4, e);
        if (v == 0.0 || std::isinf(v)) continue;
        for (double x : {v, -v}) {
            const std::string text = json_number_text(x);
            EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
        }
    }
}

TEST(MonitorTimestamp, RendersFractionAndOffset) {
    const struct {
        long nanosecond;
        long offset;
        const char* text;
    } cases[] = {
        {120000000, 3600, "2026-03-01T14:05:09.120+01:00"},
        {0, 0, "2026-03-01T14:05:09+00:00"},
        {1000000, 0, "2026-03-01T14:05:09.001+00:00"},
        {123456000, 0, "2026-03-01T14:05:09.123456+00:00"},
        {100000, 0, "2026-03-01T14:05:09.000100+00:00"},  // whole microseconds, not milliseconds
        {1000, 0, "2026-03-01T14:05:09.000001+00:00"},
        {123456789, 0, "2026-03-01T14:05:09.123456789+00:00"},
        {1, 0, "2026-03-01T14:05:09.000000001+00:00"},
        {999999999, 0, "2026-03-01T14:05:09.999999999+00:00"},
        {0, -5 * 3600, "2026-03-01T14:05:09-05:00"},
        {0, 5 * 3600 + 30 * 60, "2026-03-01T14:05:09+05:30"},
        {0, 5 * 3600 + 45 * 60, "2026-03-01T14:05:09+05:45"},
        {0, -(3 * 3600 + 30 * 60), "2026-03-01T14:05:09-03:30"},
        {0, 14 * 3600, "2026-03-01T14:05:09+14:00"},
        {0, -75, "2026-03-01T14:05:09-00:01"},  // a local mean time offset of -0:01:15
        {0, -20, "2026-03-01T14:05:09+00:00"},
    };
    for (const auto& c : cases) {
        LocalTime t;
        t.year = 2026;
        t.month = 3;
        t.day = 1;
        t.hour = 14;
        t.minute = 5;
        t.second = 9;
        t.nanosecond = c.nanosecond;
        t.utc_offset_seconds = c.offset;
        EXPECT_EQ(rfc3339_text(t), c.text);
    }
    LocalTime early;
    early.year = 987;
    early.month = 12;
    early.day = 31;
    early.hour = 23;
    early.minute = 59;
    early.second = 60;
    EXPECT_EQ(rfc3339_text(early), "0987-12-31T23:59:60+00:00");
}

// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> old_;
};

bool looks_like_rfc3339(const std::string& s) {
    // YYYY-MM-DDTHH:MM:SS, optional .fff/.ffffff/.fffffffff, then +HH:MM or -HH:MM.
    if (s.size() < 25) return false;
    const std::string frame = "dddd-dd-ddTdd:dd:dd";
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (frame[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != frame[i]) {
            return false;
        }
    }
    std::size_t fraction = s.size() - frame.size() - 6;
    if (fraction != 0 && fraction != 4 && fraction != 7 && fraction != 10) return false;
    if (fraction != 0 && s[frame.size()] != '.') return false;
    const std::string offset = s.substr(s.size() - 6);
    return (offset[0] == '+' || offset[0] == '-') && offset[3] == ':';
}

TEST(MonitorTimestamp, NowFollowsTheLocalZone) {
    {
        ScopedTimeZone tz("XST-05:30");  // POSIX form: five and a half hours east
        const std::string now = local_timestamp_now();
        EXPECT_TRUE(looks_like_rfc3339(now)) << now;
        EXPECT_EQ(now.substr(now.size() - 6), "+05:30") << now;
    }
    {
        ScopedTimeZone tz("UTC0");
        const std::string now = local_timestamp_now();
        EXPECT_TRUE(looks_like_rfc3339(now)) << now;
        EXPECT_EQ(now.substr(now.size() - 6), "+00:00") << now;  // never "Z"
    }
    {
        ScopedTimeZone tz("YST7");
        const std::string now = local_timestamp_now();
        EXPECT_EQ(now.substr(now.size() - 6), "-07:00") << now;
    }
}

}  // namespace
