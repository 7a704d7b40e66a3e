#include "background/DarkCountModel.hpp"

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>

#include "Composition.hpp"
#include "EventSort.hpp"
#include "format.hpp"
#include "RandomDraws.hpp"
#include "Refusal.hpp"

namespace background {

struct DarkCountModel::Impl {
    double rate;
    unsigned long num_channels;
    detail::Mt64 engine;
    int gen_type;
};


DarkCountModel::DarkCountModel(double rate, unsigned long num_channels, unsigned long seed, int gen_type) {
    // A negative count arrives sign-extended and would loop ~2^64 times.
    if (static_cast<long>(num_channels) < 0)
        throw detail::Refused<std::invalid_argument>(
            format("num_channels must not be negative, got {}!", static_cast<long>(num_channels)));
    impl = std::make_unique<Impl>(Impl{rate, num_channels, detail::Mt64(seed), gen_type});
}

DarkCountModel::~DarkCountModel() = default;

std::vector<BackgroundEvent> DarkCountModel::sample(double begin, double end) {
    Impl& m = *impl;
    detail::DarkCountDraws draws(m.engine, m.rate, m.num_channels, begin, end);
    std::vector<BackgroundEvent> events;
    const double expected = m.rate * (end - begin) * static_cast<double>(m.num_channels);
    if (expected > 0 && expected < 1e7) events.reserve(static_cast<std::size_t>(expected * 1.05) + 64);
    std::vector<double> times;
    for (unsigned long c = 0; c < m.num_channels; ++c) {
        times.clear();
        draws.next_channel(times);
        for (double t : times) events.push_back({t, m.gen_type, c});
    }
    detail::sort_by_time(events);
    return events;
}

namespace detail {

DarkCountDraws::DarkCountDraws(Mt64& engine, double rate, unsigned long channels, double begin,
                               double end)
    : engine(engine), num_channels(channels), begin(begin), span(end - begin) {
    // Without channels there is nothing to draw, whatever the rate.
    if (channels == 0) return;
    const double mean = rate * span;
    check_poisson_mean(mean);
    // One distribution for all channels: above a mean of 12 it keeps a
    // normal draw from one channel's count for the next.
    if (poisson_mean_positive(mean)) count.emplace(mean);
}

std::size_t DarkCountDraws::next_channel(std::vector<double>& times) {
    if (!count) return static_cast<std::size_t>(empty_poisson_count(engine));
    const int n = (*count)(engine);
    times.reserve(times.size() + static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) times.push_back(uniform_time(engine, begin, span));
    return static_cast<std::size_t>(n);
}

namespace {

// Sorts engine outputs, which are spread evenly over their range: each goes
// to one of n buckets by its leading bits, then one insertion pass orders
// the few within each bucket.
void sort_outputs(std::vector<std::uint64_t>& outputs, std::vector<std::uint64_t>& sorted) {
    const std::size_t n = outputs.size();
    auto insertion_sort = [](std::uint64_t* first, std::uint64_t* last) {
        for (std::uint64_t* p = first + 1; p < last; ++p) {
            const std::uint64_t x = *p;
            std::uint64_t* q = p;
            for (; q > first && q[-1] > x; --q) *q = q[-1];
            *q = x;
        }
    };
    if (n < 8) return insertion_sort(outputs.data(), outputs.data() + n);
    // Bucket b holds the outputs in [b, b + 1) * 2^64 / n.
    auto bucket = [n](std::uint64_t x) {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(x) * n) >> 64);
    };
    sorted.assign(n + 1, 0);
    for (std::uint64_t x : outputs) ++sorted[bucket(x) + 1];
    for (std::size_t b = 1; b < n; ++b) sorted[b] += sorted[b - 1];
    // sorted[b] is now where bucket b starts; the outputs go behind them.
    sorted.resize(2 * n + 1);
    std::uint64_t* places = sorted.data();
    std::uint64_t* placed = sorted.data() + n + 1;
    for (std::uint64_t x : outputs) placed[places[bucket(x)]++] = x;
    insertion_sort(placed, placed + n);
    std::copy(placed, placed + n, outputs.begin());
}

}  // namespace

std::size_t DarkCountDraws::next_channel_sorted(std::vector<double>& times, Scratch& scratch) {
    if (!count) return static_cast<std::size_t>(empty_poisson_count(engine));
    auto& outputs = scratch.outputs;
    const auto n = static_cast<std::size_t>((*count)(engine));
    outputs.resize(n);
    for (auto& x : outputs) x = engine();
    sort_outputs(outputs, scratch.sorting);
    // A time is a monotone function of its output: rising with a positive
    // span, falling with a negative one.
    const std::size_t start = times.size();
    times.reserve(start + n);
    for (std::uint64_t x : outputs) times.push_back(canonical_of(x) * span + begin);
    if (span < 0) std::reverse(times.begin() + static_cast<std::ptrdiff_t>(start), times.end());
    return n;
}

DarkCountDraws Composition::draws(DarkCountModel& model, double begin, double end) {
    DarkCountModel::Impl& m = *model.impl;
    return DarkCountDraws(m.engine, m.rate, m.num_channels, begin, end);
}

int Composition::event_type(const DarkCountModel& model) { return model.impl->gen_type; }

unsigned long Composition::channels(const DarkCountModel& model) { return model.impl->num_channels; }

}  // namespace detail

}  // namespace background
