#pragma once
// Files named by settings are read only when they are regular files: a FIFO
// blocks its reader until a writer comes, and a device such as /dev/zero
// never ends.

#include <filesystem>
#include <istream>
#include <memory>
#include <string>

namespace background::detail {

// Opens `file` for reading, or returns null when it cannot be opened. A name
// holding a NUL character (the system would open the file named by its
// first part) and anything but a regular file are refused with a
// std::ios_base::failure, without blocking and before a byte is read.
std::unique_ptr<std::istream> open_regular_file(const std::filesystem::path& file);

// The path's text with NUL characters written as "\0", for messages.
std::string printable(const std::filesystem::path& file);

}  // namespace background::detail
