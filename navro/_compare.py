"""How far one run of a model is from another, beside the noise of the
comparison: the model's trajectory against a simulation of the real system,
two simulations, or two models.

``compare(a, b)`` sets two trajectories of the same rows side by side: per
row (and node) the total-variation distance between their distributions of
the number present, the difference of every measure, and for each the
level that chance alone would reach, so that an exact model stays within it.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro._common import LIMIT_MEASURES, MEASURES, shown
from navro.simulation import _normal_quantile, _t_quantile, count_error, count_reach
from navro.trajectories import Trajectory, _optional

__all__ = ["Comparison", "compare"]

# The measures every trajectory has, and those of the waits, which a run
# records only with a wait horizon.
_WAITS = ("prob_wait", "mean_wait", "wait_beyond")
# The losses of a run with patience or a capacity, where both runs give
# them: entities per row, and the chance that an arrival gives up.
_LOSSES = ("blocked", "abandonments", "wait_abandoned")
# The measures derived from the losses are compared through them.
_MEASURES = tuple(name for name in MEASURES if name not in _WAITS + _LOSSES + LIMIT_MEASURES)
# Measures per arrival: their least noise follows the number of arrivals,
# or of those not lost for the measures over the served.
_PER_ARRIVAL = frozenset(
    {
        "prob_wait",
        "wait_beyond",
        "mean_wait",
        "wait_abandoned",
        "prob_blocked",
        "prob_abandon",
        "service_level",
        "service_level_served",
    }
)
_OVER_SERVED = frozenset({"mean_wait", "service_level_served"})

# Every noise also allows for rounding and for the tail cut of a computed
# run, which moves its probabilities by up to a few millionths over
# thousands of steps: this much of the values compared, and at least this
# much.
_FLOOR = 1e-5


@dataclass(frozen=True, eq=False)
class Comparison:
    """Two trajectories of the same rows side by side (``navro.compare``).

    Arrays have one entry per row (times), and for a network one column per
    node.

    - ``tv``: the total-variation distance between the two distributions of
      the number present (half the summed absolute differences: the most by
      which the probability of any event differs), a probability.
    - ``differences[measure]``: the first's value less the second's, in the
      measure's unit (entities, steps or probability); with ``within``, the
      service levels too (``"service_level"``, ``"service_level_served"``).
    - ``tv_noise``, ``noise[measure]``: what chance alone reaches with
      probability ``level``: for a difference, the two-sided bound on its
      absolute value; for the distance, the one-sided bound on it. Where
      both were computed rather than simulated, 0. A figure beyond its noise
      (``beyond_noise()``) is a real difference, at that level. Each noise
      also allows a hundred-thousandth of the values compared (at least
      1e-5), for rounding and for the tail cut of a computed run.

    The noise of a measure of the number present is taken from the two
    runs' distributions pooled (the first's alone, where it is computed), as
    if both drew from it, with room for the few runs that chance alone makes
    of counts too rare for a normal bound; that of the others from each
    run's own standard errors (with Student's t quantile of the fewer runs
    less one degrees of freedom, as they are estimated from them), never
    less than what chance alone leaves
    over the arrivals (or runs), for what a simulation did not see: a
    binomial error for a share, the least spread of whole numbers of the
    same mean for a mean of them, and for the mean wait beside a computed
    run, the spread of that run's waits.
    """

    times: NDArray[np.int64]
    tv: NDArray[np.float64]
    tv_noise: NDArray[np.float64]
    differences: Mapping[str, NDArray[np.float64]]
    noise: Mapping[str, NDArray[np.float64]]
    level: float
    is_network: bool

    @property
    def measures(self) -> tuple[str, ...]:
        """The measures compared, in the order of ``to_pandas()``."""
        return tuple(self.differences)

    def beyond_noise(self) -> dict[str, NDArray[np.bool_]]:
        """Per measure, and ``"tv"`` for the distance, where the figure lies
        beyond its noise (NaN figures never do)."""
        beyond = {"tv": self.tv > self.tv_noise}
        for name, difference in self.differences.items():
            beyond[name] = np.abs(difference) > self.noise[name]
        return beyond

    def to_pandas(self) -> Any:
        """The table: ``tv`` and ``tv_noise``, then per measure its difference
        and ``<measure>_noise``, indexed by time (and node for a network).
        Needs pandas (navro's 'pandas' extra)."""
        pd = _optional("pandas", "pandas", "Comparison.to_pandas()")
        columns: dict[str, NDArray[Any]] = {"tv": self.tv, "tv_noise": self.tv_noise}
        for name in self.differences:
            columns[name] = self.differences[name]
            columns[f"{name}_noise"] = self.noise[name]
        if not self.is_network:
            return pd.DataFrame(columns, index=pd.Index(self.times, name="time"))
        nodes = self.tv.shape[1]
        flat = {name: values.reshape(-1) for name, values in columns.items()}
        index = pd.MultiIndex.from_product([self.times, range(nodes)], names=["time", "node"])
        return pd.DataFrame(flat, index=index)

    def __repr__(self) -> str:
        if len(self.times) == 0:
            return "<navro.Comparison: no rows>"
        worst = int(np.nanargmax(self.tv.max(axis=1) if self.tv.ndim == 2 else self.tv))
        beyond = [name for name, flags in self.beyond_noise().items() if flags.any()]
        return (
            f"<navro.Comparison: {len(self.times)} rows, largest distance "
            f"{np.nanmax(self.tv):.4g} at time {self.times[worst]}; beyond the "
            f"{self.level:.0%} noise: {', '.join(beyond) or 'nothing'}>"
        )


Comparison.__module__ = "navro"


def compare(
    a: Trajectory, b: Trajectory, *, level: float = 0.99, within: int | Any | None = None
) -> Comparison:
    """Sets trajectory ``a`` beside trajectory ``b``, row by row: the
    total-variation distance of the number present (per node for a
    network), the difference ``a - b`` of every measure, and the noise of
    each at ``level``.

    ``truth = navro.simulate(m, day, runs=20_000)``, then
    ``navro.compare(navro.trajectory(m, day), truth)``, tells how far the
    model is from the real system on that day (the simulation first: it only
    reads the model, which the trajectory leaves at the end of the day):
    where the model is exact, every figure stays within its noise (at level
    0.99, one figure in a hundred does not, by chance).

    Parameters
    ----------
    a, b : Trajectory
        Runs of the same rows (equal ``times``), of the same kind of model.
    level : float
        The probability with which chance alone stays within the noise.
    within : int, duration or None
        A threshold (steps, or a duration on ``a``'s clock) within the wait
        horizons of both runs: the service level within it is compared too,
        over every arrival (``"service_level"``) and, where a run has
        patience or a capacity, over the arrivals not lost
        (``"service_level_served"``, the ``among="served"`` form).

    Returns
    -------
    Comparison

    Raises
    ------
    ValueError
        Trajectories of different rows or models, a level outside (0, 1),
        or a threshold that a run recorded no waits for.
    """
    for run in (a, b):
        if not isinstance(run, Trajectory):
            raise TypeError(f"compare: a and b must be Trajectories, got {shown(run)}")
    confidence = float(level)
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"compare: level must lie in (0, 1), got {confidence}")
    if a.is_network != b.is_network or a.number_of_nodes != b.number_of_nodes:
        raise ValueError("compare: the trajectories are of different models")
    if len(a) != len(b) or not np.array_equal(a.times, b.times):
        raise ValueError("compare: the trajectories have different rows (times)")
    two_sided = _normal_quantile(0.5 + confidence / 2)
    one_sided = _normal_quantile(confidence)
    # The runs' own standard errors are estimated from their runs: with few
    # runs Student's t, of the fewer runs' degrees of freedom, allows for it.
    simulated = [run.runs for run in (a, b) if run.runs is not None]
    estimated = _t_quantile(0.5 + confidence / 2, min(simulated) - 1 if simulated else None)

    counts, pa, pb = _aligned(a, b)
    shares = _shares(a.runs, b.runs)  # 1/runs of each, 0 where computed
    if shares[0] == 0:
        reference = pa
    elif shares[1] == 0:
        reference = pb
    else:
        reference = (pa / shares[0] + pb / shares[1]) / (1 / shares[0] + 1 / shares[1])
    scale = shares[0] + shares[1]

    tv = 0.5 * np.abs(pa - pb).sum(axis=2)
    # Per count, the difference of two frequencies that chance alone makes
    # has variance v; its absolute value averages sqrt(2 v / pi), as a
    # normal one does, but never more than twice the probability, which is
    # the bound for rare counts. The distance, a sum of many such terms, is
    # taken as normal. With few counts the terms move together (the
    # differences sum to 0; with two counts the distance is the one
    # difference) and the distance is bounded as one difference of all the
    # variance shared by two.
    variance = np.maximum(reference * (1 - reference), 0.0) * scale
    absolute = np.minimum(np.sqrt(2 * variance / math.pi), 2 * reference)
    spread = np.sqrt(np.maximum(variance - absolute**2, 0.0).sum(axis=2))
    many = 0.5 * (absolute.sum(axis=2) + one_sided * spread)
    few = two_sided * np.sqrt(variance.sum(axis=2) / 2)
    tv_noise = np.maximum(many, few) + _FLOOR

    differences: dict[str, NDArray[np.float64]] = {}
    noise: dict[str, NDArray[np.float64]] = {}
    same_servers = np.array_equal(a._servers, b._servers)
    waits = a._waits is not None and b._waits is not None
    losses = tuple(name for name in _LOSSES if _has(a, name) and _has(b, name))
    measured: dict[str, tuple[str, dict[str, Any]]] = {
        name: (name, {}) for name in _MEASURES + (_WAITS if waits else ()) + losses
    }
    if within is not None:
        measured.update(_service_levels(a, b, within))
    for name, (attribute, keywords) in measured.items():
        first, second = _value(a, attribute, keywords), _value(b, attribute, keywords)
        with np.errstate(invalid="ignore"):  # infinite mean waits on both sides
            difference = np.asarray(first - second, dtype=np.float64)
        floor = _FLOOR * np.maximum(1.0, np.maximum(np.abs(first), np.abs(second)))
        error = None
        rare: float | NDArray[np.float64] = 0.0
        if same_servers and scale > 0:
            cells = np.broadcast_to(counts, reference.shape)
            error = count_error(reference, cells, a._servers, 1 / scale, attribute)
            if error is not None:
                error = np.where(np.isnan(difference), math.nan, error)
                # Counts too rare for the normal bound: chance alone makes up
                # to about (z^2 + 2) / 3 runs of them where one is expected.
                reach = count_reach(reference, cells, a._servers, attribute, (pa > 0) | (pb > 0))
                if reach is not None:
                    rare = (two_sided**2 + 2) / 3 * reach * scale
        quantile = two_sided
        if error is None:
            error = np.hypot(_error(a, attribute, keywords), _error(b, attribute, keywords))
            error = np.maximum(error, _least_error(a, b, name, shares, first, second))
            quantile = estimated
        bound = quantile * np.asarray(error) + rare + floor
        if name == "std" and scale > 0:
            # Where the first-order error vanishes (two counts equally likely)
            # the sample variance still falls short, by up to the squared
            # error of the mean: z^2 m2 / runs, so z^2 s / (2 runs) in s.
            bound = (
                bound
                + two_sided**2 * np.nan_to_num(_value(a if shares[0] == 0 else b, name)) * scale / 2
            )
        differences[name] = _per_node(difference, a.is_network)
        noise[name] = _per_node(bound, a.is_network)
    return Comparison(
        times=a.times,
        tv=_per_node(tv, a.is_network),
        tv_noise=_per_node(tv_noise, a.is_network),
        differences=differences,
        noise=noise,
        level=confidence,
        is_network=a.is_network,
    )


def _least_error(
    a: Trajectory,
    b: Trajectory,
    name: str,
    shares: tuple[float, float],
    first: NDArray[np.float64],
    second: NDArray[np.float64],
) -> NDArray[np.float64]:
    """What chance alone leaves at least in the difference of a measure that
    the runs' own standard errors may put at 0: a simulation that never saw
    a rare event (a long wait, a completion), or whose few runs all saw the
    same whole number, has no spread of it. The measure's value is that of
    the computed run where there is one, else the mean of both; a share p of
    n arrivals (or runs) then varies by at least p (1 - p) / n, and a mean m
    of n whole numbers (waits of the served, entities of a run) by at least
    f (1 - f) / n, f the fractional part of m: no whole numbers of mean m
    spread less than those on either side of it. A computed run knows the
    spread of its waits too, which a few served arrivals may all miss."""
    if shares[0] == 0:
        value = first
    elif shares[1] == 0:
        value = second
    else:
        value = (first + second) / 2
    with np.errstate(invalid="ignore"):  # infinite mean waits: nothing to spread
        fraction = value if name == "std" else value - np.floor(value)
    spread = np.maximum(fraction * (1 - fraction), 0.0)
    if name == "mean_wait" and 0.0 in shares:
        spread = np.maximum(spread, _wait_spread(a if shares[0] == 0 else b))
    per_run = np.zeros_like(value)
    for run, share in zip((a, b), shares):
        if share == 0:
            continue
        if name in _PER_ARRIVAL:
            among = _value(run, "throughput" if name in _OVER_SERVED else "arrivals")
            with np.errstate(invalid="ignore", divide="ignore"):
                per_run = per_run + share / among
        else:
            per_run = per_run + share
    with np.errstate(invalid="ignore"):  # no arrivals, and nothing to spread
        return np.sqrt(np.nan_to_num(spread * per_run))


def _wait_spread(run: Trajectory) -> NDArray[np.float64]:
    """The variance (steps squared) of a served arrival's wait in a computed
    run, rows x nodes, a wait beyond the horizon counted as one step beyond
    it: that moves it closer to the others, so the variance is at most the
    true one."""
    assert run._waits is not None
    cells = np.concatenate([run._waits, run._beyond[..., None]], axis=2)
    waits = np.arange(cells.shape[2], dtype=np.float64)
    served = cells.sum(axis=2)
    with np.errstate(invalid="ignore", divide="ignore"):  # rows without arrivals
        mean = cells @ waits / served
        variance = cells @ waits**2 / served - mean**2
    return np.asarray(np.nan_to_num(np.maximum(variance, 0.0)), dtype=np.float64)


def _service_levels(
    a: Trajectory, b: Trajectory, within: Any
) -> dict[str, tuple[str, dict[str, Any]]]:
    """The service levels that ``within`` asks to compare: over the offered,
    and over the served where a run may lose arrivals."""
    tau = a._steps_within(within, "compare")
    levels: dict[str, tuple[str, dict[str, Any]]] = {
        "service_level": ("service_level", {"within": tau})
    }
    if any(run._blocked is not None or run._abandoned is not None for run in (a, b)):
        levels["service_level_served"] = ("service_level", {"within": tau, "among": "served"})
    return levels


def _shares(*runs: int | None) -> tuple[float, float]:
    first, second = (0.0 if r is None else 1.0 / r for r in runs)
    return first, second


def _aligned(
    a: Trajectory, b: Trajectory
) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    """Both runs' probabilities (rows x nodes x counts) over one range of
    counts."""
    lowest = min(int(a.counts[0]) if len(a.counts) else 0, int(b.counts[0]) if len(b.counts) else 0)
    highest = max(lowest + 1, *(int(run.counts[-1]) + 1 for run in (a, b) if len(run.counts)))

    def widened(run: Trajectory) -> NDArray[np.float64]:
        dense = run.probabilities
        if not run.is_network:
            dense = dense[:, None, :]
        out = np.zeros((*dense.shape[:2], highest - lowest))
        if len(run.counts):
            start = int(run.counts[0]) - lowest
            out[:, :, start : start + dense.shape[2]] = dense
        return out

    return np.arange(lowest, highest, dtype=np.int64), widened(a), widened(b)


def _has(run: Trajectory, name: str) -> bool:
    """Whether the run gives the measure."""
    try:
        return getattr(run, name) is not None
    except (AttributeError, ValueError):
        return False


def _value(
    run: Trajectory, name: str, keywords: dict[str, Any] | None = None
) -> NDArray[np.float64]:
    """The measure (a method called with ``keywords``), rows x nodes."""
    value = getattr(run, name)
    value = np.asarray(value(**keywords) if keywords else value, dtype=np.float64)
    return value if run.is_network else value[:, None]


def _error(run: Trajectory, name: str, keywords: dict[str, Any]) -> NDArray[np.float64]:
    """The measure's standard error, rows x nodes."""
    error = run.standard_error(name, **keywords)
    return error if run.is_network else error[:, None]


def _per_node(values: NDArray[Any], network: bool) -> NDArray[Any]:
    values = np.asarray(values)
    values.flags.writeable = False
    return values if network else values[:, 0]
