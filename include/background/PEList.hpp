#pragma once

#include <utility>
#include <vector>

namespace background {

// A channel and its p.e. times in seconds.
using PEListEntry = std::pair<int, std::vector<double>>;
// The p.e.s of one shower, one event or one chunk.
using PEList = std::vector<PEListEntry>;

}  // namespace background
