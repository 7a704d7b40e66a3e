// Arbitrary bytes as a settings file: loading it, walking the document, converting what it holds and
// building the fluxes and event generators it names must end in a result or a std::exception, never in a
// crash, a leak, unbounded memory or a hang.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "background/Factory.hpp"
#include "background/Settings.hpp"

namespace {

using background::Factory;
using background::Settings;

// Bounds on the walk: the first few keys of each map, three levels down.
constexpr std::size_t max_keys = 8;
constexpr int max_depth = 3;
constexpr std::size_t max_instances = 4;

// A directory of its own per process, holding the settings file and a flux table that the seeds name;
// files named in the settings resolve against it. libFuzzer ends without running exit handlers, so it
// stays behind: scripts/fuzz.sh gives every target a temporary directory of its own and clears it.
const std::filesystem::path& work_dir() {
    static const std::filesystem::path dir = [] {
        std::string name = (std::filesystem::temp_directory_path() / "fuzz_settings.XXXXXX").string();
        if (!::mkdtemp(name.data())) std::abort();
        return std::filesystem::path(name);
    }();
    return dir;
}

void write_file(const std::filesystem::path& file, const void* data, std::size_t size) {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (!out || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) std::abort();
}

template <class F>
void attempt(F&& call) {
    try {
        call();
    } catch (const std::exception&) {
    }
}

void convert_all(const Settings& view) {
    attempt([&] { static_cast<void>(static_cast<std::string>(view)); });
    attempt([&] { static_cast<void>(static_cast<int>(view)); });
    attempt([&] { static_cast<void>(static_cast<double>(view)); });
    attempt([&] { static_cast<void>(static_cast<bool>(view)); });
}

void walk(const Settings& view, int depth) {
    convert_all(view);
    // Keys the seeds never hold as well: absent, empty, the text of a null key.
    for (const char* key : {"class", "", "null"}) {
        static_cast<void>(view.contains(key));
        attempt([&] { convert_all(view[key]); });
    }
    if (depth == max_depth) return;
    auto keys = view.keys();
    if (keys.size() > max_keys) keys.resize(max_keys);
    for (const auto& key : keys) attempt([&] { walk(view[key], depth + 1); });
}

std::string class_of(const Settings& section, const std::string& name) {
    try {
        return section[name]["class"];
    } catch (const std::exception&) {
        return {};
    }
}

// Names to build: the first instances of the section, and the one that section "lib" names under
// `lib_key` where there is such a key.
std::vector<std::string> names_to_build(const Settings& root, const Settings& section,
                                        const char* lib_key = nullptr) {
    auto names = section.keys();
    if (names.size() > max_instances) names.resize(max_instances);
    if (lib_key) attempt([&] { names.push_back(root["lib"][lib_key]); });
    return names;
}

// A flux table is read only from inside the work directory, where no file is larger than an input.
bool table_stays_inside(Factory<background::Flux>& factory, const Settings& instance) {
    std::string table;
    try {
        table = static_cast<std::string>(instance["table"]);
    } catch (const std::exception&) {
        return true;  // the entry fails on the same lookup before it opens anything
    }
    auto relative = factory.path(table).lexically_normal().lexically_relative(work_dir());
    return !relative.empty() && *relative.begin() != "..";
}

void build_fluxes(const Settings& root, const std::filesystem::path& file) {
    Settings section = root["fluxes"];
    Factory<background::Flux> factory(file);
    for (const auto& name : names_to_build(root, section)) {
        if (class_of(section, name) == "TabulatedFlux" && !table_stays_inside(factory, section[name])) continue;
        attempt([&] {
            auto flux = factory.create_by_name(name);
            attempt([&] { flux->flux_density(100); });
        });
    }
}

void build_generators(const Settings& root, const std::filesystem::path& file) {
    Settings section = root["generators"];
    // A ProviderGenerator builds a shower provider, which may allocate as many showers as the settings ask
    // for or read the directories they name; any instance may be reached through the nesting entries.
    for (const auto& name : section.keys())
        if (class_of(section, name) == "ProviderGenerator") return;
    Factory<background::EventGenerator> factory(file);
    for (const auto& name : names_to_build(root, section, "generator")) attempt([&] { factory.create_by_name(name); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The table that the seeds name, a copy of the start of examples/proton_flux.txt.
    static const char table[] =
        "# Differential flux of cosmic-ray protons.\n"
        "10 35.9147\n17.7828 7.59054\n31.6228 1.60425\n56.2341 0.339057\n100 0.0716593\n"
        "177.828 0.0151451\n316.228 0.0032009\n562.341 0.000676507\n1000 0.000142979\n";
    write_file(work_dir() / "proton_flux.txt", table, sizeof table - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = work_dir() / "settings.yaml";
    write_file(file, data, size);
    Settings root;
    try {
        root = Settings::from_file(file);
    } catch (const std::exception&) {
        return 0;
    }
    walk(root, 0);
    attempt([&] { build_fluxes(root, file); });
    attempt([&] { build_generators(root, file); });
    return 0;
}
