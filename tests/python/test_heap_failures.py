"""Heap failures: every request that an operation or a conversion makes may
fail, the module's own and the interpreter's; the call then raises "Out of
memory" and leaves the model, and the heap, as they were. A heap that is
already exhausted at a thread's first error is reported, not fatal."""

import contextlib
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import navro
from navro import _core, simulation

SANITIZED = os.environ.get("NAVRO_SANITIZE") == "1"


def station():
    model = navro.StandardMultiserver()
    model.number_of_servers = 2
    model.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    model.service_duration_pmf = {1: 0.4, 2: 0.3, 3: 0.3}
    model.step()
    model.mark()
    model.step()
    return model


def network():
    model = navro.StandardNetworkMultiserver(3)
    for node in range(3):
        model.set_number_of_servers_at_node(node, 1 + node)
        model.set_service_duration_at_node_pmf(node, {1: 0.5, 2: 0.5})
    model.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.4, 1: 0.4, 2: 0.2})
    model.set_routing_probability(0, 1, 0.6)
    model.set_routing_probability(1, 2, 0.5)
    model.set_routing_probability(2, 2, 0.2)
    model.step()
    model.mark()
    model.step()
    return model


def observe(model):
    """Everything a caller can read of a model."""
    seen = {"time": model.time, "state": model.internal_state, "repr": repr(model)}
    if isinstance(model, navro.StandardMultiserver):
        for name in ("number_of_servers", "number_of_arrivals_pmf", "service_duration_pmf"):
            seen[name] = getattr(model, name)
        return seen
    n = model.get_number_of_nodes()
    for node in range(n):
        seen[node] = (
            model.get_number_of_servers_at_node(node),
            model.get_service_duration_at_node_pmf(node),
            model.get_number_of_external_arrivals_at_node_pmf(node),
            model.get_number_of_entities_at_node_pmf(node),
            [model.get_routing_probability(node, d) for d in range(n)],
        )
    return seen


def core_arguments(model):
    """What navro.simulate hands the core for 3 steps of 5 runs: made once,
    outside the failures, as the layer above the core is not under test."""
    settings = simulation._period_settings(model, [navro.Period(3)])
    network = isinstance(model, navro.StandardNetworkMultiserver)
    periods = simulation._core_arguments([navro.Period(3)], settings, network)
    return (*periods, 1, 2, 5, 17, 1)


SIMULATION_ARGUMENTS = {}


def simulation_arguments(model):
    return SIMULATION_ARGUMENTS[type(model)]


STATION_CALLS = [
    lambda m: m.step(),
    lambda m: m.apply_observation_range(1, 4),
    lambda m: m.apply_observation_value(2),
    lambda m: m.reset_with_number_of_entities_in_system(3),
    lambda m: m.mark(),
    lambda m: m.restore(),
    lambda m: m.get_number_of_entities_in_system_pmf(),
    lambda m: m.internal_state,
    lambda m: m.number_of_arrivals_pmf,
    lambda m: setattr(m, "internal_state", {(0, 1): 0.5, (2, 1): 0.25, (2, 3): 0.25}),
    lambda m: setattr(m, "service_duration_pmf", {1: 0.5, 4: 0.5}),
    lambda m: setattr(m, "number_of_arrivals_pmf", {0: 0.5, 9: 0.5}),
    lambda m: setattr(m, "number_of_servers", 4),
    lambda m: setattr(m, "time", 4),
    lambda m: setattr(m, "number_of_servers", np.int64(3)),
    lambda m: m.__init__(number_of_servers=3, internal_state={(1, 1): 0.5, (2, 3): 0.5}, time=5),
    lambda m: (m.time, m.number_of_servers, m.current_memory_use, repr(m)),
    lambda m: navro.StandardMultiserver(),
    lambda m: m.__setstate__(m.__reduce__()[2]),
    lambda m: _core._simulate(m, *simulation_arguments(m)),
]
NETWORK_CALLS = [
    lambda n: n.step(),
    lambda n: n.apply_observation_range_at_node(1, 0, 2),
    lambda n: n.apply_observation_value_at_node(0, 1),
    lambda n: n.reset_node_with_number_of_entities(2, 3),
    lambda n: n.mark(),
    lambda n: n.restore(),
    lambda n: n.get_number_of_entities_at_node_pmf(1),
    lambda n: n.get_service_duration_at_node_pmf(1),
    lambda n: n.get_number_of_external_arrivals_at_node_pmf(0),
    lambda n: (
        n.get_number_of_nodes(),
        n.get_number_of_servers_at_node(1),
        n.get_routing_probability(0, 1),
    ),
    lambda n: n.internal_state,
    lambda n: setattr(
        n, "internal_state", [{(0, 1): 1.0}, {(1, 2): 0.5, (3, 1): 0.5}, {(0, 1): 1.0}]
    ),
    lambda n: n.set_service_duration_at_node_pmf(1, {2: 0.5, 5: 0.5}),
    lambda n: n.set_number_of_external_arrivals_at_node_pmf(2, {0: 0.5, 3: 0.5}),
    lambda n: n.set_number_of_servers_at_node(0, 5),
    lambda n: n.set_routing_probability(1, 0, 0.25),
    lambda n: setattr(n, "time", 4),
    lambda n: (n.time, n.current_memory_use, repr(n)),
    lambda n: navro.StandardNetworkMultiserver(3),
    lambda n: n.__init__(
        3,
        number_of_servers=np.array([1, 2, 3]),
        routing_probabilities=[[0.25] * 3] * 3,
        service_duration_pmfs=[{2: 0.5, 3: 0.5}] * 3,
    ),
    lambda n: n.__setstate__(n.__reduce__()[2]),
    lambda n: _core._simulate(n, *simulation_arguments(n)),
]
SIMULATION_ARGUMENTS.update(
    {type(model): core_arguments(model) for model in (station(), network())}
)
OPERATIONS = [(station, call) for call in STATION_CALLS] + [
    (network, call) for call in NETWORK_CALLS
]


@contextlib.contextmanager
def module_heap_fails_at(n):
    _core._set_allocation_failure_countdown(n)
    try:
        yield
    finally:
        _core._set_allocation_failure_countdown(0)


@contextlib.contextmanager
def interpreter_heap_fails_at(n):
    testcapi = pytest.importorskip("_testcapi")
    testcapi.set_nomemory(n, n + 1)
    try:
        yield
    finally:
        testcapi.remove_mem_hooks()


@pytest.fixture
def no_collection():
    """Counts the module's heap blocks with the garbage of earlier tests gone
    and no collection in between, which would free blocks this test never
    took (a model an earlier test left in a cycle)."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


# With its own heap failing, the interpreter may report a failure it cannot
# raise (in a traceback, say) as an ignored exception; that is not the model's.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("heap_fails_at", [module_heap_fails_at, interpreter_heap_fails_at])
@pytest.mark.parametrize("make, call", OPERATIONS)
def test_every_heap_request_may_fail_and_the_call_changes_nothing(
    make, call, heap_fails_at, no_collection
):
    for n in range(1, 10_000):
        blocks = _core._heap_blocks_in_use()
        model = make()
        before = observe(model)
        try:
            with heap_fails_at(n):
                call(model)
        except navro.error as error:
            assert error.args == ("Out of memory",)
        except MemoryError:
            # The interpreter's own work (a frame, a bound method) failed
            # before or after the model's code.
            assert heap_fails_at is interpreter_heap_fails_at
        else:
            return  # the n-th request is past the call's last one
        assert observe(model) == before
        # The model keeps the scratch storage of its step between calls, so
        # what is left on the heap is compared once the model is gone.
        del model
        assert _core._heap_blocks_in_use() == blocks
    pytest.fail("the call never got through")


# A C++ runtime makes a thread's error-handling state at the thread's first
# error, and the loader the module's thread-local variables at their first
# use, both from the heap. A thread that had used a model and then found the
# heap exhausted at its first error, or its first heap request, used to end
# the process ("cannot allocate memory for thread-local data", exit 127).
EXHAUST = textwrap.dedent(
    """
    import ctypes, resource, sys, threading
    import navro

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    model = navro.StandardMultiserver()
    model.internal_state = {(z, ell): 1.0 for z in range(30) for ell in range(1, 20)}

    def exhaust():
        model.time
        hoard = (ctypes.c_void_p * 4_000_000)()
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size + 32 * 1024) * 1024, resource.RLIM_INFINITY))
        # Take every block the heap still has, down to the smallest.
        count, size = 0, 1 << 30
        while size >= 8 and count < len(hoard):
            block = libc.malloc(size)
            if block:
                hoard[count] = block
                count += 1
            else:
                size //= 2
        try:
            model.internal_state
            outcome = "read"
        except (navro.error, MemoryError) as error:
            outcome = type(error).__name__
        for i in range(count):
            libc.free(hoard[i])
        print(outcome)

    if sys.argv[1] == "thread":
        thread = threading.Thread(target=exhaust)
        thread.start()
        thread.join()
    else:
        exhaust()
    """
)


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's shadow memory needs an unlimited address space"
)
@pytest.mark.parametrize("where", ["main", "thread"])
def test_first_error_of_a_thread_with_the_heap_exhausted_is_reported(where, tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", EXHAUST, where],
        cwd=tmp_path,  # not the checkout, whose navro folder has no compiled core
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in ("error", "MemoryError")


# A few far-apart values describe a step whose rows span 2**31 remaining
# times, some 16 GB a row: the step refuses it before it asks for that much,
# within a heap limited to a gigabyte more than the interpreter has taken.
FAR_APART = textwrap.dedent(
    """
    import resource
    import navro

    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
    state = {(1, 2**31 - 1): 0.5, (2, 1): 0.5}
    station = navro.StandardMultiserver()
    station.number_of_servers = 2
    station.internal_state = state
    network = navro.StandardNetworkMultiserver(2)
    network.set_number_of_servers_at_node(0, 2)
    network.internal_state = [state, {(0, 1): 1.0}]
    for model in (station, network):
        before = model.__reduce__()[2]
        for call in (model.step, lambda: model._record(3, 1, 0, -1)):
            try:
                call()
                raise AssertionError("the step went through")
            except navro.error as error:
                assert error.args == ("Out of memory",), error
            assert model.__reduce__()[2] == before
    station.internal_state = {(1, 1): 1.0}
    station.step()
    print("refused")
    """
)


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's shadow memory needs an unlimited address space"
)
def test_a_step_that_would_need_gigabytes_is_refused_before_it_asks(tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", FAR_APART], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused"
