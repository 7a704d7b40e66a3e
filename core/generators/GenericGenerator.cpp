#include "background/GenericGenerator.hpp"

#include <stdexcept>

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

}  // namespace background
