"""Whole runs of a model in one call: the distribution of the number present
over time, the service measures at every step, and schedules of settings
that change by period.

``trajectory(model, schedule)`` steps the model through the schedule (or a
number of steps) and returns a ``Trajectory``. Row 0 is the model as it was
handed in; every later row is the state after a step, with the settings that
step ran under. The model is left at the end of the run; a step that fails,
or Ctrl-C (KeyboardInterrupt), raises and leaves it after its last whole step.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from navro._common import (
    MEASURES,
    Model,
    Period,
    apply,
    check_routing,
    frozen,
    periods,
    real,
    servers_of,
    settings,
    whole,
)
from navro._core import StandardNetworkMultiserver

__all__ = ["Period", "Trajectory", "trajectory"]


def trajectory(model: Model, schedule: int | Sequence[Period], *, every: int = 1) -> Trajectory:
    """Steps ``model`` through ``schedule`` (a number of steps with the model's
    own settings, or a sequence of ``Period``s) and records the distribution
    of the number present (per node for a network) at every ``every``-th step,
    counted from the start, row 0 included.

    Every argument is checked before the model changes: a refused call
    changes nothing. A step that fails, or Ctrl-C, raises and leaves the
    model after its last whole step, with the settings that step ran under.
    """
    plan = periods(schedule, "trajectory")
    stride = whole("trajectory", "every", every, 1)
    changes = [settings(model, period) for period in plan]
    check_routing(model, plan)

    parts = []
    before = servers_of(model)
    time = model.time
    start = 0
    for period, period_changes in zip(plan, changes):
        revert = apply(period_changes)
        clock_before = model.time
        try:
            rows, nodes, width, offsets, windows, completions = model._record(
                period.steps, stride, start
            )
        except BaseException:
            # No step of the period was taken: the model keeps the settings
            # of its last whole step.
            if model.time == clock_before:
                revert()
            raise
        steps = _recorded_steps(start, period.steps, stride)
        assert len(steps) == rows, "the core and the layer disagree on the recorded steps"
        servers = np.tile(servers_of(model), (rows, 1))
        if start == 0 and rows:
            servers[0] = before  # the model as handed in
        parts.append(
            Trajectory(
                times=_wrapped(time + steps),
                period=np.zeros(rows, dtype=np.int64),
                servers=servers,
                offsets=np.frombuffer(offsets, dtype=np.int32).reshape(rows, nodes),
                windows=np.frombuffer(windows).reshape(rows, nodes, width),
                completions=np.frombuffer(completions).reshape(rows, nodes),
                network=isinstance(model, StandardNetworkMultiserver),
                periods=1,
            )
        )
        start += period.steps
    return Trajectory.concatenate(parts)


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


# --- the result --------------------------------------------------------------


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
    state after a step, with the servers that step ran under, and
    ``expected_completions`` holds the services expected to end in that very
    step (NaN in a row no step ended at).

    The distribution of every row is kept as its own window of counts, so a
    long run whose queue wanders far holds only the counts each row gives
    probability; ``probabilities`` spreads them over the counts of the whole
    run when asked. Every array a trajectory holds refuses writes.

    A trajectory is built by ``trajectory`` (or ``Trajectory.concatenate``);
    the constructor takes the distributions either as dense rows from
    ``lowest`` (``probabilities``, rows x nodes x counts) or as windows
    (``windows``, rows x nodes x cells, with the first count of each in
    ``offsets``, rows x nodes).
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
        self._network = network
        self._periods = periods
        self._dense: NDArray[np.float64] | None = None

    @staticmethod
    def concatenate(parts: Sequence[Trajectory]) -> Trajectory:
        """One trajectory of several in time order, such as runs of
        successive periods. A part whose first row has the time of the
        previous part's last row (the state it started from) loses that row;
        period numbers run on."""
        if not parts:
            raise ValueError("Trajectory.concatenate: no trajectories given")
        if len(parts) == 1:
            return parts[0]
        if (
            len({part._network for part in parts}) != 1
            or len({part._servers.shape[1] for part in parts}) != 1
        ):
            raise ValueError("Trajectory.concatenate: the trajectories are of different models")
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

        return Trajectory(
            times=joined("_times"),
            period=np.concatenate(
                [part._period[skip:] + o for (part, skip), o in zip(kept, offsets)]
            ),
            servers=joined("_servers"),
            offsets=joined("_offsets"),
            windows=windows,
            completions=joined("_completions"),
            network=parts[0]._network,
            periods=offset,
        )

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
        return Trajectory(
            times=self._times,
            period=self._period,
            servers=self._servers[:, i : i + 1],
            offsets=self._offsets[:, i : i + 1],
            windows=self._windows[:, i : i + 1],
            completions=self._completions[:, i : i + 1],
            network=False,
            periods=self._periods,
        )

    @property
    def times(self) -> NDArray[np.int64]:
        """The model's time at every row, in steps; it wraps from 2**31 - 1 to
        -2**31 as the model's 32-bit clock does."""
        return self._times

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
        """The servers in force at every row."""
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

    def prob_at_least(self, k: int) -> NDArray[np.float64]:
        """P(number present >= k) (probability)."""
        return self._view(self._weighted(self._cell_counts() >= whole("prob_at_least", "k", k)))

    @property
    def prob_all_busy(self) -> NDArray[np.float64]:
        """P(number present >= servers): every server busy (probability)."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(counts >= servers))

    @property
    def expected_waiting(self) -> NDArray[np.float64]:
        """E[(number present - servers)+], those not in service (entities)."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(np.maximum(counts - servers, 0)))

    @property
    def expected_busy(self) -> NDArray[np.float64]:
        """E[min(number present, servers)], the servers at work (servers)."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(np.minimum(counts, servers)))

    @property
    def utilisation(self) -> NDArray[np.float64]:
        """expected_busy / servers (a share, 0 to 1); NaN where there are no servers."""
        servers = self.servers.astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(servers > 0, self.expected_busy / servers, math.nan)

    def to_pandas(self) -> Any:
        """The measures as a DataFrame indexed by time (by time and node for a
        network), with the period and servers of every row. Needs pandas
        (navro's 'pandas' extra)."""
        pd = _optional("pandas", "pandas", "Trajectory.to_pandas()")
        columns: dict[str, NDArray[Any]] = {"period": self._period, "servers": self.servers}
        columns.update({name: getattr(self, name) for name in MEASURES})
        if not self._network:
            return pd.DataFrame(columns, index=pd.Index(self._times, name="time"))
        nodes = self.number_of_nodes
        flat = {
            name: (np.repeat(values, nodes) if values.ndim == 1 else values.reshape(-1))
            for name, values in columns.items()
        }
        index = pd.MultiIndex.from_product([self._times, range(nodes)], names=["time", "node"])
        return pd.DataFrame(flat, index=index)

    def plot(
        self,
        kind: str = "heatmap",
        *,
        quantile: float = 0.95,
        ax: Any = None,
        time_label: Callable[[int], str] | None = None,
        tick_every: int | None = None,
        title: str | None = None,
    ) -> Any:
        """Draws the distribution over time, as a ``"heatmap"`` or a ``"fan"``
        chart, with the mean, the ``quantile`` and the servers; the time axis
        is labelled with the times, through ``time_label`` when given, with a
        tick every ``tick_every`` time units when given. A network gets one
        panel per node. Returns the matplotlib Figure. Needs matplotlib
        (navro's 'plot' extra)."""
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
        for i, panel in enumerate(panels):
            _draw(self.node(i), panel, kind, quantile, f"node {i}" if self._network else None)
        ticker = importlib.import_module("matplotlib.ticker")
        if tick_every is not None:
            panels[-1].xaxis.set_major_locator(
                ticker.MultipleLocator(whole("plot", "tick_every", tick_every, 1))
            )
        if time_label is not None:
            panels[-1].xaxis.set_major_formatter(
                ticker.FuncFormatter(lambda x, _: time_label(round(x)))
            )
        panels[-1].set_xlabel("time")
        if title is not None:
            panels[0].set_title(title)
        if ax is None:
            figure.tight_layout()
        return figure


def _edges(values: NDArray[Any]) -> NDArray[np.float64]:
    """Cell edges halfway between successive values."""
    v = values.astype(np.float64)
    if len(v) == 1:
        return np.array([v[0] - 0.5, v[0] + 0.5])
    middle = (v[:-1] + v[1:]) / 2
    return np.concatenate([[2 * v[0] - middle[0]], middle, [2 * v[-1] - middle[-1]]])


def _draw(station: Trajectory, ax: Any, kind: str, level: float, label: str | None) -> None:
    times, probabilities = station.times, station.probabilities
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
