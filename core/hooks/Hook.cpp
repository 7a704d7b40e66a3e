#include "background/Hook.hpp"

namespace background {

std::map<int, std::unique_ptr<Hook>> Hook::hooks;

void Hook::remove(int id) noexcept { hooks.erase(id); }

}  // namespace background
