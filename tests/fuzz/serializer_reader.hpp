#pragma once
// Arbitrary bytes as a file of the serializer, read from a memory block of exactly their size (so that
// the sanitizer sees any read past its end): the reader returns a vector or throws a std::exception,
// and never crashes, leaks or spends memory the bytes do not back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "background/TMIOSerializer.hpp"

template <class Read>
int read_serializer_file(const uint8_t* data, size_t size, Read read) {
    std::vector<uint8_t> block(data, data + size);
    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<void*>(block.data()), block.size());
    background::TMIOSerializer serializer;
    try {
        auto values = read(serializer, address);
        // Every element came from the bytes: 84 bytes of header, then the elements.
        if (size < 84 + values.size() * sizeof(values[0])) std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
