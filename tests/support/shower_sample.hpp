#pragma once
// A small in-memory shower provider, a well-thrown sample for it, and what the
// cosmic-ray tests compare models with.

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/Flux.hpp"
#include "background/Metadata.hpp"
#include "background/ShowerProvider.hpp"

namespace background::testing {

// Serves a given list of showers and counts how often the list is asked for.
class FakeProvider : public ShowerProvider {
public:
    explicit FakeProvider(std::vector<Metadata> showers) : showers(std::move(showers)) {}
    std::vector<Metadata> get_all_metadata() override {
        ++loads;
        return showers;
    }
    Metadata get_metadata(unsigned long uid) override { return find(uid); }
    PEList get_pe_list(unsigned long uid) override { return {{0, {static_cast<double>(find(uid).uid)}}}; }

    std::vector<Metadata> showers;
    int loads = 0;

private:
    const Metadata& find(unsigned long uid) const {
        for (const auto& shower : showers)
            if (shower.uid == uid) return shower;
        throw std::out_of_range("no such shower");
    }
};

struct Throw {
    double index = -2;
    double e_min = 10;
    double e_max = 1e4;
    double r_max = 100;
    double theta_max = 0.5;
};

// n showers, one per quantile stratum of each thrown distribution: energies
// as E^index, cores on a sunflower spiral over the disk, zeniths as
// sin(theta) cos(theta), uniform azimuths. UIDs are 100 + position.
inline std::vector<Metadata> thrown_sample(unsigned long n, const Throw& t = {}) {
    std::vector<Metadata> showers(n);
    double g = t.index + 1;
    double c2 = std::cos(t.theta_max) * std::cos(t.theta_max);
    for (unsigned long j = 0; j < n; ++j) {
        double q = (static_cast<double>(j) + 0.5) / static_cast<double>(n);
        auto& s = showers[j];
        s.uid = 100 + j;
        s.primary = Metadata::PROTON;
        s.energy = t.index == -1 ? t.e_min * std::pow(t.e_max / t.e_min, q)
                                 : std::pow(std::pow(t.e_min, g) + q * (std::pow(t.e_max, g) - std::pow(t.e_min, g)),
                                            1 / g);
        double r = t.r_max * std::sqrt(q);
        double a = 2.399963229728653 * static_cast<double>(j);
        s.x = r * std::cos(a);
        s.y = r * std::sin(a);
        s.theta = std::acos(std::sqrt(q * (1 - c2) + c2));
        s.phi = 6.283185307179586 * q;
    }
    return showers;
}

// A x Omega x I: the flux through the core disk and the zenith cone.
inline double total_rate(Flux& flux, const Throw& t) {
    return 3.141592653589793 * t.r_max * t.r_max * 6.283185307179586 * (1 - std::cos(t.theta_max)) *
           flux.integrate(t.e_min, t.e_max);
}

inline bool same_events(const std::vector<BackgroundEvent>& a, const std::vector<BackgroundEvent>& b) {
    return std::ranges::equal(a, b, [](const BackgroundEvent& x, const BackgroundEvent& y) {
        return x.time == y.time && x.type == y.type && x.id == y.id;
    });
}

}  // namespace background::testing
