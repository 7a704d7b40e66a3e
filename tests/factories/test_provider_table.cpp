// Entries of the class table of section "providers".
#include <gtest/gtest.h>

#include <stdexcept>

#include "background/Factory.hpp"
#include "background/MockProvider.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_same;
using background::testing::expect_throw;
using background::testing::TempDir;

TEST(ProviderFactory, BuildsMockProvider) {
    TempDir dir;
    Factory<ShowerProvider> factory(dir.write("settings.yaml", R"(
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -1
    num_showers: 5
  negative:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -1
    num_showers: -1
  incomplete:
    class: MockProvider
    theta_max: 0.5
)"));
    auto built = factory.create_by_name("mock")->get_all_metadata();
    auto direct = MockProvider(5, -1, 10, 1000, 100, 0.5).get_all_metadata();
    ASSERT_EQ(built.size(), 5u);
    expect_same(built, direct);
    expect_throw<std::length_error>([&] { factory.create_by_name("negative"); }, "vector::_M_default_append");
    expect_throw<std::out_of_range>([&] { factory.create_by_name("incomplete"); }, "Key r_max not found!");
}

}  // namespace
