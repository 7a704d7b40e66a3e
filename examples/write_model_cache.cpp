// Samples a background model of a settings file over an interval and writes the events as a model cache,
// which a "CachedModel" then replays in every run (examples/model_cache.yaml replays the cache of its
// model "dark_counts"):
//
//   write_model_cache SETTINGS MODEL BEGIN END CACHE_FILE
//
// writes CACHE_FILE and beside it its interval file (CACHE_FILE with the extension ".cm").
#include <background/CachedModel.hpp>
#include <background/Factory.hpp>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SETTINGS MODEL BEGIN END CACHE_FILE\n", argv[0]);
        return 2;
    }
    try {
        const double begin = std::stod(argv[3]);
        const double end = std::stod(argv[4]);
        auto model = background::Factory<background::BackgroundModel>(argv[1]).create_by_name(argv[2]);
        const auto events = model->sample(begin, end);
        background::CachedModel::write_cache(argv[5], events, begin, end);
        std::printf("%zu events of model %s in [%g s, %g s) written to %s\n", events.size(), argv[2], begin, end,
                    argv[5]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "write_model_cache: %s\n", e.what());
        return 1;
    }
    return 0;
}
