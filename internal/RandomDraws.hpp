#pragma once
// The draws of the random models, written out so that they take exactly the
// engine outputs the standard distributions take and give the same values.
//
// Poisson counts: std::poisson_distribution requires a positive mean (it
// aborts under library assertions otherwise), and for means near INT_MAX its
// rejection method may never return.

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>

#include "format.hpp"

namespace background::detail {

// Far below INT_MAX (a margin of ~30000 standard deviations), so the
// standard draw finishes; far above any count a chunk can hold in memory.
inline constexpr double max_poisson_mean = 1073741824.0;  // 2^30

// Whether a mean yields counts at all: zero, negative and NaN means give none.
inline bool poisson_mean_positive(double mean) { return mean > 0; }

// Refuses a mean whose count cannot be drawn, before any draw is made.
inline void check_poisson_mean(double mean) {
    if (mean > max_poisson_mean)
        throw std::invalid_argument(
            format("Poisson mean {} is too large to draw a count (at most {})!", mean, max_poisson_mean));
}

// The count for a mean that is not positive is 0; the standard draw would
// take exactly one engine output for it, and so do we, so that the random
// stream stays the same as with the standard draw.
template <class Engine>
int empty_poisson_count(Engine& engine) {
    engine.discard(1);
    return 0;
}

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

// std::uniform_real_distribution<double>(begin, begin + span), computed the
// same way, but without its precondition begin <= end.
template <class Engine>
double uniform_time(Engine& engine, double begin, double span) {
    return canonical(engine) * span + begin;
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

}  // namespace background::detail
