#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "Mt64.hpp"

namespace {

using background::detail::Mt64;

// The block renewal is built for the baseline and for AVX2, and the loader
// picks the build the CPU runs; the test of the other build is skipped, so
// that the test list shows which one was held to the standard engine.
class Mt64Build : public ::testing::TestWithParam<std::string> {};

::testing::AssertionResult same_outputs(Mt64& ours, std::mt19937_64& theirs, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto a = ours(), b = theirs();
        if (a != b) return ::testing::AssertionFailure() << "output " << i << ": " << a << " against " << b;
    }
    return ::testing::AssertionSuccess();
}

// Output for output std::mt19937_64: seeds at the ends of the range,
// discards that end before, on and after a block's end, and reseeding in
// the middle of a block.
TEST_P(Mt64Build, MatchesTheStandardEngine) {
    const bool avx2 = __builtin_cpu_supports("avx2");
    if ((GetParam() == "avx2") != avx2)
        GTEST_SKIP() << "this CPU runs the " << (avx2 ? "AVX2" : "baseline") << " build";
    std::mt19937_64 steps(8);
    for (std::uint64_t seed : {0ULL, 1ULL, 5489ULL, 987654321ULL, ~0ULL}) {
        Mt64 ours(seed);
        std::mt19937_64 theirs(seed);
        for (unsigned long long skip : {0ULL, 311ULL, 1ULL, 312ULL, 310ULL, 313ULL, 624ULL, 100000ULL}) {
            ours.discard(skip);
            theirs.discard(skip);
            ASSERT_TRUE(same_outputs(ours, theirs, 1)) << "seed " << seed << ", discarded " << skip;
        }
        for (int round = 0; round < 200; ++round) {
            const auto skip = steps() % 1000;
            ours.discard(skip);
            theirs.discard(skip);
            ASSERT_TRUE(same_outputs(ours, theirs, steps() % 700)) << "seed " << seed << ", round " << round;
        }
        ours.seed(seed ^ 1);
        theirs.seed(seed ^ 1);
        ASSERT_TRUE(same_outputs(ours, theirs, 1000)) << "seed " << seed << ", reseeded";
    }
}

INSTANTIATE_TEST_SUITE_P(Renewal, Mt64Build, ::testing::Values("baseline", "avx2"),
                         [](const auto& info) { return info.param; });

}  // namespace
