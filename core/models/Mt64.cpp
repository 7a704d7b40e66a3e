#include "Mt64.hpp"

namespace background::detail {

namespace {

constexpr std::size_t n = Mt64::state_size, m = 156;
constexpr std::uint64_t upper = ~0ULL << 31, lower = ~upper, a = 0xb5026f5aa96619e9ULL;

inline std::uint64_t twist(std::uint64_t current, std::uint64_t following, std::uint64_t far) {
    const std::uint64_t y = (current & upper) | (following & lower);
    // Branch-free, so that the loops vectorise.
    return far ^ (y >> 1) ^ (-(y & 1) & a);
}

// Built for the baseline and for AVX2; the loader picks the one the CPU runs.
[[gnu::target_clones("avx2", "default")]] void renew_block(std::uint64_t* x, std::uint64_t* out) {
    for (std::size_t k = 0; k < n - m; ++k) x[k] = twist(x[k], x[k + 1], x[k + m]);
    for (std::size_t k = n - m; k < n - 1; ++k) x[k] = twist(x[k], x[k + 1], x[k - (n - m)]);
    x[n - 1] = twist(x[n - 1], x[0], x[m - 1]);
    for (std::size_t k = 0; k < n; ++k) {
        std::uint64_t z = x[k];
        z ^= (z >> 29) & 0x5555555555555555ULL;
        z ^= (z << 17) & 0x71d67fffeda60000ULL;
        z ^= (z << 37) & 0xfff7eee000000000ULL;
        z ^= z >> 43;
        out[k] = z;
    }
}

}  // namespace

void Mt64::renew() {
    renew_block(state.data(), block.data());
    next = 0;
}

}  // namespace background::detail
