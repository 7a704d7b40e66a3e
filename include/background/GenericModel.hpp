#pragma once

#include <memory>
#include <vector>

#include "background/BackgroundModel.hpp"
#include "background/export.h"

namespace background {

namespace detail {
struct Composition;
}

// Samples every member over the same interval and merges their events by
// time; on equal times events of earlier members come first.
class BACKGROUND_EXPORT GenericModel : public BackgroundModel {
public:
    GenericModel() = default;
    void add_model(std::unique_ptr<BackgroundModel> model);
    std::vector<BackgroundEvent> sample(double begin, double end) override;

private:
    friend struct detail::Composition;
    std::vector<std::unique_ptr<BackgroundModel>> models;
};

}  // namespace background
