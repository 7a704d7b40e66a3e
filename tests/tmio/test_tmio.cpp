// The tagged-message protocol: byte images, handshake, reading, status rules, diagnostics, counters.
#include <thread>

#include "stream_support.hpp"

namespace {

using namespace tmio_test;
namespace fs = std::filesystem;

// The bytes a writer leaves in a file.
template <class Body>
Bytes written_image(const char* protocol, Body body) {
    TempDir dir;
    fs::path file = dir.path() / "out.tmio";
    tmio_context* context = tmio_init(protocol, 0, 0, 0);
    EXPECT_EQ(tmio_create(context, file.c_str(), 0), TMIO_TYPE_FILE);
    body(context);
    EXPECT_EQ(tmio_delete(context), 0);
    return file_bytes(file);
}

// A reader over a memory image; the image must outlive it.
struct Reader {
    tmio_context* context;
    int opened;
    Reader(const Bytes& image, const char* protocol, int verbosity = 0) {
        context = tmio_init(protocol, 0, 0, verbosity);
        opened = tmio_open(context, mem_address(const_cast<unsigned char*>(image.data()), image.size()).c_str(), 0);
    }
    Reader(const Reader&) = delete;
    ~Reader() { tmio_delete(context); }
};

TEST(TmioWrite, ByteImages) {
    Bytes empty = written_image("EVENT_PROTOCOL", [](tmio_context*) {});
    ASSERT_EQ(empty.size(), 68u);
    EXPECT_EQ(Bytes(empty.begin(), empty.begin() + 4), (Bytes{0xFF, 0x35, 0x65, 0xC4}));
    EXPECT_EQ(empty, protocol_image("EVENT_PROTOCOL"));

    Bytes records = written_image("P", [](tmio_context* context) {
        EXPECT_EQ(tmio_write_data(context, "no", 2), -1) << "no data before the first tag";
        EXPECT_EQ(tmio_write_tag(context, 0), -1);
        EXPECT_EQ(tmio_write_tag(context, TMIO_MAX_TAG + 1), -1);
        EXPECT_EQ(tmio_write_tag(context, -3), -1);
        EXPECT_EQ(tmio_status(context), 0);
        EXPECT_EQ(tmio_write_tag(context, 7), 0);
        EXPECT_EQ(tmio_write_data(context, "xyz", 3), 3);
        EXPECT_EQ(tmio_write_data(context, "", 0), 0);
        EXPECT_EQ(tmio_write_data(context, "ignored", -1), 0);
        EXPECT_EQ(tmio_write_tag(context, TMIO_MAX_TAG), 0);
        EXPECT_EQ(tmio_status(context), 0);
        EXPECT_EQ(context->tags_written, 2);
        EXPECT_EQ(context->data_records_out, 2);
        EXPECT_EQ(context->bytes_written, 68u + 4 + 7 + 4 + 4);
    });
    EXPECT_EQ(records, concat({protocol_image("P"), Bytes{0xF9, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 'x', 'y', 'z'},
                               Bytes{0, 0, 0, 0}, header_bytes(-TMIO_MAX_TAG)}));

    // The protocol is cut to 63 characters and always NUL-terminated on the wire.
    std::string long_protocol(80, 'p');
    Bytes cut = written_image(long_protocol.c_str(), [](tmio_context*) {});
    EXPECT_EQ(cut, protocol_image(long_protocol.substr(0, 63)));
}

// The header of the largest tag lies next to the protocol tag's: still a tag for every reader.
TEST(TmioRead, TheLargestTagReadsBackAsATag) {
    Bytes image = written_image("P", [](tmio_context* context) {
        EXPECT_EQ(tmio_write_tag(context, TMIO_MAX_TAG), 0);
        EXPECT_EQ(tmio_write_data(context, "ab", 2), 2);
        EXPECT_EQ(tmio_write_tag(context, TMIO_MAX_TAG), 0);
    });
    Reader reader(image, "P");
    tmio_context* context = reader.context;
    EXPECT_EQ(tmio_read_tag(context), TMIO_MAX_TAG);
    char out[2] = {};
    EXPECT_EQ(tmio_read_data(context, out, 2), 2);
    EXPECT_EQ(tmio_read_data(context, out, 2), -2) << "a tag comes first";
    EXPECT_EQ(tmio_wait(context, 0), 1);
    EXPECT_EQ(tmio_read_tag(context), TMIO_MAX_TAG);
    EXPECT_EQ(tmio_read_tag(context), 0);
    EXPECT_EQ(tmio_status(context), 0);
    EXPECT_EQ(context->tags_read, 2);
}

TEST(TmioOpen, TheProtocolCheck) {
    Bytes event = protocol_image("EVENT_PROTOCOL");
    struct Case {
        Bytes image;
        const char* protocol;
        int result;
        int status;
        bool stream_kept;
    };
    Bytes other_header = concat({header_bytes(-1), Bytes(64, 0)});
    Bytes short_field = Bytes(event.begin(), event.begin() + 40);
    for (const Case& c : std::initializer_list<Case>{
             {event, "EVENT_PROTOCOL", TMIO_TYPE_OTHER, 0, true},
             {event, "EVENT", TMIO_TYPE_OTHER, 0, true},
             {event, "", TMIO_TYPE_OTHER, 0, true},
             {event, "EVENT_PROTOCOLS", -1, TMIO_STATUS_PROTOCOL_ERROR, false},
             {event, "META_PROTOCOL", -1, TMIO_STATUS_PROTOCOL_ERROR, false},
             {Bytes{0xFF, 0x35}, "EVENT", -1, TMIO_STATUS_HANDSHAKE_ERROR, true},
             {other_header, "EVENT", -1, TMIO_STATUS_HANDSHAKE_ERROR, true},
             {short_field, "EVENT", -1, TMIO_STATUS_HANDSHAKE_ERROR, false}}) {
        Reader reader(c.image, c.protocol);
        EXPECT_EQ(reader.opened, c.result) << c.protocol << " " << c.image.size();
        EXPECT_EQ(tmio_status(reader.context), c.status) << c.protocol << " " << c.image.size();
        EXPECT_EQ(tmio_stream_handle(reader.context) != nullptr, c.stream_kept) << c.protocol << " " << c.image.size();
        if (c.result >= 0) {
            EXPECT_STREQ(tmio_stream_protocol(reader.context), "EVENT_PROTOCOL");
        }
    }
    TempDir dir;
    tmio_context* context = tmio_init("EVENT", 0, 0, 0);
    EXPECT_EQ(tmio_open(context, (dir.path() / "missing").c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(context), "connection error");
    EXPECT_EQ(tmio_open(context, dir.write("empty", "").c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(context), "handshake error");
    EXPECT_EQ(tmio_open(context, dir.write("file", std::string(event.begin(), event.end())).c_str(), 0),
              TMIO_TYPE_FILE);
    EXPECT_EQ(tmio_type(context), TMIO_TYPE_FILE);
    EXPECT_STREQ(tmio_protocol(context), "EVENT");
    tmio_delete(context);
}

Bytes data_record(std::string_view payload) {
    return concat({header_bytes(static_cast<int32_t>(payload.size())), to_bytes(payload)});
}

TEST(TmioRead, TagsPassOverDataRecords) {
    Bytes image = concat({protocol_image("P"), header_bytes(-3), data_record("12345678"), header_bytes(-5)});
    Reader reader(image, "P");
    tmio_context* context = reader.context;
    EXPECT_EQ(tmio_read_tag(context), 3);
    EXPECT_EQ(tmio_read_tag(context), 5);
    EXPECT_EQ(tmio_read_tag(context), 0);
    EXPECT_EQ(tmio_status(context), 0);
    EXPECT_EQ(context->data_skipped, 1);
    EXPECT_EQ(context->bytes_skipped, 12u);
    EXPECT_EQ(context->tags_read, 2);
    EXPECT_EQ(context->bytes_read, 68u + 8);
    EXPECT_EQ(tmio_read_data(context, nullptr, 0), -1) << "at the end of the data";
    EXPECT_EQ(tmio_status(context), TMIO_STATUS_TIMEOUT);
    EXPECT_STREQ(tmio_status_str(context), "timeout");
    EXPECT_EQ(tmio_read_tag(context), -1) << "record operations refuse while the status is negative";
}

TEST(TmioRead, DataRecordsAreStoredTruncatedOrShortened) {
    Bytes image = concat({protocol_image("P"), header_bytes(-1), data_record("0123456789"), data_record("0123456789"),
                          data_record(std::string(3000, 'L')), header_bytes(-2)});
    Reader reader(image, "P");
    tmio_context* context = reader.context;
    ASSERT_EQ(tmio_read_tag(context), 1);
    char out[16] = {};
    EXPECT_EQ(tmio_read_data(context, out, -1), -2) << "negative capacity";
    EXPECT_EQ(tmio_read_data(context, out, 4), 10);
    EXPECT_EQ(std::string(out, 5), std::string("0123\0", 5));
    EXPECT_EQ(context->read_truncated, 1);
    EXPECT_EQ(context->bytes_skipped, 6u);
    EXPECT_EQ(tmio_read_data(context, out, 16), 10);
    EXPECT_EQ(std::string(out, 10), "0123456789");
    EXPECT_EQ(context->read_shortened, 1);
    EXPECT_EQ(tmio_read_data(context, out, 1), 3000) << "read away through the scratch area";
    EXPECT_EQ(context->bytes_skipped, 6u + 2999);
    EXPECT_EQ(tmio_read_data(context, out, 16), -2) << "a tag comes first";
    EXPECT_EQ(context->read_missing, 1);
    EXPECT_EQ(tmio_read_data(context, out, 16), -2) << "it stays pending";
    size_t before = tmio_stream_handle(context)->mem_pos;
    EXPECT_EQ(tmio_read_tag(context), 2);
    EXPECT_EQ(tmio_stream_handle(context)->mem_pos, before) << "the pending tag needs no read";
    EXPECT_EQ(context->data_records_in, 3);
    EXPECT_EQ(context->bytes_read, 68u + 4 + (4 + 4) + (4 + 10) + (4 + 1) + 4);
    EXPECT_EQ(tmio_status(context), 0);
}

TEST(TmioRead, ProtocolTagsAndReservedHeadersAreNeverTagNumbers) {
    struct Case {
        Bytes rest;
        int first;      // result of the first tmio_read_tag
        int status;     // status afterwards
        int wait;       // result of tmio_wait on the same image
        int wait_status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {concat({protocol_image("P2"), header_bytes(-4)}), 4, 0, 1, 0},
             {concat({protocol_image("Q"), header_bytes(-4)}), -1, TMIO_STATUS_PROTOCOL_ERROR, -1,
              TMIO_STATUS_PROTOCOL_ERROR},
             {concat({header_bytes(TMIO_PROTOCOL_TAG), Bytes(10, 'P')}), -1, TMIO_STATUS_HANDSHAKE_ERROR, -1,
              TMIO_STATUS_HANDSHAKE_ERROR},
             {header_bytes(TMIO_PROTOCOL_TAG - 1), -1, TMIO_STATUS_READ_ERROR, -1, TMIO_STATUS_READ_ERROR},
             {header_bytes(INT32_MIN), -1, TMIO_STATUS_READ_ERROR, -1, TMIO_STATUS_READ_ERROR},
             {concat({data_record("abc"), header_bytes(-6)}), 6, 0, 1, 0},
             // A header cut off by the end: no tag to read, and nothing to wait for.
             {Bytes{0xFE, 0xFF}, 0, 0, -1, TMIO_STATUS_TIMEOUT}}) {
        Bytes image = concat({protocol_image("P"), c.rest});
        {
            Reader reader(image, "P");
            EXPECT_EQ(tmio_read_tag(reader.context), c.first) << c.rest.size();
            EXPECT_EQ(tmio_status(reader.context), c.status) << c.rest.size();
            EXPECT_NE(tmio_stream_handle(reader.context), nullptr);
        }
        {
            Reader reader(image, "P");
            EXPECT_EQ(tmio_wait(reader.context, 0), c.wait) << c.rest.size();
            EXPECT_EQ(tmio_status(reader.context), c.wait_status) << c.rest.size();
            if (c.wait == 1) {
                EXPECT_EQ(tmio_wait(reader.context, 0), 1) << "a pending tag stays ready";
                EXPECT_EQ(tmio_read_tag(reader.context), c.first);
            }
        }
    }
    // A protocol tag that tmio_read_data meets is left to tmio_read_tag, which checks it.
    Bytes image = concat({protocol_image("P"), header_bytes(-1), protocol_image("P"), header_bytes(-8)});
    Reader reader(image, "P");
    EXPECT_EQ(tmio_read_tag(reader.context), 1);
    EXPECT_EQ(tmio_read_data(reader.context, nullptr, 0), -2);
    EXPECT_EQ(tmio_wait(reader.context, 0), 1);
    EXPECT_EQ(tmio_read_tag(reader.context), 8);
}

TEST(TmioStatus, TextsAndTheStreamMapping) {
    Bytes image = concat({protocol_image("P"), header_bytes(-1)});
    Reader reader(image, "P");
    tmio_context* context = reader.context;
    static const char* const texts[] = {"okay",        "connection error", "read error",      "write error",
                                        "flush error", "timeout",          "handshake error", "protocol error"};
    for (int status = 0; status >= -7; --status) {
        tmio_set_status(context, status);
        EXPECT_EQ(tmio_status(context), status);
        EXPECT_STREQ(tmio_status_str(context), texts[-status]);
    }
    tmio_set_status(context, -8);
    EXPECT_STREQ(tmio_status_str(context), "unknown error");
    tmio_set_status(context, 5);
    EXPECT_EQ(tmio_status(context), 0);
    EXPECT_STREQ(tmio_status_str(context), "okay");
    // While the stream reports the end of its data, every status stored is "timeout".
    bufio_stream* stream = tmio_stream_handle(context);
    char rest[8];
    bufio_read(stream, rest, sizeof rest);
    ASSERT_EQ(bufio_status(stream), BUFIO_STATUS_EOF);
    tmio_set_status(context, TMIO_STATUS_WRITE_ERROR);
    EXPECT_EQ(tmio_status(context), TMIO_STATUS_TIMEOUT);
    EXPECT_EQ(tmio_write_tag(context, 1), -1);
    EXPECT_EQ(tmio_write_data(context, "x", 1), -1);
    EXPECT_EQ(tmio_read_tag(context), -1);
    EXPECT_EQ(tmio_read_data(context, rest, 8), -1);
}

TEST(TmioContext, FlushSyncCloseAndNull) {
    TempDir dir;
    tmio_context* context = tmio_init("P", 0, 0, 0);
    EXPECT_EQ(tmio_flush(context), 0) << "never wrote";
    EXPECT_EQ(tmio_sync(context), -1) << "no stream";
    EXPECT_EQ(tmio_wait(context, 0), -1) << "no stream";
    EXPECT_EQ(tmio_status(context), TMIO_STATUS_CONNECTION_ERROR);
    EXPECT_EQ(tmio_timeout(context, 25), 0);
    EXPECT_EQ(tmio_write_tag(context, 1), -1) << "idle";
    EXPECT_EQ(tmio_read_tag(context), -1) << "idle";
    fs::path file = dir.path() / "f";
    ASSERT_EQ(tmio_create(context, file.c_str(), 0), TMIO_TYPE_FILE);
    EXPECT_EQ(bufio_timeout(tmio_stream_handle(context), 0), 25) << "the context's timeout goes to the stream";
    EXPECT_EQ(tmio_flush(context), 0);
    EXPECT_EQ(context->data_flushes, 0) << "never wrote a record";
    tmio_write_tag(context, 2);
    EXPECT_EQ(tmio_sync(context), 0);
    EXPECT_EQ(context->data_flushes, 1);
    EXPECT_EQ(fs::file_size(file), 72u);
    EXPECT_EQ(tmio_close(context), 0);
    EXPECT_EQ(tmio_stream_handle(context), nullptr);
    EXPECT_EQ(tmio_status(context), TMIO_STATUS_CONNECTION_ERROR);
    EXPECT_EQ(context->bytes_written, 0u);
    EXPECT_EQ(context->tag_written, 0);
    EXPECT_EQ(tmio_timeout(context, 0), 25);
    // The context can be opened again, and kib beyond the int range never overflows.
    EXPECT_EQ(tmio_open(context, file.c_str(), 0), TMIO_TYPE_FILE);
    EXPECT_EQ(tmio_read_tag(context), 2);
    EXPECT_EQ(tmio_delete(context), 0);
    tmio_context* huge = tmio_init("P", 0, INT32_MAX, 0);
    EXPECT_GT(huge->buffer_size, 0);
    EXPECT_EQ(huge->buffer_size % 1024, 0);
    tmio_delete(huge);

    char byte = 0;
    EXPECT_EQ(tmio_create(nullptr, file.c_str(), 0), -1);
    EXPECT_EQ(tmio_open(nullptr, file.c_str(), 0), -1);
    EXPECT_EQ(tmio_write_tag(nullptr, 1), -1);
    EXPECT_EQ(tmio_write_data(nullptr, &byte, 1), -1);
    EXPECT_EQ(tmio_read_tag(nullptr), -1);
    EXPECT_EQ(tmio_read_data(nullptr, &byte, 1), -1);
    EXPECT_EQ(tmio_wait(nullptr, 0), -1);
    EXPECT_EQ(tmio_flush(nullptr), -1);
    EXPECT_EQ(tmio_sync(nullptr), -1);
    EXPECT_EQ(tmio_close(nullptr), 0);
    EXPECT_EQ(tmio_delete(nullptr), 0);
    tmio_set_status(nullptr, 0);
    EXPECT_EQ(tmio_status(nullptr), TMIO_STATUS_CONNECTION_ERROR);
    EXPECT_STREQ(tmio_status_str(nullptr), "connection error");
    EXPECT_EQ(tmio_timeout(nullptr, 1), 0);
    EXPECT_STREQ(tmio_protocol(nullptr), "");
    EXPECT_STREQ(tmio_stream_protocol(nullptr), "");
    EXPECT_EQ(tmio_type(nullptr), -1);
    EXPECT_EQ(tmio_stream_handle(nullptr), nullptr);
    EXPECT_EQ(tmio_monitor(nullptr), -1);
}

TEST(TmioDiagnostics, LinesByVerbosity) {
    TempDir dir;
    fs::path good = dir.path() / "good";
    fs::path missing = dir.path() / "missing";
    {
        tmio_context* writer = tmio_init("GOOD_PROTOCOL", 0, 0, 0);
        tmio_create(writer, good.c_str(), 0);
        tmio_write_tag(writer, 1);
        tmio_write_data(writer, "", 0);
        tmio_delete(writer);
    }
    fs::path reserved = dir.path() / "reserved";
    write_file(reserved, concat({protocol_image("GOOD_PROTOCOL"), header_bytes(-1000000002)}));
    auto session = [&](int verbosity) {
        return captured_stderr([&] {
            tmio_context* context = tmio_init("GOOD", 0, 0, verbosity);
            tmio_open(context, good.c_str(), 0);
            tmio_open(context, missing.c_str(), 0);
            tmio_create(context, missing.c_str(), 0);
            tmio_close(context);
            tmio_open(context, reserved.c_str(), 0);
            tmio_read_tag(context);
            tmio_delete(context);
            context = tmio_init("BAD", 0, 0, verbosity);
            tmio_open(context, good.c_str(), 0);
            tmio_open(context, (dir.path() / "nodir" / "x").c_str(), 0);
            tmio_create(context, (dir.path() / "nodir" / "x").c_str(), 0);
            tmio_delete(context);
            fs::remove(missing);
        });
    };
    std::string g = good.string(), m = missing.string(), r = reserved.string();
    std::string n = (dir.path() / "nodir" / "x").string();
    std::string errors = "tmio_open: can not connect peer/file " + m +
                         "\n"
                         "tmio_read_tag: received unknown reserved tag -1000000002\n"
                         "tmio_read_and_match_protocol: peer has wrong protocol GOOD_PROTOCOL,expected BAD\n"
                         "tmio_open: can not connect peer/file " +
                         n + "\ntmio_create: can not connect peer/file " + n + "\n";
    EXPECT_EQ(session(0), "");
    EXPECT_EQ(session(1), errors);
    EXPECT_EQ(session(-1), errors);
    std::string progress = session(2);
    for (const std::string& line : std::vector<std::string>{
             "tmio_init: context initialized with protocol GOOD\n",
          "tmio_read_and_match_protocol: protocol handshake successful: GOOD_PROTOCOL\n",
          "tmio_open: connected file/peer " + g + "\n", "tmio_create: connected file/peer " + m + "\n"})
        EXPECT_NE(progress.find(line), std::string::npos) << line;
    EXPECT_EQ(progress.find("opening stream"), std::string::npos);
    std::string chatty = session(3);
    EXPECT_NE(chatty.find("tmio_open: opening stream " + g + "\n"), std::string::npos);
    EXPECT_NE(chatty.find("tmio_create: creating stream " + m + "\n"), std::string::npos);
    EXPECT_NE(chatty.find("tmio_open/buftcpopen: stat failed -- " + std::string(std::strerror(ENOENT)) + "\n"),
              std::string::npos);
    EXPECT_NE(chatty.find("tmio_create/bufio_open: failed to open file with mode w " + n + "\n"), std::string::npos);

    // Missing protocol tag, short protocol field, a protocol that cannot be sent.
    fs::path bare = dir.path() / "bare";
    write_file(bare, header_bytes(-1));
    fs::path cut = dir.path() / "cut";
    write_file(cut, header_bytes(TMIO_PROTOCOL_TAG));
    std::string said = captured_stderr([&] {
        tmio_context* context = tmio_init("", 0, 0, -1);
        tmio_open(context, bare.c_str(), 0);
        tmio_open(context, cut.c_str(), 0);
        tmio_create(context, "tcp://serve/0/127.0.0.1", 0);
        tmio_delete(context);
        context = tmio_init("S", 0, 0, 1);
        EXPECT_EQ(tmio_create(context, "tcp://serve/0/127.0.0.1", 0), -1);
        EXPECT_STREQ(tmio_status_str(context), "handshake error");
        tmio_delete(context);
    });
    EXPECT_EQ(said,
              "tmio_open: tmio protocol tag missing.\n"
              "tmio_read_and_match_protocol: protocol read failed"
              "tmio_create: can not send protocol S\n");
}

TEST(TmioDiagnostics, MonitorPrintsFourteenCounters) {
    Bytes image = concat({protocol_image("P"), header_bytes(-1), data_record("abcdef"), header_bytes(-2)});
    Reader reader(image, "P");
    tmio_context* context = reader.context;
    tmio_read_tag(context);
    char out[2];
    tmio_read_data(context, out, 2);
    tmio_read_data(context, out, 2);
    tmio_read_tag(context);
    context->tags_written = 3000000000LL;  // past the int range
    std::string said = captured_stderr([&] { EXPECT_EQ(tmio_monitor(context), 0); });
    EXPECT_EQ(said,
              "tmio_monitor: statistics\n"
              "... tags written     3000000000\n"
              "... data records out 0\n"
              "... tags read        2\n"
              "... data records in  1\n"
              "... data flushes     0\n"
              "... read zero        0\n"
              "... read missing     1\n"
              "... read shortened   0\n"
              "... read truncated   1\n"
              "... data skipped     0\n"
              "... tags skipped     0\n"
              "... bytes written    0\n"
              "... bytes read       82\n"
              "... bytes skipped    4\n");
}

// A header that arrives in two parts on a live stream is completed, never dropped.
TEST(TmioLive, SplitHeadersAreCompletedByTheNextRead) {
    Listener listener;
    tmio_context* context = tmio_init("LIVE", 60000, 0, 0);
    int peer = -1;
    std::thread server([&] {
        peer = listener.accept_one();
        Bytes hello = protocol_image("LIVE");
        if (peer >= 0 && write(peer, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) peer = -1;
    });
    int opened = tmio_open(context, ("tcp://connect/" + std::to_string(listener.port) + "/127.0.0.1").c_str(), 0);
    server.join();
    ASSERT_EQ(opened, TMIO_TYPE_SOCKET);
    ASSERT_GE(peer, 0);
    auto send = [&](const Bytes& bytes) {
        ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    tmio_timeout(context, 0);
    Bytes tag = header_bytes(-77);
    send(Bytes(tag.begin(), tag.begin() + 2));
    EXPECT_EQ(tmio_wait(context, 100), 0);
    EXPECT_EQ(tmio_status(context), 0);
    send(Bytes(tag.begin() + 2, tag.end()));
    EXPECT_EQ(tmio_wait(context, 60000), 1);
    EXPECT_EQ(tmio_read_tag(context), 77);

    Bytes next = header_bytes(-78);
    send(Bytes(next.begin(), next.begin() + 3));
    pollfd arrived{bufio_fileno(tmio_stream_handle(context)), POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 60000), 1) << "the first part arrives";
    EXPECT_EQ(tmio_read_tag(context), 0) << "not there yet";
    EXPECT_EQ(tmio_status(context), 0);
    send(concat({Bytes(next.begin() + 3, next.end()), data_record("ok")}));
    tmio_timeout(context, 60000);
    EXPECT_EQ(tmio_read_tag(context), 78);
    char out[2];
    EXPECT_EQ(tmio_read_data(context, out, 2), 2);
    EXPECT_EQ(std::string(out, 2), "ok");
    close(peer);
    EXPECT_EQ(tmio_read_tag(context), 0) << "the peer closed";
    EXPECT_EQ(bufio_status(tmio_stream_handle(context)), BUFIO_STATUS_EOF);
    EXPECT_EQ(tmio_status(context), 0);
    tmio_delete(context);
}

TEST(TmioLive, ATcpRoundTrip) {
    bufio_stream* probe = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
    int port = local_port(bufio_fileno(probe));
    bufio_close(probe);
    std::thread writer([port] {
        tmio_context* context = tmio_init("ROUND", 60000, 4, 0);
        if (tmio_create(context, ("tcp://connect/" + std::to_string(port) + "/127.0.0.1").c_str(), 60000) ==
            TMIO_TYPE_SOCKET) {
            for (int i = 1; i <= 100; ++i) {
                tmio_write_tag(context, i);
                tmio_write_data(context, &i, sizeof i);
            }
        }
        tmio_delete(context);
    });
    tmio_context* reader = tmio_init("ROUND", 60000, 4, 0);
    EXPECT_EQ(tmio_open(reader, ("tcp://listen/" + std::to_string(port) + "/127.0.0.1").c_str(), 60000),
              TMIO_TYPE_SOCKET);
    for (int i = 1; i <= 100; ++i) {
        ASSERT_EQ(tmio_read_tag(reader), i);
        int value = 0;
        ASSERT_EQ(tmio_read_data(reader, &value, sizeof value), 4);
        EXPECT_EQ(value, i);
    }
    EXPECT_EQ(tmio_read_tag(reader), 0);
    EXPECT_EQ(tmio_status(reader), 0);
    writer.join();
    tmio_delete(reader);
}

}  // namespace
