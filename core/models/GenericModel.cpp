#include "background/GenericModel.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "background/DarkCountModel.hpp"
#include "Composition.hpp"

namespace background {

void GenericModel::add_model(std::unique_ptr<BackgroundModel> model) {
    if (!model) throw std::invalid_argument("Model must not be null!");
    models.push_back(std::move(model));
}

std::vector<BackgroundEvent> GenericModel::sample(double begin, double end) {
    std::vector<BackgroundEvent> result;
    for (const auto& model : models) {
        auto next = model->sample(begin, end);
        if (result.empty()) {
            result = std::move(next);
            continue;
        }
        // ranges::merge takes from `next` only when strictly earlier, so on
        // equal times the events of earlier members come first.
        std::vector<BackgroundEvent> merged;
        merged.reserve(result.size() + next.size());
        std::ranges::merge(result, next, std::back_inserter(merged), {}, &BackgroundEvent::time,
                           &BackgroundEvent::time);
        result = std::move(merged);
    }
    return result;
}

DarkCountModel* detail::Composition::sole_dark_count_model(BackgroundModel& model) {
    BackgroundModel* current = &model;
    // A GenericModel of one member returns that member's list unchanged.
    while (auto* generic = dynamic_cast<GenericModel*>(current)) {
        if (generic->models.size() != 1) return nullptr;
        current = generic->models.front().get();
    }
    return dynamic_cast<DarkCountModel*>(current);
}

}  // namespace background
