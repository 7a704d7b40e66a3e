// Time-ordered shower directories: the writer's files to the byte, and the provider that reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ios>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "background/Hook.hpp"
#include "background/MockProvider.hpp"
#include "background/OrderedProvider.hpp"
#include "bytes.hpp"
#include "child_process.hpp"
#include "fixtures.hpp"
#include "unreadable_gaps.hpp"
#include "format.hpp"
#include "tmio/TMIO.hpp"

namespace {

using namespace background;
using background::testing::Bytes;
using background::testing::ChildCheck;
using background::testing::concat;
using background::testing::expect_same;
using background::testing::expect_throw;
using background::testing::file_bytes;
using background::testing::header_bytes;
using background::testing::image_of;
using background::testing::io_failure;
using background::testing::nested_cause;
using background::testing::protocol_image;
using background::testing::run_with_file_size_limit;
using background::testing::TempDir;
namespace fs = std::filesystem;
using Hint = std::function<void(double)>;

MockProvider mock() { return MockProvider(40, -2.0, 10.0, 1000.0, 100.0, 0.5); }

std::vector<BackgroundEvent> events_of(const std::vector<std::pair<double, unsigned long>>& pairs) {
    std::vector<BackgroundEvent> events;
    for (auto [time, id] : pairs) events.push_back({time, 2, id});
    return events;
}

// Shower i of batch k of `per_file` events: time k + i / 10, id 10 k + i.
std::vector<BackgroundEvent> batches(int count, int per_file) {
    std::vector<BackgroundEvent> events;
    for (int k = 0; k < count; ++k)
        for (int i = 0; i < per_file; ++i)
            events.push_back({k + i / 10.0, 2, static_cast<unsigned long>(10 * k + i)});
    return events;
}

void write(const fs::path& dir, ShowerProvider& source, std::vector<BackgroundEvent> events, unsigned long per_file,
           bool interleaved) {
    OrderedProvider::order_events(dir, source, events, per_file, false, interleaved, true);
}

fs::path data_file(const fs::path& dir, int k) { return dir / format("OP_DATA_{}.tmio", k); }
fs::path meta_file(const fs::path& dir, int k) { return dir / format("OP_META_{}.tmio", k); }

std::vector<double> hints_of(const fs::path& dir) {
    return tmio::TMIO(dir / "OP_HINT.tmio", std::ios::in, "OP_HINT").read_vector<double>();
}

// The items of the directory format, as bytes.
Bytes struct_item(const Bytes& payload) {
    return concat({header_bytes(-1), header_bytes(static_cast<int32_t>(payload.size())), payload});
}
Bytes vector_item(const std::vector<double>& values) {
    Bytes raw(values.size() * sizeof(double));
    if (!values.empty()) std::memcpy(raw.data(), values.data(), raw.size());
    return concat({header_bytes(-3), header_bytes(4), header_bytes(static_cast<int32_t>(values.size())),
                   header_bytes(static_cast<int32_t>(raw.size())), raw});
}
Bytes metadata_item(const Metadata& m) {
    Metadata clean;
    std::memset(&clean, 0, sizeof clean);
    clean.uid = m.uid;
    clean.primary = m.primary;
    clean.energy = m.energy;
    clean.x = m.x;
    clean.y = m.y;
    clean.theta = m.theta;
    clean.phi = m.phi;
    clean.time = m.time;
    return struct_item(image_of(clean));
}
Bytes pe_list_item(const PEList& list) {
    Bytes bytes = struct_item(image_of(static_cast<std::uint64_t>(list.size())));
    for (const auto& [channel, times] : list)
        bytes = concat({bytes, struct_item(image_of(static_cast<std::int32_t>(channel))), vector_item(times)});
    return bytes;
}

// Showers of a table; every request is logged, and an id without a list is not found.
class TableProvider : public ShowerProvider {
public:
    std::map<unsigned long, PEList> lists;
    std::vector<std::string> calls;

    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        calls.push_back(format("m{}", uid));
        check(uid);
        Metadata m;
        std::memset(&m, 0xAB, sizeof m);  // the writer must clear the alignment bytes
        m.uid = uid;
        m.primary = Metadata::GAMMA;
        m.energy = 100.0 + static_cast<double>(uid);
        m.x = m.y = m.theta = m.phi = 0.5;
        m.time = -1.0;
        background::testing::make_gap_undefined(&m);
        return m;
    }
    PEList get_pe_list(unsigned long uid) override {
        calls.push_back(format("p{}", uid));
        check(uid);
        return lists.at(uid);
    }

private:
    void check(unsigned long uid) const {
        if (!lists.contains(uid)) throw std::out_of_range(format("Shower with UID {} not found!", uid));
    }
};

class Layout : public ::testing::TestWithParam<bool> {
protected:
    bool interleaved() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Both, Layout, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Interleaved" : "Split"; });

TEST_P(Layout, RoundTripToTheByte) {
    TempDir dir;
    auto source = mock();
    const auto events = events_of({{0.5, 4}, {1.0, 9}, {1.0, 4}, {2.0, 13}, {3.5, 2}, {4.0, 2}, {7.0, 17}});
    write(dir.path(), source, events, 3, interleaved());

    const std::vector<std::vector<std::size_t>> in_batch = {{0, 1, 2}, {3, 4, 5}, {6}};
    for (int k = 0; k < 3; ++k) {
        Bytes data = protocol_image(interleaved() ? "OP_INTER" : "OP_DATA");
        Bytes meta = protocol_image("OP_META");
        for (auto i : in_batch[static_cast<std::size_t>(k)]) {
            const auto uid = events[i].id;
            const Bytes record = metadata_item(source.get_metadata(uid));
            if (interleaved()) {
                data = concat({data, record});
            } else {
                data = concat({data, struct_item(image_of(static_cast<std::uint64_t>(uid)))});
                meta = concat({meta, record});
            }
            data = concat({data, pe_list_item(source.get_pe_list(uid))});
        }
        const auto count = in_batch[static_cast<std::size_t>(k)].size();
        EXPECT_EQ(file_bytes(data_file(dir.path(), k)), data) << k;
        // One channel with one time: 72 bytes of metadata, 16 of UID, 16 + 12 + 24 of p.e. list.
        EXPECT_EQ(data.size(), 68 + count * (interleaved() ? 124 : 68));
        if (interleaved()) {
            EXPECT_FALSE(fs::exists(meta_file(dir.path(), k)));
        } else {
            EXPECT_EQ(file_bytes(meta_file(dir.path(), k)), meta) << k;
            EXPECT_EQ(meta.size(), 68 + count * 72);
        }
    }
    EXPECT_EQ(file_bytes(dir.path() / "OP_HINT.tmio"), concat({protocol_image("OP_HINT"), vector_item({0.5, 2.0, 7.0})}));
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 108u);

    OrderedProvider reader(dir.path(), 0);
    std::vector<Metadata> expected;
    for (const auto& e : events) expected.push_back(source.get_metadata(e.id));
    expect_same(reader.get_all_metadata(), expected);
    // In order, each request costs one record; repeated UIDs are found at their own record.
    for (const auto& e : events) {
        expect_same({reader.get_metadata(e.id)}, {source.get_metadata(e.id)});
        EXPECT_EQ(reader.get_pe_list(e.id), source.get_pe_list(e.id)) << e.id;
    }
    // Out of order: a cyclic search finds every shower again.
    for (auto uid : {17ul, 2ul, 4ul, 13ul}) {
        EXPECT_EQ(reader.get_pe_list(uid), source.get_pe_list(uid)) << uid;
        expect_same({reader.get_metadata(uid)}, {source.get_metadata(uid)});
    }
    expect_same(reader.get_all_metadata(), expected);
}

TEST_P(Layout, UnknownShowerIsSearchedThroughEveryFile) {
    for (int files : {1, 3}) {
        TempDir dir;
        auto source = mock();
        write(dir.path(), source, batches(files, 2), 2, interleaved());
        OrderedProvider reader(dir.path(), 0);
        expect_throw<std::out_of_range>([&] { reader.get_metadata(99); }, "Shower with UID 99 not found!");
        expect_throw<std::out_of_range>([&] { reader.get_pe_list(99); }, "Shower with UID 99 not found!");
        EXPECT_EQ(reader.get_pe_list(1), source.get_pe_list(1));
    }
}

// A table provider whose lists include empty ones, entries without times and several channels.
TableProvider table() {
    TableProvider provider;
    provider.lists = {{1, {}},
                      {2, {{3, {}}}},
                      {3, {{0, {0.1, 0.2}}, {5, {1.0}}}},
                      {4, {}},
                      {5, {{-2, {0.0}}}}};
    return provider;
}

TEST_P(Layout, DropEmptyErasesExactlyTheEventsNotWritten) {
    TempDir dir;
    auto source = table();
    // Batch 0 drops (1.0, 1) but writes (1.0, 3) at the same time; batch 2 drops all its events.
    auto events = events_of({{1.0, 1}, {1.0, 3}, {2.0, 2}, {3.0, 4}, {5.0, 4}, {5.0, 1}, {6.0, 5}});
    OrderedProvider::order_events(dir.path(), source, events, 2, true, interleaved(), false);

    const auto written = events_of({{1.0, 3}, {2.0, 2}, {6.0, 5}});
    background::testing::expect_same_events(events, written);
    EXPECT_EQ(hints_of(dir.path()), (std::vector<double>{1.0, 2.0, 5.0, 6.0}));
    EXPECT_EQ(file_bytes(data_file(dir.path(), 2)), protocol_image(interleaved() ? "OP_INTER" : "OP_DATA"));

    OrderedProvider reader(dir.path(), 0);
    std::vector<unsigned long> uids;
    for (const auto& m : reader.get_all_metadata()) uids.push_back(m.uid);
    EXPECT_EQ(uids, (std::vector<unsigned long>{3, 2, 5}));
    for (const auto& e : written) {
        const auto m = reader.get_metadata(e.id);
        EXPECT_EQ(std::tuple(m.uid, m.primary, m.energy, m.time), std::tuple(e.id, Metadata::GAMMA, 100.0 + e.id, -1.0));
        EXPECT_EQ(reader.get_pe_list(e.id), source.lists[e.id]) << e.id;
    }
}

TEST(OrderedWriter, AsksTheProviderInUidOrderPerBatch) {
    for (bool together : {true, false}) {
        TempDir dir;
        auto source = table();
        auto events = events_of({{0.0, 5}, {1.0, 3}, {2.0, 5}, {3.0, 2}, {4.0, 1}});
        OrderedProvider::order_events(dir.path(), source, events, 4, false, false, together);
        const std::vector<std::string> expected =
            together ? std::vector<std::string>{"m2", "p2", "m3", "p3", "m5", "p5", "m5", "p5", "m1", "p1"}
                     : std::vector<std::string>{"m2", "m3", "m5", "m5", "p2", "p3", "p5", "p5", "m1", "p1"};
        EXPECT_EQ(source.calls, expected) << together;
    }
}

TEST(OrderedWriter, BatchCountsClearingAndRewriting) {
    struct Case {
        std::size_t events;
        unsigned long per_file;
        int files;
    };
    for (auto c : {Case{3, 3, 1}, Case{4, 3, 2}, Case{2, 5, 1}, Case{5, 1, 5}, Case{0, 3, 0}}) {
        TempDir dir;
        auto source = mock();
        for (const char* name : {"OPTIONS.txt", "OP_DATA_9.tmio", "OP_META_7.tmio", "Op_x", "keep.txt"})
            dir.write(name, "old");
        auto events = batches(1, static_cast<int>(c.events));
        write(dir.path(), source, events, c.per_file, false);
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
        std::ranges::sort(names);
        std::vector<std::string> expected = {"OP_HINT.tmio", "Op_x", "keep.txt"};
        for (int k = 0; k < c.files; ++k) {
            expected.push_back(format("OP_DATA_{}.tmio", k));
            expected.push_back(format("OP_META_{}.tmio", k));
        }
        std::ranges::sort(expected);
        EXPECT_EQ(names, expected) << c.events << " events";
        EXPECT_EQ(hints_of(dir.path()).size(), static_cast<std::size_t>(c.files));
    }
    // A second run with fewer batches leaves none of the first behind.
    TempDir dir;
    auto source = mock();
    write(dir.path(), source, batches(3, 2), 2, true);
    write(dir.path(), source, batches(1, 2), 2, false);
    EXPECT_FALSE(fs::exists(data_file(dir.path(), 1)));
    EXPECT_TRUE(fs::exists(meta_file(dir.path(), 0)));
    // Nothing written: the directory has no data file.
    write(dir.path(), source, {}, 2, false);
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u);
    expect_throw<std::ios_base::failure>(
        [&] { OrderedProvider(dir.path(), 0); },
        io_failure(format("No OrderedProvider data files found in {}!", dir.path().native())));
}

TEST(OrderedWriter, RefusalsAndFailuresLeaveEventsAlone) {
    TempDir dir;
    auto source = table();
    const auto original = events_of({{1.0, 1}, {2.0, 2}, {3.0, 7}});
    auto events = original;
    // No batches of no events: refused before the directory is made or cleared.
    dir.write("OP_keep", "x");
    expect_throw<std::invalid_argument>(
        [&] { OrderedProvider::order_events(dir.path() / "new", source, events, 0, true, false, true); },
        "Number of events per file must be at least 1!");
    expect_throw<std::invalid_argument>(
        [&] { OrderedProvider::order_events(dir.path(), source, events, 0, true, false, true); },
        "Number of events per file must be at least 1!");
    EXPECT_FALSE(fs::exists(dir.path() / "new"));
    EXPECT_TRUE(fs::exists(dir.path() / "OP_keep"));

    for (auto target : {dir.path() / "missing" / "dir", dir.path() / "OP_keep"}) {
        auto error = expect_throw<std::ios_base::failure>(
            [&] { OrderedProvider::order_events(target, source, events, 1, true, false, true); },
            io_failure("Failed to create directory"));
        EXPECT_THROW(std::rethrow_exception(nested_cause(error)), fs::filesystem_error);
    }
    // An "OP" entry that cannot be removed.
    fs::create_directory(dir.path() / "out");
    fs::create_directories(dir.path() / "out" / "OPEN" / "inner");
    EXPECT_THROW(OrderedProvider::order_events(dir.path() / "out", source, events, 1, true, false, true),
                 fs::filesystem_error);
    fs::remove_all(dir.path() / "out" / "OPEN");

    // Shower 7 is unknown: batch 0 is written, batch 1 fails before its files exist.
    expect_throw<std::out_of_range>(
        [&] { OrderedProvider::order_events(dir.path() / "out", source, events, 2, true, false, true); },
        "Shower with UID 7 not found!");
    EXPECT_TRUE(fs::exists(data_file(dir.path() / "out", 0)));
    EXPECT_FALSE(fs::exists(data_file(dir.path() / "out", 1)));
    EXPECT_FALSE(fs::exists(dir.path() / "out" / "OP_HINT.tmio"));
    background::testing::expect_same_events(events, original);
}

// Every file fits the stream's buffer, so only the close shows that its bytes did not reach the disk.
TEST(OrderedWriter, FileSizeLimitFailsTheCall) {
    struct Case {
        rlim_t limit;
        std::string failing;  // empty: the call succeeds
    };
    for (const auto& c : {Case{100, "OP_DATA_0.tmio"}, Case{280, "OP_META_0.tmio"}, Case{300, ""}}) {
        TempDir dir;
        auto failures = run_with_file_size_limit(c.limit, [&] {
            ChildCheck check;
            auto source = mock();
            auto events = batches(2, 3);  // files of 272 (data), 284 (metadata) and 100 bytes (hints)
            try {
                OrderedProvider::order_events(dir.path(), source, events, 3, false, false, true);
                check.that(c.failing.empty(), "no failure");
                check.equal(hints_of(dir.path()).size(), 2u, "hint count");
            } catch (const std::ios_base::failure& e) {
                const std::string path = (dir.path() / c.failing).generic_string();
                check.equal(std::string(e.what()).starts_with("Failed to write to file " + path + "!"), true,
                            "message");
                check.that(!fs::exists(dir.path() / "OP_HINT.tmio"), "no hint file");
            }
            return check.failures;
        });
        EXPECT_EQ(failures, "") << c.limit;
    }

    // Batches whose showers were all dropped leave data files of the protocol tag alone (68 bytes), so
    // only the hint file (108 bytes) outgrows the limit; the events stay as they were.
    TempDir dir;
    auto failures = run_with_file_size_limit(100, [&] {
        ChildCheck check;
        auto source = table();
        const auto original = events_of({{0.0, 1}, {1.0, 4}, {2.0, 1}});
        auto events = original;
        try {
            OrderedProvider::order_events(dir.path(), source, events, 1, true, true, true);
            check.that(false, "a failure");
        } catch (const std::ios_base::failure& e) {
            const std::string path = (dir.path() / "OP_HINT.tmio").generic_string();
            check.that(std::string(e.what()).starts_with("Failed to write to file " + path + "!"), "message");
            check.equal(events.size(), original.size(), "events");
        }
        return check.failures;
    });
    EXPECT_EQ(failures, "");
}

// A directory of `count` batches of two showers (ids 10 k and 10 k + 1, batch k first at time k).
struct Directory {
    TempDir dir;
    MockProvider source = mock();
    Directory(int count, bool interleaved) {
        std::vector<BackgroundEvent> events;
        for (int k = 0; k < count; ++k)
            for (int i = 0; i < 2; ++i) events.push_back({k + 0.5 * i, 2, static_cast<unsigned long>(10 * k + i)});
        write(dir.path(), source, events, 2, interleaved);
    }
    const fs::path& path() const { return dir.path(); }
    // Removes the files of batch k, so that opening them fails from now on.
    void remove_batch(int k) const {
        fs::remove(data_file(path(), k));
        fs::remove(meta_file(path(), k));
    }
};

TEST(OrderedReader, ConstructorRefusals) {
    struct Case {
        const char* what;
        std::function<fs::path(const fs::path&)> damage;  // returns the path to open
        std::function<void(const fs::path&)> check;
    };
    auto message = [](const std::string& text) {
        return [text](const fs::path& dir) {
            std::string filled = text;
            filled.replace(filled.find("{}"), 2, dir.native());
            expect_throw<std::ios_base::failure>([&] { OrderedProvider(dir, 0); }, io_failure(filled));
        };
    };
    const std::vector<Case> cases = {
        {"missing directory", [](const fs::path& d) { return d / "nowhere"; }, message("{} does not exist or is no directory!")},
        {"a file", [](const fs::path& d) { return d / "OP_HINT.tmio"; }, message("{} does not exist or is no directory!")},
        {"no data files",
         [](const fs::path& d) {
             fs::remove(data_file(d, 0));
             fs::remove(data_file(d, 1));
             return d;
         },
         message("No OrderedProvider data files found in {}!")},
        {"no hint file",
         [](const fs::path& d) {
             fs::remove(d / "OP_HINT.tmio");
             return d;
         },
         [](const fs::path& d) {
             expect_throw<std::ios_base::failure>([&] { OrderedProvider(d, 0); },
                                                  io_failure("Failed to open file !\nImplementation reports: connection error"));
         }},
        {"hint file of another protocol",
         [](const fs::path& d) {
             fs::copy_file(meta_file(d, 0), d / "OP_HINT.tmio", fs::copy_options::overwrite_existing);
             return d;
         },
         [](const fs::path& d) {
             expect_throw<std::ios_base::failure>(
                 [&] { OrderedProvider(d, 0); },
                 io_failure(format("Failed to open file {}!\nImplementation reports: protocol error",
                                   (d / "OP_HINT.tmio").generic_string())));
         }},
        {"three hint values",
         [](const fs::path& d) {
             tmio::TMIO hints(d / "OP_HINT.tmio", std::ios::out, "OP_HINT");
             const double values[] = {0, 1, 2};
             hints.write_array(tmio::TMIO::VECTOR, values, 3);
             hints.close();
             return d;
         },
         message("Files found in {} do not match OrderedProvider protocol!")},
        {"a metadata file missing",
         [](const fs::path& d) {
             fs::remove(meta_file(d, 1));
             return d;
         },
         message("Files found in {} do not match OrderedProvider protocol!")},
        {"a data file without a number",
         [](const fs::path& d) {
             fs::create_directory(d / "OP_DATA_backup");
             return d;
         },
         [](const fs::path& d) { EXPECT_THROW(OrderedProvider(d, 0), std::invalid_argument); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Directory dir(2, false);
        c.check(c.damage(dir.path()));
    }

    // Numbers with gaps are positions in number order; without metadata files a directory is interleaved.
    Directory gaps(2, false);
    fs::rename(data_file(gaps.path(), 1), data_file(gaps.path(), 12));
    fs::rename(meta_file(gaps.path(), 1), meta_file(gaps.path(), 12));
    EXPECT_EQ(OrderedProvider(gaps.path(), 0).get_all_metadata().size(), 4u);
    fs::remove(meta_file(gaps.path(), 0));
    fs::remove(meta_file(gaps.path(), 12));
    OrderedProvider no_meta(gaps.path(), 0);
    expect_throw<std::ios_base::failure>(
        [&] { no_meta.get_metadata(0); },
        io_failure(format("Failed to open file {}!\nImplementation reports: protocol error",
                          data_file(gaps.path(), 0).generic_string())));
}

// Names of the files in `dir` that the process holds open: where the readers stand.
std::vector<std::string> open_in(const fs::path& dir) {
    const fs::path here = fs::canonical(dir);
    std::vector<std::string> names;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // a descriptor may close between the listing and the look-up
        const fs::path target = fs::read_symlink(fd.path(), gone);
        if (!gone && target.parent_path() == here) names.push_back(target.filename());
    }
    std::ranges::sort(names);
    return names;
}

// The files a reader of batch k holds open, one per side.
std::vector<std::string> batch_files(int k, bool interleaved) {
    std::vector<std::string> names = {data_file("", k).filename()};
    if (!interleaved) names.push_back(meta_file("", k).filename());
    std::ranges::sort(names);
    return names;
}

TEST_P(Layout, SkipToTimeOpensTheLastBatchNotAfterIt) {
    // Batches first at 0, 1, 1 and 3: a seek to 1 goes to the last of the two batches at 1; no hint value is
    // greater than NaN, so NaN goes to the last batch.
    const auto events = events_of({{0.0, 0}, {0.5, 1}, {1.0, 2}, {1.0, 3}, {1.0, 4}, {2.0, 5}, {3.0, 6}, {4.0, 7}});
    struct Case {
        double t;
        int batch;  // -1: nothing opens
    };
    for (auto c : {Case{-0.5, -1}, Case{0.0, 0}, Case{0.9, 0}, Case{1.0, 2}, Case{2.9, 2}, Case{3.0, 3}, Case{1e9, 3},
                   Case{std::nan(""), 3}}) {
        SCOPED_TRACE(c.t);
        TempDir dir;
        auto source = mock();
        write(dir.path(), source, events, 2, interleaved());
        OrderedProvider reader(dir.path(), 0);
        // Only the target batch can be opened.
        for (int k = 0; k < 4; ++k)
            if (k != c.batch) fs::remove(data_file(dir.path(), k)), fs::remove(meta_file(dir.path(), k));
        ASSERT_NO_THROW(reader.skip_to_time(c.t));
        if (c.batch < 0) continue;
        const auto first = events[2 * static_cast<std::size_t>(c.batch)].id;
        expect_same({reader.get_metadata(first)}, {source.get_metadata(first)});
        EXPECT_EQ(reader.get_pe_list(first), source.get_pe_list(first));
    }

    // Hints out of order still lead to one of the batches, and never to one that begins after t: before
    // every hint value to none, after every one (or at NaN) to the last.
    TempDir dir;
    auto source = mock();
    const std::vector<double> hints = {5.0, 1.0, 3.0, 0.0, 9.0};
    const auto unordered = events_of({{5.0, 0}, {1.0, 1}, {3.0, 2}, {0.0, 3}, {9.0, 4}});
    write(dir.path(), source, unordered, 1, interleaved());
    OrderedProvider reader(dir.path(), 0);
    TempDir probed;  // where only the probe below holds files open
    write(probed.path(), source, unordered, 1, interleaved());
    const double inf = std::numeric_limits<double>::infinity();
    for (double t : {-1.0, 0.0, 0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 7.0, 9.0, 10.0, inf, -inf, std::nan("")}) {
        ASSERT_NO_THROW(reader.skip_to_time(t)) << t;
        EXPECT_EQ(reader.get_pe_list(2), source.get_pe_list(2)) << t;

        OrderedProvider probe(probed.path(), 0);
        probe.skip_to_time(t);
        const auto open = open_in(probed.path());
        if (std::ranges::all_of(hints, [t](double h) { return t < h; })) {
            EXPECT_TRUE(open.empty()) << t;
        } else if (std::ranges::none_of(hints, [t](double h) { return t < h; })) {
            EXPECT_EQ(open, batch_files(4, interleaved())) << t;
        } else {
            bool begins_in_time = open.empty();
            for (int k = 0; k < 5; ++k) begins_in_time |= open == batch_files(k, interleaved()) && hints[k] <= t;
            EXPECT_TRUE(begins_in_time) << t << ": " << ::testing::PrintToString(open);
        }
    }
}

TEST_P(Layout, OpenBatchIsNotReopenedAndTheCachedRecordIsNotReadAgain) {
    Directory dir(3, interleaved());
    {
        // A seek before any read opens the target batch at once.
        OrderedProvider reader(dir.path(), 0);
        Directory copy(3, interleaved());
        OrderedProvider other(copy.path(), 0);
        copy.remove_batch(1);
        EXPECT_THROW(other.skip_to_time(1.0), std::ios_base::failure);
        (void)reader;
    }
    OrderedProvider reader(dir.path(), 0);
    reader.skip_to_time(1.0);
    for (unsigned long uid : {10ul, 11ul}) {
        reader.get_metadata(uid);
        reader.get_pe_list(uid);
    }
    // The same batch again: reading goes on behind shower 11, so shower 10 is only found by a search
    // through the files after batch 1, and batch 2 cannot be opened any more.
    dir.remove_batch(2);
    reader.skip_to_time(1.5);
    EXPECT_THROW(reader.get_metadata(10), std::ios_base::failure);

    // The record read last comes from memory, though its file is gone.
    Directory two(2, interleaved());
    OrderedProvider cached(two.path(), 0);
    cached.get_metadata(11);
    two.remove_batch(0);
    expect_same({cached.get_metadata(11)}, {two.source.get_metadata(11)});
    EXPECT_THROW(cached.get_metadata(0), std::ios_base::failure);  // the search wraps to batch 0
}

std::vector<unsigned long> uids_of(const std::vector<Metadata>& records) {
    std::vector<unsigned long> uids;
    for (const auto& m : records) uids.push_back(m.uid);
    return uids;
}

TEST_P(Layout, DamagedRecordEndsOnlyItsFile) {
    struct Case {
        const char* what;
        std::size_t field;  // offset in the item: 0 its tag, 4 its length
        std::int32_t value;
    };
    for (auto c : {Case{"wrong tag", 0, -3}, Case{"wrong length", 4, 63}}) {
        SCOPED_TRACE(c.what);
        Directory dir(3, interleaved());
        // The second record of batch 0, on both sides of a split directory: showers 0 and 1 are written in
        // order, each file holds two records of equal size.
        std::vector<std::pair<fs::path, const char*>> files = {
            {data_file(dir.path(), 0), interleaved() ? "OP_INTER" : "OP_DATA"}};
        if (!interleaved()) files.emplace_back(meta_file(dir.path(), 0), "OP_META");
        for (const auto& [file, protocol] : files) {
            Bytes bytes = file_bytes(file);
            const std::size_t head = protocol_image(protocol).size();
            const std::size_t at = head + (bytes.size() - head) / 2 + c.field;
            const Bytes value = header_bytes(c.value);
            std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            background::testing::write_file(file, bytes);
        }

        OrderedProvider reader(dir.path(), 0);
        EXPECT_EQ(uids_of(reader.get_all_metadata()), (std::vector<unsigned long>{0, 10, 11, 20, 21}));
        for (unsigned long uid : {0ul, 10ul, 21ul}) {
            expect_same({reader.get_metadata(uid)}, {dir.source.get_metadata(uid)});
            EXPECT_EQ(reader.get_pe_list(uid), dir.source.get_pe_list(uid)) << uid;
        }
        // The records behind the damage are lost: their showers are simply not found.
        expect_throw<std::out_of_range>([&] { reader.get_metadata(1); }, "Shower with UID 1 not found!");
        expect_throw<std::out_of_range>([&] { reader.get_pe_list(1); }, "Shower with UID 1 not found!");
    }
}

TEST_P(Layout, ReadingAllMetadataLeavesFileZeroOpenAndTheDataSideWhereItWas) {
    Directory dir(3, interleaved());
    OrderedProvider reader(dir.path(), 0);
    reader.get_metadata(11);
    if (!interleaved()) reader.get_pe_list(10);
    EXPECT_EQ(uids_of(reader.get_all_metadata()), (std::vector<unsigned long>{0, 1, 10, 11, 20, 21}));

    // With every file removed only the open streams can still be read: any reopen fails.
    for (int k = 0; k < 3; ++k) dir.remove_batch(k);
    for (unsigned long uid : {0ul, 1ul}) {
        expect_same({reader.get_metadata(uid)}, {dir.source.get_metadata(uid)});
        if (interleaved()) {
            EXPECT_EQ(reader.get_pe_list(uid), dir.source.get_pe_list(uid)) << uid;
        }
    }
    // The data side of a split directory goes on behind shower 10, in batch 1.
    if (!interleaved()) {
        EXPECT_EQ(reader.get_pe_list(11), dir.source.get_pe_list(11));
    }
}

// The hint file of a directory of one batch, which begins at 0 s.
void write_one_hint(const fs::path& dir) {
    tmio::TMIO hints(dir / "OP_HINT.tmio", std::ios::out, "OP_HINT");
    const double zero = 0;
    hints.write_array(tmio::TMIO::VECTOR, &zero, 1);
    hints.close();
}

// A split or interleaved directory of one shower (UID 1) whose stored p.e. list claims `entries`
// entries and ends there.
fs::path claimed_entries(const fs::path& dir, bool interleaved, std::uint64_t entries) {
    Metadata m{};
    m.uid = 1;
    tmio::TMIO data(data_file(dir, 0), std::ios::out, interleaved ? "OP_INTER" : "OP_DATA");
    if (interleaved) {
        data.write_raw(tmio::TMIO::STRUCT, &m, sizeof m);
    } else {
        tmio::TMIO meta(meta_file(dir, 0), std::ios::out, "OP_META");
        meta.write_raw(tmio::TMIO::STRUCT, &m, sizeof m);
        meta.close();
        data.write_raw(tmio::TMIO::STRUCT, &m.uid, 8);
    }
    data.write_raw(tmio::TMIO::STRUCT, &entries, 8);
    data.close();
    write_one_hint(dir);
    return dir;
}

TEST(OrderedReader, EntryCountsTheFileCannotHoldAllocateNothing) {
    const std::uint64_t huge = std::uint64_t{1} << 40;  // 32 TiB of entries, were they made up front
    const std::uint64_t beyond = std::uint64_t{1} << 58;
    {
        TempDir dir;
        OrderedProvider reader(claimed_entries(dir.path(), false, huge), 0);
        expect_throw<std::out_of_range>([&] { reader.get_pe_list(1); }, "Shower with UID 1 not found!");
    }
    {
        TempDir dir;
        OrderedProvider reader(claimed_entries(dir.path(), true, huge), 0);
        EXPECT_THROW(reader.get_pe_list(1), std::ios_base::failure);
    }
    for (bool interleaved : {false, true}) {
        TempDir dir;
        OrderedProvider reader(claimed_entries(dir.path(), interleaved, beyond), 0);
        expect_throw<std::length_error>([&] { reader.get_pe_list(1); },
                                        "cannot create std::vector larger than max_size()");
    }
}

TEST(OrderedHooks, RegistrationsAndHintsThatOutliveTheirProvider) {
    constexpr int ID = 77;
    Directory a(2, false), b(2, true);
    auto first = std::make_unique<OrderedProvider>(a.path(), ID);
    Hint first_hint = Hook::get<Hint>(ID);
    auto second = std::make_unique<OrderedProvider>(b.path(), ID);
    b.remove_batch(1);  // b's provider fails when a hint moves it to batch 1
    Hint second_hint = Hook::get<Hint>(ID);
    EXPECT_THROW(Hook::get<Hint>(ID)(1.0), std::ios_base::failure);  // the registration is the second's
    EXPECT_NO_THROW(first_hint(1.0));
    EXPECT_EQ(first->get_pe_list(10), a.source.get_pe_list(10));

    // Destroying a provider removes whatever is under its id; copies of its hint do nothing from then on.
    second.reset();
    EXPECT_FALSE(Hook::hooks.contains(ID));
    EXPECT_NO_THROW(second_hint(1.0));
    first_hint(0.0);
    EXPECT_EQ(first->get_pe_list(0), a.source.get_pe_list(0));
    first.reset();
    EXPECT_NO_THROW(first_hint(1.0));

    // No id, no registration.
    for (int id : {0, -5}) {
        OrderedProvider none(a.path(), id);
        EXPECT_FALSE(Hook::hooks.contains(id));
    }
}

TEST_P(Layout, EmptyListsWrittenWithoutDroppingStayInTheDirectoryAndTheEvents) {
    TempDir dir;
    auto source = table();  // showers 1 and 4 have empty lists
    const auto original = events_of({{1.0, 1}, {1.0, 3}, {2.0, 2}, {3.0, 4}, {5.0, 4}, {5.0, 1}, {6.0, 5}});
    auto events = original;
    OrderedProvider::order_events(dir.path(), source, events, 2, false, interleaved(), false);
    background::testing::expect_same_events(events, original);
    EXPECT_EQ(hints_of(dir.path()), (std::vector<double>{1.0, 2.0, 5.0, 6.0}));
    // Batch 1, (2.0, 2) and (3.0, 4): an empty list is its entry count 0 alone.
    Bytes data = protocol_image(interleaved() ? "OP_INTER" : "OP_DATA");
    for (unsigned long uid : {2ul, 4ul}) {
        if (interleaved())
            data = concat({data, metadata_item(source.get_metadata(uid))});
        else
            data = concat({data, struct_item(image_of(static_cast<std::uint64_t>(uid)))});
        data = concat({data, pe_list_item(source.lists[uid])});
    }
    EXPECT_EQ(file_bytes(data_file(dir.path(), 1)), data);

    OrderedProvider reader(dir.path(), 0);
    EXPECT_EQ(uids_of(reader.get_all_metadata()), (std::vector<unsigned long>{1, 3, 2, 4, 4, 1, 5}));
    // In order, every record is the next one; an empty list read back leaves the reader before the next record.
    for (const auto& e : original) {
        EXPECT_EQ(reader.get_metadata(e.id).uid, e.id);
        EXPECT_EQ(reader.get_pe_list(e.id), source.lists[e.id]) << e.id;
    }
}

// Every request answers anew: its results tell which request's results were written.
class CountingProvider : public ShowerProvider {
public:
    int metadata_calls = 0, pe_list_calls = 0;
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        Metadata m{};
        m.uid = uid;
        m.energy = ++metadata_calls;
        return m;
    }
    PEList get_pe_list(unsigned long uid) override {
        return {{static_cast<int>(uid), {static_cast<double>(++pe_list_calls)}}};
    }
};

TEST_P(Layout, ARepeatedUidIsWrittenWithTheResultsOfItsFirstRequest) {
    TempDir dir;
    CountingProvider source;
    // Asked in UID order, 3 then 7 twice: shower 7's first request is the second of each kind.
    auto events = events_of({{0.0, 7}, {1.0, 3}, {2.0, 7}});
    OrderedProvider::order_events(dir.path(), source, events, 3, false, interleaved(), true);
    EXPECT_EQ(source.metadata_calls, 3);

    OrderedProvider reader(dir.path(), 0);
    std::vector<double> energies;
    for (const auto& m : reader.get_all_metadata()) energies.push_back(m.energy);
    EXPECT_EQ(energies, (std::vector<double>{2, 1, 2}));
    const std::vector<std::pair<unsigned long, PEList>> lists = {
        {7, {{7, {2.0}}}}, {3, {{3, {1.0}}}}, {7, {{7, {2.0}}}}};
    for (const auto& [uid, list] : lists) EXPECT_EQ(reader.get_pe_list(uid), list) << uid;
}

// A search that fails ends at the end of the file it started in, which stays open: the file after it comes
// next, and the records read before the search lie behind the reader.
TEST_P(Layout, AFailedSearchEndsAtTheEndOfItsStartFile) {
    struct Case {
        std::vector<int> removed;  // batches whose files are gone after the search
        unsigned long uid;         // asked next
        bool served;               // else a file must be reopened, which fails
    };
    for (bool pes : {false, true}) {
        for (const Case& c : {Case{{0}, 20, true}, Case{{0, 1, 2}, 10, false}}) {
            SCOPED_TRACE(std::string(pes ? "p.e. lists" : "metadata") + ", asking for " + std::to_string(c.uid));
            Directory dir(3, interleaved());
            OrderedProvider reader(dir.path(), 0);
            auto read = [&](unsigned long uid) {
                if (pes)
                    EXPECT_EQ(reader.get_pe_list(uid), dir.source.get_pe_list(uid));
                else
                    expect_same({reader.get_metadata(uid)}, {dir.source.get_metadata(uid)});
            };
            read(10);
            expect_throw<std::out_of_range>([&] { pes ? (void)reader.get_pe_list(99) : (void)reader.get_metadata(99); },
                                            "Shower with UID 99 not found!");
            const bool data_side = pes || interleaved();
            EXPECT_EQ(open_in(dir.path()), std::vector<std::string>{(data_side ? data_file(dir.path(), 1)
                                                                                : meta_file(dir.path(), 1))
                                                                       .filename()});
            for (int k : c.removed) dir.remove_batch(k);
            if (c.served)
                read(c.uid);
            else
                EXPECT_THROW(read(c.uid), std::ios_base::failure);
        }
    }
}

// The time hint moves each side of a split directory on its own: the side already in the target batch goes
// on where it is, the other starts the batch afresh.
TEST(OrderedReader, TheTwoSidesOfASplitDirectorySeekIndependently) {
    for (bool data_ahead : {true, false}) {
        for (bool behind : {false, true}) {
            SCOPED_TRACE(std::string(data_ahead ? "data side" : "metadata side") + " in the target batch, asked for " +
                         (behind ? "the shower behind it" : "the next shower"));
            Directory dir(3, false);
            OrderedProvider reader(dir.path(), 0);
            // One side behind shower 10 in batch 1, the other behind shower 1 in batch 0.
            if (data_ahead) {
                reader.get_pe_list(10);
                reader.get_metadata(1);
            } else {
                reader.get_metadata(10);
                reader.get_pe_list(1);
            }
            reader.skip_to_time(1.0);
            EXPECT_EQ(open_in(dir.path()), batch_files(1, false));
            for (int k = 0; k < 3; ++k) dir.remove_batch(k);
            const std::function<void(unsigned long)> metadata = [&](unsigned long uid) {
                expect_same({reader.get_metadata(uid)}, {dir.source.get_metadata(uid)});
            };
            const std::function<void(unsigned long)> pe_list = [&](unsigned long uid) {
                EXPECT_EQ(reader.get_pe_list(uid), dir.source.get_pe_list(uid));
            };
            // The side that started afresh serves showers 10 and 11; the other goes on behind shower 10, so
            // it serves 11, and 10 only after a reopen, which fails.
            auto fresh = data_ahead ? metadata : pe_list;
            auto kept = data_ahead ? pe_list : metadata;
            fresh(10);
            fresh(11);
            if (behind)
                EXPECT_THROW(kept(10), std::ios_base::failure);
            else
                kept(11);
        }
    }
}

// A directory of showers 1 and 2 whose first stored p.e. list holds an entry with the element count -1.
fs::path negative_count(const fs::path& dir, bool interleaved) {
    tmio::TMIO data(data_file(dir, 0), std::ios::out, interleaved ? "OP_INTER" : "OP_DATA");
    tmio::TMIO meta;
    if (!interleaved) meta = tmio::TMIO(meta_file(dir, 0), std::ios::out, "OP_META");
    for (std::uint64_t uid : {1, 2}) {
        Metadata m{};
        m.uid = uid;
        (interleaved ? data : meta).write_raw(tmio::TMIO::STRUCT, &m, sizeof m);
        if (!interleaved) data.write_raw(tmio::TMIO::STRUCT, &uid, 8);
        const std::uint64_t entries = 1;
        const std::int32_t channel = 3, count = uid == 1 ? -1 : 0;
        data.write_raw(tmio::TMIO::STRUCT, &entries, 8);
        data.write_raw(tmio::TMIO::STRUCT, &channel, 4);
        tmio_write_tag(data.context(), tmio::TMIO::VECTOR);
        tmio_write_data(data.context(), &count, 4);
        tmio_write_data(data.context(), nullptr, 0);
    }
    data.close();
    if (!interleaved) meta.close();
    write_one_hint(dir);
    return dir;
}

TEST_P(Layout, ANegativeElementCountInAStoredListIsALengthError) {
    const std::string message = "cannot create std::vector larger than max_size()";
    TempDir dir;
    negative_count(dir.path(), interleaved());
    // The list itself, and the list a reader passes over on its way to shower 2.
    for (auto read : std::vector<std::function<void(OrderedProvider&)>>{
             [](OrderedProvider& r) { r.get_pe_list(1); },
             [](OrderedProvider& r) { r.get_pe_list(2); },
         }) {
        OrderedProvider reader(dir.path(), 0);
        expect_throw<std::length_error>([&] { read(reader); }, message);
    }
    if (interleaved()) {
        OrderedProvider reader(dir.path(), 0);
        EXPECT_EQ(reader.get_metadata(1).uid, 1u);
        expect_throw<std::length_error>([&] { reader.get_metadata(2); }, message);
        expect_throw<std::length_error>([&] { reader.get_all_metadata(); }, message);
    }
}

}  // namespace
