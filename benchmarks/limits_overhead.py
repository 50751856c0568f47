"""What abandonment and a capacity cost in a step of the maps.

Each workload is a station in a loaded state (a queue of some tens waiting,
within the capacity).
From that one state a step is taken again and again (``restore`` between
steps) without limits, with abandonment, with a capacity and with both, so
that every variant steps the same distribution; the ratios of the medians
to the step without limits are printed. A whole recorded day of a contact
centre (2160 steps) with and without callers who give up follows; there the
states differ, since callers who give up shorten the queue. The runs
alternate, several times, in one process. Nothing is asserted: speed is
measured.

    python benchmarks/limits_overhead.py [repetitions]
"""

from __future__ import annotations

import functools
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import navro
from navro import Clock, Period
from navro.distributions import poisson

CLOCK = Clock("20s")
RATES = [60, 120, 240, 360, 420, 380, 300, 240, 300, 360, 400, 360,
         300, 240, 180, 150, 120, 100, 90, 80, 60, 50, 40, 30]  # fmt: skip
HANDLING = CLOCK.durations(np.random.default_rng(1).gamma(2.0, 90.0, 500))  # seconds

VARIANTS = {
    "without limits": (0.0, None),
    "abandonment 0.02": (0.02, None),
    "capacity 150": (0.0, 150),
    "abandonment 0.02 and capacity 150": (0.02, 150),
}


def loaded(servers: int, arrivals: dict[int, float], durations: dict[int, float]) -> Any:
    station = navro.StandardMultiserver(
        number_of_servers=servers,
        number_of_arrivals_pmf=arrivals,
        service_duration_pmf=durations,
    )
    station.reset_with_number_of_entities_in_system(servers + 40)
    for _ in range(40):
        station.step()
    station.mark()
    return station


def step_seconds(station: Any, patience: float, capacity: int | None, steps: int) -> float:
    station.restore()
    station.abandonment_probability, station.capacity = patience, capacity
    start = time.perf_counter()
    for _ in range(steps):
        station.step()
        station.restore()
        station.abandonment_probability, station.capacity = patience, capacity
    return (time.perf_counter() - start) / steps


def day(patience: float) -> None:
    centre = navro.StandardMultiserver(
        service_duration_pmf=HANDLING, abandonment_probability=patience
    )
    plan = [
        Period("30min", servers=int(rate * 180 / 3600) + 1, arrivals=CLOCK.arrivals(rate))
        for rate in RATES
    ]
    navro.trajectory(centre, plan, clock=CLOCK)


def seconds(run: Callable[[], None]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main(repetitions: int) -> None:
    for name, station in (
        ("20 agents, Poisson(2.4) arrivals, handling of 3 min on a 20 s step",
         loaded(20, poisson(2.4), HANDLING)),
        ("one server, arrivals 0 to 2, services 2 to 6 steps",
         loaded(1, {0: 0.6, 1: 0.3, 2: 0.1}, {2: 0.3, 3: 0.3, 4: 0.2, 6: 0.2})),
    ):  # fmt: skip
        timings: dict[str, list[float]] = {v: [] for v in VARIANTS}
        for _ in range(repetitions):
            for variant, (patience, capacity) in VARIANTS.items():
                timings[variant].append(step_seconds(station, patience, capacity, 20))
        bare = statistics.median(timings["without limits"])
        print(f"{name}: a step without limits takes {bare * 1e3:.2f} ms (median)")
        for variant in list(VARIANTS)[1:]:
            ratio = statistics.median(timings[variant]) / bare
            print(f"  {variant}: {ratio:.2f} x")
    runs: dict[float, list[float]] = {0.0: [], 0.02: []}
    for _ in range(repetitions):
        for patience in runs:
            runs[patience].append(seconds(functools.partial(day, patience)))
    bare = statistics.median(runs[0.0])
    ratio = statistics.median(runs[0.02]) / bare
    print(f"contact centre day, 2160 steps, about 15 % too few agents: {bare:.2f} s without")
    print(f"  callers who give up (0.02 per step): {ratio:.2f} x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
