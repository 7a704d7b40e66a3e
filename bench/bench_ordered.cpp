// Replays from a time-ordered shower directory. Throughput: the showers per second that a
// ProviderGenerator serves in time order from an OrderedProvider, beside the same events served from
// the MockProvider the directory was written from (in memory). Seeks: the CPU time from a seek to the
// first chunk after it, against the number of batches of the directory, with the engine's time hints
// and without them (when the provider has to search for the shower).
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "background/Background.hpp"
#include "background/CachedModel.hpp"
#include "background/MockProvider.hpp"
#include "background/OrderedProvider.hpp"
#include "background/ProviderGenerator.hpp"
#include "bench_support.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
namespace fs = std::filesystem;

constexpr unsigned long SHOWERS = 10000;
constexpr double RATE = 1000.0;  // events per second

std::unique_ptr<MockProvider> source() {
    return std::make_unique<MockProvider>(SHOWERS, -2.0, 1000.0, 1e6, 100.0, 0.5);
}

// `count` events RATE per second apart, of showers drawn at random.
std::vector<BackgroundEvent> events(std::size_t count) {
    std::mt19937_64 engine(11);
    std::uniform_int_distribution<unsigned long> uid(0, SHOWERS - 1);
    std::vector<BackgroundEvent> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back({static_cast<double>(i) / RATE, 2, uid(engine)});
    return out;
}

double serve_all(std::unique_ptr<ShowerProvider> provider, const std::vector<BackgroundEvent>& all) {
    ProviderGenerator generator(std::move(provider));
    std::size_t pes = 0;
    const double start = cpu_seconds();
    for (const auto& event : all) pes += generator.generate(event).size();
    const double seconds = cpu_seconds() - start;
    if (pes != all.size()) fail("serving the showers");
    return static_cast<double>(all.size()) / seconds;
}

void throughput(const fs::path& dir) {
    const auto all = events(200000);
    auto written = all;
    auto mock = source();
    OrderedProvider::order_events(dir / "throughput", *mock, written, 1000, false, false, true);
    std::vector<double> ordered, memory;
    for (int round = 0; round < 5; ++round) {
        ordered.push_back(serve_all(std::make_unique<OrderedProvider>(dir / "throughput", 0), all));
        memory.push_back(serve_all(source(), all));
    }
    const double o = median(ordered), m = median(memory);
    std::printf("replay of %zu showers in time order (1 p.e. each, 200 files of 1000)\n", all.size());
    std::printf("  OrderedProvider   %8.3f million showers/s\n", o / 1e6);
    std::printf("  MockProvider      %8.3f million showers/s (in memory)\n", m / 1e6);
    std::printf("  ratio             %8.0f %% (target: at least 50 %%)\n", 100.0 * o / m);
}

// Median CPU time of seek + first chunk over random times, in milliseconds.
double seek_cost(const std::string& settings, double length) {
    Background engine(settings);
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> when(0.0, length - 0.02);
    engine.next_chunk(0.01);
    std::vector<double> costs;
    for (int i = 0; i < 25; ++i) {
        const double start = cpu_seconds();
        engine.seek(when(random));
        engine.next_chunk(0.01);
        costs.push_back(cpu_seconds() - start);
    }
    return 1e3 * median(costs);
}

void seeks(const fs::path& dir) {
    std::printf("seek to a random time, then one chunk of 10 ms (batches of 100 events, %g events/s)\n", RATE);
    std::printf("  %8s %10s %16s %16s\n", "batches", "events", "with hints ms", "without ms");
    for (std::size_t batches : {10, 100, 1000}) {
        const fs::path run = dir / ("seek" + std::to_string(batches));
        fs::create_directory(run);
        auto all = events(100 * batches);
        const double length = static_cast<double>(all.size()) / RATE;
        CachedModel::write_cache(run / "showers.evt", all, 0.0, length);
        auto mock = source();
        OrderedProvider::order_events(run / "showers", *mock, all, 100, false, false, true);
        const std::string common = R"(
  provider: ordered
  generator: shower_pe
  model: replay
  num_channels: 1
  start_time: 0.0
  meta_gen_type: 2
providers:
  ordered: {class: OrderedProvider, path: showers}
generators:
  shower_pe: {class: ProviderGenerator, provider: ordered}
models:
  replay: {class: CachedModel, cache_file: showers.evt}
)";
        std::ofstream(run / "hinted.yaml") << "lib:\n  time_hint_hook: 13076069" << common;
        std::ofstream(run / "plain.yaml") << "lib:" << common;
        const double hinted = seek_cost((run / "hinted.yaml").string(), length);
        const double plain = seek_cost((run / "plain.yaml").string(), length);
        std::printf("  %8zu %10zu %16.3f %16.3f\n", batches, all.size(), hinted, plain);
    }
}

}  // namespace

int main() {
    background::testing::TempDir dir;
    throughput(dir.path());
    seeks(dir.path());
    return 0;
}
