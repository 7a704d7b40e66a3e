#include "background/MultiProvider.hpp"

#include <map>
#include <stdexcept>
#include <utility>

#include "background/SimulationProvider.hpp"
#include "format.hpp"

namespace background {

struct MultiProvider::Impl {
    int cutoff_pes;
    double cutoff_interval;
    bool warn_unverified;
    // Each dataset's file index, for routing, beside the provider serving it.
    std::vector<std::pair<std::map<unsigned long, std::filesystem::path>, std::unique_ptr<SimulationProvider>>>
        datasets;

    // The provider of the first dataset that holds the file of `uid`.
    SimulationProvider& route(unsigned long uid) {
        const unsigned long key = uid & FILE_KEY_MASK;
        for (auto& [index, provider] : datasets)
            if (index.contains(key)) return *provider;
        throw std::out_of_range(format("Shower with UID {} not found!", uid));
    }
};

MultiProvider::MultiProvider(int cutoff_pes, double cutoff_interval, bool warn_unverified)
    : impl(std::make_unique<Impl>(Impl{cutoff_pes, cutoff_interval, warn_unverified, {}})) {}

MultiProvider::~MultiProvider() = default;

void MultiProvider::add_dataset(std::filesystem::path dir, int file_limit) {
    std::map<unsigned long, std::filesystem::path> index;
    SimulationProvider::make_index(dir, index);
    auto provider = std::make_unique<SimulationProvider>(std::move(dir), file_limit, impl->cutoff_pes,
                                                         impl->cutoff_interval, impl->warn_unverified);
    impl->datasets.emplace_back(std::move(index), std::move(provider));
}

std::vector<Metadata> MultiProvider::get_all_metadata() {
    std::vector<std::vector<Metadata>> lists;
    lists.reserve(impl->datasets.size());
    std::size_t total = 0;
    for (auto& dataset : impl->datasets) {
        lists.push_back(dataset.second->get_all_metadata());
        total += lists.back().size();
    }
    std::vector<Metadata> result;
    result.reserve(total);
    for (const auto& list : lists) result.insert(result.end(), list.begin(), list.end());
    return result;
}

Metadata MultiProvider::get_metadata(unsigned long uid) { return impl->route(uid).get_metadata(uid); }

PEList MultiProvider::get_pe_list(unsigned long uid) { return impl->route(uid).get_pe_list(uid); }

}  // namespace background
