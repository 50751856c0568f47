"""Abandonment and capacity in the maps, the arrival measures and schedules:
unset they change nothing, set they keep the count of entities and agree
with the simulated queue where the maps are exact."""

import copy
import hashlib
import platform

import numpy as np
import pytest
from hypothesis import given, note, settings, strategies as st

import navro
from navro import Period
from navro.distributions import geometric
from test_patience_engines import assert_balanced, per_node
from test_simulation import STRICT, assert_within_noise, weights

# -------------------------------------------------------- nothing changes


def random_models(seed=16):
    """Stations and networks of every kind, from a fixed seed, made with
    only what models had before abandonment and capacity."""
    rng = np.random.default_rng(seed)

    def pmf(low, high):
        values = rng.choice(np.arange(low, high + 1), size=rng.integers(1, 4), replace=False)
        return {int(v): float(rng.uniform(0.05, 1.0)) for v in values}

    for _ in range(40):
        yield navro.StandardMultiserver(
            number_of_servers=int(rng.integers(0, 4)),
            number_of_arrivals_pmf=pmf(0, 4),
            service_duration_pmf=pmf(1, 4),
        )
    for _ in range(15):
        n = int(rng.integers(1, 4))
        routing = rng.uniform(0, 1, (n, n)) * (rng.uniform(0, 1, (n, n)) < 0.5)
        routing /= np.maximum(1.0, routing.sum(axis=1, keepdims=True) * 1.25)
        yield navro.StandardNetworkMultiserver(
            n,
            number_of_servers=[int(rng.integers(0, 4)) for _ in range(n)],
            number_of_external_arrivals_pmfs=[pmf(0, 3) for _ in range(n)],
            service_duration_pmfs=[pmf(1, 4) for _ in range(n)],
            routing_probabilities=routing,
        )


# The digest of the states and recorded runs of `random_models` as the build
# before abandonment and capacity gave them, to the last bit. Logarithms and
# exponentials may round otherwise on another machine's C library.
BEFORE_LIMITS = "7a3ce37d233b8fbef5b9b109681af1cfbfa608012d8e5fc339e3c4ffb2533a0a"


@pytest.mark.skipif(
    platform.system() != "Linux" or platform.machine() != "x86_64",
    reason="the digest was taken with the C library of Linux on x86-64",
)
def test_without_limits_every_map_gives_what_it_gave_before_to_the_last_bit():
    digest = hashlib.sha256()
    for model in random_models():
        run = navro.trajectory(model, 6, wait_horizon=4)
        digest.update(repr(model.internal_state).encode())
        for name in ("probabilities", "arrivals", "wait_probabilities", "mean_wait"):
            digest.update(np.ascontiguousarray(getattr(run, name)).tobytes())
    assert digest.hexdigest() == BEFORE_LIMITS


# ------------------------------------------------- with limits, the maps


@st.composite
def limited_models(draw):
    """A station or a small network with abandonment and a capacity where
    any are drawn."""
    patience = st.sampled_from([0.0, 0.15, 0.6, 1.0])
    capacity = st.none() | st.integers(0, 5)
    if draw(st.booleans()):
        model = navro.StandardMultiserver(
            number_of_servers=draw(st.integers(0, 3)),
            number_of_arrivals_pmf=draw(weights(st.integers(0, 3))),
            service_duration_pmf=draw(weights(st.integers(1, 3))),
            abandonment_probability=draw(patience),
            capacity=draw(capacity),
        )
        model.reset_with_number_of_entities_in_system(draw(st.integers(0, 6)))
        return model
    n = draw(st.integers(1, 3))
    routing = [[draw(st.sampled_from([0.0, 0.0, 0.3])) for _ in range(n)] for _ in range(n)]
    model = navro.StandardNetworkMultiserver(
        n,
        number_of_servers=[draw(st.integers(0, 3)) for _ in range(n)],
        number_of_external_arrivals_pmfs=[draw(weights(st.integers(0, 2))) for _ in range(n)],
        service_duration_pmfs=[draw(weights(st.integers(1, 3))) for _ in range(n)],
        routing_probabilities=routing,
        abandonment_probabilities=[draw(patience) for _ in range(n)],
        capacities=[draw(capacity) for _ in range(n)],
    )
    for i in range(n):
        model.reset_node_with_number_of_entities(i, draw(st.integers(0, 4)))
    return model


@given(limited_models(), st.sampled_from([None, 3]))
def test_the_maps_keep_the_count_and_the_fate_of_every_arrival(model, horizon):
    run = navro.trajectory(model, 8, wait_horizon=horizon)
    # The tail cut moves the mean by at most its mass times the counts it cuts.
    assert_balanced(run, 1e-9 + 1e-8 * 40)
    if horizon is None:
        return
    # Blocked, gave up, served within the horizon or beyond it: nothing else.
    fates = (
        per_node(run, "prob_blocked")
        + per_node(run, "prob_abandon")
        + per_node(run, "wait_beyond")
        + (run.wait_probabilities if run.is_network else run.wait_probabilities[:, None]).sum(2)
    )
    offered = per_node(run, "arrivals") > 0
    assert np.allclose(fates[offered], 1.0, rtol=0, atol=1e-9)
    served = per_node(run, "throughput")
    assert np.all(served[offered] <= per_node(run, "arrivals")[offered] + 1e-12)


@given(limited_models(), st.sampled_from([0.0, 0.15, 0.6, 1.0]))
def test_a_step_under_a_new_abandonment_is_a_fresh_models(model, patience):
    # The maps keep what depends on the abandonment from step to step; a copy
    # starts without it.
    model.step()
    if isinstance(model, navro.StandardNetworkMultiserver):
        for i in range(model.get_number_of_nodes()):
            model.set_abandonment_probability_at_node(i, patience)
    else:
        model.abandonment_probability = patience
    fresh = copy.deepcopy(model)
    model.step()
    fresh.step()
    assert model.internal_state == fresh.internal_state


@st.composite
def exact_limited_stations(draw):
    """A station where the maps are exact, abandonment and a capacity
    included: one server with any services, or geometric services of one
    mean with any servers; one period, since an arrival's wait is taken under
    the settings of its own step."""
    if draw(st.booleans()):
        servers, durations = 1, draw(weights(st.integers(1, 4)))
    else:
        servers = draw(st.integers(2, 3))
        durations = geometric(draw(st.floats(0.3, 0.9)), tail=1e-12)
    model = navro.StandardMultiserver(
        number_of_servers=servers,
        service_duration_pmf=durations,
        number_of_arrivals_pmf=draw(weights(st.integers(0, 3))),
        abandonment_probability=draw(st.sampled_from([0.0, 0.2, 0.7])),
        capacity=draw(st.none() | st.integers(1, 6)),
    )
    model.reset_with_number_of_entities_in_system(draw(st.integers(0, 4)))
    return model


@settings(max_examples=25)
@given(exact_limited_stations(), st.integers(0, 2**64 - 1))
def test_where_the_maps_are_exact_the_waits_are_the_simulated_queues(model, seed):
    note(f"{model.number_of_arrivals_pmf} {model.service_duration_pmf} {model.internal_state}")
    note(f"capacity {model.capacity}")
    computed = navro.trajectory(copy.copy(model), 6, wait_horizon=3)
    simulated = navro.simulate(model, 6, runs=20000, seed=seed, wait_horizon=3, threads=2)
    # A mean wait that the runs saw almost always take one value has a
    # standard error near 0 while its rare other values still move it.
    assert_within_noise(navro.compare(computed, simulated, level=STRICT), ("mean_wait",))
    gap = np.nan_to_num(np.abs(computed.mean_wait - simulated.mean_wait))
    assert np.all(gap <= 6 * np.nan_to_num(simulated.standard_error("mean_wait")) + 0.01)


# ----------------------------------------------------------- the measures


def test_the_two_service_levels_part_by_the_arrivals_not_served():
    model = navro.StandardMultiserver(
        number_of_servers=1,
        number_of_arrivals_pmf={0: 0.3, 1: 0.4, 2: 0.3},
        service_duration_pmf={1: 0.5, 2: 0.5},
        abandonment_probability=0.25,
        capacity=4,
    )
    run = navro.trajectory(model, 20, wait_horizon=5)
    offered, served = run.service_level(2), run.service_level(2, among="served")
    lost = run.prob_blocked + run.prob_abandon
    assert np.allclose(offered[1:], (served * (1 - lost))[1:], rtol=1e-12)
    assert np.all(lost[1:] > 0.05) and np.all(offered[1:] < served[1:])
    assert np.allclose(run.throughput[1:], (run.arrivals * (1 - lost))[1:], rtol=1e-12)
    with pytest.raises(ValueError, match="among"):
        run.service_level(2, among="answered")


def test_staffing_takes_the_chance_to_give_up_as_a_target():
    model = navro.StandardMultiserver(
        number_of_arrivals_pmf={0: 0.2, 1: 0.5, 3: 0.3},
        service_duration_pmf=geometric(0.5, tail=1e-12),
        abandonment_probability=0.3,
    )
    plan = navro.staffing(model, [Period(10)], navro.Target("prob_abandon", at_most=0.05), (1, 20))
    servers = int(np.asarray(plan.roster).ravel()[0])
    fewer = copy.copy(model)
    fewer.number_of_servers = servers - 1
    assert navro.trajectory(fewer, 10, wait_horizon=0).prob_abandon[1:].max() > 0.05


# --------------------------------------------------------------- schedules


def test_periods_set_and_keep_the_limits_of_a_station_and_of_each_node():
    station = navro.StandardMultiserver(number_of_servers=1, capacity=3)
    navro.trajectory(station, [Period(2, abandonment=0.4), Period(1, capacity=float("inf"))])
    assert (station.abandonment_probability, station.capacity) == (0.4, None)
    network = navro.StandardNetworkMultiserver(3, capacities=[None, 2, 5])
    navro.trajectory(network, [Period(2, abandonment={1: 0.5}, capacity=[1, None, 5])])
    assert [network.get_abandonment_probability_at_node(i) for i in range(3)] == [0, 0.5, 0]
    assert [network.get_capacity_at_node(i) for i in range(3)] == [1, None, 5]


@pytest.mark.parametrize(
    "make, period, error",
    [
        (navro.StandardMultiserver, Period(1, abandonment=1.5), ValueError),
        (navro.StandardMultiserver, Period(1, abandonment=[0.5]), TypeError),
        (navro.StandardMultiserver, Period(1, capacity=-1), ValueError),
        (navro.StandardMultiserver, Period(1, capacity=2.5), ValueError),
        (navro.StandardMultiserver, Period(1, capacity=-float("inf")), TypeError),
        (lambda: navro.StandardNetworkMultiserver(2), Period(1, capacity=3), TypeError),
        (lambda: navro.StandardNetworkMultiserver(2), Period(1, abandonment=[0.1]), ValueError),
        (lambda: navro.StandardNetworkMultiserver(2), Period(1, abandonment={2: 0.1}), ValueError),
    ],
)
def test_a_period_with_limits_out_of_range_is_refused_before_any_step(make, period, error):
    model = make()
    with pytest.raises(error):
        navro.trajectory(model, [Period(1), period])
    assert model.time == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.set_abandonment_probability_at_node(0, -0.5),
        lambda m: m.set_abandonment_probability_at_node(0, float("nan")),
        lambda m: m.set_capacity_at_node(0, -3),
        lambda m: m.set_capacity_at_node(2, 3),
        lambda m: navro.StandardNetworkMultiserver(2, capacities=[1, -1]),
        lambda m: navro.StandardNetworkMultiserver(2, abandonment_probabilities=[0.5]),
    ],
)
def test_per_node_limits_out_of_range_are_refused_and_change_nothing(call):
    model = navro.StandardNetworkMultiserver(2, capacities=[4, None])
    with pytest.raises(navro.error):
        call(model)
    assert [model.get_capacity_at_node(i) for i in range(2)] == [4, None]
    assert [model.get_abandonment_probability_at_node(i) for i in range(2)] == [0, 0]


def test_the_worked_example_of_the_step():
    # One server, services of one step, capacity 2, abandonment 0.5: 2
    # arrivals, then 3 (README, "Inside one step").
    station = navro.StandardMultiserver(
        number_of_servers=1, capacity=2, abandonment_probability=0.5
    )
    run = navro.trajectory(station, [Period(1, arrivals={2: 1.0}), Period(1, arrivals={3: 1.0})])
    assert run.blocked.tolist() == [0.0, 0.0, 1.5]
    assert run.abandonments.tolist() == [0.0, 0.0, 0.5]
    assert station.internal_state == {(2, 1): 1.0}
