"""Staffing by period: the fewest servers that keep service measures within
their targets through each period of a schedule, as the day unfolds.

``staffing(model, schedule, target, bounds)`` takes the periods in order.
Each starts from the state that the staffing chosen for the periods before
it left, so a queue built up in a peak is carried into the next period
rather than assumed away. For a network every node with a target gets its
own servers, and the other nodes keep those the schedule gives them.

The search runs the period from a snapshot (the model's ``mark()``) under a
trial number of servers and keeps the result of every trial; it steps
outwards from the previous period's choice and then bisects, so a period
costs a few runs rather than one per candidate. That relies on the measures
getting better as servers are added, which holds in practice; when the
values the search has seen say otherwise, the period is scanned from the
lower bound instead, and the result says so.
"""

from __future__ import annotations

import copy
import math
import numbers
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro import _exact
from navro._common import (
    ARRIVAL_MEASURES,
    MEASURES,
    Model,
    Period,
    check_model,
    check_routing,
    frozen,
    per_node,
    periods,
    real,
    servers_of,
    settings,
    shown,
    whole,
)
from navro._core import StandardNetworkMultiserver
from navro.clock import Clock, as_duration, is_duration
from navro.trajectories import DEFAULT_WAIT_HORIZON, Trajectory, _recorded_run, trajectory

__all__ = ["Staffing", "Target", "staffing"]

# How far a measure may get worse with one server more before the search
# stops trusting it to get better: above the rounding of the measures and
# the tail cut of a step, far below any target anyone sets.
_SLACK = 1e-9

# Names a target takes besides the measures': the analyst's word for the
# servers' utilisation.
_ALIASES = {"occupancy": "utilisation"}


@dataclass(frozen=True)
class Target:
    """A service measure held to a bound, at every step of a period
    (``when="every"``) or at its last step only (``when="end"``).

    Parameters
    ----------
    measure : str or callable
        A per-row measure of ``Trajectory``: ``"service_level"`` (with
        ``within``), ``"prob_wait"``, ``"mean_wait"``, ``"utilisation"`` (or
        ``"occupancy"``), ``"prob_all_busy"``, ``"expected_queue_length"``,
        ``"mean"``, ... Or a function that takes one station's ``Trajectory``
        of a period and returns one value per row, such as ``lambda run:
        run.prob_at_least(run.servers + 3)`` (``Trajectory.expectation``
        builds any other from the number present and the servers).
    at_most, at_least : float or duration
        The bound, and which side of it the measure must stay: give exactly
        one. A mean wait may be bounded by a duration (``"45s"``) on the run's
        clock.
    when : {"every", "end"}
    within : int or duration
        The service level's threshold: the share of arrivals taken into
        service within this many steps, or within this duration on the run's
        clock (whole steps, rounded down).
    among : {"offered", "served"}
        Whose service level: of every arrival (the default), blocked ones and
        those that give up counting as not served, or of the answered only
        (``Trajectory.service_level``'s ``among``).

    Notes
    -----
    A NaN never meets a target, but a measure of the arrivals (service level,
    chance to wait, mean wait) leaves out the rows in which no entity
    arrives: a period without arrivals meets it. A bound that every value of
    a named measure meets, or none does, is refused. Staffing looks for the
    fewest servers, so the measure should get better as servers are added.

    Examples
    --------
    >>> Target("service_level", at_least=0.8, within="20s")
    >>> Target("service_level", at_least=0.8, within="20s", among="served")
    >>> Target("mean_wait", at_most="30s")
    >>> Target("occupancy", at_most=0.85)
    """

    measure: str | Callable[[Trajectory], Any]
    at_most: Any = None
    when: str = "every"
    at_least: Any = field(default=None, kw_only=True)
    within: Any = field(default=None, kw_only=True)
    among: str = field(default="offered", kw_only=True)

    def __post_init__(self) -> None:
        if isinstance(self.measure, str):
            self._check_name()
        elif not callable(self.measure):
            raise TypeError(
                f"Target: measure must be a measure's name or a function of a run, got "
                f"{shown(self.measure)}"
            )
        elif self.within is not None:
            raise ValueError("Target: within goes with the service_level measure only")
        if (self.at_most is None) == (self.at_least is None):
            raise TypeError("Target: give exactly one of at_most and at_least")
        side = "at_most" if self.at_least is None else "at_least"
        object.__setattr__(self, side, self._bound(side, getattr(self, side)))
        if self.when not in ("every", "end"):
            raise ValueError(f"Target: when must be 'every' or 'end', got {self.when!r}")
        if self.among not in ("offered", "served"):
            raise ValueError(f"Target: among must be 'offered' or 'served', got {self.among!r}")
        if self.among != "offered" and self.measure != "service_level":
            raise ValueError("Target: among goes with the service_level measure only")

    def _check_name(self) -> None:
        name = _ALIASES.get(str(self.measure), str(self.measure))
        if name == "expected_waiting":
            warnings.warn(
                "Target('expected_waiting') is the expected number waiting (entities, not a "
                "time), now called expected_queue_length; for the time an arrival waits use "
                "mean_wait",
                DeprecationWarning,
                stacklevel=4,
            )
            name = "expected_queue_length"
        if name not in MEASURES and name != "service_level":
            names = ", ".join(["service_level", *MEASURES, *_ALIASES])
            raise ValueError(f"Target: unknown measure {self.measure!r}; one of {names}")
        object.__setattr__(self, "measure", name)
        if (name == "service_level") != (self.within is not None):
            raise ValueError(
                "Target: the service_level measure takes a threshold (within=...), and only it"
            )
        if self.within is not None:
            if is_duration(self.within):
                object.__setattr__(self, "within", as_duration(self.within, "Target: within"))
            else:
                object.__setattr__(self, "within", whole("Target", "within", self.within, 0))

    def _bound(self, side: str, value: Any) -> float | Any:
        if is_duration(value):
            if self.measure != "mean_wait":
                raise TypeError(f"Target: a duration bounds a mean wait only, got {value!r}")
            return as_duration(value, f"Target: {side}")
        bound = real("Target", side, value)
        if math.isnan(bound):
            raise ValueError(f"Target: {side} must not be NaN")
        if isinstance(self.measure, str):
            unit, low, high = MEASURES.get(self.measure, ("probability", 0.0, 1.0))
            never = bound < low if side == "at_most" else bound > high
            always = bound >= high if side == "at_most" else bound <= low
            if never or always:
                reach = "no value can meet" if never else "every value meets"
                raise ValueError(
                    f"Target: {self.measure} ({unit}) lies in [{low}, {high}]: {reach} "
                    f"{side}={bound}"
                )
        return bound

    @property
    def bound(self) -> float | Any:
        """The bound, whichever side it is on."""
        return self.at_most if self.at_least is None else self.at_least

    def wait_horizon(self, clock: Clock | None) -> int | None:
        """The waits a run must record for the target to be checked: up to
        the service level's threshold, none beyond the chance to wait and
        the mean, and the default horizon for a function, which may ask for
        any. None where the target needs no waits."""
        if callable(self.measure):
            return DEFAULT_WAIT_HORIZON
        if self.measure == "service_level":
            return _steps_within(self.within, clock)
        return 0 if self.measure in ARRIVAL_MEASURES else None

    def values(self, run: Trajectory) -> NDArray[np.float64]:
        """The measure at every row of ``run``, one station's run."""
        if callable(self.measure):
            values = np.asarray(self.measure(run), dtype=np.float64)
        elif self.measure == "service_level":
            values = run.service_level(_steps_within(self.within, run.clock), among=self.among)
        else:
            values = getattr(run, str(self.measure))
        if values.shape != (len(run),):
            raise ValueError(
                f"Target: the measure gave shape {values.shape} for a run of {len(run)} rows"
            )
        return values

    def check(self, run: Trajectory) -> tuple[float, bool]:
        """The worst value the target checks in ``run``, one period of one
        station (every row after the first, the state the period started
        from, or the last row only), and whether it meets the bound. The
        worst is the largest for ``at_most``, the smallest for ``at_least``;
        NaN where no row was checked (a measure of the arrivals in a period
        without any, which meets the target)."""
        values = self.values(run)
        checked = values[1:] if self.when == "every" else values[-1:]
        if isinstance(self.measure, str) and self.measure in ARRIVAL_MEASURES:
            checked = checked[(run.arrivals[1:] if self.when == "every" else run.arrivals[-1:]) > 0]
            if len(checked) == 0:
                return math.nan, True
        if len(checked) == 0:
            return math.nan, False
        bound = self._bound_in_steps(run.clock)
        if self.at_least is None:
            worst = float(np.max(checked))  # a NaN stays NaN and fails
            return worst, worst <= bound
        worst = float(np.min(checked))
        return worst, worst >= bound

    def worst(self, run: Trajectory) -> float:
        """The worst value the target checks in ``run`` (see ``check``)."""
        return self.check(run)[0]

    def _bound_in_steps(self, clock: Clock | None) -> float:
        bound = self.bound
        if isinstance(bound, float):
            return bound
        if clock is None:
            raise TypeError(f"Target: a bound of {bound} needs the run's clock")
        return float(bound.total_seconds() / clock.step_seconds)


def _steps_within(within: Any, clock: Clock | None) -> int:
    if isinstance(within, int):
        return within
    if clock is None:
        raise TypeError(f"Target: a threshold of {within} needs the run's clock")
    return clock.steps_within(within, "Target: within")


@dataclass(frozen=True, eq=False)
class Staffing:
    """The result of ``staffing``. Arrays have one row per period and, for a
    network, one column per node.

    - ``roster``: the servers of every period. A period whose targets cannot
      be met within the bounds holds the upper bound, and the periods after
      it start from the state it left.
    - ``met``: whether every target holds in the period under the roster
      (True for a node without a target).
    - ``worst``: the worst checked value of the measure under the roster (NaN
      for a node without a target); with several targets at a node, one
      value per target along a last axis, in the order given.
    - ``monotone``: False where the search saw a measure get worse with more
      servers (and so scanned that period from the lower bound), or saw a
      node need fewer servers once another node had more.
    - ``trajectory``: the whole run under the roster.
    - ``runs``: how many runs of a period the search took.

    ``check(runs=...)`` simulates the real system under the roster and
    reports, per period, what each target's measure achieves there, with its
    interval.
    """

    roster: NDArray[np.int64]
    met: NDArray[np.bool_]
    worst: NDArray[np.float64]
    monotone: NDArray[np.bool_]
    trajectory: Trajectory
    runs: int
    # What a check needs: the model as handed in, the periods, the targets
    # per node, the clock and the waits recorded.
    _start: Any = field(default=None, repr=False)
    _periods: Any = field(default=None, repr=False)
    _targets: Any = field(default=None, repr=False)
    _clock: Any = field(default=None, repr=False)
    _horizon: Any = field(default=None, repr=False)

    def check(
        self,
        *,
        runs: int,
        seed: Any = None,
        level: float = 0.95,
        threads: int | None = None,
    ) -> Any:
        """Simulates ``runs`` runs of the real system under the roster, from
        the model as it was handed to ``staffing``, and returns a
        ``navro.RosterCheck``: per period (and node, and target) the target's
        measure as the simulation achieves it (its worst value among those
        the target checks) with its ``level`` confidence interval, and
        whether it is met. Where the maps are not exact, this tells whether
        the roster meets its targets in truth. ``seed`` and ``threads`` are
        ``navro.simulate``'s."""
        from navro.simulation import check_roster

        return check_roster(
            self._start,
            self._periods,
            self.roster,
            self._targets,
            runs=runs,
            seed=seed,
            level=level,
            threads=threads,
            clock=self._clock,
            wait_horizon=self._horizon,
        )

    @property
    def infeasible(self) -> list[int]:
        """The periods in which some target is missed even at the upper
        bound of the servers."""
        missed = ~self.met.reshape(len(self.met), -1)
        return [int(p) for p in np.flatnonzero(missed.any(axis=1))]

    def __repr__(self) -> str:
        return (
            f"<navro.Staffing: {len(self.roster)} periods, servers "
            f"{self.roster.min()}..{self.roster.max()}, infeasible periods {self.infeasible}>"
        )


# Public under the package's name, so reprs and pickles do not leak the
# private module.
Target.__module__ = Staffing.__module__ = "navro"


def staffing(
    model: Model,
    schedule: int | Any | Sequence[Period],
    target: Target | Sequence[Any] | Mapping[int, Any],
    bounds: tuple[int, int] | Mapping[int, tuple[int, int]] | Sequence[tuple[int, int]],
    *,
    search: str = "bisect",
    clock: Clock | None = None,
    wait_horizon: int | None = None,
    method: str = "maps",
    max_states: int = _exact.DEFAULT_MAX_STATES,
    drop_below: float = _exact.DEFAULT_DROP_BELOW,
) -> Staffing:
    """Chooses, period by period, the fewest servers within ``bounds`` (low,
    high) that meet every target, and returns them with the run under them.

    Parameters
    ----------
    model : StandardMultiserver or StandardNetworkMultiserver
    schedule : int, duration or sequence of Period
        The periods to staff, as for ``trajectory``; they must leave the
        servers of staffed nodes to the search.
    target : Target, or several
        For a station a ``Target`` or a list of them, all of which must
        hold. A network takes per node a ``Target``, a list of them, or None
        (a mapping from node, or a sequence with an entry per node); one
        ``Target`` serves every node.
    bounds : (low, high), or one pair per node
        The fewest and the most servers a period may have.
    search : {"bisect", "scan"}
        Bisection trusts the measures to get better as servers are added;
        where the values it tries say otherwise, the period is scanned from
        the lower bound and ``monotone`` is False there. A turn between the
        numbers tried goes unseen, so for a measure that may not improve,
        ``"scan"`` tries every number from the lower bound up instead.
    clock : navro.Clock, optional
        The run's clock: periods, thresholds and bounds may then be durations.
    wait_horizon : int, optional
        The waits to record (steps) at least, beyond what the targets need
        (a target's function sees waits up to 10 steps unless more are asked).
    method, max_states, drop_below
        As for ``trajectory``: ``method="exact"`` runs every trial on the
        exact chain of the real system, carried from period to period, whose
        size is estimated with the upper bounds of the servers before the
        first trial. It gives no waits, so targets on them are refused.

    Returns
    -------
    Staffing

    Notes
    -----
    A network's nodes load each other, so a period's servers are searched node
    by node, starting from the lower bounds, until no node's choice changes;
    then one server fewer at any staffed node breaks one of its targets.

    Every argument is checked before the first step. The model is left at the
    end of the run under the roster, and its snapshot (``mark()``) is used by
    the search: a snapshot taken before the call is replaced. A step that
    fails, or Ctrl-C, raises and leaves the model at the start of the period
    being staffed.
    """
    check_model(model, "staffing")
    if clock is not None and not isinstance(clock, Clock):
        raise TypeError(f"staffing: clock must be a navro.Clock, got {shown(clock)}")
    plan = periods(schedule, "staffing", clock)
    if not plan:
        raise ValueError("staffing: the schedule has no periods")
    if search not in ("bisect", "scan"):
        raise ValueError(f"staffing: search must be 'bisect' or 'scan', got {search!r}")
    network = isinstance(model, StandardNetworkMultiserver)
    nodes = model.get_number_of_nodes() if isinstance(model, StandardNetworkMultiserver) else 1
    targets = _targets(target, nodes, network)
    staffed = [node for node, ts in enumerate(targets) if ts]
    limits = _bounds(bounds, nodes, staffed, network)
    fixed = [_fixed_servers(model, period, p, staffed, network) for p, period in enumerate(plan)]
    check_routing(model, plan)
    horizon = _recorded_horizon(targets, clock, wait_horizon)
    _exact.check_method(method, "staffing")
    chain = None
    if method == "exact":
        _refuse_wait_targets(targets)
        highest = {node: limits[node][1] for node in staffed}
        chain = _exact.start(model, plan, max_states, drop_below, "staffing", highest)

    start = copy.copy(model)
    guesses = [int(servers_of(model)[node]) for node in staffed]
    most = max(len(ts) for ts in targets)
    roster = np.zeros((len(plan), nodes), dtype=np.int64)
    met = np.ones((len(plan), nodes), dtype=np.bool_)
    worst = np.full((len(plan), nodes, most), math.nan)
    monotone = np.ones((len(plan), nodes), dtype=np.bool_)
    runs, parts = 0, []
    for p, period in enumerate(plan):
        model.mark()
        if chain is not None:
            chain.mark()
        trials = _Trials(model, period, fixed[p], staffed, targets, network, clock, horizon, chain)
        try:
            chosen, falls = _staff(trials, p, staffed, limits, guesses, search == "scan")
            run = trials.run(chosen)
        except BaseException:
            model.restore()
            if chain is not None:
                chain.restore()
            raise
        runs += trials.runs
        parts.append(run)
        guesses = list(chosen)
        roster[p] = run.servers[-1]
        checks = trials.checks(chosen)
        for i, node in enumerate(staffed):
            values = [value for value, _ in checks[node]]
            worst[p, node, : len(values)] = values
            met[p, node] = all(ok for _, ok in checks[node])
            monotone[p, node] = falls[i]

    def view(array: NDArray[Any]) -> NDArray[Any]:
        return frozen(array if network else array[:, 0])

    return Staffing(
        roster=view(roster),
        met=view(met),
        worst=view(worst[:, :, 0] if most == 1 else worst),
        monotone=view(monotone),
        trajectory=Trajectory.concatenate(parts),
        runs=runs,
        _start=start,
        _periods=plan,
        _targets=targets,
        _clock=clock,
        _horizon=horizon,
    )


def _refuse_wait_targets(targets: list[list[Target]]) -> None:
    """The exact chain gives no waits: a target on them could never be met."""
    for ts in targets:
        for t in ts:
            if isinstance(t.measure, str) and t.measure in ARRIVAL_MEASURES:
                raise ValueError(
                    f"staffing: method='exact' gives no waits, so a target on {t.measure} "
                    "cannot be checked; use method='maps'"
                )


# --- arguments ---------------------------------------------------------------


def _node_targets(value: Any) -> list[Target]:
    """A node's targets: a Target, several, or None for none."""
    if value is None:
        return []
    if isinstance(value, Target):
        return [value]
    if isinstance(value, (Sequence, np.ndarray)) and not isinstance(value, str):
        found = list(value)
        if found and all(isinstance(t, Target) for t in found):
            return found
    raise TypeError(f"staffing: a target is a Target, a list of them or None, got {shown(value)}")


def _targets(value: Any, nodes: int, network: bool) -> list[list[Target]]:
    if isinstance(value, Target):
        return [[value]] * nodes
    if not network:
        if isinstance(value, (Mapping, str)) or not isinstance(value, Sequence):
            raise TypeError(
                f"staffing: a station takes a Target or a list of them, got {shown(value)}"
            )
        return [_node_targets(value)]
    targets: list[list[Target]] = [[] for _ in range(nodes)]
    for node, ts in per_node(value, nodes, _node_targets, "the targets", "staffing"):
        targets[node] = ts
    if not any(targets):
        raise ValueError("staffing: no node has a target")
    return targets


def _recorded_horizon(
    targets: list[list[Target]], clock: Clock | None, least: int | None
) -> int | None:
    """The waits the runs must record; a target whose durations need a
    clock that the call lacks is refused here, before any step."""
    for ts in targets:
        for t in ts:
            t._bound_in_steps(clock)
    needed = [t.wait_horizon(clock) for ts in targets for t in ts]
    if least is not None:
        needed.append(whole("staffing", "wait_horizon", least, 0))
    asked = [h for h in needed if h is not None]
    return max(asked) if asked else None


def _pair(value: Any) -> tuple[int, int]:
    if not _is_pair(value):
        raise ValueError(f"staffing: bounds are a pair (low, high) of servers, got {shown(value)}")
    low, high = (whole("staffing", "a bound", x) for x in value)
    if low > high:
        raise ValueError(f"staffing: bounds ({low}, {high}) have the lower above the upper")
    return low, high


def _bounds(
    value: Any, nodes: int, staffed: list[int], network: bool
) -> dict[int, tuple[int, int]]:
    if not network or _is_pair(value):
        pair = _pair(value)
        return {node: pair for node in staffed}
    limits = dict(per_node(value, nodes, _pair, "the bounds", "staffing"))
    missing = [node for node in staffed if node not in limits]
    if missing:
        raise ValueError(f"staffing: no bounds for the staffed nodes {missing}")
    return limits


def _is_pair(value: Any) -> bool:
    """Two numbers: a tuple, a list or a NumPy array of them."""
    if isinstance(value, (str, Mapping)) or not isinstance(value, (Sequence, np.ndarray)):
        return False
    return len(value) == 2 and all(
        isinstance(x, numbers.Real) and not isinstance(x, (Sequence, np.ndarray)) for x in value
    )


def _fixed_servers(
    model: Model, period: Period, index: int, staffed: list[int], network: bool
) -> dict[int, int]:
    """The servers the period sets at nodes without a target; the period's
    other settings are checked here too, before any step."""
    settings(model, replace(period, servers=None))
    if period.servers is None:
        return {}
    if not network:
        raise ValueError(f"staffing: period {index} sets the servers, which staffing chooses")
    nodes = len(servers_of(model))
    pairs = per_node(period.servers, nodes, _node_servers, "servers")
    taken = sorted(node for node, _ in pairs if node in staffed)
    if taken:
        raise ValueError(
            f"staffing: period {index} sets the servers of the nodes {taken}, which staffing "
            "chooses"
        )
    return dict(pairs)


def _node_servers(x: Any) -> int:
    return whole("Period", "a number of servers", x)


# --- the search --------------------------------------------------------------

# Per node, each target's worst checked value and whether it is met.
_Checks = list[list[tuple[float, bool]]]


class _Trials:
    """Runs of one period from its snapshot, one per trial staffing (the
    servers of the staffed nodes, in order), each run once."""

    def __init__(
        self,
        model: Model,
        period: Period,
        fixed: dict[int, int],
        staffed: list[int],
        targets: list[list[Target]],
        network: bool,
        clock: Clock | None,
        horizon: int | None,
        chain: _exact.ExactRun | None = None,
    ) -> None:
        self._model = model
        self._chain = chain
        self._period = period
        self._fixed = fixed
        self._staffed = staffed
        self._targets = targets
        self._network = network
        self._clock = clock
        self._horizon = horizon
        self._done: dict[tuple[int, ...], tuple[_Checks, Trajectory]] = {}
        self._model_ends_at: tuple[int, ...] | None = None
        self.runs = 0

    def checks(self, servers: tuple[int, ...]) -> _Checks:
        """Every node's targets checked under ``servers``."""
        if servers not in self._done:
            self._run(servers)
        return self._done[servers][0]

    def run(self, servers: tuple[int, ...]) -> Trajectory:
        """The run under ``servers``, with the model left at its end."""
        if self._model_ends_at != servers:
            self._run(servers)
        return self._done[servers][1]

    def _run(self, servers: tuple[int, ...]) -> None:
        self._model.restore()
        self._model_ends_at = None
        chosen = dict(zip(self._staffed, servers))
        setting: Any = {**self._fixed, **chosen} if self._network else servers[0]
        plan = [replace(self._period, servers=setting)]
        if self._chain is None:
            run = trajectory(self._model, plan, wait_horizon=self._horizon, clock=self._clock)
        else:
            self._chain.restore()
            changes = [settings(self._model, period) for period in plan]
            record = self._chain.record
            run = _recorded_run(self._model, plan, changes, 1, self._horizon, self._clock, record)
        self._model_ends_at = servers
        self.runs += 1
        views = [run.node(n) for n in range(run.number_of_nodes)] if self._network else [run]
        checks = [[t.check(view) for t in ts] for ts, view in zip(self._targets, views)]
        self._done[servers] = (checks, run)


def _staff(
    trials: _Trials,
    period: int,
    staffed: list[int],
    limits: dict[int, tuple[int, int]],
    guesses: list[int],
    scan: bool,
) -> tuple[tuple[int, ...], list[bool]]:
    """Per staffed node, the fewest servers that meet its targets given the
    others' choices, and whether its measures got better with more servers.

    More servers at one node send more entities on to the others, so a
    node's measures get worse with the others' servers. Starting every node
    at its lower bound and raising each in turn to the fewest it needs given
    the others, the choices then only ever rise, and they stop at the
    fewest that serve all nodes together. A choice that falls again means
    the nodes do not behave so (the result is then still the fewest at each
    node given the others); a roster met twice means they never settle."""
    servers = [limits[node][0] for node in staffed]
    falls = [True] * len(staffed)
    searched = [False] * len(staffed)
    pending = set(range(len(staffed)))
    seen = {tuple(servers)}
    while pending:
        for i, node in enumerate(staffed):
            if i not in pending:
                continue
            pending.discard(i)

            def check_at(count: int, i: int = i, node: int = node) -> tuple[bool, list[float]]:
                trial = servers.copy()
                trial[i] = count
                checks = trials.checks(tuple(trial))[node]
                return all(ok for _, ok in checks), [
                    _badness(t, value) for t, (value, _) in zip(trials._targets[node], checks)
                ]

            low, high = limits[node]
            found, fell = _smallest(check_at, low, high, guesses[i], scan)
            choice = high if found is None else found
            falls[i] = falls[i] and fell and not (searched[i] and choice < servers[i])
            searched[i] = True
            if choice != servers[i]:
                servers[i] = choice
                if tuple(servers) in seen:
                    raise RuntimeError(
                        f"staffing: the servers of period {period} do not settle: a node's "
                        "measure falls as another node's servers rise"
                    )
                seen.add(tuple(servers))
                pending.update(j for j in range(len(staffed)) if j != i)
    return tuple(servers), falls


def _badness(target: Target, value: float) -> float:
    """A checked value turned so that larger is worse, whichever side the
    target's bound is on."""
    return value if target.at_least is None else -value


def _smallest(
    check_at: Callable[[int], tuple[bool, list[float]]],
    low: int,
    high: int,
    guess: int,
    scan: bool,
) -> tuple[int | None, bool]:
    """The smallest count in low..high that meets every target (None if there
    is none), and whether the values seen got better as the count rose."""
    seen: dict[int, list[float]] = {}
    met: dict[int, bool] = {}

    def meets(count: int) -> bool:
        if count not in met:
            met[count], seen[count] = check_at(count)
        return met[count]

    def first_from_low() -> int | None:
        return next((c for c in range(low, high + 1) if meets(c)), None)

    if scan:
        return first_from_low(), _falling(seen)
    # Start one below the guess: when the guess is right, that fails, the
    # guess itself is the second and last run, and the model ends there.
    found = _gallop_and_bisect(meets, low, high, min(max(guess - 1, low), high))
    if _falling(seen):
        return found, True
    return first_from_low(), False


def _gallop_and_bisect(meets: Callable[[int], bool], low: int, high: int, start: int) -> int | None:
    """Steps of 1, 2, 4, ... from ``start`` to a count that meets the target
    and one that does not, then bisects between them."""
    step = 1
    if meets(start):
        good = start
        while good > low:
            probe = max(low, good - step)
            if not meets(probe):
                bad = probe
                break
            good, step = probe, step * 2
        else:
            return low
    else:
        bad = start
        while bad < high:
            probe = min(high, bad + step)
            if meets(probe):
                good = probe
                break
            bad, step = probe, step * 2
        else:
            return None
    while good - bad > 1:
        middle = (good + bad) // 2
        if meets(middle):
            good = middle
        else:
            bad = middle
    return good


def _falling(seen: dict[int, list[float]]) -> bool:
    """Whether every target's values seen, in increasing order of count,
    never get worse by more than the slack (values that are not finite, a
    NaN or the infinite wait of no servers, are left out)."""
    counts = sorted(seen)
    for k in range(len(seen[counts[0]]) if counts else 0):
        values = [seen[c][k] for c in counts if math.isfinite(seen[c][k])]
        if not all(b <= a + _SLACK * max(1.0, abs(a)) for a, b in zip(values, values[1:])):
            return False
    return True
