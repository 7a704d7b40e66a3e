// Placeholder until the class is built; every operation refuses to work.

#include "background/AfterpulseGenerator.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

struct AfterpulseGenerator::Impl {};
AfterpulseGenerator::AfterpulseGenerator(std::unique_ptr<EventGenerator>, unsigned long, double, double, double, double) { missing(); }
AfterpulseGenerator::~AfterpulseGenerator() = default;
PEList AfterpulseGenerator::generate(BackgroundEvent) { missing(); }

}  // namespace background
