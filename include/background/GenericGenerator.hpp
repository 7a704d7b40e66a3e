#pragma once

#include <map>
#include <memory>

#include "background/EventGenerator.hpp"
#include "background/export.h"

namespace background {

namespace detail {
struct Composition;
}

// Hands each event to the generator registered for its type.
class BACKGROUND_EXPORT GenericGenerator : public EventGenerator {
public:
    GenericGenerator() = default;
    // Replaces (and destroys) a generator already held under the type.
    void add_generator(int type, std::unique_ptr<EventGenerator> generator);
    PEList generate(BackgroundEvent event) override;

private:
    friend struct detail::Composition;
    std::map<int, std::unique_ptr<EventGenerator>> generators;
};

}  // namespace background
