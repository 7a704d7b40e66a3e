#pragma once

#include "background/export.h"

namespace background {

// Differential flux of cosmic-ray primaries, per GeV, m^2, s and sr.
// Energies outside the domain are refused with std::out_of_range.
class BACKGROUND_EXPORT Flux {
public:
    virtual double flux_density(double energy) = 0;
    virtual double integrate(double e_min, double e_max) = 0;
    virtual ~Flux() = default;
};

}  // namespace background
