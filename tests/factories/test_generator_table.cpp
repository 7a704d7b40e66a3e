// Entries of the class table of section "generators".
#include <gtest/gtest.h>

#include <memory>

#include "background/AfterpulseGenerator.hpp"
#include "background/Factory.hpp"
#include "background/NPEGenerator.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_throw;
using background::testing::TempDir;

TEST(AfterpulseFactory, BuildsItsBaseAndSignExtendsTheSeed) {
    background::testing::TempDir dir;
    auto settings = dir.write("settings.yaml", R"(
generators:
  pe: {class: NPEGenerator, num_pe: 40}
  after: {class: AfterpulseGenerator, num_pe_mean: 2.0, delay_var: 1.0e-14, delay_mean: 1.0e-6, probability: 0.5,
          seed: -1, base_generator: pe}
)");
    auto built = background::Factory<EventGenerator>(settings).create_by_name("after");
    AfterpulseGenerator direct(std::make_unique<background::NPEGenerator>(40), 18446744073709551615UL, 0.5, 1e-6,
                               1e-14, 2);
    for (int i = 0; i < 5; ++i) {
        BackgroundEvent event{i * 1.0, 1, 3};
        auto lists = built->generate(event);
        EXPECT_EQ(lists, direct.generate(event));
        std::size_t pes = 0;
        for (const auto& entry : lists) pes += entry.second.size();
        EXPECT_GT(pes, 40u);
    }
}

constexpr const char* generator_settings = R"(
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -2.0
    num_showers: 4
generators:
  one:
    class: NPEGenerator
    num_pe: 1
  two:
    class: NPEGenerator
    num_pe: 2
  showers:
    class: ProviderGenerator
    provider: mock
  by_type:
    class: GenericGenerator
    generators:
      one: 1
      two: 1
      showers: 3
  no_members:
    class: GenericGenerator
  listed:
    class: GenericGenerator
    generators: [one, two]
  missing_provider:
    class: ProviderGenerator
    provider: nowhere
)";

TEST(GeneratorFactory, BuildsTheBasicGenerators) {
    TempDir dir;
    Factory<EventGenerator> factory(dir.write("settings.yaml", generator_settings));
    EXPECT_EQ(factory.create_by_name("two")->generate({1.5, 0, 3}), (PEList{{3, {1.5, 1.5}}}));
    EXPECT_EQ(factory.create_by_name("showers")->generate({1.5, 0, 3}), (PEList{{0, {4.5}}}));

    // The later name in the file wins a shared type.
    auto by_type = factory.create_by_name("by_type");
    EXPECT_EQ(by_type->generate({1.0, 1, 2}), (PEList{{2, {1.0, 1.0}}}));
    EXPECT_EQ(by_type->generate({1.0, 3, 2}), (PEList{{0, {3.0}}}));
    expect_throw<std::out_of_range>([&] { by_type->generate({1.0, 2, 0}); }, "No generator with type 2 available!");

    // "generators" as a list lists no names: an empty dispatcher.
    auto listed = factory.create_by_name("listed");
    expect_throw<std::out_of_range>([&] { listed->generate({1.0, 1, 0}); }, "No generator with type 1 available!");
}

TEST(GeneratorFactory, EntryErrorsPassUnchanged) {
    TempDir dir;
    auto file = dir.write("settings.yaml", generator_settings);
    Factory<EventGenerator> factory(file);
    expect_throw<std::out_of_range>([&] { factory.create_by_name("no_members"); }, "Key generators not found!");
    expect_throw<std::out_of_range>([&] { factory.create_by_name("missing_provider"); },
                                    "Instance nowhere is not defined in " + file.string() + "!");
}

}  // namespace
