"""A call centre through one shift
=================================

Eight agents answer calls. Time runs in minutes; calls arrive in Poisson
batches at a rate that changes every hour, and a call takes a whole number of
minutes. The centre opens empty at 08:00 and runs to 16:00, one period per
hour. Every half hour the script prints the mean number of callers present,
the chance that every agent is busy and the 95% quantile of the number
present; then a what-if: at 11:00 a supervisor counts 14 callers, how does
the next half hour look? With matplotlib the day is saved as call_centre.png.
"""

from __future__ import annotations

import navro
from navro.distributions import poisson

AGENTS = 8
HOURLY_RATE = [0.6, 1.0, 1.3, 1.2, 0.8, 1.0, 1.1, 0.7]  # calls per minute, from 08:00
CALL_MINUTES = {2: 0.10, 3: 0.15, 4: 0.20, 5: 0.15, 6: 0.12, 8: 0.10, 10: 0.08, 12: 0.06, 15: 0.04}


def clock(minute: int) -> str:
    return f"{8 + minute // 60:02d}:{minute % 60:02d}"


def main() -> None:
    centre = navro.StandardMultiserver()
    centre.number_of_servers = AGENTS
    centre.service_duration_pmf = CALL_MINUTES
    shift = [navro.Period(60, arrivals=poisson(rate)) for rate in HOURLY_RATE]
    morning = navro.trajectory(centre, shift[:3])
    centre.mark()  # 11:00, for the what-if
    day = navro.Trajectory.concatenate([morning, navro.trajectory(centre, shift[3:])])

    print(f"{'time':>5}  {'mean present':>12}  {'P(all busy)':>11}  {'95% present':>11}")
    q95 = day.quantile(0.95)
    for row in range(0, len(day), 30):
        print(
            f"{clock(int(day.times[row])):>5}  {day.mean[row]:12.2f}"
            f"  {day.prob_all_busy[row]:11.3f}  {q95[row]:11d}"
        )

    centre.restore()
    centre.apply_observation_value(14)
    ahead = navro.trajectory(centre, [navro.Period(30, arrivals=poisson(HOURLY_RATE[3]))])
    print(
        f"\nGiven 14 present at 11:00: at 11:30 the mean is {ahead.mean[-1]:.2f}, and 95% of"
        f" the time at most {ahead.quantile(0.95)[-1]} are present."
    )
    try:
        figure = day.plot(time_label=clock, tick_every=60, title=f"Callers, {AGENTS} agents")
    except ImportError:
        print("matplotlib is not installed; no plot saved.")
    else:
        figure.savefig("call_centre.png", dpi=120)
        print("Saved the distribution over the shift as call_centre.png.")


if __name__ == "__main__":
    main()
