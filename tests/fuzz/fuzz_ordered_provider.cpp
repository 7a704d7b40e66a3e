// Arbitrary bytes as a time-ordered shower directory. Either the input is cut into the directory's files
// (hint file first, then data files, each followed by its metadata file in the split layout), or a small
// valid directory is written and the input's edits are applied to its files; then the names the input
// ends with are given to the files. The provider is built and
// read in every way a caller reads it; each call returns or throws a std::exception, never crashes, leaks
// or spends memory the files do not back, and what it returns comes from the files.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "background/MockProvider.hpp"
#include "background/OrderedProvider.hpp"

namespace {

namespace fs = std::filesystem;
using namespace background;

// A directory of this process's own. libFuzzer ends without running exit handlers, so it stays behind:
// scripts/fuzz.sh gives every target a temporary directory of its own and clears it.
const fs::path& directory() {
    static const fs::path made = [] {
        std::string name = (fs::temp_directory_path() / "fuzz_ordered_provider.XXXXXX").string();
        if (!mkdtemp(name.data())) std::abort();
        return fs::path(name);
    }();
    return made;
}

void clear() {
    for (const auto& entry : fs::directory_iterator(directory())) fs::remove_all(entry.path());
}

void write(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string data_name(std::size_t k) { return "OP_DATA_" + std::to_string(k) + ".tmio"; }
std::string meta_name(std::size_t k) { return "OP_META_" + std::to_string(k) + ".tmio"; }

constexpr std::string_view SEPARATOR = "#OPFILE#";

// The input cut at every separator into at most 9 files.
void cut_into_files(std::string_view rest, bool interleaved) {
    std::vector<std::string_view> pieces;
    while (pieces.size() < 8) {
        auto at = rest.find(SEPARATOR);
        if (at == std::string_view::npos) break;
        pieces.push_back(rest.substr(0, at));
        rest.remove_prefix(at + SEPARATOR.size());
    }
    pieces.push_back(rest);
    write(directory() / "OP_HINT.tmio", pieces[0]);
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const std::size_t k = interleaved ? i - 1 : (i - 1) / 2;
        const bool meta = !interleaved && (i - 1) % 2 == 1;
        write(directory() / (meta ? meta_name(k) : data_name(k)), pieces[i]);
    }
}

// Three batches of three mock showers, then edits of four bytes each: file, offset (two bytes), value;
// a file byte with its high bit set cuts the file at the offset instead.
void edit_valid_directory(std::string_view edits, bool interleaved) {
    static MockProvider source(16, -2.0, 10.0, 1000.0, 100.0, 0.5);
    std::vector<BackgroundEvent> events;
    for (unsigned long i = 0; i < 9; ++i) events.push_back({0.5 * static_cast<double>(i), 2, (i * 5) % 16});
    OrderedProvider::order_events(directory(), source, events, 3, false, interleaved, true);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory())) files.push_back(entry.path());
    std::ranges::sort(files);
    for (std::size_t i = 0; i + 4 <= edits.size() && i < 64; i += 4) {
        const auto& file = files[static_cast<unsigned char>(edits[i]) % files.size()];
        const auto size = fs::file_size(file);
        if (size == 0) continue;
        const auto offset = (static_cast<unsigned char>(edits[i + 1]) | static_cast<unsigned>(static_cast<unsigned char>(edits[i + 2])) << 8) % size;
        if (static_cast<unsigned char>(edits[i]) & 0x80) {
            fs::resize_file(file, offset);
            continue;
        }
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(offset));
        out.put(edits[i + 3]);
    }
}

constexpr std::string_view NAMES = "#OPNAMES#";

// After the last NAMES, one line per file of the directory as written, in the order of the names: an
// empty line keeps the file, "-" removes it, "+NAME" copies it to NAME as well, any other line renames it.
// So names come that the reader cannot take for numbers or that are out of range, numbers with gaps, and
// directories without a hint file or with two of them. A name that cannot be given is passed over.
std::string_view cut_names(std::string_view& rest) {
    const auto at = rest.rfind(NAMES);
    if (at == std::string_view::npos) return {};
    std::string_view names = rest.substr(at + NAMES.size());
    rest = rest.substr(0, at);
    return names;
}

// A name of a file in the directory itself.
bool in_directory(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void give_names(std::string_view names) {
    if (names.empty()) return;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory())) files.push_back(entry.path());
    std::ranges::sort(files);
    for (const auto& file : files) {
        const auto end = names.find('\n');
        const std::string_view line = names.substr(0, end);
        const bool copy = !line.empty() && line.front() == '+';
        const std::string name(copy ? line.substr(1) : line);
        std::error_code ignored;
        if (name == "-" && !copy)
            fs::remove(file, ignored);
        else if (in_directory(name)) {
            if (copy)
                fs::copy_file(file, directory() / name, fs::copy_options::overwrite_existing, ignored);
            else
                fs::rename(file, directory() / name, ignored);
        }
        if (end == std::string_view::npos) break;
        names.remove_prefix(end + 1);
    }
}

std::uintmax_t directory_bytes() {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(directory()))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

template <class F>
void guarded(F&& call) {
    try {
        call();
    } catch (const std::exception&) {
    }
}

void read_everything(OrderedProvider& provider, double seek) {
    std::vector<Metadata> all;
    guarded([&] { all = provider.get_all_metadata(); });
    // Each record took at least its 72 bytes of a file.
    if (all.size() * 72 > directory_bytes()) std::abort();
    if (all.size() > 12) all.resize(12);
    for (const auto& record : all) {
        guarded([&] {
            if (provider.get_metadata(record.uid).uid != record.uid) std::abort();
        });
        guarded([&] { provider.get_pe_list(record.uid); });
    }
    guarded([&] { provider.skip_to_time(seek); });
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        guarded([&] { provider.get_pe_list(it->uid); });
        guarded([&] { provider.get_metadata(it->uid); });
    }
    guarded([&] { provider.get_metadata(~0ul); });
    guarded([&] { provider.get_pe_list(~0ul); });
}

}  // namespace

// Input: a control byte (bit 0: interleaved layout, bit 1: edit a valid directory instead of cutting the
// input into files, bits 2-7: where a seek goes), then the files or the edits, then the names.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t control = data[0];
    const bool interleaved = control & 1;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view names = cut_names(rest);
    clear();
    try {
        if (control & 2)
            edit_valid_directory(rest, interleaved);
        else
            cut_into_files(rest, interleaved);
    } catch (const std::exception&) {
        return 0;
    }
    give_names(names);
    guarded([&] {
        OrderedProvider provider(directory(), 0);
        read_everything(provider, 0.25 * static_cast<double>(control >> 2) - 1.0);
    });
    return 0;
}
