#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "CosmicRayModelImpl.hpp"
#include "RandomDraws.hpp"
#include "background/CosmicRayModel.hpp"
#include "background/PowerLawFlux.hpp"
#include "fixtures.hpp"
#include "reference.hpp"
#include "shower_sample.hpp"

namespace {

using background::BackgroundEvent;
using background::CosmicRayModel;
using background::Flux;
using background::PowerLawFlux;
using background::testing::expect_throw;
using background::testing::FakeProvider;
using background::testing::same_events;
using background::testing::thrown_sample;
using background::testing::Throw;
using background::testing::total_rate;

constexpr double inf = std::numeric_limits<double>::infinity();

CosmicRayModel make_model(FakeProvider& provider, Flux& flux, const Throw& t, unsigned long seed, int type = 3) {
    return CosmicRayModel(provider, flux, seed, type, t.index, t.r_max, t.theta_max, t.e_min, t.e_max, false);
}

// Hands out given outputs first, then those of a seeded engine.
struct ScriptedEngine {
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }
    result_type operator()() {
        ++used;
        return used <= head.size() ? head[used - 1] : tail();
    }
    std::vector<result_type> head;
    std::mt19937_64 tail{5};
    std::size_t used = 0;
};

// The count and the number of outputs it took must match the library's draw.
void expect_standard_count(double mean, std::vector<std::uint64_t> head) {
    ScriptedEngine ours{head}, theirs{head};
    int count = background::detail::poisson_count(mean, ours);
    EXPECT_EQ(count, std::poisson_distribution<int>(mean)(theirs)) << "mean " << mean << " first " << head[0];
    EXPECT_EQ(ours.used, theirs.used) << "mean " << mean;
}

TEST(PoissonCount, MatchesTheLibraryAroundItsThresholds) {
    for (double mean : {1e-15, 1e-9, 1e-4, 0.01, 0.3, 1.0, 1.9, 2.5, 11.99}) {
        // First uniforms within a few dozen rounding steps of e^-mean and of
        // 1 - mean, where the shortcut and the exact threshold meet.
        for (double edge : {std::exp(-mean), 1 - mean}) {
            if (edge <= 0) continue;
            auto centre = static_cast<std::uint64_t>(std::ldexp(edge, 64) * (1 - 1e-17));
            for (int step = -40; step <= 40; ++step) {
                auto first = centre + static_cast<std::uint64_t>(step) * 2048;
                expect_standard_count(mean, {first});
            }
        }
    }
    expect_standard_count(0.5, {ScriptedEngine::max()});  // a first uniform that rounds up to 1
}

TEST(PoissonCount, MatchesTheLibraryOverManyMeans) {
    std::mt19937_64 means(11);
    std::uniform_real_distribution<double> log_mean(std::log(1e-9), std::log(40.0));
    std::mt19937_64 ours(3), theirs(3);
    for (int i = 0; i < 200000; ++i) {
        double mean = std::exp(log_mean(means));
        ASSERT_EQ(background::detail::poisson_count(mean, ours), std::poisson_distribution<int>(mean)(theirs))
            << "mean " << mean;
    }
    EXPECT_EQ(ours(), theirs());
}

// One object for many draws, as a dark-count call uses it: the counts of one
// library distribution, draw after draw.
void expect_library_draws_in_turn(double mean) {
    background::detail::PoissonCount ours(mean);
    std::poisson_distribution<int> theirs(mean);
    std::mt19937_64 a(21), b(21);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(ours(a), theirs(b)) << "mean " << mean << " draw " << i;
    EXPECT_EQ(a(), b()) << "mean " << mean;
}

TEST(PoissonCount, KeepsTheLibrarysDrawsForSmallMeans) {
    for (double mean : {1e-3, 0.7, 11.999999}) expect_library_draws_in_turn(mean);
}

// Means of 12 and more take the rejection method written out for this
// standard library: its kept normal draw carries from count to count as in
// the library's. Elsewhere the library's own distribution is used, and the
// skip shows which draw a build runs.
TEST(PoissonCount, WrittenOutRejectionMethodKeepsTheLibrarysState) {
    if (std::is_same_v<background::detail::LargeMeanPoisson, std::poisson_distribution<int>>)
        GTEST_SKIP() << "this standard library's own Poisson draw is used for means of 12 and more";
    for (double mean : {12.0, 12.5, 20.0, 70.0, 333.3, 1023.5, 5000.0, 1e6}) expect_library_draws_in_turn(mean);
}

TEST(CosmicRayModel, DrawsExactlyAsTheStandardDistributions) {
    Throw t;
    auto showers = thrown_sample(200, t);
    FakeProvider provider(showers);
    // A flux steeper than the thrown spectrum spreads the rates over two
    // orders of magnitude.
    PowerLawFlux flux(-2.7, 1e-2, 1);
    CosmicRayModel model = make_model(provider, flux, t, 987654321);

    std::vector<std::pair<unsigned long, double>> rates;
    double sum = 0;
    for (const auto& s : showers) sum += flux.flux_density(s.energy) * std::pow(s.energy, -t.index);
    for (const auto& s : showers)
        rates.emplace_back(s.uid, flux.flux_density(s.energy) * std::pow(s.energy, -t.index) / sum *
                                      total_rate(flux, t));
    auto [low, high] = std::ranges::minmax(rates, {}, &std::pair<unsigned long, double>::second);
    ASSERT_GT(high.second / low.second, 50);

    std::mt19937_64 engine(987654321);
    // Means from 0 through the small-mean method to the rejection method;
    // refused calls must leave the engine alone; repeated spans reuse what
    // the model keeps per span.
    std::vector<std::pair<double, double>> calls{
        {0, 1},      {1, 1},           {1, 11},   {11, 111}, {111, 1111}, {1111, 2111}, {2111, 3111},
        {2000, 1e4}, {1e4, 1e4 + 0.01}, {0, inf}, {-inf, 0}, {5, 5},      {1e6, 1e6 + 3e4}, {3, 2},
        {1e6, 1e6 + 3e4}};
    std::size_t events = 0;
    for (auto [begin, end] : calls) {
        SCOPED_TRACE(testing::Message() << "sample(" << begin << ", " << end << ")");
        if (begin > end) {
            EXPECT_THROW(model.sample(begin, end), std::out_of_range);
            continue;
        }
        if (std::isinf(end - begin)) {
            EXPECT_THROW(model.sample(begin, end), std::invalid_argument);
            continue;
        }
        auto drawn = model.sample(begin, end);
        EXPECT_TRUE(same_events(drawn, background::testing::reference_shower_sample(engine, rates, 3, begin, end)));
        events += drawn.size();
    }
    EXPECT_GT(events, 1000u);
}

TEST(CosmicRayModel, OneShowerRecursAtTheWholeRate) {
    Throw t;
    FakeProvider provider(thrown_sample(1, t));
    PowerLawFlux flux(-2.7, 1.8e4, 1);  // the rate no longer depends on the shower's energy
    CosmicRayModel model = make_model(provider, flux, t, 1);
    double rate = total_rate(flux, t);
    double span = 1e6 / rate;
    auto events = model.sample(50, 50 + span);
    EXPECT_NEAR(static_cast<double>(events.size()), 1e6, 5 * 1e3);
    EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time));
    for (const auto& e : events) {
        ASSERT_TRUE(e.time >= 50 && e.time < 50 + span);
        ASSERT_EQ(e.id, 100u);
        ASSERT_EQ(e.type, 3);
    }
}

TEST(CosmicRayModel, FluxLikeTheThrownSpectrumGivesEqualRates) {
    Throw t{-2.3, 100, 1e5, 50, 1.0};
    const unsigned long n = 400;
    FakeProvider provider(thrown_sample(n, t));
    PowerLawFlux flux(-2.3, 1e4, 1);
    CosmicRayModel model = make_model(provider, flux, t, 42, 7);
    double mean = 2500;  // per shower over the whole span
    double span = mean * n / total_rate(flux, t);
    std::map<unsigned long, double> counts;
    for (int chunk = 0; chunk < 100; ++chunk)
        for (const auto& e : model.sample(chunk * span / 100, (chunk + 1) * span / 100)) counts[e.id] += 1;
    ASSERT_EQ(counts.size(), n);
    double total = 0, chi2 = 0;
    for (auto [uid, count] : counts) {
        ASSERT_GE(uid, 100u);
        ASSERT_LT(uid, 100 + n);
        total += count;
        chi2 += (count - mean) * (count - mean) / mean;
    }
    EXPECT_NEAR(total, mean * n, 5 * std::sqrt(mean * n));
    // n degrees of freedom: mean n, spread sqrt(2n).
    EXPECT_LT(chi2, n + 5 * std::sqrt(2.0 * n));
}

TEST(CosmicRayModel, RefusesReversedAndUndrawableIntervals) {
    Throw t;
    FakeProvider provider(thrown_sample(10, t));
    PowerLawFlux flux(-2, 1, 1);
    CosmicRayModel model = make_model(provider, flux, t, 1);
    expect_throw<std::out_of_range>([&] { model.sample(3, 2); },
                                    "Time 'begin=3.000000e+00' is after time `end=2.000000e+00`!");
    expect_throw<std::invalid_argument>([&] { model.sample(0, inf); },
                                        "Poisson mean inf is too large to draw a count (at most 1073741824)!");
    EXPECT_TRUE(model.sample(2, 2).empty());
}

// A flux of one value everywhere, with a trivial integral.
class ConstantFlux : public Flux {
public:
    explicit ConstantFlux(double value) : value(value) {}
    double flux_density(double) override { return value; }
    double integrate(double a, double b) override { return (b - a) * value; }

private:
    double value;
};

// A flux integral or a rate that is NaN, negative or infinite would leave the
// model drawing nothing, or nonsense, without a word.
TEST(CosmicRayModel, RefusesFluxesGivingRatesThatAreNotFiniteAndNonNegative) {
    Throw t;
    FakeProvider provider(thrown_sample(50, t));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A flux of one value, or of another value below 100 GeV (the first
    // showers of the sample).
    class Flux : public ConstantFlux {
    public:
        Flux(double value, double low) : ConstantFlux(value), low(low) {}
        double flux_density(double energy) override { return energy < 100 ? low : ConstantFlux::flux_density(energy); }
        double low;
    };
    const std::string integral = "The integral of its flux from 10 to 10000 GeV is ";
    const std::string rate = "Shower 100 gets the rate ";
    for (auto [value, low, message] : std::initializer_list<std::tuple<double, double, std::string>>{
             {0, 0, integral + "0; it must be finite and positive!"},
             {-1, -1, integral + "-9990; it must be finite and positive!"},
             {nan, nan, integral + "nan; it must be finite and positive!"},
             {inf, inf, integral + "inf; it must be finite and positive!"},
             {1, -1, rate + "-[0-9.e+]+ per second from its flux; rates must be finite and not negative!"},
             {1, nan, rate + "-?nan per second from its flux; rates must be finite and not negative!"},
         }) {
        SCOPED_TRACE(message);
        Flux flux(value, low);
        try {
            make_model(provider, flux, t, 1);
            ADD_FAILURE() << "built";
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(std::regex_match(e.what(), std::regex(message))) << e.what();
        }
    }
    // A rate of 0 is a rate: such showers only never recur.
    class Knee : public ConstantFlux {
    public:
        Knee() : ConstantFlux(1) {}
        double flux_density(double energy) override { return energy < 100 ? 1 : 0; }
    } knee;
    std::set<unsigned long> ids;
    for (const auto& event : make_model(provider, knee, t, 1).sample(0, 1e-5)) ids.insert(event.id);
    ASSERT_FALSE(ids.empty());
    for (auto id : ids) EXPECT_LT(provider.showers[id - 100].energy, 100);
}

TEST(CosmicRayModel, ConstructionErrorsPassThrough) {
    Throw t;
    FakeProvider provider(thrown_sample(50, t));
    PowerLawFlux flux(-2, 1, 1);
    Throw bad = t;
    bad.e_min = 0;
    expect_throw<std::invalid_argument>([&] { make_model(provider, flux, bad, 1); }, "0 < e_min < e_max required!");
    // A flux that is undefined at the showers' energies.
    class Narrow : public ConstantFlux {
    public:
        Narrow() : ConstantFlux(1) {}
        double flux_density(double) override { throw std::out_of_range("narrow"); }
    } narrow;
    expect_throw<std::out_of_range>([&] { make_model(provider, narrow, t, 1); }, "narrow");
}

TEST(CosmicRayModel, EmptySampleNeverDraws) {
    Throw t;
    FakeProvider provider({});
    PowerLawFlux flux(-2, 1, 1);
    CosmicRayModel model = make_model(provider, flux, t, 1);
    EXPECT_TRUE(model.sample(0, 1e6).empty());
}

}  // namespace
