// Tagged-message streams against plain write/read calls on a file in the page cache: about 256 MiB written
// and read back once as 4 KiB data records behind one tag and once as 16-byte records each behind its own
// tag; the plain calls move the same payload bytes in calls of the same sizes. Rates are payload MB/s of
// process CPU time (the machine is shared); each figure is the median of the rounds.
//
//   bench_tmio [rounds (default 3)] [directory (default: the system's temporary directory)]

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "tmio/tmio.h"

namespace {

constexpr size_t file_bytes = size_t{256} << 20;

struct Shape {
    const char* name;
    size_t record;    // payload bytes per record and per plain call
    bool tag_each;    // a tag before every record, else one tag before all of them
    size_t records;   // so that the tagged file is about 256 MiB
};

// Payload of record i: a window into a fixed pattern, so that every record differs.
struct Payload {
    std::vector<unsigned char> pattern;
    Payload() : pattern(1 << 20) {
        uint32_t x = 2463534242u;
        for (auto& byte : pattern) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<unsigned char>(x);
        }
    }
    const unsigned char* record(size_t i, size_t size) const {
        return pattern.data() + (i * 4099) % (pattern.size() - size);
    }
};

uint64_t checksum(const unsigned char* bytes, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; i += 8) sum += bytes[i];
    return sum;
}

uint64_t expected_checksum(const Shape& shape, const Payload& payload) {
    uint64_t sum = 0;
    for (size_t i = 0; i < shape.records; ++i) sum += checksum(payload.record(i, shape.record), shape.record);
    return sum;
}

double plain_write(const std::string& path, const Shape& shape, const Payload& payload) {
    double start = cpu_seconds();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail("open");
    for (size_t i = 0; i < shape.records; ++i)
        if (write(fd, payload.record(i, shape.record), shape.record) != static_cast<ssize_t>(shape.record))
            fail("write");
    if (close(fd) != 0) fail("close");
    return cpu_seconds() - start;
}

double plain_read(const std::string& path, const Shape& shape, uint64_t& sum) {
    std::vector<unsigned char> buffer(shape.record);
    double start = cpu_seconds();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    sum = 0;
    for (size_t i = 0; i < shape.records; ++i) {
        if (read(fd, buffer.data(), shape.record) != static_cast<ssize_t>(shape.record)) fail("read");
        sum += checksum(buffer.data(), shape.record);
    }
    close(fd);
    return cpu_seconds() - start;
}

double tagged_write(const std::string& path, const Shape& shape, const Payload& payload) {
    double start = cpu_seconds();
    tmio_context* context = tmio_init("BENCH", 0, 0, 0);
    if (tmio_create(context, path.c_str(), 0) < 0) fail("tmio_create");
    int length = static_cast<int>(shape.record);
    if (!shape.tag_each && tmio_write_tag(context, 1) != 0) fail("tmio_write_tag");
    for (size_t i = 0; i < shape.records; ++i) {
        if (shape.tag_each && tmio_write_tag(context, 1 + static_cast<int>(i % 1000)) != 0) fail("tmio_write_tag");
        if (tmio_write_data(context, payload.record(i, shape.record), length) != length) fail("tmio_write_data");
    }
    if (tmio_delete(context) != 0) fail("tmio_delete");
    return cpu_seconds() - start;
}

double tagged_read(const std::string& path, const Shape& shape, uint64_t& sum) {
    std::vector<unsigned char> buffer(shape.record);
    int length = static_cast<int>(shape.record);
    double start = cpu_seconds();
    tmio_context* context = tmio_init("BENCH", 0, 0, 0);
    if (tmio_open(context, path.c_str(), 0) < 0) fail("tmio_open");
    if (!shape.tag_each && tmio_read_tag(context) != 1) fail("tmio_read_tag");
    sum = 0;
    for (size_t i = 0; i < shape.records; ++i) {
        if (shape.tag_each && tmio_read_tag(context) != 1 + static_cast<int>(i % 1000)) fail("tmio_read_tag");
        if (tmio_read_data(context, buffer.data(), length) != length) fail("tmio_read_data");
        sum += checksum(buffer.data(), shape.record);
    }
    if (tmio_read_tag(context) != 0) fail("end of the tagged file");
    tmio_delete(context);
    return cpu_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::filesystem::path dir = argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
    std::string plain_path = (dir / ("bench_tmio_plain_" + std::to_string(getpid()))).string();
    std::string tagged_path = (dir / ("bench_tmio_tagged_" + std::to_string(getpid()) + ".tmio")).string();
    Payload payload;
    const Shape shapes[] = {
        {"4 KiB data records", 4096, false, (file_bytes - 72) / (4096 + 4)},
        {"16-byte records, a tag each", 16, true, (file_bytes - 68) / (16 + 4 + 4)},
    };
    std::printf("tagged-message file of about %zu MiB in %s, page cache; payload MB/s of CPU time, median of %d\n",
                file_bytes >> 20, dir.c_str(), rounds);
    for (const Shape& shape : shapes) {
        uint64_t expected = expected_checksum(shape, payload);
        double payload_mb = static_cast<double>(shape.records * shape.record) / 1e6;
        std::vector<double> times[4];  // plain write, tagged write, plain read, tagged read
        for (int round = 0; round < rounds; ++round) {
            uint64_t sum = 0;
            times[0].push_back(plain_write(plain_path, shape, payload));
            times[1].push_back(tagged_write(tagged_path, shape, payload));
            times[2].push_back(plain_read(plain_path, shape, sum));
            if (sum != expected) fail("plain read-back");
            times[3].push_back(tagged_read(tagged_path, shape, sum));
            if (sum != expected) fail("tagged read-back");
        }
        std::error_code ignored;
        auto tagged_size = std::filesystem::file_size(tagged_path, ignored);
        std::filesystem::remove(plain_path, ignored);
        std::filesystem::remove(tagged_path, ignored);
        double rate[4];
        for (int i = 0; i < 4; ++i) rate[i] = payload_mb / median(times[i]);
        std::printf("%s: %zu records, %.1f MB payload, tagged file %.1f MiB\n", shape.name, shape.records, payload_mb,
                    static_cast<double>(tagged_size) / (1 << 20));
        std::printf("  write  plain %8.1f MB/s  tagged %8.1f MB/s  ratio %.2f\n", rate[0], rate[1], rate[1] / rate[0]);
        std::printf("  read   plain %8.1f MB/s  tagged %8.1f MB/s  ratio %.2f\n", rate[2], rate[3], rate[3] / rate[2]);
    }
    return 0;
}
