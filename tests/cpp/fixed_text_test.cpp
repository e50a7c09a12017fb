// Fixed-point number text: rounding of the exact binary value, ties to even.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/fixed_text.hpp"

namespace {

struct Case {
    double value;
    int digits;
    const char* text;
};

TEST(FixedText, RoundsTheExactBinaryValue) {
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {0.125, 2, "0.12"},  // exact tie: to even
        {0.375, 2, "0.38"},  // exact tie: to even (up)
        {2.675, 2, "2.67"},  // 2.67499999... in binary
        {1000.5, 0, "1000"},  // tie to even at no digits, no point
        {1001.5, 0, "1002"},
        {0.05, 1, "0.1"},  // 0.05000000000000000277 rounds up
        {0.25, 1, "0.2"},
        {4.77, 0, "5"},
        {-0.0, 1, "-0.0"},
        {-1.25, 1, "-1.2"},
        {1e20, 2, "100000000000000000000.00"},
        {std::nan(""), 2, "NaN"},
        {-std::nan(""), 1, "NaN"},
        {inf, 1, "inf"},
        {-inf, 0, "-inf"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sarn::common::fixed_text(c.value, c.digits), c.text) << c.value << " with " << c.digits;
    }
    EXPECT_EQ(sarn::common::fixed_text(std::numeric_limits<double>::max(), 0).size(), 309u);
}

}  // namespace
