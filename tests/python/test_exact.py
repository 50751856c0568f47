"""The exact method: the joint chain of the real system against the maps
where the maps are exact, against a simulation of the real queue everywhere,
and its refusals."""

import copy
import threading
from dataclasses import replace

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import navro
import reference_simulation as reference
from navro import Period, _exact
from navro.distributions import geometric
from test_simulation import STRICT, assert_within_noise, reference_trajectory

weights = st.floats(0.05, 1.0)  # a weight above 1 counts as 1
pmfs = st.dictionaries(st.integers(0, 2), weights, min_size=1)
durations = st.dictionaries(st.integers(1, 4), weights, min_size=1)


def aligned(run):
    """Probabilities rows x nodes x counts, from count 0."""
    p = run.probabilities if run.is_network else run.probabilities[:, None, :]
    lowest = int(run.counts[0]) if len(run.counts) else 0
    return np.concatenate([np.zeros((*p.shape[:2], lowest)), p], axis=2)


def difference(a, b):
    pa, pb = aligned(a), aligned(b)
    width = max(pa.shape[2], pb.shape[2])
    pad = lambda p: np.pad(p, ((0, 0), (0, 0), (0, width - p.shape[2])))  # noqa: E731
    return np.abs(pad(pa) - pad(pb)).max(axis=(1, 2))


@st.composite
def exact_map_cases(draw):
    """Models where the maps are exact: one server (which a period may take
    away and give back), geometric services with several servers, and nodes
    of one server that send entities back only to themselves."""
    kind = draw(st.sampled_from(["one server", "geometric", "nodes"]))
    if kind == "nodes":
        nodes = draw(st.integers(1, 2))
        model = navro.StandardNetworkMultiserver(nodes)
        for n in range(nodes):
            model.set_number_of_servers_at_node(n, 1)
            model.set_service_duration_at_node_pmf(n, draw(durations))
            model.set_number_of_external_arrivals_at_node_pmf(n, draw(pmfs))
            model.set_routing_probability(n, n, draw(st.sampled_from([0.0, 0.3])))
            model.reset_node_with_number_of_entities(n, draw(st.integers(0, 2)))
        servers = st.just(None)
    else:
        model = navro.StandardMultiserver()
        model.number_of_arrivals_pmf = draw(pmfs)
        if kind == "one server":
            model.number_of_servers = 1
            model.service_duration_pmf = draw(durations)
            servers = st.sampled_from([None, 0, 1])
        else:
            model.number_of_servers = draw(st.integers(2, 3))
            model.service_duration_pmf = geometric(draw(st.floats(0.5, 0.9)), tail=1e-10)
            servers = st.sampled_from([None, 1, 2, 3])
        model.reset_with_number_of_entities_in_system(draw(st.integers(0, 4)))
        if kind == "one server" and draw(st.booleans()):
            cells = st.tuples(st.integers(0, 3), st.integers(1, 4))
            model.internal_state = draw(st.dictionaries(cells, weights, min_size=1))
    arrivals = st.none() if kind == "nodes" else st.none() | pmfs
    periods = draw(
        st.lists(
            st.builds(Period, st.integers(1, 6), servers=servers, arrivals=arrivals),
            min_size=1,
            max_size=3,
        )
    )
    return kind, model, periods, draw(st.integers(1, 3))


@given(exact_map_cases())
def test_exact_agrees_with_the_maps_where_they_are_exact(case):
    kind, model, periods, every = case
    twin = copy.copy(model)
    maps = navro.trajectory(model, periods, every=every)
    exact = navro.trajectory(twin, periods, every=every, method="exact")
    for name in ("times", "period", "servers"):
        assert np.array_equal(getattr(maps, name), getattr(exact, name))
    assert np.isnan(maps.dropped_mass).all() and (exact.dropped_mass >= 0).all()
    # The maps renormalise a cut of at most 1e-8 a step; the chain's error is
    # at most the mass it dropped.
    tolerance = 1e-9 + exact.dropped_mass + 1e-8 * (exact.times - exact.times[0])
    assert (difference(maps, exact) <= tolerance).all()
    busy = np.nan_to_num(np.abs(maps.expected_completions - exact.expected_completions))
    assert (busy.reshape(len(exact), -1).max(axis=1) <= 3 * tolerance).all()
    assert twin.time == model.time
    if kind == "one server":
        ours, theirs = twin.internal_state, model.internal_state
        assert all(
            abs(ours.get(k, 0) - theirs.get(k, 0)) <= 2 * tolerance[-1] for k in ours | theirs
        )


def build_model(nodes, routing=None):
    """The nodes (``reference.Node``) as a station, or with ``routing`` as a
    network, every node empty."""
    if routing is None:
        (node,) = nodes
        model = navro.StandardMultiserver()
        model.number_of_servers = node.servers
        model.service_duration_pmf = node.durations
        model.number_of_arrivals_pmf = node.arrivals
        model.reset_with_number_of_entities_in_system(0)
        return model
    model = navro.StandardNetworkMultiserver(len(nodes))
    for i, node in enumerate(nodes):
        model.set_number_of_servers_at_node(i, node.servers)
        model.set_service_duration_at_node_pmf(i, node.durations)
        model.set_number_of_external_arrivals_at_node_pmf(i, node.arrivals)
        model.reset_node_with_number_of_entities(i, 0)
        for j, p in enumerate(routing[i]):
            model.set_routing_probability(i, j, p)
    return model


LOCKSTEP = reference.Node(2, {2: 1.0}, {1: 1.0})


@pytest.mark.parametrize("network", [False, True])
def test_servers_in_lockstep_hold_two_from_time_two_on(network):
    """Two servers, services of exactly 2, one arrival a step: the worst case
    of the maps, which spread over 1 to 3."""
    nodes, routing = [LOCKSTEP], None
    if network:
        nodes, routing = [LOCKSTEP, reference.Node(1, {1: 1.0}, {0: 1.0})], [[0.0, 0.0]] * 2
    run = navro.trajectory(build_model(nodes, routing), 200, method="exact")
    station = run.node(0) if network else run
    assert (station.prob_at_least(2)[2:] == 1.0).all() and (station.prob_at_least(3) == 0).all()
    assert (run.dropped_mass == 0).all()
    maps = navro.trajectory(build_model(nodes, routing), 200)
    assert (maps.node(0) if network else maps).prob_at_least(3)[-1] > 0.2


def test_servers_cut_serve_as_many_as_they_are_and_added_ones_take_the_line_at_once():
    """Four callers a third of the way through calls of exactly 3; the agents
    cut from four to one: they leave after 2, 5, 8 and 11 more steps. Then
    three agents more take up the line at once."""
    centre = navro.StandardMultiserver()
    centre.number_of_servers = 4
    centre.service_duration_pmf = {3: 1.0}
    centre.internal_state = {(4, 2): 1.0}
    run = navro.trajectory(centre, [Period(12, servers=1)], method="exact")
    assert list(run.mean) == [4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0, 0]
    centre.internal_state = {(6, 2): 1.0}
    centre.number_of_servers = 1
    run = navro.trajectory(centre, [Period(3, servers=1), Period(3, servers=4)], method="exact")
    # The one service ends at 2, the next at 5, when the last waiting caller
    # is taken; the three servers added at time 3 start three more at once,
    # which end at 6.
    assert list(run.mean) == [6, 6, 5, 5, 5, 4, 1]


def exact_noise_check(nodes, routing, steps, runs, seed):
    """The exact chain beside the tests' own simulation of the real queue,
    row by row: every figure within its noise."""
    exact = navro.trajectory(build_model(nodes, routing), steps, method="exact", wait_horizon=None)
    rng = np.random.default_rng(seed)
    independent = reference.simulate([(steps, list(nodes), routing)], runs, rng)
    servers = [[node.servers for node in nodes]] * steps
    other = reference_trajectory(independent, servers, servers[0])
    assert_within_noise(navro.compare(exact, other, level=STRICT))


def test_tandem_with_services_of_exactly_five_is_the_real_queue():
    """The second of two one-server stations in tandem, where the maps give
    a mean of 2.6 against a real 0.88 at time 200."""
    nodes = [
        reference.Node(1, {5: 1.0}, navro.distributions.poisson(0.18)),
        reference.Node(1, {5: 1.0}, {0: 1.0}),
    ]
    exact_noise_check(nodes, [[0.0, 1.0], [0.0, 0.0]], 200, 20_000, 5)


@st.composite
def small_systems(draw):
    """A station of 2 or 3 servers, or a network of 2 or 3 nodes with routing
    (feedback included), with short services."""
    nodes = draw(st.integers(1, 3))
    members = [
        reference.Node(
            draw(st.integers(1, 3 if nodes == 1 else 2)),
            draw(st.dictionaries(st.integers(1, 3), weights, min_size=1)),
            draw(st.dictionaries(st.integers(0, 2), weights, min_size=1)) if n == 0 else {0: 1.0},
        )
        for n in range(nodes)
    ]
    routing = [
        [draw(st.sampled_from([0.0, 0.2, 0.3])) if d != s or s > 0 else 0.0 for d in range(nodes)]
        for s in range(nodes)
    ]
    return members, (routing if nodes > 1 else None)


@settings(max_examples=15)
@given(small_systems(), st.integers(0, 2**32 - 1))
def test_exact_agrees_with_the_real_queue_within_noise(system, seed):
    nodes, routing = system
    exact_noise_check(nodes, routing, 12, 4000, seed)


def station(servers=4, longest=10, load=0.9):
    centre = navro.StandardMultiserver()
    centre.number_of_servers = servers
    centre.service_duration_pmf = navro.distributions.uniform(1, longest)
    centre.number_of_arrivals_pmf = navro.distributions.poisson(
        load * servers / ((1 + longest) / 2)
    )
    return centre


def test_a_chain_too_large_is_refused_before_it_starts_and_changes_nothing():
    centre = station(servers=50)
    before = centre.__reduce__()[2]
    with pytest.raises(ValueError, match=r"about [\d,]+ states, more than max_states=1,000,000"):
        navro.trajectory(centre, [Period(10, servers=60)], method="exact")
    assert centre.__reduce__()[2] == before
    small = station(servers=2, longest=3)
    navro.trajectory(small, 5, method="exact", max_states=1000)
    # A chain that outgrows its limit in the run stops with the same refusal.
    run = _exact.ExactRun(small, 5, 1e-12, "trajectory", 3)
    with pytest.raises(ValueError, match=r"more than max_states=5 states \(estimated 3"):
        run.record(4, 1, 0, -1)


@pytest.mark.parametrize(
    "options, error",
    [
        ({"method": "fast"}, "method must be 'maps' or 'exact'"),
        ({"method": "exact", "max_states": 0}, "max_states must lie in 1.."),
        ({"method": "exact", "drop_below": 1.0}, r"drop_below must lie in \[0, 1\)"),
    ],
)
def test_options_are_checked(options, error):
    with pytest.raises(ValueError, match=error):
        navro.trajectory(station(2, 3), 3, **options)


def test_the_mass_dropped_bounds_the_error():
    fine = navro.trajectory(station(3, 4), 40, method="exact", drop_below=1e-15)
    coarse = navro.trajectory(station(3, 4), 40, method="exact", drop_below=1e-5)
    assert coarse.dropped_mass[-1] > 1e-4 and (np.diff(coarse.dropped_mass) >= 0).all()
    assert (difference(fine, coarse) <= coarse.dropped_mass + fine.dropped_mass + 1e-12).all()
    assert np.allclose(coarse.probabilities.sum(axis=1), 1 - coarse.dropped_mass)


def test_staffing_by_the_exact_chain_meets_its_target_in_the_exact_run():
    centre = station(2, 3, 0.5)
    day = [Period(10, arrivals={1: 1.0}), Period(10, arrivals={0: 0.5, 1: 0.5})]
    target = navro.Target("prob_all_busy", at_most=0.3)
    plan = navro.staffing(copy.copy(centre), day, target, (1, 6), method="exact")
    roster = [replace(p, servers=int(s)) for p, s in zip(day, plan.roster)]
    check = navro.trajectory(centre, roster, method="exact")
    assert np.allclose(check.probabilities, plan.trajectory.probabilities)
    assert plan.met.all() and (check.prob_all_busy[1:] <= 0.3).all()


def test_another_thread_cannot_use_a_chain_while_a_run_works_on_it():
    centre = station(4, 10)
    run = _exact.start(centre, [Period(200)], 1_000_000, 1e-12, "trajectory")
    refused = []

    def meddle():
        while not refused:
            try:
                run.chain.mark()
            except navro.error as error:
                refused.append(error.args)

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        run.record(200, 1, 0, -1)
    finally:
        refused.append(None)
        thread.join()
    assert refused[0] == ("Model in use by another call",)


def test_ctrl_c_stops_an_exact_run_and_leaves_the_model_as_it_was():
    from test_threads import interrupt_when_busy, state_of

    centre = station(4, 10)
    before = state_of(centre)
    with pytest.raises(KeyboardInterrupt):
        thread, _ = interrupt_when_busy(centre, after=0.2)
        try:
            navro.trajectory(centre, 2000, method="exact")
        finally:
            thread.join()
    assert state_of(centre) == before
    assert navro.trajectory(centre, 3, method="exact").times[-1] == 3


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m._record(1), "Expected 4 parameter(s)"),
        (lambda m: m._record_exact(1, 2), "Expected 5 parameter(s)"),
    ],
)
def test_the_runs_entries_refuse_a_wrong_count_of_arguments(call, message):
    with pytest.raises(navro.error) as raised:
        call(navro.StandardNetworkMultiserver(2))
    assert raised.value.args == (message,)
