"""The exact method (``navro.trajectory(..., method="exact")``): its size and
speed on stations of 2, 4 and 8 servers and on networks of 2 and 3 nodes, and
the time of an exact run against that of a simulation precise enough to
stand in for it.

    python benchmarks/exact_chain.py [--steps N] [--quick]

The table gives, per case, the states the chain holds at the end of the run,
those of positive probability, the transitions it stores (over the parts of
its step), the time per step and the probability dropped over the run.

The ratio times a 480-step exact run of a station of 4 servers (services
uniform on 1..10, load 0.9, from empty) against a simulation of the same run
with enough runs for a standard error of 0.001 on P(all servers busy) at
every step: runs = max over the steps of p (1 - p) / 0.001**2, p taken from
the exact run itself, and navro.simulate is timed on that many runs.

Needs NumPy: pip install '.[bench]'.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import Any

import numpy as np

import navro
from navro import Period, _exact
from navro.distributions import poisson, uniform

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def station(servers: int, longest: int, load: float = 0.9) -> navro.StandardMultiserver:
    centre = navro.StandardMultiserver()
    centre.number_of_servers = servers
    centre.service_duration_pmf = uniform(1, longest)
    centre.number_of_arrivals_pmf = poisson(load * servers / ((1 + longest) / 2))
    centre.reset_with_number_of_entities_in_system(0)
    return centre


def tandem() -> navro.StandardNetworkMultiserver:
    """Two stations of one server in tandem, services uniform on 1..5, load 0.9."""
    line = navro.StandardNetworkMultiserver(2)
    for node in range(2):
        line.set_number_of_servers_at_node(node, 1)
        line.set_service_duration_at_node_pmf(node, uniform(1, 5))
        line.reset_node_with_number_of_entities(node, 0)
    line.set_number_of_external_arrivals_at_node_pmf(0, poisson(0.9 / 3))
    line.set_routing_probability(0, 1, 1.0)
    return line


def clinic() -> navro.StandardNetworkMultiserver:
    """Triage (1 server), treatment (2) and a return visit (1) with feedback,
    services of 1 to 3 steps; triage at load 0.83."""
    net = navro.StandardNetworkMultiserver(3)
    for node, (staff, durations) in enumerate(
        [(1, {1: 0.5, 2: 0.5}), (2, {1: 0.3, 2: 0.4, 3: 0.3}), (1, {1: 0.4, 2: 0.6})]
    ):
        net.set_number_of_servers_at_node(node, staff)
        net.set_service_duration_at_node_pmf(node, durations)
        net.reset_node_with_number_of_entities(node, 0)
    net.set_number_of_external_arrivals_at_node_pmf(0, poisson(0.55))
    net.set_routing_probability(0, 1, 0.75)
    net.set_routing_probability(1, 2, 0.3)
    net.set_routing_probability(2, 1, 0.35)
    return net


CASES: list[tuple[str, Any]] = [
    ("2 servers, services 1..10", lambda: station(2, 10)),
    ("4 servers, services 1..10", lambda: station(4, 10)),
    ("8 servers, services 1..4", lambda: station(8, 4)),
    ("2 nodes in tandem, 1 server each, services 1..5", tandem),
    ("3 nodes with feedback, 1+2+1 servers, services 1..3", clinic),
]


def size_table(steps: int) -> None:
    print(f"\nExact runs of {steps} steps from empty, load 0.9 (the networks' first node)\n")
    print("| case | states held | of positive probability | transitions | ms per step | dropped |")
    print("|---|---|---|---|---|---|")
    for name, make in CASES:
        model = make()
        run = _exact.start(model, [Period(steps)], _exact.DEFAULT_MAX_STATES, 1e-12, "bench", {})
        start = time.perf_counter()
        run.record(steps, 1, 0, -1)
        elapsed = time.perf_counter() - start
        chain = run.chain
        print(
            f"| {name} | {chain.states:,} | {chain.active_states:,} | {chain.transitions:,} | "
            f"{1000 * elapsed / steps:.2f} | {chain.dropped_mass:.1e} |",
            flush=True,
        )


def ratio(steps: int) -> None:
    centre = station(4, 10)
    start = time.perf_counter()
    run = navro.trajectory(centre, steps, method="exact", wait_horizon=None)
    exact_time = time.perf_counter() - start
    p = run.prob_all_busy[1:]
    runs = math.ceil(float(np.max(p * (1 - p))) / 0.001**2)
    print(f"\nA {steps}-step exact run of 4 servers, services 1..10, load 0.9: {exact_time:.2f} s")
    print(f"Runs a simulation needs for a standard error of 0.001 on P(all busy): {runs:,}")
    start = time.perf_counter()
    navro.simulate(station(4, 10), steps, runs=runs, seed=1, wait_horizon=None)
    simulated = time.perf_counter() - start
    print(f"navro.simulate on {runs:,} runs: {simulated:.2f} s")
    print(f"exact over simulate: {exact_time / simulated:.3f}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=480)
    parser.add_argument("--quick", action="store_true", help="fewer steps")
    args = parser.parse_args(argv)
    steps = 48 if args.quick else args.steps
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    size_table(steps)
    ratio(steps)


if __name__ == "__main__":
    main()
