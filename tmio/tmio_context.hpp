// The record behind a tmio_context handle. Private to the stream layers and their tests: callers see an
// opaque handle.
#pragma once

#include <cstddef>
#include <cstdint>

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
};

// Hidden helpers for the tmio::TMIO wrapper.

// tmio_read_data for a record that must be `expected` bytes long, into memory that room(owner, n) provides
// for the record's first n bytes, keeping what it held before. The memory follows the bytes the stream
// holds: a file or memory block that ends inside the record fails without asking for any, other streams
// get it in steps that at most double what has arrived. A record of another length is read away unstored.
// Results as tmio_read_data.
int tmio_read_data_into(tmio_context* context, long long expected, void* (*room)(void* owner, size_t bytes),
                        void* owner);

// tmio_write_data of `count` elements of `size` bytes with the bytes [gap_offset, gap_offset + gap_size)
// of each written as zeros, whatever the caller's memory holds there. The length, or -1: also for a
// negative count, for elements whose bytes exceed one data record and for elements larger than the
// stream's buffer.
int tmio_write_elements(tmio_context* context, const void* data, int count, size_t size, size_t gap_offset,
                        size_t gap_size);
