#include "exact/model_chain.hpp"

#include <algorithm>
#include <limits>

#include "models/station_maps.hpp"
#include "pmf/accumulator.hpp"
#include "pmf/arrays.hpp"
#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"

namespace {

HeapVector<Real> windowOf(const Pmf* pmf) {
    return HeapVector<Real>(pmf->simple.elements, pmf->simple.elements + pmf->simple.length);
}

NodeSettings nodeSettings(Int servers, const Pmf* arrivals, const Pmf* durations, Real abandonment,
                          Int capacity) {
    NodeSettings node;
    node.servers = servers;
    node.abandonment = abandonment;
    node.capacity = capacity;
    node.arrivalsOffset = arrivals->simple.offset;
    node.arrivals = windowOf(arrivals);
    node.durationsOffset = durations->simple.offset;
    node.durations = windowOf(durations);
    return node;
}

bool hasMassAtZero(const Pmf* pmf) {
    return pmf->simple.offset == 0 && pmf->simple.length > 0 && pmf->simple.elements[0] > 0;
}

// What the run needs of a model, over both types.
struct StationView {
    _StandardMultiserver_object* self;
    NObject* obj() const { return &self->header; }
    Int nodes() const { return 1; }
    Pmf* state(Int) const { return self->_internalState; }
    Pmf* durations(Int) const { return self->_serviceDurationPmf; }
    ChainSettings settings() const { return stationSettings(self); }
    void store(Pmf** states) const { self->_internalState = states[0]; }
    Int& time() const { return self->_time; }
};

struct NetworkView {
    _StandardNetworkMultiserver_object* self;
    NObject* obj() const { return &self->header; }
    Int nodes() const { return self->_numberOfServers->length; }
    Pmf* state(Int node) const { return lookup(self->_internalState, node); }
    Pmf* durations(Int node) const { return lookup(self->_serviceDurationPmfs, node); }
    ChainSettings settings() const { return networkSettings(self); }
    void store(Pmf** states) const {
        for (Int i = 0; i < nodes(); ++i) lookup(self->_internalState, i) = states[i];
    }
    Int& time() const { return self->_time; }
};

// One node's part of a start state: its digits and their probability.
struct Part {
    HeapVector<Digit> digits;  // waiting, then busy by remaining time 1 .. width
    Real probability;
};

// The largest remaining time that a busy server of the node's state can have.
int longestRemaining(Pmf* state, Int servers) {
    int longest = 0;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real) {
        if (std::min(z, servers) <= 0) return;
        const Pmf* conditional = lookupConditionalPmf1(state, z);
        forEachInSupport(conditional, [&](Int ell, Real) { longest = std::max(longest, ell); });
    });
    return longest;
}

// The node's start: per count z, min(z, c) busy servers whose remaining
// times are independent draws from the state's ell given z.
HeapVector<Part> startParts(Pmf* state, Int servers, int width, long long limit) {
    HeapVector<Part> parts;
    LogFactorials logFactorial;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        const Int busy = std::min(z, servers);
        Part part{HeapVector<Digit>(static_cast<std::size_t>(width) + 1, 0), probZ};
        if (static_cast<long long>(z) - busy > largestDigit) navro::abort(messages::tooManyStates);
        part.digits[0] = static_cast<Digit>(z - busy);
        if (busy <= 0) {
            parts.push_back(std::move(part));
            return;
        }
        HeapVector<Int> values;
        HeapVector<Real> probabilities;
        forEachInSupport(lookupConditionalPmf1(state, z), [&](Int ell, Real p) {
            // A service under way ends in some step to come.
            if (ell < 1) navro::abort(messages::negativeIntegerInSupport);
            values.push_back(ell);
            probabilities.push_back(p);
        });
        if (values.empty()) abortInternal();
        HeapVector<Digit> counts;
        HeapVector<Real> weights;
        fillMultinomial(busy, probabilities.data(), static_cast<int>(values.size()), limit,
                        logFactorial, counts, weights);
        for (std::size_t j = 0; j < weights.size(); ++j) {
            Part drawn{part.digits, probZ * weights[j]};
            for (std::size_t v = 0; v < values.size(); ++v)
                drawn.digits[static_cast<std::size_t>(values[v])] = counts[j * values.size() + v];
            parts.push_back(std::move(drawn));
            interruptionPoint(width);
        }
        if (static_cast<long long>(parts.size()) > limit) navro::abort(messages::tooManyStates);
    });
    return parts;
}

// The nodes are independent at the start: the chain starts from the
// product of their parts.
template <typename View>
void startFromModel(const View& model, ExactChain& chain, const ChainSettings& settings,
                    long long limit) {
    const Int nodes = model.nodes();
    HeapVector<int> widths(static_cast<std::size_t>(nodes));
    long long digits = 0;
    for (Int n = 0; n < nodes; ++n) {
        const NodeSettings& node = settings.nodes[static_cast<std::size_t>(n)];
        const int width =
            std::max({1, node.longestDuration(), longestRemaining(model.state(n), node.servers)});
        widths[static_cast<std::size_t>(n)] = width;
        digits += 1 + width;
    }
    if (digits > longestChainDigits) navro::abort(messages::tooManyStates);
    HeapVector<HeapVector<Part>> parts;
    for (Int n = 0; n < nodes; ++n)
        parts.push_back(startParts(model.state(n),
                                   settings.nodes[static_cast<std::size_t>(n)].servers,
                                   widths[static_cast<std::size_t>(n)], limit));
    chain.beginStart(widths);
    const ChainLayout& layout = chain.layout();
    HeapVector<Digit> key(static_cast<std::size_t>(layout.stride), 0);
    auto combine = [&](auto&& self, Int n, Real probability) -> void {
        if (n == nodes) {
            chain.addStart(key.data(), probability);
            return;
        }
        for (const Part& part : parts[static_cast<std::size_t>(n)]) {
            std::copy(part.digits.begin(), part.digits.end(),
                      key.begin() + layout.first[static_cast<std::size_t>(n)]);
            self(self, n + 1, probability * part.probability);
        }
    };
    combine(combine, 0, 1.0);
    chain.finishStart();
}

// The chain's state as one (z, ell) state per node.
template <typename View>
void storeProjection(const View& model, const ExactChain& chain) {
    NObject* obj = model.obj();
    const Int nodes = model.nodes();
    const ChainLayout& layout = chain.layout();
    HeapVector<Pmf*> states(static_cast<std::size_t>(nodes));
    for (Int n = 0; n < nodes; ++n) {
        const int at = layout.first[static_cast<std::size_t>(n)];
        const int width = layout.width[static_cast<std::size_t>(n)];
        Pmf* durations = model.durations(n);
        JointAccumulator accumulator(obj, 2);
        chain.forEachState([&](const Digit* key, Real p) {
            long long busy = 0;
            for (int r = 1; r <= width; ++r) busy += key[at + r];
            const Int z = static_cast<Int>(key[at] + busy);
            if (busy == 0) {
                forEachInSupport(durations, [&](Int ell, Real pEll) {
                    accumulator.putDouble(p * pEll, z, ell);
                });
                return;
            }
            for (int r = 1; r <= width; ++r)
                if (key[at + r] > 0)
                    accumulator.putDouble(p * (static_cast<Real>(key[at + r]) / busy), z, r);
        });
        states[static_cast<std::size_t>(n)] = accumulator.toPmf();
    }
    model.store(states.data());
}

// E[arrivals from outside] at each node.
HeapVector<Real> meanArrivals(const ChainSettings& settings) {
    HeapVector<Real> means;
    for (const NodeSettings& node : settings.nodes) {
        Real mean = 0.0;
        for (std::size_t k = 0; k < node.arrivals.size(); ++k)
            mean += node.arrivals[k] * (node.arrivalsOffset + static_cast<Real>(k));
        means.push_back(mean);
    }
    return means;
}

template <typename View>
Recording recordExact(const View& model, Checkpoint checkpoint, ExactChain& chain, Int steps,
                      Int every, Int start, Int horizon) {
    if (steps < 0 || every < 1 || start < 0) navro::abort(messages::invalidValue);
    const ChainSettings settings = model.settings();
    if (!chain.started()) startFromModel(model, chain, settings, chain.stateLimit());
    chain.useSettings(settings);
    if (chain.layout().stride > longestChainDigits) navro::abort(messages::tooManyStates);

    const Int nodes = model.nodes();
    const auto perNode = static_cast<std::size_t>(nodes);
    Recording recording(nodes, recordedRows(steps, every, start), 0, horizon);
    const auto cells = static_cast<std::size_t>(recording.arrivalCells);
    const HeapVector<Real> external = meanArrivals(settings);
    HeapVector<Real> completions(perNode, std::numeric_limits<Real>::quiet_NaN());
    HeapVector<Real> ends(perNode);
    // The losses since the last row, per node.
    HeapVector<Real> blocked(perNode, 0.0);
    HeapVector<Real> abandoned(perNode, 0.0);
    HeapVector<Real> present;
    // The arrivals since the last row, per node; their waits stay NaN.
    HeapVector<Real>& arrivals = recording.tail;
    auto clearArrivals = [&] {
        for (std::size_t n = 0; n < perNode; ++n) {
            arrivals[n * cells] = 0.0;
            std::fill(arrivals.begin() + static_cast<std::ptrdiff_t>(n * cells + 1),
                      arrivals.begin() + static_cast<std::ptrdiff_t>((n + 1) * cells),
                      std::numeric_limits<Real>::quiet_NaN());
        }
    };
    auto recordRow = [&] {
        for (Int n = 0; n < nodes; ++n) {
            chain.presentDistribution(n, present);
            recording.addEntry(0, present.data(), static_cast<int>(present.size()),
                               completions[static_cast<std::size_t>(n)],
                               arrivals.data() + static_cast<std::size_t>(n) * cells);
            recording.blocked.push_back(blocked[static_cast<std::size_t>(n)]);
            recording.abandonments.push_back(abandoned[static_cast<std::size_t>(n)]);
        }
        recording.dropped.push_back(chain.dropped());
        clearArrivals();
        std::fill(blocked.begin(), blocked.end(), 0.0);
        std::fill(abandoned.begin(), abandoned.end(), 0.0);
    };
    clearArrivals();
    if (start == 0) recordRow();
    const long long last = static_cast<long long>(start) + steps;
    for (long long g = static_cast<long long>(start) + 1; g <= last; ++g) {
        // What ends in the step comes from the state before it: the
        // completions of a recorded step, and the entities routed on.
        chain.prepare();
        for (Int n = 0; n < nodes; ++n) {
            const auto at = static_cast<std::size_t>(n);
            ends[at] = chain.expectedEnds(n);
            blocked[at] += chain.expectedFlow(blockedFlow, n);
            abandoned[at] += chain.expectedFlow(abandonedFlow, n);
        }
        for (Int d = 0; d < nodes; ++d) {
            Real in = external[static_cast<std::size_t>(d)];
            for (Int s = 0; s < nodes; ++s)
                in += ends[static_cast<std::size_t>(s)] * settings.route(s, d);
            arrivals[static_cast<std::size_t>(d) * cells] += in;
        }
        if (g % every == 0) completions = ends;
        chain.step();
        if (g % every == 0) recordRow();
    }
    storeProjection(model, chain);
    Int& time = model.time();
    time = static_cast<Int>(static_cast<std::uint32_t>(time) + static_cast<std::uint32_t>(steps));
    checkpoint(model.obj());
    return recording;
}

}  // namespace

ChainSettings stationSettings(_StandardMultiserver_object* self) {
    if (self->_numberOfServers < 0) navro::abort(messages::invalidNumberOfServers);
    if (hasMassAtZero(self->_serviceDurationPmf)) navro::abort(messages::invalidServiceDuration);
    ChainSettings settings;
    settings.nodes.push_back(nodeSettings(self->_numberOfServers, self->_numberOfArrivalsPmf,
                                          self->_serviceDurationPmf, self->_abandonmentProbability,
                                          self->_capacity));
    settings.routing.push_back(0.0);
    return settings;
}

ChainSettings networkSettings(_StandardNetworkMultiserver_object* self) {
    const Int n = self->_numberOfServers->length;
    // The chain keeps the whole routing table, N * N probabilities: beyond
    // this many nodes it would take gigabytes before the first state is
    // counted.
    if (n > 4096) abortOutOfMemory();
    ChainSettings settings;
    // Checked as the step checks them: row sums in column order, no
    // tolerance, before anything else. The entries between the routes are 0.
    settings.routing.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
    for (Int s = 0; s < n; ++s) {
        Real sum = 0.0;
        for (const Route& route : routesOf(lookup(self->_routingProbabilities, s))) {
            sum += route.probability;
            settings.routing[static_cast<std::size_t>(s) * static_cast<std::size_t>(n) +
                             static_cast<std::size_t>(route.destination)] = route.probability;
        }
        if (sum > 1) navro::abort(messages::invalidRoutingProbabilities);
    }
    if (self->_internalState->length < n) navro::abort(messages::lookupIndexOutOfRange);
    for (Int i = 0; i < n; ++i)
        settings.nodes.push_back(nodeSettings(
            lookup(self->_numberOfServers, i), lookup(self->_numberOfExternalArrivalsPmfs, i),
            lookup(self->_serviceDurationPmfs, i), lookup(self->_abandonmentProbabilities, i),
            lookup(self->_capacities, i)));
    return settings;
}

Recording _StandardMultiserver_recordExact(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                           ExactChain& chain, Int steps, Int every, Int start,
                                           Int horizon) {
    return recordExact(StationView{self}, checkpoint, chain, steps, every, start, horizon);
}

Recording _StandardNetworkMultiserver_recordExact(_StandardNetworkMultiserver_object* self,
                                                  Checkpoint checkpoint, ExactChain& chain,
                                                  Int steps, Int every, Int start, Int horizon) {
    return recordExact(NetworkView{self}, checkpoint, chain, steps, every, start, horizon);
}
