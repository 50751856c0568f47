#include "simulation/tally.hpp"

#include <algorithm>

#include "runtime/buffer.hpp"
#include "runtime/errors.hpp"

namespace simulation {

namespace {

void addTo(Wide& sum, Wide value) {
    if (__builtin_add_overflow(sum, value, &sum)) navro::abort(messages::invalidValue);
}

Wide product(std::uint64_t a, std::uint64_t b) { return static_cast<Wide>(a) * b; }

// The wait sums of one row and node take this many cells per thread; a
// layout beyond it would take gigabytes from a few small inputs.
constexpr long long largestWaitCells = 1LL << 24;

std::size_t cellsOf(const Layout& layout, long long perRowAndNode) {
    const long long rowsAndNodes = layout.rows * layout.nodes;
    if (layout.rows < 1 || layout.nodes < 1 || rowsAndNodes > maximumHeapCells ||
        perRowAndNode > largestWaitCells / rowsAndNodes)
        abortOutOfMemory();
    return static_cast<std::size_t>(rowsAndNodes * perRowAndNode);
}

}  // namespace

Tally::Tally(const Layout& _layout)
    : layout(_layout),
      windows(cellsOf(_layout, 1)),
      rowSums(cellsOf(_layout, 1)),
      waitSums(cellsOf(_layout, _layout.horizon + 1)) {}

void Tally::growWindow(CountWindow& window, long long present) {
    const auto length = static_cast<long long>(window.runs.size());
    if (length == 0) {
        window.lowest = present;
        window.runs.assign(1, 0);
        ++windowCells;
        return;
    }
    // Grown by at least its own length, so that a window that creeps a
    // count at a time costs linear copying in all.
    long long below = 0, above = 0;
    if (present < window.lowest) below = std::max(window.lowest - present, length);
    if (present >= window.lowest + length) above = std::max(present - window.lowest - length + 1, length);
    // Counts are never negative: no room below 0.
    below = std::min(below, window.lowest);
    windowCells += below + above;
    if (windowCells > maximumHeapCells) abortOutOfMemory();
    window.runs.insert(window.runs.begin(), static_cast<std::size_t>(below), 0);
    window.runs.resize(window.runs.size() + static_cast<std::size_t>(above), 0);
    window.lowest -= below;
}

void Tally::countPresent(long long row, Int node, long long present) {
    CountWindow& window = windows[at(row, node)];
    const long long k = present - window.lowest;
    if (k < 0 || k >= static_cast<long long>(window.runs.size())) [[unlikely]] {
        growWindow(window, present);
        ++window.runs[static_cast<std::size_t>(present - window.lowest)];
        return;
    }
    ++window.runs[static_cast<std::size_t>(k)];
}

void Tally::countEnded(long long row, Int node, long long ended) {
    RowSums& sums = rowSums[at(row, node)];
    const auto d = static_cast<std::uint64_t>(ended);
    addTo(sums.ended, d);
    addTo(sums.endedSquares, product(d, d));
}

void Tally::countWaits(long long row, Int node, std::uint64_t arrivals,
                       const std::uint64_t* waited, Int longest) {
    RowSums& sums = rowSums[at(row, node)];
    addTo(sums.arrivals, arrivals);
    addTo(sums.arrivalSquares, product(arrivals, arrivals));
    WaitSums* cells = &waitSums[at(row, node) * static_cast<std::size_t>(layout.horizon + 1)];
    std::uint64_t beyond = arrivals;
    for (Int w = 0; w <= layout.horizon && beyond > 0; ++w) {
        const std::uint64_t exactly = w <= longest ? waited[w] : 0;
        beyond -= exactly;
        WaitSums& cell = cells[w];
        if (exactly > 0) {
            addTo(cell.exactly, exactly);
            addTo(cell.exactlySquares, product(exactly, exactly));
            addTo(cell.exactlyCross, product(exactly, arrivals));
        }
        // Once none is left beyond w, none is beyond any longer wait.
        if (beyond > 0) {
            addTo(cell.beyond, beyond);
            addTo(cell.beyondSquares, product(beyond, beyond));
            addTo(cell.beyondCross, product(beyond, arrivals));
        }
    }
}

void Tally::countWaitTotal(long long row, Int node, std::uint64_t arrivals, std::uint64_t total,
                           bool censored) {
    RowSums& sums = rowSums[at(row, node)];
    addTo(sums.waitTotal, total);
    addTo(sums.waitTotalSquares, product(total, total));
    addTo(sums.waitTotalCross, product(total, arrivals));
    if (censored) ++sums.censoredRuns;
}

void Tally::add(const Tally& other) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const CountWindow& from = other.windows[i];
        CountWindow& into = windows[i];
        for (std::size_t k = 0; k < from.runs.size(); ++k) {
            if (from.runs[k] == 0) continue;
            const long long present = from.lowest + static_cast<long long>(k);
            if (present < into.lowest || present >= into.lowest + static_cast<long long>(into.runs.size()))
                growWindow(into, present);
            into.runs[static_cast<std::size_t>(present - into.lowest)] += from.runs[k];
        }
    }
    for (std::size_t i = 0; i < rowSums.size(); ++i) {
        RowSums& into = rowSums[i];
        const RowSums& from = other.rowSums[i];
        for (auto field : {&RowSums::ended, &RowSums::endedSquares, &RowSums::arrivals,
                           &RowSums::arrivalSquares, &RowSums::waitTotal,
                           &RowSums::waitTotalSquares, &RowSums::waitTotalCross})
            addTo(into.*field, from.*field);
        into.censoredRuns += from.censoredRuns;
    }
    for (std::size_t i = 0; i < waitSums.size(); ++i) {
        WaitSums& into = waitSums[i];
        const WaitSums& from = other.waitSums[i];
        for (auto field : {&WaitSums::exactly, &WaitSums::exactlySquares, &WaitSums::exactlyCross,
                           &WaitSums::beyond, &WaitSums::beyondSquares, &WaitSums::beyondCross})
            addTo(into.*field, from.*field);
    }
}

}  // namespace simulation
