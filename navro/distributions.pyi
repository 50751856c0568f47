"""Distributions for the models, from parameters or from data."""

from collections.abc import Mapping
from typing import Any, Final

from numpy.typing import ArrayLike

__all__ = [
    "binomial",
    "deterministic",
    "empirical",
    "from_dict",
    "from_series",
    "from_weights",
    "geometric",
    "poisson",
    "uniform",
]

LARGEST_VALUE: Final[int]
LARGEST_SUPPORT: Final[int]

def poisson(mean: float, *, tail: float = 1e-12) -> dict[int, float]: ...
def binomial(n: int, p: float, *, tail: float = 0.0) -> dict[int, float]: ...
def geometric(p: float, *, start: int = 1, tail: float = 1e-12) -> dict[int, float]: ...
def uniform(low: int, high: int) -> dict[int, float]: ...
def deterministic(value: int) -> dict[int, float]: ...
def from_weights(weights: ArrayLike, *, start: int = 0) -> dict[int, float]: ...
def from_dict(pmf: Mapping[Any, Any]) -> dict[int, float]: ...
def from_series(series: Any) -> dict[int, float]: ...
def empirical(
    samples: ArrayLike, *, step: float = 1.0, rounding: str = "nearest"
) -> dict[int, float]: ...
def plain_weights(pmf: Mapping[Any, Any]) -> dict[int, float]: ...
