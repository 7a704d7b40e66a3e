#include "background/PowerLawFlux.hpp"

#include <cmath>
#include <stdexcept>

namespace background {

namespace {
constexpr const char* non_positive_energy = "Flux density is only defined for positive energies!";
}  // namespace

PowerLawFlux::PowerLawFlux(double index, double f_ref, double e_ref) : index(index), f_ref(f_ref), e_ref(e_ref) {}

double PowerLawFlux::flux_density(double energy) {
    if (energy <= 0) throw std::out_of_range(non_positive_energy);
    return std::pow(energy / e_ref, index) * f_ref;
}

double PowerLawFlux::integrate(double e_min, double e_max) {
    if (e_min <= 0 || e_max <= 0) throw std::out_of_range(non_positive_energy);
    // Reversed bounds are not refused: they give the negative integral.
    if (index == -1) return (std::log(e_max) - std::log(e_min)) * (e_ref * f_ref);
    double g = index + 1;
    return (std::pow(e_max, g) - std::pow(e_min, g)) * (std::pow(e_ref, -index) * f_ref) / g;
}

}  // namespace background
