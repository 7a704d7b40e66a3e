// Class table of section "models".

#include "CosmicRayModelImpl.hpp"
#include "background/CachedModel.hpp"
#include "background/CosmicRayModel.hpp"
#include "background/DarkCountModel.hpp"
#include "background/Factory.hpp"
#include "background/GenericModel.hpp"

namespace background {

template <>
void Factory<BackgroundModel>::build_class_resolve_table() {
    classes["DarkCountModel"] = [](Settings settings) {
        int gen_type = settings["gen_type"];
        int seed = settings["seed"];
        int num_channels = settings["num_channels"];
        double rate = settings["rate"];
        return std::make_unique<DarkCountModel>(rate, static_cast<unsigned long>(num_channels),
                                                static_cast<unsigned long>(seed), gen_type);
    };
    classes["CosmicRayModel"] = [this](Settings settings) {
        // Provider and flux live only while the model is being built.
        std::unique_ptr<ShowerProvider> provider;
        {
            Factory<ShowerProvider> providers(settings_file);
            std::string name = settings["provider"];
            provider = providers.create_by_name(name);
        }
        std::unique_ptr<Flux> flux;
        std::string flux_name;
        {
            Factory<Flux> fluxes(settings_file);
            flux_name = static_cast<std::string>(settings["flux"]);
            flux = fluxes.create_by_name(flux_name);
        }
        bool warn_invalid = settings["warn_invalid"];
        double e_max = settings["e_max"];
        double e_min = settings["e_min"];
        double theta_max = settings["theta_max"];
        double r_max = settings["r_max"];
        double throw_index = settings["throw_index"];
        int gen_type = settings["gen_type"];
        int seed = settings["seed"];
        try {
            return std::make_unique<CosmicRayModel>(*provider, *flux, static_cast<unsigned long>(seed), gen_type,
                                                    throw_index, r_max, theta_max, e_min, e_max, warn_invalid);
        } catch (const CosmicRayModel::Impl::FluxRefusal& refusal) {
            throw detail::Refused<std::invalid_argument>(refusal.naming("flux " + flux_name));
        }
    };
    classes["CachedModel"] = [this](Settings settings) {
        std::string cache_file = settings["cache_file"];
        return std::make_unique<CachedModel>(path(cache_file));
    };
    classes["GenericModel"] = [this](Settings settings) {
        auto generic = std::make_unique<GenericModel>();
        for (const auto& name : settings["models"].keys()) generic->add_model(create_by_name(name));
        return generic;
    };
}

}  // namespace background
