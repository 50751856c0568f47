"""A walk-in clinic through one day, as a network of three stations.

Time runs in steps of 5 minutes from 08:00 to 18:00. Patients arrive at
triage (Poisson batches, busier in the morning). After triage a quarter go
home and the rest see one of the doctors. Three in ten of the patients a
doctor sees come back for a return visit with a nurse (to go through test
results, say), and a third of those need a doctor again. That return to
treatment is the feedback loop of the network:

    arrivals -> triage --0.75--> treatment --0.30--> return visit
                                    ^                    |
                                    +-------0.35---------+

Every hour the script prints, for each node, the mean number of patients
present and the probability that some are queueing (more present than
staff). It then asks a what-if: at 12:00 nine patients are counted in
treatment; how does the next hour look there? A snapshot (mark/restore)
keeps the forecast from disturbing the day's model.

With matplotlib installed both curves are saved as clinic_network.png.
"""

from __future__ import annotations

from typing import Any

import navro
from pmf_tools import load_plot_library, mean, poisson

STEP_MINUTES = 5
OPENING = 8 * 60  # minutes after midnight
DAY_STEPS = 10 * 60 // STEP_MINUTES
STEPS_PER_HOUR = 60 // STEP_MINUTES

TRIAGE, TREATMENT, RETURN = 0, 1, 2
NAMES = ["triage", "treatment", "return"]
STAFF = [2, 4, 1]
# Durations in steps of 5 minutes.
DURATIONS = [
    {1: 0.50, 2: 0.35, 3: 0.15},  # triage: 5 to 15 minutes
    {2: 0.20, 3: 0.30, 4: 0.25, 6: 0.15, 8: 0.10},  # a doctor: 10 to 40 minutes
    {2: 0.40, 3: 0.40, 4: 0.20},  # a return visit: 10 to 20 minutes
]
ROUTING = {(TRIAGE, TREATMENT): 0.75, (TREATMENT, RETURN): 0.30, (RETURN, TREATMENT): 0.35}
# Patients arriving per 5 minutes in each hour of the day, from 08:00.
HOURLY_RATE = [0.50, 0.75, 0.70, 0.55, 0.45, 0.50, 0.55, 0.45, 0.35, 0.20]


def queueing(pmf: dict[int, float], staff: int) -> float:
    return sum(p for n, p in pmf.items() if n > staff)


def clock(step: int) -> str:
    minute = OPENING + step * STEP_MINUTES
    return f"{minute // 60:02d}:{minute % 60:02d}"


def build_clinic() -> navro.StandardNetworkMultiserver:
    clinic = navro.StandardNetworkMultiserver(len(NAMES))
    for node, staff in enumerate(STAFF):
        clinic.set_number_of_servers_at_node(node, staff)
        clinic.set_service_duration_at_node_pmf(node, DURATIONS[node])
        clinic.reset_node_with_number_of_entities(node, 0)  # the clinic opens empty
    for (source, destination), probability in ROUTING.items():
        clinic.set_routing_probability(source, destination, probability)
    return clinic


def save_plot(plt: Any, history: list[list[dict[int, float]]], path: str) -> None:
    steps = list(range(len(history)))
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), sharex=True)
    for node, name in enumerate(NAMES):
        top.plot(steps, [mean(counts[node]) for counts in history], label=name)
        bottom.plot(steps, [queueing(counts[node], STAFF[node]) for counts in history], label=name)
    top.set_ylabel("mean patients present")
    bottom.set_ylabel("P(patients queueing)")
    hours = range(0, len(history), STEPS_PER_HOUR)
    bottom.set_xticks(list(hours), [clock(s) for s in hours])
    bottom.set_xlabel("time of day")
    top.legend(loc="upper right", fontsize="small")
    top.set_title("A walk-in clinic through one day")
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main() -> None:
    clinic = build_clinic()
    header = "  ".join(f"{name + ' mean':>14} {'P(queue)':>8}" for name in NAMES)
    print(f"{'time':>5}  {header}")
    history: list[list[dict[int, float]]] = []
    noon = 4 * STEPS_PER_HOUR
    for step in range(DAY_STEPS + 1):
        counts = [clinic.get_number_of_entities_at_node_pmf(n) for n in range(len(NAMES))]
        history.append(counts)
        if step % STEPS_PER_HOUR == 0:
            columns = "  ".join(
                f"{mean(c):14.2f} {queueing(c, staff):8.3f}" for c, staff in zip(counts, STAFF)
            )
            print(f"{clock(step):>5}  {columns}")
        if step == noon:
            clinic.mark()
        if step < DAY_STEPS:
            rate = HOURLY_RATE[step // STEPS_PER_HOUR]
            clinic.set_number_of_external_arrivals_at_node_pmf(TRIAGE, poisson(rate))
            clinic.step()

    # What-if: back to noon, when nine patients are counted in treatment.
    clinic.restore()
    clinic.apply_observation_value_at_node(TREATMENT, 9)
    clinic.set_number_of_external_arrivals_at_node_pmf(TRIAGE, poisson(HOURLY_RATE[4]))
    for _ in range(STEPS_PER_HOUR):
        clinic.step()
    treatment = clinic.get_number_of_entities_at_node_pmf(TREATMENT)
    print(
        f"\nGiven 9 in treatment at {clock(noon)}: at {clock(noon + STEPS_PER_HOUR)} the mean"
        f" there is {mean(treatment):.2f}, and patients queue for a doctor with probability"
        f" {queueing(treatment, STAFF[TREATMENT]):.3f}."
    )

    plt = load_plot_library()
    if plt is None:
        print("matplotlib is not installed; no plot saved.")
        return
    save_plot(plt, history, "clinic_network.png")
    print("Saved the day's curves as clinic_network.png.")


if __name__ == "__main__":
    main()
