"""How close navro's models come to the true first-come-first-served queue.

A station's state holds the number present and *one* remaining service time
for the whole station. With one server that is the whole truth, and with
geometric services the remaining times carry no memory, so both are exact
(up to the tail cut of each step). With several servers and any other service
distribution the model is an approximation. This script measures it: it
simulates the true queue, with every server's own remaining time, from empty,
under the models' timing, and compares the distribution of the number present
with the model's at a short and a long horizon.

Timing of one step, as the maps have it:
1. every service under way goes one time unit on; those with one unit left end
   and their entities leave (or are routed, in a network);
2. the step's arrivals join the end of the line; an entity cannot leave in the
   step in which it arrives;
3. at the end of the step every free server, a server freed in this step
   included, takes the next waiting entity and draws its service duration; a
   service of s units that starts at the end of step t ends in step t + s.
The number present at time t is the count after step t.

Monte Carlo noise. Each column of noise is the 99th percentile of the error
that sampling alone gives: the same number of runs drawn from the model's own
distribution, compared with it. An exact model shows errors within it; a
larger error is the model's.

    python benchmarks/accuracy.py [--runs R] [--seed S]

Needs NumPy: pip install '.[bench]'.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

try:
    import numpy as np
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("benchmarks/accuracy.py needs NumPy: install navro's 'bench' extra") from exc

import navro
from navro.distributions import poisson

Pmf = dict[int, float]


def mean(pmf: Pmf) -> float:
    return math.fsum(n * p for n, p in pmf.items())


# Draws from the model's distribution behind each noise percentile.
NOISE_DRAWS = 1000
NOISE_QUANTILE = 0.99


@dataclass(frozen=True)
class Node:
    servers: int
    durations: Pmf
    arrivals: Pmf  # from outside the network


@dataclass(frozen=True)
class Case:
    """A station (one node), or a network whose node `watched` is compared."""

    service: str
    arrivals: str
    load: float
    nodes: tuple[Node, ...]
    horizons: tuple[int, ...]
    routing: tuple[tuple[float, ...], ...] = ()
    watched: int = 0


@dataclass
class Comparison:
    """Model against simulation for one case and horizon. Errors are model
    minus simulation; each noise is the 99th percentile of the error by
    chance alone."""

    time: int
    tv: float
    tv_noise: float
    busy: float  # the model's P(all servers busy)
    busy_error: float
    busy_noise: float
    mean: float  # the model's mean number present
    mean_error: float
    mean_noise: float


# Distributions ------------------------------------------------------------


def geometric(average: float, tail: float = 1e-9) -> Pmf:
    """Durations 1, 2, ... that end with probability 1/average in each unit,
    cut where the rest holds less than `tail` (far below any noise here)."""
    p = 1.0 / average
    pmf: Pmf = {}
    k = 1
    while (1.0 - p) ** (k - 1) >= tail:
        pmf[k] = p * (1.0 - p) ** (k - 1)
        k += 1
    return pmf


class Sampler:
    """Draws from a finite distribution by inverting its cumulative sum."""

    def __init__(self, pmf: Pmf):
        values, weights = zip(*sorted(pmf.items()))
        cdf = np.cumsum(weights)
        self.cdf = cdf / cdf[-1]  # the last entry is then exactly 1
        self.values = np.asarray(values, dtype=np.int64)

    def draw(self, rng: np.random.Generator, size: int) -> np.ndarray:
        return self.values[np.searchsorted(self.cdf, rng.random(size), side="right")]


# The true queue -------------------------------------------------------------


class SimulatedNode:
    """`runs` independent copies of one node: the number present and each
    server's remaining service time (0: idle). Servers are interchangeable,
    so which one takes the next entity does not matter for the counts."""

    def __init__(self, node: Node, runs: int):
        self.servers = node.servers
        self.present = np.zeros(runs, dtype=np.int64)
        self.remaining = np.zeros((runs, node.servers), dtype=np.int32)
        self.durations = Sampler(node.durations)
        self.arrivals = Sampler(node.arrivals)

    def end_services(self) -> np.ndarray:
        """Moves every service one unit on; returns how many ended per run."""
        busy_before = np.minimum(self.present, self.servers)
        np.subtract(self.remaining, 1, out=self.remaining, where=self.remaining > 0)
        return busy_before - np.count_nonzero(self.remaining, axis=1)

    def admit(self, ended: np.ndarray, arriving: np.ndarray, rng: np.random.Generator) -> None:
        """Counts the step's arrivals and lets free servers take the next entities."""
        self.present += arriving - ended
        busy = np.count_nonzero(self.remaining, axis=1)
        starts = np.minimum(self.present, self.servers) - busy
        idle = self.remaining == 0
        # The first `starts` idle servers of each run take an entity each.
        taking = idle & (np.cumsum(idle, axis=1, dtype=np.int32) <= starts[:, None])
        self.remaining[taking] = self.durations.draw(rng, int(np.count_nonzero(taking)))


def simulate(case: Case, runs: int, rng: np.random.Generator) -> dict[int, np.ndarray]:
    """The number present at the watched node at each horizon, one per run."""
    nodes = [SimulatedNode(node, runs) for node in case.nodes]
    counts: dict[int, np.ndarray] = {}
    for t in range(1, max(case.horizons) + 1):
        # All nodes end their services from the state before the step.
        ended = [node.end_services() for node in nodes]
        arriving = [node.arrivals.draw(rng, runs) for node in nodes]
        for source, row in enumerate(case.routing):
            if sum(row) > 0:
                # Each finished entity picks a destination, or the exit (last).
                routed = rng.multinomial(ended[source], [*row, max(0.0, 1.0 - sum(row))])
                for destination in range(len(nodes)):
                    arriving[destination] += routed[:, destination]
        for node, out, into in zip(nodes, ended, arriving):
            node.admit(out, into, rng)
        if t in case.horizons:
            counts[t] = nodes[case.watched].present.copy()
    return counts


# The model ----------------------------------------------------------------


def build_model(case: Case) -> navro.StandardMultiserver | navro.StandardNetworkMultiserver:
    """The case as a navro model, every node empty."""
    if len(case.nodes) == 1:
        (node,) = case.nodes
        station = navro.StandardMultiserver()
        station.number_of_servers = node.servers
        station.service_duration_pmf = node.durations
        station.number_of_arrivals_pmf = node.arrivals
        station.reset_with_number_of_entities_in_system(0)
        return station
    network = navro.StandardNetworkMultiserver(len(case.nodes))
    for i, node in enumerate(case.nodes):
        network.set_number_of_servers_at_node(i, node.servers)
        network.set_service_duration_at_node_pmf(i, node.durations)
        network.set_number_of_external_arrivals_at_node_pmf(i, node.arrivals)
        network.reset_node_with_number_of_entities(i, 0)
        for j, p in enumerate(case.routing[i]):
            network.set_routing_probability(i, j, p)
    return network


def model_distributions(case: Case, method: str = "maps", **options) -> dict[int, Pmf]:
    """navro's distribution of the number present at the watched node at each
    horizon: the model's own maps, or ``method="exact"`` the exact chain of the
    real queue (``options`` go to navro.trajectory)."""
    run = navro.trajectory(
        build_model(case), max(case.horizons), method=method, wait_horizon=None, **options
    )
    if run.is_network:
        run = run.node(case.watched)
    return {
        t: {int(n): float(p) for n, p in zip(run.counts, run.probabilities[t]) if p > 0}
        for t in case.horizons
    }


# Comparison ---------------------------------------------------------------


def compare(
    exact: Pmf, sample: np.ndarray, servers: int, t: int, rng: np.random.Generator
) -> Comparison:
    """The model's distribution `exact` against the simulated counts."""
    values = np.asarray(sorted(exact), dtype=np.int64)
    probs = np.asarray([exact[v] for v in values])
    runs = len(sample)
    # Outcomes the model cut off count against it in full.
    support = np.union1d(values, sample)
    model = np.zeros(len(support))
    model[np.searchsorted(support, values)] = probs
    simulated = np.bincount(np.searchsorted(support, sample), minlength=len(support)) / runs
    busy = support >= servers

    # The same measures on samples of the same size drawn from the model itself
    # (whose probabilities may miss 1 by a rounding, or by what an exact chain
    # dropped).
    draws = rng.multinomial(runs, probs / probs.sum(), size=NOISE_DRAWS) / runs

    def noise(errors: np.ndarray) -> float:
        return float(np.quantile(np.abs(errors), NOISE_QUANTILE))

    return Comparison(
        time=t,
        tv=0.5 * float(np.abs(model - simulated).sum()),
        tv_noise=noise(0.5 * np.abs(draws - probs).sum(axis=1)),
        busy=float(model[busy].sum()),
        busy_error=float(model[busy].sum() - simulated[busy].sum()),
        busy_noise=noise(draws[:, values >= servers].sum(axis=1) - probs[values >= servers].sum()),
        mean=float(model @ support),
        mean_error=float(model @ support - simulated @ support),
        mean_noise=noise(draws @ values - probs @ values),
    )


def run_case(
    case: Case, runs: int, rng: np.random.Generator, method: str = "maps"
) -> list[Comparison]:
    exact = model_distributions(case, method)
    simulated = simulate(case, runs, rng)
    servers = case.nodes[case.watched].servers
    return [compare(exact[t], simulated[t], servers, t, rng) for t in case.horizons]


# The cases ----------------------------------------------------------------

MEAN_SERVICE = 5
SERVICES = {
    "deterministic": {MEAN_SERVICE: 1.0},
    "uniform 1-9": {k: 1.0 / (2 * MEAN_SERVICE - 1) for k in range(1, 2 * MEAN_SERVICE)},
    "geometric": geometric(MEAN_SERVICE),
    "1 or 9": {1: 0.5, 2 * MEAN_SERVICE - 1: 0.5},
}
LOADS = {"light": 0.5, "heavy": 0.9}
HORIZONS = (10, 200)  # two mean services, and forty


def steady(rate: float) -> Pmf:
    """The least spread count with this mean: the two whole numbers around it."""
    low = math.floor(rate)
    return {low: 1.0 - (rate - low), low + 1: rate - low} if rate > low else {low: 1.0}


ARRIVALS = {"Poisson": poisson, "steady": steady}


def station(servers: int, service: str, load: float, arrivals: str = "Poisson") -> Case:
    """Arrivals that keep each server busy `load` of the time on average."""
    durations = SERVICES[service]
    rate = load * servers / mean(durations)
    return Case(
        service, arrivals, load, (Node(servers, durations, ARRIVALS[arrivals](rate)),), HORIZONS
    )


def exact_cases() -> Iterator[Case]:
    """One server, where the model should match the true queue whatever the service."""
    for service in SERVICES:
        yield station(1, service, LOADS["heavy"])
    yield station(1, "deterministic", LOADS["heavy"], "steady")


def multiserver_cases() -> Iterator[Case]:
    kinds = [
        ("deterministic", "Poisson"),
        ("deterministic", "steady"),
        ("uniform 1-9", "Poisson"),
        ("geometric", "Poisson"),
    ]
    for service, arrivals in kinds:
        for servers in (2, 10, 50):
            for load in LOADS.values():
                yield station(servers, service, load, arrivals)


def network_cases() -> Iterator[Case]:
    """Two one-server stations in tandem, each of which would be exact alone;
    the second's arrivals are the first's departures."""
    rate = LOADS["heavy"] / MEAN_SERVICE
    for service in ("geometric", "deterministic"):
        durations = SERVICES[service]
        nodes = (Node(1, durations, poisson(rate)), Node(1, durations, {0: 1.0}))
        yield Case(
            service,
            "Poisson",
            LOADS["heavy"],
            nodes,
            HORIZONS,
            routing=((0.0, 1.0), (0.0, 0.0)),
            watched=1,
        )


def lockstep_example() -> Case:
    """Two servers, every service 2 units, one arrival each unit: the true
    queue holds exactly 2 from time 2 on."""
    return Case("exactly 2", "one each unit", 1.0, (Node(2, {2: 1.0}, {1: 1.0}),), (2, 3, 10, 200))


# Output -------------------------------------------------------------------

COLUMNS = (
    "servers",
    "service",
    "arrivals",
    "load",
    "time",
    "TV distance (noise)",
    "P(all busy)",
    "error (noise)",
    "mean present",
    "error (noise)",
    "exact method: TV distance (noise)",
)


def with_noise(error: float, noise: float, digits: int, sign: str = "+") -> str:
    """An error beside its noise, in bold where it is beyond the noise (and
    does not round to 0)."""
    shown = round(error, digits)
    text = f"{shown:{sign}.{digits}f}" if shown else f"{0:.{digits}f}"
    return f"{'**' + text + '**' if shown and abs(error) > noise else text} ({noise:.{digits}f})"


def row(case: Case, c: Comparison, exact: Comparison | None) -> str:
    node = case.nodes[case.watched]
    cells = (
        str(node.servers),
        case.service,
        case.arrivals,
        f"{case.load:.2f}",
        str(c.time),
        with_noise(c.tv, c.tv_noise, 4, sign=""),
        f"{c.busy:.4f}",
        with_noise(c.busy_error, c.busy_noise, 4),
        f"{c.mean:.3f}",
        with_noise(c.mean_error, c.mean_noise, 3),
        "refused" if exact is None else with_noise(exact.tv, exact.tv_noise, 4, sign=""),
    )
    return "| " + " | ".join(cells) + " |"


def exact_distributions(case: Case) -> dict[int, Pmf] | None:
    """The exact method's distributions, or None where it refuses the case
    as larger than its default limit of states."""
    try:
        return model_distributions(case, "exact")
    except ValueError:
        return None


def print_table(
    title: str,
    cases: Sequence[Case],
    runs: int,
    rng: np.random.Generator,
    exact_rng: np.random.Generator,
) -> None:
    """The model and the exact method against one simulation per case; the
    exact method's noise draws come from a generator of their own, so that
    the model's columns are those of a run without it."""
    print(f"\n{title}\n")
    print("| " + " | ".join(COLUMNS) + " |")
    print("|" + "---|" * len(COLUMNS))
    for case in cases:
        maps = model_distributions(case)
        simulated = simulate(case, runs, rng)
        exact = exact_distributions(case)
        servers = case.nodes[case.watched].servers
        for t in case.horizons:
            c = compare(maps[t], simulated[t], servers, t, rng)
            e = None if exact is None else compare(exact[t], simulated[t], servers, t, exact_rng)
            print(row(case, c, e), flush=True)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40_000, help="simulated runs per case")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(args.seed)
    exact_rng = np.random.default_rng([args.seed, 1])
    start = time.perf_counter()
    print(
        f"{args.runs} simulated runs per case from empty, seed {args.seed}. Mean service "
        f"{MEAN_SERVICE} units; load = arrival rate x mean service / servers; steady arrivals "
        f"bring the whole number just below or above the rate each unit. Errors are model minus "
        f"simulation; each noise is the {NOISE_QUANTILE:.0%} bound of the error by chance alone, "
        f"and an error beyond it is in bold. The last column is the exact method "
        f"(trajectory(method='exact')), refused where its chain is estimated above its "
        f"default limit of states."
    )
    tables = [
        ("One server: exact", list(exact_cases())),
        ("Several servers", list(multiserver_cases())),
        ("The second of two one-server stations in tandem", list(network_cases())),
        ("Two servers, services of exactly 2 units, one arrival each unit", [lockstep_example()]),
    ]
    for title, cases in tables:
        print_table(title, cases, args.runs, rng, exact_rng)
    print(f"\n{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
