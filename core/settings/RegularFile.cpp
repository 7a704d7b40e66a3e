#include "RegularFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <ios>

#include "Refusal.hpp"
#include "format.hpp"

namespace background::detail {

namespace {

// An input stream that owns the buffer over the descriptor it reads.
class FileStream : public std::istream {
public:
    explicit FileStream(int descriptor) : std::istream(nullptr), buffer(descriptor, std::ios::in) {
        rdbuf(&buffer);
    }

private:
    // Closes the descriptor when destroyed.
    __gnu_cxx::stdio_filebuf<char> buffer;
};

}  // namespace

std::string printable(const std::filesystem::path& file) {
    std::string text;
    for (char c : file.native()) {
        if (c == '\0')
            text += "\\0";
        else
            text += c;
    }
    return text;
}

std::unique_ptr<std::istream> open_regular_file(const std::filesystem::path& file) {
    if (file.native().find('\0') != std::string::npos)
        throw Refused<std::ios_base::failure>(format("File name {} holds a NUL character!", printable(file)));
    // Non-blocking, so that opening a FIFO without a writer returns at once.
    int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) return nullptr;
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(descriptor);
        throw Refused<std::ios_base::failure>(format("{} is not a regular file!", file.string()));
    }
    try {
        return std::make_unique<FileStream>(descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

}  // namespace background::detail
