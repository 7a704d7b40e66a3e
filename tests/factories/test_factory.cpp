#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <stdexcept>
#include <string>

#include "background/Factory.hpp"
#include "background/NPEGenerator.hpp"
#include "fixtures.hpp"

namespace {

using background::EventGenerator;
using background::Factory;
using background::NPEGenerator;
using background::testing::expect_throw;
using background::testing::TempDir;

constexpr const char* settings = R"(
generators:
  one:
    class: NPEGenerator
    num_pe: 1
  no_class:
    num_pe: 1
  list_class:
    class: [NPEGenerator]
  null_class:
    class:
  empty_instance:
  foreign:
    class: MockProvider
  lower_case:
    class: npegenerator
  self:
    class: GenericGenerator
    generators: {self: 1}
  ring_a:
    class: GenericGenerator
    generators: {ring_b: 2, one: 1}
  ring_b:
    class: AfterpulseGenerator
    num_pe_mean: 1
    delay_var: 1
    delay_mean: 1
    probability: 0.5
    seed: 1
    base_generator: ring_a
  twice:
    class: GenericGenerator
    generators: {one: 1, inner: 2}
  inner:
    class: GenericGenerator
    generators: {one: 2}
providers:
  elsewhere:
    class: MockProvider
)";

class FactoryFile : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir.write("settings.yaml", settings);
};

TEST_F(FactoryFile, BuildsNamedInstancesAfresh) {
    Factory<EventGenerator> factory(file);
    auto a = factory.create_by_name("one");
    auto b = factory.create_by_name("one");
    EXPECT_NE(dynamic_cast<NPEGenerator*>(a.get()), nullptr);
    EXPECT_NE(a.get(), b.get());
}

TEST_F(FactoryFile, LookupErrors) {
    Factory<EventGenerator> factory(file);
    struct Case {
        const char* name;
        std::string message;
    };
    for (const auto& [name, message] : {
             Case{"elsewhere", "Instance elsewhere is not defined in " + file.string() + "!"},
             Case{"no_class", "Key class not found!"},
             Case{"empty_instance", "Key class not found!"},
             Case{"null_class", "Class null cannot be instantiated by this factory!"},
             Case{"foreign", "Class MockProvider cannot be instantiated by this factory!"},
             Case{"lower_case", "Class npegenerator cannot be instantiated by this factory!"},
         })
        expect_throw<std::out_of_range>([&] { (void)factory.create_by_name(name); }, message);
    expect_throw<std::invalid_argument>([&] { (void)factory.create_by_name("list_class"); }, "access failed");
    // The factory is still usable after failures.
    EXPECT_NE(factory.create_by_name("one"), nullptr);
}

TEST_F(FactoryFile, ConstructionErrors) {
    expect_throw<std::out_of_range>([&] { Factory<background::Flux> fluxes(file); }, "Key fluxes not found!");
    EXPECT_THROW(Factory<EventGenerator>(dir.path() / "absent.yaml"), std::ios_base::failure);
    EXPECT_THROW(Factory<EventGenerator>(std::filesystem::path()), std::ios_base::failure);
}

// Instances naming themselves, directly or around a ring, fail instead of
// recursing without end.
TEST_F(FactoryFile, RefusesCycles) {
    Factory<EventGenerator> factory(file);
    expect_throw<std::invalid_argument>([&] { (void)factory.create_by_name("self"); },
                                        "Instance self refers to itself in " + file.string() + ": self -> self!");
    expect_throw<std::invalid_argument>([&] { (void)factory.create_by_name("ring_b"); },
                                        "Instance ring_b refers to itself in " + file.string() + ": ring_b -> ring_a -> ring_b!");
    EXPECT_NE(factory.create_by_name("one"), nullptr);
    // Naming one instance in two places is no cycle.
    auto twice = factory.create_by_name("twice");
    EXPECT_EQ(twice->generate({1.5, 2, 4}), (background::PEList{{4, {1.5}}}));
    EXPECT_EQ(twice->generate({1.5, 1, 4}), (background::PEList{{4, {1.5}}}));
}

// Generators wrapping generators: g0 names g1 and so on, the last one plain.
std::string chain(int length) {
    std::string text = "generators:\n";
    for (int i = 0; i + 1 < length; ++i)
        text += "  g" + std::to_string(i) + ": {class: GenericGenerator, generators: {g" + std::to_string(i + 1) +
                ": 1}}\n";
    return text + "  g" + std::to_string(length - 1) + ": {class: NPEGenerator, num_pe: 1}\n";
}

// Every level of nesting takes stack; a chain of thousands used to exhaust it.
TEST(FactoryNesting, ChainsDeeperThanTheBoundFailNamingTheStart) {
    TempDir dir;
    auto deepest = dir.write("deepest.yaml", chain(100));
    EXPECT_EQ(Factory<EventGenerator>(deepest).create_by_name("g0")->generate({0.5, 1, 3}),
              (background::PEList{{3, {0.5}}}));
    for (int length : {150, 20000}) {
        auto file = dir.write("chain.yaml", chain(length));
        Factory<EventGenerator> factory(file);
        expect_throw<std::invalid_argument>(
            [&] { (void)factory.create_by_name("g0"); },
            "Instance g0 starts a chain of instances nested more than 100 deep in " + file.string() + "!");
    }
    // Started further down, the chain is named from there; 100 levels build.
    auto file = dir.write("chain.yaml", chain(150));
    Factory<EventGenerator> factory(file);
    expect_throw<std::invalid_argument>(
        [&] { (void)factory.create_by_name("g49"); },
        "Instance g49 starts a chain of instances nested more than 100 deep in " + file.string() + "!");
    EXPECT_NE(factory.create_by_name("g50"), nullptr);
}

// Generators a0 and b0 name a1 and b1, which name a2 and b2, and so on: no
// cycle, but 2^(levels + 1) - 2 nested instances, built one by one.
std::string diamonds(int levels) {
    std::string text = "generators:\n";
    for (int i = 0; i < levels; ++i) {
        auto next = std::to_string(i + 1);
        for (const char* name : {"a", "b"})
            text += "  " + std::string(name) + std::to_string(i) + ": {class: GenericGenerator, generators: {a" +
                    next + ": 1, b" + next + ": 2}}\n";
    }
    auto last = std::to_string(levels);
    return text + "  a" + last + ": {class: NPEGenerator, num_pe: 1}\n  b" + last +
           ": {class: NPEGenerator, num_pe: 2}\n";
}

// Forty levels of a 5 kB file used to mean 2^41 constructions.
TEST(FactoryNesting, InstancesMultipliedBeyondTheBoundFailNamingTheStart) {
    TempDir dir;
    auto within = dir.write("within.yaml", diamonds(8));  // 510 nested instances
    EXPECT_EQ(Factory<EventGenerator>(within).create_by_name("a0")->generate({0.5, 2, 3}),
              (background::PEList{{3, {0.5, 0.5}}}));
    auto file = dir.write("diamonds.yaml", diamonds(40));
    Factory<EventGenerator> factory(file);
    for (const char* start : {"a0", "b20"})
        expect_throw<std::invalid_argument>(
            [&] { (void)factory.create_by_name(start); },
            "Instance " + std::string(start) + " builds more than 1000 nested instances in " + file.string() + "!");
    // The count starts afresh with every instance asked for.
    EXPECT_NE(factory.create_by_name("a32"), nullptr);
    EXPECT_NE(factory.create_by_name("a32"), nullptr);
}

// One generator naming `members` plain ones: exactly that many nested instances.
std::string flat(int members) {
    std::string text = "generators:\n  top:\n    class: GenericGenerator\n    generators:\n";
    for (int i = 0; i < members; ++i) text += "      m" + std::to_string(i) + ": " + std::to_string(i) + "\n";
    for (int i = 0; i < members; ++i) text += "  m" + std::to_string(i) + ": {class: NPEGenerator, num_pe: 1}\n";
    return text;
}

TEST(FactoryNesting, TheInstanceBoundIsExactlyAThousand) {
    TempDir dir;
    auto most = dir.write("most.yaml", flat(1000));
    EXPECT_EQ(Factory<EventGenerator>(most).create_by_name("top")->generate({0.5, 999, 3}),
              (background::PEList{{3, {0.5}}}));
    auto file = dir.write("beyond.yaml", flat(1001));
    expect_throw<std::invalid_argument>(
        [&] { (void)Factory<EventGenerator>(file).create_by_name("top"); },
        "Instance top builds more than 1000 nested instances in " + file.string() + "!");
}

TEST_F(FactoryFile, DefaultConstructedAndMovedFromFactoriesRefuseToBuild) {
    const std::string message = "Default constructed or moved from object, no settings available!";
    Factory<EventGenerator> none;
    expect_throw<std::out_of_range>([&] { (void)none.create_by_name("one"); }, message);

    Factory<EventGenerator> source(file);
    Factory<EventGenerator> target(std::move(source));
    expect_throw<std::out_of_range>([&] { (void)source.create_by_name("one"); }, message);
    EXPECT_NE(target.create_by_name("one"), nullptr);
    // Entries of the target refer to the target: the cycle is still caught
    // (a moved-from factory would answer with the message above instead).
    expect_throw<std::invalid_argument>([&] { (void)target.create_by_name("self"); },
                                        "Instance self refers to itself in " + file.string() + ": self -> self!");

    Factory<EventGenerator> assigned;
    assigned = std::move(target);
    expect_throw<std::out_of_range>([&] { (void)target.create_by_name("one"); }, message);
    expect_throw<std::invalid_argument>([&] { (void)assigned.create_by_name("self"); },
                                        "Instance self refers to itself in " + file.string() + ": self -> self!");
}

TEST_F(FactoryFile, ResolvesPathsAgainstTheSettingsDirectory) {
    std::filesystem::create_directory(dir.path() / "b");
    auto nested = dir.path() / "b" / "settings.yaml";
    std::filesystem::copy_file(file, nested);
    Factory<EventGenerator> factory(nested);
    EXPECT_EQ(factory.path("../c/table.txt"), dir.path() / "c" / "table.txt");
    EXPECT_EQ(factory.path("x/./y"), dir.path() / "b" / "x" / "y");
    EXPECT_EQ(factory.path("/data/../x"), std::filesystem::path("/data/../x"));
}

TEST_F(FactoryFile, RelativeSettingsPathsStayRelative) {
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    Factory<EventGenerator> factory("settings.yaml");
    EXPECT_EQ(factory.path("./d//x"), std::filesystem::path("d/x"));
    expect_throw<std::out_of_range>([&] { (void)factory.create_by_name("elsewhere"); },
                                    "Instance elsewhere is not defined in settings.yaml!");
    std::filesystem::current_path(previous);
}

}  // namespace
