// Arbitrary bytes as a flux table file: building a TabulatedFlux from it and evaluating the flux and its
// integral at a few energies must end in a value or a std::exception, never in a crash, a leak, unbounded
// memory or a hang.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "background/TabulatedFlux.hpp"

namespace {

// The first line steers: "<log_interpolate> <integration_steps> <energy>...", read with strtod so that
// mutations can bring in any spelling of a number (hexadecimal, "nan", "inf"). The rest is the table.
constexpr std::size_t max_energies = 6;
// Each step is one evaluation; the count is the caller's choice and not what is tested here.
constexpr unsigned long max_steps = 256;

struct Control {
    bool log_interpolate = false;
    unsigned long steps = 0;
    std::vector<double> energies;
};

Control parse_control(const std::string& line) {
    std::vector<double> numbers;
    const char* cursor = line.c_str();
    while (numbers.size() < 2 + max_energies) {
        char* end;
        double value = std::strtod(cursor, &end);
        if (end == cursor) break;
        numbers.push_back(value);
        cursor = end;
    }
    Control control;
    if (numbers.size() > 0) control.log_interpolate = numbers[0] != 0;
    if (numbers.size() > 1 && numbers[1] >= 0 && numbers[1] <= static_cast<double>(max_steps))
        control.steps = static_cast<unsigned long>(numbers[1]);
    if (numbers.size() > 2) control.energies.assign(numbers.begin() + 2, numbers.end());
    return control;
}

// One file per process, rewritten for every input. libFuzzer ends without running exit handlers, so it
// stays behind: scripts/fuzz.sh gives every target a temporary directory of its own and clears it.
const std::filesystem::path& table_file() {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("fuzz_flux_table." + std::to_string(::getpid()));
    return file;
}

template <class F>
void attempt(F&& call) {
    try {
        call();
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    auto line_end = input.find('\n');
    if (line_end == std::string::npos) return 0;
    Control control = parse_control(input.substr(0, line_end));

    std::FILE* out = std::fopen(table_file().c_str(), "wb");
    if (!out) std::abort();
    std::size_t table_size = size - line_end - 1;
    if (std::fwrite(data + line_end + 1, 1, table_size, out) != table_size || std::fclose(out) != 0) std::abort();

    attempt([&] {
        background::TabulatedFlux flux(table_file(), control.log_interpolate, control.steps);
        const auto& energies = control.energies;
        for (double energy : energies) attempt([&] { flux.flux_density(energy); });
        for (std::size_t i = 0; i + 1 < energies.size(); ++i)
            attempt([&] { flux.integrate(energies[i], energies[i + 1]); });
        if (!energies.empty()) attempt([&] { flux.integrate(energies.front(), energies.back()); });
    });
    return 0;
}
