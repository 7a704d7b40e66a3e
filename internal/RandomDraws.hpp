#pragma once
// The draws of the random models, written out so that they take exactly the
// engine outputs the standard distributions take and give the same values.
//
// Poisson counts: std::poisson_distribution requires a positive mean (it
// aborts under library assertions otherwise), and for means near INT_MAX its
// rejection method may never return.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

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

// The rest of the standard draw for a mean in (0, 12), its first output
// taken: uniforms multiply until the product is not above threshold, e^-mean.
template <class Engine>
int small_mean_rest(double threshold, std::uint64_t first, Engine& engine) {
    double product = canonical_of(first);
    int count = 1;
    while (product > threshold) {
        product *= canonical(engine);
        ++count;
    }
    return count - 1;
}

template <class Engine>
int small_mean_count(double mean, std::uint64_t first, Engine& engine) {
    return small_mean_rest(std::exp(-mean), first, engine);
}

// The rejection method of the standard library's Poisson draw for means of
// 12 and more, written out so that the uniforms are made inline and
// log-gamma comes from a table: the same operations on the same values, so
// the same counts from the same engine outputs. It exists only for the one
// library whose algorithm it repeats; elsewhere the library's own
// distribution is used.
#if defined(__GLIBCXX__) && _GLIBCXX_RELEASE == 12 && _GLIBCXX_USE_C99_MATH_TR1

// lgamma(k) for the whole numbers k the draw asks for; the same function at
// the same arguments, so the same values.
inline double lgamma_of_whole(double k) {
    constexpr int size = 1024;
    static const auto table = [] {
        std::vector<double> values(size);
        for (int i = 1; i < size; ++i) values[i] = std::lgamma(static_cast<double>(i));
        return values;
    }();
    return k >= 1 && k < size ? table[static_cast<std::size_t>(k)] : std::lgamma(k);
}

class LargeMeanPoisson {
public:
    explicit LargeMeanPoisson(double mean) {
        const double m = std::floor(mean);
        lm_thr = std::log(mean);
        lfm = std::lgamma(m + 1);
        sm = std::sqrt(m);
        const double pi_4 = 0.7853981633974483096156608458198757L;
        const double dx = std::sqrt(2 * m * std::log(32 * m / pi_4));
        d = std::round(std::max<double>(6.0, std::min(m, dx)));
        const double cx = 2 * m + d;
        scx = std::sqrt(cx / 2);
        one_cx = 1 / cx;
        c2b = std::sqrt(pi_4 * cx) * std::exp(one_cx);
        cb = 2 * cx * std::exp(-d * one_cx * (1 + d / 2)) / d;

        floor_mean = m;
        const double spi_2 = 1.2533141373155002512078826424055226L;
        c1 = sm * spi_2;
        c2 = c2b + c1;
        c3 = c2 + 1;
        c4 = c3 + 1;
        const double e178 = 1.0129030479320018583185514777512983L;
        c5 = c4 + e178;
        c = cb + c5;
        two_cx = 2 * (2 * m + d);
    }

    template <class Engine>
    int operator()(Engine& engine) {
        const double naf = (1 - std::numeric_limits<double>::epsilon()) / 2;
        const double thr = std::numeric_limits<int>::max() + naf;
        const double m = floor_mean;
        const double w178 = 0.0128205128205128205128205128205128L;
        double x;
        bool reject = true;
        do {
            const double u = c * canonical(engine);
            const double e = -std::log(1.0 - canonical(engine));
            double w = 0.0;
            if (u <= c1) {
                const double n = normal(engine);
                const double y = -std::abs(n) * sm - 1;
                x = std::floor(y);
                w = -n * n / 2;
                if (x < -m) continue;
            } else if (u <= c2) {
                const double n = normal(engine);
                const double y = 1 + std::abs(n) * scx;
                x = std::ceil(y);
                w = y * (2 - y) * one_cx;
                if (x > d) continue;
            } else if (u <= c3) {
                x = -1;
            } else if (u <= c4) {
                x = 0;
            } else if (u <= c5) {
                x = 1;
                w = w178;
            } else {
                const double v = -std::log(1.0 - canonical(engine));
                const double y = d + v * two_cx / d;
                x = std::ceil(y);
                w = -d * one_cx * (1 + y / 2);
            }
            reject = (w - e - x * lm_thr > lfm - lgamma_of_whole(x + m + 1));
            reject |= x + m >= thr;
        } while (reject);
        return static_cast<int>(x + m + naf);
    }

private:
    // The standard normal draw the distribution keeps: polar pairs, the
    // second of a pair kept for the next draw.
    template <class Engine>
    double normal(Engine& engine) {
        double value;
        if (saved_available) {
            saved_available = false;
            value = saved;
        } else {
            double x, y, r2;
            do {
                x = 2.0 * canonical(engine) - 1.0;
                y = 2.0 * canonical(engine) - 1.0;
                r2 = x * x + y * y;
            } while (r2 > 1.0 || r2 == 0.0);
            const double mult = std::sqrt(-2 * std::log(r2) / r2);
            saved = x * mult;
            saved_available = true;
            value = y * mult;
        }
        return value * 1.0 + 0.0;
    }

    double lm_thr, lfm, sm, d, scx, one_cx, c2b, cb;
    double floor_mean, c1, c2, c3, c4, c5, c, two_cx;
    double saved = 0;
    bool saved_available = false;
};
#else
using LargeMeanPoisson = std::poisson_distribution<int>;
#endif

// std::poisson_distribution<int>(mean) for a positive mean: the same counts
// from the same engine outputs, with what depends on the mean alone worked
// out once. Like the standard distribution, one object keeps state from draw
// to draw for means of 12 and more.
class PoissonCount {
public:
    explicit PoissonCount(double mean) {
        if (mean >= 12)
            large.emplace(mean);
        else {
            threshold = std::exp(-mean);
            quiet = quiet_below(mean);
        }
    }

    template <class Engine>
    int operator()(Engine& engine) {
        if (large) return (*large)(engine);
        const std::uint64_t first = engine();
        return first < quiet ? 0 : small_mean_rest(threshold, first, engine);
    }

private:
    double threshold = 0;
    std::uint64_t quiet = 0;
    std::optional<LargeMeanPoisson> large;
};

// The count std::poisson_distribution<int>(mean) draws for a positive mean,
// from the same engine outputs.
template <class Engine>
int poisson_count(double mean, Engine& engine) {
    return PoissonCount(mean)(engine);
}

}  // namespace background::detail
