// SimulationProvider's channel groups for showers with enough p.e.s that an unstable sort by channel would
// reorder the p.e.s of one channel, which only their times rank.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "background/SimulationProvider.hpp"
#include "file_key.hpp"
#include "fixture_reader.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::file_key;
using background::testing::TempDir;
using background::testing::write_simulation;

TEST(SimulationProvider, ManyPEsComeInChannelGroupsEachInTimeOrder) {
    std::mt19937_64 engine(5);
    std::vector<std::pair<int, double>> pes;
    std::map<int, std::vector<double>> by_channel;
    for (int i = 0; i < 60; ++i) {
        const int channel = static_cast<int>(engine() % 4) * 3 - 2;
        const double time = 100.0 + static_cast<double>(engine() % 100000) / 1000.0;
        pes.emplace_back(channel, time);
        by_channel[channel].push_back(time);
    }
    TempDir dir;
    write_simulation(dir.path(), "run.xcd", {{1, 1.0, pes}});

    PEList expected;
    for (auto& [channel, times] : by_channel) {
        std::ranges::sort(times);
        const double first = times.front();
        for (double& time : times) time -= first;
        expected.emplace_back(channel, times);
    }
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    EXPECT_EQ(provider.get_pe_list(file_key("run.xcd") + 1), expected);
}

}  // namespace
