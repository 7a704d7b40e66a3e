// A native caller of the installed library: reads a settings file and builds
// a named instance through a factory, then moves bytes through the stream
// layers: a memory block and a tagged-message file, and writes and reads a vector item through the file
// wrapper, whose header code calls into the library.
#include <background/Factory.hpp>
#include <background/Hook.hpp>
#include <background/Settings.hpp>
#include <tmio/TMIO.hpp>
#include <tmio/tmio.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

bool memory_round_trip() {
    char block[16] = {};
    char address[64];
    std::snprintf(address, sizeof address, "mem://%p/%zu", static_cast<void*>(block), sizeof block);
    bufio_stream* out = bufio_open(address, "w", 0, 0, nullptr);
    bool ok = bufio_write(out, "round trip", 10) == 10 && bufio_close(out) == 0;
    bufio_stream* in = bufio_open(address, "r", 0, 0, nullptr);
    char back[10] = {};
    ok = ok && bufio_read(in, back, 10) == 10 && std::memcmp(back, "round trip", 10) == 0;
    return bufio_close(in) == 0 && ok;
}

bool tagged_file_round_trip(const std::filesystem::path& file) {
    tmio_context* writer = tmio_init("CONSUMER_PROTOCOL", 0, 0, 0);
    int value = 42;
    bool ok = tmio_create(writer, file.c_str(), 0) == TMIO_TYPE_FILE && tmio_write_tag(writer, 3) == 0 &&
              tmio_write_data(writer, &value, sizeof value) == sizeof value;
    ok = tmio_delete(writer) == 0 && ok;
    tmio_context* reader = tmio_init("CONSUMER", 0, 0, 0);
    int back = 0;
    ok = ok && tmio_open(reader, file.c_str(), 0) == TMIO_TYPE_FILE && tmio_read_tag(reader) == 3 &&
         tmio_read_data(reader, &back, sizeof back) == sizeof back && back == 42 && tmio_read_tag(reader) == 0;
    return tmio_delete(reader) == 0 && ok;
}

bool wrapper_round_trip(const std::filesystem::path& file) {
    const std::vector<double> values = {0.5, -1.0, 2.0};
    tmio::TMIO out(file, std::ios::out, "CONSUMER_PROTOCOL");
    out.write_array(tmio::TMIO::VECTOR, values.data(), tmio::TMIO::vector_count<double>(values.size()));
    out.close();
    return tmio::TMIO(file, std::ios::in, "CONSUMER").read_vector<double>() == values;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::filesystem::path file = argv[1];
    std::ofstream(file) << "lib:\n  num_channels: 12\ngenerators:\n  one:\n    class: NPEGenerator\n    num_pe: 1\n";
    int channels = background::Settings::from_file(file)["lib"]["num_channels"];
    auto generator = background::Factory<background::EventGenerator>(file).create_by_name("one");
    auto handle = background::Hook::set<std::function<void(double)>>(7, [](double) {});
    bool memory = memory_round_trip();
    bool tagged = tagged_file_round_trip(file.parent_path() / "consumer.tmio");
    bool wrapped = wrapper_round_trip(file.parent_path() / "wrapper.tmio");
    std::printf("channels %d generator %s memory stream %s tagged file %s file wrapper %s\n", channels,
                generator ? "built" : "missing", memory ? "ok" : "failed", tagged ? "ok" : "failed",
                wrapped ? "ok" : "failed");
    return channels == 12 && generator && memory && tagged && wrapped ? 0 : 1;
}
