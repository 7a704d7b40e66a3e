#pragma once

#include <memory>

#include "background/BackgroundModel.hpp"
#include "background/export.h"
#include "background/Flux.hpp"
#include "background/ShowerProvider.hpp"

namespace background {

// Lets every shower of a provider's sample recur as a Poisson process whose
// rate follows the flux and the geometry the sample was thrown in. Provider
// and flux are used during construction only.
class BACKGROUND_EXPORT CosmicRayModel : public BackgroundModel {
public:
    CosmicRayModel(ShowerProvider& provider, Flux& flux, unsigned long seed, int gen_type, double throw_index,
                   double r_max, double theta_max, double e_min, double e_max, bool warn_invalid);
    ~CosmicRayModel() override;
    std::vector<BackgroundEvent> sample(double begin, double end) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
