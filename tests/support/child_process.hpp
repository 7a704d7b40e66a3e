#pragma once
// Child processes for tests that change what a process may do (resource limits, signal actions, standard
// streams): the body runs in a forked child, which reports what went wrong as text.

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace background::testing {

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// Runs `body` in a forked child, which reports an empty text on success or what went wrong. The parent
// waits at most `timeout_ms` and kills a child that takes longer: a bound for a hang, far above what a
// child takes under valgrind on a busy machine.
inline std::string run_in_child(const std::function<std::string()>& body, int timeout_ms = 120000) {
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

// Lowers the soft limit of the size of files the process writes (RLIMIT_FSIZE).
inline void set_file_size_limit(rlim_t bytes) {
    rlimit limits{};
    getrlimit(RLIMIT_FSIZE, &limits);
    limits.rlim_cur = std::min(bytes, limits.rlim_max);
    setrlimit(RLIMIT_FSIZE, &limits);
}

// Runs `body` in a child whose files cannot grow beyond `bytes`: a write past the limit fails with EFBIG
// (SIGXFSZ is ignored) as on a full disk.
inline std::string run_with_file_size_limit(rlim_t bytes, const std::function<std::string()>& body) {
    return run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        set_file_size_limit(bytes);
        return body();
    });
}

}  // namespace background::testing
