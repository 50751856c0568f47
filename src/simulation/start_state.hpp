#pragma once

#include "pmf/pmf.hpp"
#include "simulation/plan.hpp"

namespace simulation {

// The start of a node from a model's (z, ell) state: the number present
// drawn from the marginal, and each of the min(z, servers) busy servers'
// remaining times drawn on its own from the state's distribution of ell
// given z. A count below 0, or a remaining time below 1 that a busy server
// could draw, raises "Negative integer in pmf support".
StartNode startFromState(Pmf* state, Int servers);

}  // namespace simulation
