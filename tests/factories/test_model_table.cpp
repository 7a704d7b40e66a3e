// Entries of the class table of section "models".
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "background/CachedModel.hpp"
#include "background/CosmicRayModel.hpp"
#include "background/Factory.hpp"
#include "background/MockProvider.hpp"
#include "background/PowerLawFlux.hpp"
#include "fixtures.hpp"
#include "reference.hpp"
#include "shower_sample.hpp"

namespace {

using namespace background;
using background::testing::expect_same_events;
using background::testing::expect_throw;
using background::testing::ReferenceDarkCounts;
using background::testing::same_events;
using background::testing::TempDir;
using background::testing::Throw;
using background::testing::total_rate;

TEST(ModelFactory, BuildsDarkCountAndGenericModels) {
    TempDir dir;
    Factory<BackgroundModel> factory(dir.write("settings.yaml", R"(
models:
  dark:
    class: DarkCountModel
    gen_type: 2
    seed: -1
    num_channels: 8
    rate: 400.0
  quiet:
    class: DarkCountModel
    gen_type: 5
    seed: 3
    num_channels: 4
    rate: 100.0
  both:
    class: GenericModel
    models:
      dark: ~
      quiet: ~
  incomplete:
    class: DarkCountModel
    gen_type: 2
    seed: 1
    num_channels: 8
  negative:
    class: DarkCountModel
    gen_type: 2
    seed: 1
    num_channels: -2
    rate: 1.0
  nothing:
    class: GenericModel
)"));
    // A seed of -1 is sign-extended to 2^64 - 1.
    ReferenceDarkCounts dark(400.0, 8, 18446744073709551615ul, 2);
    expect_same_events(factory.create_by_name("dark")->sample(0.0, 0.5), dark.sample(0.0, 0.5));

    ReferenceDarkCounts dark_again(400.0, 8, 18446744073709551615ul, 2), quiet(100.0, 4, 3, 5);
    auto expected = dark_again.sample(1.0, 2.0);
    auto quiet_events = quiet.sample(1.0, 2.0);
    std::vector<BackgroundEvent> merged;
    std::ranges::merge(expected, quiet_events, std::back_inserter(merged), {}, &BackgroundEvent::time,
                       &BackgroundEvent::time);
    expect_same_events(factory.create_by_name("both")->sample(1.0, 2.0), merged);

    expect_throw<std::out_of_range>([&] { factory.create_by_name("incomplete"); }, "Key rate not found!");
    expect_throw<std::out_of_range>([&] { factory.create_by_name("nothing"); }, "Key models not found!");
    // The factory names the instance and the file of a value it refuses.
    expect_throw<std::invalid_argument>([&] { factory.create_by_name("negative"); },
                                        "num_channels must not be negative, got -2! (instance negative in " +
                                            (dir.path() / "settings.yaml").string() + ")");
}

const std::filesystem::path example = std::filesystem::path(BACKGROUND_SOURCE_DIR) / "examples" / "background.yaml";

// Events per second of a model over a long stretch, and the ids it drew.
std::pair<double, std::set<unsigned long>> event_rate(background::BackgroundModel& model, double seconds) {
    auto events = model.sample(0, seconds);
    std::set<unsigned long> ids;
    for (const auto& e : events) ids.insert(e.id);
    return {static_cast<double>(events.size()) / seconds, ids};
}

TEST(CosmicRayFactory, ExampleModelsRunAtTheirFluxRates) {
    background::Factory<background::BackgroundModel> models(example);
    Throw t{-2, 1e3, 1e6, 100, 0.5};
    PowerLawFlux protons(-2.7, 18000, 1);
    double expected = total_rate(protons, t);  // about 2000 per second
    auto [rate, ids] = event_rate(*models.create_by_name("showers"), 200);
    EXPECT_NEAR(rate, expected, 5 * std::sqrt(expected / 200));
    EXPECT_LT(*ids.rbegin(), 10000u);
    // The table holds the same spectrum below the knee.
    auto [table_rate, table_ids] = event_rate(*models.create_by_name("showers_from_table"), 200);
    EXPECT_NEAR(table_rate, expected, 5 * std::sqrt(expected / 200) + 0.001 * expected);
}

// Models over 500 mock showers: one seeded with -1, one with a negative flux.
constexpr const char* mock_showers = R"(
providers:
  mock: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 500}
fluxes:
  flat: {class: PowerLawFlux, e_ref: 1.0, f_ref: 1.0, index: -2.0}
  negative: {class: PowerLawFlux, e_ref: 1.0, f_ref: -1.0, index: -2.0}
models:
  showers: {class: CosmicRayModel, provider: mock, flux: flat, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
            theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 9, seed: -1}
  refused: {class: CosmicRayModel, provider: mock, flux: negative, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
            theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 9, seed: 1}
  misthrown: {class: CosmicRayModel, provider: mock, flux: flat, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
              theta_max: 0.5, r_max: 100.0, throw_index: -1.0, gen_type: 9, seed: 1}
  misthrown_warned: {class: CosmicRayModel, provider: mock, flux: flat, warn_invalid: true, e_max: 1000.0,
                     e_min: 10.0, theta_max: 0.5, r_max: 100.0, throw_index: -1.0, gen_type: 9, seed: 1}
)";

TEST(CosmicRayFactory, SeedMinusOneIsTheLargestSeed) {
    background::testing::TempDir dir;
    auto settings = dir.write("settings.yaml", mock_showers);
    auto built = background::Factory<background::BackgroundModel>(settings).create_by_name("showers");
    background::MockProvider mock(500, -2, 10, 1000, 100, 0.5);
    PowerLawFlux flat(-2, 1, 1);
    CosmicRayModel direct(mock, flat, 18446744073709551615UL, 9, -2, 100, 0.5, 10, 1000, false);
    for (double begin : {0.0, 1.0, 2.0}) {
        auto a = built->sample(begin, begin + 1), b = direct.sample(begin, begin + 1);
        ASSERT_FALSE(a.empty());
        EXPECT_TRUE(same_events(a, b));
    }
}

// The mock sample is thrown as E^-2, the models state E^-1.
TEST(CosmicRayFactory, WarnInvalidTurnsAFailedDistributionCheckIntoAWarning) {
    background::testing::TempDir dir;
    background::Factory<background::BackgroundModel> models(dir.write("settings.yaml", mock_showers));
    expect_throw<std::invalid_argument>([&] { models.create_by_name("misthrown"); },
                                        "Energy distribution does not follow E^-1!");
    ::testing::internal::CaptureStderr();
    auto built = models.create_by_name("misthrown_warned");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[WARNING] Energy distribution does not follow E^-1!\n");
    EXPECT_FALSE(built->sample(0, 1).empty());
}

TEST(CosmicRayFactory, RefusalNamesTheFluxAndTheInstance) {
    background::testing::TempDir dir;
    auto settings = dir.write("settings.yaml", mock_showers);
    background::Factory<background::BackgroundModel> models(settings);
    try {
        models.create_by_name("refused");
        ADD_FAILURE() << "built";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("The integral of flux negative from 10 to 1000 GeV is -0.09", 0), 0u) << message;
        EXPECT_TRUE(message.ends_with("; it must be finite and positive! (instance refused in " + settings.string() +
                                      ")"))
            << message;
    }
}

TEST(ModelFactory, BuildsCachedModelsFromFilesNamedBesideTheSettings) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "caches");
    const std::vector<BackgroundEvent> events = {{0.5, 3, 1}, {1.5, 3, 2}, {2.5, 3, 3}};
    CachedModel::write_cache(dir.path() / "caches" / "run.evt", events, 0.0, 3.0);
    const auto absolute = dir.path() / "caches" / "run.evt";
    Factory<BackgroundModel> factory(dir.write("settings.yaml", R"(
models:
  relative: {class: CachedModel, cache_file: caches/run.evt}
  dotted: {class: CachedModel, cache_file: ./caches/../caches/run.evt}
  absolute: {class: CachedModel, cache_file: )" + absolute.string() + R"(}
  missing: {class: CachedModel, cache_file: caches/none.evt}
  unnamed: {class: CachedModel}
  both:
    class: GenericModel
    models: {relative: ~, absolute: ~}
)"));
    // Relative names are taken in the settings file's directory, whatever the working directory.
    for (const char* name : {"relative", "dotted", "absolute"})
        expect_same_events(factory.create_by_name(name)->sample(1.0, 3.0), {events[1], events[2]});
    expect_same_events(factory.create_by_name("both")->sample(0.0, 1.0), {events[0], events[0]});
    expect_throw<std::ios_base::failure>([&] { factory.create_by_name("missing"); },
                                         background::testing::io_failure(
                                             "Failed to open file " + (dir.path() / "caches" / "none.evt").generic_string() +
                                             "!\nImplementation reports: connection error"));
    expect_throw<std::out_of_range>([&] { factory.create_by_name("unnamed"); }, "Key cache_file not found!");
}

}  // namespace
