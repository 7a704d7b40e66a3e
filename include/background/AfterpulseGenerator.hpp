#pragma once

#include <memory>

#include "background/EventGenerator.hpp"
#include "background/export.h"

namespace background {

// Adds afterpulses to the p.e. lists of a base generator: each p.e. is chosen
// with a fixed probability and gets a Poisson number of p.e.s after one
// normally distributed delay.
class BACKGROUND_EXPORT AfterpulseGenerator : public EventGenerator {
public:
    AfterpulseGenerator(std::unique_ptr<EventGenerator> base, unsigned long seed, double probability,
                        double delay_mean, double delay_var, double num_pe_mean);
    ~AfterpulseGenerator() override;
    PEList generate(BackgroundEvent event) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
