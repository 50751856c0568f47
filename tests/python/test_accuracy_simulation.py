"""The simulation of the true queue behind the README's accuracy table, run
where the model is exact (one server with any service, geometric services
with any number of servers): there the two must agree."""

import os
import sys

import numpy as np
from hypothesis import given, strategies as st

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "benchmarks")
)
import accuracy

weights = st.floats(0.05, 1.0)  # the model counts a weight above 1 as 1


@st.composite
def exact_stations(draw):
    if draw(st.booleans()):
        servers, durations = 1, draw(st.dictionaries(st.integers(1, 6), weights, min_size=1))
    else:
        servers, durations = draw(st.integers(2, 6)), accuracy.geometric(draw(st.floats(1.0, 4.0)))
    arrivals = draw(st.dictionaries(st.integers(0, 3), weights, min_size=1))
    return accuracy.Case("", "", 0.0, (accuracy.Node(servers, durations, arrivals),), (1, 2, 3, 12))


@given(exact_stations(), st.integers(0, 2**32 - 1))
def test_simulation_agrees_with_the_model_where_the_model_is_exact(case, seed):
    # Three times the 99% noise is far beyond chance, and well within what a
    # timing fault costs (an entity leaving in the step it arrives, a freed
    # server idle for a step).
    for c in accuracy.run_case(case, 4000, np.random.default_rng(seed)):
        assert c.tv <= 3 * c.tv_noise + 1e-9, c
        assert abs(c.busy_error) <= 3 * c.busy_noise + 1e-9, c
        assert abs(c.mean_error) <= 3 * c.mean_noise + 1e-9, c
