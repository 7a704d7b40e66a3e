// Arbitrary bytes as a model cache: the cache file and its interval file in a directory of its own. Loading
// returns a model or throws a std::exception; a model answers every interval with its events in time order
// inside the interval, and consecutive intervals split the answer of their union.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "background/CachedModel.hpp"

namespace {

namespace fs = std::filesystem;

// A directory of this process's own below the temporary directory, removed by exit handlers. A run that
// ends on its time limit skips them; scripts/fuzz.sh gives every target a temporary directory of its own
// and clears it.
const fs::path& directory() {
    static const struct Directory {
        fs::path path;
        Directory() {
            std::string name = (fs::temp_directory_path() / "fuzz_cached_model.XXXXXX").string();
            if (!mkdtemp(name.data())) std::abort();
            path = name;
        }
        ~Directory() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } made;
    return made.path;
}

// A new file each time: a file system may write a truncated and rewritten file through to disk at once.
void write(const fs::path& path, const uint8_t* data, size_t size) {
    fs::remove(path);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data),
                                                                   static_cast<std::streamsize>(size));
}

// A valid number file of the two doubles in `bounds`.
std::vector<uint8_t> interval_file(const uint8_t* bounds) {
    std::vector<uint8_t> file(100, 0);
    const int32_t headers[] = {-1000000001, -3, 4, 2, 16};
    std::memcpy(file.data(), &headers[0], 4);
    std::memcpy(file.data() + 4, "NUMBER_PROTOCOL", 15);
    std::memcpy(file.data() + 68, &headers[1], 16);
    std::memcpy(file.data() + 84, bounds, 16);
    return file;
}

void check(background::CachedModel& model, double begin, double middle, double end) {
    std::vector<background::BackgroundEvent> whole;
    try {
        whole = model.sample(begin, end);
    } catch (const std::out_of_range&) {
        return;
    }
    for (size_t i = 0; i < whole.size(); ++i) {
        if (!(begin <= whole[i].time && whole[i].time < end)) std::abort();
        if (i > 0 && whole[i].time < whole[i - 1].time) std::abort();
    }
    if (!(begin <= middle && middle <= end)) return;
    auto first = model.sample(begin, middle);
    auto second = model.sample(middle, end);
    if (first.size() + second.size() != whole.size()) std::abort();
    first.insert(first.end(), second.begin(), second.end());
    if (!whole.empty() && std::memcmp(first.data(), whole.data(), whole.size() * sizeof whole[0]) != 0) std::abort();
}

}  // namespace

// Input: one control byte; with its bit 0 the interval file is made valid from the last 16 bytes; the
// next two bytes give where the cache file ends and the interval file starts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 19) return 0;
    const uint8_t control = data[0];
    const size_t split = (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % (size - 2);
    const uint8_t* rest = data + 3;
    const size_t rest_size = size - 3;
    const fs::path cache = directory() / "cache.evt";
    write(cache, rest, std::min(split, rest_size));
    if (control & 1) {
        auto numbers = interval_file(data + size - 16);
        write(directory() / "cache.cm", numbers.data(), numbers.size());
    } else {
        write(directory() / "cache.cm", rest + std::min(split, rest_size), rest_size - std::min(split, rest_size));
    }
    try {
        background::CachedModel model(cache);
        double bounds[2];
        std::memcpy(bounds, data + size - 16, 16);
        check(model, bounds[0], 0.5 * (bounds[0] + bounds[1]), bounds[1]);
    } catch (const std::exception&) {
    }
    return 0;
}
