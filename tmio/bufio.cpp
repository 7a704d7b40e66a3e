// Buffered byte streams. Plain functions that never throw: results and a sticky status per stream.
#include "bufio_stream.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Diagnostics go to standard error only for streams opened with a label; the formats stay literal so the
// compiler checks them.
#define BUFIO_REPORT(label, ...)                      \
    do {                                              \
        if (label) std::fprintf(stderr, __VA_ARGS__); \
    } while (0)

namespace {

constexpr size_t default_buffer_size = 262144;
constexpr int max_host = 1024;
// Keeps one read or write call far below SSIZE_MAX whatever the caller asks for.
constexpr size_t max_transfer = size_t{1} << 30;
constexpr int retry_ms = 50;

thread_local volatile sig_atomic_t lock_timeout = 0;

void lock_timeout_handler(int) { lock_timeout = 1; }

int access_mode(const bufio_stream* stream) { return stream->flags & O_ACCMODE; }

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Polls one descriptor, again after EINTR or EAGAIN: poll's result, the events seen in `seen`.
int poll_one(int fd, short events, int timeout, short& seen) {
    pollfd poller{fd, events, 0};
    int result;
    while ((result = poll(&poller, 1, timeout)) < 0 && (errno == EINTR || errno == EAGAIN)) {
    }
    seen = poller.revents;
    return result;
}

void sleep_ms(long ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

void report_address(const char* label, const char* text, in_addr address, unsigned port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
    BUFIO_REPORT(label, "%s: %s %d.%d.%d.%d:%u\n", label, text, b[0], b[1], b[2], b[3], port);
}

bufio_stream* new_stream(const char* label) {
    auto* stream = static_cast<bufio_stream*>(std::calloc(1, sizeof(bufio_stream)));
    if (!stream) {
        BUFIO_REPORT(label, "%s: %s\n", label, "failed to allocate stream: out of memory");
        return nullptr;
    }
    stream->fd = -1;
    return stream;
}

void free_stream(bufio_stream* stream) {
    std::free(stream->in_buf);
    std::free(stream->out_buf);
    std::free(stream);
}

int bufio_set_buffer(bufio_stream* stream, int size) {
    size_t bytes = size < 1 ? default_buffer_size : static_cast<size_t>(size);
    stream->in_buf = static_cast<unsigned char*>(std::malloc(bytes));
    stream->out_buf = static_cast<unsigned char*>(std::malloc(bytes));
    if (!stream->in_buf || !stream->out_buf) {
        std::free(stream->in_buf);
        std::free(stream->out_buf);
        stream->in_buf = stream->out_buf = nullptr;
        return -1;
    }
    stream->in_size = stream->out_size = bytes;
    return 0;
}

// Sets a POSIX record lock relative to the current offset (length 0: to the end of the file and beyond).
// A positive timeout arms the process's real-time timer and SIGALRM action for the wait and puts both back.
// 1 locked (or unlocked), 0 busy or timed out, -1 error (errno set).
int bufio_lock(bufio_stream* stream, short type, off_t start, off_t length, int timeout) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_CUR;
    lock.l_start = start;
    lock.l_len = length;
    auto busy = [] { return errno == EAGAIN || errno == EACCES; };
    if (timeout <= 0) {
        int command = timeout == 0 ? F_SETLK : F_SETLKW;
        int result;
        while ((result = fcntl(stream->fd, command, &lock)) < 0 && errno == EINTR) {
        }
        if (result == 0) return 1;
        return busy() ? 0 : -1;
    }
    lock_timeout = 0;
    struct sigaction action {}, previous_action {};
    action.sa_handler = lock_timeout_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGALRM, &action, &previous_action);
    itimerval timer{}, previous_timer{};
    timer.it_value.tv_sec = timeout / 1000;
    timer.it_value.tv_usec = (timeout % 1000) * 1000;
    setitimer(ITIMER_REAL, &timer, &previous_timer);
    int result;
    for (;;) {
        // The flag is tested before every attempt: an alarm that came between two attempts ends the wait.
        if (lock_timeout) {
            result = 0;
            break;
        }
        if (fcntl(stream->fd, F_SETLKW, &lock) == 0) {
            result = 1;
            break;
        }
        if (errno == EINTR) continue;
        result = busy() ? 0 : -1;
        break;
    }
    int error = errno;
    setitimer(ITIMER_REAL, &previous_timer, nullptr);
    sigaction(SIGALRM, &previous_action, nullptr);
    errno = error;
    return result;
}

// Takes the write lock of a locked file from the current offset on; false with the status set.
bool take_write_lock(bufio_stream* stream) {
    int locked = bufio_lock(stream, F_WRLCK, 0, 0, stream->timeout);
    if (locked <= 0) {
        stream->status = locked < 0 ? -errno : BUFIO_STATUS_TIMEOUT;
        return false;
    }
    stream->write_locked = 1;
    stream->write_count = 0;
    return true;
}

void release_write_lock(bufio_stream* stream) {
    if (!stream->write_locked) return;
    bufio_lock(stream, F_UNLCK, -stream->write_count, 0, -1);
    stream->write_locked = 0;
}

// A lock length for `n` bytes; one beyond any offset reaches to the end of the file and beyond (0).
off_t lock_length(size_t n) { return n > static_cast<size_t>(LLONG_MAX) ? 0 : static_cast<off_t>(n); }

void release_read_lock(bufio_stream* stream) {
    if (!stream->read_locked) return;
    int error = errno;  // the read's own error decides what happens next
    bufio_lock(stream, F_UNLCK, -stream->read_count, 0, -1);
    stream->read_locked = 0;
    errno = error;
}

// Takes a read lock of `wanted` bytes from the current offset without waiting; when another process holds
// the region, a lock of `fallback` bytes under `timeout`. Returns the length locked, 0 when busy or timed
// out, -1 on error (the status set for both).
long take_read_lock(bufio_stream* stream, size_t wanted, size_t fallback, int timeout) {
    size_t length = wanted;
    int at_once = bufio_lock(stream, F_RDLCK, 0, lock_length(wanted), 0);
    if (at_once != 1) {
        if (at_once < 0) stream->status = -errno;
        length = std::min(fallback, max_transfer);
        int locked = bufio_lock(stream, F_RDLCK, 0, lock_length(length), timeout);
        if (locked <= 0) {
            stream->status = locked < 0 ? -errno : BUFIO_STATUS_TIMEOUT;
            return locked;
        }
    }
    stream->read_locked = 1;
    stream->read_count = 0;
    return static_cast<long>(std::min(length, max_transfer));
}

// The wait step of reading and writing: polls the descriptor under the stream's timeout. True when the
// transfer can go on; false with the status set (a failed poll leaves it as it was). A hang-up without an
// error while reading means the writer has gone: the next read then finds the end of the data.
bool wait_ready(bufio_stream* stream, short events) {
    short seen;
    int result = poll_one(stream->fd, events, stream->timeout, seen);
    if (result < 0) return false;
    if (result == 0) {
        stream->status = BUFIO_STATUS_TIMEOUT;
        return false;
    }
    if (events == POLLIN) {
        if (seen & POLLIN) return true;
        if ((seen & POLLHUP) && !(seen & POLLERR)) return true;
    } else if (seen == POLLOUT) {
        return true;
    }
    stream->status = (seen & POLLHUP) ? -EPIPE : (seen & POLLERR) ? -EIO : -EBADF;
    return false;
}

// Moves up to n bytes between the caller and a memory stream's block at its position, in the direction
// `access` names; a short move sets the status to end of data (reading) or no space (writing). Without a
// block, or against the stream's own direction, the status becomes -1 and nothing moves.
size_t memory_transfer(bufio_stream* stream, unsigned char* caller, size_t n, int access) {
    if (!stream->mem_addr || access_mode(stream) != access) {
        stream->status = -1;
        return 0;
    }
    size_t k = std::min(n, stream->mem_size - stream->mem_pos);
    bool reading = access == O_RDONLY;
    if (k < n) stream->status = reading ? BUFIO_STATUS_EOF : BUFIO_STATUS_NOSPACE;
    unsigned char* block = static_cast<unsigned char*>(stream->mem_addr) + stream->mem_pos;
    std::memcpy(reading ? caller : block, reading ? block : caller, k);
    stream->mem_pos += k;
    return k;
}

// A write to a pipe, FIFO or socket whose reader has gone raises SIGPIPE, whose default action ends the
// process. While one lives, the signal is blocked in the calling thread, and one that a write raised is
// taken before the mask is put back, so the write only fails with EPIPE. The process's signal actions stay
// as the caller set them; a SIGPIPE that was pending before stays pending.
class PipeSignalGuard {
public:
    explicit PipeSignalGuard(const bufio_stream* stream)
        : active_(stream->type != BUFIO_TYPE_FILE && stream->type != BUFIO_TYPE_LOCKEDFILE) {
        if (!active_) return;
        int error = errno;
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
        sigset_t pending;
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        errno = error;
    }
    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;
    ~PipeSignalGuard() {
        if (!active_) return;
        int error = errno;
        if (raised_ && !was_pending_) {
            const timespec at_once{};
            while (sigtimedwait(&pipe_, nullptr, &at_once) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = error;
    }
    // Called when a write failed with EPIPE: the signal it raised is pending now.
    void raised() { raised_ = true; }

private:
    bool active_;
    bool was_pending_ = false;
    bool raised_ = false;
    sigset_t pipe_{};
    sigset_t previous_{};
};

// Sends the pending output and then `n` bytes of `data` (n may be 0), buffer first, in as few calls as the
// descriptor takes. Bytes that went out leave the buffer, so nothing is sent twice after a stop. Returns the
// number of the caller's bytes sent; the buffer is empty when that is n.
size_t send_out(bufio_stream* stream, const unsigned char* data, size_t n) {
    PipeSignalGuard guard(stream);
    size_t head = 0;  // buffered bytes sent
    size_t sent = 0;  // caller's bytes sent
    bool error_named = false;
    while (head < stream->out_fill || sent < n) {
        iovec pieces[2];
        int count = 0;
        if (head < stream->out_fill) pieces[count++] = {stream->out_buf + head, stream->out_fill - head};
        if (sent < n) pieces[count++] = {const_cast<unsigned char*>(data + sent), std::min(n - sent, max_transfer)};
        ssize_t written = count == 1 ? write(stream->fd, pieces[0].iov_base, pieces[0].iov_len)
                                     : writev(stream->fd, pieces, count);
        if (written > 0) {
            stream->write_count += written;
            size_t from_buffer = std::min(static_cast<size_t>(written), stream->out_fill - head);
            head += from_buffer;
            sent += static_cast<size_t>(written) - from_buffer;
            continue;
        }
        if (written == 0) {
            stream->status = -EIO;
            break;
        }
        if (errno != EAGAIN && errno != EINTR) {
            if (errno == EPIPE) guard.raised();
            stream->status = -errno;
            break;
        }
        // poll shows an error pending on the descriptor only as POLLERR; one more write names it (a pipe
        // or FIFO whose reader left while the writer waited for room: EPIPE, as on a socket).
        const int before = stream->status;
        if (!wait_ready(stream, POLLOUT)) {
            if (stream->status != -EIO || error_named) break;
            error_named = true;
            stream->status = before;
        }
    }
    if (head > 0) {
        std::memmove(stream->out_buf, stream->out_buf + head, stream->out_fill - head);
        stream->out_fill -= head;
    }
    return sent;
}

// Parses the port of a socket address like "%d" does, then the host like "/%1024s". False when no port
// converts (the form does not match); `port` is -1 when the number does not fit 0..65535.
bool parse_socket_address(const char* text, long& port, char (&host)[max_host + 1]) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value <= 65535) value = value * 10 + (*p - '0');
    }
    port = (negative && value != 0) || value > 65535 ? -1 : value;
    host[0] = '\0';
    if (*p == '/') {
        ++p;
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        int length = 0;
        while (length < max_host && p[length] && !std::isspace(static_cast<unsigned char>(p[length]))) {
            host[length] = p[length];
            ++length;
        }
        host[length] = '\0';
    }
    return true;
}

enum class SocketForm { connect, listen, serve, udp };

int normalised_open_timeout(int timeout) {
    if (timeout < 0) return -1;
    if (timeout > 0 && timeout < 100) return 100;
    return timeout;
}

// Polls a listening socket and accepts one connection, which replaces the listening descriptor (closed in
// any case once the accept was tried). 1 accepted, 0 timed out, -1 error.
int accept_socket(bufio_stream* stream, int timeout, const char* label) {
    if (stream->fd < 0) {
        stream->status = -EBADF;
        return -1;
    }
    short seen;
    int result = poll_one(stream->fd, POLLIN, timeout, seen);
    if (result < 0) {
        stream->status = -errno;
        BUFIO_REPORT(label, "%s: %s %s\n", label, "listen error ... ", std::strerror(errno));
        return -1;
    }
    if (result == 0) {
        BUFIO_REPORT(label, "%s: %s\n", label, "listen timeout");
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int connection = accept(stream->fd, reinterpret_cast<sockaddr*>(&peer), &length);
    int error = errno;
    close(stream->fd);
    stream->fd = -1;
    if (connection < 0) {
        stream->status = -error;
        BUFIO_REPORT(label, "%s: %s %s\n", label, "accept failed ...", std::strerror(error));
        return -1;
    }
    stream->fd = connection;
    ignore_sigpipe();
    set_nonblocking(connection);
    report_address(label, "connection established", peer.sin_addr, ntohs(peer.sin_port));
    return 1;
}

bufio_stream* fail_open(bufio_stream* stream) {
    if (stream->fd >= 0) close(stream->fd);
    free_stream(stream);
    return nullptr;
}

bufio_stream* open_socket(SocketForm form, long port, const char* host, int timeout, int buffer_size,
                          const char* label) {
    bufio_stream* stream = new_stream(label);
    if (!stream) return nullptr;
    stream->type = form == SocketForm::serve ? BUFIO_TYPE_SERVE : BUFIO_TYPE_SOCKET;
    stream->flags = O_RDWR | O_NONBLOCK;
    stream->timeout = -1;

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (host[0] == '\0') {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        hostent* entry = gethostbyname(host);
        if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
            BUFIO_REPORT(label, "%s: %s %s\n", label, "no such host", host);
            return fail_open(stream);
        }
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    }
    int socket_type = form == SocketForm::udp ? SOCK_DGRAM : SOCK_STREAM;
    stream->fd = socket(AF_INET, socket_type, 0);
    if (stream->fd < 0) {
        BUFIO_REPORT(label, "%s: %s\n", label, "create socket failed");
        return fail_open(stream);
    }
    ignore_sigpipe();
    timeout = normalised_open_timeout(timeout);
    auto* raw_address = reinterpret_cast<sockaddr*>(&address);
    unsigned shown_port = static_cast<unsigned>(port);

    if (form == SocketForm::listen || form == SocketForm::serve) {
        int on = 1;
        if (setsockopt(stream->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
            BUFIO_REPORT(label, "%s: %s\n", label, "can not set socketopt/reuseaddr");
        if (bind(stream->fd, raw_address, sizeof address) < 0) {
            BUFIO_REPORT(label, "%s: %s %s\n", label, "bind failed ...", std::strerror(errno));
            return fail_open(stream);
        }
        if (listen(stream->fd, 1) < 0) {
            BUFIO_REPORT(label, "%s: %s %s\n", label, "listen failed ...", std::strerror(errno));
            return fail_open(stream);
        }
        // The address the socket is bound to: with port 0 the system picked the port, and this line is
        // how a caller learns it.
        sockaddr_in bound = address;
        socklen_t bound_length = sizeof bound;
        if (getsockname(stream->fd, reinterpret_cast<sockaddr*>(&bound), &bound_length) < 0) bound = address;
        report_address(label, "server waiting for connections", bound.sin_addr, ntohs(bound.sin_port));
        if (form == SocketForm::listen && accept_socket(stream, timeout, label) != 1) return fail_open(stream);
    } else {
        report_address(label, "connecting to", address.sin_addr, shown_port);
        long remaining = timeout;
        while (connect(stream->fd, raw_address, sizeof address) < 0 && errno != EISCONN) {
            int error = errno;
            if (remaining >= 0 && remaining < retry_ms) {
                BUFIO_REPORT(label, "%s: %s %s\n", label, "connect timeout /", std::strerror(error));
                return fail_open(stream);
            }
            if (error == ECONNREFUSED) {
                close(stream->fd);
                stream->fd = socket(AF_INET, socket_type, 0);
                if (stream->fd < 0) {
                    BUFIO_REPORT(label, "%s: %s\n", label, "create socket failed");
                    return fail_open(stream);
                }
                ignore_sigpipe();
            }
            sleep_ms(retry_ms);
            if (remaining >= 0) remaining -= retry_ms;
        }
    }
    set_nonblocking(stream->fd);
    if (bufio_set_buffer(stream, buffer_size) < 0) {
        BUFIO_REPORT(label, "%s: %s\n", label, "can not create buffer");
        return fail_open(stream);
    }
    if (form != SocketForm::serve) report_address(label, "connection established, peer", address.sin_addr, shown_port);
    return stream;
}

// Open flags of the modes "r", "r+", "w" and "w+"; -1 for anything else.
int mode_flags(const char* mode) {
    static constexpr struct {
        const char* mode;
        int flags;
    } modes[] = {{"r", O_RDONLY | O_NONBLOCK},
                 {"r+", O_RDWR | O_NONBLOCK},
                 {"w", O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK},
                 {"w+", O_RDWR | O_CREAT | O_NONBLOCK}};
    for (const auto& entry : modes)
        if (std::strcmp(mode, entry.mode) == 0) return entry.flags;
    return -1;
}

bufio_stream* open_memory(void* address, size_t size, const char* mode, const char* label) {
    int flags = mode_flags(mode);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDWR) {
        BUFIO_REPORT(label, "%s: %s %s %s\n", label, "invalid mode", mode, "for mem.");
        return nullptr;
    }
    flags &= ~(O_CREAT | O_TRUNC);
    bufio_stream* stream = new_stream(label);
    if (!stream) return nullptr;
    stream->type = BUFIO_TYPE_MEM;
    stream->flags = flags;
    stream->mem_addr = address;
    stream->mem_size = size;
    return stream;
}

bufio_stream* open_path(const char* address, const char* mode, int buffer_size, const char* label) {
    const char* path = starts_with(address, "file://") ? address + 7 : address;
    int flags = mode_flags(mode);
    if (flags < 0) {
        BUFIO_REPORT(label, "%s: %s %s %s\n", label, "invalid mode", mode, "for file.");
        return nullptr;
    }
    if (std::strcmp(path, "-") == 0) {
        if ((flags & O_ACCMODE) == O_RDWR) {
            BUFIO_REPORT(label, "%s: %s %s %s\n", label, "invalid mode", mode, "for standard stream");
            return nullptr;
        }
        bufio_stream* stream = new_stream(label);
        if (!stream) return nullptr;
        stream->type = BUFIO_TYPE_PIPE;
        stream->flags = flags;
        stream->fd = (flags & O_ACCMODE) == O_RDONLY ? STDIN_FILENO : STDOUT_FILENO;
        if (bufio_set_buffer(stream, buffer_size) < 0) {
            // The process's standard streams stay open.
            BUFIO_REPORT(label, "%s: %s\n", label, "can not create buffer");
            free_stream(stream);
            return nullptr;
        }
        return stream;
    }
    int type = BUFIO_TYPE_FILE;
    if (starts_with(path, "lockedfile://")) {
        // White space before the name is passed over; from there the whole rest is the path, so names
        // with blanks or of any length open the file they name.
        const char* name = path + 13;
        while (std::isspace(static_cast<unsigned char>(*name))) ++name;
        if (*name != '\0') {
            path = name;
            type = BUFIO_TYPE_LOCKEDFILE;
        }
    }
    struct stat status {};
    if (stat(path, &status) < 0) {
        if (errno != ENOENT || !(flags & O_CREAT)) {
            BUFIO_REPORT(label, "%s: %s %s\n", label, "stat failed --", std::strerror(errno));
            return nullptr;
        }
    } else if (S_ISDIR(status.st_mode)) {
        BUFIO_REPORT(label, "%s: %s %s\n", label, "can not open directory", path);
        return nullptr;
    } else if (S_ISFIFO(status.st_mode)) {
        type = BUFIO_TYPE_FIFO;
    }
    bufio_stream* stream = new_stream(label);
    if (!stream) return nullptr;
    stream->type = type;
    stream->flags = flags;
    stream->fd = open(path, flags, 0664);
    if (stream->fd < 0) {
        BUFIO_REPORT(label, "%s: %s %s %s\n", label, "failed to open file with mode", mode, path);
        return fail_open(stream);
    }
    if (bufio_set_buffer(stream, buffer_size) < 0) {
        BUFIO_REPORT(label, "%s: %s\n", label, "can not create buffer");
        return fail_open(stream);
    }
    return stream;
}

}  // namespace

extern "C" {

BACKGROUND_EXPORT bufio_stream* bufio_open(const char* address, const char* mode, int timeout, int buffer_size,
                                           const char* label) {
    if (!address || !mode) return nullptr;
    static constexpr struct {
        const char* prefix;
        SocketForm form;
    } socket_forms[] = {{"tcp://connect/", SocketForm::connect},
                        {"tcp://listen/", SocketForm::listen},
                        {"tcp://serve/", SocketForm::serve},
                        {"udp://connect/", SocketForm::udp}};
    for (const auto& socket_form : socket_forms) {
        if (!starts_with(address, socket_form.prefix)) continue;
        long port;
        char host[max_host + 1];
        if (!parse_socket_address(address + std::strlen(socket_form.prefix), port, host)) continue;
        if (port < 0) {
            // Never wrapped to another port.
            BUFIO_REPORT(label, "%s: %s %s\n", label, "invalid port", address);
            return nullptr;
        }
        return open_socket(socket_form.form, port, host, timeout, buffer_size, label);
    }
    void* block = nullptr;
    size_t size = 0;
    if (std::sscanf(address, "mem://%p/%zu", &block, &size) == 2) return open_memory(block, size, mode, label);
    return open_path(address, mode, buffer_size, label);
}

BACKGROUND_EXPORT size_t bufio_read(bufio_stream* stream, void* destination, size_t n) {
    if (!stream || n == 0 || stream->type == BUFIO_TYPE_SERVE) return 0;
    auto* out = static_cast<unsigned char*>(destination);
    if (stream->type == BUFIO_TYPE_MEM) return memory_transfer(stream, out, n, O_RDONLY);
    if (const unsigned char* buffered = bufio_take_buffered(stream, n)) {
        std::memcpy(out, buffered, n);
        return n;
    }
    size_t delivered = stream->in_avail;
    if (delivered > 0) {
        std::memcpy(out, stream->in_buf + stream->in_pos, delivered);
        bufio_consume_input(stream, delivered);
    }
    size_t missing = n - delivered;
    size_t ahead = stream->in_size;
    if (stream->type == BUFIO_TYPE_LOCKEDFILE) {
        size_t wanted = missing + std::min(stream->in_size, SIZE_MAX - missing);
        long locked = take_read_lock(stream, wanted, missing, stream->timeout);
        if (locked <= 0) return delivered;
        // Only the missing bytes could be locked: no read-ahead.
        if (static_cast<size_t>(locked) < std::min(wanted, max_transfer)) ahead = 0;
    }
    bool readable = false;  // the last wait step found the descriptor readable
    for (;;) {
        // A piece capped below the caller's need gets no read-ahead: bytes must land in order.
        size_t piece = std::min(missing, max_transfer);
        iovec pieces[2] = {{out + delivered, piece}, {stream->in_buf, piece < missing ? 0 : ahead}};
        ssize_t got = readv(stream->fd, pieces, 2);
        if (got > 0) {
            stream->read_count += got;
            if (static_cast<size_t>(got) >= missing) {
                size_t surplus = static_cast<size_t>(got) - missing;
                delivered += missing;
                stream->in_pos = 0;
                stream->in_fill = stream->in_avail = surplus;
                break;
            }
            delivered += static_cast<size_t>(got);
            missing -= static_cast<size_t>(got);
        } else if (got == 0) {
            if (readable) {
                stream->status = BUFIO_STATUS_EOF;
                break;
            }
        } else if (errno != EAGAIN && errno != EINTR) {
            stream->status = -errno;
            break;
        }
        if (!wait_ready(stream, POLLIN)) break;
        readable = true;
    }
    release_read_lock(stream);
    return delivered;
}

BACKGROUND_EXPORT size_t bufio_write(bufio_stream* stream, const void* data, size_t n) {
    if (!stream || n == 0 || stream->type == BUFIO_TYPE_SERVE) return 0;
    const auto* in = static_cast<const unsigned char*>(data);
    if (stream->type == BUFIO_TYPE_MEM) return memory_transfer(stream, const_cast<unsigned char*>(in), n, O_WRONLY);
    if (stream->out_size - stream->out_fill >= n) {
        std::memcpy(stream->out_buf + stream->out_fill, in, n);
        stream->out_fill += n;
        return n;
    }
    if (stream->type == BUFIO_TYPE_LOCKEDFILE && !stream->write_locked && !take_write_lock(stream)) return 0;
    return send_out(stream, in, n);
}

BACKGROUND_EXPORT int bufio_flush(bufio_stream* stream) {
    if (!stream) return -1;
    if (stream->type == BUFIO_TYPE_SERVE) return 0;
    if (stream->type == BUFIO_TYPE_MEM) {
        stream->mem_pos = 0;
        stream->status = BUFIO_STATUS_OKAY;
        return 0;
    }
    if (stream->out_fill > 0) {
        // Output that was buffered whole still goes out under the write lock.
        if (stream->type == BUFIO_TYPE_LOCKEDFILE && !stream->write_locked && !take_write_lock(stream)) return -1;
        send_out(stream, nullptr, 0);
    }
    release_write_lock(stream);
    return stream->out_fill == 0 ? 0 : -1;
}

BACKGROUND_EXPORT int bufio_sync(bufio_stream* stream) {
    if (bufio_flush(stream) < 0) return -1;
    if (stream->type == BUFIO_TYPE_FILE || stream->type == BUFIO_TYPE_LOCKEDFILE) {
        int result;
        while ((result = fsync(stream->fd)) < 0 && errno == EINTR) {
        }
        if (result < 0) {
            stream->status = -errno;
            return -1;
        }
    }
    return 0;
}

BACKGROUND_EXPORT int bufio_wait(bufio_stream* stream, int timeout) {
    if (!stream) return -1;
    if (stream->type == BUFIO_TYPE_SERVE) {
        int accepted = accept_socket(stream, timeout, nullptr);
        if (accepted != 1) return accepted;
        stream->type = BUFIO_TYPE_SOCKET;
    }
    if (stream->type == BUFIO_TYPE_MEM) {
        if (access_mode(stream) != O_RDONLY || stream->mem_pos >= stream->mem_size) {
            stream->status = BUFIO_STATUS_EOF;
            return 0;
        }
        return 1;
    }
    if (stream->in_avail > 0) return 1;
    if (access_mode(stream) == O_WRONLY) return 0;
    for (;;) {
        size_t room = stream->in_size - stream->in_fill;
        if (stream->type == BUFIO_TYPE_LOCKEDFILE) {
            long locked = take_read_lock(stream, room, 1, timeout);
            if (locked <= 0) return static_cast<int>(locked);
            room = static_cast<size_t>(locked);
        }
        ssize_t got = read(stream->fd, stream->in_buf + stream->in_fill, room);
        if (got > 0) stream->read_count += got;
        release_read_lock(stream);
        if (got > 0) {
            stream->in_fill += static_cast<size_t>(got);
            stream->in_avail += static_cast<size_t>(got);
            return 1;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                stream->status = -errno;
                return -1;
            }
            if (timeout == 0) return 0;
            short seen;
            int result = poll_one(stream->fd, POLLIN, timeout, seen);
            if (result < 0) {
                stream->status = -EIO;
                return -1;
            }
            if (result == 0) {
                stream->status = BUFIO_STATUS_TIMEOUT;
                return 0;
            }
            // A hang-up without an error: the read made again finds the end of the data.
            if ((seen & POLLIN) || ((seen & POLLHUP) && !(seen & POLLERR))) return bufio_wait(stream, 0);
            stream->status = (seen & POLLHUP) ? -EPIPE : -EIO;
            return -1;
        }
        // End of data. A socket's peer has closed for good; a file, FIFO or pipe may still grow.
        if (stream->type == BUFIO_TYPE_SOCKET || timeout == 0) {
            stream->status = BUFIO_STATUS_EOF;
            return 0;
        }
        if (timeout < 0 || timeout > retry_ms) {
            sleep_ms(retry_ms);
            if (timeout > 0) timeout -= retry_ms;
        } else {
            sleep_ms(timeout);
            timeout = 0;
        }
    }
}

BACKGROUND_EXPORT int bufio_close(bufio_stream* stream) {
    if (!stream) return 0;
    if (stream->type == BUFIO_TYPE_MEM) {
        std::free(stream);
        return 0;
    }
    int result = bufio_flush(stream);
    // The process's standard input and output stay open for whatever it does next.
    if (stream->fd >= 0 && stream->type != BUFIO_TYPE_PIPE && close(stream->fd) < 0) result = -1;
    free_stream(stream);
    return result < 0 ? -1 : 0;
}

BACKGROUND_EXPORT int bufio_timeout(bufio_stream* stream, int timeout) {
    if (!stream) return 0;
    int previous = stream->timeout;
    stream->timeout = timeout;
    return previous;
}

BACKGROUND_EXPORT int bufio_type(bufio_stream* stream) { return stream ? stream->type : BUFIO_TYPE_INVALID; }

BACKGROUND_EXPORT const char* bufio_type_str(bufio_stream* stream) {
    static const char* const names[] = {"invalid", "socket", "file", "lockedfile", "pipe", "fifo", "serve", "mem"};
    int type = bufio_type(stream);
    return type >= 0 && type <= BUFIO_TYPE_MEM ? names[type] : "unknown";
}

BACKGROUND_EXPORT int bufio_status(bufio_stream* stream) {
    if (!stream || stream->status < 0) return -1;
    return stream->status;
}

BACKGROUND_EXPORT const char* bufio_status_str(bufio_stream* stream) {
    if (!stream) return "closed";
    switch (stream->status) {
        case BUFIO_STATUS_OKAY: return "okay";
        case BUFIO_STATUS_TIMEOUT: return "timeout";
        case BUFIO_STATUS_EOF: return "end-of-file";
        case BUFIO_STATUS_NOSPACE: return "no space available";
        default: return stream->status < 0 ? std::strerror(-stream->status) : "unknown error";
    }
}

BACKGROUND_EXPORT int bufio_fileno(bufio_stream* stream) { return stream ? stream->fd : -1; }

BACKGROUND_EXPORT int bufio_clear_status(bufio_stream* stream) {
    if (!stream) return -1;
    stream->status = BUFIO_STATUS_OKAY;
    return 0;
}

BACKGROUND_EXPORT int bufio_set_mem_field(bufio_stream* stream, void* address, size_t size) {
    if (!stream || stream->type != BUFIO_TYPE_MEM) return 1;
    stream->mem_addr = address;
    stream->mem_size = size;
    stream->mem_pos = 0;
    stream->status = BUFIO_STATUS_OKAY;
    return 0;
}

}  // extern "C"

size_t bufio_remaining(bufio_stream* stream) {
    if (!stream) return 0;
    if (stream->type == BUFIO_TYPE_MEM)
        return access_mode(stream) == O_RDONLY && stream->mem_addr ? stream->mem_size - stream->mem_pos : 0;
    if (stream->type != BUFIO_TYPE_FILE && stream->type != BUFIO_TYPE_LOCKEDFILE) return SIZE_MAX;
    struct stat status {};
    if (fstat(stream->fd, &status) < 0 || !S_ISREG(status.st_mode)) return SIZE_MAX;
    off_t position = lseek(stream->fd, 0, SEEK_CUR);
    if (position < 0) return SIZE_MAX;
    size_t ahead = status.st_size > position ? static_cast<size_t>(status.st_size - position) : 0;
    return stream->in_avail + ahead;
}

size_t bufio_output_room(bufio_stream* stream, size_t wanted, unsigned char** room) {
    if (!stream || stream->type == BUFIO_TYPE_SERVE) return 0;
    if (stream->type == BUFIO_TYPE_MEM) {
        if (!stream->mem_addr || access_mode(stream) != O_WRONLY) return 0;
        if (stream->mem_size - stream->mem_pos < wanted) {
            stream->status = BUFIO_STATUS_NOSPACE;
            return 0;
        }
        *room = static_cast<unsigned char*>(stream->mem_addr) + stream->mem_pos;
        return stream->mem_size - stream->mem_pos;
    }
    if (!stream->out_buf || wanted > stream->out_size) return 0;
    if (stream->out_size - stream->out_fill < wanted) {
        if (stream->type == BUFIO_TYPE_LOCKEDFILE && !stream->write_locked && !take_write_lock(stream)) return 0;
        send_out(stream, nullptr, 0);
        if (stream->out_size - stream->out_fill < wanted) return 0;
    }
    *room = stream->out_buf + stream->out_fill;
    return stream->out_size - stream->out_fill;
}

void bufio_output_added(bufio_stream* stream, size_t n) {
    if (stream->type == BUFIO_TYPE_MEM)
        stream->mem_pos += n;
    else
        stream->out_fill += n;
}
