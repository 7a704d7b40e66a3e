#pragma once

#include <functional>
#include <vector>

#include "background/export.h"

namespace background {

// Binned chi-square goodness of fit over fixed bin edges; bin j is the
// interval (edge j, edge j+1].
class BACKGROUND_EXPORT Chi2 {
public:
    enum Quantile : int { P0_5, P1, P2_5, P5, P10, P50, P90, P95, P97_5, P99, P99_5 };

    using Law = std::function<double(double, double)>;
    using Density = std::function<double(double)>;
    using Sample = std::function<double(unsigned long)>;

    Chi2(unsigned long bins, double min, double max, bool log);

    double operator()(Law expected, unsigned long n, Sample sample);
    double operator()(unsigned long n, Sample first, Sample second);
    double operator()(Law first, Law second);
    double operator()(Density first, Density second);

    double quantile(Quantile level);

    static double chi2(const std::vector<double>& expected, const std::vector<double>& observed);

    static Law uniform(unsigned long n, double min, double max);
    static Law normal(unsigned long n, double mean, double sigma);
    static Law poisson(unsigned long n, double mean);
    static Law power_law(unsigned long n, double index, double min, double max);

    // container[i].*member; holds the container by reference.
    template <class Container, class Member>
    Sample func(const Container& container, Member member) {
        return [&container, member](unsigned long i) -> double { return container[i].*member; };
    }

    static const double a[11];
    static const double b[11];
    static const double c[11];

private:
    std::vector<double> edges;
};

}  // namespace background
