#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "background/AutoMergeList.hpp"

namespace {

using background::AutoMergeList;
using Doubles = AutoMergeList<double, std::less<double>, std::identity>;

// Elements that are equal under the projection but tell which run they came from.
using Tagged = std::pair<int, int>;  // (key, run number)
struct Key {
    int operator()(const Tagged& element) const { return element.first; }
};
using TaggedList = AutoMergeList<Tagged, std::less<int>, Key>;

// The merge written out plainly: a fresh vector, an older element taken only
// when strictly less than the newer one.
std::vector<Tagged> plain_merge(const std::vector<Tagged>& older, const std::vector<Tagged>& newer) {
    std::vector<Tagged> merged;
    std::size_t i = 0, j = 0;
    while (i < older.size() && j < newer.size())
        merged.push_back(older[i].first < newer[j].first ? older[i++] : newer[j++]);
    merged.insert(merged.end(), older.begin() + i, older.end());
    merged.insert(merged.end(), newer.begin() + j, newer.end());
    return merged;
}

// The binary-counter schedule written out plainly.
struct PlainList {
    std::vector<std::vector<Tagged>> runs;
    std::size_t count = 0;

    void insert(std::vector<Tagged> run) {
        runs.push_back(std::move(run));
        for (std::size_t c = ++count; c % 2 == 0; c /= 2) merge();
    }
    void merge() {
        auto newer = runs.back();
        runs.pop_back();
        runs.back() = plain_merge(runs.back(), newer);
    }
    std::vector<Tagged> flatten() {
        while (runs.size() > 1) merge();
        auto result = runs.back();
        runs.clear();
        count = 0;
        return result;
    }
};

TEST(AutoMergeList, RunsFollowTheBinaryCounter) {
    Doubles list;
    for (std::size_t inserted = 1; inserted <= 40; ++inserted) {
        list.insert({static_cast<double>(inserted)});
        ASSERT_EQ(list.insert_count, inserted);
        ASSERT_EQ(list.runs.size(), static_cast<std::size_t>(std::popcount(inserted))) << inserted;
        // Oldest first: one run of 2^b elements per set bit b, highest bit first.
        std::size_t run = 0;
        for (int bit = 63; bit >= 0; --bit) {
            if (!(inserted >> bit & 1)) continue;
            EXPECT_EQ(list.runs[run++].size(), std::size_t{1} << bit) << inserted;
        }
    }
    auto all = list.flatten();
    ASSERT_EQ(all.size(), 40u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], static_cast<double>(i + 1));
    EXPECT_TRUE(list.runs.empty());
    EXPECT_EQ(list.insert_count, 0u);
}

TEST(AutoMergeList, EqualElementsComeNewestRunFirst) {
    TaggedList list;
    list.insert({{1, 0}, {2, 0}});
    list.insert({{1, 1}, {3, 1}});
    list.insert({{2, 2}});
    EXPECT_EQ(list.flatten(), (std::vector<Tagged>{{1, 1}, {1, 0}, {2, 2}, {2, 0}, {3, 1}}));
}

// Random runs with many ties, single elements and empty runs, flattened at
// random points into one list whose buffers are reused from round to round:
// the list must give exactly what the plain schedule and merge give.
TEST(AutoMergeList, MatchesPlainMergeAcrossFlattens) {
    std::mt19937_64 engine(7);
    std::uniform_int_distribution<int> key(0, 20), length(0, 6), flatten_after(1, 40);
    TaggedList list;
    for (int round = 0; round < 50; ++round) {
        PlainList plain;
        const int runs = flatten_after(engine);
        for (int r = 0; r < runs; ++r) {
            std::vector<Tagged> run;
            for (int n = length(engine); n > 0; --n) run.emplace_back(key(engine), r);
            std::ranges::sort(run);
            list.insert(run);
            plain.insert(run);
            ASSERT_EQ(list.runs.size(), plain.runs.size());
        }
        // A carried remainder as the only run, as the engine leaves it.
        auto flat = list.flatten();
        ASSERT_EQ(flat, plain.flatten());
        list.insert({flat.begin() + flat.size() / 2, flat.end()});
        plain.insert({flat.begin() + flat.size() / 2, flat.end()});
        list.insert({{5, 99}, {10, 99}});
        plain.insert({{5, 99}, {10, 99}});
        ASSERT_EQ(list.flatten(), plain.flatten());
    }
}

// NaN makes the comparison no strict order; the merge still decides element
// by element, whatever room the older run's buffer has.
TEST(AutoMergeList, SingleElementMergesAsTheMergeDoesAlsoWithNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t room : {0, 8}) {
        std::vector<double> older{nan, 1.0, 2.0};
        older.reserve(older.size() + room);
        Doubles list;
        list.insert(std::move(older));
        list.insert({1.5});
        const auto flat = list.flatten();
        ASSERT_EQ(flat.size(), 4u);
        EXPECT_EQ(flat[0], 1.5) << room;
        EXPECT_TRUE(std::isnan(flat[1])) << room;
        EXPECT_EQ(flat[2], 1.0) << room;
        EXPECT_EQ(flat[3], 2.0) << room;
    }
}

TEST(AutoMergeList, TooFewRunsAreSafe) {
    Doubles list;
    list.merge();
    EXPECT_TRUE(list.flatten().empty());
    EXPECT_EQ(list.insert_count, 0u);

    list.insert({1.0, 2.0});
    list.merge();
    EXPECT_EQ(list.runs.size(), 1u);
    EXPECT_EQ(list.flatten(), (std::vector<double>{1.0, 2.0}));

    list.insert({3.0});
    list.insert({});
    list.insert({0.5});
    list.clear();
    EXPECT_TRUE(list.runs.empty());
    EXPECT_EQ(list.insert_count, 0u);
    EXPECT_TRUE(list.flatten().empty());
}

}  // namespace
