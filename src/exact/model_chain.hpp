#pragma once

#include "exact/chain.hpp"
#include "models/standard_multiserver.hpp"
#include "models/standard_network_multiserver.hpp"
#include "models/trajectory.hpp"

// Exact runs of the two models: the chain takes its settings from the
// model's fields, as a step would (and refuses what a step refuses), and at
// its first use starts from the model's state. Each node's (z, ell) state
// is read as z present, min(z, servers) of them in service, each busy
// server's remaining time drawn independently from the state's distribution
// of ell given z, and the others waiting.
//
// `steps` steps are taken and recorded as the maps' recorded run does (the
// rows at the multiples of `every`, counting `start` steps taken before;
// row 0 when `start` is 0), each row with the mass the chain has dropped up
// to it. The arrivals of the steps are the chain's expected arrivals at each
// node, from outside and routed in; their waits, which the chain does not
// follow, are NaN (the layout of `horizon`). The arrivals blocked and the
// entities that gave up are the chain's expectations too. At the end the model holds the
// chain's state, read back as a (z,
// ell) state (per z, the remaining time of a busy server chosen at random;
// a service's duration where no server is busy), and its clock has moved
// on by `steps`. A run that fails or is interrupted leaves the model as it
// was and the chain at its last whole step.
Recording _StandardMultiserver_recordExact(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                           ExactChain& chain, Int steps, Int every, Int start,
                                           Int horizon);
Recording _StandardNetworkMultiserver_recordExact(_StandardNetworkMultiserver_object* self,
                                                  Checkpoint checkpoint, ExactChain& chain,
                                                  Int steps, Int every, Int start, Int horizon);

// The chain's settings from a model's fields, with the checks of its step.
ChainSettings stationSettings(_StandardMultiserver_object* self);
ChainSettings networkSettings(_StandardNetworkMultiserver_object* self);

// Longest service, in steps, across which the chain keeps remaining times:
// a state's key holds one count per remaining time and node.
inline constexpr int longestChainDigits = 1024;
