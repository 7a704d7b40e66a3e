#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ChannelList.hpp"
#include "background/AutoMergeList.hpp"

namespace {

using background::AutoMergeList;
using background::detail::ChannelList;
using background::detail::FlushScratch;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// One channel of the plain engine: every run inserted into an AutoMergeList,
// flattened and split at each chunk end, the rest inserted back.
struct PlainChannel {
    AutoMergeList<double> list;
    std::vector<double> flush(double end) {
        if (list.runs.empty()) return {};
        auto times = list.flatten();
        auto split = std::upper_bound(times.begin(), times.end(), end);
        list.insert(std::vector<double>(split, times.end()));
        times.erase(split, times.end());
        return times;
    }
};

// Runs of few distinct values, so that ties, +0 against -0, runs that come
// out of order and remainders over many chunks are everyday events; with
// `odd`, also NaN and runs that are not sorted.
struct RunSource {
    std::mt19937_64 engine;
    bool odd;
    std::vector<double> values{-1.0, -0.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0, 8.0,
                               std::numeric_limits<double>::infinity()};

    double value() {
        if (odd && engine() % 40 == 0) return std::numeric_limits<double>::quiet_NaN();
        return values[engine() % values.size()];
    }
    std::vector<double> run() {
        std::vector<double> run(engine() % 6);
        for (double& t : run) t = value();
        if (!odd || engine() % 8 != 0) std::stable_sort(run.begin(), run.end());
        return run;
    }
};

void check_against_plain(bool odd, unsigned seed) {
    RunSource source{std::mt19937_64(seed), odd};
    ChannelList fast;
    PlainChannel plain;
    FlushScratch scratch;
    std::vector<double> out, drawn;
    for (int chunk = 0; chunk < 4000; ++chunk) {
        const auto runs = source.engine() % 7;
        for (unsigned r = 0; r < runs; ++r) {
            switch (source.engine() % 3) {
                case 0: {
                    auto run = source.run();
                    fast.add_run(run.data(), run.data() + run.size());
                    plain.list.insert(run);
                    break;
                }
                case 1: {
                    const double t = source.value();
                    const int copies = static_cast<int>(source.engine() % 4);
                    fast.add_copies(t, copies);
                    plain.list.insert(std::vector<double>(static_cast<std::size_t>(copies), t));
                    break;
                }
                default: {
                    // Drawn times: finite, and +0 only (as a draw gives them).
                    std::vector<double> times;
                    for (auto n = source.engine() % 5; n > 0; --n) {
                        double t = source.values[source.engine() % (source.values.size() - 1)];
                        times.push_back(t == 0 ? 0.0 : t);
                    }
                    const int copies = 1 + static_cast<int>(source.engine() % 2);
                    std::sort(times.begin(), times.end());
                    drawn = times;
                    fast.add_drawn(drawn, copies);
                    for (double t : times) plain.list.insert(std::vector<double>(static_cast<std::size_t>(copies), t));
                }
            }
        }
        if (source.engine() % 50 == 0) {
            fast.clear();
            plain.list.clear();
            continue;
        }
        const double end = source.values[source.engine() % source.values.size()] - 1.0 + chunk * 1e-3;
        ASSERT_EQ(fast.has_runs(), !plain.list.runs.empty()) << chunk;
        if (fast.has_runs()) fast.flush(end, out, scratch);
        else out.clear();
        const auto expected = plain.flush(end);
        ASSERT_TRUE(same_bits(out, expected)) << "seed " << seed << " chunk " << chunk;
    }
}

TEST(ChannelList, FlushesAsThePlainMergeScheduleBitForBit) {
    for (unsigned seed = 1; seed <= 5; ++seed) check_against_plain(false, seed);
}

TEST(ChannelList, NaNAndUnsortedRunsFollowThePlainScheduleToo) {
    for (unsigned seed = 1; seed <= 5; ++seed) check_against_plain(true, seed);
}

}  // namespace
