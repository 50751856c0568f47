#pragma once

#include <cstdint>

#include "pmf/pmf.hpp"
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
inline Int nextClock(Int time) { return static_cast<Int>(static_cast<std::uint32_t>(time) + 1u); }
