#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/ShowerProvider.hpp"
#include "background/export.h"

namespace background {

// The hook id under which every OrderedProvider that the provider factory
// builds registers its time hint; "time_hint_hook" set to it lets an engine
// follow seeks with that provider.
inline constexpr int TIME_HINT_HOOK_ID = 13076069;

// Serves the showers of a time-ordered shower directory, reading its files
// strictly forward: the shower after the one read last costs one record, any
// other a cyclic scan of every file. Registers skip_to_time as the time hint
// under a positive hook id (replacing what is registered there) and removes
// whatever is registered under it when destroyed.
//
// A directory holds, per batch k of `per_file` consecutive events,
// OP_DATA_k.tmio and, in the split layout, OP_META_k.tmio, plus one
// OP_HINT.tmio with the time of every batch's first event.
class BACKGROUND_EXPORT OrderedProvider : public ShowerProvider {
public:
    // Reads the directory's file lists and hint values; opens no data file.
    OrderedProvider(std::filesystem::path dir, int hook_id);
    ~OrderedProvider() override;
    OrderedProvider(const OrderedProvider&) = delete;
    OrderedProvider& operator=(const OrderedProvider&) = delete;

    // The time hint: moves the reading to the start of the batch whose first
    // event time is the last one not after `t`, unless that batch is open.
    void skip_to_time(double t);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

    // Writes the showers behind `events` (in time order) into `dir` as a
    // time-ordered shower directory, asking `provider` for every event's id.
    // Every entry of `dir` whose name begins with "OP" is removed first.
    // With `drop_empty` an event with an empty p.e. list is not written, and
    // exactly the events not written are erased from `events` once all files
    // are complete. `fetch_together` asks for a shower's metadata and p.e.
    // list one after the other, else a batch's metadata first. `per_file` 0 is
    // refused (std::invalid_argument) before anything is touched; a file that
    // cannot be written completely throws std::ios_base::failure.
    static void order_events(std::filesystem::path dir, ShowerProvider& provider,
                             std::vector<BackgroundEvent>& events, unsigned long per_file, bool drop_empty,
                             bool interleaved, bool fetch_together);

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
