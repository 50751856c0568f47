#pragma once

#include <cstddef>
#include <cstdint>

#include "exact/key_table.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"
#include "runtime/types.hpp"

// The step of the real system, one state of the exact chain at a time.
//
// A state holds, per node, the number waiting and the number of busy
// servers by remaining service time (1: the service ends in the coming
// step). Its transitions follow the documented step:
//   0. servers that the settings cut below the number in service keep as
//      many services going as they have, chosen at random, and the others
//      wait again; servers added take up waiting entities at once, each with
//      a whole new service (both only where the servers changed);
//   1. every service goes one unit on; those with one unit left end, and
//      each of their entities is routed on its own (or leaves);
//   2. each entity waiting since the step began gives up with the node's
//      abandonment probability, on its own: the number waiting is thinned
//      binomially;
//   3. the step's arrivals (from outside, and routed in) join the line, as
//      many as the node's capacity leaves room for; the rest are blocked;
//   4. every free server takes the next waiting entity and starts a
//      service, its length drawn from the node's durations.
// The stages run in that order over a small set of partial outcomes, which
// merges outcomes that meet, so the work of a row grows with its distinct
// outcomes rather than with the product of every draw.

// What the chain needs of one node for a period.
struct NodeSettings {
    Int servers = 0;
    // P(a) for a = arrivalsOffset, arrivalsOffset + 1, ... (external arrivals).
    Int arrivalsOffset = 0;
    HeapVector<Real> arrivals;
    // P(s) for s = durationsOffset, ...; every duration is at least 1.
    Int durationsOffset = 1;
    HeapVector<Real> durations;
    // The chance that each waiting entity gives up in a step, and the most
    // entities present (below 0: no limit).
    Real abandonment = 0.0;
    Int capacity = -1;

    Int longestDuration() const { return durationsOffset + static_cast<Int>(durations.size()) - 1; }
    bool operator==(const NodeSettings&) const = default;
};

struct ChainSettings {
    HeapVector<NodeSettings> nodes;
    // nodes x nodes, row by row: P(an entity that ends service at the row's
    // node goes next to the column's node).
    HeapVector<Real> routing;

    int nodeCount() const { return static_cast<int>(nodes.size()); }
    Real route(int source, int destination) const {
        return routing[static_cast<std::size_t>(source) * nodes.size() +
                       static_cast<std::size_t>(destination)];
    }
    bool operator==(const ChainSettings&) const = default;
};

// What a state's step leaves per node in expectation besides its outcomes:
// the services that end, the entities that give up and the arrivals
// blocked, at `flow * nodes + node` of the step's flows.
enum Flow : int { endsFlow, abandonedFlow, blockedFlow, flowKinds };

// Where each node's digits lie in a state's key: the number waiting at
// `first[n]`, then the busy servers with remaining time 1 .. width[n].
struct ChainLayout {
    HeapVector<int> first;
    HeapVector<int> width;
    int stride = 0;

    int nodeCount() const { return static_cast<int>(first.size()); }
    bool operator==(const ChainLayout&) const = default;
};

// A layout of the given widths, node by node.
ChainLayout layoutOfWidths(const HeapVector<int>& widths);

// log(n!) for any n, from a table that grows as larger n are asked for.
class LogFactorials {
public:
    Real operator()(long long n);

private:
    HeapVector<Real> table;
};

// C(n + k - 1, k - 1), the number of ways of putting n items in k places,
// or -1 when that passes `limit`.
long long countCompositions(long long n, int k, long long limit);

// Every way of putting `count` items in `k` places with probabilities
// `probabilities` (each positive), with its multinomial probability: the
// counts of each outcome, k digits, in `counts` and its probability in
// `weights`, appended. More than `limit` outcomes raise "Too many states".
void fillMultinomial(int count, const Real* probabilities, int k, long long limit,
                     LogFactorials& logFactorial, HeapVector<Digit>& counts,
                     HeapVector<Real>& weights);

// Partial outcomes of one row: distinct keys with their probabilities, at
// most `limit` of them ("Too many states" beyond).
class Outcomes {
public:
    void clear(int width, long long _limit) {
        table.clear(width);
        weights.clear();
        limit = _limit;
    }
    void add(const Digit* key, Real weight) {
        const KeyTable::Found found = table.insert(key);
        if (!found.inserted) {
            weights[found.index] += weight;
            return;
        }
        if (table.size() > limit) navro::abort(messages::tooManyStates);
        weights.push_back(weight);
    }
    std::uint32_t size() const { return table.size(); }
    const Digit* key(std::uint32_t i) const { return table.key(i); }
    Real weight(std::uint32_t i) const { return weights[i]; }

private:
    KeyTable table;
    HeapVector<Real> weights;
    long long limit = 0;
};

// The transitions of the chain's states under one period's settings, in
// parts: the step up to the count of new services, then the draw of their
// durations, node by node. Between the parts the outcomes of many states
// meet, so the chain stores far fewer transitions than the step has
// outcomes. Tables of the multinomial draws are built as rows first need
// them and kept for every later row.
class TransitionGenerator : public OnHeap {
public:
    // `largestRow` bounds every table and every row: a draw with more
    // outcomes than the chain may hold states is refused with "Too many
    // states", before it allocates.
    TransitionGenerator(const ChainSettings& settings, const ChainLayout& layout,
                        long long largestRow);

    // Keys of the partial outcomes between the step's parts: a state's
    // digits, then per node the entities routed in or arriving (zero between
    // parts), then per node the new services whose durations are still to be
    // drawn.
    int outcomeWidth() const { return keyWidth; }
    int pendingDigit(int node) const { return layout.stride + layout.nodeCount() + node; }

    // The step from `state` up to the new services' durations: the
    // outcomes, distinct, valid until the next call, with each node's new
    // services counted in its pending digit; per node the expected flows
    // of the step (Flow) go to `flows`, flowKinds * nodes of them. Raises
    // "Too many states" where a count would not fit a digit.
    const Outcomes& beginStep(const Digit* state, Real* flows);
    // The rest of the step at `node` from an outcome of beginStep (or of
    // the draws at the nodes before it): its new services' durations.
    const Outcomes& drawDurations(int node, const Digit* outcome);

    // The number of services under way at `node` in `state`.
    long long busyAt(const Digit* state, int node) const;

private:
    // One multinomial draw: `count` items over `categories` places, each
    // outcome as `categories` counts followed by its probability in `weights`.
    struct Draws {
        int categories = 0;
        HeapVector<Digit> counts;
        HeapVector<Real> weights;
        bool built = false;
        std::size_t size() const { return weights.size(); }
    };
    const Draws& durationDraws(int node, int count);
    const Draws& routingDraws(int source, int count);
    void fillDraws(Draws& draws, int count, const HeapVector<Real>& probabilities);

    void reconcile(int node);
    void route(int source);
    void shift();
    Real abandon(int node);
    void arrive(int node);
    Real admit(int node);
    void start(const Digit* key);
    // The stages pass the outcomes from `from` to `to` and swap them.
    void begin() { to->clear(keyWidth, largestRow); }
    void end() { std::swap(from, to); }

    const ChainSettings& settings;
    const ChainLayout& layout;
    long long largestRow;
    int keyWidth;
    LogFactorials logFactorial;
    // Per node: the durations' values of positive probability, and their
    // probabilities; per count of new services, its draw.
    HeapVector<HeapVector<Int>> durationValues;
    HeapVector<HeapVector<Real>> durationProbabilities;
    HeapVector<HeapVector<Draws>> durationTables;
    // Per source: the destinations of positive probability, their
    // probabilities and the exit's (the last place, when positive); per
    // count of ends, its draw.
    HeapVector<HeapVector<int>> destinations;
    HeapVector<HeapVector<Real>> routeProbabilities;
    HeapVector<bool> exitPossible;
    HeapVector<HeapVector<Draws>> routingTables;
    Outcomes first, second;
    Outcomes* from = &first;
    Outcomes* to = &second;
    HeapVector<Digit> scratch;
};
