#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "format.hpp"

namespace {

using background::format;

struct DoubleCase {
    const char* spec;
    double value;
    const char* expected;
};

void PrintTo(const DoubleCase& c, std::ostream* out) { *out << c.spec << " -> " << c.expected; }

class FormatDouble : public ::testing::TestWithParam<DoubleCase> {};

// A bare "{}" prints the shortest round-trip form, as std::format does.
TEST_P(FormatDouble, MatchesStdFormat) {
    const auto& c = GetParam();
    EXPECT_EQ(fmt::format(fmt::runtime(c.spec), background::detail::adapt(c.value)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatDouble,
    ::testing::Values(DoubleCase{"{}", 1e5, "1e+05"}, DoubleCase{"{}", 2e+05, "2e+05"}, DoubleCase{"{}", 100, "100"},
                      DoubleCase{"{}", 0.5, "0.5"}, DoubleCase{"{}", 1e-7, "1e-07"}, DoubleCase{"{}", -2.7, "-2.7"},
                      DoubleCase{"{}", -2, "-2"}, DoubleCase{"{}", 1e16, "1e+16"}, DoubleCase{"{}", 123456789, "123456789"},
                      DoubleCase{"{}", std::numeric_limits<double>::infinity(), "inf"},
                      DoubleCase{"{}", -std::numeric_limits<double>::infinity(), "-inf"},
                      DoubleCase{"{}", std::numeric_limits<double>::quiet_NaN(), "nan"},
                      DoubleCase{"{:.3e}", 1500, "1.500e+03"}, DoubleCase{"{:e}", 3, "3.000000e+00"},
                      DoubleCase{"{:.3f}", 6.283185307179586, "6.283"}, DoubleCase{"{:.0f}", -12.6, "-13"}));


TEST(Format, OtherArgumentsPassThrough) {
    EXPECT_EQ(format("Key {} not found!", std::string("lib")), "Key lib not found!");
    EXPECT_EQ(format("{} of {} at {}", -5, 5UL, 0.25), "-5 of 5 at 0.25");
}

}  // namespace
