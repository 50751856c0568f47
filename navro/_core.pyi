"""Exact transient analysis of discrete-time queueing stations."""

from collections.abc import Sequence
from typing import Any, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self, disjoint_base

# A dict of a distribution over counts, and of a station's state.
_Pmf: TypeAlias = dict[int, float]
_State: TypeAlias = dict[tuple[int, int], float]
# What a network takes per node, and per pair of nodes.
_Counts: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]
_Probabilities: TypeAlias = Sequence[Sequence[float]] | NDArray[np.floating[Any]]
# A recorded run: rows, nodes, window width, then the bytes of its parts.
_Recording: TypeAlias = tuple[
    int, int, int, bytes, bytes, bytes, bytes, bytes, bytes, bytes, bytes, bytes, bytes
]
# Nodes, one per entry of a list of entries.
_Indexes: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]

def _simulate(
    model: StandardMultiserver | StandardNetworkMultiserver,
    steps: bytes,
    servers: bytes,
    arrivals: tuple[tuple[bytes, bytes], ...],
    durations: tuple[tuple[bytes, bytes], ...],
    routing: bytes,
    abandonment: bytes,
    capacity: bytes,
    every: int,
    horizon: int,
    runs: int,
    key: int,
    threads: int,
    /,
) -> tuple[_Recording, dict[str, bytes]]: ...

class error(Exception):
    """Raised by every refused call; its one argument is a fixed message."""

@disjoint_base
class StandardMultiserver:
    """One station with identical servers, batch arrivals and whole-unit
    service durations. Its state is the joint distribution of (number present,
    remaining service time of an entity in service)."""

    @property
    def number_of_servers(self) -> int: ...
    @number_of_servers.setter
    def number_of_servers(self, value: SupportsIndex) -> None: ...
    @property
    def abandonment_probability(self) -> float: ...
    @abandonment_probability.setter
    def abandonment_probability(self, value: float) -> None: ...
    @property
    def capacity(self) -> int | None: ...
    @capacity.setter
    def capacity(self, value: SupportsIndex | None) -> None: ...
    @property
    def time(self) -> int: ...
    @time.setter
    def time(self, value: SupportsIndex) -> None: ...
    @property
    def current_memory_use(self) -> int: ...
    @property
    def peak_memory_use(self) -> int: ...
    @property
    def number_of_arrivals_pmf(self) -> dict[int, float]: ...
    @number_of_arrivals_pmf.setter
    def number_of_arrivals_pmf(self, value: dict[int, float]) -> None: ...
    @property
    def service_duration_pmf(self) -> dict[int, float]: ...
    @service_duration_pmf.setter
    def service_duration_pmf(self, value: dict[int, float]) -> None: ...
    @property
    def internal_state(self) -> dict[tuple[int, int], float]: ...
    @internal_state.setter
    def internal_state(self, value: dict[tuple[int, int], float]) -> None: ...
    def __init__(
        self,
        *,
        number_of_servers: SupportsIndex = ...,
        number_of_arrivals_pmf: _Pmf = ...,
        service_duration_pmf: _Pmf = ...,
        internal_state: _State = ...,
        time: SupportsIndex = ...,
        abandonment_probability: float = ...,
        capacity: SupportsIndex | None = ...,
    ) -> None: ...
    def step(self) -> None: ...
    def apply_observation_range(self, start: SupportsIndex, end: SupportsIndex, /) -> None: ...
    def apply_observation_value(self, value: SupportsIndex, /) -> None: ...
    def mark(self) -> None: ...
    def restore(self) -> None: ...
    def get_number_of_entities_in_system_pmf(self) -> dict[int, float]: ...
    def reset_with_number_of_entities_in_system(
        self, number_of_entities: SupportsIndex, /
    ) -> None: ...
    def _record(
        self,
        steps: SupportsIndex,
        every: SupportsIndex,
        start: SupportsIndex,
        horizon: SupportsIndex,
        /,
    ) -> _Recording: ...
    def _record_exact(
        self,
        chain: _ExactChain,
        steps: SupportsIndex,
        every: SupportsIndex,
        start: SupportsIndex,
        horizon: SupportsIndex,
        /,
    ) -> _Recording: ...

@disjoint_base
class StandardNetworkMultiserver:
    """A network of stations, numbered from 0, each with identical servers,
    its own external arrivals and its own service durations. An entity whose
    service at node s ends goes to node d with the routing probability of
    row s, column d, or leaves with what the row leaves over. The state of
    each node is the joint distribution of (number present, remaining service
    time of an entity in service). At most 1048576 nodes."""

    @property
    def time(self) -> int: ...
    @time.setter
    def time(self, value: SupportsIndex) -> None: ...
    @property
    def current_memory_use(self) -> int: ...
    @property
    def peak_memory_use(self) -> int: ...
    @property
    def internal_state(self) -> list[_State]: ...
    @internal_state.setter
    def internal_state(self, value: list[_State]) -> None: ...
    def __new__(
        cls,
        number_of_nodes: SupportsIndex,
        /,
        *,
        number_of_servers: _Counts = ...,
        number_of_external_arrivals_pmfs: Sequence[_Pmf] = ...,
        service_duration_pmfs: Sequence[_Pmf] = ...,
        routing_probabilities: _Probabilities = ...,
        internal_state: list[_State] = ...,
        time: SupportsIndex = ...,
        abandonment_probabilities: Sequence[float] | NDArray[np.floating[Any]] = ...,
        capacities: Sequence[SupportsIndex | None] = ...,
    ) -> Self: ...
    def __init__(
        self,
        number_of_nodes: SupportsIndex,
        /,
        *,
        number_of_servers: _Counts = ...,
        number_of_external_arrivals_pmfs: Sequence[_Pmf] = ...,
        service_duration_pmfs: Sequence[_Pmf] = ...,
        routing_probabilities: _Probabilities = ...,
        internal_state: list[_State] = ...,
        time: SupportsIndex = ...,
        abandonment_probabilities: Sequence[float] | NDArray[np.floating[Any]] = ...,
        capacities: Sequence[SupportsIndex | None] = ...,
    ) -> None: ...
    def step(self) -> None: ...
    def apply_observation_range_at_node(
        self, node: SupportsIndex, start: SupportsIndex, end: SupportsIndex, /
    ) -> None: ...
    def apply_observation_value_at_node(
        self, node: SupportsIndex, value: SupportsIndex, /
    ) -> None: ...
    def mark(self) -> None: ...
    def restore(self) -> None: ...
    def get_number_of_entities_at_node_pmf(self, node: SupportsIndex, /) -> dict[int, float]: ...
    def get_number_of_external_arrivals_at_node_pmf(
        self, node: SupportsIndex, /
    ) -> dict[int, float]: ...
    def get_abandonment_probability_at_node(self, node: SupportsIndex, /) -> float: ...
    def set_abandonment_probability_at_node(
        self, node: SupportsIndex, probability: float, /
    ) -> None: ...
    def get_capacity_at_node(self, node: SupportsIndex, /) -> int | None: ...
    def set_capacity_at_node(
        self, node: SupportsIndex, capacity: SupportsIndex | None, /
    ) -> None: ...
    def get_number_of_nodes(self) -> int: ...
    def get_number_of_servers_at_node(self, node: SupportsIndex, /) -> int: ...
    def get_routing_probability(
        self, source: SupportsIndex, destination: SupportsIndex, /
    ) -> float: ...
    def get_routing_probabilities(self) -> tuple[list[int], list[int], list[float]]: ...
    def get_service_duration_at_node_pmf(self, node: SupportsIndex, /) -> dict[int, float]: ...
    def set_number_of_external_arrivals_at_node_pmf(
        self, node: SupportsIndex, pmf: dict[int, float], /
    ) -> None: ...
    def set_number_of_servers_at_node(
        self, node: SupportsIndex, number_of_servers: SupportsIndex, /
    ) -> None: ...
    def set_routing_probability(
        self, source: SupportsIndex, destination: SupportsIndex, probability: float, /
    ) -> None: ...
    def set_service_duration_at_node_pmf(
        self, node: SupportsIndex, pmf: dict[int, float], /
    ) -> None: ...
    def reset_node_with_number_of_entities(
        self, node: SupportsIndex, number_of_entities: SupportsIndex, /
    ) -> None: ...
    def set_routing_probabilities(
        self,
        sources: _Indexes,
        destinations: _Indexes,
        probabilities: Sequence[float] | NDArray[np.floating[Any]],
        /,
    ) -> None: ...
    def _record(
        self,
        steps: SupportsIndex,
        every: SupportsIndex,
        start: SupportsIndex,
        horizon: SupportsIndex,
        /,
    ) -> _Recording: ...
    def _record_exact(
        self,
        chain: _ExactChain,
        steps: SupportsIndex,
        every: SupportsIndex,
        start: SupportsIndex,
        horizon: SupportsIndex,
        /,
    ) -> _Recording: ...

@disjoint_base
class _ExactChain:
    """The joint distribution of a station's or network's real state, carried
    by navro.trajectory(method="exact") from one period to the next."""

    def __new__(cls, max_states: SupportsIndex, drop_below: float, /) -> Self: ...
    def mark(self) -> None: ...
    def restore(self) -> None: ...
    @property
    def states(self) -> int: ...
    @property
    def active_states(self) -> int: ...
    @property
    def transitions(self) -> int: ...
    @property
    def dropped_mass(self) -> float: ...
