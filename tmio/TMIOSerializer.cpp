#include "background/TMIOSerializer.hpp"

#include "tmio/TMIO.hpp"

namespace background {

namespace {

constexpr const char* EVENT_PROTOCOL = "EVENT_PROTOCOL";
constexpr const char* METADATA_PROTOCOL = "META_PROTOCOL";
constexpr const char* NUMBER_PROTOCOL = "NUMBER_PROTOCOL";

template <class T>
void write_file(const std::filesystem::path& path, const char* protocol, const std::vector<T>& values) {
    // A vector too large for one data record is refused before the file is touched.
    int count = tmio::TMIO::vector_count<T>(values.size());
    tmio::TMIO file(path, std::ios::out, protocol);
    file.write_array(tmio::TMIO::VECTOR, values.data(), count);
    file.close();
}

template <class T>
std::vector<T> read_file(const std::filesystem::path& path, const char* protocol) {
    tmio::TMIO file(path, std::ios::in, protocol);
    return file.read_vector<T>();
}

}  // namespace

std::unique_ptr<Serializer> Serializer::create_default() { return std::make_unique<TMIOSerializer>(); }

std::vector<BackgroundEvent> TMIOSerializer::read_events(std::filesystem::path path) const {
    return read_file<BackgroundEvent>(path, EVENT_PROTOCOL);
}

void TMIOSerializer::write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const {
    write_file(path, EVENT_PROTOCOL, events);
}

std::vector<Metadata> TMIOSerializer::read_metadata(std::filesystem::path path) const {
    return read_file<Metadata>(path, METADATA_PROTOCOL);
}

void TMIOSerializer::write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const {
    write_file(path, METADATA_PROTOCOL, metadata);
}

std::vector<double> TMIOSerializer::read_numbers(std::filesystem::path path) const {
    return read_file<double>(path, NUMBER_PROTOCOL);
}

void TMIOSerializer::write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const {
    write_file(path, NUMBER_PROTOCOL, numbers);
}

}  // namespace background
