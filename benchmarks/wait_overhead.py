"""What the arrival measures cost over the recording itself.

A contact centre's day (08:00 to 20:00 on a 20-second step, 2160 steps,
half-hourly volumes with two peaks, handling times of three minutes on
average, 4 to 27 agents) is recorded without waits (``wait_horizon=None``)
and with the waits up to several horizons: 0 steps (the chance to wait and
the mean wait), 10 steps (service levels of up to 200 seconds) and longer
ones (the full distribution of the wait). The same is done for a small
station of one server, where a step costs little and the wait's
distribution is the larger share. The runs alternate, several times, in one
process; the ratios of the medians are printed. Nothing is asserted: speed
is measured.

    python benchmarks/wait_overhead.py [repetitions]
"""

from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable

import numpy as np

import navro
from navro import Clock, Period

CLOCK = Clock("20s")
# Calls per hour in each half hour from 08:00.
RATES = [60, 120, 240, 360, 420, 380, 300, 240, 300, 360, 400, 360,
         300, 240, 180, 150, 120, 100, 90, 80, 60, 50, 40, 30]  # fmt: skip
HANDLING = CLOCK.durations(np.random.default_rng(1).gamma(2.0, 90.0, 500))  # seconds


def contact_centre_day(horizon: int | None) -> None:
    centre = navro.StandardMultiserver()
    centre.service_duration_pmf = HANDLING
    day = [
        Period("30min", servers=int(rate * 180 / 3600 * 1.15) + 2, arrivals=CLOCK.arrivals(rate))
        for rate in RATES
    ]
    navro.trajectory(centre, day, clock=CLOCK, wait_horizon=horizon)


def one_server(horizon: int | None) -> None:
    station = navro.StandardMultiserver()
    station.number_of_servers = 1
    station.number_of_arrivals_pmf = {0: 0.8, 1: 0.2}
    station.service_duration_pmf = {2: 0.3, 3: 0.3, 4: 0.2, 6: 0.2}
    navro.trajectory(station, 2000, wait_horizon=horizon)


def seconds(run: Callable[[int | None], None], horizon: int | None) -> float:
    start = time.perf_counter()
    run(horizon)
    return time.perf_counter() - start


def main(repetitions: int) -> None:
    for name, run, horizons in (
        ("contact centre day, 2160 steps, 4 to 27 agents", contact_centre_day, (0, 10, 30, 90)),
        ("one server, 2000 steps", one_server, (0, 10, 30, 90)),
    ):
        timings: dict[int | None, list[float]] = {h: [] for h in (None, *horizons)}
        for _ in range(repetitions):  # alternate, so that a disturbance hits all alike
            for h in timings:
                timings[h].append(seconds(run, h))
        bare = statistics.median(timings[None])
        print(f"{name}: recorded without waits in {bare * 1e3:.1f} ms (median of {repetitions})")
        for h in horizons:
            ratio = statistics.median(timings[h]) / bare
            print(f"  with waits up to {h:3d} steps: {ratio:.2f} x the recording without waits")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 7)
