"""The distribution constructors: known moments within their stated tail,
plain dicts the models take, and a ValueError that says what is wrong."""

import datetime
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

import navro
from navro import distributions as d


def moments(pmf):
    mean = math.fsum(n * p for n, p in pmf.items())
    return mean, math.fsum((n - mean) ** 2 * p for n, p in pmf.items())


@pytest.mark.parametrize(
    "pmf, mean, variance",
    [
        (d.poisson(0.3, tail=1e-300), 0.3, 0.3),
        (d.poisson(np.float64(7.5), tail=1e-300), 7.5, 7.5),
        (d.poisson(2500.0, tail=1e-300), 2500.0, 2500.0),
        (d.binomial(np.int64(40), 0.35), 14.0, 40 * 0.35 * 0.65),
        (d.binomial(100_000, 0.002), 200.0, 100_000 * 0.002 * 0.998),
        (d.geometric(0.25, tail=1e-300), 4.0, 0.75 / 0.25**2),
        (d.geometric(0.6, start=0, tail=1e-300), 0.4 / 0.6, 0.4 / 0.36),
        (d.uniform(3, 9), 6.0, (7**2 - 1) / 12),
        (d.deterministic(np.int32(5)), 5.0, 0.0),
        (d.from_weights(np.array([1, 0, 3]), start=2), 3.5, 0.75),
        (d.from_dict({np.int64(4): np.float32(1.0), 2: 1}), 3.0, 1.0),
        (d.from_series(pd.Series([2.0, 6.0], index=[3, 1])), 1.5, 0.75),
        (d.from_series(pd.Series([2.0, 6.0]), of="weights"), 0.75, 0.1875),
        (d.from_series(pd.Series([3, 1, 1, 3]), of="samples"), 2.0, 1.0),
        (d.from_weights([1e308, 1e308]), 0.5, 0.25),
        (d.from_dict({1: 1e308, np.int32(3): 1e308}), 2.0, 1.0),
        (d.empirical([0.9, 1.2, 2.5, 3.4], step=1), 2.0, 1.0),
        (d.empirical(pd.Series([4.0, 6.5, 12.0]), step=5.0, rounding="up"), 2.0, 2 / 3),
    ],
)
def test_known_moments(pmf, mean, variance):
    assert all(type(k) is int and type(p) is float and p > 0 for k, p in pmf.items())
    assert list(pmf) == sorted(pmf)
    assert math.fsum(pmf.values()) == pytest.approx(1.0, abs=1e-15)
    got_mean, got_variance = moments(pmf)
    assert got_mean == pytest.approx(mean, rel=1e-12, abs=1e-12)
    assert got_variance == pytest.approx(variance, rel=1e-12, abs=1e-12)
    model = navro.StandardMultiserver()
    model.number_of_arrivals_pmf = pmf  # the models take them as they are


@pytest.mark.parametrize(
    "make",
    [
        lambda t: d.poisson(3.0, tail=t),
        lambda t: d.geometric(0.2, tail=t),
        lambda t: d.binomial(60, 0.5, tail=t),
    ],
)
@pytest.mark.parametrize("tail", [1e-3, 1e-9])
def test_what_is_cut_stays_below_the_tail(make, tail):
    full, cut = make(1e-300), make(tail)
    left_out = math.fsum(p for n, p in full.items() if n not in cut)
    assert 0 < left_out < tail
    kept = 1 - left_out
    for n, p in cut.items():
        assert p == pytest.approx(full[n] / kept, rel=1e-12)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: d.poisson(-1.0), "poisson: mean must be >= 0"),
        (lambda: d.poisson(math.nan), "mean must be finite"),
        (lambda: d.poisson(2.0, tail=0), r"tail must lie in \(0, 1\)"),
        (lambda: d.poisson(1e13), "exceed"),
        (lambda: d.binomial(-3, 0.5), "n must lie in"),
        (lambda: d.binomial(3, 1.5), r"p must lie in \[0, 1\]"),
        (lambda: d.geometric(0.0), "p must be > 0"),
        (lambda: d.geometric(1e-9), "exceed"),
        (lambda: d.uniform(0, 2_000_000), "values exceed the limit"),
        (lambda: d.uniform(5, 2), "high .2. is below low .5."),
        (lambda: d.deterministic(-1), "value must lie in"),
        (lambda: d.deterministic(2.5), "whole number"),
        (lambda: d.from_weights([]), "no weights given"),
        (lambda: d.from_weights([0.5, -0.1]), "a weight is negative"),
        (lambda: d.from_weights([0.5, math.nan]), "a weight is NaN"),
        (lambda: d.from_weights([0, 0]), "every weight is 0"),
        (lambda: d.from_weights([[1.0]]), "one-dimensional"),
        (lambda: d.from_dict({-2: 1.0}), "a value must lie in"),
        (lambda: d.from_series(pd.Series([1.0, 1.0], index=[2, 2])), "appears twice"),
        (lambda: d.empirical([]), "the sample is empty"),
        (lambda: d.empirical([1.0, math.nan]), "a sample is NaN"),
        (lambda: d.empirical([3.0, -1.0]), "a sample is negative"),
        (lambda: d.empirical([1.0], step=0), "step must be > 0"),
        (lambda: d.empirical([1.0], rounding="half"), "rounding must be one of"),
        # Numbers too large for a float, or for any dict.
        (lambda: d.poisson(10**400), "mean must be finite, got 1000"),
        (lambda: d.geometric(5e-324), "exceed"),
        (lambda: d.from_weights([10**400, 1]), "weights must be finite"),
        # Values of the wrong kind, with what came.
        (lambda: d.poisson("3"), "mean must be a real number, got '3' .str."),
        (lambda: d.binomial(4, 0.5j), "p must be a real number, got 0.5j"),
        (
            lambda: d.from_weights(np.array([1 + 2j, 1])),
            r"real numbers, got a complex number .\(1\+2j\)",
        ),
        (lambda: d.from_weights(["1", "2"]), "real numbers, got text"),
        (lambda: d.empirical([1.0, None]), "real numbers, one is None"),
        (
            lambda: d.from_dict([0.5, 0.5]),
            r"expected a mapping of values to weights, got \[0.5, 0.5\]",
        ),
        (lambda: d.from_series([0.5]), "expected a pandas Series"),
        # Ambiguous, or durations of no steps.
        (lambda: d.from_series(pd.Series([1, 2, 2])), "default index"),
        (lambda: d.empirical([0.2, 3.0]), "the sample 0.2 rounds to 0 steps"),
        (lambda: d.empirical(pd.to_timedelta([0, 60], unit="s"), step="1min"), "a duration is 0"),
        (lambda: d.empirical(pd.to_timedelta([1, 2], unit="min"), step=60), "step must be one too"),
        (lambda: d.empirical([1.0], step=datetime.timedelta(1)), "step must be a number"),
        (lambda: d.empirical(pd.to_timedelta([1, None], unit="min"), step="1min"), "NaT"),
    ],
)
def test_bad_input_is_refused_with_a_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


MINUTES = [1.0, 2.5, 2.5, 4.0, 7.25]


@pytest.mark.parametrize(
    "samples, step",
    [
        (pd.Series(pd.to_timedelta(MINUTES, unit="min")), "30s"),
        (pd.to_timedelta(MINUTES, unit="min").to_numpy(), np.timedelta64(30, "s")),
        ([datetime.timedelta(minutes=m) for m in MINUTES], datetime.timedelta(seconds=30)),
        ([pd.Timedelta(minutes=m) for m in MINUTES], pd.Timedelta("0.5min")),
    ],
)
def test_durations_as_timedeltas_are_measured_in_a_step_given_as_one(samples, step):
    assert (
        d.empirical(samples, step=step)
        == d.empirical(MINUTES, step=0.5)
        == {2: 0.2, 5: 0.4, 8: 0.2, 15: 0.2}
    )


weights = st.lists(st.one_of(st.just(0.0), st.floats(5e-324, 1e308)), min_size=1, max_size=8)


@given(weights, st.integers(0, 3))
def test_every_pmf_holds_positive_probabilities_that_sum_to_one(values, start):
    if not any(values):
        return
    for pmf in (
        d.from_weights(values, start=start),
        d.from_dict({start + i: w for i, w in enumerate(values)}),
    ):
        assert pmf and all(p > 0 for p in pmf.values())
        assert math.fsum(pmf.values()) == pytest.approx(1.0, abs=1e-15)
