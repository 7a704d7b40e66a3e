#pragma once
// Hot loops built twice: once for the baseline instruction set and once, with
// everything they call inlined, for SSE4.1. The library's 64-bit Mersenne
// engine refills its state with a data-dependent branch per word that the
// baseline cannot avoid; under SSE4.1 the refill is vectorised. The outputs
// are the same either way.

namespace background::detail {

// A lambda, not a function pointer: only a direct call gets inlined.
template <class Fn>
[[gnu::flatten, gnu::target("sse4.1")]] decltype(auto) call_sse41(Fn& fn) {
    return fn();
}

inline bool cpu_has_sse41() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.1") != 0;
    }();
    return has;
}

// Calls fn() in its SSE4.1 build where the CPU has SSE4.1.
template <class Fn>
decltype(auto) call_fastest(Fn&& fn) {
    if (cpu_has_sse41()) return call_sse41(fn);
    return fn();
}

}  // namespace background::detail
