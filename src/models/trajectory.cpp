// Recorded runs of both models: one loop that steps, collects and records,
// over a view of what the two models share (per node: a (z, ell) state and
// a server count).
#include "models/trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "models/station_maps.hpp"
#include "pmf/arrays.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"
#include "runtime/interruption.hpp"

void Recording::addEntry(const Pmf* marginal, Real completionsOfStep) {
    const int length = marginal->simple.length;
    offsets.push_back(marginal->simple.offset);
    lengths.push_back(length);
    values.insert(values.end(), marginal->simple.elements, marginal->simple.elements + length);
    completions.push_back(completionsOfStep);
}

void Recording::addEntry(Int offset, int length, const Real* elements, Real completionsOfStep) {
    offsets.push_back(offset);
    lengths.push_back(length);
    values.insert(values.end(), elements, elements + length);
    completions.push_back(completionsOfStep);
}

Int Recording::lowestCount() const {
    Int lowest = std::numeric_limits<Int>::max();
    for (std::size_t k = 0; k < offsets.size(); ++k)
        if (lengths[k] > 0) lowest = std::min(lowest, offsets[k]);
    return lowest == std::numeric_limits<Int>::max() ? 0 : lowest;
}

long long Recording::countSpan() const {
    long long end = 0;
    for (std::size_t k = 0; k < offsets.size(); ++k)
        if (lengths[k] > 0) end = std::max(end, static_cast<long long>(offsets[k]) + lengths[k]);
    return std::max(0LL, end - lowestCount());
}

void Recording::copyProbabilities(Real* out) const {
    const Int low = lowestCount();
    const auto span = static_cast<std::size_t>(countSpan());
    std::fill(out, out + span * offsets.size(), 0.0);
    const Real* source = values.data();
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        std::copy(source, source + lengths[k], out + k * span + (offsets[k] - low));
        source += lengths[k];
    }
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

// What the recording loop needs of a model.
struct StationView {
    _StandardMultiserver_object* self;
    Int nodes() const { return 1; }
    Pmf* state(Int) const { return self->_internalState; }
    Int servers(Int) const { return self->_numberOfServers; }
    void step() const { _StandardMultiserver_step(self); }
};

struct NetworkView {
    _StandardNetworkMultiserver_object* self;
    Int nodes() const { return self->_numberOfServers->length; }
    Pmf* state(Int node) const { return lookup(self->_internalState, node); }
    Int servers(Int node) const { return lookup(self->_numberOfServers, node); }
    void step() const { _StandardNetworkMultiserver_step(self); }
};

template <typename View>
Recording recordRun(const View& model, NObject* obj, Checkpoint checkpoint, Int steps, Int every,
                    Int start) {
    if (steps < 0 || every < 1 || start < 0) navro::abort(messages::invalidValue);
    const Int nodes = model.nodes();
    Recording recording(nodes);
    // Completions belong to a step, so they are taken from the state before
    // it; a row that no step ended at has none.
    HeapVector<Real> completions(static_cast<std::size_t>(nodes),
                                 std::numeric_limits<Real>::quiet_NaN());
    auto recordRow = [&] {
        for (Int i = 0; i < nodes; ++i)
            recording.addEntry(lookupMarginalPmf(model.state(i)),
                               completions[static_cast<std::size_t>(i)]);
    };
    if (start == 0) recordRow();
    const long long last = static_cast<long long>(start) + steps;
    for (long long g = static_cast<long long>(start) + 1; g <= last; ++g) {
        const bool recorded = g % every == 0;
        if (recorded)
            for (Int i = 0; i < nodes; ++i)
                completions[static_cast<std::size_t>(i)] =
                    expectedCompletions(model.state(i), model.servers(i));
        model.step();
        checkpoint(obj);
        if (recorded) recordRow();
        interruptionPoint(nodes);  // the step's own points may be too few to check
    }
    return recording;
}

}  // namespace

Recording _StandardMultiserver_record(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                      Int steps, Int every, Int start) {
    return recordRun(StationView{self}, &self->header, checkpoint, steps, every, start);
}

Recording _StandardNetworkMultiserver_record(_StandardNetworkMultiserver_object* self,
                                             Checkpoint checkpoint, Int steps, Int every,
                                             Int start) {
    return recordRun(NetworkView{self}, &self->header, checkpoint, steps, every, start);
}
