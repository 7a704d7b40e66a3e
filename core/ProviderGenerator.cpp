// Placeholder until the class is built; every operation refuses to work.

#include "background/ProviderGenerator.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

ProviderGenerator::ProviderGenerator(std::unique_ptr<ShowerProvider> provider) : provider(std::move(provider)) {}
PEList ProviderGenerator::generate(BackgroundEvent) { missing(); }

}  // namespace background
