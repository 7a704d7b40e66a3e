#pragma once
// Straightforward implementations to check the library's faster ones against:
// the same draws in the same order, through the standard distributions and
// the standard sort.

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "background/AutoMergeList.hpp"
#include "background/BackgroundEvent.hpp"
#include "background/BackgroundModel.hpp"
#include "background/EventGenerator.hpp"
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

// The chunks of the engine as plainly as they can be made: every event
// through the generator, every entry inserted as a run into an AutoMergeList
// per channel, every list flattened and split at the chunk end.
class ReferenceEngine {
public:
    ReferenceEngine(std::unique_ptr<EventGenerator> generator, std::unique_ptr<BackgroundModel> model,
                    std::size_t channels, double start)
        : lists(channels), generator(std::move(generator)), model(std::move(model)), next(start) {}

    PEList next_chunk(double span) {
        const double begin = next, end = begin + span;
        next = end;
        const auto events = model->sample(begin, end);
        if (seek_pending) {
            seek_pending = false;
            for (auto& list : lists) list.clear();
        }
        for (const auto& event : events)
            for (auto& [channel, times] : generator->generate(event)) {
                if (channel < 0 || static_cast<std::size_t>(channel) >= lists.size())
                    throw std::out_of_range("channel outside the array");
                lists[static_cast<std::size_t>(channel)].insert(times);
            }
        PEList chunk;
        for (std::size_t c = 0; c < lists.size(); ++c) {
            if (lists[c].runs.empty()) continue;
            auto times = lists[c].flatten();
            auto split = std::upper_bound(times.begin(), times.end(), end);
            lists[c].insert(std::vector<double>(split, times.end()));
            times.erase(split, times.end());
            if (!times.empty()) chunk.emplace_back(static_cast<int>(c), std::move(times));
        }
        return chunk;
    }

    void seek(double time) {
        next = time;
        seek_pending = true;
    }

    std::vector<AutoMergeList<double>> lists;

private:
    std::unique_ptr<EventGenerator> generator;
    std::unique_ptr<BackgroundModel> model;
    double next;
    bool seek_pending = true;
};

// Whether two chunks are the same bit for bit: -0.0 and 0.0 differ, NaN
// equals NaN of the same bits.
inline bool same_bits(const PEList& a, const PEList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first || a[i].second.size() != b[i].second.size()) return false;
        if (!a[i].second.empty() &&
            std::memcmp(a[i].second.data(), b[i].second.data(), a[i].second.size() * sizeof(double)) != 0)
            return false;
    }
    return true;
}

}  // namespace background::testing
