#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "background/SimulationProvider.hpp"

namespace background::testing {

// The file key of simulation files named `name`, in whatever directory.
inline unsigned long file_key(const std::string& name) {
    return std::filesystem::hash_value(std::filesystem::path(name)) & FILE_KEY_MASK;
}

// The names, ordered by file key, which is the order all metadata lists them.
inline std::vector<std::string> by_key(std::vector<std::string> names) {
    std::ranges::sort(names, {}, file_key);
    return names;
}

}  // namespace background::testing
