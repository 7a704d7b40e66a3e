#pragma once
// Datasets of fixture simulation files for the multi provider's tests.

#include <gtest/gtest.h>

#include <filesystem>

#include "background/SimulationProvider.hpp"
#include "fixture_reader.hpp"
#include "fixtures.hpp"

namespace background::testing {

// Two datasets that both hold run_01.xcd (A with two showers, B with three),
// and one file of their own each.
class Datasets : public ::testing::Test {
protected:
    Datasets() {
        for (const char* name : {"A", "B"}) std::filesystem::create_directory(dir.path() / name);
        write_simulation(dir.path() / "A", "run_01.xcd", numbered_showers(2, 100));
        write_simulation(dir.path() / "A", "only_a.xcd", {{1, 110, {{2, 4.0}, {2, 1.0}}}});
        write_simulation(dir.path() / "B", "run_01.xcd", numbered_showers(3, 200));
        write_simulation(dir.path() / "B", "only_b.xcd", {{1, 210, {{5, 3.0}, {6, 1.0}}}});
    }

    // All metadata of one dataset alone, in its own key order.
    Identities alone(const char* name) {
        return identities(SimulationProvider(dir.path() / name, -1, -1, 1.0, false).get_all_metadata());
    }

    TempDir dir;
};

}  // namespace background::testing
