// A native caller of the installed library: reads a settings file and builds
// a named instance through a factory.
#include <background/Factory.hpp>
#include <background/Hook.hpp>
#include <background/Settings.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::filesystem::path file = argv[1];
    std::ofstream(file) << "lib:\n  num_channels: 12\ngenerators:\n  one:\n    class: NPEGenerator\n    num_pe: 1\n";
    int channels = background::Settings::from_file(file)["lib"]["num_channels"];
    auto generator = background::Factory<background::EventGenerator>(file).create_by_name("one");
    auto handle = background::Hook::set<std::function<void(double)>>(7, [](double) {});
    std::printf("channels %d generator %s\n", channels, generator ? "built" : "missing");
    return channels == 12 && generator ? 0 : 1;
}
