#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "background/PowerLawFlux.hpp"
#include "background/TabulatedFlux.hpp"
#include "fixtures.hpp"
#include "format.hpp"

namespace {

using background::Flux;
using background::PowerLawFlux;
using background::TabulatedFlux;
using background::testing::expect_throw;
using background::testing::TempDir;

constexpr const char* non_positive = "Flux density is only defined for positive energies!";

TEST(PowerLawFlux, DensityAndIntegral) {
    PowerLawFlux flux(-2, 3, 1);  // 3 / E^2
    EXPECT_DOUBLE_EQ(flux.flux_density(10), 0.03);
    EXPECT_DOUBLE_EQ(flux.integrate(1, 2), 1.5);
    // Reversed bounds give the negative integral, equal bounds 0.
    EXPECT_DOUBLE_EQ(flux.integrate(2, 1), -1.5);
    EXPECT_EQ(flux.integrate(5, 5), 0);

    PowerLawFlux scaled(-2.5, 4, 100);  // f_ref at e_ref
    EXPECT_DOUBLE_EQ(scaled.flux_density(100), 4);
    // Against the integral 4 * 100^2.5 * (a^-1.5 - b^-1.5) / 1.5.
    EXPECT_NEAR(scaled.integrate(100, 400), 4 * 100 / 1.5 * (1 - 1 / 8.0), 1e-12);
}

TEST(PowerLawFlux, IndexMinusOneIntegratesTheLogarithm) {
    PowerLawFlux flux(-1, 3, 2);  // 6 / E
    EXPECT_DOUBLE_EQ(flux.integrate(1, std::exp(1.0)), 6);
    // A neighbouring index takes the power formula and agrees closely.
    PowerLawFlux near(-1 + 1e-9, 3, 2);
    EXPECT_NEAR(near.integrate(1, std::exp(1.0)), 6, 1e-6);
}

TEST(PowerLawFlux, RefusesNonPositiveEnergies) {
    PowerLawFlux flux(-2.7, 1, 1);
    expect_throw<std::out_of_range>([&] { flux.flux_density(0); }, non_positive);
    expect_throw<std::out_of_range>([&] { flux.flux_density(-1); }, non_positive);
    expect_throw<std::out_of_range>([&] { flux.integrate(0, 1); }, non_positive);
    expect_throw<std::out_of_range>([&] { flux.integrate(1, -1); }, non_positive);
}

// Energies 1, 2, 4 (doubled 2 makes a step), 8.
constexpr const char* step_table =
    "# energy flux\n"
    "1 10\n"
    "\n"
    "2 20 trailing words\n"
    "2 30\r\n"
    "4 40 5 6\n"
    "not a number\n"
    "  # indented hash is a data line without numbers\n"
    "7\n"
    "8 80\n";

struct DensityCase {
    const char* name;
    bool log;
    double energy;
    double expected;
};
void PrintTo(const DensityCase& c, std::ostream* os) { *os << c.name; }

class TabulatedDensity : public ::testing::TestWithParam<DensityCase> {};

TEST_P(TabulatedDensity, Interpolates) {
    const auto& c = GetParam();
    TempDir dir;
    TabulatedFlux flux(dir.write("table.txt", step_table), c.log, 10);
    EXPECT_DOUBLE_EQ(flux.flux_density(c.energy), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TabulatedDensity,
    ::testing::Values(DensityCase{"first_linear", false, 1, 10}, DensityCase{"first_log", true, 1, 10},
                      DensityCase{"last_linear", false, 8, 80}, DensityCase{"last_log", true, 8, 80},
                      DensityCase{"middle_linear", false, 1.5, 15},
                      DensityCase{"middle_log", true, std::sqrt(2.0), std::sqrt(200.0)},
                      // At the doubled energy the later point holds; below it
                      // the interpolation runs towards the earlier one.
                      DensityCase{"step", false, 2, 30}, DensityCase{"below_step", false, 1.999, 19.99},
                      DensityCase{"above_step", false, 3, 35}, DensityCase{"interior", true, 4, 40},
                      DensityCase{"skipped_lines", false, 6, 60}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TabulatedFlux, RefusesEnergiesOutsideTheTable) {
    TempDir dir;
    TabulatedFlux flux(dir.write("table.txt", step_table), false, 10);
    expect_throw<std::out_of_range>([&] { flux.flux_density(8.000001); },
                                    "Requested energy 8.000001 GeV is out of range 1-8 GeV!");
    expect_throw<std::out_of_range>([&] { flux.flux_density(0.5); },
                                    "Requested energy 0.5 GeV is out of range 1-8 GeV!");
    expect_throw<std::out_of_range>([&] { flux.flux_density(std::numeric_limits<double>::quiet_NaN()); },
                                    "Requested energy nan GeV is out of range 1-8 GeV!");
    expect_throw<std::out_of_range>([&] { flux.integrate(2, 1); },
                                    "Requested energy range 2-1 GeV is out of range 1-8 GeV!");
    expect_throw<std::out_of_range>([&] { flux.integrate(0.5, 2); },
                                    "Requested energy range 0.5-2 GeV is out of range 1-8 GeV!");
    expect_throw<std::out_of_range>([&] { flux.integrate(2, 1e5); },
                                    "Requested energy range 2-1e+05 GeV is out of range 1-8 GeV!");
    // Equal bounds give 0 before any range test.
    EXPECT_EQ(flux.integrate(100, 100), 0);
}

TEST(TabulatedFlux, TrapezoidIntegral) {
    TempDir dir;
    auto table = dir.write("table.txt", "1 1\n2 3\n3 1\n");
    // Nodes on the table points integrate the polygon exactly.
    EXPECT_DOUBLE_EQ(TabulatedFlux(table, false, 2).integrate(1, 3), 4);
    EXPECT_DOUBLE_EQ(TabulatedFlux(table, false, 1000).integrate(1, 3), 4);
    EXPECT_EQ(TabulatedFlux(table, false, 0).integrate(1, 3), 0);
    EXPECT_EQ(TabulatedFlux(table, true, 0).integrate(1, 3), 0);
}

TEST(TabulatedFlux, LogTableOfAPowerLawFollowsIt) {
    TempDir dir;
    PowerLawFlux reference(-2.7, 1.8e4, 1);
    std::string text = "# proton flux\n";
    for (double e : {10.0, 100.0, 1000.0, 1e4, 1e5})
        text += background::format("{} {}\n", e, reference.flux_density(e));
    TabulatedFlux flux(dir.write("table.txt", text), true, 20000);
    for (double e : {15.0, 333.0, 5e4}) EXPECT_NEAR(flux.flux_density(e) / reference.flux_density(e), 1, 1e-12);
    EXPECT_NEAR(flux.integrate(10, 1e5) / reference.integrate(10, 1e5), 1, 1e-6);
    EXPECT_NEAR(flux.integrate(20, 3e4) / reference.integrate(20, 3e4), 1, 1e-6);
}

TEST(TabulatedFlux, OnePointAnswersOnlyAtItsEnergy) {
    TempDir dir;
    TabulatedFlux flux(dir.write("table.txt", "5 7\n"), false, 10);
    EXPECT_EQ(flux.flux_density(5), 7);
    EXPECT_EQ(flux.integrate(5, 5), 0);
    expect_throw<std::out_of_range>([&] { flux.integrate(5, 6); },
                                    "Requested energy range 5-6 GeV is out of range 5-5 GeV!");
}

// The library's ios_base::failure appends its error code's text to what().
void expect_file_failure(const std::filesystem::path& table, const std::string& message) {
    try {
        TabulatedFlux(table, false, 1);
        ADD_FAILURE() << "no exception for " << table;
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
    }
}

TEST(TabulatedFlux, RefusesMissingAndEmptyTables) {
    TempDir dir;
    auto missing = dir.path() / "missing.txt";
    expect_file_failure(missing, "Failed to open file " + missing.string() + "!");
    auto empty = dir.write("empty.txt", "# nothing\n\nenergy flux\n");
    expect_file_failure(empty, "Flux table " + empty.string() + " holds no points!");
}

// A FIFO would block the reader, a device like /dev/zero never ends, and a
// line without end would fill memory: each is refused at once.
TEST(TabulatedFlux, RefusesWhatIsNotAFileOfLines) {
    TempDir dir;
    auto fifo = dir.path() / "fifo.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path zero("/dev/zero");
    auto endless = dir.write("endless.txt", "1 2\n" + std::string(65537, '7'));
    auto nul = dir.path() / std::string("table.txt\0x", 11);
    for (const auto& [table, message] : std::initializer_list<std::pair<std::filesystem::path, std::string>>{
             {fifo, fifo.string() + " is not a regular file!"},
             {zero, "/dev/zero is not a regular file!"},
             {dir.path(), dir.path().string() + " is not a regular file!"},
             {endless, "Line 2 of flux table " + endless.string() + " is longer than 65536 bytes!"},
             {nul, "File name " + dir.path().string() + "/table.txt\\0x holds a NUL character!"},
         })
        expect_file_failure(table, message);
    // A line of the largest length is read.
    TabulatedFlux longest(dir.write("longest.txt", "#" + std::string(65535, '#') + "\n1 2\n"), false, 1);
    EXPECT_EQ(longest.flux_density(1), 2);
}

}  // namespace
