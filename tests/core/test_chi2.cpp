#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <vector>

#include "background/Chi2.hpp"
#include "background/Metadata.hpp"
#include "fixtures.hpp"

namespace {

using background::Chi2;
using background::testing::expect_throw;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Chi2::Sample from(const std::vector<double>& values) {
    return [&values](unsigned long i) { return values[i]; };
}

Chi2::Law constant(double value) {
    return [value](double, double) { return value; };
}

struct BinningCase {
    const char* name;
    std::vector<double> samples;
    double statistic;  // against one expected sample per bin
};
void PrintTo(const BinningCase& c, std::ostream* os) { *os << c.name; }

class Binning : public ::testing::TestWithParam<BinningCase> {};

// Four bins (0,1], (1,2], (2,3], (3,4]; each counted sample that leaves
// its bin at 1 changes the statistic by 1.
TEST_P(Binning, BinsAreOpenBelowClosedAbove) {
    const auto& c = GetParam();
    Chi2 chi2(4, 0, 4, false);
    EXPECT_DOUBLE_EQ(chi2(constant(1), c.samples.size(), from(c.samples)), c.statistic);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Binning,
    ::testing::Values(BinningCase{"one_per_bin", {0.5, 1.5, 2.5, 3.5}, 0},
                      BinningCase{"upper_edges_count", {1, 2, 3, 4}, 0},
                      BinningCase{"first_edge_not_counted", {0, 1.5, 2.5, 3.5}, 1},
                      BinningCase{"outside_and_nan_not_counted", {-1, 4.5, nan, 0.5, 1.5, 2.5, 3.5}, 0},
                      BinningCase{"two_in_a_bin", {0.5, 0.7, 2.5, 3.5}, 2}, BinningCase{"none", {}, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Chi2, LastLogEdgeIsComputedNotSetToMax) {
    // The last edge exp(3 ln 1000 / 3) lies a rounding step below 1000.
    Chi2 chi2(3, 1, 1000, true);
    std::vector<double> at_max{1000}, inside{999.9999};
    EXPECT_DOUBLE_EQ(chi2(constant(1), 1, from(at_max)), 3);
    EXPECT_DOUBLE_EQ(chi2(constant(1), 1, from(inside)), 2);
}

TEST(Chi2, EqualCountsAddNothing) {
    Chi2 chi2(5, 0, 1, false);
    std::vector<double> none;
    // 0 expected against 0 observed is skipped, not 0/0.
    EXPECT_EQ(chi2(constant(0), 0, from(none)), 0);
    // With no samples every non-zero expectation adds itself.
    EXPECT_DOUBLE_EQ(chi2(Chi2::uniform(10, 0, 1), 0, from(none)), 10);
}

TEST(Chi2, RefusesBadBinnings) {
    expect_throw<std::invalid_argument>([] { Chi2(3, 0, 10, true); },
                                        "Only positive min/max values are allowed for log bins!");
    expect_throw<std::invalid_argument>([] { Chi2(3, 1, -10, true); },
                                        "Only positive min/max values are allowed for log bins!");
    expect_throw<std::invalid_argument>([] { Chi2(0, 0, 1, false); }, "A chi-square binning needs at least one bin!");
}

struct QuantileCase {
    Chi2::Quantile level;
    double exact;  // the chi-square quantile with 10 degrees of freedom
};
void PrintTo(const QuantileCase& c, std::ostream* os) { *os << "level " << static_cast<int>(c.level); }

class Quantile : public ::testing::TestWithParam<QuantileCase> {};

TEST_P(Quantile, ApproximatesTheTenDegreeTable) {
    Chi2 chi2(10, 0, 1, false);
    EXPECT_NEAR(chi2.quantile(GetParam().level), GetParam().exact, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Table, Quantile,
                         ::testing::Values(QuantileCase{Chi2::P0_5, 2.156}, QuantileCase{Chi2::P1, 2.558},
                                           QuantileCase{Chi2::P2_5, 3.247}, QuantileCase{Chi2::P5, 3.940},
                                           QuantileCase{Chi2::P10, 4.865}, QuantileCase{Chi2::P50, 9.342},
                                           QuantileCase{Chi2::P90, 15.987}, QuantileCase{Chi2::P95, 18.307},
                                           QuantileCase{Chi2::P97_5, 20.483}, QuantileCase{Chi2::P99, 23.209},
                                           QuantileCase{Chi2::P99_5, 25.188}));

TEST(Chi2, QuantileFormula) {
    for (unsigned long k : {1UL, 7UL, 40UL})
        EXPECT_DOUBLE_EQ(Chi2(k, 0, 1, false).quantile(Chi2::P50), k - 0.67 + 0.104 / k);
    EXPECT_NEAR(Chi2(12, 1, 2, true).quantile(Chi2::P90), 18.55, 0.005);
    Chi2 chi2(10, 0, 1, false);
    expect_throw<std::out_of_range>([&] { chi2.quantile(static_cast<Chi2::Quantile>(11)); },
                                    "Unknown chi-square quantile level 11!");
    expect_throw<std::out_of_range>([&] { chi2.quantile(static_cast<Chi2::Quantile>(-1)); },
                                    "Unknown chi-square quantile level -1!");
}

TEST(Chi2, Laws) {
    EXPECT_DOUBLE_EQ(Chi2::uniform(100, 0, 4)(1, 2), 25);
    EXPECT_DOUBLE_EQ(Chi2::uniform(100, 2, 6)(3, 4), 25);
    EXPECT_NEAR(Chi2::normal(1000, 5, 2)(3, 7), 682.689492137, 1e-6);
    // n times the probability of the integers in (x1, x2], for mean 2:
    // P(K = 0, 1, 2, 3) = (1, 2, 2, 4/3) e^-2.
    for (auto [x1, x2, probability] : std::initializer_list<std::tuple<double, double, double>>{
             {0, 2, 4}, {0.5, 2.5, 4}, {2.5, 3, 4.0 / 3}, {2, 3, 4.0 / 3}, {2.1, 2.9, 0},
             {-0.5, 0, 1}, {-1, 2, 5}, {-3, -1, 0}}) {
        SCOPED_TRACE(testing::Message() << "(" << x1 << ", " << x2 << "]");
        EXPECT_NEAR(Chi2::poisson(10, 2)(x1, x2), 10 * probability * std::exp(-2.0), 1e-12);
    }
    EXPECT_DOUBLE_EQ(Chi2::power_law(10, -1, 1, 100)(1, 10), 5);
    EXPECT_DOUBLE_EQ(Chi2::power_law(10, 1, 0, 2)(1, 2), 7.5);
    EXPECT_NEAR(Chi2::power_law(10, -1 + 1e-9, 1, 100)(1, 10), 5, 1e-6);
}

TEST(Chi2, OtherForms) {
    Chi2 chi2(2, 0, 2, false);
    std::vector<double> first{0.5, 0.5, 1.5}, second{0.5, 1.5, 1.5};
    // Counts (2, 1) against (1, 2): 1/2 + 1/1.
    EXPECT_DOUBLE_EQ(chi2(3, from(first), from(second)), 1.5);
    // The first sample is the reference: counts (4, 1) against (2, 1) (two samples outside the bins) give
    // (2 - 4)^2 / 4, where dividing by the second's counts would give 2.
    std::vector<double> reference{0.5, 0.5, 0.5, 0.5, 1.5}, other{0.5, 0.5, 1.5, 5, 5};
    EXPECT_DOUBLE_EQ(chi2(5, from(reference), from(other)), 1.0);
    EXPECT_DOUBLE_EQ(chi2(Chi2::uniform(4, 0, 2), Chi2::uniform(6, 0, 2)), 0.5 + 0.5);
    // Densities meet at the midpoints 0.5 and 1.5.
    EXPECT_DOUBLE_EQ(chi2(Chi2::Density([](double x) { return x; }), Chi2::Density([](double x) { return 2 * x; })),
                     0.5 + 1.5);
    EXPECT_DOUBLE_EQ(Chi2::chi2({1, 2}, {2, 4}), 1 + 2);
    EXPECT_EQ(Chi2::chi2({}, {}), 0);
    expect_throw<std::out_of_range>([] { Chi2::chi2({1}, {1, 2}); }, "Sizes of vectors do not match!");
}

TEST(Chi2, FuncReadsAMemberOfTheContainer) {
    std::vector<background::Metadata> showers(3);
    showers[2].energy = 42;
    Chi2 chi2(1, 0, 1, false);
    auto energy = chi2.func(showers, &background::Metadata::energy);
    EXPECT_EQ(energy(2), 42);
    showers[0].energy = 7;  // read at every call
    EXPECT_EQ(energy(0), 7);
}

}  // namespace
