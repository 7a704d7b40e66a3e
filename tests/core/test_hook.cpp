#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <optional>
#include <typeinfo>

#include "background/Hook.hpp"
#include "fixtures.hpp"

namespace {

using background::Hook;
using background::testing::expect_throw;
using Hint = std::function<void(double)>;

// Ids far from those of the library's own users.
constexpr int id = 4711;

bool registered(int key) { return Hook::hooks.contains(key); }

TEST(Hook, SetGetRemove) {
    double seen = 0;
    {
        auto handle = Hook::set<Hint>(id, [&](double t) { seen = t; });
        Hook::get<Hint>(id)(2.5);
        EXPECT_EQ(seen, 2.5);
        expect_throw<std::invalid_argument>([] { (void)Hook::set<Hint>(id, [](double) {}); },
                                            "ID is already registered!");
        Hook::get<Hint>(id)(3.5);  // the first registration stays
        EXPECT_EQ(seen, 3.5);
    }
    EXPECT_FALSE(registered(id));
    expect_throw<std::out_of_range>([] { (void)Hook::get<Hint>(id); }, "map::at");
    Hook::remove(id);  // nothing there: no effect
    auto negative = Hook::set<Hint>(-id, [](double) {});
    EXPECT_TRUE(registered(-id));
}

TEST(Hook, RefusesIdZeroAndOtherCallableTypes) {
    expect_throw<std::invalid_argument>([] { (void)Hook::set<Hint>(0, [](double) {}); }, "ID 0 is invalid!");
    EXPECT_FALSE(registered(0));
    auto handle = Hook::set<std::function<void(int)>>(id, [](int) {});
    EXPECT_THROW((void)Hook::get<Hint>(id), std::bad_cast);
}

TEST(Hook, HandlesMoveAndLeak) {
    auto first = Hook::set<Hint>(id, [](double) {});
    auto moved = std::move(first);
    { auto gone = std::move(first); }  // moved-from: removes nothing
    EXPECT_TRUE(registered(id));

    auto other = Hook::set<Hint>(id + 1, [](double) {});
    moved = std::move(other);  // drops what `moved` held
    EXPECT_FALSE(registered(id));
    EXPECT_TRUE(registered(id + 1));

    moved.leak();
    { auto discard = std::move(moved); }
    EXPECT_TRUE(registered(id + 1));
    Hook::remove(id + 1);
}

// A handle removes whatever is registered under its id when it acts.
TEST(Hook, HandleRemovesTheCurrentRegistration) {
    std::optional<Hook::Handle> a(Hook::set<Hint>(7, [](double) {}));
    Hook::remove(7);
    std::optional<Hook::Handle> b(Hook::set<Hint>(7, [](double) {}));
    a.reset();
    EXPECT_FALSE(registered(7));
    b.reset();
    EXPECT_FALSE(registered(7));
}

}  // namespace
