#include "background/CosmicRayModel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "CosmicRayModelImpl.hpp"
#include "PoissonCount.hpp"
#include "format.hpp"

namespace background {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

}  // namespace

CosmicRayModel::CosmicRayModel(ShowerProvider& provider, Flux& flux, unsigned long seed, int gen_type,
                               double throw_index, double r_max, double theta_max, double e_min, double e_max,
                               bool warn_invalid) {
    auto showers = Impl::checked_load(provider, throw_index, r_max, theta_max, e_min, e_max, warn_invalid);
    auto state = std::make_unique<Impl>(
        Impl{{}, std::mt19937_64(seed), gen_type, -std::numeric_limits<double>::infinity()});

    // Each shower's weight is the ratio of the flux to the thrown spectrum.
    auto& rates = state->rates;
    rates.reserve(showers.size());
    double sum = 0;
    for (const auto& shower : showers) {
        double f = flux.flux_density(shower.energy);
        double p = std::pow(shower.energy, -throw_index);
        double w = p * f;
        rates.emplace_back(shower.uid, w);
        sum += w;
    }
    showers = {};

    // Scale so that the rates add up to the flux through the core disk and
    // the zenith cone.
    double area = (pi * r_max) * r_max;
    double solid_angle = two_pi * (1 - std::cos(theta_max));
    double integral = flux.integrate(e_min, e_max);
    double factor = ((area * integral) * solid_angle) / sum;
    for (auto& entry : rates) {
        entry.second *= factor;
        if (entry.second > state->max_rate) state->max_rate = entry.second;
    }
    impl = std::move(state);
}

CosmicRayModel::~CosmicRayModel() = default;

std::vector<BackgroundEvent> CosmicRayModel::sample(double begin, double end) {
    if (begin > end) throw std::out_of_range(format("Time 'begin={:e}' is after time `end={:e}`!", begin, end));
    double span = end - begin;
    // Multiplication by the non-negative span keeps the order of the rates,
    // so the largest rate bounds every shower's mean.
    detail::check_poisson_mean(span * impl->max_rate);

    auto& engine = impl->engine;
    std::vector<BackgroundEvent> events;
    for (const auto& [uid, rate] : impl->rates) {
        double mean = span * rate;
        int count = detail::poisson_mean_positive(mean) ? detail::poisson_count(mean, engine)
                                                        : detail::empty_poisson_count(engine);
        for (int i = 0; i < count; ++i) events.push_back({detail::canonical(engine) * span + begin, impl->type, uid});
    }
    std::ranges::sort(events, std::ranges::less{}, &BackgroundEvent::time);
    return events;
}

}  // namespace background
