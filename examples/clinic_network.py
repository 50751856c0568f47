"""A walk-in clinic through one day
==================================

A network of three stations. Time runs in steps of 5 minutes from 08:00 to
18:00. Patients arrive at triage (Poisson batches, busier in the morning); a
quarter then go home, the rest see a doctor. Three in ten of those come back
for a return visit with a nurse, and a third of those need a doctor again: a
feedback loop. Every hour the script prints, per node, the mean number
present and the chance that some are queueing (more present than staff);
then a what-if: nine patients in treatment at 12:00, and the next hour
there. Saves clinic_network.png.
"""

from __future__ import annotations

import navro
from navro.distributions import poisson

STEPS_PER_HOUR = 12  # of 5 minutes
TRIAGE, TREATMENT, RETURN = 0, 1, 2
NAMES = ["triage", "treatment", "return"]
STAFF = [2, 4, 1]
DURATIONS = [
    {1: 0.50, 2: 0.35, 3: 0.15},  # in steps
    {2: 0.20, 3: 0.30, 4: 0.25, 6: 0.15, 8: 0.10},
    {2: 0.40, 3: 0.40, 4: 0.20},
]
ROUTING = {(TRIAGE, TREATMENT): 0.75, (TREATMENT, RETURN): 0.30, (RETURN, TREATMENT): 0.35}
HOURLY_RATE = [0.50, 0.75, 0.70, 0.55, 0.45, 0.50, 0.55, 0.45, 0.35, 0.20]  # per step, from 08:00


def clock(step: int) -> str:
    return f"{8 + step // STEPS_PER_HOUR:02d}:{step % STEPS_PER_HOUR * 5:02d}"


def main() -> None:
    clinic = navro.StandardNetworkMultiserver(len(NAMES))
    for node, staff in enumerate(STAFF):
        clinic.set_number_of_servers_at_node(node, staff)
        clinic.set_service_duration_at_node_pmf(node, DURATIONS[node])
    for (source, destination), p in ROUTING.items():
        clinic.set_routing_probability(source, destination, p)
    hours = [navro.Period(STEPS_PER_HOUR, arrivals={TRIAGE: poisson(r)}) for r in HOURLY_RATE]
    morning = navro.trajectory(clinic, hours[:4])
    clinic.mark()  # noon, for the what-if
    day = navro.Trajectory.concatenate([morning, navro.trajectory(clinic, hours[4:])])

    print(f"{'time':>5}  " + "  ".join(f"{name + ' mean':>14} {'P(queue)':>8}" for name in NAMES))
    for row in range(0, len(day), STEPS_PER_HOUR):
        columns = (
            f"{day.node(n).mean[row]:14.2f} {day.node(n).prob_at_least(c + 1)[row]:8.3f}"
            for n, c in enumerate(STAFF)
        )
        print(f"{clock(int(day.times[row])):>5}  " + "  ".join(columns))

    clinic.restore()
    clinic.apply_observation_value_at_node(TREATMENT, 9)
    ward = navro.trajectory(clinic, hours[4:5]).node(TREATMENT)
    print(
        f"\nGiven 9 in treatment at 12:00: at 13:00 the mean there is {ward.mean[-1]:.2f},"
        f" and patients queue for a doctor with probability {ward.prob_at_least(5)[-1]:.3f}."
    )
    try:
        figure = day.plot("fan", time_label=clock, tick_every=STEPS_PER_HOUR, title="A day")
    except ImportError:
        print("matplotlib is not installed; no plot saved.")
    else:
        figure.savefig("clinic_network.png", dpi=120)
        print("Saved the day's distributions as clinic_network.png.")


if __name__ == "__main__":
    main()
