// Throughput of the engine on a dark-count job, and the cost per element of
// AutoMergeList against the number of runs it merges per chunk.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "background/AutoMergeList.hpp"
#include "background/Background.hpp"
#include "background/DarkCountModel.hpp"
#include "background/NPEGenerator.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of this process: on a machine shared with other jobs the wall
// clock also counts the time the process waited for a core.
double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

constexpr int channels = 1000;
constexpr double rate = 2000.0;
constexpr double span = 0.01;
constexpr int seed = 12345;

// The dark-count job: either NPEGenerator and DarkCountModel alone, or the
// same wrapped in a GenericGenerator and a GenericModel as the example does.
std::string settings(bool wrapped) {
    std::string text = "lib:\n  provider: mock\n  num_channels: " + std::to_string(channels) +
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
    text += "    seed: " + std::to_string(seed) + "\n    num_channels: " + std::to_string(channels) +
            "\n    rate: " + std::to_string(rate) + "\n";
    return text;
}

void engine_job(const std::filesystem::path& dir, bool wrapped, int chunks) {
    auto file = dir / (wrapped ? "wrapped.yaml" : "plain.yaml");
    std::ofstream(file) << settings(wrapped);
    background::Background engine(file.string());
    for (int i = 0; i < 50; ++i) engine.next_chunk(span);  // warm-up

    long pes = 0;
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    for (int i = 0; i < chunks; ++i)
        for (const auto& [channel, times] : engine.next_chunk(span)) pes += static_cast<long>(times.size());
    const double wall = seconds_since(start), cpu = cpu_seconds() - cpu_start;
    std::printf("%s: %ld p.e. in %.2f s wall, %.2f s CPU\n",
                wrapped ? "engine, GenericGenerator/GenericModel" : "engine, NPEGenerator/DarkCountModel", pes, wall,
                cpu);
    std::printf("  per wall s: %6.2f M p.e., %6.2f simulated s\n", static_cast<double>(pes) / wall / 1e6,
                chunks * span / wall);
    std::printf("  per CPU s:  %6.2f M p.e., %6.2f simulated s\n", static_cast<double>(pes) / cpu / 1e6,
                chunks * span / cpu);
}

// The parts of one chunk on their own, to show where the engine's time goes.
void breakdown(int chunks) {
    background::DarkCountModel model(rate, channels, seed, 1);
    background::NPEGenerator generator(1);
    double t = 0;
    double sample_time = 0, generate_time = 0;
    long events_total = 0;
    for (int i = 0; i < chunks; ++i) {
        auto start = Clock::now();
        auto events = model.sample(t, t + span);
        sample_time += seconds_since(start);
        start = Clock::now();
        long sink = 0;
        for (const auto& event : events) sink += static_cast<long>(generator.generate(event).front().second.size());
        generate_time += seconds_since(start);
        events_total += sink;
        t += span;
    }
    std::printf("  of which per p.e.: DarkCountModel::sample %.1f ns, NPEGenerator::generate %.1f ns\n",
                sample_time / static_cast<double>(events_total) * 1e9,
                generate_time / static_cast<double>(events_total) * 1e9);
}

// Each chunk: `runs` sorted runs holding `elements` times in all, inserted and
// flattened once, as the engine does per channel.
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
            auto start = Clock::now();
            for (auto& run : copies) list.insert(std::move(run));
            auto flat = list.flatten();
            total += seconds_since(start);
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

// Runs both jobs; "engine" or "merge" as the argument runs one of them.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    if (only == "merge") {
        merge_job();
        return 0;
    }
    auto dir = std::filesystem::temp_directory_path() / ("bench-engine-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    std::printf("Dark-count job: %d channels at %.0f Hz, %.0f ms chunks\n", channels, rate, span * 1e3);
    engine_job(dir, false, 2000);
    breakdown(2000);
    engine_job(dir, true, 2000);
    std::filesystem::remove_all(dir);
    if (only != "engine") merge_job();
}
