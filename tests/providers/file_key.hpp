#pragma once

#include <filesystem>
#include <string>

#include "background/SimulationProvider.hpp"

namespace background::testing {

// The file key of simulation files named `name`, in whatever directory.
inline unsigned long file_key(const std::string& name) {
    return std::filesystem::hash_value(std::filesystem::path(name)) & FILE_KEY_MASK;
}

}  // namespace background::testing
