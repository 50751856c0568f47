// Recorded runs of both models: one loop that steps, collects and records,
// over a view of what the two models share (per node: a (z, ell) state and
// a server count).
#include "models/trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "models/station_maps.hpp"
#include "pmf/arrays.hpp"
#include "runtime/buffer.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"
#include "runtime/interruption.hpp"

namespace {
// Room for `count` more cells, taken at once; "Out of memory" when the heap
// cannot give them.
template <typename T>
void reserveCells(HeapVector<T>& cells, long long count) {
    if (count < 0 || static_cast<unsigned long long>(count) > cells.max_size()) abortOutOfMemory();
    cells.reserve(static_cast<std::size_t>(count));
}
}  // namespace

Recording::Recording(Int _nodes, long long rows, long long width, Int _horizon)
    : nodes(_nodes), horizon(_horizon), arrivalCells(WaitLayout::length(_horizon)) {
    // Products of counts that fit in 32 bits each cannot overflow 64 bits.
    const long long entries = rows * nodes;
    reserveCells(completions, entries);
    // The waits' working vectors span the horizon.
    if (arrivalCells > maximumHeapCells / 4) abortOutOfMemory();
    if (entries > (1LL << 62) / arrivalCells) abortOutOfMemory();
    reserveCells(arrivals, entries * arrivalCells);
    tail.assign(static_cast<std::size_t>(nodes * arrivalCells), 0.0);
    limitsTail.assign(static_cast<std::size_t>(nodes * LimitLayout::length), 0.0);
    reserveCells(offsets, entries);
    reserveCells(lengths, entries);
    if (width > 0 && entries > (1LL << 62) / width) abortOutOfMemory();
    reserveCells(values, entries * width);
}

void Recording::addEntry(const Pmf* marginal, Real completionsOfStep, const Real* arrivalSums) {
    const int length = marginal->simple.length;
    arrivals.insert(arrivals.end(), arrivalSums, arrivalSums + arrivalCells);
    offsets.push_back(marginal->simple.offset);
    lengths.push_back(length);
    values.insert(values.end(), marginal->simple.elements, marginal->simple.elements + length);
    completions.push_back(completionsOfStep);
    widest = std::max<long long>(widest, length);
}

void Recording::addEntry(Int offset, const Real* probabilities, int length, Real completionsOfStep,
                         const Real* arrivalSums) {
    int low = 0;
    int high = length;
    while (low < high && probabilities[low] == 0.0) ++low;
    while (high > low && probabilities[high - 1] == 0.0) --high;
    arrivals.insert(arrivals.end(), arrivalSums, arrivalSums + arrivalCells);
    offsets.push_back(high > low ? offset + low : 0);
    lengths.push_back(high - low);
    values.insert(values.end(), probabilities + low, probabilities + high);
    completions.push_back(completionsOfStep);
    widest = std::max<long long>(widest, high - low);
}

void Recording::copyWindows(Int* firstCounts, Real* cells) const {
    const auto width = static_cast<std::size_t>(widest);
    std::fill(cells, cells + width * offsets.size(), 0.0);
    const Real* source = values.data();
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        firstCounts[k] = offsets[k];
        std::copy(source, source + lengths[k], cells + k * width);
        source += lengths[k];
    }
}

long long recordedRows(Int steps, Int every, Int start) {
    if (steps < 0 || every < 1 || start < 0) return 0;
    // The multiples of `every` in (start, start + steps], and the start itself
    // when the call begins the run.
    const long long last = static_cast<long long>(start) + steps;
    return last / every - start / every + (start == 0 ? 1 : 0);
}

Real expectedAbandonments(Pmf* state, Int servers, Real abandonment) {
    if (!(abandonment > 0)) return 0.0;
    Real waiting = 0.0;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        waiting += probZ * static_cast<Real>(z - std::min(z, servers));
    });
    return waiting * abandonment;
}

Real expectedCompletions(Pmf* state, Int servers) {
    Real total = 0.0;
    forEachInSupport(lookupMarginalPmf(state), [&](Int z, Real probZ) {
        const Int busy = std::min(z, servers);
        if (busy <= 0) return;
        // Clamped as the binomial of the step clamps its probability.
        const Real q = std::clamp(lookupProbability(lookupConditionalPmf1(state, z), 1), 0.0, 1.0);
        total += probZ * (busy * q);
    });
    return total;
}

namespace {

// What the recording loop needs of a model: per node its (z, ell) state,
// its servers, and what the waits of its arrivals depend on in the step just
// taken (`arrivalInputs`, called after the step with the state before it).
struct StationView {
    _StandardMultiserver_object* self;
    Int nodes() const { return 1; }
    Pmf* state(Int) const { return self->_internalState; }
    Int servers(Int) const { return self->_numberOfServers; }
    void step() const { _StandardMultiserver_step(self); }
    ArrivalInputs arrivalInputs(Int, Pmf* before) const {
        return {before,
                self->_numberOfServers,
                probabilitiesOf(self->_numberOfArrivalsPmf),
                0.0,
                self->_serviceDurationPmf,
                self->_abandonmentProbability,
                self->_capacity};
    }
    Real abandonment(Int) const { return self->_abandonmentProbability; }
    Real blocked(Int) const { return _StandardMultiserver_lastBlocked(self); }
};

struct NetworkView {
    _StandardNetworkMultiserver_object* self;
    Int nodes() const { return self->_numberOfServers->length; }
    Pmf* state(Int node) const { return lookup(self->_internalState, node); }
    Int servers(Int node) const { return lookup(self->_numberOfServers, node); }
    void step() const { _StandardNetworkMultiserver_step(self); }
    ArrivalInputs arrivalInputs(Int node, Pmf* before) const {
        return {before,
                servers(node),
                _StandardNetworkMultiserver_lastArrivalsAtNode(self, node),
                lookupRoutingProbability(self->_routingProbabilities, node, node),
                lookup(self->_serviceDurationPmfs, node),
                abandonment(node),
                lookup(self->_capacities, node)};
    }
    Real abandonment(Int node) const { return lookup(self->_abandonmentProbabilities, node); }
    Real blocked(Int node) const {
        return _StandardNetworkMultiserver_lastBlockedAtNode(self, node);
    }
};

template <typename View>
Recording recordRun(const View& model, NObject* obj, Checkpoint checkpoint, Int steps, Int every,
                    Int start, Int horizon) {
    if (steps < 0 || every < 1 || start < 0) navro::abort(messages::invalidValue);
    const Int nodes = model.nodes();
    long long width = 0;
    for (Int i = 0; i < nodes; ++i)
        width = std::max<long long>(width, lookupMarginalPmf(model.state(i))->simple.length);
    Recording recording(nodes, recordedRows(steps, every, start), width, horizon);
    const auto cells = static_cast<std::size_t>(recording.arrivalCells);
    // Completions belong to a step, so they are taken from the state before
    // it; a row that no step ended at has none. The arrivals of the steps
    // since the last row are summed in `recording.tail` until the next.
    HeapVector<Real> completions(static_cast<std::size_t>(nodes),
                                 std::numeric_limits<Real>::quiet_NaN());
    HeapVector<Pmf*> before(static_cast<std::size_t>(nodes), nullptr);
    HeapVector<Real>& arrivals = recording.tail;
    HeapVector<Real>& limits = recording.limitsTail;
    auto limitsOf = [&](Int i) {
        return limits.data() + static_cast<std::size_t>(i) * LimitLayout::length;
    };
    ArrivalWaits waits(horizon);
    auto recordRow = [&] {
        for (Int i = 0; i < nodes; ++i) {
            recording.addEntry(lookupMarginalPmf(model.state(i)),
                               completions[static_cast<std::size_t>(i)],
                               arrivals.data() + static_cast<std::size_t>(i) * cells);
            recording.addLimits(limitsOf(i));
        }
        std::fill(arrivals.begin(), arrivals.end(), 0.0);
        std::fill(limits.begin(), limits.end(), 0.0);
    };
    if (start == 0) recordRow();
    const long long last = static_cast<long long>(start) + steps;
    for (long long g = static_cast<long long>(start) + 1; g <= last; ++g) {
        const bool recorded = g % every == 0;
        for (Int i = 0; i < nodes; ++i) {
            before[static_cast<std::size_t>(i)] = model.state(i);
            limitsOf(i)[LimitLayout::abandonments] +=
                expectedAbandonments(model.state(i), model.servers(i), model.abandonment(i));
        }
        if (recorded)
            for (Int i = 0; i < nodes; ++i)
                completions[static_cast<std::size_t>(i)] =
                    expectedCompletions(model.state(i), model.servers(i));
        model.step();
        // The state before the step and what the step drew from are still
        // there: nothing is collected before the checkpoint.
        for (Int i = 0; i < nodes; ++i) {
            waits.add(i, model.arrivalInputs(i, before[static_cast<std::size_t>(i)]),
                      arrivals.data() + static_cast<std::size_t>(i) * cells, limitsOf(i));
            limitsOf(i)[LimitLayout::blocked] += model.blocked(i);
        }
        checkpoint(obj);
        if (recorded) recordRow();
        interruptionPoint(nodes);  // the step's own points may be too few to check
    }
    return recording;
}

}  // namespace

Recording _StandardMultiserver_record(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                      Int steps, Int every, Int start, Int horizon) {
    return recordRun(StationView{self}, &self->header, checkpoint, steps, every, start, horizon);
}

Recording _StandardNetworkMultiserver_record(_StandardNetworkMultiserver_object* self,
                                             Checkpoint checkpoint, Int steps, Int every, Int start,
                                             Int horizon) {
    return recordRun(NetworkView{self}, &self->header, checkpoint, steps, every, start, horizon);
}
