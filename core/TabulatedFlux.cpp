// Placeholder until the class is built; every operation refuses to work.

#include "background/TabulatedFlux.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

struct TabulatedFlux::Impl {};
TabulatedFlux::TabulatedFlux(std::filesystem::path, bool, unsigned long) { missing(); }
TabulatedFlux::~TabulatedFlux() = default;
double TabulatedFlux::flux_density(double) { missing(); }
double TabulatedFlux::integrate(double, double) { missing(); }

}  // namespace background
