"""Speed of the step on fixed workloads.

For each workload: the median wall time of one step, and how many outcomes
the full map enumerated per second of stepping. For a station an outcome is
one (z, d, a, entity_is_old, ell') that the map pours into the new state;
the outcomes are counted in Python from the states before and after each
step, outside the timed region. Nothing is asserted: speed is measured.

    python benchmarks/run_benchmarks.py [name ...]

Then the speed-up of a sweep of independent scenarios on the default process
pool over the same scenarios run one after the other in this process
("sweep" selects it alone).

Each workload is one entry of WORKLOADS; a runner needs only `capture()`
(whatever `count` will need, taken before a step), `step()` (timed) and
`count(captured)` (outcomes of the step just taken).
"""

from __future__ import annotations

import math
import os
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Protocol

import navro

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference_model  # noqa: E402
import reference_network  # noqa: E402


class Runner(Protocol):
    def capture(self) -> Any: ...
    def step(self) -> None: ...
    def count(self, captured: Any) -> int: ...


@dataclass
class Workload:
    name: str
    make: Callable[[], Runner]
    steps: int


def uniform(low: int, high: int) -> dict[int, float]:
    return {v: 1.0 / (high - low + 1) for v in range(low, high + 1)}


def poisson(mean: float, tail: float = 1e-12) -> dict[int, float]:
    """Poisson probabilities, cut where the remaining tail falls below `tail`."""
    pmf: dict[int, float] = {}
    p, k, total = math.exp(-mean), 0, 0.0
    while 1.0 - total >= tail:
        pmf[k] = p
        total += p
        k += 1
        p *= mean / k
    return pmf


class StationRunner:
    """One station, stepped from empty."""

    def __init__(self, servers: int, arrivals: dict[int, float], durations: dict[int, float]):
        self.model = navro.StandardMultiserver()
        self.model.number_of_servers = servers
        self.model.number_of_arrivals_pmf = arrivals
        self.model.service_duration_pmf = durations
        self.model.reset_with_number_of_entities_in_system(0)
        self.servers = servers
        self.arrivals = self.model.number_of_arrivals_pmf
        self.durations = self.model.service_duration_pmf

    def capture(self) -> Any:
        return self.model.internal_state

    def step(self) -> None:
        self.model.step()

    def count(self, captured: Any) -> int:
        # The new state spans exactly the counts between the two tail cuts.
        after = self.model.get_number_of_entities_in_system_pmf()
        left, right = min(after), max(after)
        return reference_model.count_outcomes(
            captured, self.arrivals, self.durations, self.servers, left, right
        )


class NetworkRunner:
    """Nodes in tandem, the last feeding back to the first, stepped from
    empty. An outcome is one (z, d, phi, a, entity_is_old, ell') at a node."""

    def __init__(
        self,
        nodes: int,
        servers: int,
        durations: dict[int, float],
        arrivals: dict[int, float],
        feedback: float,
    ):
        self.model = navro.StandardNetworkMultiserver(nodes)
        for i in range(nodes):
            self.model.set_number_of_servers_at_node(i, servers)
            self.model.set_service_duration_at_node_pmf(i, durations)
            self.model.set_routing_probability(i, (i + 1) % nodes, 1.0 if i + 1 < nodes else feedback)
            self.model.reset_node_with_number_of_entities(i, 0)
        self.model.set_number_of_external_arrivals_at_node_pmf(0, arrivals)

    def capture(self) -> Any:
        return reference_network.Network.of(self.model)

    def step(self) -> None:
        self.model.step()

    def count(self, captured: Any) -> int:
        counts = [self.model.get_number_of_entities_at_node_pmf(i) for i in range(len(captured.servers))]
        return reference_network.count_outcomes(
            captured, [min(c) for c in counts], [max(c) for c in counts]
        )


WORKLOADS = [
    Workload(
        "1 server, service 1..20, arrivals 0/1 at 0.04",
        lambda: StationRunner(1, {0: 0.96, 1: 0.04}, uniform(1, 20)),
        1000,
    ),
    Workload(
        "20 servers, service 1..10, arrivals Poisson(3)",
        lambda: StationRunner(20, poisson(3.0), uniform(1, 10)),
        200,
    ),
    Workload(
        "100 servers, service 1..30, arrivals Poisson(6)",
        lambda: StationRunner(100, poisson(6.0), uniform(1, 30)),
        100,
    ),
    Workload(
        "6 nodes in tandem, 10% fed back, 3 servers each, service 1..5, Poisson(1) at node 0",
        lambda: NetworkRunner(6, 3, uniform(1, 5), poisson(1.0), 0.1),
        200,
    ),
]


def run(workload: Workload) -> tuple[float, float]:
    """Median seconds per step, and outcomes per second of stepping."""
    runner = workload.make()
    durations = []
    outcomes = 0
    for _ in range(workload.steps):
        captured = runner.capture()
        start = time.perf_counter()
        runner.step()
        durations.append(time.perf_counter() - start)
        outcomes += runner.count(captured)
    return statistics.median(durations), outcomes / math.fsum(durations)


def sweep_scenario(servers: int) -> float:
    """One scenario of the sweep benchmark: a station stepped from empty; the
    mean number present at the end."""
    runner = StationRunner(servers, poisson(0.4 * servers), uniform(1, 10))
    for _ in range(100):
        runner.step()
    present = runner.model.get_number_of_entities_in_system_pmf()
    return math.fsum(n * p for n, p in present.items())


def sweep_speedup(scenarios: list[int]) -> tuple[float, float, int]:
    """Seconds of the serial run and of the sweep, and the pool's size. The
    sweep's time includes starting its worker processes."""
    start = time.perf_counter()
    serial = [sweep_scenario(s) for s in scenarios]
    middle = time.perf_counter()
    swept = navro.sweep(sweep_scenario, scenarios, progress=False)
    end = time.perf_counter()
    assert swept == serial, "the sweep must give the serial run's results"
    return middle - start, end - middle, os.cpu_count() or 1


def main(names: list[str]) -> None:
    chosen = [w for w in WORKLOADS if not names or any(n in w.name for n in names)]
    if chosen:
        width = max(len(w.name) for w in chosen)
        print(f"{'workload':<{width}}  {'steps':>5}  {'median/step':>11}  {'outcomes/s':>11}")
        for workload in chosen:
            median, rate = run(workload)
            print(f"{workload.name:<{width}}  {workload.steps:>5}  {median * 1e3:>9.3f}ms  {rate:>11.3e}")
    if not names or "sweep" in names:
        scenarios = [10, 12, 14, 16, 18, 20, 22, 24]
        serial, swept, workers = sweep_speedup(scenarios)
        print(f"\nsweep of {len(scenarios)} stations: serial {serial:.2f}s, process pool of "
              f"{workers} {swept:.2f}s, speed-up {serial / swept:.2f}x")


if __name__ == "__main__":
    main(sys.argv[1:])
