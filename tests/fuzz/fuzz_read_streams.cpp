// The serializer's readers on streams other than a memory block: a regular file, on which the item can be
// made to straddle the end of the first 256 KiB read-ahead, and a pipe (by name, as a FIFO, or as standard
// input) that a writer thread feeds in pieces, which the reader must wait for and whose length it cannot
// know. Each must give what the reader gives on a memory block of the same bytes (the same elements, or a
// failure of the same kind), and none may take memory that the bytes do not back: while it reads, no
// block is larger than the stream buffer or twice the stream's bytes and the first 64 KiB step.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <ios>
#include <stdexcept>
#include <string>
#include <vector>

#include "background/TMIOSerializer.hpp"
#include "piece_writer.hpp"

namespace {

namespace fs = std::filesystem;

// [0] the kind of file (bits 0-1: events, metadata, numbers, numbers), the stream (bits 2-3: regular
// file, pipe by name, standard input, regular file), a filler record after the protocol header (bit 4),
// zero bytes appended in steps of 128 KiB (bits 5-7); [1] how many bytes before the end of the first
// read-ahead the bytes after the filler start; [2..7] the pieces. The rest is the file.
constexpr size_t control_size = 8;
constexpr size_t header_size = 68;
constexpr size_t read_ahead_end = 4 + 262144;  // tmio_open reads 4 bytes and the whole buffer behind them
constexpr size_t stream_buffer = 262144;
constexpr size_t first_step = 65536;

// The largest block asked for by this thread while `watching`.
thread_local bool watching = false;
size_t largest = 0;

void on_malloc(const volatile void*, size_t size) {
    if (watching && size > largest) largest = size;
}
void on_free(const volatile void*) {}

enum class Outcome { elements, io_failure, length_error, other_failure };

struct Result {
    Outcome outcome = Outcome::elements;
    std::vector<unsigned char> bytes;  // the elements' images
    size_t count = 0;
};

template <class T>
Result read_as(const std::vector<T>& values) {
    Result result;
    result.count = values.size();
    const auto* first = reinterpret_cast<const unsigned char*>(values.data());
    result.bytes.assign(first, first + values.size() * sizeof(T));
    return result;
}

Result read(int kind, const std::string& path) {
    background::TMIOSerializer serializer;
    try {
        switch (kind) {
            case 0: return read_as(serializer.read_events(path));
            case 1: return read_as(serializer.read_metadata(path));
            default: return read_as(serializer.read_numbers(path));
        }
    } catch (const std::ios_base::failure&) {
        return {Outcome::io_failure, {}, 0};
    } catch (const std::length_error&) {
        return {Outcome::length_error, {}, 0};
    } catch (const std::exception&) {
        return {Outcome::other_failure, {}, 0};
    }
}

size_t element_size(int kind) { return kind == 0 ? 24 : kind == 1 ? 64 : 8; }

const fs::path& file_path() {
    static const fs::path path = [] {
        std::string name = (fs::temp_directory_path() / "fuzz_read_streams.XXXXXX").string();
        if (!::mkdtemp(name.data())) std::abort();
        return fs::path(name) / "stream.tmio";
    }();
    return path;
}

// A new file each time: a file system may write a truncated and rewritten file through to disk at once.
void write_file(const std::vector<uint8_t>& bytes) {
    fs::remove(file_path());
    std::FILE* out = std::fopen(file_path().c_str(), "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!__sanitizer_install_malloc_and_free_hooks(on_malloc, on_free)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < control_size) return 0;
    const uint8_t* control = data;
    const int kind = control[0] & 3;
    const int source = (control[0] >> 2) & 3;
    const bool filler = control[0] & 16;
    const size_t padding = static_cast<size_t>(control[0] >> 5) * 131072;
    const size_t shift = control[1];
    const uint8_t* file = data + control_size;
    const size_t file_size = size - control_size;

    std::vector<uint8_t> stream(file, file + std::min(file_size, header_size));
    if (filler && file_size >= header_size) {
        const auto length = static_cast<int32_t>(read_ahead_end - shift - header_size - 4);
        stream.resize(stream.size() + 4 + static_cast<size_t>(length), 0);
        std::memcpy(stream.data() + header_size, &length, 4);
    }
    if (file_size > header_size) stream.insert(stream.end(), file + header_size, file + file_size);
    stream.resize(stream.size() + padding, 0);

    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<void*>(stream.data()), stream.size());
    const Result expected = read(kind, address);
    if (expected.outcome == Outcome::elements && stream.size() < 84 + expected.count * element_size(kind))
        std::abort();

    Result found;
    largest = 0;
    if (source == 0 || source == 3) {
        write_file(stream);
        watching = true;
        found = read(kind, file_path().string());
        watching = false;
    } else {
        PieceWriter writer(source == 1 ? PieceWriter::Source::fifo : PieceWriter::Source::standard_input,
                           stream.data(), stream.size(), control + 2, control_size - 2);
        const std::string path = writer.address();
        watching = true;
        found = read(kind, path);
        watching = false;
    }
    if (found.outcome != expected.outcome || found.count != expected.count || found.bytes != expected.bytes)
        std::abort();
    // Memory follows the bytes: a reader that trusted the count would ask for what it claims at once.
    if (largest > std::max(stream_buffer, 2 * stream.size() + first_step)) std::abort();
    return 0;
}
