// Entries of the class table of section "fluxes".
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "background/Factory.hpp"
#include "fixtures.hpp"

namespace {

using background::Factory;
using background::Flux;
using background::testing::expect_throw;
using background::testing::TempDir;

TEST(FluxFactory, BuildsBothClasses) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "tables");
    dir.write("tables/flux.txt", "1 10\n3 30\n");
    auto settings = dir.write("settings.yaml",
                              "fluxes:\n"
                              "  power: {class: PowerLawFlux, e_ref: 10, f_ref: 2, index: -2}\n"
                              "  table: {class: TabulatedFlux, integration_steps: 4, log_interpolate: false,"
                              " table: tables/flux.txt}\n"
                              "  negative: {class: TabulatedFlux, integration_steps: -1, log_interpolate: false,"
                              " table: tables/flux.txt}\n");
    Factory<Flux> factory(settings);
    EXPECT_DOUBLE_EQ(factory.create_by_name("power")->flux_density(20), 0.5);
    // The table is found relative to the settings file.
    auto table = factory.create_by_name("table");
    EXPECT_DOUBLE_EQ(table->flux_density(2), 20);
    EXPECT_DOUBLE_EQ(table->integrate(1, 3), 40);
    // Refusals in the library's own words name the instance and the settings file.
    expect_throw<std::invalid_argument>([&] { factory.create_by_name("negative"); },
                                        "integration_steps must not be negative, got -1! (instance negative in " +
                                            settings.string() + ")");
}

}  // namespace
