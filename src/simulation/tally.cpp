#include "simulation/tally.hpp"

#include <algorithm>

#include "runtime/buffer.hpp"
#include "runtime/errors.hpp"

namespace simulation {

namespace {

// The sums per wait of a layout take this many cells per thread at most; a
// layout beyond it would take gigabytes from a few small inputs.
constexpr long long largestWaitCells = 1LL << 24;

std::size_t entriesOf(const Layout& layout) {
    if (layout.rows < 1 || layout.nodes < 1 || layout.rows > maximumHeapCells / layout.nodes ||
        static_cast<long long>(layout.waits()) > largestWaitCells / (layout.rows * layout.nodes))
        abortOutOfMemory();
    return layout.entries();
}

}  // namespace

Tally::Tally(const Layout& _layout)
    : layout(_layout),
      places(entriesOf(_layout)),
      rowSums(layout.entries()),
      lossSums(layout.limits ? layout.entries() : 0),
      censoredRuns(layout.entries()),
      waitSums(layout.entries() * layout.waits()),
      keptWaitSums(layout.limits ? layout.entries() * layout.waits() : 0) {}

void Tally::growWindow(Place& place, long long present) {
    const auto length = static_cast<long long>(place.length);
    long long lowest = present, wanted = 1;
    if (length > 0) {
        // Grown by at least its own length, so that a window that creeps a
        // count at a time costs linear copying in all; counts are never
        // negative, so there is no room below 0.
        long long below = 0, above = 0;
        if (present < place.lowest)
            below = std::min(std::max(place.lowest - present, length), place.lowest);
        if (present >= place.lowest + length)
            above = std::max(present - place.lowest - length + 1, length);
        lowest = place.lowest - below;
        wanted = length + below + above;
    }
    if (static_cast<long long>(counts.size()) + wanted > maximumHeapCells) abortOutOfMemory();
    const std::size_t offset = counts.size();
    counts.resize(offset + static_cast<std::size_t>(wanted), 0);
    std::copy_n(counts.begin() + static_cast<long long>(place.offset), length,
                counts.begin() + static_cast<long long>(
                                     offset + static_cast<std::size_t>(place.lowest - lowest)));
    place = {lowest, static_cast<std::size_t>(wanted), offset};
}

void Tally::countWaitTotal(long long row, Int node, std::uint64_t served, std::uint64_t total,
                           bool censored) {
    const std::size_t i = at(row, node);
    rowSums.add(i, waitTotal, total);
    rowSums.add(i, waitTotalSquares, product(total, total));
    rowSums.add(i, waitTotalCross, product(total, served));
    // A node left without servers censors waits with or without limits:
    // its mean wait is unknown either way.
    if (censored) ++censoredRuns[i];
    if (!layout.limits) return;
    lossSums.add(i, servedSum, served);
    lossSums.add(i, servedSquares, product(served, served));
}

void Tally::countLosses(long long row, Int node, std::uint64_t came, std::uint64_t blocked,
                        std::uint64_t abandoned, std::uint64_t late, std::uint64_t waited) {
    if (!layout.limits) return;
    const std::size_t i = at(row, node);
    if (blocked > 0) {
        lossSums.add(i, blockedSum, blocked);
        lossSums.add(i, blockedSquares, product(blocked, blocked));
        lossSums.add(i, blockedCross, product(blocked, came));
    }
    if (abandoned > 0) {
        lossSums.add(i, abandonedSum, abandoned);
        lossSums.add(i, abandonedSquares, product(abandoned, abandoned));
        lossSums.add(i, abandonedCross, product(abandoned, came));
    }
    if (late > 0) {
        lossSums.add(i, lateSum, late);
        lossSums.add(i, lateSquares, product(late, late));
        lossSums.add(i, lateCross, product(late, came));
    }
    const std::uint64_t kept = came - blocked - abandoned;
    lossSums.add(i, keptSum, kept);
    lossSums.add(i, keptSquares, product(kept, kept));
    countKept(i, kept);
    if (waited > 0) {
        lossSums.add(i, waitedSum, waited);
        lossSums.add(i, waitedSquares, product(waited, waited));
        lossSums.add(i, waitedCross, product(waited, came));
    }
}

void Tally::holdWait(std::size_t entry, std::size_t cell, std::uint64_t waited) {
    // The waits of a run come in the order of their rows and nodes: one that
    // comes before the last held begins another run, and what an unfinished
    // run held goes.
    if (!heldWaits.empty() && entry < heldWaits.back().entry) {
        heldWaits.clear();
        heldCounted = 0;
    }
    heldWaits.push_back({entry, cell, waited});
}

void Tally::countKept(std::size_t entry, std::uint64_t kept) {
    while (heldCounted < heldWaits.size() && heldWaits[heldCounted].entry < entry) ++heldCounted;
    for (; heldCounted < heldWaits.size() && heldWaits[heldCounted].entry == entry; ++heldCounted) {
        const HeldWait& held = heldWaits[heldCounted];
        if (kept > 0) keptWaitSums.add(held.cell, 0, product(held.waited, kept));
    }
    if (heldCounted == heldWaits.size()) {
        heldWaits.clear();  // keeps its room for the next run
        heldCounted = 0;
    }
}

Tally::RowSums Tally::sums(long long row, Int node) const {
    const std::size_t i = at(row, node);
    RowSums out{};
    out.endedSquares = rowSums.at(i, endedSquares);
    out.arrivals = rowSums.at(i, arrivalSum);
    out.arrivalSquares = rowSums.at(i, arrivalSquares);
    out.waitTotal = rowSums.at(i, waitTotal);
    out.waitTotalSquares = rowSums.at(i, waitTotalSquares);
    out.waitTotalCross = rowSums.at(i, waitTotalCross);
    out.censoredRuns = censoredRuns[i];
    if (!layout.limits) {
        // Nothing lost: every arrival is kept, and served where no wait is
        // censored; those not served within w steps are B_w.
        out.served = out.kept = out.arrivals;
        out.servedSquares = out.keptSquares = out.arrivalSquares;
        HeapVector<BeyondSums> beyond(layout.waits());
        beyondSums(row, node, beyond.data());
        const BeyondSums& last = beyond[layout.waits() - 1];
        out.late = last.beyond;
        out.lateSquares = last.beyondSquares;
        out.lateCross = last.beyondCross;
        out.waited = beyond[0].beyond;
        out.waitedSquares = beyond[0].beyondSquares;
        out.waitedCross = beyond[0].beyondCross;
        return out;
    }
    out.served = lossSums.at(i, servedSum);
    out.servedSquares = lossSums.at(i, servedSquares);
    out.blocked = lossSums.at(i, blockedSum);
    out.blockedSquares = lossSums.at(i, blockedSquares);
    out.blockedCross = lossSums.at(i, blockedCross);
    out.abandoned = lossSums.at(i, abandonedSum);
    out.abandonedSquares = lossSums.at(i, abandonedSquares);
    out.abandonedCross = lossSums.at(i, abandonedCross);
    out.abandonments = lossSums.at(i, abandonmentSum);
    out.abandonmentSquares = lossSums.at(i, abandonmentSquares);
    out.late = lossSums.at(i, lateSum);
    out.lateSquares = lossSums.at(i, lateSquares);
    out.lateCross = lossSums.at(i, lateCross);
    out.waited = lossSums.at(i, waitedSum);
    out.waitedSquares = lossSums.at(i, waitedSquares);
    out.waitedCross = lossSums.at(i, waitedCross);
    out.kept = lossSums.at(i, keptSum);
    out.keptSquares = lossSums.at(i, keptSquares);
    return out;
}

Tally::WaitSums Tally::waits(long long row, Int node, Int wait) const {
    const std::size_t i = atWait(row, node, wait);
    const Wide cross = waitSums.at(i, exactlyCross);
    return {waitSums.at(i, exactly), waitSums.at(i, exactlySquares), cross,
            layout.limits ? keptWaitSums.at(i, 0) : cross};
}

void Tally::beyondSums(long long row, Int node, BeyondSums* out) const {
    const std::size_t i = at(row, node);
    const Wide x = rowSums.at(i, arrivalSum), x2 = rowSums.at(i, arrivalSquares);
    // B_w = X - C_w, B_w X = X^2 - C_w X and B_w^2 = X^2 - 2 C_w X + C_w^2,
    // summed over runs, where C_w, C_w X and C_w^2 add up Y_v, Y_v X and
    // C_v^2 - C_(v-1)^2 for v <= w. The arithmetic wraps as unsigned arithmetic does, and every
    // result, a sum of non-negative terms, is exact.
    Wide upTo = 0, upToCross = 0, upToSquares = 0;
    for (Int w = 0; w <= layout.horizon; ++w) {
        const std::size_t cell = atWait(row, node, w);
        upTo += waitSums.at(cell, exactly);
        upToCross += waitSums.at(cell, exactlyCross);
        upToSquares += waitSums.at(cell, squareSteps);
        out[w].beyond = x - upTo;
        out[w].beyondCross = x2 - upToCross;
        out[w].beyondSquares = x2 - 2 * upToCross + upToSquares;
    }
}

void Tally::add(const Tally& other) {
    for (std::size_t i = 0; i < places.size(); ++i) {
        const Place& from = other.places[i];
        for (std::size_t k = 0; k < from.length; ++k) {
            const std::uint64_t runs = other.counts[from.offset + k];
            if (runs == 0) continue;
            const long long present = from.lowest + static_cast<long long>(k);
            Place& into = places[i];
            if (present < into.lowest ||
                present >= into.lowest + static_cast<long long>(into.length))
                growWindow(into, present);
            counts[into.offset + static_cast<std::size_t>(present - into.lowest)] += runs;
        }
    }
    rowSums.addAll(other.rowSums);
    lossSums.addAll(other.lossSums);
    waitSums.addAll(other.waitSums);
    keptWaitSums.addAll(other.keptWaitSums);
    for (std::size_t i = 0; i < censoredRuns.size(); ++i) censoredRuns[i] += other.censoredRuns[i];
}

}  // namespace simulation
