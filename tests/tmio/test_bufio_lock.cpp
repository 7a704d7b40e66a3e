// Locked files against a record lock that another process holds.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <atomic>

#include "stream_support.hpp"

namespace {
std::atomic<int> fsync_calls{0};
}

// Counts the library's fsync calls; the work is done by the system call itself.
extern "C" int fsync(int fd) {
    ++fsync_calls;
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

using namespace tmio_test;
namespace fs = std::filesystem;

// A child process that holds a write lock on the whole file until it is released or `hold_ms` passed.
class LockHolder {
public:
    explicit LockHolder(const fs::path& path, int hold_ms = 60000) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) ADD_FAILURE() << "pipe";
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            alarm(120);
            int fd = open(path.c_str(), O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0) _exit(1);
            if (write(ready[1], "L", 1) != 1) _exit(1);
            pollfd poller{release_[0], POLLIN, 0};
            poll(&poller, 1, hold_ms);
            // At once: the lock would otherwise last while valgrind checks the exiting child for leaks.
            lock.l_type = F_UNLCK;
            fcntl(fd, F_SETLK, &lock);
            _exit(0);
        }
        close(ready[1]);
        pollfd poller{ready[0], POLLIN, 0};
        char byte = 0;
        if (poll(&poller, 1, 60000) != 1 || read(ready[0], &byte, 1) != 1) ADD_FAILURE() << "lock holder did not start";
        close(ready[0]);
    }
    LockHolder(const LockHolder&) = delete;
    ~LockHolder() { release(); }
    void release() {
        if (pid_ <= 0) return;
        if (write(release_[1], "x", 1) != 1) kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(release_[0]);
        close(release_[1]);
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
    int release_[2] = {-1, -1};
};

// Whether another process could write-lock the whole file at once.
bool lockable_by_another(const fs::path& path) {
    return run_in_child([&]() -> std::string {
               int fd = open(path.c_str(), O_RDWR);
               struct flock lock {};
               lock.l_type = F_WRLCK;
               lock.l_whence = SEEK_SET;
               return fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? "" : "busy";
           }) == "";
}

std::string locked(const fs::path& path) { return "lockedfile://" + path.string(); }

const std::string chunk(32, 'w');  // larger than the 16-byte buffers below: goes to the file at once

TEST(BufioLock, ABusyLockStopsReadsAndWritesWithATimeout) {
    TempDir dir;
    fs::path file = dir.write("data", "0123456789");
    LockHolder holder(file);
    bufio_stream* writer = bufio_open(locked(file).c_str(), "w+", 0, 16, nullptr);
    bufio_stream* reader = bufio_open(locked(file).c_str(), "r", 0, 16, nullptr);
    ASSERT_TRUE(writer && reader);
    EXPECT_EQ(bufio_write(writer, chunk.data(), chunk.size()), 0u);
    EXPECT_EQ(bufio_status(writer), BUFIO_STATUS_TIMEOUT);
    char out[4];
    EXPECT_EQ(bufio_read(reader, out, 4), 0u);
    EXPECT_EQ(bufio_status(reader), BUFIO_STATUS_TIMEOUT);
    bufio_clear_status(reader);
    EXPECT_EQ(bufio_wait(reader, 0), 0);
    EXPECT_EQ(bufio_status(reader), BUFIO_STATUS_TIMEOUT);
    EXPECT_EQ(file_bytes(file), to_bytes("0123456789"));
    holder.release();
    EXPECT_EQ(bufio_wait(reader, 0), 1);
    EXPECT_EQ(bufio_read(reader, out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "0123");
    EXPECT_EQ(bufio_close(reader), 0);
    EXPECT_EQ(bufio_close(writer), 0);
}

void mark_alarm(int) {}

TEST(BufioLock, ATimedLockPutsTheTimerAndTheAlarmActionBack) {
    TempDir dir;
    fs::path file = dir.write("data", "");
    struct sigaction own {}, previous {};
    own.sa_handler = mark_alarm;
    sigemptyset(&own.sa_mask);
    sigaction(SIGALRM, &own, &previous);
    itimerval timer{}, seen{};
    timer.it_value.tv_sec = 100;
    const auto armed = std::chrono::steady_clock::now();
    setitimer(ITIMER_REAL, &timer, nullptr);
    {
        LockHolder holder(file);
        bufio_stream* writer = bufio_open(locked(file).c_str(), "w", 0, 16, nullptr);
        bufio_timeout(writer, 200);
        auto start = std::chrono::steady_clock::now();
        // The holder keeps the lock far longer: only the timer ends the wait, with nothing written.
        EXPECT_EQ(bufio_write(writer, chunk.data(), chunk.size()), 0u);
        EXPECT_GE(elapsed_ms(start), 190);
        EXPECT_EQ(bufio_status(writer), BUFIO_STATUS_TIMEOUT);
        bufio_close(writer);
    }
    getitimer(ITIMER_REAL, &seen);
    // The timer ran on from where it was; at most the whole block's time has gone from it (1 ms for
    // rounding), however slowly the holder started and ended.
    const double left_s = static_cast<double>(seen.it_value.tv_sec) + 1e-6 * static_cast<double>(seen.it_value.tv_usec);
    EXPECT_GE(left_s, 100.0 - elapsed_ms(armed) / 1000.0 - 0.001);
    EXPECT_LE(left_s, 100.0);
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &mark_alarm);

    timer.it_value.tv_sec = 0;
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
}

TEST(BufioLock, ATimedLockWaitsForTheHolder) {
    TempDir dir;
    fs::path file = dir.write("data", "");
    LockHolder holder(file, 100);
    bufio_stream* writer = bufio_open(locked(file).c_str(), "w", 0, 16, nullptr);
    bufio_timeout(writer, 60000);
    EXPECT_EQ(bufio_write(writer, chunk.data(), chunk.size()), chunk.size());
    EXPECT_EQ(bufio_close(writer), 0);
    EXPECT_EQ(file_bytes(file), to_bytes(chunk));
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(BufioLock, BufferedOutputIsFlushedUnderTheWriteLock) {
    TempDir dir;
    fs::path file = dir.write("data", "");
    LockHolder holder(file);
    bufio_stream* writer = bufio_open(locked(file).c_str(), "w", 0, 16, nullptr);
    EXPECT_EQ(bufio_write(writer, "small", 5), 5u);
    EXPECT_EQ(bufio_flush(writer), -1);
    EXPECT_EQ(bufio_status(writer), BUFIO_STATUS_TIMEOUT);
    EXPECT_EQ(fs::file_size(file), 0u);
    holder.release();
    EXPECT_EQ(bufio_flush(writer), 0);
    EXPECT_EQ(file_bytes(file), to_bytes("small"));
    EXPECT_EQ(bufio_close(writer), 0);
}

TEST(BufioLock, TheWriteLockLastsUntilTheFlushAndReadLocksOneRead) {
    TempDir dir;
    fs::path file = dir.write("data", "");
    bufio_stream* writer = bufio_open(locked(file).c_str(), "w", 0, 16, nullptr);
    EXPECT_EQ(bufio_write(writer, "ab", 2), 2u);
    EXPECT_TRUE(lockable_by_another(file)) << "no lock while everything is buffered";
    EXPECT_EQ(bufio_write(writer, chunk.data(), chunk.size()), chunk.size());
    EXPECT_FALSE(lockable_by_another(file));
    EXPECT_EQ(bufio_flush(writer), 0);
    EXPECT_TRUE(lockable_by_another(file));
    EXPECT_EQ(bufio_close(writer), 0);

    bufio_stream* reader = bufio_open(locked(file).c_str(), "r", 0, 16, nullptr);
    char out[34] = {};
    EXPECT_EQ(bufio_read(reader, out, 20), 20u);
    EXPECT_TRUE(lockable_by_another(file));
    EXPECT_EQ(bufio_read(reader, out + 20, 20), 14u);
    EXPECT_EQ(std::string(out, 34), "ab" + chunk);
    EXPECT_EQ(bufio_close(reader), 0);
}

TEST(BufioLock, SyncMakesFilesAndLockedFilesDurable) {
    TempDir dir;
    for (const std::string& address : {(dir.path() / "plain").string(), locked(dir.path() / "locked")}) {
        bufio_stream* writer = bufio_open(address.c_str(), "w", 0, 0, nullptr);
        bufio_write(writer, "x", 1);
        int before = fsync_calls;
        EXPECT_EQ(bufio_sync(writer), 0) << address;
        EXPECT_EQ(fsync_calls, before + 1) << address;
        EXPECT_EQ(bufio_close(writer), 0);
    }
}

}  // namespace
