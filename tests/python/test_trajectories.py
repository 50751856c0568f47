"""Trajectories and schedules: a recorded run equals the same steps taken by
hand, and every measure equals the same quantity worked out from the dicts
that the models return."""

import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import navro
from navro import Period


def weights(max_value, min_value=0):
    """A small distribution dict with positive weights."""
    return st.dictionaries(
        st.integers(min_value, max_value), st.floats(0.05, 1.0), min_size=1, max_size=3
    )


def node_settings(nodes):
    def per_node(values):
        return st.lists(values, min_size=nodes, max_size=nodes)

    return st.fixed_dictionaries(
        {},
        optional={
            "servers": per_node(st.integers(0, 3)),
            "arrivals": per_node(weights(2)),
            "durations": per_node(weights(3, min_value=1)),
            # Rows of at most 0.9 so that every row sum stays below 1.
            "routing": st.lists(
                st.lists(st.floats(0, 0.3), min_size=nodes, max_size=nodes),
                min_size=nodes,
                max_size=nodes,
            ),
        },
    )


station_period = st.builds(
    Period,
    steps=st.integers(1, 4),
    servers=st.none() | st.integers(0, 3),
    arrivals=st.none() | weights(2),
    durations=st.none() | weights(3, min_value=1),
)


@st.composite
def runs(draw):
    """(model, schedule, every, apply-by-hand) for a random model and schedule."""
    nodes = draw(st.sampled_from([None, 1, 2, 3]))
    every = draw(st.integers(1, 3))
    if nodes is None:
        model = navro.StandardMultiserver()
        model.number_of_servers = draw(st.integers(0, 2))
        schedule = draw(st.lists(station_period, min_size=1, max_size=3))
        return model, schedule, every
    model = navro.StandardNetworkMultiserver(nodes)
    schedule = [
        Period(draw(st.integers(1, 4)), **draw(node_settings(nodes)))
        for _ in range(draw(st.integers(1, 3)))
    ]
    return model, schedule, every


def by_hand(model, period):
    """The period's settings through the models' own setters."""
    if isinstance(model, navro.StandardMultiserver):
        if period.servers is not None:
            model.number_of_servers = period.servers
        if period.arrivals is not None:
            model.number_of_arrivals_pmf = period.arrivals
        if period.durations is not None:
            model.service_duration_pmf = period.durations
        return
    for node in range(model.get_number_of_nodes()):
        if period.servers is not None:
            model.set_number_of_servers_at_node(node, period.servers[node])
        if period.arrivals is not None:
            model.set_number_of_external_arrivals_at_node_pmf(node, period.arrivals[node])
        if period.durations is not None:
            model.set_service_duration_at_node_pmf(node, period.durations[node])
        if period.routing is not None:
            for destination, p in enumerate(period.routing[node]):
                model.set_routing_probability(node, destination, p)


def twin(model):
    """A model of the same kind and configuration."""
    if isinstance(model, navro.StandardMultiserver):
        copy = navro.StandardMultiserver()
        copy.number_of_servers = model.number_of_servers
        return copy
    return navro.StandardNetworkMultiserver(model.get_number_of_nodes())


def station_views(model):
    """(state dict, servers) of every node."""
    if isinstance(model, navro.StandardMultiserver):
        return [(model.internal_state, model.number_of_servers)]
    return [
        (state, model.get_number_of_servers_at_node(i))
        for i, state in enumerate(model.internal_state)
    ]


def completions(state, servers):
    present = {}
    ending = {}
    for (z, ell), p in state.items():
        present[z] = present.get(z, 0.0) + p
        if ell == 1:
            ending[z] = ending.get(z, 0.0) + p
    return sum(min(z, servers) * ending.get(z, 0.0) for z in present if min(z, servers) > 0)


def measures(state, servers, level, first=False):
    """Every measure of one row, from the state dict; the first row of a run,
    which no step ended at, has no service measures."""
    pmf = {}
    for (z, _), p in state.items():
        pmf[z] = pmf.get(z, 0.0) + p
    mean = sum(n * p for n, p in pmf.items())
    total, quantile = 0.0, max(pmf)
    for n, p in sorted(pmf.items()):
        total += p
        if total >= level:
            quantile = n
            break
    busy = math.nan if first else sum(min(n, servers) * p for n, p in pmf.items())
    return {
        "pmf": pmf,
        "mean": mean,
        "std": math.sqrt(sum((n - mean) ** 2 * p for n, p in pmf.items())),
        "quantile": quantile,
        "prob_at_least_2": sum(p for n, p in pmf.items() if n >= 2),
        "prob_all_busy": math.nan if first else sum(p for n, p in pmf.items() if n >= servers),
        "expected_queue_length": math.nan
        if first
        else sum(max(n - servers, 0) * p for n, p in pmf.items()),
        "expected_busy": busy,
        "utilisation": busy / servers if servers else math.nan,
        "servers": servers,
    }


def row(trajectory, r, node):
    view = trajectory.node(node)
    return {
        "pmf": {int(n): p for n, p in zip(view.counts, view.probabilities[r]) if p > 0},
        "mean": view.mean[r],
        "std": view.std[r],
        "quantile": view.quantile(0.9)[r],
        "prob_at_least_2": view.prob_at_least(2)[r],
        "prob_all_busy": view.prob_all_busy[r],
        "expected_queue_length": view.expected_queue_length[r],
        "expected_busy": view.expected_busy[r],
        "utilisation": view.utilisation[r],
        "servers": view.servers[r],
    }


def assert_row(actual, expected):
    assert list(actual["pmf"]) == list(expected["pmf"])
    for n, p in expected["pmf"].items():
        assert actual["pmf"][n] == pytest.approx(p, abs=1e-12, rel=0)
    for name, value in expected.items():
        if name != "pmf":
            assert actual[name] == pytest.approx(value, abs=1e-12, rel=0, nan_ok=True), name


@given(runs())
def test_a_run_equals_the_same_steps_by_hand_and_every_measure_its_dicts(run):
    model, schedule, every = run
    hand = twin(model)
    result = navro.trajectory(model, schedule, every=every)

    step = 0
    for p, period in enumerate(schedule):
        by_hand(hand, period)
        if p == 0:  # the state handed in, under the first period's settings
            expected_rows = [[measures(s, c, 0.9, first=True) for s, c in station_views(hand)]]
            expected_completions = [[math.nan] * len(expected_rows[0])]
        for _ in range(period.steps):
            ending = [completions(s, c) for s, c in station_views(hand)]
            hand.step()
            step += 1
            if step % every == 0:
                expected_rows.append([measures(s, c, 0.9) for s, c in station_views(hand)])
                expected_completions.append(ending)

    assert len(result) == len(expected_rows)
    assert list(result.times) == list(range(0, step + 1, every))
    for r, nodes in enumerate(expected_rows):
        for i, expected in enumerate(nodes):
            assert_row(row(result, r, i), expected)
    np.testing.assert_allclose(
        result.expected_completions.reshape(len(result), -1),
        expected_completions,
        atol=1e-12,
        rtol=0,
    )
    assert model.internal_state == hand.internal_state
    assert model.time == hand.time == step


@given(runs())
def test_runs_period_by_period_join_into_the_whole_run(run):
    """What staffing does: each period from where the last one left off."""
    model, schedule, _ = run
    hand = twin(model)
    whole = navro.trajectory(model, schedule)
    joined = navro.Trajectory.concatenate([navro.trajectory(hand, [period]) for period in schedule])
    for name in ("times", "period", "servers", "probabilities", "expected_completions", "mean"):
        np.testing.assert_array_equal(getattr(joined, name), getattr(whole, name), err_msg=name)


def test_servers_cut_below_those_in_service_wait_and_start_afresh():
    """Four in service with one step of three done; three servers go. Only
    one is served per step from then on, nobody is lost, and each waiting
    entity starts a whole new service when its turn comes: the station
    empties 2 + 3 + 3 + 3 steps after the cut, not 2 + 2 + 2 + 2."""
    centre = navro.StandardMultiserver()
    centre.number_of_servers = 4
    centre.service_duration_pmf = {3: 1.0}
    centre.reset_with_number_of_entities_in_system(4)
    run = navro.trajectory(centre, [Period(1), Period(11, servers=1)])
    assert list(run.mean) == [4, 4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0]
    assert list(run.servers) == [4, 4] + [1] * 11
    assert list(run.expected_completions[1:]) == [0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1]


def station_settings(model):
    return (
        model.number_of_servers,
        model.number_of_arrivals_pmf,
        model.service_duration_pmf,
        model.internal_state,
        model.time,
    )


@pytest.mark.parametrize(
    "schedule, every, error, message",
    [
        ([Period(2, servers=-1)], 1, ValueError, "number of servers"),
        ([Period(2, servers=[1, 2])], 1, TypeError, r"one number of servers, got list \[1, 2\]"),
        ([Period(2, durations={0: 1.0})], 1, ValueError, "at least 1 step"),
        ([Period(2, arrivals={-1: 1.0})], 1, ValueError, "value must lie"),
        ([Period(2, routing={(0, 1): 0.5})], 1, ValueError, "no routing"),
        ([Period(2), Period(2, arrivals={1: math.nan})], 1, ValueError, "NaN"),
        ([Period(5, servers=7, arrivals={1: 1.0})], 2**31, ValueError, "every must lie"),
        ([Period(5, servers=7)], 1.5, ValueError, "every must be a whole number"),
        (144.0, 1, TypeError, "a number of steps .* got float 144.0"),
        ([Period(5, servers=7), 3], 1, TypeError, "holds Periods, got int 3"),
    ],
)
def test_a_refused_run_changes_nothing(schedule, every, error, message):
    model = navro.StandardMultiserver()
    model.number_of_servers = 2
    model.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
    before = station_settings(model)
    with pytest.raises(error, match=message):
        navro.trajectory(model, schedule, every=every)
    assert station_settings(model) == before


@pytest.mark.parametrize(
    "period, message",
    [
        (Period(1, servers=[1]), "1 values for 2 nodes"),
        (Period(1, servers=3), "servers per node.*got int 3"),
        (Period(1, arrivals={2: {0: 1.0}}), "node 2 of a network of 2"),
        (Period(1, routing={(0, 1): 1.5}), r"\[0, 1\]"),
        (Period(1, routing=[[0.5]]), "2 by 2"),
        (Period(1, routing=[[0.7, 0.7], [0, 0]]), "node 0 sum to 1.4"),
    ],
)
def test_a_bad_network_period_is_refused_before_any_change(period, message):
    net = navro.StandardNetworkMultiserver(2)
    net.set_routing_probability(1, 0, 0.5)
    with pytest.raises((ValueError, TypeError), match=message):
        navro.trajectory(net, [Period(1, servers=[1, 1]), period])
    assert net.time == 0
    assert net.get_number_of_servers_at_node(0) == 0
    assert net.get_routing_probability(1, 0) == 0.5


def test_a_failing_step_leaves_the_model_after_its_last_whole_step():
    """The second period's first step would count past 2**31 - 1: the model
    keeps the first period's three steps and the settings they ran under."""
    model = navro.StandardMultiserver()
    model.reset_with_number_of_entities_in_system(2**31 - 3)
    with pytest.raises(navro.error, match="Invalid value"):
        navro.trajectory(
            model, [Period(3, arrivals={0: 1.0}), Period(2, servers=1, arrivals={5: 1.0})]
        )
    assert model.time == 3
    assert model.number_of_servers == 0 and model.number_of_arrivals_pmf == {0: 1.0}


def test_times_follow_the_models_clock_where_it_wraps():
    model = navro.StandardMultiserver()
    model.time = 2**31 - 2
    run = navro.trajectory(model, [Period(2), Period(2)])
    assert list(run.times) == [2**31 - 2, 2**31 - 1, -(2**31), -(2**31) + 1, -(2**31) + 2]
    assert run.times[-1] == model.time


def test_numpy_numbers_are_taken_wherever_numbers_are():
    def run(number, real):
        net = navro.StandardNetworkMultiserver(2)
        schedule = [
            Period(
                number(3),
                servers=np.array([1, 2]),
                arrivals=[{number(1): real(0.4), 0: 0.6}] * 2,
                durations={number(1): {number(2): real(1.0)}},
                routing={(number(0), number(1)): real(0.5)},
            ),
            Period(number(2), routing=np.array([[0, 0.25], [0, 0]])),
        ]
        return navro.trajectory(net, schedule, every=number(2))

    plain, numpy = run(int, float), run(np.int64, np.float64)
    np.testing.assert_array_equal(plain.probabilities, numpy.probabilities)
    np.testing.assert_array_equal(plain.times, numpy.times)


def test_a_trajectorys_arrays_refuse_writes_for_good():
    net = navro.StandardNetworkMultiserver(2)
    runs = [navro.trajectory(net, [Period(2, arrivals=[{1: 1.0}, {0: 1.0}])]) for _ in range(2)]
    joined = navro.Trajectory.concatenate(runs)
    for run in (runs[0], joined, joined.node(1)):
        for name in ("times", "period", "servers", "probabilities", "expected_completions"):
            array = getattr(run, name)
            with pytest.raises(ValueError):
                array.flags.writeable = True
            with pytest.raises(ValueError):
                array[...] = 0


def test_rows_keep_their_own_windows_of_counts():
    """An overloaded station's queue moves far over a long run; each row
    holds only the counts near it, not the whole range of the run."""
    model = navro.StandardMultiserver()
    model.number_of_servers = 1
    model.number_of_arrivals_pmf = {1: 1.0}
    model.service_duration_pmf = {1: 0.5, 2: 0.5}
    run = navro.trajectory(model, 2000)
    assert run.probabilities.shape == (2001, len(run.counts))
    assert run._windows.shape[2] < len(run.counts) / 3
    np.testing.assert_allclose(run.mean, (run.probabilities * run.counts).sum(axis=1), rtol=1e-12)


def test_every_step_frees_what_it_built():
    """Intermediates are collected after every step of a run, as after every
    call of step(), not once at its end."""
    models = [navro.StandardMultiserver() for _ in range(2)]
    for model in models:
        model.number_of_servers = 3
        model.number_of_arrivals_pmf = navro.distributions.poisson(2.0)
        model.service_duration_pmf = navro.distributions.uniform(1, 4)
    navro.trajectory(models[0], 300)
    for _ in range(300):
        models[1].step()
    assert models[0].peak_memory_use == models[1].peak_memory_use


def test_table_and_optional_extras(monkeypatch):
    net = navro.StandardNetworkMultiserver(2)
    run = navro.trajectory(net, [Period(4, servers=[1, 2], arrivals=[{1: 1.0}, {0: 1.0}])])
    table = run.to_pandas()
    assert table.index.names == ["time", "node"]
    assert table.loc[(4, 0), "servers [servers]"] == 1
    assert table.loc[(4, 1), "mean [entities]"] == 0
    assert table.loc[(4, 0), "prob_all_busy [probability]"] == pytest.approx(1.0)
    assert table.loc[(4, 0), "mean_wait [steps]"] == pytest.approx(0.0)
    for kind in ("heatmap", "fan"):
        assert run.plot(kind, time_label=lambda t: f"t{t}").axes
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)
    with pytest.raises(ImportError, match=r"navro\[pandas\]"):
        run.to_pandas()


def test_custom_measures_ask_per_row_questions():
    net = navro.StandardNetworkMultiserver(2)
    run = navro.trajectory(net, [Period(3, servers=[1, 2], arrivals=[{2: 1.0}, {1: 1.0}])])
    above = run.prob_at_least(run.servers + 1)
    np.testing.assert_array_equal(above, run.expectation(lambda n, c: n >= c + 1))
    np.testing.assert_array_equal(above[:, 0], run.node(0).prob_at_least(run.servers[:, 0] + 1))
    np.testing.assert_allclose(
        run.expectation(lambda n, c: np.maximum(n - c, 0))[1:],
        run.expected_queue_length[1:],
        rtol=1e-12,
    )
    with pytest.raises(
        ValueError, match=r"one per row, shape \(4,\) or \(4, 2\), got shape \(3,\)"
    ):
        run.prob_at_least(np.arange(3))
