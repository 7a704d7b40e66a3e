// Reads from a FIFO whose writer stays open: a read that gets all it asked for is done, however long the
// stream's time-out, and whatever the writer may send later.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "stream_support.hpp"

namespace {

using namespace tmio_test;

TEST(BufioLiveRead, ExactlyTheBytesAskedForReturnAtOnceWithStatusOkay) {
    struct Case {
        const char* what;
        std::vector<size_t> pieces;  // what the writer sends, in turn
        int pause_ms;                // before each piece
    };
    for (const Case& c : std::initializer_list<Case>{{"already there", {100}, 0},
                                                     {"arriving later", {100}, 100},
                                                     {"arriving in two pieces", {40, 60}, 100}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string fifo = (dir.path() / "fifo").string();
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        bufio_stream* stream = bufio_open(fifo.c_str(), "r", 0, 0, nullptr);
        ASSERT_NE(stream, nullptr);
        bufio_timeout(stream, 20000);
        // Open until the end of the case: the reader never sees the end of the data.
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer, 0);
        Bytes sent;
        for (size_t n : c.pieces)
            for (size_t i = 0; i < n; ++i) sent.push_back(static_cast<unsigned char>(sent.size() * 7));
        std::thread feeder([&] {
            size_t at = 0;
            for (size_t n : c.pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
                if (write(writer, sent.data() + at, n) != static_cast<ssize_t>(n)) ADD_FAILURE() << "short write";
                at += n;
            }
        });
        if (c.pause_ms == 0) feeder.join();

        Bytes got(sent.size());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(bufio_read(stream, got.data(), got.size()), sent.size());
        const double took = elapsed_ms(start);
        EXPECT_EQ(got, sent);
        EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_OKAY) << bufio_status_str(stream);
        // Far below the stream's time-out: the read did not wait for more.
        EXPECT_LT(took, 10000.0);

        if (feeder.joinable()) feeder.join();
        close(writer);
        bufio_close(stream);
    }
}

}  // namespace
