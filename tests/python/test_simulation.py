"""navro.simulate and navro.compare: the real system agrees with the maps where
they are exact and with an independent simulation everywhere, gives the same
bits for the same seed whatever the threads or the machine, and stops at
Ctrl-C."""

import copy
import hashlib
import os
import signal
import sys
import threading
import time
from dataclasses import replace

import numpy as np
import pytest
from hypothesis import given, strategies as st

import navro
import reference_simulation as reference
from navro import Period
from navro.distributions import geometric
from navro.simulation import Sampling, _t_quantile
from test_threads import IN_USE, busy, state_of

SANITIZED = os.environ.get("NAVRO_SANITIZE") == "1"
RUNS = 1000 if SANITIZED else 3000
# Chance alone exceeds the noise at this level about once in a million
# figures: a test of a few hundred figures per example fails by chance
# practically never, while a fault of timing (an entity leaving in the step
# it came, a freed server idle for a step) is far beyond it.
STRICT = 1 - 1e-6


def weights(values):
    return st.dictionaries(values, st.floats(0.05, 1.0), min_size=1, max_size=3)


@st.composite
def exact_stations(draw):
    """A station where the maps are exact: one server (cut to none and back)
    with any services, changed from period to period, or geometric services
    of one mean with any servers; a schedule of periods that change servers,
    arrivals and durations."""
    one_server = draw(st.booleans())
    if one_server:
        servers, durations = st.integers(0, 1), weights(st.integers(1, 5))
    else:
        # Services of several means at once would not be alike.
        servers, durations = st.integers(0, 4), st.none()
    model = navro.StandardMultiserver()
    model.number_of_servers = draw(servers)
    model.service_duration_pmf = (
        draw(durations) if one_server else geometric(draw(st.floats(0.25, 0.9)), tail=1e-12)
    )
    model.number_of_arrivals_pmf = draw(weights(st.integers(0, 2)))
    model.reset_with_number_of_entities_in_system(draw(st.integers(0, 3)))
    period = st.builds(
        Period,
        steps=st.integers(1, 5),
        servers=st.none() | servers,
        arrivals=st.none() | weights(st.integers(0, 2)),
        durations=st.none() | durations,
    )
    # A server added at a period's start takes a waiting entity with a
    # service of the new period; the maps' state carries the old period's
    # durations into it. They agree while a period changes one of the two.
    period = period.filter(lambda p: p.servers is None or p.durations is None)
    return model, draw(st.lists(period, min_size=1, max_size=3))


def assert_within_noise(comparison, leaving_out=()):
    beyond = {
        name: np.flatnonzero(flags).tolist()
        for name, flags in comparison.beyond_noise().items()
        if flags.any() and name not in leaving_out
    }
    table = comparison.to_pandas()
    shown = [c for c in table.columns if c.split("_noise")[0] in beyond or c == "tv"]
    assert not beyond, (beyond, table[shown].to_string())


@given(exact_stations(), st.integers(0, 2**64 - 1))
def test_where_the_maps_are_exact_the_simulation_agrees_within_its_noise(station, seed):
    model, schedule = station
    simulated = navro.simulate(model, schedule, runs=RUNS, seed=seed, threads=2)
    computed = navro.trajectory(copy.copy(model), schedule)
    # The maps count an arrival's wait with the settings of its own step, so
    # their waits are exact only while the settings stay; the simulation's
    # entities meet the next period's servers.
    waits = ("prob_wait", "mean_wait", "wait_beyond") if len(schedule) > 1 else ()
    assert_within_noise(navro.compare(computed, simulated, level=STRICT), waits)


@pytest.mark.parametrize("case", range(6))
def test_a_few_runs_of_whole_number_waits_stay_within_the_noise_of_the_exact_model(case):
    # One server with services of two neighbouring lengths and callers who
    # give up: a row's few served callers often all wait the same whole
    # number of steps, which their own spread would call no noise at all.
    rng = np.random.default_rng(case)
    model = navro.StandardMultiserver()
    model.number_of_servers = 1
    shortest = int(rng.integers(2, 5))
    model.service_duration_pmf = {shortest: 0.5, shortest + 1: 0.5}
    model.number_of_arrivals_pmf = {1: 1.0} if case % 2 == 0 else {0: 0.3, 1: 0.5, 2: 0.2}
    model.abandonment_probability = float(rng.choice([0.3, 0.7]))
    model.capacity = None if case < 4 else int(rng.integers(1, 4))
    simulated = navro.simulate(model, 15, runs=20, seed=case, threads=1, wait_horizon=6)
    computed = navro.trajectory(copy.copy(model), 15, wait_horizon=6)
    assert_within_noise(navro.compare(computed, simulated, level=STRICT, within=2))


def reference_trajectory(result, servers, lowest_row_servers):
    """The independent simulation's rows as a Trajectory with its sums over
    runs, for compare (its arrival measures are compared apart)."""
    steps, nodes, runs = result.present.shape
    top = int(result.present.max()) + 1
    frequencies = np.stack(
        [
            [np.bincount(result.present[t, n], minlength=top) / runs for n in range(nodes)]
            for t in range(steps)
        ]
    )
    ended = result.ended.astype(np.float64)
    completions = ended.mean(axis=2)
    completions[0] = np.nan
    zeros = np.zeros((steps, nodes))
    sampling = Sampling.from_sums(
        {
            **{name: zeros.reshape(-1) for name in Sampling._PER_ROW},
            **{name: np.zeros(steps * nodes) for name in Sampling._PER_WAIT},
            "ended_squares": (ended**2).mean(axis=2).reshape(-1),
        },
        steps,
        nodes,
        0,
        runs,
        0,
    )
    row_servers = np.array([lowest_row_servers, *servers], dtype=np.int64)
    return navro.Trajectory(
        times=np.arange(steps),
        period=np.zeros(steps, np.int64),
        servers=row_servers,
        lowest=0,
        probabilities=frequencies,
        completions=completions,
        network=nodes > 1,
        periods=1,
        sampling=sampling,
    )


def wait_figures(result, node, horizon):
    """Per row: P(W = 0), P(W > horizon) and the mean wait, pooled over runs."""
    rows = []
    for t in range(1, len(result.waits)):
        waits = result.waits[t][node]
        total = sum(waits.values())
        rows.append(
            (
                sum(n for w, n in waits.items() if w == 0) / total,
                sum(n for w, n in waits.items() if w > horizon) / total,
                sum(w * n for w, n in waits.items()) / total,
            )
            if total
            else (np.nan,) * 3
        )
    return np.array(rows)


CASES = {
    # Several servers with other than geometric services, cut and raised.
    "station": (
        [
            (6, [reference.Node(3, {1: 0.3, 4: 0.7}, {0: 0.4, 1: 0.4, 2: 0.2})], None),
            (5, [reference.Node(1, {2: 0.5, 3: 0.5}, {0: 0.6, 1: 0.4})], None),
            (6, [reference.Node(4, {1: 0.3, 4: 0.7}, {1: 1.0})], None),
        ],
        [2],
    ),
    # A tandem with feedback from the second node to both.
    "network": (
        [
            (
                8,
                [
                    reference.Node(2, {2: 1.0}, {0: 0.3, 1: 0.5, 2: 0.2}),
                    reference.Node(1, {1: 0.5, 3: 0.5}),
                ],
                [[0.0, 0.9], [0.2, 0.3]],
            ),
            (
                6,
                [
                    reference.Node(1, {2: 1.0}, {0: 0.5, 1: 0.5}),
                    reference.Node(2, {1: 0.5, 3: 0.5}),
                ],
                [[0.1, 0.8], [0.2, 0.3]],
            ),
        ],
        [1, 0],
    ),
}


def navro_model(periods, start):
    first = periods[0][1]
    if len(first) == 1:
        model = navro.StandardMultiserver()
        model.number_of_servers = first[0].servers
        model.service_duration_pmf = first[0].durations
        model.reset_with_number_of_entities_in_system(start[0])
        schedule = [
            Period(steps, servers=n[0].servers, arrivals=n[0].arrivals, durations=n[0].durations)
            for steps, n, _ in periods
        ]
        return model, schedule
    model = navro.StandardNetworkMultiserver(len(first))
    for i, node in enumerate(first):
        model.set_service_duration_at_node_pmf(i, node.durations)
        model.set_number_of_servers_at_node(i, node.servers)
        model.reset_node_with_number_of_entities(i, start[i])
    schedule = [
        Period(
            steps,
            servers=[n.servers for n in nodes],
            arrivals=[n.arrivals for n in nodes],
            durations=[n.durations for n in nodes],
            routing=routing,
        )
        for steps, nodes, routing in periods
    ]
    return model, schedule


@pytest.mark.parametrize("case", sorted(CASES))
def test_where_the_maps_are_not_exact_the_simulation_agrees_with_an_independent_one(case):
    periods, start = CASES[case]
    runs = 6000
    model, schedule = navro_model(periods, start)
    simulated = navro.simulate(model, schedule, runs=runs, seed=7, wait_horizon=4)
    independent = reference.simulate(periods, runs, np.random.default_rng(7), start)
    servers = [[n.servers for n in nodes] for steps, nodes, _ in periods for _ in range(steps)]
    # Row 0 shows the first period's servers, as every trajectory does.
    other = reference_trajectory(independent, servers, servers[0])
    assert_within_noise(navro.compare(simulated, other, level=STRICT))
    # The arrivals' waits: each figure within 5 of the simulation's standard
    # errors of it, times the square root of 2 for the other's noise; a
    # share estimated as 0 or 1 has no spread of its own, so the shares'
    # errors are at least a binomial one's over the arrivals.
    bound = 5 * np.sqrt(2)
    for node in range(len(start)):
        view = simulated.node(node) if simulated.is_network else simulated
        mine = np.column_stack(
            [view.wait_probabilities[1:, 0], view.wait_beyond[1:], view.mean_wait[1:]]
        )
        errors = np.column_stack(
            [
                view.standard_error("wait_probabilities")[1:, 0],
                view.standard_error("wait_beyond")[1:],
                view.standard_error("mean_wait")[1:],
            ]
        )
        theirs = wait_figures(independent, node, 4)
        shares = (mine[:, :2] + theirs[:, :2]) / 2
        arrivals = view.arrivals[1:, None] * runs
        errors[:, :2] = np.maximum(errors[:, :2], np.sqrt(shares * (1 - shares) / arrivals))
        assert np.array_equal(np.isnan(mine), np.isnan(theirs))
        assert np.all(
            np.abs(mine - theirs)[~np.isnan(mine)] <= bound * errors[~np.isnan(mine)] + 1e-9
        )


@pytest.mark.parametrize(
    "p, dof, quantile",
    [
        (0.975, 1, 12.7062),
        (0.975, 2, 4.3027),
        (0.995, 19, 2.8609),
        (0.975, 30, 2.0423),
        (0.025, 4, -2.7764),
        (0.975, 200, 1.9719),
        (0.975, 1000, 1.9623),
        (0.975, None, 1.9600),
    ],
)
def test_few_runs_widen_intervals_and_noise_by_students_t(p, dof, quantile):
    assert _t_quantile(p, dof) == pytest.approx(quantile, abs=1e-4)
    if dof is None or dof > 30:
        return
    # An interval from dof + 1 runs, and compare's noise of a measure taken
    # from the run's own errors, are that many errors wide.
    model = navro.StandardMultiserver()
    model.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
    model.service_duration_pmf = {1: 0.5, 2: 0.5}
    run = navro.simulate(model, 6, runs=dof + 1, seed=dof, wait_horizon=3)
    level = 2 * abs(p - 0.5)
    low, high = run.interval("mean_wait", level=level)
    error = run.standard_error("mean_wait")
    seen = error > 0
    assert np.allclose(((high - low) / 2)[seen], abs(quantile) * error[seen])
    noise = navro.compare(run, navro.trajectory(model, 6, wait_horizon=3), level=level).noise
    assert np.all(noise["mean_wait"][seen] >= abs(quantile) * error[seen])


@pytest.mark.parametrize("limited", [False, True])
def test_standard_errors_match_the_spread_of_repeated_simulations(limited):
    model, schedule = navro_model(CASES["station"][0], CASES["station"][1])
    measures = [
        "mean",
        "std",
        "prob_all_busy",
        "expected_completions",
        "arrivals",
        "prob_wait",
        "mean_wait",
        "wait_beyond",
        "wait_probabilities",
        ("service_level", {"within": 1}),
        ("service_level", {"within": 1, "among": "served"}),
    ]
    if limited:  # waiting callers give up, and some are turned away
        model.abandonment_probability = 0.3
        model.capacity = 3
        measures += ["blocked", "abandonments", "prob_blocked", "prob_abandon", "throughput"]
    repeats = [
        navro.simulate(model, schedule, runs=400, seed=(3, k), wait_horizon=2) for k in range(40)
    ]
    for name, keywords in [(m, None) if isinstance(m, str) else m for m in measures]:
        values = [
            getattr(r, name) if keywords is None else getattr(r, name)(**keywords) for r in repeats
        ]
        values = np.array(values, dtype=float)[:, 2:]
        errors = np.array([r.standard_error(name, **(keywords or {})) for r in repeats])[:, 2:]
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = np.nanstd(values, axis=0, ddof=1) / np.nanmean(errors, axis=0)
        ratio = ratio[np.isfinite(ratio)]
        # A ratio of 40 repeats lies within about 0.11 of 1 by chance, and
        # the rows share their runs; a mistaken factor (runs for runs - 1,
        # a lost square root of 2, a missing term) lies beyond.
        assert 0.7 < np.median(ratio) < 1.35, (name, ratio)


def lockstep():
    model = navro.StandardMultiserver()  # two servers in step: 2 present from time 2 on
    model.number_of_servers, model.service_duration_pmf = 2, {2: 1.0}
    model.number_of_arrivals_pmf = {1: 1.0}
    return model, 8, [0, 1, 2, 2, 2, 2, 2, 2, 2], None


def cut_servers():
    model = navro.StandardMultiserver()  # the guide's four callers, one agent left
    model.number_of_servers, model.service_duration_pmf = 4, {3: 1.0}
    model.internal_state = {(4, 2): 1.0}
    return model, [Period(12, servers=1)], [4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0, 0], None


def two_waits():
    model = navro.StandardMultiserver()  # A is served at once, B waits 3 steps
    model.number_of_servers, model.service_duration_pmf = 1, {3: 1.0}
    model.number_of_arrivals_pmf = {2: 1.0}
    return model, [Period(1), Period(5, arrivals={0: 1.0})], [0, 2, 2, 2, 1, 1, 1], [0.5, 0, 0, 0.5]


@pytest.mark.parametrize("make", [lockstep, cut_servers, two_waits])
def test_the_documented_step_entity_by_entity(make):
    model, schedule, present, waits = make()
    run = navro.simulate(model, schedule, runs=50, seed=1, wait_horizon=3)
    assert np.array_equal(run.probabilities[np.arange(len(run)), present], np.ones(len(run)))
    if waits is not None:
        assert run.wait_probabilities[1].tolist() == waits
        assert run.mean_wait[1] == 1.5 and run.arrivals[1] == 2.0


def arrays_of(run):
    sampling = {
        name: getattr(run._sampling, name) for name in (*Sampling._PER_ROW, *Sampling._PER_WAIT)
    }
    return [run.probabilities, run.expected_completions, run.times, run.servers, *sampling.values()]


def network():
    model, schedule = navro_model(*CASES["network"])
    return model, schedule


def station():
    model, schedule = navro_model(*CASES["station"])
    return model, schedule


@pytest.mark.parametrize("make", [station, network])
def test_the_same_seed_gives_the_same_bits_whatever_the_threads(make):
    model, schedule = make()
    before = state_of(model)
    runs = [navro.simulate(model, schedule, runs=301, seed=(5, 1), threads=t) for t in (1, 2, 4)]
    for run in runs[1:]:
        for mine, theirs in zip(arrays_of(runs[0]), arrays_of(run), strict=True):
            assert np.array_equal(mine, theirs, equal_nan=True)
    other = navro.simulate(model, schedule, runs=301, seed=(5, 2), threads=2)
    assert not np.array_equal(other.probabilities, runs[0].probabilities)
    assert state_of(model) == before  # the model is only read


def test_ctrl_c_stops_a_long_simulation_within_a_quarter_of_a_second():
    model, schedule = station()
    stopped = []

    def interrupt():
        while not busy(model):
            time.sleep(0.001)
        time.sleep(0.2)
        stopped.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    with pytest.raises(KeyboardInterrupt):
        try:
            navro.simulate(model, schedule * 50, runs=10**9, seed=1, threads=2)
        finally:
            thread.join()
    assert time.monotonic() - stopped[0] < 0.25
    assert not busy(model)


def test_another_threads_call_is_refused_while_a_simulation_works():
    model, schedule = station()
    refused = []

    def meddle():
        while not busy(model):
            time.sleep(0.001)
        for call in (lambda: model.step(), lambda: navro.simulate(model, 1, runs=1, seed=0)):
            try:
                call()
            except navro.error as error:
                refused.append(error.args)
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=meddle)
    thread.start()
    with pytest.raises(KeyboardInterrupt):
        try:
            navro.simulate(model, schedule * 50, runs=10**9, seed=1, threads=1)
        finally:
            thread.join()
    assert refused == [IN_USE, IN_USE]


@pytest.mark.parametrize(
    "keywords, error",
    [
        ({"runs": 0}, ValueError),
        ({"every": 0}, ValueError),
        ({"threads": 0}, ValueError),
        ({"seed": -1}, ValueError),
        ({"seed": 1.5}, TypeError),
        ({"wait_horizon": -1}, ValueError),
    ],
)
def test_bad_arguments_are_refused_before_anything_runs(keywords, error):
    model, schedule = station()
    with pytest.raises(error):
        navro.simulate(model, schedule, **{"runs": 10, "seed": 1, **keywords})


def test_settings_the_step_refuses_are_refused_by_the_simulation_too():
    model, _ = network()
    with pytest.raises(ValueError, match="sum to"):
        navro.simulate(model, [Period(3, routing={(0, 0): 0.6, (0, 1): 0.6})], runs=10, seed=1)


def simulated_digest(seed):
    """What a scenario of a sweep returns: a digest of every array."""
    model, schedule = station()
    run = navro.simulate(model, schedule, runs=200, seed=(11, seed), threads=1)
    digest = hashlib.sha256()
    for array in arrays_of(run):
        digest.update(np.ascontiguousarray(array).tobytes())
    return {"digest": digest.hexdigest()}


def test_a_sweep_of_simulations_on_a_dask_cluster_equals_the_serial_run():
    distributed = pytest.importorskip("distributed")
    distributed.protocol.pickle.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    distributed.protocol.pickle.cloudpickle.register_pickle_by_value(reference)
    scenarios = [0, 1, 2]
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        table = navro.sweep(
            simulated_digest, scenarios, executor=client.get_executor(), progress=False
        )
    serial = [simulated_digest(s)["digest"] for s in scenarios]
    assert table.result.digest.tolist() == serial
    assert len(set(serial)) == len(serial)  # independent streams per scenario


@pytest.mark.parametrize(
    "target, patience",
    [
        (navro.Target("prob_all_busy", 0.3), 0.0),
        (navro.Target(lambda run: run.prob_at_least(4), 0.25), 0.0),
        # Of the answered only: fewer servers than over every caller.
        (navro.Target("service_level", at_least=0.7, within=1, among="served"), 0.3),
    ],
    ids=["named", "function", "served"],
)
def test_a_roster_checked_in_simulation_achieves_what_the_exact_maps_say(target, patience):
    centre = navro.StandardMultiserver()  # geometric services: the maps are exact
    centre.service_duration_pmf = geometric(0.3, tail=1e-12)
    centre.abandonment_probability = patience
    day = [Period(8, arrivals={0: 1 - r, 1: r}) for r in (0.3, 0.9, 0.5)]
    plan = navro.staffing(centre, day, target, (1, 10))
    check = plan.check(runs=RUNS, seed=3, level=STRICT)
    assert np.all((check.low <= plan.worst + 1e-9) & (plan.worst <= check.high + 1e-9)), check
    assert check.trajectory.runs == RUNS
    assert np.array_equal(check.trajectory.servers[1:], np.repeat(plan.roster, 8))
    if patience:
        offered = navro.staffing(centre, day, replace(target, among="offered"), (1, 10))
        assert (plan.roster <= offered.roster).all() and (plan.roster < offered.roster).any()


def test_a_run_pickled_before_the_served_share_had_an_error_still_loads():
    import pickle

    model, schedule = station()
    model.abandonment_probability = 0.2
    run = navro.simulate(model, schedule, runs=50, seed=3)
    # What a pickle of that time held: the sampling without the newer sum.
    object.__delattr__(run._sampling, "exactly_kept_cross")
    loaded = pickle.loads(pickle.dumps(run))
    assert np.isnan(loaded.standard_error("service_level", 1, among="served")[1:]).all()
    np.testing.assert_array_equal(
        loaded.standard_error("service_level", 1), run.standard_error("service_level", 1)
    )
