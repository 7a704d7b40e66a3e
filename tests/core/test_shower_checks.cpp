#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "CosmicRayModelImpl.hpp"
#include "fixtures.hpp"
#include "shower_sample.hpp"

namespace {

using background::CosmicRayModel;
using background::Metadata;
using background::testing::expect_throw;
using background::testing::FakeProvider;
using background::testing::thrown_sample;
using background::testing::Throw;

constexpr double two_pi = 6.283185307179586;

std::vector<Metadata> load(FakeProvider& provider, const Throw& t, bool warn_invalid) {
    return CosmicRayModel::Impl::checked_load(provider, t.index, t.r_max, t.theta_max, t.e_min, t.e_max,
                                              warn_invalid);
}

// Runs checked_load and returns what it wrote to standard error.
std::string load_capturing(FakeProvider& provider, const Throw& t, bool warn_invalid) {
    ::testing::internal::CaptureStderr();
    try {
        load(provider, t, warn_invalid);
    } catch (...) {
        ::testing::internal::GetCapturedStderr();
        throw;
    }
    return ::testing::internal::GetCapturedStderr();
}

}  // namespace

namespace background::testing {
void PrintTo(const Throw& t, std::ostream* os) {
    *os << "E^" << t.index << " " << t.e_min << "-" << t.e_max << " GeV, r " << t.r_max << ", theta " << t.theta_max;
}
}  // namespace background::testing

namespace {

class WellThrown : public ::testing::TestWithParam<std::pair<unsigned long, Throw>> {};

TEST_P(WellThrown, PassesAndComesBackUnchanged) {
    auto [n, t] = GetParam();
    FakeProvider provider(thrown_sample(n, t));
    ::testing::internal::CaptureStderr();
    auto showers = load(provider, t, false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(provider.loads, 1);
    ASSERT_EQ(showers.size(), n);
    for (unsigned long i = 0; i < n; ++i) {
        EXPECT_EQ(showers[i].uid, provider.showers[i].uid);
        EXPECT_EQ(showers[i].energy, provider.showers[i].energy);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WellThrown,
                         ::testing::Values(std::pair{1000UL, Throw{}}, std::pair{1UL, Throw{}},
                                           std::pair{0UL, Throw{}},
                                           std::pair{500UL, Throw{-1, 1, 1e6, 300, 1.2}},
                                           std::pair{500UL, Throw{-2, 10, 1e4, 100, 1.5707963267948966}},
                                           std::pair{2000UL, Throw{-2.7, 1e3, 1e5, 5.7, 0.1}}));

struct ParameterCase {
    Throw t;
    const char* message;
};
void PrintTo(const ParameterCase& c, std::ostream* os) { *os << c.message; }

class Parameters : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(Parameters, AreCheckedBeforeTheProviderIsAsked) {
    FakeProvider provider(thrown_sample(10));
    expect_throw<std::invalid_argument>([&] { load(provider, GetParam().t, true); }, GetParam().message);
    EXPECT_EQ(provider.loads, 0);
}

constexpr const char* max_positive = "All _max parameters have to be positive!";
constexpr const char* energy_order = "0 < e_min < e_max required!";
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// NaN fails each check it reaches, as every comparison with it is false.
INSTANTIATE_TEST_SUITE_P(Table, Parameters,
                         ::testing::Values(ParameterCase{{-2, 10, 1e4, 0, 0.5}, max_positive},
                                           ParameterCase{{-2, 10, 1e4, 100, -0.1}, max_positive},
                                           ParameterCase{{-2, 10, 0, 100, 0.5}, max_positive},
                                           ParameterCase{{-2, 10, 1e4, nan, 0.5}, max_positive},
                                           ParameterCase{{-2, 10, 1e4, 100, nan}, max_positive},
                                           ParameterCase{{-2, 10, nan, 100, 0.5}, max_positive},
                                           ParameterCase{{-2, 0, 1e4, 100, 0.5}, energy_order},
                                           ParameterCase{{-2, -1, 1e4, 100, 0.5}, energy_order},
                                           ParameterCase{{-2, 1e4, 1e4, 100, 0.5}, energy_order},
                                           ParameterCase{{-2, nan, 1e4, 100, 0.5}, energy_order},
                                           ParameterCase{{-2, 10, 1e4, 100, 1.6}, "theta_max 1.6 is above pi/2!"},
                                           ParameterCase{{-2, 10, 1e4, 100, inf}, "theta_max inf is above pi/2!"}));

struct BoundCase {
    const char* name;
    std::function<void(std::vector<Metadata>&)> change;
    const char* message;
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class Bounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(Bounds, ReportTheExtremeValue) {
    auto showers = thrown_sample(1000);
    GetParam().change(showers);
    FakeProvider provider(showers);
    // Bound failures throw even when warnings are asked for.
    expect_throw<std::invalid_argument>([&] { load(provider, {}, true); }, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bounds,
    ::testing::Values(
        BoundCase{"energy_max", [](auto& s) { s[3].energy = 1.5e4; },
                  "Shower with energy 1.500e+04 GeV found, maximum is 1.000e+04 GeV!"},
        BoundCase{"energy_min", [](auto& s) { s[3].energy = 5; },
                  "Shower with energy 5.000e+00 GeV found, minimum is 1.000e+01 GeV!"},
        BoundCase{"zenith_max", [](auto& s) { s[3].theta = 0.6; }, "Shower with zenith 0.600 found, maximum is 0.500!"},
        BoundCase{"zenith_min", [](auto& s) { s[3].theta = -0.1; },
                  "Shower with zenith -0.100 found, minimum is 0.000!"},
        BoundCase{"azimuth_max", [](auto& s) { s[3].phi = 7; }, "Shower with azimuth 7.000 found, maximum is 6.283!"},
        BoundCase{"azimuth_min", [](auto& s) { s[3].phi = -0.5; },
                  "Shower with azimuth -0.500 found, minimum is 0.000!"},
        BoundCase{"x", [](auto& s) { s[3].x = -150; }, "Shower with |x| = 150.000 m found, maximum is 100.000!"},
        BoundCase{"y", [](auto& s) { s[3].y = 120.5; }, "Shower with |y| = 120.500 m found, maximum is 100.000!"},
        // The checks run in a fixed order: energy before the core.
        BoundCase{"first_failure_wins",
                  [](auto& s) {
                      s[1].x = 1e3;
                      s[2].energy = 2e4;
                  },
                  "Shower with energy 2.000e+04 GeV found, maximum is 1.000e+04 GeV!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bounds, ValuesOnTheBoundsPass) {
    auto showers = thrown_sample(1000);
    showers[0].energy = 10;
    showers[1].energy = 1e4;
    showers[2].theta = 0;
    showers[3].theta = 0.5;
    showers[4].phi = 0;
    showers[5].phi = two_pi;
    showers[6].x = -100, showers[6].y = 0;
    showers[7].x = 0, showers[7].y = 100;
    FakeProvider provider(showers);
    EXPECT_EQ(load(provider, {}, false).size(), 1000u);
}

TEST(Bounds, AzimuthRoundingIsToleratedOnlyWithWarnings) {
    auto showers = thrown_sample(1000);
    showers[9].phi = two_pi + 0.0005;
    FakeProvider slightly(showers);
    EXPECT_EQ(load_capturing(slightly, {}, true),
              "[WARNING] Ignoring exception during bounds check caused by rounding error.\n"
              "[WARNING] Shower with azimuth 6.284 found, maximum is 6.283!\n");
    expect_throw<std::invalid_argument>([&] { load(slightly, {}, false); },
                                        "Shower with azimuth 6.284 found, maximum is 6.283!");
    showers[9].phi = two_pi + 0.002;
    FakeProvider clearly(showers);
    expect_throw<std::invalid_argument>([&] { load(clearly, {}, true); },
                                        "Shower with azimuth 6.285 found, maximum is 6.283!");
    // A tolerated azimuth does not end the bound checks.
    showers[9].phi = two_pi + 0.0005;
    showers[10].y = -150;
    FakeProvider beyond(showers);
    expect_throw<std::invalid_argument>([&] { load_capturing(beyond, {}, true); },
                                        "Shower with |y| = 150.000 m found, maximum is 100.000!");
}

TEST(Bounds, ASingleShowerIsChecked) {
    auto one = thrown_sample(1);
    one[0].energy = 5;
    FakeProvider provider(one);
    expect_throw<std::invalid_argument>([&] { load(provider, {}, true); },
                                        "Shower with energy 5.000e+00 GeV found, minimum is 1.000e+01 GeV!");
}

// Sample changes that break one distribution each and keep the bounds.
void radius_uniform(std::vector<Metadata>& s) {
    for (std::size_t j = 0; j < s.size(); ++j) {
        double r = std::hypot(s[j].x, s[j].y), wrong = 100 * (j + 0.5) / s.size();
        s[j].x *= wrong / r, s[j].y *= wrong / r;
    }
}
void cores_on_the_x_axis(std::vector<Metadata>& s) {
    for (std::size_t j = 0; j < s.size(); ++j) {
        s[j].x = std::hypot(s[j].x, s[j].y) * (j % 2 ? 1 : -1);
        s[j].y = 0;
    }
}
void cores_in_upper_half(std::vector<Metadata>& s) {
    for (auto& m : s) m.y = std::abs(m.y);
}
void zenith_uniform(std::vector<Metadata>& s) {
    for (std::size_t j = 0; j < s.size(); ++j) s[j].theta = 0.5 * (j + 0.5) / s.size();
}
void azimuth_half(std::vector<Metadata>& s) {
    for (auto& m : s) m.phi /= 2;
}

struct DistributionCase {
    const char* name;
    std::function<void(std::vector<Metadata>&)> change;
    double assumed_index;
    const char* message;
    const char* later_warnings = "";  // checks after the first one that the change breaks too
};
void PrintTo(const DistributionCase& c, std::ostream* os) { *os << c.name; }

class Distributions : public ::testing::TestWithParam<DistributionCase> {};

TEST_P(Distributions, FailOrWarn) {
    const auto& c = GetParam();
    auto showers = thrown_sample(1000);
    if (c.change) c.change(showers);
    FakeProvider provider(showers);
    Throw assumed;
    assumed.index = c.assumed_index;
    expect_throw<std::invalid_argument>([&] { load(provider, assumed, false); }, c.message);
    EXPECT_EQ(load_capturing(provider, assumed, true), std::string("[WARNING] ") + c.message + "\n" + c.later_warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Distributions,
    ::testing::Values(DistributionCase{"energy", nullptr, -1, "Energy distribution does not follow E^-1!"},
                      DistributionCase{"energy_fraction", nullptr, -2.5, "Energy distribution does not follow E^-2.5!"},
                      // A statistic that is not a number passes no check.
                      DistributionCase{"energy_nan", nullptr, nan, "Energy distribution does not follow E^nan!"},
                      DistributionCase{"radius", radius_uniform, -2, "Radius distribution is not linear!",
                                       "[WARNING] X-Y distribution is not uniform!\n"},
                      DistributionCase{"x", cores_on_the_x_axis, -2, "X-Y distribution is not uniform!"},
                      DistributionCase{"y", cores_in_upper_half, -2, "X-Y distribution is not uniform!"},
                      DistributionCase{"zenith", zenith_uniform, -2,
                                       "Zenith distribution does not follow sin(theta)*cos(theta)!"},
                      DistributionCase{"azimuth", azimuth_half, -2, "Azimuth distribution is not uniform!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Distributions, AllFailuresWarnInOrder) {
    auto showers = thrown_sample(1000);
    radius_uniform(showers);
    cores_on_the_x_axis(showers);
    zenith_uniform(showers);
    azimuth_half(showers);
    FakeProvider provider(showers);
    Throw assumed;
    assumed.index = -1;
    std::vector<Metadata> returned;
    ::testing::internal::CaptureStderr();
    returned = load(provider, assumed, true);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[WARNING] Energy distribution does not follow E^-1!\n"
              "[WARNING] Radius distribution is not linear!\n"
              "[WARNING] X-Y distribution is not uniform!\n"
              "[WARNING] Zenith distribution does not follow sin(theta)*cos(theta)!\n"
              "[WARNING] Azimuth distribution is not uniform!\n");
    EXPECT_EQ(returned.size(), 1000u);
}

// Each distribution check compares its statistic with the critical value of
// its own level. A sample whose statistic lies just below that value passes;
// one just above it fails, though it lies below the next level's value.

// Critical values of the levels next to a check's own, for its bin count.
struct CriticalValues {
    double below, own, above;
};
constexpr CriticalValues p90_of_12{11.339, 18.549, 21.019};  // P50, P90, P95 of 12 bins
constexpr CriticalValues p90_of_10{9.340, 15.989, 18.299};   // P50, P90, P95 of 10 bins
constexpr CriticalValues p95_of_10{15.989, 18.299, 20.476};  // P90, P95, P97_5 of 10 bins

struct CheckCase {
    const char* name;
    std::vector<double> edges;
    // The number of the 1000 showers expected in (x1, x2].
    std::function<double(double, double)> expected;
    std::function<double(const Metadata&)> quantity;
    std::function<void(Metadata&, double)> set;
    // Moving showers from bin `from` to the value `to` raises the statistic.
    std::size_t from;
    double to;
    CriticalValues critical;
    const char* message;
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

std::vector<double> linear_edges(int bins, double lo, double hi) {
    std::vector<double> edges;
    for (int j = 0; j <= bins; ++j) edges.push_back(lo + j * (hi - lo) / bins);
    return edges;
}

bool in_bin(const CheckCase& c, std::size_t j, double v) { return c.edges[j] < v && v <= c.edges[j + 1]; }

double statistic(const CheckCase& c, const std::vector<Metadata>& showers) {
    double sum = 0;
    for (std::size_t j = 0; j + 1 < c.edges.size(); ++j) {
        double observed = static_cast<double>(
            std::ranges::count_if(showers, [&](const Metadata& m) { return in_bin(c, j, c.quantity(m)); }));
        double expected = c.expected(c.edges[j], c.edges[j + 1]);
        sum += (observed - expected) * (observed - expected) / expected;
    }
    return sum;
}

// The thrown sample with showers moved, one at a time, until the check's
// statistic first exceeds `target`.
std::vector<Metadata> statistic_just_above(const CheckCase& c, double target) {
    auto showers = thrown_sample(1000);
    for (auto& m : showers)
        if (in_bin(c, c.from, c.quantity(m)) && statistic(c, showers) <= target) c.set(m, c.to);
    return showers;
}

class EachCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(EachCheck, FailsOnlyAboveItsOwnLevel) {
    const auto& c = GetParam();
    const Throw thrown;
    auto below = statistic_just_above(c, c.critical.below + 0.05);
    ASSERT_LT(statistic(c, below), c.critical.own - 0.05);
    FakeProvider passing(below);
    EXPECT_EQ(load_capturing(passing, thrown, false), "");

    auto above = statistic_just_above(c, c.critical.own + 0.05);
    ASSERT_LT(statistic(c, above), c.critical.above - 0.05);
    FakeProvider failing(above);
    expect_throw<std::invalid_argument>([&] { load(failing, thrown, false); }, c.message);
    EXPECT_EQ(load_capturing(failing, thrown, true), std::string("[WARNING] ") + c.message + "\n");
}

// Each check has bins of its own: a sample lumped at the lower end of each
// bin, in the numbers expected there, passes it; other bins would split or
// merge the lumps.
TEST_P(EachCheck, UsesItsOwnBins) {
    const auto& c = GetParam();
    auto showers = thrown_sample(1000);
    std::size_t i = 0;
    for (std::size_t j = 0; j + 1 < c.edges.size(); ++j) {
        double lump = c.edges[j] + 0.02 * (c.edges[j + 1] - c.edges[j]);
        for (long k = std::lround(c.expected(c.edges[j], c.edges[j + 1])); k > 0 && i < showers.size(); --k)
            c.set(showers[i++], lump);
    }
    ASSERT_LT(statistic(c, showers), 3);
    FakeProvider provider(showers);
    // Lumped cores may fail the other core check.
    auto warnings = load_capturing(provider, {}, true);
    EXPECT_EQ(warnings.find(c.message), std::string::npos) << warnings;
}

// The sample is thrown as Throw{} states: E^-2 over [10, 1e4] GeV, cores
// within 100 m, zeniths up to 0.5.
INSTANTIATE_TEST_SUITE_P(
    Table, EachCheck,
    ::testing::Values(
        CheckCase{"energy",
                  [] {
                      std::vector<double> edges;
                      for (int j = 0; j <= 12; ++j) edges.push_back(10 * std::pow(10, j / 4.0));
                      return edges;
                  }(),
                  [](double x1, double x2) { return 1000 * (1 / x1 - 1 / x2) / (1 / 10.0 - 1 / 1e4); },
                  [](const Metadata& m) { return m.energy; }, [](Metadata& m, double v) { m.energy = v; }, 0, 25,
                  p90_of_12, "Energy distribution does not follow E^-2!"},
        CheckCase{"radius", linear_edges(10, 0, 100),
                  [](double x1, double x2) { return 1000 * (x2 * x2 - x1 * x1) / 1e4; },
                  [](const Metadata& m) { return std::hypot(m.x, m.y); },
                  [](Metadata& m, double v) {
                      double scale = v / std::hypot(m.x, m.y);
                      m.x *= scale, m.y *= scale;
                  },
                  9, 85, p95_of_10, "Radius distribution is not linear!"},
        CheckCase{"x", linear_edges(10, -100, 100),
                  [](double x1, double x2) {
                      auto g = [](double v) { return v / 100 * std::sqrt(1 - v * v / 1e4) + std::asin(v / 100); };
                      return 1000 * (g(x2) - g(x1)) / 3.141592653589793;
                  },
                  [](const Metadata& m) { return m.x; }, [](Metadata& m, double v) { m.x = v; }, 4, 10, p95_of_10,
                  "X-Y distribution is not uniform!"},
        CheckCase{"zenith", linear_edges(10, 0, 0.5),
                  [](double x1, double x2) {
                      return 1000 * (std::cos(2 * x2) - std::cos(2 * x1)) / (std::cos(1.0) - 1);
                  },
                  [](const Metadata& m) { return m.theta; }, [](Metadata& m, double v) { m.theta = v; }, 9, 0.425,
                  p90_of_10, "Zenith distribution does not follow sin(theta)*cos(theta)!"},
        CheckCase{"azimuth", linear_edges(10, 0, two_pi),
                  [](double x1, double x2) { return 1000 * (x2 - x1) / two_pi; },
                  [](const Metadata& m) { return m.phi; }, [](Metadata& m, double v) { m.phi = v; }, 0, 0.15 * two_pi,
                  p95_of_10, "Azimuth distribution is not uniform!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Distributions, XYCheckFailsWhenTheLastEdgeOvershootsRMax) {
    // For r_max 5.7 the computed last edge lies a rounding step above r_max.
    Throw t;
    t.r_max = 5.7;
    ASSERT_GT(10 * (2 * t.r_max / 10) - t.r_max, t.r_max);
    auto showers = thrown_sample(1000, t);
    cores_on_the_x_axis(showers);
    FakeProvider provider(showers);
    expect_throw<std::invalid_argument>([&] { load(provider, t, false); }, "X-Y distribution is not uniform!");
}

}  // namespace
