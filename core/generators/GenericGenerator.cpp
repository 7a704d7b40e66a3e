#include "background/GenericGenerator.hpp"

#include <stdexcept>

#include "background/NPEGenerator.hpp"
#include "Composition.hpp"

#include "format.hpp"

namespace background {

void GenericGenerator::add_generator(int type, std::unique_ptr<EventGenerator> generator) {
    if (!generator) throw std::invalid_argument("Generator must not be null!");
    generators[type] = std::move(generator);
}

PEList GenericGenerator::generate(BackgroundEvent event) {
    auto found = generators.find(event.type);
    if (found == generators.end())
        throw std::out_of_range(format("No generator with type {} available!", event.type));
    return found->second->generate(event);
}

std::optional<int> detail::Composition::copies_per_event(const EventGenerator& generator, int type) {
    const EventGenerator* current = &generator;
    while (auto* generic = dynamic_cast<const GenericGenerator*>(current)) {
        auto found = generic->generators.find(type);
        if (found == generic->generators.end()) return std::nullopt;
        current = found->second.get();
    }
    auto* npe = dynamic_cast<const NPEGenerator*>(current);
    // A negative count is left to generate(), which refuses it.
    if (!npe || npe->num_pe < 0) return std::nullopt;
    return npe->num_pe;
}

}  // namespace background
