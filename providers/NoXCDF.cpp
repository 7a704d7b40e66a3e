// Defined whichever source implements XCDFReader, so that every build has it.

#include <stdexcept>

#include "background/XCDFReader.hpp"

void no_xcdf() { throw std::runtime_error("XCDF support disabled at build time!"); }
