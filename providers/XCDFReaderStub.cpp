// The XCDFReader of a build without an XCDF reader library: it can be made,
// moved and destroyed, but opening and reading fail.

#include "background/XCDFReader.hpp"

namespace background {

struct XCDFReader::Impl {};

XCDFReader::XCDFReader() { no_xcdf(); }

XCDFReader::XCDFReader(std::filesystem::path, bool, bool) { no_xcdf(); }

XCDFReader::XCDFReader(XCDFReader&& other) noexcept = default;
XCDFReader& XCDFReader::operator=(XCDFReader&& other) noexcept = default;
XCDFReader::~XCDFReader() = default;

bool XCDFReader::next() { no_xcdf(); }

Metadata XCDFReader::get_metadata() { no_xcdf(); }

std::vector<XCDFReader::PEData> XCDFReader::get_pe_data() { no_xcdf(); }

}  // namespace background
