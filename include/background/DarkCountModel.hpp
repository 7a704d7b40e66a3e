#pragma once

#include <memory>

#include "background/BackgroundModel.hpp"
#include "background/export.h"

namespace background {

namespace detail {
struct Composition;
}

// Dark counts: an independent Poisson process of constant rate (per second)
// on each of num_channels channels; event ids are channel numbers.
class BACKGROUND_EXPORT DarkCountModel : public BackgroundModel {
public:
    DarkCountModel(double rate, unsigned long num_channels, unsigned long seed, int gen_type);
    ~DarkCountModel() override;
    std::vector<BackgroundEvent> sample(double begin, double end) override;

    struct Impl;

private:
    friend struct detail::Composition;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
