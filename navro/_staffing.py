"""Staffing by period: the fewest servers that keep a service measure within
its target through each period of a schedule, as the day unfolds.

``staffing(model, schedule, target, bounds)`` takes the periods in order.
Each starts from the state that the staffing chosen for the periods before
it left, so a queue built up in a peak is carried into the next period
rather than assumed away. For a network every node with a target gets its
own servers, and the other nodes keep those the schedule gives them.

The search runs the period from a snapshot (the model's ``mark()``) under a
trial number of servers and keeps the result of every trial; it steps
outwards from the previous period's choice and then bisects, so a period
costs a few runs rather than one per candidate. That relies on the measure
falling as servers are added, which holds in practice; when the values the
search has seen say otherwise, the period is scanned from the lower bound
instead, and the result says so.
"""

from __future__ import annotations

import copy
import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro._core import StandardNetworkMultiserver
from navro.distributions import _count
from navro.trajectories import (
    Model,
    Period,
    Trajectory,
    _per_node,
    _periods,
    _servers,
    _servers_of,
    _settings,
    trajectory,
)

__all__ = ["Staffing", "Target", "staffing"]

# How far a measure may rise with one server more before the search stops
# trusting it to fall: above the rounding of the measures and the tail cut of
# a step, far below any target anyone sets.
_SLACK = 1e-9


@dataclass(frozen=True)
class Target:
    """``measure`` at most ``at_most``: at every step of a period
    (``when="every"``) or at its last step only (``when="end"``).

    ``measure`` names a per-row measure of ``Trajectory`` ("prob_all_busy",
    "expected_waiting", "mean", ...) or is a function that takes one
    station's ``Trajectory`` of a period and returns one value per row, such
    as ``lambda run: run.prob_at_least(12)``. A NaN value never meets the
    target. Staffing looks for the fewest servers, so the measure should be
    one that falls as servers are added.
    """

    measure: str | Callable[[Trajectory], Any]
    at_most: float
    when: str = "every"

    def __post_init__(self) -> None:
        if isinstance(self.measure, str):
            if self.measure not in Trajectory._COLUMNS:
                names = ", ".join(Trajectory._COLUMNS)
                raise ValueError(f"Target: unknown measure {self.measure!r}; one of {names}")
        elif not callable(self.measure):
            raise TypeError("Target: measure must be a measure's name or a function of a run")
        bound = float(self.at_most)
        if math.isnan(bound):
            raise ValueError("Target: at_most must not be NaN")
        object.__setattr__(self, "at_most", bound)
        if self.when not in ("every", "end"):
            raise ValueError(f"Target: when must be 'every' or 'end', got {self.when!r}")

    def worst(self, run: Trajectory) -> float:
        """The largest value the target checks in ``run``, one period of one
        station: every row after the first (the state the period started
        from), or the last row only."""
        if isinstance(self.measure, str):
            values = getattr(run, self.measure)
        else:
            values = np.asarray(self.measure(run), dtype=np.float64)
        if values.shape != (len(run),):
            raise ValueError(
                f"Target: the measure gave shape {values.shape} for a run of {len(run)} rows"
            )
        checked = values[1:] if self.when == "every" else values[-1:]
        return float(np.max(checked))  # a NaN stays NaN and fails


@dataclass(frozen=True, eq=False)
class Staffing:
    """The result of ``staffing``. Arrays have one row per period and, for a
    network, one column per node.

    - ``roster``: the servers of every period. A period whose target cannot
      be met within the bounds holds the upper bound, and the periods after
      it start from the state it left.
    - ``met``: whether the target holds in the period under the roster (True
      for a node without a target).
    - ``worst``: the largest checked value of the measure under the roster
      (NaN for a node without a target).
    - ``monotone``: False where the search saw the measure rise with more
      servers (and so scanned that period from the lower bound), or saw a
      node need fewer servers once another node had more.
    - ``trajectory``: the whole run under the roster.
    - ``runs``: how many runs of a period the search took.

    ``check(runs=...)`` simulates the real system under the roster and
    reports, per period, the measure it achieves there, with its interval.
    """

    roster: NDArray[np.int64]
    met: NDArray[np.bool_]
    worst: NDArray[np.float64]
    monotone: NDArray[np.bool_]
    trajectory: Trajectory
    runs: int
    # What a check needs: the model as handed in, the periods and the
    # targets per node.
    _start: Any = field(default=None, repr=False)
    _periods: Any = field(default=None, repr=False)
    _targets: Any = field(default=None, repr=False)

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
        ``navro.RosterCheck``: per period (and node) the target's measure as
        the simulation achieves it (the largest value the target checks)
        with its ``level`` confidence interval. Where the maps are not exact,
        this tells whether the roster meets its target in truth.
        ``seed`` and ``threads`` are ``navro.simulate``'s."""
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
    schedule: int | Sequence[Period],
    target: Target | Mapping[int, Target] | Sequence[Target | None],
    bounds: tuple[int, int] | Mapping[int, tuple[int, int]] | Sequence[tuple[int, int]],
    *,
    search: str = "bisect",
) -> Staffing:
    """Chooses, period by period, the fewest servers within ``bounds`` (low,
    high) that meet ``target``, and returns them with the run under them.

    A network takes one target per node (a mapping from node to ``Target``,
    or a sequence with a ``Target`` or None per node; one ``Target`` serves
    every node) and bounds as one pair for every node or one per node. Its
    nodes load each other, so a period's servers are searched node by node,
    starting from the lower bounds, until no node's choice changes; then one
    server fewer at any staffed node breaks that node's target.

    Bisection trusts the measure to fall as servers are added; where the
    values it tries say otherwise, the period is scanned from the lower
    bound and ``monotone`` is False there. A rise between the numbers tried
    goes unseen, so for a measure that may not fall, ``search="scan"`` tries
    every number from the lower bound up instead.

    The schedule must leave the servers of staffed nodes to the search. Every
    period is checked before the first step. The model is left at the end of
    the run under the roster, and its snapshot (``mark()``) is used by the
    search: a snapshot taken before the call is replaced. A step that fails,
    or Ctrl-C, raises and leaves the model at the start of the period being
    staffed.
    """
    periods = _periods(schedule, "staffing")
    if not periods:
        raise ValueError("staffing: the schedule has no periods")
    if search not in ("bisect", "scan"):
        raise ValueError(f"staffing: search must be 'bisect' or 'scan', got {search!r}")
    network = isinstance(model, StandardNetworkMultiserver)
    nodes = model.get_number_of_nodes() if network else 1
    targets = _targets(target, nodes, network)
    staffed = [node for node, t in enumerate(targets) if t is not None]
    limits = _bounds(bounds, nodes, staffed, network)
    fixed = [_fixed_servers(model, period, p, staffed, network) for p, period in enumerate(periods)]

    start = copy.copy(model)
    guesses = [int(_servers_of(model)[node]) for node in staffed]
    shape = (len(periods), nodes)
    roster = np.zeros(shape, dtype=np.int64)
    met = np.ones(shape, dtype=np.bool_)
    worst = np.full(shape, math.nan)
    monotone = np.ones(shape, dtype=np.bool_)
    runs, parts = 0, []
    for p, period in enumerate(periods):
        model.mark()
        trials = _Trials(model, period, fixed[p], staffed, targets, network)
        try:
            chosen, falls = _staff(trials, p, staffed, targets, limits, guesses, search == "scan")
            run = trials.run(chosen)
        except BaseException:
            model.restore()
            raise
        runs += trials.runs
        parts.append(run)
        guesses = list(chosen)
        roster[p] = run.servers[-1]
        for i, node in enumerate(staffed):
            t = targets[node]
            assert t is not None
            worst[p, node] = trials.worst(chosen)[node]
            met[p, node] = worst[p, node] <= t.at_most
            monotone[p, node] = falls[i]

    def view(array: NDArray[Any]) -> NDArray[Any]:
        array.flags.writeable = False
        return array if network else array[:, 0]

    return Staffing(
        roster=view(roster),
        met=view(met),
        worst=view(worst),
        monotone=view(monotone),
        trajectory=Trajectory.concatenate(parts),
        runs=runs,
        _start=start,
        _periods=periods,
        _targets=targets,
    )


# --- arguments ---------------------------------------------------------------


def _target(value: Any) -> Target | None:
    if value is not None and not isinstance(value, Target):
        raise TypeError(f"staffing: a target is a Target or None, not {type(value).__name__}")
    return value


def _targets(value: Any, nodes: int, network: bool) -> list[Target | None]:
    if isinstance(value, Target):
        return [value] * nodes
    if not network:
        raise TypeError(f"staffing: a station takes one Target, not {type(value).__name__}")
    targets: list[Target | None] = [None] * nodes
    for node, t in _per_node(value, nodes, _target, "the targets", "staffing"):
        targets[node] = t
    if all(t is None for t in targets):
        raise ValueError("staffing: no node has a target")
    return targets


def _pair(value: Any) -> tuple[int, int]:
    if not _is_pair(value):
        raise ValueError(f"staffing: bounds are a pair (low, high) of servers, got {value!r}")
    low, high = (_count("staffing", "a bound", x) for x in value)
    if low > high:
        raise ValueError(f"staffing: bounds ({low}, {high}) have the lower above the upper")
    return low, high


def _bounds(
    value: Any, nodes: int, staffed: list[int], network: bool
) -> dict[int, tuple[int, int]]:
    if not network or _is_pair(value):
        pair = _pair(value)
        return {node: pair for node in staffed}
    limits = dict(_per_node(value, nodes, _pair, "the bounds", "staffing"))
    missing = [node for node in staffed if node not in limits]
    if missing:
        raise ValueError(f"staffing: no bounds for the staffed nodes {missing}")
    return limits


def _is_pair(value: Any) -> bool:
    return (
        isinstance(value, Sequence)
        and len(value) == 2
        and all(isinstance(x, numbers.Integral) for x in value)
    )


def _fixed_servers(
    model: Model, period: Period, index: int, staffed: list[int], network: bool
) -> dict[int, int]:
    """The servers the period sets at nodes without a target; the period's
    other settings are checked here too, before any step."""
    _settings(model, replace(period, servers=None))
    if period.servers is None:
        return {}
    if not network:
        raise ValueError(f"staffing: period {index} sets the servers, which staffing chooses")
    nodes = len(_servers_of(model))
    pairs = _per_node(period.servers, nodes, _servers, "servers")
    taken = sorted(node for node, _ in pairs if node in staffed)
    if taken:
        raise ValueError(
            f"staffing: period {index} sets the servers of the nodes {taken}, which staffing "
            "chooses"
        )
    return dict(pairs)


# --- the search --------------------------------------------------------------


class _Trials:
    """Runs of one period from its snapshot, one per trial staffing (the
    servers of the staffed nodes, in order), each run once."""

    def __init__(
        self,
        model: Model,
        period: Period,
        fixed: dict[int, int],
        staffed: list[int],
        targets: list[Target | None],
        network: bool,
    ) -> None:
        self._model = model
        self._period = period
        self._fixed = fixed
        self._staffed = staffed
        self._targets = targets
        self._network = network
        self._done: dict[tuple[int, ...], tuple[NDArray[np.float64], Trajectory]] = {}
        self._model_ends_at: tuple[int, ...] | None = None
        self.runs = 0

    def worst(self, servers: tuple[int, ...]) -> NDArray[np.float64]:
        """Every node's worst checked value under ``servers`` (NaN where no
        target)."""
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
        run = trajectory(self._model, [replace(self._period, servers=setting)])
        self._model_ends_at = servers
        self.runs += 1
        views = [run.node(n) for n in range(run.number_of_nodes)] if self._network else [run]
        worst = np.array(
            [math.nan if t is None else t.worst(v) for t, v in zip(self._targets, views)]
        )
        self._done[servers] = (worst, run)


def _staff(
    trials: _Trials,
    period: int,
    staffed: list[int],
    targets: list[Target | None],
    limits: dict[int, tuple[int, int]],
    guesses: list[int],
    scan: bool,
) -> tuple[tuple[int, ...], list[bool]]:
    """Per staffed node, the fewest servers that meet its target given the
    others' choices, and whether its measure fell with more servers.

    More servers at one node send more entities on to the others, so a
    node's measure rises with the others' servers. Starting every node at
    its lower bound and raising each in turn to the fewest it needs given
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
            t = targets[node]
            assert t is not None

            def worst_at(count: int, i: int = i, node: int = node) -> float:
                trial = servers.copy()
                trial[i] = count
                return float(trials.worst(tuple(trial))[node])

            low, high = limits[node]
            found, fell = _smallest(worst_at, t.at_most, low, high, guesses[i], scan)
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


def _smallest(
    worst_at: Callable[[int], float],
    bound: float,
    low: int,
    high: int,
    guess: int,
    scan: bool,
) -> tuple[int | None, bool]:
    """The smallest count in low..high whose worst value is at most
    ``bound`` (None if there is none), and whether the values seen fell as
    the count rose."""
    seen: dict[int, float] = {}

    def meets(count: int) -> bool:
        if count not in seen:
            seen[count] = worst_at(count)
        return seen[count] <= bound

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


def _falling(seen: dict[int, float]) -> bool:
    """Whether the values seen, in increasing order of count, never rise
    by more than the slack (NaN values are left out)."""
    values = [seen[count] for count in sorted(seen) if not math.isnan(seen[count])]
    return all(b <= a + _SLACK * max(1.0, abs(a)) for a, b in zip(values, values[1:]))
