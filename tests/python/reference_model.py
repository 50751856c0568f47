"""A plain-Python model of one station, written from the model's rules.

It works on the dict forms that navro returns and takes, without any of the
extension's data structures, so that the extension's results can be checked
number by number against it. It is slow and meant for small configurations.

A state is a joint distribution {(z, ell): p}: z entities present and, given
z, the remaining service time ell of an entity in service (1: the service
ends in the coming step).
"""

from __future__ import annotations

import math
from bisect import bisect_left, bisect_right
from collections import defaultdict
from collections.abc import Iterator, Mapping
from typing import Any

Simple = dict[int, float]
State = dict[tuple[int, int], float]

# The mass that a step may cut from the two ends of the next count's
# distribution, half at each end.
TOLERANCE = 1e-8


def normalise(weights: Mapping[int, float]) -> Simple:
    positive = {v: w for v, w in sorted(weights.items()) if w > 0}
    total = math.fsum(positive.values())
    return {v: w / total for v, w in positive.items()}


def marginal(state: Mapping[tuple[int, int], float]) -> Simple:
    out: dict[int, float] = defaultdict(float)
    for (z, _), p in state.items():
        out[z] += p
    return normalise(out)


def conditional(state: Mapping[tuple[int, int], float], z: int) -> Simple:
    return normalise({ell: p for (z0, ell), p in state.items() if z0 == z})


def binomial(n: int, q: float) -> Simple:
    """Number of services that end among n busy servers, each with chance q."""
    if q <= 0:
        return {0: 1.0}
    if q >= 1:
        return {n: 1.0}
    return {k: math.comb(n, k) * q**k * (1 - q) ** (n - k) for k in range(n + 1)}


def relabel(state: Mapping[tuple[int, int], float], z: int) -> Simple:
    """Remaining time, one step on, of a service that does not end now."""
    return normalise({ell - 1: p for ell, p in conditional(state, z).items() if ell != 1})


def entity_is_old(r: float) -> Simple:
    """Chance that the described service is one already under way."""
    if r <= 0:
        return {0: 1.0}
    if r >= 1:
        return {1: 1.0}
    return {0: 1 - r, 1: r}


def thinned(state: Mapping[tuple[int, int], float], servers: int, patience: float) -> State:
    """The state once A of the z - busy waiting of each count gave up (each
    with chance ``patience``): (z, ell) moves to (z - A, ell)."""
    if patience <= 0:
        return dict(state)
    out: dict[tuple[int, int], float] = defaultdict(float)
    for (z, ell), p in state.items():
        for gone, pg in binomial(z - min(z, servers), patience).items():
            out[(z - gone, ell)] += p * pg
    return out


def transitions(
    state: Mapping[tuple[int, int], float],
    arrivals: Simple,
    servers: int,
    patience: float = 0.0,
    capacity: int | None = None,
) -> Iterator[tuple[int, int, int, float]]:
    """Every (z, d, z') of one step with its probability, z a count of the
    state that abandonment thinned: d services end, and of the a arrivals as
    many join as the capacity leaves room for."""
    state = thinned(state, servers, patience)
    for z, pz in marginal(state).items():
        q = conditional(state, z).get(1, 0.0)
        busy = min(z, servers)
        for d, pd in binomial(busy, q).items():
            m = z - d
            room = math.inf if capacity is None else max(capacity - m, 0)
            for a, pa in arrivals.items():
                yield z, d, m + min(a, room), pz * pd * pa


def partial_map(
    state: Mapping[tuple[int, int], float], arrivals: Simple, servers: int, **limits: Any
) -> Simple:
    """Distribution of the next count."""
    out: dict[int, float] = defaultdict(float)
    for _, _, zprime, p in transitions(state, arrivals, servers, **limits):
        out[zprime] += p
    return normalise(out)


def tails(pmf: Simple, epsilon: float) -> tuple[int, int]:
    """Smallest v with P(X <= v) >= epsilon and largest v with P(X >= v) >= epsilon."""
    values = sorted(pmf)
    total = 0.0
    left = values[-1] + 1
    for v in values:
        total += pmf[v]
        if total >= epsilon:
            left = v
            break
    total = 0.0
    right = values[0]
    for v in reversed(values):
        total += pmf[v]
        if total >= epsilon:
            right = v
            break
    return left, right


def outcomes(
    state: Mapping[tuple[int, int], float],
    arrivals: Simple,
    durations: Simple,
    servers: int,
    left: int,
    right: int,
    **limits: Any,
) -> Iterator[tuple[int, int, int, int, int, float]]:
    """Every (z, d, z', entity_is_old, ell') of the full map with z' in [left, right]."""
    state = thinned(state, servers, limits.get("patience", 0.0))
    for z, d, zprime, p in transitions(state, arrivals, servers, capacity=limits.get("capacity")):
        if zprime < left or zprime > right:
            continue
        if zprime == 0 or servers == 0:
            for ell, pe in durations.items():
                yield z, d, zprime, 0, ell, p * pe
            continue
        r = (min(z, servers) - d) / min(servers, zprime)
        for e, pe in entity_is_old(r).items():
            ells = relabel(state, z) if e == 1 else durations
            for ell, pl in ells.items():
                yield z, d, zprime, e, ell, p * pe * pl


def step(
    state: Mapping[tuple[int, int], float],
    arrivals: Simple,
    durations: Simple,
    servers: int,
    **limits: Any,
) -> State:
    """The state one time unit later, with both tails cut. ``limits``:
    ``patience`` and ``capacity`` as ``transitions`` takes them."""
    left, right = tails(partial_map(state, arrivals, servers, **limits), TOLERANCE / 2)
    out: dict[tuple[int, int], float] = defaultdict(float)
    for _, _, zprime, _, ell, p in outcomes(
        state, arrivals, durations, servers, left, right, **limits
    ):
        out[(zprime, ell)] += p
    return joint(out)


def joint(weights: Mapping[tuple[int, int], float]) -> State:
    total = math.fsum(weights.values())
    return {key: weights[key] / total for key in sorted(weights) if weights[key] > 0}


def observe(state: Mapping[tuple[int, int], float], lower: int, upper: int) -> State:
    """The state conditioned on lower <= z < upper."""
    kept = {(z, ell): p for (z, ell), p in state.items() if lower <= z < upper}
    if not kept:
        raise ValueError("Empty pmf")
    return joint(kept)


def reset(count: int, durations: Simple) -> State:
    return {(count, ell): p for ell, p in normalise(durations).items()}


def _binomial_support(n: int, q: float) -> list[int]:
    """Values of positive probability in the extension's binomial, whose
    log-space recurrence lets the far tails underflow to 0."""
    if q <= 0:
        return [0]
    if q >= 1:
        return [n]
    log_r = math.log(q) - math.log(1 - q)
    x = n * math.log(1 - q)
    support = [0] if math.exp(x) > 0 else []
    for i in range(1, n + 1):
        x = x + ((math.log(n - i + 1) + log_r) - math.log(i))
        if math.exp(x) > 0:
            support.append(i)
    return support


def count_outcomes(
    state: Mapping[tuple[int, int], float],
    arrivals: Simple,
    durations: Simple,
    servers: int,
    left: int,
    right: int,
) -> int:
    """Number of (z, d, a, entity_is_old, ell') outcomes that the full map of
    one step enumerates, counted per (z, d) rather than one by one."""
    a_values = sorted(a for a, p in arrivals.items() if p > 0)
    has_zero_arrivals = bool(a_values) and a_values[0] == 0
    n_durations = sum(1 for p in durations.values() if p > 0)
    by_count: dict[int, dict[int, float]] = defaultdict(dict)
    for (z, ell), p in state.items():
        if p > 0:
            by_count[z][ell] = p
    total = 0
    for z in sorted(by_count):
        cond = by_count[z]
        q = cond.get(1, 0.0) / math.fsum(cond.values())
        busy = min(z, servers)
        n_relabelled = sum(1 for ell in cond if ell != 1)
        for d in _binomial_support(busy, q):
            lo, hi = left - z + d, right - z + d
            n_a = bisect_right(a_values, hi) - bisect_left(a_values, lo)
            if n_a == 0:
                continue
            if servers == 0:
                total += n_a * n_durations
                continue
            zero_arrivals_in_range = has_zero_arrivals and lo <= 0 <= hi
            # z' = 0 only when every entity present leaves and none arrives.
            at_zero = 1 if (d == z and zero_arrivals_in_range) else 0
            nonzero = n_a - at_zero
            total += at_zero * n_durations
            going_on = busy - d
            if going_on > 0:
                total += nonzero * n_relabelled
            # A starting service is drawn unless every busy server after the
            # step is one that goes on: z' == busy - d with all servers kept.
            if going_on < servers:
                all_old = 1 if (z == busy and going_on > 0 and zero_arrivals_in_range) else 0
                total += (nonzero - all_old) * n_durations
    return total
