// The network of stations: per-node configuration and routing, snapshot,
// collector hook, the step with its flows between nodes, and the per-node
// observations and resets.
//
// The maps walk every support in increasing value order and carry the weight
// of an outcome as a product taken from the outside in, one SamplingStack
// level per loop depth, exactly as the single station does; a one-node
// network without routing therefore follows the single station number for
// number, up to the one renormalisation of its arrivals.
//
// A failed call leaves the object as it was: the step computes the new state
// of every node before it stores any, and mark and restore check every
// length before they copy.
#include "models/standard_network_multiserver.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "distributions/distributions.hpp"
#include "models/station_maps.hpp"
#include "pmf/accumulator.hpp"
#include "runtime/errors.hpp"

namespace {

using Object = _StandardNetworkMultiserver_object;


// The routing table alone takes N * N Reals, twice with its snapshot, and a
// step forms N * (N - 1) flows. Beyond this many nodes a one-int constructor
// call would ask for gigabytes, so larger networks are refused up front.
constexpr Int maximumNumberOfNodes = 4096;

// Tail mass that the step cuts from the distribution of each next count, half
// at either end.
constexpr Real tolerance = 1e-8;

Int numberOfNodes(const Object* self) { return self->_numberOfServers->length; }

Real routingProbability(Object* self, Int source, Int destination) {
    return lookup(lookup(self->_routingProbabilities, source), destination);
}

// binomial(d, r) for one routing probability r, built at the first d that
// needs it and shared by every later outcome with the same d: the number
// routed depends on d alone, not on the count it came from.
class RoutedCounts {
public:
    RoutedCounts(NObject* _obj, Real _r) : obj(_obj), r(_r) {}

    Pmf* of(Int d) {
        const auto index = static_cast<std::size_t>(d);
        if (index >= byCount.size()) byCount.resize(index + 1, nullptr);
        if (byCount[index] == nullptr) byCount[index] = binomial(obj, d, r);
        return byCount[index];
    }

private:
    NObject* obj;
    Real r;
    std::vector<Pmf*> byCount;
};

// What one node's state before the step contributes to it, built once and
// shared by the flows out of the node and by both passes of its map: every
// count z of positive probability with the distribution of the number of
// services that end. The relabelled conditional of z is built at its first
// use: it fails on some caller-written states, and must fail only where an
// outcome of positive weight needs it.
class NodeTerms {
public:
    struct Count {
        Int z;
        Real probability;
        Pmf* completions;
        Pmf* relabelled;
    };

    NodeTerms(Object* _self, Int _node)
        : self(_self), node(_node), servers(lookup(_self->_numberOfServers, _node)) {
        Pmf* state = lookup(self->_internalState, node);
        forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
            const Real q = lookupProbability(lookupConditionalPmf1(state, z), 1);
            counts.push_back({z, probZ, binomial(&self->header, std::min(z, servers), q), nullptr});
        });
    }

    Pmf* relabelled(Count& count) {
        if (count.relabelled == nullptr)
            count.relabelled = _StandardNetworkMultiserver_relabel(self, node, count.z);
        return count.relabelled;
    }

    Object* self;
    Int node;
    Int servers;
    // In increasing order of z.
    std::vector<Count> counts;
};

// The number of entities that end service at the source and go to a node
// reached with routing probability r.
Pmf* flowFrom(NodeTerms& source, Real r) {
    NObject* obj = &source.self->header;
    SimpleAccumulator accumulator(obj);
    SamplingStack stack(3);
    RoutedCounts routed(obj, r);
    for (const NodeTerms::Count& count : source.counts) {
        stack.set(0, count.probability);
        forEachInSupport(count.completions, [&](Int d, Real probD) {
            stack.branch(1, probD);
            forEachInSupport(routed.of(d), [&](Int phi, Real probPhi) {
                stack.branch(2, probPhi);
                accumulator.putSingle(stack.branchProbability(2), phi);
            });
        });
    }
    return accumulator.toPmf();
}

// Walks every outcome (z, d, phi, a) of one step at a node, in increasing
// order at every level, with its weight at stack level 3, and hands
// `visit(count, d, zprime)` each one: d services end, phi of them come back
// to the node, a arrive from outside and from the other nodes, and
// zprime = z - d + phi + a, formed in 64 bits.
template <typename Visit>
void forEachNextCount(NodeTerms& node, Pmf* arrivals, RoutedCounts& returning,
                      SamplingStack& stack, Visit&& visit) {
    for (NodeTerms::Count& count : node.counts) {
        stack.set(0, count.probability);
        forEachInSupport(count.completions, [&](Int d, Real probD) {
            stack.branch(1, probD);
            forEachInSupport(returning.of(d), [&](Int phi, Real probPhi) {
                stack.branch(2, probPhi);
                const long long remaining = static_cast<long long>(count.z) - d + phi;
                forEachInSupport(arrivals, [&](Int a, Real probA) {
                    stack.branch(3, probA);
                    visit(count, d, remaining + a);
                });
            });
        });
    }
}

// The distribution of the next count at a node.
Pmf* partialMap(NodeTerms& node, Pmf* arrivals, RoutedCounts& returning) {
    SimpleAccumulator accumulator(&node.self->header);
    SamplingStack stack(4);
    forEachNextCount(node, arrivals, returning, stack,
                     [&](NodeTerms::Count&, Int, long long zprime) {
                         const Real weight = stack.branchProbability(3);
                         accumulator.putSingle(weight, countOf(weight, zprime));
                     });
    return accumulator.toPmf();
}

// The node's new state over the next counts from leftTail to rightTail.
Pmf* fullMap(NodeTerms& node, Pmf* arrivals, Pmf* durations, RoutedCounts& returning,
             Int leftTail, Int rightTail) {
    JointAccumulator accumulator(&node.self->header, 2);
    SamplingStack stack(6);
    const Int c = node.servers;
    forEachNextCount(node, arrivals, returning, stack,
                     [&](NodeTerms::Count& count, Int d, long long zprime) {
                         if (zprime < leftTail || zprime > rightTail) return;
                         const Int busy = std::min(count.z, c);
                         putRemainingTimes(accumulator, stack, 4, static_cast<Int>(zprime), c,
                                           busy - d, durations,
                                           [&] { return node.relabelled(count); });
                     });
    return accumulator.toPmf();
}

// The arrays of the live state and of the snapshot keep N entries, except the
// live state, which Python may replace by a list of another length. Checked
// before anything is copied, so that a short list fails mark or restore
// without a half-copied snapshot.
void confirmStateCoversNodes(const Object* self) {
    if (self->_internalState->length < numberOfNodes(self))
        abort(messages::lookupIndexOutOfRange);
}

void confirmRouting(Object* self, Int n) {
    for (Int s = 0; s < n; ++s) {
        RealArray* row = lookup(self->_routingProbabilities, s);
        Real sourceSum = 0.0;
        for (Int d = 0; d < n; ++d) sourceSum += lookup(row, d);
        if (sourceSum > 1) abort(messages::invalidRoutingProbabilities);
    }
}

}  // namespace

// ------------------------------------------------------------- object life

void _StandardNetworkMultiserver_setDefaults(Object* self) {
    NObject* obj = &self->header;
    self->_internalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    self->_time = 0;
    self->_numberOfServers = defaultIntArray(obj);
    self->_numberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_serviceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_routingProbabilities = defaultRealMatrix(obj);
    self->_markInternalState = defaultPmfArray(obj, createJointPmfConfig(obj, 2));
    self->_markTime = 0;
    self->_markNumberOfServers = defaultIntArray(obj);
    self->_markNumberOfExternalArrivalsPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_markServiceDurationPmfs = defaultPmfArray(obj, createSimplePmfConfig(obj));
    self->_markRoutingProbabilities = defaultRealMatrix(obj);
}

namespace {
// N service durations of one step each: first the default point masses at 0,
// then each replaced by the point mass at 1.
PmfArray* oneStepServiceDurations(NObject* obj, Int n) {
    PmfArray* durations = createPmfArray(obj, createSimplePmfConfig(obj), n);
    for (Int i = 0; i < n; ++i) lookup(durations, i) = oneStepServiceDuration(obj);
    return durations;
}
}  // namespace

void _StandardNetworkMultiserver_init(Object* self, Int _numberOfNodes) {
    if (_numberOfNodes <= 0) abort(messages::invalidNumberOfNodes);
    if (_numberOfNodes > maximumNumberOfNodes) abort(messages::outOfMemory);
    NObject* obj = &self->header;
    const Int n = _numberOfNodes;
    self->_internalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    self->_time = 0;
    self->_numberOfServers = createIntArray(obj, n);
    self->_numberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    self->_serviceDurationPmfs = oneStepServiceDurations(obj, n);
    self->_routingProbabilities = createRealMatrix(obj, n, n);
    self->_markInternalState = createPmfArray(obj, createJointPmfConfig(obj, 2), n);
    self->_markNumberOfServers = createIntArray(obj, n);
    self->_markNumberOfExternalArrivalsPmfs = createPmfArray(obj, createSimplePmfConfig(obj), n);
    self->_markServiceDurationPmfs = oneStepServiceDurations(obj, n);
    self->_markRoutingProbabilities = createRealMatrix(obj, n, n);
}

void _StandardNetworkMultiserver_memRelease(Object* self) {
    flag(self->_internalState);
    flag(self->_numberOfServers);
    flag(self->_numberOfExternalArrivalsPmfs);
    flag(self->_serviceDurationPmfs);
    flag(self->_routingProbabilities);
    flag(self->_markInternalState);
    flag(self->_markNumberOfServers);
    flag(self->_markNumberOfExternalArrivalsPmfs);
    flag(self->_markServiceDurationPmfs);
    flag(self->_markRoutingProbabilities);
    release(&self->header);
}

// ---------------------------------------------------------------- snapshot

namespace {
// The per-node fields of the live model, or of its snapshot.
struct NodeFields {
    PmfArray* state;
    IntArray* servers;
    PmfArray* arrivals;
    PmfArray* durations;
    RealMatrix* routing;
};

NodeFields liveFields(Object* self) {
    return {self->_internalState, self->_numberOfServers, self->_numberOfExternalArrivalsPmfs,
            self->_serviceDurationPmfs, self->_routingProbabilities};
}

NodeFields snapshotFields(Object* self) {
    return {self->_markInternalState, self->_markNumberOfServers,
            self->_markNumberOfExternalArrivalsPmfs, self->_markServiceDurationPmfs,
            self->_markRoutingProbabilities};
}

// Entry-by-entry copy into arrays that already exist: nothing is allocated,
// and the two sides share their Pmfs, which never change once built.
void copyNodes(const NodeFields& from, const NodeFields& to, Int n) {
    for (Int i = 0; i < n; ++i) {
        lookup(to.state, i) = lookup(from.state, i);
        lookup(to.servers, i) = lookup(from.servers, i);
        lookup(to.arrivals, i) = lookup(from.arrivals, i);
        lookup(to.durations, i) = lookup(from.durations, i);
        RealArray* fromRow = lookup(from.routing, i);
        RealArray* toRow = lookup(to.routing, i);
        for (Int j = 0; j < n; ++j) lookup(toRow, j) = lookup(fromRow, j);
    }
}
}  // namespace

void _StandardNetworkMultiserver_mark(Object* self) {
    confirmStateCoversNodes(self);
    self->_markTime = self->_time;
    copyNodes(liveFields(self), snapshotFields(self), numberOfNodes(self));
}

void _StandardNetworkMultiserver_restore(Object* self) {
    confirmStateCoversNodes(self);
    self->_time = self->_markTime;
    copyNodes(snapshotFields(self), liveFields(self), numberOfNodes(self));
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
    if (n < 0) abort(messages::invalidNumberOfServers);
    return n;
}

Real confirmRoutingProbability(Real probability) {
    // Written so that NaN fails too: it would pass both range comparisons
    // and the row-sum check, and spoil every state from the next step on.
    if (!(probability >= 0 && probability <= 1)) abort(messages::invalidProbability);
    return probability;
}

Pmf* confirmServiceDurationPmf(Pmf* pmf) {
    // A converted Pmf's window starts at its smallest value of positive
    // probability, so an offset of 0 is a service of no duration.
    if (confirmSimplePmf(pmf)->simple.offset <= 0) abort(messages::invalidServiceDuration);
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
    SimpleAccumulator accumulator(&self->header);
    SamplingStack stack(2);
    forEachInSupport(_p1, [&](Int x, Real probX) {
        stack.set(0, probX);
        forEachInSupport(_p2, [&](Int y, Real probY) {
            stack.branch(1, probY);
            const Real weight = stack.branchProbability(1);
            accumulator.putSingle(weight, countOf(weight, static_cast<long long>(x) + y));
        });
    });
    return accumulator.toPmf();
}

Pmf* _StandardNetworkMultiserver_flow(Object* self, Int _sourceNodeIndex,
                                      Int _destinationNodeIndex) {
    NodeTerms source(self, _sourceNodeIndex);
    return flowFrom(source, routingProbability(self, _sourceNodeIndex, _destinationNodeIndex));
}

Pmf* _StandardNetworkMultiserver_relabel(Object* self, Int _nodeIndex, Int _z) {
    return relabelRemainingTime(&self->header, lookup(self->_internalState, _nodeIndex), _z);
}

Pmf* _StandardNetworkMultiserver_partialNavroMapAtNode(Object* self, Int _nodeIndex,
                                                       Pmf* _internalFlowIn) {
    NodeTerms node(self, _nodeIndex);
    Pmf* arrivals = _StandardNetworkMultiserver_convolution(
        self, lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex), _internalFlowIn);
    RoutedCounts returning(&self->header, routingProbability(self, _nodeIndex, _nodeIndex));
    return partialMap(node, arrivals, returning);
}

Pmf* _StandardNetworkMultiserver_navroMapAtNode(Object* self, Int _nodeIndex,
                                                Pmf* _internalFlowIn, Int _leftTail,
                                                Int _rightTail) {
    NodeTerms node(self, _nodeIndex);
    Pmf* arrivals = _StandardNetworkMultiserver_convolution(
        self, lookup(self->_numberOfExternalArrivalsPmfs, _nodeIndex), _internalFlowIn);
    RoutedCounts returning(&self->header, routingProbability(self, _nodeIndex, _nodeIndex));
    return fullMap(node, arrivals, lookup(self->_serviceDurationPmfs, _nodeIndex), returning,
                   _leftTail, _rightTail);
}

void _StandardNetworkMultiserver_step(Object* self) {
    NObject* obj = &self->header;
    const Int n = numberOfNodes(self);
    PmfArray* flowIn = createPmfArray(obj, createSimplePmfConfig(obj), n);
    confirmRouting(self, n);

    // Every flow is taken from the states before the step. The terms of each
    // node are kept for its own map below, which reads the same old state.
    std::vector<NodeTerms> nodes;
    nodes.reserve(static_cast<std::size_t>(n));
    for (Int s = 0; s < n; ++s) {
        nodes.emplace_back(self, s);
        for (Int d = 0; d < n; ++d) {
            if (d == s) continue;
            Pmf* flow = flowFrom(nodes.back(), routingProbability(self, s, d));
            lookup(flowIn, d) = _StandardNetworkMultiserver_convolution(self, lookup(flowIn, d), flow);
        }
    }

    // All new states are complete before the first is stored, so a node that
    // fails leaves every node, and the clock, as they were.
    std::vector<Pmf*> next(static_cast<std::size_t>(n), nullptr);
    const Real epsilon = tolerance / checkDenominator(2.0);
    for (Int i = 0; i < n; ++i) {
        NodeTerms& node = nodes[static_cast<std::size_t>(i)];
        Pmf* arrivals = _StandardNetworkMultiserver_convolution(
            self, lookup(self->_numberOfExternalArrivalsPmfs, i), lookup(flowIn, i));
        // Both passes share the arrivals and the counts routed back.
        RoutedCounts returning(obj, routingProbability(self, i, i));
        Pmf* p = partialMap(node, arrivals, returning);
        const Int leftTail = computeLeftTail(p, epsilon);
        const Int rightTail = computeRightTail(p, epsilon);
        next[static_cast<std::size_t>(i)] = fullMap(
            node, arrivals, lookup(self->_serviceDurationPmfs, i), returning, leftTail, rightTail);
    }
    for (Int i = 0; i < n; ++i) lookup(self->_internalState, i) = next[static_cast<std::size_t>(i)];
    self->_time = nextClock(self->_time);
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
                                                             Int _startOfRange,
                                                             Int _endOfRange) {
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
    if (_numberOfEntitiesAtNode < 0) abort(messages::invalidNumberOfEntities);
    Pmf*& entry = lookup(self->_internalState, _nodeIndex);
    entry = _StandardNetworkMultiserver_resetMapAtNode(self, _nodeIndex, _numberOfEntitiesAtNode);
}
