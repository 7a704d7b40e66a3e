#include "background/AfterpulseGenerator.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>

#include "RandomDraws.hpp"
#include "Refusal.hpp"
#include "format.hpp"

namespace background {

struct AfterpulseGenerator::Impl {
    std::unique_ptr<EventGenerator> base;
    double probability;
    std::mt19937_64 engine;
    // The delay is z * stddev + mean from a kept standard normal, which is
    // what the library's normal_distribution computes, but also works for a
    // zero variance, which that distribution refuses.
    std::normal_distribution<double> delay;
    double delay_mean;
    double delay_stddev;
    // Absent for a mean of 0: each count is then 0 and takes the one engine
    // output the standard draw would take.
    std::optional<std::poisson_distribution<int>> count;

    double draw_delay() { return delay(engine) * delay_stddev + delay_mean; }
    int draw_count() { return count ? (*count)(engine) : detail::empty_poisson_count(engine); }
};

AfterpulseGenerator::AfterpulseGenerator(std::unique_ptr<EventGenerator> base, unsigned long seed,
                                         double probability, double delay_mean, double delay_var,
                                         double num_pe_mean) {
    if (!base) throw std::invalid_argument("AfterpulseGenerator needs a base generator!");
    using Refused = detail::Refused<std::invalid_argument>;
    if (!(probability >= 0 && probability <= 1))
        throw Refused(format("Afterpulse probability {} is not in [0, 1]!", probability));
    // Non-finite delays would put NaN or infinite times into the lists.
    if (!std::isfinite(delay_mean)) throw Refused(format("Afterpulse delay_mean {} is not finite!", delay_mean));
    if (!(delay_var >= 0) || !std::isfinite(delay_var))
        throw Refused(format("Afterpulse delay_var {} must be finite and not negative!", delay_var));
    // Above the bound its counts could not be drawn.
    if (!(num_pe_mean >= 0 && num_pe_mean <= detail::max_poisson_mean))
        throw Refused(format("Afterpulse num_pe_mean {} is not in [0, {}]!", num_pe_mean, detail::max_poisson_mean));

    std::optional<std::poisson_distribution<int>> count;
    if (detail::poisson_mean_positive(num_pe_mean)) count.emplace(num_pe_mean);
    impl = std::make_unique<Impl>(Impl{std::move(base), probability, std::mt19937_64(seed),
                                       std::normal_distribution<double>(0, 1), delay_mean, std::sqrt(delay_var),
                                       count});
}

AfterpulseGenerator::~AfterpulseGenerator() = default;

PEList AfterpulseGenerator::generate(BackgroundEvent event) {
    PEList lists = impl->base->generate(event);
    auto& engine = impl->engine;
    std::vector<double> chosen;
    for (auto& entry : lists) {
        auto& times = entry.second;
        int n = static_cast<int>(times.size());
        int k = std::binomial_distribution<int>(n, impl->probability)(engine);
        if (n == 0) continue;
        // Chosen from the base times only, so afterpulses get none of their own.
        chosen.clear();
        std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, engine);
        for (double t : chosen) {
            double d = impl->draw_delay();
            int m = impl->draw_count();
            times.insert(times.end(), static_cast<std::size_t>(m), t + d);
        }
        std::ranges::sort(times, std::ranges::less{});
    }
    return lists;
}

}  // namespace background
