// Class table of section "generators".

#include "background/AfterpulseGenerator.hpp"
#include "background/Factory.hpp"
#include "background/GenericGenerator.hpp"
#include "background/NPEGenerator.hpp"
#include "background/ProviderGenerator.hpp"

namespace background {

template <>
void Factory<EventGenerator>::build_class_resolve_table() {
    classes["NPEGenerator"] = [](Settings settings) {
        int num_pe = settings["num_pe"];
        return std::make_unique<NPEGenerator>(num_pe);
    };
    classes["ProviderGenerator"] = [this](Settings settings) {
        Factory<ShowerProvider> providers(settings_file);
        std::string name = settings["provider"];
        return std::make_unique<ProviderGenerator>(providers.create_by_name(name));
    };
    classes["GenericGenerator"] = [this](Settings settings) {
        auto generic = std::make_unique<GenericGenerator>();
        Settings members = settings["generators"];
        for (const auto& name : members.keys()) {
            auto generator = create_by_name(name);
            int type = members[name];
            generic->add_generator(type, std::move(generator));
        }
        return generic;
    };
    classes["AfterpulseGenerator"] = [this](Settings settings) {
        double num_pe_mean = settings["num_pe_mean"];
        double delay_var = settings["delay_var"];
        double delay_mean = settings["delay_mean"];
        double probability = settings["probability"];
        int seed = settings["seed"];
        std::string base_name = settings["base_generator"];
        auto base = create_by_name(base_name);
        return std::make_unique<AfterpulseGenerator>(std::move(base), static_cast<unsigned long>(seed),
                                                     probability, delay_mean, delay_var, num_pe_mean);
    };
}

}  // namespace background
