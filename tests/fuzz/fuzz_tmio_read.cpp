// Arbitrary bytes as a tagged-message stream in memory: opening it and reading tags, data records and
// waits with assorted capacities must never crash, leak, allocate without bound or hang.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tmio/tmio.h"

namespace {

// The first bytes steer the reader; the rest is the stream.
constexpr size_t control_size = 8;
const char* const protocols[] = {"", "P", "EVENT", "EVENT_PROTOCOL", "META_PROTOCOL",
                                 "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"};
constexpr int capacities[] = {0, 1, 3, 4, 7, 8, 24, 64, 1023, 1024, 1025, 4096, -1};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < control_size) return 0;
    const uint8_t* control = data;
    // A block of exactly the stream's size, so that the sanitizer sees any read past its end.
    std::vector<uint8_t> block(data + control_size, data + size);
    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<void*>(block.data()), block.size());

    tmio_context* context = tmio_init(protocols[control[0] % std::size(protocols)], 0, control[1] % 3, 0);
    if (tmio_open(context, address, 0) >= 0) {
        static unsigned char buffer[4096];
        int idle = 0;  // calls in a row that found nothing more
        for (size_t step = 0; step < 2 * block.size() + 16 && idle < 4; ++step) {
            uint8_t steer = control[2 + step % (control_size - 2)];
            int result;
            switch ((steer + step) % 3) {
                case 0: result = tmio_read_tag(context); break;
                case 1:
                    result = tmio_read_data(context, buffer, capacities[(steer >> 2) % std::size(capacities)]);
                    break;
                default: result = tmio_wait(context, 0); break;
            }
            idle = result <= 0 ? idle + 1 : 0;
            if (tmio_status(context) < 0) break;
        }
    }
    tmio_delete(context);
    return 0;
}
