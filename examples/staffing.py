"""Staffing a call centre's day
=============================

How many agents each half hour, so that callers rarely find every agent
busy, all day long?

A call centre is open from 08:00 to 18:00, with a morning and an afternoon
peak. Time runs in minutes; calls arrive in Poisson batches at a rate that
changes every half hour and take 3 to 15 minutes. The target: at every
minute, the chance that every agent is busy is at most 0.2.

Two rosters are compared:

- steady: each half hour staffed as if it had run at its own rate long
  enough to settle, worked out with navro by running the half hour's rate
  for four hours from empty and checking the target at the end;
- as the day unfolds: navro.staffing, which starts each half hour from the
  queue the chosen staffing left at the end of the one before.

The script prints both rosters side by side, the worst minute of each half
hour under each, and why they differ; with matplotlib it saves the chance
that every agent is busy under both rosters as staffing.png.
"""

from __future__ import annotations

from dataclasses import replace

import numpy as np
from numpy.typing import NDArray

import navro
from navro.distributions import poisson

PERIOD = 30  # minutes in a half hour, one step a minute
RATES = [
    0.3,
    0.5,
    0.8,
    1.2,
    1.5,
    1.6,
    1.3,
    0.9,
    0.7,
    0.6,  # calls per minute, from 08:00
    0.7,
    0.9,
    1.2,
    1.4,
    1.4,
    1.1,
    0.8,
    0.6,
    0.4,
    0.3,
]
CALL_MINUTES = {3: 0.10, 4: 0.15, 5: 0.15, 6: 0.15, 8: 0.15, 10: 0.12, 12: 0.10, 15: 0.08}
TARGET = navro.Target("prob_all_busy", 0.2)  # at every minute
AGENTS = (1, 40)  # the fewest and the most agents a half hour may have
SETTLE = 240  # minutes a rate runs from empty to stand for its steady state


def clock(minute: int) -> str:
    return f"{8 + minute // 60:02d}:{minute % 60:02d}"


def open_centre(agents: int = 0) -> navro.StandardMultiserver:
    centre = navro.StandardMultiserver()
    centre.service_duration_pmf = CALL_MINUTES
    centre.number_of_servers = agents  # where the search starts
    centre.reset_with_number_of_entities_in_system(0)
    return centre


def steady_roster(day: list[navro.Period]) -> tuple[list[int], dict[float, float]]:
    """Each half hour's agents as if it had settled at its own rate, and the
    mean number present once settled, by rate."""
    agents: dict[float, int] = {}
    settled_mean: dict[float, float] = {}
    at_end = replace(TARGET, when="end")
    for rate in sorted(set(RATES)):
        guess = agents[max(agents)] if agents else AGENTS[0]
        settled = navro.staffing(
            open_centre(guess), [navro.Period(SETTLE, arrivals=poisson(rate))], at_end, AGENTS
        )
        agents[rate] = int(settled.roster[0])
        settled_mean[rate] = float(settled.trajectory.mean[-1])
    return [agents[rate] for rate in RATES], settled_mean


def worst_by_period(run: navro.Trajectory) -> NDArray[np.float64]:
    """The largest chance that every agent is busy in each half hour."""
    busy = run.prob_all_busy[1:]  # row 0 is the opening, before the first minute
    return np.asarray(busy.reshape(len(RATES), PERIOD).max(axis=1), dtype=np.float64)


def save_plot(steady: navro.Trajectory, unfolding: navro.Trajectory) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter, MultipleLocator
    except ImportError:
        return False
    figure, (top, bottom) = plt.subplots(
        2, 1, figsize=(10, 6.5), sharex=True, gridspec_kw={"height_ratios": [3, 2]}
    )
    for run, label, colour in (
        (steady, "steady roster", "tab:red"),
        (unfolding, "as the day unfolds", "tab:blue"),
    ):
        minutes = run.times[1:]  # from the first minute: row 0 is the centre before opening
        top.plot(minutes, run.prob_all_busy[1:], color=colour, linewidth=1, label=label)
        bottom.plot(minutes, run.servers[1:], color=colour, drawstyle="steps-pre", label=label)
    top.axhline(TARGET.at_most, color="black", linestyle="--", linewidth=0.8, label="target")
    top.set_ylabel("P(every agent busy)")
    top.legend(loc="upper right", fontsize="small")
    top.set_title("Half-hourly agents for P(every agent busy) <= 0.2 at every minute")
    bottom.set_ylabel("agents")
    bottom.xaxis.set_major_locator(MultipleLocator(60))
    bottom.xaxis.set_major_formatter(FuncFormatter(lambda x, _: clock(round(x))))
    bottom.set_xlabel("time")
    figure.tight_layout()
    figure.savefig("staffing.png", dpi=120)
    return True


def main() -> None:
    day = [navro.Period(PERIOD, arrivals=poisson(rate)) for rate in RATES]
    unfolding = navro.staffing(open_centre(), day, TARGET, AGENTS)
    steady, settled_mean = steady_roster(day)
    steady_run = navro.trajectory(
        open_centre(), [replace(period, servers=agents) for period, agents in zip(day, steady)]
    )
    steady_worst = worst_by_period(steady_run)
    run = unfolding.trajectory

    print(
        f"{'time':>5} {'calls/min':>9} {'steady':>6} {'unfolding':>9}"
        f"  {'worst P(all busy): steady':>25} {'unfolding':>9}  why"
    )
    for p, rate in enumerate(RATES):
        start = p * PERIOD
        a, b = steady[p], int(unfolding.roster[p])
        if a == b:
            why = ""
        else:
            present = run.mean[start]  # at the half hour's start
            fuller = "more" if present > settled_mean[rate] else "fewer"
            why = (
                f"starts with {present:.1f} present, {fuller} than the"
                f" {settled_mean[rate]:.1f} of its steady state"
            )
        flag = " *" if steady_worst[p] > TARGET.at_most else "  "
        print(
            f"{clock(start):>5} {rate:9.1f} {a:6d} {b:9d}  {steady_worst[p]:23.3f}{flag}"
            f" {unfolding.worst[p]:9.3f}  {why}"
        )

    missed = [clock(p * PERIOD) for p, w in enumerate(steady_worst) if w > TARGET.at_most]
    print(
        f"\nAgent-hours: steady {sum(steady) / 2:.1f}, as the day unfolds"
        f" {unfolding.roster.sum() / 2:.1f}."
    )
    print(
        f"The steady roster misses the target (*) in the half hours from {', '.join(missed)}:"
        " the queue built up in a busier half hour is still there when the next one starts."
        if missed
        else "The steady roster meets the target all day."
    )
    if unfolding.infeasible:
        print(f"No roster within {AGENTS} meets the target in half hours {unfolding.infeasible}.")
    print(f"The search ran a half hour {unfolding.runs} times in all for the day's {len(RATES)}.")
    if save_plot(steady_run, run):
        print("Saved both rosters and their P(every agent busy) as staffing.png.")
    else:
        print(
            "matplotlib is not installed, so no plot was saved: install navro's plot extra"
            " (pip install 'navro[plot]') to get staffing.png."
        )


if __name__ == "__main__":
    main()
