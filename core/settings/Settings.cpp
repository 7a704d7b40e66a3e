#include "background/Settings.hpp"

#include <stdexcept>

#include "background/YAMLAccessor.hpp"
#include "format.hpp"

namespace background {

namespace {

using Path = std::vector<std::string>;

// Accessor failures of type invalid_argument reach the caller as a plain copy
// (without their nested cause); anything else is nested under `text`.
template <class T>
T convert(Settings::Accessor* accessor, const Path& key_path, T (Settings::Accessor::*get)(const Path&),
          const char* text) {
    try {
        if (!accessor) throw std::invalid_argument("access failed");
        return (accessor->*get)(key_path);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(e);
    } catch (...) {
        std::throw_with_nested(std::invalid_argument(text));
    }
}

}  // namespace

Settings::Settings(std::shared_ptr<Accessor> accessor, std::vector<std::string> key_path)
    : accessor(std::move(accessor)), key_path(std::move(key_path)) {}

Settings::Settings(std::shared_ptr<Accessor> accessor) : accessor(std::move(accessor)) {}

Settings Settings::from_file(std::filesystem::path file) {
    return Settings(std::make_shared<YAMLAccessor>(std::move(file)));
}

std::vector<std::string> Settings::child_path(const std::string& key) const {
    auto path = key_path;
    path.push_back(key);
    return path;
}

Settings Settings::operator[](const std::string& key) const {
    auto path = child_path(key);
    if (!accessor || !accessor->contains(path)) throw std::out_of_range(format("Key {} not found!", key));
    return Settings(accessor, std::move(path));
}

bool Settings::contains(const std::string& key) const noexcept {
    try {
        return accessor && accessor->contains(child_path(key));
    } catch (...) {
        return false;  // only memory can fail here
    }
}

std::vector<std::string> Settings::keys() const {
    if (!accessor) return {};
    return accessor->keys(key_path);
}

Settings::operator std::string() const {
    return convert(accessor.get(), key_path, &Accessor::get_string, "Cast to string failed! Caused by");
}

Settings::operator int() const {
    return convert(accessor.get(), key_path, &Accessor::get_int, "Cast to int failed! Caused by");
}

Settings::operator double() const {
    return convert(accessor.get(), key_path, &Accessor::get_double, "Cast to double failed! Caused by");
}

Settings::operator bool() const {
    return convert(accessor.get(), key_path, &Accessor::get_bool, "Cast to bool failed! Caused by");
}

}  // namespace background
