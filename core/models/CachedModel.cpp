#include "background/CachedModel.hpp"

#include <algorithm>
#include <cmath>
#include <ios>
#include <stdexcept>

#include "background/Serializer.hpp"
#include "format.hpp"

namespace background {

namespace {

std::filesystem::path interval_file(std::filesystem::path cache_file) { return cache_file.replace_extension(".cm"); }

// Time order with the events that have no time (NaN) after all others: an order on every stored event, so
// that the binary searches of sample are defined. A NaN time lies in no interval, so they are never taken.
bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) {
    if (std::isnan(b.time)) return !std::isnan(a.time);
    return a.time < b.time;
}

}  // namespace

CachedModel::CachedModel(std::filesystem::path cache_file) {
    auto serializer = Serializer::create_default();
    events = serializer->read_events(cache_file);
    auto interval = interval_file(cache_file);
    auto numbers = serializer->read_numbers(interval);
    if (numbers.size() != 2)
        throw std::ios_base::failure(format("Cached data is corrupted, check if {} was modified.", interval.native()));
    cache_begin = numbers[0];
    cache_end = numbers[1];
    // A cache written out of time order is put in order once, here; stable, so that events of equal time
    // keep their stored order.
    if (!std::ranges::is_sorted(events, earlier)) std::ranges::stable_sort(events, earlier);
}

std::vector<BackgroundEvent> CachedModel::sample(double begin, double end) {
    if (begin > end)
        throw std::out_of_range(
            format("Interval begin time has to be before interval end time! {} < {}", begin, end));
    // Negated, so that NaN bounds, which lie inside no interval, are refused too.
    if (!(cache_begin <= begin && end <= cache_end))
        throw std::out_of_range(format("Cannot sample interval [{} s,{} s)! Model is only defined in [{} s,{} s).",
                                       begin, end, cache_begin, cache_end));
    auto first = std::ranges::lower_bound(events, begin, {}, &BackgroundEvent::time);
    auto last = std::ranges::lower_bound(events, end, {}, &BackgroundEvent::time);
    return {first, last};
}

void CachedModel::write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                              double end) {
    auto interval = interval_file(path);
    if (interval == path)
        throw std::invalid_argument(
            format("Cannot write cache file {}: its interval file would be the cache file itself, choose a name "
                   "that does not end in .cm!",
                   path.native()));
    auto serializer = Serializer::create_default();
    serializer->write_events(path, events);
    serializer->write_numbers(interval, {begin, end});
}

}  // namespace background
