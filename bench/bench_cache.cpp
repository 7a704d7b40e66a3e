// Event files and model caches: an event file of 10 million events (240 MB) written and read through the
// serializer, against plain write/read calls that move the same bytes (the file's header, then the events'
// memory in one call) into and out of freshly allocated memory; the write also for events with something in
// their alignment bytes, which the writer never reads and writes as zeros; then CachedModel::sample over
// consecutive 10 ms spans of that cache, against copying the same spans out of a vector. Files are in the page cache;
// rates are of process CPU time (the machine is shared); each figure is the median of the rounds.
//
//   bench_cache [rounds (default 5)] [directory (default: the system's temporary directory)]

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "background/CachedModel.hpp"
#include "background/Serializer.hpp"
#include "bench_support.hpp"

namespace {

using background::BackgroundEvent;
namespace fs = std::filesystem;

constexpr size_t event_count = 10'000'000;
constexpr double cache_seconds = 100.0;  // 100 000 events per second: 1000 in a 10 ms span
constexpr double span = 0.01;
constexpr size_t header_bytes = 84;

// Ascending times with a little jitter, types and ids as a model would draw them; value-initialised, so
// their alignment bytes are zero as in the file.
std::vector<BackgroundEvent> make_events() {
    std::vector<BackgroundEvent> events(event_count);
    uint64_t x = 88172645463325252ull;
    for (size_t i = 0; i < event_count; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        double jitter = static_cast<double>(x >> 11) * 0x1p-53;
        events[i].time = (static_cast<double>(i) + jitter) * (cache_seconds / event_count);
        events[i].type = static_cast<int>(x % 3);
        events[i].id = x % 4096;
    }
    return events;
}

// Plain calls write the serializer's header (taken from its file) and then the events' memory.
double plain_write(const fs::path& path, const unsigned char* header, const std::vector<BackgroundEvent>& events) {
    fs::remove(path);
    double start = cpu_seconds();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("open");
    size_t bytes = events.size() * sizeof(BackgroundEvent);
    if (write(fd, header, header_bytes) != static_cast<ssize_t>(header_bytes)) fail("write");
    if (write(fd, events.data(), bytes) != static_cast<ssize_t>(bytes)) fail("write");
    if (close(fd) != 0) fail("close");
    return cpu_seconds() - start;
}

double plain_read(const fs::path& path, size_t file_size, unsigned char& probe) {
    double start = cpu_seconds();
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[file_size]);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    if (read(fd, buffer.get(), file_size) != static_cast<ssize_t>(file_size)) fail("read");
    close(fd);
    probe = buffer[file_size - 1];
    return cpu_seconds() - start;
}

double serializer_write(const fs::path& path, const std::vector<BackgroundEvent>& events) {
    fs::remove(path);
    double start = cpu_seconds();
    background::Serializer::create_default()->write_events(path, events);
    return cpu_seconds() - start;
}

double serializer_read(const fs::path& path, size_t& count) {
    double start = cpu_seconds();
    count = background::Serializer::create_default()->read_events(path).size();
    return cpu_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    const std::string id = std::to_string(getpid());
    const fs::path cache = dir / ("bench_cache_" + id + ".evt");
    const fs::path plain = dir / ("bench_cache_plain_" + id);
    const fs::path interval = fs::path(cache).replace_extension(".cm");

    const auto events = make_events();
    const size_t file_size = header_bytes + events.size() * sizeof(BackgroundEvent);
    const double megabytes = static_cast<double>(file_size) / 1e6;
    std::printf("event file of %zu events (%.1f MB) in %s, page cache; MB/s of CPU time, median of %d\n",
                events.size(), megabytes, dir.c_str(), rounds);

    // The same events with something in their alignment bytes, which the writer must clear.
    auto dirty = events;
    for (auto& e : dirty) std::memset(reinterpret_cast<unsigned char*>(&e) + 12, 0xA5, 4);

    unsigned char header[header_bytes];
    // serializer write, plain write, serializer read, plain read, serializer write of the dirty events
    std::vector<double> times[5];
    for (int round = 0; round < rounds; ++round) {
        times[4].push_back(serializer_write(cache, dirty));
        times[0].push_back(serializer_write(cache, events));
        if (fs::file_size(cache) != file_size) fail("event file size");
        int fd = open(cache.c_str(), O_RDONLY);
        if (fd < 0 || read(fd, header, header_bytes) != static_cast<ssize_t>(header_bytes)) fail("header");
        close(fd);
        times[1].push_back(plain_write(plain, header, events));
        size_t count = 0;
        unsigned char probe = 0;
        times[2].push_back(serializer_read(cache, count));
        if (count != events.size()) fail("read-back");
        times[3].push_back(plain_read(plain, file_size, probe));
    }
    double rate[5];
    for (int i = 0; i < 5; ++i) rate[i] = megabytes / median(times[i]);
    std::printf("  write  plain %8.1f MB/s  serializer %8.1f MB/s  ratio %.2f (target 0.60)\n", rate[1], rate[0],
                rate[0] / rate[1]);
    std::printf("         something in the alignment bytes: serializer %8.1f MB/s  ratio %.2f\n", rate[4],
                rate[4] / rate[1]);
    std::printf("  read   plain %8.1f MB/s  serializer %8.1f MB/s  ratio %.2f (target 0.70)\n", rate[3], rate[2],
                rate[2] / rate[3]);

    // The cache: the event file above and an interval file beside it.
    background::Serializer::create_default()->write_numbers(interval, {0.0, cache_seconds});
    double start = cpu_seconds();
    background::CachedModel model(cache);
    const double load = cpu_seconds() - start;
    const size_t spans = static_cast<size_t>(cache_seconds / span);
    // Span i is [edge(i), edge(i + 1)); the last one ends at the cache's end.
    auto edge = [&](size_t i) { return i == spans ? cache_seconds : static_cast<double>(i) * span; };
    std::vector<double> sample_times, copy_times;
    for (int round = 0; round < rounds; ++round) {
        size_t sampled = 0, copied = 0;
        start = cpu_seconds();
        for (size_t i = 0; i < spans; ++i) sampled += model.sample(edge(i), edge(i + 1)).size();
        sample_times.push_back(cpu_seconds() - start);
        // The reference: the same spans copied out of a vector at positions known beforehand.
        std::vector<size_t> bounds(spans + 1);
        for (size_t i = 0; i <= spans; ++i)
            bounds[i] = static_cast<size_t>(
                std::ranges::lower_bound(events, edge(i), {}, &BackgroundEvent::time) - events.begin());
        start = cpu_seconds();
        for (size_t i = 0; i < spans; ++i)
            copied += std::vector<BackgroundEvent>(events.begin() + static_cast<long>(bounds[i]),
                                                   events.begin() + static_cast<long>(bounds[i + 1]))
                          .size();
        copy_times.push_back(cpu_seconds() - start);
        if (sampled != events.size() || copied != events.size()) fail("spans");
    }
    const double sampled_rate = static_cast<double>(events.size()) / median(sample_times) / 1e6;
    const double copied_rate = static_cast<double>(events.size()) / median(copy_times) / 1e6;
    std::printf("cache loaded in %.3f s of CPU time; %zu consecutive spans of %g ms\n", load, spans, span * 1e3);
    std::printf("  sample %8.1f M events/s  copying the same spans %8.1f M events/s  ratio %.2f\n", sampled_rate,
                copied_rate, sampled_rate / copied_rate);

    std::error_code ignored;
    for (const auto& path : {cache, plain, interval}) fs::remove(path, ignored);
    return 0;
}
