"""The real system, simulated: many runs of the first-come-first-served queue,
entity by entity, under the same schedules, clock and step as
``navro.trajectory``, recorded as a ``Trajectory`` whose every measure comes
with its Monte Carlo standard error.

``simulate(model, schedule, runs=..., seed=...)`` reads the model's
configuration and state and leaves the model as it was. Where the maps are
exact (one server, or geometric services), a simulation agrees with them
within its noise; elsewhere it is the truth the maps approximate, which
``navro.compare`` sets beside them.
"""

from __future__ import annotations

import copy
import hashlib
import inspect
import math
import operator
import os
import secrets
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro import _core
from navro._common import (
    ARRIVAL_MEASURES,
    Model,
    Period,
    apply,
    check_model,
    check_routing,
    frozen,
    periods,
    servers_of,
    settings,
    shown,
    whole,
)
from navro._core import StandardNetworkMultiserver
from navro.clock import Clock
from navro.trajectories import (
    DEFAULT_WAIT_HORIZON,
    Trajectory,
    _arrival_fields,
    _horizon,
    _recorded_steps,
    _wrapped,
)

__all__ = ["RosterCheck", "simulate"]

Seed = int | Sequence[int] | None


def simulate(
    model: Model,
    schedule: int | Any | Sequence[Period],
    *,
    runs: int,
    seed: Seed = None,
    every: int = 1,
    threads: int | None = None,
    wait_horizon: int | Any | None = DEFAULT_WAIT_HORIZON,
    clock: Clock | None = None,
) -> Trajectory:
    """Simulates ``runs`` independent runs of the real first-come-first-served
    system through ``schedule`` and records them as a ``Trajectory``.

    Each server has its own remaining service time and each entity of a
    network is routed on its own, with the timing of every step that
    ``navro.trajectory`` follows. Each run starts from a draw of the model's
    state: the number present at each node, then, for each busy server (as
    many as the first step's servers allow), a remaining time of its own,
    drawn from the state's distribution of the remaining time given that
    number. Each waiting entity gives up with the model's abandonment
    probability in every step it begins in line, and arrivals beyond the
    capacity are lost, in the order of ``navro.trajectory``'s step. The model
    is left as it was.

    Parameters
    ----------
    model : StandardMultiserver or StandardNetworkMultiserver
        Gives the configuration and the state the runs start from.
    schedule : int, duration or sequence of Period
        As for ``navro.trajectory``.
    runs : int
        Independent runs; the standard errors fall as one over its square
        root.
    seed : int, sequence of int, or None
        Fixes every random number: the same seed and runs give the same
        result, bit for bit, whatever the number of threads or the machine.
        A sequence such as ``(study, scenario)`` gives each scenario of a
        sweep a stream of its own. None draws a fresh seed, which the result
        keeps in ``seed``.
    every : int
        Record every ``every``-th step only (steps), counted from the start.
    threads : int or None
        Threads that share the runs (None: every core this process may use).
        Threads beyond the machine's cores run no faster and each keeps sums
        of its own: they are used only while all the threads' sums fit in a
        gigabyte, else the cores' number is.
    wait_horizon : int, duration or None
        As for ``navro.trajectory``: the longest wait (steps) whose
        probability is recorded; None records the arrivals alone.
    clock : navro.Clock, optional
        As for ``navro.trajectory``.

    Returns
    -------
    Trajectory
        The frequencies of the number present at every recorded row, every
        measure estimated from the runs, ``runs``, ``seed``, and
        ``standard_error(measure)`` and ``interval(measure)`` for each
        measure. The arrival measures come from the simulated entities' own
        waits: after the last step the servers work off the line, nothing
        arriving any more, until every arrival of a recorded row has been
        taken into service (or has given up), so no wait is cut short.
        Where the model has patience or a capacity, ``blocked`` and
        ``abandonments`` (entities per row) and ``wait_abandoned`` (the
        chance that an arrival gives up) come too; ``wait_probabilities``
        are then those of being served after w steps, and ``mean_wait`` is
        over the arrivals served.

    Raises
    ------
    ValueError, TypeError
        A schedule, runs, seed, every, threads or horizon that is not
        valid, before anything runs.
    navro.error
        A setting that the model's step refuses (negative servers, ...), or
        another thread's call on the model under way.
    KeyboardInterrupt
        Ctrl-C, within a few milliseconds, with every thread; the model is
        unchanged.
    """
    check_model(model, "simulate")
    if clock is not None and not isinstance(clock, Clock):
        raise TypeError(f"simulate: clock must be a navro.Clock, got {shown(clock)}")
    plan = periods(schedule, "simulate", clock)
    stride = whole("simulate", "every", every, 1)
    count = whole("simulate", "runs", runs, 1, 2**62)
    horizon = _horizon(wait_horizon, clock, "simulate")
    workers = _threads(threads)
    seed_used, key = _key(seed)
    check_routing(model, plan)
    period_settings = _period_settings(model, plan)
    network = isinstance(model, StandardNetworkMultiserver)
    nodes = len(servers_of(model))

    recording, moments = _core._simulate(
        model,
        *_core_arguments(plan, period_settings, network),
        stride,
        0 if horizon is None else horizon,
        count,
        key,
        workers,
    )
    rows, _, width, offsets, windows, completions, arrivals, *_ = recording
    steps = _recorded_steps(0, sum(period.steps for period in plan), stride)
    assert len(steps) == rows, "the core and the layer disagree on the recorded steps"
    ends = np.cumsum([period.steps for period in plan], dtype=np.int64)
    period_of_row = np.minimum(np.searchsorted(ends, steps, side="left"), max(len(plan) - 1, 0))
    if plan:
        row_servers = np.array([s.servers for s in period_settings], dtype=np.int64)
        row_servers = row_servers.reshape(-1, nodes)[period_of_row]
    else:
        row_servers = np.tile(servers_of(model), (rows, 1))

    cells = 3 + (0 if horizon is None else horizon) + 1
    sums = np.frombuffer(arrivals).reshape(rows, nodes, cells)
    if horizon is None:
        sums = sums[:, :, :1]
    sampling = Sampling.from_sums(
        {name: np.frombuffer(block) for name, block in moments.items()},
        rows,
        nodes,
        0 if horizon is None else horizon,
        count,
        seed_used,
    )
    return Trajectory(
        times=_wrapped(model.time + steps),
        period=period_of_row.astype(np.int64),
        servers=row_servers,
        offsets=np.frombuffer(offsets, dtype=np.int32).reshape(rows, nodes),
        windows=np.frombuffer(windows).reshape(rows, nodes, width),
        completions=np.frombuffer(completions).reshape(rows, nodes),
        network=network,
        periods=max(len(plan), 1),
        clock=clock,
        sampling=sampling,
        **_fields(sums, horizon, sampling, _limited(model, period_settings)),
    )


def _limited(model: Model, period_settings: list[_PeriodSettings]) -> bool:
    """Whether patience or a capacity acts anywhere in the run."""
    every = period_settings or [_read_settings(model)]
    return any(p > 0 for s in every for p in s.abandonment) or any(
        k >= 0 for s in every for k in s.capacity
    )


def _fields(
    sums: NDArray[np.float64], horizon: int | None, sampling: Sampling, limited: bool
) -> dict[str, Any]:
    """The recorded arrival measures. Where patience or a capacity acts,
    the mean wait is over the served (without them, every arrival is served
    and the fields are as they were, NaNs included), and the losses come
    too: entities per row and, with a horizon, the chance that an arrival
    gives up."""
    fields = _arrival_fields(sums, horizon)
    if limited and horizon is not None:
        fields["mean_wait"] = sampling.mean_wait()
    if limited:
        fields["blocked"] = sampling.blocked
        fields["abandonments"] = sampling.abandonments
        if horizon is not None:
            fields["wait_abandoned"] = sampling.wait_abandoned()
    return fields


# --- arguments -----------------------------------------------------------------


_Pairs = tuple[tuple[bytes, bytes], ...]


def _core_arguments(
    plan: list[Period], period_settings: list[_PeriodSettings], network: bool
) -> tuple[bytes, bytes, _Pairs, _Pairs, bytes, bytes, bytes]:
    """The schedule as the core takes it: steps, servers, arrivals,
    durations, routing, abandonment and capacity (-1: none), per period and
    node."""
    return (
        np.array([period.steps for period in plan], dtype=np.int32).tobytes(),
        np.array([s.servers for s in period_settings], dtype=np.int32).reshape(-1).tobytes(),
        tuple(pair for s in period_settings for pair in s.arrivals),
        tuple(pair for s in period_settings for pair in s.durations),
        b"".join(s.routing for s in period_settings) if network else b"",
        np.array([s.abandonment for s in period_settings], dtype=np.float64).reshape(-1).tobytes(),
        np.array([s.capacity for s in period_settings], dtype=np.int64).reshape(-1).tobytes(),
    )


def _threads(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not on every system
            return os.cpu_count() or 1
    return whole("simulate", "threads", threads, 1, 4096)


def _key(seed: Seed) -> tuple[int | tuple[int, ...], int]:
    """The seed as given (a fresh one for None) and the 64-bit key the
    core's generators derive every run's stream from."""
    if seed is None:
        seed = secrets.randbits(64)
    words: tuple[int, ...]
    kept: int | tuple[int, ...]
    try:
        if isinstance(seed, str):
            raise TypeError
        if isinstance(seed, Sequence) or (isinstance(seed, np.ndarray) and seed.ndim > 0):
            words = tuple(operator.index(word) for word in seed)
            kept = words
        else:
            words = (operator.index(seed),)
            kept = words[0]
    except TypeError:
        raise TypeError(
            f"simulate: a seed is an int, a sequence of ints or None, got {shown(seed)}"
        ) from None
    if any(word < 0 for word in words):
        raise ValueError(f"simulate: a seed is made of integers of at least 0, got {seed!r}")
    text = ",".join(str(word) for word in words).encode()
    digest = hashlib.blake2b(text, digest_size=8, person=b"navro.simulate").digest()
    return kept, int.from_bytes(digest, "little")


@dataclass(frozen=True)
class _PeriodSettings:
    servers: list[int]
    arrivals: list[tuple[bytes, bytes]]
    durations: list[tuple[bytes, bytes]]
    routing: bytes  # nodes x nodes float64, a network's only
    abandonment: list[float]
    capacity: list[int]  # -1 for no limit


def _limit(capacity: int | None) -> int:
    return -1 if capacity is None else capacity


def _listing(pmf: dict[int, float]) -> tuple[bytes, bytes]:
    return (
        np.fromiter(pmf.keys(), dtype=np.int32, count=len(pmf)).tobytes(),
        np.fromiter(pmf.values(), dtype=np.float64, count=len(pmf)).tobytes(),
    )


def _period_settings(model: Model, plan: list[Period]) -> list[_PeriodSettings]:
    """Every period's settings in full, as the model would have them in that
    period under ``navro.trajectory``: the schedule's changes, checked and
    made in turn on a copy, and read back from it."""
    twin = copy.copy(model)
    changes = [settings(twin, period) for period in plan]
    out = []
    for period_changes in changes:
        apply(period_changes)
        out.append(_read_settings(twin))
    return out


def _read_settings(model: Model) -> _PeriodSettings:
    if isinstance(model, StandardNetworkMultiserver):
        nodes = range(model.get_number_of_nodes())
        # The routes in one call: a getter call per pair of nodes would cost
        # the square of the nodes in the interpreter.
        sources, destinations, probabilities = model.get_routing_probabilities()
        routing = np.zeros((len(nodes), len(nodes)), dtype=np.float64)
        routing[sources, destinations] = probabilities
        return _PeriodSettings(
            servers=[model.get_number_of_servers_at_node(i) for i in nodes],
            arrivals=[
                _listing(model.get_number_of_external_arrivals_at_node_pmf(i)) for i in nodes
            ],
            durations=[_listing(model.get_service_duration_at_node_pmf(i)) for i in nodes],
            routing=routing.tobytes(),
            abandonment=[model.get_abandonment_probability_at_node(i) for i in nodes],
            capacity=[_limit(model.get_capacity_at_node(i)) for i in nodes],
        )
    return _PeriodSettings(
        servers=[model.number_of_servers],
        arrivals=[_listing(model.number_of_arrivals_pmf)],
        durations=[_listing(model.service_duration_pmf)],
        routing=b"",
        abandonment=[model.abandonment_probability],
        capacity=[_limit(model.capacity)],
    )


# --- what the standard errors need ------------------------------------------------


@dataclass(frozen=True, eq=False)
class Sampling:
    """The runs behind a simulated ``Trajectory`` and the sums over them
    that its standard errors need, each divided by the number of runs
    (rows x nodes, and x waits for the per-wait sums).

    Per run and row, X is the number of the row's arrivals (blocked ones
    included), S the sum of their waits, N those served, D the services that
    ended in the row's step, Y_w the arrivals served after exactly w steps
    and B_w the others (those that waited longer, gave up or were blocked).
    With patience or a capacity, K is the number of the arrivals blocked, Z
    of those that gave up before service, G of those served (or never, at a
    node left without servers) after more than the wait horizon, G_0 of those
    neither blocked nor taken at once, T of those neither blocked nor given
    up, and A the
    entities that gave up in the row's steps.
    """

    runs: int
    seed: int | tuple[int, ...]
    wait_horizon: int
    ended_squares: NDArray[np.float64]  # E[D^2]
    arrivals: NDArray[np.float64]  # E[X]
    arrival_squares: NDArray[np.float64]  # E[X^2]
    wait_total: NDArray[np.float64]  # E[S]
    wait_total_squares: NDArray[np.float64]  # E[S^2]
    wait_total_cross: NDArray[np.float64]  # E[S N]
    censored: NDArray[np.float64]  # share of runs with a wait never known
    served: NDArray[np.float64]  # E[N]
    served_squares: NDArray[np.float64]
    blocked: NDArray[np.float64]  # E[K]
    blocked_squares: NDArray[np.float64]
    blocked_cross: NDArray[np.float64]  # E[K X]
    abandoned: NDArray[np.float64]  # E[Z]
    abandoned_squares: NDArray[np.float64]
    abandoned_cross: NDArray[np.float64]  # E[Z X]
    abandonments: NDArray[np.float64]  # E[A]
    abandonment_squares: NDArray[np.float64]
    late: NDArray[np.float64]  # E[G]
    late_squares: NDArray[np.float64]
    late_cross: NDArray[np.float64]  # E[G X]
    waited: NDArray[np.float64]  # E[G_0]
    waited_squares: NDArray[np.float64]
    waited_cross: NDArray[np.float64]  # E[G_0 X]
    kept: NDArray[np.float64]  # E[T]
    kept_squares: NDArray[np.float64]
    exactly: NDArray[np.float64]  # E[Y_w]
    exactly_squares: NDArray[np.float64]
    exactly_cross: NDArray[np.float64]  # E[Y_w X]
    exactly_kept_cross: NDArray[np.float64]  # E[Y_w T]
    beyond: NDArray[np.float64]  # E[B_w]
    beyond_squares: NDArray[np.float64]
    beyond_cross: NDArray[np.float64]  # E[B_w X]

    _PER_ROW = (
        "ended_squares",
        "arrivals",
        "arrival_squares",
        "wait_total",
        "wait_total_squares",
        "wait_total_cross",
        "censored",
        "served",
        "served_squares",
        "blocked",
        "blocked_squares",
        "blocked_cross",
        "abandoned",
        "abandoned_squares",
        "abandoned_cross",
        "abandonments",
        "abandonment_squares",
        "late",
        "late_squares",
        "late_cross",
        "waited",
        "waited_squares",
        "waited_cross",
        "kept",
        "kept_squares",
    )
    _PER_WAIT = (
        "exactly",
        "exactly_squares",
        "exactly_cross",
        "exactly_kept_cross",
        "beyond",
        "beyond_squares",
        "beyond_cross",
    )

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A run pickled before the service level over the served had an
        # error lacks the sum it needs: that error is unknown (NaN) there,
        # and everything else is as it was.
        if "exactly_kept_cross" not in state:
            missing = np.full_like(state["exactly_cross"], math.nan)
            state = {**state, "exactly_kept_cross": missing}
        self.__dict__.update(state)

    @classmethod
    def from_sums(
        cls,
        sums: dict[str, NDArray[np.float64]],
        rows: int,
        nodes: int,
        horizon: int,
        runs: int,
        seed: int | tuple[int, ...],
    ) -> Sampling:
        arrays: dict[str, NDArray[np.float64]] = {
            name: sums[name].reshape(rows, nodes) for name in cls._PER_ROW
        }
        arrays.update(
            {name: sums[name].reshape(rows, nodes, horizon + 1) for name in cls._PER_WAIT}
        )
        for array in arrays.values():
            array.flags.writeable = False
        return cls(runs=runs, seed=seed, wait_horizon=horizon, **arrays)

    def node(self, index: int) -> Sampling:
        """The sums of one node."""
        arrays = {
            name: getattr(self, name)[:, index : index + 1]
            for name in (*self._PER_ROW, *self._PER_WAIT)
        }
        return Sampling(runs=self.runs, seed=self.seed, wait_horizon=self.wait_horizon, **arrays)

    # The arrival measures, pooled over runs: the sum over runs of the
    # arrivals with a property over the sum over runs of the arrivals.
    def _per_arrival(self, total: NDArray[np.float64]) -> NDArray[np.float64]:
        arrivals = self.arrivals if total.ndim == 2 else self.arrivals[..., None]
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(arrivals > 0, total / np.where(arrivals > 0, arrivals, 1.0), math.nan)

    def wait_probabilities(self) -> NDArray[np.float64]:
        return self._per_arrival(self.exactly)

    def wait_beyond(self) -> NDArray[np.float64]:
        return self._per_arrival(self.late)

    def wait_abandoned(self) -> NDArray[np.float64]:
        return self._per_arrival(self.abandoned)

    def mean_wait(self) -> NDArray[np.float64]:
        """Over the served; infinite where some waits are never known: a
        node left without servers (and without patience) never takes them."""
        with np.errstate(invalid="ignore", divide="ignore"):
            served = self.served
            mean = np.where(
                served > 0, self.wait_total / np.where(served > 0, served, 1.0), math.nan
            )
        return np.where(self.censored > 0, math.inf, mean)

    # Standard errors of ratios of sums over runs, by the delta method:
    # for R = sum Y / sum X, Var(R) ~ Var(Y - R X) / (runs E[X]^2).
    def _ratio_error(
        self,
        ratio: NDArray[np.float64],
        squares: NDArray[np.float64],
        cross: NDArray[np.float64],
        over: tuple[NDArray[np.float64], NDArray[np.float64]] | None = None,
    ) -> NDArray[np.float64]:
        """``over`` gives E[X] and E[X^2] of another denominator than the
        arrivals."""
        base, base_squares = (self.arrivals, self.arrival_squares) if over is None else over
        extra = ratio.ndim - base.ndim
        x = base.reshape(base.shape + (1,) * extra)
        x2 = base_squares.reshape(x.shape)
        spread = squares - 2 * ratio * cross + ratio**2 * x2
        return _error_of_mean(np.maximum(spread, 0.0), self.runs) / np.where(x > 0, x, math.nan)

    def wait_probabilities_error(self) -> NDArray[np.float64]:
        return self._ratio_error(
            self.wait_probabilities(), self.exactly_squares, self.exactly_cross
        )

    def beyond_error(self) -> NDArray[np.float64]:
        """Of P(not served within w), w = 0 .. horizon, and so of
        P(served, W <= w) too."""
        return self._ratio_error(
            self._per_arrival(self.beyond), self.beyond_squares, self.beyond_cross
        )

    def served_within_error(self) -> NDArray[np.float64]:
        """Of P(W <= w | served), w = 0 .. horizon: those served within w
        steps, C_w = X - B_w, over those neither blocked nor given up, T."""
        ratio = np.nan_to_num(self._served_share(np.cumsum(self.exactly, axis=-1)))
        x2 = self.arrival_squares[..., None]
        kept, kept2 = self.kept[..., None], self.kept_squares[..., None]
        squares = x2 - 2 * self.beyond_cross + self.beyond_squares  # E[C_w^2]
        cross = np.cumsum(self.exactly_kept_cross, axis=-1)  # E[C_w T]
        spread = squares - 2 * ratio * cross + ratio**2 * kept2
        # E[C_w^2] is a difference of sums as large as E[X^2]: a spread
        # within its rounding, as where every run serves in time all it
        # keeps, is none.
        spread = np.where(spread <= 1e-12 * (x2 + ratio**2 * kept2), 0.0, spread)
        return _error_of_mean(spread, self.runs) / np.where(kept > 0, kept, math.nan)

    def _served_share(self, total: NDArray[np.float64]) -> NDArray[np.float64]:
        kept = self.kept[..., None]
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(kept > 0, total / np.where(kept > 0, kept, 1.0), math.nan)

    def wait_beyond_error(self) -> NDArray[np.float64]:
        return self._ratio_error(self.wait_beyond(), self.late_squares, self.late_cross)

    def prob_wait_error(self) -> NDArray[np.float64]:
        """Of P(not blocked and not taken at once): served later, given up
        or never served."""
        return self._ratio_error(
            self._per_arrival(self.waited), self.waited_squares, self.waited_cross
        )

    def wait_abandoned_error(self) -> NDArray[np.float64]:
        return self._ratio_error(
            self.wait_abandoned(), self.abandoned_squares, self.abandoned_cross
        )

    def prob_blocked_error(self) -> NDArray[np.float64]:
        return self._ratio_error(
            self._per_arrival(self.blocked), self.blocked_squares, self.blocked_cross
        )

    def mean_wait_error(self) -> NDArray[np.float64]:
        mean = self.mean_wait()
        error = self._ratio_error(
            np.where(np.isinf(mean), 0.0, mean),
            self.wait_total_squares,
            self.wait_total_cross,
            over=(self.served, self.served_squares),
        )
        return np.where(np.isinf(mean), math.nan, error)

    def arrivals_error(self) -> NDArray[np.float64]:
        return _error_of_mean(self.arrival_squares - self.arrivals**2, self.runs)

    def throughput_error(self) -> NDArray[np.float64]:
        return _error_of_mean(self.kept_squares - self.kept**2, self.runs)

    def blocked_error(self) -> NDArray[np.float64]:
        return _error_of_mean(self.blocked_squares - self.blocked**2, self.runs)

    def abandonments_error(self) -> NDArray[np.float64]:
        return _error_of_mean(self.abandonment_squares - self.abandonments**2, self.runs)

    def has_losses(self) -> bool:
        """Whether any arrival was blocked or gave up."""
        return bool(np.any(self.blocked > 0) or np.any(self.abandonments > 0))


def _error_of_mean(variance: NDArray[np.float64], runs: float) -> NDArray[np.float64]:
    """The standard error of a mean over ``runs`` runs, from the runs'
    variance (as the mean of squares less the squared mean, divided by
    runs - 1 rather than runs)."""
    if runs < 2:
        return np.full(np.shape(variance), math.nan)
    return np.sqrt(np.maximum(variance, 0.0) / (runs - 1))


# --- standard errors of the measures of a trajectory -----------------------------


# The measures that are the expectation of a function of the number present
# N (counts) and the servers c: their standard error follows from the row's
# frequencies and the number of runs.
_OF_COUNT: dict[str, Callable[..., Any]] = {
    "mean": lambda n, c: n + 0 * c,
    "prob_all_busy": lambda n, c: n >= c,
    "expected_queue_length": lambda n, c: np.maximum(n - c, 0),
    "expected_busy": lambda n, c: np.minimum(n, c),
    "utilisation": lambda n, c: np.minimum(n, c) / np.where(c > 0, c, math.nan),
    "prob_at_least": lambda n, c, k: n >= k,
    "expectation": lambda n, c, function: function(n, c),
}


def count_error(
    windows: NDArray[np.float64],
    counts: NDArray[np.int64],
    servers: NDArray[np.int64],
    runs: float,
    measure: str,
    *args: Any,
) -> NDArray[np.float64] | None:
    """The standard error, over ``runs`` runs, of a measure of the number
    present estimated from frequencies distributed as ``windows`` (rows x
    nodes x cells, the cells standing for ``counts`` of the same shape, the
    servers rows x nodes); None for a measure that is not one of the number
    present."""
    c = servers[:, :, None]

    def expect(values: Any) -> NDArray[np.float64]:
        weights = np.broadcast_to(np.asarray(values, dtype=np.float64), windows.shape)
        return np.asarray(np.einsum("rnk,rnk->rn", windows, weights), dtype=np.float64)

    if measure in _OF_COUNT:
        f = np.broadcast_to(np.asarray(_OF_COUNT[measure](counts, c, *args), float), windows.shape)
        defined = ~np.isnan(f).any(axis=2)
        f = np.where(np.isnan(f), 0.0, f)
        first = expect(f)
        return np.where(defined, _error_of_mean(expect(f**2) - first**2, runs), math.nan)
    if measure == "std":
        # The delta method, Var(s) ~ Var(s^2) / (4 s^2), with the variance of
        # a sample variance in full: (m4 - m2^2) / runs + 2 m2^2 / (runs (runs
        # - 1)), m2 and m4 the central moments. The second term, negligible
        # otherwise, keeps the error from vanishing where the first does, as
        # for two counts equally likely.
        centred = counts - expect(counts)[:, :, None]
        m2, m4 = expect(centred**2), expect(centred**4)
        if runs < 2:
            return np.full(m2.shape, math.nan)
        variance = (m4 - m2**2) / runs + 2 * m2**2 / (runs * (runs - 1))
        scale = np.where(m2 > 0, 4 * m2, 1.0)
        return np.where(m2 > 0, np.sqrt(np.maximum(variance, 0.0) / scale), 0.0)
    return None


def count_reach(
    windows: NDArray[np.float64],
    counts: NDArray[np.int64],
    servers: NDArray[np.int64],
    measure: str,
    support: NDArray[np.bool_],
) -> NDArray[np.float64] | None:
    """How far one run can move a measure of the number present, times the
    runs: the largest distance, over the counts of ``support``, of the
    measure's function from its expectation under ``windows`` (for ``std``,
    what one run at such a count adds to the variance, over twice the
    deviation). None for a measure that is not one of the number present."""
    c = servers[:, :, None]
    positive = support

    def expect(values: Any) -> NDArray[np.float64]:
        weights = np.broadcast_to(np.asarray(values, dtype=np.float64), windows.shape)
        return np.asarray(np.einsum("rnk,rnk->rn", windows, weights), dtype=np.float64)

    if measure in _OF_COUNT and measure not in ("prob_at_least", "expectation"):
        f = np.broadcast_to(np.asarray(_OF_COUNT[measure](counts, c), float), windows.shape)
        f = np.where(np.isnan(f), 0.0, f)
        far = np.abs(f - expect(f)[:, :, None])
        return np.asarray(np.where(positive, far, 0.0).max(axis=2, initial=0.0))
    if measure == "std":
        deviation = (counts - expect(counts)[:, :, None]) ** 2
        m2 = expect(deviation)
        far = np.where(positive, deviation, 0.0).max(axis=2, initial=0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(m2 > 0, far / (2 * np.sqrt(np.where(m2 > 0, m2, 1.0))), 0.0)
    return None


def standard_error(
    run: Trajectory, measure: str | Callable[[Trajectory], Any], *args: Any, **kwargs: Any
) -> NDArray[np.float64]:
    """The Monte Carlo standard error of ``getattr(run, measure)`` (called
    with ``args`` and ``kwargs`` if it is a method), per row (and node), in
    the measure's unit. 0 where a trajectory was computed rather than
    simulated, NaN where the measure is. A function of a station's
    trajectory that gives a value per row is taken as a function of the
    distribution of the number present."""
    if callable(measure):
        return _function_error(run, measure)
    value, given = _measure(run, measure, args, kwargs)
    sampling: Sampling | None = run._sampling
    if sampling is None:
        return np.where(np.isnan(value), math.nan, 0.0)
    args = tuple(given.values())
    if measure == "prob_at_least":
        args = (run._per_row("standard_error", args[0]),)
    error = count_error(
        run._windows, run._cell_counts(), run._servers, sampling.runs, measure, *args
    )
    if error is None:
        error = _arrival_error(run, sampling, measure, given)
    viewed = run._view(error)
    return np.where(np.isnan(value), math.nan, viewed)


def _arrival_error(
    run: Trajectory, sampling: Sampling, measure: str, given: dict[str, Any]
) -> NDArray[np.float64]:
    if measure == "expected_completions":
        return _error_of_mean(sampling.ended_squares - run._completions**2, sampling.runs)
    if measure == "arrivals":
        return sampling.arrivals_error()
    if measure == "mean_wait":
        return sampling.mean_wait_error()
    if measure == "wait_beyond":
        return sampling.wait_beyond_error()
    if measure in ("prob_abandon", "wait_abandoned"):
        return sampling.wait_abandoned_error()
    if measure == "throughput":
        return sampling.throughput_error()
    if measure == "prob_blocked":
        return sampling.prob_blocked_error()
    if measure == "blocked":
        return sampling.blocked_error()
    if measure == "abandonments":
        return sampling.abandonments_error()
    if measure == "prob_wait":
        return sampling.prob_wait_error()
    if measure == "service_level":
        within = min(run._steps_within(given["within"], "standard_error"), sampling.wait_horizon)
        if given["among"] == "served":
            return sampling.served_within_error()[..., within]
        return sampling.beyond_error()[..., within]
    if measure == "wait_probabilities":
        error = sampling.wait_probabilities_error()
        return error if run._network else error[:, :1].reshape(len(run), 1, -1)
    raise ValueError(f"standard_error: no standard error for {measure!r}; {_KNOWN}")


_WITH_ERROR = (
    *_OF_COUNT,
    "std",
    "expected_completions",
    "arrivals",
    "prob_wait",
    "service_level",
    "mean_wait",
    "wait_beyond",
    "wait_probabilities",
    "blocked",
    "abandonments",
    "prob_blocked",
    "prob_abandon",
    "wait_abandoned",
    "throughput",
)
_KNOWN = "one of " + ", ".join(_WITH_ERROR)


def _function_error(run: Trajectory, measure: Callable[[Trajectory], Any]) -> NDArray[np.float64]:
    """The delta method for any smooth function T of the rows' distributions
    of the number present: Var(T) ~ Var_P(IF) / runs, with IF(k) the change
    of T as a row's distribution leans towards its k-th count."""
    if run.is_network:
        raise ValueError("standard_error: a function is a measure of one node; use node(i)")
    value = np.asarray(measure(run), dtype=np.float64)
    if value.shape != (len(run),):
        raise ValueError(
            f"standard_error: the function must give one value per row ({len(run)}), "
            f"got an array of shape {value.shape}"
        )
    if run._sampling is None:
        return np.where(np.isnan(value), math.nan, 0.0)
    lean = 1e-6
    p = run._windows
    first = np.zeros(value.shape)
    second = np.zeros(value.shape)
    for k in range(p.shape[2]):
        leaned = (1 - lean) * p
        leaned[:, :, k] += lean
        moved = _with_windows(run, leaned)
        influence = (np.asarray(measure(moved), dtype=np.float64) - value) / lean
        weight = p[:, 0, k]
        first += weight * np.where(weight > 0, influence, 0.0)
        second += weight * np.where(weight > 0, influence, 0.0) ** 2
    error = _error_of_mean(second - first**2, run._sampling.runs)
    return np.where(np.isnan(value), math.nan, error)


def _with_windows(run: Trajectory, windows: NDArray[np.float64]) -> Trajectory:
    """The run of one station with other distributions of the number present."""
    waits: dict[str, Any] = (
        {} if run._waits is None else {"wait_probabilities": run._waits, "wait_beyond": run._beyond}
    )
    return Trajectory(
        times=run._times,
        period=run._period,
        servers=run._servers,
        offsets=run._offsets,
        windows=windows,
        completions=run._completions,
        network=False,
        periods=run._periods,
        clock=run._clock,
        arrivals=run._arrivals,
        mean_wait=run._mean_wait,
        **waits,
    )


def _measure(
    run: Trajectory, measure: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> tuple[NDArray[np.float64], dict[str, Any]]:
    """The measure's value, and the arguments of a method by name, its
    defaults included, however they were given."""
    if not isinstance(measure, str) or measure.startswith("_") or not hasattr(run, measure):
        raise ValueError(f"standard_error: unknown measure {measure!r}; {_KNOWN}")
    if measure not in _WITH_ERROR:
        # Not a measure (node, to_pandas, ...), or one without an error:
        # say so before calling it with arguments meant for a measure.
        raise ValueError(f"standard_error: no standard error for {measure!r}; {_KNOWN}")
    value = getattr(run, measure)
    if not callable(value):
        if args or kwargs:
            raise TypeError(f"standard_error: {measure} is a property and takes no arguments")
        return np.asarray(value, dtype=np.float64), {}
    given = inspect.signature(value).bind(*args, **kwargs)
    given.apply_defaults()
    return np.asarray(value(*args, **kwargs), dtype=np.float64), dict(given.arguments)


def interval(
    run: Trajectory,
    measure: str | Callable[[Trajectory], Any],
    *args: Any,
    level: float = 0.95,
    **kwargs: Any,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """A ``level`` confidence interval of the measure per row (and node): the
    estimate plus and minus Student's t quantile of runs - 1 degrees of
    freedom (the normal one for many runs) times its standard error,
    or, for ``quantile`` (its level given by position), the quantiles at the
    levels that the sampling error of the distribution function allows."""
    confidence = float(level)
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"interval: level must lie in (0, 1), got {confidence}")
    if measure == "quantile":
        z = _normal_quantile(0.5 + confidence / 2)
        if len(args) != 1 or kwargs:
            raise TypeError(
                "interval: quantile takes its level by position alone, as in "
                "interval('quantile', 0.9, level=0.95)"
            )
        # The quantile checks its level, before the spread below uses it.
        exact = run.quantile(args[0]).astype(np.float64)
        q = float(args[0])
        runs = run.runs
        if runs is None:
            return exact, exact
        spread = z * math.sqrt(q * (1 - q) / runs)
        low = run.quantile(max(q - spread, 1e-12))
        high = run.quantile(min(q + spread, 1.0))
        return low.astype(np.float64), high.astype(np.float64)
    value = np.asarray(
        measure(run) if callable(measure) else _measure(run, measure, args, kwargs)[0],
        dtype=np.float64,
    )
    error = standard_error(run, measure, *args, **kwargs)
    # The error is estimated from the runs themselves: with few runs it is
    # itself uncertain, which Student's t allows for.
    t = _t_quantile(0.5 + confidence / 2, None if run.runs is None else run.runs - 1)
    return value - t * error, value + t * error


def _t_quantile(p: float, dof: int | None) -> float:
    """Student's t quantile with ``dof`` degrees of freedom, the normal one
    where ``dof`` is None (an error known, not estimated). Up to 200 degrees
    by bisection of the distribution's closed form for whole degrees; beyond,
    by its expansion about the normal quantile, whose next term is below
    1e-9 there."""
    z = _normal_quantile(p)
    if dof is None:
        return z
    if dof < 1:
        return math.nan
    if dof > 200:
        nu = float(dof)
        terms = (
            (z**3 + z) / 4,
            (5 * z**5 + 16 * z**3 + 3 * z) / 96,
            (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / 384,
            (79 * z**9 + 776 * z**7 + 1482 * z**5 - 1920 * z**3 - 945 * z) / 92160,
        )
        return z + sum(term / nu ** (k + 1) for k, term in enumerate(terms))
    if p < 0.5:
        return -_t_quantile(1 - p, dof)
    low, high = 0.0, 1.0
    while _t_distribution(high, dof) < p and high < 1e300:
        low, high = high, 2 * high
    return _inverse(lambda t: _t_distribution(t, dof), p, low, high)


def _t_distribution(t: float, dof: int) -> float:
    """P(T <= t) for Student's t of ``dof`` (whole) degrees of freedom, from
    the finite sums in cos(theta), theta = atan(t / sqrt(dof)), of P(|T| <= |t|)."""
    theta = math.atan(abs(t) / math.sqrt(dof))
    c2 = math.cos(theta) ** 2
    if dof % 2:
        term, total = math.cos(theta), 0.0
        for k in range(1, (dof - 1) // 2 + 1):
            total += term
            term *= c2 * (2 * k) / (2 * k + 1)
        within = 2 / math.pi * (theta + math.sin(theta) * total)
    else:
        term, total = 1.0, 0.0
        for k in range(1, dof // 2 + 1):
            total += term
            term *= c2 * (2 * k - 1) / (2 * k)
        within = math.sin(theta) * total
    return 0.5 + math.copysign(within / 2, t)


def _normal_quantile(p: float) -> float:
    """The standard normal quantile, by bisection of the error function
    (precise to 1e-12, which no interval needs more than)."""
    return _inverse(lambda x: 0.5 * math.erfc(-x / math.sqrt(2)), p, -40.0, 40.0)


def _inverse(distribution: Callable[[float], float], p: float, low: float, high: float) -> float:
    """Where the increasing ``distribution`` reaches ``p`` in [low, high], by
    bisection to the last bits of a float."""
    for _ in range(200):
        middle = (low + high) / 2
        if distribution(middle) < p:
            low = middle
        else:
            high = middle
    return (low + high) / 2


# --- a roster checked in simulation ----------------------------------------------


@dataclass(frozen=True, eq=False)
class RosterCheck:
    """A roster of ``navro.staffing`` checked by simulating the real system
    (``Staffing.check``). Arrays have one row per period and, for a network,
    one column per node (NaN, or True, where a node has no target); with
    several targets at a node, one value per target along a last axis, as in
    ``Staffing.worst``.

    - ``value``: the target's measure as the simulation achieves it: its
      worst value among those the target checks in the period (the largest
      for ``at_most``, the smallest for ``at_least``), in the measure's unit.
    - ``low``, ``high``: the ``level`` confidence interval of ``value``,
      from the intervals of the values it is the worst of.
    - ``met``: whether ``value`` is within the target.
    - ``trajectory``: the simulated run under the roster.
    """

    value: NDArray[np.float64]
    low: NDArray[np.float64]
    high: NDArray[np.float64]
    met: NDArray[np.bool_]
    level: float
    trajectory: Trajectory

    def __repr__(self) -> str:
        missed = np.flatnonzero(~self.met.reshape(len(self.met), -1).all(axis=1)).tolist()
        return (
            f"<navro.RosterCheck: {len(self.met)} periods from {self.trajectory.runs} runs, "
            f"missed in periods {missed}>"
        )


RosterCheck.__module__ = "navro"


def check_roster(
    start: Model,
    plan: list[Period],
    roster: NDArray[np.int64],
    targets: list[list[Any]],
    *,
    runs: int,
    seed: Seed,
    level: float,
    threads: int | None,
    clock: Clock | None,
    wait_horizon: int | None,
) -> RosterCheck:
    """The work of ``Staffing.check``."""
    # Refused before the runs, not after them.
    if not 0.0 < float(level) < 1.0:
        raise ValueError(f"Staffing.check: level must lie in (0, 1), got {level}")
    network = isinstance(start, StandardNetworkMultiserver)
    servers = roster.reshape(len(plan), -1)
    schedule = [
        replace(period, servers=list(row) if network else int(row[0]))
        for period, row in zip(plan, servers)
    ]
    run = simulate(
        copy.copy(start),
        schedule,
        runs=runs,
        seed=seed,
        threads=threads,
        clock=clock,
        wait_horizon=wait_horizon,
    )
    most = max(len(ts) for ts in targets)
    shape = (*servers.shape, most)
    value, low, high = (np.full(shape, math.nan) for _ in range(3))
    met = np.ones(shape, dtype=np.bool_)
    for node, node_targets in enumerate(targets):
        view = run.node(node) if network else run
        for t, target in enumerate(node_targets):
            value[:, node, t], low[:, node, t], high[:, node, t], met[:, node, t] = _achieved(
                target, view, len(plan), level
            )
    out = [value, low, high, met]
    if most == 1:
        out = [array[:, :, 0] for array in out]
    if not network:
        out = [array[:, 0] for array in out]
    return RosterCheck(
        value=frozen(out[0]),
        low=frozen(out[1]),
        high=frozen(out[2]),
        met=frozen(out[3]),
        level=float(level),
        trajectory=run,
    )


def _achieved(
    target: Any, run: Trajectory, periods_count: int, level: float
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_]]:
    """Per period, a target's worst checked value in a simulated station run,
    its interval and whether it is met, the rows checked as ``Target.check``
    checks them."""
    values = target.values(run)
    if callable(target.measure):
        lows, highs = run.interval(target.measure, level=level)
    elif target.measure == "service_level":
        lows, highs = run.interval("service_level", target.within, level=level, among=target.among)
    else:
        lows, highs = run.interval(target.measure, level=level)
    worst_of: Callable[[Any], float] = np.max if target.at_least is None else np.min
    bound = target._bound_in_steps(run.clock)
    value, low, high = (np.full(periods_count, math.nan) for _ in range(3))
    met = np.ones(periods_count, dtype=np.bool_)
    for p in range(periods_count):
        rows = np.flatnonzero(run.period == p)
        if p == 0:
            rows = rows[1:]  # the state handed in, which a target does not check
        checked = rows if target.when == "every" else rows[-1:]
        if isinstance(target.measure, str) and target.measure in ARRIVAL_MEASURES:
            checked = checked[run.arrivals[checked] > 0]
            if len(checked) == 0:
                continue  # no arrivals: the target holds
        if len(checked) == 0:
            met[p] = False
            continue
        value[p] = worst_of(values[checked])
        low[p] = worst_of(lows[checked])
        high[p] = worst_of(highs[checked])
        met[p] = value[p] <= bound if target.at_least is None else value[p] >= bound
    return value, low, high, met
