#include "background/SimulationProvider.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <ios>
#include <stdexcept>
#include <utility>

#include "background/XCDFReader.hpp"
#include "format.hpp"

namespace background {

namespace {

// get_all_metadata reserves this many records per file it reads, so that
// typical files fill the result without reallocation, but never more than
// MAX_RESERVED_SHOWERS (64 MiB of records) however many files there are.
constexpr std::size_t RESERVED_SHOWERS_PER_FILE = 50000;
constexpr std::size_t MAX_RESERVED_SHOWERS = std::size_t{1} << 20;

// One cut-off interval of a channel: where its p.e.s start in the channel's
// sorted times, and how many there are.
struct Bin {
    std::size_t start;
    std::size_t count;
};

// The times of one channel, ascending and absolute, made relative to the
// earliest; with more than `cutoff_pes` of them (and `cutoff_pes` not
// negative) only the earliest `cutoff_pes` of every interval of `interval`
// seconds, counted from the earliest p.e., are kept.
std::vector<double> channel_times(const std::vector<double>& times, int cutoff_pes, double interval) {
    const std::size_t m = times.size();
    const double t0 = times.front();
    std::vector<double> result;
    if (cutoff_pes < 0 || m <= static_cast<std::size_t>(cutoff_pes)) {
        result.reserve(m);
        for (double time : times) result.push_back(time - t0);
        return result;
    }

    // Bins are made all at once, so their count must be one a vector holds;
    // anything else would bin without end or convert out of range.
    if (!(interval > 0)) throw std::invalid_argument(format("Cut-off interval {} s is not positive!", interval));
    const double count = std::ceil((times.back() - t0) / interval);
    if (!(count < static_cast<double>(std::vector<Bin>().max_size())))
        throw std::invalid_argument(
            format("Cut-off interval {} s makes {} bins, more than a vector can hold!", interval, count));
    std::vector<Bin> bins(std::max<std::size_t>(1, static_cast<std::size_t>(count)));

    // Bin b holds the p.e.s in (t0 + (b - 1) I, t0 + b I]; the first also t0.
    std::size_t start = 0;
    for (std::size_t b = 0; b < bins.size(); ++b) {
        const double edge = static_cast<double>(b + 1) * interval + t0;
        const auto end = static_cast<std::size_t>(std::ranges::upper_bound(times, edge) - times.begin());
        bins[b] = {start, end - start};
        start = end;
    }
    const auto keep = static_cast<std::size_t>(cutoff_pes);
    for (const Bin& bin : bins)
        for (std::size_t i = bin.start; i < bin.start + std::min(bin.count, keep); ++i)
            result.push_back(times[i] - t0);
    return result;
}

}  // namespace

struct SimulationProvider::Impl {
    Impl(std::filesystem::path dir, int file_limit, int cutoff_pes, double cutoff_interval, bool warn_unverified)
        : dir(std::move(dir)),
          file_limit(file_limit),
          cutoff_pes(cutoff_pes),
          cutoff_interval(cutoff_interval),
          warn_unverified(warn_unverified) {}

    void read(unsigned long uid);

    std::filesystem::path dir;
    int file_limit;
    int cutoff_pes;
    double cutoff_interval;
    bool warn_unverified;
    std::map<unsigned long, std::filesystem::path> index;
    std::filesystem::path current_file;
    XCDFReader reader;
    unsigned long current_uid = 0;
};

// Moves the reader onto shower `uid`: forward within the open file, or from
// the start of a freshly opened one.
void SimulationProvider::Impl::read(unsigned long uid) {
    const unsigned long key = uid & FILE_KEY_MASK;
    const auto found = index.find(key);
    if (found == index.end())
        throw std::out_of_range(format("Shower UID {} is not recognized by this provider!", uid));
    const std::filesystem::path& file = found->second;
    if (file != current_file || uid < current_uid) {
        reader = XCDFReader(file, true, true);
        current_file = file;
        current_uid = key;
    }
    // A reader that found no further shower, or failed to read one, stands on no shower that current_uid
    // names: the next request reopens.
    try {
        while (current_uid < uid) {
            if (!reader.next()) throw std::out_of_range(format("Shower with UID {} not found!", uid));
            ++current_uid;
        }
    } catch (...) {
        current_file.clear();
        throw;
    }
}

SimulationProvider::SimulationProvider(std::filesystem::path dir, int file_limit, int cutoff_pes,
                                       double cutoff_interval, bool warn_unverified)
    : impl(std::make_unique<Impl>(std::move(dir), file_limit, cutoff_pes, cutoff_interval, warn_unverified)) {
    make_index(impl->dir, impl->index);
}

SimulationProvider::~SimulationProvider() = default;

void SimulationProvider::make_index(std::filesystem::path dir, std::map<unsigned long, std::filesystem::path>& index) {
    if (!std::filesystem::is_directory(std::filesystem::status(dir)))
        throw std::ios_base::failure(format("{} is no directory!", dir.string()));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::filesystem::path& file = entry.path();
        if (file.extension() != ".xcd") continue;
        const unsigned long key = std::filesystem::hash_value(file.filename()) & FILE_KEY_MASK;
        auto [slot, added] = index.try_emplace(key, file);
        if (added) continue;
        // The later file wins; say so, or the earlier one's showers vanish unseen.
        std::cerr << format("[WARNING] Simulation files {} and {} have the same file key, only {} is served!\n",
                            slot->second.string(), file.string(), file.string());
        slot->second = file;
    }
    if (index.empty()) throw std::ios_base::failure(format("{} does not contain simulation files!", dir.string()));
}

std::vector<Metadata> SimulationProvider::get_all_metadata() {
    std::size_t files = impl->index.size();
    if (impl->file_limit >= 0) files = std::min(files, static_cast<std::size_t>(impl->file_limit));
    std::vector<Metadata> result;
    result.reserve(files > MAX_RESERVED_SHOWERS / RESERVED_SHOWERS_PER_FILE ? MAX_RESERVED_SHOWERS
                                                                            : files * RESERVED_SHOWERS_PER_FILE);

    int visited = 0;
    for (const auto& [key, file] : impl->index) {
        if (visited == impl->file_limit) break;
        XCDFReader reader(file, true, false);
        for (unsigned long k = 1; reader.next(); ++k) {
            Metadata shower = reader.get_metadata();
            if (shower.uid != k) {
                std::ios_base::failure gap(
                    format("XCDFReader provided non continuous ids: expected {} but got {}! Verify input file {}!", k,
                           shower.uid, file.string()));
                if (!impl->warn_unverified) throw gap;
                std::cerr << "[WARNING] Ignoring exception thrown during metadata loading:\n\t" << gap.what() << "\n";
                break;
            }
            shower.uid = key + k;
            result.push_back(shower);
        }
        ++visited;
    }
    return result;
}

Metadata SimulationProvider::get_metadata(unsigned long uid) {
    impl->read(uid);
    Metadata shower = impl->reader.get_metadata();
    shower.uid += uid & FILE_KEY_MASK;
    return shower;
}

PEList SimulationProvider::get_pe_list(unsigned long uid) {
    impl->read(uid);
    auto pes = impl->reader.get_pe_data();
    // A corrupt file may hold any time; sorting needs times that compare.
    for (const auto& pe : pes)
        if (!std::isfinite(pe.time))
            throw std::ios_base::failure(
                format("Shower with UID {} has a non-finite p.e. time {} on channel {}!", uid, pe.time, pe.channel));
    // Channel groups in ascending channel order, each in ascending time order.
    std::ranges::sort(pes, {}, &XCDFReader::PEData::time);
    std::ranges::stable_sort(pes, {}, &XCDFReader::PEData::channel);

    PEList result;
    std::vector<double> times;
    for (auto group = pes.begin(); group != pes.end();) {
        const int channel = group->channel;
        times.clear();
        for (; group != pes.end() && group->channel == channel; ++group) times.push_back(group->time);
        result.emplace_back(channel, channel_times(times, impl->cutoff_pes, impl->cutoff_interval));
    }
    return result;
}

}  // namespace background
