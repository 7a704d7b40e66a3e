#include "background/ProviderGenerator.hpp"

#include <exception>
#include <stdexcept>

namespace background {

ProviderGenerator::ProviderGenerator(std::unique_ptr<ShowerProvider> provider) : provider(std::move(provider)) {
    if (!this->provider) throw std::invalid_argument("Provider must not be null!");
}

PEList ProviderGenerator::generate(BackgroundEvent event) {
    PEList lists;
    try {
        lists = provider->get_pe_list(event.id);
    } catch (const std::out_of_range& e) {
        // An unknown UID stays an out-of-range error, stripped to its message.
        throw std::out_of_range(e.what());
    } catch (...) {
        std::throw_with_nested(std::out_of_range("Event generation failed due to unexpected exception from provider"));
    }
    for (auto& [channel, times] : lists)
        for (double& time : times) time += event.time;
    return lists;
}

}  // namespace background
