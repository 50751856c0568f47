"""A plain-Python model of a network of stations, written from the model's
rules, to check the extension's network number by number.

It works on the dict forms that navro takes and returns. A network is given
by per-node lists (states, servers, external arrivals, service durations) and
a square routing table. Like the single-station reference it is slow and
meant for small configurations.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Sequence
from dataclasses import dataclass, field

from reference_model import (
    TOLERANCE,
    Simple,
    State,
    binomial,
    conditional,
    entity_is_old,
    joint,
    marginal,
    normalise,
    relabel,
    tails,
    thinned,
)


class RoutingError(ValueError):
    """A routing row whose sum exceeds 1."""


@dataclass
class Network:
    states: list[State]
    servers: list[int]
    arrivals: list[Simple]
    durations: list[Simple]
    routing: list[list[float]]
    time: int = 0
    extra: list[State] = field(default_factory=list)
    # Per node; empty: none gives up and no node has a limit.
    patience: list[float] = field(default_factory=list)
    capacities: list[int | None] = field(default_factory=list)

    @classmethod
    def of(cls, model) -> Network:  # navro.StandardNetworkMultiserver
        n = model.get_number_of_nodes()
        states = model.internal_state
        return cls(
            states=states[:n],
            servers=[model.get_number_of_servers_at_node(i) for i in range(n)],
            arrivals=[model.get_number_of_external_arrivals_at_node_pmf(i) for i in range(n)],
            durations=[model.get_service_duration_at_node_pmf(i) for i in range(n)],
            routing=[[model.get_routing_probability(s, d) for d in range(n)] for s in range(n)],
            time=model.time,
            extra=states[n:],
            patience=[model.get_abandonment_probability_at_node(i) for i in range(n)],
            capacities=[model.get_capacity_at_node(i) for i in range(n)],
        )


def convolve(p: Simple, q: Simple) -> Simple:
    out: dict[int, float] = defaultdict(float)
    for x, px in p.items():
        for y, py in q.items():
            out[x + y] += px * py
    return normalise(out)


def completions(state: State, servers: int) -> Sequence[tuple[int, float, Simple]]:
    """(z, P(z), distribution of the services that end) for every count z."""
    out = []
    for z, pz in marginal(state).items():
        q = conditional(state, z).get(1, 0.0)
        out.append((z, pz, binomial(min(z, servers), q)))
    return out


def flow(state: State, servers: int, r: float) -> Simple:
    """Entities that end service at a node and are routed with probability r."""
    out: dict[int, float] = defaultdict(float)
    for _, pz, ends in completions(state, servers):
        for d, pd in ends.items():
            for phi, pphi in binomial(d, r).items():
                out[phi] += pz * pd * pphi
    return normalise(out)


def _branches(state: State, servers: int, r: float, arrivals: Simple, capacity: int | None):
    """Every (z, d, phi, a) of one node's step with its probability, from the
    state that abandonment thinned: of the phi + a that come only as many
    join as the capacity leaves room for."""
    for z, pz, ends in completions(state, servers):
        for d, pd in ends.items():
            m = z - d
            room = float("inf") if capacity is None else max(capacity - m, 0)
            for phi, pphi in binomial(d, r).items():
                for a, pa in arrivals.items():
                    yield z, d, m + min(phi + a, room), pz * pd * pphi * pa


def node_step(
    state: State,
    servers: int,
    arrivals: Simple,
    durations: Simple,
    r: float,
    patience: float = 0.0,
    capacity: int | None = None,
) -> State:
    nxt: dict[int, float] = defaultdict(float)
    state = thinned(state, servers, patience)
    for _, _, zprime, p in _branches(state, servers, r, arrivals, capacity):
        nxt[zprime] += p
    left, right = tails(normalise(nxt), TOLERANCE / 2)
    out: dict[tuple[int, int], float] = defaultdict(float)
    for z, d, zprime, p in _branches(state, servers, r, arrivals, capacity):
        if not left <= zprime <= right:
            continue
        if zprime == 0 or servers == 0:
            for ell, pl in durations.items():
                out[(zprime, ell)] += p * pl
            continue
        x = (min(z, servers) - d) / min(zprime, servers)
        for e, pe in entity_is_old(x).items():
            for ell, pl in (relabel(state, z) if e == 1 else durations).items():
                out[(zprime, ell)] += p * pe * pl
    return joint(out)


def step(net: Network) -> Network:
    n = len(net.servers)
    for row in net.routing:
        total = 0.0
        for value in row:
            total += value
        if total > 1:
            raise RoutingError(row)
    inflow: list[Simple] = [{0: 1.0} for _ in range(n)]
    # The flows leave from the states that abandonment thinned, as the nodes' own steps do.
    patience = net.patience or [0.0] * n
    for s in range(n):
        leaving = thinned(net.states[s], net.servers[s], patience[s])
        for d in range(n):
            if d != s:
                inflow[d] = convolve(inflow[d], flow(leaving, net.servers[s], net.routing[s][d]))
    states = [
        node_step(
            net.states[i],
            net.servers[i],
            convolve(net.arrivals[i], inflow[i]),
            net.durations[i],
            net.routing[i][i],
            net.patience[i] if net.patience else 0.0,
            net.capacities[i] if net.capacities else None,
        )
        for i in range(n)
    ]
    return Network(
        states,
        net.servers,
        net.arrivals,
        net.durations,
        net.routing,
        net.time + 1,
        net.extra,
        net.patience,
        net.capacities,
    )


def count_outcomes(net: Network, lefts: Sequence[int], rights: Sequence[int]) -> int:
    """Number of (z, d, phi, a, entity_is_old, ell') outcomes that the full
    maps of one step from `net` enumerate, given the kept range of every node."""
    from reference_model import _binomial_support

    n = len(net.servers)
    inflow: list[Simple] = [{0: 1.0} for _ in range(n)]
    for s in range(n):
        for d in range(n):
            if d != s:
                inflow[d] = convolve(
                    inflow[d], flow(net.states[s], net.servers[s], net.routing[s][d])
                )
    total = 0
    for i in range(n):
        state, c, r = net.states[i], net.servers[i], net.routing[i][i]
        a_values = sorted(convolve(net.arrivals[i], inflow[i]))
        n_durations = sum(1 for p in net.durations[i].values() if p > 0)
        for z in marginal(state):
            cond = conditional(state, z)
            busy = min(z, c)
            n_relabelled = sum(1 for ell in cond if ell != 1)
            for d in _binomial_support(busy, cond.get(1, 0.0)):
                for phi in _binomial_support(d, r):
                    for a in a_values:
                        zprime = z - d + phi + a
                        if not lefts[i] <= zprime <= rights[i]:
                            continue
                        if zprime == 0 or c == 0:
                            total += n_durations
                            continue
                        x = (busy - d) / min(zprime, c)
                        total += (n_durations if x < 1 else 0) + (n_relabelled if x > 0 else 0)
    return total
