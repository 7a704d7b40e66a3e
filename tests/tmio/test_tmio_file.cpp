// tmio::TMIO: item images, every failure and its message, protocol prefixes, open modes, moved-from objects,
// the checked close under a file-size limit, and memory that follows the bytes a stream holds.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "background/BackgroundEvent.hpp"
#include "background/Metadata.hpp"
#include "stream_support.hpp"
#include "tmio/TMIO.hpp"
#include "tmio_context.hpp"

// The largest block asked of operator new since the last reset: shows how much memory a read spent.
namespace {
std::atomic<std::size_t> largest_allocation{0};
}  // namespace

// tmio_init returns NULL on demand, as it does when memory runs out (the program links with
// --wrap=tmio_init).
namespace {
bool refuse_contexts = false;
}  // namespace

extern "C" tmio_context* __real_tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity);
extern "C" tmio_context* __wrap_tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity) {
    return refuse_contexts ? nullptr : __real_tmio_init(protocol, timeout, buffer_kib, verbosity);
}

void* operator new(std::size_t size) {
    std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
    }
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
// Out of line, so that the compiler does not pair a free() it sees with the new above.
__attribute__((noinline)) void operator delete(void* block) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using namespace tmio_test;
using background::BackgroundEvent;
using background::Metadata;
using background::testing::expect_throw;
using background::testing::io_failure;
using background::testing::run_with_file_size_limit;
using tmio::TMIO;
namespace fs = std::filesystem;

// What `body` throws, empty when it returns.
std::string thrown(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string write_failed(const fs::path& file, const std::string& status) {
    return io_failure("Failed to write to file " + file.generic_string() + "!\nImplementation reports: " + status);
}

// Records whose alignment bytes hold garbage in memory.
BackgroundEvent event(double time, int type, unsigned long id) {
    BackgroundEvent e;
    std::memset(&e, 0xAB, sizeof e);
    e.time = time;
    e.type = type;
    e.id = id;
    return e;
}

Metadata metadata(unsigned long uid) {
    Metadata m;
    std::memset(&m, 0xCD, sizeof m);
    m.uid = uid;
    m.primary = Metadata::PROTON;
    m.energy = 1000.0 * uid;
    m.x = 1.5;
    m.y = -2.5;
    m.theta = 0.25;
    m.phi = 3.0;
    m.time = 12.0 + uid;
    return m;
}

// The image of a record as a file must hold it: bytes 12..15 zero.
template <class T>
Bytes file_image(const T& value) {
    Bytes bytes = image_of(value);
    std::fill(bytes.begin() + 12, bytes.begin() + 16, 0);
    return bytes;
}

TEST(TmioFile, ItemImagesAndTheirReadBack) {
    const uint64_t uid = 0x0102030405060708;
    const double doubles[] = {1.5, -2.0, 3.0};
    const BackgroundEvent events[] = {event(0.5, 2, 7), event(-1.0, -3, ~0ul)};
    const Metadata records[] = {metadata(1), metadata(2), metadata(3)};
    struct Case {
        const char* name;
        std::function<void(TMIO&)> write;
        Bytes items;
        std::function<void(TMIO&)> read_back;
    };
    std::vector<Case> cases = {
        {"struct item of a u64", [&](TMIO& out) { out.write_raw(TMIO::STRUCT, &uid, 8); },
         concat({header_bytes(-1), header_bytes(8), Bytes{8, 7, 6, 5, 4, 3, 2, 1}}),
         [&](TMIO& in) {
             uint64_t back = 0;
             in.read_raw(TMIO::STRUCT, &back, 8);
             EXPECT_EQ(back, uid);
         }},
        {"vector item of three doubles", [&](TMIO& out) { out.write_array(TMIO::VECTOR, doubles, 3); },
         concat({Bytes{0xFD, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0, 3, 0, 0, 0, 0x18, 0, 0, 0}, image_of(doubles)}),
         [&](TMIO& in) { EXPECT_EQ(in.read_vector<double>(), std::vector<double>(doubles, doubles + 3)); }},
        {"empty vector item", [&](TMIO& out) { out.write_array(TMIO::VECTOR, doubles, 0); },
         concat({header_bytes(-3), header_bytes(4), header_bytes(0), header_bytes(0)}),
         [&](TMIO& in) { EXPECT_TRUE(in.read_vector<double>().empty()); }},
        {"events with zero alignment bytes", [&](TMIO& out) { out.write_array(TMIO::VECTOR, events, 2); },
         concat({header_bytes(-3), header_bytes(4), header_bytes(2), header_bytes(48), file_image(events[0]),
                 file_image(events[1])}),
         [&](TMIO& in) {
             background::testing::expect_same_events(in.read_vector<BackgroundEvent>(), {events[0], events[1]});
         }},
        {"records with zero alignment bytes", [&](TMIO& out) { out.write_array(TMIO::VECTOR, records, 3); },
         concat({header_bytes(-3), header_bytes(4), header_bytes(3), header_bytes(192), file_image(records[0]),
                 file_image(records[1]), file_image(records[2])}),
         [&](TMIO& in) {
             background::testing::expect_same(in.read_vector<Metadata>(), {records[0], records[1], records[2]});
         }},
        {"struct item of a record, then the elements of a vector item read into place",
         [&](TMIO& out) {
             out.write_raw(TMIO::STRUCT, &records[0], sizeof(Metadata));
             out.write_array(TMIO::VECTOR, records, 2);
         },
         concat({header_bytes(-1), header_bytes(64), image_of(records[0]), header_bytes(-3), header_bytes(4), header_bytes(2),
                 header_bytes(128), file_image(records[0]), file_image(records[1])}),
         [&](TMIO& in) {
             Metadata first;
             in.read_raw(TMIO::STRUCT, &first, sizeof first);
             int count = 0;
             in.read_raw(TMIO::VECTOR, &count, 4);
             ASSERT_EQ(count, 2);
             Metadata pair[2];
             in.read_array_data(pair, count);
             background::testing::expect_same({first, pair[0], pair[1]}, {records[0], records[0], records[1]});
         }},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = dir.path() / "items.tmio";
        {
            TMIO out(file, std::ios::out, "P");
            c.write(out);
            out.close();
        }
        EXPECT_EQ(file_bytes(file), concat({protocol_image("P"), c.items}));
        TMIO in(file, std::ios::in, "P");
        c.read_back(in);
        expect_throw<std::ios_base::failure>([&] { in.read_vector<double>(); },
                                             io_failure("Reached end of file " + file.generic_string() + "!"));
    }
    for (auto [tag, name] : {std::pair{1, "STRUCT"}, {2, "STRING"}, {3, "VECTOR"}, {4, "MAP"}, {0, "INVALID"},
                             {9, "INVALID"}, {-1, "INVALID"}})
        EXPECT_EQ(TMIO::tag_str(tag), name);
}

// Items that lie whole in a file stream's input buffer are taken from there in place; items cut by the
// buffer's end, and data records before a tag, take the step-by-step path. A memory block, which has no
// input buffer, reads every item step by step: both must give the same values and the same counters.
TEST(TmioFile, ItemsReadInPlaceAndAcrossTheInputBufferAsStepByStep) {
    TempDir dir;
    const fs::path file = dir.path() / "items.tmio";
    const int items = 30000;  // about 1 MiB: the 256 KiB input buffer ends inside items several times
    {
        TMIO out(file, std::ios::out, "P");
        std::vector<double> doubles;
        for (int i = 0; i < items; ++i) {
            const uint64_t wide = 0x0101010101010101ull * static_cast<uint64_t>(i);
            const int32_t narrow = -i;
            if (i % 97 == 1) tmio_write_data(out.context(), &narrow, sizeof narrow);  // passed over by the reader
            switch (i % 4) {
                case 0: out.write_raw(TMIO::STRUCT, &wide, 8); break;
                case 1: out.write_raw(TMIO::STRUCT, &narrow, 4); break;
                case 2:
                    doubles.assign(static_cast<std::size_t>(i % 7), 0.5 * i);
                    out.write_array(TMIO::VECTOR, doubles.data(), static_cast<int>(doubles.size()));
                    break;
                default: {
                    const Metadata record = metadata(static_cast<unsigned long>(i));
                    out.write_raw(TMIO::STRUCT, &record, sizeof record);
                }
            }
        }
        out.close();
    }
    Bytes image = file_bytes(file);
    struct Read {
        std::vector<uint64_t> wide;
        std::vector<int32_t> narrow;
        std::vector<std::vector<double>> vectors;
        std::vector<Metadata> records;
        std::vector<long long> counters;
    };
    auto read_all = [&](const std::string& address) {
        Read read;
        TMIO in(address, std::ios::in, "P");
        for (int i = 0; i < items; ++i) {
            switch (i % 4) {
                case 0: in.read_raw(TMIO::STRUCT, &read.wide.emplace_back(), 8); break;
                case 1: in.read_raw(TMIO::STRUCT, &read.narrow.emplace_back(), 4); break;
                case 2: read.vectors.push_back(in.read_vector<double>()); break;
                default: in.read_raw(TMIO::STRUCT, &read.records.emplace_back(), sizeof(Metadata));
            }
        }
        EXPECT_THROW(in.read_vector<double>(), std::ios_base::failure);
        const tmio_context* c = in.context();
        read.counters = {c->tags_read,      c->data_records_in, c->read_missing,  c->read_shortened,
                         c->read_truncated, c->data_skipped,    c->tags_skipped,  static_cast<long long>(c->bytes_read),
                         static_cast<long long>(c->bytes_skipped)};
        return read;
    };
    const Read from_file = read_all(file.string());
    const Read from_memory = read_all(mem_address(image.data(), image.size()));
    EXPECT_EQ(from_file.wide, from_memory.wide);
    EXPECT_EQ(from_file.narrow, from_memory.narrow);
    EXPECT_EQ(from_file.vectors, from_memory.vectors);
    background::testing::expect_same(from_file.records, from_memory.records);
    EXPECT_EQ(from_file.counters, from_memory.counters);
    ASSERT_EQ(from_file.wide.size(), static_cast<std::size_t>(items / 4));
    EXPECT_EQ(from_file.wide.back(), 0x0101010101010101ull * (items - 4));
    EXPECT_EQ(from_file.vectors.back(), std::vector<double>(static_cast<std::size_t>((items - 2) % 7), 0.5 * (items - 2)));
    EXPECT_EQ(from_file.counters[5], (items + 95) / 97);  // every data record before a tag passed over
}

TEST(TmioFile, ElementsWithGapsIntoMemoryBlocks) {
    const BackgroundEvent events[] = {event(1.0, 1, 1), event(2.0, 2, 2), event(3.0, 3, 3)};
    const Bytes expected = concat({header_bytes(-3), header_bytes(72), file_image(events[0]), file_image(events[1]),
                                   file_image(events[2])});
    for (size_t missing : {0, 1}) {
        SCOPED_TRACE(missing);
        Bytes block(expected.size() - missing, 0);
        tmio_context* context = tmio_init("P", 0, 0, 0);
        // The protocol tag goes out and the flush returns to the block's start, where the records follow.
        ASSERT_GE(tmio_create(context, mem_address(block.data(), block.size()).c_str(), 0), 0);
        ASSERT_EQ(tmio_write_tag(context, 3), 0);
        EXPECT_EQ(tmio_write_elements(context, events, 3, sizeof(BackgroundEvent), 12, 4), missing ? -1 : 72);
        if (missing)
            EXPECT_STREQ(tmio_status_str(context), "write error");
        else
            EXPECT_EQ(block, expected);
        tmio_delete(context);
    }
}

TEST(TmioFile, ReadFailuresSpendNoMemoryBeyondTheFile) {
    TempDir dir;
    const fs::path file = dir.path() / "in.tmio";
    const std::string path = file.generic_string();
    auto fails = [&](const std::string& message) { return io_failure(message); };
    auto read_error = [&](long long found, long long required) {
        return fails("Read error in file " + path + ": Read " + std::to_string(found) + " bytes but required " +
                     std::to_string(required) + " bytes.");
    };
    auto read_failed = [&](const std::string& status) {
        return fails("Failed to read from file " + path + "!\nImplementation reports: " + status);
    };
    auto vector_head = [](int32_t count, int32_t bytes) {
        return concat({header_bytes(-3), header_bytes(4), header_bytes(count), header_bytes(bytes)});
    };
    auto struct8 = [](TMIO& in) {
        char out[8];
        in.read_raw(TMIO::STRUCT, out, 8);
    };
    auto doubles = [](TMIO& in) { in.read_vector<double>(); };
    struct Case {
        const char* name;
        Bytes items;
        std::function<void(TMIO&)> read;
        std::string message;
        bool length_error = false;
    };
    const int32_t most = std::numeric_limits<int32_t>::max() / 8;
    std::vector<Case> cases = {
        {"struct record shorter than required", concat({header_bytes(-1), header_bytes(4), Bytes(4, 1)}), struct8,
         read_error(4, 8)},
        {"vector where a struct is required", vector_head(0, 0), struct8,
         fails("Read error in file " + path + ": Found tag VECTOR but required tag STRUCT.")},
        {"unknown tag", concat({header_bytes(-9), header_bytes(8), Bytes(8, 0)}), struct8,
         fails("Read error in file " + path + ": Found tag INVALID but required tag STRUCT.")},
        {"no item left", {}, struct8, fails("Reached end of file " + path + "!")},
        {"struct cut inside its record", concat({header_bytes(-1), header_bytes(8), Bytes(5, 1)}), struct8,
         read_failed("timeout")},
        {"reserved header", header_bytes(-1000000002), struct8, read_failed("read error")},
        {"count record of 8 bytes", concat({header_bytes(-3), header_bytes(8), Bytes(8, 0)}), doubles, read_error(8, 4)},
        {"negative count", concat({header_bytes(-3), header_bytes(4), header_bytes(-1), header_bytes(0)}), doubles,
         "cannot create std::vector larger than max_size()", true},
        {"element record shorter than the count", concat({vector_head(3, 16), Bytes(16, 0)}), doubles,
         read_error(16, 24)},
        {"element record longer than the count", concat({vector_head(1, 16), Bytes(16, 0)}), doubles,
         read_error(16, 8)},
        {"count whose bytes exceed the int range", concat({vector_head(1 << 28, 8), Bytes(8, 0)}), doubles,
         read_error(8, 2147483648)},
        {"tag where the element record is due", concat({header_bytes(-3), header_bytes(4), header_bytes(2), header_bytes(-1)}),
         doubles, read_failed("okay")},
        {"element record cut short", concat({vector_head(1000, 8000), Bytes(100, 0)}), doubles,
         read_failed("timeout")},
        {"largest element record, 100 bytes behind it", concat({vector_head(most, most * 8), Bytes(100, 0)}),
         doubles, read_failed("timeout")},
        {"elements read into place, record too short", concat({vector_head(2, 16), Bytes(16, 0)}),
         [](TMIO& in) {
             int count = 0;
             in.read_raw(TMIO::VECTOR, &count, 4);
             Metadata two[2];
             in.read_array_data(two, count);
         },
         read_error(16, 128)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = concat({protocol_image("P"), c.items});
        write_file(file, image);
        TMIO in(file, std::ios::in, "P");
        largest_allocation = 0;
        if (c.length_error)
            expect_throw<std::length_error>([&] { c.read(in); }, c.message);
        else
            expect_throw<std::ios_base::failure>([&] { c.read(in); }, c.message);
        // Room for the message; nothing like the lengths the file claims.
        EXPECT_LE(largest_allocation.load(), image.size() + 1024);
    }
}

// The edge of the check above: a record one byte longer than what follows it, inside the input buffer or
// beyond it, from a file or a memory block, gets no memory of its size.
TEST(TmioFile, ARecordOneByteLongerThanTheStreamIsRefusedBeforeMemoryIsSpent) {
    TempDir dir;
    const fs::path file = dir.path() / "in.tmio";
    for (int32_t count : {4096, 1 << 18}) {  // 32 KiB, and 2 MiB: far beyond the 256 KiB input buffer
        const int32_t bytes = count * 8;
        const Bytes image = concat({protocol_image("P"), header_bytes(-3), header_bytes(4), header_bytes(count),
                                    header_bytes(bytes), Bytes(static_cast<size_t>(bytes) - 1, 0)});
        write_file(file, image);
        const std::string block = mem_address(const_cast<unsigned char*>(image.data()), image.size());
        for (const std::string& address : {file.string(), block}) {
            SCOPED_TRACE(std::to_string(bytes) + " bytes from " + address);
            TMIO in(address, std::ios::in, "P");
            largest_allocation = 0;
            expect_throw<std::ios_base::failure>(
                [&] { in.read_vector<double>(); },
                io_failure("Failed to read from file " + fs::path(address).generic_string() +
                           "!\nImplementation reports: timeout"));
            EXPECT_LT(largest_allocation.load(), 4096u);
        }
    }
}

// A FIFO held open for writing throughout, so its reader sees no end of data, only bytes that stop coming
// and may come again. Its reader is told not to wait for them: a pause then shows as the stream's end.
class LiveFifo {
public:
    LiveFifo() {
        EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
        writer_ = open(path_.c_str(), O_RDWR | O_NONBLOCK);
        EXPECT_GE(writer_, 0);
        EXPECT_GE(fcntl(writer_, F_SETPIPE_SZ, 1 << 20), 1 << 20);
    }
    LiveFifo(const LiveFifo&) = delete;
    ~LiveFifo() { close(writer_); }
    const fs::path& path() const { return path_; }
    TMIO reader(const char* protocol) const {
        TMIO in(path_, std::ios::in, protocol);
        tmio_timeout(in.context(), 0);
        return in;
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(write(writer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    TempDir dir_;
    fs::path path_ = dir_.path() / "fifo";
    int writer_ = -1;
};

TEST(TmioFile, StreamsOfUnknownLengthGetMemoryAsTheBytesArrive) {
    LiveFifo live;
    const fs::path& fifo = live.path();
    auto send = [&](const Bytes& bytes) { live.send(bytes); };
    std::vector<double> values(20000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i);
    Bytes payload(values.size() * 8);
    std::memcpy(payload.data(), values.data(), payload.size());
    const int32_t most = std::numeric_limits<int32_t>::max() / 8;
    send(concat({protocol_image("P"), header_bytes(-3), header_bytes(4), header_bytes(20000), header_bytes(160000), payload,
                 header_bytes(-3), header_bytes(4), header_bytes(most), header_bytes(most * 8), Bytes(100000, 0)}));

    TMIO in = live.reader("P");
    largest_allocation = 0;
    EXPECT_EQ(in.read_vector<double>(), values);
    EXPECT_LE(largest_allocation.load(), 2 * payload.size());
    largest_allocation = 0;
    expect_throw<std::ios_base::failure>(
        [&] { in.read_vector<double>(); },
        io_failure("Failed to read from file " + fifo.generic_string() + "!\nImplementation reports: timeout"));
    EXPECT_LE(largest_allocation.load(), 2 * 100000u);
}

TEST(TmioFile, AReaderGoesOnAfterAWrongItem) {
    const uint64_t next = 0x0102030405060708;
    const Bytes next_item = concat({header_bytes(-1), header_bytes(8), image_of(next)});
    const Bytes vector_of_one =
        concat({header_bytes(-3), header_bytes(4), header_bytes(1), header_bytes(8), image_of(2.5)});
    auto struct8 = [](TMIO& in) {
        uint64_t out = 0;
        in.read_raw(TMIO::STRUCT, &out, 8);
    };
    auto read_next = [&](TMIO& in) {
        uint64_t back = 0;
        in.read_raw(TMIO::STRUCT, &back, 8);
        EXPECT_EQ(back, next);
    };
    struct Case {
        const char* name;
        Bytes before;  // sent before the failing read
        std::function<void(TMIO&)> fail;
        std::string message_before_path, message_after_path;
        Bytes after;  // sent after it
        std::function<void(TMIO&)> go_on;
    };
    std::vector<Case> cases = {
        {"wrong tag: the records of the vector item are passed over", concat({vector_of_one, next_item}), struct8,
         "Read error in file ", ": Found tag VECTOR but required tag STRUCT.", {}, read_next},
        {"wrong record length: the record is consumed",
         concat({header_bytes(-1), header_bytes(4), Bytes(4, 1), next_item}), struct8,
         "Read error in file ", ": Read 4 bytes but required 8 bytes.", {}, read_next},
        {"end of data: the item that arrives later is read", {}, struct8, "Reached end of file ", "!", next_item,
         read_next},
        {"negative element count: nothing is read", vector_of_one,
         [](TMIO& in) {
             int count = 0;
             in.read_raw(TMIO::VECTOR, &count, 4);
             double value = 0;
             in.read_array_data(&value, -1);
         },
         "Failed to read from file ", "!\nImplementation reports: okay", {},
         [](TMIO& in) {
             double value = 0;
             in.read_array_data(&value, 1);
             EXPECT_EQ(value, 2.5);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LiveFifo fifo;
        fifo.send(concat({protocol_image("P"), c.before}));
        TMIO in = fifo.reader("P");
        expect_throw<std::ios_base::failure>(
            [&] { c.fail(in); },
            io_failure(c.message_before_path + fifo.path().generic_string() + c.message_after_path));
        EXPECT_EQ(tmio_status(in.context()), 0);
        if (!c.after.empty()) fifo.send(c.after);
        c.go_on(in);
    }
}

TEST(TmioFile, ElementsReadIntoPlaceKeepWhatFitsOfARecordOfAnotherLength) {
    TempDir dir;
    const fs::path file = dir.path() / "in.tmio";
    const std::string path = file.generic_string();
    struct Case {
        std::vector<double> stored;  // the element record holds these
        std::vector<double> expected;  // the caller's three doubles afterwards
    };
    for (const Case& c : std::initializer_list<Case>{{{1.5, 2.5}, {1.5, 2.5, -1.0}},
                                                    {{1.5, 2.5, 3.5, 4.5}, {1.5, 2.5, 3.5}}}) {
        SCOPED_TRACE(c.stored.size());
        Bytes record(c.stored.size() * 8);
        std::memcpy(record.data(), c.stored.data(), record.size());
        write_file(file, concat({protocol_image("P"), header_bytes(static_cast<int32_t>(record.size())), record}));
        TMIO in(file, std::ios::in, "P");
        // The record follows no tag here, as after a count read by hand.
        std::vector<double> out = {-1.0, -1.0, -1.0, -1.0};
        expect_throw<std::ios_base::failure>(
            [&] { in.read_array_data(out.data(), 3); },
            io_failure("Read error in file " + path + ": Read " + std::to_string(record.size()) +
                       " bytes but required 24 bytes."));
        EXPECT_EQ(std::vector<double>(out.begin(), out.begin() + 3), c.expected);
        EXPECT_EQ(out[3], -1.0) << "nothing beyond the count";
    }
}

TEST(TmioFile, AFailedStreamFailsEveryLaterItem) {
    const Bytes item = concat({header_bytes(-1), header_bytes(8), Bytes(8, 1)});
    struct Case {
        const char* name;
        Bytes before;  // sent before the failing read
        Bytes after;   // a whole item, sent after it
        const char* status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"record cut off", concat({header_bytes(-1), header_bytes(8), Bytes(5, 1)}), concat({Bytes(3, 1), item}),
              "timeout"},
             {"reserved header", header_bytes(-1000000002), item, "read error"},
             {"protocol tag of another kind", protocol_image("Q"), item, "protocol error"}}) {
        SCOPED_TRACE(c.name);
        LiveFifo fifo;
        fifo.send(concat({protocol_image("P"), c.before}));
        TMIO in = fifo.reader("P");
        const std::string message = io_failure("Failed to read from file " + fifo.path().generic_string() +
                                               "!\nImplementation reports: " + c.status);
        char out[8];
        expect_throw<std::ios_base::failure>([&] { in.read_raw(TMIO::STRUCT, out, 8); }, message);
        fifo.send(c.after);
        expect_throw<std::ios_base::failure>([&] { in.read_raw(TMIO::STRUCT, out, 8); }, message);
        expect_throw<std::ios_base::failure>([&] { in.read_vector<double>(); }, message);
        expect_throw<std::ios_base::failure>([&] { in.read_array_data(out, 8); }, message);
    }
}

TEST(TmioFile, ProtocolPrefixes) {
    TempDir dir;
    fs::path meta = dir.path() / "meta.tmio";
    TMIO(meta, std::ios::out, "META_PROTOCOL").close();
    const fs::path missing = dir.path() / "missing";
    struct Case {
        fs::path file;
        const char* protocol;
        const char* status;  // nullptr: opens
    };
    for (const Case& c : std::initializer_list<Case>{
             {meta, "META_PROTOCOL", nullptr},
             {meta, "META", nullptr},
             {meta, "", nullptr},
             {meta, "META_PROTOCOLS", "protocol error"},
             {meta, "EVENT_PROTOCOL", "protocol error"},
             {missing, "META", "connection error"},
             {dir.write("empty", ""), "META", "handshake error"},
             {dir.write("other", std::string("\xFF\xFF\xFF\xFF") + std::string(64, 'M')), "META", "handshake error"},
             {dir.write("short field", std::string("\xFF\x35\x65\xC4META", 8)), "META", "handshake error"}}) {
        SCOPED_TRACE(c.file.filename().string() + " as " + c.protocol);
        if (!c.status) {
            TMIO in(c.file, std::ios::in, c.protocol);
            EXPECT_STREQ(tmio_stream_protocol(in.context()), "META_PROTOCOL");
            continue;
        }
        expect_throw<std::ios_base::failure>(
            [&] { TMIO(c.file, std::ios::in, c.protocol); },
            io_failure("Failed to open file " + c.file.generic_string() + "!\nImplementation reports: " + c.status));
    }
    // Writing into a directory that does not exist creates nothing.
    expect_throw<std::ios_base::failure>(
        [&] { TMIO(missing / "out.tmio", std::ios::out, "P"); },
        io_failure("Failed to open file " + (missing / "out.tmio").generic_string() +
                   "!\nImplementation reports: connection error"));
    EXPECT_FALSE(fs::exists(missing));
}

TEST(TmioFile, OnlyPlainReadingOrWriting) {
    TempDir dir;
    fs::path file = dir.path() / "never.tmio";
    for (auto mode : {std::ios::in | std::ios::binary, std::ios::out | std::ios::binary, std::ios::in | std::ios::out,
                      std::ios::out | std::ios::trunc, std::ios::app, std::ios_base::openmode{}}) {
        expect_throw<std::invalid_argument>(
            [&] { TMIO(file, mode, "P"); },
            "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!");
    }
    EXPECT_FALSE(fs::exists(file));
}

TEST(TmioFile, ItemsNeedAStreamOfTheirDirection) {
    TempDir dir;
    fs::path file = dir.path() / "items.tmio";
    double value = 1.0;
    auto attempts = [&](TMIO& stream) {
        return std::vector<std::function<void()>>{
            [&] { stream.write_raw(TMIO::STRUCT, &value, 8); },
            [&] { stream.write_array(TMIO::VECTOR, &value, 1); },
            [&] { stream.read_raw(TMIO::STRUCT, &value, 8); },
            [&] { stream.read_vector<double>(); },
        };
    };
    TMIO out(file, std::ios::out, "P");
    auto on_writer = attempts(out);
    for (size_t i = 2; i < 4; ++i)
        expect_throw<std::ios_base::failure>(on_writer[i], io_failure("Cannot read from output stream!"));
    out.write_raw(TMIO::STRUCT, &value, 8);
    out.close();
    TMIO in(file, std::ios::in, "P");
    auto on_reader = attempts(in);
    for (size_t i = 0; i < 2; ++i)
        expect_throw<std::ios_base::failure>(on_reader[i], io_failure("Cannot write to input stream!"));

    // No stream: default-constructed, moved from by construction and by assignment.
    TMIO in_again(file, std::ios::in, "P");
    TMIO taken(std::move(in));
    TMIO assigned;
    assigned = std::move(in_again);
    TMIO empty;
    for (TMIO* stream : {&empty, &in, &in_again}) {
        EXPECT_EQ(stream->context(), nullptr);
        EXPECT_EQ(stream->mode(), std::ios_base::openmode{});
        EXPECT_TRUE(stream->path().empty());
        for (auto& attempt : attempts(*stream))
            expect_throw<std::ios_base::failure>(attempt, io_failure("Stream is in an invalid state!"));
        Metadata record;
        expect_throw<std::ios_base::failure>([&] { stream->read_array_data(&record, 1); },
                                             io_failure("Stream is in an invalid state!"));
        stream->close();
    }
    // The objects moved to read on; assigning a stream to itself changes nothing.
    auto& self = assigned;
    assigned = std::move(self);
    for (TMIO* stream : {&taken, &assigned}) {
        EXPECT_EQ(stream->mode(), std::ios::in);
        EXPECT_EQ(stream->path(), file);
        stream->read_raw(TMIO::STRUCT, &value, 8);
        EXPECT_EQ(value, 1.0);
    }
    // Assignment closes the stream it replaces (the sanitizer build sees a leak otherwise).
    taken = TMIO(file, std::ios::in, "P");
    taken.read_raw(TMIO::STRUCT, &value, 8);
}

TEST(TmioFile, VectorsBeyondOneDataRecordAreRefusedBeforeWriting) {
    EXPECT_EQ(TMIO::vector_count<double>(268435455), 268435455);
    EXPECT_EQ(TMIO::vector_count<BackgroundEvent>(89478485), 89478485);
    expect_throw<std::length_error>(
        [] { TMIO::vector_count<double>(268435456); },
        "Cannot write 268435456 elements of 8 bytes: one data record holds at most 2147483647 bytes!");
    expect_throw<std::length_error>(
        [] { TMIO::vector_count<Metadata>(std::size_t{1} << 40); },
        "Cannot write 1099511627776 elements of 64 bytes: one data record holds at most 2147483647 bytes!");

    TempDir dir;
    fs::path file = dir.path() / "out.tmio";
    {
        TMIO out(file, std::ios::out, "P");
        const Metadata* none = nullptr;  // never read: the count is refused first
        expect_throw<std::length_error>(
            [&] { out.write_array(TMIO::VECTOR, none, 33554432); },
            "Cannot write 33554432 elements of 64 bytes: one data record holds at most 2147483647 bytes!");
        out.close();
    }
    EXPECT_EQ(file_bytes(file), protocol_image("P"));
    {
        // A negative count: the tag and the count go out, then the item cannot be completed.
        TMIO out(file, std::ios::out, "P");
        double value = 0;
        expect_throw<std::ios_base::failure>([&] { out.write_array(TMIO::VECTOR, &value, -1); },
                                             write_failed(file, "okay"));
        out.close();
    }
    EXPECT_EQ(file_bytes(file), concat({protocol_image("P"), header_bytes(-3), header_bytes(4), header_bytes(-1)}));
}

TEST(TmioFile, CloseReportsBytesThatDidNotReachTheFile) {
    constexpr rlim_t limit = 1000;
    TempDir dir;
    Bytes block(1500, 7);
    std::vector<double> many(40000, 1.0);  // a record larger than the stream's buffer
    struct Case {
        const char* name;
        std::function<void(ChildCheck&, const fs::path&)> body;
        size_t file_size;
    };
    std::vector<Case> cases = {
        {"buffered item, the final flush fails",
         [&](ChildCheck& check, const fs::path& file) {
             TMIO out(file, std::ios::out, "P");
             out.write_raw(TMIO::STRUCT, block.data(), 1500);
             check.equal(thrown([&] { out.close(); }), write_failed(file, "flush error"), "close");
             check.equal(thrown([&] { out.close(); }), std::string(), "second close");
             check.equal(thrown([&] { out.write_raw(TMIO::STRUCT, block.data(), 8); }), write_failed(file, "flush error"),
                         "write after the failed close");
         },
         limit},
        {"buffered item, no close: the destructor stays silent",
         [&](ChildCheck&, const fs::path& file) {
             TMIO out(file, std::ios::out, "P");
             out.write_raw(TMIO::STRUCT, block.data(), 1500);
         },
         limit},
        {"record larger than the buffer",
         [&](ChildCheck& check, const fs::path& file) {
             TMIO out(file, std::ios::out, "P");
             check.equal(thrown([&] { out.write_array(TMIO::VECTOR, many.data(), 40000); }),
                         write_failed(file, "write error"), "write");
             check.equal(thrown([&] { out.close(); }), write_failed(file, "write error"), "close");
         },
         limit},
        {"items that fit",
         [&](ChildCheck& check, const fs::path& file) {
             TMIO out(file, std::ios::out, "P");
             out.write_raw(TMIO::STRUCT, block.data(), 900);
             check.equal(thrown([&] { out.close(); }), std::string(), "close");
         },
         68 + 8 + 900},
        {"protocol tag",
         [&](ChildCheck& check, const fs::path& file) {
             background::testing::set_file_size_limit(50);
             check.equal(thrown([&] { TMIO(file, std::ios::out, "P"); }),
                         io_failure("Failed to open file " + file.generic_string() +
                                    "!\nImplementation reports: handshake error"),
                         "open");
         },
         50},
    };
    for (const Case& c : cases) {
        fs::path file = dir.path() / c.name;
        std::string failures = run_with_file_size_limit(limit, [&] {
            ChildCheck check;
            c.body(check, file);
            return check.failures;
        });
        EXPECT_EQ(failures, "") << c.name;
        EXPECT_EQ(fs::file_size(file), c.file_size) << c.name;
    }
}

TEST(TmioFile, AContextThatCannotBeAllocatedIsBadAlloc) {
    TempDir dir;
    fs::path file = dir.path() / "out.tmio";
    refuse_contexts = true;
    for (auto mode : {std::ios::in, std::ios::out})
        expect_throw<std::bad_alloc>([&] { TMIO(file, mode, "P"); }, std::bad_alloc().what());
    refuse_contexts = false;
    EXPECT_FALSE(fs::exists(file));
}

}  // namespace
