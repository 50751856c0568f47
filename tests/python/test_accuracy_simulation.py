"""The tests' own simulation of the real queue (reference_simulation), which
checks navro.simulate, checked in turn against the maps where they are exact:
one server with any services, geometric services with any servers."""

import numpy as np
from hypothesis import given, strategies as st

import navro
import reference_simulation as reference
from navro.distributions import geometric

weights = st.floats(0.05, 1.0)  # the model counts a weight above 1 as 1


@st.composite
def exact_stations(draw):
    if draw(st.booleans()):
        servers, durations = 1, draw(st.dictionaries(st.integers(1, 6), weights, min_size=1))
    else:
        servers, durations = draw(st.integers(2, 6)), geometric(draw(st.floats(0.25, 1.0)))
    arrivals = draw(st.dictionaries(st.integers(0, 3), weights, min_size=1))
    return reference.Node(servers, durations, arrivals), draw(st.integers(0, 3))


@given(exact_stations(), st.integers(0, 2**32 - 1))
def test_the_reference_simulation_agrees_with_the_maps_where_they_are_exact(station, seed):
    node, start = station
    runs, steps = 4000, 12
    result = reference.simulate([(steps, [node], None)], runs, np.random.default_rng(seed), [start])
    model = navro.StandardMultiserver()
    model.number_of_servers = node.servers
    model.service_duration_pmf = node.durations
    model.number_of_arrivals_pmf = node.arrivals
    model.reset_with_number_of_entities_in_system(start)
    exact = navro.trajectory(model, steps)
    for t in range(steps + 1):
        counts = np.bincount(result.present[t, 0], minlength=len(exact.counts) + exact.counts[0])
        model_p = np.zeros(max(len(counts), exact.counts[-1] + 1))
        model_p[exact.counts] = exact.probabilities[t]
        simulated = np.zeros_like(model_p)
        simulated[: len(counts)] = counts / runs
        # Each count's frequency within 5 standard errors of its probability,
        # plus a little for the rarest counts.
        error = np.sqrt(model_p * (1 - model_p) / runs)
        assert np.all(np.abs(simulated - model_p) <= 5 * error + 5 / runs), t
