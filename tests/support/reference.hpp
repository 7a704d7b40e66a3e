#pragma once
// Straightforward implementations to check the library's faster ones against:
// the same draws in the same order, through the standard distributions and
// the standard sort.

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/PEList.hpp"

namespace background::testing {

// Dark counts as the plain formulas give them, for intervals with begin <= end.
class ReferenceDarkCounts {
public:
    ReferenceDarkCounts(double rate, unsigned long channels, unsigned long seed, int type)
        : rate(rate), channels(channels), engine(seed), type(type) {}

    std::vector<BackgroundEvent> sample(double begin, double end) {
        std::vector<BackgroundEvent> events;
        const double mean = rate * (end - begin);
        if (!(mean > 0)) {
            engine.discard(channels);  // the standard draw takes one output and gives 0
            return events;
        }
        std::poisson_distribution<int> count(mean);
        std::uniform_real_distribution<double> time(begin, end);
        for (unsigned long c = 0; c < channels; ++c) {
            const int n = count(engine);
            for (int i = 0; i < n; ++i) events.push_back({time(engine), type, c});
        }
        std::ranges::sort(events, {}, &BackgroundEvent::time);
        return events;
    }

    std::mt19937_64& random_engine() { return engine; }

private:
    double rate;
    unsigned long channels;
    std::mt19937_64 engine;
    int type;
};

// The chunk a dark-count engine with one p.e. per event returns: the events'
// times grouped by channel, channels ascending.
inline PEList reference_chunk(const std::vector<BackgroundEvent>& events, unsigned long channels) {
    std::vector<std::vector<double>> times(channels);
    for (const auto& event : events) times[event.id].push_back(event.time);
    PEList chunk;
    for (unsigned long c = 0; c < channels; ++c)
        if (!times[c].empty()) chunk.emplace_back(static_cast<int>(c), times[c]);
    return chunk;
}

// Showers recurring at their rates, drawn with the standard distributions one
// shower after the other: a count, then its times.
inline std::vector<BackgroundEvent> reference_shower_sample(std::mt19937_64& engine,
                                                            const std::vector<std::pair<unsigned long, double>>& rates,
                                                            int type, double begin, double end) {
    std::vector<BackgroundEvent> events;
    double span = end - begin;
    for (auto [uid, rate] : rates) {
        double mean = span * rate;
        int count = 0;
        if (mean > 0)
            count = std::poisson_distribution<int>(mean)(engine);
        else
            engine.discard(1);
        std::uniform_real_distribution<double> time(begin, end);
        for (int i = 0; i < count; ++i) events.push_back({time(engine), type, uid});
    }
    std::ranges::sort(events, {}, &BackgroundEvent::time);
    return events;
}

}  // namespace background::testing
