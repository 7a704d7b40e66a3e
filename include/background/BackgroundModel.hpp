#pragma once

#include <vector>

#include "background/BackgroundEvent.hpp"

namespace background {

// Draws the events with begin <= time < end, ascending in time. Models that
// draw at random advance their engine with every call.
class BackgroundModel {
public:
    virtual std::vector<BackgroundEvent> sample(double begin, double end) = 0;
    virtual ~BackgroundModel() = default;
};

}  // namespace background
