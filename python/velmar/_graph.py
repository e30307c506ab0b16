"""The graph handle: the engine's compact graph together with the node IDs.

Every input becomes one handle, once per call: the converters hand the
engine a graph's entries (``Entries``) and it builds the compact graph, with
every row sorted, duplicates summed and, when asked, A + Aᵀ formed, all in
the engine; ``open_graph`` maps a prepared one. Every later layer (a run in
memory, to disk or on Dask) takes the handle and reads nothing else.
"""

from __future__ import annotations

import hashlib
import json
import threading
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from . import _engine
from ._watch import watched


@dataclass(frozen=True)
class Entries:
    """A graph's stored entries, as a converter hands them to the engine:
    int32/int64 CSR row pointers (``compressed``) or one row index per
    entry, int32/uint32/int64 column indices, float64 weights. Rows need not
    be sorted; entries sharing a position are summed in their given order."""

    rows: npt.NDArray[Any]
    cols: npt.NDArray[Any]
    values: npt.NDArray[np.float64]
    num_nodes: int
    compressed: bool
    # The node ID of each row; None when row i is node i.
    nodes: npt.NDArray[Any] | None = None
    # Both directions of every edge are stored already (an undirected
    # networkx graph): the graph is embedded as stored, since adding its
    # transpose would double every weight.
    symmetric: bool = False

    @property
    def num_entries(self) -> int:
        return int(self.cols.shape[0])


class Unverified:
    """An array mapped from disk that must pass a check (of its recorded
    checksums) before it is first read: ``get()`` runs the check once and
    returns the array, or raises what the check raised, every time."""

    def __init__(self, array: npt.NDArray[Any], check: Callable[[npt.NDArray[Any]], None]) -> None:
        self._array = array
        self._check: Callable[[npt.NDArray[Any]], None] | None = check
        self._lock = threading.Lock()

    def get(self) -> npt.NDArray[Any]:
        with self._lock:
            if self._check is not None:
                self._check(self._array)
                self._check = None
        return self._array


@dataclass(frozen=True, eq=False)
class PreparedGraph:
    """A graph ready for the engine: its compact form (built in memory, or
    mapped read-only from a directory written by ``velmar.prepare``) and the
    node ID of each row.

    ``symmetrized`` says that the stored graph is undirected (A + Aᵀ, or an
    input that holds both directions of every edge). A prepared graph also
    has ``path``, its ``header``, the float64 ``values`` of its entries
    (checked against their recorded checksums when first read) and, when its
    rows are stored in a locality order, ``order`` (stored row p is node
    order[p]).
    """

    engine: Any  # velmar._engine.Graph
    nodes: npt.NDArray[Any] | None
    symmetrized: bool
    path: str | None = None
    header: dict[str, Any] | None = None
    stored_values: Union[npt.NDArray[np.float64], Unverified, None] = None
    order: npt.NDArray[np.int64] | None = None

    @property
    def values(self) -> npt.NDArray[np.float64] | None:
        """The float64 weight of each stored entry, when kept."""
        if isinstance(self.stored_values, Unverified):
            values: npt.NDArray[np.float64] = self.stored_values.get()
            return values
        return self.stored_values

    @property
    def num_nodes(self) -> int:
        return int(self.engine.num_nodes)

    @property
    def num_entries(self) -> int:
        return int(self.engine.num_entries)

    @property
    def indptr(self) -> npt.NDArray[np.int64]:
        indptr: npt.NDArray[np.int64] = self.engine.arrays()[0]
        return indptr

    @property
    def indices(self) -> npt.NDArray[Any]:
        """uint32 column indices, or int64 from 2**32 nodes on."""
        indices: npt.NDArray[Any] = self.engine.arrays()[1]
        return indices

    @property
    def scales(self) -> npt.NDArray[np.float32]:
        scales: npt.NDArray[np.float32] = self.engine.arrays()[2]
        return scales

    @property
    def graph_id(self) -> str:
        """The prepared graph's ID, or a digest of an in-memory graph's arrays."""
        if self.header is not None:
            return str(self.header["graph_id"])
        digest = hashlib.blake2b(digest_size=16)
        digest.update(np.int64(self.num_nodes).tobytes())
        arrays = [*self.engine.arrays()] + ([] if self.order is None else [self.order])
        for array in arrays:
            digest.update(np.ascontiguousarray(array).data)
        return digest.hexdigest()

    @property
    def fingerprint(self) -> str:
        """What a run on disk records of its graph. A prepared graph's ID
        is derived from its checksums; one of an older format records none,
        so its whole header stands for it (an edited header is another
        graph, though its arrays cannot be checked)."""
        if self.header is not None and "checksum" not in self.header:
            text = json.dumps(self.header, sort_keys=True, separators=(",", ":"))
            digest = hashlib.blake2b(text.encode("utf-8"), digest_size=16).hexdigest()
            return f"prepared-unverified:{digest}"
        kind = "prepared" if self.path is not None else "graph"
        return f"{kind}:{self.graph_id}"

    @property
    def mapped_bytes(self) -> int:
        """Bytes of a prepared graph's arrays that an embedding reads (the
        values excluded): mapped from disk, they become resident during the
        run. 0 for a graph built in memory."""
        if self.path is None:
            return 0
        return int(self.engine.nbytes)

    @property
    def graph_bytes(self) -> int:
        """Bytes of every array the engine reads, built or mapped."""
        return int(self.engine.nbytes)

    def node_ids(self) -> npt.NDArray[Any]:
        """The node ID of each row (0..n-1 when the input had no IDs)."""
        if self.nodes is None:
            return np.arange(self.num_nodes, dtype=np.int64)
        return self.nodes

    def __repr__(self) -> str:
        kind = "symmetrized" if self.symmetrized else "directed"
        if self.order is not None:
            kind += ", reordered"
        what = f"prepared graph {self.path!r}" if self.path is not None else "graph"
        return (
            f"<velmar {what}: {self.num_nodes:,} nodes, "
            f"{self.num_entries:,} stored entries, {kind}>"
        )


def build(
    entries: Entries,
    *,
    undirected: bool,
    keep_values: bool = False,
    stacklevel: int = 2,
) -> PreparedGraph:
    """The engine's graph of `entries`: A + Aᵀ when undirected (and the
    entries are not symmetric already), A otherwise. A Ctrl-C during the
    build stops it."""
    symmetrize = undirected and not entries.symmetric
    build_graph = _engine.build_graph if entries.compressed else _engine.build_graph_coo

    def work(control: Any) -> Any:
        return build_graph(
            entries.rows,
            entries.cols,
            entries.values,
            entries.num_nodes,
            symmetrize,
            control,
            keep_values=keep_values,
        )

    graph = watched(work)
    if symmetrize and entries.num_entries and graph.num_entries == 0:
        warnings.warn(
            f"every one of the graph's {entries.num_entries:,} edges cancels in A + Aᵀ "
            "(each weight is zero or the negative of its reverse edge's), so every "
            "propagation step gives zeros and only the weights[0] term remains; "
            "pass undirected=False (--directed on the command line) to use the "
            "edges as stored",
            RuntimeWarning,
            stacklevel=stacklevel,
        )
    return PreparedGraph(
        graph,
        entries.nodes,
        symmetrized=symmetrize or entries.symmetric,
        stored_values=graph.values() if keep_values else None,
    )


def edgeless(num_nodes: int) -> PreparedGraph:
    """A graph of num_nodes nodes without entries."""
    entries = Entries(
        np.zeros(num_nodes + 1, np.int64), np.zeros(0, np.int64), np.zeros(0), num_nodes, True
    )
    return build(entries, undirected=False)
