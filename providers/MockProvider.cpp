// Placeholder until the class is built; every operation refuses to work.

#include "background/MockProvider.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

MockProvider::MockProvider(unsigned long, double, double, double, double, double) { missing(); }
std::vector<Metadata> MockProvider::get_all_metadata() { missing(); }
Metadata MockProvider::get_metadata(unsigned long) { missing(); }
PEList MockProvider::get_pe_list(unsigned long) { missing(); }

}  // namespace background
