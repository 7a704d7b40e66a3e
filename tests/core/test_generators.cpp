#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "background/GenericGenerator.hpp"
#include "background/NPEGenerator.hpp"
#include "background/ProviderGenerator.hpp"
#include "fixtures.hpp"

namespace {

using namespace background;
using background::testing::expect_throw;
using background::testing::message_of;
using background::testing::nested_cause;

struct NPECase {
    int num_pe;
    BackgroundEvent event;
    int channel;
    std::vector<double> times;
};

std::ostream& operator<<(std::ostream& out, const NPECase& c) {
    return out << c.num_pe << " p.e. for id " << c.event.id;
}

class NPEGeneratorCases : public ::testing::TestWithParam<NPECase> {};

TEST_P(NPEGeneratorCases, OneEntryOnTheEventsChannel) {
    const auto& c = GetParam();
    PEList expected{{c.channel, c.times}};
    EXPECT_EQ(NPEGenerator(c.num_pe).generate(c.event), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NPEGeneratorCases,
    ::testing::Values(NPECase{3, {2.5, 0, 7}, 7, {2.5, 2.5, 2.5}}, NPECase{1, {-1.0, 9, 0}, 0, {-1.0}},
                      NPECase{0, {4.0, 0, 2}, 2, {}},
                      // The id's low 32 bits as a signed channel.
                      NPECase{1, {1.0, 0, (1ul << 32) + 5}, 5, {1.0}}, NPECase{2, {1.0, 0, (1ul << 32) - 1}, -1, {1.0, 1.0}}));

TEST(NPEGenerator, NegativeCountFailsOnEveryCall) {
    NPEGenerator generator(-1);
    for (int call = 0; call < 2; ++call)
        expect_throw<std::length_error>([&] { generator.generate({1.0, 0, 0}); },
                                        "cannot create std::vector larger than max_size()");
}

// A provider that serves one list for every UID, or throws what it is told.
class FakeProvider : public ShowerProvider {
public:
    explicit FakeProvider(PEList list, std::function<void()> fail = {}) : list(std::move(list)), fail(std::move(fail)) {}
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long) override { return {}; }
    PEList get_pe_list(unsigned long uid) override {
        requested = uid;
        if (fail) fail();
        return list;
    }
    PEList list;
    std::function<void()> fail;
    unsigned long requested = 0;
};

TEST(ProviderGenerator, ShiftsTimesAndKeepsOrderAndEmptyEntries) {
    auto provider = std::make_unique<FakeProvider>(PEList{{3, {0.0, 0.5}}, {1, {}}, {3, {0.25}}});
    auto* fake = provider.get();
    ProviderGenerator generator(std::move(provider));
    EXPECT_EQ(generator.generate({100.0, 4, 42}), (PEList{{3, {100.0, 100.5}}, {1, {}}, {3, {100.25}}}));
    EXPECT_EQ(fake->requested, 42u);
}

struct OutOfRangeWithCause : std::out_of_range, std::nested_exception {
    OutOfRangeWithCause() : std::out_of_range("Shower with UID 9 not found!") {}
};

TEST(ProviderGenerator, OutOfRangeBecomesPlainWithSameMessage) {
    ProviderGenerator generator(std::make_unique<FakeProvider>(PEList{}, [] {
        try {
            throw std::runtime_error("inner");
        } catch (...) {
            throw OutOfRangeWithCause();
        }
    }));
    try {
        generator.generate({0.0, 0, 9});
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(std::out_of_range));
        EXPECT_STREQ(e.what(), "Shower with UID 9 not found!");
        EXPECT_EQ(dynamic_cast<const std::nested_exception*>(&e), nullptr);
    }
}

TEST(ProviderGenerator, OtherExceptionsAreNested) {
    struct NotStandard {};
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[] { throw std::runtime_error("XCDF support disabled at build time!"); },
         "XCDF support disabled at build time!"},
        {[] { throw std::invalid_argument("bad"); }, "bad"},
        {[] { throw NotStandard{}; }, "<non-standard exception>"},
    };
    for (const auto& [fail, inner] : cases) {
        ProviderGenerator generator(std::make_unique<FakeProvider>(PEList{}, fail));
        auto error = expect_throw<std::out_of_range>([&] { generator.generate({0.0, 0, 1}); },
                                                     "Event generation failed due to unexpected exception from provider");
        auto cause = nested_cause(error);
        ASSERT_TRUE(cause);
        EXPECT_EQ(message_of(cause), inner);
    }
}

TEST(ProviderGenerator, RefusesEmptyProvider) {
    expect_throw<std::invalid_argument>([] { ProviderGenerator generator(nullptr); }, "Provider must not be null!");
}

// Tells its type back through the channel and counts its own destruction.
class Tagging : public EventGenerator {
public:
    Tagging(int tag, int* destroyed = nullptr) : tag(tag), destroyed(destroyed) {}
    ~Tagging() override {
        if (destroyed) ++*destroyed;
    }
    PEList generate(BackgroundEvent event) override { return {{tag, {event.time, static_cast<double>(event.type)}}}; }
    int tag;
    int* destroyed;
};

TEST(GenericGenerator, DispatchesOnTypeAndRefusesUnknownTypes) {
    GenericGenerator generic;
    for (int type : {1, 2, 0}) expect_throw<std::out_of_range>([&] { generic.generate({0.0, type, 0}); },
                                                              "No generator with type " + std::to_string(type) + " available!");
    generic.add_generator(1, std::make_unique<Tagging>(10));
    generic.add_generator(2, std::make_unique<Tagging>(20));
    EXPECT_EQ(generic.generate({0.5, 2, 0}), (PEList{{20, {0.5, 2.0}}}));
    EXPECT_EQ(generic.generate({0.5, 1, 0}), (PEList{{10, {0.5, 1.0}}}));
    for (int type : {3, -1}) expect_throw<std::out_of_range>([&] { generic.generate({0.0, type, 0}); },
                                                            "No generator with type " + std::to_string(type) + " available!");
}

TEST(GenericGenerator, NestedDispatchPassesInnerErrorsUnchanged) {
    auto inner = std::make_unique<GenericGenerator>();
    auto* inner_ptr = inner.get();
    GenericGenerator outer;
    outer.add_generator(5, std::move(inner));
    expect_throw<std::out_of_range>([&] { outer.generate({0.0, 5, 0}); }, "No generator with type 5 available!");
    inner_ptr->add_generator(6, std::make_unique<Tagging>(60));
    expect_throw<std::out_of_range>([&] { outer.generate({0.0, 5, 0}); }, "No generator with type 5 available!");
    inner_ptr->add_generator(5, std::make_unique<Tagging>(50));
    EXPECT_EQ(outer.generate({1.0, 5, 0}), (PEList{{50, {1.0, 5.0}}}));
}

TEST(GenericGenerator, ReplacingATypeDestroysTheOldGenerator) {
    int destroyed_a = 0, destroyed_b = 0;
    GenericGenerator generic;
    generic.add_generator(1, std::make_unique<Tagging>(1, &destroyed_a));
    generic.add_generator(1, std::make_unique<Tagging>(2, &destroyed_b));
    EXPECT_EQ(destroyed_a, 1);
    EXPECT_EQ(destroyed_b, 0);
    EXPECT_EQ(generic.generate({0.0, 1, 0}).front().first, 2);
    expect_throw<std::invalid_argument>([&] { generic.add_generator(1, nullptr); }, "Generator must not be null!");
    EXPECT_EQ(generic.generate({0.0, 1, 0}).front().first, 2);
}

}  // namespace
