"""Small helpers the examples share: building and summarising distributions
in their dict form, and the optional plotting library."""
from __future__ import annotations

import importlib
import math
from typing import Any


def poisson(mean: float, tail: float = 1e-12) -> dict[int, float]:
    """Poisson probabilities up to where the remaining tail is below `tail`."""
    pmf: dict[int, float] = {}
    p, k, total = math.exp(-mean), 0, 0.0
    while 1.0 - total > tail:
        pmf[k] = p
        total += p
        k += 1
        p *= mean / k
    return pmf


def mean(pmf: dict[int, float]) -> float:
    return sum(n * p for n, p in pmf.items())


def load_plot_library() -> Any:
    """matplotlib.pyplot with a file-only backend, or None when absent."""
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        return None
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")
