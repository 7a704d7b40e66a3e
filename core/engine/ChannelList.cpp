#include "ChannelList.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "background/AutoMergeList.hpp"

namespace background::detail {

namespace {

// Sorted and free of NaN: the order a merge gives is then plain.
bool clean(const double* first, const double* last) {
    if (first == last) return true;
    if (std::isnan(*first)) return false;
    // Fails on a descent and on NaN alike.
    for (const double* p = first + 1; p != last; ++p)
        if (!(p[-1] <= *p)) return false;
    return true;
}

// A run whose first time comes after `back` follows it without a merge. On a
// tie the newer run's time would go first; that shows only for +0 and -0.
bool follows(double back, double front) { return front > back || (front == back && front != 0); }

// Merges two sorted ranges; on ties the newer one's elements come first.
template <class Newer, class Older, class Out>
Out merge_newer_first(Newer newer, Newer newer_end, Older older, Older older_end, Out out) {
    return std::merge(newer, newer_end, older, older_end, out);
}

}  // namespace

void ChannelList::note_arrival(double front) {
    if (incoming_in_order && !incoming.empty() && !follows(incoming.back(), front)) incoming_in_order = false;
}

void ChannelList::reserve_as_last_chunk() {
    if (incoming.capacity() == 0) incoming.reserve(last_arrived);
}

void ChannelList::add_run(const double* first, const double* last) {
    if (first != last) {
        reserve_as_last_chunk();
        incoming_odd |= !clean(first, last);
        note_arrival(*first);
        incoming.insert(incoming.end(), first, last);
    }
    run_ends.push_back(incoming.size());
}

void ChannelList::add_copies(double time, int copies) {
    if (copies > 0) {
        reserve_as_last_chunk();
        incoming_odd |= std::isnan(time);
        note_arrival(time);
        incoming.insert(incoming.end(), static_cast<std::size_t>(copies), time);
    }
    run_ends.push_back(incoming.size());
}

void ChannelList::add_drawn(std::vector<double>& drawn, int copies) {
    if (drawn.empty()) return;  // no events, no runs
    if (copies == 1 && incoming.empty() && run_ends.empty() && !carried_odd) {
        // One entry for the whole block: each time follows the one before.
        // Only a replay of the exact schedule needs the runs one by one.
        incoming.swap(drawn);
        run_ends.push_back(incoming.size());
        drawn_singles = true;
    } else {
        for (double t : drawn) add_copies(t, copies);
    }
    drawn.clear();
}

void ChannelList::sort_incoming(FlushScratch& scratch) {
    // Neighbouring runs that follow each other form one block; blocks are
    // merged pairwise, the later block as the newer, until one is left.
    auto& bounds = scratch.bounds;
    bounds.clear();
    bounds.push_back(0);
    std::size_t start = 0;
    for (std::size_t end : run_ends) {
        if (end == start) continue;
        if (bounds.size() > 1 && follows(incoming[start - 1], incoming[start]))
            bounds.back() = end;
        else
            bounds.push_back(end);
        start = end;
    }
    auto& from = incoming;
    auto& to = scratch.merged;
    while (bounds.size() > 2) {
        to.resize(from.size());
        std::size_t kept = 1;
        for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
            const double* data = from.data();
            if (i + 2 < bounds.size()) {
                merge_newer_first(data + bounds[i + 1], data + bounds[i + 2], data + bounds[i], data + bounds[i + 1],
                                  to.data() + bounds[i]);
                bounds[kept++] = bounds[i + 2];
            } else {
                std::copy(data + bounds[i], data + bounds[i + 1], to.data() + bounds[i]);
                bounds[kept++] = bounds[i + 1];
            }
        }
        bounds.resize(kept);
        from.swap(to);
    }
    incoming_in_order = true;
}

std::vector<double> ChannelList::carried_as_one_run() {
    std::vector<double> run;
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        // Runs further back are older: merged in behind on ties.
        std::vector<double> merged(run.size() + it->size());
        merge_newer_first(run.data(), run.data() + run.size(), it->times.data() + it->head,
                          it->times.data() + it->times.size(), merged.data());
        run.swap(merged);
    }
    pending.clear();
    return run;
}

void ChannelList::flush_exact(double end, std::vector<double>& out) {
    AutoMergeList<double> list;
    if (carried) list.insert(carried_as_one_run());
    std::size_t start = 0;
    if (drawn_singles)
        for (; start + 1 < run_ends.front(); ++start) list.insert({incoming[start]});
    for (std::size_t stop : run_ends) {
        list.insert(std::vector<double>(incoming.begin() + static_cast<std::ptrdiff_t>(start),
                                        incoming.begin() + static_cast<std::ptrdiff_t>(stop)));
        start = stop;
    }
    std::vector<double> times = list.flatten();
    const auto split = std::upper_bound(times.begin(), times.end(), end);
    std::vector<double> rest(split, times.end());
    times.erase(split, times.end());
    out = std::move(times);
    carried_odd = !clean(rest.data(), rest.data() + rest.size());
    if (!rest.empty()) pending.push_back({std::move(rest), 0});
}

void ChannelList::flush(double end, std::vector<double>& out, FlushScratch& scratch) {
    out.clear();
    const std::size_t arrived = incoming.size();
    if (incoming_odd || carried_odd) {
        flush_exact(end, out);
    } else {
        if (!incoming_in_order) sort_incoming(scratch);
        const auto split = std::upper_bound(incoming.begin(), incoming.end(), end);
        const auto taken = static_cast<std::size_t>(split - incoming.begin());

        // Each carried run's part up to the end; newer runs come later in
        // `pending` and their times go first on ties.
        std::size_t from_carried = 0;
        for (auto& run : pending) {
            const auto first = run.times.begin() + static_cast<std::ptrdiff_t>(run.head);
            from_carried += static_cast<std::size_t>(std::upper_bound(first, run.times.end(), end) - first);
        }

        // The buffer of the arrivals mostly leaves whole with the chunk.
        std::vector<double> rest;
        if (taken < incoming.size()) {
            rest.assign(split, incoming.end());
            incoming.erase(split, incoming.end());
        }
        out.swap(incoming);
        if (from_carried > 0) {
            for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
                Run& run = *it;
                const auto first = run.times.cbegin() + static_cast<std::ptrdiff_t>(run.head);
                const auto last = std::upper_bound(first, run.times.cend(), end);
                if (first == last) continue;
                std::vector<double> merged(out.size() + static_cast<std::size_t>(last - first));
                merge_newer_first(out.cbegin(), out.cend(), first, last, merged.begin());
                out.swap(merged);
                run.head += static_cast<std::size_t>(last - first);
            }
            // Spent runs go; a run mostly spent is moved down to its rest.
            std::erase_if(pending, [&](Run& run) {
                if (run.size() > 0) {
                    if (run.head > run.times.size() / 2) {
                        run.times.erase(run.times.begin(), run.times.begin() + static_cast<std::ptrdiff_t>(run.head));
                        run.head = 0;
                    }
                    return false;
                }
                return true;
            });
        }
        carry(std::move(rest));
    }
    incoming.clear();
    last_arrived = arrived;
    run_ends.clear();
    incoming_in_order = true;
    incoming_odd = drawn_singles = false;
    carried = true;
}

void ChannelList::carry(std::vector<double>&& rest) {
    if (rest.empty()) return;
    pending.push_back({std::move(rest), 0});
    // Keep each run more than twice the size of the next newer one, so that
    // a remainder of N times is held in O(log N) runs.
    while (pending.size() >= 2 && pending[pending.size() - 2].size() <= 2 * pending.back().size()) {
        Run& older = pending[pending.size() - 2];
        Run& newer = pending.back();
        std::vector<double> merged(older.size() + newer.size());
        merge_newer_first(newer.times.data() + newer.head, newer.times.data() + newer.times.size(),
                          older.times.data() + older.head, older.times.data() + older.times.size(), merged.data());
        older = {std::move(merged), 0};
        pending.pop_back();
    }
}

void ChannelList::clear() {
    incoming.clear();
    run_ends.clear();
    pending.clear();
    incoming_in_order = true;
    incoming_odd = carried_odd = carried = drawn_singles = false;
    last_arrived = 0;
}

}  // namespace background::detail
