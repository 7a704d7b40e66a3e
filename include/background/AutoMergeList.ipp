#pragma once
// Implementation of AutoMergeList; included by AutoMergeList.hpp only.

#include <utility>

namespace background {

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::insert(std::vector<T> run) {
    runs.push_back(std::move(run));
    ++insert_count;
}

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::merge() {}

template <class T, class Compare, class Projection>
std::vector<T> AutoMergeList<T, Compare, Projection>::flatten() {
    return {};
}

template <class T, class Compare, class Projection>
void AutoMergeList<T, Compare, Projection>::clear() {
    insert_count = 0;
    runs.clear();
}

}  // namespace background
