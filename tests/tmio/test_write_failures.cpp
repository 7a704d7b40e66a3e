// Writes that the file-size limit cuts short (RLIMIT_FSIZE with SIGXFSZ ignored, in a child process):
// every failure is reported, the status names it, and no byte is sent twice.
#include "stream_support.hpp"

namespace {

using namespace tmio_test;
using background::testing::run_with_file_size_limit;
using background::testing::set_file_size_limit;
namespace fs = std::filesystem;

constexpr rlim_t limit = 1000;

Bytes pattern(size_t n, int seed = 0) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((i + seed) % 251);
    return bytes;
}

std::string too_large() { return std::strerror(EFBIG); }

struct Case {
    const char* name;
    std::function<void(ChildCheck&, const std::string& path)> body;
    Bytes file;  // what the file holds afterwards
};

TEST(WriteFailures, AreReportedAndNeverSendBytesTwice) {
    Bytes data = pattern(1500);
    auto first = [&](size_t n) { return Bytes(data.begin(), data.begin() + static_cast<long>(n)); };
    Bytes two_writes = concat({pattern(600), pattern(1000, 600)});
    Bytes protocol = protocol_image("F");
    std::vector<Case> cases = {
        {"write straight from the caller",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(path.c_str(), "w", 0, 256, nullptr);
             check.equal(bufio_write(stream, data.data(), data.size()), size_t{limit}, "accepted what reached the file");
             check.equal(bufio_status(stream), -1, "status");
             check.equal(std::string(bufio_status_str(stream)), too_large(), "status text");
             check.equal(bufio_close(stream), 0, "nothing left to flush");
         },
         first(limit)},
        {"write together with the pending bytes",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(path.c_str(), "w", 0, 1024, nullptr);
             check.equal(bufio_write(stream, two_writes.data(), 600), size_t{600}, "buffered");
             check.equal(bufio_write(stream, two_writes.data() + 600, 1000), size_t{400}, "caller's bytes written");
             check.equal(stream->out_fill, size_t{0}, "buffer written out");
             check.equal(std::string(bufio_status_str(stream)), too_large(), "status text");
             bufio_close(stream);
         },
         Bytes(two_writes.begin(), two_writes.begin() + limit)},
        {"flush, then flush again once there is room",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(path.c_str(), "w", 0, 4096, nullptr);
             check.equal(bufio_write(stream, data.data(), data.size()), data.size(), "buffered");
             check.equal(bufio_flush(stream), -1, "flush");
             check.equal(std::string(bufio_status_str(stream)), too_large(), "status text");
             check.equal(stream->out_fill, size_t{500}, "only the bytes that did not go out stay");
             set_file_size_limit(RLIM_INFINITY);
             check.equal(bufio_flush(stream), 0, "second flush");
             check.equal(bufio_close(stream), 0, "close");
         },
         data},
        {"close",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(path.c_str(), "w", 0, 4096, nullptr);
             bufio_write(stream, data.data(), data.size());
             check.equal(bufio_close(stream), -1, "close");
         },
         first(limit)},
        {"sync",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(path.c_str(), "w", 0, 4096, nullptr);
             bufio_write(stream, data.data(), data.size());
             check.equal(bufio_sync(stream), -1, "sync");
             check.equal(std::string(bufio_status_str(stream)), too_large(), "status text");
             bufio_close(stream);
         },
         first(limit)},
        {"locked file",
         [&](ChildCheck& check, const std::string& path) {
             bufio_stream* stream = bufio_open(("lockedfile://" + path).c_str(), "w", 0, 4096, nullptr);
             bufio_write(stream, data.data(), data.size());
             check.equal(bufio_flush(stream), -1, "flush");
             check.equal(stream->write_locked, 0, "lock released");
             check.equal(std::string(bufio_status_str(stream)), too_large(), "status text");
             check.equal(bufio_close(stream), -1, "close");
         },
         first(limit)},
        {"tagged stream flushed and closed",
         [&](ChildCheck& check, const std::string& path) {
             tmio_context* context = tmio_init("F", 0, 0, 0);
             check.equal(tmio_create(context, path.c_str(), 0), TMIO_TYPE_FILE, "create");
             tmio_write_tag(context, 1);
             check.equal(tmio_write_data(context, data.data(), 1500), 1500, "buffered");
             check.equal(tmio_flush(context), -1, "flush");
             check.equal(std::string(tmio_status_str(context)), std::string("flush error"), "status");
             check.equal(std::string(bufio_status_str(tmio_stream_handle(context))), too_large(), "stream status");
             check.equal(tmio_write_tag(context, 2), -1, "refused after the failure");
             check.equal(tmio_delete(context), -1, "close");
         },
         concat({protocol_image("F"), header_bytes(-1), header_bytes(1500), first(limit - 76)})},
        {"tagged record larger than the buffer",
         [&](ChildCheck& check, const std::string& path) {
             tmio_context* context = tmio_init("F", 0, 1, 0);
             tmio_create(context, path.c_str(), 0);
             tmio_write_tag(context, 1);
             check.equal(tmio_write_data(context, data.data(), 1500), -1, "write");
             check.equal(std::string(tmio_status_str(context)), std::string("write error"), "status");
             tmio_delete(context);
         },
         concat({protocol_image("F"), header_bytes(-1), header_bytes(1500), first(limit - 76)})},
        {"protocol tag",
         [&](ChildCheck& check, const std::string& path) {
             set_file_size_limit(50);
             tmio_context* context = tmio_init("F", 0, 0, 0);
             check.equal(tmio_create(context, path.c_str(), 0), -1, "create");
             check.equal(std::string(tmio_status_str(context)), std::string("handshake error"), "status");
             check.equal(tmio_stream_handle(context), static_cast<bufio_stream*>(nullptr), "closed");
             tmio_delete(context);
         },
         Bytes(protocol.begin(), protocol.begin() + 50)},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string path = (dir.path() / c.name).string();
        std::string failures = run_with_file_size_limit(limit, [&] {
            ChildCheck check;
            c.body(check, path);
            return check.failures;
        });
        EXPECT_EQ(failures, "") << c.name;
        EXPECT_EQ(file_bytes(path), c.file) << c.name;
    }
}

}  // namespace
