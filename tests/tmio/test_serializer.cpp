// Event, metadata and number files: whole-file images, round trips, the message of every truncation of a
// file, files of another kind, address forms, and writes cut short by a file-size limit.
#include <fcntl.h>

#include "background/TMIOSerializer.hpp"
#include "stream_support.hpp"
#include "tmio/TMIO.hpp"
#include "unreadable_gaps.hpp"

namespace {

using namespace tmio_test;
using background::BackgroundEvent;
using background::Metadata;
using background::Serializer;
using background::testing::expect_throw;
using background::testing::io_failure;
using background::testing::run_with_file_size_limit;
namespace fs = std::filesystem;

// Events with garbage in the alignment bytes, which files must not carry: every one, or one in `dirty_every`.
std::vector<BackgroundEvent> some_events(size_t n, size_t dirty_every = 1) {
    std::vector<BackgroundEvent> events(n);
    for (size_t i = 0; i < n; ++i) {
        if (i % dirty_every == 0) std::memset(&events[i], static_cast<int>(0x40 + i % 64), sizeof(BackgroundEvent));
        events[i].time = 0.125 * static_cast<double>(i);
        events[i].type = static_cast<int>(i % 3) - 1;
        events[i].id = 1000 + i;
    }
    return events;
}

std::vector<Metadata> some_records(size_t n) {
    std::vector<Metadata> records(n);
    for (size_t i = 0; i < n; ++i) {
        std::memset(&records[i], 0x77, sizeof(Metadata));
        records[i] = {.uid = (7ul << 32) + i, .primary = i % 2 ? Metadata::GAMMA : Metadata::PROTON,
                      .energy = 1e4 + static_cast<double>(i), .x = -3.5, .y = 4.25, .theta = 0.1,
                      .phi = 2.0, .time = 100.0 + static_cast<double>(i)};
        std::memset(reinterpret_cast<unsigned char*>(&records[i]) + 12, 0x99, 4);
    }
    return records;
}

// The expected file: protocol tag and field, the vector item's three headers, the element images with
// their alignment bytes zero.
template <class T>
Bytes file_image(const char* protocol, const std::vector<T>& values, bool gap) {
    Bytes elements;
    for (const T& value : values) {
        Bytes element = image_of(value);
        if (gap) std::fill(element.begin() + 12, element.begin() + 16, 0);
        elements.insert(elements.end(), element.begin(), element.end());
    }
    return concat({protocol_image(protocol), header_bytes(-3), header_bytes(4), header_bytes(static_cast<int32_t>(values.size())),
                   header_bytes(static_cast<int32_t>(elements.size())), elements});
}

class Serializer_ : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<Serializer> serializer = Serializer::create_default();
    fs::path file(const std::string& name) const { return dir.path() / name; }
};

TEST_F(Serializer_, WholeFileImagesAndRoundTrips) {
    // The large vector has long runs of clear gaps between a few events to clear.
    for (size_t n : {0, 1, 5, 60000}) {
        SCOPED_TRACE(n);
        auto events = some_events(n, n > 1000 ? 7919 : 1);
        auto records = some_records(n);
        std::vector<double> numbers(n);
        for (size_t i = 0; i < n; ++i) numbers[i] = -1.5 * static_cast<double>(i) + 1e-300;

        serializer->write_events(file("events"), events);
        serializer->write_metadata(file("metadata"), records);
        serializer->write_numbers(file("numbers"), numbers);
        EXPECT_EQ(file_bytes(file("events")), file_image("EVENT_PROTOCOL", events, true));
        EXPECT_EQ(file_bytes(file("metadata")), file_image("META_PROTOCOL", records, true));
        EXPECT_EQ(file_bytes(file("numbers")), file_image("NUMBER_PROTOCOL", numbers, false));
        EXPECT_EQ(fs::file_size(file("events")), 84 + 24 * n);
        EXPECT_EQ(fs::file_size(file("metadata")), 84 + 64 * n);

        background::testing::expect_same_events(serializer->read_events(file("events")), events);
        background::testing::expect_same(serializer->read_metadata(file("metadata")), records);
        EXPECT_EQ(serializer->read_numbers(file("numbers")), numbers);
    }
    serializer->write_numbers(file("two"), {1.0, 2.0});
    Bytes two = file_bytes(file("two"));
    ASSERT_EQ(two.size(), 100u);
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 4), (Bytes{0xFF, 0x35, 0x65, 0xC4}));
    EXPECT_EQ(Bytes(two.begin() + 76, two.begin() + 84), (Bytes{2, 0, 0, 0, 16, 0, 0, 0}));
    // Equal data, different garbage in memory: equal files.
    auto events = some_events(3);
    serializer->write_events(file("first"), events);
    for (auto& e : events) std::memset(reinterpret_cast<unsigned char*>(&e) + 12, 0x5A, 4);
    serializer->write_events(file("second"), events);
    EXPECT_EQ(file_bytes(file("first")), file_bytes(file("second")));
}

TEST_F(Serializer_, WritersNeverReadTheAlignmentBytes) {
    std::vector<BackgroundEvent> events(70000);  // more than the stream's buffer holds
    for (size_t i = 0; i < events.size(); ++i) {
        events[i].time = 0.5 * static_cast<double>(i);
        events[i].type = static_cast<int>(i % 7);
        events[i].id = 3 * i;
    }
    auto records = some_records(300);
    const fs::path record_file = file("record");
    {
        background::testing::UnreadableGaps<BackgroundEvent> event_gaps(events);
        background::testing::UnreadableGaps<Metadata> record_gaps(records);
        serializer->write_events(file("events"), events);
        serializer->write_metadata(file("metadata"), records);
        tmio::TMIO out(record_file, std::ios::out, "P");
        out.write_struct(tmio::TMIO::STRUCT, records[1]);
        out.close();
    }
    EXPECT_EQ(file_bytes(file("events")), file_image("EVENT_PROTOCOL", events, true));
    EXPECT_EQ(file_bytes(file("metadata")), file_image("META_PROTOCOL", records, true));
    Bytes record = image_of(records[1]);
    std::fill(record.begin() + 12, record.begin() + 16, 0);
    EXPECT_EQ(file_bytes(record_file), concat({protocol_image("P"), header_bytes(-1), header_bytes(64), record}));
}

TEST_F(Serializer_, ReadersCheckTheKindOfFileAndPassOverWhatTheyDoNotNeed) {
    serializer->write_events(file("events"), some_events(2));
    serializer->write_numbers(file("numbers"), {1.0});
    auto protocol_error = [&](const char* name) {
        return io_failure("Failed to open file " + file(name).generic_string() +
                          "!\nImplementation reports: protocol error");
    };
    expect_throw<std::ios_base::failure>([&] { serializer->read_numbers(file("events")); }, protocol_error("events"));
    expect_throw<std::ios_base::failure>([&] { serializer->read_metadata(file("numbers")); }, protocol_error("numbers"));
    expect_throw<std::ios_base::failure>([&] { serializer->read_events(file("numbers")); }, protocol_error("numbers"));

    // A longer protocol that begins with the expected one, data records before the item and anything
    // after it are accepted.
    Bytes doubles = image_of(std::array{3.0, 4.0});
    write_file(file("extended"), concat({protocol_image("NUMBER_PROTOCOL_V2"), header_bytes(3), Bytes{1, 2, 3},
                                         header_bytes(-3), header_bytes(4), header_bytes(2), header_bytes(16), doubles,
                                         header_bytes(-1), header_bytes(0), Bytes{0xFF}}));
    EXPECT_EQ(serializer->read_numbers(file("extended")), (std::vector<double>{3.0, 4.0}));
    // A vector item under another tag than VECTOR is refused.
    write_file(file("struct"), concat({protocol_image("NUMBER_PROTOCOL"), header_bytes(-1), header_bytes(4), header_bytes(2)}));
    expect_throw<std::ios_base::failure>(
        [&] { serializer->read_numbers(file("struct")); },
        io_failure("Read error in file " + file("struct").generic_string() + ": Found tag STRUCT but required tag VECTOR."));
}

TEST_F(Serializer_, EveryTruncationOfAFileHasItsMessage) {
    serializer->write_numbers(file("whole"), {1.0, 2.0});
    const Bytes whole = file_bytes(file("whole"));
    const fs::path cut = file("cut");
    const std::string path = cut.generic_string();
    const std::string open_failed = "Failed to open file " + path + "!\nImplementation reports: ";
    struct Range {
        size_t first, last;  // prefix lengths
        std::string message;
    };
    for (const Range& range : std::initializer_list<Range>{
             {0, 3, open_failed + "handshake error"},                 // no whole protocol tag
             {4, 67, open_failed + "handshake error"},                // protocol field short
             {68, 71, "Reached end of file " + path + "!"},           // no whole tag after the header
             {72, 75, "Failed to read from file " + path + "!\nImplementation reports: timeout"},  // count header
             {76, 79, "Failed to read from file " + path + "!\nImplementation reports: timeout"},  // count
             {80, 83, "Failed to read from file " + path + "!\nImplementation reports: timeout"},  // element header
             {84, 99, "Failed to read from file " + path + "!\nImplementation reports: timeout"},  // elements
         }) {
        for (size_t length = range.first; length <= range.last; ++length) {
            SCOPED_TRACE(length);
            write_file(cut, Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
            expect_throw<std::ios_base::failure>([&] { serializer->read_numbers(cut); }, io_failure(range.message));
        }
    }
    write_file(cut, whole);
    EXPECT_EQ(serializer->read_numbers(cut), (std::vector<double>{1.0, 2.0}));
}

TEST_F(Serializer_, PathsAreByteStreamAddresses) {
    auto events = some_events(4);
    const Bytes image = file_image("EVENT_PROTOCOL", events, true);
    // Memory blocks for reading.
    Bytes block = image;
    background::testing::expect_same_events(serializer->read_events(mem_address(block.data(), block.size())), events);
    // file:// and lockedfile:// paths.
    for (std::string prefix : {"file://", "lockedfile://"}) {
        fs::path address = prefix + file("events " + prefix.substr(0, 4)).string();
        serializer->write_events(address, events);
        EXPECT_EQ(file_bytes(file("events " + prefix.substr(0, 4))), image) << prefix;
        background::testing::expect_same_events(serializer->read_events(address), events);
    }
    // "-" is the standard output when writing and the standard input when reading.
    fs::path out = file("stdout");
    std::string failures = run_in_child([&] {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        serializer->write_events("-", events);
        int in = open(out.c_str(), O_RDONLY);
        dup2(in, STDIN_FILENO);
        return serializer->read_events("-").size() == events.size() ? std::string() : std::string("read back");
    });
    EXPECT_EQ(failures, "");
    EXPECT_EQ(file_bytes(out), image);
    // A directory that does not exist: nothing is created.
    fs::path missing = file("missing") / "events";
    expect_throw<std::ios_base::failure>(
        [&] { serializer->write_events(missing, events); },
        io_failure("Failed to open file " + missing.generic_string() + "!\nImplementation reports: connection error"));
    EXPECT_FALSE(fs::exists(file("missing")));
}

TEST_F(Serializer_, WritesIntoMemoryBlocksOfTheirSize) {
    // Opening flushes the 68-byte header, and a flush takes a memory stream back to the block's start: the
    // vector item, 16 + 24 n bytes, then lies over the header, so the block needs the larger of the two.
    struct Case {
        size_t n, size;
        const char* failed;  // nullptr: written
        const char* status;
    };
    for (const Case& c : std::initializer_list<Case>{{1, 68, nullptr, nullptr},
                                                    {1, 67, "open", "handshake error"},
                                                    {3, 88, nullptr, nullptr},
                                                    {3, 87, "write to", "write error"}}) {
        SCOPED_TRACE(testing::Message() << c.n << " events into " << c.size << " bytes");
        const auto events = some_events(c.n);
        const Bytes file = file_image("EVENT_PROTOCOL", events, true);
        const Bytes item(file.begin() + 68, file.end());
        Bytes block(c.size, 0xEE);
        const fs::path address = mem_address(block.data(), block.size());
        if (!c.failed) {
            serializer->write_events(address, events);
            EXPECT_EQ(Bytes(block.begin(), block.begin() + static_cast<long>(item.size())), item);
            continue;
        }
        expect_throw<std::ios_base::failure>([&] { serializer->write_events(address, events); },
                                             io_failure(std::string("Failed to ") + c.failed + " file " +
                                                        address.generic_string() +
                                                        "!\nImplementation reports: " + c.status));
    }
}

TEST_F(Serializer_, WritesCutShortByAFileSizeLimitThrow) {
    constexpr rlim_t limit = 4000;
    const auto events = some_events(1000);  // 24 KB, within the stream's buffer
    const auto many = some_events(20000);   // 480 KB, beyond it
    const auto records = some_records(100);
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> write;
        const char* status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"events", [&](const fs::path& path) { serializer->write_events(path, events); }, "flush error"},
             {"many events", [&](const fs::path& path) { serializer->write_events(path, many); }, "write error"},
             {"many events with clear gaps",
              [&](const fs::path& path) { serializer->write_events(path, std::vector<BackgroundEvent>(20000)); },
              "write error"},
             {"metadata", [&](const fs::path& path) { serializer->write_metadata(path, records); }, "flush error"},
             {"numbers", [&](const fs::path& path) { serializer->write_numbers(path, std::vector<double>(600, 1.0)); },
              "flush error"}}) {
        fs::path path = file(c.name);
        std::string failures = run_with_file_size_limit(limit, [&] {
            try {
                c.write(path);
            } catch (const std::ios_base::failure& e) {
                return e.what() == io_failure("Failed to write to file " + path.generic_string() +
                                              "!\nImplementation reports: " + c.status)
                           ? std::string()
                           : std::string(e.what());
            }
            return std::string("returned normally");
        });
        EXPECT_EQ(failures, "") << c.name;
        EXPECT_EQ(fs::file_size(path), limit) << c.name;
    }
}

}  // namespace
