// Placeholder until the class is built; every operation refuses to work.

#include "background/Background.hpp"
#include <stdexcept>

namespace background {

namespace {
[[noreturn]] void missing() { throw std::logic_error("not built yet"); }
}  // namespace

struct Background::Impl {};
Background::Background(const std::string&) { missing(); }
Background::~Background() = default;
PEList Background::next_chunk(double) { missing(); }
void Background::seek(double) { missing(); }
std::vector<Metadata> Background::generate_metadata(double, double) { missing(); }

}  // namespace background
