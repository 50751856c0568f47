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
// number d of services that end, every number A of the waiting that give up
// (only when `walkAbandons`; otherwise they are folded into the count's
// arrivals) and every number phi of the ended routed back, each of positive
// probability, in increasing order. `visit(d, weight, m, phi)` gets the
// weight p(z) p(d) p(A) p(phi), formed from the outside in as the walk of
// the whole nest forms it, m = z - d - A, the count before the arrivals
// join, and phi.
template <typename Visit>
void forEachOutcome(const CountTerms& count, StepWorkspace& ws, const RoutedCounts& returning,
                    bool walkAbandons, Visit&& visit) {
    const Real* ends = ws.completions.data() + count.completionsAt;
    const bool noneBack = returning.sendsNone();
    static constexpr Real certain[] = {1.0};
    const bool abandons = walkAbandons && count.abandonsAt >= 0;
    const Real* gone = abandons ? ws.abandons.data() + count.abandonsAt : certain;
    const Int goneOffset = abandons ? count.abandonsOffset : 0;
    const int goneLength = abandons ? count.abandonsLength : 1;
    for (int i = 0; i < count.completionsLength; ++i) {
        const Real probD = ends[i];
        if (!(probD > 0)) continue;
        const Int d = count.completionsOffset + i;
        const Real weightD = probD * count.probability;
        for (int k = 0; k < goneLength; ++k) {
            const Real probA = gone[k];
            if (!(probA > 0)) continue;
            // Without abandonment the weight is left as it is.
            const Real weightA = abandons ? probA * weightD : weightD;
            const long long m = static_cast<long long>(count.z) - d - (goneOffset + k);
            if (noneBack) {  // phi = 0 with probability 1, which leaves the weight as it is
                visit(d, weightA, m, 0LL);
                continue;
            }
            const Window back = returning.of(d);
            for (int j = 0; j < back.length; ++j) {
                const Real probPhi = back.elements[j];
                if (!(probPhi > 0)) continue;
                visit(d, probPhi * weightA, m, static_cast<long long>(back.offset) + j);
            }
        }
    }
}

// The values ell - 1 for ell >= 2 in the window of a conditional of ell.
struct Span {
    long long first;
    long long last;
};

Span continuingSpan(const Pmf* conditional) {
    const long long from = std::max(conditional->simple.offset, 2);
    return {from - 1,
            static_cast<long long>(conditional->simple.offset) + conditional->simple.length - 2};
}

// continuingTimes, here where the maps can inline it.
inline ContinuingTimes timesGoingOn(const Pmf* conditional) {
    const Window ell = probabilitiesOf(conditional);
    if (ell.offset == 0 && ell.length > 0 && ell.elements[0] > 0) {
        navro::abort(messages::negativeIntegerInSupport);  // its remaining time would be -1
    }
    // A state's probabilities lie in [0, 1], so they are the weights as an
    // accumulator would take them.
    const Span span = continuingSpan(conditional);
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
        if (count.busy > 0) cover(continuingSpan(count.conditional));
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

// The arrivals that a count's outcomes pour: the step's own, or, with
// abandonment and no capacity, a - A in the workspace.
Window netArrivals(StepWorkspace& ws, const CountTerms& count, const Window& arrivals) {
    if (count.netAt < 0) return arrivals;
    return {count.netOffset, count.netLength, ws.net.data() + count.netAt};
}

// The distribution of a - A for every count that has abandonment, with a
// and A independent, and the band of next counts that each count reaches:
// z - busy + min(a - A) (or the capacity, if below) to z + max(a); for a
// count above the capacity, from the least m (an outcome never ends below
// the count before the arrivals).
void prepareCounts(StepWorkspace& ws, const StationTerms& terms, const Window& a) {
    long long netUsed = 0;
    for (CountTerms& count : countsOf(ws, terms)) {
        count.netAt = -1;
        count.netOffset = a.offset;
        count.netLength = a.length;
        const long long mostGone =
            count.abandonsAt < 0 ? 0 : count.abandonsOffset + count.abandonsLength - 1;
        count.walksAbandons = terms.capacity != noCapacity && count.z > terms.capacity;
        if (count.walksAbandons) {
            count.bandFirst = static_cast<long long>(count.z) - count.busy - mostGone;
            count.bandLast = static_cast<long long>(count.z) + a.offset + a.length - 1;
            continue;
        }
        if (count.abandonsAt >= 0) {
            const long long length = static_cast<long long>(a.length) + count.abandonsLength - 1;
            Real* net = ws.net.reserve(netUsed + length) + netUsed;
            std::fill(net, net + length, 0.0);
            const Real* gone = ws.abandons.data() + count.abandonsAt;
            for (int k = 0; k < count.abandonsLength; ++k) {
                const Real probA = gone[k];
                if (!(probA > 0)) continue;
                // a - A for A = mostGone - shift lies at index j + shift.
                const long long shift = mostGone - (count.abandonsOffset + k);
                for (int j = 0; j < a.length; ++j) net[j + shift] += probA * a.elements[j];
            }
            count.netAt = netUsed;
            count.netOffset = static_cast<Int>(a.offset - mostGone);
            count.netLength = static_cast<int>(length);
            netUsed += length;
        }
        count.bandFirst = static_cast<long long>(count.z) - count.busy + count.netOffset;
        // A capacity can turn every arrival away: the count then ends at
        // what stayed, below the least arrivals' reach.
        if (terms.capacity != noCapacity) {
            const long long stayed = static_cast<long long>(count.z) - count.busy;
            count.bandFirst = std::min(count.bandFirst, stayed + std::min(count.netOffset, 0));
        }
        count.bandLast = static_cast<long long>(count.z) + count.netOffset + count.netLength - 1;
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
        const Window net = netArrivals(ws, count, a);
        count.continues = false;
        // The continuing weights of the count at next count z'.
        auto goingOnAt = [&](long long zprime) {
            return goingOn + count.goingOnAt + (zprime - count.bandFirst);
        };
        forEachOutcome(
            count, ws, returning, count.walksAbandons,
            [&](Int d, Real weight, long long m, long long phi) {
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
        work.add(static_cast<long long>(count.completionsLength) * net.length *
                 (count.walksAbandons && count.abandonsAt >= 0 ? count.abandonsLength : 1));
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
    const Window net = netArrivals(ws, count, arrivals);
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
    forEachOutcome(
        count, ws, returning, count.walksAbandons, [&](Int d, Real, long long m, long long phi) {
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
        const ContinuingTimes times = timesGoingOn(count.conditional);
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

StationTerms buildTerms(StepWorkspace& ws, Pmf* state, Int servers, Real abandonment,
                        Int capacity) {
    Pmf* marginal = lookupMarginalPmf(state);
    const int length = marginal->simple.length;
    StationTerms terms{ws.countsUsed, 0, servers, capacity, 0, LLONG_MAX, LLONG_MIN};
    CountTerms* counts = ws.counts.reserve(ws.countsUsed + length);
    WorkMeter work;
    for (int k = 0; k < length; ++k) {
        const Real probZ = marginal->simple.elements[k];
        if (!(probZ > 0)) continue;
        const Int z = marginal->simple.offset + k;
        // Every count of positive probability has its conditional.
        Pmf* conditional = state->joint.elements[k];
        if (conditional == nullptr) abortInternal();
        const Real q = lookupProbability(conditional, 1);
        const Int busy = std::min(z, servers);
        if (busy < 0) abortInternal();  // a step refuses negative servers first
        const Support window = binomialSupport(busy, q);
        Real* ends =
            ws.completions.reserve(ws.completionsUsed + window.length) + ws.completionsUsed;
        // One trial needs no logarithms.
        const Real* logs = busy > 1 && window.length > 1 ? ws.logsUpTo(busy) : nullptr;
        fillBinomial(busy, q, [logs](int i) { return logs[i]; }, ends);
        work.add(window.length);
        counts[ws.countsUsed++] = {z,
                                   busy,
                                   probZ,
                                   conditional,
                                   window.offset,
                                   static_cast<int>(window.length),
                                   ws.completionsUsed,
                                   0,
                                   false,
                                   0,
                                   1,
                                   -1,
                                   false,
                                   0,
                                   0,
                                   -1,
                                   0,
                                   0};
        ws.completionsUsed += window.length;
        const Int waiting = z - busy;
        if (abandonment > 0 && waiting > 0) {
            // Each of the waiting gives up on its own: binomial(waiting, p).
            CountTerms& count = counts[ws.countsUsed - 1];
            const Support gone = binomialSupport(waiting, abandonment);
            Real* cells = ws.abandons.reserve(ws.abandonsUsed + gone.length) + ws.abandonsUsed;
            const Real* logsOfWaiting =
                waiting > 1 && gone.length > 1 ? ws.logsUpTo(waiting) : nullptr;
            fillBinomial(
                waiting, abandonment, [logsOfWaiting](int i) { return logsOfWaiting[i]; }, cells);
            const KeptCells kept =
                withoutNegligibleEnds(cells, static_cast<int>(gone.length), negligibleAbandonments);
            count.abandonsOffset = static_cast<Int>(gone.offset + kept.first);
            count.abandonsLength = kept.length;
            count.abandonsAt = ws.abandonsUsed + kept.first;
            ws.abandonsUsed += gone.length;
            work.add(gone.length);
        }
        ++terms.count;
        terms.largestBusy = std::max(terms.largestBusy, busy);
        terms.smallestRemaining =
            std::min(terms.smallestRemaining, static_cast<long long>(z) - busy);
        terms.largestCount = std::max(terms.largestCount, static_cast<long long>(z));
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

ContinuingTimes continuingTimes(const Pmf* conditional) { return timesGoingOn(conditional); }

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
