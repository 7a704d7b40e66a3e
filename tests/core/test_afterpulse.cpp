#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "background/AfterpulseGenerator.hpp"
#include "fixtures.hpp"

namespace {

using background::AfterpulseGenerator;
using background::BackgroundEvent;
using background::EventGenerator;
using background::PEList;
using background::testing::expect_throw;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Returns the lists that `make` builds for each event, or throws on request.
class ScriptedGenerator : public EventGenerator {
public:
    explicit ScriptedGenerator(std::function<PEList(BackgroundEvent)> make) : make(std::move(make)) {}
    PEList generate(BackgroundEvent event) override {
        if (event.type < 0) throw std::runtime_error("base failed");
        return make(event);
    }

private:
    std::function<PEList(BackgroundEvent)> make;
};

// Unsorted times, an empty entry and a repeated channel.
PEList mixed_lists(BackgroundEvent event) {
    double t = event.time;
    return {{2, {t + 3, t + 1, t + 2}}, {0, {}}, {2, {t}}, {5, {t + 0.5, t + 0.25, t + 4, t + 8, t + 9}}};
}

std::unique_ptr<AfterpulseGenerator> make(double probability, double delay_mean, double delay_var,
                                          double num_pe_mean, unsigned long seed = 77,
                                          std::function<PEList(BackgroundEvent)> lists = mixed_lists) {
    return std::make_unique<AfterpulseGenerator>(std::make_unique<ScriptedGenerator>(lists), seed, probability,
                                                 delay_mean, delay_var, num_pe_mean);
}

// The same afterpulses drawn with the library's own distributions.
class Reference {
public:
    Reference(unsigned long seed, double probability, double delay_mean, double delay_var, double num_pe_mean)
        : engine(seed), probability(probability), delay(delay_mean, std::sqrt(delay_var)), count(num_pe_mean) {}

    PEList generate(PEList lists) {
        for (auto& [channel, times] : lists) {
            int k = std::binomial_distribution<int>(static_cast<int>(times.size()), probability)(engine);
            if (times.empty()) continue;
            std::vector<double> chosen;
            std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, engine);
            for (double t : chosen) {
                double d = delay(engine);
                int m = count(engine);
                for (int i = 0; i < m; ++i) times.push_back(t + d);
            }
            std::ranges::sort(times);
        }
        return lists;
    }

private:
    std::mt19937_64 engine;
    double probability;
    std::normal_distribution<double> delay;
    std::poisson_distribution<int> count;
};

struct Settings {
    double probability, delay_mean, delay_var, num_pe_mean;
};
void PrintTo(const Settings& s, std::ostream* os) {
    *os << "p " << s.probability << ", delay " << s.delay_mean << " var " << s.delay_var << ", mean "
        << s.num_pe_mean;
}

class Draws : public ::testing::TestWithParam<Settings> {};

TEST_P(Draws, MatchTheStandardDistributions) {
    auto s = GetParam();
    auto generator = make(s.probability, s.delay_mean, s.delay_var, s.num_pe_mean);
    Reference reference(77, s.probability, s.delay_mean, s.delay_var, s.num_pe_mean);
    std::size_t grown = 0;
    for (int i = 0; i < 300; ++i) {
        BackgroundEvent event{i * 10.0, 1, 0};
        if (i == 150) {
            // A failing base makes no draw.
            expect_throw<std::runtime_error>([&] { generator->generate({0, -1, 0}); }, "base failed");
        }
        auto ours = generator->generate(event);
        ASSERT_EQ(ours, reference.generate(mixed_lists(event))) << "event " << i;
        for (const auto& entry : ours) grown += entry.second.size();
    }
    EXPECT_GT(grown, 300u * 9);
}

INSTANTIATE_TEST_SUITE_P(Table, Draws,
                         ::testing::Values(Settings{0.3, 1e-6, 1e-14, 2}, Settings{0.9, -2e-7, 4e-14, 15},
                                           Settings{1, 0, 1, 0.5}, Settings{0.05, 3e-6, 1e-12, 40}));

TEST(AfterpulseGenerator, KeepsEntriesAndSortsThem) {
    auto generator = make(0, 1, 1, 1);
    BackgroundEvent event{100, 1, 0};
    PEList expected{{2, {101, 102, 103}}, {0, {}}, {2, {100}}, {5, {100.25, 100.5, 104, 108, 109}}};
    EXPECT_EQ(generator->generate(event), expected);
}

TEST(AfterpulseGenerator, CertainAfterpulsesWithoutSpreadSitAtTheMeanDelay) {
    // A variance of 0 is valid: every afterpulse lies exactly delay_mean after its p.e.
    auto generator = make(1, 0.125, 0, 3);
    auto lists = generator->generate({100, 1, 0});
    auto base = mixed_lists({100, 1, 0});
    ASSERT_EQ(lists.size(), base.size());
    for (std::size_t i = 0; i < lists.size(); ++i) {
        EXPECT_EQ(lists[i].first, base[i].first);
        for (double t : base[i].second) EXPECT_EQ(std::ranges::count(lists[i].second, t), 1);
        for (double t : lists[i].second)
            EXPECT_TRUE(std::ranges::count(base[i].second, t) || std::ranges::count(base[i].second, t - 0.125))
                << t;
    }
    // A mean of 0 is valid too and adds nothing.
    EXPECT_EQ(make(1, 0.125, 0, 0)->generate({100, 1, 0}), make(0, 0, 0, 0)->generate({100, 1, 0}));
}

TEST(AfterpulseGenerator, FractionAndDelayFollowTheSettings) {
    const int n = 20000;
    const double p = 0.2, mu = 3, delay_mean = 1e-6, delay_sigma = 1e-7;
    // Base p.e.s one second apart, so each afterpulse is traced to its p.e.
    auto generator = make(p, delay_mean, delay_sigma * delay_sigma, mu, 5, [](BackgroundEvent) {
        std::vector<double> times(n);
        for (int i = 0; i < n; ++i) times[i] = i;
        return PEList{{0, times}};
    });
    auto times = generator->generate({0, 1, 0})[0].second;
    ASSERT_TRUE(std::ranges::is_sorted(times));
    double afterpulses = 0, delays = 0, delay_sum = 0, delay_square = 0, last = nan;
    for (double t : times) {
        double d = t - std::round(t);
        if (d == 0) continue;
        afterpulses += 1;
        if (t == last) continue;  // the afterpulses of one p.e. share their delay
        last = t;
        delays += 1;
        delay_sum += d;
        delay_square += d * d;
    }
    // Chosen p.e.s with at least one afterpulse, and afterpulses in all.
    double with = n * p * (1 - std::exp(-mu));
    EXPECT_NEAR(delays, with, 5 * std::sqrt(with));
    EXPECT_NEAR(afterpulses, n * p * mu, 5 * std::sqrt(n * p * mu * (1 + mu)));
    double mean = delay_sum / delays;
    EXPECT_NEAR(mean, delay_mean, 5 * delay_sigma / std::sqrt(delays));
    EXPECT_NEAR(std::sqrt(delay_square / delays - mean * mean), delay_sigma, 0.05 * delay_sigma);
}

TEST(AfterpulseGenerator, SameSeedSameLists) {
    auto a = make(0.5, 1e-6, 1e-14, 2, 9), b = make(0.5, 1e-6, 1e-14, 2, 9);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(a->generate({i * 1.0, 1, 0}), b->generate({i * 1.0, 1, 0}));
    // The state carries on: the same event again gives other afterpulses.
    auto c = make(0.5, 1e-6, 1e-14, 2, 9);
    EXPECT_NE(c->generate({0, 1, 0}), c->generate({0, 1, 0}));
}

struct Refusal {
    double probability, delay_mean, delay_var, num_pe_mean;
    const char* message;
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.message; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, AtConstruction) {
    auto r = GetParam();
    expect_throw<std::invalid_argument>([&] { make(r.probability, r.delay_mean, r.delay_var, r.num_pe_mean); },
                                        r.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refused,
    ::testing::Values(Refusal{-0.1, 0, 1, 1, "Afterpulse probability -0.1 is not in [0, 1]!"},
                      Refusal{1.5, 0, 1, 1, "Afterpulse probability 1.5 is not in [0, 1]!"},
                      Refusal{nan, 0, 1, 1, "Afterpulse probability nan is not in [0, 1]!"},
                      Refusal{0.5, nan, 1, 1, "Afterpulse delay_mean nan is not finite!"},
                      Refusal{0.5, 0, -1e-12, 1, "Afterpulse delay_var -1e-12 must be finite and not negative!"},
                      Refusal{0.5, 0, nan, 1, "Afterpulse delay_var nan must be finite and not negative!"},
                      Refusal{0.5, 0, 1, -1, "Afterpulse num_pe_mean -1 is not in [0, 1073741824]!"},
                      Refusal{0.5, 0, 1, nan, "Afterpulse num_pe_mean nan is not in [0, 1073741824]!"},
                      Refusal{0.5, 0, 1, 1e10, "Afterpulse num_pe_mean 1e+10 is not in [0, 1073741824]!"}));

TEST(AfterpulseGenerator, RefusesAMissingBase) {
    expect_throw<std::invalid_argument>([] { AfterpulseGenerator(nullptr, 1, 0.5, 0, 1, 1); },
                                        "AfterpulseGenerator needs a base generator!");
}

}  // namespace
