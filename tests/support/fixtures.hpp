#pragma once
// Fixture helpers shared by the native test programs.

#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "background/BackgroundEvent.hpp"
#include "background/Metadata.hpp"

namespace background::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::random_device seed;
        std::mt19937_64 engine(seed());
        auto base = std::filesystem::temp_directory_path();
        do {
            path_ = base / ("background-test-" + std::to_string(engine()));
        } while (!std::filesystem::create_directory(path_));
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }

    // Writes `contents` to the file `name` in the directory and returns its path.
    std::filesystem::path write(const std::string& name, std::string_view contents) const {
        auto file = path_ / name;
        std::ofstream(file, std::ios::binary) << contents;
        return file;
    }

private:
    std::filesystem::path path_;
};

// Runs `body`, which must throw exactly an `E` (or a type derived from it)
// whose what() equals `message`; returns the caught exception for further
// checks of nested causes.
template <class E, class F>
std::exception_ptr expect_throw(F&& body, std::string_view message) {
    try {
        body();
    } catch (const E& e) {
        EXPECT_EQ(e.what(), message);
        return std::current_exception();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception type " << typeid(e).name() << ": " << e.what();
        return std::current_exception();
    } catch (...) {
        ADD_FAILURE() << "unexpected non-standard exception";
        return std::current_exception();
    }
    ADD_FAILURE() << "no exception thrown, expected: " << message;
    return nullptr;
}

// The cause nested in an exception made with std::throw_with_nested, or null.
inline std::exception_ptr nested_cause(std::exception_ptr outer) {
    try {
        std::rethrow_exception(outer);
    } catch (const std::nested_exception& nested) {
        return nested.nested_ptr();
    } catch (...) {
        return nullptr;
    }
}

// What a captured exception says.
inline std::string message_of(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "<non-standard exception>";
    }
}

// Bitwise equality, so that -0.0 and 0.0 or a different tie order show.
inline void expect_same_events(const std::vector<BackgroundEvent>& actual,
                               const std::vector<BackgroundEvent>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(std::memcmp(&actual[i].time, &expected[i].time, sizeof(double)), 0) << i;
        ASSERT_EQ(actual[i].type, expected[i].type) << i;
        ASSERT_EQ(actual[i].id, expected[i].id) << i;
    }
}

// Field by field: the padding of a record carries nothing.
inline void expect_same(const std::vector<Metadata>& a, const std::vector<Metadata>& b) {
    ASSERT_EQ(a.size(), b.size());
    auto fields = [](const Metadata& m) { return std::tuple(m.uid, m.primary, m.energy, m.x, m.y, m.theta, m.phi, m.time); };
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(fields(a[i]), fields(b[i])) << i;
}

// What an std::ios_base::failure made from `message` reports: the message
// with the error-code text the standard library adds.
inline std::string io_failure(const std::string& message) { return std::ios_base::failure(message).what(); }

}  // namespace background::testing
