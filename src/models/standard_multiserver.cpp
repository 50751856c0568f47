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

#include "distributions/distributions.hpp"
#include "models/station_maps.hpp"
#include "pmf/accumulator.hpp"
#include "runtime/errors.hpp"

namespace {

using Object = _StandardMultiserver_object;

// True when the smallest value of positive probability is 0: a service of
// no duration, which the step and the reset refuse.
bool hasMassAtZero(const Pmf* pmf) {
    return pmf->simple.offset == 0 && pmf->simple.length > 0 && pmf->simple.elements[0] > 0;
}

void confirmServiceDurations(const Object* self) {
    if (hasMassAtZero(self->_serviceDurationPmf)) abort(messages::invalidServiceDuration);
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

namespace {
// Walks every outcome (z, d, a) of one step, in increasing order at every
// level, with its weight at stack level 2, and hands `visit(z, d, zprime)`
// each one: d of the min(z, c) busy servers end their service, a arrive, and
// zprime = z - d + a, formed in 64 bits. The binomial of d is built once per z.
template <typename Visit>
void forEachNextCount(Object* self, SamplingStack& stack, Visit&& visit) {
    NObject* obj = &self->header;
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
                visit(z, d, static_cast<long long>(z) - d + a);
            });
        });
    });
}
}  // namespace

Pmf* _StandardMultiserver_partialNavroMap(Object* self) {
    SimpleAccumulator accumulator(&self->header);
    SamplingStack stack(3);
    forEachNextCount(self, stack, [&](Int, Int, long long zprime) {
        const Real weight = stack.branchProbability(2);
        accumulator.putSingle(weight, countOf(weight, zprime));
    });
    return accumulator.toPmf();
}

Pmf* _StandardMultiserver_navroMap(Object* self, Int _leftTail, Int _rightTail) {
    JointAccumulator accumulator(&self->header, 2);
    SamplingStack stack(5);
    const Int c = self->_numberOfServers;
    // The relabelled conditional depends on z alone: built at its first use
    // for a z and shared by every (d, a) after it. Built lazily so that a z
    // whose continuing services are never drawn cannot fail on it.
    Int relabelledFor = -1;
    Pmf* relabelled = nullptr;
    forEachNextCount(self, stack, [&](Int z, Int d, long long zprime) {
        if (zprime < _leftTail || zprime > _rightTail) return;
        putRemainingTimes(accumulator, stack, 3, static_cast<Int>(zprime), c,
                          std::min(z, c) - d, self->_serviceDurationPmf, [&] {
                              if (relabelledFor != z) {
                                  relabelled = _StandardMultiserver_relabel(self, z);
                                  relabelledFor = z;
                              }
                              return relabelled;
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
