#include "background/MockProvider.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace background {

MockProvider::MockProvider(unsigned long num_showers, double index, double e_min, double e_max, double r_max,
                           double theta_max) {
    const unsigned long n = num_showers;
    showers.resize(n);
    for (unsigned long i = 0; i < n; ++i) {
        showers[i].uid = i;
        showers[i].primary = Metadata::PROTON;
    }
    // Stratum j of each quantity sits at the quantile (j + 0.5) / n.
    auto q = [n](unsigned long j) { return (static_cast<double>(j) + 0.5) / static_cast<double>(n); };

    // Each quantity is handed out by position after its own shuffle, so the
    // four values of one shower come from unrelated strata.
    std::mt19937_64 engine(MOCK_PROVIDER_SEED);
    std::shuffle(showers.begin(), showers.end(), engine);
    if (index == -1) {
        const double log_min = std::log(e_min);
        const double log_max = std::log(e_max);
        for (unsigned long j = 0; j < n; ++j) showers[j].energy = std::exp(q(j) * (log_max - log_min) + log_min);
    } else {
        const double g = index + 1;
        const double a = std::pow(e_min, g) / g;
        const double b = std::pow(e_max, g) / g;
        const double exponent = 1.0 / g;
        for (unsigned long j = 0; j < n; ++j) showers[j].energy = std::pow((q(j) * (b - a) + a) * g, exponent);
    }

    std::shuffle(showers.begin(), showers.end(), engine);
    // Radius and angle from the same position: the cores lie on one spiral.
    for (unsigned long j = 0; j < n; ++j) {
        const double r = std::pow(q(j) * (r_max * r_max), 0.5);
        const double angle = 0.2 * static_cast<double>(j);
        showers[j].x = r * std::cos(angle);
        showers[j].y = r * std::sin(angle);
    }

    std::shuffle(showers.begin(), showers.end(), engine);
    for (unsigned long j = 0; j < n; ++j) showers[j].phi = std::fmod(0.2 * static_cast<double>(j), 6.283185307179586);

    std::shuffle(showers.begin(), showers.end(), engine);
    const double c = std::cos(theta_max);
    const double c2 = c * c;
    for (unsigned long j = 0; j < n; ++j) showers[j].theta = std::acos(std::sqrt(q(j) * (1 - c2) + c2));

    std::ranges::sort(showers, {}, &Metadata::uid);
}

std::vector<Metadata> MockProvider::get_all_metadata() { return showers; }

Metadata MockProvider::get_metadata(unsigned long uid) { return showers.at(uid); }

PEList MockProvider::get_pe_list(unsigned long uid) {
    (void)showers.at(uid);  // the same range check as get_metadata
    PEList result;
    result.emplace_back(0, std::vector<double>{static_cast<double>(uid)});
    return result;
}

}  // namespace background
