#include "background/Background.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "background/AutoMergeList.hpp"
#include "background/Factory.hpp"
#include "background/Hook.hpp"
#include "background/Settings.hpp"
#include "format.hpp"

namespace background {

struct Background::Impl {
    explicit Impl(Settings settings) : settings(std::move(settings)) {}

    Settings settings;
    std::unique_ptr<ShowerProvider> provider;
    std::unique_ptr<EventGenerator> generator;
    std::unique_ptr<BackgroundModel> model;
    std::vector<AutoMergeList<double, std::less<double>, std::identity>> channel_lists;
    double next_time = 0.0;
    bool seek_pending = false;
    std::function<void(double)> time_hint_for_metadata;
    std::function<void(double)> time_hint_for_chunks;
};

namespace {

// A copy of the time hint registered under the id that "time_hint_hook"
// names. The hint is optional: any failure on the way leaves it empty.
std::function<void(double)> fetch_time_hint(const Settings& lib) {
    try {
        int id = lib["time_hint_hook"];
        return Hook::get<std::function<void(double)>>(id);
    } catch (...) {
        return {};
    }
}

template <class T>
std::unique_ptr<T> build(const std::filesystem::path& settings_file, const Settings& lib, const char* key) {
    Factory<T> factory(settings_file);
    std::string name = lib[key];
    return factory.create_by_name(name);
}

}  // namespace

// The order of the steps decides which time hints the engine sees: the
// metadata hint is taken right after the provider is built, the chunk hint
// once the generator and the model exist.
Background::Background(const std::string& settings) {
    const std::filesystem::path settings_file(settings);
    impl = std::make_unique<Impl>(Settings::from_file(settings_file));
    const Settings lib = impl->settings["lib"];
    impl->provider = build<ShowerProvider>(settings_file, lib, "provider");
    impl->time_hint_for_metadata = fetch_time_hint(lib);
    impl->generator = build<EventGenerator>(settings_file, lib, "generator");
    impl->model = build<BackgroundModel>(settings_file, lib, "model");
    int num_channels = lib["num_channels"];
    // Sign-extended: a negative count fails here with std::length_error.
    impl->channel_lists.resize(static_cast<std::size_t>(num_channels));
    impl->time_hint_for_chunks = fetch_time_hint(lib);
    double start_time = lib["start_time"];
    seek(start_time);
}

Background::~Background() = default;

PEList Background::next_chunk(double time_span) {
    Impl& m = *impl;
    if (!std::isfinite(time_span)) throw std::invalid_argument("Time span must be finite!");
    // A negative span would move time backwards and return nothing.
    if (time_span < 0) throw std::invalid_argument(format("Time span must not be negative, got {}!", time_span));
    const double begin = m.next_time;
    const double end = begin + time_span;
    if (!std::isfinite(end)) throw std::invalid_argument("Chunk end must be finite!");
    // A span lost in rounding at this start would stop time for good; a span
    // of 0 is a request for the pending p.e.s.
    if (time_span > 0 && end == begin)
        throw std::invalid_argument(
            format("Time span {} is too small to move the chunk end beyond {}!", time_span, begin));
    // Stored first: a failing chunk is skipped, not repeated.
    m.next_time = end;

    const auto events = m.model->sample(begin, end);
    if (m.seek_pending) {
        m.seek_pending = false;
        // Dropped before the hint runs, so that a failing hint cannot leave
        // p.e.s from before the seek to come out with later chunks.
        for (auto& list : m.channel_lists) list.clear();
        if (m.time_hint_for_chunks) m.time_hint_for_chunks(begin);
    }

    const std::size_t num_lists = m.channel_lists.size();
    // Each event lands on a list far from the last one's in memory. Where an
    // event's id names a channel (dark counts), the lists a few events ahead
    // are fetched early; for other ids this is only a wasted hint.
    constexpr std::size_t ahead = 8;
    auto prefetch_list = [&](std::size_t i) {
        if (i < events.size() && events[i].id < num_lists) __builtin_prefetch(&m.channel_lists[events[i].id]);
    };
    auto prefetch_last_run = [&](std::size_t i) {
        if (i < events.size() && events[i].id < num_lists) {
            const auto& runs = m.channel_lists[events[i].id].runs;
            if (!runs.empty()) __builtin_prefetch(runs.back().data());
            __builtin_prefetch(runs.data() + runs.size());
        }
    };
    for (std::size_t i = 0; i < std::min(ahead, events.size()); ++i) prefetch_list(i);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& event = events[i];
        prefetch_list(i + ahead);
        prefetch_last_run(i + ahead / 2);
        PEList lists = m.generator->generate(event);
        for (auto& [channel, times] : lists) {
            if (channel < 0 || static_cast<std::size_t>(channel) >= num_lists)
                throw std::out_of_range(
                    format("Generated data for channel {}, but only {} channels in array!", channel, num_lists));
            m.channel_lists[channel].insert(std::move(times));
        }
    }

    // Everything up to and including the chunk end leaves; the rest stays as
    // the channel's only run.
    PEList result;
    result.reserve(static_cast<std::size_t>(
        std::ranges::count_if(m.channel_lists, [](const auto& list) { return !list.runs.empty(); })));
    for (std::size_t channel = 0; channel < num_lists; ++channel) {
        auto& list = m.channel_lists[channel];
        if (list.runs.empty()) continue;
        std::vector<double> times = list.flatten();
        const auto split = std::ranges::upper_bound(times, end);
        if (split == times.begin()) {
            list.insert(std::move(times));
            continue;
        }
        list.insert(std::vector<double>(split, times.end()));
        times.erase(split, times.end());
        result.emplace_back(static_cast<int>(channel), std::move(times));
    }
    return result;
}

void Background::seek(double time) {
    if (!std::isfinite(time)) throw std::invalid_argument("Seek time must be finite!");
    impl->next_time = time;
    impl->seek_pending = true;
}

std::vector<Metadata> Background::generate_metadata(double begin, double end) {
    Impl& m = *impl;
    if (!std::isfinite(begin) || !std::isfinite(end)) throw std::invalid_argument("Interval bounds must be finite!");
    const auto events = m.model->sample(begin, end);
    int type = m.settings["lib"]["meta_gen_type"];
    if (m.time_hint_for_metadata) m.time_hint_for_metadata(begin);
    std::vector<Metadata> result;
    for (const auto& event : events) {
        if (event.type != type) continue;
        Metadata record = m.provider->get_metadata(event.id);
        record.time = event.time;
        result.push_back(record);
    }
    return result;
}

}  // namespace background
