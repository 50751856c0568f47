"""The dict forms of distributions, through the attributes of a station:
what is accepted, how it is normalised and ordered, and what is refused."""

import collections
import math

import pytest

import navro


def station():
    model = navro.StandardMultiserver()
    model.number_of_arrivals_pmf = {1: 0.5, 2: 0.5}
    model.internal_state = {(1, 2): 1.0}
    return model


class IntKey(int):
    pass


class FloatWeight(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        ({2: 1, 0: 3}, {0: 0.5, 2: 0.5}),  # ints as weights, above 1 counts as 1
        ({5: 0.2}, {5: 1.0}),
        ({-1: 0.0, 3: 0.5}, {3: 1.0}),  # a dropped item's key is not examined
        ({4: -2.0, 1: 0.25, 3: 0.75}, {1: 0.25, 3: 0.75}),
        ({True: 0.5, 2: 0.5}, {1: 0.5, 2: 0.5}),
        ({IntKey(3): FloatWeight(0.5), 1: 0.5}, {1: 0.5, 3: 0.5}),
        ({1: math.inf, 2: 1.0}, {1: 0.5, 2: 0.5}),  # infinity counts as 1
        ({9: 1e-300, 0: 1e-300}, {0: 0.5, 9: 0.5}),
        (collections.OrderedDict([(7, 1.0), (6, 1.0)]), {6: 0.5, 7: 0.5}),
        ({2**31 - 1: 1.0}, {2**31 - 1: 1.0}),
    ],
)
def test_simple_form_is_normalised_and_sorted(value, expected):
    model = station()
    model.number_of_arrivals_pmf = value
    result = model.number_of_arrivals_pmf
    assert list(result) == list(expected)
    for key in expected:
        assert result[key] == pytest.approx(expected[key], rel=1e-15)
    assert all(type(k) is int and type(p) is float for k, p in result.items())


@pytest.mark.parametrize(
    "value, expected",
    [
        (
            {(3, 1): 0.5, (1, 2): 0.375, (1, 0): 0.125},
            {(1, 0): 0.125, (1, 2): 0.375, (3, 1): 0.5},
        ),
        ({(1, 0): 0.5, 7: 0.0}, {(1, 0): 1.0}),  # a dropped key is not examined
        ({(0, 0): 2.0, (0, 1): 2.0, (2, 5): 2.0}, {(0, 0): 1 / 3, (0, 1): 1 / 3, (2, 5): 1 / 3}),
        ({(True, 2): 1.0}, {(1, 2): 1.0}),
    ],
)
def test_joint_form_is_normalised_and_sorted(value, expected):
    model = station()
    model.internal_state = value
    result = model.internal_state
    assert list(result) == list(expected)
    for key in expected:
        assert result[key] == pytest.approx(expected[key], rel=1e-15)


def deeply_nested(depth):
    value = {0: 1.0}
    for _ in range(depth):
        value = (value,)
    return value


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("number_of_arrivals_pmf", {}, "Empty dictionary"),
        ("number_of_arrivals_pmf", {0: 0.0, 1: -0.5}, "Empty pmf"),
        ("number_of_arrivals_pmf", {-1: 0.5}, "Negative integer in pmf support"),
        ("number_of_arrivals_pmf", {1.0: 0.5}, "Invalid value"),
        ("number_of_arrivals_pmf", {"1": 0.5}, "Invalid value"),
        ("number_of_arrivals_pmf", {1: "x"}, "Invalid value"),
        ("number_of_arrivals_pmf", {1: None}, "Invalid value"),
        ("number_of_arrivals_pmf", {1: 0.5, 2.0: 0.5}, "Invalid value"),
        ("number_of_arrivals_pmf", {1: 0.5, 2: math.nan}, "Invalid value"),
        ("number_of_arrivals_pmf", {2**31: 1.0}, "Invalid value"),
        ("number_of_arrivals_pmf", {1: 2**1024}, "Invalid value"),  # too large for a double
        ("number_of_arrivals_pmf", [(0, 1.0)], "Invalid value"),
        ("number_of_arrivals_pmf", None, "Invalid value"),
        ("number_of_arrivals_pmf", deeply_nested(100_000), "Invalid value"),
        ("internal_state", {(1, 0): 0.5, 7: 0.5}, "Invalid value"),
        ("internal_state", {(1, 0): 0.5, (1, 2, 3): 0.5}, "Invalid value"),
        ("internal_state", {(1, 0): 0.5, (1, 2.0): 0.5}, "Invalid value"),
        ("internal_state", {(1, 0): math.nan}, "Invalid value"),
        ("internal_state", {(-1, 0): 0.5}, "Samples must be nonnegative integers"),
        ("internal_state", {(0, -1): 0.5}, "Negative integer in pmf support"),
        ("internal_state", {(): 1.0}, "Invalid value"),
        ("internal_state", {tuple(range(100_000)): 1.0}, "Invalid value"),
        ("internal_state", {(0, 2**31): 1.0}, "Invalid value"),
        ("internal_state", {(0, 0): 0.0}, "Empty pmf"),
    ],
)
def test_refused_forms_leave_the_model_and_memory_unchanged(name, value, message):
    model = station()
    before = (model.number_of_arrivals_pmf, model.internal_state)
    memory = model.current_memory_use
    with pytest.raises(navro.error) as info:
        setattr(model, name, value)
    assert info.value.args == (message,)
    assert (model.number_of_arrivals_pmf, model.internal_state) == before
    assert model.current_memory_use == memory
