// Placeholder until the class is built; every operation refuses to work.

#include "background/PowerLawFlux.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

PowerLawFlux::PowerLawFlux(double index, double f_ref, double e_ref) : index(index), f_ref(f_ref), e_ref(e_ref) {}
double PowerLawFlux::flux_density(double) { missing(); }
double PowerLawFlux::integrate(double, double) { missing(); }

}  // namespace background
