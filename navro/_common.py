"""What the analyst's modules share: schedules (``Period`` and the settings it
hands to a model), the checks of the numbers they take, and arrays that
refuse writes for good.

Every number the layer takes may be a Python or a NumPy number; it is
converted here, before the compiled core sees it, and a value of the wrong
kind is refused with a message that names what was expected and what came.
"""

from __future__ import annotations

import datetime
import functools
import math
import numbers
import operator
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

from navro._core import StandardMultiserver, StandardNetworkMultiserver
from navro.clock import Clock, as_duration, is_duration
from navro.distributions import LARGEST_VALUE, plain_weights

Model: TypeAlias = StandardMultiserver | StandardNetworkMultiserver


# The per-row measures of a trajectory that a table shows and a target may
# name: the unit each is in, and the least and the most it can be.
MEASURES: dict[str, tuple[str, float, float]] = {
    "mean": ("entities", 0.0, math.inf),
    "std": ("entities", 0.0, math.inf),
    "prob_all_busy": ("probability", 0.0, 1.0),
    "expected_queue_length": ("entities", 0.0, math.inf),
    "expected_busy": ("servers", 0.0, math.inf),
    "utilisation": ("share of the servers", 0.0, 1.0),
    "expected_completions": ("entities", 0.0, math.inf),
    "arrivals": ("entities", 0.0, math.inf),
    "prob_wait": ("probability", 0.0, 1.0),
    "mean_wait": ("steps", 0.0, math.inf),
    "blocked": ("entities", 0.0, math.inf),
    "abandonments": ("entities", 0.0, math.inf),
    "prob_blocked": ("probability", 0.0, 1.0),
    "prob_abandon": ("probability", 0.0, 1.0),
    "throughput": ("entities", 0.0, math.inf),
}
# Measures of the arrivals of a row: a row that no entity arrives in has
# none, and a target leaves such rows out.
ARRIVAL_MEASURES = frozenset(
    {"prob_wait", "mean_wait", "service_level", "prob_blocked", "prob_abandon", "throughput"}
)
# The measures of what abandonment and a capacity take.
LIMIT_MEASURES = ("blocked", "abandonments", "prob_blocked", "prob_abandon", "throughput")


def shown(x: Any) -> str:
    """A value as an error message shows it: its type and its repr, cut short."""
    text = repr(x)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{type(x).__name__} {text}"


def whole(where: str, what: str, x: Any, low: int = 0, high: int = LARGEST_VALUE) -> int:
    """A whole number in low..high: an int, a NumPy integer or a real number
    without a fractional part."""
    if isinstance(x, (bool, np.bool_)):
        raise TypeError(f"{where}: {what} must be a whole number, got {shown(x)}")
    try:
        value = operator.index(x)
    except TypeError:
        if not isinstance(x, numbers.Real) or not math.isfinite(float(x)):
            raise TypeError(f"{where}: {what} must be a whole number, got {shown(x)}") from None
        if not float(x).is_integer():
            raise ValueError(f"{where}: {what} must be a whole number, got {shown(x)}") from None
        value = int(float(x))
    if not low <= value <= high:
        raise ValueError(f"{where}: {what} must lie in {low}..{high}, got {value}")
    return value


def real(where: str, what: str, x: Any) -> float:
    """A real number (a NaN included; the caller decides about it)."""
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, numbers.Real):
        raise TypeError(f"{where}: {what} must be a real number, got {shown(x)}")
    return float(x)


def frozen(array: NDArray[Any]) -> NDArray[Any]:
    """The array on memory that refuses writes for good: a view of bytes, so
    that ``flags.writeable = True`` fails as for arrays read from bytes. An
    array that already lies on bytes is taken as it is."""
    root: Any = array
    while isinstance(root, np.ndarray) and root.base is not None:
        root = root.base
    if isinstance(root, bytes):
        return array
    contiguous = np.ascontiguousarray(array)
    return np.frombuffer(contiguous.tobytes(), dtype=contiguous.dtype).reshape(contiguous.shape)


# --- schedules ---------------------------------------------------------------


@dataclass(frozen=True)
class Period:
    """``steps`` steps, with the settings given here changed at their start
    and every other setting left as the model has it.

    ``steps`` is a whole number of steps, or a duration on the run's clock
    (``"30min"``, a ``timedelta``, a pandas offset; see ``navro.Clock``) that
    lasts a whole number of its steps.

    For a single station: ``servers`` a whole number, ``arrivals`` and
    ``durations`` distribution dicts. For a network, per node: a mapping from
    node to value or a sequence (a NumPy array included) with one value per
    node, and ``routing`` a mapping from (source, destination) to probability,
    which changes the entries it names, or a full matrix (a NumPy array,
    nested sequences, or a SciPy sparse matrix or array, whose entries given
    twice add up), which is the whole table: the routes it lacks are removed.
    Either is set in one call of the network, however many nodes. NumPy
    numbers are welcome wherever numbers are.

    ``abandonment`` is the chance that each waiting entity gives up in a step
    (a probability in [0, 1]); ``capacity`` the most entities present, a whole
    number, or ``math.inf`` for no limit (for a network, per node, where
    ``None`` in a sequence or mapping is no limit too). Left at ``None``, each
    keeps the model's value.

    Servers cut below the number in service take effect at the period's first
    step, which serves only as many as there are servers: the others stop
    being served and wait, none is lost, and each starts a whole new service
    when a server takes it up again.
    """

    steps: Any
    servers: Any = None
    arrivals: Any = None
    durations: Any = None
    routing: Any = None
    abandonment: Any = None
    capacity: Any = None

    def __post_init__(self) -> None:
        if is_duration(self.steps):
            length = as_duration(self.steps, "Period")
            if length <= datetime.timedelta(0):
                raise ValueError(f"Period: a duration must be longer than 0, got {self.steps!r}")
            object.__setattr__(self, "steps", length)
        else:
            object.__setattr__(self, "steps", whole("Period", "steps", self.steps, 1))


# Public under the package's name, so reprs and pickles do not leak the
# private module.
Period.__module__ = "navro"


def periods(schedule: Any, where: str, clock: Clock | None = None) -> list[Period]:
    """The schedule as a list of Periods of whole steps, whose steps the
    32-bit clock can count in all: a number of steps or a duration (one
    period of the model's own settings) or a sequence of Periods. Durations
    need the run's clock."""
    if (
        isinstance(schedule, (numbers.Integral, np.integer)) and not isinstance(schedule, bool)
    ) or is_duration(schedule):
        found = [Period(schedule)]
    elif isinstance(schedule, Period):
        found = [schedule]
    elif isinstance(schedule, (bytes, Mapping)) or not isinstance(schedule, Sequence):
        raise TypeError(
            f"{where}: a schedule is a number of steps (an int) or a sequence of Periods, "
            f"got {shown(schedule)}"
        )
    else:
        found = list(schedule)
    resolved = []
    for index, period in enumerate(found):
        if not isinstance(period, Period):
            raise TypeError(f"{where}: a schedule holds Periods, got {shown(period)}")
        if isinstance(period.steps, datetime.timedelta):
            if clock is None:
                raise TypeError(
                    f"{where}: period {index} lasts {period.steps}, a duration: give the run a "
                    "clock (clock=navro.Clock(step=...)) to count it in steps"
                )
            steps = clock.steps(period.steps, f"{where}: period {index}")
            period = replace(period, steps=steps)
        resolved.append(period)
    total = sum(period.steps for period in resolved)
    if total > LARGEST_VALUE:
        raise ValueError(f"{where}: {total} steps in all exceed {LARGEST_VALUE}")
    return resolved


def servers(x: Any) -> int:
    if isinstance(x, (Mapping, Sequence, np.ndarray)) and not isinstance(x, str):
        raise TypeError(f"Period: a station takes one number of servers, got {shown(x)}")
    return whole("Period", "a number of servers", x)


def durations(x: Any) -> dict[int, float]:
    pmf = plain_weights(x)
    if min(pmf) < 1:
        raise ValueError("Period: service durations must be at least 1 step")
    return pmf


def abandonment(x: Any) -> float:
    p = real("Period", "an abandonment probability", x)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"Period: an abandonment probability must lie in [0, 1], got {p}")
    return p


def capacity(x: Any) -> int | None:
    """A limit of entities, or None for none (``math.inf`` or ``None``)."""
    if x is None:
        return None
    if isinstance(x, numbers.Real) and not isinstance(x, (bool, np.bool_)):
        if float(x) == math.inf:
            return None
    return whole("Period", "a capacity", x)


def station_capacity(x: Any) -> int | None:
    if isinstance(x, (Mapping, Sequence, np.ndarray)) and not isinstance(x, str):
        raise TypeError(f"Period: a station takes one capacity, got {shown(x)}")
    return capacity(x)


def probability(x: Any) -> float:
    p = real("Period", "a routing probability", x)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"Period: a routing probability must lie in [0, 1], got {p}")
    return p


def node_index(where: str, what: str, x: Any, nodes: int) -> int:
    node = whole(where, f"a node of {what}", x, 0, LARGEST_VALUE)
    if node >= nodes:
        raise ValueError(f"{where}: {what} names node {node} of a network of {nodes}")
    return node


def per_node(
    value: Any, nodes: int, convert: Callable[[Any], Any], what: str, where: str = "Period"
) -> list[tuple[int, Any]]:
    """(node, converted value) pairs from a mapping of nodes or a sequence
    with one value per node."""
    if isinstance(value, Mapping):
        pairs = [(node_index(where, what, node, nodes), item) for node, item in value.items()]
    elif isinstance(value, (Sequence, np.ndarray)) and not isinstance(value, str):
        items = list(value)
        if len(items) != nodes:
            raise ValueError(f"{where}: {what} lists {len(items)} values for {nodes} nodes")
        pairs = list(enumerate(items))
    else:
        raise TypeError(
            f"{where}: a network takes {what} per node, as a mapping from node to value or a "
            f"sequence with one value per node, got {shown(value)}"
        )
    return [(node, convert(item)) for node, item in pairs]


@dataclass(frozen=True)
class Routes:
    """Entries of a routing table as the network's bulk setter takes them,
    in one call: a later entry of the same pair wins. With ``whole`` they are
    the whole table, and every route they do not name is removed."""

    sources: list[int]
    destinations: list[int]
    probabilities: list[float]
    whole: bool


def routing_routes(value: Any, nodes: int) -> Routes:
    """A period's ``routing``, every entry checked: a mapping of the entries
    to change, or a full matrix, dense or SciPy sparse, of which only the
    entries above 0 are kept."""
    if isinstance(value, Mapping):
        sources, destinations, probabilities = [], [], []
        for key, p in value.items():
            if not (isinstance(key, tuple) and len(key) == 2):
                raise TypeError(
                    f"Period: routing maps (source, destination) pairs, got the key {shown(key)}"
                )
            s, d = (node_index("Period", "routing", x, nodes) for x in key)
            sources.append(s)
            destinations.append(d)
            probabilities.append(probability(p))
        return Routes(sources, destinations, probabilities, whole=False)
    sparse = sys.modules.get("scipy.sparse")  # loaded by whoever made a sparse matrix
    if sparse is not None and sparse.issparse(value):
        _confirm_square(tuple(value.shape), nodes)
        table = value.tocsr(copy=True)
        table.sum_duplicates()  # an entry given twice is their sum, as in SciPy
        entries = table.tocoo()
        rows, columns = entries.row, entries.col
        data = np.asarray(entries.data, dtype=np.float64)
    else:
        try:
            matrix = np.asarray(value, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(
                f"Period: routing is a mapping from (source, destination) to probability or a "
                f"{nodes} by {nodes} matrix, got {shown(value)}"
            ) from None
        _confirm_square(matrix.shape, nodes)
        rows, columns = np.nonzero(matrix)  # by row, then column; a NaN is nonzero
        data = matrix[rows, columns]
    outside = ~((data >= 0.0) & (data <= 1.0))
    if outside.any():
        probability(data[outside][0])
    kept = data > 0.0
    return Routes(rows[kept].tolist(), columns[kept].tolist(), data[kept].tolist(), whole=True)


def _confirm_square(shape: tuple[int, ...], nodes: int) -> None:
    if shape != (nodes, nodes):
        raise ValueError(f"Period: routing must be {nodes} by {nodes}, got shape {shape}")


def routes_of(model: StandardNetworkMultiserver) -> Routes:
    """The routing table of ``model`` as it is."""
    sources, destinations, probabilities = model.get_routing_probabilities()
    return Routes(sources, destinations, probabilities, whole=True)


def write_routes(model: StandardNetworkMultiserver, routes: Routes) -> None:
    """Writes ``routes`` in one call; a whole table first sets every route
    that the model has to 0, so that those it does not name are removed."""
    if routes.whole:
        old_sources, old_destinations, _ = model.get_routing_probabilities()
        model.set_routing_probabilities(
            old_sources + routes.sources,
            old_destinations + routes.destinations,
            [0.0] * len(old_sources) + routes.probabilities,
        )
    else:
        model.set_routing_probabilities(routes.sources, routes.destinations, routes.probabilities)


def check_model(model: Any, where: str) -> None:
    """Refuses what is not a model, before any of its attributes is read."""
    if not isinstance(model, (StandardMultiserver, StandardNetworkMultiserver)):
        raise TypeError(
            f"{where}: model must be a navro.StandardMultiserver or "
            f"navro.StandardNetworkMultiserver, got {shown(model)}"
        )


def servers_of(model: Model) -> NDArray[np.int64]:
    if isinstance(model, StandardNetworkMultiserver):
        nodes = model.get_number_of_nodes()
        return np.array(
            [model.get_number_of_servers_at_node(i) for i in range(nodes)], dtype=np.int64
        )
    return np.array([model.number_of_servers], dtype=np.int64)


@dataclass
class Change:
    """One setting a period changes: how to make it, and how to take it back
    to the value it had before (read when the change is made)."""

    apply: Callable[[], None]
    read: Callable[[], Any]
    write: Callable[[Any], None]


def settings(model: Model, period: Period) -> list[Change]:
    """The period's changes, every value converted and checked first."""
    if isinstance(model, StandardNetworkMultiserver):
        return _network_settings(model, period)
    if period.routing is not None:
        raise ValueError("Period: a single station has no routing")
    changes: list[Change] = []

    def attribute(name: str, value: Any) -> None:
        changes.append(
            Change(
                functools.partial(setattr, model, name, value),
                functools.partial(getattr, model, name),
                functools.partial(setattr, model, name),
            )
        )

    if period.servers is not None:
        attribute("number_of_servers", servers(period.servers))
    if period.arrivals is not None:
        attribute("number_of_arrivals_pmf", plain_weights(period.arrivals))
    if period.durations is not None:
        attribute("service_duration_pmf", durations(period.durations))
    if period.abandonment is not None:
        if isinstance(period.abandonment, (Mapping, Sequence, np.ndarray)):
            raise TypeError(
                f"Period: a station takes one abandonment probability, got "
                f"{shown(period.abandonment)}"
            )
        attribute("abandonment_probability", abandonment(period.abandonment))
    if period.capacity is not None:
        attribute("capacity", station_capacity(period.capacity))
    return changes


def _network_settings(model: StandardNetworkMultiserver, period: Period) -> list[Change]:
    nodes = model.get_number_of_nodes()
    changes: list[Change] = []

    def each(
        value: Any,
        convert: Callable[[Any], Any],
        what: str,
        get: Callable[[int], Any],
        put: Callable[[int, Any], None],
    ) -> None:
        if value is None:
            return
        for node, item in per_node(value, nodes, convert, what):
            changes.append(
                Change(
                    functools.partial(put, node, item),
                    functools.partial(get, node),
                    functools.partial(put, node),
                )
            )

    def node_servers(x: Any) -> int:
        return whole("Period", "a number of servers", x)

    each(
        period.servers,
        node_servers,
        "servers",
        model.get_number_of_servers_at_node,
        model.set_number_of_servers_at_node,
    )
    each(
        period.arrivals,
        plain_weights,
        "arrivals",
        model.get_number_of_external_arrivals_at_node_pmf,
        model.set_number_of_external_arrivals_at_node_pmf,
    )
    each(
        period.durations,
        durations,
        "durations",
        model.get_service_duration_at_node_pmf,
        model.set_service_duration_at_node_pmf,
    )
    each(
        period.abandonment,
        abandonment,
        "abandonment",
        model.get_abandonment_probability_at_node,
        model.set_abandonment_probability_at_node,
    )
    each(
        period.capacity,
        capacity,
        "capacity",
        model.get_capacity_at_node,
        model.set_capacity_at_node,
    )
    if period.routing is not None:
        changes.append(
            Change(
                functools.partial(write_routes, model, routing_routes(period.routing, nodes)),
                functools.partial(routes_of, model),
                functools.partial(write_routes, model),
            )
        )
    return changes


def check_routing(model: Model, schedule: Sequence[Period]) -> None:
    """Refuses a schedule under which a routing row would sum to more than 1
    in some period, before any change: the rows a period changes, summed in
    column order without tolerance, as the step sums them."""
    if not isinstance(model, StandardNetworkMultiserver):
        return
    nodes = model.get_number_of_nodes()
    rows: dict[int, dict[int, float]] | None = None  # per source, its routes
    for index, period in enumerate(schedule):
        if period.routing is None:
            continue
        routes = routing_routes(period.routing, nodes)
        if rows is None or routes.whole:
            rows = {}
            if not routes.whole:
                now = routes_of(model)
                for s, d, p in zip(now.sources, now.destinations, now.probabilities):
                    rows.setdefault(s, {})[d] = p
        for s, d, p in zip(routes.sources, routes.destinations, routes.probabilities):
            row = rows.setdefault(s, {})
            if p > 0:
                row[d] = p
            else:
                row.pop(d, None)
        # The entries between the routes add 0, so a row summed over its
        # routes by destination is summed in column order.
        for s in sorted(set(routes.sources)):
            total = 0.0
            for d in sorted(rows[s]):
                total += rows[s][d]
            if total > 1:
                raise ValueError(
                    f"Period {index}: the routing probabilities of node {s} sum to {total!r}, "
                    "more than 1"
                )


def apply(changes: Sequence[Change]) -> Callable[[], None]:
    """Makes the changes and returns what takes them back, in reverse order."""
    undo: list[Callable[[], None]] = []
    try:
        for change in changes:
            old = change.read()
            change.apply()
            undo.append(functools.partial(change.write, old))
    except BaseException:
        for take_back in reversed(undo):
            take_back()
        raise

    def revert() -> None:
        for take_back in reversed(undo):
            take_back()

    return revert
