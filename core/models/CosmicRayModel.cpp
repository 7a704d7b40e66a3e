#include "background/CosmicRayModel.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "CosmicRayModelImpl.hpp"
#include "EventSort.hpp"
#include "RandomDraws.hpp"
#include "format.hpp"

namespace background {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

// Where the scan of the showers stopped: the first shower, from a given one
// on, that may have events, and whether its first engine output was drawn.
struct Stop {
    std::size_t index;
    bool drawn;
    std::uint64_t first;
};

// Almost every shower of a large sample takes one engine output and gives no
// event, so this loop is the cost of a call; it is mostly the engine's.
inline Stop scan(detail::Mt64& engine, const std::vector<std::uint64_t>& quiet, std::size_t from) {
    for (std::size_t i = from; i < quiet.size(); ++i) {
        if (quiet[i] == 0) return {i, false, 0};
        std::uint64_t first = engine();
        if (first >= quiet[i]) return {i, true, first};
    }
    return {quiet.size(), false, 0};
}

}  // namespace

CosmicRayModel::CosmicRayModel(ShowerProvider& provider, Flux& flux, unsigned long seed, int gen_type,
                               double throw_index, double r_max, double theta_max, double e_min, double e_max,
                               bool warn_invalid) {
    auto showers = Impl::checked_load(provider, throw_index, r_max, theta_max, e_min, e_max, warn_invalid);
    auto state = std::make_unique<Impl>(
        Impl{{}, detail::Mt64(seed), gen_type, -std::numeric_limits<double>::infinity(),
             std::numeric_limits<double>::quiet_NaN(), {}});

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
    if (!rates.empty() && !(integral > 0 && std::isfinite(integral)))
        throw Impl::FluxRefusal(
            "The integral of ",
            format(" from {} to {} GeV is {}; it must be finite and positive!", e_min, e_max, integral));
    double factor = ((area * integral) * solid_angle) / sum;
    for (auto& [uid, rate] : rates) {
        rate *= factor;
        if (!(rate >= 0 && std::isfinite(rate)))
            throw Impl::FluxRefusal(format("Shower {} gets the rate {} per second from ", uid, rate),
                                    "; rates must be finite and not negative!");
        if (rate > state->max_rate) state->max_rate = rate;
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

    auto& rates = impl->rates;
    if (!(span == impl->cached_span)) {
        impl->quiet.resize(rates.size());
        for (std::size_t i = 0; i < rates.size(); ++i) {
            double mean = span * rates[i].second;
            impl->quiet[i] = mean > 0 && mean < 12 ? detail::quiet_below(mean) : 0;
        }
        impl->cached_span = span;
    }

    auto& engine = impl->engine;
    std::vector<BackgroundEvent> events;
    for (Stop stop = scan(engine, impl->quiet, 0); stop.index < rates.size();
         stop = scan(engine, impl->quiet, stop.index + 1)) {
        auto [uid, rate] = rates[stop.index];
        double mean = span * rate;
        int count;
        if (stop.drawn)
            count = detail::small_mean_count(mean, stop.first, engine);
        else if (detail::poisson_mean_positive(mean))
            count = detail::poisson_count(mean, engine);
        else
            count = detail::empty_poisson_count(engine);
        for (int k = 0; k < count; ++k) events.push_back({detail::uniform_time(engine, begin, span), impl->type, uid});
    }
    detail::sort_by_time(events);
    return events;
}

}  // namespace background
