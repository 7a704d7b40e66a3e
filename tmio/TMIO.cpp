#include "tmio/TMIO.hpp"

#include <new>
#include <utility>

#include "format.hpp"
#include "tmio_context.hpp"

namespace tmio {

namespace {

enum class Failed { open, write, read };

// A failure of the stream itself, named by its status.
std::ios_base::failure failed(Failed what, const std::filesystem::path& path, tmio_context* context) {
    std::string file = path.generic_string();
    const char* status = tmio_status_str(context);
    switch (what) {
        case Failed::open:
            return std::ios_base::failure(
                background::format("Failed to open file {}!\nImplementation reports: {}", file, status));
        case Failed::write:
            return std::ios_base::failure(
                background::format("Failed to write to file {}!\nImplementation reports: {}", file, status));
        default:
            return std::ios_base::failure(
                background::format("Failed to read from file {}!\nImplementation reports: {}", file, status));
    }
}

std::ios_base::failure wrong_length(const std::filesystem::path& path, long long found, long long required) {
    return std::ios_base::failure(background::format("Read error in file {}: Read {} bytes but required {} bytes.",
                                                     path.generic_string(), found, required));
}

// A struct item that is not whole in the input buffer, or whose reading fails. Kept out of line, so that
// the buffered case does without the frame that these messages take.
[[gnu::noinline]] void read_item(tmio_context* context, const std::filesystem::path& path, int tag, void* data,
                                 int length) {
    int found = tmio_read_tag(context);
    if (found < 0) throw failed(Failed::read, path, context);
    if (found == 0) throw std::ios_base::failure(background::format("Reached end of file {}!", path.generic_string()));
    if (found != tag)
        throw std::ios_base::failure(background::format("Read error in file {}: Found tag {} but required tag {}.",
                                                        path.generic_string(), TMIO::tag_str(found),
                                                        TMIO::tag_str(tag)));
    int n = tmio_read_data(context, data, length);
    if (n < 0) throw failed(Failed::read, path, context);
    if (n != length) throw wrong_length(path, n, length);
}

// The same for a data record of elements.
[[gnu::noinline]] void read_record(tmio_context* context, const std::filesystem::path& path, long long bytes,
                                   void* (*room)(void* owner, std::size_t bytes), void* owner) {
    int n = tmio_read_data_into(context, bytes, room, owner);
    if (n < 0) throw failed(Failed::read, path, context);
    if (n != bytes) throw wrong_length(path, n, bytes);
}

}  // namespace

TMIO::TMIO(std::filesystem::path path, std::ios_base::openmode mode, std::string protocol)
    : mode_(mode), path_(std::move(path)) {
    context_ = tmio_init(protocol.c_str(), 0, 0, 0);
    if (!context_) throw std::bad_alloc();
    // Files never wait; standard streams, FIFOs and sockets wait for their peer, or a reader slower than
    // its writer would take a pause for the end of the data.
    context_->live_streams_wait = 1;
    try {
        if (mode != std::ios::in && mode != std::ios::out)
            throw std::invalid_argument(
                "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!");
        int opened = mode == std::ios::in ? tmio_open(context_, path_.c_str(), 0)
                                          : tmio_create(context_, path_.c_str(), 0);
        if (opened < 0) throw failed(Failed::open, path_, context_);
    } catch (...) {
        tmio_delete(context_);
        throw;
    }
}

TMIO::TMIO(TMIO&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)),
      mode_(std::exchange(other.mode_, std::ios_base::openmode{})),
      path_(std::move(other.path_)) {
    other.path_.clear();
}

TMIO& TMIO::operator=(TMIO&& other) noexcept {
    if (this == &other) return *this;
    tmio_delete(context_);
    context_ = std::exchange(other.context_, nullptr);
    mode_ = std::exchange(other.mode_, std::ios_base::openmode{});
    path_ = std::move(other.path_);
    other.path_.clear();
    return *this;
}

TMIO::~TMIO() { tmio_delete(context_); }

std::string TMIO::tag_str(int tag) {
    switch (tag) {
        case STRUCT: return "STRUCT";
        case STRING: return "STRING";
        case VECTOR: return "VECTOR";
        case MAP: return "MAP";
        default: return "INVALID";
    }
}

void TMIO::require(std::ios_base::openmode mode) const {
    if (!context_) throw std::ios_base::failure("Stream is in an invalid state!");
    if (mode_ != mode)
        throw std::ios_base::failure(mode == std::ios::out ? "Cannot write to input stream!"
                                                           : "Cannot read from output stream!");
}

void TMIO::require_context() const {
    if (!context_) throw std::ios_base::failure("Stream is in an invalid state!");
}

void TMIO::write_raw(int tag, const void* data, int length) {
    require(std::ios::out);
    // A failed tag leaves the status negative, so the data record after it fails as well.
    tmio_write_tag(context_, tag);
    if (tmio_write_data(context_, data, length) != length) throw failed(Failed::write, path_, context_);
}

void TMIO::write_elements(int tag, const void* data, int count, std::size_t size, detail::Gap gap) {
    require(std::ios::out);
    // Refused before anything goes out: a count cut down to fit would leave a file that reads back wrong.
    if (count > 0 && !fits(static_cast<std::size_t>(count), size)) refuse_size(static_cast<std::size_t>(count), size);
    tmio_write_tag(context_, tag);
    tmio_write_data(context_, &count, sizeof count);
    // A negative count has no element record: the item stays incomplete.
    if (count < 0 || tmio_write_elements(context_, data, count, size, gap.offset, gap.size) !=
                         static_cast<long long>(count) * static_cast<long long>(size))
        throw failed(Failed::write, path_, context_);
}

void TMIO::write_record(int tag, const void* data, std::size_t size, detail::Gap gap) {
    require(std::ios::out);
    tmio_write_tag(context_, tag);
    if (tmio_write_elements(context_, data, 1, size, gap.offset, gap.size) != static_cast<long long>(size))
        throw failed(Failed::write, path_, context_);
}

void TMIO::refuse_size(std::size_t count, std::size_t size) {
    throw std::length_error(background::format(
        "Cannot write {} elements of {} bytes: one data record holds at most {} bytes!", count, size, INT_MAX));
}

void TMIO::read_raw(int tag, void* data, int length) {
    if (!context_ || mode_ != std::ios::in) require(std::ios::in);
    if (!tmio_take_buffered_item(context_, tag, data, length)) read_item(context_, path_, tag, data, length);
}

void TMIO::read_elements(long long bytes, Room room, void* owner) {
    // A negative count asks for no record: it fails as a negative capacity does, with nothing read.
    if (bytes < 0) throw failed(Failed::read, path_, context_);
    if (mode_ != std::ios::in || !tmio_take_buffered_record(context_, bytes, room, owner))
        read_record(context_, path_, bytes, room, owner);
}

void TMIO::read_elements_into(long long bytes, void* data) {
    if (bytes < 0) throw failed(Failed::read, path_, context_);
    if (mode_ == std::ios::in && tmio_take_buffered_record(context_, bytes, &fixed, data)) return;
    // The caller's memory is there already: a record of another length stores what fits before the
    // length is refused. No record is longer than INT_MAX bytes.
    int n = tmio_read_data(context_, data, bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes));
    if (n < 0) throw failed(Failed::read, path_, context_);
    if (n != bytes) throw wrong_length(path_, n, bytes);
}

void TMIO::close() {
    if (!context_ || !tmio_stream_handle(context_)) return;
    if (mode_ != std::ios::out) {
        tmio_close(context_);
        return;
    }
    // Bytes that never reached the file fail the close: an earlier failure, the final flush, the close.
    int status = tmio_status(context_);
    if (status >= 0 && tmio_flush(context_) < 0) status = tmio_status(context_);
    if (tmio_close(context_) < 0 && status >= 0) status = TMIO_STATUS_FLUSH_ERROR;
    if (status >= 0) return;
    // The context keeps the failure, so later items fail with it too.
    tmio_set_status(context_, status);
    throw failed(Failed::write, path_, context_);
}

}  // namespace tmio
