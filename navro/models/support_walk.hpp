#pragma once

#include "pmf/pmf.hpp"

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
