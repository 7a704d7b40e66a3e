#include "background/TabulatedFlux.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RegularFile.hpp"
#include "Refusal.hpp"
#include "format.hpp"

namespace background {

namespace {

// Longer than any point or comment needs; a file of endless bytes without a
// line break fails after this many instead of filling memory.
constexpr std::size_t max_line_length = 65536;

// std::getline, but it stops reading one byte past max_line_length.
bool read_line(std::istream& in, std::string& line) {
    line.clear();
    std::istream::sentry ready(in, true);
    if (!ready) return false;
    auto* buffer = in.rdbuf();
    for (;;) {
        int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return !line.empty();
        }
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
        if (line.size() > max_line_length) return true;
    }
}

}  // namespace

struct TabulatedFlux::Impl {
    bool log_interpolate;
    unsigned long integration_steps;
    std::vector<double> energies;
    std::vector<double> fluxes;
};

TabulatedFlux::TabulatedFlux(std::filesystem::path table, bool log_interpolate, unsigned long integration_steps)
    : impl(std::make_unique<Impl>(Impl{log_interpolate, integration_steps, {}, {}})) {
    auto file = detail::open_regular_file(table);
    if (!file) throw std::ios_base::failure(format("Failed to open file {}!", table.string()));
    std::string line;
    std::size_t line_number = 0;
    while (read_line(*file, line)) {
        ++line_number;
        if (line.size() > max_line_length)
            throw detail::Refused<std::ios_base::failure>(format("Line {} of flux table {} is longer than {} bytes!",
                                                                 line_number, table.string(), max_line_length));
        if (!line.empty() && line.front() == '#') continue;
        // A line that does not start with two numbers (blank, text, a lone
        // number) adds no point rather than repeating or inventing one.
        std::istringstream fields(line);
        double energy, flux;
        if (!(fields >> energy >> flux)) continue;
        impl->energies.push_back(energy);
        impl->fluxes.push_back(flux);
    }
    if (impl->energies.empty())
        throw detail::Refused<std::ios_base::failure>(format("Flux table {} holds no points!", table.string()));
}

TabulatedFlux::~TabulatedFlux() = default;

double TabulatedFlux::flux_density(double energy) {
    const auto& energies = impl->energies;
    const auto& fluxes = impl->fluxes;
    auto upper = std::ranges::upper_bound(energies, energy);
    if (upper == energies.begin() || upper == energies.end()) {
        if (energy == energies.back()) return fluxes.back();
        throw std::out_of_range(format("Requested energy {} GeV is out of range {}-{} GeV!", energy,
                                       energies.front(), energies.back()));
    }
    auto k = static_cast<std::size_t>(upper - energies.begin());
    double e0 = energies[k - 1], e1 = energies[k];
    double f0 = fluxes[k - 1], f1 = fluxes[k];
    if (!impl->log_interpolate) return std::lerp(f0, f1, (energy - e0) / (e1 - e0));
    double t = (std::log(energy) - std::log(e0)) / (std::log(e1) - std::log(e0));
    return std::exp(std::lerp(std::log(f0), std::log(f1), t));
}

double TabulatedFlux::integrate(double e_min, double e_max) {
    if (e_min == e_max) return 0;
    const auto& energies = impl->energies;
    if (e_min > e_max || e_min < energies.front() || e_max > energies.back())
        throw std::out_of_range(format("Requested energy range {}-{} GeV is out of range {}-{} GeV!", e_min, e_max,
                                       energies.front(), energies.back()));
    unsigned long n = impl->integration_steps;
    if (n == 0) return 0;
    bool log = impl->log_interpolate;
    double h = log ? (std::log(e_max) - std::log(e_min)) / static_cast<double>(n)
                   : (e_max - e_min) / static_cast<double>(n);
    double log_min = log ? std::log(e_min) : 0;
    // Trapezoids over n intervals; each node is evaluated once, through the
    // virtual flux_density.
    double sum = 0;
    double x_prev = e_min;
    double f_prev = flux_density(x_prev);
    for (unsigned long i = 1; i <= n; ++i) {
        double x;
        if (i == n)
            x = e_max;
        else if (log)
            x = std::exp(log_min + static_cast<double>(i) * h);
        else
            x = e_min + static_cast<double>(i) * h;
        double f = flux_density(x);
        sum += ((f_prev + f) * 0.5) * (x - x_prev);
        x_prev = x;
        f_prev = f;
    }
    return sum;
}

}  // namespace background
