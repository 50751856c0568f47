// The single station: defaults, snapshot, collector hook, and the maps that
// move its (z, ell) distribution forward, condition it and reset it.
//
// Every map walks the supports in increasing value order and carries the
// weight of an outcome as a product taken from the outside in, one
// SamplingStack level per loop depth; both orders fix the rounding, so equal
// inputs give bit-equal states. Probabilities are compared with 0 exactly.
#include "models/standard_multiserver.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "distributions/distributions.hpp"
#include "models/station_maps.hpp"
#include "pmf/accumulator.hpp"
#include "runtime/errors.hpp"

namespace {

using Object = _StandardMultiserver_object;

constexpr long long intMax = std::numeric_limits<Int>::max();

// True when the smallest value of positive probability is 0: a service of
// no duration, which the step and the reset refuse.
bool hasMassAtZero(const Pmf* pmf) {
    return pmf->simple.offset == 0 && pmf->simple.length > 0 && pmf->simple.elements[0] > 0;
}

void confirmServiceDurations(const Object* self) {
    if (hasMassAtZero(self->_serviceDurationPmf)) abort(messages::invalidServiceDuration);
}

// The count after a step, z - d + a. A state set by the caller may hold
// counts near the top of the Int range, so the sum is formed in 64 bits; a
// count that no longer fits an Int cannot be stored in a state and is
// refused as an invalid value rather than wrapped. As with a negative value
// in an accumulator, only an outcome of positive weight is examined.
inline Int nextCount(Real weight, Int z, Int d, Int a) {
    const long long zprime = static_cast<long long>(z) - d + a;
    if (zprime > intMax) {
        if (weight <= 0) return 0;  // the accumulator drops it unexamined
        abort(messages::invalidValue);
    }
    return static_cast<Int>(zprime);
}

}  // namespace

void _StandardMultiserver_setDefaults(Object* self) {
    NObject* obj = &self->header;
    self->_numberOfArrivalsPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_serviceDurationPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_numberOfServers = 0;
    self->_internalState = defaultPmf(obj, createJointPmfConfig(obj, 2));
    self->_time = 0;
    self->_markNumberOfArrivalsPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_markServiceDurationPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_markNumberOfServers = 0;
    self->_markInternalState = defaultPmf(obj, createJointPmfConfig(obj, 2));
    self->_markTime = 0;
}

void _StandardMultiserver_init(Object* self) {
    self->_serviceDurationPmf = oneStepServiceDuration(&self->header);
}

void _StandardMultiserver_memRelease(Object* self) {
    flag(self->_numberOfArrivalsPmf);
    flag(self->_serviceDurationPmf);
    flag(self->_internalState);
    flag(self->_markNumberOfArrivalsPmf);
    flag(self->_markServiceDurationPmf);
    flag(self->_markInternalState);
    release(&self->header);
}

void _StandardMultiserver_mark(Object* self) {
    self->_markNumberOfArrivalsPmf = self->_numberOfArrivalsPmf;
    self->_markServiceDurationPmf = self->_serviceDurationPmf;
    self->_markNumberOfServers = self->_numberOfServers;
    self->_markInternalState = self->_internalState;
    self->_markTime = self->_time;
}

void _StandardMultiserver_restore(Object* self) {
    self->_numberOfArrivalsPmf = self->_markNumberOfArrivalsPmf;
    self->_serviceDurationPmf = self->_markServiceDurationPmf;
    self->_numberOfServers = self->_markNumberOfServers;
    self->_internalState = self->_markInternalState;
    self->_time = self->_markTime;
}

Pmf* _StandardMultiserver_getNumberOfEntitiesInSystemPmf(Object* self) {
    return lookupMarginalPmf(self->_internalState);
}

Pmf* _StandardMultiserver_relabel(Object* self, Int _z) {
    return relabelRemainingTime(&self->header, self->_internalState, _z);
}

Pmf* _StandardMultiserver_partialNavroMap(Object* self) {
    NObject* obj = &self->header;
    SimpleAccumulator accumulator(obj);
    SamplingStack stack(3);
    Pmf* state = self->_internalState;
    Pmf* arrivals = self->_numberOfArrivalsPmf;
    const Int c = self->_numberOfServers;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        stack.set(0, probZ);
        const Real q = lookupProbability(lookupConditionalPmf1(state, z), 1);
        forEachInSupport(binomial(obj, std::min(z, c), q), [&](Int d, Real probD) {
            stack.branch(1, probD);
            forEachInSupport(arrivals, [&](Int a, Real probA) {
                stack.branch(2, probA);
                const Real weight = stack.branchProbability(2);
                accumulator.putSingle(weight, nextCount(weight, z, d, a));
            });
        });
    });
    return accumulator.toPmf();
}

Pmf* _StandardMultiserver_navroMap(Object* self, Int _leftTail, Int _rightTail) {
    NObject* obj = &self->header;
    JointAccumulator accumulator(obj, 2);
    SamplingStack stack(5);
    Pmf* state = self->_internalState;
    Pmf* arrivals = self->_numberOfArrivalsPmf;
    Pmf* durations = self->_serviceDurationPmf;
    const Int c = self->_numberOfServers;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        stack.set(0, probZ);
        const Real q = lookupProbability(lookupConditionalPmf1(state, z), 1);
        const Int busy = std::min(z, c);
        // The relabelled conditional depends on z alone: built at its first
        // use for this z and shared by every (d, a) after it. Built lazily so
        // that a z whose continuing services are never drawn cannot fail on it.
        Pmf* relabelled = nullptr;
        forEachInSupport(binomial(obj, busy, q), [&](Int d, Real probD) {
            stack.branch(1, probD);
            forEachInSupport(arrivals, [&](Int a, Real probA) {
                stack.branch(2, probA);
                const long long zprime64 = static_cast<long long>(z) - d + a;
                if (zprime64 < _leftTail || zprime64 > _rightTail) return;
                putRemainingTimes(accumulator, stack, 3, static_cast<Int>(zprime64), c, busy - d,
                                  durations, [&] {
                                      if (relabelled == nullptr)
                                          relabelled = _StandardMultiserver_relabel(self, z);
                                      return relabelled;
                                  });
            });
        });
    });
    return accumulator.toPmf();
}

void _StandardMultiserver_step(Object* self) {
    if (self->_numberOfServers < 0) abort(messages::invalidNumberOfServers);
    confirmServiceDurations(self);
    Pmf* p = _StandardMultiserver_partialNavroMap(self);
    const Real tolerance = 1e-8;
    const Int leftTail = computeLeftTail(p, tolerance / checkDenominator(2));
    const Int rightTail = computeRightTail(p, tolerance / checkDenominator(2));
    Pmf* next = _StandardMultiserver_navroMap(self, leftTail, rightTail);
    self->_time = nextClock(self->_time);
    self->_internalState = next;
}

Pmf* _StandardMultiserver_observationMapRange(Object* self, Int _z0, Int _z1) {
    return conditionOnCountRange(&self->header, self->_internalState, _z0, _z1);
}

Pmf* _StandardMultiserver_resetMap(Object* self, Int _z0) {
    return stateWithCount(&self->header, self->_serviceDurationPmf, _z0);
}

void _StandardMultiserver_applyObservationRange(Object* self, Int _startOfRange, Int _endOfRange) {
    self->_internalState = _StandardMultiserver_observationMapRange(self, _startOfRange, _endOfRange);
}

void _StandardMultiserver_applyObservationValue(Object* self, Int _observedNumberOfEntitiesInSystem) {
    // v + 1 in 64 bits: observing the largest Int is a range like any other.
    const long long v = _observedNumberOfEntitiesInSystem;
    self->_internalState = conditionOnCountRange(&self->header, self->_internalState, v, v + 1);
}

void _StandardMultiserver_resetWithNumberOfEntitiesInSystem(Object* self,
                                                            Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) abort(messages::invalidNumberOfEntities);
    confirmServiceDurations(self);
    self->_internalState = _StandardMultiserver_resetMap(self, _numberOfEntitiesInSystem);
}
