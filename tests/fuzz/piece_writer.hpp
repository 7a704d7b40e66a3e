#pragma once
// Bytes that arrive in pieces, as they do on standard input or a FIFO. A writer thread feeds them into a
// pipe one piece at a time and closes its end after the last one; the reader opens the pipe by its name in
// /proc, which the byte streams take for a FIFO, or as the address "-" with the pipe put on descriptor 0.
// (A FIFO in a file system would hide a close that came before the reader opened it, and leave the reader
// waiting for another writer; a pipe reopened by name reports it.) Schedule bytes steer the pieces: the
// low four bits pick the size; bit 4 makes the writer wait until the reader has taken everything before
// the next piece, so that the piece comes in a read of its own. No wait sleeps more than microseconds.
//
// The reader opens address() while the object lives and closes its stream before the object goes; the
// destructor stops the writer, joins it and leaves no descriptor behind.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

class PieceWriter {
public:
    enum class Source { fifo, standard_input };

    PieceWriter(Source source, const uint8_t* data, size_t size, const uint8_t* schedule, size_t schedule_size)
        : source_(source), data_(data), size_(size), schedule_(schedule), schedule_size_(schedule_size) {
        // Standard input is set aside before the pipe is made: were it closed, the pipe would take
        // descriptor 0 and be set aside in its place.
        if (source == Source::standard_input && saved_input() < 0) std::abort();
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) std::abort();
        write_end_ = ends[1];
        if (source == Source::fifo) {
            // The reader under test opens the pipe anew through its name in /proc, which the byte streams
            // take for a FIFO; our own read end keeps the pipe, and the bytes written before that open.
            keeper_ = ends[0];
        } else if (ends[0] != STDIN_FILENO) {
            if (::dup2(ends[0], STDIN_FILENO) < 0) std::abort();
            ::close(ends[0]);
        }
        writer_ = std::thread([this] { feed(); });
    }

    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    ~PieceWriter() {
        stop_.store(true);
        // With no reader left a write that waits for room fails at once (EPIPE) and the writer ends.
        if (source_ == Source::fifo)
            ::close(keeper_);
        else
            ::dup2(saved_input(), STDIN_FILENO);
        writer_.join();
    }

    // What the reader opens: the pipe's name as a FIFO, or "-".
    std::string address() const {
        return source_ == Source::fifo ? "/proc/self/fd/" + std::to_string(keeper_) : std::string("-");
    }
    // The writer has closed its end: every byte it will give is in the pipe or taken.
    bool closed() const { return closed_.load(); }
    // Returns once bytes are waiting in the pipe or the writer has closed, whichever comes first.
    void settle() const {
        const int read_end = source_ == Source::fifo ? keeper_ : STDIN_FILENO;
        for (unsigned spins = 0; !closed(); ++spins) {
            int queued = 0;
            if (::ioctl(read_end, FIONREAD, &queued) != 0 || queued > 0) return;
            pause(spins);
        }
    }

private:
    // The process's own standard input (or else /dev/null), kept aside while a pipe stands in for it. Both
    // lie above descriptor 2: with standard input closed, /dev/null would open as descriptor 0, which the
    // pipe then takes, and putting it back would leave the pipe there and a writer waiting for room for ever.
    static int saved_input() {
        static const int saved = [] {
            int kept = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
            if (kept >= 0) return kept;
            const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            kept = ::fcntl(null, F_DUPFD_CLOEXEC, 3);
            ::close(null);
            return kept;
        }();
        return saved;
    }

    static size_t piece_size(uint8_t steer) {
        static constexpr size_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 12, 16, 23, 64, 100, 1000, 4096, 65536, SIZE_MAX};
        return sizes[steer & 15];
    }

    // Pieces after these many go out in one: every split the schedule can ask for lies in the first ones,
    // and a large stream in single bytes would cost a switch between the threads for each.
    static constexpr size_t steered_pieces = 64;

    void wait_until_taken() const {
        for (unsigned spins = 0; !stop_.load(); ++spins) {
            int queued = 0;
            if (::ioctl(write_end_, FIONREAD, &queued) != 0 || queued == 0) return;
            pause(spins);
        }
    }

    static void pause(unsigned spins) {
        if (spins < 64)
            sched_yield();
        else
            ::usleep(5);
    }

    void feed() {
        // A write after the reader has gone fails with EPIPE instead of ending the process; the signal it
        // raises stays blocked and ends with this thread.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        size_t at = 0;
        for (size_t piece = 0; at < size_ && !stop_.load(); ++piece) {
            const uint8_t steer = schedule_size_ && piece < steered_pieces ? schedule_[piece % schedule_size_] : 15;
            const size_t end = at + std::min(piece_size(steer), size_ - at);
            while (at < end) {
                ssize_t written = ::write(write_end_, data_ + at, end - at);
                if (written < 0 && errno == EINTR) continue;
                if (written <= 0) {
                    at = size_;  // the reader has gone
                    break;
                }
                at += static_cast<size_t>(written);
            }
            if ((steer & 16) && at < size_) wait_until_taken();
        }
        ::close(write_end_);
        closed_.store(true);
    }

    Source source_;
    const uint8_t* data_;
    size_t size_;
    const uint8_t* schedule_;
    size_t schedule_size_;
    int keeper_ = -1;
    int write_end_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread writer_;
};
