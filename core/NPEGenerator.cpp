// Placeholder until the class is built; every operation refuses to work.

#include "background/NPEGenerator.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

NPEGenerator::NPEGenerator(int num_pe) : num_pe(num_pe) {}
PEList NPEGenerator::generate(BackgroundEvent) { missing(); }

}  // namespace background
