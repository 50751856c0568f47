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

Window windowOf(const Pmf* pmf) {
    return {pmf->simple.offset, pmf->simple.length, pmf->simple.elements};
}

std::span<CountTerms> countsOf(StepWorkspace& ws, const StationTerms& terms) {
    return {ws.counts.data() + terms.first, static_cast<std::size_t>(terms.count)};
}

// The loop nest of both maps above the arrivals: for one count z, every
// number d of services that end and every number phi of them routed back,
// each of positive probability, in increasing order. `visit(d, weight,
// base)` gets the weight p(z) p(d) p(phi), formed from the outside in as the
// walk of the whole nest forms it, and base = z - d + phi, the next count
// before arrivals.
template <typename Visit>
void forEachCompletion(const CountTerms& count, const Real* completions,
                       const RoutedCounts& returning, Visit&& visit) {
    const Real* ends = completions + count.completionsAt;
    for (int i = 0; i < count.completionsLength; ++i) {
        const Real probD = ends[i];
        if (!(probD > 0)) continue;
        const Int d = count.completionsOffset + i;
        const Real weightD = probD * count.probability;
        const Window back = returning.of(d);
        for (int j = 0; j < back.length; ++j) {
            const Real probPhi = back.elements[j];
            if (!(probPhi > 0)) continue;
            visit(d, probPhi * weightD, static_cast<long long>(count.z) - d + back.offset + j);
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
// weight of z' in the marginal, as a joint accumulator builds them.
Pmf* jointOfRows(NObject* obj, StepWorkspace& ws, Span rows, Span columns, const Real* grid) {
    const long long count = rows.last - rows.first + 1;
    const long long width = columns.last - columns.first + 1;
    Pmf** conditionals = ws.rowPmfs.reserve(count);
    Real* totals = ws.rowTotals.reserve(count);
    WorkMeter work;
    for (long long r = 0; r < count; ++r) {
        conditionals[r] = normalisedSimplePmf(obj, columns.first, grid + r * width,
                                              static_cast<int>(width), totals[r]);
        work.add(width);
    }
    work.flush();
    Real total = 0.0;
    Pmf* marginal = normalisedSimplePmf(obj, rows.first, totals, static_cast<int>(count), total);
    if (marginal == nullptr) navro::abort(messages::emptyPmf);
    Pmf* joint = allocateJointPmf(obj, marginal, 2);
    const long long shift = marginal->simple.offset - rows.first;
    for (int k = 0; k < marginal->simple.length; ++k) {
        joint->joint.elements[k] = conditionals[k + shift];
    }
    return joint;
}

// The outcomes of the counts that one count z reaches, z - busy + a to
// z + a over the arrivals' window: where its continuing weights lie.
Span bandOf(const CountTerms& count, const Window& arrivals) {
    return {static_cast<long long>(count.z) - count.busy + arrivals.offset,
            static_cast<long long>(count.z) + arrivals.offset + arrivals.length - 1};
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

Gathered gather(StepWorkspace& ws, const StationTerms& terms, Pmf* arrivals,
                const RoutedCounts& returning) {
    const Window a = windowOf(arrivals);
    if (terms.count == 0 || a.length == 0) navro::abort(messages::emptyPmf);  // no outcome at all
    // phi is at most d, so z - d + phi lies between z - busy and z.
    const Span reach{terms.smallestRemaining + a.offset,
                     terms.largestCount + a.offset + a.length - 1};
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
        const Span band = bandOf(count, a);
        count.goingOnAt = bands;
        bands += band.last - band.first + 1;
    }
    Real* goingOn = ws.goingOn.zeroed(bands);

    const Real* completions = ws.completions.data();
    WorkMeter work;
    for (CountTerms& count : countsOf(ws, terms)) {
        const long long bandFirst = bandOf(count, a).first;
        count.continues = false;
        forEachCompletion(count, completions, returning, [&](Int d, Real weight, long long base) {
            const long long first = base + a.offset;
            const Int going = count.busy - d;  // services that go on
            pourOutcomes(next + (first - reach.first), starts + (first - reach.first),
                         goingOn + count.goingOnAt + (first - bandFirst), a.elements,
                         busyAfter + (first - reach.first), a.length, weight,
                         static_cast<Real>(going));
            count.continues = count.continues || going > 0;
        });
        work.add(static_cast<long long>(count.completionsLength) * a.length);
    }
    work.flush();
    return {reach, a, next, starts, busyAfter};
}

// Whether an outcome of positive probability of `count` with z' between
// `kept.first` and `kept.last` has a service that goes on: the only
// outcomes that need the count's continuing remaining times, which a state
// the caller wrote may not have.
bool continuesWithin(StepWorkspace& ws, const CountTerms& count, const Window& arrivals,
                     const RoutedCounts& returning, Span kept) {
    // positives[j]: the arrival counts of positive probability among the first j.
    int* positives = ws.positiveArrivals.reserve(static_cast<long long>(arrivals.length) + 1);
    positives[0] = 0;
    for (int j = 0; j < arrivals.length; ++j) {
        positives[j + 1] = positives[j] + (arrivals.elements[j] > 0 ? 1 : 0);
    }
    bool continues = false;
    forEachCompletion(count, ws.completions.data(), returning, [&](Int d, Real, long long base) {
        if (count.busy == d) return;
        const long long first = base + arrivals.offset;
        const long long from = std::max(first, kept.first) - first;
        const long long to = std::min(first + arrivals.length - 1, kept.last) - first;
        continues = continues || (from <= to && positives[to + 1] > positives[from]);
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
    // The share of each busy server after the step, divided once per row.
    Real* share = ws.shares.reserve(rowCount);
    for (long long r = 0; r < rowCount; ++r) {
        share[r] = 1.0 / g.busyAfter[rows.first + r - g.reach.first];
    }
    WorkMeter work;

    for (const CountTerms& count : countsOf(ws, terms)) {
        const Span band = bandOf(count, g.arrivals);
        const Span kept{std::max(band.first, rows.first), std::min(band.last, rows.last)};
        if (kept.first > kept.last) continue;
        const bool whole = kept.first == band.first && kept.last == band.last;
        if (!(whole ? count.continues : continuesWithin(ws, count, g.arrivals, returning, kept))) {
            continue;
        }
        // Their total is divided out once per count rather than from every
        // weight.
        const ContinuingTimes times = continuingTimes(count.conditional);
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
    const Window s = windowOf(durations);
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

const Real* StepWorkspace::logsUpTo(int n) {
    if (n > logsReady) {
        Real* table = logs.reserve(static_cast<long long>(n) + 1);
        for (int k = logsReady + 1; k <= n; ++k) table[k] = std::log(static_cast<Real>(k));
        logsReady = n;
    }
    return logs.data();
}

StationTerms buildTerms(StepWorkspace& ws, Pmf* state, Int servers) {
    Pmf* marginal = lookupMarginalPmf(state);
    const int length = marginal->simple.length;
    StationTerms terms{ws.countsUsed, 0, servers, 0, LLONG_MAX, LLONG_MIN};
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
        const Real* logs = window.length > 1 ? ws.logsUpTo(busy) : nullptr;
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
                                   false};
        ws.completionsUsed += window.length;
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

Pmf* distributionOfCells(NObject* obj, long long lo, const Real* cells, long long length) {
    // A count beyond the largest Int cannot be stored in a state; an outcome
    // of positive weight there is refused as an invalid value, not wrapped.
    const long long storable = std::clamp(static_cast<long long>(INT_MAX) + 1 - lo, 0LL, length);
    for (long long k = storable; k < length; ++k) {
        if (cells[k] != 0.0) navro::abort(messages::invalidValue);
    }
    Real total = 0.0;
    Pmf* pmf = normalisedSimplePmf(obj, lo, cells, static_cast<int>(storable), total);
    if (pmf == nullptr) navro::abort(messages::emptyPmf);
    return pmf;
}

ContinuingTimes continuingTimes(const Pmf* conditional) {
    const Window ell = windowOf(conditional);
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

Pmf* partialMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, Pmf* arrivals,
                const RoutedCounts& returning) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    return distributionOfCells(obj, g.reach.first, g.next, g.reach.last - g.reach.first + 1);
}

Pmf* fullMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, Pmf* arrivals,
             Pmf* durations, const RoutedCounts& returning, Int leftTail, Int rightTail) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    return newState(obj, ws, terms, g, durations, returning, leftTail, rightTail);
}

Pmf* stepState(NObject* obj, StepWorkspace& ws, const StationTerms& terms, Pmf* arrivals,
               Pmf* durations, const RoutedCounts& returning) {
    const Gathered g = gather(ws, terms, arrivals, returning);
    Pmf* next = distributionOfCells(obj, g.reach.first, g.next, g.reach.last - g.reach.first + 1);
    // Each tail gets half of the tolerance.
    const Real tolerance = 1e-8;
    const Int leftTail = computeLeftTail(next, tolerance / checkDenominator(2));
    const Int rightTail = computeRightTail(next, tolerance / checkDenominator(2));
    return newState(obj, ws, terms, g, durations, returning, leftTail, rightTail);
}
