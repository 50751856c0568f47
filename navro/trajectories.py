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
import numbers
import operator
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

from navro._core import StandardMultiserver, StandardNetworkMultiserver
from navro.distributions import LARGEST_VALUE, plain_weights

__all__ = ["Period", "Trajectory", "trajectory"]

Model: TypeAlias = StandardMultiserver | StandardNetworkMultiserver


@dataclass(frozen=True)
class Period:
    """``steps`` steps, with the settings given here changed at their start
    and every other setting left as the model has it.

    For a single station: ``servers`` an int, ``arrivals`` and ``durations``
    distribution dicts. For a network, per node: a mapping from node to value
    or a sequence with one value per node, and ``routing`` a mapping from
    (source, destination) to probability or a full matrix.

    Servers cut below the number in service take effect at the period's first
    step, which serves only as many as there are servers: the others stop
    being served and wait, none is lost, and each starts a whole new service
    when a server takes it up again.
    """

    steps: int
    servers: Any = None
    arrivals: Any = None
    durations: Any = None
    routing: Any = None

    def __post_init__(self) -> None:
        steps = operator.index(self.steps)
        if not 1 <= steps <= LARGEST_VALUE:
            raise ValueError(f"Period: steps must lie in 1..{LARGEST_VALUE}, got {steps}")
        object.__setattr__(self, "steps", steps)


def trajectory(model: Model, schedule: int | Sequence[Period], *, every: int = 1) -> Trajectory:
    """Steps ``model`` through ``schedule`` (a number of steps with the model's
    own settings, or a sequence of ``Period``s) and records the distribution
    of the number present (per node for a network) at every ``every``-th step,
    counted from the start, row 0 included. Every period is checked before
    the first step is taken. A step that fails, or Ctrl-C, raises and leaves
    the model after its last whole step."""
    periods = _periods(schedule, "trajectory")
    stride = operator.index(every)
    if stride < 1:
        raise ValueError(f"trajectory: every must be at least 1, got {stride}")
    settings = [_settings(model, period) for period in periods]

    parts = []
    before = _servers_of(model)
    time = model.time
    start = 0
    for period, changes in zip(periods, settings):
        for change in changes:
            change()
        rows, nodes, lowest, span, probabilities, completions = model._record(
            period.steps, stride, start
        )
        steps = _recorded_steps(start, period.steps, stride)
        assert len(steps) == rows, "the core and the layer disagree on the recorded steps"
        servers = np.tile(_servers_of(model), (rows, 1))
        if start == 0 and rows:
            servers[0] = before  # the model as handed in
        parts.append(
            Trajectory(
                times=time + steps,
                period=np.zeros(rows, dtype=np.int64),
                servers=servers,
                lowest=lowest,
                probabilities=np.frombuffer(probabilities).reshape(rows, nodes, span),
                completions=np.frombuffer(completions).reshape(rows, nodes),
                network=isinstance(model, StandardNetworkMultiserver),
                periods=1,
            )
        )
        start += period.steps
    return Trajectory.concatenate(parts)


def _periods(schedule: int | Sequence[Period], function: str) -> list[Period]:
    """The schedule as a list of Periods, whose steps the 32-bit clock can
    count in all."""
    periods = [Period(schedule)] if isinstance(schedule, numbers.Integral) else list(schedule)
    for period in periods:
        if not isinstance(period, Period):
            raise TypeError(f"{function}: a schedule holds Periods, not {type(period).__name__}")
    total = sum(period.steps for period in periods)
    if total > LARGEST_VALUE:
        raise ValueError(f"{function}: {total} steps in all exceed {LARGEST_VALUE}")
    return periods


def _recorded_steps(start: int, steps: int, every: int) -> NDArray[np.int64]:
    """The step indexes, counted from the run's start, that one call of the
    core records: the multiples of ``every`` after ``start`` up to
    ``start + steps``, and 0 when the call starts the run."""
    first = 0 if start == 0 else (start // every + 1) * every
    return np.arange(first, start + steps + 1, every, dtype=np.int64)


def _servers_of(model: Model) -> NDArray[np.int64]:
    if isinstance(model, StandardNetworkMultiserver):
        nodes = model.get_number_of_nodes()
        return np.array(
            [model.get_number_of_servers_at_node(i) for i in range(nodes)], dtype=np.int64
        )
    return np.array([model.number_of_servers], dtype=np.int64)


# --- schedules ---------------------------------------------------------------


def _servers(x: Any) -> int:
    count = operator.index(x)
    if not 0 <= count <= LARGEST_VALUE:
        raise ValueError(f"Period: a number of servers must lie in 0..{LARGEST_VALUE}, got {count}")
    return count


def _durations(x: Any) -> dict[int, float]:
    pmf = plain_weights(x)
    if min(pmf) < 1:
        raise ValueError("Period: service durations must be at least 1 step")
    return pmf


def _routing(x: Any) -> float:
    p = float(x)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"Period: a routing probability must lie in [0, 1], got {p}")
    return p


def _per_node(
    value: Any, nodes: int, convert: Callable[[Any], Any], what: str, where: str = "Period"
) -> list[tuple[int, Any]]:
    """(node, converted value) pairs from a mapping of nodes or a sequence
    with one value per node."""
    if isinstance(value, Mapping):
        pairs = [(operator.index(node), item) for node, item in value.items()]
    else:
        items = list(value)
        if len(items) != nodes:
            raise ValueError(f"{where}: {what} lists {len(items)} values for {nodes} nodes")
        pairs = list(enumerate(items))
    for node, _ in pairs:
        if not 0 <= node < nodes:
            raise ValueError(f"{where}: {what} names node {node} of a network of {nodes}")
    return [(node, convert(item)) for node, item in pairs]


def _routing_entries(value: Any, nodes: int) -> list[tuple[int, int, float]]:
    if isinstance(value, Mapping):
        entries = [
            (operator.index(s), operator.index(d), _routing(p)) for (s, d), p in value.items()
        ]
    else:
        matrix = np.asarray(value, dtype=np.float64)
        if matrix.shape != (nodes, nodes):
            raise ValueError(
                f"Period: routing must be {nodes} by {nodes}, got shape {matrix.shape}"
            )
        entries = [(s, d, _routing(matrix[s, d])) for s in range(nodes) for d in range(nodes)]
    for s, d, _ in entries:
        if not (0 <= s < nodes and 0 <= d < nodes):
            raise ValueError(f"Period: routing names the pair ({s}, {d}) in a network of {nodes}")
    return entries


def _settings(model: Model, period: Period) -> list[Callable[[], None]]:
    """The period's changes as setter calls, every value converted and checked
    first."""
    if isinstance(model, StandardNetworkMultiserver):
        return _network_settings(model, period)
    if period.routing is not None:
        raise ValueError("Period: a single station has no routing")
    changes: list[Callable[[], None]] = []
    if period.servers is not None:
        servers = _servers(period.servers)
        changes.append(lambda: setattr(model, "number_of_servers", servers))
    if period.arrivals is not None:
        arrivals = plain_weights(period.arrivals)
        changes.append(lambda: setattr(model, "number_of_arrivals_pmf", arrivals))
    if period.durations is not None:
        durations = _durations(period.durations)
        changes.append(lambda: setattr(model, "service_duration_pmf", durations))
    return changes


def _network_settings(
    model: StandardNetworkMultiserver, period: Period
) -> list[Callable[[], None]]:
    nodes = model.get_number_of_nodes()
    changes: list[Callable[[], None]] = []

    def each(
        value: Any, convert: Callable[[Any], Any], what: str, setter: Callable[[int, Any], None]
    ) -> None:
        if value is not None:
            for node, item in _per_node(value, nodes, convert, what):
                changes.append(lambda node=node, item=item: setter(node, item))

    each(period.servers, _servers, "servers", model.set_number_of_servers_at_node)
    each(
        period.arrivals,
        plain_weights,
        "arrivals",
        model.set_number_of_external_arrivals_at_node_pmf,
    )
    each(period.durations, _durations, "durations", model.set_service_duration_at_node_pmf)
    if period.routing is not None:
        for s, d, p in _routing_entries(period.routing, nodes):
            changes.append(lambda s=s, d=d, p=p: model.set_routing_probability(s, d, p))
    return changes


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
    """

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
    ) -> None:
        self._times = np.asarray(times, dtype=np.int64)
        self._period = np.asarray(period, dtype=np.int64)
        self._servers = np.asarray(servers, dtype=np.int64)
        self._lowest = lowest
        self._probabilities = probabilities
        self._completions = completions
        self._network = network
        self._periods = periods
        # The arrival measures (rows x nodes; the wait probabilities x waits),
        # where the engine recorded them.
        self._arrivals = arrivals
        self._wait_probabilities = wait_probabilities
        self._wait_beyond = wait_beyond
        self._mean_wait = mean_wait
        # A simulation's runs and the sums over them behind its standard
        # errors (navro.simulation.Sampling); None for a computed run.
        self._sampling = sampling
        for array in (
            self._times,
            self._period,
            self._servers,
            self._probabilities,
            self._completions,
        ):
            array.flags.writeable = False

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
        lowest = min(part._lowest for part in parts)
        highest = max(part._lowest + part._probabilities.shape[2] for part in parts)
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
        probabilities = np.zeros((rows, nodes, highest - lowest))
        row = 0
        for part, skip in kept:
            count = len(part) - skip
            shift = part._lowest - lowest
            probabilities[row : row + count, :, shift : shift + part._probabilities.shape[2]] = (
                part._probabilities[skip:]
            )
            row += count
        return Trajectory(
            times=np.concatenate([part._times[skip:] for part, skip in kept]),
            period=np.concatenate(
                [part._period[skip:] + o for (part, skip), o in zip(kept, offsets)]
            ),
            servers=np.concatenate([part._servers[skip:] for part, skip in kept]),
            lowest=lowest,
            probabilities=probabilities,
            completions=np.concatenate([part._completions[skip:] for part, skip in kept]),
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
        return self._network

    @property
    def number_of_nodes(self) -> int:
        return int(self._servers.shape[1])

    def node(self, index: int) -> Trajectory:
        """The trajectory of one node, as of a station."""
        i = operator.index(index)
        if not 0 <= i < self.number_of_nodes:
            raise IndexError(f"node {i} of a trajectory of {self.number_of_nodes} nodes")

        def one(array: NDArray[Any] | None) -> NDArray[Any] | None:
            return None if array is None else array[:, i : i + 1]

        return Trajectory(
            times=self._times,
            period=self._period,
            servers=self._servers[:, i : i + 1],
            lowest=self._lowest,
            probabilities=self._probabilities[:, i : i + 1],
            completions=self._completions[:, i : i + 1],
            network=False,
            periods=self._periods,
            arrivals=one(self._arrivals),
            wait_probabilities=one(self._wait_probabilities),
            wait_beyond=one(self._wait_beyond),
            mean_wait=one(self._mean_wait),
            sampling=None if self._sampling is None else self._sampling.node(i),
        )

    @property
    def times(self) -> NDArray[np.int64]:
        """The model's time at every row."""
        return self._times

    @property
    def period(self) -> NDArray[np.int64]:
        """The schedule's period (from 0) each row belongs to; row 0 counts
        as the first period's."""
        return self._period

    @property
    def number_of_periods(self) -> int:
        return self._periods

    @property
    def counts(self) -> NDArray[np.int64]:
        """The numbers present that the columns of ``probabilities`` stand for."""
        return np.arange(self._lowest, self._lowest + self._probabilities.shape[2], dtype=np.int64)

    @property
    def probabilities(self) -> NDArray[np.float64]:
        """P(number present = counts[k]) at every row: rows x counts for a
        station, rows x nodes x counts for a network."""
        return self._view(self._probabilities)

    @property
    def servers(self) -> NDArray[np.int64]:
        """The servers in force at every row."""
        return self._view(self._servers)

    @property
    def expected_completions(self) -> NDArray[np.float64]:
        """Expected number of services that ended in the step that ended at
        each row: of the min(z, c) busy servers, each ends with the state's
        P(remaining time 1 | z). NaN in row 0 of a run."""
        return self._view(self._completions)

    # Every measure is one weighted sum over the counts, per row and node.
    def _weighted(self, values: Any) -> NDArray[np.float64]:
        weights = np.broadcast_to(np.asarray(values, dtype=np.float64), self._probabilities.shape)
        return np.einsum("rnk,rnk->rn", self._probabilities, weights)

    def _by_servers(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        return self.counts[None, None, :], self._servers[:, :, None]

    @property
    def mean(self) -> NDArray[np.float64]:
        return self._view(self._weighted(self.counts))

    @property
    def std(self) -> NDArray[np.float64]:
        mean = self._weighted(self.counts)
        return self._view(
            np.sqrt(self._weighted((self.counts[None, None, :] - mean[:, :, None]) ** 2))
        )

    def quantile(self, level: float) -> NDArray[np.int64]:
        """The smallest count n with P(number present <= n) >= level."""
        q = float(level)
        if not 0.0 < q <= 1.0:
            raise ValueError(f"quantile: level must lie in (0, 1], got {q}")
        cdf = np.cumsum(self._probabilities, axis=2)
        reached = cdf >= q
        # Rounding may leave the total a hair below a level of 1: then the
        # largest count of positive probability.
        last = (
            self._probabilities.shape[2]
            - 1
            - np.argmax(self._probabilities[:, :, ::-1] > 0, axis=2)
        )
        index = np.where(reached.any(axis=2), np.argmax(reached, axis=2), last)
        return self._view(self._lowest + index)

    def prob_at_least(self, k: int) -> NDArray[np.float64]:
        """P(number present >= k)."""
        return self._view(self._weighted(self.counts >= operator.index(k)))

    @property
    def prob_all_busy(self) -> NDArray[np.float64]:
        """P(number present >= servers): every server busy."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(counts >= servers))

    @property
    def expected_waiting(self) -> NDArray[np.float64]:
        """E[(number present - servers)+], those not in service."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(np.maximum(counts - servers, 0)))

    @property
    def expected_busy(self) -> NDArray[np.float64]:
        """E[min(number present, servers)], the servers at work."""
        counts, servers = self._by_servers()
        return self._view(self._weighted(np.minimum(counts, servers)))

    @property
    def utilisation(self) -> NDArray[np.float64]:
        """expected_busy / servers; NaN where there are no servers."""
        servers = self.servers.astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(servers > 0, self.expected_busy / servers, math.nan)

    # --- the arrivals' view, and the noise of a simulation ---------------------

    def _arrival_measure(self, array: NDArray[Any] | None, name: str) -> NDArray[np.float64]:
        if array is None:
            raise ValueError(f"Trajectory.{name}: this run has no arrival measures recorded")
        return array if self._network else array[:, 0]

    @property
    def arrivals(self) -> NDArray[np.float64]:
        """Expected number of entities (from outside, and in a network routed
        in) that arrived in the steps since the previous row; 0 in row 0."""
        return self._arrival_measure(self._arrivals, "arrivals")

    @property
    def wait_probabilities(self) -> NDArray[np.float64]:
        """P(W = w) for w = 0 .. horizon steps (the last axis), W the wait of
        an arrival chosen at random among those the row stands for: the steps
        from its arrival to the end of the step in which a server took it.
        NaN where the row stands for no arrival."""
        return self._arrival_measure(self._wait_probabilities, "wait_probabilities")

    @property
    def wait_beyond(self) -> NDArray[np.float64]:
        """P(W > horizon), a probability."""
        return self._arrival_measure(self._wait_beyond, "wait_beyond")

    @property
    def mean_wait(self) -> NDArray[np.float64]:
        """E[W] in steps, not cut at the horizon (NaN where it is not known)."""
        return self._arrival_measure(self._mean_wait, "mean_wait")

    @property
    def runs(self) -> int | None:
        """The simulated runs behind the rows; None for a computed run."""
        return None if self._sampling is None else int(self._sampling.runs)

    @property
    def seed(self) -> Any:
        """The seed of a simulation (None for a computed run)."""
        return None if self._sampling is None else self._sampling.seed

    def standard_error(self, measure: str, *args: Any) -> NDArray[np.float64]:
        """The Monte Carlo standard error of a measure, named as its attribute
        (``"mean"``, ``"prob_all_busy"``, ``"mean_wait"``, ...), with the
        arguments of a method such as ``prob_at_least``, per row (and node),
        in the measure's unit. 0 for a computed run."""
        from navro import simulation

        return simulation.standard_error(self, measure, *args)

    def interval(
        self, measure: str, *args: Any, level: float = 0.95
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """A ``level`` confidence interval of a measure, as ``(low, high)``
        arrays: the estimate plus and minus the normal quantile times its
        standard error; ``quantile`` takes its level as argument and gets
        the quantiles that the sampling error of the distribution allows."""
        from navro import simulation

        return simulation.interval(self, measure, *args, level=level)

    _COLUMNS = (
        "mean",
        "std",
        "prob_all_busy",
        "expected_waiting",
        "expected_busy",
        "utilisation",
        "expected_completions",
    )

    def to_pandas(self) -> Any:
        """The measures as a DataFrame indexed by time (by time and node for a
        network), with the period and servers of every row. Needs pandas
        (navro's 'pandas' extra)."""
        pd = _optional("pandas", "pandas", "Trajectory.to_pandas()")
        columns: dict[str, NDArray[Any]] = {"period": self._period, "servers": self.servers}
        columns.update({name: getattr(self, name) for name in self._COLUMNS})
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
            panels[-1].xaxis.set_major_locator(ticker.MultipleLocator(operator.index(tick_every)))
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
