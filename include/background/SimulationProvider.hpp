#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "background/ShowerProvider.hpp"
#include "background/export.h"

namespace background {

// The file key of a simulation shower's UID: the high 32 bits. The low 32 bits
// are the shower's 1-based position in its file.
inline constexpr unsigned long FILE_KEY_MASK = 0xFFFFFFFF00000000;

// Serves the showers of a directory of ".xcd" simulation files. UIDs are the
// file key (the path hash of the file name, masked) plus the position. One
// reader moves forward shower by shower; going back or to another file
// reopens. P.e. lists are optionally thinned to at most `cutoff_pes` p.e.s per
// channel and `cutoff_interval` seconds.
class BACKGROUND_EXPORT SimulationProvider : public ShowerProvider {
public:
    // `file_limit`: how many files get_all_metadata reads, negative for all;
    // `cutoff_pes` negative: no cut-off; `warn_unverified`: a gap in a file's
    // shower numbering is a warning instead of an error.
    SimulationProvider(std::filesystem::path dir, int file_limit, int cutoff_pes, double cutoff_interval,
                       bool warn_unverified);
    ~SimulationProvider() override;

    // Adds the ".xcd" entries of `dir` under their file keys; an entry whose
    // key is taken replaces the earlier one, with a warning.
    static void make_index(std::filesystem::path dir, std::map<unsigned long, std::filesystem::path>& index);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
