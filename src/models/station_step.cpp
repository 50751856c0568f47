#include "models/station_step.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <span>

#include "distributions/distributions.hpp"
#include "pmf/accumulator.hpp"
#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"

namespace {

std::span<CountTerms> countsOf(StepWorkspace& ws, const StationTerms& terms) {
    return {ws.counts.data() + terms.first, static_cast<std::size_t>(terms.count)};
}

// The loop nest of both maps above the arrivals: for one count z, every
// number d of services that end and every number phi of the ended routed
// back, each of positive probability, in increasing order. `visit(d,
// weight, m, phi)` gets the weight p(z) p(d) p(phi), formed from the outside
// in as the walk of the whole nest forms it, m = z - d, the count before the
// arrivals join, and phi.
template <typename Visit>
void forEachOutcome(const CountTerms& count, StepWorkspace& ws, const RoutedCounts& returning,
                    Visit&& visit) {
    const Real* ends = ws.completions.data() + count.completionsAt;
    const bool noneBack = returning.sendsNone();
    for (int i = 0; i < count.completionsLength; ++i) {
        const Real probD = ends[i];
        if (!(probD > 0)) continue;
        const Int d = count.completionsOffset + i;
        const Real weightD = probD * count.probability;
        const long long m = static_cast<long long>(count.z) - d;
        if (noneBack) {  // phi = 0 with probability 1, which leaves the weight as it is
            visit(d, weightD, m, 0LL);
            continue;
        }
        const Window back = returning.of(d);
        for (int j = 0; j < back.length; ++j) {
            const Real probPhi = back.elements[j];
            if (!(probPhi > 0)) continue;
            visit(d, probPhi * weightD, m, static_cast<long long>(back.offset) + j);
        }
    }
}

// The values ell - 1 for ell >= 2 in the window of a conditional of ell.
struct Span {
    long long first;
    long long last;
};

Span continuingSpan(const Window& conditional) {
    const long long from = std::max(conditional.offset, 2);
    return {from - 1, static_cast<long long>(conditional.offset) + conditional.length - 2};
}

// continuingTimes, here where the maps can inline it.
inline ContinuingTimes timesGoingOn(const Window& ell) {
    if (ell.offset == 0 && ell.length > 0 && ell.elements[0] > 0) {
        navro::abort(messages::negativeIntegerInSupport);  // its remaining time would be -1
    }
    // A state's probabilities lie in [0, 1], so they are the weights as an
    // accumulator would take them.
    const Span span = continuingSpan(ell);
    const Window weights{static_cast<Int>(span.first),
                         static_cast<int>(std::max(0LL, span.last - span.first + 1)),
                         ell.elements + (span.first + 1 - ell.offset)};
    Real total = 0.0;
    for (int k = 0; k < weights.length; ++k) total += weights.elements[k];
    if (!(total > 0)) navro::abort(messages::emptyPmf);
    return {weights, total};
}

// The columns of the new state's rows: every remaining time that a starting
// or a continuing service can have.
Span columnsOf(StepWorkspace& ws, const StationTerms& terms, const Pmf* durations) {
    Span columns{LLONG_MAX, LLONG_MIN};
    auto cover = [&](Span s) {
        if (s.first > s.last) return;
        columns.first = std::min(columns.first, s.first);
        columns.last = std::max(columns.last, s.last);
    };
    cover({durations->simple.offset,
           static_cast<long long>(durations->simple.offset) + durations->simple.length - 1});
    for (const CountTerms& count : countsOf(ws, terms)) {
        if (count.busy > 0) cover(continuingSpan(conditionalOf(ws, count)));
    }
    if (columns.first > columns.last) return {0, -1};
    return columns;
}

// The innermost loop of the walk, over the arrivals a of one (z, d, phi):
// the outcome's weight w = p(z) p(d) p(phi) p(a) goes to the next count's
// cells, exactly as an accumulator takes it (a weight above 1, which only
// rounding in a binomial can make, counts as 1), and is split between a
// described service that starts and one that goes on: of the servers busy
// after the step, `continuing` serve services that go on. The split is
// divided by the busy servers once per row, not here. Nothing written is
// also read, so the compiler may keep the loop in vector registers.
void pourOutcomes(Real* __restrict next, Real* __restrict starts, Real* __restrict goingOn,
                  const Real* __restrict arrivals, const Real* __restrict busyAfter, int n,
                  Real weight, Real continuing) {
    for (int j = 0; j < n; ++j) {
        const Real w = arrivals[j] * weight;
        next[j] += std::min(w, 1.0);
        starts[j] += w * (busyAfter[j] - continuing);
        goingOn[j] += w * continuing;
    }
}

// Adds `weight` times a distribution of remaining times to a row.
void spread(Real* __restrict row, const Real* __restrict times, int n, Real weight) {
    for (int j = 0; j < n; ++j) row[j] += weight * times[j];
}

// The new state from its rows: row r holds the weights of the remaining
// times columns.first, ... at the count rows.first + r. Each row becomes the
// conditional of ell' given z', normalised by itself, and its total the
// weight of z' in the marginal, as a joint accumulator builds them; each
// total is summed in increasing order of value over the row's window of
// nonzero weights. The state is built in one block.
Pmf* jointOfRows(NObject* obj, StepWorkspace& ws, Span rows, Span columns, const Real* grid) {
    const long long count = rows.last - rows.first + 1;
    const long long width = columns.last - columns.first + 1;
    SimpleShape* shapes = ws.rowShapes.reserve(count);
    Real* totals = ws.rowTotals.reserve(count);
    WorkMeter work;
    for (long long r = 0; r < count; ++r) {
        const Real* cells = grid + r * width;
        const CellRange kept = nonZeroRange(cells, static_cast<int>(width));
        Real total = 0.0;
        for (int k = kept.low; k <= kept.high; ++k) total += cells[k];
        totals[r] = total;
        shapes[r] = kept.low > kept.high ? SimpleShape{0, 0}
                                         : SimpleShape{static_cast<Int>(columns.first + kept.low),
                                                       kept.high - kept.low + 1};
        work.add(width);
    }
    work.flush();
    const CellRange keptRows = nonZeroRange(totals, static_cast<int>(count));
    if (keptRows.low > keptRows.high) navro::abort(messages::emptyPmf);
    const SimpleShape marginalShape{static_cast<Int>(rows.first + keptRows.low),
                                    keptRows.high - keptRows.low + 1};
    Pmf* joint = allocateJointPmfBlock(obj, marginalShape, shapes + keptRows.low);
    Pmf* marginal = joint->joint.marginal;
    normaliseCells(totals + keptRows.low, marginal->simple.elements, marginalShape.length);
    for (int k = 0; k < marginalShape.length; ++k) {
        Pmf* conditional = joint->joint.elements[k];
        if (conditional == nullptr) continue;
        const long long r = keptRows.low + k;
        const Real* cells = grid + r * width + (conditional->simple.offset - columns.first);
        const Real total = totals[r];
        for (int j = 0; j < conditional->simple.length; ++j)
            conditional->simple.elements[j] = cells[j] / total;
    }
    return joint;
}

// The band of next counts that each count reaches: z - busy + min(a) (or
// the capacity, if below) to z + max(a).
void prepareCounts(StepWorkspace& ws, const StationTerms& terms, const Window& a) {
    for (CountTerms& count : countsOf(ws, terms)) {
        count.bandFirst = static_cast<long long>(count.z) - count.busy + a.offset;
        // A capacity can turn every arrival away: the count then ends at
        // what stayed, below the least arrivals' reach.
        if (terms.capacity != noCapacity) {
            const long long stayed = static_cast<long long>(count.z) - count.busy;
            count.bandFirst = std::min(count.bandFirst, stayed + std::min(a.offset, 0));
        }
        count.bandLast = static_cast<long long>(count.z) + a.offset + a.length - 1;
        // A full station ends at the capacity, which may lie below them all.
        if (terms.capacity != noCapacity)
            count.bandFirst = std::min<long long>(count.bandFirst, terms.capacity);
    }
}

// The blocked of one outcome with a capacity: of the phi + a that come,
// with m present, max(K - m, 0) join. Arrival counts below `joinAll` all
// join; those from it on fill the station to m + room.
struct Room {
    long long room;   // places left
    long long first;  // the next count of arrival index 0 when all join
    int joinAll;      // arrival indexes below it join whole
};

Room roomOf(Int capacity, long long m, long long phi, const Window& a) {
    const long long room = std::max(0LL, static_cast<long long>(capacity) - m);
    const long long firstIn = phi + a.offset;
    const long long whole = std::clamp(room - firstIn + 1, 0LL, static_cast<long long>(a.length));
    return {room, m + firstIn, static_cast<int>(whole)};
}

// What the one walk of the loop nest gathers, over every next count z' that
// an outcome can reach: the next count's weights, poured outcome by outcome;
// per z' the weight of a described service that starts, and per (z, z') that
// of one that goes on (in the workspace, per count); both still to be
// divided by the servers busy after the step.
struct Gathered {
    Span reach;
    Window arrivals;
    const Real* next;
    const Real* starts;
    const Real* busyAfter;
};

Gathered gather(StepWorkspace& ws, const StationTerms& terms, const Window& a,
                const RoutedCounts& returning) {
    if (terms.count == 0 || a.length == 0) navro::abort(messages::emptyPmf);  // no outcome at all
    prepareCounts(ws, terms, a);
    // phi is at most d, so every outcome lies in its count's band.
    Span reach{LLONG_MAX, LLONG_MIN};
    for (const CountTerms& count : countsOf(ws, terms)) {
        reach.first = std::min(reach.first, count.bandFirst);
        reach.last = std::max(reach.last, count.bandLast);
    }
    const long long length = reach.last - reach.first + 1;
    Real* next = ws.cells.zeroed(length);
    Real* starts = ws.startWeights.zeroed(length);
    // With nobody in service after the step (z' = 0, or no servers) the
    // described service starts: it counts as one busy server, none going on.
    const Int c = terms.servers;
    Real* busyAfter = ws.busyAfter.reserve(length);
    for (long long k = 0; k < length; ++k) {
        const long long zprime = reach.first + k;
        busyAfter[k] =
            zprime == 0 || c == 0 ? 1.0 : static_cast<Real>(std::min<long long>(c, zprime));
    }
    long long bands = 0;
    for (CountTerms& count : countsOf(ws, terms)) {
        count.goingOnAt = bands;
        bands += count.bandLast - count.bandFirst + 1;
    }
    Real* goingOn = ws.goingOn.zeroed(bands);

    const bool capped = terms.capacity != noCapacity;
    Real blocked = 0.0;
    WorkMeter work;
    for (CountTerms& count : countsOf(ws, terms)) {
        const Window& net = a;
        count.continues = false;
        // The continuing weights of the count at next count z'.
        auto goingOnAt = [&](long long zprime) {
            return goingOn + count.goingOnAt + (zprime - count.bandFirst);
        };
        forEachOutcome(count, ws, returning, [&](Int d, Real weight, long long m, long long phi) {
            const Int going = count.busy - d;  // services that go on
            count.continues = count.continues || going > 0;
            if (!capped) {
                const long long first = m + phi + net.offset;
                pourOutcomes(next + (first - reach.first), starts + (first - reach.first),
                             goingOnAt(first), net.elements, busyAfter + (first - reach.first),
                             net.length, weight, static_cast<Real>(going));
                return;
            }
            const Room r = roomOf(terms.capacity, m, phi, net);
            pourOutcomes(next + (r.first - reach.first), starts + (r.first - reach.first),
                         goingOnAt(r.first), net.elements, busyAfter + (r.first - reach.first),
                         r.joinAll, weight, static_cast<Real>(going));
            // Arrival counts from joinAll on leave the station full.
            const long long full = m + r.room;
            const long long at = full - reach.first;
            if (r.joinAll < net.length && (full < count.bandFirst || full > count.bandLast))
                abortInternal();  // the bands are made to hold every outcome
            for (int j = r.joinAll; j < net.length; ++j) {
                const Real w = net.elements[j] * weight;
                if (!(w > 0)) continue;
                next[at] += std::min(w, 1.0);
                starts[at] += w * (busyAfter[at] - going);
                *goingOnAt(full) += w * going;
                blocked += w * static_cast<Real>(r.first + j - full);
            }
        });
        work.add(static_cast<long long>(count.completionsLength) * net.length);
    }
    work.flush();
    ws.blocked = blocked;
    return {reach, a, next, starts, busyAfter};
}

// Whether an outcome of positive probability of `count` with z' between
// `kept.first` and `kept.last` has a service that goes on: the only
// outcomes that need the count's continuing remaining times, which a state
// the caller wrote may not have.
bool continuesWithin(StepWorkspace& ws, const StationTerms& terms, const CountTerms& count,
                     const Window& arrivals, const RoutedCounts& returning, Span kept) {
    const Window& net = arrivals;
    // positives[j]: the arrival counts of positive probability among the first j.
    int* positives = ws.positiveArrivals.reserve(static_cast<long long>(net.length) + 1);
    positives[0] = 0;
    for (int j = 0; j < net.length; ++j) {
        positives[j + 1] = positives[j] + (net.elements[j] > 0 ? 1 : 0);
    }
    auto anyWithin = [&](long long first, int from, int to) {  // indexes from .. to - 1
        const long long low = std::max(first + from, kept.first) - first;
        const long long high = std::min(first + to - 1, kept.last) - first;
        return low <= high && positives[high + 1] > positives[low];
    };
    const bool capped = terms.capacity != noCapacity;
    bool continues = false;
    forEachOutcome(count, ws, returning, [&](Int d, Real, long long m, long long phi) {
        if (count.busy == d || continues) return;
        if (!capped) {
            continues = anyWithin(m + phi + net.offset, 0, net.length);
            return;
        }
        const Room r = roomOf(terms.capacity, m, phi, net);
        const long long full = m + r.room;
        continues =
            anyWithin(r.first, 0, r.joinAll) || (full >= kept.first && full <= kept.last &&
                                                 positives[net.length] > positives[r.joinAll]);
    });
    return continues;
}

// The new state between the tail cuts from what the walk gathered: each
// described service that starts spreads the service durations over its
// z' row, each one that goes on the continuing remaining times of its z.
Pmf* newState(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Gathered& g,
              Pmf* durations, const RoutedCounts& returning, Int leftTail, Int rightTail) {
    const Span rows{std::max<long long>(leftTail, g.reach.first),
                    std::min<long long>(rightTail, g.reach.last)};
    if (rows.first > rows.last) navro::abort(messages::emptyPmf);
    const long long rowCount = rows.last - rows.first + 1;
    const Span columns = columnsOf(ws, terms, durations);
    const long long width = columns.last - columns.first + 1;
    if (width > 0 && rowCount > maximumHeapCells / width) abortOutOfMemory();
    Real* grid = ws.grid.zeroed(rowCount * width);
    const Real* goingOn = ws.goingOn.data();
    auto row = [&](long long zprime) { return grid + (zprime - rows.first) * width; };
    // The share of each busy server after the step. The servers busy after
    // the step never fall as z' grows, so one division serves every row of
    // the same number.
    Real* share = ws.shares.reserve(rowCount);
    Real busy = 0.0;
    Real shareOfOne = 0.0;
    for (long long r = 0; r < rowCount; ++r) {
        const Real b = g.busyAfter[rows.first + r - g.reach.first];
        if (b != busy) {
            busy = b;
            shareOfOne = 1.0 / b;
        }
        share[r] = shareOfOne;
    }
    WorkMeter work;

    for (const CountTerms& count : countsOf(ws, terms)) {
        const Span band{count.bandFirst, count.bandLast};
        const Span kept{std::max(band.first, rows.first), std::min(band.last, rows.last)};
        if (kept.first > kept.last) continue;
        const bool whole = kept.first == band.first && kept.last == band.last;
        if (!(whole ? count.continues
                    : continuesWithin(ws, terms, count, g.arrivals, returning, kept))) {
            continue;
        }
        // Their total is divided out once per count rather than from every
        // weight.
        const ContinuingTimes times = timesGoingOn(conditionalOf(ws, count));
        const Window w = times.weights;
        const Real perTotal = 1.0 / times.total;
        for (long long zprime = kept.first; zprime <= kept.last; ++zprime) {
            const Real weight = goingOn[count.goingOnAt + (zprime - band.first)];
            if (!(weight > 0)) continue;
            spread(row(zprime) + (w.offset - columns.first), w.elements, w.length,
                   weight * share[zprime - rows.first] * perTotal);
        }
        work.add((kept.last - kept.first + 1) * w.length);
    }
    const Window s = probabilitiesOf(durations);
    for (long long zprime = rows.first; zprime <= rows.last; ++zprime) {
        const Real weight = g.starts[zprime - g.reach.first];
        if (!(weight > 0)) continue;
        spread(row(zprime) + (s.offset - columns.first), s.elements, s.length,
               weight * share[zprime - rows.first]);
        work.add(s.length);
    }
    work.flush();
    return jointOfRows(obj, ws, rows, columns, grid);
}

}  // namespace

void StepWorkspace::growLogs(int n) {
    Real* table = logs.reserve(static_cast<long long>(n) + 1);
    for (int k = logsReady + 1; k <= n; ++k) table[k] = std::log(static_cast<Real>(k));
    logsReady = n;
}

namespace {

// Adds the terms of count z, of weight probZ and conditional `ell` (held by
// `conditional`, or at ellAt in the workspace's `thinned`).
void addCount(StepWorkspace& ws, StationTerms& terms, Int z, Real probZ, Pmf* conditional,
              const Window& ell, long long ellAt, WorkMeter& work) {
    const Int busy = std::min(z, terms.servers);
    if (busy < 0) abortInternal();  // a step refuses negative servers first
    // P(ell = 1 | z); exactly 0 outside the window.
    const long long one = 1LL - ell.offset;
    const Real q = one >= 0 && one < ell.length ? ell.elements[one] : 0.0;
    const Support window = binomialSupport(busy, q);
    Real* ends = ws.completions.reserve(ws.completionsUsed + window.length) + ws.completionsUsed;
    // One trial needs no logarithms.
    const Real* logs = busy > 1 && window.length > 1 ? ws.logsUpTo(busy) : nullptr;
    fillBinomial(busy, q, [logs](int i) { return logs[i]; }, ends);
    work.add(window.length);
    CountTerms* counts = ws.counts.reserve(ws.countsUsed + 1);
    counts[ws.countsUsed++] = {z,
                               busy,
                               probZ,
                               conditional,
                               ell.offset,
                               ell.length,
                               ellAt,
                               window.offset,
                               static_cast<int>(window.length),
                               ws.completionsUsed,
                               0,
                               false,
                               0,
                               0};
    ws.completionsUsed += window.length;
    ++terms.count;
    terms.largestBusy = std::max(terms.largestBusy, busy);
    terms.smallestRemaining = std::min(terms.smallestRemaining, static_cast<long long>(z) - busy);
    terms.largestCount = std::max(terms.largestCount, static_cast<long long>(z));
}

// Every count of positive probability of a state with its conditional.
template <typename Visit>
void forEachCount(Pmf* state, Visit&& visit) {
    Pmf* marginal = lookupMarginalPmf(state);
    for (int k = 0; k < marginal->simple.length; ++k) {
        const Real probZ = marginal->simple.elements[k];
        if (!(probZ > 0)) continue;
        // Every count of positive probability has its conditional.
        Pmf* conditional = state->joint.elements[k];
        if (conditional == nullptr) abortInternal();
        visit(marginal->simple.offset + k, probZ, conditional);
    }
}

// The terms of the state after the waiting gave up: each (z, ell) moves to
// (z - A, ell) with A binomial(z - busy, p), whose far ends of negligible
// mass are left out. Row z'' of the workspace's `thinned` gathers the
// weights of (z'', ell) over the columns of every conditional; each row,
// normalised, is the conditional of its count.
void addThinnedCounts(StepWorkspace& ws, StationTerms& terms, Pmf* state, Real p, WorkMeter& work) {
    const Int c = terms.servers;
    if (c < 0) abortInternal();  // a step refuses negative servers first
    // Rows from the least busy (all the waiting gone) to the greatest count.
    Span rows{LLONG_MAX, LLONG_MIN};
    Span columns{LLONG_MAX, LLONG_MIN};
    forEachCount(state, [&](Int z, Real, Pmf* conditional) {
        rows.first = std::min<long long>(rows.first, std::min(z, c));
        rows.last = std::max<long long>(rows.last, z);
        const Window ell = probabilitiesOf(conditional);
        columns.first = std::min<long long>(columns.first, ell.offset);
        columns.last = std::max<long long>(columns.last, ell.offset + ell.length - 1LL);
    });
    if (rows.first > rows.last || columns.first > columns.last) return;  // no count at all
    const long long rowCount = rows.last - rows.first + 1;
    const long long width = columns.last - columns.first + 1;
    if (rowCount > maximumHeapCells / width) abortOutOfMemory();
    const long long at = ws.thinnedUsed;
    Real* grid = ws.thinned.reserve(at + rowCount * width) + at;
    std::fill(grid, grid + rowCount * width, 0.0);
    ws.thinnedUsed += rowCount * width;
    Real* weights = ws.thinnedCounts.zeroed(rowCount);
    const auto* abandons =
        ws.abandonsUpTo(static_cast<Int>(rows.last - std::min<long long>(rows.last, c)), p);
    const Real* abandonCells = ws.abandonCells.data();
    forEachCount(state, [&](Int z, Real probZ, Pmf* conditional) {
        const Window ell = probabilitiesOf(conditional);
        const StepWorkspace::Abandons& gone = abandons[z - std::min(z, c)];
        // The ends whose weight in the thinned state is negligible, as the
        // binomial's own are: a count of little probability spreads less.
        const KeptCells kept = withoutNegligibleEnds(abandonCells + gone.at, gone.length,
                                                     negligibleAbandonments / probZ);
        for (int k = kept.first; k < kept.first + kept.length; ++k) {
            const Real weight = probZ * abandonCells[gone.at + k];
            if (!(weight > 0)) continue;
            const long long r = static_cast<long long>(z) - (gone.offset + k) - rows.first;
            weights[r] += weight;
            spread(grid + r * width + (ell.offset - columns.first), ell.elements, ell.length,
                   weight);
        }
        work.add(static_cast<long long>(kept.length) * ell.length);
    });
    for (long long r = 0; r < rowCount; ++r) {
        if (!(weights[r] > 0)) continue;
        Real* cells = grid + r * width;
        const CellRange range = nonZeroRange(cells, static_cast<int>(width));
        if (range.low > range.high) continue;  // a weight too small to spread
        Real total = 0.0;
        for (int j = range.low; j <= range.high; ++j) total += cells[j];
        for (int j = range.low; j <= range.high; ++j) cells[j] /= total;
        const Window ell{static_cast<Int>(columns.first + range.low), range.high - range.low + 1,
                         cells + range.low};
        addCount(ws, terms, static_cast<Int>(rows.first + r), weights[r], nullptr, ell,
                 at + r * width + range.low, work);
        work.add(width);
    }
}

}  // namespace

void StepWorkspace::growAbandons(Int w) {
    Abandons* windows = abandons.reserve(static_cast<long long>(w) + 1);
    for (Int n = abandonsReady; n <= w; ++n) {
        const Support support = binomialSupport(n, abandonsP);
        Real* cells = gone.reserve(support.length);
        const Real* logTable = n > 1 && support.length > 1 ? logsUpTo(n) : nullptr;
        fillBinomial(n, abandonsP, [logTable](int i) { return logTable[i]; }, cells);
        const KeptCells kept =
            withoutNegligibleEnds(cells, static_cast<int>(support.length), negligibleAbandonments);
        Real* kepts = abandonCells.reserve(abandonCellsUsed + kept.length) + abandonCellsUsed;
        std::copy(cells + kept.first, cells + kept.first + kept.length, kepts);
        windows[n] = {static_cast<Int>(support.offset + kept.first), kept.length, abandonCellsUsed};
        abandonCellsUsed += kept.length;
    }
    abandonsReady = w + 1;
}

StationTerms buildTerms(StepWorkspace& ws, Pmf* state, Int servers, Real abandonment,
                        Int capacity) {
    StationTerms terms{ws.countsUsed, 0, servers, capacity, 0, LLONG_MAX, LLONG_MIN};
    WorkMeter work;
    bool waits = false;
    forEachCount(state, [&](Int z, Real, Pmf*) { waits = waits || z > servers; });
    if (abandonment > 0 && waits) {
        addThinnedCounts(ws, terms, state, abandonment, work);
    } else {
        forEachCount(state, [&](Int z, Real probZ, Pmf* conditional) {
            addCount(ws, terms, z, probZ, conditional, probabilitiesOf(conditional), -1, work);
        });
    }
    work.flush();
    return terms;
}

RoutedCounts::RoutedCounts(StepWorkspace& ws, Real r, Int largestCount) : probability(r) {
    if (r <= 0 || r >= 1) return;  // certain: none or all of them
    Real* binomials = ws.routed.reserve(triangle(static_cast<long long>(largestCount) + 1));
    const Real* logs = ws.logsUpTo(largestCount);
    WorkMeter work;
    for (Int d = 0; d <= largestCount; ++d) {
        fillBinomial(d, r, [logs](int i) { return logs[i]; }, binomials + triangle(d));
        work.add(d + 1);
    }
    work.flush();
    table = binomials;
}

namespace {
// The window of `cells`, the weights of lo, lo + 1, ..., that a distribution
// of them keeps: from the first to the last weight that is not 0.
CellRange keptCells(long long lo, const Real* cells, long long length) {
    // A count beyond the largest Int cannot be stored in a state; an outcome
    // of positive weight there is refused as an invalid value, not wrapped.
    const long long storable = std::clamp(static_cast<long long>(INT_MAX) + 1 - lo, 0LL, length);
    for (long long k = storable; k < length; ++k) {
        if (cells[k] != 0.0) navro::abort(messages::invalidValue);
    }
    const CellRange kept = nonZeroRange(cells, static_cast<int>(storable));
    if (kept.low > kept.high) navro::abort(messages::emptyPmf);
    return kept;
}
}  // namespace

Pmf* distributionOfCells(NObject* obj, long long lo, const Real* cells, long long length) {
    const CellRange kept = keptCells(lo, cells, length);
    Pmf* pmf = allocateSimplePmf(obj, static_cast<Int>(lo + kept.low), kept.high - kept.low + 1);
    normaliseCells(cells + kept.low, pmf->simple.elements, pmf->simple.length);
    return pmf;
}

Window distributionOfCells(Real* room, long long lo, const Real* cells, long long length) {
    const CellRange kept = keptCells(lo, cells, length);
    const int count = kept.high - kept.low + 1;
    normaliseCells(cells + kept.low, room, count);
    return {static_cast<Int>(lo + kept.low), count, room};
}

ContinuingTimes continuingTimes(const Pmf* conditional) {
    return timesGoingOn(probabilitiesOf(conditional));
}

ContinuingTimes continuingTimes(const Window& conditional) { return timesGoingOn(conditional); }

Pmf* partialMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
                const RoutedCounts& returning) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    return distributionOfCells(obj, g.reach.first, g.next, g.reach.last - g.reach.first + 1);
}

Pmf* fullMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
             Pmf* durations, const RoutedCounts& returning, Int leftTail, Int rightTail) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    return newState(obj, ws, terms, g, durations, returning, leftTail, rightTail);
}

Pmf* stepState(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
               Pmf* durations, const RoutedCounts& returning) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    // The tails of the distribution of the next count, as the partial map
    // gives it: each probability is its weight over the total, formed only
    // for the weights that the tails sum.
    const CellRange kept = keptCells(g.reach.first, g.next, g.reach.last - g.reach.first + 1);
    const Int offset = static_cast<Int>(g.reach.first + kept.low);
    const int length = kept.high - kept.low + 1;
    const Real* weights = g.next + kept.low;
    Real total = 0.0;
    for (int k = 0; k < length; ++k) total += weights[k];
    auto probabilityAt = [weights, total](int k) { return weights[k] / total; };
    // Each tail gets half of the tolerance.
    const Real epsilon = 1e-8 / checkDenominator(2);
    const Int leftTail = leftTailOf(offset, length, epsilon, probabilityAt);
    const Int rightTail = rightTailOf(offset, length, epsilon, probabilityAt);
    return newState(obj, ws, terms, g, durations, returning, leftTail, rightTail);
}
