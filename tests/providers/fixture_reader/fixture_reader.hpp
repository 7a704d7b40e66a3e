#pragma once
// The XCDFReader of the fixture build reads simulation files of the tests' own
// text format: one shower per line, "<uid> <energy>" followed by
// "<channel> <time>" pairs. The uid is what the reader reports as the shower's
// position, so a file can number its showers with gaps.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "background/Metadata.hpp"

namespace background::testing {

struct FixtureShower {
    unsigned long uid;
    double energy;
    std::vector<std::pair<int, double>> pes;
};

// `count` showers numbered 1, 2, ... without p.e.s, with energies
// first_energy, first_energy + 1, ...
std::vector<FixtureShower> numbered_showers(unsigned long count, double first_energy);

// Writes `showers` to `dir`/`name` and returns the file's path.
std::filesystem::path write_simulation(const std::filesystem::path& dir, const std::string& name,
                                       const std::vector<FixtureShower>& showers);

// (uid, energy) of every shower, which tells the showers of a fixture apart.
using Identities = std::vector<std::pair<unsigned long, double>>;
inline Identities identities(const std::vector<Metadata>& showers) {
    Identities result;
    for (const auto& shower : showers) result.emplace_back(shower.uid, shower.energy);
    return result;
}

// What the readers opened for p.e. data (the provider's own reader) did, and
// how many metadata-only readers were opened, since the last reset.
struct ReaderLog {
    unsigned long opens = 0;
    unsigned long nexts = 0;
    unsigned long scans = 0;
};
extern ReaderLog reader_log;

}  // namespace background::testing
