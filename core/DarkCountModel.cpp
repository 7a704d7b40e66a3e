// Placeholder until the class is built; every operation refuses to work.

#include "background/DarkCountModel.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

struct DarkCountModel::Impl {};
DarkCountModel::DarkCountModel(double, unsigned long, unsigned long, int) { missing(); }
DarkCountModel::~DarkCountModel() = default;
std::vector<BackgroundEvent> DarkCountModel::sample(double, double) { missing(); }

}  // namespace background
