#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/heap.hpp"
#include "runtime/types.hpp"
#include "simulation/sampler.hpp"

// What a simulation is asked to do, as plain values: the settings of every
// period of the schedule, the distribution of the state it starts from, and
// how many runs to make and record.

namespace simulation {

// A node's capacity where the number present has no limit.
inline constexpr long long noCapacity = -1;

// One node's settings in one period.
struct NodeSettings {
    Int servers = 0;
    Sampler arrivals;   // from outside the network, per step
    Sampler durations;  // steps one service takes, each at least 1
    // The next node of an entity whose service here ends: a node's index, or
    // the number of nodes for leaving the network. Absent (`routes` false)
    // where every entity leaves, a single station's case.
    Sampler routing;
    bool routes = false;
    // The chance that each entity waiting at the start of a step gives up
    // in it, and the most entities present (below 0: no limit).
    Real abandonment = 0.0;
    long long capacity = noCapacity;
};

struct PeriodSettings {
    Int steps = 0;
    HeapVector<NodeSettings> nodes;
};

// A node's start: the distribution of the number present and, given it, of
// the remaining time of every busy server, each drawn on its own.
struct StartNode {
    // The servers that take up the start: those of the first step, so that
    // the state is read as the maps read it in their first step.
    Int servers = 0;
    Sampler which;                  // an index into `counts`
    HeapVector<Int> counts;         // numbers present
    HeapVector<Sampler> remaining;  // per entry of `counts`
};

struct Plan {
    HeapVector<StartNode> start;  // one per node
    HeapVector<PeriodSettings> periods;
    Int every = 1;        // record the steps that are multiples of this
    Int waitHorizon = 0;  // the longest wait counted step by step
    long long runs = 0;
    std::uint64_t key = 0;  // the seed, already reduced to 64 bits
    int threads = 1;

    Int nodes() const { return static_cast<Int>(start.size()); }
    long long totalSteps() const;
};

// The settings of one node in one period from plain lists, checked as the
// models' setters and steps check them: servers at least 0 ("Invalid number
// of servers..."), arrivals at least 0 ("Negative integer in pmf support"),
// durations at least 1 ("Invalid service duration pmf..."), and routing
// probabilities in [0, 1] ("Invalid probability...") whose row, added in
// column order, is at most 1 ("Invalid routing probabilities..."). The
// routing row may be empty: every entity leaves.
NodeSettings makeNodeSettings(Int servers, const Int* arrivalValues, const Real* arrivalWeights,
                              std::size_t arrivalCount, const Int* durationValues,
                              const Real* durationWeights, std::size_t durationCount,
                              const Real* routingRow, std::size_t nodes);

// Adds patience and a capacity to a node's settings, checked as the
// models' setters check them: a probability in [0, 1] and a capacity of at
// least 0 or `noCapacity`, "Invalid value" otherwise.
void limitNode(NodeSettings& settings, Real abandonment, long long capacity);

// A start at exactly `present`, whose busy servers' remaining times follow
// `remaining` (values at least 1): what a reset describes, and the unit
// tests' usual start.
StartNode startWith(Int servers, Int present, const Int* remainingValues,
                    const Real* remainingWeights, std::size_t remainingCount);

// Refuses a plan that cannot run: "Invalid value" for a count, a stride, a
// horizon or a number of threads out of range, or a period without nodes.
void checkPlan(const Plan& plan);

}  // namespace simulation
