"""Sweeps: results in scenario order and equal to the last bit to a serial
run, on the default process pool and on a Dask cluster of worker processes;
a failing scenario keeps its own row."""

import concurrent.futures
import sys

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


def serial_rows():
    rows = []
    for scenario in SCENARIOS:
        try:
            rows.append({**scenario, **station_after_a_while(scenario), "error": None})
        except navro.error as exc:
            rows.append({**scenario, "error": f"navro.error: {exc}"})
    return rows


def assert_rows_equal_to_serial(table):
    assert list(table.columns) == ["servers", "arrival", "mean", "state", "error"]
    for got, want in zip(table.to_dict("records"), serial_rows(), strict=True):
        if want["error"] is not None:
            assert got["error"] == want["error"]
            continue
        assert table.error.isna().sum() == len(SCENARIOS) - 1
        assert got["mean"].hex() == want["mean"].hex()
        assert {**got, "error": None} == want


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


def means(scenario):
    return station_after_a_while(scenario)["mean"]


def test_results_that_are_not_dicts_come_as_a_list_with_the_failure_in_place():
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = navro.sweep(means, SCENARIOS, executor=pool, progress=False)
    failure = results.pop(FAILED)
    assert results == [means(s) for i, s in enumerate(SCENARIOS) if i != FAILED]
    assert isinstance(failure, navro.ScenarioFailure)
    assert failure.scenario is SCENARIOS[FAILED]
    assert isinstance(failure.error, navro.error)
    assert "station_after_a_while" in failure.traceback


def test_without_pandas_dict_results_come_as_a_list(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now fails
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        results = navro.sweep(station_after_a_while, SCENARIOS[:2], executor=pool, progress=False)
    assert results == [station_after_a_while(s) for s in SCENARIOS[:2]]


def test_scenarios_that_are_not_dicts_get_a_scenario_column():
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        table = navro.sweep(lambda n: {"double": 2 * n}, [3, 1], executor=pool, progress=False)
    assert table[["scenario", "double"]].to_dict("list") == {"scenario": [3, 1], "double": [6, 2]}
    assert table.error.isna().all()


def test_a_function_the_pool_cannot_send_is_refused_before_anything_runs():
    with pytest.raises(TypeError, match="picklable"):
        navro.sweep(lambda s: s, [1], progress=False)


@pytest.mark.parametrize("progress", [True, False])
def test_progress_bar_can_be_turned_off(capsys, progress):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        navro.sweep(abs, [-1, 2], executor=pool, progress=progress)
    assert ("2/2" in capsys.readouterr().err) == progress
