#pragma once
// State of a CosmicRayModel, and the checks of the shower sample it is built on.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "background/CosmicRayModel.hpp"
#include "background/Metadata.hpp"
#include "Mt64.hpp"
#include "Refusal.hpp"

namespace background {


struct CosmicRayModel::Impl {
    // (shower UID, showers per second), in the order of the checked sample.
    std::vector<std::pair<unsigned long, double>> rates;
    detail::Mt64 engine;
    int type;
    // The largest rate, so that one comparison before any draw refuses a
    // span whose Poisson means cannot be drawn.
    double max_rate;
    // quiet_below of every shower's mean for the span of the last call (0
    // where the full draw decides), since chunks mostly repeat their span.
    double cached_span;
    std::vector<std::uint64_t> quiet;

    // Loads the provider's showers once and checks them against the
    // parameters they were thrown with; throws std::invalid_argument, or with
    // warn_invalid only warns for the distribution checks.
    static std::vector<Metadata> checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                              double theta_max, double e_min, double e_max, bool warn_invalid);

    // Refuses what a flux makes of the sample: an integral that is not
    // finite and positive, or a shower rate that is not finite and not
    // negative. Either would leave the model drawing nothing, or nonsense,
    // without a word. The factory entry knows the flux by name and says so.
    struct FluxRefusal : detail::Refused<std::invalid_argument> {
        FluxRefusal(std::string before, std::string after)
            : Refused(before + "its flux" + after), before(std::move(before)), after(std::move(after)) {}
        std::string naming(const std::string& flux) const { return before + flux + after; }
        std::string before, after;
    };
};

}  // namespace background
