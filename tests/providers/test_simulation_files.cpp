// Simulation-file providers in the library as built: the directory index, and,
// when the library reads through the stub, the error that every attempt to
// read ".xcd" files ends in (the class table's entries:
// tests/factories/test_provider_table.cpp).

#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

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

#ifdef BACKGROUND_XCDF_READER_STUB
constexpr const char* NO_XCDF = "XCDF support disabled at build time!";

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
#endif

}  // namespace
