"""Speed of the step, as times and as ratios measured in one run.

    python benchmarks/run_benchmarks.py [--baseline PATH] [SECTION ...]

Sections (all by default):

  workloads  the fixed workloads below: median time per step and how many
             outcomes the full map stands for per second of stepping. For a
             station an outcome is one (z, d, a, entity_is_old, ell'); the
             outcomes are counted in Python from the states before and after
             each step, outside the timed region.
  scipy      one server, 1000 steps, against an exact sparse Markov chain of
             the same queue in SciPy (build included on both sides).
  kernel     50 servers, 300 steps: outcomes per second against a C loop,
             compiled here, that does one multiply-add per outcome.
  tandem     the cost per node of a step in a 2,000-node tandem over that in a
             25-node one; and a 10,000-node tandem's step and memory.
  sweep      the speed-up of a sweep of independent scenarios on the default
             process pool over the same scenarios run one after the other in
             this process.
  threads    the steps per second of two threads, each stepping a model of
             its own, over those of one thread, against the same for hashing,
             which never holds the interpreter lock; and how soon Ctrl-C stops
             a step of seconds.

--baseline PATH times the workloads on another build of navro too (the
compiled module of an earlier version: a top-level `navro` extension or a
package's `_core` extension) and prints the speed-up of this one.

Nothing is asserted: speed is measured. The SciPy comparison needs the
`bench` extra (pip install 'navro[bench]').
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import hashlib
import importlib.machinery
import importlib.util
import math
import os
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Protocol

import navro

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python")
)
import reference_model
import reference_network


class Runner(Protocol):
    def capture(self) -> Any: ...
    def step(self) -> None: ...
    def count(self, captured: Any) -> int: ...


@dataclass
class Workload:
    name: str
    make: Callable[[ModuleType], Runner]
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

    def __init__(
        self,
        module: ModuleType,
        servers: int,
        arrivals: dict[int, float],
        durations: dict[int, float],
    ):
        self.model = module.StandardMultiserver()
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


def tandem(
    module: ModuleType,
    nodes: int,
    servers: int,
    durations: dict[int, float],
    arrivals: dict[int, float],
    feedback: float,
) -> Any:
    """Nodes in tandem, the last feeding back to the first, all empty; the
    arrivals from outside come to node 0."""
    model = module.StandardNetworkMultiserver(nodes)
    for i in range(nodes):
        model.set_number_of_servers_at_node(i, servers)
        model.set_service_duration_at_node_pmf(i, durations)
        model.set_routing_probability(i, (i + 1) % nodes, 1.0 if i + 1 < nodes else feedback)
        model.reset_node_with_number_of_entities(i, 0)
    model.set_number_of_external_arrivals_at_node_pmf(0, arrivals)
    return model


class NetworkRunner:
    """An outcome is one (z, d, phi, a, entity_is_old, ell') at a node."""

    def __init__(self, model: Any):
        self.model = model

    def capture(self) -> Any:
        return reference_network.Network.of(self.model)

    def step(self) -> None:
        self.model.step()

    def count(self, captured: Any) -> int:
        counts = [
            self.model.get_number_of_entities_at_node_pmf(i) for i in range(len(captured.servers))
        ]
        return reference_network.count_outcomes(
            captured, [min(c) for c in counts], [max(c) for c in counts]
        )


ONE_SERVER = ({0: 0.65, 1: 0.35}, {1: 0.2, 2: 0.3, 3: 0.3, 4: 0.2})
FIFTY_SERVERS = (50, poisson(8.0), uniform(1, 10))
FIFTY = Workload(
    "50 servers, service 1..10, arrivals Poisson(8)",
    lambda m: StationRunner(m, *FIFTY_SERVERS),
    300,
)

WORKLOADS = [
    Workload(
        "1 server, service 1..20, arrivals 0/1 at 0.04",
        lambda m: StationRunner(m, 1, {0: 0.96, 1: 0.04}, uniform(1, 20)),
        1000,
    ),
    Workload(
        "1 server, service 1..4, arrivals 0/1 at 0.35",
        lambda m: StationRunner(m, 1, *ONE_SERVER),
        1000,
    ),
    Workload(
        "20 servers, service 1..10, arrivals Poisson(3)",
        lambda m: StationRunner(m, 20, poisson(3.0), uniform(1, 10)),
        200,
    ),
    FIFTY,
    Workload(
        "100 servers, service 1..30, arrivals Poisson(6)",
        lambda m: StationRunner(m, 100, poisson(6.0), uniform(1, 30)),
        100,
    ),
    Workload(
        "6 nodes in tandem, 10% fed back, 3 servers each, service 1..5, Poisson(1) at node 0",
        lambda m: NetworkRunner(tandem(m, 6, 3, uniform(1, 5), poisson(1.0), 0.1)),
        200,
    ),
]


def run(
    workload: Workload, module: ModuleType = navro, counted: bool = True
) -> tuple[float, float]:
    """Median seconds per step, and outcomes per second of stepping."""
    runner = workload.make(module)
    durations = []
    outcomes = 0
    for _ in range(workload.steps):
        captured = runner.capture() if counted else None
        start = time.perf_counter()
        runner.step()
        durations.append(time.perf_counter() - start)
        if counted:
            outcomes += runner.count(captured)
    return statistics.median(durations), outcomes / math.fsum(durations)


def load_build(path: str) -> ModuleType:
    """A compiled navro module of another version, under a name of its own so
    that it lives beside this one. Its init function is named after the last
    component of the name the loader is given."""
    init = "_core" if os.path.basename(path).startswith("_core") else "navro"
    name = f"navro_baseline.{init}"
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    found = importlib.util.spec_from_file_location(name, path, loader=loader)
    assert found is not None
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def workloads(baseline: ModuleType | None) -> None:
    width = max(len(w.name) for w in WORKLOADS)
    header = f"{'workload':<{width}}  {'steps':>5}  {'median/step':>11}  {'outcomes/s':>11}"
    print(header + ("  {:>11}  {:>8}".format("baseline", "speed-up") if baseline else ""))
    for workload in WORKLOADS:
        median, rate = run(workload)
        line = (
            f"{workload.name:<{width}}  {workload.steps:>5}  {median * 1e3:>9.3f}ms  {rate:>11.3e}"
        )
        if baseline is not None:
            before, _ = run(workload, baseline, counted=False)
            line += f"  {before * 1e3:>9.3f}ms  {before / median:>7.1f}x"
        print(line)


# --- one server against an exact Markov chain ---------------------------------


def chain_matrix(arrivals: dict[int, float], durations: dict[int, float], largest: int) -> Any:
    """The transposed transition matrix of the one-server queue over the
    states (z, ell), z = 0 .. largest, in navro's timing convention: the
    arrivals of a step are counted at its end; a service whose remaining time
    is 1 ends in the step and the next one, if anybody is there, starts at
    its end with a whole service time to go; an empty station describes a
    service about to start. Outcomes beyond `largest` are dropped."""
    import numpy as np
    import scipy.sparse

    longest = max(durations)
    z = np.repeat(np.arange(largest + 1), longest)
    ell = np.tile(np.arange(1, longest + 1), largest + 1)
    source = np.arange(z.size)
    rows, cols, values = [], [], []

    def add(mask: Any, target: Any, probability: float) -> None:
        keep = mask & (target // longest <= largest)
        rows.append(target[keep])
        cols.append(source[keep])
        values.append(np.full(int(keep.sum()), probability))

    starts = (z == 0) | (ell == 1)
    for a, pa in arrivals.items():
        after = np.where(z == 0, a, z - 1 + a)
        for s, ps in durations.items():
            add(starts, after * longest + s - 1, pa * ps)
        add(~starts, (z + a) * longest + ell - 2, pa)
    shape = (z.size, z.size)
    return scipy.sparse.csr_matrix(
        (np.concatenate(values), (np.concatenate(rows), np.concatenate(cols))), shape
    )


def chain_run(
    arrivals: dict[int, float], durations: dict[int, float], largest: int, steps: int
) -> Any:
    import numpy as np

    matrix = chain_matrix(arrivals, durations, largest)
    x = np.zeros(matrix.shape[0])
    for s, ps in durations.items():
        x[s - 1] = ps  # empty, with a service about to start
    for _ in range(steps):
        x = matrix @ x
    return x


def navro_run(arrivals: dict[int, float], durations: dict[int, float], steps: int) -> Any:
    model = navro.StandardMultiserver()
    model.number_of_servers = 1
    model.number_of_arrivals_pmf = arrivals
    model.service_duration_pmf = durations
    model.reset_with_number_of_entities_in_system(0)
    for _ in range(steps):
        model.step()
    return model


def as_vector(state: dict[tuple[int, int], float], longest: int, size: int) -> Any:
    import numpy as np

    x = np.zeros(size)
    for (z, ell), p in state.items():
        x[z * longest + ell - 1] = p
    return x


def scipy_comparison(steps: int = 1000, repeats: int = 7) -> None:
    try:
        import numpy as np
        import scipy  # noqa: F401
    except ImportError as error:
        raise ImportError(
            "the SciPy comparison needs the bench extra: pip install 'navro[bench]'"
        ) from error

    arrivals, durations = ONE_SERVER
    longest = max(durations)
    # Exact: the chain grows until what its truncation loses over the run is
    # below 1e-12.
    largest = 2 * max(z for z, _ in navro_run(arrivals, durations, steps).internal_state)
    while 1.0 - chain_run(arrivals, durations, largest, steps).sum() > 1e-12:
        largest += largest // 2

    # Agreement, step by step: the chain applied to navro's state agrees with
    # navro's next state to within what navro's tail cut (at most 1e-8 a
    # step) takes. Over the whole run the cuts add up, and the distance after
    # the last step is printed beside the check.
    matrix = chain_matrix(arrivals, durations, largest)
    model = navro.StandardMultiserver()
    model.number_of_servers = 1
    model.number_of_arrivals_pmf = arrivals
    model.service_duration_pmf = durations
    model.reset_with_number_of_entities_in_system(0)
    worst = 0.0
    for _ in range(steps):
        expected = matrix @ as_vector(model.internal_state, longest, matrix.shape[0])
        model.step()
        got = as_vector(model.internal_state, longest, matrix.shape[0])
        worst = max(worst, 0.5 * float(np.abs(got - expected).sum()))
    if worst > 1e-7:
        raise AssertionError(f"navro and the chain disagree by {worst:.2e} in a step")
    exact = chain_run(arrivals, durations, largest, steps)
    drift = 0.5 * float(np.abs(as_vector(model.internal_state, longest, exact.size) - exact).sum())

    navro_times, chain_times = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        navro_run(arrivals, durations, steps)
        navro_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        chain_run(arrivals, durations, largest, steps)
        chain_times.append(time.perf_counter() - start)
    # The best of several runs, each side's least disturbed by the rest of
    # the machine.
    ours, theirs = min(navro_times), min(chain_times)
    print(
        f"one server, {steps} steps, build included: navro {ours * 1e3:.2f}ms, "
        f"SciPy chain of {exact.size} states {theirs * 1e3:.2f}ms, ratio {ours / theirs:.2f}"
    )
    print(
        f"  agreement: at most {worst:.1e} in total variation a step; "
        f"{drift:.1e} after {steps} steps of tail cuts"
    )


# --- fifty servers against a plain C loop -----------------------------------

KERNEL = r"""
/* One multiply-add per outcome: a walk that pours outcomes one by one, with
   nothing around the pour. Each block of `width` outcomes shares a weight,
   as the remaining times of one (z, d, a, entity_is_old) do. */
double pour(long long outcomes, const double *weights, int width, double *cells) {
    for (long long block = 0; block < outcomes / width; ++block) {
        double w = weights[block & 1023];
        for (int j = 0; j < width; ++j) cells[j] += w * weights[j];
    }
    return cells[0];
}
"""


def compiled_kernel(directory: str) -> Any:
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    source = os.path.join(directory, "kernel.c")
    library = os.path.join(directory, "kernel.so")
    with open(source, "w") as f:
        f.write(KERNEL)
    subprocess.run([*compiler, "-O2", "-shared", "-fPIC", source, "-o", library], check=True)
    pour = ctypes.CDLL(library).pour
    pour.restype = ctypes.c_double
    pour.argtypes = [ctypes.c_longlong, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
    return pour


def kernel_comparison() -> None:
    workload = FIFTY
    _, ours = run(workload)
    outcomes = 10_000_000
    width = len(FIFTY_SERVERS[2])
    weights = (ctypes.c_double * 1024)(*[1.0 / (k + 2) for k in range(1024)])
    cells = (ctypes.c_double * width)()
    with tempfile.TemporaryDirectory() as directory:
        try:
            pour = compiled_kernel(directory)
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"fifty servers: no C compiler to build the plain loop with ({error})")
            return
        pour(outcomes, weights, width, cells)  # warm
        times = []
        for _ in range(5):
            start = time.perf_counter()
            pour(outcomes, weights, width, cells)
            times.append(time.perf_counter() - start)
    theirs = outcomes / statistics.median(times)
    print(
        f"{workload.name}, {workload.steps} steps: navro {ours:.2e} outcomes/s, "
        f"one multiply-add per outcome in C {theirs:.2e}/s, ratio {ours / theirs:.1f}"
    )


# --- networks: cost per node as the network grows -----------------------------


def busy_node_state(servers: int = 3) -> Any:
    """The state of a node in the middle of a 25-node tandem that has run long
    enough for the entities to reach every node."""
    model = tandem(navro, 25, servers, uniform(1, 5), poisson(0.8 * servers / 3), 0.1)
    for _ in range(4 * 25 + 100):
        model.step()
    return model.internal_state[12]


def per_node(nodes: int, state: Any, servers: int = 3, steps: int = 30) -> float:
    """Median seconds per node of a step of a tandem whose every node starts
    from `state`, so that the work of a node is the same at any size."""
    model = tandem(navro, nodes, servers, uniform(1, 5), poisson(0.8 * servers / 3), 0.1)
    model.internal_state = [state] * nodes
    for _ in range(10):
        model.step()
    times = []
    for _ in range(steps):
        start = time.perf_counter()
        model.step()
        times.append(time.perf_counter() - start)
    return statistics.median(times) / nodes


def sparse_tandem(nodes: int) -> Any:
    """A tandem of one-server nodes set up with the bulk routing setter, as a
    network of thousands of nodes is."""
    model = navro.StandardNetworkMultiserver(nodes)
    for i in range(nodes):
        model.set_number_of_servers_at_node(i, 1)
    model.set_routing_probabilities(
        list(range(nodes - 1)), list(range(1, nodes)), [1.0] * (nodes - 1)
    )
    model.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
    return model


def tandem_scaling() -> None:
    # One server a node is the case whose cost once grew with the square of
    # the nodes; three busy servers a node hold states too large for the
    # cache at 2000 nodes, so their ratio also shows the memory's speed.
    for servers in (1, 3):
        # Sizes alternate and the median ratio is kept, so that a burst of
        # another process's work falls on one pair, not on one size.
        state = busy_node_state(servers)
        pairs = [(per_node(25, state, servers), per_node(2000, state, servers)) for _ in range(5)]
        small = statistics.median(p[0] for p in pairs)
        large = statistics.median(p[1] for p in pairs)
        ratio = statistics.median(p[1] / p[0] for p in pairs)
        print(
            f"tandem, {servers} server(s) a node, every node busy: {small * 1e6:.1f}us a node "
            f"with 25 nodes, {large * 1e6:.1f}us with 2000, ratio {ratio:.2f} (median of 5)"
        )
    model = sparse_tandem(10_000)
    start = time.perf_counter()
    for _ in range(10):
        model.step()
    step = (time.perf_counter() - start) / 10
    print(
        f"tandem of 10000 one-server nodes: {step * 1e3:.1f}ms a step, "
        f"{model.current_memory_use / 1e6:.1f}MB held (at most {model.peak_memory_use / 1e6:.1f}MB)"
    )


# --- a sweep on the default process pool ------------------------------------


def sweep_scenario(servers: int) -> float:
    """One scenario of the sweep benchmark: a station stepped from empty; the
    mean number present at the end."""
    runner = StationRunner(navro, servers, poisson(0.4 * servers), uniform(1, 10))
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
    assert swept.result.tolist() == serial, "the sweep must give the serial run's results"
    return middle - start, end - middle, os.cpu_count() or 1


def sweep_comparison() -> None:
    scenarios = [10, 12, 14, 16, 18, 20, 22, 24]
    serial, swept, workers = sweep_speedup(scenarios)
    print(
        f"sweep of {len(scenarios)} stations: serial {serial:.2f}s, process pool of "
        f"{workers} {swept:.2f}s, speed-up {serial / swept:.2f}x"
    )


# --- threads: models stepped side by side, and Ctrl-C ----------------------


def steps_per_second(models: list[Any], steps: int) -> float:
    """Steps per second of all `models` together, each stepped `steps` times
    in a thread of its own, all at once."""
    threads = [
        threading.Thread(target=lambda m=m: [m.step() for _ in range(steps)]) for m in models
    ]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return len(models) * steps / (time.perf_counter() - start)


def interrupt_latency() -> tuple[float, float]:
    """Seconds from the start of a step of seconds to the SIGINT that another
    thread sends, and from the signal to the KeyboardInterrupt."""
    model = navro.StandardMultiserver()
    model.number_of_servers = 2000
    model.number_of_arrivals_pmf = uniform(0, 1000)
    model.service_duration_pmf = uniform(1, 100)
    model.internal_state = {(z, ell): 1.0 for z in range(3000) for ell in (1, 50)}
    sent: list[float] = []

    def send() -> None:
        time.sleep(0.5)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=send)
    start = time.perf_counter()
    try:
        thread.start()
        model.step()
        raise AssertionError("the step ended before the signal")
    except KeyboardInterrupt:
        stopped = time.perf_counter()
    finally:
        thread.join()
    return sent[0] - start, stopped - sent[0]


def hashes_per_second(data: bytes, threads: int, hashes: int) -> float:
    """SHA-256 digests per second of `threads` threads, each hashing `data`
    `hashes` times; the hashing lets the interpreter lock go."""
    work = [
        threading.Thread(target=lambda: [hashlib.sha256(data) for _ in range(hashes)])
        for _ in range(threads)
    ]
    start = time.perf_counter()
    for thread in work:
        thread.start()
    for thread in work:
        thread.join()
    return threads * hashes / (time.perf_counter() - start)


def thread_comparison(steps: int = 2000, repeats: int = 7) -> None:
    runner = StationRunner(navro, 20, poisson(3.0), uniform(1, 10))
    for _ in range(200):  # into the busy state, where steps cost the most
        runner.step()
    warm = runner.model
    data = os.urandom(16 << 20)
    load = os.getloadavg()[0]
    ours, hashing, single = [], [], []
    for _ in range(repeats):
        one = steps_per_second([copy.copy(warm)], steps)
        two = steps_per_second([copy.copy(warm), copy.copy(warm)], steps)
        ours.append(two / one)
        single.append(one)
        hashing.append(hashes_per_second(data, 2, 20) / hashes_per_second(data, 1, 20))
    quotients = [a / b for a, b in zip(ours, hashing)]
    print(
        f"20 servers, service 1..10, arrivals Poisson(3), {steps} steps a model: two threads "
        f"with a model each {statistics.median(ours):.2f}x the steps per second of one thread "
        f"({1e6 / statistics.median(single):.0f}us a step); hashing 16MB, "
        f"{statistics.median(hashing):.2f}x; ratio {statistics.median(quotients):.2f} "
        f"(median of {repeats}); {os.cpu_count()} cores, load average {load:.2f}"
    )
    running, latency = interrupt_latency()
    print(
        f"Ctrl-C {running:.1f}s into a step of 2000 servers: KeyboardInterrupt "
        f"{latency * 1e3:.1f}ms after the signal"
    )


SECTIONS = {
    "workloads": None,
    "scipy": scipy_comparison,
    "kernel": kernel_comparison,
    "tandem": tandem_scaling,
    "sweep": sweep_comparison,
    "threads": thread_comparison,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sections", nargs="*", metavar="SECTION", help=", ".join(SECTIONS))
    parser.add_argument("--baseline", help="compiled module of another navro build to compare with")
    args = parser.parse_args()
    unknown = [name for name in args.sections if name not in SECTIONS]
    if unknown:
        parser.error(f"unknown section {unknown[0]!r}; choose from {', '.join(SECTIONS)}")
    chosen = args.sections or list(SECTIONS)
    for i, name in enumerate(chosen):
        if i:
            print()
        if name == "workloads":
            workloads(load_build(args.baseline) if args.baseline else None)
        else:
            SECTIONS[name]()


if __name__ == "__main__":
    main()
