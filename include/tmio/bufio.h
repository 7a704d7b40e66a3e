/* Buffered byte streams over files, locked files, the standard input and output, FIFOs, TCP and UDP
 * sockets and caller-owned memory blocks, opened from one text address. Nothing here throws: every
 * operation reports through its result and through the stream's sticky status code. */
#ifndef TMIO_BUFIO_H
#define TMIO_BUFIO_H

#include <stddef.h>

#include <background/export.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bufio_stream bufio_stream;

/* Stream kinds, as bufio_type returns them. */
enum {
    BUFIO_TYPE_INVALID = 0,    /* never a stream's kind; bufio_type of NULL */
    BUFIO_TYPE_SOCKET = 1,     /* tcp://connect/, tcp://listen/, udp://connect/, an accepted serve stream */
    BUFIO_TYPE_FILE = 2,       /* plain and file:// paths */
    BUFIO_TYPE_LOCKEDFILE = 3, /* lockedfile:// paths */
    BUFIO_TYPE_PIPE = 4,       /* "-": standard input ("r") or output ("w") */
    BUFIO_TYPE_FIFO = 5,       /* any path that names a FIFO */
    BUFIO_TYPE_SERVE = 6,      /* tcp://serve/ until bufio_wait accepted its connection */
    BUFIO_TYPE_MEM = 7         /* mem://ADDRESS/SIZE */
};

/* Status codes; a negative status is minus a system error number. */
enum {
    BUFIO_STATUS_OKAY = 0,
    BUFIO_STATUS_TIMEOUT = 1,
    BUFIO_STATUS_EOF = 2,
    BUFIO_STATUS_NOSPACE = 3
};

/* Opens an address:
 *   "tcp://connect/PORT/HOST", "tcp://listen/PORT/HOST", "tcp://serve/PORT/HOST", "udp://connect/PORT/HOST"
 *     (an empty HOST is any address), "mem://ADDRESS/SIZE", "file://PATH", "lockedfile://PATH", PATH, "-".
 * mode: "r", "r+", "w" (create, truncate) or "w+" (create); "-" takes only "r" and "w", memory blocks only
 * "r" and "w". timeout (ms) limits the connect attempts and the accept of tcp://listen/: below 0 no limit.
 * buffer_size below 1 gives 256 KiB per direction. With a label, failures and connections are reported on
 * standard error. NULL on failure. */
BACKGROUND_EXPORT bufio_stream* bufio_open(const char* address, const char* mode, int timeout, int buffer_size,
                                           const char* label);
/* Bytes delivered (0..n); fewer than n sets the status. */
BACKGROUND_EXPORT size_t bufio_read(bufio_stream* stream, void* destination, size_t n);
/* Bytes accepted (0..n); fewer than n sets the status. */
BACKGROUND_EXPORT size_t bufio_write(bufio_stream* stream, const void* data, size_t n);
/* 0, or -1 when the pending output could not be written. A memory stream returns to its start. */
BACKGROUND_EXPORT int bufio_flush(bufio_stream* stream);
/* Flushes and makes a file durable: 0 or -1. */
BACKGROUND_EXPORT int bufio_sync(bufio_stream* stream);
/* 1 when a read would deliver data now, 0 when none came within timeout ms (or the data ended), -1 on
 * error. Accepts the connection of a serve stream. */
BACKGROUND_EXPORT int bufio_wait(bufio_stream* stream, int timeout);
/* Flushes, closes and frees (NULL: 0). -1 when the final flush or the close failed. The standard input and
 * output of "-" stay open. */
BACKGROUND_EXPORT int bufio_close(bufio_stream* stream);
/* Sets the I/O timeout (ms; -1 no limit, 0 no wait) and returns the previous one (0 for NULL). */
BACKGROUND_EXPORT int bufio_timeout(bufio_stream* stream, int timeout);
BACKGROUND_EXPORT int bufio_type(bufio_stream* stream);
BACKGROUND_EXPORT const char* bufio_type_str(bufio_stream* stream);
/* 0, 1, 2, 3, or -1 for an error status and for NULL. */
BACKGROUND_EXPORT int bufio_status(bufio_stream* stream);
BACKGROUND_EXPORT const char* bufio_status_str(bufio_stream* stream);
/* The descriptor, -1 when there is none. */
BACKGROUND_EXPORT int bufio_fileno(bufio_stream* stream);
/* Sets the status to 0 and returns 0 (-1 for NULL). */
BACKGROUND_EXPORT int bufio_clear_status(bufio_stream* stream);
/* Points a memory stream at another block, at its start, with status 0: 0. Any other stream: 1. */
BACKGROUND_EXPORT int bufio_set_mem_field(bufio_stream* stream, void* address, size_t size);

#ifdef __cplusplus
}
#endif

#endif
