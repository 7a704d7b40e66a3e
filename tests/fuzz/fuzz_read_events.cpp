// The reader of event files on arbitrary bytes.
#include "serializer_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return read_serializer_file(data, size, [](const auto& serializer, const char* path) {
        return serializer.read_events(path);
    });
}
