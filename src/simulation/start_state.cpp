#include "simulation/start_state.hpp"

#include <algorithm>

#include "runtime/errors.hpp"

namespace simulation {

namespace {

// The values and weights of a SIMPLE Pmf's window.
struct Listing {
    HeapVector<Int> values;
    HeapVector<Real> weights;
};

Listing listingOf(const Pmf* pmf) {
    if (pmf == nullptr || pmf->pmfType != SIMPLE) abortInternal();
    Listing listing;
    for (int k = 0; k < pmf->simple.length; ++k) {
        if (!(pmf->simple.elements[k] > 0)) continue;
        listing.values.push_back(static_cast<Int>(pmf->simple.offset + k));
        listing.weights.push_back(pmf->simple.elements[k]);
    }
    return listing;
}

}  // namespace

StartNode startFromState(Pmf* state, Int servers) {
    if (servers < 0) navro::abort(messages::invalidNumberOfServers);
    const Listing counts = listingOf(lookupMarginalPmf(state));
    StartNode start;
    start.servers = servers;
    HeapVector<Int> indexes;
    for (std::size_t k = 0; k < counts.values.size(); ++k) {
        const Int z = counts.values[k];
        if (z < 0) navro::abort(messages::negativeIntegerInSupport);
        const Listing remaining = listingOf(lookupConditionalPmf1(state, z));
        const bool drawn = std::min(z, servers) > 0;
        if (drawn && !remaining.values.empty() && remaining.values.front() < 1)
            navro::abort(messages::negativeIntegerInSupport);
        start.counts.push_back(z);
        start.remaining.push_back(drawn ? Sampler(remaining.values.data(), remaining.weights.data(),
                                                  remaining.values.size())
                                        : Sampler());
        indexes.push_back(static_cast<Int>(k));
    }
    start.which = Sampler(indexes.data(), counts.weights.data(), indexes.size());
    return start;
}

}  // namespace simulation
