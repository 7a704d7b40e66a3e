#include "background/NPEGenerator.hpp"

namespace background {

NPEGenerator::NPEGenerator(int num_pe) : num_pe(num_pe) {}

PEList NPEGenerator::generate(BackgroundEvent event) {
    PEList result;
    // The channel is the id's low 32 bits read as a signed value; a negative
    // count fails in the vector constructor with std::length_error.
    result.emplace_back(static_cast<int>(event.id), std::vector<double>(num_pe, event.time));
    return result;
}

}  // namespace background
