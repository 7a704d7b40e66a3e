#pragma once
// Helpers of the stream-layer tests: addresses of memory blocks, file contents, loopback ports, child
// processes with bounded waits, and captured diagnostics.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bufio_stream.hpp"
#include "fixtures.hpp"
#include "tmio/bufio.h"
#include "tmio/tmio.h"
#include "tmio_context.hpp"

namespace tmio_test {

using background::testing::TempDir;
using Bytes = std::vector<unsigned char>;

inline std::string mem_address(void* block, size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", block, size);
    return text;
}

inline Bytes file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Bytes of a header as it stands on the wire (native order).
inline Bytes header_bytes(int32_t header) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &header, 4);
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes protocol_image(std::string_view protocol) {
    Bytes field(TMIO_PROTOCOL_SIZE, 0);
    std::memcpy(field.data(), protocol.data(), protocol.size());
    return concat({header_bytes(TMIO_PROTOCOL_TAG), field});
}

inline void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// A loopback TCP socket listening on a port the kernel picked.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
        port = ntohs(address.sin_port);
    }
    Listener(const Listener&) = delete;
    ~Listener() { close(fd); }
    // The next connection, waiting at most `timeout_ms`; -1 when none came.
    int accept_one(int timeout_ms = 5000) const {
        pollfd poller{fd, POLLIN, 0};
        if (poll(&poller, 1, timeout_ms) != 1) return -1;
        return accept(fd, nullptr, nullptr);
    }
};

// A loopback port on which nothing listens (picked by the kernel, then released).
inline int closed_port() {
    Listener probe;
    return probe.port;
}

inline int local_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Runs `body` in a forked child, which reports an empty text on success or what went wrong. The parent
// waits at most `timeout_ms` and kills a child that takes longer.
inline std::string run_in_child(const std::function<std::string()>& body, int timeout_ms = 10000) {
    int report[2];
    if (pipe(report) != 0) return "pipe failed";
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        close(report[0]);
        std::string result = body();
        if (write(report[1], result.data(), result.size()) < 0) _exit(3);
        _exit(0);
    }
    close(report[1]);
    std::string result;
    auto start = std::chrono::steady_clock::now();
    char chunk[256];
    for (;;) {
        pollfd poller{report[0], POLLIN, 0};
        int left = timeout_ms - static_cast<int>(elapsed_ms(start));
        if (left <= 0 || poll(&poller, 1, left) != 1) {
            kill(child, SIGKILL);
            result = "child timed out";
            break;
        }
        ssize_t got = read(report[0], chunk, sizeof chunk);
        if (got <= 0) break;
        result.append(chunk, static_cast<size_t>(got));
    }
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (result.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        result = "child ended abnormally, wait status " + std::to_string(status);
    return result;
}

// Collects failures inside a child as text.
struct ChildCheck {
    std::string failures;
    template <class A, class B>
    void equal(const A& actual, const B& expected, const char* what) {
        if (!(actual == expected)) failures += std::string(what) + " differs; ";
    }
    void that(bool condition, const char* what) {
        if (!condition) failures += std::string(what) + " failed; ";
    }
};

// What `body` printed to standard error.
inline std::string captured_stderr(const std::function<void()>& body) {
    ::testing::internal::CaptureStderr();
    body();
    return ::testing::internal::GetCapturedStderr();
}

}  // namespace tmio_test
