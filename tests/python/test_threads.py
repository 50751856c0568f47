"""Threads and Ctrl-C: a long step or run lets other threads run, refuses the
calls that they make on its model meanwhile, and stops at a signal, leaving
the model after its last whole step."""

import copy
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import navro
from navro.distributions import uniform

IN_USE = ("Model in use by another call",)


def long_station(servers=2000, arrivals=1000, counts=3000):
    """A station whose one step takes seconds: thousands of counts, each with
    a service that may end or go on, and a wide window of arrivals. Smaller
    sizes make steps of some milliseconds."""
    station = navro.StandardMultiserver()
    station.number_of_servers = servers
    station.number_of_arrivals_pmf = uniform(0, arrivals)
    station.service_duration_pmf = uniform(1, 100)
    station.internal_state = {(z, ell): 1.0 for z in range(counts) for ell in (1, 50)}
    return station


def long_network(servers=2000, arrivals=1000, counts=3000):
    net = navro.StandardNetworkMultiserver(2)
    for node in range(2):
        net.set_number_of_servers_at_node(node, servers)
        net.set_service_duration_at_node_pmf(node, uniform(1, 100))
    net.set_number_of_external_arrivals_at_node_pmf(0, uniform(0, arrivals))
    net.set_routing_probability(0, 1, 0.5)
    net.internal_state = [{(z, ell): 1.0 for z in range(counts) for ell in (1, 50)}] * 2
    return net


def busy(model):
    try:
        model.time
    except navro.error as error:
        assert error.args == IN_USE
        return True
    return False


def interrupt_when_busy(model, calls=(), after=0.0):
    """Makes `calls` in a thread of its own once another thread's call is
    working on `model`, then, `after` seconds later, sends SIGINT to the
    process, as Ctrl-C does. That the thread runs at all while the call works
    shows that the call has let the interpreter lock go. Returns the thread
    and what each call raised (None for a call that went through)."""
    raised = []

    def meddle():
        try:
            deadline = time.monotonic() + 30
            while not busy(model) and time.monotonic() < deadline:
                time.sleep(0.001)
            for call in calls:
                try:
                    call(model)
                    raised.append(None)
                except navro.error as error:
                    raised.append(error.args)
            time.sleep(after)
        finally:
            os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=meddle)
    thread.start()
    return thread, raised


def state_of(model):
    """Every field, the snapshot's too, bit for bit."""
    return model.__reduce__()[2]


@pytest.mark.parametrize("make", [long_station, long_network])
def test_ctrl_c_stops_a_long_step_and_leaves_the_model_as_it_was(make):
    model = make()
    before, memory = state_of(model), model.current_memory_use
    with pytest.raises(KeyboardInterrupt):
        thread, _ = interrupt_when_busy(model)
        try:
            model.step()
        finally:
            thread.join()
    assert state_of(model) == before
    assert model.current_memory_use == memory  # the step's intermediates are gone
    model.restore()  # and it takes calls again


@pytest.mark.parametrize("make", [long_station, long_network])
def test_ctrl_c_stops_a_run_after_its_last_whole_step(make):
    model, twin = make(300, 200, 500), make(300, 200, 500)  # steps of milliseconds
    start = model.time
    with pytest.raises(KeyboardInterrupt):
        thread, _ = interrupt_when_busy(model, after=0.2)
        try:
            navro.trajectory(model, 100)
        finally:
            thread.join()
    for _ in range(model.time - start):
        twin.step()
    assert state_of(model) == state_of(twin)


# Every kind of entry: procedures, queries, runs, attributes both ways, repr,
# copies and pickles; they all pass the one entry path.
STATION_CALLS = [
    lambda m: m.step(),
    lambda m: m.apply_observation_range(0, 4),
    lambda m: m.mark(),
    lambda m: m.get_number_of_entities_in_system_pmf(),
    lambda m: m._record(2, 1, 0, 3),
    lambda m: m.internal_state,
    lambda m: setattr(m, "service_duration_pmf", {1: 1.0}),
    lambda m: setattr(m, "time", 3),
    lambda m: m.current_memory_use,
    repr,
    copy.deepcopy,
    pickle.dumps,
    lambda m: m.__setstate__({}),
]
NETWORK_CALLS = [
    lambda n: n.step(),
    lambda n: n.get_routing_probability(0, 1),
    lambda n: n.set_number_of_servers_at_node(0, 1),
    lambda n: n.internal_state,
]


@pytest.mark.parametrize(
    "make, calls", [(long_station, STATION_CALLS), (long_network, NETWORK_CALLS)]
)
def test_calls_from_another_thread_are_refused_while_a_step_works(make, calls):
    model = make()
    before = state_of(model)
    with pytest.raises(KeyboardInterrupt):
        thread, raised = interrupt_when_busy(model, calls)
        try:
            model.step()
        finally:
            thread.join()
    assert raised == [IN_USE] * len(calls)
    assert state_of(model) == before


# The interpreter, shutting down, ends a daemon thread that takes its lock
# back, by unwinding the thread's stack; the step under way must let that
# unwinding pass rather than end the whole process with an abort.
EXIT_WHILE_STEPPING = textwrap.dedent(
    """
    import threading
    from test_threads import busy, long_station

    model = long_station()
    threading.Thread(target=lambda: [model.step() for _ in range(100)], daemon=True).start()
    while not busy(model):
        pass
    """
)


@pytest.mark.skipif(
    os.environ.get("NAVRO_SANITIZE") == "1",
    reason="AddressSanitizer keeps the marks of the frames that the thread-ending unwinding "
    "abandons, and reports its own bookkeeping at the next rethrow as an overflow",
)
def test_the_interpreter_exits_cleanly_while_a_daemon_thread_steps():
    result = subprocess.run(
        [sys.executable, "-c", EXIT_WHILE_STEPPING],
        cwd=os.path.dirname(__file__),  # for test_threads; navro is the installed one
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr


def in_a_child(check):
    """Whether `check()` passes in a child forked now, which has only this
    thread."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if check() else 1
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


@pytest.mark.parametrize("make", [long_station, long_network])
def test_a_child_forked_during_a_step_finds_the_model_at_its_last_whole_state(make):
    model = make()
    before = state_of(model)
    small = {(1, 1): 0.5, (2, 3): 0.5}

    def usable():
        if state_of(model) != before or copy.deepcopy(model).time != model.time:
            return False
        model.internal_state = small if make is long_station else [small, small]
        model.step()
        return model.time == 1

    passed = []
    with pytest.raises(KeyboardInterrupt):
        thread, _ = interrupt_when_busy(model, [lambda m: passed.append(in_a_child(usable))])
        try:
            model.step()
        finally:
            thread.join()
    assert passed == [True]
    assert state_of(model) == before


# Started with SIGINT ignored (a background job of a non-interactive shell,
# nohup), Python leaves it ignored: the suite must set up Ctrl-C itself.
SIGINT_IGNORED = textwrap.dedent(
    """
    import os, signal, sys
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # inherited through exec
    os.execv(sys.argv[1], sys.argv[1:])
    """
)


def test_the_ctrl_c_tests_pass_when_started_with_sigint_ignored():
    pytest_script = os.path.join(os.path.dirname(sys.executable), "pytest")
    test = "test_threads.py::test_ctrl_c_stops_a_long_step_and_leaves_the_model_as_it_was"
    result = subprocess.run(
        [
            sys.executable,
            "-c",
            SIGINT_IGNORED,
            pytest_script,
            "-q",
            "-p",
            "no:cacheprovider",
            f"{test}[long_station]",
        ],
        cwd=os.path.dirname(__file__),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout
