#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/Metadata.hpp"
#include "background/export.h"

namespace background {

// Stores and loads whole vectors of events, shower records and numbers, one
// vector per file, without its callers knowing the file format. Each call
// opens and closes its own file; a write that returns normally has handed
// the whole file to the system (closed it, without syncing it to disk).
class BACKGROUND_EXPORT Serializer {
public:
    virtual std::vector<BackgroundEvent> read_events(std::filesystem::path path) const = 0;
    virtual void write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const = 0;
    virtual std::vector<Metadata> read_metadata(std::filesystem::path path) const = 0;
    virtual void write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const = 0;
    virtual std::vector<double> read_numbers(std::filesystem::path path) const = 0;
    virtual void write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const = 0;
    virtual ~Serializer() = default;

    // The serializer the rest of the library uses: a TMIOSerializer.
    static std::unique_ptr<Serializer> create_default();
};

}  // namespace background
