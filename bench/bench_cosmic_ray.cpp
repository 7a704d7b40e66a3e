// Cosmic-ray job: a mock provider of 100 000 showers, a power-law flux and
// 10 ms chunks of CosmicRayModel::sample, in simulated seconds per wall
// second; next to it the same process drawn the straightforward way (the
// standard distributions, shower by shower), whose output must be identical.
// With a file name as argument the shower rates are written there, one
// "uid rate" line each, for the numpy version of the job.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "background/CosmicRayModel.hpp"
#include "background/MockProvider.hpp"
#include "background/PowerLawFlux.hpp"
#include "reference.hpp"

namespace {

using namespace background;
using Clock = std::chrono::steady_clock;

constexpr unsigned long num_showers = 100000;
constexpr double throw_index = -2, e_min = 1e3, e_max = 1e6, r_max = 100, theta_max = 0.5;
constexpr unsigned long seed = 20240611;
constexpr double chunk = 0.01;
constexpr int chunks = 3000;

struct Run {
    double wall = 0;
    std::size_t events = 0;
    std::uint64_t digest = 14695981039346656037ULL;

    void add(double time, unsigned long id) {
        for (std::uint64_t word : {std::bit_cast<std::uint64_t>(time), static_cast<std::uint64_t>(id)}) {
            digest ^= word;
            digest *= 1099511628211ULL;
        }
        ++events;
    }
};

template <class Sample>
Run run(Sample sample) {
    Run result;
    auto start = Clock::now();
    double begin = 0;
    for (int k = 0; k < chunks; ++k) {
        double end = begin + chunk;
        for (const auto& event : sample(begin, end)) result.add(event.time, event.id);
        begin = end;
    }
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

// The rates exactly as the model computes them.
std::vector<std::pair<unsigned long, double>> shower_rates(ShowerProvider& provider, Flux& flux) {
    std::vector<std::pair<unsigned long, double>> rates;
    double sum = 0;
    for (const auto& shower : provider.get_all_metadata()) {
        double w = std::pow(shower.energy, -throw_index) * flux.flux_density(shower.energy);
        rates.emplace_back(shower.uid, w);
        sum += w;
    }
    double area = (3.141592653589793 * r_max) * r_max;
    double solid_angle = 6.283185307179586 * (1 - std::cos(theta_max));
    double factor = ((area * flux.integrate(e_min, e_max)) * solid_angle) / sum;
    for (auto& rate : rates) rate.second *= factor;
    return rates;
}

void report(const char* name, const Run& r) {
    std::printf("%-16s %d chunks, %zu events, %.3f s wall, %.1f simulated seconds per wall second\n", name, chunks,
                r.events, r.wall, chunks * chunk / r.wall);
}

}  // namespace

int main(int argc, char** argv) {
    MockProvider provider(num_showers, throw_index, e_min, e_max, r_max, theta_max);
    PowerLawFlux flux(-2.7, 1.8e4, 1);

    auto start = Clock::now();
    CosmicRayModel model(provider, flux, seed, 1, throw_index, r_max, theta_max, e_min, e_max, false);
    double construction = std::chrono::duration<double>(Clock::now() - start).count();

    auto rates = shower_rates(provider, flux);
    double total = 0;
    for (const auto& rate : rates) total += rate.second;
    if (argc > 1) {
        std::FILE* file = std::fopen(argv[1], "w");
        if (!file) {
            std::perror(argv[1]);
            return 1;
        }
        for (const auto& [uid, rate] : rates) std::fprintf(file, "%lu %.17g\n", uid, rate);
        std::fclose(file);
    }
    std::printf("cosmic-ray job: %lu showers, %.1f showers per second in all, %g s chunks, built in %.3f s\n",
                num_showers, total, chunk, construction);

    Run ours = run([&](double begin, double end) { return model.sample(begin, end); });
    report("model:", ours);

    std::mt19937_64 engine(seed);
    Run plain = run([&](double begin, double end) {
        return background::testing::reference_shower_sample(engine, rates, 1, begin, end);
    });
    report("straightforward:", plain);

    bool identical = ours.events == plain.events && ours.digest == plain.digest;
    std::printf("identical output: %s\n", identical ? "yes" : "NO");
    return identical ? 0 : 1;
}
