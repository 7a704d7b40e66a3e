#pragma once

#include "background/export.h"
#include "background/Flux.hpp"

namespace background {

// (E / e_ref)^index * f_ref.
class BACKGROUND_EXPORT PowerLawFlux : public Flux {
public:
    PowerLawFlux(double index, double f_ref, double e_ref);
    double flux_density(double energy) override;
    double integrate(double e_min, double e_max) override;

private:
    double index;
    double f_ref;
    double e_ref;
};

}  // namespace background
