#include "background/OrderedProvider.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <ios>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "background/Hook.hpp"
#include "format.hpp"
#include "tmio/TMIO.hpp"

namespace background {

namespace fs = std::filesystem;

namespace {

// Each is a file-name prefix and the protocol of the files so named; OP_INTER
// is the protocol of the data files of the interleaved layout.
const std::string OP_DATA = "OP_DATA";
const std::string OP_META = "OP_META";
const std::string OP_HINT = "OP_HINT";
const std::string OP_INTER = "OP_INTER";

constexpr int STRUCT = tmio::TMIO::STRUCT;
constexpr int VECTOR = tmio::TMIO::VECTOR;

std::out_of_range not_found(unsigned long uid) {
    return std::out_of_range(format("Shower with UID {} not found!", uid));
}

// Equal showers give equal files whatever the provider left in a record's
// alignment bytes: they go out as zeros.
void write_metadata(tmio::TMIO& file, const Metadata& metadata) { file.write_struct(STRUCT, metadata); }

Metadata read_metadata(tmio::TMIO& file) {
    // Read aside: a record cut short must not leave half a record behind.
    Metadata metadata;
    file.read_raw(STRUCT, &metadata, sizeof metadata);
    return metadata;
}

void write_pe_list(tmio::TMIO& file, const PEList& list) {
    const std::uint64_t entries = list.size();
    file.write_raw(STRUCT, &entries, sizeof entries);
    for (const auto& [channel, times] : list) {
        const std::int32_t stored = channel;
        file.write_raw(STRUCT, &stored, sizeof stored);
        file.write_array(VECTOR, times.data(), tmio::TMIO::vector_count<double>(times.size()));
    }
}

}  // namespace

struct OrderedProvider::Impl {
    // Orders data and metadata files by the number in their names.
    struct FileComp {
        static int file_number(const fs::path& path);
        bool operator()(const fs::path& a, const fs::path& b) const { return file_number(a) < file_number(b); }
    };

    std::vector<double> hints;
    std::vector<fs::path> meta_files;
    std::vector<fs::path> data_files;
    bool interleaved = false;
    int meta_index = -1;
    int data_index = -1;
    tmio::TMIO meta_stream;
    tmio::TMIO data_stream;
    bool has_cached = false;
    Metadata cached{};
    // Owns nothing: the registered time hint holds a weak copy and does
    // nothing once this, and so the provider, is gone, since the engines keep
    // copies of the hint that may outlive the provider.
    std::shared_ptr<Impl> alive;
    Hook::Handle hook{0};

    int next_file();
    int next_meta_file();
    PEList read_pe_list();
    void skip_to_time(double t);
    tmio::TMIO& metadata_stream() { return interleaved ? data_stream : meta_stream; }
};

int OrderedProvider::Impl::FileComp::file_number(const fs::path& path) {
    const std::string name = path.filename().string();
    const auto underscore = name.rfind('_');
    const auto begin = underscore == std::string::npos ? 0 : underscore + 1;
    const auto dot = name.find('.', begin);
    return std::stoi(name.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin));
}

int OrderedProvider::Impl::next_file() {
    has_cached = false;
    ++data_index;
    if (static_cast<std::size_t>(data_index) >= data_files.size()) data_index = 0;
    // The open file stays open until the next one has opened.
    data_stream = tmio::TMIO(data_files[static_cast<std::size_t>(data_index)], std::ios::in,
                             interleaved ? OP_INTER : OP_DATA);
    return data_index;
}

int OrderedProvider::Impl::next_meta_file() {
    has_cached = false;
    if (interleaved) return next_file();
    ++meta_index;
    if (static_cast<std::size_t>(meta_index) >= meta_files.size()) meta_index = 0;
    meta_stream = tmio::TMIO(meta_files[static_cast<std::size_t>(meta_index)], std::ios::in, OP_META);
    return meta_index;
}

PEList OrderedProvider::Impl::read_pe_list() {
    std::uint64_t entries = 0;
    data_stream.read_raw(STRUCT, &entries, sizeof entries);
    PEList list;
    if (entries > list.max_size()) throw std::length_error("cannot create std::vector larger than max_size()");
    // Built as the entries arrive: the count is only what the file claims.
    for (std::uint64_t i = 0; i < entries; ++i) {
        std::int32_t channel = 0;
        data_stream.read_raw(STRUCT, &channel, sizeof channel);
        list.emplace_back(channel, data_stream.read_vector<double>());
    }
    return list;
}

void OrderedProvider::Impl::skip_to_time(double t) {
    // The number of hint values not after t, by the comparison an upper
    // bound makes (so a NaN t goes to the last batch), in a binary search
    // written out so that it also ends on one of the batches when the values
    // are not ascending (a directory written from events out of time order).
    std::size_t low = 0;
    std::size_t high = hints.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (!(t < hints[middle]))
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0) return;
    const int target = static_cast<int>(low - 1);
    // The open batch is not reopened: reading goes on where it is.
    if (data_index != target) {
        data_index = target - 1;
        next_file();
    }
    if (!interleaved && meta_index != target) {
        meta_index = target - 1;
        next_meta_file();
    }
}

OrderedProvider::OrderedProvider(fs::path dir, int hook_id) : impl(std::make_unique<Impl>()) {
    Impl& m = *impl;
    if (!fs::is_directory(fs::status(dir)))
        throw std::ios_base::failure(format("{} does not exist or is no directory!", dir.native()));
    fs::path hint_file;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 7) continue;
        const std::string_view head(name.data(), 7);
        if (head == OP_META)
            m.meta_files.push_back(entry.path());
        else if (head == OP_DATA)
            m.data_files.push_back(entry.path());
        else if (head == OP_HINT)
            hint_file = entry.path();
    }
    if (m.data_files.empty())
        throw std::ios_base::failure(format("No OrderedProvider data files found in {}!", dir.native()));
    std::ranges::sort(m.data_files, Impl::FileComp{});
    std::ranges::sort(m.meta_files, Impl::FileComp{});
    {
        tmio::TMIO hints(hint_file, std::ios::in, OP_HINT);
        m.hints = hints.read_vector<double>();
        hints.close();
    }
    m.interleaved = m.meta_files.empty();
    if (m.data_files.size() != m.hints.size() || (!m.interleaved && m.meta_files.size() != m.data_files.size()))
        throw std::ios_base::failure(format("Files found in {} do not match OrderedProvider protocol!", dir.native()));
    m.meta_index = m.data_index = -1;
    m.has_cached = false;
    if (hook_id > 0) {
        m.alive = std::shared_ptr<Impl>(&m, [](Impl*) {});
        std::function<void(double)> hint = [provider = std::weak_ptr<Impl>(m.alive)](double t) {
            if (auto live = provider.lock()) live->skip_to_time(t);
        };
        // Taken over from whoever registered under the id before.
        Hook::remove(hook_id);
        m.hook = Hook::set(hook_id, std::move(hint));
    }
}

OrderedProvider::~OrderedProvider() = default;

void OrderedProvider::skip_to_time(double t) { impl->skip_to_time(t); }

Metadata OrderedProvider::get_metadata(unsigned long uid) {
    Impl& m = *impl;
    if (m.has_cached && m.cached.uid == uid) return m.cached;
    int start = m.interleaved ? m.data_index : m.meta_index;
    if (start == -1) start = m.next_meta_file();
    bool wrapped = false;
    // Forward through the files, cyclically: the start file from where it
    // is, every other file whole, then the start file once more from its
    // beginning. Any read failure ends the file at hand.
    for (;;) {
        try {
            for (;;) {
                if (m.interleaved && m.has_cached) {
                    m.has_cached = false;
                    m.read_pe_list();
                }
                m.cached = read_metadata(m.metadata_stream());
                m.has_cached = true;
                if (m.cached.uid == uid) return m.cached;
            }
        } catch (const std::ios_base::failure&) {
            if (wrapped) throw not_found(uid);
            wrapped = m.next_meta_file() == start;
        }
    }
}

PEList OrderedProvider::get_pe_list(unsigned long uid) {
    Impl& m = *impl;
    if (m.interleaved) {
        // The p.e. list is the one behind the record that get_metadata finds.
        get_metadata(uid);
        m.has_cached = false;
        return m.read_pe_list();
    }
    int start = m.data_index;
    if (start == -1) start = m.next_file();
    bool wrapped = false;
    for (;;) {
        try {
            for (;;) {
                std::uint64_t found = 0;
                m.data_stream.read_raw(STRUCT, &found, sizeof found);
                if (found == uid) return m.read_pe_list();
                m.read_pe_list();
            }
        } catch (const std::ios_base::failure&) {
            if (wrapped) throw not_found(uid);
            wrapped = m.next_file() == start;
        }
    }
}

std::vector<Metadata> OrderedProvider::get_all_metadata() {
    Impl& m = *impl;
    std::vector<Metadata> result;
    m.meta_index = -1;
    if (m.interleaved) m.data_index = -1;
    const int start = m.next_meta_file();
    for (;;) {
        try {
            for (;;) {
                result.push_back(read_metadata(m.metadata_stream()));
                if (m.interleaved) m.read_pe_list();
            }
        } catch (const std::ios_base::failure&) {
            if (m.next_meta_file() == start) return result;
        }
    }
}

void OrderedProvider::order_events(fs::path dir, ShowerProvider& provider, std::vector<BackgroundEvent>& events,
                                   unsigned long per_file, bool drop_empty, bool interleaved, bool fetch_together) {
    if (per_file == 0) throw std::invalid_argument("Number of events per file must be at least 1!");
    try {
        fs::create_directory(dir);
    } catch (...) {
        std::throw_with_nested(std::ios_base::failure("Failed to create directory"));
    }
    // Every "OP" entry goes, also files of an earlier, longer run.
    std::vector<fs::path> stale;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().starts_with("OP")) stale.push_back(entry.path());
    for (const auto& path : stale) fs::remove(path);

    const std::size_t n = events.size();
    const std::size_t batches = n / per_file + (n % per_file != 0 ? 1 : 0);
    std::vector<double> hints;
    hints.reserve(batches);
    // Positions in `events` of the events not written, ascending.
    std::vector<std::size_t> dropped;
    std::vector<unsigned long> uids;
    std::vector<Metadata> metadata;
    std::vector<PEList> pe_lists;
    for (std::size_t k = 0; k < batches; ++k) {
        const std::size_t first = k * per_file;
        const std::size_t last = first + std::min<std::size_t>(per_file, n - first);
        hints.push_back(events[first].time);

        // The provider is asked in UID order, which a provider that reads
        // forward serves best.
        uids.clear();
        for (std::size_t i = first; i < last; ++i) uids.push_back(events[i].id);
        std::ranges::sort(uids);
        metadata.clear();
        pe_lists.clear();
        metadata.reserve(uids.size());
        pe_lists.reserve(uids.size());
        if (fetch_together) {
            for (unsigned long uid : uids) {
                metadata.push_back(provider.get_metadata(uid));
                pe_lists.push_back(provider.get_pe_list(uid));
            }
        } else {
            for (unsigned long uid : uids) metadata.push_back(provider.get_metadata(uid));
            for (unsigned long uid : uids) pe_lists.push_back(provider.get_pe_list(uid));
        }

        tmio::TMIO data(dir / format("{}_{}.tmio", OP_DATA, k), std::ios::out, interleaved ? OP_INTER : OP_DATA);
        tmio::TMIO meta;
        if (!interleaved) meta = tmio::TMIO(dir / format("{}_{}.tmio", OP_META, k), std::ios::out, OP_META);
        for (std::size_t i = first; i < last; ++i) {
            const auto at = static_cast<std::size_t>(std::ranges::lower_bound(uids, events[i].id) - uids.begin());
            if (drop_empty && pe_lists[at].empty()) {
                dropped.push_back(i);
                continue;
            }
            write_metadata(interleaved ? data : meta, metadata[at]);
            if (!interleaved) {
                const std::uint64_t uid = events[i].id;
                data.write_raw(STRUCT, &uid, sizeof uid);
            }
            write_pe_list(data, pe_lists[at]);
        }
        // Checked closes: a file whose last bytes did not reach the disk fails the call.
        data.close();
        meta.close();
    }

    tmio::TMIO hint_file(dir / format("{}.tmio", OP_HINT), std::ios::out, OP_HINT);
    hint_file.write_array(VECTOR, hints.data(), tmio::TMIO::vector_count<double>(hints.size()));
    hint_file.close();

    // Exactly the events not written go, so that the list and the directory
    // describe the same showers.
    if (dropped.empty()) return;
    std::size_t kept = 0;
    auto next_dropped = dropped.begin();
    for (std::size_t i = 0; i < n; ++i) {
        if (next_dropped != dropped.end() && *next_dropped == i) {
            ++next_dropped;
            continue;
        }
        events[kept++] = events[i];
    }
    events.resize(kept);
}

}  // namespace background
