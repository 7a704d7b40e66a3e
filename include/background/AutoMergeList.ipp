#pragma once
// Implementation of AutoMergeList; included by AutoMergeList.hpp only.

#include <algorithm>
#include <functional>
#include <iterator>
#include <utility>

namespace background {

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::insert(std::vector<T> run) {
    runs.push_back(std::move(run));
    ++insert_count;
    // One merge per trailing zero bit of the new count keeps the runs shaped
    // like a binary counter: run sizes halve from the oldest to the newest.
    for (std::size_t count = insert_count; count != 0 && count % 2 == 0; count /= 2) merge();
}

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::merge() {
    if (runs.size() < 2) return;
    std::vector<T> newer = std::move(runs.back());
    runs.pop_back();
    std::vector<T>& older = runs.back();
    if (newer.empty()) return;
    if (older.empty()) {
        older = std::move(newer);
        return;
    }

    // Merged in place: the older run moves to the tail of its enlarged buffer
    // and the merge fills the buffer from the front, which never overtakes the
    // unread part of the older run. Saves an allocation per merge whenever the
    // buffer has room. An older element is taken only if strictly less, so
    // the newer run wins ties.
    const std::size_t older_size = older.size();
    older.resize(older_size + newer.size());
    auto out = older.begin();
    auto old_first = std::move_backward(older.begin(), older.begin() + older_size, older.end());
    auto old_last = older.end();
    auto new_first = newer.begin();
    auto new_last = newer.end();
    Compare compare{};
    Projection projection{};
    while (old_first != old_last && new_first != new_last) {
        if (std::invoke(compare, std::invoke(projection, *old_first), std::invoke(projection, *new_first)))
            *out++ = std::move(*old_first++);
        else
            *out++ = std::move(*new_first++);
    }
    // The rest of the older run is already in place.
    std::move(new_first, new_last, out);
}

template <class T, class Compare, class Projection>
std::vector<T> AutoMergeList<T, Compare, Projection>::flatten() {
    while (runs.size() > 1) merge();
    std::vector<T> result;
    if (!runs.empty()) result = std::move(runs.back());
    runs.clear();
    insert_count = 0;
    return result;
}

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::clear() {
    insert_count = 0;
    runs.clear();
}

}  // namespace background
