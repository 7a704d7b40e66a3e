#include "background/Factory.hpp"

#include <algorithm>
#include <stdexcept>

#include "format.hpp"

namespace background {

namespace {

template <class T>
constexpr const char* section_name();
template <>
constexpr const char* section_name<EventGenerator>() { return "generators"; }
template <>
constexpr const char* section_name<BackgroundModel>() { return "models"; }
template <>
constexpr const char* section_name<ShowerProvider>() { return "providers"; }
template <>
constexpr const char* section_name<Flux>() { return "fluxes"; }

}  // namespace

template <class T>
Factory<T>::Factory(std::filesystem::path settings_file)
    : settings_file(std::move(settings_file)),
      section(Settings::from_file(this->settings_file)[section_name<T>()]) {
    build_class_resolve_table();
}

template <class T>
Factory<T>::Factory(Factory&& other) {
    *this = std::move(other);
}

template <class T>
Factory<T>& Factory<T>::operator=(Factory&& other) {
    if (this == &other) return *this;
    settings_file = std::exchange(other.settings_file, {});
    section = std::exchange(other.section, Settings());
    other.classes.clear();
    classes.clear();
    under_construction.clear();
    // The moved entries would still point at `other`: build ours afresh.
    if (!settings_file.empty()) build_class_resolve_table();
    return *this;
}

template <class T>
Factory<T>::~Factory() = default;

template <class T>
std::unique_ptr<T> Factory<T>::create_by_name(std::string name) {
    if (settings_file.native().empty())
        throw std::out_of_range("Default constructed or moved from object, no settings available!");
    if (!section.contains(name))
        throw std::out_of_range(format("Instance {} is not defined in {}!", name, settings_file.string()));
    std::string class_name = section[name]["class"];
    auto entry = classes.find(class_name);
    if (entry == classes.end())
        throw std::out_of_range(format("Class {} cannot be instantiated by this factory!", class_name));

    // An instance that names itself, directly or through others, would
    // otherwise recurse until the stack is exhausted.
    if (auto first = std::ranges::find(under_construction, name); first != under_construction.end()) {
        std::string chain;
        for (auto outer = first; outer != under_construction.end(); ++outer) chain += *outer + " -> ";
        throw std::invalid_argument(format("Instance {} refers to itself: {}{}!", name, chain, name));
    }
    under_construction.push_back(name);
    struct Pop {
        std::vector<std::string>& names;
        ~Pop() { names.pop_back(); }
    } pop{under_construction};
    return entry->second(section[name]);
}

template <class T>
std::filesystem::path Factory<T>::path(std::string file) {
    std::filesystem::path p(std::move(file));
    if (p.has_root_directory()) return p;
    return (settings_file.parent_path() / p).lexically_normal();
}

template class Factory<EventGenerator>;
template class Factory<BackgroundModel>;
template class Factory<ShowerProvider>;
template class Factory<Flux>;

}  // namespace background
