#include "background/DarkCountModel.hpp"

#include <random>
#include <stdexcept>

#include "CpuDispatch.hpp"
#include "EventSort.hpp"
#include "format.hpp"
#include "RandomDraws.hpp"
#include "Refusal.hpp"

namespace background {

struct DarkCountModel::Impl {
    double rate;
    unsigned long num_channels;
    std::mt19937_64 engine;
    int gen_type;
};


DarkCountModel::DarkCountModel(double rate, unsigned long num_channels, unsigned long seed, int gen_type) {
    // A negative count arrives sign-extended and would loop ~2^64 times.
    if (static_cast<long>(num_channels) < 0)
        throw detail::Refused<std::invalid_argument>(
            format("num_channels must not be negative, got {}!", static_cast<long>(num_channels)));
    impl = std::make_unique<Impl>(Impl{rate, num_channels, std::mt19937_64(seed), gen_type});
}

DarkCountModel::~DarkCountModel() = default;

std::vector<BackgroundEvent> DarkCountModel::sample(double begin, double end) {
    Impl& m = *impl;
    // Without channels there is nothing to draw, whatever the rate.
    if (m.num_channels == 0) return {};
    const double span = end - begin;
    const double mean = m.rate * span;
    detail::check_poisson_mean(mean);

    std::vector<BackgroundEvent> events;
    if (!detail::poisson_mean_positive(mean)) {
        for (unsigned long c = 0; c < m.num_channels; ++c) detail::empty_poisson_count(m.engine);
        return events;
    }

    const double expected = mean * static_cast<double>(m.num_channels);
    if (expected < 1e7) events.reserve(static_cast<std::size_t>(expected * 1.05) + 64);
    // One distribution for all channels: above a mean of 12 it keeps a
    // normal draw from one channel's count for the next.
    std::poisson_distribution<int> count(mean);
    detail::call_fastest([&] {
        for (unsigned long c = 0; c < m.num_channels; ++c) {
            const int n = count(m.engine);
            for (int i = 0; i < n; ++i) events.push_back({detail::uniform_time(m.engine, begin, span), m.gen_type, c});
        }
    });
    detail::sort_by_time(events);
    return events;
}

}  // namespace background
