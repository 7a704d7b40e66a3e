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
