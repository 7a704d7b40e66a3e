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
