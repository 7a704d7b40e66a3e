#pragma once
// State of a CosmicRayModel, and the checks of the shower sample it is built on.

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "background/CosmicRayModel.hpp"
#include "background/Metadata.hpp"

namespace background {

namespace detail {

// A uniform in [0, 1) from one output of a full-range 64-bit engine, exactly
// as the standard library's canonical draw makes it (and so its
// uniform_real_distribution).
template <class Engine>
double canonical(Engine& engine) {
    static_assert(Engine::min() == 0 && Engine::max() == std::numeric_limits<std::uint64_t>::max());
    double u = static_cast<double>(engine()) * 0x1p-64;
    return u >= 1 ? 0x1.fffffffffffffp-1 : u;
}

// The count std::poisson_distribution<int>(mean) draws, for a positive mean,
// from the same engine outputs. Below 12 the library multiplies uniforms
// until the product is not above e^-mean; since e^-mean > 1 - mean, a first
// uniform clearly below 1 - mean (the margin covers the rounding of both
// sides) already gives 0, so most showers of a sample need no exponential.
template <class Engine>
int poisson_count(double mean, Engine& engine) {
    if (mean >= 12) return std::poisson_distribution<int>(mean)(engine);
    double product = canonical(engine);
    if (product < (1 - mean) - 1e-15) return 0;
    double threshold = std::exp(-mean);
    int count = 1;
    while (product > threshold) {
        product *= canonical(engine);
        ++count;
    }
    return count - 1;
}

}  // namespace detail

struct CosmicRayModel::Impl {
    // (shower UID, showers per second), in the order of the checked sample.
    std::vector<std::pair<unsigned long, double>> rates;
    std::mt19937_64 engine;
    int type;
    // The largest rate, so that one comparison before any draw refuses a
    // span whose Poisson means cannot be drawn.
    double max_rate;

    // Loads the provider's showers once and checks them against the
    // parameters they were thrown with; throws std::invalid_argument, or with
    // warn_invalid only warns for the distribution checks.
    static std::vector<Metadata> checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                              double theta_max, double e_min, double e_max, bool warn_invalid);
};

}  // namespace background
