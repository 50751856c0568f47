"""How close navro's maps come to the real first-come-first-served queue.

Each case is a station or a network from empty; its maps' trajectory
(``navro.trajectory``) is set beside a simulation of the real system
(``navro.simulate``) with ``navro.compare``, at a short and a long horizon
(10 and 200 steps, with services of 5 steps on average). For each the table
gives the total-variation distance between the two distributions of the
number present (half the summed absolute differences: the most by which the
probability of any event differs), the errors of P(all servers busy) and of
the mean number present, and those of the chance that an arrival waits and
of its mean wait (steps), for the arrivals of the ten steps before, maps
minus simulation; the last column sets the exact method (``method="exact"``)
beside the same simulation, where it runs within its default limit of
states. Beside each is its noise:
what chance alone reaches with probability 0.99, so that an exact model stays
within it. A figure beyond its noise is in bold.

Every case is simulated with its family's first runs (or --runs). Each family
ends with its worst errors of each figure beyond the noise; the cases of these
are simulated again with as many runs as bring the noise of each of their
errors beyond it below a tenth of it (up to --max-runs), until the worst are
so measured, so that every error the guide quotes is measured to within a
tenth. Any other error beyond its noise whose noise is not below a tenth of
it is marked with a dagger.

    python benchmarks/accuracy.py [--runs R] [--max-runs M] [--seed S] [--family NAME ...]

Needs NumPy only, which navro depends on.
"""

from __future__ import annotations

import argparse
import copy
import functools
import math
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field

import numpy as np

import navro
from navro.distributions import binomial, geometric, poisson

Pmf = dict[int, float]
HORIZONS = (10, 200)
MEAN_SERVICE = 5
LEVEL = 0.99


def mean_of(pmf: Pmf) -> float:
    return math.fsum(n * p for n, p in pmf.items())


SERVICES: dict[str, Pmf] = {
    "deterministic": {MEAN_SERVICE: 1.0},
    "uniform 1-9": {k: 1.0 / (2 * MEAN_SERVICE - 1) for k in range(1, 2 * MEAN_SERVICE)},
    "geometric": geometric(1.0 / MEAN_SERVICE, tail=1e-12),
    "1 or 9": {1: 0.5, 2 * MEAN_SERVICE - 1: 0.5},
}
# A call centre's calls, in minutes: spread out, with a long tail.
CALLS: Pmf = {2: 0.1, 3: 0.15, 4: 0.2, 5: 0.15, 6: 0.12, 8: 0.1, 10: 0.08, 12: 0.06, 15: 0.04}


def steady(rate: float) -> Pmf:
    """The least spread count with this mean: the two whole numbers around it."""
    low = math.floor(rate)
    return {low: 1.0 - (rate - low), low + 1: rate - low} if rate > low else {low: 1.0}


def less_than_poisson(rate: float) -> Pmf:
    """Binomial arrivals of this mean over twice as many chances: random, with
    half the spread of Poisson arrivals."""
    chances = max(1, math.ceil(2 * rate))
    return binomial(chances, rate / chances)


ARRIVALS: dict[str, Callable[[float], Pmf]] = {
    "Poisson": poisson,
    "binomial": less_than_poisson,
    "steady": steady,
}


@dataclass(frozen=True)
class Case:
    """A model from empty and the horizons at which it is compared; the
    columns that describe it; the nodes whose rows are shown."""

    make: Callable[[], navro.StandardMultiserver | navro.StandardNetworkMultiserver]
    servers: str
    service: str
    arrivals: str
    load: float
    horizons: tuple[int, ...] = HORIZONS
    nodes: tuple[int, ...] = (0,)
    node_names: tuple[str, ...] = ()


@dataclass
class Figure:
    value: float  # the maps' value, or the distance
    error: float  # maps minus simulation (the distance itself for TV)
    noise: float

    @property
    def beyond(self) -> bool:
        return abs(self.error) > self.noise

    @property
    def resolved(self) -> bool:
        return not self.beyond or self.noise <= abs(self.error) / 10


@dataclass
class Row:
    case: Case
    node: int
    time: int
    runs: int
    figures: dict[str, Figure] = field(default_factory=dict)


def station(servers: int, durations: Pmf, arrivals: Pmf) -> Callable[[], navro.StandardMultiserver]:
    def make() -> navro.StandardMultiserver:
        model = navro.StandardMultiserver()
        model.number_of_servers = servers
        model.service_duration_pmf = durations
        model.number_of_arrivals_pmf = arrivals
        model.reset_with_number_of_entities_in_system(0)
        return model

    return make


def station_case(servers: int, service: str, load: float, arrivals: str = "Poisson") -> Case:
    durations = SERVICES[service]
    rate = load * servers / mean_of(durations)
    return Case(
        station(servers, durations, ARRIVALS[arrivals](rate)), str(servers), service, arrivals, load
    )


def network(
    servers: Sequence[int],
    durations: Sequence[Pmf],
    arrivals: Pmf,
    routing: dict[tuple[int, int], float],
) -> Callable[[], navro.StandardNetworkMultiserver]:
    def make() -> navro.StandardNetworkMultiserver:
        model = navro.StandardNetworkMultiserver(len(servers))
        for node, (count, pmf) in enumerate(zip(servers, durations)):
            model.set_number_of_servers_at_node(node, count)
            model.set_service_duration_at_node_pmf(node, pmf)
            model.reset_node_with_number_of_entities(node, 0)
        model.set_number_of_external_arrivals_at_node_pmf(0, arrivals)
        for (source, destination), p in routing.items():
            model.set_routing_probability(source, destination, p)
        return model

    return make


# The families ---------------------------------------------------------------


def one_server() -> Iterator[Case]:
    """Where the maps are exact: they must stay within the noise."""
    for service in SERVICES:
        yield station_case(1, service, 0.9)
    yield station_case(1, "deterministic", 0.9, "steady")
    yield station_case(1, "uniform 1-9", 0.9, "binomial")


def poisson_arrivals() -> Iterator[Case]:
    for service in ("deterministic", "uniform 1-9", "geometric"):
        for servers in (2, 10, 50):
            for load in (0.5, 0.9):
                yield station_case(servers, service, load)


def binomial_arrivals() -> Iterator[Case]:
    """Random arrivals with half the spread of Poisson ones, at load 0.9."""
    for service in ("deterministic", "uniform 1-9"):
        for servers in (2, 10, 20, 30, 50):
            yield station_case(servers, service, 0.9, "binomial")


def call_centre() -> Iterator[Case]:
    """Agents taking calls of 2 to 15 minutes, Poisson arrivals, busy hours."""
    for agents in (10, 20, 30):
        for load in (0.85, 0.95):
            rate = load * agents / mean_of(CALLS)
            yield Case(
                station(agents, CALLS, poisson(rate)), str(agents), "calls 2-15", "Poisson", load
            )


def steady_arrivals() -> Iterator[Case]:
    """The worst case: services of one length and arrivals just as regular."""
    for servers in (2, 10, 50):
        for load in (0.5, 0.9):
            yield station_case(servers, "deterministic", load, "steady")


def networks() -> Iterator[Case]:
    rate = 0.9 / MEAN_SERVICE
    for service in ("geometric", "deterministic"):
        durations = SERVICES[service]
        yield Case(
            network([1, 1], [durations, durations], poisson(rate), {(0, 1): 1.0}),
            "1, 1",
            service,
            "Poisson",
            0.9,
            nodes=(1,),
            node_names=("", "second"),
        )
    # A walk-in clinic: triage, treatment with a return visit that sends some
    # back to treatment; services spread out.
    triage, treatment, back = (
        {1: 0.5, 2: 0.35, 3: 0.15},
        {2: 0.2, 3: 0.3, 4: 0.25, 6: 0.15, 8: 0.1},
        {2: 0.4, 3: 0.4, 4: 0.2},
    )
    yield Case(
        network(
            [2, 4, 1],
            [triage, treatment, back],
            {0: 0.6, 1: 0.3, 2: 0.1},
            {(0, 1): 0.75, (1, 2): 0.30, (2, 1): 0.35},
        ),
        "2, 4, 1",
        "spread out",
        "Poisson-like",
        0.85,
        nodes=(0, 1, 2),
        node_names=("triage", "treatment", "return"),
    )


def limited(make: Callable[[], navro.StandardMultiserver], patience: float, room: int | None):
    """The station of ``make`` whose waiting give up with chance
    ``patience`` a step, holding at most ``room``."""

    def made() -> navro.StandardMultiserver:
        model = make()
        model.abandonment_probability = patience
        model.capacity = room
        return model

    return made


def patience() -> Iterator[Case]:
    """Several servers whose callers give up, some with a limit of room, at
    and above full load."""
    for servers, service, load, chance, room in (
        (2, "uniform 1-9", 1.1, 0.05, 8),
        (4, "deterministic", 0.95, 0.1, None),
        (10, "calls 2-15", 1.0, 0.05, None),
        (20, "calls 2-15", 1.05, 0.02, 30),
    ):
        durations = CALLS if service == "calls 2-15" else SERVICES[service]
        rate = load * servers / mean_of(durations)
        label = f"{servers}, gives up {chance}" + ("" if room is None else f", room {room}")
        yield Case(
            limited(station(servers, durations, poisson(rate)), chance, room),
            label,
            service,
            "Poisson",
            load,
        )


def lockstep() -> Iterator[Case]:
    """Two servers, every service 2 steps, one arrival each step: the real
    queue holds 2 from time 2 on."""
    yield Case(
        station(2, {2: 1.0}, {1: 1.0}),
        "2",
        "exactly 2",
        "one each step",
        1.0,
        horizons=(2, 3, 10, 200),
    )


# Each family's title, cases and first runs: enough to resolve errors of
# about a hundredth where the maps are close, fewer where they are exact or
# far off.
FAMILIES: dict[str, tuple[str, Callable[[], Iterator[Case]], int]] = {
    "one-server": ("One server: exact", one_server, 40_000),
    "poisson": ("Several servers, Poisson arrivals", poisson_arrivals, 400_000),
    "binomial": (
        "Several servers, binomial arrivals (less spread than Poisson)",
        binomial_arrivals,
        400_000,
    ),
    "call-centre": ("A call centre of 10 to 30 agents, busy hours", call_centre, 400_000),
    "steady": (
        "Several servers, services of one length and steady arrivals",
        steady_arrivals,
        40_000,
    ),
    "networks": ("Networks", networks, 40_000),
    "patience": ("Several servers, callers who give up and a limit of room", patience, 100_000),
    "lockstep": (
        "Two servers, services of exactly 2 steps, one arrival each step",
        lockstep,
        40_000,
    ),
}


# Measuring ------------------------------------------------------------------


def measure(case: Case, runs: int, seed: int) -> list[Row]:
    model = case.make()
    horizon = max(case.horizons)
    every = math.gcd(*case.horizons)
    maps = navro.trajectory(copy.copy(model), horizon, every=every)
    real = navro.simulate(model, horizon, runs=runs, seed=(seed, hash_of(case)), every=every)
    comparison = navro.compare(maps, real, level=LEVEL)
    exact_run = exact_trajectory(case, horizon, every)
    exact = None if exact_run is None else navro.compare(exact_run, real, level=LEVEL)
    rows = []

    def at(array: np.ndarray, row: int, node: int) -> float:
        return float(array[row, node] if array.ndim == 2 else array[row])

    def measured(measure: str, view: navro.Trajectory, row: int, node: int) -> Figure:
        """The maps' value of `measure` with its difference from the
        simulation and the noise of that difference."""
        return Figure(
            float(getattr(view, measure)[row]),
            at(comparison.differences[measure], row, node),
            at(comparison.noise[measure], row, node),
        )

    for node in case.nodes:
        view = maps.node(node) if maps.is_network else maps
        for t in case.horizons:
            r = t // every
            tv = comparison.tv
            figures = {
                "tv": Figure(at(tv, r, node), at(tv, r, node), at(comparison.tv_noise, r, node)),
                "busy": measured("prob_all_busy", view, r, node),
                "mean": measured("mean", view, r, node),
                # The arrivals of the steps since the row before: the chance
                # that one waits, and the mean wait (steps).
                "wait": measured("prob_wait", view, r, node),
                "mean wait": measured("mean_wait", view, r, node),
            }
            if exact is not None:
                figures["exact"] = Figure(
                    at(exact.tv, r, node), at(exact.tv, r, node), at(exact.tv_noise, r, node)
                )
            rows.append(Row(case, node, t, runs, figures))
    return rows


@functools.cache
def exact_trajectory(case: Case, horizon: int, every: int) -> navro.Trajectory | None:
    """The exact method's run of the case, or None where the method refuses
    it as larger than its default limit of states."""
    try:
        return navro.trajectory(
            case.make(), horizon, every=every, method="exact", wait_horizon=None
        )
    except ValueError:
        return None


def hash_of(case: Case) -> int:
    """A stream per case, the same from run to run of the script."""
    text = f"{case.servers}|{case.service}|{case.arrivals}|{case.load}"
    return sum((i + 1) * ord(c) for i, c in enumerate(text))


FIGURES = ("tv", "busy", "mean", "wait", "mean wait")


def worst_rows(rows: list[Row]) -> list[Row]:
    """Per figure (distance, P(all busy), mean present, chance to wait, mean
    wait), the row of the largest error beyond its noise."""
    worst = []
    for name in FIGURES:
        beyond = [row for row in rows if row.figures[name].beyond]
        if beyond:
            worst.append(max(beyond, key=lambda row: abs(row.figures[name].error)))
    return worst


def runs_to_resolve(rows: list[Row], runs: int) -> int:
    """The runs that bring the noise of each figure of ``rows`` beyond its
    noise below a tenth of it; the noise falls as the square root of the
    runs."""
    short = [row.figures[name] for row in rows for name in FIGURES]
    short = [f for f in short if not f.resolved]
    if not short:
        return runs
    factor = max((f.noise / (abs(f.error) / 10)) ** 2 for f in short)
    return math.ceil(runs * factor * 1.1 / 1000) * 1000


def measure_family(cases: list[Case], runs: int, most: int, seed: int) -> list[list[Row]]:
    """Every case with ``runs`` runs, then the cases of the family's worst
    errors again, with as many runs as resolve their errors to a tenth (up
    to ``most``), until the worst are resolved or as many runs as can be."""
    measured = [measure(case, runs, seed) for case in cases]
    for _ in range(4):
        again = {}
        for row in worst_rows([row for rows in measured for row in rows]):
            index = cases.index(row.case)
            wanted = min(most, runs_to_resolve(measured[index], measured[index][0].runs))
            if wanted > measured[index][0].runs:
                again[index] = wanted
        if not again:
            break
        for index, wanted in again.items():
            measured[index] = measure(cases[index], wanted, seed)
    return measured


# Output ---------------------------------------------------------------------

COLUMNS = (
    "servers",
    "service",
    "arrivals",
    "load",
    "time",
    "runs",
    "TV distance (noise)",
    "P(all busy)",
    "error (noise)",
    "mean present",
    "error (noise)",
    "P(wait)",
    "error (noise)",
    "mean wait",
    "error (noise)",
    "exact method: TV distance (noise)",
)


def shown(f: Figure, digits: int, sign: bool = True) -> str:
    value = round(f.error, digits)
    text = (
        f"{value:+.{digits}f}" if sign and value else f"{abs(value) if not sign else 0:.{digits}f}"
    )
    if f.beyond and value:
        text = f"**{text}**" + ("" if f.resolved else "†")
    return f"{text} ({f.noise:.{digits}f})"


def describe(row: Row) -> str:
    c = row.case
    name = c.node_names[row.node] if c.node_names else ""
    servers = c.servers if not name else f"{c.servers} ({name})"
    return f"{servers} | {c.service} | {c.arrivals} | {c.load:.2f}"


def table_row(row: Row) -> str:
    f = row.figures
    cells = (
        describe(row),
        str(row.time),
        f"{row.runs:,}",
        shown(f["tv"], 4, sign=False),
        f"{f['busy'].value:.4f}",
        shown(f["busy"], 4),
        f"{f['mean'].value:.3f}",
        shown(f["mean"], 3),
        f"{f['wait'].value:.4f}",
        shown(f["wait"], 4),
        f"{f['mean wait'].value:.3f}",
        shown(f["mean wait"], 3),
        shown(f["exact"], 4, sign=False) if "exact" in f else "refused",
    )
    return "| " + " | ".join(cells) + " |"


def worst(rows: list[Row], name: str) -> str:
    beyond = [row for row in rows if row.figures[name].beyond]
    if not beyond:
        noise = max(row.figures[name].noise for row in rows)
        return f"all within the noise (at most {noise:.4f})"
    row = max(beyond, key=lambda r: abs(r.figures[name].error))
    f = row.figures[name]
    return f"{f.error:+.4f} (noise {f.noise:.4f}) at [{describe(row)}], time {row.time}"


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--runs", type=int, help="first runs per case (each family's own if not given)"
    )
    parser.add_argument("--max-runs", type=int, default=4_000_000)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--family", nargs="*", choices=sorted(FAMILIES), default=list(FAMILIES))
    args = parser.parse_args(argv)
    start = time.perf_counter()
    print(
        f"From empty; mean service {MEAN_SERVICE} steps; load = arrival rate x mean service "
        f"/ servers. Errors are maps minus simulation; each noise is what chance alone "
        f"reaches with probability {LEVEL}; an error beyond it is in bold, and its noise is "
        f"below a tenth of it unless marked with a dagger. Seed {args.seed}."
    )
    for key in args.family:
        title, cases, first = FAMILIES[key]
        print(f"\n**{title}**\n")
        print("| " + " | ".join(COLUMNS) + " |")
        print("|" + "---|" * len(COLUMNS))
        rows = [
            row
            for case_rows in measure_family(
                list(cases()), args.runs or first, args.max_runs, args.seed
            )
            for row in case_rows
        ]
        for row in rows:
            print(table_row(row), flush=True)
        print(
            f"\nWorst of the family: TV distance {worst(rows, 'tv')}; P(all busy) "
            f"{worst(rows, 'busy')}; mean present {worst(rows, 'mean')}; P(wait) "
            f"{worst(rows, 'wait')}; mean wait {worst(rows, 'mean wait')}.",
            flush=True,
        )
    print(f"\n{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
