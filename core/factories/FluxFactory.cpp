// Class table of section "fluxes".

#include <stdexcept>

#include "background/Factory.hpp"
#include "background/PowerLawFlux.hpp"
#include "background/TabulatedFlux.hpp"
#include "Refusal.hpp"

namespace background {

template <>
void Factory<Flux>::build_class_resolve_table() {
    classes["PowerLawFlux"] = [](Settings settings) {
        double e_ref = settings["e_ref"];
        double f_ref = settings["f_ref"];
        double index = settings["index"];
        return std::make_unique<PowerLawFlux>(index, f_ref, e_ref);
    };
    classes["TabulatedFlux"] = [this](Settings settings) {
        int integration_steps = settings["integration_steps"];
        // Sign extension would turn a negative count into ~2^64 steps.
        if (integration_steps < 0)
            throw detail::Refused<std::invalid_argument>(
                format("integration_steps must not be negative, got {}!", integration_steps));
        bool log_interpolate = settings["log_interpolate"];
        std::string table = settings["table"];
        return std::make_unique<TabulatedFlux>(path(table), log_interpolate,
                                               static_cast<unsigned long>(integration_steps));
    };
}

}  // namespace background
