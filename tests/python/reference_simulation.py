"""An independent simulation of the real first-come-first-served system, in
NumPy, written from the user guide's rules and sharing no code with navro's
simulator: all runs at once, each server's remaining time in a column, each
waiting entity's arrival step in a line per run.

Timing of one step t, at every node from the state before it:
1. every service under way goes one step on; those with one step left end,
   and each of their entities goes to a node drawn from its routing row, or
   leaves;
2. the step's arrivals, from outside and routed in, join the end of the
   line;
3. at the end of the step every free server takes the next waiting entity,
   whose wait is t less its arrival step, and draws its service.
A period's servers take over at its start: services drawn at random among
those under way stop where there are fewer servers than services (their
entities wait at the head of the line, their waits already counted), and new
servers take waiting entities at once where there are more, as at the end of
the step before.

After the last step the servers work on, nothing arriving, until every
entity that arrived in a recorded step has been taken (or no server is
left).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

Pmf = dict[int, float]
UNMEASURED = -(2**40)  # the arrival of entities whose wait is not measured


@dataclass
class Node:
    servers: int
    durations: Pmf
    arrivals: Pmf = field(default_factory=lambda: {0: 1.0})


@dataclass
class Result:
    """Per step t = 0 .. T (row t) and node: the number present in each run,
    the services that ended in step t in each run, and the waits of the
    arrivals of step t pooled over runs (``waits[t, n]`` maps a wait to the
    number of arrivals that waited it)."""

    present: np.ndarray  # steps + 1, nodes, runs
    ended: np.ndarray  # steps + 1, nodes, runs
    arrivals: np.ndarray  # steps + 1, nodes, runs
    waits: list[list[dict[int, int]]]


class Draws:
    def __init__(self, pmf: Pmf):
        values, weights = zip(*sorted(pmf.items()))
        cumulative = np.cumsum(weights)
        self.cumulative = cumulative / cumulative[-1]
        self.values = np.asarray(values, dtype=np.int64)

    def __call__(self, rng: np.random.Generator, size: int) -> np.ndarray:
        index = np.searchsorted(self.cumulative, rng.random(size), side="right")
        return self.values[np.minimum(index, len(self.values) - 1)]


def _spread(count: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For runs with count[r] items each: every item's run and its place
    among its run's items."""
    runs = np.repeat(np.arange(len(count)), count)
    places = np.arange(len(runs)) - np.repeat(np.cumsum(count) - count, count)
    return runs, places


class Line:
    """Per run, the arrival steps of the waiting entities, first come first,
    in cells head .. tail - 1 of the run's row."""

    def __init__(self, runs: int):
        self.cells = np.zeros((runs, 256), dtype=np.int64)
        self.head = np.full(runs, 128, dtype=np.int64)
        self.tail = self.head.copy()

    @property
    def length(self) -> np.ndarray:
        return self.tail - self.head

    def _room(self, front: np.ndarray, back: np.ndarray) -> None:
        if (self.head - front).min() >= 0 and (self.tail + back).max() < self.cells.shape[1]:
            return
        margin = int(max(front.max(), back.max(), 64))
        width = int(self.length.max()) + 4 * margin
        runs, places = _spread(self.length)
        cells = np.zeros((len(self.head), width), dtype=np.int64)
        cells[runs, 2 * margin + places] = self.cells[runs, self.head[runs] + places]
        self.tail = 2 * margin + self.length
        self.head = np.full_like(self.head, 2 * margin)
        self.cells = cells

    def push_back(self, arrival: int, count: np.ndarray) -> None:
        self._room(np.zeros_like(count), count)
        runs, places = _spread(count)
        self.cells[runs, self.tail[runs] + places] = arrival
        self.tail += count

    def push_front(self, count: np.ndarray) -> None:
        self._room(count, np.zeros_like(count))
        self.head -= count
        runs, places = _spread(count)
        self.cells[runs, self.head[runs] + places] = UNMEASURED

    def pop_front(self, count: np.ndarray) -> np.ndarray:
        """The arrival steps of the first ``count`` entities of every run."""
        runs, places = _spread(count)
        taken = self.cells[runs, self.head[runs] + places]
        self.head += count
        return taken

    def any_measured(self) -> bool:
        runs, places = _spread(self.length)
        return bool((self.cells[runs, self.head[runs] + places] > UNMEASURED).any())


class SimulatedNode:
    def __init__(self, node: Node, runs: int, present: int, rng: np.random.Generator):
        self.servers = node.servers
        self.width = max(node.servers, 1)
        self.remaining = np.zeros((runs, self.width), dtype=np.int64)
        self.line = Line(runs)
        busy = min(present, node.servers)
        if busy:
            self.remaining[:, :busy] = Draws(node.durations)(rng, runs * busy).reshape(runs, busy)
        self.line.push_front(np.full(runs, present - busy))

    def busy(self) -> np.ndarray:
        return np.count_nonzero(self.remaining, axis=1)

    def present(self) -> np.ndarray:
        return self.busy() + self.line.length

    def end_services(self) -> np.ndarray:
        before = self.busy()
        np.subtract(self.remaining, 1, out=self.remaining, where=self.remaining > 0)
        return before - self.busy()

    def set_servers(self, servers: int, rng: np.random.Generator) -> None:
        """A cut stops services drawn at random among those under way."""
        if servers > self.width:
            extra = np.zeros((self.remaining.shape[0], servers - self.width), np.int64)
            self.remaining = np.concatenate([self.remaining, extra], axis=1)
            self.width = servers
        stopping = np.maximum(self.busy() - servers, 0)
        if stopping.any():
            keys = np.where(self.remaining > 0, rng.random(self.remaining.shape), -1.0)
            ranks = np.argsort(np.argsort(-keys, axis=1), axis=1)
            self.remaining[ranks < stopping[:, None]] = 0
            self.line.push_front(stopping)
        self.servers = servers

    def start_services(
        self,
        step: int,
        durations: Draws,
        rng: np.random.Generator,
        waits: dict[int, dict[int, int]],
    ) -> None:
        free = np.maximum(self.servers - self.busy(), 0)
        count = np.minimum(free, self.line.length)
        if not count.any():
            return
        arrival = self.line.pop_front(count)
        measured = arrival[arrival > UNMEASURED]
        for a, n in zip(*np.unique(measured, return_counts=True)):
            if int(a) in waits:
                waits[int(a)][step - int(a)] = waits[int(a)].get(step - int(a), 0) + int(n)
        idle = self.remaining == 0
        idle[:, self.servers :] = False
        taking = idle & (np.cumsum(idle, axis=1) <= count[:, None])
        self.remaining[taking] = durations(rng, int(np.count_nonzero(taking)))


def simulate(
    periods: list[tuple[int, list[Node], list[list[float]] | None]],
    runs: int,
    rng: np.random.Generator,
    start: list[int] | None = None,
) -> Result:
    """Runs ``periods``, each (steps, nodes, routing or None), from ``start``
    entities per node, each service just starting (a reset), whose busy
    servers are those of the first period."""
    nodes_first = periods[0][1]
    count = len(nodes_first)
    start = start or [0] * count
    nodes = [SimulatedNode(n, runs, z, rng) for n, z in zip(nodes_first, start)]
    total = sum(steps for steps, _, _ in periods)
    present = np.zeros((total + 1, count, runs), np.int64)
    ended = np.zeros_like(present)
    arrived = np.zeros_like(present)
    present[0] = [node.present() for node in nodes]
    waits_by_step: list[dict[int, dict[int, int]]] = [{} for _ in range(count)]
    step = 0
    previous: list[Node] | None = None
    for steps, settings, routing in periods:
        if previous is not None:
            for i, (node, setting) in enumerate(zip(nodes, settings)):
                node.set_servers(setting.servers, rng)
                node.start_services(step, Draws(setting.durations), rng, waits_by_step[i])
        arrivals = [Draws(s.arrivals) for s in settings]
        durations = [Draws(s.durations) for s in settings]
        for _ in range(steps):
            step += 1
            out = [node.end_services() for node in nodes]
            coming = [draw(rng, runs) for draw in arrivals]
            if routing is not None:
                for source, row in enumerate(routing):
                    if sum(row) > 0:
                        routed = rng.multinomial(out[source], [*row, max(0.0, 1.0 - sum(row))])
                        for destination in range(count):
                            coming[destination] = coming[destination] + routed[:, destination]
            for i, node in enumerate(nodes):
                node.line.push_back(step, coming[i])
                waits_by_step[i][step] = {}
                node.start_services(step, durations[i], rng, waits_by_step[i])
                present[step, i] = node.present()
                ended[step, i] = out[i]
                arrived[step, i] = coming[i]
        previous = settings
    # Nothing arrives any more; the servers work off the lines.
    for _ in range(100_000):
        if all(node.servers == 0 or not node.line.any_measured() for node in nodes):
            break
        step += 1
        for i, node in enumerate(nodes):
            node.end_services()
            node.start_services(step, Draws(previous[i].durations), rng, waits_by_step[i])
    waits = [[waits_by_step[i].get(t, {}) for i in range(count)] for t in range(total + 1)]
    return Result(present=present, ended=ended, arrivals=arrived, waits=waits)
