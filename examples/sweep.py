"""A staffing study: how many agents does the call centre need if calls grow?

The call centre of call_centre.py is run through its eight-hour shift for
every scenario of a grid: 8 to 13 agents, call volume grown by 0 to 30%, and
two mixes of call lengths (today's, and one with more long calls). For each
scenario the shift gives the chance that every agent is busy,
averaged over the shift, and the mean number of callers present at the
busiest minute. Each scenario is exact, so the study needs no replications:
only the grid.

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
import itertools
from typing import Any

import navro
from pmf_tools import load_plot_library, mean, poisson

SHIFT_MINUTES = 8 * 60
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
    agents = scenario["agents"]
    centre = navro.StandardMultiserver()
    centre.number_of_servers = agents
    centre.service_duration_pmf = CALL_LENGTHS[scenario["mix"]]
    centre.reset_with_number_of_entities_in_system(0)
    all_busy, busiest = 0.0, 0.0
    for minute in range(SHIFT_MINUTES):
        centre.number_of_arrivals_pmf = poisson(HOURLY_RATE[minute // 60] * (1 + scenario["growth"]))
        centre.step()
        present = centre.get_number_of_entities_in_system_pmf()
        all_busy += sum(p for n, p in present.items() if n >= agents)
        busiest = max(busiest, mean(present))
    return {"p_all_busy": all_busy / SHIFT_MINUTES, "busiest_mean_present": busiest}


def on_local_cluster() -> Any:
    """The same sweep on a Dask LocalCluster, or None without `distributed`."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        return None
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            return navro.sweep(run_shift, SCENARIOS, executor=client.get_executor())


def save_plot(plt: Any, table: Any, path: str) -> None:
    fig, axes = plt.subplots(1, len(CALL_LENGTHS), figsize=(10, 4), sharey=True)
    for ax, (mix, rows) in zip(axes, table.groupby("mix", sort=False)):
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
    table = navro.sweep(run_shift, SCENARIOS)  # a process pool on the local cores
    if table.error.notna().any():
        print(table[table.error.notna()])
    print(table.drop(columns="error").to_string(
        index=False, float_format="{:.4f}".format, formatters={"growth": "+{:.0%}".format}))

    print(f"\nFewest agents with P(all busy) < {TARGET:.0%}:")
    for (mix, growth), rows in table.groupby(["mix", "growth"], sort=False):
        enough = rows[rows.p_all_busy < TARGET].agents
        fewest = f"{enough.min()}" if len(enough) else f"more than {rows.agents.max()}"
        print(f"  {mix:>6} call lengths, calls +{growth:.0%}: {fewest} agents")

    clustered = on_local_cluster()
    if clustered is None:
        print("\ndistributed is not installed; the sweep ran on the local process pool only.")
    else:
        same = clustered.drop(columns="error").equals(table.drop(columns="error"))
        print(f"\nOn a Dask LocalCluster of two workers the table is the same to the last bit: {same}")

    plt = load_plot_library()
    if plt is None:
        print("matplotlib is not installed; no plot saved.")
        return
    save_plot(plt, table, "sweep.png")
    print("Saved the chance that all agents are busy as sweep.png.")


if __name__ == "__main__":
    main()
