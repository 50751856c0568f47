"""Runs on the clock: durations and rates convert to steps and back, a run
with a clock equals the same run in steps, and its tables and plots show
the clock's times."""

import datetime

import numpy as np
import pandas as pd
import pytest

import navro
from navro import Clock, Period, Target
from navro.distributions import poisson


@pytest.mark.parametrize(
    "step, duration, steps",
    [
        ("20s", "30min", 90),
        ("20 seconds", datetime.timedelta(hours=1), 180),
        (datetime.timedelta(minutes=1), "1.5h", 90),
        (pd.Timedelta("15s"), pd.offsets.Minute(30), 120),
        (np.timedelta64(5, "m"), "1 day", 288),
        ("1min", pd.Timedelta("2h"), 120),
    ],
)
def test_durations_and_rates_round_trip(step, duration, steps):
    clock = Clock(step)
    assert clock.steps(duration) == steps
    assert clock.duration(steps) == pd.Timedelta(duration)
    hour = pd.Timedelta("1h") / clock.step
    assert clock.per_step(120, per="1h") * hour == pytest.approx(120, rel=1e-12)
    assert clock.per_step(2, per="1min") * hour == pytest.approx(120, rel=1e-12)
    assert clock.arrivals(120, per="1h") == poisson(120 / hour)


def test_service_durations_from_samples_in_seconds_or_minutes():
    seconds = Clock("20s")
    assert seconds.durations([30, 40, 60, 61]) == {2: 0.5, 3: 0.25, 4: 0.25}
    assert seconds.durations([0.5, 1.0], unit="1min") == {2: 0.5, 3: 0.5}
    as_timedeltas = pd.to_timedelta([30, 40, 60, 61], unit="s")
    assert seconds.durations(as_timedeltas) == seconds.durations([30, 40, 60, 61])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.steps("25s"), ValueError, "not a whole number of 20s steps"),
        (lambda c: c.steps(1.5), TypeError, "a duration or a number of steps"),
        (lambda c: Clock(20), TypeError, "expected a duration"),
        (lambda c: Clock("0s"), ValueError, "longer than 0"),
        (lambda c: Clock("20 parsecs"), ValueError, "not a duration"),
        (lambda c: Clock("20s", start="noon"), ValueError, "not a date and time"),
        (
            lambda c: navro.trajectory(navro.StandardMultiserver(), [Period("1h")]),
            TypeError,
            "needs the run's clock|give the run a clock",
        ),
        (
            lambda c: navro.trajectory(navro.StandardMultiserver(), [Period("70s")], clock=c),
            ValueError,
            "not a whole number",
        ),
    ],
)
def test_what_the_clock_refuses(call, error, message):
    with pytest.raises(error, match=message):
        call(Clock("20s"))


def centre():
    station = navro.StandardMultiserver()
    station.service_duration_pmf = {2: 0.5, 4: 0.5}
    return station


def test_a_run_on_the_clock_is_the_run_in_steps_with_the_clocks_times():
    clock = Clock("20s", start="2024-03-04 08:00")
    rate = [60, 180]
    on_clock = navro.trajectory(
        centre(),
        [Period("10min", servers=2, arrivals=clock.arrivals(r)) for r in rate],
        clock=clock,
        wait_horizon="1min",
    )
    in_steps = navro.trajectory(
        centre(), [Period(30, servers=2, arrivals=poisson(r / 180)) for r in rate], wait_horizon=3
    )
    np.testing.assert_array_equal(on_clock.probabilities, in_steps.probabilities)
    np.testing.assert_array_equal(on_clock.service_level("40s"), in_steps.service_level(2))
    assert on_clock.wait_horizon == 3
    table = on_clock.to_pandas(within="40s")
    assert table.index[0] == pd.Timestamp("2024-03-04 08:00")
    assert table.index[-1] == pd.Timestamp("2024-03-04 08:20")
    np.testing.assert_allclose(table["mean_wait [s]"], 20 * in_steps.mean_wait, equal_nan=True)
    assert "service_level within 40s (2 steps) [probability]" in table.columns
    untimed = navro.trajectory(centre(), 3, clock=Clock("1min")).to_pandas()
    assert list(untimed.index) == list(pd.to_timedelta([0, 1, 2, 3], unit="min"))
    figure = on_clock.plot("fan", tick_every="5min")
    labels = [t.get_text() for t in figure.axes[0].get_xticklabels()]
    assert "08:05" in labels


def test_staffing_to_a_service_level_on_the_clock():
    clock = Clock("20s")
    day = [Period("30min", arrivals=clock.arrivals(r)) for r in (90, 360, 180)]
    plan = navro.staffing(
        centre(),
        day,
        [Target("service_level", at_least=0.8, within="20s"), Target("occupancy", at_most=0.9)],
        (1, 30),
        clock=clock,
    )
    assert plan.met.all() and plan.worst.shape == (3, 2)
    run = plan.trajectory
    for p in range(3):
        rows = run.period == p
        rows[0] = False
        assert run.service_level(1)[rows].min() >= 0.8
        assert np.nanmax(run.utilisation[rows]) <= 0.9
    # Row 0 shows no service measure, so the run's worst is one staffing checked.
    assert np.isnan(run.prob_all_busy[0]) and np.isnan(run.service_level(1)[0])
    assert np.nanmin(run.service_level(1)) == pytest.approx(plan.worst[:, 0].min())
