// The checks a shower sample must pass before a CosmicRayModel turns it into
// rates: parameters, bounds of every shower, then five distributions.

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>

#include "CosmicRayModelImpl.hpp"
#include "Refusal.hpp"
#include "background/Chi2.hpp"
#include "format.hpp"

namespace background {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr double half_pi = 1.5707963267948966;

// A distribution check fails when its statistic exceeds the critical value,
// and also when the statistic is not a number (which exceeds nothing).
bool exceeds(double statistic, double critical) { return !(statistic <= critical); }

void warn(const std::string& message) { std::cerr << "[WARNING] " << message << "\n"; }

// Projections rather than views: clang 14, which builds the fuzz targets,
// cannot compile the standard library's views.
template <class Projection>
double largest(const std::vector<Metadata>& showers, Projection value) {
    return std::invoke(value, std::ranges::max(showers, {}, value));
}

template <class Projection>
double smallest(const std::vector<Metadata>& showers, Projection value) {
    return std::invoke(value, std::ranges::min(showers, {}, value));
}

void check_bounds(const std::vector<Metadata>& showers, double r_max, double theta_max, double e_min, double e_max,
                  bool warn_invalid) {
    double energy_max = largest(showers, &Metadata::energy);
    if (energy_max > e_max)
        throw std::invalid_argument(
            format("Shower with energy {:.3e} GeV found, maximum is {:.3e} GeV!", energy_max, e_max));
    double energy_min = smallest(showers, &Metadata::energy);
    if (energy_min < e_min)
        throw std::invalid_argument(
            format("Shower with energy {:.3e} GeV found, minimum is {:.3e} GeV!", energy_min, e_min));
    double theta_largest = largest(showers, &Metadata::theta);
    if (theta_largest > theta_max)
        throw std::invalid_argument(
            format("Shower with zenith {:.3f} found, maximum is {:.3f}!", theta_largest, theta_max));
    double theta_smallest = smallest(showers, &Metadata::theta);
    if (theta_smallest < 0)
        throw std::invalid_argument(format("Shower with zenith {:.3f} found, minimum is {:.3f}!", theta_smallest, 0.0));
    double phi_largest = largest(showers, &Metadata::phi);
    if (phi_largest > two_pi) {
        auto message = format("Shower with azimuth {:.3f} found, maximum is {:.3f}!", phi_largest, two_pi);
        // An azimuth a rounding error above 2 pi is tolerated on request.
        if (!warn_invalid || !(phi_largest - two_pi < 0.001)) throw std::invalid_argument(message);
        warn("Ignoring exception during bounds check caused by rounding error.");
        warn(message);
    }
    double phi_smallest = smallest(showers, &Metadata::phi);
    if (phi_smallest < 0)
        throw std::invalid_argument(format("Shower with azimuth {:.3f} found, minimum is {:.3f}!", phi_smallest, 0.0));
    double x_largest = largest(showers, [](const Metadata& m) { return std::abs(m.x); });
    if (x_largest > r_max)
        throw std::invalid_argument(format("Shower with |x| = {:.3f} m found, maximum is {:.3f}!", x_largest, r_max));
    double y_largest = largest(showers, [](const Metadata& m) { return std::abs(m.y); });
    if (y_largest > r_max)
        throw std::invalid_argument(format("Shower with |y| = {:.3f} m found, maximum is {:.3f}!", y_largest, r_max));
}

}  // namespace

std::vector<Metadata> CosmicRayModel::Impl::checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                                         double theta_max, double e_min, double e_max,
                                                         bool warn_invalid) {
    // Written so that NaN fails each test: every comparison with it is false.
    if (!(r_max > 0) || !(theta_max > 0) || !(e_max > 0))
        throw std::invalid_argument("All _max parameters have to be positive!");
    if (!(e_min > 0) || !(e_min < e_max)) throw std::invalid_argument("0 < e_min < e_max required!");
    // Beyond the horizon the zenith law divides by zero at pi, and the solid
    // angle counts showers from below.
    if (theta_max > half_pi)
        throw detail::Refused<std::invalid_argument>(format("theta_max {} is above pi/2!", theta_max));

    std::vector<Metadata> showers = provider.get_all_metadata();
    // An empty sample has no extremes to check; its distribution checks pass.
    if (!showers.empty()) check_bounds(showers, r_max, theta_max, e_min, e_max, warn_invalid);

    unsigned long n = showers.size();
    auto failed = [warn_invalid](const std::string& message) {
        if (!warn_invalid) throw std::invalid_argument(message);
        warn(message);
    };

    {
        Chi2 chi2(12, e_min, e_max, true);
        double statistic = chi2(Chi2::power_law(n, throw_index, e_min, e_max), n, chi2.func(showers, &Metadata::energy));
        if (exceeds(statistic, chi2.quantile(Chi2::P90)))
            failed(format("Energy distribution does not follow E^{}!", throw_index));
    }
    {
        Chi2 chi2(10, 0, r_max, false);
        auto x = chi2.func(showers, &Metadata::x);
        auto y = chi2.func(showers, &Metadata::y);
        auto radius = [&x, &y](unsigned long i) {
            double yi = y(i);
            double xi = x(i);
            return std::hypot(xi, yi);
        };
        double statistic = chi2(Chi2::power_law(n, 1, 0, r_max), n, radius);
        if (exceeds(statistic, chi2.quantile(Chi2::P95))) failed("Radius distribution is not linear!");
    }
    {
        Chi2 chi2(10, -r_max, r_max, false);
        // A coordinate of points uniform over the disk. The last edge may lie a
        // rounding step beyond r_max; clamping keeps asin and the root defined,
        // since a NaN statistic would pass any check.
        Chi2::Law disk = [r_max, n](double x1, double x2) {
            auto g = [r_max](double v) {
                double u = std::clamp(v / r_max, -1.0, 1.0);
                return u * std::sqrt(1 - u * u) + std::asin(u);
            };
            return ((g(x2) - g(x1)) / pi) * static_cast<double>(n);
        };
        double critical = chi2.quantile(Chi2::P95);
        // y is tested only when x passed; either failure is reported once.
        bool failed_xy = exceeds(chi2(disk, n, chi2.func(showers, &Metadata::x)), critical) ||
                         exceeds(chi2(disk, n, chi2.func(showers, &Metadata::y)), critical);
        if (failed_xy) failed("X-Y distribution is not uniform!");
    }
    {
        Chi2 chi2(10, 0, theta_max, false);
        Chi2::Law zenith = [theta_max, n](double x1, double x2) {
            return ((std::cos(2 * x2) - std::cos(2 * x1)) / (std::cos(2 * theta_max) - 1)) * static_cast<double>(n);
        };
        double statistic = chi2(zenith, n, chi2.func(showers, &Metadata::theta));
        if (exceeds(statistic, chi2.quantile(Chi2::P90)))
            failed("Zenith distribution does not follow sin(theta)*cos(theta)!");
    }
    {
        Chi2 chi2(10, 0, two_pi, false);
        double statistic = chi2(Chi2::uniform(n, 0, two_pi), n, chi2.func(showers, &Metadata::phi));
        if (exceeds(statistic, chi2.quantile(Chi2::P95))) failed("Azimuth distribution is not uniform!");
    }
    return showers;
}

}  // namespace background
