#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "background/BackgroundModel.hpp"
#include "background/EventGenerator.hpp"
#include "background/export.h"
#include "background/Flux.hpp"
#include "background/Settings.hpp"
#include "background/ShowerProvider.hpp"

namespace background {

// Builds named instances of T from the settings section of T's family
// ("generators", "models", "providers", "fluxes") through a fixed table from
// class name to constructor. Instantiated for EventGenerator, BackgroundModel,
// ShowerProvider and Flux only.
template <class T>
class BACKGROUND_EXPORT Factory {
public:
    using Entry = std::function<std::unique_ptr<T>(Settings)>;

    // A factory without settings; create_by_name refuses to work.
    Factory() = default;
    explicit Factory(std::filesystem::path settings_file);

    // Entries refer back to the factory that built them, so a move rebuilds
    // the table for its target; copying is not offered.
    Factory(const Factory&) = delete;
    Factory& operator=(const Factory&) = delete;
    Factory(Factory&& other);
    Factory& operator=(Factory&& other);
    ~Factory();

    std::unique_ptr<T> create_by_name(std::string name);

    // Resolves a file name from the settings against the settings file's
    // directory; absolute names are returned unchanged.
    std::filesystem::path path(std::string file);

    void build_class_resolve_table();

private:
    std::filesystem::path settings_file;
    Settings section;
    std::map<std::string, Entry> classes;
    // Names being built right now, outermost first, to refuse instances that
    // name themselves and chains too deep for the stack; the set finds a
    // repeated name in constant time.
    std::vector<std::string> under_construction;
    std::unordered_set<std::string> names_under_construction;
    // Instances built below the outermost one under construction, to refuse
    // settings that multiply them beyond any real use.
    std::size_t nested_built = 0;
};

template <>
void Factory<EventGenerator>::build_class_resolve_table();
template <>
void Factory<BackgroundModel>::build_class_resolve_table();
template <>
void Factory<ShowerProvider>::build_class_resolve_table();
template <>
void Factory<Flux>::build_class_resolve_table();

extern template class Factory<EventGenerator>;
extern template class Factory<BackgroundModel>;
extern template class Factory<ShowerProvider>;
extern template class Factory<Flux>;

}  // namespace background
