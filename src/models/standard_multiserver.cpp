// The single station: defaults, snapshot, collector hook, and the maps that
// move its (z, ell) distribution forward (the step that every network node
// shares), condition it and reset it.
//
// Every map fixes the order in which it visits outcomes and multiplies and
// adds their probabilities, so equal inputs give bit-equal states.
// Probabilities are compared with 0 exactly.
#include "models/standard_multiserver.hpp"

#include "models/station_maps.hpp"
#include "models/station_step.hpp"
#include "runtime/errors.hpp"
#include "runtime/forks.hpp"

namespace {

using Object = _StandardMultiserver_object;

// True when the smallest value of positive probability is 0: a service of
// no duration, which the step and the reset refuse.
bool hasMassAtZero(const Pmf* pmf) {
    return pmf->simple.offset == 0 && pmf->simple.length > 0 && pmf->simple.elements[0] > 0;
}

void confirmServiceDurations(const Object* self) {
    if (hasMassAtZero(self->_serviceDurationPmf)) navro::abort(messages::invalidServiceDuration);
}

// The fields of a new station, for the live model and again for its snapshot.
_StandardMultiserver_fields defaultFields(NObject* obj) {
    return {
        ._numberOfArrivalsPmf = defaultPmf(obj, createSimplePmfConfig(obj)),
        ._serviceDurationPmf = defaultPmf(obj, createSimplePmfConfig(obj)),
        ._numberOfServers = 0,
        ._internalState = defaultPmf(obj, createJointPmfConfig(obj, 2)),
        ._time = 0,
        ._abandonmentProbability = 0.0,
        ._capacity = noCapacity,
    };
}
}  // namespace

void _StandardMultiserver_setDefaults(Object* self) {
    self->live() = defaultFields(&self->header);
    self->_mark = defaultFields(&self->header);
}

// Only the live service durations change: a restore before any mark brings
// back the creation defaults, durations of 0 included.
void _StandardMultiserver_init(Object* self) {
    self->_serviceDurationPmf = oneStepServiceDuration(&self->header);
}

void _StandardMultiserver_releaseWorkspace(Object* self) { releaseOwned(self->workspace); }

void _StandardMultiserver_memRelease(Object* self) { collectModel(self); }

// The snapshot shares its Pmfs with the live fields: a Pmf never changes.
void _StandardMultiserver_mark(Object* self) { self->_mark = self->live(); }

void _StandardMultiserver_restore(Object* self) { self->live() = self->_mark; }

Pmf* _StandardMultiserver_getNumberOfEntitiesInSystemPmf(Object* self) {
    return lookupMarginalPmf(self->_internalState);
}

Pmf* _StandardMultiserver_relabel(Object* self, Int _z) {
    return relabelRemainingTime(&self->header, self->_internalState, _z);
}

namespace {
// The terms of the state before the step, in the object's workspace.
StationTerms stateTerms(Object* self, StepWorkspace& ws) {
    ws.clearTerms();
    return buildTerms(ws, self->_internalState, self->_numberOfServers,
                      self->_abandonmentProbability, self->_capacity);
}
}  // namespace

// A single station is a node that routes nothing back to itself: its maps
// walk the shared nest with no returning completions.

Pmf* _StandardMultiserver_partialNavroMap(Object* self) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    return partialMap(&self->header, ws, stateTerms(self, ws),
                      probabilitiesOf(self->_numberOfArrivalsPmf), RoutedCounts());
}

Pmf* _StandardMultiserver_navroMap(Object* self, Int _leftTail, Int _rightTail) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    return fullMap(&self->header, ws, stateTerms(self, ws),
                   probabilitiesOf(self->_numberOfArrivalsPmf), self->_serviceDurationPmf,
                   RoutedCounts(), _leftTail, _rightTail);
}

void _StandardMultiserver_step(Object* self) {
    if (self->_numberOfServers < 0) navro::abort(messages::invalidNumberOfServers);
    confirmServiceDurations(self);
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    Pmf* next = stepState(&self->header, ws, stateTerms(self, ws),
                          probabilitiesOf(self->_numberOfArrivalsPmf), self->_serviceDurationPmf,
                          RoutedCounts());
    updateFields([&] {
        self->_time = nextClock(self->_time);
        self->_internalState = next;
    });
}

Real _StandardMultiserver_lastBlocked(Object* self) {
    return self->workspace == nullptr ? 0.0 : self->workspace->blocked;
}

Pmf* _StandardMultiserver_observationMapRange(Object* self, Int _z0, Int _z1) {
    return conditionOnCountRange(&self->header, self->_internalState, _z0, _z1);
}

Pmf* _StandardMultiserver_resetMap(Object* self, Int _z0) {
    return stateWithCount(&self->header, self->_serviceDurationPmf, _z0);
}

void _StandardMultiserver_applyObservationRange(Object* self, Int _startOfRange, Int _endOfRange) {
    self->_internalState =
        _StandardMultiserver_observationMapRange(self, _startOfRange, _endOfRange);
}

void _StandardMultiserver_applyObservationValue(Object* self,
                                                Int _observedNumberOfEntitiesInSystem) {
    // v + 1 in 64 bits: observing the largest Int is a range like any other.
    const long long v = _observedNumberOfEntitiesInSystem;
    self->_internalState = conditionOnCountRange(&self->header, self->_internalState, v, v + 1);
}

void _StandardMultiserver_resetWithNumberOfEntitiesInSystem(Object* self,
                                                            Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) navro::abort(messages::invalidNumberOfEntities);
    confirmServiceDurations(self);
    self->_internalState = _StandardMultiserver_resetMap(self, _numberOfEntitiesInSystem);
}
