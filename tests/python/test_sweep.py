"""Sweeps: results in scenario order and equal to the last bit to a serial
run, on the default process pool and on a Dask cluster of worker processes;
inputs, results and failures kept apart; a failing, stuck or interrupted
scenario keeps its own row or stops the sweep whole, and never costs another
row a value."""

import concurrent.futures
import multiprocessing
import os
import signal
import sys
import threading
import time
import types

import pytest

import navro

SCENARIOS = [
    {"servers": 3, "arrival": 0.5},
    {"servers": 2, "arrival": 0.7},
    {"servers": -1, "arrival": 0.5},  # refused by the step
    {"servers": 4, "arrival": 0.9},
]
FAILED = 2


def station_after_a_while(scenario):
    """A station stepped for a while; every probability of its state, as hex
    text so that comparisons are exact."""
    station = navro.StandardMultiserver()
    station.number_of_servers = scenario["servers"]
    station.number_of_arrivals_pmf = {
        0: 1 - scenario["arrival"],
        1: scenario["arrival"] * 0.6,
        2: scenario["arrival"] * 0.4,
    }
    station.service_duration_pmf = {1: 0.2, 2: 0.3, 3: 0.3, 5: 0.2}
    for _ in range(25):
        station.step()
    present = station.get_number_of_entities_in_system_pmf()
    return {
        "mean": sum(n * p for n, p in present.items()),
        "state": tuple((z, ell, p.hex()) for (z, ell), p in station.internal_state.items()),
    }


def assert_rows_equal_to_serial(table):
    assert list(table.columns) == [
        ("scenario", "servers"),
        ("scenario", "arrival"),
        ("result", "mean"),
        ("result", "state"),
        ("error", ""),
    ]
    assert table.scenario.to_dict("records") == SCENARIOS
    for i, scenario in enumerate(SCENARIOS):
        if i == FAILED:
            assert str(table.error[i]).startswith("navro.error: Invalid number of servers.")
            assert table.result.loc[i].isna().all()
            continue
        assert table.error[i] is None
        want = station_after_a_while(scenario)
        assert table.result["mean"][i].hex() == want["mean"].hex()
        assert table.result.state[i] == want["state"]


def test_default_process_pool_matches_serial_run():
    assert_rows_equal_to_serial(navro.sweep(station_after_a_while, SCENARIOS, progress=False))


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    # Sent by value: the workers need not find this test module on their path.
    distributed.protocol.pickle.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client.get_executor()


def test_dask_cluster_matches_serial_run(dask_executor):
    table = navro.sweep(station_after_a_while, SCENARIOS, executor=dask_executor, progress=False)
    assert_rows_equal_to_serial(table)


def mean_with(servers):
    return station_after_a_while({"servers": servers, "arrival": 0.5})["mean"]


def test_values_that_are_not_dicts_take_one_column_each():
    servers = [s["servers"] for s in SCENARIOS]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        table = navro.sweep(mean_with, servers, executor=pool, progress=False)
    assert list(table.columns) == [("scenario", ""), ("result", ""), ("error", "")]
    assert table.scenario.tolist() == servers
    assert table.result.drop(FAILED).tolist() == [mean_with(s) for s in servers if s >= 0]
    failure = table.error[FAILED]
    assert isinstance(failure, navro.ScenarioFailure) and failure.scenario == -1
    assert isinstance(failure.error, navro.error)
    assert "station_after_a_while" in failure.traceback


def colliding(scenario):
    return {"error": "the result's", "scenario": 7, "mean": scenario["mean"] + 1}


def test_keys_that_collide_keep_every_value():
    scenarios = [{"error": "the scenario's", "mean": 1}, {"error": None, "mean": "two"}]
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        table = navro.sweep(colliding, scenarios, executor=pool, progress=False)
    assert table.scenario.to_dict("records") == scenarios
    assert table.result.to_dict("records")[0] == {"error": "the result's", "scenario": 7, "mean": 2}
    assert str(table.error[1]).startswith("TypeError")
    assert table.error[0] is None


def test_without_pandas_it_says_which_extra_before_anything_runs(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now fails
    with pytest.raises(ImportError, match=r"navro\[pandas\]"):
        navro.sweep(pytest.fail, [1], executor=concurrent.futures.ThreadPoolExecutor(1))


def test_a_function_the_pool_cannot_send_is_refused_before_anything_runs():
    with pytest.raises(TypeError, match="picklable"):
        navro.sweep(lambda s: s, [1], progress=False)


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_can_be_turned_off(capsys, progress):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        navro.sweep(abs, [-1, 2], executor=pool, progress=progress)
    assert ("2/2" in capsys.readouterr().err) == progress


class Unrebuildable(Exception):
    """Pickles as (class, (text,)), which its __init__ cannot take back."""

    def __init__(self, code, text):
        super().__init__(f"{code}: {text}")


class UnloadableResult:
    def __reduce__(self):
        return (Unrebuildable, ("no",))


def awkward(scenario):
    if scenario == "raises":
        raise Unrebuildable(42, "the answer")
    if scenario == "returns":
        return UnloadableResult()
    return scenario.upper()


def test_what_the_parent_cannot_rebuild_fails_its_own_row_only():
    table = navro.sweep(awkward, ["a", "raises", "b", "returns", "c"], progress=False)
    assert table.result[[0, 2, 4]].tolist() == ["A", "B", "C"]
    assert str(table.error[1]) == "test_sweep.Unrebuildable: 42: the answer"
    assert "awkward" in table.error[1].traceback
    assert "cannot be rebuilt here" in str(table.error[3])


# Set after the module is imported: a worker that inherited this process's
# memory, as a forked one does, would see it.
INHERITED = False


def inherited(_):
    return INHERITED


def test_the_default_pool_starts_workers_that_inherit_nothing_of_this_process():
    global INHERITED
    INHERITED = True
    try:
        assert navro.sweep(inherited, [1, 2], progress=False).result.tolist() == [False, False]
    finally:
        INHERITED = False


def dawdle(seconds):
    """Sleeps in short naps, so that a thread can be stopped between them."""
    ends = time.monotonic() + seconds
    while time.monotonic() < ends:
        time.sleep(0.01)
    return seconds


@pytest.mark.parametrize("executor", ["default", "threads", "dask"])
def test_a_scenario_past_its_timeout_is_stopped_and_reported(executor, request):
    pool = {
        "default": lambda: None,
        "threads": lambda: concurrent.futures.ThreadPoolExecutor(2),
        "dask": lambda: request.getfixturevalue("dask_executor"),
    }[executor]()
    began = time.monotonic()
    table = navro.sweep(dawdle, [0, 600, 0.1], executor=pool, timeout=3, progress=False)
    assert time.monotonic() - began < 60
    assert table.result[[0, 2]].tolist() == [0, 0.1]
    assert isinstance(table.error[1].error, TimeoutError), table.error[1]
    if executor == "threads":
        pool.shutdown()


def nap(marker):
    with open(marker, "w"):
        pass
    time.sleep(600)


def test_ctrl_c_stops_a_stuck_sweep_and_its_workers(tmp_path):
    marker = tmp_path / "asleep"
    sent = []

    def ctrl_c_once_asleep():
        ends = time.monotonic() + 120
        while not marker.exists() and time.monotonic() < ends:
            time.sleep(0.05)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    others = set(multiprocessing.active_children())  # a Dask cluster's, say
    threading.Thread(target=ctrl_c_once_asleep, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        navro.sweep(nap, [str(marker)] * 3, progress=False)
    assert marker.exists()
    assert time.monotonic() - sent[0] < 10  # not the 600 s of the naps
    assert set(multiprocessing.active_children()) <= others


def test_a_function_defined_interactively_is_sent_as_a_copy(monkeypatch):
    pytest.importorskip("cloudpickle")
    session = types.ModuleType("__main__")  # an interpreter's prompt: no file
    monkeypatch.setitem(sys.modules, "__main__", session)
    exec("def tripled(n):\n    return 3 * n", session.__dict__)
    table = navro.sweep(session.tripled, [1, 2], progress=False)
    assert table.result.tolist() == [3, 6]
