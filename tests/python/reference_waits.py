"""The waits of one step's arrivals, written plainly from their definition in
the user guide (docs/guide/concepts.md, "The wait of an arrival"), to check
the extension's recording number by number. Every outcome (count, services ended, entities routed back, batch,
place in the batch) is visited on its own; slow, for small cases.
"""

from __future__ import annotations

import math
from collections import defaultdict
from collections.abc import Mapping

from reference_model import Simple, binomial, conditional, marginal, relabel


def _sum_of(parts: Simple, durations: Simple, count: int) -> Simple:
    """The distribution of ``parts`` plus ``count`` independent durations."""
    out = dict(parts)
    for _ in range(count):
        nxt: dict[int, float] = defaultdict(float)
        for x, px in out.items():
            for s, ps in durations.items():
                nxt[x + s] += px * ps
        out = dict(nxt)
    return out


def _binomial_at_least(n: int, p: float, k: int) -> float:
    return sum(math.comb(n, i) * p**i * (1 - p) ** (n - i) for i in range(k, n + 1))


def _expected_waits(servers: int, chance: float, largest: int) -> list:
    """E[W | L services must still end] for L = 0 .. largest, when each of
    the busy servers ends in a step with ``chance``."""
    ends = [
        math.comb(servers, k) * chance**k * (1 - chance) ** (servers - k)
        for k in range(servers + 1)
    ]
    v = [0.0] * (largest + 1)
    for need in range(1, largest + 1):
        v[need] = (1 + sum(ends[k] * v[need - k] for k in range(1, min(servers, need - 1) + 1))) / (
            1 - ends[0]
        )
    return v


def waits(
    state: Mapping[tuple[int, int], float],
    servers: int,
    batch: Simple,
    durations: Simple,
    returning: float,
    horizon: int,
) -> tuple[float, list, float, float]:
    """(E[arrivals], E[arrivals with W = w] for w = 0..horizon, E[arrivals
    with W > horizon], E[sum of W]) of one step."""
    mean_duration = sum(s * p for s, p in durations.items()) / sum(durations.values())
    counts = [0.0] * (horizon + 1)
    arrivals = beyond = waited = 0.0
    outcomes = []
    for z, pz in marginal(state).items():
        busy = min(z, servers)
        q = conditional(state, z).get(1, 0.0)
        for d, pd in binomial(busy, q).items():
            for phi, pphi in (binomial(d, returning) if returning > 0 else {0: 1.0}).items():
                for a, pa in batch.items():
                    for place in range(a + phi):
                        outcomes.append((z, d, z - d + place, pz * pd * pphi * pa))
    largest = max((n - servers + 1 for _, _, n, _ in outcomes), default=0)
    expected = _expected_waits(servers, 1 / mean_duration, max(largest, 0)) if servers >= 2 else []
    for z, d, ahead, weight in outcomes:
        arrivals += weight
        if servers == 0:
            beyond += weight
            waited = math.inf
            continue
        if ahead < servers:
            counts[0] += weight
            continue
        if servers == 1:
            going_on = z >= 1 and d == 0
            start = relabel(state, z) if going_on else {0: 1.0}
            wait = _sum_of(start, durations, ahead - 1 if going_on else ahead)
            waited += weight * sum(w * p for w, p in wait.items())
            for w, p in wait.items():
                if w <= horizon:
                    counts[w] += weight * p
                else:
                    beyond += weight * p
            continue
        need = ahead - servers + 1
        waited += weight * expected[need]
        below = 0.0
        for w in range(1, horizon + 1):
            reached = _binomial_at_least(servers * w, 1 / mean_duration, need)
            counts[w] += weight * (reached - below)
            below = reached
        beyond += weight * (1 - below)
    return arrivals, counts, beyond, waited
