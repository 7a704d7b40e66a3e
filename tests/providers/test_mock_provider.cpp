#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "background/MockProvider.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_same;
using background::testing::expect_throw;

double q(unsigned long j, unsigned long n) { return (static_cast<double>(j) + 0.5) / static_cast<double>(n); }

std::vector<double> sorted(std::vector<double> values) {
    std::ranges::sort(values);
    return values;
}

struct MockCase {
    unsigned long n;
    double index, e_min, e_max, r_max, theta_max;
};

std::ostream& operator<<(std::ostream& out, const MockCase& c) {
    return out << c.n << " showers, index " << c.index << ", theta_max " << c.theta_max;
}

class MockStrata : public ::testing::TestWithParam<MockCase> {};

// Whatever the shuffles did, each quantity takes every stratum value once.
TEST_P(MockStrata, EveryQuantityTakesEachStratumOnce) {
    const auto& c = GetParam();
    auto showers = MockProvider(c.n, c.index, c.e_min, c.e_max, c.r_max, c.theta_max).get_all_metadata();
    ASSERT_EQ(showers.size(), c.n);

    std::vector<double> energies, radii, phis, thetas;
    const double cosine = std::cos(c.theta_max), c2 = cosine * cosine;
    const double g = c.index + 1, a = std::pow(c.e_min, g) / g, b = std::pow(c.e_max, g) / g;
    for (unsigned long j = 0; j < c.n; ++j) {
        const double qj = q(j, c.n);
        energies.push_back(c.index == -1
                               ? std::exp(qj * (std::log(c.e_max) - std::log(c.e_min)) + std::log(c.e_min))
                               : std::pow((qj * (b - a) + a) * g, 1.0 / g));
        radii.push_back(std::pow(qj * (c.r_max * c.r_max), 0.5));
        phis.push_back(std::fmod(0.2 * static_cast<double>(j), 6.283185307179586));
        thetas.push_back(std::acos(std::sqrt(qj * (1 - c2) + c2)));
    }

    std::vector<double> got_energies, got_phis, got_thetas;
    for (unsigned long i = 0; i < c.n; ++i) {
        const auto& shower = showers[i];
        EXPECT_EQ(shower.uid, i);
        EXPECT_EQ(shower.primary, Metadata::PROTON);
        EXPECT_EQ(shower.time, 0.0);
        got_energies.push_back(shower.energy);
        got_phis.push_back(shower.phi);
        got_thetas.push_back(shower.theta);
        // Radius and core angle of one shower come from the same stratum j.
        const double r = std::hypot(shower.x, shower.y);
        const double j = std::round(r * r / (c.r_max * c.r_max) * static_cast<double>(c.n) - 0.5);
        ASSERT_NEAR(r, radii[static_cast<std::size_t>(j)], 1e-9 * c.r_max);
        EXPECT_NEAR(std::remainder(std::atan2(shower.y, shower.x) - 0.2 * j, 2 * M_PI), 0.0, 1e-9) << i;
    }
    EXPECT_EQ(sorted(got_energies), sorted(energies));
    EXPECT_EQ(sorted(got_phis), sorted(phis));
    EXPECT_EQ(sorted(got_thetas), sorted(thetas));
}

INSTANTIATE_TEST_SUITE_P(Table, MockStrata,
                         ::testing::Values(MockCase{1, -2.7, 100, 1e5, 1000, 0.7}, MockCase{7, -1.0, 10, 1e4, 300, 1.0},
                                           MockCase{200, -2.0, 1, 1e3, 50, 0.3},
                                           MockCase{64, -1.0 + 1e-12, 10, 1e4, 300, 0.0}));

TEST(MockProvider, OneShowerSitsOnTheMiddleStratum) {
    auto shower = MockProvider(1, -2.0, 10, 1000, 200, 0.6).get_metadata(0);
    EXPECT_EQ(shower.x, std::pow(0.5 * (200.0 * 200.0), 0.5));
    EXPECT_EQ(shower.y, 0.0);
    EXPECT_EQ(shower.phi, 0.0);
    const double c2 = std::cos(0.6) * std::cos(0.6);
    EXPECT_EQ(shower.theta, std::acos(std::sqrt(0.5 * (1 - c2) + c2)));
    // Log-uniform middle for index -1.
    EXPECT_NEAR(MockProvider(1, -1.0, 10, 1000, 200, 0.6).get_metadata(0).energy, 100.0, 1e-9);
}

// Which shower gets which stratum, uid by uid. The tables were computed once, outside this code, by a
// separate implementation (in Python) of the 64-bit Mersenne Twister seeded with MOCK_PROVIDER_SEED, of the
// standard library's shuffle (two swap positions drawn at once while the engine's range allows, bounded
// draws by multiply-and-reject) and of the construction: four shuffles, each followed by one quantity.
// An even and an odd count, the power law and the logarithmic form.
TEST(MockProvider, ShowersMatchAReferenceUidByUid) {
    struct Row {
        double energy, x, y, theta, phi;
    };
    struct Set {
        MockCase args;
        std::vector<Row> rows;  // by uid
    };
    const Set sets[] = {
        {{6, -2.7, 100, 1e5, 1000, 0.7},
         {{226.01998845331943, 630.3604881777541, 431.25281248663987, 0.4288670573010005, 0.6000000000000001},
          {118.43844533732728, 603.3657092817064, 621.2485982784857, 0.32795621267811875, 0.4},
          {137.30759301622993, 517.3000740214134, 805.6471312455018, 0.6646599132251109, 0.2},
          {431.31064498768865, 288.67513459481285, 0.0, 0.18705861289962408, 0.8},
          {167.35967763640608, 490.0332889206208, 99.33466539753061, 0.5144192987706948, 1.0},
          {105.25152104045645, 594.5423151024039, 251.36845907818378, 0.5918639443430704, 0.0}}},
        {{5, -1.0, 10, 1e4, 300, 1.0},
         {{19.952623149688804, 207.15759524095466, 141.72413603188693, 0.9244497271723892, 0.8},
          {79.4328234724282, 161.04137176216224, 32.644702188273236, 0.7810495013645253, 0.6000000000000001},
          {1258.925411794168, 195.3865424237586, 82.60810516946131, 0.2693412447209527, 0.0},
          {316.22776601683825, 198.2862056392169, 204.16312265735505, 0.4790007774901999, 0.4},
          {5011.872336272724, 94.86832980505137, 0.0, 0.6372778911531471, 0.2}}},
    };
    for (const Set& set : sets) {
        const MockCase& c = set.args;
        MockProvider provider(c.n, c.index, c.e_min, c.e_max, c.r_max, c.theta_max);
        for (unsigned long uid = 0; uid < set.rows.size(); ++uid) {
            SCOPED_TRACE(::testing::Message() << c << ", uid " << uid);
            const Metadata m = provider.get_metadata(uid);
            const Row& row = set.rows[uid];
            EXPECT_EQ(m.uid, uid);
            EXPECT_DOUBLE_EQ(m.energy, row.energy);
            EXPECT_DOUBLE_EQ(m.x, row.x);
            EXPECT_DOUBLE_EQ(m.y, row.y);
            EXPECT_DOUBLE_EQ(m.theta, row.theta);
            EXPECT_DOUBLE_EQ(m.phi, row.phi);
        }
    }
}

TEST(MockProvider, QuantitiesAreShuffledIndependentlyAndReproducibly) {
    MockProvider one(100, -2.0, 1, 1e3, 50, 0.5), two(100, -2.0, 1, 1e3, 50, 0.5);
    auto a = one.get_all_metadata(), b = two.get_all_metadata();
    expect_same(a, b);

    // Each quantity, ranked over the uids, follows its own permutation.
    auto rank = [&](auto value) {
        std::vector<std::size_t> order(a.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::ranges::sort(order, {}, [&](std::size_t i) { return value(a[i]); });
        return order;
    };
    auto by_energy = rank([](const Metadata& m) { return m.energy; });
    auto by_radius = rank([](const Metadata& m) { return std::hypot(m.x, m.y); });
    auto by_phi = rank([](const Metadata& m) { return m.phi; });
    auto by_theta = rank([](const Metadata& m) { return -m.theta; });
    EXPECT_FALSE(std::ranges::is_sorted(by_energy));
    EXPECT_NE(by_energy, by_radius);
    EXPECT_NE(by_radius, by_phi);
    EXPECT_NE(by_phi, by_theta);
    EXPECT_NE(by_energy, by_theta);
}

TEST(MockProvider, ServesOnePEPerShowerAndRefusesUnknownUids) {
    MockProvider provider(4, -2.0, 1, 10, 5, 0.2);
    for (unsigned long uid = 0; uid < 4; ++uid)
        EXPECT_EQ(provider.get_pe_list(uid), (PEList{{0, {static_cast<double>(uid)}}}));
    for (unsigned long uid : {4ul, 1ul << 40}) {
        const std::string message = "vector::_M_range_check: __n (which is " + std::to_string(uid) +
                                    ") >= this->size() (which is 4)";
        expect_throw<std::out_of_range>([&] { provider.get_metadata(uid); }, message);
        expect_throw<std::out_of_range>([&] { provider.get_pe_list(uid); }, message);
    }

    MockProvider empty(0, -2.0, 1, 10, 5, 0.2);
    EXPECT_TRUE(empty.get_all_metadata().empty());
    expect_throw<std::out_of_range>([&] { empty.get_pe_list(0); },
                                    "vector::_M_range_check: __n (which is 0) >= this->size() (which is 0)");
}

}  // namespace
