"""Distributions for the models, from parameters or from data.

Every constructor returns the plain dict that the models take, ``{value:
probability}``: Python ints mapped to Python floats, in increasing order of
value, summing to 1, without values of probability 0 (the models would drop
them). Arguments may be Python or NumPy numbers and arrays.

Distributions without a last value (Poisson, geometric) are cut: values are
left out at either end while what is left out there stays below ``tail / 2``,
so the values left out hold less than ``tail`` of the probability in all, and
the rest is renormalised. Bad input (a negative value, NaN, an empty sample,
a parameter out of range) raises ValueError saying what is wrong.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

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

# The models count in 32 bits.
LARGEST_VALUE = 2**31 - 1
# Most values one distribution may have: beyond this a small argument would
# ask for a dict of gigabytes, and no model could step with it anyway.
LARGEST_SUPPORT = 1_000_000
# Width, in standard deviations, of the window whose outside holds no
# probability a double can tell from 0 for the distributions computed here.
_WIDE = 40.0


def _fail(function: str, problem: str) -> ValueError:
    return ValueError(f"{function}: {problem}")


def _real(function: str, name: str, x: Any) -> float:
    if not isinstance(x, numbers.Real):
        raise TypeError(f"{function}: {name} must be a real number, not {type(x).__name__}")
    value = float(x)
    if not math.isfinite(value):
        raise _fail(function, f"{name} must be finite, got {value}")
    return value


def _probability(function: str, name: str, x: Any) -> float:
    value = _real(function, name, x)
    if not 0.0 <= value <= 1.0:
        raise _fail(function, f"{name} must lie in [0, 1], got {value}")
    return value


def _count(function: str, name: str, x: Any) -> int:
    """A whole number from 0 to the largest count the models hold."""
    value = _whole(function, name, x)
    if not 0 <= value <= LARGEST_VALUE:
        raise _fail(function, f"{name} must lie in 0..{LARGEST_VALUE}, got {value}")
    return value


def _whole(function: str, name: str, x: Any) -> int:
    try:
        return operator.index(x)
    except TypeError:
        pass
    value = _real(function, name, x)
    if not value.is_integer():
        raise _fail(function, f"{name} must be a whole number, got {value}")
    return int(value)


def _tail(function: str, x: Any, allow_zero: bool) -> float:
    value = _real(function, "tail", x)
    if not (0.0 <= value < 1.0 if allow_zero else 0.0 < value < 1.0):
        bounds = "[0, 1)" if allow_zero else "(0, 1)"
        raise _fail(function, f"tail must lie in {bounds}, got {value}")
    return value


def _check_support(function: str, first: int, last: int) -> None:
    if last > LARGEST_VALUE:
        raise _fail(
            function, f"values up to {last} exceed the models' largest count {LARGEST_VALUE}"
        )
    if last - first + 1 > LARGEST_SUPPORT:
        raise _fail(function, f"{last - first + 1} values exceed the limit of {LARGEST_SUPPORT}")


def _as_dict(first: int, weights: NDArray[np.float64]) -> dict[int, float]:
    """Weights of the values first, first + 1, ... as a normalised dict."""
    kept = np.flatnonzero(weights > 0)
    total = math.fsum(weights[kept].tolist())
    return {first + int(k): float(weights[k] / total) for k in kept}


def _cut(first: int, weights: NDArray[np.float64], tail: float) -> dict[int, float]:
    """Leaves out values at either end while the mass left out there stays
    below tail / 2 of the total, then normalises."""
    weights = weights / math.fsum(weights.tolist())
    # Cumulative sums never fall, so the values to leave out are a prefix.
    low = int(np.count_nonzero(np.cumsum(weights) < tail / 2))
    high = len(weights) - int(np.count_nonzero(np.cumsum(weights[::-1]) < tail / 2))
    return _as_dict(first + low, weights[low:high])


def _from_mode(mode: int, first: int, last: int, up: Any, down: Any) -> NDArray[np.float64]:
    """Unnormalised probabilities of first..last, built outwards from the mode
    by the ratios p(k + 1) / p(k) = up(k) and p(k - 1) / p(k) = down(k), so that
    no factorial or power of a large number is formed."""
    above = np.arange(mode, last, dtype=np.float64)
    below = np.arange(mode, first, -1, dtype=np.float64)
    with np.errstate(under="ignore"):
        upper = np.cumprod(up(above)) if len(above) else np.empty(0)
        lower = np.cumprod(down(below)) if len(below) else np.empty(0)
    return np.concatenate([lower[::-1], [1.0], upper])


def poisson(mean: float, *, tail: float = 1e-12) -> dict[int, float]:
    """Poisson distribution with the given mean, cut to leave out less than
    ``tail`` of the probability (in (0, 1))."""
    lam = _real("poisson", "mean", mean)
    if lam < 0:
        raise _fail("poisson", f"mean must be >= 0, got {lam}")
    cut = _tail("poisson", tail, allow_zero=False)
    if lam == 0:
        return {0: 1.0}
    spread = _WIDE * math.sqrt(lam) + _WIDE
    first, last = max(0, math.floor(lam - spread)), math.ceil(lam + spread)
    _check_support("poisson", first, last)
    weights = _from_mode(math.floor(lam), first, last, lambda k: lam / (k + 1), lambda k: k / lam)
    return _cut(first, weights, cut)


def binomial(n: int, p: float, *, tail: float = 0.0) -> dict[int, float]:
    """Number of successes in ``n`` independent trials of probability ``p``.
    With ``tail`` in (0, 1), less than that much is left out at the ends."""
    trials = _count("binomial", "n", n)
    prob = _probability("binomial", "p", p)
    cut = _tail("binomial", tail, allow_zero=True)
    if prob in (0.0, 1.0) or trials == 0:
        return {round(trials * prob): 1.0}
    spread = _WIDE * math.sqrt(trials * prob * (1 - prob)) + _WIDE
    first = max(0, math.floor(trials * prob - spread))
    last = min(trials, math.ceil(trials * prob + spread))
    _check_support("binomial", first, last)
    odds = prob / (1 - prob)
    mode = min(last, max(first, math.floor((trials + 1) * prob)))
    weights = _from_mode(
        mode,
        first,
        last,
        lambda k: (trials - k) / (k + 1) * odds,
        lambda k: k / ((trials - k + 1) * odds),
    )
    return _cut(first, weights, cut)


def geometric(p: float, *, start: int = 1, tail: float = 1e-12) -> dict[int, float]:
    """Number of trials up to and including the first success, each a success
    with probability ``p`` in (0, 1]: P(start + k) = p (1 - p)^k. With the
    default ``start`` of 1 it is a memoryless service duration of mean 1 / p;
    ``start=0`` counts the failures before the success. Less than ``tail`` is
    left out at the top."""
    prob = _probability("geometric", "p", p)
    if prob == 0:
        raise _fail("geometric", "p must be > 0")
    first = _count("geometric", "start", start)
    cut = _tail("geometric", tail, allow_zero=False)
    # (1 - p)^K, the mass from start + K on, is then below the tail.
    length = 1 if prob == 1 else math.floor(math.log(cut) / math.log1p(-prob)) + 1
    _check_support("geometric", first, first + length - 1)
    with np.errstate(under="ignore"):
        weights = prob * np.power(1 - prob, np.arange(length, dtype=np.float64))
    return _as_dict(first, weights)


def uniform(low: int, high: int) -> dict[int, float]:
    """Every whole number from ``low`` to ``high`` (both included) alike."""
    first = _count("uniform", "low", low)
    last = _count("uniform", "high", high)
    if last < first:
        raise _fail("uniform", f"high ({last}) is below low ({first})")
    _check_support("uniform", first, last)
    return _as_dict(first, np.ones(last - first + 1))


def deterministic(value: int) -> dict[int, float]:
    """All probability on one value."""
    return {_count("deterministic", "value", value): 1.0}


def _weights(function: str, weights: Any) -> NDArray[np.float64]:
    try:
        array = np.asarray(weights, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise _fail(function, f"weights must be real numbers ({exc})") from None
    if array.ndim != 1:
        raise _fail(function, f"weights must be one-dimensional, got shape {array.shape}")
    if len(array) == 0:
        raise _fail(function, "no weights given")
    if np.isnan(array).any():
        raise _fail(function, "a weight is NaN")
    if np.isinf(array).any():
        raise _fail(function, "a weight is infinite")
    if (array < 0).any():
        raise _fail(function, f"a weight is negative ({array[array < 0][0]})")
    if not (array > 0).any():
        raise _fail(function, "every weight is 0")
    return array


def from_weights(weights: ArrayLike, *, start: int = 0) -> dict[int, float]:
    """Weight ``i`` of a list or 1-D array belongs to the value ``start + i``;
    the weights are normalised, and values of weight 0 left out."""
    first = _count("from_weights", "start", start)
    array = _weights("from_weights", weights)
    _check_support("from_weights", first, first + len(array) - 1)
    return _as_dict(first, array)


def from_dict(pmf: Mapping[Any, Any]) -> dict[int, float]:
    """A mapping of values to weights (NumPy keys and weights welcome),
    checked, normalised and in increasing order of value."""
    if not isinstance(pmf, Mapping):
        raise TypeError(f"from_dict: expected a mapping, not {type(pmf).__name__}")
    return _from_pairs("from_dict", pmf.keys(), pmf.values())


def from_series(series: Any) -> dict[int, float]:
    """A pandas Series of weights indexed by value."""
    if not hasattr(series, "index") or not hasattr(series, "to_numpy"):
        raise TypeError(f"from_series: expected a pandas Series, not {type(series).__name__}")
    return _from_pairs("from_series", list(series.index), series.to_numpy())


def _from_pairs(function: str, keys: Iterable[Any], weights: Any) -> dict[int, float]:
    pmf = _checked_weights(function, keys, weights)
    total = math.fsum(pmf.values())
    return {value: weight / total for value, weight in pmf.items()}


def _checked_weights(function: str, keys: Iterable[Any], weights: Any) -> dict[int, float]:
    """Plain values and weights as given (not normalised), checked, in
    increasing order of value, without the weights of 0."""
    values = [_count(function, "a value", k) for k in keys]
    if len(set(values)) != len(values):
        raise _fail(function, "a value appears twice")
    array = _weights(function, list(weights))
    return {values[k]: float(array[k]) for k in np.argsort(values, kind="stable") if array[k] > 0}


def plain_weights(pmf: Mapping[Any, Any]) -> dict[int, float]:
    """The weights of a mapping as plain Python numbers, checked like
    ``from_dict`` but not normalised, so that a model normalises them exactly
    as it does a dict given to it directly."""
    if not isinstance(pmf, Mapping):
        raise TypeError(f"expected a mapping of values to weights, not {type(pmf).__name__}")
    return _checked_weights("a distribution", pmf.keys(), pmf.values())


_ROUNDINGS = {
    # Half a step up, so that 2.5 steps count as 3.
    "nearest": lambda x: np.floor(x + 0.5),
    # A sample within 1e-9 of a whole step counts as that step, so that
    # rounding error in the division does not add or lose a step.
    "up": lambda x: np.ceil(x - 1e-9),
    "down": lambda x: np.floor(x + 1e-9),
}


def empirical(
    samples: ArrayLike, *, step: float = 1.0, rounding: str = "nearest"
) -> dict[int, float]:
    """The observed frequencies of ``samples`` (a list, array or Series of
    durations or counts) measured in steps of length ``step``: each sample is
    divided by ``step`` and rounded to a whole number of steps, to the
    ``"nearest"`` (halves up), ``"up"`` or ``"down"``. Service durations must
    come out at 1 step or more: ``rounding="up"`` gives every sample of
    positive length at least one step."""
    length = _real("empirical", "step", step)
    if length <= 0:
        raise _fail("empirical", f"step must be > 0, got {length}")
    if rounding not in _ROUNDINGS:
        raise _fail("empirical", f"rounding must be one of {sorted(_ROUNDINGS)}, got {rounding!r}")
    try:
        data = np.asarray(samples, dtype=np.float64).ravel()
    except (TypeError, ValueError) as exc:
        raise _fail("empirical", f"samples must be real numbers ({exc})") from None
    if len(data) == 0:
        raise _fail("empirical", "the sample is empty")
    if np.isnan(data).any():
        raise _fail("empirical", "a sample is NaN")
    if np.isinf(data).any():
        raise _fail("empirical", "a sample is infinite")
    if (data < 0).any():
        raise _fail("empirical", f"a sample is negative ({data[data < 0][0]})")
    steps = _ROUNDINGS[rounding](data / length)
    if steps.max() > LARGEST_VALUE:
        raise _fail(
            "empirical", f"a sample of {steps.max():.0f} steps exceeds the models' largest count"
        )
    values, counts = np.unique(steps.astype(np.int64), return_counts=True)
    return {int(v): float(c / len(data)) for v, c in zip(values, counts)}
