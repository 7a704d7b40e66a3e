#pragma once
// Implementation of AutoMergeList; included by AutoMergeList.hpp only.

#include <algorithm>
#include <functional>
#include <iterator>
#include <type_traits>
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
    if (newer.empty()) return keep_spare(std::move(newer));
    if (older.empty()) {
        std::swap(older, newer);
        return keep_spare(std::move(newer));
    }

    // An older element is taken only if strictly less: the newer run wins ties.
    auto merge_into = [](auto old_first, auto old_last, auto new_first, auto new_last, auto out, auto in_place) {
        Compare compare{};
        Projection projection{};
        while (old_first != old_last && new_first != new_last) {
            if (std::invoke(compare, std::invoke(projection, *old_first), std::invoke(projection, *new_first)))
                *out++ = std::move(*old_first++);
            else
                *out++ = std::move(*new_first++);
        }
        // In place, the rest of the older run already sits where it belongs.
        if constexpr (!decltype(in_place)::value) out = std::move(old_first, old_last, out);
        std::move(new_first, new_last, out);
    };

    const std::size_t older_size = older.size();
    const std::size_t merged_size = older_size + newer.size();
    if (newer.size() == 1 && older.capacity() >= merged_size) {
        // A single element goes before the first older one that is not less,
        // found as the merge finds it: a search by halves would differ from
        // the merge where the comparison is no strict order (NaN times).
        Compare compare{};
        Projection projection{};
        const auto& key = std::invoke(projection, newer.front());
        auto at = std::ranges::find_if_not(
            older, [&](const auto& element) { return std::invoke(compare, std::invoke(projection, element), key); });
        older.insert(at, std::move(newer.front()));
        keep_spare(std::move(newer));
    } else if (older.capacity() >= merged_size) {
        // In place: the older run moves to the tail of its buffer and the
        // merge fills the buffer from the front, which never overtakes the
        // unread part of the older run.
        older.resize(merged_size);
        auto old_first = std::move_backward(older.begin(), older.begin() + older_size, older.end());
        merge_into(old_first, older.end(), newer.begin(), newer.end(), older.begin(), std::true_type{});
        keep_spare(std::move(newer));
    } else {
        // Room to spare, so that the next merges into this run, of the same
        // size, happen in place: a fresh buffer for a merge of single
        // elements would otherwise be needed at nearly every merge.
        std::vector<T> merged;
        if (spare.capacity() >= merged_size)
            merged.swap(spare);
        else
            merged.reserve(std::max<std::size_t>(2 * merged_size, 8));
        merge_into(older.begin(), older.end(), newer.begin(), newer.end(), std::back_inserter(merged), std::false_type{});
        std::swap(older, merged);
        keep_spare(std::move(merged));
        keep_spare(std::move(newer));
    }
}

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::keep_spare(std::vector<T>&& buffer) {
    if (buffer.capacity() <= spare.capacity()) return;
    buffer.clear();
    spare.swap(buffer);
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
