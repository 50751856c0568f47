"""The exact method of ``trajectory`` and ``staffing``: the joint chain of the
real system, for stations and networks small enough to enumerate.

A state of the chain holds, per node, the number waiting and the number of
busy servers by remaining service time; the chain maps the distribution over
those states step by step, without sampling. Its size is the product over
the nodes of the servers' configurations and the queue lengths reached, so
before a run starts it is estimated (the configurations by counting, the
queue lengths from a run of the maps on a copy of the model) and a run above
``max_states`` is refused; the chain also stops with the same refusal if it
would hold more states than that.
"""

from __future__ import annotations

import copy
import math
from collections.abc import Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, Any

from navro._common import Model, Period, per_node, real, servers, settings, whole
from navro._core import StandardNetworkMultiserver, _ExactChain, error

if TYPE_CHECKING:
    from navro.trajectories import Trajectory

METHODS = ("maps", "exact")
DEFAULT_MAX_STATES = 1_000_000
DEFAULT_DROP_BELOW = 1e-12
# The core's own limits: 32-bit state counts, and the remaining times of
# every node's servers in one key of at most this many counts.
LARGEST_MAX_STATES = 2**31 - 1
LONGEST_KEY = 1024
# What the core raises when the chain would pass max_states.
TOO_MANY_STATES = "Too many states. The exact chain would exceed its limit of states."


def check_method(method: str, function: str) -> str:
    if method not in METHODS:
        raise ValueError(f"{function}: method must be 'maps' or 'exact', got {method!r}")
    return method


def check_max_states(value: Any, function: str) -> int:
    return whole(function, "max_states", value, 1, LARGEST_MAX_STATES)


def check_drop_below(value: Any, function: str) -> float:
    threshold = real(function, "drop_below", value)
    if not 0.0 <= threshold < 1.0:
        raise ValueError(f"{function}: drop_below must lie in [0, 1), got {threshold}")
    return threshold


class ExactRun:
    """One chain carried through the periods of a run: each call of
    ``record`` steps it under the model's settings of the moment, starting it
    from the model's state at the first call. ``mark``/``restore`` snapshot
    its distribution, as staffing needs for its trials."""

    def __init__(
        self, model: Model, max_states: int, drop_below: float, function: str, estimate: int
    ) -> None:
        self.model = model
        self.limit = max_states
        self.estimate = estimate
        self.function = function
        self.chain = _ExactChain(max_states, drop_below)

    def record(self, steps: int, every: int, start: int, horizon: int) -> tuple[Any, ...]:
        try:
            return tuple(self.model._record_exact(self.chain, steps, every, start, horizon))
        except error as exc:
            if exc.args != (TOO_MANY_STATES,):
                raise
            raise ValueError(
                f"{self.function}: the exact chain needs more than max_states={self.limit:,} "
                f"states (estimated {self.estimate:,} before the run), or a count at a node "
                "beyond 65535; raise max_states, or use method='maps'"
            ) from exc

    def mark(self) -> None:
        self.chain.mark()

    def restore(self) -> None:
        self.chain.restore()


def start(
    model: Model,
    periods: Sequence[Period],
    max_states: Any,
    drop_below: Any,
    function: str,
    servers: dict[int, int] | None = None,
) -> ExactRun:
    """An exact run of ``model`` through ``periods``, once its estimated size
    is within ``max_states``. ``servers`` replaces the servers of the given
    nodes for the estimate (staffing's upper bounds)."""
    limit = check_max_states(max_states, function)
    threshold = check_drop_below(drop_below, function)
    estimate = estimate_states(model, periods, servers or {}, limit)
    if estimate > limit:
        raise ValueError(
            f"{function}: the exact chain of this run needs about {estimate:,} states, more than "
            f"max_states={limit:,}; raise max_states (a state takes about 100 bytes plus 12 for "
            "each of its transitions), or use method='maps'"
        )
    return ExactRun(model, limit, threshold, function, estimate)


def estimate_states(
    model: Model, periods: Sequence[Period], servers: dict[int, int], limit: int
) -> int:
    """The states an exact run is expected to hold: per node, the ways its
    busy servers can hold remaining times (any count up to the servers,
    each time up to the longest service), and for every queue length the
    maps reach, the ways all servers can be busy; the product over the
    nodes. Above ``limit`` the count is returned as soon as it is known to
    be, without running the maps. Where arrivals and services are both
    regular, far fewer configurations are reached than counted here."""
    probe = copy.copy(model)
    nodes = model.get_number_of_nodes() if isinstance(model, StandardNetworkMultiserver) else 1
    most = [_servers_at(model, n) for n in range(nodes)]
    longest = [_longest_service(model, n) for n in range(nodes)]
    for period in periods:
        for change in settings(probe, period):
            change.apply()
        for n in range(nodes):
            most[n] = max(most[n], _servers_at(probe, n))
            longest[n] = max(longest[n], _longest_service(probe, n))
    for n, count in servers.items():
        most[n] = count
    for n in range(nodes):
        longest[n] = max(longest[n], _longest_remaining(model, n, most[n]))
    if sum(1 + width for width in longest) > LONGEST_KEY:
        raise ValueError(
            "the exact method keeps remaining service times of at most "
            f"{LONGEST_KEY - 1} steps summed over the nodes; use method='maps'"
        )
    busy = [math.comb(c + width, width) for c, width in zip(most, longest)]
    if math.prod(busy) > limit:
        return math.prod(busy)
    queue = _longest_queues(model, periods, servers, nodes)
    reached = math.prod(
        states + queue[n] * math.comb(most[n] + longest[n] - 1, longest[n] - 1)
        for n, states in enumerate(busy)
    )
    # The chain also holds the states that its rows reach a step beyond
    # those, and its queues run a little past the maps' cut: about half as
    # many again, as measured on stations and networks of all sizes here.
    return reached * 3 // 2


def _longest_queues(
    model: Model, periods: Sequence[Period], servers: dict[int, int], nodes: int
) -> list[int]:
    """Per node, the most entities waiting that the maps give positive
    probability at any step of the run (a run on a copy of the model)."""
    from navro.trajectories import trajectory

    run: Trajectory = trajectory(
        copy.copy(model), [_with_servers(p, servers, nodes) for p in periods], wait_horizon=None
    )
    queues = []
    for n in range(nodes):
        node = run.node(n) if run.is_network else run
        present = node.probabilities > 0  # rows x counts
        top = [int(node.counts[row.nonzero()[0][-1]]) if row.any() else 0 for row in present]
        waiting = [max(0, t - int(c)) for t, c in zip(top, node.servers)]
        queues.append(max(waiting, default=0))
    return queues


def _with_servers(period: Period, chosen: dict[int, int], nodes: int) -> Period:
    """``period`` with the given nodes' servers in place of its own."""
    if not chosen:
        return period
    if nodes == 1:
        return replace(period, servers=chosen[0])
    own = [] if period.servers is None else per_node(period.servers, nodes, servers, "servers")
    return replace(period, servers={**dict(own), **chosen})


def _servers_at(model: Model, node: int) -> int:
    if isinstance(model, StandardNetworkMultiserver):
        return max(0, model.get_number_of_servers_at_node(node))
    return max(0, model.number_of_servers)


def _longest_service(model: Model, node: int) -> int:
    if isinstance(model, StandardNetworkMultiserver):
        pmf = model.get_service_duration_at_node_pmf(node)
    else:
        pmf = model.service_duration_pmf
    return max(1, max(pmf, default=1))


def _longest_remaining(model: Model, node: int, servers: int) -> int:
    """The longest remaining time of a server busy at the start."""
    if isinstance(model, StandardNetworkMultiserver):
        states = model.internal_state
        if node >= len(states):
            return 1  # the run itself refuses a state list this short
        state = states[node]
    else:
        state = model.internal_state
    return max((ell for (z, ell) in state if min(z, servers) > 0), default=1)
