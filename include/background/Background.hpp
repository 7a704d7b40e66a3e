#pragma once

#include <memory>
#include <string>
#include <vector>

#include "background/export.h"
#include "background/Metadata.hpp"
#include "background/PEList.hpp"

namespace background {

// The engine a user drives: built from a settings file, it owns a shower
// provider, an event generator and a background model and cuts simulated time
// into consecutive chunks of per-channel p.e. times.
class BACKGROUND_EXPORT Background {
public:
    explicit Background(const std::string& settings);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The chunk [start, start + time_span]; later p.e.s carry over.
    PEList next_chunk(double time_span);
    // Sets the start of the next chunk, which drops the carried-over p.e.s.
    void seek(double time);
    // The records of the shower events in [begin, end).
    std::vector<Metadata> generate_metadata(double begin, double end);

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
