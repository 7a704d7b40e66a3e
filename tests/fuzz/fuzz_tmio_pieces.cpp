// A tagged-message stream that arrives in pieces, on a FIFO or on standard input, read through a context
// with a buffer of a few KiB or the default one, so that headers and records are split across reads and
// buffer refills. Every call must give what the same call gives on a memory block of the same bytes:
// result, status and stored bytes; nothing may crash, leak or hang.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "piece_writer.hpp"
#include "tmio/tmio.h"

namespace {

// [0] protocol; [1] buffer size (bits 0-1), the live stream's timeout (bits 2-3), standard input instead
// of the pipe's name (bit 4); [2..7] the calls, as in fuzz_tmio_read; [8..11] the pieces. The rest is the stream.
constexpr size_t control_size = 12;
constexpr size_t call_steering = 6;
const char* const protocols[] = {"", "P", "EVENT", "EVENT_PROTOCOL", "META_PROTOCOL",
                                 "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"};
constexpr int capacities[] = {0, 1, 3, 4, 7, 8, 24, 64, 1023, 1024, 1025, 4096, -1};
constexpr int buffer_kib[] = {0, 1, 2, 4};
// A positive timeout waits in poll as -1 does, bounded; with 0 the stream does not wait for the writer at
// all, so its results may differ from the memory block's and are not compared.
constexpr int timeouts[] = {-1, -1, 5000, 0};
// How long a wait may take while the writer still writes: beyond its pauses, which are microseconds. At
// the end of the data a wait with a timeout sleeps all of it (the data might grow), so it stays short.
constexpr int live_wait_ms = 2;

unsigned char expected[4096];
unsigned char found[4096];

// A live call that timed out found the machine too busy, not the stream wrong: nothing after it compares.
bool timed_out(tmio_context* context) {
    return bufio_status(tmio_stream_handle(context)) == BUFIO_STATUS_TIMEOUT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < control_size) return 0;
    const uint8_t* control = data;
    const uint8_t* stream = data + control_size;
    const size_t stream_size = size - control_size;
    const char* protocol = protocols[control[0] % std::size(protocols)];
    const int kib = buffer_kib[control[1] & 3];
    const int timeout = timeouts[(control[1] >> 2) & 3];
    bool compare = timeout != 0;

    // The same bytes in a block of exactly their size.
    unsigned char* block = static_cast<unsigned char*>(std::malloc(stream_size ? stream_size : 1));
    if (stream_size) std::memcpy(block, stream, stream_size);
    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<void*>(block), stream_size);
    tmio_context* reference = tmio_init(protocol, 0, 0, 0);
    tmio_context* live = tmio_init(protocol, timeout, kib, 0);
    {
        PieceWriter writer(control[1] & 16 ? PieceWriter::Source::standard_input : PieceWriter::Source::fifo,
                           stream, stream_size, control + 2 + call_steering, control_size - 2 - call_steering);
        const bool reference_open = tmio_open(reference, address, 0) >= 0;
        const bool live_open = tmio_open(live, writer.address().c_str(), 0) >= 0;
        if (compare && (reference_open != live_open || tmio_status(reference) != tmio_status(live)) &&
            !timed_out(live))
            std::abort();
        if (live_open) {
            int idle = 0;  // calls in a row that found nothing more
            for (size_t step = 0; step < 2 * stream_size + 16 && idle < 4; ++step) {
                const uint8_t steer = control[2 + step % call_steering];
                const int capacity = capacities[(steer >> 2) % std::size(capacities)];
                int want = -1, got = -1;
                switch ((steer + step) % 3) {
                    case 0:
                        if (compare) want = tmio_read_tag(reference);
                        got = tmio_read_tag(live);
                        break;
                    case 1:
                        if (compare) want = tmio_read_data(reference, expected, capacity);
                        got = tmio_read_data(live, found, capacity);
                        break;
                    default:
                        if (compare) want = tmio_wait(reference, 0);
                        // Once the writer has closed, every byte is there: waiting would only sleep.
                        writer.settle();
                        got = tmio_wait(live, writer.closed() ? 0 : live_wait_ms);
                        break;
                }
                if (compare && (want != got || tmio_status(reference) != tmio_status(live) ||
                                ((steer + step) % 3 == 1 && got > 0 && capacity > 0 &&
                                 std::memcmp(expected, found, static_cast<size_t>(std::min(got, capacity))) != 0))) {
                    if (!timed_out(live)) std::abort();
                    compare = false;
                }
                idle = got <= 0 ? idle + 1 : 0;
                if (tmio_status(live) < 0) break;
            }
        }
        tmio_delete(live);
    }
    tmio_delete(reference);
    std::free(block);
    return 0;
}
