// SimulationProvider over fixture files: UIDs, the reading position, all
// metadata with its limits and gaps, p.e. lists and the cut-off (the class
// table's entry: tests/factories/fixture_reader).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <ios>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "background/SimulationProvider.hpp"
#include "file_key.hpp"
#include "fixture_reader.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::by_key;
using background::testing::expect_throw;
using background::testing::identities;
using background::testing::Identities;
using background::testing::file_key;
using background::testing::io_failure;
using background::testing::numbered_showers;
using background::testing::reader_log;
using background::testing::TempDir;
using background::testing::write_simulation;

TEST(SimulationProvider, UidsAreFileKeyPlusPositionAndTheReaderMovesOnlyWhenItMust) {
    TempDir dir;
    write_simulation(dir.path(), "run_a.xcd", numbered_showers(10, 100));
    write_simulation(dir.path(), "run_b.xcd", numbered_showers(3, 200));
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    reader_log = {};

    struct Step {
        const char* file;
        unsigned long position;
        bool pes;  // get_pe_list instead of get_metadata
        unsigned long opens, nexts;
    };
    const Step steps[] = {
        {"run_a.xcd", 5, false, 1, 5},   // open, move 5
        {"run_a.xcd", 5, false, 1, 5},   // stays
        {"run_a.xcd", 5, true, 1, 5},    // the same shower for its p.e.s
        {"run_a.xcd", 7, false, 1, 7},   // forward 2
        {"run_a.xcd", 3, true, 2, 10},   // behind: reopen, move 3
        {"run_b.xcd", 1, false, 3, 11},  // another file
        {"run_a.xcd", 3, false, 4, 14},  // back to the first
    };
    for (const auto& step : steps) {
        const unsigned long uid = file_key(step.file) + step.position;
        if (step.pes) {
            EXPECT_TRUE(provider.get_pe_list(uid).empty());
        } else {
            const Metadata shower = provider.get_metadata(uid);
            EXPECT_EQ(shower.uid, uid);
            EXPECT_EQ(shower.energy, (step.file[4] == 'a' ? 100.0 : 200.0) + static_cast<double>(step.position) - 1);
            EXPECT_EQ(shower.primary, Metadata::PROTON);
        }
        EXPECT_EQ(reader_log.opens, step.opens) << step.file << " " << step.position;
        EXPECT_EQ(reader_log.nexts, step.nexts) << step.file << " " << step.position;
    }
}

TEST(SimulationProvider, RefusesUidsItDoesNotServe) {
    TempDir dir;
    const auto file = write_simulation(dir.path(), "run_a.xcd", numbered_showers(3, 100));
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long key = file_key("run_a.xcd");

    for (bool pes : {false, true}) {
        auto read = [&](unsigned long uid) { pes ? (void)provider.get_pe_list(uid) : (void)provider.get_metadata(uid); };
        for (unsigned long uid : {file_key("run_b.xcd") + 1, 2ul}) {
            expect_throw<std::out_of_range>([&] { read(uid); },
                                            "Shower UID " + std::to_string(uid) + " is not recognized by this provider!");
        }
        expect_throw<std::out_of_range>([&] { read(key + 4); },
                                        "Shower with UID " + std::to_string(key + 4) + " not found!");
        // The reader stopped at the end of the file; earlier showers are still served.
        EXPECT_EQ(provider.get_metadata(key + 2).energy, 101.0);
        EXPECT_EQ(provider.get_metadata(key + 3).energy, 102.0);
    }

    // Failures of the reader itself come through unchanged; the warning switch
    // covers gaps in the numbering only.
    SimulationProvider lenient(dir.path(), -1, -1, 1.0, true);
    std::filesystem::remove(file);
    const std::string cannot_open = io_failure("fixture reader cannot open " + file.string());
    for (SimulationProvider* each : {&provider, &lenient}) {
        ::testing::internal::CaptureStderr();
        expect_throw<std::ios_base::failure>([&] { each->get_metadata(key + 1); }, cannot_open);
        expect_throw<std::ios_base::failure>([&] { each->get_all_metadata(); }, cannot_open);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

TEST(SimulationProvider, TheLastShowerStaysReadableAfterARequestPastTheEnd) {
    TempDir dir;
    write_simulation(dir.path(), "run.xcd",
                     {{1, 100, {{2, 1.5}}}, {2, 101, {{3, 4.0}, {3, 2.5}}}, {3, 102, {{7, 9.0}, {5, 1.0}}}});
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long key = file_key("run.xcd");
    const PEList last = {{5, {0.0}}, {7, {0.0}}};
    for (bool pes_first : {false, true}) {
        // The failed request leaves the reader past the last shower, at the position the last one has.
        EXPECT_THROW(provider.get_metadata(key + 4), std::out_of_range);
        if (pes_first) {
            EXPECT_EQ(provider.get_pe_list(key + 3), last);
        }
        EXPECT_EQ(provider.get_metadata(key + 3).energy, 102.0);
        EXPECT_EQ(provider.get_pe_list(key + 3), last);
        EXPECT_THROW(provider.get_pe_list(key + 5), std::out_of_range);
        EXPECT_EQ(provider.get_metadata(key + 3).uid, key + 3);
    }
}

TEST(SimulationProvider, AShowerTheReaderFailsOnLeavesNoOtherShowerInItsPlace) {
    TempDir dir;
    // The second shower's time does not convert: the reader fails while moving onto it.
    const auto file = dir.write("run.xcd", "1 100 3 0.5\n2 101 3 zz\n3 102 3 1.5\n");
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long key = file_key("run.xcd");
    EXPECT_THROW(provider.get_metadata(key + 2), std::invalid_argument);
    const Metadata first = provider.get_metadata(key + 1);
    EXPECT_EQ(first.uid, key + 1);
    EXPECT_EQ(first.energy, 100.0);
    EXPECT_EQ(provider.get_pe_list(key + 1), (PEList{{3, {0.0}}}));
    EXPECT_THROW(provider.get_metadata(key + 3), std::invalid_argument) << "the damaged shower stays in the way";
}

TEST(SimulationProvider, MetadataTakesTheReadersPositionPlusTheFileKey) {
    TempDir dir;
    auto gap = numbered_showers(3, 100);
    gap[2].uid = 4;
    write_simulation(dir.path(), "run.xcd", gap);
    SimulationProvider provider(dir.path(), -1, -1, 1.0, true);
    const unsigned long key = file_key("run.xcd");
    EXPECT_EQ(provider.get_metadata(key + 2).uid, key + 2);
    EXPECT_EQ(provider.get_metadata(key + 3).uid, key + 4);
}

TEST(SimulationProvider, AFailedReopenLeavesTheReaderWhereItWas) {
    TempDir dir;
    write_simulation(dir.path(), "run_a.xcd", numbered_showers(3, 100));
    const auto other = write_simulation(dir.path(), "run_b.xcd", numbered_showers(3, 200));
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long key = file_key("run_a.xcd");
    provider.get_metadata(key + 2);

    std::filesystem::remove(other);
    EXPECT_THROW(provider.get_metadata(file_key("run_b.xcd") + 1), std::ios_base::failure);
    reader_log = {};
    EXPECT_EQ(provider.get_metadata(key + 3).energy, 102.0);
    EXPECT_EQ(reader_log.opens, 0u);
    EXPECT_EQ(reader_log.nexts, 1u);
}

TEST(SimulationProvider, AllMetadataReadsFilesInKeyOrderUpToTheLimit) {
    TempDir dir;
    const auto names = by_key({"f0.xcd", "f1.xcd", "f2.xcd", "f3.xcd", "f4.xcd"});
    Identities expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const double energy = 10.0 * static_cast<double>(i);
        write_simulation(dir.path(), names[i], numbered_showers(2, energy));
        expected.emplace_back(file_key(names[i]) + 1, energy);
        expected.emplace_back(file_key(names[i]) + 2, energy + 1);
    }

    for (int limit : {-1, 0, 2, 5, 7}) {
        SimulationProvider provider(dir.path(), limit, -1, 1.0, false);
        // All metadata leaves the reading position alone.
        provider.get_metadata(file_key(names[0]) + 2);
        reader_log = {};
        const auto files = limit < 0 ? names.size() : std::min<std::size_t>(limit, names.size());
        EXPECT_EQ(identities(provider.get_all_metadata()),
                  std::vector(expected.begin(), expected.begin() + static_cast<long>(2 * files)))
            << "limit " << limit;
        EXPECT_EQ(reader_log.scans, files);
        provider.get_metadata(file_key(names[0]) + 2);
        EXPECT_EQ(reader_log.opens, 0u);
        EXPECT_EQ(reader_log.nexts, 0u);
    }
}

TEST(SimulationProvider, AllMetadataReservesWithinReason) {
    TempDir dir;
    for (int i = 0; i < 25; ++i) write_simulation(dir.path(), "f" + std::to_string(i) + ".xcd", numbered_showers(1, i));
    // 50,000 records per file would be 1,250,000; the reservation stops at 2^20.
    const auto showers = SimulationProvider(dir.path(), -1, -1, 1.0, false).get_all_metadata();
    EXPECT_EQ(showers.size(), 25u);
    EXPECT_LE(showers.capacity(), std::size_t{1} << 20);
}

TEST(SimulationProvider, AGapInTheNumberingThrowsOrIsWarnedAbout) {
    TempDir dir;
    const auto names = by_key({"g0.xcd", "g1.xcd"});
    auto gap = numbered_showers(5, 100);
    gap[2].uid = 4;
    gap[3].uid = 5;
    const auto gap_file = write_simulation(dir.path(), names[0], gap);
    write_simulation(dir.path(), names[1], numbered_showers(2, 200));
    const std::string message =
        "XCDFReader provided non continuous ids: expected 3 but got 4! Verify input file " + gap_file.string() + "!";

    SimulationProvider strict(dir.path(), -1, -1, 1.0, false);
    expect_throw<std::ios_base::failure>([&] { strict.get_all_metadata(); }, io_failure(message));

    SimulationProvider lenient(dir.path(), -1, -1, 1.0, true);
    ::testing::internal::CaptureStderr();
    const auto showers = lenient.get_all_metadata();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[WARNING] Ignoring exception thrown during metadata loading:\n\t" + io_failure(message) + "\n");
    const unsigned long first = file_key(names[0]), second = file_key(names[1]);
    EXPECT_EQ(identities(showers), (Identities{
                                       {first + 1, 100}, {first + 2, 101}, {second + 1, 200}, {second + 2, 201}}));
}

TEST(SimulationProvider, PEListsComeInChannelGroupsRelativeToEachChannelsFirstPE) {
    TempDir dir;
    write_simulation(dir.path(), "run.xcd",
                     {{1, 1.0, {{7, 5.0}, {3, 2.5}, {7, 4.0}, {3, 3.0}, {3, 2.0}, {-2, 9.0}}}, {2, 2.0, {}}});
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long key = file_key("run.xcd");
    EXPECT_EQ(provider.get_pe_list(key + 1), (PEList{{-2, {0.0}}, {3, {0.0, 0.5, 1.0}}, {7, {0.0, 1.0}}}));
    EXPECT_EQ(provider.get_pe_list(key + 2), PEList{});
}

TEST(SimulationProvider, RefusesPETimesThatAreNotFinite) {
    TempDir dir;
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    std::vector<background::testing::FixtureShower> showers;
    for (double time : bad) showers.push_back({showers.size() + 1, 1.0, {{3, 1.0}, {3, time}, {3, 2.0}}});
    write_simulation(dir.path(), "run.xcd", showers);
    SimulationProvider provider(dir.path(), -1, 2, 10.0, false);
    const unsigned long key = file_key("run.xcd");
    const char* texts[] = {"nan", "inf", "-inf"};
    for (unsigned long i = 0; i < 3; ++i)
        expect_throw<std::ios_base::failure>(
            [&] { provider.get_pe_list(key + i + 1); },
            io_failure("Shower with UID " + std::to_string(key + i + 1) + " has a non-finite p.e. time " + texts[i] +
                       " on channel 3!"));
}

struct CutoffCase {
    const char* name;
    int cutoff_pes;
    double interval;
    std::vector<double> times;
    std::vector<double> expected;
};

std::ostream& operator<<(std::ostream& out, const CutoffCase& c) { return out << c.name; }

class Cutoff : public ::testing::TestWithParam<CutoffCase> {};

TEST_P(Cutoff, KeepsTheEarliestPEsOfEveryInterval) {
    const auto& c = GetParam();
    // Written latest first: the provider sorts.
    std::vector<std::pair<int, double>> pes;
    for (auto time = c.times.rbegin(); time != c.times.rend(); ++time) pes.emplace_back(4, *time);
    pes.emplace_back(9, 50.0);
    TempDir dir;
    write_simulation(dir.path(), "run.xcd", {{1, 1.0, pes}});
    SimulationProvider provider(dir.path(), -1, c.cutoff_pes, c.interval, false);
    // A lone p.e. stays unless nothing is kept at all.
    const std::vector<double> lone = c.cutoff_pes == 0 ? std::vector<double>{} : std::vector<double>{0.0};
    EXPECT_EQ(provider.get_pe_list(file_key("run.xcd") + 1), (PEList{{4, c.expected}, {9, lone}}));
}

const std::vector<double> example = {100, 101, 102, 103, 112, 113, 114, 125};

INSTANTIATE_TEST_SUITE_P(
    Table, Cutoff,
    ::testing::Values(CutoffCase{"two per ten seconds", 2, 10, example, {0, 1, 12, 13, 25}},
                      CutoffCase{"all at one time", 2, 10, {5, 5, 5, 5, 5}, {0, 0}},
                      CutoffCase{"negative: no cut-off", -1, 10, example, {0, 1, 2, 3, 12, 13, 14, 25}},
                      CutoffCase{"as many as the channel has", 8, 10, example, {0, 1, 2, 3, 12, 13, 14, 25}},
                      CutoffCase{"zero keeps none", 0, 10, example, {}},
                      CutoffCase{"edges belong to the earlier bin", 1, 10, {0, 10, 10.5, 20}, {0, 10.5}},
                      // 0.9000000000000001 / 0.1 rounds to 9 bins, whose last edge is 0.9.
                      CutoffCase{"rounding leaves a p.e. past the last bin", 1, 0.1, {0, 0.05, 0.9000000000000001},
                                 {0}},
                      CutoffCase{"interval unused without a cut-off", 2, 0.0, {1, 2}, {0, 1}}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::ranges::replace_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return name;
    });

TEST(SimulationProvider, RefusesACutoffItCannotBin) {
    TempDir dir;
    write_simulation(dir.path(), "run.xcd", {{1, 1.0, {{0, 100.0}, {0, 101.0}, {0, 125.0}}}});
    const std::pair<double, std::string> cases[] = {
        {0.0, "Cut-off interval 0 s is not positive!"},
        {-10.0, "Cut-off interval -10 s is not positive!"},
        {std::numeric_limits<double>::quiet_NaN(), "Cut-off interval nan s is not positive!"},
        // More bins than a vector holds, but fewer than 2^64.
        {1e-17, "Cut-off interval 1e-17 s makes 2.5e+18 bins, more than a vector can hold!"},
        // More bins than an unsigned 64-bit count holds.
        {1e-20, "Cut-off interval 1e-20 s makes 2.5e+21 bins, more than a vector can hold!"},
    };
    for (const auto& [interval, message] : cases) {
        SimulationProvider provider(dir.path(), -1, 2, interval, false);
        expect_throw<std::invalid_argument>([&] { provider.get_pe_list(file_key("run.xcd") + 1); }, message);
    }
}

}  // namespace
