#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <ios>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>

#include <yaml-cpp/exceptions.h>

#include "background/Settings.hpp"
#include "background/YAMLAccessor.hpp"
#include "fixtures.hpp"

namespace {

using background::Settings;
using background::testing::expect_throw;
using background::testing::nested_cause;
using background::testing::TempDir;

constexpr const char* document = R"(
lib:
  provider: mock
  empty:
  nothing: ~
  fraction: 3.5
  word: seven
  octal: 010
  bad_octal: 08
  hex: 0x10
  negative: -12
  inf: .inf
  minus_inf: -.inf
  nan: .nan
  yes_word: yes
  off_word: off
  list: [1, 2]
  map: {a: 1}
  scalar: text
ordered:
  zeta: 1
  alpha: 2
  ~: 3
  mid: 4
)";

class SettingsDocument : public ::testing::Test {
protected:
    TempDir dir;
    Settings root = Settings::from_file(dir.write("settings.yaml", document));
    Settings lib = root["lib"];
};

using Value = std::variant<std::string, int, double, bool>;

struct ConversionCase {
    const char* key;
    Value expected;
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.key << " as alternative " << c.expected.index(); }

class Conversion : public SettingsDocument, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(Conversion, ReadsYamlScalars) {
    const auto& [key, expected] = GetParam();
    Settings view = lib[key];
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            T read = view;
            if constexpr (std::is_same_v<T, double>) {
                if (std::isnan(value)) {
                    EXPECT_TRUE(std::isnan(read));
                    return;
                }
            }
            EXPECT_EQ(read, value);
        },
        expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Conversion,
    ::testing::Values(ConversionCase{"provider", std::string("mock")}, ConversionCase{"empty", std::string("null")},
                      ConversionCase{"nothing", std::string("null")}, ConversionCase{"fraction", 3.5},
                      ConversionCase{"fraction", std::string("3.5")}, ConversionCase{"octal", 8},
                      ConversionCase{"hex", 16}, ConversionCase{"negative", -12}, ConversionCase{"negative", -12.0},
                      ConversionCase{"inf", std::numeric_limits<double>::infinity()},
                      ConversionCase{"minus_inf", -std::numeric_limits<double>::infinity()},
                      ConversionCase{"nan", std::numeric_limits<double>::quiet_NaN()},
                      ConversionCase{"yes_word", true}, ConversionCase{"off_word", false}));

enum class As { String, Int, Double, Bool };

struct FailureCase {
    const char* key;
    As type;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.key << " as " << static_cast<int>(c.type); }

class FailedConversion : public SettingsDocument, public ::testing::WithParamInterface<FailureCase> {};

// Every failed conversion is a plain "access failed", without nested cause.
TEST_P(FailedConversion, IsPlainAccessFailed) {
    const auto& [key, type] = GetParam();
    Settings view = lib[key];
    auto error = expect_throw<std::invalid_argument>(
        [&, type = type] {
            switch (type) {
                case As::String: (void)static_cast<std::string>(view); break;
                case As::Int: (void)static_cast<int>(view); break;
                case As::Double: (void)static_cast<double>(view); break;
                case As::Bool: (void)static_cast<bool>(view); break;
            }
        },
        "access failed");
    EXPECT_EQ(nested_cause(error), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, FailedConversion,
                         ::testing::Values(FailureCase{"empty", As::Int}, FailureCase{"nothing", As::Double},
                                           FailureCase{"nothing", As::Bool}, FailureCase{"fraction", As::Int},
                                           FailureCase{"word", As::Int}, FailureCase{"word", As::Double},
                                           FailureCase{"word", As::Bool}, FailureCase{"bad_octal", As::Int},
                                           FailureCase{"list", As::String}, FailureCase{"list", As::Int},
                                           FailureCase{"map", As::String}, FailureCase{"map", As::Double},
                                           FailureCase{"map", As::Bool}));

TEST_F(SettingsDocument, MissingKeyNamesOnlyTheLastKey) {
    expect_throw<std::out_of_range>([&] { (void)lib["generator"]; }, "Key generator not found!");
    expect_throw<std::out_of_range>([&] { (void)root["models"]["dark"]; }, "Key models not found!");
    EXPECT_TRUE(lib.contains("provider"));
    EXPECT_TRUE(lib.contains("nothing"));
    EXPECT_FALSE(lib.contains("generator"));
}

TEST_F(SettingsDocument, KeysInFileOrder) {
    EXPECT_EQ(root["ordered"].keys(), (std::vector<std::string>{"zeta", "alpha", "null", "mid"}));
    for (const char* key : {"scalar", "list", "nothing", "empty"}) EXPECT_TRUE(lib[key].keys().empty()) << key;
    EXPECT_TRUE(Settings(root)["lib"].keys().size() > 10);
    // A null key is listed but never matched.
    expect_throw<std::out_of_range>([&] { (void)root["ordered"]["null"]; }, "Key null not found!");
}

// A walk through a scalar, a list or a null reports the key as absent, and no
// lookup changes what the document reads.
TEST_F(SettingsDocument, LookupsLeaveTheDocumentAlone) {
    for (const char* key : {"scalar", "list", "nothing", "empty", "provider"}) {
        EXPECT_FALSE(lib[key].contains("child")) << key;
        expect_throw<std::out_of_range>([&] { (void)lib[key]["child"]; }, "Key child not found!");
    }
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(lib.contains("absent"));
    EXPECT_EQ(static_cast<std::string>(lib["nothing"]), "null");
    EXPECT_EQ(static_cast<std::string>(lib["empty"]), "null");
    EXPECT_EQ(root["ordered"].keys().size(), 4u);
    EXPECT_EQ(static_cast<std::string>(lib["scalar"]), "text");
}

TEST_F(SettingsDocument, UncheckedViewOfAnAbsentPathFailsOnConversion) {
    Settings view(std::make_shared<background::YAMLAccessor>(dir.path() / "settings.yaml"),
                  {"lib", "absent", "deeper"});
    EXPECT_FALSE(view.contains("x"));
    EXPECT_TRUE(view.keys().empty());
    expect_throw<std::invalid_argument>([&] { (void)static_cast<double>(view); }, "access failed");
}

TEST(Settings, ViewWithoutDocumentFailsCleanly) {
    Settings none;
    EXPECT_FALSE(none.contains("lib"));
    EXPECT_TRUE(none.keys().empty());
    expect_throw<std::out_of_range>([&] { (void)none["lib"]; }, "Key lib not found!");
    expect_throw<std::invalid_argument>([&] { (void)static_cast<int>(none); }, "access failed");
}

TEST(Settings, LoadFailuresNestTheParserError) {
    TempDir dir;
    auto broken = dir.write("broken.yaml", "lib: [unclosed\n");
    for (const auto& file : {dir.path() / "absent.yaml", std::filesystem::path(), broken}) {
        try {
            (void)Settings::from_file(file);
            ADD_FAILURE() << "loaded " << file;
        } catch (const std::ios_base::failure& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Failed to load yaml file " + file.generic_string(), 0), 0u)
                << e.what();
            auto cause = nested_cause(std::current_exception());
            ASSERT_NE(cause, nullptr);
            EXPECT_THROW(std::rethrow_exception(cause), YAML::Exception);
        }
    }
}

// What the load refuses, and the nested cause that says why.
struct RefusedLoad {
    const char* name;
    std::string text;
    std::string cause;
};
void PrintTo(const RefusedLoad& c, std::ostream* out) { *out << c.name; }

class RefusedDocument : public ::testing::TestWithParam<RefusedLoad> {};

TEST_P(RefusedDocument, NamesTheKeyOrTheDocument) {
    TempDir dir;
    auto file = dir.write("settings.yaml", GetParam().text);
    try {
        (void)Settings::from_file(file);
        ADD_FAILURE() << "loaded";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to load yaml file " + file.generic_string(), 0), 0u)
            << e.what();
        EXPECT_EQ(background::testing::message_of(nested_cause(std::current_exception())), GetParam().cause);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedDocument,
    ::testing::Values(
        RefusedLoad{"section_twice", "lib: {a: 1}\nmodels: {}\nlib: {b: 2}\n",
                    "Key lib is given twice in one map, at lines 1 and 3!"},
        // A model listed twice would be built twice.
        RefusedLoad{"member_twice", "models:\n  both:\n    models: {dark: ~, quiet: ~, dark: ~}\n",
                    "Key dark is given twice in one map, at lines 3 and 3!"},
        RefusedLoad{"through_an_alias", "name: &k dark\n*k : 1\ndark: 2\n",
                    "Key dark is given twice in one map, at lines 2 and 3!"},
        RefusedLoad{"null_keys", "lib:\n  ~: 1\n  null: 2\n", "Key null is given twice in one map, at lines 2 and 3!"},
        RefusedLoad{"second_document", "lib: {a: 1}\n---\nlib: {a: 2}\n",
                    "A settings file holds one YAML document, but a second one starts at line 2!"},
        RefusedLoad{"empty_second_document", "lib: {a: 1}\n---\n",
                    "A settings file holds one YAML document, but a second one starts at line 2!"},
        RefusedLoad{"scalar_documents", "--- a\n--- b\n",
                    "A settings file holds one YAML document, but a second one starts at line 2!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, RepeatedTextsThatAreNoRepeatedKeysLoad) {
    TempDir dir;
    // One key in two maps, a key in a key, a value like its key, one document
    // ended with "...", and aliases that would expand to 10^9 nodes.
    std::string text = "a: {x: 1, y: {x: 2}}\nb: {x: 3}\nx: x\n? {k: 1}\n: {k: 2}\nl0: &l0 [1, 1, 1, 1, 1, 1, 1, 1, 1, 1]\n";
    for (int i = 1; i < 10; ++i) {
        text += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
        for (int j = 0; j < 10; ++j) text += (j ? ", *l" : "*l") + std::to_string(i - 1);
        text += "]\n";
    }
    text += "...\n";
    auto root = Settings::from_file(dir.write("settings.yaml", text));
    EXPECT_EQ(static_cast<int>(root["a"]["y"]["x"]), 2);
    EXPECT_EQ(static_cast<std::string>(root["x"]), "x");
    EXPECT_EQ(root.keys().size(), 13u);  // the map used as a key has no text
}

// A FIFO would block the load, /dev/zero would never end it, and a name with
// a NUL character would load the file named by its first part.
TEST(Settings, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    auto fifo = dir.path() / "fifo.yaml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto real = dir.write("settings.yaml", "lib: {a: 1}\n");
    auto nul = std::filesystem::path(real.string() + std::string("\0.bak", 5));
    const std::string nul_text = real.string() + "\\0.bak";
    for (const auto& [file, shown, cause] : std::initializer_list<std::tuple<std::filesystem::path, std::string, std::string>>{
             {fifo, fifo.string(), fifo.string() + " is not a regular file!"},
             {"/dev/zero", "/dev/zero", "/dev/zero is not a regular file!"},
             {dir.path(), dir.path().string(), dir.path().string() + " is not a regular file!"},
             {nul, nul_text, "File name " + nul_text + " holds a NUL character!"},
         }) {
        SCOPED_TRACE(shown);
        try {
            (void)Settings::from_file(file);
            ADD_FAILURE() << "loaded";
        } catch (const std::ios_base::failure& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Failed to load yaml file " + shown + ":", 0), 0u) << e.what();
            auto text = background::testing::message_of(nested_cause(std::current_exception()));
            EXPECT_EQ(text.rfind(cause, 0), 0u) << text;
        }
    }
}

TEST(Settings, EmptyFileLoadsWithoutKeys) {
    TempDir dir;
    auto root = Settings::from_file(dir.write("empty.yaml", ""));
    EXPECT_TRUE(root.keys().empty());
    expect_throw<std::out_of_range>([&] { (void)root["lib"]; }, "Key lib not found!");
}

// An accessor of another kind: its invalid_argument travels as a plain copy,
// anything else is nested under the operator's own text.
class ThrowingAccessor : public Settings::Accessor {
public:
    bool contains(const std::vector<std::string>&) noexcept override { return true; }
    std::vector<std::string> keys(const std::vector<std::string>&) override { throw std::logic_error("keys"); }
    std::string get_string(const std::vector<std::string>&) override { throw std::runtime_error("string"); }
    int get_int(const std::vector<std::string>&) override { throw std::runtime_error("int"); }
    double get_double(const std::vector<std::string>&) override { throw std::runtime_error("double"); }
    bool get_bool(const std::vector<std::string>&) override {
        try {
            throw std::runtime_error("inner");
        } catch (...) {
            std::throw_with_nested(std::invalid_argument("bool refused"));
        }
    }
};

TEST(Settings, ConversionErrorsOfOtherAccessors) {
    Settings view(std::make_shared<ThrowingAccessor>());
    auto nested_text = [](std::exception_ptr error) {
        return background::testing::message_of(nested_cause(error));
    };
    EXPECT_EQ(nested_text(expect_throw<std::invalid_argument>([&] { (void)static_cast<std::string>(view); },
                                                              "Cast to string failed! Caused by")),
              "string");
    EXPECT_EQ(nested_text(expect_throw<std::invalid_argument>([&] { (void)static_cast<int>(view); },
                                                              "Cast to int failed! Caused by")),
              "int");
    EXPECT_EQ(nested_text(expect_throw<std::invalid_argument>([&] { (void)static_cast<double>(view); },
                                                              "Cast to double failed! Caused by")),
              "double");
    auto plain = expect_throw<std::invalid_argument>([&] { (void)static_cast<bool>(view); }, "bool refused");
    EXPECT_EQ(nested_cause(plain), nullptr);
    expect_throw<std::logic_error>([&] { (void)view.keys(); }, "keys");
}

}  // namespace
