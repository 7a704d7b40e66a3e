// Replaces poll and usleep in the stream-test program: the library's calls reach these, which do the work
// with the system calls themselves and let the tests fake poll's events, see waits for room or data and
// record sleeps.
#include "watched_calls.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

namespace tmio_test::watched {

std::atomic<short> faked_poll_events{0};
std::atomic<int> waits_for_room{0};
std::atomic<int> waits_for_data{0};

namespace {
std::mutex sleeps_mutex;
bool recording = false;
std::vector<long> recorded;
}  // namespace

Sleeps::Sleeps() {
    std::lock_guard lock(sleeps_mutex);
    recorded.clear();
    recording = true;
}

Sleeps::~Sleeps() {
    std::lock_guard lock(sleeps_mutex);
    recording = false;
}

std::vector<long> Sleeps::taken() const {
    std::lock_guard lock(sleeps_mutex);
    return recorded;
}

}  // namespace tmio_test::watched

using namespace tmio_test::watched;

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    if (short events = faked_poll_events; events != 0) {
        for (nfds_t i = 0; i < count; ++i) fds[i].revents = events;
        return static_cast<int>(count);
    }
    short awaited = 0;
    for (nfds_t i = 0; timeout != 0 && i < count; ++i) awaited |= fds[i].events;
    const bool for_room = (awaited & POLLOUT) != 0, for_data = (awaited & POLLIN) != 0;
    if (for_room) ++waits_for_room;
    if (for_data) ++waits_for_data;
    timespec limit{timeout / 1000, (timeout % 1000) * 1000000L};
    int result = static_cast<int>(syscall(SYS_ppoll, fds, count, timeout < 0 ? nullptr : &limit, nullptr, 0));
    if (for_room) --waits_for_room;
    if (for_data) --waits_for_data;
    return result;
}

extern "C" int usleep(useconds_t microseconds) {
    {
        std::lock_guard lock(sleeps_mutex);
        if (recording) recorded.push_back(static_cast<long>(microseconds));
    }
    timespec duration{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    return nanosleep(&duration, nullptr);
}
