"""StandardMultiserver: attributes, snapshots, the step, observations and
resets, checked against worked examples and against a plain-Python model."""

import math

import pytest
from hypothesis import given, strategies as st

import navro
import reference_model as ref

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)

NEGATIVE_SERVERS = "Invalid number of servers. The number of servers must be nonnegative."
NEGATIVE_ENTITIES = "Invalid number of entities. The number of entities must be nonnegative."
ZERO_DURATION = "Invalid service duration pmf. Service durations must be strictly positive."

ATTRIBUTES = (
    "number_of_arrivals_pmf",
    "service_duration_pmf",
    "internal_state",
    "number_of_servers",
    "time",
    "abandonment_probability",
    "capacity",
)


def snapshot(model):
    """Everything the caller can observe of a model."""
    return {name: getattr(model, name) for name in ATTRIBUTES}


def station(servers=0, arrivals=None, durations=None, state=None):
    model = navro.StandardMultiserver()
    model.number_of_servers = servers
    if arrivals is not None:
        model.number_of_arrivals_pmf = arrivals
    if durations is not None:
        model.service_duration_pmf = durations
    if state is not None:
        model.internal_state = state
    return model


def assert_close(actual, expected, tol=1e-12):
    assert list(actual) == list(expected), (actual, expected)
    for key in expected:
        assert actual[key] == pytest.approx(expected[key], abs=tol, rel=0), key


def raises(call, message):
    with pytest.raises(navro.error) as info:
        call()
    assert info.value.args == (message,)


# --- creation, attributes and snapshots -------------------------------------


def test_new_object_defaults():
    model = navro.StandardMultiserver()
    assert snapshot(model) == {
        "number_of_arrivals_pmf": {0: 1.0},
        "service_duration_pmf": {1: 1.0},
        "internal_state": {(0, 0): 1.0},
        "number_of_servers": 0,
        "time": 0,
        "abandonment_probability": 0.0,
        "capacity": None,
    }
    assert model.get_number_of_entities_in_system_pmf() == {0: 1.0}


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("abandonment_probability", 1.5, navro.error),
        ("abandonment_probability", -0.0 - 1e-300, navro.error),
        ("abandonment_probability", math.nan, navro.error),
        ("abandonment_probability", "0.5", navro.error),
        ("capacity", -1, navro.error),
        ("capacity", 2**31, navro.error),
        ("capacity", 2.0, TypeError),
    ],
)
def test_limits_out_of_range_are_refused_and_change_nothing(name, value, error):
    model = station(2, {0: 0.5, 2: 0.5}, {1: 1.0})
    model.abandonment_probability, model.capacity = 0.25, 4
    before = snapshot(model)
    with pytest.raises(error):
        setattr(model, name, value)
    with pytest.raises(error):
        navro.StandardMultiserver(**{name: value})
    assert snapshot(model) == before
    assert repr(model).startswith(
        "<navro.StandardMultiserver servers=2 abandonment=0.25 capacity=4"
    )


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("number_of_arrivals_pmf", {(0, 1): 1.0}, "Invalid value"),
        ("service_duration_pmf", {(1, 1): 1.0}, "Invalid value"),
        ("service_duration_pmf", {}, "Empty dictionary"),
        ("service_duration_pmf", {1: 0.0}, "Empty pmf"),
        ("number_of_arrivals_pmf", {-1: 0.5}, "Negative integer in pmf support"),
        ("number_of_arrivals_pmf", [0, 1], "Invalid value"),
        ("number_of_arrivals_pmf", ({0: 1.0},), "Invalid value"),
        ("internal_state", {3: 1.0}, "Invalid value"),
        ("internal_state", {(1, 2, 3): 1.0}, "Invalid value"),
        ("internal_state", ({(0, 1): 1.0},), "Invalid value"),
        ("internal_state", {(-1, 1): 1.0}, "Samples must be nonnegative integers"),
        ("internal_state", {(1, -1): 1.0}, "Negative integer in pmf support"),
    ],
)
def test_distribution_setter_refusals_leave_the_model_and_memory_unchanged(name, value, message):
    model = station(2, {0: 0.5, 2: 0.5}, {1: 0.5, 3: 0.5}, {(1, 1): 0.25, (1, 3): 0.75})
    before, memory = snapshot(model), model.current_memory_use
    with pytest.raises(navro.error) as info:
        setattr(model, name, value)
    assert info.value.args == (message,)
    assert snapshot(model) == before
    assert model.current_memory_use == memory


@pytest.mark.parametrize(
    "name", ["number_of_arrivals_pmf", "service_duration_pmf", "internal_state"]
)
def test_distribution_attributes_cannot_be_deleted(name):
    model = station(1, {1: 1.0}, {2: 1.0})
    before = snapshot(model)
    with pytest.raises(AttributeError, match=f"cannot delete attribute '{name}'"):
        delattr(model, name)
    assert snapshot(model) == before


def test_setters_normalise_and_getters_return_fresh_dicts():
    model = station(durations={3: 0.375, 1: 0.125, 2: 0.0}, state={(2, 1): 0.125, (0, 4): 0.375})
    assert model.service_duration_pmf == {1: 0.25, 3: 0.75}
    assert list(model.internal_state.items()) == [((0, 4), 0.75), ((2, 1), 0.25)]
    first, second = model.service_duration_pmf, model.service_duration_pmf
    assert first == second and first is not second
    first[7] = 1.0
    assert model.service_duration_pmf == {1: 0.25, 3: 0.75}


def test_restore_without_mark_brings_back_creation_defaults():
    model = station(2, {1: 1.0}, {2: 1.0})
    model.step()
    model.restore()
    assert snapshot(model) == {
        "number_of_arrivals_pmf": {0: 1.0},
        "service_duration_pmf": {0: 1.0},  # init changes only the live field
        "internal_state": {(0, 0): 1.0},
        "number_of_servers": 0,
        "time": 0,
        "abandonment_probability": 0.0,
        "capacity": None,
    }
    raises(model.step, ZERO_DURATION)


def test_mark_steps_and_changes_then_restore():
    model = station(2, {0: 0.5, 1: 0.5}, {1: 0.5, 2: 0.5})
    model.step()
    model.mark()
    marked = snapshot(model)
    for _ in range(3):
        model.step()
    model.number_of_servers = 7
    model.number_of_arrivals_pmf = {4: 1.0}
    model.service_duration_pmf = {9: 1.0}
    model.abandonment_probability, model.capacity = 0.5, 3
    model.time = 100
    model.restore()
    assert snapshot(model) == marked
    model.step()
    model.restore()  # restore again returns to the same snapshot
    assert snapshot(model) == marked


# --- worked examples of the step --------------------------------------------


def test_new_object_step():
    model = navro.StandardMultiserver()
    model.step()
    assert model.internal_state == {(0, 1): 1.0}
    assert model.time == 1


def test_one_server_one_arrival_stays_at_one():
    model = station(1, {1: 1.0}, {1: 1.0})
    for _ in range(4):
        model.step()
        assert model.internal_state == {(1, 1): 1.0}


def test_two_servers_three_steps():
    model = station(2, {1: 1.0}, {2: 1.0})
    model.reset_with_number_of_entities_in_system(0)
    assert model.internal_state == {(0, 2): 1.0}
    model.step()
    assert model.internal_state == {(1, 2): 1.0}
    model.step()
    assert_close(model.internal_state, {(2, 1): 0.5, (2, 2): 0.5})
    model.step()
    assert_close(
        model.internal_state, {(1, 2): 0.25, (2, 1): 0.25, (2, 2): 0.25, (3, 1): 0.25}, tol=1e-15
    )
    assert model.time == 3


def test_no_servers_counts_only_grow_and_ell_follows_service_durations():
    durations = {1: 0.25, 3: 0.75}
    model = station(0, {0: 0.5, 1: 0.5}, durations)
    for k in range(1, 5):
        model.step()
        marginal = model.get_number_of_entities_in_system_pmf()
        assert_close(marginal, {z: math.comb(k, z) / 2**k for z in range(k + 1)})
        for (z, ell), p in model.internal_state.items():
            assert p == pytest.approx(marginal[z] * durations[ell], abs=1e-15)


@pytest.mark.parametrize(
    "arrivals, expected",
    [
        ({0: 0.999999999, 1: 0.000000001}, {(0, 1): 1.0}),
        ({0: 0.99, 1: 0.01}, {(0, 1): 0.99, (1, 1): 0.01}),
    ],
)
def test_tail_cut(arrivals, expected):
    model = station(0, arrivals, state={(0, 1): 1.0})
    model.step()
    assert_close(model.internal_state, expected)


@pytest.mark.parametrize(
    "prepare, message",
    [
        (lambda m: setattr(m, "number_of_servers", -1), NEGATIVE_SERVERS),
        (lambda m: setattr(m, "service_duration_pmf", {0: 0.5, 3: 0.5}), ZERO_DURATION),
        # A continuing service whose remaining time is already 0.
        (lambda m: setattr(m, "internal_state", {(2, 0): 1.0}), "Negative integer in pmf support"),
    ],
)
def test_step_refusals_leave_the_model_and_memory_unchanged(prepare, message):
    model = station(2, {0: 0.5, 1: 0.5}, {1: 0.5, 2: 0.5}, {(2, 1): 0.5, (2, 2): 0.5})
    prepare(model)
    before, memory, peak = snapshot(model), model.current_memory_use, model.peak_memory_use
    raises(model.step, message)
    assert snapshot(model) == before
    assert model.current_memory_use == memory
    assert model.peak_memory_use >= peak


# --- observations and resets ------------------------------------------------

STATE = {(1, 1): 0.1, (2, 1): 0.1, (2, 3): 0.2, (3, 2): 0.2, (4, 1): 0.3, (5, 5): 0.1}


@pytest.mark.parametrize(
    "apply, lower, upper",
    [
        (lambda m: m.apply_observation_range(2, 5), 2, 5),
        (lambda m: m.apply_observation_value(2), 2, 3),
        (lambda m: m.apply_observation_range(0, 100), 0, 100),
        (lambda m: m.apply_observation_range(INT_MIN, INT_MAX), INT_MIN, INT_MAX),
    ],
)
def test_observations(apply, lower, upper):
    model = station(1, state=STATE)
    model.time = 9
    apply(model)
    assert_close(model.internal_state, ref.observe(STATE, lower, upper))
    assert model.time == 9


@pytest.mark.parametrize(
    "apply",
    [
        lambda m: m.apply_observation_range(5, 5),
        lambda m: m.apply_observation_range(5, 2),
        lambda m: m.apply_observation_range(6, 100),
        lambda m: m.apply_observation_value(0),
        lambda m: m.apply_observation_value(INT_MAX),
        lambda m: m.apply_observation_value(-1),
    ],
)
def test_observation_of_no_probability_fails_and_changes_nothing(apply):
    model = station(1, state=STATE)
    before, memory = snapshot(model), model.current_memory_use
    raises(lambda: apply(model), "Empty pmf")
    assert snapshot(model) == before
    assert model.current_memory_use == memory


def test_reset():
    model = station(3, durations={2: 0.5, 3: 0.5}, state=STATE)
    model.time = 4
    model.reset_with_number_of_entities_in_system(4)
    assert model.internal_state == {(4, 2): 0.5, (4, 3): 0.5}
    assert model.time == 4
    model.reset_with_number_of_entities_in_system(0)
    assert model.internal_state == {(0, 2): 0.5, (0, 3): 0.5}


@pytest.mark.parametrize(
    "servers, durations, count, message",
    [
        (1, {2: 1.0}, -1, NEGATIVE_ENTITIES),
        (1, {0: 1.0}, -1, NEGATIVE_ENTITIES),  # the count is checked first
        (1, {0: 0.5, 2: 0.5}, 3, ZERO_DURATION),
    ],
)
def test_reset_refusals(servers, durations, count, message):
    model = station(servers, durations=durations, state=STATE)
    before, memory = snapshot(model), model.current_memory_use
    raises(lambda: model.reset_with_number_of_entities_in_system(count), message)
    assert snapshot(model) == before
    assert model.current_memory_use == memory


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.apply_observation_value("3"), "Invalid value"),
        (lambda m: m.apply_observation_range(0, 2.0), "Invalid value"),
        (lambda m: m.apply_observation_value(2**31), "Invalid value"),
        (lambda m: m.reset_with_number_of_entities_in_system(None), "Invalid value"),
    ],
)
def test_argument_types(call, message):
    model = station(1, state=STATE)
    before = snapshot(model)
    raises(lambda: call(model), message)
    assert snapshot(model) == before


# --- counts at the edge of the 32-bit range ---------------------------------


def test_count_may_reach_the_largest_int():
    model = station(0, {0: 0.5, 1: 0.5}, state={(INT_MAX - 1, 1): 1.0})
    model.step()
    assert_close(model.internal_state, {(INT_MAX - 1, 1): 0.5, (INT_MAX, 1): 0.5})
    model.apply_observation_value(INT_MAX)
    assert model.internal_state == {(INT_MAX, 1): 1.0}


@pytest.mark.parametrize("servers", [0, 3])
def test_count_beyond_the_largest_int_is_refused(servers):
    model = station(servers, {0: 0.5, 2: 0.5}, {5: 1.0}, {(INT_MAX - 1, 5): 1.0})
    before = snapshot(model)
    raises(model.step, "Invalid value")
    assert snapshot(model) == before


def test_clock_wraps_at_the_largest_int():
    model = navro.StandardMultiserver()
    model.time = INT_MAX
    model.step()
    assert model.time == INT_MIN
    model.step()
    assert model.time == INT_MIN + 1


# --- memory -----------------------------------------------------------------


def test_step_frees_its_temporaries_and_peak_never_falls():
    config = dict(servers=2, arrivals={0: 0.3, 1: 0.4, 3: 0.3}, durations={1: 0.5, 4: 0.5})
    model = station(**config)
    peak = model.peak_memory_use
    for _ in range(6):
        model.step()
        assert model.peak_memory_use >= peak
        peak = model.peak_memory_use
    # A twin holding the same fields, built only through setters, holds
    # exactly as many bytes: nothing of the steps is left behind.
    twin = station(**config, state=model.internal_state)
    assert model.current_memory_use == twin.current_memory_use
    assert model.peak_memory_use > model.current_memory_use
    model.restore()
    assert model.peak_memory_use == peak


# --- properties over random configurations ----------------------------------

weights = st.floats(min_value=0.01, max_value=1.0)


def simple_pmfs(values):
    return st.dictionaries(st.sampled_from(values), weights, min_size=1, max_size=3)


configs = st.fixed_dictionaries(
    {
        "servers": st.integers(0, 3),
        "arrivals": simple_pmfs(range(4)),
        "durations": simple_pmfs(range(1, 5)),
        "state": st.dictionaries(
            st.tuples(st.integers(0, 5), st.integers(1, 4)), weights, min_size=1, max_size=5
        ),
    }
)


def assert_proper(model):
    state = model.internal_state
    marginal = model.get_number_of_entities_in_system_pmf()
    assert math.fsum(marginal.values()) == pytest.approx(1, abs=1e-12)
    sums = {}
    for (z, ell), p in state.items():
        assert z >= 0 and ell >= 0 and p > 0
        sums[z] = sums.get(z, 0.0) + p
    assert list(sums) == list(marginal)
    for z, total in sums.items():  # every conditional sums to 1
        assert total / marginal[z] == pytest.approx(1, abs=1e-12)


@given(
    configs,
    st.integers(1, 4),
    st.sampled_from([0.0, 0.0, 0.3, 1.0]),
    st.sampled_from([None, None, 0, 2, 5]),
)
def test_steps_match_the_reference_model(config, steps, patience, capacity):
    model = station(**config)
    model.abandonment_probability, model.capacity = patience, capacity
    state = model.internal_state
    arrivals, durations = model.number_of_arrivals_pmf, model.service_duration_pmf
    limits = {"patience": patience, "capacity": capacity}
    for _ in range(steps):
        model.step()
        state = ref.step(state, arrivals, durations, config["servers"], **limits)
        assert_close(model.internal_state, state)
        assert_proper(model)
    assert model.time == steps


@given(configs, st.integers(0, 6), st.integers(0, 6))
def test_observations_and_resets_are_proper(config, lower, width):
    model = station(**config)
    model.step()
    state = model.internal_state
    expected = {k: p for k, p in state.items() if lower <= k[0] < lower + width}
    if expected:
        model.apply_observation_range(lower, lower + width)
        assert_close(model.internal_state, ref.observe(state, lower, lower + width))
        assert_proper(model)
    else:
        raises(lambda: model.apply_observation_range(lower, lower + width), "Empty pmf")
        assert model.internal_state == state
    model.reset_with_number_of_entities_in_system(lower)
    assert_close(model.internal_state, ref.reset(lower, model.service_duration_pmf))
    assert_proper(model)


@given(configs)
def test_observing_the_whole_support_keeps_the_state(config):
    model = station(**config)
    model.step()
    state = model.internal_state
    counts = [z for z, _ in state]
    model.apply_observation_range(min(counts), max(counts) + 1)
    assert_close(model.internal_state, state)


@given(configs, configs, st.integers(0, 3))
def test_mark_restore_round_trips_exactly(config, other, steps):
    model = station(**config)
    model.step()
    model.mark()
    marked = snapshot(model)
    for name, value in [
        ("number_of_servers", other["servers"]),
        ("number_of_arrivals_pmf", other["arrivals"]),
        ("service_duration_pmf", other["durations"]),
    ]:
        setattr(model, name, value)
    for _ in range(steps):
        model.step()
    model.internal_state = other["state"]
    model.restore()
    assert snapshot(model) == marked


@given(configs)
def test_outcome_count_matches_the_enumeration(config):
    # The benchmark counts outcomes per (z, d); check it against the walk.
    model = station(**config)
    state, servers = model.internal_state, config["servers"]
    arrivals, durations = model.number_of_arrivals_pmf, model.service_duration_pmf
    left, right = ref.tails(ref.partial_map(state, arrivals, servers), ref.TOLERANCE / 2)
    walked = sum(1 for _ in ref.outcomes(state, arrivals, durations, servers, left, right))
    assert ref.count_outcomes(state, arrivals, durations, servers, left, right) == walked
