#pragma once

#include <vector>

#include "background/export.h"
#include "background/Metadata.hpp"
#include "background/PEList.hpp"

namespace background {

// Serves showers by UID. An unknown UID is refused with std::out_of_range in
// both lookups; p.e. times are relative to the shower and ascending per entry.
class BACKGROUND_EXPORT ShowerProvider {
public:
    virtual std::vector<Metadata> get_all_metadata() = 0;
    virtual Metadata get_metadata(unsigned long uid) = 0;
    virtual PEList get_pe_list(unsigned long uid) = 0;
    virtual ~ShowerProvider() = default;
};

}  // namespace background
