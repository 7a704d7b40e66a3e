#pragma once
// The engine's store of one channel's pending p.e. times.
//
// The chunks must come out exactly as an AutoMergeList per channel gives
// them: every run inserted, merged in its binary-counter schedule, flattened
// and split at the chunk end, the rest inserted back as the only run. For
// runs that are sorted and free of NaN, that schedule has a simple result:
// all elements in ascending order, and among equal elements those of later
// runs first (each merge puts the newer run's element first on a tie, and
// the newer run always holds the later insertions). Equal doubles are equal
// bit for bit except +0 and -0, so only that tie order can show at all.
//
// This store gets the same result without the schedule: runs that arrive in
// order are appended, others are merged newer-first, and the carried-over
// p.e.s stay in a few sorted runs of falling size, so that a chunk reads
// only their parts up to its end instead of rewriting them all. A run with
// NaN, or one that is not sorted, has no such simple result; a channel that
// holds one replays the exact schedule until its remainder is clean again.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace background::detail {

// Buffers one flush borrows; kept by the engine, so that they go with it.
struct FlushScratch {
    std::vector<double> merged;
    std::vector<std::size_t> bounds;
};

class ChannelList {
public:
    // A run from a generator, ascending by the generator's contract.
    void add_run(const double* first, const double* last);
    // A run of `copies` p.e.s at one time.
    void add_copies(double time, int copies);
    // Times drawn for this channel, ascending, each standing for `copies`
    // p.e.s at that time: the runs of one time each, in the order of the
    // events sorted by time. The times must be finite; equal ones then tie
    // only as bit-identical values, whose order does not show. `drawn` is
    // left empty (its buffer may be swapped for another).
    void add_drawn(std::vector<double>& drawn, int copies);

    // Whether the list holds a run at all (since the last clear).
    bool has_runs() const { return carried || !run_ends.empty(); }
    // Moves every pending time <= end, ascending, to `out` (left empty if
    // none); the rest stays for later chunks.
    void flush(double end, std::vector<double>& out, FlushScratch& scratch);
    void clear();


private:
    struct Run {
        std::vector<double> times;
        std::size_t head = 0;  // times before head have left
        std::size_t size() const { return times.size() - head; }
    };

    void note_arrival(double front);
    // Room for as many times as the last chunk brought, once one arrives:
    // the buffer then mostly leaves whole with the chunk.
    void reserve_as_last_chunk();
    void flush_exact(double end, std::vector<double>& out);
    void sort_incoming(FlushScratch& scratch);
    std::vector<double> carried_as_one_run();
    void carry(std::vector<double>&& rest);

    // Runs inserted since the last flush, in arrival order, and where each ends.
    std::vector<double> incoming;
    std::vector<std::size_t> run_ends;
    // Every run arrived after the previous one's last time: incoming is
    // already in the order a merge would give.
    bool incoming_in_order = true;
    // The first entry of run_ends stands for drawn times of one p.e. each,
    // a run each.
    bool drawn_singles = false;
    // Some incoming run holds NaN or is not sorted.
    bool incoming_odd = false;
    // The carried-over remainder holds NaN or is not sorted; it is then one run.
    bool carried_odd = false;
    // A remainder run exists (maybe empty): the list received runs since the
    // last clear.
    bool carried = false;
    // The remainder: sorted runs, oldest first, each more than twice the size
    // of the next.
    std::vector<Run> pending;
    std::size_t last_arrived = 0;
};

}  // namespace background::detail
