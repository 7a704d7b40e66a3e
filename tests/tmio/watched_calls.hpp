#pragma once
// Calls of the stream layers that the tests watch or fake: watched_calls.cpp replaces poll and usleep in
// the test program. Unless a test sets something here, they do what the C library's do.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace tmio_test::watched {

// While not 0, poll reports these events for every descriptor at once, without waiting.
extern std::atomic<short> faked_poll_events;

// The number of polls with a time-out other than 0 that wait at this moment, in any thread, for room to
// write (POLLOUT) and for data to read (POLLIN). A forked child starts with the counts of the moment of
// the fork, so a test that reads them in a child forks while no other thread polls.
extern std::atomic<int> waits_for_room;
extern std::atomic<int> waits_for_data;

// Records the durations that usleep is asked for, in microseconds, while an instance lives.
class Sleeps {
public:
    Sleeps();
    Sleeps(const Sleeps&) = delete;
    Sleeps& operator=(const Sleeps&) = delete;
    ~Sleeps();
    std::vector<long> taken() const;
};

// Checks `condition` every millisecond until it holds (true) or `limit` has passed (false): a wait for an
// event of another thread whose limit only bounds a failure.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace tmio_test::watched
