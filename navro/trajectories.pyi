"""Whole runs of a model in one call, schedules of settings by period, and
the service measures of every step."""

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

from navro._core import StandardMultiserver, StandardNetworkMultiserver

__all__ = ["Period", "Trajectory", "trajectory"]

Model: TypeAlias = StandardMultiserver | StandardNetworkMultiserver
_Pmf: TypeAlias = Mapping[Any, Any]

@dataclass(frozen=True)
class Period:
    """``steps`` steps, with the settings given here changed at their start.
    A station takes an int and two dicts; a network takes per node a mapping
    from node to value or a sequence with one value per node, and routing as
    a mapping from (source, destination) to probability or a full matrix."""

    steps: int
    servers: int | Mapping[int, int] | Sequence[int] | None = None
    arrivals: _Pmf | Mapping[int, _Pmf] | Sequence[_Pmf] | None = None
    durations: _Pmf | Mapping[int, _Pmf] | Sequence[_Pmf] | None = None
    routing: Mapping[tuple[int, int], float] | Sequence[Sequence[float]] | NDArray[Any] | None = (
        None
    )
    def __post_init__(self) -> None: ...

def trajectory(model: Model, schedule: int | Sequence[Period], *, every: int = 1) -> Trajectory: ...

# Shared with the other modules of the package.
def _periods(schedule: int | Sequence[Period], function: str) -> list[Period]: ...
def _recorded_steps(start: int, steps: int, every: int) -> NDArray[np.int64]: ...
def _servers_of(model: Model) -> NDArray[np.int64]: ...
def _settings(model: Model, period: Period) -> list[Callable[[], None]]: ...
def _optional(module: str, extra: str, feature: str) -> Any: ...

class Trajectory:
    """A recorded run: rows are points in time, and for a network every
    per-row array has one column per node."""

    def __init__(
        self,
        *,
        times: NDArray[np.int64],
        period: NDArray[np.int64],
        servers: NDArray[np.int64],
        lowest: int,
        probabilities: NDArray[np.float64],
        completions: NDArray[np.float64],
        network: bool,
        periods: int,
        arrivals: NDArray[np.float64] | None = None,
        wait_probabilities: NDArray[np.float64] | None = None,
        wait_beyond: NDArray[np.float64] | None = None,
        mean_wait: NDArray[np.float64] | None = None,
        sampling: Any = None,
    ) -> None: ...
    _times: NDArray[np.int64]
    _period: NDArray[np.int64]
    _servers: NDArray[np.int64]
    _lowest: int
    _probabilities: NDArray[np.float64]
    _completions: NDArray[np.float64]
    _network: bool
    _periods: int
    _arrivals: NDArray[np.float64] | None
    _wait_probabilities: NDArray[np.float64] | None
    _wait_beyond: NDArray[np.float64] | None
    _mean_wait: NDArray[np.float64] | None
    _sampling: Any
    def _view(self, array: NDArray[Any]) -> NDArray[Any]: ...
    def _weighted(self, values: Any) -> NDArray[np.float64]: ...
    @staticmethod
    def concatenate(parts: Sequence[Trajectory]) -> Trajectory: ...
    def __len__(self) -> int: ...
    @property
    def is_network(self) -> bool: ...
    @property
    def number_of_nodes(self) -> int: ...
    def node(self, index: int) -> Trajectory: ...
    @property
    def times(self) -> NDArray[np.int64]: ...
    @property
    def period(self) -> NDArray[np.int64]: ...
    @property
    def number_of_periods(self) -> int: ...
    @property
    def counts(self) -> NDArray[np.int64]: ...
    @property
    def probabilities(self) -> NDArray[np.float64]: ...
    @property
    def servers(self) -> NDArray[np.int64]: ...
    @property
    def expected_completions(self) -> NDArray[np.float64]: ...
    @property
    def mean(self) -> NDArray[np.float64]: ...
    @property
    def std(self) -> NDArray[np.float64]: ...
    def quantile(self, level: float) -> NDArray[np.int64]: ...
    def prob_at_least(self, k: int) -> NDArray[np.float64]: ...
    @property
    def prob_all_busy(self) -> NDArray[np.float64]: ...
    @property
    def expected_waiting(self) -> NDArray[np.float64]: ...
    @property
    def expected_busy(self) -> NDArray[np.float64]: ...
    @property
    def utilisation(self) -> NDArray[np.float64]: ...
    @property
    def arrivals(self) -> NDArray[np.float64]: ...
    @property
    def wait_probabilities(self) -> NDArray[np.float64]: ...
    @property
    def wait_beyond(self) -> NDArray[np.float64]: ...
    @property
    def mean_wait(self) -> NDArray[np.float64]: ...
    @property
    def runs(self) -> int | None: ...
    @property
    def seed(self) -> Any: ...
    def standard_error(self, measure: str, *args: Any) -> NDArray[np.float64]: ...
    def interval(
        self, measure: str, *args: Any, level: float = 0.95
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
    def to_pandas(self) -> Any: ...
    def plot(
        self,
        kind: str = "heatmap",
        *,
        quantile: float = 0.95,
        ax: Any = None,
        time_label: Callable[[int], str] | None = None,
        tick_every: int | None = None,
        title: str | None = None,
    ) -> Any: ...
