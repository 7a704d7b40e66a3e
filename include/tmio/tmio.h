/* Tagged-message streams: numbered tags and length-prefixed data records behind a protocol header, over a
 * byte stream of bufio.h. Every header is a 32-bit signed integer in native byte order:
 *   n >= 0                      a data record of n bytes follows
 *   -1 .. -TMIO_MAX_TAG         tag number -n
 *   TMIO_PROTOCOL_TAG           TMIO_PROTOCOL_SIZE bytes of protocol string follow (NUL padded)
 *   anything else               reserved; readers fail on it
 * Nothing here throws: operations report through results and the context's status. */
#ifndef TMIO_TMIO_H
#define TMIO_TMIO_H

#include <background/export.h>
#include <tmio/bufio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tmio_context tmio_context;

#define TMIO_PROTOCOL_TAG (-1000000001)
#define TMIO_MAX_TAG 1000000000
#define TMIO_PROTOCOL_SIZE 64

/* Context status codes; every value >= 0 is okay. */
enum {
    TMIO_STATUS_OKAY = 0,
    TMIO_STATUS_CONNECTION_ERROR = -1, /* also: no stream open */
    TMIO_STATUS_READ_ERROR = -2,
    TMIO_STATUS_WRITE_ERROR = -3,
    TMIO_STATUS_FLUSH_ERROR = -4,
    TMIO_STATUS_TIMEOUT = -5, /* also: the data ended inside a record */
    TMIO_STATUS_HANDSHAKE_ERROR = -6,
    TMIO_STATUS_PROTOCOL_ERROR = -7
};

/* Stream types. */
enum {
    TMIO_TYPE_OTHER = 0, /* locked file, FIFO, serve stream, memory block */
    TMIO_TYPE_FILE = 1,
    TMIO_TYPE_SOCKET = 2,
    TMIO_TYPE_PIPE = 3
};

/* A context with no stream (status -1). timeout: I/O timeout in ms for the stream; buffer_kib: buffer size
 * of the stream (0: 256 KiB); verbosity: 0 silent, 1 errors, 2 progress, 3 also the stream's own lines.
 * NULL when out of memory. */
BACKGROUND_EXPORT tmio_context* tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity);
/* Opens the address for writing and sends the protocol tag: the stream type, or -1. */
BACKGROUND_EXPORT int tmio_create(tmio_context* context, const char* address, int timeout);
/* Opens the address for reading and checks that the peer's protocol begins with the own one: the stream
 * type, or -1. */
BACKGROUND_EXPORT int tmio_open(tmio_context* context, const char* address, int timeout);
/* Writes tag 1 .. TMIO_MAX_TAG: 0, or -1. */
BACKGROUND_EXPORT int tmio_write_tag(tmio_context* context, int tag);
/* Writes a data record after a tag: length, 0 for a negative length, or -1. */
BACKGROUND_EXPORT int tmio_write_data(tmio_context* context, const void* data, int length);
/* The next tag, passing over data records: 1 .. TMIO_MAX_TAG, 0 at the end of the data or on a time-out,
 * -1 on error. */
BACKGROUND_EXPORT int tmio_read_tag(tmio_context* context);
/* Reads the next data record, storing at most capacity bytes: its full length, -2 when a tag comes first
 * (it stays for tmio_read_tag) or the capacity is negative, -1 on error. */
BACKGROUND_EXPORT int tmio_read_data(tmio_context* context, void* buffer, int capacity);
/* 1 when a tag is ready to be read, 0 when none came within timeout ms, -1 on error. */
BACKGROUND_EXPORT int tmio_wait(tmio_context* context, int timeout);
BACKGROUND_EXPORT int tmio_flush(tmio_context* context);
BACKGROUND_EXPORT int tmio_sync(tmio_context* context);
/* Flushes and closes the stream; the context can be opened again. 0, or -1 when the final flush or close
 * of the stream failed. */
BACKGROUND_EXPORT int tmio_close(tmio_context* context);
/* tmio_close, then frees the context (NULL: 0). */
BACKGROUND_EXPORT int tmio_delete(tmio_context* context);
/* Stores a status; "timeout" instead while the stream reports a time-out or the end of its data. */
BACKGROUND_EXPORT void tmio_set_status(tmio_context* context, int status);
/* The status when 0 or below, else 0; -1 for NULL. */
BACKGROUND_EXPORT int tmio_status(tmio_context* context);
BACKGROUND_EXPORT const char* tmio_status_str(tmio_context* context);
/* Sets the context's and the stream's I/O timeout; the previous context value (0 for NULL). */
BACKGROUND_EXPORT int tmio_timeout(tmio_context* context, int timeout);
BACKGROUND_EXPORT const char* tmio_protocol(tmio_context* context);
BACKGROUND_EXPORT const char* tmio_stream_protocol(tmio_context* context);
/* Stream type (-1 for NULL). */
BACKGROUND_EXPORT int tmio_type(tmio_context* context);
BACKGROUND_EXPORT bufio_stream* tmio_stream_handle(tmio_context* context);
/* Prints the counters to standard error: 0 (-1 for NULL). */
BACKGROUND_EXPORT int tmio_monitor(tmio_context* context);

#ifdef __cplusplus
}
#endif

#endif
