#pragma once

#include "models/model_object.hpp"
#include "pmf/pmf.hpp"
#include "runtime/buffer.hpp"
#include "runtime/memory.hpp"

// The step of one station's (z, ell) distribution, shared by the single
// station and by every node of a network: the partial map that gives the
// distribution of the next count z', its two tail cuts, and the full map that
// gives the new state between the cuts.
//
// Both maps come from one walk of one loop nest: every count z of the state,
// the number d of its busy servers that finish, the number phi of those that
// the station's own routing sends back to it (none for a single station),
// and the arrivals a, with z' = z - d + phi + a. A capacity K lets only
// max(K - m, 0) of the phi + a join, m = z - d, and blocks the rest.
// Abandonment acts on the state before the walk: the waiting of each count
// z give up as binomial(z - busy, p), which moves (z, ell) to (z - A, ell)
// and leaves busy = min(z, c) as it is, since only the waiting leave. The
// walk then maps that thinned state with its depth and bands unchanged. For
// one server, and for geometric services, the thinned state is exact; for
// several servers with other durations it mixes the conditionals of ell of
// the counts that land on one count, as the maps' states do anyway.
//
// The nest's innermost loop pours
// every outcome into the next count's distribution on its own, in the order
// of the nest, so the partial map and the tail cuts that it decides are
// those of an outcome-by-outcome walk, bit for bit. The same loop gathers
// for the full map: per z' the weight of a described service that starts
// now, per (z, z') the weight of one that goes on. The remaining times are
// spread only then, once per z' and once per (z, z'), instead of once per
// (z, d, phi, a).
//
// The loops report their work to interruptionPoint, so a long step can be
// abandoned part way: a step stores nothing in its model before it ends.

// Probabilities of the values offset .. offset + length - 1.
struct Window {
    Int offset;
    int length;
    const Real* elements;
};

inline Window probabilitiesOf(const Pmf* pmf) {
    return {pmf->simple.offset, pmf->simple.length, pmf->simple.elements};
}

// What one count z of a state contributes to a step, built once per step and
// shared by both maps and by the flows out of a node.
struct CountTerms {
    Int z;
    Int busy;  // min(z, servers)
    Real probability;
    // The conditional of ell given z: `conditional` itself, or, in a state
    // that abandonment thinned (conditional == nullptr), the probabilities
    // of ellOffset, ellOffset + 1, ... at ellAt in the workspace's `thinned`.
    Pmf* conditional;
    Int ellOffset;
    int ellLength;
    long long ellAt;
    // The number of services that end: binomial(busy, P(ell = 1 | z)), its
    // window and where its elements lie in the workspace.
    Int completionsOffset;
    int completionsLength;
    long long completionsAt;
    // Left by the walk of the maps: where the count's continuing weights
    // lie in the workspace, whether any outcome has a service that goes on,
    // and the band of next counts its outcomes reach.
    long long goingOnAt;
    bool continues;
    long long bandFirst;
    long long bandLast;
};

// Working storage of the maps, kept on the model object between steps so
// that a step allocates nothing that the previous one already had.
struct StepWorkspace {
    Buffer<Real> logs;  // log(k) at index k, for 1 <= k <= logsReady
    int logsReady = 0;
    Buffer<CountTerms> counts;
    long long countsUsed = 0;
    Buffer<Real> completions;
    long long completionsUsed = 0;
    // A state thinned by abandonment: the weights of its counts and the
    // rows of their conditionals.
    // binomial(w, p) of the w waiting that give up, without its negligible
    // ends, for w = 0 .. abandonsReady - 1: a state's counts draw from the
    // same few every step, so they are kept while p stays.
    struct Abandons {
        Int offset;
        int length;
        long long at;  // in abandonCells
    };
    Real abandonsP = -1.0;
    Buffer<Abandons> abandons;
    Buffer<Real> abandonCells;
    long long abandonCellsUsed = 0;
    Int abandonsReady = 0;
    Buffer<Real> gone;  // one binomial before its ends are dropped
    Buffer<Real> thinnedCounts;
    Buffer<Real> thinned;
    long long thinnedUsed = 0;
    // E[entities blocked] in the last walk of the maps, over all its
    // outcomes (the tails included).
    Real blocked = 0.0;
    Buffer<Real> routed;
    Buffer<int> positiveArrivals;
    Buffer<Real> cells;
    Buffer<Real> startWeights;
    Buffer<Real> busyAfter;
    Buffer<Real> goingOn;
    Buffer<Real> shares;
    Buffer<Real> grid;
    Buffer<Real> rowTotals;
    Buffer<SimpleShape> rowShapes;

    // log(k) for 1 <= k <= n, computed once for all binomials of all steps.
    const Real* logsUpTo(int n) {
        if (n > logsReady) growLogs(n);
        return logs.data();
    }
    // The binomials of abandonment p for every number waiting up to `w`.
    const Abandons* abandonsUpTo(Int w, Real p) {
        if (p != abandonsP) {
            abandonsP = p;
            abandonsReady = abandonCellsUsed = 0;
        }
        if (w >= abandonsReady) growAbandons(w);
        return abandons.data();
    }
    // Forgets the terms of earlier calls.
    void clearTerms() { countsUsed = completionsUsed = thinnedUsed = 0; }

private:
    void growLogs(int n);
    void growAbandons(Int w);
};

// The counts of one state: a range of the workspace's terms, in increasing
// order of z, with the bounds that size the maps' windows.
struct StationTerms {
    long long first;
    long long count;
    Int servers;
    Int capacity;  // noCapacity: no limit
    Int largestBusy;
    long long smallestRemaining;  // the least z - busy
    long long largestCount;       // the greatest z
};

// Builds the terms of every count of positive probability of `state`, thinned
// first by abandonment, and adds them to the workspace after those already
// there.
StationTerms buildTerms(StepWorkspace& ws, Pmf* state, Int servers, Real abandonment = 0.0,
                        Int capacity = noCapacity);

// How many of d entities a routing probability r sends to one place:
// binomial(d, r) for every d up to `largestCount`, built once and looked up
// by every outcome. With r = 0 nothing is sent, which is how the single
// station, which routes nothing back to itself, walks the shared nest.
class RoutedCounts {
public:
    RoutedCounts() = default;
    RoutedCounts(StepWorkspace& ws, Real r, Int largestCount);

    Window of(Int d) const {
        if (table != nullptr) return {0, d + 1, table + triangle(d)};
        return {probability <= 0 ? 0 : d, 1, certain};  // none or all of them
    }

    // Whether none of them is ever sent.
    bool sendsNone() const { return table == nullptr && probability <= 0; }

    // Where binomial(d, r) starts in a table of them for d = 0, 1, ...
    static long long triangle(long long d) { return d * (d + 1) / 2; }

private:
    static constexpr Real certain[] = {1.0};
    Real probability = 0.0;
    const Real* table = nullptr;
};

// The maps take the distribution of the arrivals as a window of
// probabilities, held by a Pmf or by working storage.

// The partial map: the distribution of z'.
Pmf* partialMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
                const RoutedCounts& returning);

// The full map: the new (z', ell') state for leftTail <= z' <= rightTail.
Pmf* fullMap(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
             Pmf* durations, const RoutedCounts& returning, Int leftTail, Int rightTail);

// Both maps with the cuts between them: the state one step later.
Pmf* stepState(NObject* obj, StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
               Pmf* durations, const RoutedCounts& returning);

// Of `length` probabilities, the window left once the far ends whose mass
// is negligible, at most `negligible` at each end, are dropped: the number
// of the waiting that give up is binomial over all of them, and its far tail
// of tiny probabilities would multiply the work of a step for nothing.
struct KeptCells {
    int first;
    int length;
};
inline KeptCells withoutNegligibleEnds(const Real* cells, int length, Real negligible) {
    int first = 0, last = length - 1;
    Real dropped = 0.0;
    while (first < last && dropped + cells[first] <= negligible) dropped += cells[first++];
    dropped = 0.0;
    while (last > first && dropped + cells[last] <= negligible) dropped += cells[last--];
    return {first, last - first + 1};
}
// What each end of a binomial of abandonments may drop (probability).
inline constexpr Real negligibleAbandonments = 1e-16;

// The remaining time after the step of a service that goes on, given z:
// ell - 1 over the values ell != 1 of the conditional, as weights (the
// conditional's own elements) and their total, summed in increasing order,
// by which each is still to be divided. A remaining time of 0 with positive
// probability (only a state the caller wrote has one) raises "Negative
// integer in pmf support"; a conditional without any ell != 1 raises "Empty
// pmf".
struct ContinuingTimes {
    Window weights;
    Real total;
};
ContinuingTimes continuingTimes(const Pmf* conditional);
ContinuingTimes continuingTimes(const Window& conditional);

// The conditional of ell given a count's z.
inline Window conditionalOf(StepWorkspace& ws, const CountTerms& count) {
    if (count.conditional != nullptr) return probabilitiesOf(count.conditional);
    return {count.ellOffset, count.ellLength, ws.thinned.data() + count.ellAt};
}

// The normalised distribution of the weights `cells` of the values lo,
// lo + 1, ...: "Invalid value" if a value beyond the largest Int has
// weight, "Empty pmf" if no value has. As a record of the context, or in
// `room`, which has space for `length` probabilities.
Pmf* distributionOfCells(NObject* obj, long long lo, const Real* cells, long long length);
Window distributionOfCells(Real* room, long long lo, const Real* cells, long long length);
