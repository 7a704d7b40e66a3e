// MultiProvider over fixture datasets: routing by file key, shadowing, order
// of all metadata and failed additions (the class table's entry:
// tests/factories/fixture_reader).

#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "background/MultiProvider.hpp"
#include "background/SimulationProvider.hpp"
#include "datasets.hpp"
#include "file_key.hpp"
#include "fixture_reader.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::Datasets;
using background::testing::expect_throw;
using background::testing::identities;
using background::testing::Identities;
using background::testing::file_key;
using background::testing::io_failure;
using background::testing::numbered_showers;
using background::testing::TempDir;
using background::testing::write_simulation;

TEST_F(Datasets, TheFirstDatasetHoldingAFileKeyServesIt) {
    const unsigned long shared = file_key("run_01.xcd");
    for (const auto& order : {std::vector<const char*>{"A", "B"}, std::vector<const char*>{"B", "A"}}) {
        MultiProvider provider(-1, 1.0, false);
        for (const char* name : order) provider.add_dataset(dir.path() / name, -1);
        const bool a_first = order[0][0] == 'A';

        // Shadowed: B's run_01.xcd is never read while A comes first, not even
        // for the position A lacks.
        EXPECT_EQ(provider.get_metadata(shared + 2).energy, a_first ? 101.0 : 201.0);
        if (a_first)
            expect_throw<std::out_of_range>([&] { provider.get_metadata(shared + 3); },
                                            "Shower with UID " + std::to_string(shared + 3) + " not found!");
        else
            EXPECT_EQ(provider.get_metadata(shared + 3).energy, 202.0);

        EXPECT_EQ(provider.get_metadata(file_key("only_a.xcd") + 1).energy, 110.0);
        EXPECT_EQ(provider.get_pe_list(file_key("only_a.xcd") + 1), (PEList{{2, {0.0, 3.0}}}));
        EXPECT_EQ(provider.get_pe_list(file_key("only_b.xcd") + 1), (PEList{{5, {0.0}}, {6, {0.0}}}));

        const unsigned long unknown = file_key("run_02.xcd") + 1;
        for (bool pes : {false, true})
            expect_throw<std::out_of_range>(
                [&] { pes ? (void)provider.get_pe_list(unknown) : (void)provider.get_metadata(unknown); },
                "Shower with UID " + std::to_string(unknown) + " not found!");

        // Every dataset's showers, in the order the datasets were added; the
        // shared file's UIDs appear in both.
        Identities expected = alone(order[0]), second = alone(order[1]);
        expected.insert(expected.end(), second.begin(), second.end());
        EXPECT_EQ(identities(provider.get_all_metadata()), expected);
    }
}

TEST_F(Datasets, AFailedAdditionLeavesTheDatasetsAsTheyWere) {
    std::filesystem::create_directory(dir.path() / "empty");
    MultiProvider provider(-1, 1.0, false);
    provider.add_dataset(dir.path() / "A", -1);
    expect_throw<std::ios_base::failure>([&] { provider.add_dataset(dir.path() / "missing", -1); },
                                         io_failure((dir.path() / "missing").string() + " is no directory!"));
    expect_throw<std::ios_base::failure>(
        [&] { provider.add_dataset(dir.path() / "empty", -1); },
        io_failure((dir.path() / "empty").string() + " does not contain simulation files!"));
    EXPECT_EQ(identities(provider.get_all_metadata()), alone("A"));
    expect_throw<std::out_of_range>([&] { provider.get_metadata(file_key("only_b.xcd") + 1); },
                                    "Shower with UID " + std::to_string(file_key("only_b.xcd") + 1) + " not found!");
}

TEST_F(Datasets, EveryDatasetTakesTheCommonCutoffAndWarningSwitch) {
    auto gap = numbered_showers(3, 300);
    gap[0].pes = {{4, 15.0}, {4, 1.0}, {4, 2.0}};
    gap[2].uid = 9;
    write_simulation(dir.path() / "B", "gap.xcd", gap);

    MultiProvider strict(1, 10.0, false);
    strict.add_dataset(dir.path() / "A", -1);
    strict.add_dataset(dir.path() / "B", -1);
    EXPECT_THROW(strict.get_all_metadata(), std::ios_base::failure);
    // Cut-off of one p.e. per ten seconds in both datasets.
    EXPECT_EQ(strict.get_pe_list(file_key("only_a.xcd") + 1), (PEList{{2, {0.0}}}));
    EXPECT_EQ(strict.get_pe_list(file_key("gap.xcd") + 1), (PEList{{4, {0.0, 14.0}}}));

    MultiProvider lenient(1, 10.0, true);
    lenient.add_dataset(dir.path() / "B", -1);
    ::testing::internal::CaptureStderr();
    const auto showers = lenient.get_all_metadata();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("expected 3 but got 9"), std::string::npos);
    EXPECT_EQ(showers.size(), 3u + 1u + 2u);
}

}  // namespace
