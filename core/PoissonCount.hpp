#pragma once
// Guards for Poisson counts. std::poisson_distribution requires a positive
// mean (it aborts under library assertions otherwise), and for means near
// INT_MAX its rejection method may never return.

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

}  // namespace background::detail
