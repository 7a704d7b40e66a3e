#pragma once
// Files and stream records as bytes: what the tests compare written files with.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

#include "tmio/tmio.h"

namespace background::testing {

using Bytes = std::vector<unsigned char>;

inline Bytes file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Bytes of a header as it stands on the wire (native order).
inline Bytes header_bytes(int32_t header) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &header, 4);
    return bytes;
}

// The memory image of a value.
template <class T>
Bytes image_of(const T& value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes protocol_image(std::string_view protocol) {
    Bytes field(TMIO_PROTOCOL_SIZE, 0);
    std::memcpy(field.data(), protocol.data(), protocol.size());
    return concat({header_bytes(TMIO_PROTOCOL_TAG), field});
}

inline void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

}  // namespace background::testing
