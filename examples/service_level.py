"""A contact centre staffed to a service level
=============================================

How many agents each half hour, so that 80% of calls are answered within
20 seconds, all day long?

A contact centre is open from 08:00 to 20:00. Its volumes are forecast per
half hour as calls per hour, with a morning and an afternoon peak; its
handling times are a sample of 400 calls in seconds. The model runs on a
5-second step, so that "within 20 seconds" is within 4 steps.

Two rosters are compared:

- Erlang C: each half hour on its own, as if its volume had run long enough
  to settle, with the standard formula (computed below): the fewest agents
  whose steady-state service level reaches 80%;
- as the day unfolds: navro.staffing, which starts each half hour from the
  queue the chosen staffing left at the end of the one before and asks that
  the service level of the calls arriving holds at every step.

The script prints both rosters and the service level each achieves per half
hour in navro (the share of that half hour's calls answered within 20
seconds); with matplotlib it saves both service levels over the day as
service_level.png.
"""

from __future__ import annotations

import importlib
import math
from dataclasses import replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

import navro

CLOCK = navro.Clock("5s", start="2024-03-04 08:00")
# Calls per hour forecast for each half hour from 08:00 to 20:00.
CALLS_PER_HOUR = [110, 180, 280, 380, 440, 460, 420, 350, 300, 280, 300, 340,
                  400, 430, 410, 360, 300, 250, 210, 180, 150, 120, 100, 80]  # fmt: skip
TARGET = 0.8  # of the calls answered...
WITHIN = 20  # ...within this many seconds
AGENTS = (1, 80)


def handling_sample() -> NDArray[np.float64]:
    """400 observed handling times in seconds (here drawn at random: about
    three and a half minutes on average, a few long calls)."""
    rng = np.random.default_rng(2024)
    return np.round(rng.lognormal(mean=np.log(180.0), sigma=0.55, size=400))


def erlang_c_agents(calls_per_hour: float, handling: float) -> tuple[int, float]:
    """The fewest agents whose steady-state service level (Erlang C) reaches
    the target, and that level. ``handling`` is the mean handling time in
    seconds."""
    traffic = calls_per_hour * handling / 3600.0  # erlangs
    agents = max(1, math.floor(traffic) + 1)
    while True:
        blocked = 1.0  # Erlang B by its recursion, stable for any number of agents
        for k in range(1, agents + 1):
            blocked = traffic * blocked / (k + traffic * blocked)
        waits = agents * blocked / (agents - traffic * (1 - blocked))  # Erlang C
        level = 1 - waits * math.exp(-(agents - traffic) * WITHIN / handling)
        if level >= TARGET:
            return agents, level
        agents += 1


def half_hourly(run: navro.Trajectory, values: NDArray[np.float64]) -> NDArray[np.float64]:
    """Per half hour, ``values`` of its rows weighted by the calls they stand for."""
    arrivals = np.where(np.isnan(values), 0.0, run.arrivals)
    rows = run.period[1:]  # row 0 is the opening, before any call
    weighted = np.bincount(rows, (arrivals * np.nan_to_num(values))[1:])
    return weighted / np.bincount(rows, arrivals[1:])


def save_plot(erlang: navro.Trajectory, unfolding: navro.Trajectory) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        dates: Any = importlib.import_module("matplotlib.dates")
    except ImportError:
        return False
    figure, (top, bottom) = plt.subplots(
        2, 1, figsize=(10, 6.5), sharex=True, gridspec_kw={"height_ratios": [3, 2]}
    )
    for run, label, colour in (
        (erlang, "Erlang C roster", "tab:red"),
        (unfolding, "as the day unfolds", "tab:blue"),
    ):
        # Each minute's average of its twelve 5-second steps, for a readable line.
        minutes = run.clock_times[12::12]
        level = run.service_level(f"{WITHIN}s")[1:].reshape(-1, 12).mean(axis=1)
        top.plot(minutes, level, color=colour, linewidth=1, label=label)
        bottom.plot(run.clock_times[1:], run.servers[1:], color=colour, drawstyle="steps-pre")
    top.axhline(TARGET, color="black", linestyle="--", linewidth=0.8, label="target")
    top.set_ylabel(f"answered within {WITHIN} s")
    top.set_ylim(0, 1)
    top.legend(loc="lower right", fontsize="small")
    top.set_title(f"{TARGET:.0%} of calls answered within {WITHIN} seconds")
    bottom.set_ylabel("agents")
    bottom.xaxis.set_major_locator(dates.HourLocator(interval=2))
    bottom.xaxis.set_major_formatter(dates.DateFormatter("%H:%M"))
    bottom.set_xlabel("time")
    figure.tight_layout()
    figure.savefig("service_level.png", dpi=120)
    return True


def open_centre(sample: NDArray[np.float64]) -> navro.StandardMultiserver:
    """The centre at 08:00: empty, its handling times in 5-second steps."""
    centre = navro.StandardMultiserver()
    centre.service_duration_pmf = CLOCK.durations(sample)  # seconds, rounded up to steps
    return centre


def main() -> None:
    sample = handling_sample()
    handling = float(sample.mean())
    day = [navro.Period("30min", arrivals=CLOCK.arrivals(rate)) for rate in CALLS_PER_HOUR]

    target = navro.Target("service_level", at_least=TARGET, within=f"{WITHIN}s")
    plan = navro.staffing(open_centre(sample), day, target, AGENTS, clock=CLOCK)
    erlang = [erlang_c_agents(rate, handling) for rate in CALLS_PER_HOUR]
    erlang_run = navro.trajectory(
        open_centre(sample),
        [replace(period, servers=agents) for period, (agents, _) in zip(day, erlang)],
        clock=CLOCK,
        wait_horizon=f"{WITHIN}s",
    )
    unfolding = plan.trajectory
    erlang_level = half_hourly(erlang_run, erlang_run.service_level(f"{WITHIN}s"))
    unfolding_level = half_hourly(unfolding, unfolding.service_level(f"{WITHIN}s"))
    wait = half_hourly(unfolding, unfolding.mean_wait) * CLOCK.step_seconds

    print(f"Handling time: {handling:.0f} s on average over {len(sample)} calls.")
    print(f"Service level: calls answered within {WITHIN} s, per half hour, in navro.\n")
    print(
        f"{'time':>5} {'calls/h':>7}  {'Erlang C':>8} {'its level':>9} {'(steady)':>8}"
        f"  {'unfolding':>9} {'its level':>9} {'mean wait':>9}"
    )
    for p, rate in enumerate(CALLS_PER_HOUR):
        clock = f"{8 + p // 2:02d}:{30 * (p % 2):02d}"
        agents, steady = erlang[p]
        flag = " *" if erlang_level[p] < TARGET else "  "
        print(
            f"{clock:>5} {rate:7d}  {agents:8d} {erlang_level[p]:9.1%}{flag}{steady:6.1%}"
            f"  {plan.roster[p]:9d} {unfolding_level[p]:9.1%} {wait[p]:7.1f} s"
        )
    short = sum(1 for level in erlang_level if level < TARGET)
    erlang_worst = np.nanmin(erlang_run.service_level(f"{WITHIN}s")[1:])
    extra = plan.roster.sum() / 2 - sum(a for a, _ in erlang) / 2
    print(
        f"\nErlang C sizes each half hour by its own steady state. In navro its level falls "
        f"short of {TARGET:.0%} over {short} half hour(s) (*), and at its worst 5-second step "
        f"only {erlang_worst:.0%} of the calls arriving are answered within {WITHIN} s: a "
        "half hour starts with the queue the one before left, longer than its own steady "
        "state after a busier one, shorter before a peak."
    )
    print(
        f"The roster found as the day unfolds holds {TARGET:.0%} at every step (its worst: "
        f"{plan.worst.min():.1%}) with {extra:+.1f} agent-hours."
    )
    if plan.infeasible:
        print(f"No roster within {AGENTS} meets the target in half hours {plan.infeasible}.")
    if save_plot(erlang_run, unfolding):
        print("Saved both service levels and rosters over the day as service_level.png.")
    else:
        print(
            "matplotlib is not installed, so no plot was saved: install navro's plot extra"
            " (pip install 'navro[plot]') to get service_level.png."
        )


if __name__ == "__main__":
    main()
