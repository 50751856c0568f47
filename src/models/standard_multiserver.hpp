#pragma once

#include <type_traits>

#include "models/model_object.hpp"
#include "pmf/pmf.hpp"
#include "runtime/memory.hpp"

struct StepWorkspace;

// The configuration and state of one station. The state is a joint
// distribution of (z, ell): the number present and, given it, the remaining
// service time of an entity in service (1: it ends in the coming step).
struct _StandardMultiserver_fields {
    Pmf* _numberOfArrivalsPmf;
    Pmf* _serviceDurationPmf;
    Int _numberOfServers;
    Pmf* _internalState;
    Int _time;
    // Each waiting entity gives up in a step with this chance; 0: none does.
    Real _abandonmentProbability;
    // The most entities present, or noCapacity.
    Int _capacity;
};

template <typename Visit, typename... Records>
    requires(std::is_same_v<std::remove_const_t<Records>, _StandardMultiserver_fields> && ...)
void forEachField(Visit&& visit, Records&... records) {
    visit(FieldInfo<Pmf*>{"number_of_arrivals_pmf", confirmSimplePmf},
          records._numberOfArrivalsPmf...);
    // The setter takes durations of 0; the step and the reset refuse them.
    visit(FieldInfo<Pmf*>{"service_duration_pmf", confirmSimplePmf},
          records._serviceDurationPmf...);
    visit(FieldInfo<Int>{"number_of_servers"}, records._numberOfServers...);
    visit(FieldInfo<Pmf*>{"internal_state", confirmStatePmf}, records._internalState...);
    visit(FieldInfo<Int>{"time"}, records._time...);
    visit(FieldInfo<Real>{"abandonment_probability", confirmAbandonmentProbability},
          records._abandonmentProbability...);
    visit(FieldInfo<Capacity>{"capacity", confirmCapacity}, records._capacity...);
}

// One station with identical servers: the live fields and their snapshot.
struct _StandardMultiserver_object : ModelObject<_StandardMultiserver_fields> {
    // Scratch storage of the step, on the process heap: not part of the
    // model, so neither the snapshot nor the collector sees it.
    StepWorkspace* workspace;
};

void _StandardMultiserver_setDefaults(_StandardMultiserver_object* self);
void _StandardMultiserver_init(_StandardMultiserver_object* self);
void _StandardMultiserver_memRelease(_StandardMultiserver_object* self);
// Frees the step's scratch storage; the object's destructor calls it.
void _StandardMultiserver_releaseWorkspace(_StandardMultiserver_object* self);

// Operations behind the Python methods.
void _StandardMultiserver_step(_StandardMultiserver_object* self);
void _StandardMultiserver_applyObservationRange(_StandardMultiserver_object* self,
                                                Int _startOfRange, Int _endOfRange);
void _StandardMultiserver_applyObservationValue(_StandardMultiserver_object* self,
                                                Int _observedNumberOfEntitiesInSystem);
void _StandardMultiserver_mark(_StandardMultiserver_object* self);
void _StandardMultiserver_restore(_StandardMultiserver_object* self);
Pmf* _StandardMultiserver_getNumberOfEntitiesInSystemPmf(_StandardMultiserver_object* self);
void _StandardMultiserver_resetWithNumberOfEntitiesInSystem(_StandardMultiserver_object* self,
                                                            Int _numberOfEntitiesInSystem);

// E[entities blocked] in the last step; 0 before any.
Real _StandardMultiserver_lastBlocked(_StandardMultiserver_object* self);

// The maps: they only read the object and return a new Pmf.
Pmf* _StandardMultiserver_relabel(_StandardMultiserver_object* self, Int _z);
Pmf* _StandardMultiserver_partialNavroMap(_StandardMultiserver_object* self);
Pmf* _StandardMultiserver_navroMap(_StandardMultiserver_object* self, Int _leftTail,
                                   Int _rightTail);
Pmf* _StandardMultiserver_observationMapRange(_StandardMultiserver_object* self, Int _z0, Int _z1);
Pmf* _StandardMultiserver_resetMap(_StandardMultiserver_object* self, Int _z0);
