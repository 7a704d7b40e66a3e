#pragma once

#include <memory>

#include "background/EventGenerator.hpp"
#include "background/export.h"
#include "background/ShowerProvider.hpp"

namespace background {

// Reads the event's id as a shower UID and moves that shower's p.e.s from its
// own provider to the event's time.
class BACKGROUND_EXPORT ProviderGenerator : public EventGenerator {
public:
    explicit ProviderGenerator(std::unique_ptr<ShowerProvider> provider);
    PEList generate(BackgroundEvent event) override;

private:
    std::unique_ptr<ShowerProvider> provider;
};

}  // namespace background
