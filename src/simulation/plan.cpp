#include "simulation/plan.hpp"

#include <limits>

#include "runtime/errors.hpp"

namespace simulation {

long long Plan::totalSteps() const {
    long long total = 0;
    for (const PeriodSettings& period : periods) total += period.steps;
    return total;
}

namespace {

bool anyWeightBelow(Int least, const Int* values, const Real* weights, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k)
        if (weights[k] > 0 && values[k] < least) return true;
    return false;
}

// Where an entity goes when its service ends: node d with the row's entry
// d, out of the network with what the row leaves over.
Sampler routingOf(const Real* row, std::size_t nodes) {
    Real sum = 0.0;
    for (std::size_t d = 0; d < nodes; ++d) {
        if (!(row[d] >= 0.0 && row[d] <= 1.0)) navro::abort(messages::invalidProbability);
        sum += row[d];
    }
    if (sum > 1.0) navro::abort(messages::invalidRoutingProbabilities);
    HeapVector<Int> places(nodes + 1);
    HeapVector<Real> weights(nodes + 1);
    for (std::size_t d = 0; d <= nodes; ++d) {
        places[d] = static_cast<Int>(d);
        weights[d] = d < nodes ? row[d] : 1.0 - sum;
    }
    return Sampler(places.data(), weights.data(), places.size());
}

}  // namespace

NodeSettings makeNodeSettings(Int servers, const Int* arrivalValues, const Real* arrivalWeights,
                              std::size_t arrivalCount, const Int* durationValues,
                              const Real* durationWeights, std::size_t durationCount,
                              const Real* routingRow, std::size_t nodes) {
    if (servers < 0) navro::abort(messages::invalidNumberOfServers);
    if (anyWeightBelow(0, arrivalValues, arrivalWeights, arrivalCount))
        navro::abort(messages::negativeIntegerInSupport);
    if (anyWeightBelow(1, durationValues, durationWeights, durationCount))
        navro::abort(messages::invalidServiceDuration);
    NodeSettings settings;
    settings.servers = servers;
    settings.arrivals = Sampler(arrivalValues, arrivalWeights, arrivalCount);
    settings.durations = Sampler(durationValues, durationWeights, durationCount);
    if (routingRow != nullptr && nodes > 0) {
        settings.routing = routingOf(routingRow, nodes);
        // A row of zeros sends everyone out: no draw is needed.
        settings.routes = !(settings.routing.isCertain() &&
                            settings.routing.certainValue() == static_cast<Int>(nodes));
    }
    return settings;
}

void limitNode(NodeSettings& settings, Real abandonment, long long capacity) {
    if (!(abandonment >= 0.0 && abandonment <= 1.0) || capacity < noCapacity ||
        capacity > std::numeric_limits<Int>::max())
        navro::abort(messages::invalidValue);
    settings.abandonment = abandonment;
    settings.capacity = capacity;
}

StartNode startWith(Int servers, Int present, const Int* remainingValues,
                    const Real* remainingWeights, std::size_t remainingCount) {
    if (servers < 0) navro::abort(messages::invalidNumberOfServers);
    if (present < 0) navro::abort(messages::invalidNumberOfEntities);
    if (anyWeightBelow(1, remainingValues, remainingWeights, remainingCount))
        navro::abort(messages::negativeIntegerInSupport);
    StartNode start;
    start.servers = servers;
    const Int index = 0;
    const Real one = 1.0;
    start.which = Sampler(&index, &one, 1);
    start.counts.push_back(present);
    start.remaining.push_back(Sampler(remainingValues, remainingWeights, remainingCount));
    return start;
}

void checkPlan(const Plan& plan) {
    if (plan.start.empty() || plan.runs < 1 || plan.every < 1 || plan.waitHorizon < 0 ||
        plan.threads < 1)
        navro::abort(messages::invalidValue);
    for (const StartNode& node : plan.start)
        if (node.servers < 0 || node.counts.empty() || node.counts.size() != node.remaining.size())
            navro::abort(messages::invalidValue);
    for (const PeriodSettings& period : plan.periods)
        if (period.steps < 1 || period.nodes.size() != plan.start.size())
            navro::abort(messages::invalidValue);
    if (plan.totalSteps() > std::numeric_limits<Int>::max()) navro::abort(messages::invalidValue);
}

}  // namespace simulation
