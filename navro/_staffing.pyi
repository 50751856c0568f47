"""Staffing by period: the fewest servers that keep a service measure within
its target through each period of a schedule, as the day unfolds."""

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro.trajectories import Model, Period, Trajectory

__all__ = ["Staffing", "Target", "staffing"]

@dataclass(frozen=True)
class Target:
    """``measure`` (a Trajectory measure's name, or a function of one
    station's run that gives one value per row) at most ``at_most``, at
    every step of a period (``when="every"``) or at its end (``"end"``)."""

    measure: str | Callable[[Trajectory], Any]
    at_most: float
    when: str = "every"
    def __post_init__(self) -> None: ...
    def worst(self, run: Trajectory) -> float: ...

@dataclass(frozen=True, eq=False)
class Staffing:
    """The roster, whether each period meets its target and by how much, and
    the run under the roster."""

    roster: NDArray[np.int64]
    met: NDArray[np.bool_]
    worst: NDArray[np.float64]
    monotone: NDArray[np.bool_]
    trajectory: Trajectory
    runs: int
    _start: Any = ...
    _periods: Any = ...
    _targets: Any = ...
    def check(
        self, *, runs: int, seed: Any = None, level: float = 0.95, threads: int | None = None
    ) -> Any: ...
    @property
    def infeasible(self) -> list[int]: ...

def staffing(
    model: Model,
    schedule: int | Sequence[Period],
    target: Target | Mapping[int, Target] | Sequence[Target | None],
    bounds: tuple[int, int] | Mapping[int, tuple[int, int]] | Sequence[tuple[int, int]],
    *,
    search: str = "bisect",
) -> Staffing: ...
