// An engine replaying a model cache and a time-ordered shower directory, following seeks through the
// time hints of its ordered providers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "background/Background.hpp"
#include "background/CachedModel.hpp"
#include "background/Hook.hpp"
#include "background/MockProvider.hpp"
#include "background/OrderedProvider.hpp"
#include "fixtures.hpp"
#include "format.hpp"

namespace {

using namespace background;
using background::testing::TempDir;
namespace fs = std::filesystem;

constexpr double SPAN = 0.5;

// Showers of a mock provider of 50, whose one p.e. lies uid seconds after the event: 400 events in
// [0 s, 20 s), every other one of the first three showers, 25 per batch, so batch k starts at 1.25 k s.
constexpr const char* REPLAY = R"(
lib:
  provider: ordered
  generator: shower_pe
  model: replay
  num_channels: 1
  start_time: {}
  meta_gen_type: 2
  time_hint_hook: 13076069
providers:
  ordered: {{class: OrderedProvider, path: showers}}
  all: {{class: OrderedProvider, path: all}}
  mock: {{class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0,
          num_showers: 50}}
generators:
  shower_pe: {{class: ProviderGenerator, provider: ordered}}
  mock_pe: {{class: ProviderGenerator, provider: mock}}
  pe: {{class: NPEGenerator, num_pe: 1}}
models:
  replay: {{class: CachedModel, cache_file: showers.evt}}
  dark: {{class: DarkCountModel, gen_type: 1, seed: 3, num_channels: 1, rate: 10.0}}
  showers: {{class: CosmicRayModel, provider: all, flux: protons, warn_invalid: false, e_min: 10.0, e_max: 1000.0,
             theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 2, seed: 7}}
fluxes:
  protons: {{class: PowerLawFlux, index: -2.7, f_ref: 1.0, e_ref: 1.0}}
)";

class Replay : public ::testing::Test {
protected:
    Replay() : source(50, -2.0, 10.0, 1000.0, 100.0, 0.5) {
        for (int i = 0; i < 400; ++i)
            events.push_back({0.05 * i, 2, static_cast<unsigned long>(i % 2 ? i * 7 % 50 : i % 3)});
        CachedModel::write_cache(dir.path() / "showers.evt", events, 0.0, 100.0);
        auto written = events;
        OrderedProvider::order_events(dir.path() / "showers", source, written, 25, false, false, true);
    }
    std::string settings(double start_time, const std::string& name = "settings.yaml") {
        return dir.write(name, format(REPLAY, start_time)).string();
    }
    // Only batch k and those after it can be opened from now on.
    void remove_batches_before(int k) {
        for (int j = 0; j < k; ++j) {
            fs::remove(dir.path() / "showers" / format("OP_DATA_{}.tmio", j));
            fs::remove(dir.path() / "showers" / format("OP_META_{}.tmio", j));
        }
    }
    std::vector<PEList> chunks(Background& engine, int count) {
        std::vector<PEList> out;
        for (int i = 0; i < count; ++i) out.push_back(engine.next_chunk(SPAN));
        return out;
    }

    TempDir dir;
    MockProvider source;
    std::vector<BackgroundEvent> events;
};

TEST_F(Replay, ChunksAfterASeekEqualThoseOfAnEngineStartingThere) {
    Background engine(settings(0.0));
    auto early = chunks(engine, 6);
    ASSERT_FALSE(early[0].empty());
    Background fresh(settings(12.0, "fresh.yaml"));
    // Batch 9 starts at 11.25 s: without the chunk hint the provider would read on into batch 3.
    remove_batches_before(9);
    engine.seek(12.0);
    auto after_seek = chunks(engine, 14);
    EXPECT_EQ(after_seek, chunks(fresh, 14));
    std::size_t pes = 0;
    for (const auto& chunk : after_seek)
        for (const auto& [channel, times] : chunk) pes += times.size();
    EXPECT_GT(pes, 10u);
}

TEST_F(Replay, MetadataAreTheShowersBehindThePEs) {
    Background chunked(settings(12.0));
    Background asked(settings(0.0, "asked.yaml"));
    remove_batches_before(9);
    // The metadata hint moves the engine's own provider to the batch of 12 s.
    const auto showers = asked.generate_metadata(12.0, 13.0);
    ASSERT_EQ(showers.size(), 20u);
    std::vector<double> expected_pes;
    for (std::size_t i = 0; i < showers.size(); ++i) {
        const auto& event = events[240 + i];
        auto expected = source.get_metadata(event.id);
        expected.time = event.time;
        background::testing::expect_same({showers[i]}, {expected});
        if (event.time + event.id <= 13.0) expected_pes.push_back(event.time + event.id);
    }
    ASSERT_GE(expected_pes.size(), 3u);
    const auto chunk = chunked.next_chunk(1.0);
    std::vector<double> pes;
    for (const auto& [channel, times] : chunk) pes.insert(pes.end(), times.begin(), times.end());
    std::ranges::sort(expected_pes);
    EXPECT_EQ(pes, expected_pes);
}

// The ordered provider of a model lives only while the model is built, and
// takes the registration under the hook id with it: the engine then has no
// chunk hint, while its metadata hint is what was registered once its own
// provider stood.
TEST_F(Replay, AModelsOrderedProviderLeavesNoChunkHint) {
    // Every shower of the mock once, so that the model's sample checks pass.
    std::vector<BackgroundEvent> all;
    for (unsigned long uid = 0; uid < 50; ++uid) all.push_back({0.1 * static_cast<double>(uid), 2, uid});
    OrderedProvider::order_events(dir.path() / "all", source, all, 25, false, false, true);
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(13076069, [&](double t) { hints.push_back(t); });
    auto text = std::string(format(REPLAY, 2.0));
    text.replace(text.find("provider: ordered"), 17, "provider: mock");
    text.replace(text.find("generator: shower_pe"), 20, "generator: mock_pe");
    text.replace(text.find("model: replay"), 13, "model: showers");
    Background engine(dir.write("showers.yaml", text).string());
    engine.next_chunk(SPAN);
    EXPECT_TRUE(hints.empty());
    EXPECT_FALSE(engine.generate_metadata(1.0, 2.0).empty());
    EXPECT_EQ(hints, std::vector<double>{1.0});
}

TEST_F(Replay, HintsOfAnEngineThatIsGoneDoNothing) {
    // One engine after another, the second built while the first lives (as a Python name rebound).
    auto first = std::make_unique<Background>(settings(0.0));
    auto second = std::make_unique<Background>(settings(0.0, "second.yaml"));
    const auto expected = chunks(*first, 4);
    first.reset();
    EXPECT_EQ(chunks(*second, 4), expected);
    second->seek(0.0);
    EXPECT_EQ(chunks(*second, 4), expected);

    // An engine without an ordered provider copies the hints of the providers of another engine.
    auto replay = std::make_unique<Background>(settings(0.0, "replay.yaml"));
    const std::string plain = std::string(format(REPLAY, 0.0));
    auto text = plain;
    text.replace(text.find("provider: ordered"), 17, "provider: mock");
    text.replace(text.find("generator: shower_pe"), 20, "generator: pe");
    text.replace(text.find("model: replay"), 13, "model: dark");
    Background borrower(dir.write("borrower.yaml", text).string());
    replay.reset();
    borrower.seek(1.0);
    EXPECT_NO_THROW(borrower.next_chunk(SPAN));
    EXPECT_NO_THROW(borrower.generate_metadata(1.0, 2.0));
}

}  // namespace
