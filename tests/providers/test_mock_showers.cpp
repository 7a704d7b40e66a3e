// The mock provider's showers in the core's generators and sample checks.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CosmicRayModelImpl.hpp"
#include "background/MockProvider.hpp"
#include "background/ProviderGenerator.hpp"
#include "fixtures.hpp"
#include "shower_sample.hpp"

namespace {

using namespace background;
using background::testing::expect_throw;
using background::testing::Throw;

TEST(ProviderGenerator, OnMockProviderPutsOnePEAtEventTimePlusUid) {
    ProviderGenerator generator(std::make_unique<MockProvider>(5, -2.0, 10.0, 100.0, 50.0, 0.5));
    EXPECT_EQ(generator.generate({10.0, 0, 3}), (PEList{{0, {13.0}}}));
    expect_throw<std::out_of_range>([&] { generator.generate({10.0, 0, 5}); },
                                    "vector::_M_range_check: __n (which is 5) >= this->size() (which is 5)");
}

// The mock provider thrown with one set of parameters, checked against
// another: each mismatch shows in the check it concerns.
struct MismatchCase {
    const char* name;
    Throw assumed;
    const char* message;  // nullptr: the sample passes
};
void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.name; }

class MockMismatch : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(MockMismatch, ShowsInItsCheck) {
    const auto& c = GetParam();
    background::MockProvider mock(2000, -2, 10, 1e4, 100, 0.5);
    auto check = [&] {
        return CosmicRayModel::Impl::checked_load(mock, c.assumed.index, c.assumed.r_max, c.assumed.theta_max,
                                                  c.assumed.e_min, c.assumed.e_max, false);
    };
    if (c.message)
        expect_throw<std::invalid_argument>(check, c.message);
    else
        EXPECT_EQ(check().size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MockMismatch,
    ::testing::Values(MismatchCase{"matched", {-2, 10, 1e4, 100, 0.5}, nullptr},
                      MismatchCase{"index", {-2.7, 10, 1e4, 100, 0.5}, "Energy distribution does not follow E^-2.7!"},
                      MismatchCase{"energy_range", {-2, 5, 1e4, 100, 0.5}, "Energy distribution does not follow E^-2!"},
                      MismatchCase{"radius", {-2, 10, 1e4, 150, 0.5}, "Radius distribution is not linear!"},
                      MismatchCase{"zenith", {-2, 10, 1e4, 100, 0.7},
                                   "Zenith distribution does not follow sin(theta)*cos(theta)!"},
                      MismatchCase{"zenith_bound", {-2, 10, 1e4, 100, 0.4},
                                   "Shower with zenith 0.500 found, maximum is 0.400!"},
                      MismatchCase{"energy_bound", {-2, 20, 1e4, 100, 0.5},
                                   "Shower with energy 1.000e+01 GeV found, minimum is 2.000e+01 GeV!"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
