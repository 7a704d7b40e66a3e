// The record behind a tmio_context handle. Private to the stream layers and their tests: callers see an
// opaque handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bufio_stream.hpp"
#include "tmio/tmio.h"

struct tmio_context {
    bufio_stream* stream;  // NULL when none is open
    int verbosity;
    int timeout;  // ms, handed to the stream after every open
    int pending;  // a header was read whose record is not consumed yet
    int32_t pending_header;
    int has_written;
    int tag_written;  // bit 0: a tag went out on this stream
    int status;
    int type;
    int buffer_size;  // bytes; 0 for the stream's default
    char protocol[TMIO_PROTOCOL_SIZE];
    char peer_protocol[TMIO_PROTOCOL_SIZE];
    char scratch[1024];  // sink for payload nobody wants
    // Counters: 64 bits each, so long runs never wrap.
    long long data_flushes;
    long long tags_written;
    long long tags_read;
    long long data_records_out;
    long long data_records_in;
    long long read_shortened;
    long long read_truncated;
    long long read_zero;
    long long read_missing;
    long long data_skipped;
    long long tags_skipped;
    size_t bytes_written;
    size_t bytes_read;
    size_t bytes_skipped;
    // The first bytes of a header that has not arrived whole on a live stream; the next header read
    // completes it.
    unsigned char partial_header[4];
    int partial_fill;
    // Set by tmio::TMIO and kept by tmio_close: every open gives streams whose bytes may come later (the
    // standard streams, FIFOs, sockets) the timeout -1 instead of `timeout`, so that reading waits until
    // the bytes come or the writer ends, and writing until the reader takes them.
    int live_streams_wait;
};

// Hidden helpers for the tmio::TMIO wrapper.

// The start of the next item when nothing of it has been taken yet and the stream's input buffer holds its
// first `bytes` bytes, else null: small items are taken from there in place, without a call for each of
// their headers and records.
inline const unsigned char* tmio_buffered_item(tmio_context* context, size_t bytes) {
    if (!context || context->status < 0 || (context->pending | context->partial_fill) != 0) return nullptr;
    const bufio_stream* stream = context->stream;
    // Bytes are buffered only in in_buf.
    if (!stream || stream->in_avail < bytes) return nullptr;
    return stream->in_buf + stream->in_pos;
}

// Copies the n bytes of a record taken in place. Records of 4 to 16 bytes (counts, ids, channels) are
// copied by two overlapping moves, inline: a library call would cost more than the copy.
inline void tmio_copy_record(void* to, const unsigned char* from, size_t n) {
    auto* out = static_cast<unsigned char*>(to);
    if (n >= 8 && n <= 16) {
        std::memcpy(out, from, 8);
        std::memcpy(out + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(out, from, 4);
        std::memcpy(out + n - 4, from + n - 4, 4);
    } else if (n > 0) {
        std::memcpy(out, from, n);
    }
}

// Takes a struct item, tag `tag` and a data record of exactly `length` bytes into `data`, when it lies
// whole in the input buffer, counted as tmio_read_tag and tmio_read_data count it. False, with nothing
// taken, otherwise (also for an item of another tag or length): those two calls then deal with it.
inline bool tmio_take_buffered_item(tmio_context* context, int tag, void* data, int length) {
    if (tag < 1 || tag > TMIO_MAX_TAG || length < 0) return false;
    const auto bytes = 2 * sizeof(int32_t) + static_cast<size_t>(length);
    const unsigned char* item = tmio_buffered_item(context, bytes);
    if (!item) return false;
    int32_t headers[2];
    std::memcpy(headers, item, sizeof headers);
    if (headers[0] != -tag || headers[1] != length) return false;
    tmio_copy_record(data, item + sizeof headers, static_cast<size_t>(length));
    bufio_consume_input(context->stream, bytes);
    ++context->tags_read;
    ++context->data_records_in;
    context->bytes_read += bytes;
    return true;
}

// Takes a data record of exactly `expected` bytes into room(owner, expected), when it lies whole in the input
// buffer, counted as tmio_read_data_into counts it. False, with nothing taken, otherwise: that call then
// deals with it.
inline bool tmio_take_buffered_record(tmio_context* context, long long expected, void* (*room)(void* owner, size_t bytes),
                                      void* owner) {
    if (expected < 0 || expected > INT32_MAX) return false;
    const auto bytes = static_cast<size_t>(expected);
    const unsigned char* record = tmio_buffered_item(context, sizeof(int32_t) + bytes);
    if (!record) return false;
    int32_t header;
    std::memcpy(&header, record, sizeof header);
    if (header != expected) return false;
    void* target = room(owner, bytes);
    tmio_copy_record(target, record + sizeof header, bytes);
    bufio_consume_input(context->stream, sizeof header + bytes);
    ++context->data_records_in;
    context->bytes_read += sizeof header + bytes;
    return true;
}

// tmio_read_data for a record that must be `expected` bytes long, into memory that room(owner, n) provides
// for the record's first n bytes, keeping what it held before. The memory follows the bytes the stream
// holds: a file or memory block that ends inside the record fails without asking for any, other streams
// get it in steps that at most double what has arrived. A record of another length is read away unstored.
// Results as tmio_read_data.
int tmio_read_data_into(tmio_context* context, long long expected, void* (*room)(void* owner, size_t bytes),
                        void* owner);

// tmio_write_data of `count` elements of `size` bytes with the bytes [gap_offset, gap_offset + gap_size)
// of each written as zeros; the caller's bytes there are never read. The length, or -1: also for a
// negative count, for elements whose bytes exceed one data record and for elements larger than the
// stream's buffer.
int tmio_write_elements(tmio_context* context, const void* data, int count, size_t size, size_t gap_offset,
                        size_t gap_size);
