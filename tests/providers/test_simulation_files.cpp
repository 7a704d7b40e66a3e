// Simulation-file providers in the library as built: the directory index, and
// the stub reader that every attempt to read ".xcd" files ends in.

#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "background/Factory.hpp"
#include "background/MultiProvider.hpp"
#include "background/SimulationProvider.hpp"
#include "background/XCDFReader.hpp"
#include "file_key.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_throw;
using background::testing::file_key;
using background::testing::io_failure;
using background::testing::TempDir;
using Index = std::map<unsigned long, std::filesystem::path>;

constexpr const char* NO_XCDF = "XCDF support disabled at build time!";

TEST(MakeIndex, TakesEntriesWithTheExactExtensionOnly) {
    TempDir dir;
    for (const char* name : {"a.xcd", "b.XCD", "c.xcd.gz", ".xcd", "e.txt"}) dir.write(name, "");
    std::filesystem::create_directory(dir.path() / "d.xcd");
    Index index;
    SimulationProvider::make_index(dir.path(), index);
    EXPECT_EQ(index, (Index{{file_key("a.xcd"), dir.path() / "a.xcd"}, {file_key("d.xcd"), dir.path() / "d.xcd"}}));
}

TEST(MakeIndex, RefusesWhatIsNoSimulationDirectory) {
    TempDir dir;
    const auto file = dir.write("a.xcd", "");
    std::filesystem::create_directory(dir.path() / "empty");
    std::filesystem::create_directory(dir.path() / "other");
    const auto other = dir.path() / "other";
    std::filesystem::create_directory(other / "sub");
    dir.write("other/a.xcd.gz", "");
    dir.write("other/b.XCD", "");

    const std::pair<std::filesystem::path, std::string> cases[] = {
        {file, " is no directory!"},
        {dir.path() / "missing", " is no directory!"},
        {dir.path() / "empty", " does not contain simulation files!"},
        {other, " does not contain simulation files!"},
    };
    for (const auto& [path, message] : cases) {
        Index index;
        expect_throw<std::ios_base::failure>([&] { SimulationProvider::make_index(path, index); },
                                             io_failure(path.string() + message));
        EXPECT_TRUE(index.empty()) << path;
    }
}

// Two names whose file keys collide, found by trying names in turn.
std::pair<std::string, std::string> colliding_names() {
    std::unordered_map<unsigned long, std::string> seen;
    for (unsigned long i = 0;; ++i) {
        std::string name = "run_" + std::to_string(i) + ".xcd";
        auto [earlier, added] = seen.try_emplace(file_key(name), name);
        if (!added) return {earlier->second, name};
    }
}

TEST(MakeIndex, ACollidingFileReplacesTheEarlierWithAWarning) {
    TempDir dir;
    auto [one, two] = colliding_names();
    dir.write(one, "");
    dir.write(two, "");
    // The file the directory walk lists later stays.
    std::vector<std::filesystem::path> walk;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) walk.push_back(entry.path());
    ASSERT_EQ(walk.size(), 2u);

    Index index;
    ::testing::internal::CaptureStderr();
    SimulationProvider::make_index(dir.path(), index);
    const std::string warning = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(index, (Index{{file_key(one), walk[1]}}));
    EXPECT_EQ(warning, "[WARNING] Simulation files " + walk[0].string() + " and " + walk[1].string() +
                           " have the same file key, only " + walk[1].string() + " is served!\n");
}

TEST(XCDFReaderStub, EveryWayToReadEndsInTheStubError) {
    TempDir dir;
    dir.write("a.xcd", "");
    expect_throw<std::runtime_error>([] { no_xcdf(); }, NO_XCDF);
    expect_throw<std::runtime_error>([] { XCDFReader reader; }, NO_XCDF);
    expect_throw<std::runtime_error>([&] { XCDFReader reader(dir.path() / "a.xcd", true, true); }, NO_XCDF);
    // The reader comes first: the directory is not looked at.
    for (const auto& path : {dir.path(), dir.path() / "missing"}) {
        expect_throw<std::runtime_error>([&] { SimulationProvider(path, -1, -1, 1.0, false); }, NO_XCDF);
        MultiProvider multi(-1, 1.0, false);
        if (path == dir.path()) expect_throw<std::runtime_error>([&] { multi.add_dataset(path, -1); }, NO_XCDF);
    }
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

    expect_throw<std::runtime_error>([&] { factory.create_by_name("simulation"); }, NO_XCDF);
    expect_throw<std::runtime_error>([&] { factory.create_by_name("multi_stub"); }, NO_XCDF);
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
