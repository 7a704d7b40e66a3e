// XCDFReader over the tests' own text files (see fixture_reader.hpp).

#include <fstream>
#include <ios>
#include <sstream>
#include <stdexcept>
#include <string>

#include "background/XCDFReader.hpp"
#include "fixture_reader.hpp"

namespace background::testing {

ReaderLog reader_log;

std::vector<FixtureShower> numbered_showers(unsigned long count, double first_energy) {
    std::vector<FixtureShower> showers;
    for (unsigned long i = 0; i < count; ++i)
        showers.push_back({i + 1, first_energy + static_cast<double>(i), {}});
    return showers;
}

std::filesystem::path write_simulation(const std::filesystem::path& dir, const std::string& name,
                                       const std::vector<FixtureShower>& showers) {
    auto file = dir / name;
    std::ofstream out(file);
    out.precision(17);
    for (const auto& shower : showers) {
        out << shower.uid << ' ' << shower.energy;
        for (const auto& [channel, time] : shower.pes) out << ' ' << channel << ' ' << time;
        out << '\n';
    }
    if (!out) throw std::runtime_error("cannot write fixture " + file.string());
    return file;
}

}  // namespace background::testing

namespace background {

using testing::reader_log;

struct XCDFReader::Impl {
    std::ifstream file;
    bool with_pes;
    bool on_shower = false;
    Metadata shower{};
    std::vector<PEData> pes;
};

XCDFReader::XCDFReader() = default;

XCDFReader::XCDFReader(std::filesystem::path file, bool, bool with_pes)
    : impl(std::make_unique<Impl>(Impl{std::ifstream(file), with_pes, false, {}, {}})) {
    if (!impl->file.is_open()) throw std::ios_base::failure("fixture reader cannot open " + file.string());
    ++(with_pes ? reader_log.opens : reader_log.scans);
}

XCDFReader::XCDFReader(XCDFReader&& other) noexcept = default;
XCDFReader& XCDFReader::operator=(XCDFReader&& other) noexcept = default;
XCDFReader::~XCDFReader() = default;

bool XCDFReader::next() {
    if (!impl) throw std::logic_error("fixture reader: next() without a file");
    if (impl->with_pes) ++reader_log.nexts;
    std::string line;
    impl->on_shower = static_cast<bool>(std::getline(impl->file, line));
    if (!impl->on_shower) return false;
    std::istringstream fields(line);
    impl->shower = Metadata{};
    impl->shower.primary = Metadata::PROTON;
    fields >> impl->shower.uid >> impl->shower.energy;
    impl->pes.clear();
    // Times through std::stod, which also reads "nan" and "inf".
    PEData pe;
    std::string time;
    while (fields >> pe.channel >> time) {
        pe.time = std::stod(time);
        impl->pes.push_back(pe);
    }
    return true;
}

Metadata XCDFReader::get_metadata() {
    if (!impl || !impl->on_shower) throw std::logic_error("fixture reader: no current shower");
    return impl->shower;
}

std::vector<XCDFReader::PEData> XCDFReader::get_pe_data() {
    if (!impl || !impl->on_shower) throw std::logic_error("fixture reader: no current shower");
    if (!impl->with_pes) throw std::logic_error("fixture reader: opened for metadata only");
    return impl->pes;
}

}  // namespace background
