// The record behind a bufio_stream handle. Private to the stream layers and their tests: callers see an
// opaque handle.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "tmio/bufio.h"

struct bufio_stream {
    int type;
    int status;
    int flags;  // O_RDONLY, O_WRONLY or O_RDWR with O_NONBLOCK, plus O_CREAT and O_TRUNC as the mode asks
    int fd;     // -1 when the stream has no descriptor
    int write_locked;
    off_t write_count;  // bytes written since the write lock was taken
    int read_locked;
    off_t read_count;  // bytes read since the read lock was taken
    int timeout;       // ms for every wait inside read, write and flush: -1 no limit, 0 no wait
    unsigned char* in_buf;
    size_t in_size;
    size_t in_pos;
    size_t in_fill;
    size_t in_avail;  // in_fill - in_pos; all three are 0 whenever it is
    unsigned char* out_buf;
    size_t out_size;
    size_t out_fill;  // pending bytes, always from the start of out_buf
    void* mem_addr;
    size_t mem_size;
    size_t mem_pos;
};

// Drops the first `n` of the buffered input bytes (n <= in_avail).
inline void bufio_consume_input(bufio_stream* stream, size_t n) {
    stream->in_pos += n;
    stream->in_avail -= n;
    if (stream->in_avail == 0) stream->in_pos = stream->in_fill = 0;
}

// The next `n` input bytes, taken from the input buffer when it holds them all (they stay valid until the
// next read), else null and nothing taken. Lets a reader above the byte stream take headers and small
// records in place instead of calling bufio_read for every piece.
inline const unsigned char* bufio_take_buffered(bufio_stream* stream, size_t n) {
    if (!stream || stream->in_avail < n || !stream->in_buf) return nullptr;
    const unsigned char* at = stream->in_buf + stream->in_pos;
    bufio_consume_input(stream, n);
    return at;
}

// Bytes that reads can still deliver from a regular file (plain or locked) or a memory block opened for
// reading; SIZE_MAX for every other stream, whose length is not known beforehand. Lets a reader refuse a
// length read from the data before it spends memory on it. Hidden: the stream layers' own helper.
size_t bufio_remaining(bufio_stream* stream);

// Room in the output for at least `wanted` bytes, for a writer that builds its bytes in place: the buffer's
// free bytes (a memory block's own bytes) at *room, sending the pending output first when fewer are free.
// 0 when no such room can be had: the output does not go out, the stream takes no output, or `wanted`
// exceeds the buffer. Hidden, like the next one: the stream layers' own helpers.
size_t bufio_output_room(bufio_stream* stream, size_t wanted, unsigned char** room);
// Takes `n` bytes that the writer put at the start of the room into the output.
void bufio_output_added(bufio_stream* stream, size_t n);
