#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "background/Metadata.hpp"
#include "background/export.h"

// Throws std::runtime_error "XCDF support disabled at build time!": what every
// reading operation of a build without an XCDF reader library ends in.
// Defined in every build, whichever source implements XCDFReader; the library
// exports namespace background only, so this is not exported.
[[noreturn]] void no_xcdf();

namespace background {

// Walks the showers of one ".xcd" simulation file through an outside XCDF
// reader library. Exactly one source file implements this class; which one is
// chosen when the library is built (BACKGROUND_XCDF_READER_SOURCE), and the
// default is the stub whose constructors and reading operations call no_xcdf().
class BACKGROUND_EXPORT XCDFReader {
public:
    // One p.e. of the current shower.
    struct PEData {
        std::int32_t channel;
        double time;  // s
    };

    struct Impl;

    // A reader with no file open.
    XCDFReader();
    // Opens `file` before its first shower. `with_pes` is false where only
    // metadata will be asked for.
    XCDFReader(std::filesystem::path file, bool with_metadata, bool with_pes);
    XCDFReader(XCDFReader&& other) noexcept;
    XCDFReader& operator=(XCDFReader&& other) noexcept;
    XCDFReader(const XCDFReader&) = delete;
    XCDFReader& operator=(const XCDFReader&) = delete;
    ~XCDFReader();

    // Moves to the next shower; false when the file has none left. After k
    // successful calls on a fresh reader it stands on the k-th shower.
    bool next();
    // The current shower, its `uid` set to the shower's 1-based position.
    Metadata get_metadata();
    // The p.e.s of the current shower, in any order.
    std::vector<PEData> get_pe_data();

private:
    std::unique_ptr<Impl> impl;
};

}  // namespace background
