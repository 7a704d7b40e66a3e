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
#include "bytes.hpp"
#include "child_process.hpp"
#include "fixtures.hpp"
#include "tmio/bufio.h"
#include "tmio/tmio.h"
#include "tmio_context.hpp"

namespace tmio_test {

using background::testing::ChildCheck;
using background::testing::elapsed_ms;
using background::testing::run_in_child;
using background::testing::TempDir;
using background::testing::Bytes;
using background::testing::concat;
using background::testing::file_bytes;
using background::testing::header_bytes;
using background::testing::image_of;
using background::testing::protocol_image;
using background::testing::to_bytes;
using background::testing::write_file;

inline std::string mem_address(void* block, size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", block, size);
    return text;
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
    int accept_one(int timeout_ms = 60000) const {
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

// What `body` printed to standard error.
inline std::string captured_stderr(const std::function<void()>& body) {
    ::testing::internal::CaptureStderr();
    body();
    return ::testing::internal::GetCapturedStderr();
}

}  // namespace tmio_test
