#pragma once

#include <cstddef>

namespace background {

// The record of one shower. Its memory image is a file format (64 bytes,
// native byte order), so the layout below must never change.
struct Metadata {
    enum Primary : int { GAMMA = 1, PROTON = 14 };

    unsigned long uid;   // shower UID
    Primary primary;     // primary particle
    double energy;       // GeV
    double x;            // shower core, m
    double y;            // shower core, m
    double theta;        // zenith angle, rad
    double phi;          // azimuth, rad
    double time;         // arrival time, s
};

static_assert(sizeof(Metadata) == 64);
static_assert(offsetof(Metadata, uid) == 0);
static_assert(offsetof(Metadata, primary) == 8 && sizeof(Metadata::Primary) == 4);
static_assert(offsetof(Metadata, energy) == 16);
static_assert(offsetof(Metadata, x) == 24);
static_assert(offsetof(Metadata, y) == 32);
static_assert(offsetof(Metadata, theta) == 40);
static_assert(offsetof(Metadata, phi) == 48);
static_assert(offsetof(Metadata, time) == 56);

}  // namespace background
