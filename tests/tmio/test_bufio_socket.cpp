// TCP and UDP streams on the loopback interface; every wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <atomic>
#include <thread>

#include "stream_support.hpp"

namespace {
std::atomic<int> connect_calls{0};
}

// Counts connection attempts; the work is done by the system call itself.
extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    ++connect_calls;
    return static_cast<int>(syscall(SYS_connect, fd, address, length));
}

namespace {

using namespace tmio_test;

std::string tcp(const char* form, int port, const char* host = "127.0.0.1") {
    return std::string("tcp://") + form + "/" + std::to_string(port) + "/" + host;
}

// A serve stream on a free port and a client connected to it; the serve stream has accepted.
struct Pair {
    bufio_stream* server = nullptr;
    bufio_stream* client = nullptr;
    Pair() {
        server = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
        if (!server) return;
        int port = local_port(bufio_fileno(server));
        client = bufio_open(tcp("connect", port).c_str(), "w", 0, 0, nullptr);
        // A greeting, so that the accepting wait finds data at once.
        char greeting = 0;
        if (bufio_write(client, "+", 1) != 1 || bufio_flush(client) != 0 || bufio_wait(server, 60000) != 1 ||
            bufio_read(server, &greeting, 1) != 1)
            ADD_FAILURE() << "no connection";
    }
    Pair(const Pair&) = delete;
    ~Pair() {
        bufio_close(server);
        bufio_close(client);
    }
};

TEST(BufioSocket, ServeAcceptsInWaitAndCarriesBytesBothWays) {
    bufio_stream* server = bufio_open("tcp://serve/0/", "r", 0, 0, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(bufio_type(server), BUFIO_TYPE_SERVE);
    EXPECT_EQ(bufio_timeout(server, -1), -1) << "sockets start without a time limit";
    char out[16] = {};
    EXPECT_EQ(bufio_read(server, out, 4), 0u);
    EXPECT_EQ(bufio_write(server, "x", 1), 0u);
    EXPECT_EQ(bufio_flush(server), 0);
    EXPECT_EQ(bufio_wait(server, 0), 0) << "nobody connected yet";

    int port = local_port(bufio_fileno(server));
    bufio_stream* client = bufio_open(tcp("connect", port).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(bufio_type(client), BUFIO_TYPE_SOCKET);
    struct sigaction pipe_action {};
    sigaction(SIGPIPE, nullptr, &pipe_action);
    EXPECT_EQ(pipe_action.sa_handler, SIG_IGN);

    EXPECT_EQ(bufio_write(client, "ping", 4), 4u);
    EXPECT_EQ(bufio_flush(client), 0);
    EXPECT_EQ(bufio_wait(server, 60000), 1);
    EXPECT_EQ(bufio_type(server), BUFIO_TYPE_SOCKET);
    EXPECT_EQ(bufio_read(server, out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "ping");
    EXPECT_EQ(bufio_write(server, "pong", 4), 4u);
    EXPECT_EQ(bufio_flush(server), 0);
    bufio_timeout(client, 60000);
    EXPECT_EQ(bufio_read(client, out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "pong");
    EXPECT_EQ(bufio_close(client), 0);
    EXPECT_EQ(bufio_close(server), 0);
}

TEST(BufioSocket, AClosedPeerIsEndOfData) {
    for (bool by_wait : {false, true}) {
        Pair pair;
        ASSERT_TRUE(pair.server && pair.client);
        EXPECT_EQ(bufio_write(pair.client, "last", 4), 4u);
        EXPECT_EQ(bufio_close(pair.client), 0);
        pair.client = nullptr;
        bufio_timeout(pair.server, 30000);
        char out[8] = {};
        auto start = std::chrono::steady_clock::now();
        if (by_wait) {
            EXPECT_EQ(bufio_wait(pair.server, 30000), 1);
            EXPECT_EQ(bufio_read(pair.server, out, 4), 4u);
            errno = ETIMEDOUT;  // whatever an earlier call left must not decide
            EXPECT_EQ(bufio_wait(pair.server, 30000), 0);
        } else {
            EXPECT_EQ(bufio_read(pair.server, out, 8), 4u);
        }
        EXPECT_LT(elapsed_ms(start), 10000) << "the end is reported at once, not at the time-out";
        EXPECT_EQ(std::string(out, 4), "last");
        EXPECT_EQ(bufio_status(pair.server), BUFIO_STATUS_EOF) << (by_wait ? "wait" : "read");
    }
}

TEST(BufioSocket, WritingToAClosedPeerFailsWithoutEndingTheProcess) {
    Pair pair;
    ASSERT_TRUE(pair.server && pair.client);
    bufio_close(pair.server);
    pair.server = nullptr;
    bufio_timeout(pair.client, 60000);
    std::string big(1 << 20, 'z');
    size_t accepted = 0;
    // The first bytes may go out before the peer's reset comes back; the next write fails, or, once the
    // socket's buffer is full, the reset ends the writer's wait for room.
    for (int i = 0; i < 20 && bufio_status(pair.client) == 0; ++i)
        accepted += bufio_write(pair.client, big.data(), big.size());
    EXPECT_LT(bufio_status(pair.client), 0);
    EXPECT_LT(accepted, 20 * big.size());
}

TEST(BufioSocket, ListenAcceptsDuringTheOpenAndReportsWithALabel) {
    int port = closed_port();
    std::thread connector([port] {
        bufio_stream* client = bufio_open(tcp("connect", port).c_str(), "w", 60000, 0, nullptr);
        if (client) {
            bufio_write(client, "hi", 2);
            bufio_close(client);
        }
    });
    bufio_stream* server = nullptr;
    std::string said = captured_stderr([&] {
        server = bufio_open(tcp("listen", port).c_str(), "r", 60000, 0, "L");
    });
    connector.join();
    ASSERT_NE(server, nullptr);
    std::string p = std::to_string(port);
    std::string prefix = "L: server waiting for connections 127.0.0.1:" + p + "\nL: connection established 127.0.0.1:";
    EXPECT_EQ(said.substr(0, prefix.size()), prefix);
    EXPECT_NE(said.find("\nL: connection established, peer 127.0.0.1:" + p + "\n"), std::string::npos) << said;
    bufio_timeout(server, 60000);
    char out[2];
    EXPECT_EQ(bufio_read(server, out, 2), 2u);
    EXPECT_EQ(bufio_close(server), 0);
}

TEST(BufioSocket, AServerOnPortZeroNamesThePortTheSystemPicked) {
    bufio_stream* server = nullptr;
    std::string said = captured_stderr([&] { server = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, "S"); });
    ASSERT_NE(server, nullptr);
    const int port = local_port(bufio_fileno(server));
    EXPECT_NE(port, 0);
    EXPECT_EQ(said, "S: server waiting for connections 127.0.0.1:" + std::to_string(port) + "\n");
    bufio_stream* client = bufio_open(tcp("connect", port).c_str(), "w", 0, 0, nullptr);
    EXPECT_NE(client, nullptr) << "the port named is the one that listens";
    bufio_close(client);
    bufio_close(server);
}

TEST(BufioSocket, ListenTimesOutAndLeavesThePortFree) {
    int port = closed_port();
    auto start = std::chrono::steady_clock::now();
    std::string said = captured_stderr([&] {
        EXPECT_EQ(bufio_open(tcp("listen", port).c_str(), "r", 30, 0, "L"), nullptr);
    });
    EXPECT_GE(elapsed_ms(start), 95) << "30 ms count as 100";
    EXPECT_EQ(said, "L: server waiting for connections 127.0.0.1:" + std::to_string(port) + "\nL: listen timeout\n");
    bufio_stream* again = bufio_open(tcp("serve", port).c_str(), "r", 0, 0, nullptr);
    EXPECT_NE(again, nullptr);
    said = captured_stderr([&] { EXPECT_EQ(bufio_open(tcp("serve", port).c_str(), "r", 0, 0, "S"), nullptr); });
    EXPECT_EQ(said, std::string("S: bind failed ... ") + std::strerror(EADDRINUSE) + "\n");
    bufio_close(again);
}

TEST(BufioSocket, ConnectRetriesEveryFiftyMillisecondsWithinTheTimeout) {
    int port = closed_port();
    struct Case {
        int timeout;
        int attempts;
    };
    for (Case c : {Case{0, 1}, Case{30, 3}, Case{100, 3}, Case{120, 3}, Case{170, 4}}) {
        auto start = std::chrono::steady_clock::now();
        int before = connect_calls;
        std::string said = captured_stderr([&] {
            EXPECT_EQ(bufio_open(tcp("connect", port).c_str(), "r", c.timeout, 0, "C"), nullptr);
        });
        EXPECT_EQ(connect_calls - before, c.attempts) << c.timeout;
        // One 50 ms sleep between two attempts.
        EXPECT_GE(elapsed_ms(start), 50.0 * (c.attempts - 1)) << c.timeout;
        EXPECT_EQ(said, "C: connecting to 127.0.0.1:" + std::to_string(port) + "\nC: connect timeout / " +
                            std::strerror(ECONNREFUSED) + "\n");
    }
    // Without a limit it keeps trying until a server appears.
    auto start = std::chrono::steady_clock::now();
    std::thread late_server([port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        bufio_stream* server = bufio_open(tcp("serve", port).c_str(), "r", 0, 0, nullptr);
        bufio_wait(server, 60000);
        bufio_close(server);
    });
    bufio_stream* client = bufio_open(tcp("connect", port).c_str(), "r", -1, 0, nullptr);
    EXPECT_NE(client, nullptr);
    EXPECT_GE(elapsed_ms(start), 150);
    bufio_close(client);  // the server's wait ends with the end of the data
    late_server.join();
}

TEST(BufioSocket, PortsThatDoNotFitAndOversizedHostsFailTheOpen) {
    Listener listener;
    for (const std::string& address : std::vector<std::string>{
             tcp("connect", listener.port + 65536), "tcp://connect/-1/127.0.0.1",
             "tcp://connect/99999999999999999999999/127.0.0.1", "udp://connect/70000/127.0.0.1",
             "tcp://connect/65536/127.0.0.1", "tcp://serve/65536/"}) {
        std::string said = captured_stderr([&] {
            EXPECT_EQ(bufio_open(address.c_str(), "w", 0, 0, "P"), nullptr) << address;
        });
        EXPECT_EQ(said, "P: invalid port " + address + "\n");
    }
    EXPECT_EQ(listener.accept_one(100), -1) << "no connection under a wrapped port";
    // The largest port is one.
    std::string said =
        captured_stderr([&] { bufio_close(bufio_open("tcp://connect/65535/127.0.0.1", "w", 0, 0, "P")); });
    EXPECT_TRUE(said.starts_with("P: connecting to 127.0.0.1:65535\n")) << said;

    // Longer than any host name: cut to 1024 characters, refused without a look-up on the network.
    std::string host(2000, 'h');
    said = captured_stderr([&] {
        EXPECT_EQ(bufio_open(tcp("connect", listener.port, host.c_str()).c_str(), "w", 0, 0, "H"), nullptr);
    });
    EXPECT_EQ(said, "H: no such host " + host.substr(0, 1024) + "\n");
}

TEST(BufioSocket, AddressesWithoutAPortArePaths) {
    // "tcp://connect/x" has no port: it is a relative path, and no such file exists.
    EXPECT_EQ(bufio_open("tcp://connect/x", "r", 0, 0, nullptr), nullptr);
    std::string said = captured_stderr([] { bufio_open("mem://nothing", "r", 0, 0, "M"); });
    EXPECT_EQ(said, std::string("M: stat failed -- ") + std::strerror(ENOENT) + "\n");
}

TEST(BufioSocket, UdpSendsAndReceivesDatagrams) {
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int port = local_port(receiver);
    bufio_stream* stream = bufio_open(("udp://connect/" + std::to_string(port) + "/127.0.0.1").c_str(), "w", 0, 0,
                                      nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(bufio_type(stream), BUFIO_TYPE_SOCKET);
    EXPECT_EQ(bufio_write(stream, "datagram", 8), 8u);
    EXPECT_EQ(bufio_flush(stream), 0);
    char out[16] = {};
    pollfd poller{receiver, POLLIN, 0};
    ASSERT_EQ(poll(&poller, 1, 60000), 1);
    EXPECT_EQ(recv(receiver, out, sizeof out, 0), 8);
    EXPECT_EQ(std::string(out, 8), "datagram");

    address.sin_port = htons(static_cast<uint16_t>(local_port(bufio_fileno(stream))));
    ASSERT_EQ(sendto(receiver, "reply", 5, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 5);
    EXPECT_EQ(bufio_wait(stream, 60000), 1);
    EXPECT_EQ(bufio_read(stream, out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "reply");
    EXPECT_EQ(bufio_close(stream), 0);
    close(receiver);
}

TEST(BufioSocket, AFailedAcceptClosesNothingTwice) {
    // Out of descriptors, the accept fails after the listening socket was closed; its number goes to the
    // next file opened, which the stream must then leave alone.
    std::string failures = run_in_child([] {
        ChildCheck check;
        bufio_stream* server = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
        int listening = bufio_fileno(server);
        int client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(local_port(listening)));
        check.equal(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0, "connect");
        int lowest_free = dup(0);
        close(lowest_free);
        rlimit limits{};
        getrlimit(RLIMIT_NOFILE, &limits);
        rlimit none = limits;
        none.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &none);
        check.equal(bufio_wait(server, 5000), -1, "failed accept");
        check.equal(bufio_status(server), -1, "status");
        check.equal(bufio_type(server), BUFIO_TYPE_SERVE, "still a serve stream");
        setrlimit(RLIMIT_NOFILE, &limits);
        int reused = open("/dev/null", O_RDONLY);
        check.equal(reused, listening, "number reused");
        check.equal(bufio_wait(server, 0), -1, "no listening socket left");
        check.equal(bufio_close(server), 0, "close");
        check.that(fcntl(reused, F_GETFD) != -1, "the reused descriptor stays open");
        return check.failures;
    });
    EXPECT_EQ(failures, "");
}

}  // namespace
