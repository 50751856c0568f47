"""The network of stations: configuration, snapshot, step, observations and
resets, checked against their rules, against the single station, and against
a plain-Python reference of the network."""

import contextlib
import math

import numpy as np
import pytest
from hypothesis import assume, given, strategies as st

import navro
import reference_network as ref

INT_MAX = 2**31 - 1

SERVERS = "Invalid number of servers. The number of servers must be nonnegative."
PROBABILITY = "Invalid probability. Probabilities must be between 0 and 1."
DURATION = "Invalid service duration pmf. Service durations must be strictly positive."
ENTITIES = "Invalid number of entities. The number of entities must be nonnegative."
ROUTING = "Invalid routing probabilities. Sum of destination probabilities exceeds 1."
INDEX = "Lookup index out of range"
INVALID = "Invalid value"
EMPTY = "Empty pmf"
NEGATIVE = "Negative integer in pmf support"

# The two-step state of the one-server example below, used by the
# observation and reset examples.
TWO_STEP_STATE = {(0, 1): 0.1875, (0, 2): 0.1875, (1, 1): 0.3125, (1, 2): 0.1875, (2, 1): 0.125}


@contextlib.contextmanager
def raises(message):
    """Expects navro.error with exactly `message`."""
    with pytest.raises(navro.error) as info:
        yield
    assert info.value.args == (message,)


def build(n=1, servers=None, arrivals=None, durations=None, routing=None, state=None):
    net = navro.StandardNetworkMultiserver(n)
    for i, c in (servers or {}).items():
        net.set_number_of_servers_at_node(i, c)
    for i, a in (arrivals or {}).items():
        net.set_number_of_external_arrivals_at_node_pmf(i, a)
    for i, s in (durations or {}).items():
        net.set_service_duration_at_node_pmf(i, s)
    for (s, d), r in (routing or {}).items():
        net.set_routing_probability(s, d, r)
    if state is not None:
        net.internal_state = state
    return net


def observable(net):
    """Everything a caller can read from a network."""
    n = net.get_number_of_nodes()
    return (
        net.time,
        net.internal_state,
        [net.get_number_of_servers_at_node(i) for i in range(n)],
        [net.get_number_of_external_arrivals_at_node_pmf(i) for i in range(n)],
        [net.get_service_duration_at_node_pmf(i) for i in range(n)],
        [[net.get_routing_probability(s, d) for d in range(n)] for s in range(n)],
        [net.get_abandonment_probability_at_node(i) for i in range(n)],
        [net.get_capacity_at_node(i) for i in range(n)],
    )


def assert_close(got, want, tol=1e-12):
    assert sorted(got) == sorted(want)
    for key in want:
        assert got[key] == pytest.approx(want[key], abs=tol, rel=0), key


def assert_proper(state):
    assert state
    assert all(isinstance(z, int) and z >= 0 and isinstance(ell, int) for z, ell in state)
    assert all(0 < p <= 1 for p in state.values())
    assert math.fsum(state.values()) == pytest.approx(1.0, abs=1e-12)


# ------------------------------------------------------------ construction


@pytest.mark.parametrize("n", [2**20 + 1, INT_MAX])
def test_network_too_large_to_hold_is_refused_before_anything_is_built(n):
    with raises("Out of memory"):
        navro.StandardNetworkMultiserver(n)


def test_new_network_defaults():
    net = navro.StandardNetworkMultiserver(3)
    assert net.get_number_of_nodes() == 3
    assert net.time == 0
    assert net.internal_state == [{(0, 0): 1.0}] * 3
    for i in range(3):
        assert net.get_number_of_servers_at_node(i) == 0
        assert net.get_service_duration_at_node_pmf(i) == {1: 1.0}
        assert net.get_number_of_external_arrivals_at_node_pmf(i) == {0: 1.0}
        assert net.get_number_of_entities_at_node_pmf(i) == {0: 1.0}
        assert [net.get_routing_probability(i, d) for d in range(3)] == [0.0] * 3


# ------------------------------------------------------ getters and setters


@pytest.mark.parametrize(
    "name, args",
    [
        ("get_number_of_servers_at_node", (3,)),
        ("get_service_duration_at_node_pmf", (-1,)),
        ("get_number_of_external_arrivals_at_node_pmf", (-INT_MAX - 1,)),
        ("get_number_of_entities_at_node_pmf", (3,)),
        ("get_routing_probability", (3, 0)),
        ("get_routing_probability", (0, -1)),
    ],
)
def test_getter_index_out_of_range(name, args):
    with raises(INDEX):
        getattr(build(3), name)(*args)


@pytest.mark.parametrize(
    "call, message",
    [
        # A bad value is reported even when the index is bad too.
        (lambda net: net.set_number_of_servers_at_node(7, -1), SERVERS),
        (lambda net: net.set_routing_probability(7, 0, 2.0), PROBABILITY),
        (lambda net: net.set_routing_probability(0, 7, -0.5), PROBABILITY),
        (lambda net: net.set_routing_probability(7, 7, float("nan")), PROBABILITY),
        (lambda net: net.set_service_duration_at_node_pmf(7, {0: 0.5, 2: 0.5}), DURATION),
        (lambda net: net.reset_node_with_number_of_entities(7, -1), ENTITIES),
        # A good value at a bad index.
        (lambda net: net.set_number_of_servers_at_node(3, 1), INDEX),
        (lambda net: net.set_routing_probability(3, 0, 0.5), INDEX),
        (lambda net: net.set_routing_probability(0, 3, 0.5), INDEX),
        (lambda net: net.set_service_duration_at_node_pmf(-1, {2: 1.0}), INDEX),
        (lambda net: net.set_number_of_external_arrivals_at_node_pmf(3, {0: 1.0}), INDEX),
        (lambda net: net.reset_node_with_number_of_entities(3, 0), INDEX),
        (lambda net: net.apply_observation_value_at_node(3, 0), INDEX),
        (lambda net: net.apply_observation_range_at_node(-1, 0, 1), INDEX),
        # Dicts that are not distributions over single counts.
        (lambda net: net.set_service_duration_at_node_pmf(0, {(1, 1): 1.0}), INVALID),
        (lambda net: net.set_number_of_external_arrivals_at_node_pmf(0, {(0, 0): 1.0}), INVALID),
        (lambda net: net.set_number_of_external_arrivals_at_node_pmf(0, [0.5]), INVALID),
        (lambda net: net.set_routing_probability(0, 0, "0.5"), INVALID),
    ],
)
def test_refused_setting_leaves_network_unchanged(call, message):
    net = build(3, servers={1: 2}, routing={(0, 1): 0.25})
    before = observable(net)
    memory = net.current_memory_use
    with raises(message):
        call(net)
    assert observable(net) == before
    assert net.current_memory_use == memory


@pytest.mark.parametrize("value", [0.0, 1.0, 1, 0, True, 0.3])
def test_routing_probability_in_unit_interval_is_stored(value):
    net = build(2)
    net.set_routing_probability(1, 0, value)
    assert net.get_routing_probability(1, 0) == float(value)
    assert net.get_routing_probability(0, 1) == 0.0


@pytest.mark.parametrize(
    "value", [1.0000000000000002, -5e-324, float("inf"), float("-inf"), float("nan")]
)
def test_routing_probability_outside_unit_interval_is_refused(value):
    with raises(PROBABILITY):
        build(2).set_routing_probability(0, 1, value)


def test_setters_store_per_node():
    net = build(3)
    net.set_number_of_servers_at_node(1, 0)
    net.set_number_of_servers_at_node(2, 5)
    net.set_service_duration_at_node_pmf(1, {0: 0.0, 3: 1.0})  # the zero entry is dropped
    net.set_number_of_external_arrivals_at_node_pmf(2, {0: 1.0, 4: 3.0})
    assert [net.get_number_of_servers_at_node(i) for i in range(3)] == [0, 0, 5]
    assert net.get_service_duration_at_node_pmf(1) == {3: 1.0}
    assert net.get_service_duration_at_node_pmf(0) == {1: 1.0}
    assert net.get_number_of_external_arrivals_at_node_pmf(2) == {0: 0.5, 4: 0.5}
    assert net.get_number_of_external_arrivals_at_node_pmf(1) == {0: 1.0}


# Entries (source, destination, probability) of a 3-node table, some named
# twice and some set back to 0.
routing_writes = st.lists(
    st.tuples(st.integers(0, 2), st.integers(0, 2), st.sampled_from([0.0, -0.0, 0.25, 0.5, 1.0])),
    max_size=12,
)


@given(st.lists(routing_writes, min_size=1, max_size=3))
def test_the_bulk_routing_setter_writes_what_one_entry_at_a_time_writes(calls):
    bulk, single = build(3), build(3)
    for writes in calls:
        bulk.set_routing_probabilities(*([list(c) for c in zip(*writes)] or [[], [], []]))
        for s, d, p in writes:
            single.set_routing_probability(s, d, p)
    table = [[single.get_routing_probability(s, d) for d in range(3)] for s in range(3)]
    assert observable(bulk) == observable(single)
    # The routes are the table's positive entries, by source and destination,
    # and setting them on a new network gives the same table.
    routes = bulk.get_routing_probabilities()
    assert list(zip(*routes)) == [
        (s, d, p) for s in range(3) for d, p in enumerate(table[s]) if p > 0
    ]
    again = build(3)
    again.set_routing_probabilities(*(np.array(column) for column in routes))  # arrays too
    assert observable(again) == observable(bulk)


@pytest.mark.parametrize(
    "arguments, message",
    [
        (([0, 1], [1], [0.5, 0.5]), INVALID),
        (([0], [1], [0.5, 0.5]), INVALID),
        ((0, [1], [0.5]), INVALID),
        (([0, 1], [1, 2], [0.5, "0.5"]), INVALID),
        (([0, 7], [1, 0], [0.5, 2.0]), PROBABILITY),  # every value before any index
        (([0, 1], [1, 3], [0.5, 0.5]), INDEX),
        (([0, -1], [1, 0], [0.5, 0.5]), INDEX),
    ],
)
def test_a_refused_bulk_routing_sets_nothing(arguments, message):
    net = build(3, routing={(0, 2): 0.5})
    before, memory = observable(net), net.current_memory_use
    with raises(message):
        net.set_routing_probabilities(*arguments)
    assert observable(net) == before
    assert net.current_memory_use == memory


def test_a_large_network_with_sparse_routes_holds_memory_in_proportion_to_its_nodes():
    """The routing table costs what its routes cost: a 10,000-node tandem
    holds about ten times what a 1,000-node one does, not a hundred."""

    def tandem(n):
        net = navro.StandardNetworkMultiserver(n)
        for i in range(n):
            net.set_number_of_servers_at_node(i, 1)
        net.set_routing_probabilities(list(range(n - 1)), list(range(1, n)), [1.0] * (n - 1))
        net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
        net.mark()
        for _ in range(3):
            net.step()
        return net

    small, large = tandem(1_000), tandem(10_000)
    assert large.get_number_of_entities_at_node_pmf(2) == small.get_number_of_entities_at_node_pmf(
        2
    )
    assert large.get_number_of_entities_at_node_pmf(2) == {0: 0.5, 1: 0.5}
    assert small.current_memory_use * 9 < large.current_memory_use < small.current_memory_use * 11


# ---------------------------------------------------------------- snapshot


def test_restore_brings_back_everything_that_mark_saw():
    net = build(2, servers={0: 1}, arrivals={0: {1: 1.0}}, routing={(0, 1): 0.5})
    net.step()
    net.mark()
    marked = observable(net)
    net.set_number_of_servers_at_node(1, 4)
    net.set_routing_probability(1, 1, 0.75)
    net.set_service_duration_at_node_pmf(0, {2: 1.0})
    net.set_number_of_external_arrivals_at_node_pmf(1, {3: 1.0})
    net.step()
    net.time = 99
    assert observable(net) != marked
    net.restore()
    assert observable(net) == marked
    net.step()
    net.restore()  # the snapshot is not consumed
    assert observable(net) == marked


def test_restore_without_mark_returns_to_the_new_network():
    net = build(
        2, servers={0: 3}, arrivals={1: {2: 1.0}}, durations={1: {4: 1.0}}, routing={(1, 0): 1.0}
    )
    net.step()
    net.restore()
    assert observable(net) == observable(navro.StandardNetworkMultiserver(2))


def test_internal_state_of_other_kind_is_refused():
    net = build(2)
    before = observable(net)
    for value in ([{0: 1.0}, {0: 1.0}], [{(0, 1, 2): 1.0}], ({(0, 1): 1.0},), [], "x"):
        with raises(INVALID):
            net.internal_state = value
    assert observable(net) == before
    with pytest.raises(AttributeError):
        del net.internal_state
    assert observable(net) == before


@pytest.mark.parametrize("operation", ["mark", "restore", "step"])
def test_short_internal_state_fails_and_changes_nothing(operation):
    net = build(3, servers={0: 1}, arrivals={0: {1: 1.0}})
    net.step()
    net.mark()
    net.step()
    net.time = 7
    net.internal_state = [{(4, 1): 1.0}, {(5, 2): 1.0}]
    before = observable(net)
    with raises(INDEX):
        getattr(net, operation)()
    assert observable(net) == before
    # The snapshot is still the one taken after the first step.
    net.internal_state = [{(0, 0): 1.0}] * 3
    net.restore()
    assert net.time == 1
    assert net.get_number_of_entities_at_node_pmf(0) == {1: 1.0}


def test_longer_internal_state_keeps_its_extra_entries():
    net = build(2, servers={0: 1, 1: 1}, arrivals={0: {1: 1.0}})
    extra = {(9, 3): 1.0}
    net.internal_state = [{(0, 1): 1.0}, {(0, 1): 1.0}, extra]
    net.mark()
    net.step()
    assert net.internal_state[2] == extra
    assert net.get_number_of_entities_at_node_pmf(2) == {9: 1.0}
    net.apply_observation_range_at_node(2, 0, 10)
    assert net.internal_state[2] == extra
    # The extra entry has no configuration: a reset there finds no durations.
    with raises(INDEX):
        net.reset_node_with_number_of_entities(2, 0)
    net.restore()
    assert net.internal_state == [{(0, 1): 1.0}, {(0, 1): 1.0}, extra]


# -------------------------------------------------------------------- step


def test_new_one_node_network_steps_to_a_service_about_to_start():
    net = build(1)
    net.step()
    assert net.internal_state == [{(0, 1): 1.0}]
    assert net.time == 1


def test_one_server_example_over_two_steps():
    net = build(1, servers={0: 1}, arrivals={0: {0: 0.5, 1: 0.5}}, durations={0: {1: 0.5, 2: 0.5}})
    net.step()
    assert_close(net.internal_state[0], {(0, 1): 0.25, (0, 2): 0.25, (1, 1): 0.25, (1, 2): 0.25})
    net.step()
    assert_close(net.internal_state[0], TWO_STEP_STATE)
    assert_close(net.get_number_of_entities_at_node_pmf(0), {0: 0.375, 1: 0.5, 2: 0.125})


def test_tandem_entity_reaches_the_next_node_one_step_later():
    net = build(2, servers={0: 1, 1: 1}, arrivals={0: {1: 1.0}}, routing={(0, 1): 1.0})
    net.step()
    assert net.get_number_of_entities_at_node_pmf(0) == {1: 1.0}
    assert net.get_number_of_entities_at_node_pmf(1) == {0: 1.0}
    for _ in range(4):
        net.step()
        assert net.get_number_of_entities_at_node_pmf(0) == {1: 1.0}
        assert net.get_number_of_entities_at_node_pmf(1) == {1: 1.0}


def test_full_return_to_the_same_node_keeps_every_entity():
    net = build(1, servers={0: 1}, arrivals={0: {1: 1.0}}, routing={(0, 0): 1.0})
    for t in range(1, 6):
        net.step()
        assert net.get_number_of_entities_at_node_pmf(0) == {t: 1.0}


@pytest.mark.parametrize(
    "chance, kept",
    [
        (1e-9, {0: 1.0}),
        (4.9e-9, {0: 1.0}),
        # Each tail gets half of 1e-8, so these stay.
        (5.1e-9, {0: 1 - 5.1e-9, 1: 5.1e-9}),
        (1e-8, {0: 1 - 1e-8, 1: 1e-8}),
    ],
)
def test_tail_below_the_cut_is_dropped(chance, kept):
    net = build(2, arrivals={1: {0: 1 - chance, 1: chance}})
    net.step()
    assert_close(net.get_number_of_entities_at_node_pmf(1), kept, tol=1e-15)
    assert net.get_number_of_entities_at_node_pmf(0) == {0: 1.0}


def test_flow_arriving_from_another_node_is_cut_like_any_arrival():
    # Node 0 finishes one service with certainty and routes it on with 1e-9.
    net = build(2, servers={0: 1}, routing={(0, 1): 1e-9}, state=[{(1, 1): 1.0}, {(0, 1): 1.0}])
    net.step()
    assert net.get_number_of_entities_at_node_pmf(1) == {0: 1.0}


@pytest.mark.parametrize(
    "row, accepted",
    [
        ([0.5, 0.5, 0.0], True),
        ([0.0, 0.7, 0.7], False),
        # The row is summed in column order: the same three numbers pass in
        # one order and fail in another by one unit in the last place.
        ([0.11, 0.33, 0.56], True),
        ([0.33, 0.56, 0.11], False),
    ],
)
def test_routing_rows_are_checked_by_the_step(row, accepted):
    net = build(3, servers={0: 1}, state=[{(1, 1): 1.0}, {(0, 1): 1.0}, {(0, 1): 1.0}])
    for d, r in enumerate(row):
        net.set_routing_probability(0, d, r)  # each value alone is accepted
    before = observable(net)
    if accepted:
        net.step()
        assert net.time == 1
    else:
        with raises(ROUTING):
            net.step()
        assert observable(net) == before


def test_step_failing_at_a_later_node_changes_no_node():
    # Node 1 was written with a remaining time of 0 for a service that goes
    # on, which cannot be moved one step shorter.
    net = build(
        2, servers={0: 1, 1: 1}, arrivals={0: {1: 1.0}}, state=[{(0, 1): 1.0}, {(2, 0): 1.0}]
    )
    net.time = 5
    before = observable(net)
    memory = net.current_memory_use
    with raises(NEGATIVE):
        net.step()
    assert observable(net) == before
    assert net.current_memory_use == memory


def test_of_several_failing_nodes_the_first_in_node_order_is_reported():
    # Node 0 takes a flow from node 2, so node 1 is mapped before it: node 0
    # cannot relabel its service, and node 1's count would leave the int range.
    net = build(
        3,
        servers={0: 1, 1: 1, 2: 1},
        routing={(2, 0): 0.5},
        arrivals={1: {1: 1.0}},
        state=[{(2, 0): 1.0}, {(INT_MAX, 2): 1.0}, {(0, 1): 1.0}],
    )
    before = observable(net)
    with raises(NEGATIVE):
        net.step()
    assert observable(net) == before


# --------------------------------------------------------- counts near 2^31


@pytest.mark.parametrize(
    "config",
    [
        # External arrivals on top of the largest count.
        dict(n=1, arrivals={0: {0: 0.5, 1: 0.5}}, state=[{(INT_MAX, 1): 1.0}]),
        # Entities routed back to their node, and arrivals.
        dict(
            n=1,
            servers={0: 2},
            arrivals={0: {2: 1.0}},
            routing={(0, 0): 1.0},
            state=[{(INT_MAX - 1, 1): 1.0}],
        ),
        # Entities routed in from another node.
        dict(
            n=2,
            servers={0: 5},
            routing={(0, 1): 1.0},
            state=[{(5, 1): 1.0}, {(INT_MAX - 3, 1): 1.0}],
        ),
        # External arrivals plus the flow from another node.
        dict(
            n=2,
            servers={0: 1},
            routing={(0, 1): 1.0},
            arrivals={1: {INT_MAX: 1.0}},
            state=[{(1, 1): 1.0}, {(0, 1): 1.0}],
        ),
    ],
)
def test_count_beyond_the_int_range_is_refused(config):
    net = build(**config)
    before = observable(net)
    with raises(INVALID):
        net.step()
    assert observable(net) == before


def test_largest_count_steps_when_nothing_is_added():
    net = build(1, servers={0: 1}, state=[{(INT_MAX, 2): 1.0}])
    net.step()
    assert net.internal_state == [{(INT_MAX, 1): 1.0}]
    net.apply_observation_value_at_node(0, INT_MAX)
    assert net.internal_state == [{(INT_MAX, 1): 1.0}]
    net.step()
    assert net.get_number_of_entities_at_node_pmf(0) == {INT_MAX - 1: 1.0}


def test_observing_the_largest_int_on_a_state_without_it_is_empty():
    net = build(1, state=[{(3, 1): 1.0}])
    with raises(EMPTY):
        net.apply_observation_value_at_node(0, INT_MAX)
    assert net.internal_state == [{(3, 1): 1.0}]


def test_clock_wraps_after_the_largest_int():
    net = build(2)
    net.time = INT_MAX
    net.step()
    assert net.time == -(2**31)
    net.step()
    assert net.time == -(2**31) + 1


# ----------------------------------------------- observations and resets


@pytest.fixture
def observed():
    """Node 1 holds the two-step state; node 0 and the snapshot differ."""
    net = build(
        2, servers={1: 1}, durations={1: {1: 0.5, 2: 0.5}}, state=[{(3, 4): 1.0}, TWO_STEP_STATE]
    )
    net.time = 11
    net.mark()
    net.internal_state = [{(7, 2): 1.0}, TWO_STEP_STATE]
    return net


@pytest.mark.parametrize(
    "call, expected",
    [
        # Counts 1 and 2 keep 0.8 and 0.2 of the mass.
        (
            lambda net: net.apply_observation_range_at_node(1, 1, 3),
            {(1, 1): 0.5, (1, 2): 0.3, (2, 1): 0.2},
        ),
        (lambda net: net.apply_observation_value_at_node(1, 2), {(2, 1): 1.0}),
        (lambda net: net.apply_observation_range_at_node(1, 0, 3), TWO_STEP_STATE),
        (lambda net: net.apply_observation_range_at_node(1, -5, INT_MAX), TWO_STEP_STATE),
        (lambda net: net.reset_node_with_number_of_entities(1, 5), {(5, 1): 0.5, (5, 2): 0.5}),
        (lambda net: net.reset_node_with_number_of_entities(1, 0), {(0, 1): 0.5, (0, 2): 0.5}),
        (
            lambda net: net.reset_node_with_number_of_entities(1, INT_MAX),
            {(INT_MAX, 1): 0.5, (INT_MAX, 2): 0.5},
        ),
    ],
)
def test_observation_or_reset_changes_one_node_only(observed, call, expected):
    call(observed)
    assert_close(observed.internal_state[1], expected)
    assert observed.internal_state[0] == {(7, 2): 1.0}
    assert observed.time == 11
    observed.restore()
    assert observed.internal_state == [{(3, 4): 1.0}, TWO_STEP_STATE]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda net: net.apply_observation_value_at_node(1, 3), EMPTY),
        (lambda net: net.apply_observation_value_at_node(1, -1), EMPTY),
        (lambda net: net.apply_observation_range_at_node(1, 2, 2), EMPTY),
        (lambda net: net.apply_observation_range_at_node(1, 2, 1), EMPTY),
        (lambda net: net.reset_node_with_number_of_entities(1, -1), ENTITIES),
        (lambda net: net.reset_node_with_number_of_entities(2, -1), ENTITIES),
    ],
)
def test_refused_observation_or_reset_changes_nothing(observed, call, message):
    before = observable(observed)
    memory = observed.current_memory_use
    with raises(message):
        call(observed)
    assert observable(observed) == before
    assert observed.current_memory_use == memory


# ------------------------------------------------------------ properties

probabilities = st.floats(min_value=0.01, max_value=1.0)
arrival_pmfs = st.dictionaries(st.integers(0, 3), probabilities, min_size=1, max_size=3)
duration_pmfs = st.dictionaries(st.integers(1, 4), probabilities, min_size=1, max_size=3)
states = st.dictionaries(
    st.tuples(st.integers(0, 5), st.integers(1, 4)), probabilities, min_size=1, max_size=6
)
servers = st.integers(0, 3)
operations = st.lists(
    st.one_of(
        st.just(("step",)),
        st.tuples(st.just("range"), st.integers(-1, 8), st.integers(0, 9)),
        st.tuples(st.just("value"), st.integers(0, 8)),
        st.tuples(st.just("reset"), st.integers(0, 6)),
    ),
    min_size=1,
    max_size=6,
)


@st.composite
def node_configs(draw):
    return dict(
        servers=draw(servers),
        arrivals=draw(arrival_pmfs),
        durations=draw(duration_pmfs),
        state=draw(st.one_of(st.none(), states)),
    )


@st.composite
def routing_tables(draw, n):
    """Rows whose sum, taken in column order, does not exceed 1."""
    table = []
    for _ in range(n):
        weights = draw(
            st.lists(st.sampled_from([0.0, 0.0, 0.1, 0.3, 0.5, 1.0]), min_size=n, max_size=n)
        )
        leave = draw(st.sampled_from([0.0, 0.2, 1.0]))
        total = sum(weights) + leave
        row = [w / total for w in weights] if total > 0 else weights
        running = 0.0
        for r in row:
            running += r
        assume(running <= 1)
        table.append(row)
    return table


def configure_node(net, i, config):
    net.set_number_of_servers_at_node(i, config["servers"])
    net.set_number_of_external_arrivals_at_node_pmf(i, config["arrivals"])
    net.set_service_duration_at_node_pmf(i, config["durations"])


def station_from(config):
    station = navro.StandardMultiserver()
    station.number_of_servers = config["servers"]
    station.number_of_arrivals_pmf = config["arrivals"]
    station.service_duration_pmf = config["durations"]
    if config["state"] is not None:
        station.internal_state = config["state"]
    return station


def network_from(configs, routing=None):
    net = navro.StandardNetworkMultiserver(len(configs))
    for i, config in enumerate(configs):
        configure_node(net, i, config)
    for s, row in enumerate(routing or []):
        for d, r in enumerate(row):
            net.set_routing_probability(s, d, r)
    start = [c["state"] for c in configs]
    if any(s is not None for s in start):
        net.internal_state = [s if s is not None else {(0, 0): 1.0} for s in start]
    return net


def outcome(call):
    try:
        call()
    except navro.error as error:
        return error.args
    return None


@given(node_configs(), operations)
def test_one_node_network_without_routing_matches_the_single_station(config, ops):
    station = station_from(config)
    net = network_from([config])
    for op in ops:
        if op[0] == "step":
            calls = station.step, net.step
        elif op[0] == "range":
            calls = (
                lambda: station.apply_observation_range(op[1], op[2]),
                lambda: net.apply_observation_range_at_node(0, op[1], op[2]),
            )
        elif op[0] == "value":
            calls = (
                lambda: station.apply_observation_value(op[1]),
                lambda: net.apply_observation_value_at_node(0, op[1]),
            )
        else:
            calls = (
                lambda: station.reset_with_number_of_entities_in_system(op[1]),
                lambda: net.reset_node_with_number_of_entities(0, op[1]),
            )
        assert outcome(calls[0]) == outcome(calls[1])
        assert_proper(net.internal_state[0])
        assert_close(net.internal_state[0], station.internal_state)
        assert net.time == station.time


@given(st.lists(node_configs(), min_size=2, max_size=3), st.integers(1, 3))
def test_unrouted_network_moves_each_node_on_its_own(configs, steps):
    net = network_from(configs)
    alone = [network_from([c]) for c in configs]
    for _ in range(steps):
        net.step()
        for single in alone:
            single.step()
        for i, single in enumerate(alone):
            assert net.internal_state[i] == single.internal_state[0]


@given(
    st.integers(1, 3).flatmap(
        lambda n: st.tuples(st.lists(node_configs(), min_size=n, max_size=n), routing_tables(n))
    ),
    st.integers(1, 3),
    st.lists(st.sampled_from([0.0, 0.0, 0.4]), min_size=3, max_size=3),
    st.lists(st.sampled_from([None, None, 1, 4]), min_size=3, max_size=3),
)
def test_network_matches_the_reference(setup, steps, patience, capacities):
    configs, routing = setup
    net = network_from(configs, routing)
    for i in range(net.get_number_of_nodes()):
        net.set_abandonment_probability_at_node(i, patience[i])
        net.set_capacity_at_node(i, capacities[i])
    expected = ref.Network.of(net)
    for _ in range(steps):
        net.step()
        expected = ref.step(expected)
        got = ref.Network.of(net)
        assert got.time == expected.time
        for mine, theirs in zip(got.states, expected.states):
            assert_proper(mine)
            assert all(ell >= 1 for _, ell in mine)
            assert_close(mine, theirs)
