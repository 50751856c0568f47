#pragma once

#include <cstdint>

#include "pmf/pmf.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"

// Pieces that the maps of both models share. Their order of visiting and of
// multiplying fixes the rounding, so the single station and a one-node
// network give the same numbers from the same inputs.

// Calls `visit(value, probability)` for every value of a SIMPLE Pmf whose
// probability is greater than 0, in increasing order.
template <typename Visit>
inline void forEachInSupport(const Pmf* pmf, Visit&& visit) {
    const int offset = pmf->simple.offset;
    const int length = pmf->simple.length;
    const Real* elements = pmf->simple.elements;
    for (int k = 0; k < length; ++k) {
        const Real probability = elements[k];
        if (!(probability > 0)) continue;
        visit(static_cast<Int>(offset + k), probability);
    }
}

// A count formed as a sum (a count plus arrivals, or two arrival counts). A
// caller-written state may hold counts near the top of the Int range, so the
// sum is formed in 64 bits; a count that no longer fits an Int cannot be
// stored in a state and is refused as an invalid value rather than wrapped.
// As with a negative value in an accumulator, only an outcome of positive
// weight is examined.
inline Int countOf(Real weight, long long count) {
    if (count > INT32_MAX) {
        if (weight <= 0) return 0;  // the accumulator drops it unexamined
        abort(messages::invalidValue);
    }
    return static_cast<Int>(count);
}

// The two branches of bernoulli(r), with the same rules (r <= 0: all mass at
// 0, r >= 1: all mass at 1, else 1 - r and r), computed in place: the full
// maps need one per innermost outcome, and building a Pmf for each would fill
// the memory context in the innermost loop for nothing.
struct BernoulliBranches {
    Real probability[2];
    explicit BernoulliBranches(Real r) {
        if (r <= 0) {
            probability[0] = 1.0;
            probability[1] = 0.0;
        } else if (r >= 1) {
            probability[0] = 0.0;
            probability[1] = 1.0;
        } else {
            probability[0] = 1 - r;
            probability[1] = r;
        }
    }
};

// The last levels of a full map: given that the outcome so far (its weight at
// stack level `level` - 1) leaves `zprime` present with `continuing` services
// going on, pours every (zprime, ell') of the new state. With nobody in
// service (zprime 0, or no servers) ell' is a service about to start;
// otherwise the described service is an old one with the share of continuing
// services among the busy servers, and its remaining time is `relabelled()`.
template <typename StateAccumulator, typename Stack, typename Relabelled>
inline void putRemainingTimes(StateAccumulator& accumulator, Stack& stack, int level, Int zprime,
                              Int servers, Int continuing, Pmf* durations,
                              Relabelled&& relabelled) {
    if (zprime == 0 || servers == 0) {
        forEachInSupport(durations, [&](Int ellprime, Real probEll) {
            stack.branch(level, probEll);
            accumulator.putDouble(stack.branchProbability(level), zprime, ellprime);
        });
        return;
    }
    const Real busyAfter = static_cast<Real>(zprime < servers ? zprime : servers);
    const BernoulliBranches entityIsOld(static_cast<Real>(continuing) /
                                        checkDenominator(busyAfter));
    for (int e = 0; e < 2; ++e) {
        const Real probE = entityIsOld.probability[e];
        if (!(probE > 0)) continue;
        stack.branch(level, probE);
        Pmf* ellDistribution = e == 1 ? relabelled() : durations;
        forEachInSupport(ellDistribution, [&](Int ellprime, Real probEll) {
            stack.branch(level + 1, probEll);
            accumulator.putDouble(stack.branchProbability(level + 1), zprime, ellprime);
        });
    }
}

// Maps of one station's (z, ell) state that both models apply in the same
// way, to the single station's state or to one node's.

// Remaining service time after the step of a service that goes on, given z:
// ell - 1 over the values ell != 1 of the conditional, renormalised.
Pmf* relabelRemainingTime(NObject* obj, Pmf* state, Int z);

// The state conditioned on lower <= z < upper. The bounds are 64-bit so that
// the observation of one value v can pass v + 1 even for the largest Int.
Pmf* conditionOnCountRange(NObject* obj, Pmf* state, long long lower, long long upper);

// Exactly z0 present, ell distributed as one service duration.
Pmf* stateWithCount(NObject* obj, Pmf* durations, Int z0);

// The point mass at 1 that both models start their service durations with,
// built by an accumulator as every other Pmf of the models is.
Pmf* oneStepServiceDuration(NObject* obj);

// The clock after a step. "time" is a 32-bit label the caller may set to
// anything; past the largest Int it wraps to the smallest, as a 32-bit
// counter does, rather than stopping the model.
inline Int nextClock(Int time) {
    return static_cast<Int>(static_cast<std::uint32_t>(time) + 1u);
}
