#include "background/Factory.hpp"

#include <algorithm>
#include <stdexcept>

#include "Refusal.hpp"
#include "format.hpp"

namespace background {

namespace {

// Instances nest by naming one another; each level of nesting takes stack
// through the entries and constructors in between, so a chain of thousands
// would exhaust it. Real settings nest a handful of levels.
constexpr std::size_t max_nesting = 100;
// An instance named in several places is built once for each place, so a few
// levels that each name the next level's instances twice build exponentially
// many. Real settings build a handful per instance.
constexpr std::size_t max_nested_instances = 1000;

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
    names_under_construction.clear();
    nested_built = 0;
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
    if (names_under_construction.contains(name)) {
        std::string chain;
        for (auto outer = std::ranges::find(under_construction, name); outer != under_construction.end(); ++outer)
            chain += *outer + " -> ";
        throw std::invalid_argument(
            format("Instance {} refers to itself in {}: {}{}!", name, settings_file.string(), chain, name));
    }
    if (under_construction.size() == max_nesting)
        throw std::invalid_argument(format("Instance {} starts a chain of instances nested more than {} deep in {}!",
                                           under_construction.front(), max_nesting, settings_file.string()));
    if (under_construction.empty())
        nested_built = 0;
    else if (++nested_built > max_nested_instances)
        throw std::invalid_argument(format("Instance {} builds more than {} nested instances in {}!",
                                           under_construction.front(), max_nested_instances,
                                           settings_file.string()));
    under_construction.push_back(name);
    names_under_construction.insert(name);
    struct Pop {
        Factory& factory;
        ~Pop() {
            factory.names_under_construction.erase(factory.under_construction.back());
            factory.under_construction.pop_back();
        }
    } pop{*this};
    try {
        return entry->second(section[name]);
    } catch (const detail::Refusal& refusal) {
        std::rethrow_exception(refusal.in(format("instance {} in {}", name, settings_file.string())));
    }
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
