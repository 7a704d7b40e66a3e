#pragma once

#include <vector>

#include "background/export.h"
#include "background/ShowerProvider.hpp"

namespace background {

inline constexpr unsigned long MOCK_PROVIDER_SEED = 1234567890;

// A fixed set of synthetic showers made at construction: stratified energies,
// core radii and zeniths, handed out in fixed-seed shuffled orders. Each
// shower's p.e. list is one p.e. on channel 0 at its uid in seconds.
class BACKGROUND_EXPORT MockProvider : public ShowerProvider {
public:
    MockProvider(unsigned long num_showers, double index, double e_min, double e_max, double r_max,
                 double theta_max);
    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

private:
    std::vector<Metadata> showers;
};

}  // namespace background
