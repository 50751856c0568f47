"""A schedule's routing table, from the forms a Period takes it in, as one
call of the network's bulk setter, so that a table of thousands of nodes
costs what its routes cost rather than a call per pair of nodes."""

from __future__ import annotations

import operator
import sys
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

from navro._core import StandardNetworkMultiserver

Entries = tuple[list[int], list[int], list[float]]


def routing_change(model: StandardNetworkMultiserver, value: Any) -> Callable[[], None]:
    """The change that a Period's ``routing`` makes to ``model``, every value
    checked now. A mapping from (source, destination) to probability sets the
    entries it names. A full matrix (anything NumPy reads as one, or a SciPy
    sparse matrix or array) is the whole table: the routes it lacks are
    removed when the change is made."""
    nodes = model.get_number_of_nodes()
    if isinstance(value, Mapping):
        sources, destinations, probabilities = _named_entries(value, nodes)
        return lambda: model.set_routing_probabilities(sources, destinations, probabilities)
    sources, destinations, probabilities = _matrix_entries(value, nodes)

    def replace() -> None:
        # The routes of the table as it is then, set to 0 first; a later
        # entry of the same pair wins.
        old_sources, old_destinations, _ = model.get_routing_probabilities()
        model.set_routing_probabilities(
            old_sources + sources,
            old_destinations + destinations,
            [0.0] * len(old_sources) + probabilities,
        )

    return replace


def _probability(x: Any) -> float:
    p = float(x)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"Period: a routing probability must lie in [0, 1], got {p}")
    return p


def _named_entries(value: Mapping[Any, Any], nodes: int) -> Entries:
    sources, destinations, probabilities = [], [], []
    for (s, d), p in value.items():
        source, destination = operator.index(s), operator.index(d)
        if not (0 <= source < nodes and 0 <= destination < nodes):
            raise ValueError(
                f"Period: routing names the pair ({source}, {destination}) in a network of {nodes}"
            )
        sources.append(source)
        destinations.append(destination)
        probabilities.append(_probability(p))
    return sources, destinations, probabilities


def _matrix_entries(value: Any, nodes: int) -> Entries:
    """The entries of positive probability of a full matrix, by row and then
    column, every entry checked."""
    sparse = sys.modules.get("scipy.sparse")  # loaded by whoever made a sparse matrix
    if sparse is not None and sparse.issparse(value):
        _confirm_shape(tuple(value.shape), nodes)
        matrix = value.tocsr(copy=True)
        matrix.sum_duplicates()  # an entry given twice is their sum, as in SciPy
        coo = matrix.tocoo()
        rows, columns, data = coo.row, coo.col, np.asarray(coo.data, dtype=np.float64)
    else:
        dense = np.asarray(value, dtype=np.float64)
        _confirm_shape(dense.shape, nodes)
        rows, columns = np.nonzero(dense)
        data = dense[rows, columns]
    bad = ~((data >= 0.0) & (data <= 1.0))
    if bad.any():
        _probability(data[bad][0])
    kept = data > 0.0
    return rows[kept].tolist(), columns[kept].tolist(), data[kept].tolist()


def _confirm_shape(shape: tuple[int, ...], nodes: int) -> None:
    if shape != (nodes, nodes):
        raise ValueError(f"Period: routing must be {nodes} by {nodes}, got shape {shape}")
