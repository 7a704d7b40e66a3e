#pragma once

#include "background/Serializer.hpp"
#include "background/export.h"

namespace background {

// Each vector is one tagged-message file: a protocol tag naming the content
// ("EVENT_PROTOCOL", "META_PROTOCOL", "NUMBER_PROTOCOL"), then one vector item
// of raw element images (24-byte events, 64-byte records, 8-byte doubles, in
// native byte order, alignment bytes zero). An empty vector gives an 84-byte
// file. Paths may be any byte-stream address ("-", "mem://...", ...).
// Readers accept a file whose protocol begins with the expected one and read
// nothing after the vector item; every failure is a std::ios_base::failure of
// tmio::TMIO, except std::length_error for a negative element count or a
// vector too large for one data record.
class BACKGROUND_EXPORT TMIOSerializer : public Serializer {
public:
    std::vector<BackgroundEvent> read_events(std::filesystem::path path) const override;
    void write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const override;
    std::vector<Metadata> read_metadata(std::filesystem::path path) const override;
    void write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const override;
    std::vector<double> read_numbers(std::filesystem::path path) const override;
    void write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const override;
};

}  // namespace background
