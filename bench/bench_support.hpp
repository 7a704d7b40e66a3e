#pragma once
// What every benchmark program needs: process CPU time, medians, and a way out when a step fails.

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

inline double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s: %s failed\n", program_invocation_short_name, what);
    std::exit(1);
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}
