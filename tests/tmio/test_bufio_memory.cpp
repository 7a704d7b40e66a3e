// Memory streams, status texts and what every operation does without a stream.
#include "stream_support.hpp"

namespace {

using namespace tmio_test;

TEST(BufioMemory, WriteStopsAtTheEndOfTheBlockAndFlushStartsAgain) {
    unsigned char block[10] = {};
    bufio_stream* stream = bufio_open(mem_address(block, sizeof block).c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(bufio_type(stream), BUFIO_TYPE_MEM);
    EXPECT_STREQ(bufio_type_str(stream), "mem");
    EXPECT_EQ(bufio_fileno(stream), -1);
    EXPECT_EQ(bufio_write(stream, "abcdefghijkl", 12), 10u);
    EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_NOSPACE);
    EXPECT_STREQ(bufio_status_str(stream), "no space available");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 10), "abcdefghij");
    EXPECT_EQ(bufio_flush(stream), 0);
    EXPECT_EQ(bufio_status(stream), 0);
    EXPECT_EQ(bufio_write(stream, "XY", 2), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 10), "XYcdefghij");
    EXPECT_EQ(bufio_read(stream, block, 1), 0u);  // not opened for reading
    EXPECT_EQ(bufio_status(stream), -1);
    EXPECT_EQ(bufio_wait(stream, 0), 0);
    EXPECT_EQ(bufio_close(stream), 0);
}

TEST(BufioMemory, ReadDeliversTheRestAndReportsTheEnd) {
    char block[] = "0123456789";
    bufio_stream* stream = bufio_open(mem_address(block, 10).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    char out[16] = {};
    EXPECT_EQ(bufio_wait(stream, 0), 1);
    EXPECT_EQ(bufio_read(stream, out, 0), 0u);
    EXPECT_EQ(bufio_read(stream, out, 4), 4u);
    EXPECT_EQ(bufio_read(stream, out + 4, 16), 6u);
    EXPECT_EQ(std::string(out), "0123456789");
    EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
    EXPECT_STREQ(bufio_status_str(stream), "end-of-file");
    EXPECT_EQ(bufio_wait(stream, 0), 0);
    EXPECT_EQ(bufio_write(stream, "x", 1), 0u);  // not opened for writing
    EXPECT_EQ(bufio_status(stream), -1);
    EXPECT_EQ(bufio_clear_status(stream), 0);
    EXPECT_EQ(bufio_status(stream), 0);

    char other[] = "abc";
    EXPECT_EQ(bufio_set_mem_field(stream, other, 3), 0);
    EXPECT_EQ(bufio_read(stream, out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "abc");
    EXPECT_EQ(bufio_set_mem_field(stream, nullptr, 3), 0);
    EXPECT_EQ(bufio_read(stream, out, 3), 0u);  // no block
    EXPECT_EQ(bufio_status(stream), -1);
    EXPECT_EQ(bufio_close(stream), 0);
}

TEST(BufioMemory, OnlyReadAndWriteModes) {
    char block[4];
    for (const char* mode : {"r+", "w+", "a", ""}) {
        std::string said = captured_stderr([&] {
            EXPECT_EQ(bufio_open(mem_address(block, 4).c_str(), mode, 0, 0, "mem"), nullptr) << mode;
        });
        EXPECT_EQ(said, std::string("mem: invalid mode ") + mode + " for mem.\n");
    }
}

TEST(BufioStatus, Texts) {
    char block[1];
    bufio_stream* stream = bufio_open(mem_address(block, 1).c_str(), "r", 0, 0, nullptr);
    struct Case {
        int status;
        int reported;
        std::string text;
    };
    for (const Case& c : std::initializer_list<Case>{{0, 0, "okay"},
                                                     {1, 1, "timeout"},
                                                     {2, 2, "end-of-file"},
                                                     {3, 3, "no space available"},
                                                     {4, 4, "unknown error"},
                                                     {-EPIPE, -1, std::strerror(EPIPE)},
                                                     {-EFBIG, -1, std::strerror(EFBIG)}}) {
        stream->status = c.status;
        EXPECT_EQ(bufio_status(stream), c.reported) << c.status;
        EXPECT_EQ(bufio_status_str(stream), c.text) << c.status;
    }
    for (int type = 0; type <= 8; ++type) {
        stream->type = type;
        static const char* const names[] = {"invalid", "socket", "file", "lockedfile", "pipe",
                                            "fifo",    "serve",  "mem",  "unknown"};
        EXPECT_STREQ(bufio_type_str(stream), names[type]);
    }
    stream->type = BUFIO_TYPE_MEM;
    bufio_close(stream);
}

TEST(BufioNull, EveryOperationGivesItsFailureResult) {
    char byte = 0;
    EXPECT_EQ(bufio_open(nullptr, "r", 0, 0, nullptr), nullptr);
    EXPECT_EQ(bufio_open("-", nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(bufio_read(nullptr, &byte, 1), 0u);
    EXPECT_EQ(bufio_write(nullptr, &byte, 1), 0u);
    EXPECT_EQ(bufio_flush(nullptr), -1);
    EXPECT_EQ(bufio_sync(nullptr), -1);
    EXPECT_EQ(bufio_wait(nullptr, 0), -1);
    EXPECT_EQ(bufio_close(nullptr), 0);
    EXPECT_EQ(bufio_timeout(nullptr, 5), 0);
    EXPECT_EQ(bufio_type(nullptr), BUFIO_TYPE_INVALID);
    EXPECT_STREQ(bufio_type_str(nullptr), "invalid");
    EXPECT_EQ(bufio_status(nullptr), -1);
    EXPECT_STREQ(bufio_status_str(nullptr), "closed");
    EXPECT_EQ(bufio_fileno(nullptr), -1);
    EXPECT_EQ(bufio_clear_status(nullptr), -1);
    EXPECT_EQ(bufio_set_mem_field(nullptr, &byte, 1), 1);
}

}  // namespace
