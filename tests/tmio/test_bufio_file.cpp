// File streams: addresses, modes, the buffer rules, waiting for a file to grow.
#include <sys/stat.h>

#include <thread>

#include "stream_support.hpp"
#include "watched_calls.hpp"

namespace {

using namespace tmio_test;
namespace fs = std::filesystem;

TEST(BufioFile, AddressesDecideTheKindAndNeverCutThePath) {
    TempDir dir;
    fs::path plain = dir.write("plain", "x");
    fs::path blanks = dir.write("with blanks", "x");
    fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A path longer than 1024 characters, in directories of legal name length.
    fs::path deep = dir.path();
    while (deep.native().size() <= 1100) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    fs::path long_path = deep / "long";
    std::ofstream(long_path) << "x";

    struct Case {
        std::string address;
        int type;
        fs::path opened;
    };
    for (const Case& c : std::initializer_list<Case>{
             {plain.string(), BUFIO_TYPE_FILE, plain},
             {"file://" + plain.string(), BUFIO_TYPE_FILE, plain},
             {"lockedfile://" + plain.string(), BUFIO_TYPE_LOCKEDFILE, plain},
             {"file://lockedfile://" + plain.string(), BUFIO_TYPE_LOCKEDFILE, plain},
             {"lockedfile://" + blanks.string(), BUFIO_TYPE_LOCKEDFILE, blanks},
             {"lockedfile:// \t" + plain.string(), BUFIO_TYPE_LOCKEDFILE, plain},
             {fifo.string(), BUFIO_TYPE_FIFO, fifo},
             {"lockedfile://" + fifo.string(), BUFIO_TYPE_FIFO, fifo},
             {long_path.string(), BUFIO_TYPE_FILE, long_path},
             {"lockedfile://" + long_path.string(), BUFIO_TYPE_LOCKEDFILE, long_path}}) {
        bufio_stream* stream = bufio_open(c.address.c_str(), "r", 0, 0, nullptr);
        ASSERT_NE(stream, nullptr) << c.address;
        EXPECT_EQ(bufio_type(stream), c.type) << c.address;
        struct stat opened {}, expected {};
        ASSERT_EQ(fstat(bufio_fileno(stream), &opened), 0);
        ASSERT_EQ(stat(c.opened.c_str(), &expected), 0);
        EXPECT_EQ(opened.st_ino, expected.st_ino) << c.address;
        EXPECT_EQ(bufio_timeout(stream, 7), 0) << "files start without waiting";
        EXPECT_EQ(bufio_close(stream), 0);
    }
    // A long path is created whole, not under a shortened name.
    fs::path fresh = long_path.string() + "-new";
    bufio_stream* stream = bufio_open(fresh.c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(bufio_close(stream), 0);
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_FALSE(fs::exists(fresh.native().substr(0, 1024)));
}

TEST(BufioFile, ModesCreateTruncateOrRefuse) {
    TempDir dir;
    mode_t previous_umask = umask(027);
    struct Case {
        const char* mode;
        bool existing;
        bool opens;
        std::string contents_after;  // after writing "ab" (when the mode writes) and closing
        std::string said;            // with the label "t"
    };
    for (const Case& c : std::initializer_list<Case>{
             {"r", true, true, "12345", ""},
             {"r+", true, true, "ab345", ""},
             {"w", true, true, "ab", ""},
             {"w+", true, true, "ab345", ""},
             {"r", false, false, "", std::string("t: stat failed -- ") + std::strerror(ENOENT) + "\n"},
             {"r+", false, false, "", std::string("t: stat failed -- ") + std::strerror(ENOENT) + "\n"},
             {"w", false, true, "ab", ""},
             {"w+", false, true, "ab", ""},
             {"a", true, false, "12345", "t: invalid mode a for file.\n"},
             {"rw", false, false, "", "t: invalid mode rw for file.\n"}}) {
        fs::path file = dir.path() / (std::string("f") + c.mode + (c.existing ? "e" : "m"));
        if (c.existing) std::ofstream(file) << "12345";
        bufio_stream* stream = nullptr;
        std::string said = captured_stderr([&] { stream = bufio_open(file.c_str(), c.mode, 0, 0, "t"); });
        EXPECT_EQ(said, c.said) << c.mode;
        ASSERT_EQ(stream != nullptr, c.opens) << c.mode << " existing " << c.existing;
        if (stream) {
            if (std::string(c.mode) != "r") bufio_write(stream, "ab", 2);
            EXPECT_EQ(bufio_close(stream), 0);
        }
        if (fs::exists(file)) {
            EXPECT_EQ(file_bytes(file), to_bytes(c.contents_after)) << c.mode;
            if (!c.existing) {
                struct stat created {};
                stat(file.c_str(), &created);
                EXPECT_EQ(created.st_mode & 0777, 0640u) << "0664 less the umask";
            }
        } else {
            EXPECT_FALSE(c.opens);
        }
    }
    umask(previous_umask);
}

TEST(BufioFile, DirectoriesAreRefused) {
    TempDir dir;
    for (const std::string prefix : {"", "file://", "lockedfile://"}) {
        std::string said = captured_stderr([&] {
            EXPECT_EQ(bufio_open((prefix + dir.path().string()).c_str(), "r", 0, 0, "d"), nullptr);
        });
        EXPECT_EQ(said, "d: can not open directory " + dir.path().string() + "\n");
    }
}

TEST(BufioFile, ReadAtTheEndDeliversTheRest) {
    TempDir dir;
    fs::path file = dir.write("data", "0123456789");
    bufio_stream* stream = bufio_open(file.c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    char out[32] = {};
    EXPECT_EQ(bufio_read(stream, out, 4), 4u);
    EXPECT_EQ(bufio_read(stream, out + 4, 20), 6u);
    EXPECT_EQ(std::string(out), "0123456789");
    EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
    EXPECT_STREQ(bufio_status_str(stream), "end-of-file");
    EXPECT_EQ(bufio_read(stream, out, 4), 0u);
    EXPECT_EQ(bufio_close(stream), 0);
}

TEST(BufioFile, ReadsCopyFromTheBufferOrReadStraightWithReadAhead) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>('A' + i % 26);
    fs::path file = dir.write("data", text);
    bufio_stream* stream = bufio_open(file.c_str(), "r", 0, 64, nullptr);
    ASSERT_NE(stream, nullptr);
    std::string out(200, '\0');
    // Empty buffer: 10 bytes for the caller and a whole buffer of read-ahead in one readv.
    EXPECT_EQ(bufio_read(stream, out.data(), 10), 10u);
    EXPECT_EQ(stream->in_avail, 64u);
    EXPECT_EQ(lseek(bufio_fileno(stream), 0, SEEK_CUR), 74);
    // Served from the buffer alone.
    EXPECT_EQ(bufio_read(stream, out.data() + 10, 60), 60u);
    EXPECT_EQ(stream->in_avail, 4u);
    EXPECT_EQ(lseek(bufio_fileno(stream), 0, SEEK_CUR), 74);
    // The 4 buffered bytes, then 96 straight from the file; the surplus stays buffered.
    EXPECT_EQ(bufio_read(stream, out.data() + 70, 100), 100u);
    EXPECT_EQ(stream->in_pos, 0u);
    EXPECT_EQ(stream->in_avail, 30u);
    EXPECT_EQ(stream->in_fill, 30u);
    EXPECT_EQ(bufio_read(stream, out.data() + 170, 30), 30u);
    EXPECT_EQ(stream->in_avail + stream->in_pos + stream->in_fill, 0u);
    EXPECT_EQ(out, text);
    EXPECT_EQ(bufio_status(stream), 0);
    EXPECT_EQ(bufio_close(stream), 0);
}

TEST(BufioFile, WritesBufferOrGoOutWithThePendingBytesInOneCall) {
    TempDir dir;
    fs::path file = dir.path() / "out";
    bufio_stream* stream = bufio_open(file.c_str(), "w", 0, 16, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(bufio_write(stream, "0123456789", 10), 10u);
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(stream->out_fill, 10u);
    // Does not fit the free room: buffer and data together, the buffer left empty.
    EXPECT_EQ(bufio_write(stream, "abcdefghij", 10), 10u);
    EXPECT_EQ(stream->out_fill, 0u);
    EXPECT_EQ(fs::file_size(file), 20u);
    EXPECT_EQ(bufio_flush(stream), 0);
    // Larger than the buffer with nothing pending: straight from the caller's memory.
    EXPECT_EQ(bufio_write(stream, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26), 26u);
    EXPECT_EQ(stream->out_fill, 0u);
    EXPECT_EQ(bufio_write(stream, "!", 1), 1u);
    EXPECT_EQ(bufio_write(stream, "", 0), 0u);
    EXPECT_EQ(bufio_sync(stream), 0);
    EXPECT_EQ(bufio_close(stream), 0);
    EXPECT_EQ(file_bytes(file), to_bytes("0123456789abcdefghijABCDEFGHIJKLMNOPQRSTUVWXYZ!"));
}

TEST(BufioFile, WaitSleepsForTheFileToGrow) {
    TempDir dir;
    fs::path file = dir.write("data", "ab");
    bufio_stream* stream = bufio_open(file.c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(bufio_wait(stream, 0), 1);
    char out[8] = {};
    EXPECT_EQ(bufio_read(stream, out, 2), 2u);

    {
        watched::Sleeps sleeps;
        EXPECT_EQ(bufio_wait(stream, 0), 0);
        EXPECT_EQ(sleeps.taken(), std::vector<long>{}) << "no sleep";
        EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
    }
    bufio_clear_status(stream);
    {
        watched::Sleeps sleeps;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(bufio_wait(stream, 120), 0);
        EXPECT_GE(elapsed_ms(start), 120);
        EXPECT_EQ(sleeps.taken(), (std::vector<long>{50000, 50000, 20000}));
        EXPECT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
    }

    std::thread grower([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::ofstream(file, std::ios::app) << "cd";
    });
    EXPECT_EQ(bufio_wait(stream, 60000), 1);
    grower.join();
    EXPECT_EQ(stream->in_avail, 2u);
    EXPECT_EQ(bufio_read(stream, out, 2), 2u);
    EXPECT_EQ(std::string(out, 2), "cd");

    bufio_stream* writer = bufio_open((dir.path() / "w").c_str(), "w", 0, 0, nullptr);
    EXPECT_EQ(bufio_wait(writer, 100), 0);  // nothing to read on a write-only stream
    EXPECT_EQ(bufio_close(writer), 0);
    EXPECT_EQ(bufio_close(stream), 0);
}

TEST(BufioFile, SetMemFieldRefusesOtherKinds) {
    TempDir dir;
    fs::path file = dir.write("data", "x");
    bufio_stream* stream = bufio_open(file.c_str(), "r", 0, 0, nullptr);
    char block[4];
    EXPECT_EQ(bufio_set_mem_field(stream, block, 4), 1);
    EXPECT_EQ(bufio_close(stream), 0);
}

}  // namespace
