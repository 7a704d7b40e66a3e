#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace background {

// Pending elements held as sorted runs, merged in a binary-counter schedule
// so that m runs of N elements cost O(N log m) moves and are never re-sorted.
template <class T, class Compare = std::less<T>, class Projection = std::identity>
class AutoMergeList {
public:
    void insert(std::vector<T> run);
    void merge();
    std::vector<T> flatten();
    void clear();

    std::vector<std::vector<T>> runs;
    std::size_t insert_count = 0;

private:
    // The largest buffer a merge has given up, for the next merge that needs
    // a fresh one: most merges then allocate nothing.
    std::vector<T> spare;
    void keep_spare(std::vector<T>&& buffer);
};

}  // namespace background

#include "background/AutoMergeList.ipp"
