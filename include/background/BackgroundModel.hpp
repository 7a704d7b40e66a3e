#pragma once

#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/export.h"

namespace background {

// Draws the events with begin <= time < end, ascending in time. Models that
// draw at random advance their engine with every call.
class BACKGROUND_EXPORT BackgroundModel {
public:
    virtual std::vector<BackgroundEvent> sample(double begin, double end) = 0;
    virtual ~BackgroundModel() = default;
};

}  // namespace background
