#pragma once

#include "background/EventGenerator.hpp"
#include "background/export.h"

namespace background {

namespace detail {
struct Composition;
}

// Puts num_pe p.e.s at the event's time on the channel the event's id names.
class BACKGROUND_EXPORT NPEGenerator : public EventGenerator {
public:
    explicit NPEGenerator(int num_pe);
    PEList generate(BackgroundEvent event) override;

private:
    friend struct detail::Composition;
    int num_pe;
};

}  // namespace background
