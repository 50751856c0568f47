#pragma once

#include <span>
#include <type_traits>

#include "models/model_object.hpp"
#include "models/routing.hpp"
#include "models/station_step.hpp"
#include "pmf/arrays.hpp"
#include "pmf/pmf.hpp"
#include "runtime/memory.hpp"

struct NetworkWorkspace;

// The configuration and state of a network of stations with probabilistic
// routing. Every per-node value is an entry of an array whose length, that of
// `_numberOfServers`, is the number of nodes.
struct _StandardNetworkMultiserver_fields {
    PmfArray* _internalState;
    Int _time;
    IntArray* _numberOfServers;
    PmfArray* _numberOfExternalArrivalsPmfs;
    PmfArray* _serviceDurationPmfs;
    RoutingTable* _routingProbabilities;
    // Per node: the chance that a waiting entity gives up in a step, and the
    // most entities present (noCapacity: no limit).
    RealArray* _abandonmentProbabilities;
    IntArray* _capacities;
};

// The rules of the setters, which every value that a pickle brings passes
// too. Each returns its argument or raises the setter's message.
Int confirmNumberOfServers(Int n);
Real confirmRoutingProbability(Real probability);
// A SIMPLE Pmf whose every value is at least 1.
Pmf* confirmServiceDurationPmf(Pmf* pmf);

// The rules of the arrays apply to each entry.
template <typename Visit, typename... Records>
    requires(std::is_same_v<std::remove_const_t<Records>, _StandardNetworkMultiserver_fields> &&
             ...)
void forEachField(Visit&& visit, Records&... records) {
    visit(FieldInfo<Pmf*>{.name = "internal_state", .rule = confirmStatePmf, .anyLength = true},
          records._internalState...);
    visit(FieldInfo<Int>{"time"}, records._time...);
    visit(FieldInfo<Int>{"number_of_servers", confirmNumberOfServers}, records._numberOfServers...);
    visit(FieldInfo<Pmf*>{"number_of_external_arrivals_pmfs", confirmSimplePmf},
          records._numberOfExternalArrivalsPmfs...);
    visit(FieldInfo<Pmf*>{"service_duration_pmfs", confirmServiceDurationPmf},
          records._serviceDurationPmfs...);
    visit(FieldInfo<Real>{"routing_probabilities", confirmRoutingProbability},
          records._routingProbabilities...);
    visit(FieldInfo<Real>{"abandonment_probabilities", confirmAbandonmentProbability},
          records._abandonmentProbabilities...);
    visit(FieldInfo<Capacity>{"capacities", confirmCapacity}, records._capacities...);
}

// A network: the live fields and their snapshot.
struct _StandardNetworkMultiserver_object : ModelObject<_StandardNetworkMultiserver_fields> {
    // Scratch storage of the step, on the process heap: not part of the
    // model, so neither the snapshot nor the collector sees it.
    NetworkWorkspace* workspace;
};

void _StandardNetworkMultiserver_setDefaults(_StandardNetworkMultiserver_object* self);
void _StandardNetworkMultiserver_init(_StandardNetworkMultiserver_object* self, Int _numberOfNodes);
void _StandardNetworkMultiserver_memRelease(_StandardNetworkMultiserver_object* self);
// Frees the step's scratch storage; the object's destructor calls it.
void _StandardNetworkMultiserver_releaseWorkspace(_StandardNetworkMultiserver_object* self);

// Operations behind the Python methods.
void _StandardNetworkMultiserver_step(_StandardNetworkMultiserver_object* self);
void _StandardNetworkMultiserver_applyObservationRangeAtNode(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex, Int _startOfRange, Int _endOfRange);
void _StandardNetworkMultiserver_applyObservationValueAtNode(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex,
    Int _observedNumberOfEntitiesInSystem);
void _StandardNetworkMultiserver_mark(_StandardNetworkMultiserver_object* self);
void _StandardNetworkMultiserver_restore(_StandardNetworkMultiserver_object* self);
Pmf* _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex);
Pmf* _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex);
Int _StandardNetworkMultiserver_getNumberOfNodes(_StandardNetworkMultiserver_object* self);
Int _StandardNetworkMultiserver_getNumberOfServersAtNode(_StandardNetworkMultiserver_object* self,
                                                         Int _nodeIndex);
Real _StandardNetworkMultiserver_getRoutingProbability(_StandardNetworkMultiserver_object* self,
                                                       Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex);
// Every route of positive probability, for the bulk getter.
RoutingTable* _StandardNetworkMultiserver_getRoutingProbabilities(
    _StandardNetworkMultiserver_object* self);
Pmf* _StandardNetworkMultiserver_getServiceDurationAtNodePmf(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex);
void _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex, Pmf* _numberOfExternalArrivalsPmf);
void _StandardNetworkMultiserver_setNumberOfServersAtNode(_StandardNetworkMultiserver_object* self,
                                                          Int _nodeIndex, Int _n);
void _StandardNetworkMultiserver_setRoutingProbability(_StandardNetworkMultiserver_object* self,
                                                       Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex,
                                                       Real _probability);
// Many entries of the routing table in one call, as set_routing_probability
// writes one: sources[k], destinations[k] and probabilities[k] name an entry
// each, a later one winning. Every probability is checked, then every index,
// before anything is stored; lists of different lengths are an invalid value.
void _StandardNetworkMultiserver_setRoutingProbabilities(_StandardNetworkMultiserver_object* self,
                                                         std::span<const Int> sources,
                                                         std::span<const Int> destinations,
                                                         std::span<const Real> probabilities);
Real _StandardNetworkMultiserver_getAbandonmentProbabilityAtNode(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex);
void _StandardNetworkMultiserver_setAbandonmentProbabilityAtNode(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex, Real _probability);
// noCapacity for a node without a limit.
Int _StandardNetworkMultiserver_getCapacityAtNode(_StandardNetworkMultiserver_object* self,
                                                  Int _nodeIndex);
void _StandardNetworkMultiserver_setCapacityAtNode(_StandardNetworkMultiserver_object* self,
                                                   Int _nodeIndex, Int _capacity);
void _StandardNetworkMultiserver_setServiceDurationAtNodePmf(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex, Pmf* _serviceDurationPmf);
void _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(
    _StandardNetworkMultiserver_object* self, Int _nodeIndex, Int _numberOfEntitiesAtNode);

// The maps: they only read the object and return a new Pmf.
Pmf* _StandardNetworkMultiserver_convolution(_StandardNetworkMultiserver_object* self, Pmf* _p1,
                                             Pmf* _p2);
Pmf* _StandardNetworkMultiserver_flow(_StandardNetworkMultiserver_object* self,
                                      Int _sourceNodeIndex, Int _destinationNodeIndex);
// The arrivals at a node in the last step, from outside and from the other
// nodes, as its map drew them, in the step's working storage. Valid after a
// step until the next one.
Window _StandardNetworkMultiserver_lastArrivalsAtNode(_StandardNetworkMultiserver_object* self,
                                                      Int _nodeIndex);
// E[entities blocked] at a node in the last step. Valid after a step until
// the next one.
Real _StandardNetworkMultiserver_lastBlockedAtNode(_StandardNetworkMultiserver_object* self,
                                                   Int _nodeIndex);
Pmf* _StandardNetworkMultiserver_relabel(_StandardNetworkMultiserver_object* self, Int _nodeIndex,
                                         Int _z);
Pmf* _StandardNetworkMultiserver_partialNavroMapAtNode(_StandardNetworkMultiserver_object* self,
                                                       Int _nodeIndex, Pmf* _internalFlowIn);
Pmf* _StandardNetworkMultiserver_navroMapAtNode(_StandardNetworkMultiserver_object* self,
                                                Int _nodeIndex, Pmf* _internalFlowIn, Int _leftTail,
                                                Int _rightTail);
Pmf* _StandardNetworkMultiserver_observationMapRangeAtNode(_StandardNetworkMultiserver_object* self,
                                                           Int _nodeIndex, Int _z0, Int _z1);
Pmf* _StandardNetworkMultiserver_resetMapAtNode(_StandardNetworkMultiserver_object* self,
                                                Int _nodeIndex, Int _z0);
