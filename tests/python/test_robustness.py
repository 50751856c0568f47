"""Hostile and careless calls of the public API, each once a crash, a wrong
result or an error that did not say what was wrong: they now give the sound
result or a clear error."""

import math

import numpy as np
import pytest

import navro
from navro import Period, Target

S = navro.StandardMultiserver


def station(**settings):
    settings.setdefault("number_of_arrivals_pmf", {0: 0.5, 1: 0.5})
    return S(**settings)


def limited_rows(every):
    # Periods of one step each, shorter than `every`: all that the capacity
    # turns away must reach the rows all the same.
    model = station(number_of_servers=1, number_of_arrivals_pmf={2: 1.0}, capacity=0)
    schedule = [Period(1), Period(1, arrivals={1: 0.4, 2: 0.6}), Period(1, arrivals={1: 1.0})]
    return navro.trajectory(model, schedule, every=every)


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        # A node without servers never takes its arrivals: their mean wait
        # is unknown (infinite), as the maps say, not 0.
        (lambda: navro.simulate(station(), 4, runs=20, seed=1).mean_wait[1:], [math.inf] * 4),
        (lambda: navro.trajectory(station(), 4).mean_wait[1:], [math.inf] * 4),
        # A chance too small for the sampler is no arrival, not "Empty pmf".
        (
            lambda: (
                navro.simulate(
                    station(number_of_servers=1, number_of_arrivals_pmf={0: 1.0, 1: 1e-300}),
                    50,
                    runs=3,
                    seed=1,
                ).mean
            ),
            [0.0] * 51,
        ),
        # An empty schedule records the state handed in, as simulate does.
        (lambda: navro.trajectory(station(), []).mean, [0.0]),
        (lambda: navro.simulate(station(), [], runs=2, seed=1).mean, [0.0]),
        # A long horizon over a short schedule needs room for its few rows
        # only (one arrival a step, served at once).
        (
            lambda: (
                navro.simulate(
                    station(number_of_servers=1, number_of_arrivals_pmf={1: 1.0}),
                    3,
                    runs=2,
                    seed=1,
                    wait_horizon=100_000,
                    threads=1,
                ).wait_beyond
            ),
            [math.nan, 0.0, 0.0, 0.0],
        ),
        (lambda: limited_rows(3).blocked[1:], lambda: [limited_rows(1).blocked[1:].sum()]),
    ],
)
def test_sound_results(make, expected):
    np.testing.assert_allclose(make(), expected() if callable(expected) else expected)


def simulated():
    return navro.simulate(station(number_of_servers=1), 5, runs=10, seed=1)


def staffed():
    return navro.staffing(station(), 3, Target("mean", at_most=2.0), (1, 4))


@pytest.mark.parametrize(
    ("call", "error", "says"),
    [
        (lambda: simulated().interval("quantile"), TypeError, "by position"),
        (lambda: simulated().interval("quantile", 2.0), ValueError, "quantile: level"),
        (lambda: simulated().standard_error(lambda run: 1.0), ValueError, "one value per row"),
        (lambda: simulated().standard_error("node", 0), ValueError, "no standard error"),
        (lambda: navro.compare(simulated(), 3), TypeError, "compare: a and b"),
        (lambda: navro.simulate(station(), 2, runs=2, seed="1"), TypeError, "a seed is"),
        (lambda: navro.simulate(station(), 2, runs=2, seed=[[1]]), TypeError, "a seed is"),
        (lambda: navro.simulate(station(), 2, runs=2, threads=1.5), ValueError, "threads"),
        (lambda: navro.simulate(object(), 2, runs=2), TypeError, "simulate: model must"),
        (lambda: navro.trajectory(None, 2), TypeError, "trajectory: model must"),
        (lambda: staffed().check(runs=5, level=1.0), ValueError, "Staffing.check: level"),
    ],
)
def test_clear_errors(call, error, says):
    with pytest.raises(error, match=says):
        call()


def test_array_seed_is_a_sequence():
    runs = [navro.simulate(station(), 4, runs=5, seed=s).mean for s in ((3, 4), np.array([3, 4]))]
    np.testing.assert_array_equal(*runs)
