#include "EventSort.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace background::detail {

namespace {

void library_sort(std::vector<BackgroundEvent>& events) { std::ranges::sort(events, {}, &BackgroundEvent::time); }

}  // namespace

// A comparison sort dominates the cost of a chunk, so large lists go through
// a stable bucket sort instead: about one event per bucket over the range of
// the times, then insertion sort inside each bucket. The bucket index is a
// monotone function of the time, so the buckets come out in order. Without
// equal times every correct sort gives the same list; with equal times only
// the library's own algorithm fixes their order, so those lists are sorted
// again by it from the order they came in.
void sort_by_time(std::vector<BackgroundEvent>& events) {
    const std::size_t n = events.size();
    if (n < 64) return library_sort(events);

    auto [low, high] = std::ranges::minmax(events, {}, &BackgroundEvent::time);
    const double min = low.time;
    const double range = high.time - min;
    const double scale = static_cast<double>(n) / range;
    if (!(range > 0) || !std::isfinite(range) || !std::isfinite(scale) || !(scale > 0))
        return library_sort(events);  // NaN times, a single time, or a range the buckets cannot resolve

    auto bucket = [&](double time) {
        const double x = (time - min) * scale;
        return x < static_cast<double>(n) ? static_cast<std::size_t>(x) : n - 1;
    };

    thread_local std::vector<std::size_t> starts;
    thread_local std::vector<BackgroundEvent> sorted;
    starts.assign(n + 1, 0);
    for (const auto& event : events) ++starts[bucket(event.time) + 1];
    for (std::size_t b = 1; b <= n; ++b) starts[b] += starts[b - 1];
    sorted.resize(n);
    for (const auto& event : events) sorted[starts[bucket(event.time)]++] = event;

    // After the scatter starts[b] is the end of bucket b, the start of b + 1.
    std::size_t first = 0;
    for (std::size_t b = 0; b < n; ++b) {
        const std::size_t last = starts[b];
        for (std::size_t i = first + 1; i < last; ++i) {
            const BackgroundEvent event = sorted[i];
            std::size_t j = i;
            for (; j > first && sorted[j - 1].time > event.time; --j) sorted[j] = sorted[j - 1];
            sorted[j] = event;
        }
        first = last;
    }
    const bool equal_times =
        std::ranges::adjacent_find(sorted, [](const auto& a, const auto& b) { return a.time == b.time; }) !=
        sorted.end();
    if (equal_times) return library_sort(events);
    events.swap(sorted);
}

}  // namespace background::detail
