// Placeholder until the class is built; every operation refuses to work.

#include "background/GenericModel.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

void GenericModel::add_model(std::unique_ptr<BackgroundModel>) { missing(); }
std::vector<BackgroundEvent> GenericModel::sample(double, double) { missing(); }

}  // namespace background
