#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "background/ShowerProvider.hpp"
#include "background/export.h"

namespace background {

// Several directories of simulation files served as one provider. A shower
// goes to the first dataset whose files hold its file key; all metadata is
// the datasets' lists one after the other.
class BACKGROUND_EXPORT MultiProvider : public ShowerProvider {
public:
    // The cut-off and the warning switch of every dataset added later.
    MultiProvider(int cutoff_pes, double cutoff_interval, bool warn_unverified);
    ~MultiProvider() override;

    // Adds the simulation files in `dir`; get_all_metadata reads at most
    // `file_limit` of them (negative: all).
    void add_dataset(std::filesystem::path dir, int file_limit);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
