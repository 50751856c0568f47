"""What recording a trajectory costs over the bare steps.

A small station takes 1000 steps from the same state: as bare `step()`
calls from Python, as one `navro.trajectory` call that also records the
distribution and the expected completions at every step (without the
arrivals' waits), and as the same call with the waits up to 10 steps (its
default). They alternate, several times, in one process; the ratios of the
medians are printed. Nothing is asserted: speed is measured.

    python benchmarks/trajectory_overhead.py [repetitions]
"""

from __future__ import annotations

import statistics
import sys
import time

import navro
from navro.distributions import poisson, uniform

STEPS = 1000


def small_station() -> navro.StandardMultiserver:
    station = navro.StandardMultiserver()
    station.number_of_servers = 2
    station.number_of_arrivals_pmf = poisson(0.8)
    station.service_duration_pmf = uniform(1, 4)
    for _ in range(50):  # past the first steps, where the state is still narrow
        station.step()
    station.mark()
    return station


def bare(station: navro.StandardMultiserver) -> float:
    station.restore()
    start = time.perf_counter()
    for _ in range(STEPS):
        station.step()
    return time.perf_counter() - start


def recorded(station: navro.StandardMultiserver, horizon: int | None) -> float:
    station.restore()
    start = time.perf_counter()
    navro.trajectory(station, STEPS, wait_horizon=horizon)
    return time.perf_counter() - start


def main(repetitions: int) -> None:
    station = small_station()
    bare_times, recorded_times, waits_times = [], [], []
    for _ in range(repetitions):
        bare_times.append(bare(station))
        recorded_times.append(recorded(station, None))
        waits_times.append(recorded(station, 10))
    b, r = statistics.median(bare_times), statistics.median(recorded_times)
    w = statistics.median(waits_times)
    print(f"{STEPS} steps of a small station, median of {repetitions}:")
    print(f"  bare step() calls              {b * 1e3:8.2f} ms")
    print(f"  recorded trajectory, no waits  {r * 1e3:8.2f} ms")
    print(f"  recorded with waits to 10      {w * 1e3:8.2f} ms")
    print(f"  recording overhead ratio {r / b:.3f} (recorded / bare)")
    print(f"  with the waits           {w / b:.3f} (recorded with waits / bare)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 15)
