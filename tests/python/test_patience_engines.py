"""Patience and capacity in the simulator and the exact chain: each engine
against the maps where they are exact, against each other where they are
not, and the balance of entities that every run keeps."""

import copy

import numpy as np
from hypothesis import given, settings, strategies as st

import navro
from navro import Period
from test_simulation import STRICT, assert_within_noise

RUNS = 3000


def weights(values):
    return st.dictionaries(values, st.floats(0.05, 1.0), min_size=1, max_size=3)


@st.composite
def limited_stations(draw, servers):
    model = navro.StandardMultiserver()
    model.number_of_servers = draw(servers)
    model.service_duration_pmf = draw(weights(st.integers(1, 3)))
    model.number_of_arrivals_pmf = draw(weights(st.integers(0, 3)))
    model.abandonment_probability = draw(st.sampled_from([0.0, 0.1, 0.5, 1.0]))
    model.capacity = draw(st.none() | st.integers(0, 4))
    model.reset_with_number_of_entities_in_system(draw(st.integers(0, 3)))
    period = st.builds(
        Period,
        steps=st.integers(1, 5),
        arrivals=st.none() | weights(st.integers(0, 3)),
        abandonment=st.none() | st.sampled_from([0.0, 0.3]),
        capacity=st.none() | st.integers(1, 5),
    )
    return model, draw(st.lists(period, min_size=1, max_size=3))


def per_node(run, name):
    value = np.asarray(getattr(run, name), dtype=float)
    return value if run.is_network else value[:, None]


def assert_balanced(run, tolerance):
    """What comes in less what leaves, is blocked or gives up is the change
    in the mean number present, step by step and node by node."""
    change = np.diff(per_node(run, "mean"), axis=0)
    flows = (
        per_node(run, "arrivals")
        - per_node(run, "blocked")
        - per_node(run, "abandonments")
        - per_node(run, "expected_completions")
    )[1:]
    assert np.allclose(change, flows, rtol=0, atol=tolerance), np.abs(change - flows).max()


@given(limited_stations(st.just(1)), st.integers(0, 2**64 - 1))
def test_one_server_with_patience_and_a_limit_is_what_the_maps_and_the_chain_say(case, seed):
    model, schedule = case
    maps = navro.trajectory(copy.copy(model), schedule, wait_horizon=None)
    exact = navro.trajectory(copy.copy(model), schedule, method="exact", wait_horizon=None)
    tolerance = 1e-9 + exact.dropped_mass + 1e-8 * (exact.times - exact.times[0])
    for name in ("mean", "blocked", "abandonments", "prob_all_busy"):
        a, b = per_node(maps, name)[:, 0], per_node(exact, name)[:, 0]
        gap = np.where(np.isnan(a) & np.isnan(b), 0.0, np.abs(a - b))
        assert (gap <= tolerance * max(1, model.capacity or 4)).all(), (name, gap.max())
    simulated = navro.simulate(model, schedule, runs=RUNS, seed=seed, threads=2)
    assert_balanced(simulated, 1e-9)
    assert_balanced(exact, 1e-9 + 4 * exact.dropped_mass.max())
    # The waits of the maps are exact while the settings stay.
    waits = ("prob_wait", "mean_wait", "wait_beyond", "wait_abandoned")
    leave = waits if len(schedule) > 1 else ()
    assert_within_noise(navro.compare(maps, simulated, level=STRICT), leave)


@settings(max_examples=10)
@given(limited_stations(st.integers(2, 3)), st.integers(0, 2**64 - 1))
def test_several_servers_the_exact_chain_is_the_simulated_queue(case, seed):
    model, schedule = case
    exact = navro.trajectory(copy.copy(model), schedule, method="exact", wait_horizon=None)
    simulated = navro.simulate(model, schedule, runs=RUNS, seed=seed, wait_horizon=None)
    assert_within_noise(navro.compare(exact, simulated, level=STRICT))


def full_node_network():
    """Node 0 sends every entity it serves to node 1, which holds one."""
    model = navro.StandardNetworkMultiserver(2)
    for node in range(2):
        model.set_number_of_servers_at_node(node, 1)
        model.set_service_duration_at_node_pmf(node, {1: 0.5, 2: 0.5})
    model.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.3, 1: 0.5, 2: 0.2})
    model.set_routing_probability(0, 1, 1.0)
    model.set_capacity_at_node(1, 1)
    model.set_abandonment_probability_at_node(0, 0.2)
    return model


def test_an_entity_routed_to_a_full_node_is_lost_there():
    exact = navro.trajectory(full_node_network(), 15, method="exact", wait_horizon=None)
    simulated = navro.simulate(full_node_network(), 15, runs=RUNS, seed=3, wait_horizon=None)
    assert_balanced(exact, 1e-9)
    assert_balanced(simulated, 1e-9)
    assert (simulated.blocked[3:, 1] > 0).all() and (exact.blocked[5:, 1] > 0.05).all()
    # Node 1 never holds more than one: what is blocked there left node 0.
    assert (exact.node(1).probabilities[:, 2:] == 0).all()
    assert_within_noise(navro.compare(exact, simulated, level=STRICT))
