"""Distributions for the models, from parameters or from data.

Every constructor returns the plain dict that the models take, ``{value:
probability}``: Python ints mapped to Python floats, in increasing order of
value, summing to 1, without values of probability 0 (the models would drop
them). Arguments may be Python or NumPy numbers and arrays.

Distributions without a last value (Poisson, geometric) are cut: values are
left out at either end while what is left out there stays below ``tail / 2``,
so the values left out hold less than ``tail`` of the probability in all, and
the rest is renormalised. Every bad input (a negative value, NaN, an empty
sample, a parameter out of range, a value of the wrong type) raises
ValueError naming the constructor, what it expected and what it got.
"""

from __future__ import annotations

import datetime
import importlib
import math
import numbers
import operator
from collections.abc import Iterable, Mapping
from typing import Any, Literal

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


def _shown(x: Any) -> str:
    """An argument as an error message shows it: its repr (a NumPy number's
    as a Python one), cut if long."""
    if isinstance(x, np.generic) and x.dtype.kind in "biufcUS":
        x = x.item()
    text = repr(x)
    return text if len(text) <= 60 else f"{text[:40]}... ({len(text)} characters)"


def _got(x: Any) -> str:
    if isinstance(x, (numbers.Number, np.generic)):
        return f"got {_shown(x)}"
    return f"got {_shown(x)} ({type(x).__name__})"


def _real(function: str, name: str, x: Any) -> float:
    if isinstance(x, np.ndarray) and x.ndim == 0:
        x = x[()]  # a NumPy number in an array of no dimensions
    if not isinstance(x, numbers.Real):
        raise _fail(function, f"{name} must be a real number, {_got(x)}")
    try:
        value = float(x)
    except OverflowError:
        value = math.inf
    if not math.isfinite(value):
        raise _fail(function, f"{name} must be finite, {_got(x)}")
    return value


def _probability(function: str, name: str, x: Any) -> float:
    value = _real(function, name, x)
    if not 0.0 <= value <= 1.0:
        raise _fail(function, f"{name} must lie in [0, 1], {_got(x)}")
    return value


def _count(function: str, name: str, x: Any) -> int:
    """A whole number from 0 to the largest count the models hold."""
    value = _whole(function, name, x)
    if not 0 <= value <= LARGEST_VALUE:
        raise _fail(function, f"{name} must lie in 0..{LARGEST_VALUE}, {_got(x)}")
    return value


def _whole(function: str, name: str, x: Any) -> int:
    try:
        return operator.index(x)
    except TypeError:
        pass
    value = _real(function, name, x)
    if not value.is_integer():
        raise _fail(function, f"{name} must be a whole number, {_got(x)}")
    return int(value)


def _tail(function: str, x: Any, allow_zero: bool) -> float:
    value = _real(function, "tail", x)
    if not (0.0 <= value < 1.0 if allow_zero else 0.0 < value < 1.0):
        bounds = "[0, 1)" if allow_zero else "(0, 1)"
        raise _fail(function, f"tail must lie in {bounds}, {_got(x)}")
    return value


def _check_support(function: str, first: float, last: float) -> None:
    """Refuses values first..last beyond the models' counts or too many of
    them; the bounds may be floats of any size, infinities included."""
    if last > LARGEST_VALUE:
        shown = f"{last:.6g}" if isinstance(last, float) else f"{last}"
        raise _fail(
            function, f"values up to {shown} exceed the models' largest count {LARGEST_VALUE}"
        )
    if last - first + 1 > LARGEST_SUPPORT:
        raise _fail(
            function, f"{last - first + 1:.0f} values exceed the limit of {LARGEST_SUPPORT}"
        )


def _normalised(weights: NDArray[np.float64]) -> NDArray[np.float64]:
    """Finite weights of at least 0, not all 0, divided by their total. A
    total beyond the largest double is avoided by scaling them down first."""
    try:
        total = math.fsum(weights.tolist())
    except OverflowError:
        total = math.inf
    if not math.isfinite(total):
        weights = weights / weights.max()
        total = math.fsum(weights.tolist())
    return weights / total


def _as_dict(first: int, weights: NDArray[np.float64]) -> dict[int, float]:
    """Weights of the values first, first + 1, ... as a normalised dict,
    without the values whose probability is, or comes out, 0."""
    probabilities = _normalised(weights)
    return {first + int(k): float(probabilities[k]) for k in np.flatnonzero(probabilities > 0)}


def _cut(first: int, weights: NDArray[np.float64], tail: float) -> dict[int, float]:
    """Leaves out values at either end while the mass left out there stays
    below tail / 2 of the total, then normalises."""
    weights = _normalised(weights)
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
        raise _fail("poisson", f"mean must be >= 0, {_got(mean)}")
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
        raise _fail("geometric", f"p must be > 0, {_got(p)}")
    first = _count("geometric", "start", start)
    cut = _tail("geometric", tail, allow_zero=False)
    # (1 - p)^K, the mass from start + K on, is then below the tail; for a
    # tiny p, K may be too large for any float, let alone a dict.
    length = 1.0 if prob == 1 else math.log(cut) / math.log1p(-prob) + 1
    if math.isfinite(length):
        length = math.floor(length)
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


def _reals(function: str, name: str, values: Any) -> NDArray[np.float64]:
    """Real numbers of a list, array or Series as float64: complex numbers,
    text, durations and other objects are refused, never converted."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError, OverflowError) as exc:
        raise _fail(function, f"{name} must be real numbers, {_got(values)}: {exc}") from None
    if array.dtype.kind in "biuf":
        return array.astype(np.float64)
    if array.dtype.kind == "O":
        flat = array.ravel()
        for x in flat:
            if not isinstance(x, numbers.Real):
                raise _fail(function, f"{name} must be real numbers, one is {_shown(x)}")
        try:
            return np.array([float(x) for x in flat], dtype=np.float64).reshape(array.shape)
        except OverflowError:
            big = next(x for x in flat if not math.isfinite(_float_or_inf(x)))
            raise _fail(function, f"{name} must be finite, one is {_shown(big)}") from None
    kinds = {"c": "a complex number", "m": "a duration", "M": "a date", "U": "text", "S": "text"}
    kind = kinds.get(array.dtype.kind, f"of type {array.dtype}")
    first = _shown(array.ravel()[0]) if array.size else "none"
    raise _fail(function, f"{name} must be real numbers, got {kind} ({first})")


def _float_or_inf(x: Any) -> float:
    try:
        return float(x)
    except OverflowError:
        return math.inf


def _weights(function: str, weights: Any) -> NDArray[np.float64]:
    array = _reals(function, "weights", weights)
    if array.ndim != 1:
        raise _fail(function, f"weights must be one-dimensional, got shape {array.shape}")
    if len(array) == 0:
        raise _fail(function, "no weights given")
    if np.isnan(array).any():
        raise _fail(function, "a weight is NaN")
    if np.isinf(array).any():
        raise _fail(function, f"a weight is infinite ({array[np.isinf(array)][0]})")
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
        raise _fail("from_dict", f"expected a mapping of values to weights, {_got(pmf)}")
    return _from_pairs("from_dict", pmf.keys(), pmf.values())


def from_series(
    series: Any, *, of: Literal["weights", "samples"] | None = None
) -> dict[int, float]:
    """A pandas Series as a distribution.

    Parameters
    ----------
    series : pandas.Series
        Weights indexed by value, as ``value_counts()`` gives them, or samples
        of whole values (counts, or durations in steps).
    of : {"weights", "samples"}, optional
        What the Series holds. Without it, weights indexed by value, except
        for a Series with the default index 0, 1, ..., n - 1, which is what
        ``pd.Series(samples)`` makes: that one is ambiguous and refused. For
        samples that need rounding to whole steps, or durations as timedeltas,
        use ``empirical``.

    Returns
    -------
    dict
        ``{value: probability}``, normalised, in increasing order of value.
    """
    if not hasattr(series, "index") or not hasattr(series, "to_numpy"):
        raise _fail("from_series", f"expected a pandas Series, {_got(series)}")
    if of not in ("weights", "samples", None):
        raise _fail("from_series", f'of must be "weights" or "samples", {_got(of)}')
    if of is None and _default_index(series.index):
        raise _fail(
            "from_series",
            "the series has the default index 0, 1, ..., n - 1, so it may hold samples as "
            'well as weights indexed by value: say which with of="samples" or of="weights"',
        )
    if of == "samples":
        return _from_samples("from_series", series.to_numpy())
    return _from_pairs("from_series", list(series.index), series.to_numpy())


def _default_index(index: Any) -> bool:
    return (
        type(index).__name__ == "RangeIndex"
        and getattr(index, "start", None) == 0
        and getattr(index, "step", None) == 1
    )


def _from_samples(function: str, samples: Any) -> dict[int, float]:
    data = _reals(function, "samples", samples).ravel()
    _check_samples(function, data)
    if not (np.floor(data) == data).all():
        fraction = data[np.floor(data) != data][0]
        raise _fail(function, f"samples must be whole numbers, one is {fraction}")
    return _frequencies(function, data)


def _check_samples(function: str, data: NDArray[np.float64]) -> None:
    if len(data) == 0:
        raise _fail(function, "the sample is empty")
    if np.isnan(data).any():
        raise _fail(function, "a sample is NaN")
    if np.isinf(data).any():
        raise _fail(function, "a sample is infinite")
    if (data < 0).any():
        raise _fail(function, f"a sample is negative ({data[data < 0][0]})")


def _frequencies(function: str, steps: NDArray[np.float64]) -> dict[int, float]:
    """The frequencies of whole numbers of at least 0."""
    if steps.max() > LARGEST_VALUE:
        raise _fail(
            function, f"a sample of {steps.max():.0f} steps exceeds the models' largest count"
        )
    values, counts = np.unique(steps.astype(np.int64), return_counts=True)
    return {int(v): float(c / len(steps)) for v, c in zip(values, counts)}


def _from_pairs(function: str, keys: Iterable[Any], weights: Any) -> dict[int, float]:
    pmf = _checked_weights(function, keys, weights)
    values = list(pmf)
    probabilities = _normalised(np.array(list(pmf.values()), dtype=np.float64))
    return {v: float(p) for v, p in zip(values, probabilities) if p > 0}


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
        raise TypeError(f"expected a mapping of values to weights, {_got(pmf)}")
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
    samples: ArrayLike, *, step: Any = 1.0, rounding: str = "nearest"
) -> dict[int, float]:
    """The observed frequencies of ``samples`` measured in steps of length
    ``step``.

    Parameters
    ----------
    samples : list, array or pandas Series
        Counts, or durations: numbers in some unit, or timedeltas
        (``datetime.timedelta``, NumPy ``timedelta64``, pandas ``Timedelta``).
    step : number or timedelta
        The length of a step, in the samples' unit: a number for numbers; for
        timedeltas a timedelta, or a string pandas reads as one ("30s").
    rounding : {"nearest", "up", "down"}
        How a sample divided by ``step`` becomes a whole number of steps: to
        the nearest (halves up), up or down. A sample of positive length that
        would round to 0 steps, a duration no service can have, is refused
        (``rounding="up"`` gives every one at least a step), and so is a
        timedelta of 0. A number 0 stays 0: it is a count.

    Returns
    -------
    dict
        ``{steps: frequency}`` in increasing order of value.
    """
    if rounding not in _ROUNDINGS:
        raise _fail("empirical", f"rounding must be one of {sorted(_ROUNDINGS)}, {_got(rounding)}")
    durations = _durations(samples)
    if durations is None:
        if _is_duration(step):
            raise _fail(
                "empirical",
                f"the samples are numbers, so step must be a number in their unit, {_got(step)}",
            )
        length = _real("empirical", "step", step)
        if length <= 0:
            raise _fail("empirical", f"step must be > 0, {_got(step)}")
        data = _reals("empirical", "samples", samples).ravel()
        _check_samples("empirical", data)
        ratios = data / length
    else:
        if np.isnan(durations).any():
            raise _fail("empirical", "a sample is missing (NaT)")
        data = durations
        ratios = durations / _step_nanoseconds(step)
        _check_samples("empirical", ratios)
        if (ratios == 0).any():
            raise _fail("empirical", "a duration is 0, which no service can have")
    steps = _ROUNDINGS[rounding](ratios)
    vanished = (ratios > 0) & (steps == 0)
    if vanished.any():
        k = int(np.flatnonzero(vanished)[0])
        short: Any = float(data[k])
        if durations is not None:
            short = datetime.timedelta(microseconds=short / 1e3)
        raise _fail(
            "empirical",
            f"the sample {short} rounds to 0 steps of {step}, a duration no service can have: "
            'use rounding="up", or a shorter step',
        )
    return _frequencies("empirical", steps)


def _is_duration(x: Any) -> bool:
    return isinstance(x, (datetime.timedelta, np.timedelta64, str))


def _durations(samples: Any) -> NDArray[np.float64] | None:
    """Samples that are timedeltas, in nanoseconds (NaN where one is missing);
    None for samples that are not."""
    try:
        array = np.asarray(samples)
    except (TypeError, ValueError, OverflowError):
        return None
    if array.dtype.kind == "m":
        flat = array.ravel()
        nanoseconds = flat / np.timedelta64(1, "ns")
        return np.where(np.isnat(flat), np.nan, nanoseconds)
    if array.dtype.kind != "O" or array.size == 0:
        return None
    flat = array.ravel()
    if not any(isinstance(x, (datetime.timedelta, np.timedelta64)) for x in flat):
        return None
    values = []
    for x in flat:
        if not isinstance(x, (datetime.timedelta, np.timedelta64)):
            raise _fail("empirical", f"samples mix timedeltas and other values, one is {_shown(x)}")
        values.append(_nanoseconds(x))
    return np.array(values, dtype=np.float64)


def _nanoseconds(x: datetime.timedelta | np.timedelta64) -> float:
    """A timedelta as nanoseconds, exactly as far as a float holds them; NaN
    for a missing one (NaT)."""
    if isinstance(x, np.timedelta64):
        return math.nan if np.isnat(x) else float(x / np.timedelta64(1, "ns"))
    whole = (x.days * 86_400 + x.seconds) * 10**6 + x.microseconds
    return float(whole * 1000 + getattr(x, "nanoseconds", 0))


def _step_nanoseconds(step: Any) -> float:
    if isinstance(step, str):
        try:
            pandas = importlib.import_module("pandas")
        except ImportError as exc:
            raise ImportError(
                "empirical reads a step given as text with pandas, which is not installed: "
                "install navro's 'pandas' extra (pip install 'navro[pandas]'), or give a "
                "datetime.timedelta"
            ) from exc
        try:
            step = pandas.Timedelta(step)
        except ValueError:
            raise _fail(
                "empirical", f"step is not a duration pandas can read, {_got(step)}"
            ) from None
    if not isinstance(step, (datetime.timedelta, np.timedelta64)):
        raise _fail(
            "empirical", f"the samples are durations, so step must be one too, {_got(step)}"
        )
    if isinstance(step, np.timedelta64) and np.datetime_data(step.dtype)[0] in (
        "Y",
        "M",
        "generic",
    ):
        raise _fail("empirical", f"step must have a fixed length, {_got(step)}")
    length = _nanoseconds(step)
    if not length > 0:
        raise _fail("empirical", f"step must be longer than 0, {_got(step)}")
    return length
