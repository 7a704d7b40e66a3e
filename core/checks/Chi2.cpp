#include "background/Chi2.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "format.hpp"

namespace background {

// Coefficients of the critical-value approximation, by quantile level.
const double Chi2::a[11] = {-3.643, -3.298, -2.787, -2.34, -1.83, 0, 1.82, 2.34, 2.78, 3.29, 3.63};
const double Chi2::b[11] = {1.8947, 1.327, 0.6, 0.082, -0.348, -0.67, -0.58, -0.15, 0.43, 1.3, 2};
const double Chi2::c[11] = {-2.14, -1.46, -0.69, -0.24, 0, 0.104, -0.34, -0.4, -0.4, -0.3, 0};

namespace {

template <class Count>
std::vector<Count> histogram(const std::vector<double>& edges, unsigned long n, const Chi2::Sample& sample) {
    std::vector<Count> counts(edges.size() - 1, 0);
    for (unsigned long i = 0; i < n; ++i) {
        double v = sample(i);
        // Bins are open below and closed above; NaN finds position 0.
        auto p = static_cast<std::size_t>(std::ranges::lower_bound(edges, v) - edges.begin());
        if (p >= 1 && p < edges.size()) counts[p - 1] += 1;
    }
    return counts;
}

}  // namespace

Chi2::Chi2(unsigned long bins, double min, double max, bool log) {
    double lo = min, hi = max;
    if (log) {
        if (min <= 0 || max <= 0)
            throw std::invalid_argument("Only positive min/max values are allowed for log bins!");
        lo = std::log(min);
        hi = std::log(max);
    }
    // Without bins the step and every statistic would be meaningless.
    if (bins == 0) throw std::invalid_argument("A chi-square binning needs at least one bin!");
    double h = (hi - lo) / static_cast<double>(static_cast<long>(bins));
    edges.reserve(bins + 1);
    for (unsigned long j = 0; j <= bins; ++j) {
        double edge = static_cast<double>(j) * h + lo;
        edges.push_back(log ? std::exp(edge) : edge);
    }
}

double Chi2::operator()(Law expected, unsigned long n, Sample sample) {
    auto observed = histogram<double>(edges, n, sample);
    double sum = 0;
    for (std::size_t j = 0; j < observed.size(); ++j) {
        double e = expected(edges[j], edges[j + 1]);
        double o = observed[j];
        if (o == e) continue;
        sum += (o - e) * (o - e) / e;
    }
    return sum;
}

double Chi2::operator()(unsigned long n, Sample first, Sample second) {
    auto c1 = histogram<int>(edges, n, first);
    auto c2 = histogram<int>(edges, n, second);
    double sum = 0;
    for (std::size_t j = 0; j < c1.size(); ++j) {
        if (c1[j] == c2[j]) continue;
        double d = static_cast<double>(c2[j]) - static_cast<double>(c1[j]);
        sum += d * d / static_cast<double>(c1[j]);
    }
    return sum;
}

double Chi2::operator()(Law first, Law second) {
    double sum = 0;
    for (std::size_t j = 0; j + 1 < edges.size(); ++j) {
        double f = first(edges[j], edges[j + 1]);
        double s = second(edges[j], edges[j + 1]);
        sum += (s - f) * (s - f) / f;
    }
    return sum;
}

double Chi2::operator()(Density first, Density second) {
    double sum = 0;
    for (std::size_t j = 0; j + 1 < edges.size(); ++j) {
        double m = (edges[j + 1] + edges[j]) * 0.5;
        double f = first(m);
        double s = second(m);
        sum += (s - f) * (s - f) / f;
    }
    return sum;
}

double Chi2::quantile(Quantile level) {
    int i = static_cast<int>(level);
    if (i < 0 || i > 10) throw std::out_of_range(format("Unknown chi-square quantile level {}!", i));
    double k = static_cast<double>(edges.size() - 1);
    double coefficient = a[i];
    double sign = coefficient > 0 ? 1.0 : coefficient < 0 ? -1.0 : 0.0;
    return c[i] / k + ((coefficient * std::sqrt(k + sign * std::sqrt(k)) + k) + b[i]);
}

double Chi2::chi2(const std::vector<double>& expected, const std::vector<double>& observed) {
    if (expected.size() != observed.size()) throw std::out_of_range("Sizes of vectors do not match!");
    double sum = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        sum += (observed[i] - expected[i]) * (observed[i] - expected[i]) / expected[i];
    return sum;
}

Chi2::Law Chi2::uniform(unsigned long n, double min, double max) {
    double count = static_cast<double>(n);
    return [count, min, max](double x1, double x2) { return ((x2 - x1) / (max - min)) * count; };
}

Chi2::Law Chi2::normal(unsigned long n, double mean, double sigma) {
    double count = static_cast<double>(n);
    double w = 1.4142135623730951 * sigma;
    return [count, mean, w](double x1, double x2) {
        return (0.5 * (std::erf((x2 - mean) / w) - std::erf((x1 - mean) / w))) * count;
    };
}

Chi2::Law Chi2::poisson(unsigned long n, double mean) {
    double count = static_cast<double>(n);
    // P(K <= m), summed afresh from the zero term upwards.
    auto cumulative = [mean](double m) {
        // No count lies at or below a negative m.
        if (m < 0) return 0.0;
        double t = std::exp(-mean);
        double sum = t;
        // m + 1 terms as a 32-bit count; NaN or m = 0 gives t0 alone, and a
        // count beyond INT_MAX is capped rather than converted out of range.
        double terms = m + 1;
        if (!(terms > 1)) return sum;
        int last = terms >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(terms);
        for (int i = 1; i < last; ++i) {
            t = (t / i) * mean;
            // Once the terms underflow they stay 0 (for a finite mean), and
            // adding 0 changes nothing.
            if (t == 0 && std::isfinite(mean)) break;
            sum += t;
        }
        return sum;
    };
    // The bin (x1, x2] holds the integers floor(x1) + 1 ... floor(x2).
    return [count, cumulative](double x1, double x2) {
        return count * (cumulative(std::floor(x2)) - cumulative(std::floor(x1)));
    };
}

Chi2::Law Chi2::power_law(unsigned long n, double index, double min, double max) {
    double count = static_cast<double>(n);
    if (index == -1) {
        double range = std::log(max) - std::log(min);
        return [count, range](double x1, double x2) { return ((std::log(x2) - std::log(x1)) / range) * count; };
    }
    double g = index + 1;
    double range = std::pow(max, g) - std::pow(min, g);
    return [count, g, range](double x1, double x2) {
        return ((std::pow(x2, g) - std::pow(x1, g)) / range) * count;
    };
}

}  // namespace background
