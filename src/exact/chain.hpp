#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "exact/key_table.hpp"
#include "exact/transitions.hpp"
#include "runtime/heap.hpp"
#include "runtime/types.hpp"

// The joint distribution of a station or network over the states of the
// real system (see transitions.hpp), moved one step at a time.
//
// States are numbered as they are first reached, through a hash map from
// state to number. A step runs in parts (transitions.hpp): the states go to
// the outcomes before the services' durations are drawn, and those, node
// by node, back to states. The outcomes between the parts are numbered in
// the same way, in spaces of their own. The transitions of an entry of a
// space under the period's settings are generated once, when the entry
// first has probability, and kept in compressed sparse rows, so that a step
// is one sparse product per part. A new period whose settings differ drops
// the rows, which the entries of positive probability then rebuild; the
// states stay.
//
// After every step the states whose probability is below `dropBelow` are
// dropped, and their mass is added to `dropped()`: every probability the
// chain gives is then at most that much below the exact one, and the
// probabilities of a step sum to 1 - dropped() (up to rounding). No space
// holds more than `maxStates` entries: the step that would need more raises
// "Too many states" and leaves the distribution as it was.
class ExactChain : public OnHeap {
public:
    ExactChain(long long maxStates, Real dropBelow);

    // The start: the layout (per node, the longest remaining time a state
    // may hold), then every start state with its probability, then
    // finishStart, which drops what is below the threshold.
    void beginStart(const HeapVector<int>& widths);
    void addStart(const Digit* key, Real probability);
    void finishStart();
    bool started() const { return isStarted; }

    // The settings of the steps to come. Durations longer than the layout
    // holds widen it first.
    void useSettings(const ChainSettings& settings);

    // Builds the rows of every state of positive probability; a step calls
    // it too. Needed before expectedEnds and expectedFlow.
    void prepare();
    void step();

    const ChainLayout& layout() const { return shape; }
    Real dropped() const { return droppedMass; }
    // E[services that end at `node` in the coming step].
    Real expectedEnds(int node) const { return expectedFlow(endsFlow, node); }
    // E[the flow's entities at `node` in the coming step]: ends,
    // abandonments or arrivals blocked.
    Real expectedFlow(Flow flow, int node) const;
    // P(number present at `node` = k) for k = 0 .. size - 1 into `out`.
    void presentDistribution(int node, HeapVector<Real>& out) const;
    // visit(key, probability) for every state of positive probability, in
    // the order of their numbers.
    template <typename Visit>
    void forEachState(Visit&& visit) const {
        const Space& states = spaces[0];
        for (std::uint32_t i : states.active) visit(states.keys.key(i), states.probability[i]);
    }

    // One snapshot of the distribution (not of the settings or rows).
    void mark();
    void restore();

    long long stateLimit() const { return maxStates; }
    std::size_t stateCount() const { return spaces.empty() ? 0 : spaces[0].keys.size(); }
    std::size_t activeCount() const { return spaces.empty() ? 0 : spaces[0].active.size(); }
    // Transitions stored, over every part of the step.
    std::size_t transitionCount() const;

private:
    static constexpr std::uint32_t notBuilt = 0xFFFFFFFFu;

    // The states (space 0), or the outcomes after part k of the step (space
    // k), each entry with its probability and its row into the next space.
    struct Space {
        KeyTable keys;
        std::size_t synced = 0;  // entries that the arrays below cover
        HeapVector<Real> probability;
        HeapVector<std::uint32_t> active;  // entries of positive probability, increasing
        HeapVector<std::uint64_t> rowStart;
        HeapVector<std::uint32_t> rowLength;
        HeapVector<std::uint32_t> columns;
        HeapVector<Real> weights;
        // Set while a product pours into the probabilities: a product that
        // stopped half way leaves entries that `active` does not list.
        bool pouring = false;

        void clearRows();
        void clear(int width);
    };

    std::uint32_t numberOf(Space& space, const Digit* key);
    void syncSpace(std::size_t index);
    void buildRow(std::size_t index, std::uint32_t entry, HeapVector<Real>& endsOfRow);
    void buildRows(std::size_t index);
    void pour(std::size_t from, HeapVector<Real>& into);
    void clearPartsAndRows();
    void widenTo(const HeapVector<int>& widths);
    std::size_t statesInReach() const;
    void compact();

    long long maxStates;
    Real dropBelow;
    bool isStarted = false;
    ChainLayout shape;
    int nodes = 0;
    // Space 0 and one space per node (the outcomes before its draws).
    HeapVector<Space> spaces;
    // Per state: the number present at each node, and the flows of the
    // coming step under the current settings (Flow, flowKinds per node).
    HeapVector<std::uint32_t> present;
    HeapVector<Real> ends;
    Real droppedMass = 0.0;
    // The step's new distribution before it replaces the old one.
    HeapVector<Real> nextProbability;
    HeapVector<std::uint32_t> nextActive;

    bool haveSettings = false;
    ChainSettings settings;
    std::unique_ptr<TransitionGenerator> generator;

    // Compaction: once the states held reach `compactAt`, and most of them
    // are beyond a step's reach, those without probability go, and with
    // them every row.
    std::size_t compactAt = 0;
    bool measureAfterCompaction = false;

    // The snapshot.
    bool markStarted = false;
    ChainLayout markShape;
    HeapVector<Digit> markKeys;
    HeapVector<Real> markProbability;
    Real markDropped = 0.0;
};

// The key of a state of layout `from` in the wider layout `to`.
void widenKey(const ChainLayout& from, const Digit* key, const ChainLayout& to, Digit* out);
