// The engine against a plain channel-by-channel loop in the same run, on two
// dark-count shapes; the chunk cost over a long run of the example settings,
// whose shower p.e.s pile up for later chunks; the memory a large chunk
// takes and what stays once the engine is gone; and the cost per element of
// AutoMergeList against the number of runs it merges.
//
// Arguments: the jobs to run ("dark", "many", "carry", "memory", "merge"),
// all of them by default.

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "background/AutoMergeList.hpp"
#include "background/Background.hpp"

namespace {

// CPU time of this process: on a machine shared with other jobs the wall
// clock also counts the time the process waited for a core.
double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

constexpr int seed = 12345;
constexpr double span = 0.01;

struct Shape {
    const char* name;
    int channels;
    double rate;
    int chunks;
};

std::string dark_settings(const Shape& shape, bool wrapped) {
    std::string text = "lib:\n  provider: mock\n  num_channels: " + std::to_string(shape.channels) +
                       "\n  start_time: 0.0\n  meta_gen_type: 2\n";
    text += wrapped ? "  generator: by_type\n  model: all\n" : "  generator: pe\n  model: dark\n";
    text += R"(
providers:
  mock: {class: MockProvider, num_showers: 10, index: -2.7, e_min: 100.0, e_max: 1.0e5, r_max: 1000.0, theta_max: 0.7}
generators:
  pe: {class: NPEGenerator, num_pe: 1}
  by_type: {class: GenericGenerator, generators: {pe: 1}}
models:
  all: {class: GenericModel, models: {dark: ~}}
  dark:
    class: DarkCountModel
    gen_type: 1
)";
    text += "    seed: " + std::to_string(seed) + "\n    num_channels: " + std::to_string(shape.channels) +
            "\n    rate: " + std::to_string(shape.rate) + "\n";
    return text;
}

// CPU nanoseconds per p.e. of `chunk` over the shape's chunks, after a few
// chunks of warm-up.
double ns_per_pe(const Shape& shape, const std::function<long()>& chunk) {
    for (int i = 0; i < std::max(2, shape.chunks / 20); ++i) chunk();
    long pes = 0;
    const double start = cpu_seconds();
    for (int i = 0; i < shape.chunks; ++i) pes += chunk();
    return (cpu_seconds() - start) / static_cast<double>(pes) * 1e9;
}

long count_pes(const background::PEList& chunk) {
    long pes = 0;
    for (const auto& [channel, times] : chunk) pes += static_cast<long>(times.size());
    return pes;
}

// The same job written plainly: the standard engine and distributions, one
// vector per channel, sorted, handed over in a PEList.
class PlainLoop {
public:
    explicit PlainLoop(const Shape& shape) : shape(shape), engine(seed) {}
    background::PEList chunk() {
        const double begin = next;
        next += span;
        std::poisson_distribution<int> count(shape.rate * span);
        std::uniform_real_distribution<double> time(begin, next);
        background::PEList result;
        for (int c = 0; c < shape.channels; ++c) {
            const int n = count(engine);
            if (n == 0) continue;
            std::vector<double> times(static_cast<std::size_t>(n));
            for (double& t : times) t = time(engine);
            std::sort(times.begin(), times.end());
            result.emplace_back(c, std::move(times));
        }
        return result;
    }

private:
    Shape shape;
    std::mt19937_64 engine;
    double next = 0.0;
};

void dark_job(const std::filesystem::path& dir, const Shape& shape) {
    std::printf("%s: %d channels at %.0f Hz, %.0f ms chunks, %d chunks; CPU ns per p.e.\n", shape.name,
                shape.channels, shape.rate, span * 1e3, shape.chunks);
    for (bool wrapped : {false, true}) {
        auto file = dir / (std::string(shape.name) + (wrapped ? "-wrapped.yaml" : ".yaml"));
        std::ofstream(file) << dark_settings(shape, wrapped);
        background::Background engine(file.string());
        const double ns = ns_per_pe(shape, [&] { return count_pes(engine.next_chunk(span)); });
        std::printf("  engine, %-38s %6.1f ns  (%.1f M p.e./s)\n",
                    wrapped ? "GenericGenerator/GenericModel:" : "NPEGenerator/DarkCountModel:", ns, 1e3 / ns);
    }
    PlainLoop plain(shape);
    const double ns = ns_per_pe(shape, [&] { return count_pes(plain.chunk()); });
    std::printf("  reference, %-35s %6.1f ns  (%.1f M p.e./s)\n", "plain loop, standard distributions:", ns,
                1e3 / ns);
}

// The example settings over 40 s: the mock's shower p.e.s come uid seconds
// after their showers, so the p.e.s carried over grow all through the run.
void carry_job() {
    background::Background engine(BACKGROUND_SOURCE_DIR "/examples/background.yaml");
    const int chunks_per_second = 100, seconds = 40;
    std::vector<double> ms_per_second;
    for (int s = 0; s < seconds; ++s) {
        const double start = cpu_seconds();
        for (int i = 0; i < chunks_per_second; ++i) engine.next_chunk(span);
        ms_per_second.push_back((cpu_seconds() - start) / chunks_per_second * 1e3);
    }
    auto mean = [&](int from, int to) {
        double sum = 0;
        for (int s = from; s < to; ++s) sum += ms_per_second[static_cast<std::size_t>(s)];
        return sum / (to - from);
    };
    std::printf("\nCarry-over: example settings, %d s in %.0f ms chunks; CPU ms per chunk\n", seconds, span * 1e3);
    std::printf("  seconds 1-5: %.3f ms   seconds 36-40: %.3f ms   (ratio %.2f)\n", mean(0, 5),
                mean(seconds - 5, seconds), mean(seconds - 5, seconds) / mean(0, 5));
}

// A field of /proc/self/status in KiB: VmRSS (resident now) or VmHWM (the
// peak since the last reset).
long status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// In a child, so that the peak belongs to this job alone.
void memory_job(const std::filesystem::path& dir) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child != 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return;
    }
    const Shape shape{"memory", 1000, 2000.0, 1};
    auto file = dir / "memory.yaml";
    std::ofstream(file) << dark_settings(shape, false);
    malloc_trim(0);
    const long before_heap = static_cast<long>(mallinfo2().uordblks), before_rss = status_kib("VmRSS");
    reset_peak();
    long pes = 0, peak = 0;
    {
        background::Background engine(file.string());
        {
            auto chunk = engine.next_chunk(5.0);
            pes = count_pes(chunk);
            peak = status_kib("VmHWM");
        }
    }
    malloc_trim(0);
    const long after_heap = static_cast<long>(mallinfo2().uordblks), after_rss = status_kib("VmRSS");
    std::printf("\nMemory: one 5 s chunk on %d channels at %.0f Hz, %ld p.e.\n", shape.channels, shape.rate, pes);
    std::printf("  peak resident growth: %.1f bytes per p.e. (the chunk's times alone: 8)\n",
                static_cast<double>(peak - before_rss) * 1024 / static_cast<double>(pes));
    std::printf("  after engine and chunk are dropped: heap in use %+ld bytes, resident %+ld KiB\n",
                after_heap - before_heap, after_rss - before_rss);
    std::fflush(stdout);
    _exit(0);
}

// Each chunk: `runs` sorted runs holding `elements` times in all, inserted and
// flattened once, as the plain engine does per channel.
void merge_job() {
    constexpr std::size_t elements = 1 << 16;
    std::mt19937_64 engine(1);
    std::uniform_real_distribution<double> time(0.0, 1.0);
    std::printf("\nAutoMergeList, %zu elements per chunk:\n%10s %14s %18s\n", elements, "runs", "ns per element",
                "ns / log2(runs)");
    for (std::size_t runs = 1; runs <= elements; runs *= 4) {
        std::vector<std::vector<double>> input(runs);
        for (std::size_t i = 0; i < elements; ++i) input[i % runs].push_back(time(engine));
        for (auto& run : input) std::ranges::sort(run);

        const int repeats = 40;
        background::AutoMergeList<double> list;
        double total = 0;
        for (int r = 0; r < repeats; ++r) {
            auto copies = input;  // outside the timing
            const double start = cpu_seconds();
            for (auto& run : copies) list.insert(std::move(run));
            auto flat = list.flatten();
            total += cpu_seconds() - start;
            if (flat.size() != elements) std::printf("lost elements!\n");
        }
        const double per_element = total / repeats / static_cast<double>(elements) * 1e9;
        if (runs == 1)
            std::printf("%10zu %14.2f %18s\n", runs, per_element, "-");
        else
            std::printf("%10zu %14.2f %18.2f\n", runs, per_element, per_element / std::log2(static_cast<double>(runs)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> jobs(argv + 1, argv + argc);
    if (jobs.empty()) jobs = {"dark", "many", "carry", "memory", "merge"};
    auto dir = std::filesystem::temp_directory_path() / ("bench-engine-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    for (const auto& job : jobs) {
        if (job == "dark")
            dark_job(dir, {"Dark counts", 1000, 2000.0, 2000});
        else if (job == "many")
            dark_job(dir, {"Many channels", 64170, 7000.0, 10});
        else if (job == "carry")
            carry_job();
        else if (job == "memory")
            memory_job(dir);
        else if (job == "merge")
            merge_job();
        else
            std::printf("unknown job %s\n", job.c_str());
    }
    std::filesystem::remove_all(dir);
}
