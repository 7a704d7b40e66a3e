#pragma once

#include <filesystem>
#include <vector>

#include "background/BackgroundModel.hpp"
#include "background/export.h"

namespace background {

// Replays the events of a model cache instead of drawing them. A model cache
// is a pair of files: the cache file, an event file of the Serializer, and
// beside it the interval file (the cache file's name with its extension
// replaced by ".cm"), a number file holding the begin and the end of the
// interval [begin, end) that the events cover.
class BACKGROUND_EXPORT CachedModel : public BackgroundModel {
public:
    // Loads both files. Events out of time order are put in order by a
    // stable sort (events of equal time keep their stored order; events
    // without a time, NaN, go last and are never sampled).
    explicit CachedModel(std::filesystem::path cache_file);

    // The stored events with begin <= time < end, in stored order, on every
    // call; the interval must lie inside the cache's (std::out_of_range).
    std::vector<BackgroundEvent> sample(double begin, double end) override;

    // Writes a model cache whose cache file is `path`, events as given. A
    // name ending in ".cm" is refused (std::invalid_argument) before anything
    // is written: its interval file would be the cache file itself.
    static void write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                            double end);

private:
    std::vector<BackgroundEvent> events;
    double cache_begin;
    double cache_end;
};

}  // namespace background
