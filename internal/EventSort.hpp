#pragma once
// Sorting of model events by time.

#include <vector>

#include "background/BackgroundEvent.hpp"

namespace background::detail {

// Sorts by BackgroundEvent::time and leaves the events exactly as
// std::ranges::sort with that projection leaves them, equal times included.
void sort_by_time(std::vector<BackgroundEvent>& events);

}  // namespace background::detail
