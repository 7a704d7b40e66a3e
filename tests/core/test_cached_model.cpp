// Model caches: what sample selects, its refusals, partitions by consecutive calls, the two files and
// their checks, caches out of time order, and writes that a file-size limit cuts short.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "background/CachedModel.hpp"
#include "background/Serializer.hpp"
#include "child_process.hpp"
#include "fixtures.hpp"
#include "unreadable_gaps.hpp"

namespace {

using namespace background;
using background::testing::expect_same_events;
using background::testing::expect_throw;
using background::testing::io_failure;
using background::testing::TempDir;
namespace fs = std::filesystem;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<BackgroundEvent> between(const std::vector<BackgroundEvent>& events, double begin, double end) {
    std::vector<BackgroundEvent> selected;
    for (const auto& e : events)
        if (begin <= e.time && e.time < end) selected.push_back(e);
    return selected;
}

class Cache : public ::testing::Test {
protected:
    TempDir dir;
    fs::path cache = dir.path() / "run7" / "cache.evt";
    // Sorted; ties at 2 and at 5 in id order, events at both ends of [0, 10).
    std::vector<BackgroundEvent> events = {{0.0, 1, 10}, {0.5, 2, 11}, {2.0, 1, 12}, {2.0, 2, 13}, {2.0, 1, 14},
                                           {3.25, 1, 15}, {5.0, 2, 16}, {5.0, 1, 17}, {9.999, 1, 18}, {10.0, 1, 19},
                                           {12.0, 2, 20}};
    void SetUp() override { fs::create_directory(cache.parent_path()); }
};

TEST_F(Cache, SamplesTheStoredEventsOfAnInterval) {
    {
        background::testing::UnreadableGaps<BackgroundEvent> gaps(events);
        CachedModel::write_cache(cache, events, 0.0, 10.0);
    }
    EXPECT_TRUE(fs::exists(dir.path() / "run7" / "cache.cm"));
    CachedModel model(cache);
    struct Case {
        double begin, end;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0.0, 10.0}, {2.0, 2.0}, {0.0, 1e-300}, {2.0, 5.0}, {2.0, 5.000000001}, {9.999, 10.0}, {10.0, 10.0}}) {
        SCOPED_TRACE(::testing::PrintToString(c.begin) + " " + ::testing::PrintToString(c.end));
        expect_same_events(model.sample(c.begin, c.end), between(events, c.begin, c.end));
        expect_same_events(model.sample(c.begin, c.end), between(events, c.begin, c.end));
    }
    struct Refusal {
        double begin, end;
        std::string message;
    };
    auto outside = [](const std::string& interval) {
        return "Cannot sample interval " + interval + "! Model is only defined in [0 s,10 s).";
    };
    for (const Refusal& r : std::initializer_list<Refusal>{
             {3.0, 2.0, "Interval begin time has to be before interval end time! 3 < 2"},
             {20.0, -5.0, "Interval begin time has to be before interval end time! 20 < -5"},
             {0.0, 10.5, outside("[0 s,10.5 s)")},
             {-1.0, 5.0, outside("[-1 s,5 s)")},
             {-0.25, 1e20, outside("[-0.25 s,1e+20 s)")},
             {nan, 5.0, outside("[nan s,5 s)")},
             {0.0, nan, outside("[0 s,nan s)")},
             {nan, nan, outside("[nan s,nan s)")}}) {
        expect_throw<std::out_of_range>([&] { model.sample(r.begin, r.end); }, r.message);
    }
    expect_same_events(model.sample(0.0, 10.0), between(events, 0.0, 10.0));
}

TEST_F(Cache, ConsecutiveCallsPartitionTheEvents) {
    std::mt19937_64 engine(3);
    std::uniform_real_distribution<double> time(0.0, 100.0);
    std::vector<BackgroundEvent> many;
    for (unsigned long i = 0; i < 5000; ++i) many.push_back({std::floor(time(engine) * 8) / 8, 1, i});
    std::ranges::stable_sort(many, {}, &BackgroundEvent::time);
    CachedModel::write_cache(cache, many, 0.0, 100.0);
    CachedModel model(cache);
    // Unit spans, spans that fall on equal times, random spans and empty ones.
    std::vector<std::vector<double>> partitions(3);
    for (int i = 0; i <= 100; ++i) partitions[0].push_back(i);
    for (int i = 0; i <= 800; i += 3) partitions[1].push_back(i / 8.0);
    partitions[1].push_back(100.0);
    for (double t = 0; t < 100.0; t += std::uniform_real_distribution<double>(0.0, 0.3)(engine)) {
        partitions[2].push_back(t);
        partitions[2].push_back(t);
    }
    partitions[2].push_back(100.0);
    for (const auto& bounds : partitions) {
        std::vector<BackgroundEvent> joined;
        for (size_t i = 0; i + 1 < bounds.size(); ++i) {
            auto part = model.sample(bounds[i], bounds[i + 1]);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        expect_same_events(joined, many);
    }
}

TEST_F(Cache, EventsOutOfOrderAreSortedStablyAtLoad) {
    std::vector<BackgroundEvent> shuffled = {{5.0, 1, 1}, {2.0, 1, 2}, {nan, 1, 3}, {5.0, 1, 4}, {-1.0, 1, 5},
                                             {2.0, 1, 6}, {nan, 1, 7}, {0.0, 1, 8},  {5.0, 1, 9}};
    CachedModel::write_cache(cache, shuffled, -10.0, 10.0);
    // The file keeps the given order.
    expect_same_events(Serializer::create_default()->read_events(cache), shuffled);
    CachedModel model(cache);
    // Equal times keep their stored order; events without a time are never sampled.
    expect_same_events(model.sample(-10.0, 10.0),
                       {{-1.0, 1, 5}, {0.0, 1, 8}, {2.0, 1, 2}, {2.0, 1, 6}, {5.0, 1, 1}, {5.0, 1, 4}, {5.0, 1, 9}});
    expect_same_events(model.sample(2.0, 5.0), {{2.0, 1, 2}, {2.0, 1, 6}});
}

// Enough events that an unstable sort would reorder ties, and ties that neither id nor type ranks.
TEST_F(Cache, ManyTiesKeepTheirStoredOrderAtLoad) {
    std::mt19937_64 engine(11);
    const double times[] = {4.5, 0.0, 3.0, nan, 1.5, 6.0};
    std::vector<BackgroundEvent> stored;
    for (int i = 0; i < 60; ++i)
        stored.push_back({times[engine() % 6], static_cast<int>(engine() % 3), engine() % 1000});
    CachedModel::write_cache(cache, stored, -1.0, 10.0);
    CachedModel model(cache);
    std::vector<BackgroundEvent> expected;
    for (double t : {0.0, 1.5, 3.0, 4.5, 6.0})
        for (const auto& e : stored)
            if (e.time == t) expected.push_back(e);
    expect_same_events(model.sample(-1.0, 10.0), expected);
}

TEST_F(Cache, TheTwoFilesAndTheirChecks) {
    auto serializer = Serializer::create_default();
    struct Naming {
        fs::path cache;
        fs::path interval;
    };
    for (const Naming& n : std::initializer_list<Naming>{{dir.path() / "cache", dir.path() / "cache.cm"},
                                                         {dir.path() / "a.b.evt", dir.path() / "a.b.cm"},
                                                         {dir.path() / ".hidden", dir.path() / ".hidden.cm"}}) {
        CachedModel::write_cache(n.cache, events, -1.0, 13.0);
        EXPECT_EQ(serializer->read_numbers(n.interval), (std::vector<double>{-1.0, 13.0})) << n.cache;
        expect_same_events(CachedModel(n.cache).sample(-1.0, 13.0), events);
    }

    fs::path interval = dir.path() / "run7" / "cache.cm";
    serializer->write_events(cache, events);
    for (std::vector<double> numbers : {std::vector<double>{}, {1.0}, {0.0, 5.0, 10.0}}) {
        serializer->write_numbers(interval, numbers);
        expect_throw<std::ios_base::failure>(
            [&] { CachedModel model(cache); },
            io_failure("Cached data is corrupted, check if " + interval.native() + " was modified."));
    }
    // The cache file is read first; each missing file is named.
    fs::remove(interval);
    expect_throw<std::ios_base::failure>(
        [&] { CachedModel model(cache); },
        io_failure("Failed to open file " + interval.generic_string() + "!\nImplementation reports: connection error"));
    fs::remove(cache);
    expect_throw<std::ios_base::failure>(
        [&] { CachedModel model(cache); },
        io_failure("Failed to open file " + cache.generic_string() + "!\nImplementation reports: connection error"));
    // An interval in reverse order refuses every interval.
    CachedModel::write_cache(cache, events, 10.0, 0.0);
    CachedModel reversed(cache);
    expect_throw<std::out_of_range>([&] { reversed.sample(5.0, 5.0); },
                                    "Cannot sample interval [5 s,5 s)! Model is only defined in [10 s,0 s).");
}

TEST_F(Cache, ACacheNameEndingInTheIntervalExtensionIsRefusedBeforeWriting) {
    fs::path own = dir.path() / "cache.cm";
    expect_throw<std::invalid_argument>(
        [&] { CachedModel::write_cache(own, events, 0.0, 10.0); },
        "Cannot write cache file " + own.native() +
            ": its interval file would be the cache file itself, choose a name that does not end in .cm!");
    EXPECT_FALSE(fs::exists(own));
}

TEST_F(Cache, WritesCutShortByAFileSizeLimitThrow) {
    fs::path interval = dir.path() / "run7" / "cache.cm";
    struct Case {
        const char* name;
        std::vector<BackgroundEvent> events;
        rlim_t limit;
        std::string message;
        bool interval_written;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"cache file", std::vector<BackgroundEvent>(1000, {1.0, 1, 7}), 1000,
              "Failed to write to file " + cache.generic_string() + "!\nImplementation reports: flush error", false},
             // An empty cache file is 84 bytes, its interval file 100.
             {"interval file", {}, 90,
              "Failed to write to file " + interval.generic_string() + "!\nImplementation reports: flush error",
              true}}) {
        fs::remove(interval);
        std::string failures = background::testing::run_with_file_size_limit(c.limit, [&] {
            try {
                CachedModel::write_cache(cache, c.events, 0.0, 2.0);
            } catch (const std::ios_base::failure& e) {
                return e.what() == io_failure(c.message) ? std::string() : std::string(e.what());
            }
            return std::string("returned normally");
        });
        EXPECT_EQ(failures, "") << c.name;
        EXPECT_EQ(fs::exists(interval), c.interval_written) << c.name;
    }
}

}  // namespace
