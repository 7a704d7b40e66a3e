// The standard streams ("-") in a child process, and FIFOs whose writer closes.
#include <fcntl.h>
#include <sys/stat.h>

#include "stream_support.hpp"

namespace {

using namespace tmio_test;
namespace fs = std::filesystem;

TEST(BufioStandardStreams, WritingLeavesStandardOutputOpen) {
    TempDir dir;
    fs::path out = dir.path() / "stdout";
    std::string failures = run_in_child([&] {
        ChildCheck check;
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        bufio_stream* stream = bufio_open("file://-", "w", 0, 0, nullptr);
        check.that(stream != nullptr, "open");
        check.equal(bufio_type(stream), BUFIO_TYPE_PIPE, "type");
        check.equal(bufio_fileno(stream), STDOUT_FILENO, "descriptor");
        check.equal(bufio_write(stream, "stream,", 7), size_t{7}, "write");
        check.equal(bufio_close(stream), 0, "close");
        // Descriptor 1 is still the process's output: a new file does not take its number.
        int other = open((out.string() + "-other").c_str(), O_WRONLY | O_CREAT, 0600);
        check.that(other != STDOUT_FILENO, "descriptor 1 stays in use");
        check.equal(write(STDOUT_FILENO, "after", 5), ssize_t{5}, "later output");
        return check.failures;
    });
    EXPECT_EQ(failures, "");
    EXPECT_EQ(file_bytes(out), to_bytes("stream,after"));
    EXPECT_EQ(fs::file_size(out.string() + "-other"), 0u);
}

TEST(BufioStandardStreams, ReadingEndsWithEndOfDataWhenTheWriterCloses) {
    TempDir dir;
    fs::path tagged = dir.path() / "tagged";
    {
        tmio_context* writer = tmio_init("PIPE_TEST", 0, 0, 0);
        ASSERT_EQ(tmio_create(writer, tagged.c_str(), 0), TMIO_TYPE_FILE);
        tmio_write_tag(writer, 4);
        tmio_write_data(writer, "abc", 3);
        tmio_write_tag(writer, 9);
        ASSERT_EQ(tmio_delete(writer), 0);
    }
    Bytes image = file_bytes(tagged);
    for (bool tagged_reader : {false, true}) {
        // The whole image waits in the pipe, its writer already closed, when the child starts reading.
        int feed[2];
        ASSERT_EQ(pipe(feed), 0);
        ASSERT_EQ(write(feed[1], image.data(), image.size()), static_cast<ssize_t>(image.size()));
        close(feed[1]);
        std::string failures = run_in_child([&] {
            ChildCheck check;
            dup2(feed[0], STDIN_FILENO);
            close(feed[0]);
            if (!tagged_reader) {
                bufio_stream* stream = bufio_open("-", "r", 0, 0, nullptr);
                check.equal(bufio_type(stream), BUFIO_TYPE_PIPE, "type");
                Bytes got(image.size() + 10);
                check.equal(bufio_read(stream, got.data(), got.size()), image.size(), "bytes delivered");
                got.resize(image.size());
                check.that(got == image, "contents");
                check.equal(bufio_status(stream), BUFIO_STATUS_EOF, "end of data, not a broken pipe");
                check.equal(bufio_close(stream), 0, "close");
                check.that(fcntl(STDIN_FILENO, F_GETFD) != -1, "standard input stays open");
            } else {
                tmio_context* reader = tmio_init("PIPE", 0, 0, 0);
                check.equal(tmio_open(reader, "-", 0), TMIO_TYPE_PIPE, "open");
                check.equal(tmio_read_tag(reader), 4, "first tag");
                check.equal(tmio_read_tag(reader), 9, "second tag");
                check.equal(tmio_read_tag(reader), 0, "end");
                check.equal(tmio_status(reader), 0, "status");
                check.equal(bufio_status(tmio_stream_handle(reader)), BUFIO_STATUS_EOF, "stream status");
                tmio_delete(reader);
            }
            return check.failures;
        });
        close(feed[0]);
        EXPECT_EQ(failures, "") << (tagged_reader ? "tagged reader" : "byte reader");
    }
}

TEST(BufioStandardStreams, ReadWriteModesAreRefused) {
    for (const char* mode : {"r+", "w+"}) {
        std::string said = captured_stderr([&] { EXPECT_EQ(bufio_open("-", mode, 0, 0, "s"), nullptr); });
        EXPECT_EQ(said, std::string("s: invalid mode ") + mode + " for standard stream\n");
    }
    std::string said = captured_stderr([] { EXPECT_EQ(bufio_open("-", "a", 0, 0, "s"), nullptr); });
    EXPECT_EQ(said, "s: invalid mode a for file.\n");
}

TEST(BufioFifo, TheEndOfAClosedWriterIsEndOfData) {
    TempDir dir;
    fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (bool tagged_reader : {false, true}) {
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            alarm(120);
            if (tagged_reader) {
                tmio_context* context = tmio_init("FIFO_TEST", 0, 0, 0);
                // A FIFO opens for writing once its reader is there.
                while (tmio_create(context, fifo.c_str(), 0) < 0) usleep(10000);
                tmio_write_tag(context, 3);
                tmio_write_data(context, "12345678", 8);
                tmio_write_tag(context, 5);
                _exit(tmio_delete(context) == 0 ? 0 : 1);
            }
            int fd = open(fifo.c_str(), O_WRONLY);
            _exit(write(fd, "hello", 5) == 5 && close(fd) == 0 ? 0 : 1);
        }
        if (!tagged_reader) {
            bufio_stream* stream = bufio_open(fifo.c_str(), "r", 0, 0, nullptr);
            ASSERT_NE(stream, nullptr);
            EXPECT_EQ(bufio_type(stream), BUFIO_TYPE_FIFO);
            bufio_timeout(stream, 60000);
            char out[16] = {};
            EXPECT_EQ(bufio_read(stream, out, sizeof out), 5u);
            EXPECT_EQ(std::string(out), "hello");
            EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
            EXPECT_STREQ(bufio_status_str(stream), "end-of-file");
            EXPECT_EQ(bufio_close(stream), 0);
        } else {
            tmio_context* reader = tmio_init("FIFO", 60000, 0, 0);
            EXPECT_EQ(tmio_open(reader, fifo.c_str(), 0), TMIO_TYPE_OTHER);
            EXPECT_EQ(tmio_read_tag(reader), 3);
            EXPECT_EQ(tmio_read_tag(reader), 5);
            EXPECT_EQ(tmio_read_tag(reader), 0);
            EXPECT_STREQ(tmio_status_str(reader), "okay");
            EXPECT_EQ(bufio_status(tmio_stream_handle(reader)), BUFIO_STATUS_EOF);
            tmio_delete(reader);
        }
        int status = 0;
        waitpid(writer, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

}  // namespace
