#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "EventSort.hpp"
#include "background/DarkCountModel.hpp"
#include "background/GenericModel.hpp"
#include "fixtures.hpp"
#include "reference.hpp"

namespace {

using namespace background;
using background::testing::expect_same_events;
using background::testing::expect_throw;
using background::testing::ReferenceDarkCounts;

struct SortCase {
    const char* name;
    std::size_t n;
    std::function<double(std::mt19937_64&, std::size_t)> time;
};

std::ostream& operator<<(std::ostream& out, const SortCase& c) { return out << c.name; }

class SortByTime : public ::testing::TestWithParam<SortCase> {};

// The fast sort must leave every list exactly as the library's sort does.
TEST_P(SortByTime, MatchesLibrarySort) {
    const auto& c = GetParam();
    std::mt19937_64 engine(11);
    std::vector<BackgroundEvent> events;
    for (std::size_t i = 0; i < c.n; ++i) events.push_back({c.time(engine, i), 0, i});
    auto expected = events;
    std::ranges::sort(expected, {}, &BackgroundEvent::time);
    detail::sort_by_time(events);
    expect_same_events(events, expected);
}

double uniform(std::mt19937_64& e, double low, double high) { return std::uniform_real_distribution<double>(low, high)(e); }

INSTANTIATE_TEST_SUITE_P(
    Table, SortByTime,
    ::testing::Values(
        SortCase{"small", 20, [](auto& e, auto) { return uniform(e, 0, 1); }},
        SortCase{"distinct", 5000, [](auto& e, auto) { return uniform(e, 10, 10.01); }},
        SortCase{"negative", 3000, [](auto& e, auto) { return uniform(e, -5, 3); }},
        SortCase{"clustered", 3000, [](auto& e, auto i) { return i % 100 == 0 ? 1e9 : uniform(e, 0, 1e-3); }},
        SortCase{"ties", 3000, [](auto& e, auto) { return std::floor(uniform(e, 0, 50)); }},
        SortCase{"one_tie", 3000, [](auto& e, auto i) { return i == 7 || i == 2000 ? 0.5 : uniform(e, 0, 1); }},
        // The tie shows only once the second equal time has moved down past a larger one.
        SortCase{"tie_after_move", 3000,
                 [](auto& e, auto i) { return i == 1500 ? 0.5 + 2e-9 : i == 1501 || i == 1502 ? 0.5 + 1e-9 : uniform(e, 0, 1); }},
        SortCase{"signed_zero", 3000, [](auto& e, auto i) { return i == 3 ? -0.0 : i == 9 ? 0.0 : uniform(e, -1, 1); }},
        SortCase{"all_equal", 1000, [](auto&, auto) { return 2.0; }}),
    [](const auto& info) { return std::string(info.param.name); });

struct DarkCase {
    const char* name;
    double rate;
    unsigned long channels;
    std::vector<std::pair<double, double>> intervals;
};

std::ostream& operator<<(std::ostream& out, const DarkCase& c) { return out << c.name; }

class DarkCountDraws : public ::testing::TestWithParam<DarkCase> {};

// The model's events, call after call, are those of the plain formulas with
// the standard distributions and sort: same draws in the same order.
TEST_P(DarkCountDraws, MatchPlainFormulas) {
    const auto& c = GetParam();
    DarkCountModel model(c.rate, c.channels, 99, 4);
    ReferenceDarkCounts reference(c.rate, c.channels, 99, 4);
    for (auto [begin, end] : c.intervals) {
        SCOPED_TRACE(::testing::Message() << begin << " .. " << end);
        expect_same_events(model.sample(begin, end), reference.sample(begin, end));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DarkCountDraws,
    ::testing::Values(
        // Means below 12 (multiplied uniforms) and above (rejection with a spare normal).
        DarkCase{"small_mean", 300.0, 50, {{0.0, 0.01}, {0.01, 0.02}, {0.02, 0.05}}},
        DarkCase{"large_mean", 2000.0, 1000, {{0.0, 0.01}, {0.01, 0.02}, {5.0, 5.1}}},
        // Empty and reversed intervals in between take one output per channel.
        DarkCase{"empty_intervals", 2000.0, 40, {{0.0, 0.01}, {0.01, 0.01}, {0.02, 0.01}, {0.01, 0.02}}},
        // Far from zero, times round onto each other and ties decide the order.
        DarkCase{"rounded_ties", 2000.0, 1000, {{1e6, 1e6 + 0.01}, {1e6 + 0.01, 1e6 + 0.02}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DarkCountModel, RoundedTimesReallyTie) {
    // Guards the "rounded_ties" case above: it must exercise equal times.
    auto events = DarkCountModel(2000.0, 1000, 99, 4).sample(1e6, 1e6 + 0.01);
    EXPECT_NE(std::ranges::adjacent_find(events, {}, &BackgroundEvent::time), events.end());
}

TEST(DarkCountModel, EventsLieInTheIntervalAtTheRate) {
    const double rate = 500.0, span = 0.2;
    const unsigned long channels = 64;
    DarkCountModel model(rate, channels, 5, 3);
    std::vector<long> per_channel(channels);
    const int calls = 50;
    for (int call = 0; call < calls; ++call) {
        const double begin = 10.0 + call * span, end = begin + span;
        auto events = model.sample(begin, end);
        ASSERT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time));
        for (const auto& event : events) {
            ASSERT_GE(event.time, begin);
            ASSERT_LT(event.time, end);
            ASSERT_EQ(event.type, 3);
            ASSERT_LT(event.id, channels);
            ++per_channel[event.id];
        }
    }
    const double expected = rate * span * calls;  // per channel
    long total = 0;
    for (long n : per_channel) {
        EXPECT_NEAR(n, expected, 5 * std::sqrt(expected));
        total += n;
    }
    EXPECT_NEAR(total, expected * channels, 4 * std::sqrt(expected * channels));
}

TEST(DarkCountModel, NoCountsForMeansThatAreNotPositive) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double rate : {-100.0, 0.0, nan}) EXPECT_TRUE(DarkCountModel(rate, 30, 8, 0).sample(1.0, 2.0).empty());

    // Empty, reversed and NaN intervals give nothing and take exactly one
    // engine output per channel, as the standard draw would.
    for (auto [begin, end] : {std::pair{1.0, 1.0}, {2.0, 1.0}, {nan, 2.0}, {1.0, nan}}) {
        SCOPED_TRACE(::testing::Message() << begin << " .. " << end);
        DarkCountModel model(100.0, 30, 8, 0);
        EXPECT_TRUE(model.sample(begin, end).empty());
        ReferenceDarkCounts reference(100.0, 30, 8, 0);
        reference.random_engine().discard(30);
        expect_same_events(model.sample(0.0, 0.1), reference.sample(0.0, 0.1));
    }
}

TEST(DarkCountModel, ReversedIntervalWithNegativeRateDrawsBetweenTheBounds) {
    auto events = DarkCountModel(-1000.0, 10, 3, 0).sample(2.0, 1.0);
    EXPECT_GT(events.size(), 5000u);
    EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time));
    for (const auto& event : events) {
        ASSERT_GT(event.time, 1.0);
        ASSERT_LE(event.time, 2.0);
    }
}

// Without channels there is nothing to draw: no rate, however large or
// undefined, and no interval is refused.
TEST(DarkCountModel, NoChannelsTakeNoOutputWhateverTheRate) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (double rate : {1000.0, 1e300, inf, nan, -1.0}) {
        SCOPED_TRACE(rate);
        DarkCountModel empty(rate, 0, 8, 0);
        EXPECT_TRUE(empty.sample(0.0, 1.0).empty());
        EXPECT_TRUE(empty.sample(0.0, 0.0).empty());
        EXPECT_TRUE(empty.sample(0.0, 1e9).empty());
    }
}

TEST(DarkCountModel, RefusesMeansTooLargeToDrawBeforeAnyDraw) {
    const double inf = std::numeric_limits<double>::infinity();
    DarkCountModel model(2000.0, 10, 8, 0);
    expect_throw<std::invalid_argument>([&] { model.sample(0.0, 1e6); },
                                        "Poisson mean 2e+09 is too large to draw a count (at most 1073741824)!");
    expect_throw<std::invalid_argument>([&] { model.sample(0.0, inf); },
                                        "Poisson mean inf is too large to draw a count (at most 1073741824)!");
    ReferenceDarkCounts reference(2000.0, 10, 8, 0);
    expect_same_events(model.sample(0.0, 0.1), reference.sample(0.0, 0.1));
}

TEST(DarkCountModel, RefusesNegativeChannelCounts) {
    expect_throw<std::invalid_argument>([] { DarkCountModel(1.0, static_cast<unsigned long>(-3L), 1, 0); },
                                        "num_channels must not be negative, got -3!");
}

// Returns fixed events and can fail.
class FixedModel : public BackgroundModel {
public:
    explicit FixedModel(std::vector<BackgroundEvent> events, bool fail = false) : events(std::move(events)), fail(fail) {}
    std::vector<BackgroundEvent> sample(double, double) override {
        ++calls;
        if (fail) throw std::out_of_range("no data");
        return events;
    }
    std::vector<BackgroundEvent> events;
    bool fail;
    int calls = 0;
};

TEST(GenericModel, MergesMembersWithEarlierMembersFirstOnTies) {
    GenericModel none;
    EXPECT_TRUE(none.sample(0, 1).empty());

    const std::vector<BackgroundEvent> a{{1.0, 1, 10}, {2.0, 1, 11}, {2.0, 1, 12}, {5.0, 1, 13}};
    const std::vector<BackgroundEvent> b{{0.5, 2, 20}, {2.0, 2, 21}, {6.0, 2, 22}};
    const std::vector<BackgroundEvent> c{{2.0, 3, 30}};

    GenericModel one;
    one.add_model(std::make_unique<FixedModel>(a));
    expect_same_events(one.sample(0, 1), a);

    GenericModel abc;
    abc.add_model(std::make_unique<FixedModel>(std::vector<BackgroundEvent>{}));
    abc.add_model(std::make_unique<FixedModel>(a));
    abc.add_model(std::make_unique<FixedModel>(b));
    abc.add_model(std::make_unique<FixedModel>(c));
    expect_same_events(abc.sample(0, 1), {{0.5, 2, 20}, {1.0, 1, 10}, {2.0, 1, 11}, {2.0, 1, 12}, {2.0, 2, 21},
                                          {2.0, 3, 30}, {5.0, 1, 13}, {6.0, 2, 22}});

    GenericModel cb;
    cb.add_model(std::make_unique<FixedModel>(c));
    cb.add_model(std::make_unique<FixedModel>(b));
    expect_same_events(cb.sample(0, 1), {{0.5, 2, 20}, {2.0, 3, 30}, {2.0, 2, 21}, {6.0, 2, 22}});
}

TEST(GenericModel, MemberFailurePassesAfterEarlierMembersWereSampled) {
    GenericModel generic;
    auto first = std::make_unique<FixedModel>(std::vector<BackgroundEvent>{{1.0, 0, 0}});
    auto* first_ptr = first.get();
    generic.add_model(std::move(first));
    generic.add_model(std::make_unique<FixedModel>(std::vector<BackgroundEvent>{}, true));
    expect_throw<std::out_of_range>([&] { generic.sample(0, 1); }, "no data");
    EXPECT_EQ(first_ptr->calls, 1);
    expect_throw<std::invalid_argument>([&] { generic.add_model(nullptr); }, "Model must not be null!");
}

}  // namespace
