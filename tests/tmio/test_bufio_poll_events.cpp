// What the waits of reading, writing and bufio_wait make of each event poll reports. The events are
// faked (poll reports them while a case runs) on a FIFO whose reads and writes would block.
#include <fcntl.h>
#include <sys/stat.h>

#include "stream_support.hpp"
#include "watched_calls.hpp"

namespace {

using namespace tmio_test;
using watched::faked_poll_events;

enum class Call { read, write, wait };

TEST(BufioPollEvents, EveryEventGetsItsStatus) {
    TempDir dir;
    std::string fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        Call call;
        short events;
        int status;
    };
    for (const Case& c : std::initializer_list<Case>{{Call::read, POLLERR, -EIO},
                                                     {Call::read, POLLHUP | POLLERR, -EPIPE},
                                                     {Call::read, POLLNVAL, -EBADF},
                                                     {Call::write, POLLERR, -EIO},
                                                     {Call::write, POLLOUT | POLLERR, -EIO},
                                                     {Call::write, POLLHUP | POLLERR, -EPIPE},
                                                     {Call::write, POLLNVAL, -EBADF},
                                                     {Call::wait, POLLERR, -EIO},
                                                     {Call::wait, POLLHUP | POLLERR, -EPIPE},
                                                     {Call::wait, POLLNVAL, -EIO}}) {
        bool writing = c.call == Call::write;
        // The other end stays open, so the stream's own transfer finds nothing to do and waits.
        int other = -1;
        bufio_stream* stream = nullptr;
        if (writing) {
            other = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            stream = bufio_open(fifo.c_str(), "w", 0, 16, nullptr);
            ASSERT_NE(stream, nullptr);
            std::string fill(4096, 'f');
            while (write(bufio_fileno(stream), fill.data(), fill.size()) > 0) {
            }
        } else {
            stream = bufio_open(fifo.c_str(), "r", 0, 16, nullptr);
            ASSERT_NE(stream, nullptr);
            other = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        }
        ASSERT_GE(other, 0);
        bufio_timeout(stream, 1000);
        char bytes[32] = {};
        faked_poll_events = c.events;
        switch (c.call) {
            case Call::read: EXPECT_EQ(bufio_read(stream, bytes, sizeof bytes), 0u); break;
            case Call::write: EXPECT_EQ(bufio_write(stream, bytes, sizeof bytes), 0u); break;
            case Call::wait: EXPECT_EQ(bufio_wait(stream, 1000), -1); break;
        }
        faked_poll_events = 0;
        EXPECT_EQ(stream->status, c.status) << static_cast<int>(c.call) << " events " << c.events;
        close(other);
        bufio_close(stream);
    }
}

}  // namespace
