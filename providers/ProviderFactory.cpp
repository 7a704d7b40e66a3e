// Class table of section "providers".

#include "background/Factory.hpp"
#include "background/MockProvider.hpp"
#include "background/MultiProvider.hpp"
#include "background/OrderedProvider.hpp"
#include "background/SimulationProvider.hpp"

namespace background {

template <>
void Factory<ShowerProvider>::build_class_resolve_table() {
    classes["MockProvider"] = [](Settings settings) {
        double theta_max = settings["theta_max"];
        double r_max = settings["r_max"];
        double e_max = settings["e_max"];
        double e_min = settings["e_min"];
        double index = settings["index"];
        int num_showers = settings["num_showers"];
        return std::make_unique<MockProvider>(static_cast<unsigned long>(num_showers), index, e_min, e_max, r_max,
                                              theta_max);
    };
    // Always under TIME_HINT_HOOK_ID, so that "time_hint_hook" finds it.
    classes["OrderedProvider"] = [this](Settings settings) {
        std::string dir = settings["path"];
        return std::make_unique<OrderedProvider>(path(dir), TIME_HINT_HOOK_ID);
    };
    classes["SimulationProvider"] = [this](Settings settings) {
        bool warn_unverified = settings["warn_unverified"];
        double cutoff_interval = settings["cutoff_interval"];
        int cutoff_pes = settings["cutoff_pes"];
        int file_limit = settings["file_limit"];
        std::string input_files = settings["input_files"];
        return std::make_unique<SimulationProvider>(path(input_files), file_limit, cutoff_pes, cutoff_interval,
                                                    warn_unverified);
    };
    classes["MultiProvider"] = [this](Settings settings) {
        bool warn_unverified = settings["warn_unverified"];
        double cutoff_interval = settings["cutoff_interval"];
        int cutoff_pes = settings["cutoff_pes"];
        auto multi = std::make_unique<MultiProvider>(cutoff_pes, cutoff_interval, warn_unverified);
        Settings datasets = settings["datasets"];
        for (const auto& name : datasets.keys()) {
            int file_limit = datasets[name]["file_limit"];
            std::string input_files = datasets[name]["input_files"];
            multi->add_dataset(path(input_files), file_limit);
        }
        return multi;
    };
}

}  // namespace background
