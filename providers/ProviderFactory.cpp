// Class table of section "providers".

#include "background/Factory.hpp"
#include "background/MockProvider.hpp"

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
}

}  // namespace background
