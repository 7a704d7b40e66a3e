// Tagged-message streams over bufio byte streams. Plain functions that never throw: results and a status
// per context.
#include "tmio_context.hpp"

#include "bufio_stream.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Diagnostics at a verbosity; the formats stay literal so the compiler checks them.
#define TMIO_SAY(condition, ...)                          \
    do {                                                  \
        if (condition) std::fprintf(stderr, __VA_ARGS__); \
    } while (0)

namespace {

constexpr int32_t protocol_tag = TMIO_PROTOCOL_TAG;

bool is_tag(int32_t header) { return header < 0 && header >= -TMIO_MAX_TAG; }

int stream_type(bufio_stream* stream) {
    switch (bufio_type(stream)) {
        case BUFIO_TYPE_FILE: return TMIO_TYPE_FILE;
        case BUFIO_TYPE_SOCKET: return TMIO_TYPE_SOCKET;
        case BUFIO_TYPE_PIPE: return TMIO_TYPE_PIPE;
        default: return TMIO_TYPE_OTHER;
    }
}

bool stream_ended(tmio_context* context) {
    int status = bufio_status(context->stream);
    return status == BUFIO_STATUS_TIMEOUT || status == BUFIO_STATUS_EOF;
}

bool write_all(tmio_context* context, const void* data, size_t n) {
    return bufio_write(context->stream, data, n) == n;
}

// Reads a header. Bytes of a header that came only partly stay in the context for the next call, so a
// live stream never loses its place. True when a whole header is in `header`.
bool read_header(tmio_context* context, int32_t& header) {
    if (context->partial_fill == 0) {
        if (const unsigned char* buffered = bufio_take_buffered(context->stream, sizeof header)) {
            std::memcpy(&header, buffered, sizeof header);
            return true;
        }
    }
    auto have = static_cast<size_t>(context->partial_fill);
    have += bufio_read(context->stream, context->partial_header + have, sizeof header - have);
    context->partial_fill = static_cast<int>(have);
    if (have < sizeof header) return false;
    std::memcpy(&header, context->partial_header, sizeof header);
    context->partial_fill = 0;
    return true;
}

// Reads n bytes into `out`, in place from the input buffer when it holds them; the bytes delivered.
size_t read_bytes(tmio_context* context, void* out, size_t n) {
    if (const unsigned char* buffered = bufio_take_buffered(context->stream, n)) {
        if (n > 0) std::memcpy(out, buffered, n);
        return n;
    }
    return bufio_read(context->stream, out, n);
}

// Reads n payload bytes away through the scratch area; false (with the status set) when they run short.
bool read_away(tmio_context* context, size_t n, bool count_skipped) {
    while (n > 0) {
        size_t piece = std::min(n, sizeof context->scratch);
        if (bufio_read(context->stream, context->scratch, piece) != piece) {
            tmio_set_status(context, TMIO_STATUS_READ_ERROR);
            return false;
        }
        if (count_skipped) context->bytes_skipped += piece;
        n -= piece;
    }
    return true;
}

int32_t pop_pending(tmio_context* context) {
    int32_t header = context->pending_header;
    context->pending = 0;
    context->pending_header = 0;
    return header;
}

// The pending header, or else the next one from the stream; false (with the status set) when it does not
// come whole.
bool take_header(tmio_context* context, int32_t& header) {
    if (context->pending) {
        header = pop_pending(context);
        return true;
    }
    if (read_header(context, header)) return true;
    tmio_set_status(context, TMIO_STATUS_READ_ERROR);
    return false;
}

// The length of the next data record, its header taken from the stream or the pending one; -2 when a tag
// comes first, which stays pending for tmio_read_tag (that also deals with protocol tags and reserved
// values); -1 on error. The caller has checked the context and its status.
int next_data_header(tmio_context* context) {
    if (context->pending && context->pending_header < 0) return -2;
    int32_t header;
    if (!take_header(context, header)) return -1;
    if (header < 0) {
        ++context->read_missing;
        context->pending = 1;
        context->pending_header = header;
        return -2;
    }
    return header;
}

// Reads the payload of a data record of `length` bytes whose header was taken: at most `capacity` bytes
// into `buffer`, the rest away. The record's length, or -1 (status set) when the payload runs short.
int read_payload(tmio_context* context, int length, void* buffer, int capacity) {
    auto stored = static_cast<size_t>(std::min(length, capacity));
    if (read_bytes(context, buffer, stored) != stored) {
        tmio_set_status(context, TMIO_STATUS_READ_ERROR);
        return -1;
    }
    ++context->data_records_in;
    context->bytes_read += stored + 4;
    if (length > capacity) ++context->read_truncated;
    if (length < capacity) ++context->read_shortened;
    if (!read_away(context, static_cast<size_t>(length) - stored, true)) return -1;
    return length;
}

int tmio_read_and_match_protocol(tmio_context* context) {
    char field[TMIO_PROTOCOL_SIZE];
    if (bufio_read(context->stream, field, sizeof field) != sizeof field) {
        context->status = TMIO_STATUS_HANDSHAKE_ERROR;
        TMIO_SAY(context->verbosity != 0, "tmio_read_and_match_protocol: protocol read failed");
        return -1;
    }
    context->bytes_read += sizeof field;
    std::memcpy(context->peer_protocol, field, sizeof field - 1);
    context->peer_protocol[sizeof field - 1] = '\0';
    if (std::strncmp(context->peer_protocol, context->protocol, std::strlen(context->protocol)) != 0) {
        context->status = TMIO_STATUS_PROTOCOL_ERROR;
        TMIO_SAY(context->verbosity != 0, "tmio_read_and_match_protocol: peer has wrong protocol %s,expected %s\n",
                 context->peer_protocol, context->protocol);
        return -1;
    }
    TMIO_SAY(context->verbosity > 1, "tmio_read_and_match_protocol: protocol handshake successful: %s\n",
             context->peer_protocol);
    return 0;
}

int tmio_skip_frame(tmio_context* context) {
    if (context->status < 0) return -1;
    int32_t header;
    if (!take_header(context, header)) return -1;
    if (header < 0) {
        ++context->tags_skipped;
        context->bytes_skipped += 4;
        return 0;
    }
    if (!read_away(context, static_cast<size_t>(header), false)) return -1;
    ++context->data_skipped;
    context->bytes_skipped += static_cast<size_t>(header) + 4;
    return 0;
}

// Reads headers until a tag number is pending, passing over data records and checking protocol tags; the
// protocol tag and reserved values are never taken for tag numbers. With `wait`, each header is read only
// once bufio_wait reports data within `timeout`. 1: a tag is pending; 0: no whole header came (time-out or
// end of data); -1: failure, status set.
int advance_to_tag(tmio_context* context, bool wait, int timeout) {
    for (;;) {
        if (!context->pending) {
            if (wait) {
                int ready = bufio_wait(context->stream, timeout);
                if (ready < 0) {
                    context->status = TMIO_STATUS_READ_ERROR;
                    return -1;
                }
                if (ready == 0) {
                    // A header cut off where the data has ended (always so on a regular file at its end)
                    // will never be whole: that is the failure of a short header, not "no tag yet".
                    if (context->partial_fill > 0 && bufio_status(context->stream) == BUFIO_STATUS_EOF) {
                        tmio_set_status(context, TMIO_STATUS_READ_ERROR);
                        return -1;
                    }
                    return 0;
                }
            }
            int32_t header;
            if (!read_header(context, header)) {
                if (!stream_ended(context)) {
                    context->status = TMIO_STATUS_READ_ERROR;
                    return -1;
                }
                if (wait) continue;
                return 0;
            }
            context->pending = 1;
            context->pending_header = header;
        }
        int32_t header = context->pending_header;
        if (is_tag(header)) return 1;
        if (header >= 0) {
            if (tmio_skip_frame(context) < 0) return -1;
            continue;
        }
        pop_pending(context);
        if (header == protocol_tag) {
            context->bytes_read += 4;
            if (tmio_read_and_match_protocol(context) < 0) return -1;
            continue;
        }
        context->status = TMIO_STATUS_READ_ERROR;
        TMIO_SAY(context->verbosity != 0, "tmio_read_tag: received unknown reserved tag %d\n", header);
        return -1;
    }
}

void reset(tmio_context* context) {
    context->stream = nullptr;
    context->pending = 0;
    context->pending_header = 0;
    context->has_written = 0;
    context->tag_written = 0;
    context->type = 0;
    context->data_flushes = context->tags_written = context->tags_read = 0;
    context->data_records_out = context->data_records_in = 0;
    context->read_shortened = context->read_truncated = context->read_zero = context->read_missing = 0;
    context->data_skipped = context->tags_skipped = 0;
    context->bytes_written = context->bytes_read = context->bytes_skipped = 0;
    context->partial_fill = 0;
    context->status = TMIO_STATUS_CONNECTION_ERROR;
}

// Opens the byte stream after closing the one still open; false with the status -1 when it does not open.
bool open_stream(tmio_context* context, const char* address, const char* mode, int timeout, const char* label) {
    tmio_close(context);
    context->stream = bufio_open(address, mode, timeout, context->buffer_size, context->verbosity > 2 ? label : nullptr);
    if (!context->stream) {
        context->status = TMIO_STATUS_CONNECTION_ERROR;
        return false;
    }
    context->status = TMIO_STATUS_OKAY;
    int type = bufio_type(context->stream);
    bool arrives_later = type == BUFIO_TYPE_PIPE || type == BUFIO_TYPE_FIFO || type == BUFIO_TYPE_SOCKET ||
                         type == BUFIO_TYPE_SERVE;
    bufio_timeout(context->stream, context->live_streams_wait && arrives_later ? -1 : context->timeout);
    context->type = stream_type(context->stream);
    return true;
}

const char* shown(const char* address) { return address ? address : "(null)"; }

}  // namespace

extern "C" {

BACKGROUND_EXPORT tmio_context* tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity) {
    auto* context = static_cast<tmio_context*>(std::calloc(1, sizeof(tmio_context)));
    if (!context) return nullptr;
    context->status = TMIO_STATUS_CONNECTION_ERROR;
    context->verbosity = verbosity;
    context->timeout = timeout;
    // Sizes beyond the int range are held at the largest whole KiB that fits.
    if (buffer_kib > 0) context->buffer_size = std::min(buffer_kib, INT_MAX / 1024) * 1024;
    if (protocol) std::strncpy(context->protocol, protocol, TMIO_PROTOCOL_SIZE - 1);
    TMIO_SAY(verbosity > 1, "tmio_init: context initialized with protocol %s\n", context->protocol);
    return context;
}

BACKGROUND_EXPORT int tmio_create(tmio_context* context, const char* address, int timeout) {
    if (!context) return -1;
    TMIO_SAY(context->verbosity > 2, "tmio_create: creating stream %s\n", shown(address));
    if (!open_stream(context, address, "w", timeout, "tmio_create/bufio_open")) {
        TMIO_SAY(context->verbosity != 0, "tmio_create: can not connect peer/file %s\n", shown(address));
        return -1;
    }
    int32_t header = protocol_tag;
    if (!write_all(context, &header, sizeof header) || !write_all(context, context->protocol, TMIO_PROTOCOL_SIZE) ||
        bufio_flush(context->stream) < 0) {
        TMIO_SAY(context->verbosity > 0, "tmio_create: can not send protocol %s\n", context->protocol);
        tmio_close(context);
        context->status = TMIO_STATUS_HANDSHAKE_ERROR;
        return -1;
    }
    context->bytes_written += sizeof header + TMIO_PROTOCOL_SIZE;
    TMIO_SAY(context->verbosity > 1, "tmio_create: connected file/peer %s\n", address);
    return context->type;
}

BACKGROUND_EXPORT int tmio_open(tmio_context* context, const char* address, int timeout) {
    if (!context) return -1;
    TMIO_SAY(context->verbosity > 2, "tmio_open: opening stream %s\n", shown(address));
    if (!open_stream(context, address, "r", timeout, "tmio_open/buftcpopen")) {
        TMIO_SAY(context->verbosity != 0, "tmio_open: can not connect peer/file %s\n", shown(address));
        return -1;
    }
    int32_t header = 0;
    if (bufio_read(context->stream, &header, sizeof header) != sizeof header || header != protocol_tag) {
        TMIO_SAY(context->verbosity != 0, "tmio_open: tmio protocol tag missing.\n");
        context->status = TMIO_STATUS_HANDSHAKE_ERROR;
        return -1;
    }
    context->bytes_read += sizeof header;
    if (tmio_read_and_match_protocol(context) < 0) {
        int status = context->status;
        tmio_close(context);
        context->status = status;
        return -1;
    }
    TMIO_SAY(context->verbosity > 1, "tmio_open: connected file/peer %s\n", address);
    return context->type;
}

BACKGROUND_EXPORT int tmio_write_tag(tmio_context* context, int tag) {
    if (!context || tag < 1 || tag > TMIO_MAX_TAG || context->status < 0) return -1;
    context->has_written = 1;
    int32_t header = -tag;
    if (!write_all(context, &header, sizeof header)) {
        tmio_set_status(context, TMIO_STATUS_WRITE_ERROR);
        return -1;
    }
    context->tag_written |= 1;
    ++context->tags_written;
    context->bytes_written += sizeof header;
    return 0;
}

BACKGROUND_EXPORT int tmio_write_data(tmio_context* context, const void* data, int length) {
    if (!context || !(context->tag_written & 1) || context->status < 0) return -1;
    if (length < 0) return 0;
    context->has_written = 1;
    int32_t header = length;
    if (!write_all(context, &header, sizeof header) || !write_all(context, data, static_cast<size_t>(length))) {
        tmio_set_status(context, TMIO_STATUS_WRITE_ERROR);
        return -1;
    }
    ++context->data_records_out;
    context->bytes_written += static_cast<size_t>(length) + sizeof header;
    return length;
}

BACKGROUND_EXPORT int tmio_read_tag(tmio_context* context) {
    if (!context || context->status < 0) return -1;
    int found = advance_to_tag(context, false, 0);
    if (found <= 0) return found;
    int tag = -pop_pending(context);
    ++context->tags_read;
    context->bytes_read += 4;
    return tag;
}

BACKGROUND_EXPORT int tmio_read_data(tmio_context* context, void* buffer, int capacity) {
    if (!context || context->status < 0) return -1;
    if (capacity < 0) return -2;
    int length = next_data_header(context);
    if (length < 0) return length;
    return read_payload(context, length, buffer, capacity);
}

BACKGROUND_EXPORT int tmio_wait(tmio_context* context, int timeout) {
    if (!context || !context->stream) return -1;
    if (tmio_flush(context) < 0) return -1;
    return advance_to_tag(context, true, timeout);
}

BACKGROUND_EXPORT int tmio_flush(tmio_context* context) {
    if (!context) return -1;
    if (!context->has_written) return 0;
    if (bufio_flush(context->stream) < 0) {
        tmio_set_status(context, TMIO_STATUS_FLUSH_ERROR);
        return -1;
    }
    ++context->data_flushes;
    return 0;
}

BACKGROUND_EXPORT int tmio_sync(tmio_context* context) {
    if (!context || !context->stream) return -1;
    if (tmio_flush(context) < 0) return -1;
    if (bufio_sync(context->stream) < 0) {
        context->status = TMIO_STATUS_FLUSH_ERROR;
        return -1;
    }
    return 0;
}

BACKGROUND_EXPORT int tmio_close(tmio_context* context) {
    if (!context) return 0;
    int result = 0;
    if (context->stream) {
        // A final flush or close that fails is reported: those bytes never reached their file or peer.
        if (bufio_flush(context->stream) < 0) result = -1;
        if (bufio_close(context->stream) < 0) result = -1;
    }
    reset(context);
    return result;
}

BACKGROUND_EXPORT int tmio_delete(tmio_context* context) {
    int result = tmio_close(context);
    std::free(context);
    return result;
}

BACKGROUND_EXPORT void tmio_set_status(tmio_context* context, int status) {
    if (!context) return;
    context->status = stream_ended(context) ? TMIO_STATUS_TIMEOUT : status;
}

BACKGROUND_EXPORT int tmio_status(tmio_context* context) {
    if (!context) return TMIO_STATUS_CONNECTION_ERROR;
    return context->status <= 0 ? context->status : TMIO_STATUS_OKAY;
}

BACKGROUND_EXPORT const char* tmio_status_str(tmio_context* context) {
    static const char* const texts[] = {"okay",        "connection error", "read error",      "write error",
                                        "flush error", "timeout",          "handshake error", "protocol error"};
    int status = tmio_status(context);
    return status >= TMIO_STATUS_PROTOCOL_ERROR ? texts[-status] : "unknown error";
}

BACKGROUND_EXPORT int tmio_timeout(tmio_context* context, int timeout) {
    if (!context) return 0;
    int previous = context->timeout;
    context->timeout = timeout;
    if (context->stream) bufio_timeout(context->stream, timeout);
    return previous;
}

BACKGROUND_EXPORT const char* tmio_protocol(tmio_context* context) { return context ? context->protocol : ""; }

BACKGROUND_EXPORT const char* tmio_stream_protocol(tmio_context* context) {
    return context ? context->peer_protocol : "";
}

BACKGROUND_EXPORT int tmio_type(tmio_context* context) { return context ? context->type : -1; }

BACKGROUND_EXPORT bufio_stream* tmio_stream_handle(tmio_context* context) {
    return context ? context->stream : nullptr;
}

BACKGROUND_EXPORT int tmio_monitor(tmio_context* context) {
    if (!context) return -1;
    std::fprintf(stderr, "tmio_monitor: statistics\n");
    std::fprintf(stderr, "... tags written     %lld\n", context->tags_written);
    std::fprintf(stderr, "... data records out %lld\n", context->data_records_out);
    std::fprintf(stderr, "... tags read        %lld\n", context->tags_read);
    std::fprintf(stderr, "... data records in  %lld\n", context->data_records_in);
    std::fprintf(stderr, "... data flushes     %lld\n", context->data_flushes);
    std::fprintf(stderr, "... read zero        %lld\n", context->read_zero);
    std::fprintf(stderr, "... read missing     %lld\n", context->read_missing);
    std::fprintf(stderr, "... read shortened   %lld\n", context->read_shortened);
    std::fprintf(stderr, "... read truncated   %lld\n", context->read_truncated);
    std::fprintf(stderr, "... data skipped     %lld\n", context->data_skipped);
    std::fprintf(stderr, "... tags skipped     %lld\n", context->tags_skipped);
    std::fprintf(stderr, "... bytes written    %zu\n", context->bytes_written);
    std::fprintf(stderr, "... bytes read       %zu\n", context->bytes_read);
    std::fprintf(stderr, "... bytes skipped    %zu\n", context->bytes_skipped);
    return 0;
}

}  // extern "C"

int tmio_read_data_into(tmio_context* context, long long expected, void* (*room)(void* owner, size_t bytes),
                        void* owner) {
    if (!context || context->status < 0) return -1;
    int length = next_data_header(context);
    if (length < 0) return length;
    if (length != expected) return read_payload(context, length, nullptr, 0);
    auto bytes = static_cast<size_t>(length);
    // A record already in the input buffer is there: asking the file how much follows would cost two
    // system calls for every small record.
    size_t known = context->stream && context->stream->in_avail >= bytes ? bytes : bufio_remaining(context->stream);
    if (known != SIZE_MAX && known < bytes) {
        // The stream ends inside the record: reading it away meets that end and sets the status.
        if (read_payload(context, length, nullptr, 0) >= 0) tmio_set_status(context, TMIO_STATUS_READ_ERROR);
        return -1;
    }
    // A stream that cannot tell its length gets memory in steps that at most double what has arrived.
    constexpr size_t first_step = size_t{1} << 16;
    size_t have = 0;
    size_t target = known == SIZE_MAX ? std::min(bytes, first_step) : bytes;
    for (;;) {
        auto* base = static_cast<unsigned char*>(room(owner, target));
        if (read_bytes(context, base + have, target - have) != target - have) {
            tmio_set_status(context, TMIO_STATUS_READ_ERROR);
            return -1;
        }
        have = target;
        if (have == bytes) break;
        target = std::min(bytes, 2 * target);
    }
    ++context->data_records_in;
    context->bytes_read += bytes + 4;
    return length;
}

namespace {

// Copies one element of `size` bytes to `out` with the bytes [gap_offset, gap_offset + gap_size) written as
// zeros. The caller's bytes there are never read: they may be indeterminate (padding), and a decision or a
// system call on them is undefined. Inlined with fixed sizes, the copies become a few moves.
inline void copy_clearing_gap(unsigned char* out, const unsigned char* in, size_t size, size_t gap_offset,
                              size_t gap_size) {
    if (gap_size == 4 && gap_offset % 8 == 4 && std::endian::native == std::endian::little) {
        // A gap that ends a word behind an int: the int, widened, is that word, one store for both.
        const size_t word_at = gap_offset - 4;
        uint32_t before_gap;
        std::memcpy(out, in, word_at);
        std::memcpy(&before_gap, in + word_at, 4);
        const uint64_t word = before_gap;
        std::memcpy(out + word_at, &word, 8);
    } else {
        std::memcpy(out, in, gap_offset);
        std::memset(out + gap_offset, 0, gap_size);
    }
    const size_t after = gap_offset + gap_size;
    std::memcpy(out + after, in + after, size - after);
}

template <size_t Size, size_t GapOffset, size_t GapSize>
void copy_clearing_gaps(unsigned char* out, const unsigned char* in, size_t n) {
    for (size_t i = 0; i < n; ++i, in += Size, out += Size) copy_clearing_gap(out, in, Size, GapOffset, GapSize);
}

void copy_clearing_gaps(unsigned char* out, const unsigned char* in, size_t n, size_t size, size_t gap_offset,
                        size_t gap_size) {
    // The records with a gap: events (24 bytes) and shower records (64), each with 4 bytes after an int at 8.
    if (gap_offset == 12 && gap_size == 4) {
        if (size == 24) return copy_clearing_gaps<24, 12, 4>(out, in, n);
        if (size == 64) return copy_clearing_gaps<64, 12, 4>(out, in, n);
    }
    for (size_t i = 0; i < n; ++i, in += size, out += size) copy_clearing_gap(out, in, size, gap_offset, gap_size);
}

}  // namespace

int tmio_write_elements(tmio_context* context, const void* data, int count, size_t size, size_t gap_offset,
                        size_t gap_size) {
    auto length = static_cast<long long>(count) * static_cast<long long>(size);
    if (count < 0 || length > INT_MAX || gap_offset + gap_size > size) return -1;
    if (gap_size == 0) return tmio_write_data(context, data, static_cast<int>(length));
    if (!context || !(context->tag_written & 1) || context->status < 0) return -1;
    context->has_written = 1;
    auto header = static_cast<int32_t>(length);
    bool written = write_all(context, &header, sizeof header);
    // The elements are built in the stream's output, as many as its room takes at a time, so that their
    // gaps go out as zeros and the caller's memory stays as it is.
    const auto* next = static_cast<const unsigned char*>(data);
    for (auto left = static_cast<size_t>(count); written && left > 0;) {
        unsigned char* room = nullptr;
        size_t k = std::min(left, bufio_output_room(context->stream, size, &room) / size);
        written = k > 0;
        if (!written) break;
        copy_clearing_gaps(room, next, k, size, gap_offset, gap_size);
        bufio_output_added(context->stream, k * size);
        next += k * size;
        left -= k;
    }
    if (!written) {
        tmio_set_status(context, TMIO_STATUS_WRITE_ERROR);
        return -1;
    }
    ++context->data_records_out;
    context->bytes_written += static_cast<size_t>(length) + sizeof header;
    return header;
}
