"""A call centre through one shift.

Eight agents answer calls. Time runs in minutes; in each minute a batch of
calls arrives (Poisson, at a rate that follows the hours of the day), and a
call takes a whole number of minutes. The centre opens empty at 08:00 and
the model is stepped minute by minute to 16:00. Every half hour the script
prints the mean number of callers present (waiting or talking), the chance
that every agent is busy and the 95% quantile of the number present.

It then asks a what-if: at 11:00 a supervisor counts 14 callers present; how
does the next half hour look? A snapshot (mark/restore) keeps the forecast
from disturbing the model.

With matplotlib installed the distribution of the number present over the
shift is saved as call_centre.png.
"""

from __future__ import annotations

from typing import Any

import navro
from pmf_tools import load_plot_library, mean, poisson

AGENTS = 8
OPENING = 8 * 60  # minutes after midnight
SHIFT_MINUTES = 8 * 60
# Calls per minute in each hour of the shift, from 08:00.
HOURLY_RATE = [0.6, 1.0, 1.3, 1.2, 0.8, 1.0, 1.1, 0.7]
# Minutes per call.
CALL_LENGTH = {2: 0.10, 3: 0.15, 4: 0.20, 5: 0.15, 6: 0.12, 8: 0.10, 10: 0.08, 12: 0.06, 15: 0.04}


def quantile(pmf: dict[int, float], level: float) -> int:
    total = 0.0
    for n, p in pmf.items():  # the dict lists values in increasing order
        total += p
        if total >= level:
            return n
    return max(pmf)


def clock(minute: int) -> str:
    return f"{(OPENING + minute) // 60:02d}:{(OPENING + minute) % 60:02d}"


def save_plot(plt: Any, history: list[dict[int, float]], path: str) -> None:
    # Rows up to the largest 99.9% quantile; the colour scale ignores the
    # first minutes, when all mass sits at 0 and would wash out the rest.
    top = max(quantile(pmf, 0.999) for pmf in history) + 1
    grid = [[pmf.get(n, 0.0) for pmf in history] for n in range(top + 1)]
    brightest = max(max(pmf.values()) for pmf in history[10:])
    minutes = list(range(len(history)))
    fig, ax = plt.subplots(figsize=(9, 4))
    image = ax.imshow(grid, origin="lower", aspect="auto", cmap="magma", vmin=0, vmax=brightest,
                      extent=(-0.5, len(history) - 0.5, -0.5, top + 0.5))
    ax.plot(minutes, [mean(pmf) for pmf in history], color="white", linewidth=1, label="mean")
    ax.plot(minutes, [quantile(pmf, 0.95) for pmf in history], color="cyan", linewidth=1,
            drawstyle="steps-mid", label="95% quantile")
    ax.axhline(AGENTS - 0.5, color="white", linewidth=0.8, linestyle="--", label="all agents busy")
    hours = range(0, len(history), 60)
    ax.set_xticks(list(hours), [clock(m) for m in hours])
    ax.set_xlabel("time of day")
    ax.set_ylabel("callers present")
    ax.set_title(f"Distribution of callers present, {AGENTS} agents")
    ax.legend(loc="upper right", fontsize="small")
    fig.colorbar(image, ax=ax, label="probability")
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main() -> None:
    centre = navro.StandardMultiserver()
    centre.number_of_servers = AGENTS
    centre.service_duration_pmf = CALL_LENGTH
    centre.reset_with_number_of_entities_in_system(0)  # open with nobody present

    print(f"{'time':>5}  {'mean present':>12}  {'P(all busy)':>11}  {'95% present':>11}")
    history: list[dict[int, float]] = []
    for minute in range(SHIFT_MINUTES + 1):
        present = centre.get_number_of_entities_in_system_pmf()
        history.append(present)
        if minute % 30 == 0:
            all_busy = sum(p for n, p in present.items() if n >= AGENTS)
            print(f"{clock(minute):>5}  {mean(present):12.2f}  {all_busy:11.3f}"
                  f"  {quantile(present, 0.95):11d}")
        if minute == 3 * 60:
            centre.mark()
        if minute < SHIFT_MINUTES:
            centre.number_of_arrivals_pmf = poisson(HOURLY_RATE[minute // 60])
            centre.step()

    # What-if: back to 11:00, when 14 callers are counted.
    centre.restore()
    centre.apply_observation_value(14)
    centre.number_of_arrivals_pmf = poisson(HOURLY_RATE[3])
    for _ in range(30):
        centre.step()
    present = centre.get_number_of_entities_in_system_pmf()
    print(f"\nGiven 14 present at {clock(3 * 60)}: at {clock(3 * 60 + 30)} the mean is "
          f"{mean(present):.2f}, and 95% of the time at most {quantile(present, 0.95)} are present.")

    plt = load_plot_library()
    if plt is None:
        print("matplotlib is not installed; no plot saved.")
        return
    save_plot(plt, history, "call_centre.png")
    print("Saved the distribution over the shift as call_centre.png.")


if __name__ == "__main__":
    main()
