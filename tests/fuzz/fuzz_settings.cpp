// Arbitrary bytes as a settings file: loading it, walking the document, converting what it holds and
// building the fluxes, event generators, models and shower providers it names must end in a result or a
// std::exception, never in a crash, a leak, unbounded memory or a hang. The work directory holds files for
// settings to name: a flux table, model caches, time-ordered shower directories and a simulation
// directory.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "background/CachedModel.hpp"
#include "background/Factory.hpp"
#include "background/MockProvider.hpp"
#include "background/OrderedProvider.hpp"
#include "background/Serializer.hpp"
#include "background/Settings.hpp"

namespace {

using background::Factory;
using background::Settings;

// Bounds on the walk: the first few keys of each map, three levels down.
constexpr std::size_t max_keys = 8;
constexpr int max_depth = 3;
constexpr std::size_t max_instances = 4;

// A directory of its own per process, holding the settings file and the files that the seeds name; files
// named in the settings resolve against it. libFuzzer ends without running exit handlers, so it
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
// `lib_key` where there is such a key and it is not among them (a second build would repeat the first).
std::vector<std::string> names_to_build(const Settings& root, const Settings& section,
                                        const char* lib_key = nullptr) {
    auto names = section.keys();
    if (names.size() > max_instances) names.resize(max_instances);
    if (lib_key) attempt([&] {
        std::string named = root["lib"][lib_key];
        if (std::ranges::find(names, named) == names.end()) names.push_back(std::move(named));
    });
    return names;
}

// Whether a file name from the settings, resolved as the factories resolve it, lies inside the work
// directory, where no file is larger than an input or the few that LLVMFuzzerInitialize writes. A name
// with a NUL byte also counts by what comes before it, which is what a system call would see.
template <class T>
bool stays_inside(Factory<T>& factory, const std::string& name) {
    for (const auto& candidate : {name, name.substr(0, name.find('\0'))}) {
        auto relative = factory.path(candidate).lexically_normal().lexically_relative(work_dir());
        if (relative.empty() || *relative.begin() == "..") return false;
    }
    return true;
}

// A flux table is read only from inside the work directory.
bool table_stays_inside(Factory<background::Flux>& factory, const Settings& instance) {
    std::string table;
    try {
        table = static_cast<std::string>(instance["table"]);
    } catch (const std::exception&) {
        return true;  // the entry fails on the same lookup before it opens anything
    }
    return stays_inside(factory, table);
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

// What building an instance would reach, worked out from the document before anything is built: every
// instance it names, through the same keys its factory entry reads. An instance is built only when none
// of them names a file outside the work directory and their work stays within `budget`, and that of all
// instances of the input within `input_budget`: the showers a MockProvider makes (a CosmicRayModel checks
// and weighs each of them again), the steps of a flux integral, the settings file that every nested
// factory loads anew, the files of caches and directories. Instances nest and repeat as the
// factories let them; what a factory refuses (a cycle, an absent name, a value that does not convert) is
// not followed further, since the build stops there too.
class Plan {
public:
    Plan(const Settings& root, std::size_t document_size)
        // Every nested factory loads the file anew; one load costs about this much.
        : root(root), load_cost(static_cast<long>(document_size) / 8 + 1) {}

    // `factory` resolves file names, as every factory of the same settings file does.
    template <class T>
    bool allows(Factory<T>& factory, const char* family, const std::string& name) {
        inside = [&factory](const std::string& file) { return stays_inside(factory, file); };
        outer_family = family;
        refused = stopped = false;
        work = visits = nested = 0;
        visit(family, name);
        if (refused || spent + work > input_budget) return false;
        spent += work;
        return true;
    }

private:
    // Work in units of about a microsecond of this build: per instance built, and for all of one input.
    static constexpr long budget = 100000;
    static constexpr long input_budget = 3 * budget;
    // Opening a file of the stream layers (buffers of 512 KiB) and reading a small one.
    static constexpr long open_cost = 500;
    // The factory of the outermost instance builds no more than this many below it; the factories that
    // its instances open on their way build one provider or flux each.
    static constexpr long max_nested = 1000;
    static constexpr long max_visits = 4 * max_nested;
    static constexpr int max_showers = 2000;

    void needs_inside(const Settings& instance, const char* key) {
        try {
            if (!inside(static_cast<std::string>(instance[key]))) refused = true;
        } catch (const std::exception&) {
        }
    }

    static long number(const Settings& instance, const char* key) {
        try {
            return static_cast<int>(instance[key]);
        } catch (const std::exception&) {
            return 0;  // the entry fails on this lookup
        }
    }

    static std::string text(const Settings& instance, const char* key) {
        try {
            return instance[key];
        } catch (const std::exception&) {
            return {};
        }
    }

    static std::vector<std::string> keys(const Settings& instance, const char* key) {
        try {
            return instance[key].keys();
        } catch (const std::exception&) {
            return {};
        }
    }

    void add(long units) {
        work += units;
        if (work > budget) refused = true;
    }

    void visit(const char* family, const std::string& name) {
        if (refused || stopped || name.empty()) return;
        if (++visits > max_visits) {
            refused = true;
            return;
        }
        const std::pair<std::string, std::string> node{family, name};
        for (const auto& outer : building)
            if (outer == node) return;  // the factory refuses the cycle here
        if (!building.empty() && node.first == outer_family && ++nested > max_nested) {
            stopped = true;  // and so does the outermost factory here, ending the whole build
            return;
        }
        Settings instance;
        std::string kind;
        try {
            Settings members = root[family];
            if (!members.contains(name)) return;
            instance = members[name];
            kind = class_of(members, name);
        } catch (const std::exception&) {
            return;
        }
        building.push_back(node);
        add(1);
        const std::string section = family;
        if (section == "fluxes") {
            if (kind == "TabulatedFlux") {
                needs_inside(instance, "table");
                add(std::max(0L, number(instance, "integration_steps")));
            }
        } else if (section == "providers") {
            if (kind == "MockProvider") {
                const long showers = number(instance, "num_showers");
                if (showers > max_showers) refused = true;
                add(std::max(0L, showers));
            } else if (kind == "OrderedProvider") {
                needs_inside(instance, "path");
                add(2 * open_cost);  // the hint file, and the files that a first read opens
            } else if (kind == "SimulationProvider") {
                needs_inside(instance, "input_files");
            } else if (kind == "MultiProvider") {
                for (const auto& dataset : keys(instance, "datasets")) {
                    try {
                        needs_inside(instance["datasets"][dataset], "input_files");
                    } catch (const std::exception&) {
                    }
                }
            }
        } else if (section == "models") {
            if (kind == "CachedModel") {
                needs_inside(instance, "cache_file");
                add(2 * open_cost);  // the events and the interval
            } else if (kind == "CosmicRayModel") {
                add(2 * load_cost);
                const long before = work;
                visit("providers", text(instance, "provider"));
                add(2 * (work - before));
                visit("fluxes", text(instance, "flux"));
            } else if (kind == "GenericModel") {
                for (const auto& member : keys(instance, "models")) visit("models", member);
            }
        } else if (section == "generators") {
            if (kind == "ProviderGenerator") {
                add(load_cost);
                visit("providers", text(instance, "provider"));
            } else if (kind == "GenericGenerator") {
                for (const auto& member : keys(instance, "generators")) visit("generators", member);
            } else if (kind == "AfterpulseGenerator") {
                visit("generators", text(instance, "base_generator"));
            }
        }
        building.pop_back();
    }

    const Settings& root;
    long load_cost;
    std::function<bool(const std::string&)> inside;
    std::string outer_family;
    std::vector<std::pair<std::string, std::string>> building;
    bool refused = false;
    bool stopped = false;
    long spent = 0;  // by the instances allowed so far
    long work = 0;
    long visits = 0;
    long nested = 0;
};

// The first instances of a family and the one "lib" names, each as far as its plan allows.
template <class T>
void build_family(const Settings& root, const std::filesystem::path& file, Plan& plan, const char* family,
                  const char* lib_key) {
    Settings section = root[family];
    Factory<T> factory(file);
    for (const auto& name : names_to_build(root, section, lib_key))
        if (plan.allows(factory, family, name)) attempt([&] { factory.create_by_name(name); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The table that the seeds name, a copy of the start of examples/proton_flux.txt.
    static const char table[] =
        "# Differential flux of cosmic-ray protons.\n"
        "10 35.9147\n17.7828 7.59054\n31.6228 1.60425\n56.2341 0.339057\n100 0.0716593\n"
        "177.828 0.0151451\n316.228 0.0032009\n562.341 0.000676507\n1000 0.000142979\n";
    write_file(work_dir() / "proton_flux.txt", table, sizeof table - 1);

    // Sixteen mock showers drawn as a CosmicRayModel states them, replayed from a model cache and two
    // time-ordered shower directories (split and interleaved layout).
    using namespace background;
    MockProvider source(16, -2.0, 1000.0, 1000000.0, 100.0, 0.5);
    std::vector<BackgroundEvent> events;
    for (unsigned long i = 0; i < 16; ++i) events.push_back({0.5 * static_cast<double>(i), 2, (i * 7) % 16});
    auto showers = events;
    OrderedProvider::order_events(work_dir() / "showers", source, showers, 4, false, false, true);
    auto interleaved = events;
    OrderedProvider::order_events(work_dir() / "interleaved", source, interleaved, 5, false, true, false);
    CachedModel::write_cache(work_dir() / "showers.evt", events, 0.0, 8.0);
    // A cache whose events file ends inside its element record, one whose interval holds three numbers,
    // and a directory that lacks a metadata file.
    CachedModel::write_cache(work_dir() / "cut.evt", events, 0.0, 8.0);
    std::filesystem::resize_file(work_dir() / "cut.evt", std::filesystem::file_size(work_dir() / "cut.evt") - 5);
    CachedModel::write_cache(work_dir() / "three.evt", events, 0.0, 8.0);
    Serializer::create_default()->write_numbers(work_dir() / "three.cm", {0.0, 4.0, 8.0});
    std::filesystem::copy(work_dir() / "showers", work_dir() / "unmatched");
    std::filesystem::remove(work_dir() / "unmatched" / "OP_META_3.tmio");

    // A simulation directory: files the index takes and one it passes over (the reader itself is a stub).
    std::filesystem::create_directory(work_dir() / "simulation");
    for (const char* name : {"run_1.xcd", "run_2.xcd", "notes.txt"})
        write_file(work_dir() / "simulation" / name, "", 0);
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
    Plan plan(root, size);
    attempt([&] { build_family<background::EventGenerator>(root, file, plan, "generators", "generator"); });
    attempt([&] { build_family<background::BackgroundModel>(root, file, plan, "models", "model"); });
    attempt([&] { build_family<background::ShowerProvider>(root, file, plan, "providers", "provider"); });
    return 0;
}
