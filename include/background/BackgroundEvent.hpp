#pragma once

#include <cstddef>

namespace background {

// One event drawn by a background model; 24 bytes, stored in files as this raw
// image. Events are ordered by `time` alone.
struct BackgroundEvent {
    double time;       // absolute time, s
    int type;          // generator type of the model that drew the event
    unsigned long id;  // shower UID, or channel number for dark counts
};

static_assert(sizeof(BackgroundEvent) == 24);
static_assert(offsetof(BackgroundEvent, time) == 0);
static_assert(offsetof(BackgroundEvent, type) == 8 && sizeof(int) == 4);
static_assert(offsetof(BackgroundEvent, id) == 16);

}  // namespace background
