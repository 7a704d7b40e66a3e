// Placeholder until the class is built; every operation refuses to work.

#include "background/GenericGenerator.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

void GenericGenerator::add_generator(int, std::unique_ptr<EventGenerator>) { missing(); }
PEList GenericGenerator::generate(BackgroundEvent) { missing(); }

}  // namespace background
