#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/heap.hpp"
#include "runtime/types.hpp"

namespace simulation {

// Sums over runs, kept as integers so that adding the tallies of threads in
// any grouping gives the same bits: the result cannot depend on how the
// runs were shared out. Squares and products of per-run values are what
// the standard errors need; 128 bits keep them exact far beyond any run
// that ends in reasonable time, and a sum that would overflow all the same
// raises "Invalid value".
__extension__ using Wide = unsigned __int128;

// Where the recorded rows lie: the steps 0, every, 2 every, ... up to the
// last step of the schedule, and how far waits are counted step by step.
struct Layout {
    Int nodes = 1;
    long long rows = 1;
    Int every = 1;
    Int horizon = 0;  // waits 0 .. horizon are counted one by one

    long long lastRecordedStep() const { return (rows - 1) * every; }
    // The row that an arrival in step `step` (1 .. lastRecordedStep) counts in.
    long long rowOfArrival(long long step) const { return (step + every - 1) / every; }
};

// The counts of the numbers present at one row and node: a window of the
// counts seen, grown as runs bring new ones.
struct CountWindow {
    long long lowest = 0;
    HeapVector<std::uint64_t> runs;  // runs with lowest + k present
};

// What one row and node sums over runs (X: the arrivals of the row's steps
// in a run; S: the sum of their waits; D: the services that ended in the
// row's step).
struct RowSums {
    Wide ended = 0, endedSquares = 0;
    Wide arrivals = 0, arrivalSquares = 0;
    Wide waitTotal = 0, waitTotalSquares = 0, waitTotalCross = 0;
    // Runs in which some of the row's arrivals were still waiting when the
    // run ended, so that their waits, and S, are not known.
    std::uint64_t censoredRuns = 0;
};

// Per row, node and wait w = 0 .. horizon: Y_w, the row's arrivals that
// waited exactly w, and B_w, those that waited longer than w.
struct WaitSums {
    Wide exactly = 0, exactlySquares = 0, exactlyCross = 0;
    Wide beyond = 0, beyondSquares = 0, beyondCross = 0;
};

class Tally {
public:
    explicit Tally(const Layout& layout);

    const Layout layout;

    // A run's number present at `row`, and the services that ended in the
    // row's step (none at row 0, which no step ends at).
    void countPresent(long long row, Int node, long long present);
    void countEnded(long long row, Int node, long long ended);
    // A run's arrivals of one row and node, once their waits up to the
    // horizon are known: `waited[w]` of them waited w, for w up to
    // `longest` (the rest of the horizon holds none).
    void countWaits(long long row, Int node, std::uint64_t arrivals,
                    const std::uint64_t* waited, Int longest);
    // A run's sum of the waits of one row and node's arrivals, at the end
    // of the run; `censored` when some of them never left the line.
    void countWaitTotal(long long row, Int node, std::uint64_t arrivals, std::uint64_t total,
                        bool censored);

    // Adds another thread's tally of the same layout.
    void add(const Tally& other);

    const CountWindow& window(long long row, Int node) const { return windows[at(row, node)]; }
    const RowSums& sums(long long row, Int node) const { return rowSums[at(row, node)]; }
    const WaitSums* waits(long long row, Int node) const {
        return &waitSums[at(row, node) * static_cast<std::size_t>(layout.horizon + 1)];
    }

private:
    std::size_t at(long long row, Int node) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(layout.nodes) +
               static_cast<std::size_t>(node);
    }
    void growWindow(CountWindow& window, long long present);

    HeapVector<CountWindow> windows;
    HeapVector<RowSums> rowSums;
    HeapVector<WaitSums> waitSums;
    long long windowCells = 0;
};

}  // namespace simulation
