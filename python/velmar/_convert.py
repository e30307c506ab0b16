"""Conversion of every supported graph form into one canonical CSR graph.

Every input ends as int64 row pointers, int64 column indices and float64
values whose rows hold strictly increasing columns, duplicates summed in
stored order. The engine stores such arrays unchanged, so two inputs with the
same stored edges give bit-identical embeddings whichever path they took.
"""

from __future__ import annotations

import math
import operator
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]

# n * n stays below 2**63 up to this node count, so (row, col) packs into one
# int64 sort key.
_MAX_PACKED_NODES = 3_037_000_499


@dataclass(frozen=True)
class CsrGraph:
    """A graph ready for the engine.

    ``nodes`` holds the node ID of each row, or is None when row i is node i.
    ``symmetric`` is True when the arrays already hold both directions of every
    undirected edge (an undirected networkx graph); such a graph is embedded
    as stored, since adding its transpose would double every weight.
    """

    row_ptrs: Int64Array
    col_indices: Int64Array
    values: Float64Array
    num_nodes: int
    nodes: npt.NDArray[Any] | None = None
    symmetric: bool = False

    @property
    def num_edges(self) -> int:
        return int(self.col_indices.shape[0])


def to_csr_graph(
    graph: object,
    *,
    nodes: Iterable[Any] | None = None,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
) -> CsrGraph:
    """Convert any supported graph form; raises TypeError or ValueError."""
    scipy_sparse = sys.modules.get("scipy.sparse")
    if scipy_sparse is not None and scipy_sparse.issparse(graph):
        _reject_edge_options("a SciPy sparse matrix", nodes, source, target, weight)
        return from_scipy(graph)
    nx = sys.modules.get("networkx")
    if nx is not None and isinstance(graph, nx.Graph):
        _reject_edge_options("a networkx graph", nodes, source, target, "weight")
        return from_networkx(graph, weight=weight)
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(graph, pd.DataFrame):
        return from_dataframe(graph, source=source, target=target, weight=weight, nodes=nodes)
    if isinstance(graph, tuple):
        _reject_edge_options("a tuple of edge columns", None, source, target, weight)
        if len(graph) not in (2, 3):
            raise ValueError(
                "a tuple is read as edge columns (sources, targets) or "
                f"(sources, targets, weights), but it has {len(graph)} items"
            )
        return from_edge_columns(*graph, nodes=nodes)
    if isinstance(graph, list):
        _reject_edge_options("a list of edges", None, source, target, weight)
        return from_edge_rows(graph, nodes=nodes)
    if isinstance(graph, np.ndarray) or hasattr(graph, "__array__"):
        _reject_edge_options("a dense adjacency matrix", nodes, source, target, weight)
        return from_dense(np.asarray(graph))
    raise TypeError(
        f"cannot embed a {type(graph).__qualname__}: expected a SciPy sparse matrix, "
        "a dense NumPy adjacency matrix, a networkx graph, a pandas DataFrame of "
        "edges, a tuple of edge columns (sources, targets[, weights]) or a list "
        "of (source, target[, weight]) edges"
    )


def _reject_edge_options(
    what: str, nodes: object, source: object, target: object, weight: object
) -> None:
    if nodes is not None:
        raise TypeError(f"nodes= applies to edge lists and DataFrames, not to {what}")
    if source != "source" or target != "target":
        raise TypeError(f"source= and target= apply to DataFrames, not to {what}")
    if weight != "weight":
        raise TypeError(f"weight= applies to DataFrames and networkx graphs, not to {what}")


# --- canonical form --------------------------------------------------------


def canonical_csr(
    rows: Int64Array, cols: Int64Array, vals: Float64Array, num_nodes: int
) -> tuple[Int64Array, Int64Array, Float64Array]:
    """CSR arrays of the entries (rows[k], cols[k], vals[k]), all in range.

    Rows are sorted by column with a stable sort, and entries sharing a
    position are summed left to right in their given order, as the engine
    merges them.
    """
    m = rows.shape[0]
    row_ptrs = np.zeros(num_nodes + 1, dtype=np.int64)
    if m == 0:
        return row_ptrs, np.zeros(0, np.int64), np.zeros(0, np.float64)
    if num_nodes <= _MAX_PACKED_NODES:
        key = rows * np.int64(num_nodes) + cols
        if not np.all(key[1:] > key[:-1]):
            order = np.argsort(key, kind="stable")
            key = key[order]
            rows, cols, vals = rows[order], cols[order], vals[order]
        first = np.empty(m, dtype=bool)
        first[0] = True
        np.not_equal(key[1:], key[:-1], out=first[1:])
    else:
        order = np.lexsort((cols, rows))
        rows, cols, vals = rows[order], cols[order], vals[order]
        first = np.empty(m, dtype=bool)
        first[0] = True
        first[1:] = (rows[1:] != rows[:-1]) | (cols[1:] != cols[:-1])
    if not first.all():
        starts = np.flatnonzero(first)
        summed = vals[starts].copy()
        later = ~first
        group = np.cumsum(first)[later] - 1
        # ufunc.at adds unbuffered, in index order: ((v0 + v1) + v2) ...
        np.add.at(summed, group, vals[later])
        rows, cols, vals = rows[starts], cols[starts], summed
    np.cumsum(np.bincount(rows, minlength=num_nodes), out=row_ptrs[1:])
    return row_ptrs, np.ascontiguousarray(cols), np.ascontiguousarray(vals)


def _values_float64(data: npt.NDArray[Any], what: str) -> Float64Array:
    if data.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be numeric, got dtype {data.dtype}")
    return np.ascontiguousarray(data, dtype=np.float64)


# --- matrices --------------------------------------------------------------


def _check_square(shape: tuple[int, ...], what: str) -> int:
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"{what} must be square (n × n), got shape {tuple(shape)}")
    return int(shape[0])


def from_dense(matrix: npt.NDArray[Any]) -> CsrGraph:
    """Every entry that is not zero (NaN included) is an edge; -0.0 is not."""
    n = _check_square(matrix.shape, "a dense adjacency matrix")
    if matrix.dtype.kind not in "biuf":
        raise TypeError(
            f"a dense adjacency matrix must be numeric, got dtype {matrix.dtype}; "
            "pass edges as a tuple (sources, targets[, weights]) instead"
        )
    rows, cols = np.nonzero(matrix)
    vals = np.ascontiguousarray(matrix[rows, cols], dtype=np.float64)
    # np.nonzero walks in row-major order: the entries are already canonical.
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=row_ptrs[1:])
    return CsrGraph(row_ptrs, np.ascontiguousarray(cols, dtype=np.int64), vals, n)


def from_scipy(matrix: Any) -> CsrGraph:
    """Stored entries of any SciPy sparse format are edges, explicit zeros included.

    BSR and DIA pad their blocks and diagonals with zeros; for those formats
    only the nonzero entries count. A CSR matrix with int64 indices, float64
    values and sorted rows without duplicates is handed over without a copy.
    """
    n = _check_square(matrix.shape, "a sparse adjacency matrix")
    fmt = matrix.format
    if fmt == "coo":
        rows = np.asarray(matrix.row).astype(np.int64, copy=False)
        cols = np.asarray(matrix.col).astype(np.int64, copy=False)
        vals = _values_float64(np.asarray(matrix.data), "sparse matrix values")
        return CsrGraph(*canonical_csr(rows, cols, vals, n), n)
    csr = matrix if fmt == "csr" else matrix.tocsr()
    if fmt in ("bsr", "dia"):
        csr.eliminate_zeros()
    # 32- and 64-bit indices go to the engine as they are: it validates them
    # once and sorts nothing unless a row is out of order.
    row_ptrs = np.asarray(csr.indptr)
    if row_ptrs.dtype not in (np.int32, np.int64):
        row_ptrs = row_ptrs.astype(np.int64)
    row_ptrs = np.ascontiguousarray(row_ptrs)
    nnz = int(row_ptrs[-1])
    cols = np.asarray(csr.indices[:nnz])
    if cols.dtype not in (np.int32, np.int64):
        cols = cols.astype(np.int64)
    cols = np.ascontiguousarray(cols)
    vals = _values_float64(np.asarray(csr.data[:nnz]), "sparse matrix values")
    return CsrGraph(row_ptrs, cols, vals, n)


# --- networkx --------------------------------------------------------------


def from_networkx(graph: Any, *, weight: str | None = "weight") -> CsrGraph:
    """Rows follow ``graph.nodes``; parallel edges of a multigraph are summed.

    An undirected graph becomes its symmetric adjacency matrix (each edge in
    both directions, a self-loop once) and is marked ``symmetric``.
    """
    node_list = list(graph.nodes)
    index = {node: i for i, node in enumerate(node_list)}
    n = len(node_list)
    src: list[int] = []
    dst: list[int] = []
    wts: list[float] = []
    if weight is None:
        for u, v in graph.edges():
            src.append(index[u])
            dst.append(index[v])
        wts = [1.0] * len(src)
    else:
        for u, v, w in graph.edges(data=weight, default=1.0):
            src.append(index[u])
            dst.append(index[v])
            try:
                wts.append(float(w))
            except (TypeError, ValueError):
                raise ValueError(
                    f"edge ({u!r}, {v!r}) has a non-numeric {weight!r} attribute: {w!r}"
                ) from None
    rows = np.array(src, dtype=np.int64)
    cols = np.array(dst, dtype=np.int64)
    vals = np.array(wts, dtype=np.float64)
    symmetric = not graph.is_directed()
    if symmetric:
        off = rows != cols
        rows, cols = np.concatenate([rows, cols[off]]), np.concatenate([cols, rows[off]])
        vals = np.concatenate([vals, vals[off]])
    row_ptrs, cols, vals = canonical_csr(rows, cols, vals, n)
    return CsrGraph(
        row_ptrs,
        cols,
        vals,
        n,
        nodes=id_array(node_list, "graph nodes"),
        symmetric=symmetric,
    )


# --- edge lists ------------------------------------------------------------


def from_dataframe(
    frame: Any,
    *,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
    nodes: Iterable[Any] | None = None,
) -> CsrGraph:
    """One edge per row of the columns ``source``, ``target`` and ``weight``.

    The default weight column "weight" is optional (absent: every weight is
    1.0); a weight column named otherwise must exist; weight=None ignores it.
    """
    columns = list(frame.columns)
    for role, name in (("source", source), ("target", target)):
        if name not in columns:
            raise ValueError(
                f"the DataFrame has no {role} column {name!r} (columns: {columns}); "
                f"name it with {role}=..."
            )
    use_weight = weight is not None and (weight in columns or weight != "weight")
    if use_weight and weight not in columns:
        raise ValueError(f"the DataFrame has no weight column {weight!r} (columns: {columns})")
    picked = [source, target] + ([weight] if use_weight else [])
    for name in picked:
        missing = int(frame[name].isna().sum())
        if missing:
            raise ValueError(f"column {name!r} has {missing} missing values")
    src = frame[source].to_numpy()
    dst = frame[target].to_numpy()
    wts = frame[weight].to_numpy() if use_weight else None
    return from_edge_columns(src, dst, wts, nodes=nodes)


def from_edge_rows(edges: Sequence[Any], *, nodes: Iterable[Any] | None = None) -> CsrGraph:
    """A list of (source, target) or (source, target, weight) edges."""
    sources: list[Any] = []
    targets: list[Any] = []
    weights: list[Any] = []
    width = None
    for k, edge in enumerate(edges):
        try:
            size = len(edge)
        except TypeError:
            size = -1
        if size not in (2, 3) or isinstance(edge, (str, bytes)):
            raise ValueError(
                f"edge {k} is {edge!r}: a list is read as edges (source, target) or "
                "(source, target, weight); pass edge columns as a tuple "
                "(sources, targets[, weights])"
            )
        if width is None:
            width = size
        elif size != width:
            raise ValueError(f"edge {k} has {size} items but edge 0 has {width}")
        sources.append(edge[0])
        targets.append(edge[1])
        if size == 3:
            weights.append(edge[2])
    return from_edge_columns(sources, targets, weights if width == 3 else None, nodes=nodes)


def from_edge_columns(
    sources: Any,
    targets: Any,
    weights: Any = None,
    *,
    nodes: Iterable[Any] | None = None,
) -> CsrGraph:
    """Edges sources[k] -> targets[k] with any hashable node IDs.

    Without ``nodes``, rows follow the sorted order of the distinct IDs (so
    integer IDs 0..n-1 keep their numbers); IDs that cannot be compared with
    each other are numbered in order of first appearance, each edge's source
    before its target. With ``nodes``, rows follow that sequence, which may
    name nodes without edges.
    """
    src = id_array(sources, "sources")
    dst = id_array(targets, "targets")
    if src.shape[0] != dst.shape[0]:
        raise ValueError(f"{src.shape[0]} sources but {dst.shape[0]} targets")
    m = src.shape[0]
    if weights is None:
        vals = np.ones(m, dtype=np.float64)
    else:
        raw = np.asarray(weights)
        if raw.ndim != 1 or raw.shape[0] != m:
            raise ValueError(f"weights must be one number per edge ({m}), got shape {raw.shape}")
        try:
            vals = _values_float64(raw, "edge weights")
        except TypeError:
            vals = _floats(raw.tolist())
    ids = _concat_ids(src, dst)
    if nodes is None:
        codes, node_ids = factorize(ids)
    else:
        node_ids = id_array(nodes, "nodes")
        codes = lookup(ids, node_ids)
    n = int(node_ids.shape[0])
    row_ptrs, cols, vals = canonical_csr(codes[:m], codes[m:], vals, n)
    return CsrGraph(row_ptrs, cols, vals, n, nodes=node_ids)


def _floats(items: list[Any]) -> Float64Array:
    out = np.empty(len(items), dtype=np.float64)
    for k, item in enumerate(items):
        try:
            out[k] = float(item)
        except (TypeError, ValueError):
            raise ValueError(f"weight of edge {k} is not a number: {item!r}") from None
    return out


def _object_array(items: Sequence[Any]) -> npt.NDArray[Any]:
    out = np.empty(len(items), dtype=object)
    for k, item in enumerate(items):
        out[k] = item
    return out


def id_array(values: Any, what: str) -> npt.NDArray[Any]:
    """Node IDs as a 1-D array without changing what they are.

    NumPy would turn [1, "a"] into the strings "1" and "a"; such mixtures
    stay Python objects.
    """
    if isinstance(values, np.ndarray):
        arr = values
    else:
        if hasattr(values, "to_numpy"):
            arr = np.asarray(values.to_numpy())
        else:
            items = list(values)
            arr = np.asarray(items) if items else np.zeros(0, dtype=np.int64)
            if arr.ndim != 1 or (
                arr.dtype.kind in "US" and not all(type(x) is type(items[0]) for x in items)
            ):
                arr = _object_array(items)
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {arr.shape}")
    if arr.dtype.kind == "f" and np.isnan(arr).any():
        raise ValueError(f"{what} contain NaN, which is not a node ID")
    if arr.dtype.kind == "O":
        for x in arr:
            if x is None or (isinstance(x, float) and math.isnan(x)):
                raise ValueError(f"{what} contain {x!r}, which is not a node ID")
        if arr.shape[0] and all(type(x) is str for x in arr):
            arr = arr.astype(str)
    return arr


def _concat_ids(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> npt.NDArray[Any]:
    if a.dtype.kind == b.dtype.kind or (a.dtype.kind in "biuf" and b.dtype.kind in "biuf"):
        try:
            return np.concatenate([a, b])
        except TypeError:
            pass
    return np.concatenate([a.astype(object), b.astype(object)])


def factorize(ids: npt.NDArray[Any]) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Codes 0..n-1 for ``ids`` and the distinct IDs in code order."""
    try:
        uniques, codes = np.unique(ids, return_inverse=True)
        return codes.reshape(-1).astype(np.int64, copy=False), uniques
    except TypeError:
        pass  # IDs without an order among them: first appearance instead
    index: dict[Any, int] = {}
    m = ids.shape[0] // 2
    order = [x for pair in zip(ids[:m].tolist(), ids[m:].tolist()) for x in pair]
    for x in order:
        index.setdefault(x, len(index))
    codes = np.fromiter((index[x] for x in ids.tolist()), dtype=np.int64, count=ids.shape[0])
    return codes, _object_array(list(index))


def lookup(ids: npt.NDArray[Any], node_ids: npt.NDArray[Any]) -> Int64Array:
    """Position of each of ``ids`` in ``node_ids``; every ID must be there once."""
    kinds = (ids.dtype.kind, node_ids.dtype.kind)
    if all(k in "biuf" for k in kinds) or kinds in (("U", "U"), ("S", "S")):
        order = np.argsort(node_ids, kind="stable")
        ordered = node_ids[order]
        dup = np.flatnonzero(ordered[1:] == ordered[:-1])
        if dup.size:
            raise ValueError(f"nodes lists {_py(ordered[dup[0]])!r} more than once")
        pos = np.searchsorted(ordered, ids)
        pos_in = np.minimum(pos, max(ordered.shape[0] - 1, 0))
        found = (
            (pos < ordered.shape[0]) & (ordered[pos_in] == ids)
            if ordered.size
            else (np.zeros(ids.shape[0], dtype=bool))
        )
        if not found.all():
            missing = _py(ids[np.flatnonzero(~found)[0]])
            raise ValueError(f"an edge names node {missing!r}, which is not in nodes")
        return order[pos_in].astype(np.int64, copy=False)
    index: dict[Any, int] = {}
    for k, x in enumerate(node_ids.tolist()):
        if index.setdefault(x, k) != k:
            raise ValueError(f"nodes lists {x!r} more than once")
    out = np.empty(ids.shape[0], dtype=np.int64)
    for k, x in enumerate(ids.tolist()):
        try:
            out[k] = index[x]
        except KeyError:
            raise ValueError(f"an edge names node {x!r}, which is not in nodes") from None
        except TypeError:
            raise ValueError(f"node ID {x!r} is not hashable") from None
    return out


def _py(value: Any) -> Any:
    """A NumPy scalar as the Python value, for messages."""
    return value.item() if isinstance(value, np.generic) else value


def check_index(value: object, what: str) -> int:
    """An integer argument (bool excluded), via ``__index__``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}") from None
