"""Staffing: replayed by hand, every period the roster reports as met meets
its target at every checked step, one server fewer at any staffed node
breaks it, and a missed period holds the upper bound."""

from dataclasses import replace

import numpy as np
import pytest
from hypothesis import given, strategies as st

import navro
from navro import Period, Target

ARRIVALS = ("service_level", "prob_wait", "mean_wait")


def weights(max_value, min_value=0):
    return st.dictionaries(
        st.integers(min_value, max_value), st.floats(0.05, 1.0), min_size=1, max_size=3
    )


def targets():
    """A target of any kind, with a bound that some roster may meet."""
    bound = st.floats(0, 1, exclude_max=True)
    when = st.sampled_from(["every", "end"])
    return st.one_of(
        st.builds(Target, st.just("prob_all_busy"), bound, when),
        st.builds(Target, st.just("expected_queue_length"), bound.map(lambda x: 2 * x), when),
        st.builds(Target, st.just("mean"), bound.map(lambda x: 4 * x), when),
        st.builds(Target, st.just("utilisation"), bound, when),
        st.builds(Target, st.just("prob_wait"), bound, when),
        st.builds(Target, st.just("mean_wait"), bound.map(lambda x: 3 * x), when),
        st.builds(
            Target,
            st.just("service_level"),
            when=when,
            at_least=st.floats(0, 1, exclude_min=True),
            within=st.integers(0, 2),
        ),
    )


def several():
    """One target, or a list of one or two."""
    return targets() | st.lists(targets(), min_size=1, max_size=2)


@st.composite
def cases(draw):
    """(build, schedule, targets, bounds): ``build()`` makes the same model
    afresh each time."""
    nodes = draw(st.sampled_from([None, 1, 2, 3]))
    count = nodes or 1
    servers = draw(st.lists(st.integers(0, 3), min_size=count, max_size=count))
    durations = draw(st.lists(weights(3, 1), min_size=count, max_size=count))
    # Rows that may send everything on, so that one node's servers matter to
    # the others'.
    entries = count * count
    routing = draw(st.lists(st.floats(0, 1 / count), min_size=entries, max_size=entries))
    start = draw(st.lists(st.integers(0, 3), min_size=count, max_size=count))

    def build():
        if nodes is None:
            model = navro.StandardMultiserver()
            model.number_of_servers = servers[0]
            model.service_duration_pmf = durations[0]
            model.reset_with_number_of_entities_in_system(start[0])
            return model
        model = navro.StandardNetworkMultiserver(nodes)
        for n in range(nodes):
            model.set_number_of_servers_at_node(n, servers[n])
            model.set_service_duration_at_node_pmf(n, durations[n])
            model.reset_node_with_number_of_entities(n, start[n])
            for d in range(nodes):
                model.set_routing_probability(n, d, routing[n * nodes + d])
        return model

    arrivals = weights(3) if nodes is None else st.lists(weights(2), min_size=count, max_size=count)
    period = st.builds(Period, st.integers(1, 6), arrivals=arrivals)
    schedule = draw(st.lists(period, min_size=1, max_size=3))
    low = draw(st.integers(0, 2))
    bounds = (low, draw(st.integers(low, 4)))
    if nodes is None:
        return build, schedule, draw(several()), bounds
    chosen = draw(st.lists(st.none() | several(), min_size=count, max_size=count))
    if all(t is None for t in chosen):
        chosen[0] = draw(several())
    free = st.fixed_dictionaries({n: st.integers(0, 3) for n, t in enumerate(chosen) if t is None})
    schedule = [replace(p, servers=draw(st.none() | free)) for p in schedule]
    return build, schedule, chosen, bounds


def period_with(period, servers, network):
    return replace(period, servers=list(servers) if network else int(servers[0]))


def listed(target):
    if target is None:
        return []
    return [target] if isinstance(target, Target) else list(target)


def holds(run, target, node):
    """Whether ``target`` holds in one period's run at ``node``, worked out
    from the run's measures."""
    view = run.node(node)
    if target.measure == "service_level":
        values = view.service_level(target.within)
    else:
        values = getattr(view, target.measure)
    rows = slice(1, None) if target.when == "every" else slice(-1, None)
    checked = values[rows]
    if target.measure in ARRIVALS:
        checked = checked[view.arrivals[rows] > 0]
    if target.at_least is None:
        return bool(np.all(checked <= target.at_most))
    return bool(np.all(checked >= target.at_least))


@given(cases())
def test_the_roster_meets_every_target_with_no_server_to_spare(case):
    build, schedule, target, bounds = case
    result = navro.staffing(build(), schedule, target, bounds)
    network = isinstance(target, list) and isinstance(build(), navro.StandardNetworkMultiserver)
    per_node = [listed(t) for t in target] if network else [listed(target)]
    roster = result.roster.reshape(len(schedule), -1)
    met = result.met.reshape(len(schedule), -1)
    low, high = bounds

    # The replay records the waits as far as staffing did: a chance to wait
    # summed to another horizon may differ in its last bit, and a bound of 0
    # on a row with rounding noise for arrivals turns on that bit.
    def replay(model, period, servers):
        return navro.trajectory(
            model, [period_with(period, servers, network)], wait_horizon=result._horizon
        )

    model, parts = build(), []
    for p, period in enumerate(schedule):
        model.mark()
        for node, ts in enumerate(per_node):
            if not ts:
                continue
            if met[p, node] and roster[p, node] > low:
                fewer = roster[p].copy()
                fewer[node] -= 1
                model.restore()
                run = replay(model, period, fewer)
                assert not all(holds(run, t, node) for t in ts), (p, node)
            if not met[p, node]:
                assert roster[p, node] == high
        for node, count in (period.servers or {}).items():
            assert roster[p, node] == count
        model.restore()
        run = replay(model, period, roster[p])
        parts.append(run)
        for node, ts in enumerate(per_node):
            if ts:
                assert met[p, node] == all(holds(run, t, node) for t in ts)
    assert result.infeasible == [p for p in range(len(schedule)) if not met[p].all()]
    replayed = navro.Trajectory.concatenate(parts)
    np.testing.assert_array_equal(result.trajectory.probabilities, replayed.probabilities)
    np.testing.assert_array_equal(result.trajectory.servers, replayed.servers)
    if not network:
        scanned = navro.staffing(build(), schedule, target, bounds, search="scan")
        np.testing.assert_array_equal(scanned.roster, result.roster)


def test_a_node_fed_by_a_node_searched_after_it_is_searched_again():
    """Node 1 sends every entity it serves to node 0. Searched first, node 0
    sees no traffic while node 1 has no servers; once node 1 gets its
    server, node 0 needs one too."""
    net = navro.StandardNetworkMultiserver(2)
    net.set_number_of_external_arrivals_at_node_pmf(1, {1: 1.0})
    net.set_routing_probability(1, 0, 1.0)
    result = navro.staffing(net, [Period(4)], Target("expected_queue_length", 0.0), (0, 3))
    assert result.roster.tolist() == [[1, 1]] and result.met.all()


def call_centre(servers=0):
    centre = navro.StandardMultiserver()
    centre.number_of_servers = servers
    centre.service_duration_pmf = navro.distributions.uniform(2, 6)
    return centre


def test_bisection_takes_few_runs_where_a_scan_takes_many():
    day = [Period(20, arrivals=navro.distributions.poisson(rate)) for rate in (1.0, 3.0, 1.5)]
    target = Target("expected_queue_length", 0.5)
    bisected = navro.staffing(call_centre(), day, target, (0, 1000))
    scanned = navro.staffing(call_centre(), day, target, (0, 1000), search="scan")
    np.testing.assert_array_equal(bisected.roster, scanned.roster)
    assert scanned.runs > sum(bisected.roster)
    assert bisected.runs < 3 * (1000).bit_length()


def test_a_measure_seen_to_rise_with_more_servers_is_scanned_from_the_lower_bound():
    """Met by 1 server and by 10, missed in between and rising there: the
    search starts near the model's 5 servers, sees the rise, and scans."""

    def odd(run):
        c = run.servers.astype(float)
        return np.where(c == 1, 0.0, np.where(c >= 10, 0.0, 0.2 * c + 0.1))

    result = navro.staffing(call_centre(5), [Period(3)], Target(odd, 0.05), (0, 10))
    assert list(result.roster) == [1] and not result.monotone[0] and result.met[0]


def test_a_failing_step_leaves_the_model_at_the_start_of_the_period_being_staffed():
    model = navro.StandardMultiserver()
    model.reset_with_number_of_entities_in_system(2**31 - 3)
    day = [Period(3, arrivals={0: 1.0}), Period(2, arrivals={20: 1.0})]
    with pytest.raises(navro.error, match="Invalid value"):
        navro.staffing(model, day, Target("mean", 1.0), (0, 2))
    assert model.time == 3


@pytest.mark.parametrize(
    "schedule, target, bounds, message",
    [
        ([], Target("mean", 1.0), (0, 1), "no periods"),
        ([Period(1, servers=2)], Target("mean", 1.0), (0, 1), "sets the servers"),
        ([Period(1), Period(1, durations={0: 1.0})], Target("mean", 1.0), (0, 1), "at least 1"),
        ([Period(1)], Target("mean", 1.0), (2, 1), "lower above the upper"),
        ([Period(1)], Target("mean", 1.0), (0, -1), "must lie in"),
        ([Period(1)], Target("mean", 1.0), [(0, 1)], "a pair"),
        ([Period(1)], {0: Target("mean", 1.0)}, (0, 1), "a Target or a list of them, got dict"),
    ],
)
def test_bad_arguments_are_refused_before_any_step(schedule, target, bounds, message):
    model = navro.StandardMultiserver()
    with pytest.raises((ValueError, TypeError), match=message):
        navro.staffing(model, schedule, target, bounds)
    assert model.time == 0


@pytest.mark.parametrize(
    "arguments, keywords, message",
    [
        (("waiting", 1.0), {}, "unknown measure"),
        (("mean", float("nan")), {}, "NaN"),
        (("mean", 1.0, "start"), {}, "'every' or 'end'"),
        (("prob_all_busy", 20), {}, r"lies in \[0.0, 1.0\]: every value meets at_most=20"),
        (("prob_all_busy", -0.1), {}, "no value can meet"),
        (("prob_wait",), {"at_least": 0.0}, "every value meets at_least=0"),
        (("service_level",), {"at_least": 1.5, "within": 2}, "no value can meet"),
        (("service_level",), {"at_least": 0.8}, "takes a threshold"),
        (("mean", 1.0), {"within": 2}, "takes a threshold"),
        (("mean", 1.0), {"at_least": 0.5}, "exactly one of"),
        (("mean",), {}, "exactly one of"),
        (("prob_all_busy", "20s"), {}, "a mean wait only"),
        (("service_level",), {"at_least": 0.8, "within": 2, "among": "all"}, "'offered' or"),
        (("prob_wait", 0.5), {"among": "served"}, "service_level measure only"),
    ],
)
def test_a_bad_target_is_refused(arguments, keywords, message):
    with pytest.raises((ValueError, TypeError), match=message):
        Target(*arguments, **keywords)


def test_the_old_name_of_the_queue_length_warns_and_still_works():
    run = navro.trajectory(call_centre(1), [Period(5, arrivals={1: 1.0})])
    with pytest.warns(DeprecationWarning, match="expected_queue_length"):
        old = run.expected_waiting
    np.testing.assert_array_equal(old, run.expected_queue_length)
    with pytest.warns(DeprecationWarning, match="expected_queue_length"):
        target = Target("expected_waiting", 1.0)
    assert target.measure == "expected_queue_length"


@pytest.mark.parametrize(
    "target, bounds, servers, message",
    [
        ([Target("mean", 1.0), None], (0, 1), {0: 1}, r"nodes \[0\]"),
        ([None, None], (0, 1), None, "no node has a target"),
        ({2: Target("mean", 1.0)}, (0, 1), None, "node 2 of a network of 2"),
        ([Target("mean", 1.0), Target("mean", 1.0)], {0: (0, 1)}, None, r"staffed nodes \[1\]"),
    ],
)
def test_bad_network_arguments_are_refused(target, bounds, servers, message):
    with pytest.raises(ValueError, match=message):
        navro.staffing(
            navro.StandardNetworkMultiserver(2), [Period(1, servers=servers)], target, bounds
        )


def test_numpy_numbers_are_taken_and_the_results_refuse_writes():
    def plan(number, real, pair):
        day = [Period(number(10), arrivals={number(1): real(0.6), 0: real(0.4)})]
        return navro.staffing(call_centre(), day, Target("prob_all_busy", real(0.3)), pair)

    plain = plan(int, float, (0, 5))
    numpy = plan(np.int64, np.float64, np.array([0, 5]))
    np.testing.assert_array_equal(plain.roster, numpy.roster)
    for array in (numpy.roster, numpy.met, numpy.worst, numpy.monotone):
        with pytest.raises(ValueError):
            array.flags.writeable = True
