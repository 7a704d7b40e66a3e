// Entries of the class table of section "providers".
#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "background/Factory.hpp"
#include "background/MockProvider.hpp"
#include "file_key.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_same;
using background::testing::expect_throw;
using background::testing::file_key;
using background::testing::io_failure;
using background::testing::TempDir;

TEST(ProviderFactory, BuildsMockProvider) {
    TempDir dir;
    Factory<ShowerProvider> factory(dir.write("settings.yaml", R"(
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -1
    num_showers: 5
  negative:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -1
    num_showers: -1
  incomplete:
    class: MockProvider
    theta_max: 0.5
)"));
    auto built = factory.create_by_name("mock")->get_all_metadata();
    auto direct = MockProvider(5, -1, 10, 1000, 100, 0.5).get_all_metadata();
    ASSERT_EQ(built.size(), 5u);
    expect_same(built, direct);
    expect_throw<std::length_error>([&] { factory.create_by_name("negative"); }, "vector::_M_default_append");
    expect_throw<std::out_of_range>([&] { factory.create_by_name("incomplete"); }, "Key r_max not found!");
}

constexpr const char* SETTINGS = R"(
providers:
  simulation:
    class: SimulationProvider
    warn_unverified: false
    cutoff_interval: 1.0e-8
    cutoff_pes: 5
    file_limit: -1
    input_files: sims
  multi:
    class: MultiProvider
    warn_unverified: false
    cutoff_interval: 1.0e-8
    cutoff_pes: 5
    datasets:
      missing:
        file_limit: -1
        input_files: nowhere
      protons:
        file_limit: -1
        input_files: sims
  multi_no_files:
    class: MultiProvider
    warn_unverified: false
    cutoff_interval: 1.0e-8
    cutoff_pes: 5
    datasets:
      empty:
        file_limit: 1
        input_files: empty
  multi_stub:
    class: MultiProvider
    warn_unverified: false
    cutoff_interval: 1.0e-8
    cutoff_pes: 5
    datasets:
      protons:
        file_limit: -1
        input_files: sims
      missing:
        file_limit: -1
        input_files: nowhere
  multi_empty:
    class: MultiProvider
    warn_unverified: true
    cutoff_interval: 0.0
    cutoff_pes: 0
    datasets: {}
  multi_scalar:
    class: MultiProvider
    warn_unverified: true
    cutoff_interval: 0.0
    cutoff_pes: 0
    datasets: none
)";

TEST(ProviderFactory, SimulationEntriesReachTheStubOrTheDirectoryCheck) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "sims");
    std::filesystem::create_directory(dir.path() / "empty");
    dir.write("sims/run_01.xcd", "");
    Factory<ShowerProvider> factory(dir.write("settings.yaml", SETTINGS));

#ifdef BACKGROUND_XCDF_READER_STUB
    const std::string no_xcdf = "XCDF support disabled at build time!";
    expect_throw<std::runtime_error>([&] { factory.create_by_name("simulation"); }, no_xcdf);
    expect_throw<std::runtime_error>([&] { factory.create_by_name("multi_stub"); }, no_xcdf);
#endif
    // Datasets are added in the order they are listed: a missing directory
    // listed first is reported before any reader is made.
    expect_throw<std::ios_base::failure>([&] { factory.create_by_name("multi"); },
                                         io_failure((dir.path() / "nowhere").string() + " is no directory!"));
    expect_throw<std::ios_base::failure>(
        [&] { factory.create_by_name("multi_no_files"); },
        io_failure((dir.path() / "empty").string() + " does not contain simulation files!"));

    for (const char* name : {"multi_empty", "multi_scalar"}) {
        auto provider = factory.create_by_name(name);
        EXPECT_TRUE(provider->get_all_metadata().empty()) << name;
        for (unsigned long uid : {0ul, file_key("run_01.xcd") + 1}) {
            const std::string message = "Shower with UID " + std::to_string(uid) + " not found!";
            expect_throw<std::out_of_range>([&] { provider->get_metadata(uid); }, message);
            expect_throw<std::out_of_range>([&] { provider->get_pe_list(uid); }, message);
        }
    }
}

// Each key is read and converted before the next is looked up.
TEST(ProviderFactory, SimulationEntriesReadTheirKeysInOrder) {
    const std::pair<const char*, std::vector<std::pair<std::string, std::string>>> entries[] = {
        {"SimulationProvider",
         {{"warn_unverified", "false"},
          {"cutoff_interval", "1.0"},
          {"cutoff_pes", "3"},
          {"file_limit", "2"},
          {"input_files", "sims"}}},
        {"MultiProvider", {{"warn_unverified", "false"}, {"cutoff_interval", "1.0"}, {"cutoff_pes", "3"}, {"datasets", "{}"}}},
    };
    TempDir dir;
    for (const auto& [class_name, keys] : entries) {
        for (std::size_t present = 0; present < keys.size(); ++present) {
            // The keys before `present` are set, the one at `present` is not,
            // and the one after it holds a value that does not convert.
            std::string settings = std::string("providers:\n  p:\n    class: ") + class_name + "\n";
            for (std::size_t i = 0; i < present; ++i) settings += "    " + keys[i].first + ": " + keys[i].second + "\n";
            if (present + 1 < keys.size()) settings += "    " + keys[present + 1].first + ": [1, 2]\n";
            Factory<ShowerProvider> factory(dir.write("settings.yaml", settings));
            expect_throw<std::out_of_range>([&] { factory.create_by_name("p"); },
                                            "Key " + keys[present].first + " not found!");
        }
    }

    const std::string multi = "providers:\n  p:\n    class: MultiProvider\n    warn_unverified: false\n"
                              "    cutoff_interval: 1.0\n    cutoff_pes: 3\n    datasets:\n      d:\n";
    const std::pair<std::string, std::string> datasets[] = {
        {"        other: 1\n", "Key file_limit not found!"},
        {"        input_files: [1, 2]\n", "Key file_limit not found!"},
        {"        file_limit: 1\n", "Key input_files not found!"},
    };
    for (const auto& [dataset, message] : datasets) {
        Factory<ShowerProvider> factory(dir.write("settings.yaml", multi + dataset));
        expect_throw<std::out_of_range>([&] { factory.create_by_name("p"); }, message);
    }
}

}  // namespace
