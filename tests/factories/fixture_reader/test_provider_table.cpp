// Entries of the class table of section "providers" for the simulation
// providers, over fixture files: the keys reach the providers.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "background/Factory.hpp"
#include "background/SimulationProvider.hpp"
#include "datasets.hpp"
#include "file_key.hpp"
#include "fixture_reader.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::by_key;
using background::testing::Datasets;
using background::testing::file_key;
using background::testing::identities;
using background::testing::Identities;
using background::testing::numbered_showers;
using background::testing::TempDir;
using background::testing::write_simulation;

TEST(ProviderFactory, BuildsSimulationProviderFromItsKeys) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "sims");
    const auto names = by_key({"s0.xcd", "s1.xcd"});
    auto gap = numbered_showers(3, 100);
    gap[1].uid = 7;
    gap[0].pes = {{1, 3.0}, {1, 1.0}, {1, 2.0}};
    write_simulation(dir.path() / "sims", names[0], gap);
    write_simulation(dir.path() / "sims", names[1], numbered_showers(2, 200));
    Factory<ShowerProvider> factory(dir.write("settings.yaml", R"(
providers:
  simulation:
    class: SimulationProvider
    warn_unverified: true
    cutoff_interval: 10.0
    cutoff_pes: 2
    file_limit: 1
    input_files: sims
)"));
    auto provider = factory.create_by_name("simulation");
    // One file read, its gap warned about; two p.e.s kept of three.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(identities(provider->get_all_metadata()),
              (Identities{{file_key(names[0]) + 1, 100}}));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("expected 2 but got 7"), std::string::npos);
    EXPECT_EQ(provider->get_pe_list(file_key(names[0]) + 1), (PEList{{1, {0.0, 1.0}}}));
}

TEST(ProviderFactory, MultiProviderHandsItsValuesToEveryDataset) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "sims");
    // Shower 1 holds eight p.e.s on one channel, written latest first; the second shower's number leaves a gap.
    auto showers = numbered_showers(2, 100);
    for (double time : {125.0, 114.0, 113.0, 112.0, 103.0, 102.0, 101.0, 100.0}) showers[0].pes.emplace_back(4, time);
    showers[1].uid = 7;
    const auto file = write_simulation(dir.path() / "sims", "run.xcd", showers);
    Factory<ShowerProvider> factory(dir.write("settings.yaml", R"(
providers:
  lenient:
    class: MultiProvider
    warn_unverified: true
    cutoff_interval: 10.0
    cutoff_pes: 2
    datasets:
      only: {file_limit: -1, input_files: sims}
  strict:
    class: MultiProvider
    warn_unverified: false
    cutoff_interval: 20.0
    cutoff_pes: 1
    datasets:
      only: {file_limit: -1, input_files: sims}
)"));
    const unsigned long first = file_key("run.xcd") + 1;

    auto lenient = factory.create_by_name("lenient");
    EXPECT_EQ(lenient->get_pe_list(first), (PEList{{4, {0.0, 1.0, 12.0, 13.0, 25.0}}}));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(identities(lenient->get_all_metadata()), (Identities{{first, 100}}));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("expected 2 but got 7"), std::string::npos);

    auto strict = factory.create_by_name("strict");
    EXPECT_EQ(strict->get_pe_list(first), (PEList{{4, {0.0, 25.0}}}));
    background::testing::expect_throw<std::ios_base::failure>(
        [&] { strict->get_all_metadata(); },
        background::testing::io_failure(
            "XCDFReader provided non continuous ids: expected 2 but got 7! Verify input file " + file.string() + "!"));
}

TEST_F(Datasets, FactoryAddsTheListedDatasetsInOrder) {
    // A relative directory is taken beside the settings file, an absolute one as it is.
    const std::string settings = R"(
providers:
  multi:
    class: MultiProvider
    warn_unverified: false
    cutoff_interval: 1.0e-8
    cutoff_pes: 5
    datasets:
      second:
        file_limit: -1
        input_files: B
      first:
        file_limit: 1
        input_files: )" + (dir.path() / "A").string() + "\n";
    auto provider = Factory<ShowerProvider>(dir.write("settings.yaml", settings)).create_by_name("multi");

    Identities expected = alone("B"), first = alone("A");
    expected.insert(expected.end(), first.begin(), first.begin() + (file_key("run_01.xcd") < file_key("only_a.xcd") ? 2 : 1));
    EXPECT_EQ(identities(provider->get_all_metadata()), expected);
    EXPECT_EQ(provider->get_metadata(file_key("run_01.xcd") + 3).energy, 202.0);
}

}  // namespace
