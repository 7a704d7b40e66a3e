// Tagged-message files: one tmio_ stream opened on a path for reading or for writing, whose failures become
// exceptions, with its tags and data records read and written as two kinds of items:
//   struct item   a tag, then one data record holding a record's raw image;
//   vector item   a tag, a 4-byte data record holding the element count c as int32, then one data record
//                 of c * sizeof(T) bytes holding the elements' raw images (header 0 and no payload for c = 0).
// Failures are std::ios_base::failure unless stated; every message names the path's generic string.
#pragma once

#include <climits>
#include <cstddef>
#include <filesystem>
#include <ios>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <background/BackgroundEvent.hpp>
#include <background/Metadata.hpp>
#include <background/export.h>
#include <tmio/tmio.h>

namespace tmio {

namespace detail {

// Bytes of a record's image that only align the next member. Files get zeros there, whatever memory
// holds, so that equal records give equal files; readers ignore them.
struct Gap {
    std::size_t offset = 0;
    std::size_t size = 0;
};

template <class T>
inline constexpr Gap gap{};

template <>
inline constexpr Gap gap<background::BackgroundEvent>{offsetof(background::BackgroundEvent, type) + sizeof(int),
                                                      offsetof(background::BackgroundEvent, id) -
                                                          offsetof(background::BackgroundEvent, type) - sizeof(int)};

template <>
inline constexpr Gap gap<background::Metadata>{
    offsetof(background::Metadata, primary) + sizeof(background::Metadata::Primary),
    offsetof(background::Metadata, energy) - offsetof(background::Metadata, primary) -
        sizeof(background::Metadata::Primary)};

}  // namespace detail

class BACKGROUND_EXPORT TMIO {
public:
    // Tag numbers of the item kinds, as tag_str names them.
    enum Tag : int { STRUCT = 1, STRING = 2, VECTOR = 3, MAP = 4 };

    // No stream: every item operation throws "Stream is in an invalid state!".
    TMIO() = default;
    // Opens `path`, which may be any byte-stream address, with mode exactly std::ios::in (reading: the
    // stream's protocol must begin with `protocol`) or std::ios::out (writing: created or truncated).
    TMIO(std::filesystem::path path, std::ios_base::openmode mode, std::string protocol);
    // The source is left without a stream, with mode 0 and an empty path.
    TMIO(TMIO&& other) noexcept;
    TMIO& operator=(TMIO&& other) noexcept;
    TMIO(const TMIO&) = delete;
    TMIO& operator=(const TMIO&) = delete;
    // Closes what close() has not closed and ignores how that went: a writer learns that its file is
    // complete only from close().
    ~TMIO();

    // "STRUCT", "STRING", "VECTOR", "MAP", or "INVALID" for every other number.
    static std::string tag_str(int tag);

    // Writes a struct item: the tag and one data record of `length` bytes.
    void write_raw(int tag, const void* data, int length);
    // Writes a struct item holding one record's image, its alignment bytes as zeros (never read).
    template <class T>
    void write_struct(int tag, const T& record);
    // Writes a vector item of `count` elements; refuses (std::length_error, before writing anything)
    // elements whose bytes do not fit one data record.
    template <class T>
    void write_array(int tag, const T* data, int count);
    // Reads a struct item whose tag must be `tag` and whose data record must be exactly `length` bytes.
    void read_raw(int tag, void* data, int length);
    // Reads a vector item. A negative count is std::length_error; memory is spent only on an element
    // record of exactly count * sizeof(T) bytes, and only as far as the stream holds its bytes.
    template <class T>
    std::vector<T> read_vector();
    // Reads the element record of a vector item, which must be exactly count * sizeof(T) bytes; of a record
    // of another length, up to that many bytes are stored before it throws. A negative count reads nothing
    // and throws "Failed to read from file {}!\nImplementation reports: {}".
    template <class T>
    void read_array_data(T* data, int count);

    // Flushes and closes the stream; the context stays, without a stream. A writer whose bytes did not
    // all reach the file (an earlier failure, the final flush or the close itself) throws "Failed to
    // write to file {}!\nImplementation reports: {}". Without a stream it does nothing.
    void close();

    // The element count of a vector item holding `size` elements of T, as write_array takes it;
    // std::length_error when their bytes do not fit one data record (at most 2^31 - 1 bytes).
    template <class T>
    static int vector_count(std::size_t size);

    // The stream context (NULL without one), for the tmio_ functions.
    tmio_context* context() const noexcept { return context_; }
    std::ios_base::openmode mode() const noexcept { return mode_; }
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    using Room = void* (*)(void* owner, std::size_t bytes);

    template <class T>
    static void* grow(void* elements, std::size_t bytes) {
        auto& vector = *static_cast<std::vector<T>*>(elements);
        vector.resize((bytes + sizeof(T) - 1) / sizeof(T));
        return vector.data();
    }
    static void* fixed(void* data, std::size_t) { return data; }
    static constexpr bool fits(std::size_t count, std::size_t size) { return count <= INT_MAX / size; }

    void require_context() const;
    void require(std::ios_base::openmode mode) const;
    void write_elements(int tag, const void* data, int count, std::size_t size, detail::Gap gap);
    void write_record(int tag, const void* data, std::size_t size, detail::Gap gap);
    void read_elements(long long bytes, Room room, void* owner);
    void read_elements_into(long long bytes, void* data);
    [[noreturn]] static void refuse_size(std::size_t count, std::size_t size);

    tmio_context* context_ = nullptr;
    std::ios_base::openmode mode_{};
    std::filesystem::path path_;
};

template <class T>
void TMIO::write_struct(int tag, const T& record) {
    write_record(tag, &record, sizeof(T), detail::gap<std::remove_cv_t<T>>);
}

template <class T>
void TMIO::write_array(int tag, const T* data, int count) {
    write_elements(tag, data, count, sizeof(T), detail::gap<std::remove_cv_t<T>>);
}

template <class T>
std::vector<T> TMIO::read_vector() {
    require_context();
    int count = 0;
    read_raw(VECTOR, &count, sizeof count);
    if (count < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    std::vector<T> elements;
    read_elements(static_cast<long long>(count) * static_cast<long long>(sizeof(T)), &grow<T>, &elements);
    return elements;
}

template <class T>
void TMIO::read_array_data(T* data, int count) {
    require_context();
    read_elements_into(static_cast<long long>(count) * static_cast<long long>(sizeof(T)), data);
}

template <class T>
int TMIO::vector_count(std::size_t size) {
    if (!fits(size, sizeof(T))) refuse_size(size, sizeof(T));
    return static_cast<int>(size);
}

}  // namespace tmio
