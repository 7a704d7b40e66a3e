#include "EventSort.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace background::detail {

namespace {

void library_sort(std::vector<BackgroundEvent>& events) { std::ranges::sort(events, {}, &BackgroundEvent::time); }

}  // namespace

// A comparison sort dominates the cost of a chunk, so large lists go through
// a stable bucket sort instead: about one event per bucket over the range of
// the times, then one insertion sort over the whole list, which only has to
// order the few events within each bucket. The bucket index is a monotone
// function of the time, so the buckets come out in order. Without equal
// times every correct sort gives the same list; with equal times only the
// library's own algorithm fixes their order, so those lists are sorted again
// by it from the order they came in.
void sort_by_time(std::vector<BackgroundEvent>& events) {
    const std::size_t n = events.size();
    if (n < 64 || n > std::numeric_limits<std::uint32_t>::max()) return library_sort(events);

    auto [low, high] = std::ranges::minmax(events, {}, &BackgroundEvent::time);
    const double min = low.time;
    const double range = high.time - min;
    const double scale = static_cast<double>(n) / range;
    if (!(range > 0) || !std::isfinite(range) || !std::isfinite(scale) || !(scale > 0))
        return library_sort(events);  // NaN times, a single time, or a range the buckets cannot resolve

    // Buffers of this call alone: kept across calls they would hold the
    // largest chunk's worth for as long as the thread lives.
    std::vector<std::uint32_t> buckets(n), starts(n + 1, 0);
    std::vector<BackgroundEvent> sorted;
    const double last_bucket = static_cast<double>(n - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = (events[i].time - min) * scale;
        buckets[i] = static_cast<std::uint32_t>(x < last_bucket ? x : last_bucket);
        ++starts[buckets[i] + 1];
    }
    for (std::size_t b = 1; b <= n; ++b) starts[b] += starts[b - 1];
    sorted.resize(n);
    for (std::size_t i = 0; i < n; ++i) sorted[starts[buckets[i]]++] = events[i];

    // Two times that end up side by side were side by side when the later
    // of them was placed, so checking the new neighbour below each placed
    // event finds every equal pair.
    bool equal_times = false;
    for (std::size_t i = 1; i < n; ++i) {
        if (!(sorted[i].time < sorted[i - 1].time)) {
            equal_times |= sorted[i].time == sorted[i - 1].time;
            continue;
        }
        const BackgroundEvent event = sorted[i];
        std::size_t j = i;
        for (; j > 0 && sorted[j - 1].time > event.time; --j) sorted[j] = sorted[j - 1];
        sorted[j] = event;
        equal_times |= j > 0 && sorted[j - 1].time == event.time;
    }
    if (equal_times) return library_sort(events);
    events.swap(sorted);
}

}  // namespace background::detail
