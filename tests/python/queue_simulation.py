"""The real first-come-first-served queue, entity by entity, in many
independent runs at once, with each entity's wait: the test suite's own
simulation, independent of the models' maps.

Timing of a step, as the guide's "Inside one step" has it: services under
way go one step on and those that end leave (or, in a network, join their
next node's batch of the same step); the step's batch joins the line; at the
end of the step every free server takes the next entity. So an entity that
arrives in step t and is taken at the end of step t + W waited W, and a
service of s steps that starts at the end of step t frees its server at the
end of step t + s.

With identical servers, first come first served, each entity is taken by the
server that frees first: at max(its arrival step, that server's free step).
That is known as soon as it arrives, so no wait is cut short by the end of a
run. Within a batch the order does not change the batch's waits as a whole.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Waits:
    """Per node and arrival step (1 .. steps): per run, the arrivals and, of
    them, how many waited w steps (w = 0 .. horizon) and more, and the sum
    of their waits."""

    arrivals: np.ndarray  # nodes x steps x runs
    counts: np.ndarray  # nodes x steps x runs x (horizon + 2): w = 0 .. horizon, then beyond
    waited: np.ndarray  # nodes x steps x runs

    def estimate(self, values: np.ndarray, node: int, step: int) -> tuple[float, float]:
        """The arrival-weighted estimate of one quantity summed per run (sum
        over runs over the arrivals of all runs) and its standard error."""
        a = self.arrivals[node, step - 1]
        total = a.sum()
        if total == 0:
            return np.nan, np.nan
        value = values.sum() / total
        error = np.sqrt(((values - value * a) ** 2).sum()) / total
        return float(value), float(error)


def _sampler(pmf: dict[int, float]):
    values = np.array(sorted(pmf), dtype=np.int64)
    cdf = np.cumsum([pmf[v] for v in values])
    cdf /= cdf[-1]
    return lambda rng, size: values[np.searchsorted(cdf, rng.random(size), side="right")]


def simulate(
    servers: list[int],
    arrivals: list[dict[int, float]],
    durations: list[dict[int, float]],
    routing: list[list[float]],
    steps: int,
    runs: int,
    horizon: int,
    rng: np.random.Generator,
) -> Waits:
    """Runs from empty for ``steps`` steps and records the waits of their
    arrivals."""
    nodes = len(servers)
    batches = np.zeros((nodes, runs, steps + 1), dtype=np.int64)
    for i in range(nodes):
        batches[i, :, 1:] = _sampler(arrivals[i])(rng, (runs, steps))
    free = [np.zeros((runs, c), dtype=np.int64) for c in servers]
    draw = [_sampler(d) for d in durations]
    exits = [np.cumsum([*row, max(0.0, 1.0 - sum(row))]) for row in routing]
    out = Waits(
        np.zeros((nodes, steps, runs)),
        np.zeros((nodes, steps, runs, horizon + 2)),
        np.zeros((nodes, steps, runs)),
    )
    everyone = np.arange(runs)
    for t in range(1, steps + 1):
        for i in range(nodes):
            batch = batches[i, :, t]
            out.arrivals[i, t - 1] = batch
            for place in range(int(batch.max(initial=0))):
                here = everyone[batch > place]
                if servers[i] == 0:
                    wait = np.full(len(here), np.iinfo(np.int64).max // 4)
                else:
                    k = np.argmin(free[i][here], axis=1)
                    start = np.maximum(t, free[i][here, k])
                    wait = start - t
                    ends = start + draw[i](rng, len(here))
                    free[i][here, k] = ends
                    # Where each entity goes when its service ends, counted
                    # in that step's batch there (if the run lasts so long).
                    to = np.searchsorted(exits[i], rng.random(len(here)), side="right")
                    for d in range(nodes):
                        sent = (to == d) & (ends <= steps)
                        np.add.at(batches[d], (here[sent], ends[sent]), 1)
                np.add.at(out.counts[i, t - 1], (here, np.minimum(wait, horizon + 1)), 1)
                np.add.at(out.waited[i, t - 1], here, wait)
    return out
