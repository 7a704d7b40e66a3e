// Prepares a replay of cosmic-ray showers: samples a model of a settings file over an interval, writes
// the showers behind its events in time order into a directory, and the events as a model cache, which
// a "CachedModel" with a "ProviderGenerator" over an "OrderedProvider" then replay without the shower
// source (examples/replay.yaml replays what this writes from examples/background.yaml):
//
//   prepare_replay SETTINGS MODEL BEGIN END CACHE_FILE DIRECTORY [EVENTS_PER_FILE]
//
// MODEL is a model whose events are showers of the provider its key "provider" names (a
// "CosmicRayModel"). Showers without p.e.s are left out of both.
#include <background/CachedModel.hpp>
#include <background/Factory.hpp>
#include <background/OrderedProvider.hpp>
#include <background/Settings.hpp>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: %s SETTINGS MODEL BEGIN END CACHE_FILE DIRECTORY [EVENTS_PER_FILE]\n", argv[0]);
        return 2;
    }
    try {
        using namespace background;
        const std::string settings = argv[1];
        const double begin = std::stod(argv[3]);
        const double end = std::stod(argv[4]);
        const unsigned long per_file = argc == 8 ? std::stoul(argv[7]) : 1000;
        auto events = Factory<BackgroundModel>(settings).create_by_name(argv[2])->sample(begin, end);
        const std::string provider_name = Settings::from_file(settings)["models"][std::string(argv[2])]["provider"];
        auto provider = Factory<ShowerProvider>(settings).create_by_name(provider_name);
        // The directory first: it drops the showers without p.e.s from the events, so that the cache
        // holds exactly the showers the directory serves.
        OrderedProvider::order_events(argv[6], *provider, events, per_file, true, false, true);
        CachedModel::write_cache(argv[5], events, begin, end);
        std::printf("%zu showers of model %s in [%g s, %g s) written to %s and %s\n", events.size(), argv[2], begin,
                    end, argv[5], argv[6]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "prepare_replay: %s\n", e.what());
        return 1;
    }
    return 0;
}
