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

void _StandardMultiserver_releaseWorkspace(Object* self) { releaseOwned(self->workspace); }

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
// The terms of the state before the step, in the object's workspace.
StationTerms stateTerms(Object* self, StepWorkspace& ws) {
    ws.clearTerms();
    return buildTerms(ws, self->_internalState, self->_numberOfServers);
}
}  // namespace

// A single station is a node that routes nothing back to itself: its maps
// walk the shared nest with no returning completions.

Pmf* _StandardMultiserver_partialNavroMap(Object* self) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    return partialMap(&self->header, ws, stateTerms(self, ws), self->_numberOfArrivalsPmf,
                      RoutedCounts());
}

Pmf* _StandardMultiserver_navroMap(Object* self, Int _leftTail, Int _rightTail) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    return fullMap(&self->header, ws, stateTerms(self, ws), self->_numberOfArrivalsPmf,
                   self->_serviceDurationPmf, RoutedCounts(), _leftTail, _rightTail);
}

void _StandardMultiserver_step(Object* self) {
    if (self->_numberOfServers < 0) abort(messages::invalidNumberOfServers);
    confirmServiceDurations(self);
    StepWorkspace& ws = madeOnFirstUse(self->workspace);
    Pmf* next = stepState(&self->header, ws, stateTerms(self, ws), self->_numberOfArrivalsPmf,
                          self->_serviceDurationPmf, RoutedCounts());
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
