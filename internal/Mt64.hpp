#pragma once
// The 64-bit Mersenne twister, output for output the standard
// std::mt19937_64 (the standard fixes its algorithm and seeding), but made a
// block at a time: the state is renewed and tempered in one pass, which the
// compiler vectorises, instead of tempering each output as it is asked for.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace background::detail {

class Mt64 {
public:
    using result_type = std::uint64_t;
    static constexpr std::size_t state_size = 312;

    explicit Mt64(result_type seed = 5489u) { this->seed(seed); }

    void seed(result_type value) {
        state[0] = value;
        for (std::size_t i = 1; i < state_size; ++i)
            state[i] = 6364136223846793005ULL * (state[i - 1] ^ (state[i - 1] >> 62)) + i;
        next = state_size;
    }

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    result_type operator()() {
        if (next == state_size) renew();
        return block[next++];
    }

    void discard(unsigned long long count) {
        while (count > 0) {
            if (next == state_size) renew();
            const auto step = std::min<unsigned long long>(count, state_size - next);
            next += static_cast<std::size_t>(step);
            count -= step;
        }
    }

private:
    // Renews the state and tempers it into the next block of outputs.
    void renew();

    std::array<result_type, state_size> state;
    std::array<result_type, state_size> block;
    std::size_t next = state_size;
};

}  // namespace background::detail
