// Streams whose other end is a process: readers that go away while a writer writes, writers slower than
// their reader (standard input fed through a pipe, FIFOs), and headers cut off where the data ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "background/TMIOSerializer.hpp"
#include "stream_support.hpp"
#include "tmio/TMIO.hpp"
#include "watched_calls.hpp"

namespace {

using namespace tmio_test;
using background::BackgroundEvent;
using background::Metadata;
using background::Serializer;
namespace fs = std::filesystem;

// What a test in a child process needs to know of SIGPIPE afterwards: the action, the mask and whether
// one is pending.
struct PipeSignalState {
    void (*action)(int) = nullptr;
    bool blocked = false;
    bool pending = false;
    static PipeSignalState now() {
        PipeSignalState state;
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        state.action = current.sa_handler;
        sigset_t set;
        pthread_sigmask(SIG_BLOCK, nullptr, &set);
        state.blocked = sigismember(&set, SIGPIPE) == 1;
        sigpending(&set);
        state.pending = sigismember(&set, SIGPIPE) == 1;
        return state;
    }
    bool operator==(const PipeSignalState&) const = default;
};

volatile sig_atomic_t handler_calls = 0;
void count_call(int) { handler_calls = handler_calls + 1; }

// A FIFO in a directory of its own.
struct Fifo {
    TempDir dir;
    fs::path path = dir.path() / "fifo";
    Fifo() { EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); }
};

// Makes standard output a pipe whose reader has gone.
bool output_without_reader() {
    int out[2];
    if (pipe(out) != 0) return false;
    close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    return true;
}

TEST(VanishedReaders, AreWriteFailuresAndTheProcessLivesOn) {
    for (void (*action)(int) : {SIG_DFL, &count_call}) {
        std::string failures = run_in_child([action] {
            ChildCheck check;
            signal(SIGPIPE, action);
            const PipeSignalState before = PipeSignalState::now();

            // Standard output into a pipe whose reader has gone: buffered bytes fail their flush, a write
            // larger than the buffer fails at once.
            check.that(output_without_reader(), "pipe");
            bufio_stream* stream = bufio_open("-", "w", 0, 16, nullptr);
            check.equal(bufio_write(stream, "buffered", 8), size_t{8}, "buffered write");
            check.equal(bufio_flush(stream), -1, "flush");
            check.equal(bufio_status(stream), -1, "status");
            check.equal(std::string(bufio_status_str(stream)), std::string(std::strerror(EPIPE)), "status text");
            check.equal(bufio_write(stream, "more than the buffer holds", 26), size_t{0}, "straight write");
            check.equal(bufio_close(stream), -1, "close");

            // A FIFO whose reader went after the protocol tag came through.
            Fifo fifo;
            int reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
            tmio_context* context = tmio_init("GONE", 0, 0, 0);
            check.equal(tmio_create(context, fifo.path.c_str(), 0), TMIO_TYPE_OTHER, "create");
            close(reader);
            check.equal(tmio_write_tag(context, 1), 0, "tag");
            check.equal(tmio_flush(context), -1, "tmio flush");
            check.equal(tmio_status(context), TMIO_STATUS_FLUSH_ERROR, "tmio status");
            tmio_delete(context);

            // The file wrapper's writer, its reader gone while the pipe is full.
            reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
            std::atomic<bool> written{false};
            bool writer_waited = false;
            std::thread leaving([reader, &written, &writer_waited] {
                // Once the writer has filled the pipe and waits for room (or has given up).
                watched::eventually([&] { return (writer_waited = watched::waits_for_room > 0) || written; });
                close(reader);
            });
            try {
                Serializer::create_default()->write_numbers(fifo.path, std::vector<double>(1 << 20, 1.0));
                check.that(false, "a write to a reader that left throws");
            } catch (const std::ios_base::failure& e) {
                check.equal(std::string(e.what()),
                            background::testing::io_failure("Failed to write to file " + fifo.path.string() +
                                                            "!\nImplementation reports: write error"),
                            "the write error");
            }
            written = true;
            leaving.join();
            check.that(writer_waited, "the writer waited for room");

            check.that(PipeSignalState::now() == before, "SIGPIPE's action, mask and pending state stay");
            check.equal(static_cast<int>(handler_calls), 0, "the caller's handler never ran");
            return check.failures;
        });
        EXPECT_EQ(failures, "") << (action == SIG_DFL ? "default action" : "the caller's handler");
    }
}

// A reader that leaves while its writer waits for room: the write fails as one to a reader that had already
// gone does. A FIFO's writer gets "Broken pipe". A socket's gets it too when it is waiting, but the bytes
// the reader left unread make its close reset the connection, so a writer that was woken for room and
// writes again at that moment gets "Connection reset by peer" instead; both are honest.
TEST(VanishedReaders, AWriterWaitingForRoomFails) {
    enum Kind { fifo, socket };
    for (Kind kind : {fifo, socket}) {
        for (int timeout : {-1, 60000}) {
            SCOPED_TRACE(testing::Message() << (kind == fifo ? "fifo" : "socket") << ", timeout " << timeout);
            std::string failures = run_in_child([kind, timeout] {
                ChildCheck check;
                TempDir dir;
                const fs::path path = dir.path() / "fifo";
                Listener listener;
                int reader = -1;
                bufio_stream* stream = nullptr;
                if (kind == fifo) {
                    check.that(mkfifo(path.c_str(), 0600) == 0, "mkfifo");
                    reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
                    stream = bufio_open(path.c_str(), "w", 0, 0, nullptr);
                } else {
                    stream = bufio_open(("tcp://connect/" + std::to_string(listener.port) + "/127.0.0.1").c_str(),
                                        "w", 0, 0, nullptr);
                    reader = listener.accept_one();
                }
                check.that(stream != nullptr && reader >= 0, "open");
                bufio_timeout(stream, timeout);
                // The reader reads nothing and leaves once the writer waits for room.
                bool writer_waited = false;
                std::thread leaving([reader, &writer_waited] {
                    writer_waited = watched::eventually([] { return watched::waits_for_room > 0; });
                    close(reader);
                });
                std::vector<char> data(size_t{64} << 20, 'x');
                const size_t n = bufio_write(stream, data.data(), data.size());
                leaving.join();
                check.that(writer_waited, "the writer waited for room");
                check.that(n < data.size(), "short write");
                const int status = stream->status;
                if (status != -EPIPE && !(kind == socket && status == -ECONNRESET))
                    check.failures += std::string("status \"") + bufio_status_str(stream) + "\"; ";
                bufio_close(stream);
                return check.failures;
            });
            EXPECT_EQ(failures, "");
        }
    }
}

TEST(VanishedReaders, ASignalPendingBeforeStaysPending) {
    std::string failures = run_in_child([] {
        ChildCheck check;
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr);
        raise(SIGPIPE);
        check.that(output_without_reader(), "pipe");
        bufio_stream* stream = bufio_open("-", "w", 0, 0, nullptr);
        bufio_write(stream, "x", 1);
        check.equal(bufio_flush(stream), -1, "flush");
        bufio_close(stream);
        const PipeSignalState after = PipeSignalState::now();
        check.that(after.blocked && after.pending, "the caller's own signal is still there");
        return check.failures;
    });
    EXPECT_EQ(failures, "");
}

// Pieces of a file as a slow writer sends them: a header in parts, records split anywhere.
std::vector<size_t> piece_sizes(size_t total) {
    std::vector<size_t> pieces = {2, 1, 65, 3, 4093};
    size_t sent = 2 + 1 + 65 + 3 + 4093;
    for (size_t piece = 5000; sent < total; piece += 7919) pieces.push_back(piece), sent += piece;
    return pieces;
}

// Writes `bytes` to `fd` in pieces with a pause before each (the first: the writer starts late), then
// closes it.
void send_slowly(int fd, const Bytes& bytes, size_t limit = SIZE_MAX) {
    size_t at = 0;
    const size_t end = std::min(limit, bytes.size());
    for (size_t piece : piece_sizes(end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(at == 0 ? 100 : 5));
        size_t n = std::min(piece, end - at);
        for (size_t done = 0; done < n;) {
            ssize_t written = write(fd, bytes.data() + at + done, n - done);
            if (written <= 0) break;
            done += static_cast<size_t>(written);
        }
        at += n;
        if (at == end) break;
    }
    close(fd);
}

struct Files {
    TempDir dir;
    std::vector<BackgroundEvent> events;
    std::vector<Metadata> records;
    std::vector<double> numbers;
    Bytes events_file, records_file, numbers_file;
    Files() {
        for (size_t i = 0; i < 20000; ++i) events.push_back({0.5 * static_cast<double>(i), static_cast<int>(i % 5), i});
        for (size_t i = 0; i < 6000; ++i)
            records.push_back({.uid = i, .primary = Metadata::GAMMA, .energy = 1.0 + static_cast<double>(i),
                               .x = 0, .y = 0, .theta = 0, .phi = 0, .time = static_cast<double>(i)});
        for (size_t i = 0; i < 50000; ++i) numbers.push_back(0.25 * static_cast<double>(i));
        auto serializer = Serializer::create_default();
        serializer->write_events(dir.path() / "e", events);
        serializer->write_metadata(dir.path() / "m", records);
        serializer->write_numbers(dir.path() / "n", numbers);
        events_file = file_bytes(dir.path() / "e");
        records_file = file_bytes(dir.path() / "m");
        numbers_file = file_bytes(dir.path() / "n");
    }
};

bool same_records(const std::vector<Metadata>& a, const std::vector<Metadata>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const Metadata& x, const Metadata& y) {
               return x.uid == y.uid && x.energy == y.energy;
           });
}

TEST(SlowWriters, StandardInputAndFifosWaitForEveryPiece) {
    Files files;
    enum Kind { events, records, numbers };
    for (bool through_fifo : {false, true}) {
        for (Kind kind : {events, records, numbers}) {
            SCOPED_TRACE(testing::Message() << (through_fifo ? "fifo " : "stdin ") << kind);
            const Bytes& image = kind == events ? files.events_file : kind == records ? files.records_file : files.numbers_file;
            std::string failures = run_in_child(
                [&] {
                    ChildCheck check;
                    Fifo fifo;
                    std::string path = "-";
                    int feed[2] = {-1, -1};
                    std::thread writer;
                    std::atomic<bool> reading_done{false};
                    if (through_fifo) {
                        path = fifo.path.string();
                        // The writer comes after the reader has opened.
                        writer = std::thread([&] {
                            std::this_thread::sleep_for(std::chrono::milliseconds(100));
                            // Opens once the reader is there, however late; a reader that gave up before it
                            // opened leaves none, and the writer stops trying.
                            int fd = -1;
                            while (fd < 0 && !reading_done) {
                                fd = open(fifo.path.c_str(), O_WRONLY | O_NONBLOCK);
                                if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                            }
                            if (fd < 0) return;
                            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
                            send_slowly(fd, image);
                        });
                    } else {
                        check.that(pipe(feed) == 0, "pipe");
                        dup2(feed[0], STDIN_FILENO);
                        close(feed[0]);
                        writer = std::thread([&] { send_slowly(feed[1], image); });
                    }
                    auto serializer = Serializer::create_default();
                    try {
                        if (kind == events) {
                            auto back = serializer->read_events(path);
                            check.that(back.size() == files.events.size() &&
                                           std::equal(back.begin(), back.end(), files.events.begin(),
                                                      [](auto& a, auto& b) { return a.time == b.time && a.id == b.id; }),
                                       "events");
                        } else if (kind == records) {
                            check.that(same_records(serializer->read_metadata(path), files.records), "records");
                        } else {
                            check.that(serializer->read_numbers(path) == files.numbers, "numbers");
                        }
                    } catch (const std::exception& e) {
                        check.that(false, e.what());
                    }
                    // A reader that stopped early leaves the writer a broken pipe, not a wait for ever.
                    reading_done = true;
                    signal(SIGPIPE, SIG_IGN);
                    close(STDIN_FILENO);
                    writer.join();
                    return check.failures;
                });
            EXPECT_EQ(failures, "");
        }
    }
}

TEST(SlowWriters, TheEndOfTheDataKeepsItsMessages) {
    Files files;
    struct Case {
        size_t sent;  // bytes of the numbers file the writer sends before it ends
        const char* message;
    };
    for (const Case& c : std::initializer_list<Case>{
             {0, "Failed to open file -!\nImplementation reports: handshake error"},
             {68, "Reached end of file -!"},
             {84 + 1000, "Failed to read from file -!\nImplementation reports: timeout"}}) {
        SCOPED_TRACE(c.sent);
        std::string failures = run_in_child(
            [&] {
                ChildCheck check;
                int feed[2];
                check.that(pipe(feed) == 0, "pipe");
                dup2(feed[0], STDIN_FILENO);
                close(feed[0]);
                std::thread writer([&] {
                    if (c.sent == 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        close(feed[1]);
                    } else {
                        send_slowly(feed[1], files.numbers_file, c.sent);
                    }
                });
                try {
                    Serializer::create_default()->read_numbers("-");
                    check.that(false, "the read throws");
                } catch (const std::ios_base::failure& e) {
                    check.equal(std::string(e.what()), background::testing::io_failure(c.message), "message");
                }
                writer.join();
                return check.failures;
            });
        EXPECT_EQ(failures, "");
    }
}

TEST(SlowWriters, FileWritersWaitForASlowReader) {
    Files files;
    Fifo fifo;
    // The reader is there before the writer opens, then takes its bytes slowly.
    int reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Bytes got;
    std::thread slow([&] {
        // Until a writer has come, a read would report the end at once.
        pollfd writer_came{reader, POLLIN, 0};
        poll(&writer_came, 1, 60000);
        fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
        unsigned char piece[4096];
        for (;;) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ssize_t n = read(reader, piece, sizeof piece);
            if (n <= 0) break;
            got.insert(got.end(), piece, piece + n);
        }
        close(reader);
    });
    EXPECT_NO_THROW(Serializer::create_default()->write_numbers(fifo.path, files.numbers));
    slow.join();
    EXPECT_EQ(got, files.numbers_file);
}

// A socket through the file wrapper waits for its peer as a FIFO does: a reader until a peer that
// connected sends, a writer while its peer takes nothing. In a child, so that a wrapper that waits for ever
// fails the test.
TEST(SlowWriters, SocketsThroughTheFileWrapperWaitForALatePeer) {
    Files files;
    // Far more than the socket's buffers hold.
    const std::vector<double> many(size_t{1} << 21, 0.5);
    const fs::path many_file = files.dir.path() / "many";
    Serializer::create_default()->write_numbers(many_file, many);
    for (bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "reader" : "writer");
        std::string failures = run_in_child([&] {
            ChildCheck check;
            Listener listener;
            const std::string address = "tcp://connect/" + std::to_string(listener.port) + "/127.0.0.1";
            std::atomic<bool> done{false};
            bool waited = false;
            Bytes got;
            std::thread peer([&] {
                int fd = listener.accept_one();
                if (fd < 0) {
                    // The connection left in the queue is reset, so the wrapper fails instead of waiting.
                    shutdown(listener.fd, SHUT_RDWR);
                    return;
                }
                // Nothing moves until the file wrapper waits (or has given up).
                std::atomic<int>& waits = reading ? watched::waits_for_data : watched::waits_for_room;
                watched::eventually([&] { return (waited = waits > 0) || done; });
                if (reading) {
                    send_slowly(fd, files.numbers_file);
                    return;
                }
                unsigned char piece[65536];
                for (ssize_t n; (n = read(fd, piece, sizeof piece)) > 0;) got.insert(got.end(), piece, piece + n);
                close(fd);
            });
            auto serializer = Serializer::create_default();
            try {
                if (reading)
                    check.that(serializer->read_numbers(address) == files.numbers, "the numbers read back");
                else
                    serializer->write_numbers(address, many);
            } catch (const std::exception& e) {
                check.that(false, e.what());
            }
            done = true;
            peer.join();
            check.that(waited, "the wrapper waited for its peer");
            if (!reading) check.that(got == file_bytes(many_file), "the peer got the whole file");
            return check.failures;
        });
        EXPECT_EQ(failures, "");
    }
}

// A header cut off by the end of the data is never whole: waiting for a tag fails as a short header does
// (status "timeout"), while reading a tag still reports the end with 0.
TEST(CutHeaders, WaitingFailsOnceTheDataHasEnded) {
    const Bytes image = concat({protocol_image("CUT"), header_bytes(-7), Bytes{0xF8, 0xFF}});
    TempDir dir;
    const fs::path file = dir.path() / "cut";
    write_file(file, image);
    for (int timeout : {0, 120}) {
        tmio_context* context = tmio_init("CUT", 0, 0, 0);
        ASSERT_EQ(tmio_open(context, file.c_str(), 0), TMIO_TYPE_FILE);
        EXPECT_EQ(tmio_wait(context, timeout), 1);
        EXPECT_EQ(tmio_read_tag(context), 7);
        EXPECT_EQ(tmio_wait(context, timeout), -1) << timeout;
        EXPECT_EQ(tmio_status(context), TMIO_STATUS_TIMEOUT);
        EXPECT_EQ(tmio_wait(context, timeout), -1) << "the failure stays";
        tmio_delete(context);
    }
    tmio_context* context = tmio_init("CUT", 0, 0, 0);
    ASSERT_EQ(tmio_open(context, file.c_str(), 0), TMIO_TYPE_FILE);
    EXPECT_EQ(tmio_read_tag(context), 7);
    EXPECT_EQ(tmio_read_tag(context), 0);
    EXPECT_EQ(tmio_status(context), 0);
    tmio_delete(context);

    // On a FIFO the rest may come while its writer is there; once the writer has gone it cannot.
    Fifo fifo;
    // A reader of its own lets the writer open at once; it never reads.
    int idle_reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
    int writer = open(fifo.path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    tmio_context* live = tmio_init("CUT", 0, 0, 0);
    ASSERT_EQ(tmio_open(live, fifo.path.c_str(), 0), TMIO_TYPE_OTHER);
    close(idle_reader);
    EXPECT_EQ(tmio_wait(live, 50), 1);
    EXPECT_EQ(tmio_read_tag(live), 7);
    EXPECT_EQ(tmio_wait(live, 50), 0) << "the rest may come";
    EXPECT_EQ(tmio_status(live), 0);
    close(writer);
    EXPECT_EQ(tmio_wait(live, 50), -1);
    EXPECT_EQ(tmio_status(live), TMIO_STATUS_TIMEOUT);
    tmio_delete(live);
}

}  // namespace
