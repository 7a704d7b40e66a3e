// Arbitrary bytes as a flux table file: building a TabulatedFlux from it and evaluating the flux and its
// integral at a few energies must end in a value or a std::exception, never in a crash, a leak, unbounded
// memory or a hang. Marked lines are padded to about the longest line a table may hold (65536 bytes), far
// beyond the inputs' size and the reader's buffer.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
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

// A line holding the byte 0x01 followed by a fill byte and an offset byte o gets, in place of those three
// bytes, as many fill bytes as make it 65536 + o bytes long (o read as a signed byte), or none when it is
// longer already. Only the first few such lines are padded, so that a table stays a few hundred KiB.
constexpr char pad_mark = '\x01';
constexpr std::size_t max_line_length = 65536;
constexpr int max_padded_lines = 4;

std::string pad_marked_lines(std::string_view table) {
    std::string out;
    int padded = 0;
    while (!table.empty()) {
        const auto end = table.find('\n');
        std::string_view line = table.substr(0, end);
        const auto mark = line.find(pad_mark);
        if (mark != std::string_view::npos && mark + 2 < line.size() && padded < max_padded_lines) {
            ++padded;
            const char fill = line[mark + 1];
            const auto length = static_cast<std::size_t>(static_cast<long>(max_line_length) +
                                                         static_cast<signed char>(line[mark + 2]));
            const std::size_t rest = line.size() - 3;
            out.append(line.substr(0, mark));
            if (length > rest) out.append(length - rest, fill);
            out.append(line.substr(mark + 3));
        } else {
            out.append(line);
        }
        if (end == std::string_view::npos) break;
        out.push_back('\n');
        table.remove_prefix(end + 1);
    }
    return out;
}

std::size_t longest_line(std::string_view table) {
    std::size_t longest = 0;
    for (std::size_t begin = 0; begin <= table.size();) {
        const auto end = std::min(table.find('\n', begin), table.size());
        longest = std::max(longest, end - begin);
        begin = end + 1;
    }
    return longest;
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

    const std::string table = pad_marked_lines(std::string_view(input).substr(line_end + 1));
    std::FILE* out = std::fopen(table_file().c_str(), "wb");
    if (!out) std::abort();
    if (std::fwrite(table.data(), 1, table.size(), out) != table.size() || std::fclose(out) != 0) std::abort();

    attempt([&] {
        background::TabulatedFlux flux(table_file(), control.log_interpolate, control.steps);
        // A table with a line over the limit is refused, whatever else it holds.
        if (longest_line(table) > max_line_length) std::abort();
        const auto& energies = control.energies;
        for (double energy : energies) attempt([&] { flux.flux_density(energy); });
        for (std::size_t i = 0; i + 1 < energies.size(); ++i)
            attempt([&] { flux.integrate(energies[i], energies[i + 1]); });
        if (!energies.empty()) attempt([&] { flux.integrate(energies.front(), energies.back()); });
    });
    return 0;
}
