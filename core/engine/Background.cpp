#include "background/Background.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>

#include "background/DarkCountModel.hpp"
#include "background/Factory.hpp"
#include "background/Hook.hpp"
#include "background/Settings.hpp"
#include "ChannelList.hpp"
#include "Composition.hpp"
#include "format.hpp"

namespace background {

struct Background::Impl {
    explicit Impl(Settings settings) : settings(std::move(settings)) {}

    Settings settings;
    std::unique_ptr<ShowerProvider> provider;
    std::unique_ptr<EventGenerator> generator;
    std::unique_ptr<BackgroundModel> model;
    // The pending p.e.s of each channel, as an AutoMergeList per channel
    // would hold them (see ChannelList).
    std::vector<detail::ChannelList> channel_lists;
    double next_time = 0.0;
    bool seek_pending = false;
    std::function<void(double)> time_hint_for_metadata;
    std::function<void(double)> time_hint_for_chunks;

    // Dark counts alone, each event made into `dark_copies` p.e.s on its
    // channel by an NPEGenerator: drawn channel by channel straight into the
    // lists, which skips the events and their sort.
    DarkCountModel* dark_counts = nullptr;
    int dark_copies = 0;
    // Event types whose events the generator makes into copies of their time
    // on their channel, and how many; nullopt where generate() is needed.
    std::vector<std::pair<int, std::optional<int>>> copies_by_type;
    detail::FlushScratch scratch;
    std::vector<double> drawn;
    detail::DarkCountDraws::Scratch draw_scratch;
    std::size_t last_result_size = 0;

    std::optional<int> copies_for(int type);
    void start_chunk(double begin, const std::function<void()>& on_hint_failure);
    void add_events(const std::vector<BackgroundEvent>& events);
    PEList draw_dark_counts(double begin, double end);
    PEList flush(double end);
    void flush_channel(std::size_t channel, double end, PEList& result);
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
    using detail::Composition;
    if (auto* dark = Composition::sole_dark_count_model(*impl->model)) {
        const auto copies = Composition::copies_per_event(*impl->generator, Composition::event_type(*dark));
        // Channels beyond the lists fail in the general path with its error.
        if (copies && Composition::channels(*dark) <= impl->channel_lists.size()) {
            impl->dark_counts = dark;
            impl->dark_copies = *copies;
        }
    }
    double start_time = lib["start_time"];
    seek(start_time);
}

Background::~Background() = default;

std::optional<int> Background::Impl::copies_for(int type) {
    for (const auto& [known, copies] : copies_by_type)
        if (known == type) return copies;
    copies_by_type.emplace_back(type, detail::Composition::copies_per_event(*generator, type));
    return copies_by_type.back().second;
}

// The seek's part of a chunk, once the model has been sampled.
void Background::Impl::start_chunk(double begin, const std::function<void()>& on_hint_failure) {
    if (!seek_pending) return;
    seek_pending = false;
    // Dropped before the hint runs, so that a failing hint cannot leave
    // p.e.s from before the seek to come out with later chunks.
    for (auto& list : channel_lists) list.clear();
    if (!time_hint_for_chunks) return;
    try {
        time_hint_for_chunks(begin);
    } catch (...) {
        on_hint_failure();
        throw;
    }
}

void Background::Impl::add_events(const std::vector<BackgroundEvent>& events) {
    const std::size_t num_lists = channel_lists.size();
    auto list_of = [&](int channel) -> detail::ChannelList& {
        if (channel < 0 || static_cast<std::size_t>(channel) >= num_lists)
            throw std::out_of_range(
                format("Generated data for channel {}, but only {} channels in array!", channel, num_lists));
        return channel_lists[static_cast<std::size_t>(channel)];
    };
    for (const auto& event : events) {
        // An NPEGenerator's entry goes straight into the list, without the
        // PEList that generate() would allocate for it.
        if (auto copies = copies_for(event.type)) {
            list_of(static_cast<int>(event.id)).add_copies(event.time, *copies);
            continue;
        }
        const PEList lists = generator->generate(event);
        for (const auto& [channel, times] : lists) list_of(channel).add_run(times.data(), times.data() + times.size());
    }
}

void Background::Impl::flush_channel(std::size_t channel, double end, PEList& result) {
    auto& list = channel_lists[channel];
    if (!list.has_runs()) return;
    std::vector<double> out;
    list.flush(end, out, scratch);
    if (!out.empty()) result.emplace_back(static_cast<int>(channel), std::move(out));
}

// Everything up to and including the chunk end leaves; the rest stays.
PEList Background::Impl::flush(double end) {
    PEList result;
    result.reserve(last_result_size);
    for (std::size_t channel = 0; channel < channel_lists.size(); ++channel) flush_channel(channel, end, result);
    last_result_size = result.size();
    return result;
}

// The chunk of a lone DarkCountModel, channel by channel: each channel's
// times are drawn, sorted and flushed before the next channel is drawn.
PEList Background::Impl::draw_dark_counts(double begin, double end) {
    // Refuses the interval, as sample() would, before anything changes.
    auto draws = detail::Composition::draws(*dark_counts, begin, end);
    start_chunk(begin, [&] {
        // The model was sampled before the hint ran: its draws are made.
        for (unsigned long c = 0; c < draws.channels(); ++c) {
            draws.next_channel(drawn);
            drawn.clear();
        }
    });
    PEList result;
    result.reserve(last_result_size);
    for (std::size_t channel = 0; channel < channel_lists.size(); ++channel) {
        if (channel < draws.channels()) {
            draws.next_channel_sorted(drawn, draw_scratch);
            channel_lists[channel].add_drawn(drawn, dark_copies);
        }
        flush_channel(channel, end, result);
    }
    last_result_size = result.size();
    return result;
}

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

    if (m.dark_counts) return m.draw_dark_counts(begin, end);
    const auto events = m.model->sample(begin, end);
    m.start_chunk(begin, [] {});
    m.add_events(events);
    return m.flush(end);
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
