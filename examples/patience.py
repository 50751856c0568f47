"""Callers who hang up
=====================

A contact centre's callers do not wait for ever: on average they hang up
after two minutes on hold. What does that do to a roster sized for callers
who wait, and which roster would one choose knowing it?

The centre is open from 08:00 to 20:00, with half-hourly volumes and
handling times of about three and a half minutes, on a 15-second step. Each
caller on hold hangs up in a step with chance 15 s / 120 s = 0.125 (a
patience of two minutes on average); one taken up by an agent stays. The
target is 80% of the callers answered within 30 seconds, counting a caller
who hangs up as not answered.

- The roster sized for callers who wait, run with callers who hang up:
  hung-up callers relieve the queue, so those who stay are answered sooner;
  but each one lost counts against the service level.
- The roster sized with patience in the model (``abandonment_probability``).

The script prints per half hour the callers lost and the service level of
each, over all callers and over those answered.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import navro

CLOCK = navro.Clock("15s", start="2024-03-04 08:00")
CALLS_PER_HOUR = [110, 180, 280, 380, 440, 460, 420, 350, 300, 280, 300, 340,
                  400, 430, 410, 360, 300, 250, 210, 180, 150, 120, 100, 80]  # fmt: skip
PATIENCE = 120.0  # seconds on hold, on average, before a caller hangs up
HANG_UP = CLOCK.step_seconds / PATIENCE  # the chance per step
TARGET, WITHIN = 0.8, "30s"
AGENTS = (1, 80)


def open_centre(hang_up: float) -> navro.StandardMultiserver:
    """The centre at 08:00: empty, handling times of about 3.5 minutes."""
    sample = np.round(np.random.default_rng(2024).lognormal(np.log(180.0), 0.55, 400))
    return navro.StandardMultiserver(
        service_duration_pmf=CLOCK.durations(sample), abandonment_probability=hang_up
    )


def half_hourly(run: navro.Trajectory, per_call: NDArray[np.float64]) -> NDArray[np.float64]:
    """Per half hour, a measure of the calls of its rows weighted by how many
    they stand for."""
    calls = run.arrivals[1:]
    rows = run.period[1:]
    return np.bincount(rows, calls * np.nan_to_num(per_call[1:])) / np.bincount(rows, calls)


def main() -> None:
    day = [navro.Period("30min", arrivals=CLOCK.arrivals(rate)) for rate in CALLS_PER_HOUR]
    target = navro.Target("service_level", at_least=TARGET, within=WITHIN)
    waiting = navro.staffing(open_centre(0.0), day, target, AGENTS, clock=CLOCK).roster
    knowing = navro.staffing(open_centre(HANG_UP), day, target, AGENTS, clock=CLOCK).roster

    def run(roster: NDArray[np.int64]) -> navro.Trajectory:
        periods = [
            navro.Period("30min", arrivals=p.arrivals, servers=int(agents))
            for p, agents in zip(day, roster)
        ]
        return navro.trajectory(open_centre(HANG_UP), periods, clock=CLOCK, wait_horizon=WITHIN)

    print(f"Callers hang up after {PATIENCE:.0f} s on hold on average ({HANG_UP:.3f} a step).")
    print(f"Service level: answered within {WITHIN}, over all callers (over those answered).\n")
    print(f"{'time':>5} {'calls/h':>7}  {'roster':>6} {'lost/h':>6} {'level':>14}", end="")
    print(f"  {'roster':>6} {'lost/h':>6} {'level':>14}")
    print(f"{'':14}  {'sized for callers who wait':>29}  {'sized knowing they hang up':>29}")
    totals = []
    columns = []
    for roster in (waiting, knowing):
        trajectory = run(roster)
        lost = half_hourly(trajectory, trajectory.prob_abandon) * np.array(CALLS_PER_HOUR)
        offered = half_hourly(trajectory, trajectory.service_level(WITHIN))
        answered = half_hourly(trajectory, trajectory.service_level(WITHIN, among="served"))
        columns.append((roster, lost, offered, answered))
        totals.append((roster.sum() / 2, float(lost.sum() / 2)))
    for p, rate in enumerate(CALLS_PER_HOUR):
        line = f"{8 + p // 2:02d}:{30 * (p % 2):02d} {rate:7d}"
        for roster, lost, offered, answered in columns:
            line += f"  {roster[p]:6d} {lost[p]:6.1f} {offered[p]:6.1%} ({answered[p]:5.1%})"
        print(line)
    for name, (hours, lost_calls) in zip(("for callers who wait", "knowing"), totals):
        print(f"Sized {name}: {hours:.1f} agent-hours, {lost_calls:.0f} callers lost in the day.")


if __name__ == "__main__":
    main()
