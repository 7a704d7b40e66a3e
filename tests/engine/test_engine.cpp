#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>

#include "background/Background.hpp"
#include "background/Factory.hpp"
#include "background/CachedModel.hpp"
#include "background/Hook.hpp"
#include "background/MockProvider.hpp"
#include "fixtures.hpp"
#include "format.hpp"
#include "reference.hpp"

namespace {

using namespace background;
using background::testing::expect_throw;
using background::testing::reference_chunk;
using background::testing::ReferenceDarkCounts;
using background::testing::TempDir;

constexpr int HINT_ID = 4242;

// "mock" serves 50 showers whose p.e. sits uid seconds after the event, so
// "late" (ids 0..19 as uids) makes p.e.s that carry over many chunks.
constexpr const char* instances = R"(
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -2.0
    num_showers: 50
  # Serves only uids 0..9 of the 20 that "late" draws.
  few:
    class: MockProvider
    theta_max: 0.5
    r_max: 100.0
    e_max: 1000.0
    e_min: 10.0
    index: -2.0
    num_showers: 10
generators:
  pe:
    class: NPEGenerator
    num_pe: 1
  shower_pe:
    class: ProviderGenerator
    provider: mock
  by_type:
    class: GenericGenerator
    generators:
      pe: 1
      shower_pe: 2
  pe3:
    class: NPEGenerator
    num_pe: 3
  pe3_by_type:
    class: GenericGenerator
    generators:
      pe3: 1
  neg:
    class: NPEGenerator
    num_pe: -1
  neg_by_type:
    class: GenericGenerator
    generators:
      neg: 1
      shower_pe: 2
  # Delays of a few ms put afterpulses behind later events' p.e.s and into
  # later chunks.
  after:
    class: AfterpulseGenerator
    base_generator: by_type
    probability: 0.3
    delay_mean: 0.004
    delay_var: 1.0e-6
    num_pe_mean: 2.0
    seed: 9
models:
  dark:
    class: DarkCountModel
    gen_type: 1
    seed: 17
    num_channels: 8
    rate: 2000.0
  dark6:
    class: DarkCountModel
    gen_type: 1
    seed: 17
    num_channels: 6
    rate: 2000.0
  late:
    class: DarkCountModel
    gen_type: 2
    seed: 5
    num_channels: 20
    rate: 50.0
  mixed:
    class: GenericModel
    models:
      dark: ~
      late: ~
  wrapped:
    class: GenericModel
    models:
      dark: ~
  # At 1e6 s a span of 1e-9 s holds only a few doubles: equal times abound.
  tied:
    class: DarkCountModel
    gen_type: 1
    seed: 3
    num_channels: 8
    rate: 2.0e10
  cached:
    class: CachedModel
    cache_file: cache.evt
)";

std::string lib(const std::string& generator, const std::string& model, int channels, const std::string& extra = "") {
    return "lib:\n  provider: mock\n  generator: " + generator + "\n  model: " + model +
           "\n  num_channels: " + std::to_string(channels) + "\n  start_time: 0.0\n  meta_gen_type: 2\n" + extra;
}

const std::string hinted = "  time_hint_hook: " + std::to_string(HINT_ID) + "\n";

class Engine : public ::testing::Test {
protected:
    std::string settings(const std::string& lib_section) {
        return dir.write("settings.yaml", lib_section + instances).string();
    }
    TempDir dir;
};

// The chunks of lib(shower_pe, late, 1): one p.e. per event on channel 0 at
// event time + id, kept until a chunk end reaches it.
class CarryReference {
public:
    PEList chunk(double span) {
        const double begin = next, end = begin + span;
        next = end;
        for (const auto& event : model.sample(begin, end))
            pending.push_back(static_cast<double>(event.id) + event.time);
        std::ranges::sort(pending);
        const auto split = std::ranges::upper_bound(pending, end);
        std::vector<double> out(pending.begin(), split);
        pending.erase(pending.begin(), split);
        return out.empty() ? PEList{} : PEList{{0, out}};
    }
    void seek(double time) {
        next = time;
        pending.clear();
    }
    ReferenceDarkCounts model{50.0, 20, 5, 2};
    std::vector<double> pending;
    double next = 0.0;
};

void expect_well_formed(const PEList& chunk, int channels) {
    int previous = -1;
    for (const auto& [channel, times] : chunk) {
        EXPECT_GT(channel, previous);
        EXPECT_LT(channel, channels);
        EXPECT_FALSE(times.empty());
        EXPECT_TRUE(std::ranges::is_sorted(times));
        previous = channel;
    }
}

TEST_F(Engine, DarkCountChunksMatchPlainReferenceAndRepeat) {
    const auto file = settings(lib("pe", "dark", 8));
    Background engine(file), twin(file);
    ReferenceDarkCounts reference(2000.0, 8, 17, 1);
    double begin = 0.0;
    for (int chunk = 0; chunk < 30; ++chunk) {
        const double end = begin + 0.01;
        const auto got = engine.next_chunk(0.01);
        ASSERT_EQ(got, reference_chunk(reference.sample(begin, end), 8)) << chunk;
        ASSERT_EQ(got, twin.next_chunk(0.01)) << chunk;
        expect_well_formed(got, 8);
        begin = end;
    }
}

// Every composition, the fast ones included, against the plain engine: the
// same chunks bit for bit through carry-over, seeks and equal times.
TEST_F(Engine, ChunksMatchThePlainEngineBitForBit) {
    struct Case {
        std::string generator, model;
        int channels;
        double start;
        // A span for each chunk; NaN stands for a seek to the next value.
        std::vector<double> script;
    };
    const double seek = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> spans{0.01, 0.01, 0.003, 0.0, 0.02, seek, 0.5, 0.01, 0.01, seek, 0.2, 0.004, 0.01};
    const std::vector<double> tiny{1e-9, 1e-9, 0.0, 3e-9, seek, 1e6 + 1e-8, 1e-9, 2e-9};
    const std::vector<Case> cases{
        {"pe", "dark", 8, 0.0, spans},
        {"pe", "dark", 11, 0.0, spans},
        {"pe3", "dark", 8, 0.0, spans},
        {"pe3_by_type", "wrapped", 8, 0.0, spans},
        {"after", "dark", 8, 0.0, spans},
        {"after", "mixed", 20, 0.0, spans},
        {"by_type", "mixed", 20, 0.0, spans},
        {"pe", "tied", 8, 1e6, tiny},
        {"pe3", "tied", 8, 1e6, tiny},
        {"after", "tied", 8, 1e6, tiny},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.generator + " " + c.model + " " + std::to_string(c.channels));
        std::string text = lib(c.generator, c.model, c.channels);
        text.replace(text.find("start_time: 0.0"), 15, "start_time: " + background::format("{}", c.start));
        const auto file = settings(text);
        Background engine(file);
        background::testing::ReferenceEngine reference(Factory<EventGenerator>(file).create_by_name(c.generator),
                                           Factory<BackgroundModel>(file).create_by_name(c.model),
                                           static_cast<std::size_t>(c.channels), c.start);
        std::size_t carried = 0, chunks = 0;
        for (std::size_t i = 0; i < c.script.size(); ++i) {
            if (std::isnan(c.script[i])) {
                engine.seek(c.script[i + 1]);
                reference.seek(c.script[++i]);
                continue;
            }
            const auto chunk = engine.next_chunk(c.script[i]);
            ASSERT_TRUE(background::testing::same_bits(chunk, reference.next_chunk(c.script[i]))) << "chunk " << chunks;
            expect_well_formed(chunk, c.channels);
            for (const auto& list : reference.lists) {
                if (!list.runs.empty()) carried += list.runs.front().size();
            }
            ++chunks;
        }
        if (c.generator == "after" || c.model == "mixed") {
            EXPECT_GT(carried, 0u);
        }
    }
}

TEST_F(Engine, LaterPEsCarryOverThroughAnySpans) {
    Background engine(settings(lib("shower_pe", "late", 1)));
    CarryReference reference;
    int carried = 0;
    for (double span : {0.5, 0.5, 0.0, 1.5, 0.7, 0.0, 2.0, 0.25, 3.0, 0.5, 0.5, 5.0, 10.0, 20.0}) {
        SCOPED_TRACE(span);
        ASSERT_EQ(engine.next_chunk(span), reference.chunk(span));
        carried += !reference.pending.empty();
    }
    EXPECT_GT(carried, 10);
}

TEST_F(Engine, PEAtExactlyTheChunkEndLeavesWithTheChunk) {
    // A p.e. of an id-1 event of the first chunk lies at P = t + 1 in [1, 2),
    // so the second chunk can be made to end exactly at it, or just before.
    ReferenceDarkCounts model(50.0, 20, 5, 2);
    const auto first = model.sample(0.0, 1.0);
    const auto event = std::ranges::find(first, 1ul, &BackgroundEvent::id);
    ASSERT_NE(event, first.end());
    const double pe = 1.0 + event->time;

    for (bool exact : {true, false}) {
        SCOPED_TRACE(exact);
        Background engine(settings(lib("shower_pe", "late", 1)));
        CarryReference reference;
        const double end = exact ? pe : std::nextafter(pe, 0.0);
        const double span = end - 1.0;
        ASSERT_EQ(1.0 + span, end);
        ASSERT_EQ(engine.next_chunk(1.0), reference.chunk(1.0));
        const auto chunk = engine.next_chunk(span);
        ASSERT_EQ(chunk, reference.chunk(span));
        ASSERT_EQ(engine.next_chunk(1.0), reference.chunk(1.0));
        const bool included = !chunk.empty() && std::ranges::binary_search(chunk.front().second, pe);
        EXPECT_EQ(included, exact);
    }
}

TEST_F(Engine, SeekDropsCarriedPEsAndCallsTheChunkHintOnce) {
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double t) { hints.push_back(t); });
    Background engine(settings(lib("shower_pe", "late", 1, hinted)));
    CarryReference reference;
    EXPECT_TRUE(hints.empty());

    ASSERT_EQ(engine.next_chunk(2.0), reference.chunk(2.0));
    EXPECT_EQ(hints, std::vector<double>{0.0});
    ASSERT_EQ(engine.next_chunk(2.0), reference.chunk(2.0));
    ASSERT_FALSE(reference.pending.empty());

    // Backwards, twice: only the last seek counts.
    engine.seek(50.0);
    engine.seek(1.0);
    reference.seek(1.0);
    for (double span : {0.5, 3.0}) ASSERT_EQ(engine.next_chunk(span), reference.chunk(span));
    EXPECT_EQ(hints, (std::vector<double>{0.0, 1.0}));
}

TEST_F(Engine, FailingChunkHintLeavesNothingFromBeforeTheSeek) {
    bool fail = false;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double) {
        if (fail) throw std::runtime_error("hint failed");
    });
    Background engine(settings(lib("shower_pe", "late", 1, hinted)));
    CarryReference reference;
    ASSERT_EQ(engine.next_chunk(3.0), reference.chunk(3.0));
    ASSERT_FALSE(reference.pending.empty());

    engine.seek(10.0);
    fail = true;
    expect_throw<std::runtime_error>([&] { engine.next_chunk(1.0); }, "hint failed");
    fail = false;
    // The failed chunk drew its events but generated none of them.
    reference.seek(10.0);
    reference.model.sample(10.0, 11.0);
    reference.next = 11.0;
    for (double span : {0.5, 30.0}) ASSERT_EQ(engine.next_chunk(span), reference.chunk(span));
}

// Dark counts alone are drawn channel by channel; a chunk that fails still
// takes the draws that sampling the model would have taken, and one whose
// interval the model refuses takes none and changes nothing.
TEST_F(Engine, DarkCountChunksThatFailKeepTheRandomStream) {
    bool fail = false;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double) {
        if (fail) throw std::runtime_error("hint failed");
    });
    Background engine(settings(lib("pe", "dark", 8, hinted)));
    ReferenceDarkCounts reference(2000.0, 8, 17, 1);
    ASSERT_EQ(engine.next_chunk(0.01), reference_chunk(reference.sample(0.0, 0.01), 8));

    engine.seek(1.0);
    fail = true;
    expect_throw<std::runtime_error>([&] { engine.next_chunk(0.01); }, "hint failed");
    fail = false;
    reference.sample(1.0, 1.01);
    expect_throw<std::invalid_argument>([&] { engine.next_chunk(1e9); },
                                        "Poisson mean 2e+12 is too large to draw a count (at most 1073741824)!");
    engine.seek(2.0);
    ASSERT_EQ(engine.next_chunk(0.01), reference_chunk(reference.sample(2.0, 2.01), 8));
}

// Whatever makes a chunk fail, the next one starts at the failed one's end.
// The seek before it is consumed once the model has been sampled: a refused
// interval leaves it pending, a failing hint or generator does not. Held for
// dark counts alone (drawn channel by channel), generated entries and both.
TEST_F(Engine, FailedChunkMovesTheStartAndSettlesTheSeek) {
    enum Failure { refused, hint, channel };
    struct Case {
        std::string generator, model;
        int channels;
        Failure failure;
    };
    std::vector<Case> cases;
    for (const auto& [generator, model, channels] : std::vector<std::tuple<std::string, std::string, int>>{
             {"pe", "dark", 8}, {"after", "dark", 8}, {"by_type", "mixed", 20}}) {
        cases.push_back({generator, model, channels, refused});
        cases.push_back({generator, model, channels, hint});
        // Dark counts on channels 5 to 7 lie outside; "pe" then takes no
        // shortcut either.
        cases.push_back({generator, model, 5, channel});
    }
    bool fail = false;
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double t) {
        hints.push_back(t);
        if (fail) throw std::runtime_error("hint failed");
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.generator + " " + c.model + " " + std::to_string(c.channels) + " failure " +
                     std::to_string(c.failure));
        Background engine(settings(lib(c.generator, c.model, c.channels, hinted)));
        hints.clear();
        // Replaces the start time's seek.
        engine.seek(5.0);
        const double span = c.failure == refused ? 1e9 : 1.0, end = 5.0 + span;
        fail = c.failure == hint;
        if (c.failure == refused)
            EXPECT_THROW(engine.next_chunk(span), std::invalid_argument);
        else if (c.failure == hint)
            EXPECT_THROW(engine.next_chunk(span), std::runtime_error);
        else
            EXPECT_THROW(engine.next_chunk(span), std::out_of_range);
        fail = false;
        const std::vector<double> seen = c.failure == refused ? std::vector<double>{} : std::vector<double>{5.0};
        EXPECT_EQ(hints, seen);
        // Out-of-array channels would fail again: a span of 0 takes only
        // what the failed chunk inserted before its failure.
        const double next_span = c.failure == channel ? 0.0 : 0.01;
        const auto chunk = engine.next_chunk(next_span);
        EXPECT_EQ(hints, c.failure == refused ? std::vector<double>{end} : seen);
        double latest = -1.0;
        for (const auto& [ch, times] : chunk) latest = std::max(latest, times.back());
        EXPECT_GT(latest, 5.0 + next_span);
        EXPECT_LE(latest, end + next_span);
    }
}

// Entries go straight in for "pe" and through generate() for "after"; either
// way an entry outside the lists fails, and the runs inserted before it come
// out with later chunks.
TEST_F(Engine, ChannelOutsideTheArrayFailsAndEarlierRunsStayPending) {
    // The low 32 bits of an id are the channel: 0xffffffff is channel -1.
    CachedModel::write_cache(dir.path() / "cache.evt", {{0.001, 1, 2}, {0.002, 1, 0xfffffffful}, {0.003, 1, 3}}, 0.0,
                             1.0);
    struct Case {
        std::string generator, model;
        int channels, bad;
    };
    for (const auto& c : std::vector<Case>{
             {"pe", "dark6", 5, 5}, {"after", "dark6", 5, 5}, {"pe", "cached", 8, -1}, {"after", "cached", 8, -1}}) {
        SCOPED_TRACE(c.generator + " " + c.model);
        const auto file = settings(lib(c.generator, c.model, c.channels));
        Background engine(file);
        background::testing::ReferenceEngine reference(Factory<EventGenerator>(file).create_by_name(c.generator),
                                                       Factory<BackgroundModel>(file).create_by_name(c.model),
                                                       static_cast<std::size_t>(c.channels), 0.0);
        const auto message =
            background::format("Generated data for channel {}, but only {} channels in array!", c.bad, c.channels);
        expect_throw<std::out_of_range>([&] { engine.next_chunk(0.01); }, message);
        EXPECT_THROW(reference.next_chunk(0.01), std::out_of_range);
        // The chunk's start moved on; a chunk of span 0 returns what was
        // inserted before the failing entry.
        const auto pending = engine.next_chunk(0.0);
        EXPECT_FALSE(pending.empty());
        EXPECT_TRUE(background::testing::same_bits(pending, reference.next_chunk(0.0)));
    }
}

// The engine makes an NPEGenerator's p.e.s itself where it can, also inside
// GenericGenerators and for dark counts alone; the generator's refusals hold
// all the same.
TEST_F(Engine, GeneratorRefusalsHoldWhereTheEngineMakesThePEs) {
    struct Case {
        std::string generator, model;
        int channels;
        bool negative_count;
    };
    for (const auto& c : std::vector<Case>{{"neg", "dark", 8, true},
                                           {"neg_by_type", "mixed", 20, true},
                                           {"pe3_by_type", "late", 20, false},
                                           {"pe3_by_type", "mixed", 20, false}}) {
        SCOPED_TRACE(c.generator + " " + c.model);
        Background engine(settings(lib(c.generator, c.model, c.channels)));
        if (c.negative_count)
            EXPECT_THROW(engine.next_chunk(0.01), std::length_error);
        else
            expect_throw<std::out_of_range>([&] { engine.next_chunk(0.01); }, "No generator with type 2 available!");
    }
}

TEST_F(Engine, NoChannels) {
    auto events = ReferenceDarkCounts(2000.0, 8, 17, 1).sample(0.0, 0.01);
    Background engine(settings(lib("pe", "dark", 0)));
    expect_throw<std::out_of_range>(
        [&] { engine.next_chunk(0.01); },
        "Generated data for channel " + std::to_string(events.front().id) + ", but only 0 channels in array!");
    // Without events a chunk is empty.
    EXPECT_TRUE(engine.next_chunk(0.0).empty());
}

TEST_F(Engine, RefusedIntervalKeepsListsAndMovesTheStart) {
    Background engine(settings(lib("shower_pe", "late", 1)));
    CarryReference reference;
    ASSERT_EQ(engine.next_chunk(2.0), reference.chunk(2.0));
    expect_throw<std::invalid_argument>([&] { engine.next_chunk(1e9); },
                                        "Poisson mean 5e+10 is too large to draw a count (at most 1073741824)!");
    // Everything pending comes out with the next chunk, which starts at 2 + 1e9.
    auto chunk = engine.next_chunk(0.5);
    ASSERT_FALSE(chunk.empty());
    auto& times = chunk.front().second;
    EXPECT_TRUE(std::ranges::equal(times.begin(), times.begin() + reference.pending.size(), reference.pending.begin(),
                                   reference.pending.end()));
    EXPECT_TRUE(std::all_of(times.begin() + reference.pending.size(), times.end(), [](double t) { return t >= 2 + 1e9; }));
}

TEST_F(Engine, HostileTimesAreRefusedWithoutChangingState) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const auto file = settings(lib("shower_pe", "late", 1));
    // (call, start of the next chunk when it is made, message)
    const std::vector<std::tuple<std::function<void(Background&)>, double, std::string>> cases{
        {[&](Background& e) { e.next_chunk(nan); }, 3.0, "Time span must be finite!"},
        {[&](Background& e) { e.next_chunk(inf); }, 3.0, "Time span must be finite!"},
        {[&](Background& e) { e.next_chunk(-inf); }, 3.0, "Time span must be finite!"},
        {[&](Background& e) { e.next_chunk(1e308); }, 1.7e308, "Chunk end must be finite!"},
        // Time must not run backwards, nor stand still for a span that is
        // lost in rounding at a late start.
        {[&](Background& e) { e.next_chunk(-0.3); }, 3.0, "Time span must not be negative, got -0.3!"},
        {[&](Background& e) { e.next_chunk(-0.0 - 5e-324); }, 3.0, "Time span must not be negative, got -5e-324!"},
        {[&](Background& e) { e.next_chunk(1e-300); }, 3.0,
         "Time span 1e-300 is too small to move the chunk end beyond 3!"},
        {[&](Background& e) { e.seek(nan); }, 3.0, "Seek time must be finite!"},
        {[&](Background& e) { e.seek(-inf); }, 3.0, "Seek time must be finite!"},
        {[&](Background& e) { e.generate_metadata(nan, 1.0); }, 3.0, "Interval bounds must be finite!"},
        {[&](Background& e) { e.generate_metadata(0.0, inf); }, 3.0, "Interval bounds must be finite!"},
    };
    for (const auto& [call, start, message] : cases) {
        SCOPED_TRACE(message);
        Background engine(file), untouched(file);
        for (auto* e : {&engine, &untouched}) {
            e->next_chunk(2.0);
            e->seek(start);
        }
        expect_throw<std::invalid_argument>([&, &call = call] { call(engine); }, message);
        // Both go on alike, refusing alike where the start is too late for a span.
        auto outcome = [](Background& e, double span) -> std::variant<PEList, std::string> {
            try {
                return e.next_chunk(span);
            } catch (const std::invalid_argument& refused) {
                return refused.what();
            }
        };
        for (double span : {0.5, 4.0}) ASSERT_EQ(outcome(engine, span), outcome(untouched, span));
    }
}

// At a late start a short span would leave the chunk end where it is, and
// every later chunk would be the same empty one.
TEST_F(Engine, LateStartRefusesSpansLostInRounding) {
    Background engine(settings(lib("pe", "dark", 8)));
    for (double start : {1e17, 1e308}) {
        SCOPED_TRACE(start);
        engine.seek(start);
        expect_throw<std::invalid_argument>(
            [&] { engine.next_chunk(1.0); },
            "Time span 1 is too small to move the chunk end beyond " + (start == 1e17 ? std::string("1e+17") : "1e+308") + "!");
        // A span of 0 still asks for what is pending.
        EXPECT_TRUE(engine.next_chunk(0.0).empty());
    }
    engine.seek(1e17);
    // Spans that move the end go on as usual; the ulp of 1e17 is 16.
    EXPECT_FALSE(engine.next_chunk(64.0).empty());
    EXPECT_FALSE(engine.next_chunk(64.0).empty());
}

TEST_F(Engine, MetadataOfShowerEventsAndTheModelMovesOn) {
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double t) { hints.push_back(t); });
    Background engine(settings(lib("by_type", "mixed", 8, hinted)));
    ReferenceDarkCounts dark(2000.0, 8, 17, 1), late(50.0, 20, 5, 2);
    MockProvider provider(50, -2.0, 10.0, 1000.0, 100.0, 0.5);

    const auto records = engine.generate_metadata(3.0, 4.0);
    dark.sample(3.0, 4.0);
    std::vector<std::tuple<unsigned long, double, double>> expected, got;
    for (const auto& event : late.sample(3.0, 4.0))
        expected.emplace_back(event.id, provider.get_metadata(event.id).energy, event.time);
    for (const auto& r : records) got.emplace_back(r.uid, r.energy, r.time);
    EXPECT_EQ(got, expected);
    EXPECT_GT(got.size(), 20u);
    EXPECT_EQ(hints, std::vector<double>{3.0});

    // The next chunk still starts at 0 (and calls the chunk hint there), but
    // both members have drawn on.
    const auto chunk = engine.next_chunk(0.01);
    EXPECT_EQ(hints, (std::vector<double>{3.0, 0.0}));
    auto events = dark.sample(0.0, 0.01);
    for (const auto& event : late.sample(0.0, 0.01)) ASSERT_GT(event.id + event.time, 0.01);
    EXPECT_EQ(chunk, reference_chunk(events, 8));
}

TEST_F(Engine, MetadataWithoutShowerEventsStillCallsTheHint) {
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double t) { hints.push_back(t); });
    Background engine(settings(lib("pe", "dark", 8, hinted)));
    EXPECT_TRUE(engine.generate_metadata(5.0, 6.0).empty());
    EXPECT_EQ(hints, std::vector<double>{5.0});
}

// Each engine reads its own "meta_gen_type": the records are those of the
// events of that type, in event order, at the events' times.
TEST_F(Engine, MetadataOfTheTypeEachEngineNames) {
    ReferenceDarkCounts dark(2000.0, 8, 17, 1), late(50.0, 20, 5, 2);
    auto as_records = [](const std::vector<BackgroundEvent>& events) {
        std::vector<std::pair<unsigned long, double>> records;
        for (const auto& event : events) records.emplace_back(event.id, event.time);
        return records;
    };
    const std::map<int, std::vector<std::pair<unsigned long, double>>> expected{
        {1, as_records(dark.sample(3.0, 4.0))}, {2, as_records(late.sample(3.0, 4.0))}, {3, {}}};
    std::vector<std::pair<int, std::unique_ptr<Background>>> engines;
    for (int type : {2, 1, 3}) {
        std::string text = lib("by_type", "mixed", 20);
        text.replace(text.find("meta_gen_type: 2"), 16, "meta_gen_type: " + std::to_string(type));
        const auto file = dir.write("type" + std::to_string(type) + ".yaml", text + instances);
        engines.emplace_back(type, std::make_unique<Background>(file.string()));
    }
    for (const auto& [type, engine] : engines) {
        SCOPED_TRACE(type);
        std::vector<std::pair<unsigned long, double>> got;
        for (const auto& record : engine->generate_metadata(3.0, 4.0)) got.emplace_back(record.uid, record.time);
        EXPECT_EQ(got, expected.at(type));
    }
}

// generate_metadata samples the model, reads "meta_gen_type", calls the
// metadata hint with the interval's begin and fetches the records, in this
// order. Whether it succeeds or fails at any step, the next chunk's start, a
// pending seek and the carried-over p.e.s stay as they were.
TEST_F(Engine, MetadataLeavesTheChunksAlone) {
    struct Case {
        std::string name, provider;
        bool with_type;
        double end;
        bool throws, hinted, drawn;
    };
    const std::vector<Case> cases{
        {"served", "mock", true, 4.0, false, true, true},
        {"not served", "few", true, 4.0, true, true, true},
        {"without meta_gen_type", "mock", false, 4.0, true, false, true},
        {"refused interval", "mock", true, 1e9, true, false, false},
    };
    std::vector<double> hints;
    auto handle = Hook::set<std::function<void(double)>>(HINT_ID, [&](double t) { hints.push_back(t); });
    for (const auto& c : cases) {
        for (bool seek : {false, true}) {
            SCOPED_TRACE(c.name + (seek ? " after a seek" : ""));
            std::string text = lib("shower_pe", "late", 1, hinted);
            text.replace(text.find("provider: mock"), 14, "provider: " + c.provider);
            if (!c.with_type) text.erase(text.find("  meta_gen_type"), 19);
            Background engine(settings(text));
            CarryReference reference;
            ASSERT_EQ(engine.next_chunk(3.0), reference.chunk(3.0));
            ASSERT_FALSE(reference.pending.empty());
            if (seek) {
                engine.seek(1.0);
                reference.seek(1.0);
            }
            hints.clear();
            bool threw = false;
            try {
                EXPECT_FALSE(engine.generate_metadata(3.0, c.end).empty());
            } catch (const std::exception&) {
                threw = true;
            }
            EXPECT_EQ(threw, c.throws);
            const auto hinted_here = c.hinted ? std::vector<double>{3.0} : std::vector<double>{};
            EXPECT_EQ(hints, hinted_here);
            if (c.drawn) reference.model.sample(3.0, c.end);
            for (double span : {0.5, 30.0}) ASSERT_EQ(engine.next_chunk(span), reference.chunk(span));
            auto expected_hints = hinted_here;
            if (seek) expected_hints.push_back(1.0);
            EXPECT_EQ(hints, expected_hints);
        }
    }
}

TEST_F(Engine, MissingMetaGenTypeFailsAfterSampling) {
    std::string text = lib("pe", "dark", 8);
    text.erase(text.find("  meta_gen_type"));
    Background engine(settings(text));
    expect_throw<std::out_of_range>([&] { engine.generate_metadata(0.0, 1.0); }, "Key meta_gen_type not found!");
    ReferenceDarkCounts reference(2000.0, 8, 17, 1);
    reference.sample(0.0, 1.0);
    EXPECT_EQ(engine.next_chunk(0.01), reference_chunk(reference.sample(0.0, 0.01), 8));
}

TEST_F(Engine, HintsAreOptional) {
    // Key absent, not an int, unregistered id, another callable type: no hint.
    auto other = Hook::set<std::function<void(int)>>(HINT_ID + 1, [](int) { FAIL(); });
    for (const std::string& extra : std::vector<std::string>{"", "  time_hint_hook: soon\n", "  time_hint_hook: 99\n",
                                    "  time_hint_hook: " + std::to_string(HINT_ID + 1) + "\n"}) {
        Background engine(settings(lib("pe", "dark", 8, extra)));
        EXPECT_FALSE(engine.next_chunk(0.01).empty());
        engine.generate_metadata(0.0, 0.01);
    }
}

TEST_F(Engine, ConstructionFailures) {
    const std::string good = lib("pe", "dark", 8);
    auto without = [&](const std::string& key) {
        auto text = good;
        auto at = text.find("  " + key + ":");
        return text.erase(at, text.find('\n', at) - at + 1);
    };
    auto with = [&](const std::string& key, const std::string& value) {
        return without(key) + "  " + key + ": " + value + "\n";
    };
    struct Case {
        std::string lib;
        std::string message;
    };
    const std::vector<Case> out_of_range{
        {"other: 1\n", "Key lib not found!"},
        {without("provider"), "Key provider not found!"},
        {without("generator"), "Key generator not found!"},
        {without("model"), "Key model not found!"},
        {without("num_channels"), "Key num_channels not found!"},
        {without("start_time"), "Key start_time not found!"},
        {with("model", "absent"), "Instance absent is not defined in "},
    };
    for (const auto& c : out_of_range) {
        const auto file = settings(c.lib);
        const auto message = c.message.ends_with(" in ") ? c.message + file + "!" : c.message;
        expect_throw<std::out_of_range>([&] { Background engine(file); }, message);
    }
    expect_throw<std::invalid_argument>([&] { Background engine(settings(with("num_channels", "many"))); },
                                        "access failed");
    expect_throw<std::length_error>([&] { Background engine(settings(with("num_channels", "-1"))); },
                                    "vector::_M_default_append");
    expect_throw<std::invalid_argument>([&] { Background engine(settings(with("start_time", ".nan"))); },
                                        "Seek time must be finite!");
}

TEST(Example, BuildsAndDrawsDarkCountsWithAfterpulses) {
    Background engine(BACKGROUND_SOURCE_DIR "/examples/background.yaml");
    const int chunks = 20, channels = 64;
    const double span = 0.01, rate = 2000.0;
    long total = 0;
    for (int i = 0; i < chunks; ++i) {
        const auto chunk = engine.next_chunk(span);
        expect_well_formed(chunk, channels);
        for (const auto& [channel, times] : chunk) {
            total += static_cast<long>(times.size());
            EXPECT_LE(times.back(), (i + 1) * span + 1e-12);
        }
    }
    // 5 % of the p.e.s bring 1.5 afterpulse p.e.s on average; a shower's one
    // p.e. lands uid seconds after it, so hardly any within this run.
    const double dark = rate * span * chunks * channels;
    EXPECT_NEAR(total, 1.075 * dark, 5 * std::sqrt(1.34 * dark) + 20);
    EXPECT_FALSE(engine.generate_metadata(0.0, 1.0).empty());
}

// Showers, dark counts and afterpulses together from the example settings.
TEST(ShowerBackground, ExampleEngineDrawsAllThree) {
    const double span = 0.01;
    const int chunks = 50;
    Background engine(BACKGROUND_SOURCE_DIR "/examples/background.yaml");
    double pes = 0;
    for (int i = 0; i < chunks; ++i)
        for (const auto& [channel, times] : engine.next_chunk(span)) {
            ASSERT_TRUE(channel >= 0 && channel < 64);
            pes += static_cast<double>(times.size());
        }
    // 64 channels of 2000 dark counts per second, 5 % of them with 1.5
    // afterpulse p.e.s on average; the mock's shower p.e.s come uid seconds
    // after their showers, which leaves only those of uid 0 in this run.
    // Each dark count brings 1 + X p.e.s, X an afterpulse count: E[X] 0.075,
    // E[X^2] 0.05 * (1.5 + 1.5^2).
    double dark = 64 * 2000 * span * chunks, expected = dark * 1.075;
    EXPECT_NEAR(pes, expected, 5 * std::sqrt(dark * (1 + 2 * 0.075 + 0.1875)) + 20);

    auto showers = engine.generate_metadata(10, 11);
    EXPECT_NEAR(static_cast<double>(showers.size()), 2032, 5 * std::sqrt(2032.0));
    for (const auto& m : showers) {
        ASSERT_LT(m.uid, 10000u);
        ASSERT_TRUE(m.time >= 10 && m.time < 11);
        ASSERT_EQ(m.primary, Metadata::PROTON);
    }
}

TEST_F(Engine, ReplaysAModelCacheChunkByChunk) {
    const auto events = ReferenceDarkCounts(2000.0, 8, 17, 1).sample(0.0, 0.3);
    CachedModel::write_cache(dir.path() / "cache.evt", events, 0.0, 1.0);
    // The cache file is named relative to the settings file.
    Background engine(settings(lib("pe", "cached", 8)));
    auto expected = [&](double begin, double end) {
        std::vector<BackgroundEvent> selected;
        std::ranges::copy_if(events, std::back_inserter(selected),
                             [&](const BackgroundEvent& e) { return begin <= e.time && e.time < end; });
        return reference_chunk(selected, 8);
    };
    double begin = 0.0;
    for (int chunk = 0; chunk < 30; ++chunk) {
        const double end = begin + 0.01;
        ASSERT_EQ(engine.next_chunk(0.01), expected(begin, end)) << chunk;
        begin = end;
    }
    engine.seek(0.125);
    EXPECT_EQ(engine.next_chunk(0.05), expected(0.125, 0.175));
    engine.seek(0.99);
    EXPECT_THROW(engine.next_chunk(0.02), std::out_of_range);
}

}  // namespace
