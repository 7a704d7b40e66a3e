#pragma once
// Alignment bytes that no writer may read. In the sanitizer build they are poisoned, so any read of them is
// reported; under valgrind they are undefined, so a decision or a system call on them is reported. A writer
// that copies the fields and writes zeros in their place passes both; elsewhere this changes nothing.

#include <cstddef>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define BACKGROUND_TEST_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BACKGROUND_TEST_POISON 1
#endif
#endif
#ifdef BACKGROUND_TEST_POISON
#include <sanitizer/asan_interface.h>
#endif
// Without the marking, a writer that reads the gaps would pass under valgrind unseen: no build without it.
#if !__has_include(<valgrind/memcheck.h>)
#error "valgrind/memcheck.h not found: install valgrind (scripts/setup-system.sh names it)"
#endif
#include <valgrind/memcheck.h>

namespace background::testing {

// Events and shower records: 4 alignment bytes after the int at offset 8, the last half of an 8-byte
// granule, which the sanitizer can poison on its own.
constexpr std::size_t record_gap_offset = 12;
constexpr std::size_t record_gap_size = 4;

// Makes the gap of one record undefined for valgrind (a value about to be handed out).
inline void make_gap_undefined(const void* record) {
    VALGRIND_MAKE_MEM_UNDEFINED(static_cast<const char*>(record) + record_gap_offset, record_gap_size);
}

// The gaps of the records of a vector, unreadable while the object lives; nothing may copy or move the
// records meanwhile.
template <class T>
class UnreadableGaps {
public:
    explicit UnreadableGaps(const std::vector<T>& records) : records_(records) {
        for (const T& record : records_) {
            make_gap_undefined(&record);
#ifdef BACKGROUND_TEST_POISON
            ASAN_POISON_MEMORY_REGION(reinterpret_cast<const char*>(&record) + record_gap_offset, record_gap_size);
#endif
        }
    }
    UnreadableGaps(const UnreadableGaps&) = delete;
    UnreadableGaps& operator=(const UnreadableGaps&) = delete;
    ~UnreadableGaps() {
#ifdef BACKGROUND_TEST_POISON
        for (const T& record : records_)
            ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<const char*>(&record) + record_gap_offset, record_gap_size);
#endif
    }

private:
    const std::vector<T>& records_;
};

}  // namespace background::testing
