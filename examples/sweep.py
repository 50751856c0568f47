"""A staffing study over many scenarios
======================================

How many agents does the call centre need if calls grow?

The call centre of call_centre.py is run through its eight-hour shift for
every scenario of a grid: 8 to 13 agents, call volume grown by 0 to 30%, and
two mixes of call lengths (today's, and one with more long calls). For each
scenario one trajectory of the shift gives the chance that every agent is
busy and the mean number of callers waiting, both averaged over the shift,
and the mean number of callers present at the busiest minute. Each scenario
is exact, so the study needs no replications: only the grid.

The sweep runs on the local cores (a process pool). With Dask's
`distributed` installed it runs again on a LocalCluster of two worker
processes, as it would on a cluster of machines, and checks that the two
tables agree to the last bit. It prints, for each growth and mix, the fewest
agents that keep the chance of all being busy under 20%.

With matplotlib installed the chance of all being busy is plotted against
the number of agents and saved as sweep.png.
"""

from __future__ import annotations

import importlib
import importlib.util
import itertools
from typing import Any

import navro
from navro.distributions import poisson

HOURLY_RATE = [0.6, 1.0, 1.3, 1.2, 0.8, 1.0, 1.1, 0.7]  # calls per minute, from 08:00
CALL_LENGTHS = {
    "today": {2: 0.10, 3: 0.15, 4: 0.20, 5: 0.15, 6: 0.12, 8: 0.10, 10: 0.08, 12: 0.06, 15: 0.04},
    "longer": {2: 0.05, 3: 0.10, 4: 0.15, 5: 0.15, 6: 0.15, 8: 0.15, 10: 0.12, 12: 0.08, 15: 0.05},
}
TARGET = 0.20  # highest acceptable chance that every agent is busy

SCENARIOS = [
    {"agents": agents, "growth": growth, "mix": mix}
    for mix, growth, agents in itertools.product(CALL_LENGTHS, [0.0, 0.15, 0.3], range(8, 14))
]


def run_shift(scenario: dict[str, Any]) -> dict[str, float]:
    """One shift of one scenario. Runs in a worker process, so it is defined
    at module level and takes everything it needs from its argument."""
    centre = navro.StandardMultiserver()
    centre.number_of_servers = scenario["agents"]
    centre.service_duration_pmf = CALL_LENGTHS[scenario["mix"]]
    growth = 1 + scenario["growth"]
    shift = navro.trajectory(
        centre, [navro.Period(60, arrivals=poisson(rate * growth)) for rate in HOURLY_RATE]
    )
    # Row 0 is the empty centre at opening; every later row is one minute.
    return {
        "p_all_busy": float(shift.prob_all_busy[1:].mean()),
        "mean_waiting": float(shift.expected_queue_length[1:].mean()),
        "busiest_mean_present": float(shift.mean.max()),
    }


def plan_of(table: Any) -> Any:
    """The inputs and the measures of every scenario, side by side: the
    sweep keeps them apart, under "scenario" and "result"."""
    return table.scenario.join(table.result)


def on_local_cluster() -> Any:
    """The same sweep on a Dask LocalCluster, or None without `distributed`."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        return None
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        return navro.sweep(run_shift, SCENARIOS, executor=client.get_executor())


def save_plot(plt: Any, plan: Any, path: str) -> None:
    fig, axes = plt.subplots(1, len(CALL_LENGTHS), figsize=(10, 4), sharey=True)
    for ax, (mix, rows) in zip(axes, plan.groupby("mix", sort=False)):
        for growth, line in rows.groupby("growth"):
            ax.plot(line.agents, line.p_all_busy, marker="o", label=f"+{growth:.0%} calls")
        ax.axhline(TARGET, color="grey", linestyle="--", linewidth=0.8)
        ax.set_title(f"call lengths: {mix}")
        ax.set_xlabel("agents")
    axes[0].set_ylabel("chance that all agents are busy")
    axes[0].legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main() -> None:
    # The study reads its results as a table, which sweep gives with pandas.
    if importlib.util.find_spec("pandas") is None:
        print(
            "This study needs pandas for its table: pip install 'navro[pandas]' "
            "(from a checkout, .venv/bin/pip install '.[pandas,plot]')."
        )
        return
    table = navro.sweep(run_shift, SCENARIOS)  # a process pool on the local cores
    failed = table.error.notna()
    if failed.any():
        print(table[failed])
    plan = plan_of(table)
    print(
        plan.to_string(
            index=False, float_format="{:.4f}".format, formatters={"growth": "+{:.0%}".format}
        )
    )

    print(f"\nFewest agents with P(all busy) < {TARGET:.0%}:")
    for (mix, growth), rows in plan.groupby(["mix", "growth"], sort=False):
        enough = rows[rows.p_all_busy < TARGET].agents
        fewest = f"{enough.min()}" if len(enough) else f"more than {rows.agents.max()}"
        print(f"  {mix:>6} call lengths, calls +{growth:.0%}: {fewest} agents")

    clustered = on_local_cluster()
    if clustered is None:
        print("\ndistributed is not installed; the sweep ran on the local process pool only.")
    else:
        same = plan_of(clustered).equals(plan)
        print(
            f"\nOn a Dask LocalCluster of two workers the table is the same to the last bit: {same}"
        )

    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        print("matplotlib is not installed (navro[plot]); no plot saved.")
        return
    matplotlib.use("Agg")  # to a file, with or without a screen
    save_plot(importlib.import_module("matplotlib.pyplot"), plan, "sweep.png")
    print("Saved the chance that all agents are busy as sweep.png.")


if __name__ == "__main__":
    main()
