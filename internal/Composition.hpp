#pragma once
// What the engine may do past the virtual interfaces of its generator and
// model where that gives the same chunks: the compositions it recognises,
// and dark counts drawn channel by channel.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "Mt64.hpp"
#include "RandomDraws.hpp"

namespace background {

class BackgroundModel;
class DarkCountModel;
class EventGenerator;

namespace detail {

// One DarkCountModel::sample call taken channel by channel: the same engine
// outputs in the same order, but each channel's event times are handed over
// in the order drawn instead of as events sorted by time.
class DarkCountDraws {
public:
    // Refuses the interval as sample(begin, end) does, before any draw.
    DarkCountDraws(Mt64& engine, double rate, unsigned long channels, double begin, double end);

    unsigned long channels() const { return num_channels; }
    // Appends the times of the next channel (0, 1, ... in turn) to `times`;
    // returns how many.
    std::size_t next_channel(std::vector<double>& times);
    // Room for the engine outputs behind one channel's times.
    struct Scratch {
        std::vector<std::uint64_t> outputs, sorting;
    };
    // The same draws, the times appended in ascending order.
    std::size_t next_channel_sorted(std::vector<double>& times, Scratch& scratch);

private:
    Mt64& engine;
    unsigned long num_channels;
    double begin, span;
    // Absent for a mean that is not positive: every count is then 0.
    std::optional<PoissonCount> count;
};

struct Composition {
    // The number of copies of an event's time that `generator` puts on the
    // channel the event's id names, for events of `type`, where that is all
    // it does: an NPEGenerator, directly or through GenericGenerators.
    // Nothing for any other generator, or where generate() would throw.
    static std::optional<int> copies_per_event(const EventGenerator& generator, int type);

    // The one DarkCountModel whose events `model` returns: itself, or the
    // only member of GenericModels around it. Null for anything else.
    static DarkCountModel* sole_dark_count_model(BackgroundModel& model);

    // The draws of model.sample(begin, end), channel by channel.
    static DarkCountDraws draws(DarkCountModel& model, double begin, double end);
    static int event_type(const DarkCountModel& model);
    static unsigned long channels(const DarkCountModel& model);
};

}  // namespace detail
}  // namespace background
