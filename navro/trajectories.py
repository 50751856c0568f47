"""Whole runs of a model in one call: the distribution of the number present
over time, the service measures at every step, what the entities that arrive
live through (the chance to wait, the wait's distribution, its mean, the
service level), and schedules of settings that change by period.

``trajectory(model, schedule)`` steps the model through the schedule (or a
number of steps) and returns a ``Trajectory``. Row 0 is the model as it was
handed in, under the first period's settings; every later row is the state
after a step, with the settings that step ran under. The model is left at
the end of the run; a step that fails, or Ctrl-C (KeyboardInterrupt), raises
and leaves it after its last whole step.
"""

from __future__ import annotations

import importlib
import math
import warnings
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro import _exact
from navro._common import (
    MEASURES,
    Model,
    Period,
    apply,
    check_model,
    check_routing,
    frozen,
    periods,
    real,
    servers_of,
    settings,
    shown,
    whole,
)
from navro._core import StandardNetworkMultiserver
from navro.clock import Clock, is_duration

__all__ = ["DEFAULT_WAIT_HORIZON", "Period", "Trajectory", "trajectory"]

# Steps of wait that a run records the distribution of unless told otherwise:
# service levels of up to 10 steps cost little beside the steps themselves.
DEFAULT_WAIT_HORIZON = 10
# The longest wait horizon a run takes: each row holds one cell per step of it.
LARGEST_WAIT_HORIZON = 1_000_000


def trajectory(
    model: Model,
    schedule: int | Any | Sequence[Period],
    *,
    every: int = 1,
    wait_horizon: int | Any | None = DEFAULT_WAIT_HORIZON,
    clock: Clock | None = None,
    method: str = "maps",
    max_states: int = _exact.DEFAULT_MAX_STATES,
    drop_below: float = _exact.DEFAULT_DROP_BELOW,
) -> Trajectory:
    """Steps ``model`` through ``schedule`` and records, at every ``every``-th
    step counted from the start (row 0 included), the distribution of the
    number present (per node for a network) and what the entities that
    arrived since the row before live through.

    Parameters
    ----------
    model : StandardMultiserver or StandardNetworkMultiserver
    schedule : int, duration or sequence of Period
        A number of steps with the model's own settings, or ``Period`` objects. With
        a ``clock``, a period may be a duration such as ``"30min"``.
    every : int
        Record every ``every``-th step only (steps).
    wait_horizon : int, duration or None
        The longest wait (steps, or a duration with a ``clock``) whose
        probability is recorded: ``wait_probabilities`` runs from 0 to it and
        ``service_level`` takes thresholds up to it. None records no waits
        (the arrivals only), which costs nothing beside the steps.
    clock : navro.Clock, optional
        What a step lasts and when the run starts: timestamps in tables and
        plots, periods and thresholds as durations.
    method : {"maps", "exact"}
        ``"exact"`` maps the joint distribution of the real system instead of
        the model's own state: per node the number waiting and the remaining
        service time of every busy server, each entity routed on its own.
        It records the arrivals but not their waits (NaN), and the mass it
        drops in ``dropped_mass``.
    max_states : int
        The most states the exact chain may hold: a run estimated above it is
        refused before it starts, and one that grows beyond it stops, both
        with a ValueError.
    drop_below : float
        The exact chain drops, after every step, the states of probability
        below this (probability).

    Returns
    -------
    Trajectory

    Notes
    -----
    Every argument is checked before the model changes: a refused call
    changes nothing. A step that fails, or Ctrl-C, raises and leaves the model
    after its last whole step, with the settings that step ran under; an
    exact run, at the start of the period it was in.
    """
    check_model(model, "trajectory")
    if clock is not None and not isinstance(clock, Clock):
        raise TypeError(f"trajectory: clock must be a navro.Clock, got {shown(clock)}")
    plan = periods(schedule, "trajectory", clock)
    stride = whole("trajectory", "every", every, 1)
    horizon = _horizon(wait_horizon, clock, "trajectory")
    _exact.check_method(method, "trajectory")
    changes = [settings(model, period) for period in plan]
    check_routing(model, plan)
    record: Callable[..., tuple[Any, ...]] = model._record
    if method == "exact":
        record = _exact.start(model, plan, max_states, drop_below, "trajectory").record
    return _recorded_run(model, plan, changes, stride, horizon, clock, record)


def _recorded_run(
    model: Model,
    plan: Sequence[Period],
    changes: Sequence[Any],
    stride: int,
    horizon: int | None,
    clock: Clock | None,
    record: Callable[..., tuple[Any, ...]],
) -> Trajectory:
    """The run of ``plan``, each period's changes applied and its steps
    taken and recorded by ``record(steps, every, start, horizon)``."""
    parts = []
    time = model.time
    start = 0
    nodes = len(servers_of(model))
    pending = np.zeros((nodes, _cells(horizon)))
    pending_limits = np.zeros((nodes, _LIMIT_CELLS))
    # An empty schedule records the state handed in, as one row.
    lengths = [period.steps for period in plan] or [0]
    for steps, period_changes in zip(lengths, changes or [[]]):
        revert = apply(period_changes)
        clock_before = model.time
        try:
            recorded = record(steps, stride, start, -1 if horizon is None else horizon)
        except BaseException:
            # No step of the period was taken: the model keeps the settings
            # of its last whole step.
            if model.time == clock_before:
                revert()
            raise
        rows, nodes, width, offsets, windows, completions, arrivals, tail, dropped, *more = recorded
        recorded_steps = _recorded_steps(start, steps, stride)
        assert len(recorded_steps) == rows, "the core and the layer disagree on the recorded steps"
        cells = _cells(horizon)
        sums = np.frombuffer(arrivals).reshape(rows, nodes, cells).copy()
        # The steps since the last row of the calls before belong to this
        # call's first row; a call without rows passes them on.
        if rows:
            sums[0] += pending
            pending = np.frombuffer(tail).reshape(nodes, cells).copy()
        else:
            pending += np.frombuffer(tail).reshape(nodes, cells)
        limit_sums, limits_tail = _limit_sums(more, rows, nodes)
        if limit_sums is not None and limits_tail is not None:
            if rows:
                limit_sums[0] += pending_limits
                pending_limits = limits_tail
            else:
                pending_limits += limits_tail
        parts.append(
            Trajectory(
                times=_wrapped(time + recorded_steps),
                period=np.zeros(rows, dtype=np.int64),
                servers=np.tile(servers_of(model), (rows, 1)),
                offsets=np.frombuffer(offsets, dtype=np.int32).reshape(rows, nodes),
                windows=np.frombuffer(windows).reshape(rows, nodes, width),
                completions=np.frombuffer(completions).reshape(rows, nodes),
                network=isinstance(model, StandardNetworkMultiserver),
                periods=1,
                clock=clock,
                dropped=np.frombuffer(dropped) if len(dropped) else None,
                **_arrival_fields(sums, horizon, limit_sums),
            )
        )
        start += steps
    return Trajectory.concatenate(parts)


def _limit_sums(
    more: Sequence[bytes], rows: int, nodes: int
) -> tuple[NDArray[np.float64] | None, NDArray[np.float64] | None]:
    """What the limits took per row and node (blocked, abandonments, arrivals
    that gave up; NaN where the engine does not give the last), and per node
    the same of the steps after the last row (the maps only), from the
    core's bytes; None where the engine gives none."""
    blocked, abandonments, abandoned, tail = more
    if not len(blocked) and (rows > 0 or not len(tail)):
        return None, None
    # A call of no rows (a period shorter than `every`) passes on its tail.
    sums = np.full((rows, nodes, _LIMIT_CELLS), math.nan)
    sums[:, :, 0] = np.frombuffer(blocked).reshape(rows, nodes)
    sums[:, :, 1] = np.frombuffer(abandonments).reshape(rows, nodes)
    if len(abandoned):
        sums[:, :, 2] = np.frombuffer(abandoned).reshape(rows, nodes)
    if not len(tail):
        return sums, None
    return sums, np.frombuffer(tail).reshape(nodes, _LIMIT_CELLS).copy()


def _horizon(value: Any, clock: Clock | None, where: str) -> int | None:
    if value is None:
        return None
    if is_duration(value):
        if clock is None:
            raise TypeError(f"{where}: a wait horizon of {value!r} needs the run's clock")
        value = clock.steps_within(value, f"{where}: wait_horizon")
    return whole(where, "wait_horizon", value, 0, LARGEST_WAIT_HORIZON)


def _cells(horizon: int | None) -> int:
    """What the core sums per row and node: the arrivals, and with a horizon
    the sum of their waits, those beyond it and those of each wait up to it."""
    return 1 if horizon is None else horizon + 4


# What the core sums per row and node of the limits: E[blocked],
# E[abandonments] and E[arrivals that give up before service].
_LIMIT_CELLS = 3


def _arrival_fields(
    sums: NDArray[np.float64], horizon: int | None, limits: NDArray[np.float64] | None = None
) -> dict[str, Any]:
    """The arrival measures of rows from the core's sums: the expected
    arrivals and, weighted by them, the waits' distribution and mean (over
    those served), with what abandonment and a capacity take."""
    arrivals = sums[:, :, 0]
    fields: dict[str, Any] = {"arrivals": arrivals}
    if limits is not None:
        fields["blocked"] = limits[:, :, 0]
        fields["abandonments"] = limits[:, :, 1]
        with np.errstate(invalid="ignore", divide="ignore"):
            fields["wait_abandoned"] = limits[:, :, 2] / arrivals
    if horizon is None:
        return fields
    served = arrivals
    if limits is not None:
        served = arrivals - limits[:, :, 0] - limits[:, :, 2]
    # A row no entity arrived in has no waits: 0 / 0 gives NaN.
    with np.errstate(invalid="ignore", divide="ignore"):
        fields.update(
            mean_wait=sums[:, :, 1] / served,
            wait_beyond=sums[:, :, 2] / arrivals,
            wait_probabilities=sums[:, :, 3:] / arrivals[:, :, None],
        )
    return fields


def _recorded_steps(start: int, steps: int, every: int) -> NDArray[np.int64]:
    """The step indexes, counted from the run's start, that one call of the
    core records: the multiples of ``every`` after ``start`` up to
    ``start + steps``, and 0 when the call starts the run."""
    first = 0 if start == 0 else (start // every + 1) * every
    return np.arange(first, start + steps + 1, every, dtype=np.int64)


def _wrapped(times: NDArray[np.int64]) -> NDArray[np.int64]:
    """Times as the model's 32-bit clock shows them: past 2**31 - 1 it wraps
    to -2**31."""
    return (times + 2**31) % 2**32 - 2**31


def _optional(module: str, extra: str, feature: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{feature} needs {module}, which is not installed: install navro's "
            f"'{extra}' extra (pip install 'navro[{extra}]')"
        ) from exc


class Trajectory:
    """A recorded run. Rows are points in time; for a network every per-row
    array has one column per node (``node(i)`` gives one node's view).

    Row 0 is the model as it was when the run started; every later row is the
    state after a step, with the servers that step ran under. A row that no
    step ended at (row 0) has the distribution of the number present and what
    depends on it alone, but no service measures: those that depend on the
    servers, the completions and the arrival measures are NaN there, so that
    the worst value of a run is one of the steps it took.

    The arrival measures of a row stand for the entities that arrived (from
    outside, and in a network from other nodes or the node itself) in the
    steps since the row before, weighted by how many arrive: the chance that
    one waits, the distribution of its wait W up to the recorded horizon, its
    mean and the service level. W counts steps: an entity that arrives in
    step t and is taken into service at the end of step t + W waited W (see
    "Inside one step" in the user guide).

    The distribution of every row is kept as its own window of counts, so a
    long run whose queue wanders far holds only the counts each row gives
    probability; ``probabilities`` spreads them over the counts of the whole
    run when asked. Every array a trajectory holds refuses writes.

    A trajectory is built by ``trajectory`` (or ``Trajectory.concatenate``);
    the constructor takes the distributions either as dense rows from
    ``lowest`` (``probabilities``, rows x nodes x counts) or as windows
    (``windows``, rows x nodes x cells, with the first count of each in
    ``offsets``, rows x nodes), and the arrival measures as rows x nodes
    (``arrivals``, ``mean_wait``, ``wait_beyond``) and rows x nodes x (horizon
    + 1) (``wait_probabilities``), each optional.
    """

    def __init__(
        self,
        *,
        times: NDArray[np.int64],
        period: NDArray[np.int64],
        servers: NDArray[np.int64],
        completions: NDArray[np.float64],
        network: bool,
        periods: int,
        probabilities: NDArray[np.float64] | None = None,
        lowest: int = 0,
        offsets: NDArray[np.integer[Any]] | None = None,
        windows: NDArray[np.float64] | None = None,
        arrivals: NDArray[np.float64] | None = None,
        wait_probabilities: NDArray[np.float64] | None = None,
        wait_beyond: NDArray[np.float64] | None = None,
        mean_wait: NDArray[np.float64] | None = None,
        clock: Clock | None = None,
        dropped: NDArray[np.float64] | None = None,
        sampling: Any = None,
        blocked: NDArray[np.float64] | None = None,
        abandonments: NDArray[np.float64] | None = None,
        wait_abandoned: NDArray[np.float64] | None = None,
    ) -> None:
        if (probabilities is None) == (windows is None):
            raise TypeError("Trajectory: give either probabilities or windows")
        if windows is None:
            assert probabilities is not None
            windows = np.asarray(probabilities, dtype=np.float64)
            offsets = np.full(windows.shape[:2], lowest, dtype=np.int64)
        assert offsets is not None
        self._times = frozen(np.asarray(times, dtype=np.int64))
        self._period = frozen(np.asarray(period, dtype=np.int64))
        self._servers = frozen(np.asarray(servers, dtype=np.int64))
        self._offsets = frozen(np.asarray(offsets))
        self._windows = frozen(np.asarray(windows, dtype=np.float64))
        self._completions = frozen(np.asarray(completions, dtype=np.float64))
        shape = self._completions.shape

        def per_row(values: Any) -> NDArray[np.float64]:
            if values is None:
                return frozen(np.full(shape, math.nan))
            return frozen(np.asarray(values, dtype=np.float64).reshape(shape))

        self._arrivals = per_row(arrivals)
        self._waits: NDArray[np.float64] | None = None
        if wait_probabilities is not None:
            waits = np.asarray(wait_probabilities, dtype=np.float64)
            self._waits = frozen(waits[:, None, :] if waits.ndim == 2 else waits)
            if self._waits.shape[:2] != shape:
                raise ValueError(
                    f"Trajectory: wait_probabilities of shape {waits.shape} for {shape} rows "
                    "and nodes"
                )
        self._beyond = per_row(wait_beyond)
        self._mean_wait = per_row(mean_wait)
        # None where the run had no abandonment and no capacity: none
        # blocked, none gave up.
        self._blocked = None if blocked is None else per_row(blocked)
        self._abandonments = None if abandonments is None else per_row(abandonments)
        self._abandoned = None if wait_abandoned is None else per_row(wait_abandoned)
        self._dropped = None if dropped is None else frozen(np.asarray(dropped, dtype=np.float64))
        self._network = network
        self._periods = periods
        self._clock = clock
        self._dense: NDArray[np.float64] | None = None
        # A simulation's runs and the sums over them behind its standard
        # errors (navro.simulation.Sampling); None for a computed run.
        self._sampling = sampling

    @staticmethod
    def concatenate(parts: Sequence[Trajectory]) -> Trajectory:
        """One trajectory of several in time order, such as runs of
        successive periods. A part whose first row has the time of the
        previous part's last row (the state it started from) loses that row;
        period numbers run on. Waits recorded to different horizons are kept
        to the shortest; the clock is the first part's."""
        if not parts:
            raise ValueError("Trajectory.concatenate: no trajectories given")
        if len(parts) == 1:
            return parts[0]
        if any(part._sampling is not None for part in parts):
            raise ValueError(
                "Trajectory.concatenate: simulated runs do not join: simulate the whole "
                "schedule at once"
            )
        if (
            len({part._network for part in parts}) != 1
            or len({part._servers.shape[1] for part in parts}) != 1
        ):
            raise ValueError("Trajectory.concatenate: the trajectories are of different models")
        if len({None if part._clock is None else part._clock.step for part in parts}) != 1:
            raise ValueError("Trajectory.concatenate: the trajectories have different clocks")
        kept, offsets, offset, last_time = [], [], 0, None
        for part in parts:
            skip = int(len(part) > 0 and last_time is not None and part._times[0] == last_time)
            kept.append((part, skip))
            offsets.append(offset)
            offset += part._periods
            if len(part) > skip:
                last_time = int(part._times[-1])
        rows = sum(len(part) - skip for part, skip in kept)
        nodes = parts[0]._servers.shape[1]
        width = max(part._windows.shape[2] for part in parts)
        windows = np.zeros((rows, nodes, width))
        row = 0
        for part, skip in kept:
            count = len(part) - skip
            windows[row : row + count, :, : part._windows.shape[2]] = part._windows[skip:]
            row += count

        def joined(name: str) -> NDArray[Any]:
            return np.concatenate([getattr(part, name)[skip:] for part, skip in kept])

        waits: dict[str, Any] = {}
        for name, field in (
            ("blocked", "_blocked"),
            ("abandonments", "_abandonments"),
            ("wait_abandoned", "_abandoned"),
        ):
            if any(getattr(part, field) is not None for part, _ in kept):
                waits[name] = np.concatenate([part._limit(field)[skip:] for part, skip in kept])
        if all(part._waits is not None for part in parts):
            horizon = min(part.wait_horizon or 0 for part in parts)
            cut = [part._waits_up_to(horizon) for part, _ in kept]
            waits["wait_probabilities"] = np.concatenate(
                [w[skip:] for (w, _), (_, skip) in zip(cut, kept)]
            )
            waits["wait_beyond"] = np.concatenate(
                [b[skip:] for (_, b), (_, skip) in zip(cut, kept)]
            )
        return Trajectory(
            times=joined("_times"),
            period=np.concatenate(
                [part._period[skip:] + o for (part, skip), o in zip(kept, offsets)]
            ),
            servers=joined("_servers"),
            offsets=joined("_offsets"),
            windows=windows,
            completions=joined("_completions"),
            arrivals=joined("_arrivals"),
            mean_wait=joined("_mean_wait"),
            network=parts[0]._network,
            periods=offset,
            clock=parts[0]._clock,
            dropped=(
                None if all(part._dropped is None for part in parts) else joined("dropped_mass")
            ),
            **waits,
        )

    def _waits_up_to(self, horizon: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The waits' probabilities to ``horizon`` and those beyond it."""
        assert self._waits is not None
        return self._waits[:, :, : horizon + 1], self._beyond + self._waits[
            :, :, horizon + 1 :
        ].sum(axis=2)

    def __len__(self) -> int:
        return len(self._times)

    def __repr__(self) -> str:
        kind = f"network of {self.number_of_nodes} nodes" if self._network else "station"
        span = f"times {self._times[0]}..{self._times[-1]}" if len(self) else "empty"
        return f"<navro.Trajectory of a {kind}: {len(self)} rows, {span}, {self._periods} periods>"

    def _view(self, array: NDArray[Any]) -> NDArray[Any]:
        return array if self._network else array[:, 0]

    @property
    def is_network(self) -> bool:
        """Whether the run is of a network (every per-row array has a node axis)."""
        return self._network

    @property
    def number_of_nodes(self) -> int:
        """The nodes of the model (1 for a station)."""
        return int(self._servers.shape[1])

    def node(self, index: int) -> Trajectory:
        """The trajectory of one node, as of a station."""
        i = whole("Trajectory.node", "the node", index, 0)
        if i >= self.number_of_nodes:
            raise IndexError(f"node {i} of a trajectory of {self.number_of_nodes} nodes")
        one = slice(i, i + 1)
        return Trajectory(
            times=self._times,
            period=self._period,
            servers=self._servers[:, one],
            offsets=self._offsets[:, one],
            windows=self._windows[:, one],
            completions=self._completions[:, one],
            arrivals=self._arrivals[:, one],
            wait_probabilities=None if self._waits is None else self._waits[:, one],
            wait_beyond=self._beyond[:, one],
            mean_wait=self._mean_wait[:, one],
            blocked=None if self._blocked is None else self._blocked[:, one],
            abandonments=None if self._abandonments is None else self._abandonments[:, one],
            wait_abandoned=None if self._abandoned is None else self._abandoned[:, one],
            network=False,
            periods=self._periods,
            clock=self._clock,
            dropped=self._dropped,
            sampling=None if self._sampling is None else self._sampling.node(i),
        )

    @property
    def times(self) -> NDArray[np.int64]:
        """The model's time at every row, in steps; it wraps from 2**31 - 1 to
        -2**31 as the model's 32-bit clock does."""
        return self._times

    @property
    def elapsed_steps(self) -> NDArray[np.int64]:
        """Steps since the run's start (row 0) at every row."""
        gaps = np.diff(self._times) % 2**32  # the clock may have wrapped in between
        return np.concatenate([[0], np.cumsum(gaps)]).astype(np.int64)[: len(self)]

    @property
    def clock(self) -> Clock | None:
        """The run's clock (step length and start), or None for a run in steps."""
        return self._clock

    @property
    def clock_times(self) -> NDArray[Any]:
        """Every row on the run's clock: timestamps (``datetime64``), or the
        time since the start (``timedelta64``) for a clock without a start."""
        if self._clock is None:
            raise ValueError("clock_times: the run has no clock (trajectory(..., clock=...))")
        return self._clock.times(self.elapsed_steps)

    @property
    def dropped_mass(self) -> NDArray[np.float64]:
        """Per row, the probability that an exact run (``method="exact"``)
        dropped up to the row, as states below its threshold (probability):
        every probability of the row is at most this much below the exact
        one, and the row's probabilities sum to 1 minus it. One value per row,
        also for a network. NaN for the maps, which renormalise what they
        cut."""
        if self._dropped is None:
            return frozen(np.full(len(self._times), math.nan))
        return self._dropped

    @property
    def period(self) -> NDArray[np.int64]:
        """The schedule's period (from 0) each row belongs to; row 0 counts
        as the first period's."""
        return self._period

    @property
    def number_of_periods(self) -> int:
        """How many periods the run went through."""
        return self._periods

    def _count_range(self) -> tuple[int, int]:
        """The lowest count of positive probability in any row and one past
        the highest."""
        positive = self._windows > 0
        has = positive.any(axis=2)
        if not has.any():
            return 0, 0
        width = self._windows.shape[2]
        first = self._offsets + np.argmax(positive, axis=2)
        last = self._offsets + (width - 1 - np.argmax(positive[:, :, ::-1], axis=2))
        return int(first[has].min()), int(last[has].max()) + 1

    @property
    def counts(self) -> NDArray[np.int64]:
        """The numbers present (entities) that the columns of
        ``probabilities`` stand for: from the lowest count of positive
        probability in any row to the highest."""
        low, high = self._count_range()
        return np.arange(low, high, dtype=np.int64)

    @property
    def probabilities(self) -> NDArray[np.float64]:
        """P(number present = counts[k]) at every row (probability): rows x
        counts for a station, rows x nodes x counts for a network. Built from
        the rows' windows at the first use; for a long run whose queue
        wanders far it is far larger than they are."""
        if self._dense is None:
            low, high = self._count_range()
            rows, nodes, width = self._windows.shape
            dense = np.zeros((rows, nodes, high - low))
            column = (self._offsets[:, :, None] - low) + np.arange(width)
            inside = (column >= 0) & (column < high - low)
            r, n, _ = np.nonzero(inside)
            dense[r, n, column[inside]] = self._windows[inside]
            self._dense = frozen(dense)
        return self._view(self._dense)

    @property
    def servers(self) -> NDArray[np.int64]:
        """The servers in force at every row (servers); row 0 has the first
        period's."""
        return self._view(self._servers)

    @property
    def expected_completions(self) -> NDArray[np.float64]:
        """Expected number of services (entities) that ended in the step that
        ended at each row: of the min(z, c) busy servers, each ends with the
        state's P(remaining time 1 | z). NaN in row 0 of a run."""
        return self._view(self._completions)

    # Every measure is one weighted sum over each row's window of counts.
    def _cell_counts(self) -> NDArray[np.int64]:
        """The count of every cell of the windows."""
        width = self._windows.shape[2]
        return self._offsets[:, :, None].astype(np.int64) + np.arange(width, dtype=np.int64)

    def _weighted(self, values: Any) -> NDArray[np.float64]:
        weights = np.broadcast_to(np.asarray(values, dtype=np.float64), self._windows.shape)
        result: NDArray[np.float64] = np.einsum("rnk,rnk->rn", self._windows, weights)
        return result

    def _service(self, values: Any) -> NDArray[np.float64]:
        """A service measure: the weighted sum, NaN in a row no step ended at."""
        return self._view(np.where(np.isnan(self._completions), math.nan, self._weighted(values)))

    def _by_servers(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        return self._cell_counts(), self._servers[:, :, None]

    @property
    def mean(self) -> NDArray[np.float64]:
        """E[number present] (entities)."""
        return self._view(self._weighted(self._cell_counts()))

    @property
    def std(self) -> NDArray[np.float64]:
        """The standard deviation of the number present (entities)."""
        counts = self._cell_counts()
        mean = self._weighted(counts)
        return self._view(np.sqrt(self._weighted((counts - mean[:, :, None]) ** 2)))

    def quantile(self, level: float) -> NDArray[np.int64]:
        """The smallest count n (entities) with P(number present <= n) >= level."""
        q = real("quantile", "level", level)
        if not 0.0 < q <= 1.0:
            raise ValueError(f"quantile: level must lie in (0, 1], got {q}")
        cdf = np.cumsum(self._windows, axis=2)
        reached = cdf >= q
        # Rounding may leave the total a hair below a level of 1: then the
        # largest count of positive probability.
        width = self._windows.shape[2]
        last = width - 1 - np.argmax(self._windows[:, :, ::-1] > 0, axis=2)
        index = np.where(reached.any(axis=2), np.argmax(reached, axis=2), last)
        return self._view(self._offsets.astype(np.int64) + index)

    def _per_row(self, where: str, values: Any) -> NDArray[Any]:
        """One number, or one per row (a station) or per row and node (a
        network; one per row serves every node), as rows x nodes x 1."""
        array = np.asarray(values)
        rows, nodes = self._completions.shape
        if array.ndim == 0:
            return np.full((rows, nodes, 1), array)
        if array.shape == (rows,):
            return np.broadcast_to(array[:, None, None], (rows, nodes, 1))
        if self._network and array.shape == (rows, nodes):
            return array[:, :, None]
        expected = f"({rows},)" + (f" or ({rows}, {nodes})" if self._network else "")
        raise ValueError(
            f"{where}: expected one number or one per row, shape {expected}, got shape "
            f"{array.shape}"
        )

    def prob_at_least(self, k: int | NDArray[np.integer[Any]]) -> NDArray[np.float64]:
        """P(number present >= k) (probability), with ``k`` one number of
        entities or one per row, such as ``run.servers + 3``."""
        if np.ndim(k) == 0:
            bound = self._per_row("prob_at_least", whole("prob_at_least", "k", k, -(2**62), 2**62))
        else:
            bound = self._per_row("prob_at_least", k)
            if not np.issubdtype(bound.dtype, np.integer):
                raise TypeError(f"prob_at_least: k must be whole numbers, got {bound.dtype}")
        return self._view(self._weighted(self._cell_counts() >= bound))

    def expectation(self, function: Callable[[Any, Any], Any]) -> NDArray[np.float64]:
        """E[function(N, c)] at every row: the helper for measures of one's
        own. ``function`` gets the numbers present ``N`` and the servers ``c``
        of the row as NumPy arrays that broadcast together (one count per
        cell of the row's distribution) and returns a value per count; the
        result is its expectation per row (per row and node for a network).

        Examples
        --------
        >>> run.expectation(lambda n, c: n >= c + 3)            # P(N >= c + 3)
        >>> run.expectation(lambda n, c: np.maximum(n - c, 0))  # E[(N - c)+]
        """
        counts, servers = self._by_servers()
        return self._view(self._weighted(function(counts, servers)))

    @property
    def prob_all_busy(self) -> NDArray[np.float64]:
        """P(number present >= servers): every server busy (probability)."""
        counts, servers = self._by_servers()
        return self._service(counts >= servers)

    @property
    def expected_queue_length(self) -> NDArray[np.float64]:
        """E[(number present - servers)+]: those present and not in service
        (entities), a number of entities, not a time."""
        counts, servers = self._by_servers()
        return self._service(np.maximum(counts - servers, 0))

    @property
    def expected_waiting(self) -> NDArray[np.float64]:
        """Deprecated name of ``expected_queue_length`` (entities, not a time)."""
        warnings.warn(
            "Trajectory.expected_waiting is the expected number waiting (entities, not a time) "
            "and is now called expected_queue_length; for the time an arrival waits see "
            "mean_wait",
            DeprecationWarning,
            stacklevel=2,
        )
        return self.expected_queue_length

    @property
    def expected_busy(self) -> NDArray[np.float64]:
        """E[min(number present, servers)], the servers at work (servers)."""
        counts, servers = self._by_servers()
        return self._service(np.minimum(counts, servers))

    @property
    def utilisation(self) -> NDArray[np.float64]:
        """expected_busy / servers (a share of the servers, 0 to 1), the
        occupancy of the servers; NaN where there are none."""
        servers = self.servers.astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(servers > 0, self.expected_busy / servers, math.nan)

    # --- what the entities that arrive live through -----------------------

    @property
    def arrivals(self) -> NDArray[np.float64]:
        """E[number of entities that arrived] (entities) in the steps a row
        stands for: those since the row before (the one step that ended at
        it with ``every=1``), from outside and, in a network, routed in. 0 in
        row 0."""
        return self._view(self._arrivals)

    def _limit(self, field: str) -> NDArray[np.float64]:
        """A field of the limits as recorded, or what a run without them has:
        none blocked or given up, and no arrival measure in a row without
        arrivals."""
        value: NDArray[np.float64] | None = getattr(self, field)
        if value is not None:
            return value
        if field == "_abandoned":
            with np.errstate(invalid="ignore"):
                return np.where(self._arrivals > 0, 0.0, math.nan)
        return np.zeros(self._completions.shape)

    @property
    def blocked(self) -> NDArray[np.float64]:
        """E[number of arrivals blocked] (entities) in the steps a row stands
        for: those that found the station (node) holding its capacity and were
        lost. 0 in row 0 and without a capacity."""
        return self._view(self._limit("_blocked"))

    @property
    def abandonments(self) -> NDArray[np.float64]:
        """E[number of entities that gave up waiting] (entities) in the steps a
        row stands for, whenever they arrived. 0 in row 0 and without
        abandonment."""
        return self._view(self._limit("_abandonments"))

    @property
    def prob_blocked(self) -> NDArray[np.float64]:
        """P(an arrival is blocked) (probability): ``blocked / arrivals``, over
        the arrivals a row stands for. NaN in a row without arrivals."""
        with np.errstate(invalid="ignore", divide="ignore"):
            return self._view(self._limit("_blocked") / self._arrivals)

    @property
    def prob_abandon(self) -> NDArray[np.float64]:
        """P(an arrival gives up before it is served) (probability), over the
        arrivals a row stands for, blocked ones included. With abandonment it
        needs the waits (``wait_horizon``); NaN without them and in a row
        without arrivals."""
        return self._view(self._limit("_abandoned"))

    @property
    def throughput(self) -> NDArray[np.float64]:
        """E[number of the arrivals a row stands for that are served]
        (entities): the arrivals less those blocked and those that give up.
        Equal to ``arrivals`` without abandonment and capacity."""
        arrivals = self._arrivals
        with np.errstate(invalid="ignore"):
            given_up = np.where(arrivals > 0, arrivals * self._limit("_abandoned"), 0.0)
        return self._view(arrivals - self._limit("_blocked") - given_up)

    @property
    def wait_horizon(self) -> int | None:
        """The longest wait (steps) whose probability the run recorded, or
        None when it recorded no waits."""
        return None if self._waits is None else self._waits.shape[2] - 1

    def _recorded_waits(self, where: str) -> NDArray[np.float64]:
        if self._waits is None:
            raise ValueError(
                f"{where}: the run recorded no waits; record it with a wait_horizon "
                "(trajectory(..., wait_horizon=10))"
            )
        return self._waits

    @property
    def wait_probabilities(self) -> NDArray[np.float64]:
        """P(served with W = w) (probability) for w = 0 .. wait_horizon steps,
        the wait W of an arrival chosen at random among those a row stands
        for: rows x (horizon + 1), with a node axis for a network. NaN in a
        row without arrivals. Blocked arrivals and those that give up are
        never served: with them, these sum with ``wait_beyond``,
        ``prob_abandon`` and ``prob_blocked`` to 1."""
        return self._view(self._recorded_waits("wait_probabilities"))

    @property
    def wait_beyond(self) -> NDArray[np.float64]:
        """P(served with W > wait_horizon) (probability): the waits longer than
        recorded."""
        self._recorded_waits("wait_beyond")
        return self._view(self._beyond)

    @property
    def mean_wait(self) -> NDArray[np.float64]:
        """E[W | served] (steps), the average speed of answer over the arrivals
        that are served, not cut at the horizon; infinite where some arrivals
        wait for ever (no servers)."""
        self._recorded_waits("mean_wait")
        return self._view(self._mean_wait)

    @property
    def wait_abandoned(self) -> NDArray[np.float64]:
        """P(an arrival of the row gives up before service) (probability):
        the same as ``prob_abandon``, under the name of the waits'
        fields."""
        return self.prob_abandon

    @property
    def prob_wait(self) -> NDArray[np.float64]:
        """P(W > 0) (probability): the chance that an arrival joins and is not
        taken into service at the end of its own arrival step, whether it is
        served later or gives up."""
        waits = self._recorded_waits("prob_wait")
        waited = self._beyond + waits[:, :, 1:].sum(axis=2)
        if self._abandoned is not None:
            waited = waited + self._abandoned
        return self._view(waited)

    def service_level(self, within: int | Any, *, among: str = "offered") -> NDArray[np.float64]:
        """The share of arrivals taken into service within ``within`` steps (or
        within a duration on the run's clock, counted in whole steps, rounded
        down) (probability). It must lie within the recorded wait horizon.

        ``among="offered"`` (the default) takes it over every arrival, so
        that blocked arrivals and those that give up count as not served:
        P(served with W <= within). ``among="served"`` leaves them out:
        P(W <= within | served). Without abandonment and capacity both are
        the same."""
        if among not in ("offered", "served"):
            raise ValueError(f"service_level: among must be 'offered' or 'served', got {among!r}")
        waits = self._recorded_waits("service_level")
        tau = self._steps_within(within, "service_level")
        if tau > waits.shape[2] - 1:
            raise ValueError(
                f"service_level: a threshold of {tau} steps lies beyond the wait horizon of "
                f"{waits.shape[2] - 1} steps the run recorded; record it with "
                f"wait_horizon={tau} or more"
            )
        level = waits[:, :, : tau + 1].sum(axis=2)
        if among == "served":
            with np.errstate(invalid="ignore", divide="ignore"):
                served = 1 - self._limit("_blocked") / self._arrivals - self._limit("_abandoned")
                level = level / served
        return self._view(level)

    def _steps_within(self, within: Any, where: str) -> int:
        if is_duration(within):
            if self._clock is None:
                raise TypeError(f"{where}: a threshold of {within!r} needs the run's clock")
            return self._clock.steps_within(within, where)
        return whole(where, "the threshold", within, 0)

    # --- the noise of a simulation ---------------------------------------

    @property
    def runs(self) -> int | None:
        """The simulated runs behind the rows (``navro.simulate``); None for a
        computed run."""
        return None if self._sampling is None else int(self._sampling.runs)

    @property
    def seed(self) -> Any:
        """The seed of a simulation; None for a computed run."""
        return None if self._sampling is None else self._sampling.seed

    def standard_error(
        self, measure: str | Callable[[Trajectory], Any], *args: Any, **kwargs: Any
    ) -> NDArray[np.float64]:
        """The Monte Carlo standard error of a measure, per row (and node), in
        the measure's unit: ``measure`` names it as its attribute
        (``"mean"``, ``"prob_all_busy"``, ``"mean_wait"``, ...), with the
        arguments of a method as the method takes them
        (``standard_error("service_level", 3, among="served")``), or is a
        function of one station's trajectory, taken as a function of the
        distribution of the number present. 0 for a computed run."""
        from navro import simulation

        return simulation.standard_error(self, measure, *args, **kwargs)

    def interval(
        self,
        measure: str | Callable[[Trajectory], Any],
        *args: Any,
        level: float = 0.95,
        **kwargs: Any,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """A ``level`` confidence interval of a measure, as ``(low, high)``
        arrays: the estimate plus and minus Student's t quantile (of runs - 1
        degrees of freedom) times its standard error, the measure's
        arguments as for ``standard_error``;
        ``quantile`` takes its level by position and gets the quantiles that
        the sampling error of the distribution allows."""
        from navro import simulation

        return simulation.interval(self, measure, *args, level=level, **kwargs)

    def to_pandas(self, *, within: int | Any | None = None) -> Any:
        """The measures as a DataFrame, one row per row of the run (per row
        and node for a network), with the period and servers of every row.

        Every column's unit is in its name (``"mean [entities]"``,
        ``"prob_wait [probability]"``); with ``within`` (steps, or a duration
        on the run's clock) a column of the service level within it is
        added. The index is the time: the model's time (steps), or with a
        clock the timestamps (the time since the start when the clock has no
        start), in which case the mean wait is in seconds. Needs pandas
        (navro's 'pandas' extra).
        """
        pd = _optional("pandas", "pandas", "Trajectory.to_pandas()")
        columns: dict[str, NDArray[Any]] = {
            "period": self._period,
            "servers [servers]": self.servers,
        }
        waits = self._waits is not None
        for name, (unit, _, _) in MEASURES.items():
            if name in ("prob_wait", "mean_wait") and not waits:
                continue
            values = getattr(self, name)
            if name == "mean_wait" and self._clock is not None:
                unit, values = "s", values * self._clock.step_seconds
            columns[f"{name} [{unit}]"] = values
        columns["dropped_mass [probability]"] = self.dropped_mass
        if within is not None:
            tau = self._steps_within(within, "to_pandas")
            label = f"{within} ({tau} steps)" if is_duration(within) else f"{tau} steps"
            columns[f"service_level within {label} [probability]"] = self.service_level(tau)
        if self._clock is None:
            times = pd.Index(self._times, name="time")
        elif self._clock.start is None:
            times = pd.TimedeltaIndex(self.clock_times, name="time since start")
        else:
            times = pd.DatetimeIndex(self.clock_times, name="time")
        if not self._network:
            return pd.DataFrame(columns, index=times)
        nodes = self.number_of_nodes
        flat = {
            name: (np.repeat(values, nodes) if values.ndim == 1 else values.reshape(-1))
            for name, values in columns.items()
        }
        index = pd.MultiIndex.from_product([times, range(nodes)], names=[times.name, "node"])
        return pd.DataFrame(flat, index=index)

    def plot(
        self,
        kind: str = "heatmap",
        *,
        quantile: float = 0.95,
        ax: Any = None,
        time_label: Callable[[int], str] | None = None,
        tick_every: int | Any | None = None,
        title: str | None = None,
    ) -> Any:
        """Draws the distribution over time, as a ``"heatmap"`` or a ``"fan"``
        chart, with the mean, the ``quantile`` and the servers. A network gets
        one panel per node. Returns the matplotlib Figure. Needs matplotlib
        (navro's 'plot' extra).

        With a clock the time axis shows the clock's times (hours and
        minutes, or the time since the start), with a tick every
        ``tick_every`` (a duration) when given. Without one it shows the
        model's time in steps, labelled through ``time_label`` when given,
        with a tick every ``tick_every`` steps when given.
        """
        if kind not in ("heatmap", "fan"):
            raise ValueError(f"plot: kind must be 'heatmap' or 'fan', got {kind!r}")
        plt = _optional("matplotlib.pyplot", "plot", "Trajectory.plot()")
        if ax is not None and self.number_of_nodes > 1:
            raise ValueError("plot: a network draws one panel per node; plot node(i) into an axes")
        if ax is None:
            figure, axes = plt.subplots(
                self.number_of_nodes,
                1,
                figsize=(9, 3.5 * self.number_of_nodes),
                sharex=True,
                squeeze=False,
            )
            panels = list(axes[:, 0])
        else:
            figure, panels = ax.figure, [ax]
        x, label = self._axis_values()
        for i, panel in enumerate(panels):
            _draw(self.node(i), x, panel, kind, quantile, f"node {i}" if self._network else None)
        self._time_axis(panels[-1], time_label, tick_every)
        panels[-1].set_xlabel(label)
        if title is not None:
            panels[0].set_title(title)
        if ax is None:
            figure.tight_layout()
        return figure

    def _axis_values(self) -> tuple[NDArray[np.float64], str]:
        """Where each row lies on the time axis, and the axis' name: the
        model's time (steps), matplotlib's dates, or hours since the start."""
        if self._clock is None:
            return (self._times[0] + self.elapsed_steps).astype(np.float64), "time (steps)"
        if self._clock.start is None:
            hours = self.elapsed_steps * (self._clock.step_seconds / 3600.0)
            return hours.astype(np.float64), "time since the start (hours)"
        dates = importlib.import_module("matplotlib.dates")
        return np.asarray(dates.date2num(self.clock_times), dtype=np.float64), "time"

    def _time_axis(self, ax: Any, time_label: Callable[[int], str] | None, tick_every: Any) -> None:
        ticker = importlib.import_module("matplotlib.ticker")
        if self._clock is None:
            if tick_every is not None:
                every = whole("plot", "tick_every", tick_every, 1)
                ax.xaxis.set_major_locator(ticker.MultipleLocator(every))
            if time_label is not None:
                ax.xaxis.set_major_formatter(
                    ticker.FuncFormatter(lambda x, _: time_label(round(x)))
                )
            return
        if tick_every is not None:
            seconds = self._clock.steps_within(tick_every, "plot") * self._clock.step_seconds
            unit = 3600.0 if self._clock.start is None else 86400.0  # hours, or days of dates
            ax.xaxis.set_major_locator(ticker.MultipleLocator(seconds / unit))
        if self._clock.start is not None:
            dates = importlib.import_module("matplotlib.dates")
            ax.xaxis.set_major_formatter(dates.DateFormatter("%H:%M"))


def _edges(values: NDArray[Any]) -> NDArray[np.float64]:
    """Cell edges halfway between successive values."""
    v = values.astype(np.float64)
    if len(v) == 1:
        return np.array([v[0] - 0.5, v[0] + 0.5])
    middle = (v[:-1] + v[1:]) / 2
    return np.concatenate([[2 * v[0] - middle[0]], middle, [2 * v[-1] - middle[-1]]])


def _draw(
    station: Trajectory,
    times: NDArray[np.float64],
    ax: Any,
    kind: str,
    level: float,
    label: str | None,
) -> None:
    probabilities = station.probabilities
    top = int(station.quantile(0.999).max()) + 1
    if kind == "heatmap":
        columns = station.counts <= top
        # The colour scale leaves out the brightest rows (a start at a known
        # count puts all mass on one cell), which would wash out the rest.
        bright = float(np.quantile(probabilities.max(axis=1), 0.9)) if len(times) else 1.0
        mesh = ax.pcolormesh(
            _edges(times),
            _edges(station.counts[columns]),
            probabilities[:, columns].T,
            cmap="magma",
            vmin=0,
            vmax=bright or 1.0,
        )
        ax.figure.colorbar(mesh, ax=ax, label="probability")
        lines = "white"
    else:
        for low, high, shade in ((0.05, 0.95, 0.25), (0.25, 0.75, 0.45)):
            ax.fill_between(
                times,
                station.quantile(low),
                station.quantile(high),
                step="mid",
                alpha=shade,
                color="tab:blue",
                linewidth=0,
                label=f"{low:.0%} to {high:.0%}",
            )
        lines = "black"
    ax.plot(times, station.mean, color=lines, linewidth=1, label="mean")
    ax.plot(
        times,
        station.quantile(level),
        color="tab:cyan",
        linewidth=1,
        drawstyle="steps-mid",
        label=f"{level:.0%} quantile",
    )
    ax.plot(
        times,
        station.servers,
        color=lines,
        linewidth=0.8,
        linestyle="--",
        drawstyle="steps-mid",
        label="servers",
    )
    ax.set_ylim(station.counts[0] - 0.5, top + 0.5)
    ax.yaxis.set_major_locator(
        importlib.import_module("matplotlib.ticker").MaxNLocator(integer=True)
    )
    ax.set_ylabel("number present" if label is None else f"number present, {label}")
    ax.legend(loc="upper right", fontsize="small")
