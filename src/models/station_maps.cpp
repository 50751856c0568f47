#include "models/station_maps.hpp"

#include <memory>

#include "distributions/distributions.hpp"
#include "models/station_step.hpp"
#include "pmf/accumulator.hpp"

Pmf* relabelRemainingTime(NObject* obj, Pmf* state, Int z) {
    const Window weights = continuingTimes(lookupConditionalPmf1(state, z)).weights;
    Real total = 0.0;
    return normalisedSimplePmf(obj, weights.offset, weights.elements, weights.length, total);
}

Pmf* conditionOnCountRange(NObject* obj, Pmf* state, long long lower, long long upper) {
    JointAccumulator accumulator(obj, 2);
    SamplingStack stack(2);
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        if (z < lower || z >= upper) return;
        stack.set(0, probZ);
        forEachInSupport(lookupConditionalPmf1(state, z), [&](Int ell, Real probEll) {
            stack.branch(1, probEll);
            accumulator.putDouble(stack.branchProbability(1), z, ell);
        });
    });
    return accumulator.toPmf();
}

Pmf* stateWithCount(NObject* obj, Pmf* durations, Int z0) {
    JointAccumulator accumulator(obj, 2);
    SamplingStack stack(1);
    forEachInSupport(durations, [&](Int ell, Real probEll) {
        stack.set(0, probEll);
        accumulator.putDouble(stack.branchProbability(0), z0, ell);
    });
    return accumulator.toPmf();
}

Pmf* oneStepServiceDuration(NObject* obj) {
    std::unique_ptr<Accumulator> accumulator(new SimpleAccumulator(obj));
    accumulator->putSingle(1.0, 1);
    return accumulator.release()->toPmfAndDelete();
}
