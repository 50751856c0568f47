"""What the entities that arrive live through: the recorded arrivals and waits
equal their definition worked out from the dicts by hand, match the real
queue where the model is exact, and satisfy Little's law."""

import math

import numpy as np
import pytest
from hypothesis import example, given, strategies as st

import navro
from navro import Period
from navro.distributions import geometric, poisson
from queue_simulation import simulate
from reference_network import Network, convolve, flow
from reference_waits import waits
from test_trajectories import weights


@st.composite
def runs(draw):
    """(model, schedule, every, horizon) for a random small model and schedule."""
    nodes = draw(st.sampled_from([None, 1, 2]))
    count = nodes or 1

    def period():
        settings = {
            "servers": st.integers(0, 3),
            "arrivals": weights(2),
            "durations": weights(3, min_value=1),
        }
        chosen = draw(st.fixed_dictionaries({}, optional=settings))
        if nodes is not None:
            chosen = {
                k: [draw(v) for _ in range(count)] for k, v in settings.items() if k in chosen
            }
            if draw(st.booleans()):
                chosen["routing"] = [
                    [draw(st.floats(0, 0.45)) for _ in range(count)] for _ in range(count)
                ]
        return Period(draw(st.integers(1, 3)), **chosen)

    model = (
        navro.StandardMultiserver() if nodes is None else navro.StandardNetworkMultiserver(nodes)
    )
    return (
        model,
        [period() for _ in range(draw(st.integers(1, 3)))],
        draw(st.integers(1, 2)),
        draw(st.integers(0, 3)),
    )


def sums_of_step(model, horizon):
    """Per node, the reference sums (arrivals, per-wait counts, beyond,
    waited) of the next step of ``model``, from its dicts."""
    if isinstance(model, navro.StandardMultiserver):
        return [
            waits(
                model.internal_state,
                model.number_of_servers,
                model.number_of_arrivals_pmf,
                model.service_duration_pmf,
                0.0,
                horizon,
            )
        ]
    net = Network.of(model)
    n = len(net.servers)
    result = []
    for i in range(n):
        inflow = {0: 1.0}
        for s in range(n):
            if s != i:
                inflow = convolve(inflow, flow(net.states[s], net.servers[s], net.routing[s][i]))
        batch = convolve(net.arrivals[i], inflow)
        result.append(
            waits(
                net.states[i],
                net.servers[i],
                batch,
                net.durations[i],
                net.routing[i][i],
                horizon,
            )
        )
    return result


def by_hand(model, period):
    from test_trajectories import by_hand as apply_period

    apply_period(model, period)


def twin(model):
    if isinstance(model, navro.StandardMultiserver):
        return navro.StandardMultiserver()
    return navro.StandardNetworkMultiserver(model.get_number_of_nodes())


def _returning_rarely():
    """A node whose only arrivals are its own entities sent back with a chance
    far below the rounding of its other outcomes' weights."""
    model = navro.StandardNetworkMultiserver(2)
    first = Period(
        2,
        servers=[2, 3],
        arrivals=[{0: 0.3, 1: 0.1, 2: 0.3}, {0: 1.0}],
        durations=[{1: 0.25, 2: 0.2, 3: 0.55}, {2: 1.0}],
        routing=[[0.45, 0.1], [0.03, 1e-67]],
    )
    return model, [first, Period(2), Period(2, servers=[0, 2])], 2, 0


@given(runs())
@example(_returning_rarely())
def test_recorded_waits_equal_their_definition(case):
    model, schedule, every, horizon = case
    hand = twin(model)
    run = navro.trajectory(model, schedule, every=every, wait_horizon=horizon)
    nodes = run.number_of_nodes
    rows = [None]
    pending = [(0.0, [0.0] * (horizon + 1), 0.0, 0.0)] * nodes
    step = 0
    for period in schedule:
        by_hand(hand, period)
        for _ in range(period.steps):
            pending = [
                (a + b[0], [x + y for x, y in zip(ca, b[1])], be + b[2], w + b[3])
                for (a, ca, be, w), b in zip(pending, sums_of_step(hand, horizon))
            ]
            hand.step()
            step += 1
            if step % every == 0:
                rows.append(pending)
                pending = [(0.0, [0.0] * (horizon + 1), 0.0, 0.0)] * nodes

    assert len(run) == len(rows)
    for i in range(nodes):
        view = run.node(i)
        assert view.arrivals[0] == 0 and math.isnan(view.prob_wait[0])
        for r in range(1, len(rows)):
            arrivals, counts, beyond, waited = rows[r][i]
            assert view.arrivals[r] == pytest.approx(arrivals, rel=1e-9, abs=1e-12)
            if arrivals == 0 or view.arrivals[r] == 0:
                # Rounding may leave a chance of 1e-300 on either side.
                assert arrivals < 1e-300 and view.arrivals[r] < 1e-300
                continue
            np.testing.assert_allclose(
                view.wait_probabilities[r], np.array(counts) / arrivals, rtol=1e-9, atol=1e-12
            )
            assert view.wait_beyond[r] == pytest.approx(beyond / arrivals, rel=1e-9, abs=1e-12)
            assert view.mean_wait[r] == pytest.approx(waited / arrivals, rel=1e-9, abs=1e-12)
            assert view.prob_wait[r] == pytest.approx(1 - counts[0] / arrivals, abs=1e-9)


EXACT = {
    "one server": ([1], [{0: 0.6, 1: 0.25, 2: 0.15}], [{1: 0.3, 2: 0.4, 4: 0.3}], [[0.0]]),
    "one server, deterministic": ([1], [{0: 0.7, 1: 0.3}], [{3: 1.0}], [[0.0]]),
    "geometric, three servers": ([3], [poisson(1.1)], [geometric(0.4)], [[0.0]]),
    "one server with feedback": ([1], [{0: 0.7, 1: 0.3}], [{1: 0.5, 2: 0.5}], [[0.3]]),
    "two geometric nodes side by side": (
        [2, 1],
        [poisson(0.8), {0: 0.6, 1: 0.4}],
        [geometric(0.5), geometric(0.7)],
        [[0.0, 0.0], [0.0, 0.0]],
    ),
}


@pytest.mark.parametrize("name", sorted(EXACT))
def test_waits_match_the_real_queue_where_the_model_is_exact(name):
    servers, arrivals, durations, routing = EXACT[name]
    steps, horizon = 20, 3
    sim = simulate(
        servers, arrivals, durations, routing, steps, 20000, horizon, np.random.default_rng(7)
    )
    net = navro.StandardNetworkMultiserver(len(servers))
    for i in range(len(servers)):
        net.set_number_of_servers_at_node(i, servers[i])
        net.set_number_of_external_arrivals_at_node_pmf(i, arrivals[i])
        net.set_service_duration_at_node_pmf(i, durations[i])
        for j in range(len(servers)):
            net.set_routing_probability(i, j, routing[i][j])
    run = navro.trajectory(net, steps, wait_horizon=horizon)
    for i in range(len(servers)):
        node = run.node(i)
        for t in (1, 3, 8, 20):
            counts = sim.counts[i, t - 1]
            for model, values in (
                (node.prob_wait[t], counts[:, 1:].sum(axis=1)),
                (node.service_level(1)[t], counts[:, :2].sum(axis=1)),
                (node.wait_probabilities[t, 3], counts[:, 3]),
                (node.mean_wait[t], sim.waited[i, t - 1]),
            ):
                value, error = sim.estimate(values, i, t)
                # Five standard errors: a fault in the timing (a wait one step
                # off, a batch not in random order) moves these far more.
                assert abs(model - value) <= 5 * error + 1e-9, (name, i, t, model, value, error)
            mean_arrivals = sim.arrivals[i, t - 1].mean()
            assert abs(node.arrivals[t] - mean_arrivals) <= 5 * sim.arrivals[i, t - 1].std() / 141


@pytest.mark.parametrize(
    "servers, arrivals, durations",
    [
        (1, {0: 0.8, 1: 0.2}, {3: 1.0}),
        (1, {0: 0.875, 2: 0.125}, {1: 0.2, 2: 0.2, 3: 0.2, 4: 0.2, 5: 0.2}),
        (3, {0: 0.4, 1: 0.4, 2: 0.2}, geometric(0.4, tail=1e-14)),
    ],
)
def test_littles_law_where_the_model_is_exact(servers, arrivals, durations):
    """The number waiting is the arrival rate times the mean wait. Summed over
    a run from empty to empty it holds exactly for the waits as defined,
    worked out by hand on the queue without the steps' tail cut. A settled
    run of the model holds it up to what that cut (5e-9 of the next count's
    distribution at either end of every step) moves the number waiting: a
    few parts in a million."""
    import reference_model

    state = {(0, s): p for s, p in durations.items()}
    waiting = arrived = 0.0
    exact = reference_model.TOLERANCE
    try:
        reference_model.TOLERANCE = 0.0
        for t in range(60):
            batch = arrivals if t < 6 else {0: 1.0}
            if t < 6:
                arrived += waits(state, servers, batch, durations, 0.0, 0)[3]
            state = reference_model.step(state, batch, durations, servers)
            waiting += sum(
                max(n - servers, 0) * p for n, p in reference_model.marginal(state).items()
            )
    finally:
        reference_model.TOLERANCE = exact
    assert reference_model.marginal(state)[0] > 1 - 1e-9
    assert waiting == pytest.approx(arrived, rel=1e-10)

    station = navro.StandardMultiserver()
    station.number_of_servers = servers
    station.service_duration_pmf = durations
    run = navro.trajectory(station, [Period(3000, arrivals=arrivals)], wait_horizon=0)
    settled = run.arrivals[-1] * run.mean_wait[-1]
    assert run.expected_queue_length[-2] == pytest.approx(run.expected_queue_length[-1], rel=1e-12)
    assert run.expected_queue_length[-1] == pytest.approx(settled, rel=1e-5)
