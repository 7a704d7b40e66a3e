// Placeholder until the class is built; every operation refuses to work.

#include "background/CosmicRayModel.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

struct CosmicRayModel::Impl {};
CosmicRayModel::CosmicRayModel(ShowerProvider&, Flux&, unsigned long, int, double, double, double, double, double, bool) { missing(); }
CosmicRayModel::~CosmicRayModel() = default;
std::vector<BackgroundEvent> CosmicRayModel::sample(double, double) { missing(); }

}  // namespace background
