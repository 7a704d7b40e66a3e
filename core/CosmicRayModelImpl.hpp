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
inline double canonical_of(std::uint64_t output) {
    double u = static_cast<double>(output) * 0x1p-64;
    return u >= 1 ? 0x1.fffffffffffffp-1 : u;
}

template <class Engine>
double canonical(Engine& engine) {
    static_assert(Engine::min() == 0 && Engine::max() == std::numeric_limits<std::uint64_t>::max());
    return canonical_of(engine());
}

// For a mean in (0, 12) the standard Poisson draw multiplies uniforms until
// the product is not above e^-mean. Since e^-mean > 1 - mean, a first output
// below this bound (the margin covers the rounding of both sides) gives 0
// without an exponential; 0 when no output is that clear.
inline std::uint64_t quiet_below(double mean) {
    double bound = (1 - mean) - 1e-15;
    return bound > 0 ? static_cast<std::uint64_t>(bound * 0x1p64) : 0;
}

// The rest of the standard draw for a mean in (0, 12), its first output taken.
template <class Engine>
int small_mean_count(double mean, std::uint64_t first, Engine& engine) {
    double product = canonical_of(first);
    double threshold = std::exp(-mean);
    int count = 1;
    while (product > threshold) {
        product *= canonical(engine);
        ++count;
    }
    return count - 1;
}

// The count std::poisson_distribution<int>(mean) draws for a positive mean,
// from the same engine outputs.
template <class Engine>
int poisson_count(double mean, Engine& engine) {
    if (mean >= 12) return std::poisson_distribution<int>(mean)(engine);
    std::uint64_t first = engine();
    if (first < quiet_below(mean)) return 0;
    return small_mean_count(mean, first, engine);
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
    // quiet_below of every shower's mean for the span of the last call (0
    // where the full draw decides), since chunks mostly repeat their span.
    double cached_span;
    std::vector<std::uint64_t> quiet;

    // Loads the provider's showers once and checks them against the
    // parameters they were thrown with; throws std::invalid_argument, or with
    // warn_invalid only warns for the distribution checks.
    static std::vector<Metadata> checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                              double theta_max, double e_min, double e_max, bool warn_invalid);
};

}  // namespace background
