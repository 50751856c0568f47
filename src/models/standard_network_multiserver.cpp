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

// A new network takes a few hundred bytes a node, with its snapshot, and a
// step some more. Beyond this many nodes a one-int constructor call would
// ask for more memory than a machine has, so larger networks are refused up
// front.
constexpr Int maximumNumberOfNodes = 1 << 20;

Int numberOfNodes(const Object* self) { return self->_numberOfServers->length; }

Real routingProbability(Object* self, Int source, Int destination) {
    return lookupRoutingProbability(self->_routingProbabilities, source, destination);
}

std::span<const Route> routesFrom(Object* self, Int source) {
    return routesOf(lookup(self->_routingProbabilities, source));
}

}  // namespace

// Distributions that a step keeps in working storage until the maps of its
// nodes have run, rather than as records of the context that the collector
// would sweep: the flows into each node and each node's arrivals. The
// probabilities of each lie in `values`, one window after another.
class HeldDistributions {
public:
    struct Held {
        Int offset;
        int length;
        long long at;
    };

    void clear() { used = 0; }

    // The normalised distribution of the weights `cells` of lo, lo + 1, ...,
    // as distributionOfCells makes it.
    Held hold(long long lo, const Real* cells, long long length) {
        Real* room = values.reserve(used + length) + used;
        const Window kept = distributionOfCells(room, lo, cells, length);
        const Held held{kept.offset, kept.length, used};
        used += kept.length;
        return held;
    }

    Window window(const Held& held) { return {held.offset, held.length, values.data() + held.at}; }

private:
    Buffer<Real> values;
    long long used = 0;
};

// Working storage of the step beyond a station's: the flows out of a node and
// into each, what the nodes wait for, and the arrivals each node's map drew
// from (kept until the next step, for a recorded run).
struct NetworkWorkspace {
    StepWorkspace station;
    Buffer<Real> completed;
    HeldDistributions held;
    Buffer<HeldDistributions::Held> inflow;
    Buffer<HeldDistributions::Held> arrivals;
    Buffer<Int> waiting;
    Buffer<Pmf*> next;
    Buffer<Real> blocked;  // per node, E[blocked] in the last step
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
    return buildTerms(ws, lookup(self->_internalState, node), lookup(self->_numberOfServers, node),
                      lookup(self->_abandonmentProbabilities, node),
                      lookup(self->_capacities, node));
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

// Weights of the values lo, lo + 1, ... in the workspace's cells, still to
// be normalised.
struct Weights {
    long long lo;
    const Real* cells;
    long long length;
};

// Of `completed`, the number that a routing probability r sends to one
// destination.
Weights flowOf(StepWorkspace& ws, const Real* completed, Int largestBusy, Real r) {
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
    return {0, cells, length};
}

// The sum of two independent counts.
Weights convolutionOf(StepWorkspace& ws, const Window& p1, const Window& p2) {
    if (p1.length == 0 || p2.length == 0) navro::abort(messages::emptyPmf);
    const long long first = static_cast<long long>(p1.offset) + p2.offset;
    const long long length = static_cast<long long>(p1.length) + p2.length - 1;
    Real* cells = ws.cells.zeroed(length);
    WorkMeter work;
    for (int x = 0; x < p1.length; ++x) {
        const Real probX = p1.elements[x];
        if (!(probX > 0)) continue;
        pourProducts(cells + x, p2.elements, p2.length, probX);
        work.add(p2.length);
    }
    work.flush();
    return {first, cells, length};
}

Pmf* distributionOf(NObject* obj, const Weights& w) {
    return distributionOfCells(obj, w.lo, w.cells, w.length);
}

HeldDistributions::Held hold(NetworkWorkspace& ws, const Weights& w) {
    return ws.held.hold(w.lo, w.cells, w.length);
}

// The returning completions of a node: those that its own row sends back.
RoutedCounts returningTo(Object* self, StepWorkspace& ws, Int node, const StationTerms& terms) {
    return RoutedCounts(ws, routingProbability(self, node, node), terms.largestBusy);
}

// A node's arrivals: from outside and from the other nodes.
Weights arrivalsAt(Object* self, StepWorkspace& ws, Int node, const Window& flowIn) {
    return convolutionOf(ws, probabilitiesOf(lookup(self->_numberOfExternalArrivalsPmfs, node)),
                         flowIn);
}

// The arrays of the live state and of the snapshot keep N entries, except the
// live state, which Python may replace by a list of another length. Checked
// before anything is copied, so that a short list fails mark or restore
// without a half-copied snapshot.
void confirmStateCoversNodes(const Object* self) {
    if (self->_internalState->length < numberOfNodes(self))
        navro::abort(messages::lookupIndexOutOfRange);
}

// A row's sum over its routes in increasing order of destination is its sum
// over every column in column order: the entries between them add 0.
void confirmRouting(Object* self, Int n) {
    WorkMeter work;
    for (Int s = 0; s < n; ++s) {
        const std::span<const Route> routes = routesFrom(self, s);
        Real sourceSum = 0.0;
        for (const Route& route : routes) sourceSum += route.probability;
        if (sourceSum > 1) navro::abort(messages::invalidRoutingProbabilities);
        work.add(1 + static_cast<long long>(routes.size()));
    }
    work.flush();
}

}  // namespace

// ------------------------------------------------------------- object life

namespace {
// N nodes without a limit of entities.
IntArray* noCapacities(NObject* obj, Int n) {
    IntArray* capacities = createIntArray(obj, n);
    for (Int i = 0; i < n; ++i) lookup(capacities, i) = noCapacity;
    return capacities;
}

// The fields of a network of one node before init, for the live model and
// again for its snapshot.
_StandardNetworkMultiserver_fields defaultFields(NObject* obj) {
    return {
        ._internalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2)),
        ._time = 0,
        ._numberOfServers = defaultIntArray(obj),
        ._numberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj)),
        ._serviceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj)),
        ._routingProbabilities = createRoutingTable(obj, 1),
        ._abandonmentProbabilities = defaultRealArray(obj),
        ._capacities = noCapacities(obj, 1),
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
        ._routingProbabilities = createRoutingTable(obj, n),
        ._abandonmentProbabilities = createRealArray(obj, n),
        ._capacities = noCapacities(obj, n),
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
// allocated, and the two sides share their Pmfs and routing rows, which
// never change once built.
void copyEntries(Int from, Int& to, Int) { to = from; }

template <typename Array>
void copyEntries(Array* from, Array* to, Int n) {
    for (Int i = 0; i < n; ++i) lookup(to, i) = lookup(from, i);
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

RoutingTable* _StandardNetworkMultiserver_getRoutingProbabilities(Object* self) {
    return self->_routingProbabilities;
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

Real _StandardNetworkMultiserver_getAbandonmentProbabilityAtNode(Object* self, Int _nodeIndex) {
    return lookup(self->_abandonmentProbabilities, _nodeIndex);
}

void _StandardNetworkMultiserver_setAbandonmentProbabilityAtNode(Object* self, Int _nodeIndex,
                                                                 Real _probability) {
    lookup(self->_abandonmentProbabilities, _nodeIndex) =
        confirmAbandonmentProbability(_probability);
}

Int _StandardNetworkMultiserver_getCapacityAtNode(Object* self, Int _nodeIndex) {
    return lookup(self->_capacities, _nodeIndex);
}

void _StandardNetworkMultiserver_setCapacityAtNode(Object* self, Int _nodeIndex, Int _capacity) {
    lookup(self->_capacities, _nodeIndex) = confirmCapacity({_capacity}).most;
}

void _StandardNetworkMultiserver_setNumberOfServersAtNode(Object* self, Int _nodeIndex, Int _n) {
    lookup(self->_numberOfServers, _nodeIndex) = confirmNumberOfServers(_n);
}

void _StandardNetworkMultiserver_setRoutingProbability(Object* self, Int _sourceNodeIndex,
                                                       Int _destinationNodeIndex,
                                                       Real _probability) {
    const RoutingChange change{_sourceNodeIndex, _destinationNodeIndex, _probability};
    writeRoutes(&self->header, self->_routingProbabilities, {&change, 1},
                confirmRoutingProbability);
}

void _StandardNetworkMultiserver_setRoutingProbabilities(Object* self, std::span<const Int> sources,
                                                         std::span<const Int> destinations,
                                                         std::span<const Real> probabilities) {
    if (destinations.size() != sources.size() || probabilities.size() != sources.size())
        navro::abort(messages::invalidValue);
    HeapVector<RoutingChange> changes(sources.size());
    for (std::size_t k = 0; k < changes.size(); ++k)
        changes[k] = {sources[k], destinations[k], probabilities[k]};
    writeRoutes(&self->header, self->_routingProbabilities, changes, confirmRoutingProbability);
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
    StepWorkspace& ws = madeOnFirstUse(self->workspace).station;
    return distributionOf(&self->header,
                          convolutionOf(ws, probabilitiesOf(_p1), probabilitiesOf(_p2)));
}

Pmf* _StandardNetworkMultiserver_flow(Object* self, Int _sourceNodeIndex,
                                      Int _destinationNodeIndex) {
    NetworkWorkspace& ws = madeOnFirstUse(self->workspace);
    ws.station.clearTerms();
    const StationTerms source = nodeTerms(self, ws.station, _sourceNodeIndex);
    const Real r = routingProbability(self, _sourceNodeIndex, _destinationNodeIndex);
    return distributionOf(&self->header,
                          flowOf(ws.station, completedAt(ws, source), source.largestBusy, r));
}

Pmf* _StandardNetworkMultiserver_relabel(Object* self, Int _nodeIndex, Int _z) {
    return relabelRemainingTime(&self->header, lookup(self->_internalState, _nodeIndex), _z);
}

namespace {
// A node's terms, returning completions and arrivals, for the maps that
// Python may call one at a time; the arrivals are held in the workspace.
template <typename Map>
Pmf* mapAtNode(Object* self, Int node, Pmf* flowIn, Map&& map) {
    NetworkWorkspace& ws = madeOnFirstUse(self->workspace);
    ws.station.clearTerms();
    ws.held.clear();
    const StationTerms terms = nodeTerms(self, ws.station, node);
    const RoutedCounts returning = returningTo(self, ws.station, node, terms);
    const Window arrivals =
        ws.held.window(hold(ws, arrivalsAt(self, ws.station, node, probabilitiesOf(flowIn))));
    return map(ws.station, terms, arrivals, returning);
}
}  // namespace

Pmf* _StandardNetworkMultiserver_partialNavroMapAtNode(Object* self, Int _nodeIndex,
                                                       Pmf* _internalFlowIn) {
    return mapAtNode(self, _nodeIndex, _internalFlowIn,
                     [&](StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
                         const RoutedCounts& returning) {
                         return partialMap(&self->header, ws, terms, arrivals, returning);
                     });
}

Pmf* _StandardNetworkMultiserver_navroMapAtNode(Object* self, Int _nodeIndex, Pmf* _internalFlowIn,
                                                Int _leftTail, Int _rightTail) {
    Pmf* durations = lookup(self->_serviceDurationPmfs, _nodeIndex);
    return mapAtNode(self, _nodeIndex, _internalFlowIn,
                     [&](StepWorkspace& ws, const StationTerms& terms, const Window& arrivals,
                         const RoutedCounts& returning) {
                         return fullMap(&self->header, ws, terms, arrivals, durations, returning,
                                        _leftTail, _rightTail);
                     });
}

void _StandardNetworkMultiserver_step(Object* self) {
    NObject* obj = &self->header;
    const Int n = numberOfNodes(self);
    confirmRouting(self, n);
    NetworkWorkspace& ws = madeOnFirstUse(self->workspace);
    ws.held.clear();
    HeldDistributions::Held* flowIn = ws.inflow.reserve(n);
    const Real certain = 1.0;
    const HeldDistributions::Held nothing = ws.held.hold(0, &certain, 1);  // none, for sure
    std::fill(flowIn, flowIn + n, nothing);
    // The sources whose flows a node still waits for.
    Int* waiting = ws.waiting.zeroed(n);
    for (Int s = 0; s < n; ++s) {
        for (const Route& route : routesFrom(self, s)) {
            if (route.destination != s) ++waiting[route.destination];
        }
    }

    // A node's map, once its flows are in, from its terms. Every node is
    // mapped, a failed one too, so that a step that fails reports the failure
    // of the first node in node order, as if the nodes were mapped in that
    // order after every flow was taken. All new states are complete before
    // the first is stored, so a failed step leaves every node, and the clock,
    // as they were.
    Pmf** next = ws.next.reserve(n);
    HeldDistributions::Held* arrivals = ws.arrivals.reserve(n);
    Real* blocked = ws.blocked.zeroed(n);
    Int failedNode = n;
    const char* failure = nullptr;
    auto mapNode = [&](Int i, const StationTerms& terms) {
        try {
            const RoutedCounts returning = returningTo(self, ws.station, i, terms);
            arrivals[i] = hold(ws, arrivalsAt(self, ws.station, i, ws.held.window(flowIn[i])));
            next[i] = stepState(obj, ws.station, terms, ws.held.window(arrivals[i]),
                                lookup(self->_serviceDurationPmfs, i), returning);
            blocked[i] = ws.station.blocked;
        } catch (const CException& e) {
            if (i < failedNode) {
                failedNode = i;
                failure = e.message;
            }
        }
    };
    auto termsOf = [&](Int i) {
        ws.station.clearTerms();
        return nodeTerms(self, ws.station, i);
    };

    // Every flow is taken from the states before the step, and only along a
    // route: an entry of 0 sends nothing and costs nothing, so a step's work
    // grows with the routes rather than with the pairs of nodes. Each
    // destination takes its flows in increasing order of source, as a walk
    // of the whole table would. A node is mapped as soon as its last flow is
    // in, while its old state is still in the processor's cache: in a line
    // or a tree of nodes, right after its own flows are taken, from the same
    // terms; a node that waits for a later source builds its terms again.
    for (Int s = 0; s < n; ++s) {
        const StationTerms terms = termsOf(s);
        const Real* completed = nullptr;
        for (const Route& route : routesFrom(self, s)) {
            const Int d = route.destination;
            if (d == s) continue;
            if (completed == nullptr) completed = completedAt(ws, terms);
            const Weights flow =
                flowOf(ws.station, completed, terms.largestBusy, route.probability);
            // The flow is made a distribution of its own, then added.
            const Window sent = ws.held.window(hold(ws, flow));
            flowIn[d] = hold(ws, convolutionOf(ws.station, ws.held.window(flowIn[d]), sent));
            --waiting[d];
        }
        if (waiting[s] == 0) mapNode(s, terms);
        for (const Route& route : routesFrom(self, s)) {
            const Int d = route.destination;
            if (d < s && waiting[d] == 0) mapNode(d, termsOf(d));
        }
    }
    if (failure != nullptr) navro::abort(failure);
    updateFields([&] {
        for (Int i = 0; i < n; ++i) lookup(self->_internalState, i) = next[i];
        self->_time = nextClock(self->_time);
    });
}

Window _StandardNetworkMultiserver_lastArrivalsAtNode(Object* self, Int _nodeIndex) {
    if (self->workspace == nullptr || _nodeIndex < 0 || _nodeIndex >= numberOfNodes(self))
        abortInternal();
    NetworkWorkspace& ws = *self->workspace;
    return ws.held.window(ws.arrivals.data()[_nodeIndex]);
}

Real _StandardNetworkMultiserver_lastBlockedAtNode(Object* self, Int _nodeIndex) {
    if (self->workspace == nullptr || _nodeIndex < 0 || _nodeIndex >= numberOfNodes(self))
        abortInternal();
    return self->workspace->blocked.data()[_nodeIndex];
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
