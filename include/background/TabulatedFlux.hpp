#pragma once

#include <filesystem>
#include <memory>

#include "background/export.h"
#include "background/Flux.hpp"

namespace background {

// A flux read from a table of (energy, flux) lines, interpolated linearly or
// in log-log space and integrated with the trapezoid rule.
class BACKGROUND_EXPORT TabulatedFlux : public Flux {
public:
    TabulatedFlux(std::filesystem::path table, bool log_interpolate, unsigned long integration_steps);
    ~TabulatedFlux() override;
    double flux_density(double energy) override;
    double integrate(double e_min, double e_max) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
