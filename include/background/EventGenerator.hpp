#pragma once

#include "background/BackgroundEvent.hpp"
#include "background/export.h"
#include "background/PEList.hpp"

namespace background {

// Turns one event into p.e. lists with absolute times, ascending within every
// entry. Entries may be empty, repeat a channel and come in any channel order.
class BACKGROUND_EXPORT EventGenerator {
public:
    virtual PEList generate(BackgroundEvent event) = 0;
    virtual ~EventGenerator() = default;
};

}  // namespace background
