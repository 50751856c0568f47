// The network of stations: per-node configuration and routing, snapshot,
// collector hook, the step with its flows between nodes, and the per-node
// observations and resets.
//
// Each node steps through the maps that the single station uses; what is
// the network's own is only what comes from the other nodes (the flows along
// the routes into a node) and what a node's own row sends back to it. A
// one-node network without routing therefore follows the single station
// number for number, up to the one renormalisation of its arrivals.
//
// A failed call leaves the object as it was: the step computes the new state
// of every node before it stores any, and mark and restore check every
// length before they copy.
#include "models/standard_network_multiserver.hpp"

#include <algorithm>

#include "models/station_maps.hpp"
#include "models/station_step.hpp"
#include "runtime/errors.hpp"
#include "runtime/forks.hpp"
#include "runtime/heap.hpp"
#include "runtime/interruption.hpp"

namespace {

using Object = _StandardNetworkMultiserver_object;

// The routing table alone takes N * N Reals, twice with its snapshot. Beyond
// this many nodes a one-int constructor call would ask for gigabytes, so
// larger networks are refused up front.
constexpr Int maximumNumberOfNodes = 4096;

Int numberOfNodes(const Object* self) { return self->_numberOfServers->length; }

Real routingProbability(Object* self, Int source, Int destination) {
    return lookup(lookup(self->_routingProbabilities, source), destination);
}

}  // namespace

// Working storage of the step beyond a station's: every node's terms, kept
// from the flows out of the node to its own map, the flows into each, and
// the arrivals each node's map drew from (kept for a recorded run, which
// reads them before the step's intermediates are collected).
struct NetworkWorkspace {
    StepWorkspace station;
    Buffer<StationTerms> nodes;
    Buffer<Real> completed;
    Buffer<Pmf*> inflow;
    Buffer<Pmf*> arrivals;
    Buffer<Pmf*> next;
};

namespace {

// The innermost loop of a flow and of a convolution: one multiply-add per
// value, which the compiler may keep in vector registers since nothing that
// it writes is also read. A weight above 1, which only rounding in a
// binomial can make, counts as 1, as in an accumulator.
void pourProducts(Real* __restrict cells, const Real* __restrict probabilities, int n,
                  Real weight) {
    for (int j = 0; j < n; ++j) cells[j] += std::min(probabilities[j] * weight, 1.0);
}

StationTerms nodeTerms(Object* self, StepWorkspace& ws, Int node) {
    return buildTerms(ws, lookup(self->_internalState, node), lookup(self->_numberOfServers, node));
}

// The number of services that end at a node during the step, whatever the
// count they end at: p(d) summed over z in increasing order. Every flow out
// of the node spreads this, so the walk over z is made once per node.
const Real* completedAt(NetworkWorkspace& ws, const StationTerms& terms) {
    Real* completed = ws.completed.zeroed(static_cast<long long>(terms.largestBusy) + 1);
    const CountTerms* counts = ws.station.counts.data() + terms.first;
    const Real* completions = ws.station.completions.data();
    WorkMeter work;
    for (long long k = 0; k < terms.count; ++k) {
        const CountTerms& count = counts[k];
        const Real* ends = completions + count.completionsAt;
        for (int i = 0; i < count.completionsLength; ++i) {
            completed[count.completionsOffset + i] += ends[i] * count.probability;
        }
        work.add(count.completionsLength);
    }
    work.flush();
    return completed;
}

// Of `completed`, the number that a routing probability r sends to one
// destination.
Pmf* flowOf(NObject* obj, StepWorkspace& ws, const Real* completed, Int largestBusy, Real r) {
    const RoutedCounts routed(ws, r, largestBusy);
    const long long length = static_cast<long long>(largestBusy) + 1;
    Real* cells = ws.cells.zeroed(length);
    WorkMeter work;
    for (Int d = 0; d < length; ++d) {
        if (!(completed[d] > 0)) continue;
        const Window sent = routed.of(d);
        pourProducts(cells + sent.offset, sent.elements, sent.length, completed[d]);
        work.add(sent.length);
    }
    work.flush();
    return distributionOfCells(obj, 0, cells, length);
}

// The sum of two independent counts.
Pmf* convolutionOf(NObject* obj, StepWorkspace& ws, Pmf* p1, Pmf* p2) {
    const int length1 = p1->simple.length;
    const int length2 = p2->simple.length;
    if (length1 == 0 || length2 == 0) navro::abort(messages::emptyPmf);
    const long long first = static_cast<long long>(p1->simple.offset) + p2->simple.offset;
    const long long length = static_cast<long long>(length1) + length2 - 1;
    Real* cells = ws.cells.zeroed(length);
    WorkMeter work;
    for (int x = 0; x < length1; ++x) {
        const Real probX = p1->simple.elements[x];
        if (!(probX > 0)) continue;
        pourProducts(cells + x, p2->simple.elements, length2, probX);
        work.add(length2);
    }
    work.flush();
    return distributionOfCells(obj, first, cells, length);
}

// What a node's maps take besides its terms: its arrivals, from outside and
// from the other nodes, and the completions that its own row sends back.
struct NodeInputs {
    Pmf* arrivals;
    RoutedCounts returning;
};

NodeInputs nodeInputs(Object* self, StepWorkspace& ws, Int node, const StationTerms& terms,
                      Pmf* flowIn) {
    Pmf* arrivals =
        convolutionOf(&self->header, ws, lookup(self->_numberOfExternalArrivalsPmfs, node), flowIn);
    return {arrivals, RoutedCounts(ws, routingProbability(self, node, node), terms.largestBusy)};
}

// The arrays of the live state and of the snapshot keep N entries, except the
// live state, which Python may replace by a list of another length. Checked
// before anything is copied, so that a short list fails mark or restore
// without a half-copied snapshot.
void confirmStateCoversNodes(const Object* self) {
    if (self->_internalState->length < numberOfNodes(self))
        navro::abort(messages::lookupIndexOutOfRange);
}

void confirmRouting(Object* self, Int n) {
    WorkMeter work;
    for (Int s = 0; s < n; ++s) {
        RealArray* row = lookup(self->_routingProbabilities, s);
        Real sourceSum = 0.0;
        for (Int d = 0; d < n; ++d) sourceSum += lookup(row, d);
        if (sourceSum > 1) navro::abort(messages::invalidRoutingProbabilities);
        work.add(n);
    }
    work.flush();
}

}  // namespace

// ------------------------------------------------------------- object life

namespace {
// The fields of a network of one node before init, for the live model and
// again for its snapshot.
_StandardNetworkMultiserver_fields defaultFields(NObject* obj) {
    return {
        ._internalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2)),
        ._time = 0,
        ._numberOfServers = defaultIntArray(obj),
        ._numberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj)),
        ._serviceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj)),
        ._routingProbabilities = defaultRealMatrix(obj),
    };
}

// N service durations of one step each: first the default point masses at 0,
// then each replaced by the point mass at 1.
PmfArray* oneStepServiceDurations(NObject* obj, Int n) {
    PmfArray* durations = createPmfArray(obj, createSimplePmfConfig(obj), n);
    for (Int i = 0; i < n; ++i) lookup(durations, i) = oneStepServiceDuration(obj);
    return durations;
}

// N unconnected empty nodes with no servers, no arrivals and services of one
// step. The snapshot starts as this too, so a restore before any mark brings
// back the new network.
_StandardNetworkMultiserver_fields initialFields(NObject* obj, Int n) {
    return {
        ._internalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n),
        ._time = 0,
        ._numberOfServers = createIntArray(obj, n),
        ._numberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n),
        ._serviceDurationPmfs = oneStepServiceDurations(obj, n),
        ._routingProbabilities = createRealMatrix(obj, n, n),
    };
}
}  // namespace

void _StandardNetworkMultiserver_setDefaults(Object* self) {
    self->live() = defaultFields(&self->header);
    self->_mark = defaultFields(&self->header);
}

void _StandardNetworkMultiserver_init(Object* self, Int _numberOfNodes) {
    if (_numberOfNodes <= 0) navro::abort(messages::invalidNumberOfNodes);
    if (_numberOfNodes > maximumNumberOfNodes) abortOutOfMemory();
    // Both records are complete before either is stored.
    _StandardNetworkMultiserver_fields live = initialFields(&self->header, _numberOfNodes);
    _StandardNetworkMultiserver_fields mark = initialFields(&self->header, _numberOfNodes);
    self->live() = live;
    self->_mark = mark;
}

void _StandardNetworkMultiserver_releaseWorkspace(Object* self) { releaseOwned(self->workspace); }

void _StandardNetworkMultiserver_memRelease(Object* self) { collectModel(self); }

// ---------------------------------------------------------------- snapshot

namespace {
// Entry-by-entry copies into arrays that already exist: nothing is
// allocated, and the two sides share their Pmfs, which never change once
// built. Routing rows are copied value by value, since a setter changes them
// in place.
void copyEntries(Int from, Int& to, Int) { to = from; }

template <typename Array>
void copyEntries(Array* from, Array* to, Int n) {
    for (Int i = 0; i < n; ++i) lookup(to, i) = lookup(from, i);
}

void copyEntries(RealMatrix* from, RealMatrix* to, Int n) {
    for (Int i = 0; i < n; ++i) copyEntries(lookup(from, i), lookup(to, i), n);
}

void copyFields(const _StandardNetworkMultiserver_fields& from,
                _StandardNetworkMultiserver_fields& to, Int n) {
    forEachField([n](const auto&, auto source, auto& target) { copyEntries(source, target, n); },
                 from, to);
}
}  // namespace

void _StandardNetworkMultiserver_mark(Object* self) {
    confirmStateCoversNodes(self);
    copyFields(self->live(), self->_mark, numberOfNodes(self));
}

void _StandardNetworkMultiserver_restore(Object* self) {
    confirmStateCoversNodes(self);
    copyFields(self->_mark, self->live(), numberOfNodes(self));
}

// ------------------------------------------------------ getters and setters

Int _StandardNetworkMultiserver_getNumberOfNodes(Object* self) { return numberOfNodes(self); }

Int _StandardNetworkMultiserver_getNumberOfServersAtNode(Object* self, Int _nodeIndex) {
    return lookup(self->_numberOfServers, _nodeIndex);
}

Real _StandardNetworkMultiserver_getRoutingProbability(Object* self, Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex) {
    return routingProbability(self, _sourceNodeIndex, _destinationNodeIndex);
}

Pmf* _StandardNetworkMultiserver_getServiceDurationAtNodePmf(Object* self, Int _nodeIndex) {
    return lookup(self->_serviceDurationPmfs, _nodeIndex);
}

Pmf* _StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf(Object* self,
                                                                      Int _nodeIndex) {
    return lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex);
}

Pmf* _StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf(Object* self, Int _nodeIndex) {
    return lookupMarginalPmf(lookup(self->_internalState, _nodeIndex));
}

Int confirmNumberOfServers(Int n) {
    if (n < 0) navro::abort(messages::invalidNumberOfServers);
    return n;
}

Real confirmRoutingProbability(Real probability) {
    // Written so that NaN fails too: it would pass both range comparisons
    // and the row-sum check, and spoil every state from the next step on.
    if (!(probability >= 0 && probability <= 1)) navro::abort(messages::invalidProbability);
    return probability;
}

Pmf* confirmServiceDurationPmf(Pmf* pmf) {
    // A converted Pmf's window starts at its smallest value of positive
    // probability, so an offset of 0 is a service of no duration.
    if (confirmSimplePmf(pmf)->simple.offset <= 0) navro::abort(messages::invalidServiceDuration);
    return pmf;
}

void _StandardNetworkMultiserver_setNumberOfServersAtNode(Object* self, Int _nodeIndex, Int _n) {
    lookup(self->_numberOfServers, _nodeIndex) = confirmNumberOfServers(_n);
}

void _StandardNetworkMultiserver_setRoutingProbability(Object* self, Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex,
                                                       Real _probability) {
    // The right side of an assignment is evaluated first, so the value is
    // checked before the indexes.
    lookup(lookup(self->_routingProbabilities, _sourceNodeIndex), _destinationNodeIndex) =
        confirmRoutingProbability(_probability);
}

void _StandardNetworkMultiserver_setServiceDurationAtNodePmf(Object* self, Int _nodeIndex,
                                                             Pmf* _serviceDurationPmf) {
    lookup(self->_serviceDurationPmfs, _nodeIndex) = confirmServiceDurationPmf(_serviceDurationPmf);
}

void _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(
    Object* self, Int _nodeIndex, Pmf* _numberOfExternalArrivalsPmf) {
    lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex) = _numberOfExternalArrivalsPmf;
}

// -------------------------------------------------------------------- maps

Pmf* _StandardNetworkMultiserver_convolution(Object* self, Pmf* _p1, Pmf* _p2) {
    return convolutionOf(&self->header, madeOnFirstUse(self->workspace).station, _p1, _p2);
}

Pmf* _StandardNetworkMultiserver_flow(Object* self, Int _sourceNodeIndex,
                                      Int _destinationNodeIndex) {
    NetworkWorkspace& ws = madeOnFirstUse(self->workspace);
    ws.station.clearTerms();
    const StationTerms source = nodeTerms(self, ws.station, _sourceNodeIndex);
    return flowOf(&self->header, ws.station, completedAt(ws, source), source.largestBusy,
                  routingProbability(self, _sourceNodeIndex, _destinationNodeIndex));
}

Pmf* _StandardNetworkMultiserver_relabel(Object* self, Int _nodeIndex, Int _z) {
    return relabelRemainingTime(&self->header, lookup(self->_internalState, _nodeIndex), _z);
}

Pmf* _StandardNetworkMultiserver_partialNavroMapAtNode(Object* self, Int _nodeIndex,
                                                       Pmf* _internalFlowIn) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace).station;
    ws.clearTerms();
    const StationTerms terms = nodeTerms(self, ws, _nodeIndex);
    const NodeInputs in = nodeInputs(self, ws, _nodeIndex, terms, _internalFlowIn);
    return partialMap(&self->header, ws, terms, in.arrivals, in.returning);
}

Pmf* _StandardNetworkMultiserver_navroMapAtNode(Object* self, Int _nodeIndex, Pmf* _internalFlowIn,
                                                Int _leftTail, Int _rightTail) {
    StepWorkspace& ws = madeOnFirstUse(self->workspace).station;
    ws.clearTerms();
    const StationTerms terms = nodeTerms(self, ws, _nodeIndex);
    const NodeInputs in = nodeInputs(self, ws, _nodeIndex, terms, _internalFlowIn);
    return fullMap(&self->header, ws, terms, in.arrivals,
                   lookup(self->_serviceDurationPmfs, _nodeIndex), in.returning, _leftTail,
                   _rightTail);
}

void _StandardNetworkMultiserver_step(Object* self) {
    NObject* obj = &self->header;
    const Int n = numberOfNodes(self);
    confirmRouting(self, n);
    NetworkWorkspace& ws = madeOnFirstUse(self->workspace);
    ws.station.clearTerms();
    StationTerms* nodes = ws.nodes.reserve(n);
    Pmf** flowIn = ws.inflow.reserve(n);
    Pmf* nothing = createAtomicSimplePmf(obj, 0);
    std::fill(flowIn, flowIn + n, nothing);

    // Every flow is taken from the states before the step, and only along a
    // route: a routing probability of 0 sends nothing and costs nothing. The
    // terms of each node are kept for its own map below, which reads the
    // same old state.
    for (Int s = 0; s < n; ++s) {
        nodes[s] = nodeTerms(self, ws.station, s);
        RealArray* row = lookup(self->_routingProbabilities, s);
        const Real* completed = nullptr;
        for (Int d = 0; d < n; ++d) {
            const Real r = lookup(row, d);
            if (d == s || !(r > 0)) continue;
            if (completed == nullptr) completed = completedAt(ws, nodes[s]);
            Pmf* flow = flowOf(obj, ws.station, completed, nodes[s].largestBusy, r);
            flowIn[d] = convolutionOf(obj, ws.station, flowIn[d], flow);
        }
    }

    // All new states are complete before the first is stored, so a node that
    // fails leaves every node, and the clock, as they were.
    Pmf** next = ws.next.reserve(n);
    Pmf** arrivals = ws.arrivals.reserve(n);
    for (Int i = 0; i < n; ++i) {
        const NodeInputs in = nodeInputs(self, ws.station, i, nodes[i], flowIn[i]);
        arrivals[i] = in.arrivals;
        next[i] = stepState(obj, ws.station, nodes[i], in.arrivals,
                            lookup(self->_serviceDurationPmfs, i), in.returning);
    }
    updateFields([&] {
        for (Int i = 0; i < n; ++i) lookup(self->_internalState, i) = next[i];
        self->_time = nextClock(self->_time);
    });
}

Pmf* _StandardNetworkMultiserver_lastArrivalsAtNode(Object* self, Int _nodeIndex) {
    if (self->workspace == nullptr || _nodeIndex < 0 || _nodeIndex >= numberOfNodes(self))
        abortInternal();
    return self->workspace->arrivals.data()[_nodeIndex];
}

// ------------------------------------------------- observations and resets

Pmf* _StandardNetworkMultiserver_observationMapRangeAtNode(Object* self, Int _nodeIndex, Int _z0,
                                                           Int _z1) {
    return conditionOnCountRange(&self->header, lookup(self->_internalState, _nodeIndex), _z0, _z1);
}

Pmf* _StandardNetworkMultiserver_resetMapAtNode(Object* self, Int _nodeIndex, Int _z0) {
    return stateWithCount(&self->header, lookup(self->_serviceDurationPmfs, _nodeIndex), _z0);
}

void _StandardNetworkMultiserver_applyObservationRangeAtNode(Object* self, Int _nodeIndex,
                                                             Int _startOfRange, Int _endOfRange) {
    Pmf*& entry = lookup(self->_internalState, _nodeIndex);
    entry = _StandardNetworkMultiserver_observationMapRangeAtNode(self, _nodeIndex, _startOfRange,
                                                                  _endOfRange);
}

void _StandardNetworkMultiserver_applyObservationValueAtNode(
    Object* self, Int _nodeIndex, Int _observedNumberOfEntitiesInSystem) {
    Pmf*& entry = lookup(self->_internalState, _nodeIndex);
    // v + 1 in 64 bits: observing the largest Int is a range like any other.
    const long long v = _observedNumberOfEntitiesInSystem;
    entry = conditionOnCountRange(&self->header, entry, v, v + 1);
}

void _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(Object* self, Int _nodeIndex,
                                                               Int _numberOfEntitiesAtNode) {
    if (_numberOfEntitiesAtNode < 0) navro::abort(messages::invalidNumberOfEntities);
    Pmf*& entry = lookup(self->_internalState, _nodeIndex);
    entry = _StandardNetworkMultiserver_resetMapAtNode(self, _nodeIndex, _numberOfEntitiesAtNode);
}
