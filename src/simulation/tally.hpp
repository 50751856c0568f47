#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/errors.hpp"
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

// An array of records of N 128-bit sums each, as their low and high halves
// apart: adding touches the low half only, unless it carries, so the sums
// take the room and the memory traffic of 64-bit ones in the loops that run
// every step, and the N sums of a record share a cache line.
template <std::size_t N>
class WideRecords {
public:
    explicit WideRecords(std::size_t length) : low(length), high(length) {}

    void add(std::size_t i, std::size_t field, std::uint64_t value) {
        if (__builtin_add_overflow(low[i][field], value, &low[i][field])) [[unlikely]]
            carry(i, field, 1);
    }
    void add(std::size_t i, std::size_t field, Wide value) {
        add(i, field, static_cast<std::uint64_t>(value));
        if (const auto upper = static_cast<std::uint64_t>(value >> 64); upper != 0) [[unlikely]]
            carry(i, field, upper);
    }
    Wide at(std::size_t i, std::size_t field) const {
        return (static_cast<Wide>(high[i][field]) << 64) | low[i][field];
    }
    std::size_t size() const { return low.size(); }

    void addAll(const WideRecords& other) {
        for (std::size_t i = 0; i < low.size(); ++i)
            for (std::size_t field = 0; field < N; ++field) {
                add(i, field, other.low[i][field]);
                if (other.high[i][field] != 0) carry(i, field, other.high[i][field]);
            }
    }

private:
    void carry(std::size_t i, std::size_t field, std::uint64_t amount) {
        if (__builtin_add_overflow(high[i][field], amount, &high[i][field]))
            navro::abort(messages::invalidValue);
    }

    HeapVector<std::array<std::uint64_t, N>> low;
    HeapVector<std::array<std::uint64_t, N>> high;
};

// Where the recorded rows lie: the steps 0, every, 2 every, ... up to the
// last step of the schedule, and how far waits are counted step by step.
struct Layout {
    Int nodes = 1;
    long long rows = 1;
    Int every = 1;
    Int horizon = 0;  // waits 0 .. horizon are counted one by one
    // Patience or a capacity somewhere in the plan: only then are the
    // losses summed, so that a run without them costs what it did.
    bool limits = false;

    long long lastRecordedStep() const { return (rows - 1) * every; }
    // The row that an arrival in step `step` (1 .. lastRecordedStep) counts
    // in, which for a recorded step is its own.
    long long rowOfArrival(long long step) const {
        return every == 1 ? step : (step + every - 1) / every;
    }
    bool isRecorded(long long step) const { return every == 1 || step % every == 0; }
    std::size_t entries() const { return static_cast<std::size_t>(rows * nodes); }
    std::size_t waits() const { return static_cast<std::size_t>(horizon) + 1; }
};

// How many runs had each number present at one row and node: `runs[k]`
// had lowest + k, for k below `length`.
struct CountWindow {
    long long lowest;
    const std::uint64_t* runs;
    std::size_t length;
};

// The sums of B_w, B_w^2 and B_w X over runs (see Tally).
struct BeyondSums {
    Wide beyond, beyondSquares, beyondCross;
};

// What the runs of one thread, or of all once added, leave per row and
// node: how often each number was present, and sums over runs of, per run,
//   D    the services that ended in the row's step,
//   X    the arrivals of the row's steps,
//   S    the sum of their waits,
//   Y_w  those of them that waited exactly w steps, w = 0 .. horizon,
// their squares and their products with X. With patience or a capacity,
// per run and row also Y_w T (the share served within w of those not lost
// is a ratio of sums over runs, whose error needs it), and
//   K    the arrivals blocked (K X summed too),
//   Z    the arrivals that gave up before service, whenever (Z X too),
//   A    the entities that gave up in the row's steps, whenever they came,
//   N    the arrivals served (S N in place of S X: the mean wait is over the
//        served),
//   G    the arrivals not lost that waited longer than the horizon (G X),
//   G_0  the arrivals not blocked and not taken at once (G_0 X),
//   T    the arrivals neither blocked nor given up.
// Those that waited longer than
// w, B_w = X - C_w with C_w = Y_0 + .. + Y_w, follow from these and from
// the sums of C_w^2 - C_(w-1)^2, which like the others change only at the
// waits that some arrival waited: a run costs a few sums per row, however
// long its waits.
class Tally {
public:
    explicit Tally(const Layout& layout);

    const Layout layout;

    // A run's number present at `row`, and the services that ended in the
    // row's step (none at row 0, which no step ends at).
    void countPresent(long long row, Int node, long long present) {
        Place& place = places[at(row, node)];
        const long long k = present - place.lowest;
        if (k < 0 || k >= static_cast<long long>(place.length)) [[unlikely]] {
            growWindow(place, present);
            ++counts[place.offset + static_cast<std::size_t>(present - place.lowest)];
            return;
        }
        ++counts[place.offset + static_cast<std::size_t>(k)];
    }
    // The same number present at rows `first` .. `last` of a station, in
    // one sweep.
    void countPresentAtRows(long long first, long long last, long long present) {
        for (long long row = first; row <= last; ++row) {
            Place& place = places[static_cast<std::size_t>(row)];
            const auto k = static_cast<std::size_t>(present - place.lowest);
            if (k >= place.length) [[unlikely]] {
                countPresent(row, 0, present);
                continue;
            }
            ++counts[place.offset + k];
        }
    }
    // Asks the memory for the count that countPresent will add to, so that a
    // sweep over a run's rows has it at hand: the rows' counts lie apart.
    void prefetchPresent(long long row, Int node, long long present) const {
        const Place& place = places[at(row, node)];
        const long long k = present - place.lowest;
        if (k >= 0 && k < static_cast<long long>(place.length))
            __builtin_prefetch(&counts[place.offset + static_cast<std::size_t>(k)], 1);
    }
    void countEnded(long long row, Int node, std::uint64_t ended) {
        if (ended == 0) return;
        const std::size_t i = at(row, node);
        rowSums.add(i, endedSum, ended);
        rowSums.add(i, endedSquares, product(ended, ended));
    }
    // A run's arrivals of one row and node, once their waits up to the
    // horizon are known: `came` in all, then, for the waits w up to the
    // horizon that some of them waited in increasing order, the `waited`
    // that waited w and `before` that waited less.
    void countArrivals(long long row, Int node, std::uint64_t came) {
        const std::size_t i = at(row, node);
        rowSums.add(i, arrivalSum, came);
        rowSums.add(i, arrivalSquares, product(came, came));
    }
    void countWait(long long row, Int node, Int wait, std::uint64_t waited, std::uint64_t before,
                   std::uint64_t came) {
        const std::size_t cell = atWait(row, node, wait);
        waitSums.add(cell, exactly, waited);
        waitSums.add(cell, exactlySquares, product(waited, waited));
        waitSums.add(cell, exactlyCross, product(waited, came));
        // C_w^2 - C_(w-1)^2 = Y_w (2 C_(w-1) + Y_w)
        waitSums.add(cell, squareSteps, product(waited, 2 * before + waited));
        if (layout.limits) holdWait(at(row, node), cell, waited);
    }
    // A run whose only arrival of a row and node waited `wait` steps, where
    // no arrival is lost (no limits): what countArrivals, countWait and
    // countWaitTotal would add, whose products are then of 1 and `wait`.
    void countLoneArrival(long long row, Int node, std::uint64_t wait) {
        const std::size_t i = at(row, node);
        rowSums.add(i, arrivalSum, std::uint64_t{1});
        rowSums.add(i, arrivalSquares, std::uint64_t{1});
        if (wait <= static_cast<std::uint64_t>(layout.horizon)) {
            const std::size_t cell = atWait(row, node, static_cast<Int>(wait));
            for (std::size_t field : {exactly, exactlySquares, exactlyCross, squareSteps})
                waitSums.add(cell, field, std::uint64_t{1});
        }
        rowSums.add(i, waitTotal, wait);
        rowSums.add(i, waitTotalSquares, product(wait, wait));
        rowSums.add(i, waitTotalCross, wait);
    }
    // A run's sum of the waits of one row and node's arrivals, at the end
    // of the run, over the `served` of them; `censored` when some never
    // left the line.
    void countWaitTotal(long long row, Int node, std::uint64_t served, std::uint64_t total,
                        bool censored);
    // A run's lost arrivals of one row and node, `came` in all: `blocked`,
    // `abandoned` (before service, whenever), and of those not lost, the
    // `late` that waited longer than the horizon; the `waited`, not blocked
    // and not taken at once; and the entities that gave up in the row's
    // steps.
    void countLosses(long long row, Int node, std::uint64_t came, std::uint64_t blocked,
                     std::uint64_t abandoned, std::uint64_t late, std::uint64_t waited);
    void countAbandonments(long long row, Int node, std::uint64_t abandonments) {
        if (abandonments == 0 || !layout.limits) return;
        const std::size_t i = at(row, node);
        lossSums.add(i, abandonmentSum, abandonments);
        lossSums.add(i, abandonmentSquares, product(abandonments, abandonments));
    }

    // Adds another thread's tally of the same layout.
    void add(const Tally& other);

    // What the results are made of, per row and node (and wait).
    CountWindow window(long long row, Int node) const {
        const Place& place = places[at(row, node)];
        return {place.lowest, counts.data() + place.offset, place.length};
    }
    Wide ended(long long row, Int node) const { return rowSums.at(at(row, node), endedSum); }
    struct RowSums {
        Wide endedSquares, arrivals, arrivalSquares, waitTotal, waitTotalSquares, waitTotalCross;
        std::uint64_t censoredRuns;
        Wide served, servedSquares;
        Wide blocked, blockedSquares, blockedCross;
        Wide abandoned, abandonedSquares, abandonedCross;
        Wide abandonments, abandonmentSquares;
        Wide late, lateSquares, lateCross;
        Wide waited, waitedSquares, waitedCross;
        Wide kept, keptSquares;
    };
    RowSums sums(long long row, Int node) const;
    struct WaitSums {
        Wide exactly, exactlySquares, exactlyCross, exactlyKeptCross;  // the last Y_w T
    };
    WaitSums waits(long long row, Int node, Int wait) const;
    // The sums of B_w for w = 0 .. horizon, into `out`.
    void beyondSums(long long row, Int node, BeyondSums* out) const;

    static Wide product(std::uint64_t a, std::uint64_t b) { return static_cast<Wide>(a) * b; }

private:
    std::size_t at(long long row, Int node) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(layout.nodes) +
               static_cast<std::size_t>(node);
    }
    // Wait first: a run adds to the same few waits of row after row, which
    // then lie side by side.
    std::size_t atWait(long long row, Int node, Int wait) const {
        return static_cast<std::size_t>(wait) * layout.entries() + at(row, node);
    }
    // Where the window of a row and node lies among `counts`: the counts of
    // the runs are kept in one array, each window in one piece, the windows
    // of a run's rows one after the other as the first runs laid them out,
    // so that a run's counts go to memory in order. A window that must grow
    // moves to the end.
    struct Place {
        long long lowest = 0;
        std::size_t length = 0;
        std::size_t offset = 0;
    };
    void growWindow(Place& place, long long present);
    // T is known only once the run has ended (a late arrival may still give
    // up in the drain), after its waits were folded: a run's Y_w are held
    // here, in the order of the rows and nodes, until countLosses gives T.
    struct HeldWait {
        std::size_t entry, cell;
        std::uint64_t waited;
    };
    void holdWait(std::size_t entry, std::size_t cell, std::uint64_t waited);
    void countKept(std::size_t entry, std::uint64_t kept);

    HeapVector<Place> places;
    HeapVector<std::uint64_t> counts;
    // Per row and node: the sums of D, D^2, X, X^2, S, S^2 and S N.
    enum RowField : std::size_t {
        endedSum,
        endedSquares,
        arrivalSum,
        arrivalSquares,
        waitTotal,
        waitTotalSquares,
        waitTotalCross,
        rowFields
    };
    WideRecords<rowFields> rowSums;
    // With limits, per row and node: N, N^2, and K, Z, A, G, G_0 and T
    // with their squares and (but A and T) products with X. Without, N = X
    // (where no wait is censored), G = B_H, G_0 = B_0, T = X, and the others
    // are 0: `sums` gives those, and a run sums none of them.
    enum LossField : std::size_t {
        servedSum,
        servedSquares,
        blockedSum,
        blockedSquares,
        blockedCross,
        abandonedSum,
        abandonedSquares,
        abandonedCross,
        abandonmentSum,
        abandonmentSquares,
        lateSum,
        lateSquares,
        lateCross,
        waitedSum,
        waitedSquares,
        waitedCross,
        keptSum,
        keptSquares,
        lossFields
    };
    WideRecords<lossFields> lossSums;
    HeapVector<std::uint64_t> censoredRuns;
    // Per row, node and wait: the sums of Y_w, Y_w^2, Y_w X and
    // C_w^2 - C_(w-1)^2.
    enum WaitField : std::size_t { exactly, exactlySquares, exactlyCross, squareSteps, waitFields };
    WideRecords<waitFields> waitSums;
    // With limits, per row, node and wait: the sums of Y_w T (without, T = X).
    WideRecords<1> keptWaitSums;
    HeapVector<HeldWait> heldWaits;
    std::size_t heldCounted = 0;
};

}  // namespace simulation
