"""Speed of navro.simulate, as ratios measured in one run.

    python benchmarks/simulation_speed.py [--runs R] [--steps T] [--repeats K]

1. Simulated entity-steps per second (the number present, summed over the
   steps and runs simulated) of ``navro.simulate`` on one thread, over those
   of a NumPy simulation of the same station written here, with the runs as
   the vector axis: stations of 1, 10 and 50 servers, Poisson arrivals at
   load 0.9, services uniform on 1..9 steps, from empty.
2. The speed-up of two threads over one, for ``simulate`` of the 10-server
   station, divided by the speed-up of two threads over one that hashing
   (``hashlib.sha256`` of a large buffer, which lets the interpreter lock go)
   gets in the same run: 1 means the simulation scales as well as work that
   never touches the interpreter.

Each figure is the median of ``--repeats`` timings. The machine's load
average is printed first: on a shared machine, run it when the load is low.
Nothing is asserted. Needs NumPy only.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import threading
import time
from collections.abc import Callable

import numpy as np

import navro
from navro.distributions import poisson, uniform

DURATIONS = uniform(1, 9)
LOAD = 0.9


def station(servers: int) -> navro.StandardMultiserver:
    model = navro.StandardMultiserver()
    model.number_of_servers = servers
    model.service_duration_pmf = DURATIONS
    mean = sum(k * p for k, p in DURATIONS.items())
    model.number_of_arrivals_pmf = poisson(LOAD * servers / mean)
    model.reset_with_number_of_entities_in_system(0)
    return model


class Draws:
    """Draws from a finite distribution, many at once, by inverting its
    cumulative sum."""

    def __init__(self, pmf: dict[int, float]):
        values, weights = zip(*sorted(pmf.items()))
        cumulative = np.cumsum(weights)
        self.cumulative = cumulative / cumulative[-1]
        self.values = np.asarray(values, dtype=np.int32)

    def __call__(self, random: np.random.Generator, size: int) -> np.ndarray:
        index = np.searchsorted(self.cumulative, random.random(size), side="right")
        return self.values[np.minimum(index, len(self.values) - 1)]


def numpy_simulation(model: navro.StandardMultiserver, runs: int, steps: int, seed: int) -> int:
    """The same station in NumPy, all runs at once: each server's remaining
    time (0: idle) in a runs x servers array. Returns the entity-steps."""
    random = np.random.default_rng(seed)
    servers = model.number_of_servers
    arrivals = Draws(model.number_of_arrivals_pmf)
    durations = Draws(model.service_duration_pmf)
    present = np.zeros(runs, dtype=np.int64)
    remaining = np.zeros((runs, servers), dtype=np.int32)
    entity_steps = 0
    for _ in range(steps):
        busy_before = np.minimum(present, servers)
        np.subtract(remaining, 1, out=remaining, where=remaining > 0)
        ended = busy_before - np.count_nonzero(remaining, axis=1)
        present += arrivals(random, runs) - ended
        idle = remaining == 0
        starting = np.minimum(present, servers) - (servers - np.count_nonzero(idle, axis=1))
        # The first `starting` idle servers of each run take an entity each.
        taking = idle & (np.cumsum(idle, axis=1, dtype=np.int32) <= starting[:, None])
        remaining[taking] = durations(random, int(np.count_nonzero(taking)))
        entity_steps += int(present.sum())
    return entity_steps


def navro_simulation(
    model: navro.StandardMultiserver, runs: int, steps: int, seed: int, threads: int = 1
) -> int:
    run = navro.simulate(model, steps, runs=runs, seed=seed, threads=threads)
    return round(float(run.mean[1:].sum()) * runs)


def run_steps_time(model: navro.StandardMultiserver, runs: int, steps: int) -> float:
    """Seconds of one simulation on one thread."""
    start = time.perf_counter()
    navro.simulate(model, steps, runs=runs, seed=1, threads=1)
    return time.perf_counter() - start


def rate(work: Callable[[], int], repeats: int) -> float:
    """The median of ``repeats`` timings, as units of work per second."""
    rates = []
    for _ in range(repeats):
        start = time.perf_counter()
        done = work()
        rates.append(done / (time.perf_counter() - start))
    return statistics.median(rates)


def hashing_rate(threads: int, megabytes: int = 64, rounds: int = 4) -> float:
    """Bytes hashed per second by `threads` threads, each hashing its own
    buffer `rounds` times."""
    buffer = os.urandom(megabytes << 20)

    def hash_it() -> None:
        for _ in range(rounds):
            hashlib.sha256(buffer).digest()

    workers = [threading.Thread(target=hash_it) for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * rounds * len(buffer) / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=4000)
    parser.add_argument("--steps", type=int, default=500)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"load average before the run: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print(f"{args.runs} runs of {args.steps} steps from empty, load {LOAD}, services 1..9")
    print()
    print("| servers | simulate, entity-steps/s | NumPy, entity-steps/s | ratio |")
    print("|---|---|---|---|")
    for servers in (1, 10, 50):
        model = station(servers)
        ours = rate(
            lambda model=model: navro_simulation(model, args.runs, args.steps, 1), args.repeats
        )
        theirs = rate(
            lambda model=model: numpy_simulation(model, args.runs, args.steps, 1), args.repeats
        )
        print(f"| {servers} | {ours:.3g} | {theirs:.3g} | {ours / theirs:.1f} |", flush=True)

    # Patience and a capacity: the time of a run-step with them over one
    # without, on the same station (10 servers).
    print()
    print("| 10 servers, load 0.9 | time per run-step over none |")
    print("|---|---|")
    plain = station(10)
    for patience, room in ((0.05, None), (0.0, 30), (0.05, 30)):
        model = station(10)
        model.abandonment_probability = patience
        model.capacity = room
        ratios = []
        for _ in range(args.repeats):
            without = run_steps_time(plain, args.runs, args.steps)
            ratios.append(run_steps_time(model, args.runs, args.steps) / without)
        print(f"| gives up {patience}, room {room} | {statistics.median(ratios):.2f} |", flush=True)

    model = station(10)
    one, two, hash_one, hash_two = [], [], [], []
    for _ in range(args.repeats):
        one.append(rate(lambda: navro_simulation(model, 4 * args.runs, args.steps, 1, 1), 1))
        two.append(rate(lambda: navro_simulation(model, 4 * args.runs, args.steps, 1, 2), 1))
        hash_one.append(hashing_rate(1))
        hash_two.append(hashing_rate(2))
    ours = statistics.median(b / a for a, b in zip(one, two))
    hashing = statistics.median(b / a for a, b in zip(hash_one, hash_two))
    print()
    print(
        f"two threads over one: simulate {ours:.2f}, hashing {hashing:.2f}, "
        f"simulate over hashing {ours / hashing:.2f}"
    )


if __name__ == "__main__":
    main()
