"""Conversion of every supported graph form into the engine's graph.

Every input ends as entry arrays (``Entries``: CSR row pointers or a row per
entry, column indices, float64 weights) and the node ID of each row; the
engine sorts the rows, sums duplicate entries in their given order and
builds the compact graph (``_graph.build``), so two inputs with the same
stored edges give bit-identical embeddings whichever path they took.
"""

from __future__ import annotations

import operator
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence, Sized
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _graph
from ._checks import check_sparse_structure
from ._graph import Entries, PreparedGraph
from ._plan import Guard, no_guard

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]

# Peak working bytes per edge of the conversion stages, beyond the input and
# beyond the entry arrays the engine is handed (measured with
# bench/conversion_memory.py and rounded up).
_ROW_SPLIT_BYTES = 16  # a list of edge rows split into two object columns
_NUMBERING_BYTES = 40  # codes of both columns, hash table; plus 2 × the ID width
_NETWORKX_EDGE_BYTES = 64  # the edge lists read from a networkx graph


# Ctrl-C raises KeyboardInterrupt only between Python bytecodes: a NumPy or
# pandas call over a whole column of 10^7 IDs (a sort, a hash table, a
# gather) runs to its end, seconds later. So long columns are converted in
# pieces of a few tens of milliseconds each, with the same result as the
# whole calls (bench/interrupt.py measures the delay of a Ctrl-C).
_SORT_PIECE = 1 << 18  # elements per sort or hash-table call
_PIECE = 1 << 20  # elements per element-wise call, cast or gather


def _pieces(count: int, size: int = _PIECE) -> Iterator[tuple[int, int]]:
    return ((lo, min(lo + size, count)) for lo in range(0, count, size))


def _take(table: npt.NDArray[Any], index: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """table[index]."""
    out = np.empty(index.shape[0], dtype=table.dtype)
    for lo, hi in _pieces(index.shape[0]):
        out[lo:hi] = table[index[lo:hi]]
    return out


def _cast(a: npt.NDArray[Any], dtype: Any) -> npt.NDArray[Any]:
    """a as a contiguous 1-D array of dtype (a itself when it is one)."""
    if a.dtype == dtype and a.flags.c_contiguous:
        return a
    out = np.empty(a.shape[0], dtype=dtype)
    for lo, hi in _pieces(a.shape[0]):
        out[lo:hi] = a[lo:hi]
    return out


def _mask(test: Any, a: Any) -> npt.NDArray[np.bool_]:
    """test(a) of an element-wise test."""
    out = np.empty(len(a), dtype=bool)
    for lo, hi in _pieces(len(a)):
        out[lo:hi] = np.asarray(test(a[lo:hi]), dtype=bool)
    return out


def _stable_argsort(values: npt.NDArray[Any]) -> Int64Array:
    """np.argsort(values, kind="stable"): pieces sorted, then merged in
    pairs, each merge a piece at a time."""
    n = values.shape[0]
    if n <= _SORT_PIECE:
        return np.argsort(values, kind="stable")
    runs = [lo + np.argsort(values[lo:hi], kind="stable") for lo, hi in _pieces(n, _SORT_PIECE)]
    while len(runs) > 1:
        merged = [_merge_runs(values, a, b) for a, b in zip(runs[::2], runs[1::2])]
        runs = merged + runs[len(merged) * 2 :]
    return runs[0]


def _merge_runs(values: npt.NDArray[Any], a: Int64Array, b: Int64Array) -> Int64Array:
    """The positions a then b (each in ascending order of its values) in
    stable ascending order of their values. Each round takes a piece of
    either run, what the other holds below its end, and sorts the two
    (one linear merge): everything left is at least as large."""
    out = np.empty(a.shape[0] + b.shape[0], dtype=np.int64)
    i = j = k = 0
    while i < a.shape[0] and j < b.shape[0]:
        ia, jb = min(i + _SORT_PIECE, a.shape[0]), min(j + _SORT_PIECE, b.shape[0])
        last_a, last_b = values[a[ia - 1]], values[b[jb - 1]]
        if last_a <= last_b:  # b's values below a's last; equal ones wait behind a's
            jb = j + int(np.searchsorted(values[b[j:jb]], last_a, side="left"))
        else:
            ia = i + int(np.searchsorted(values[a[i:ia]], last_b, side="right"))
        both = np.concatenate([a[i:ia], b[j:jb]])
        out[k : k + both.shape[0]] = both[np.argsort(values[both], kind="stable")]
        k += both.shape[0]
        i, j = ia, jb
    rest = a[i:] if i < a.shape[0] else b[j:]
    out[k:] = rest
    return out


def numbering_bytes(num_edges: int, id_width: int) -> int:
    """Peak working bytes of numbering the IDs of ``num_edges`` edges, one
    column at a time, each ID ``id_width`` bytes wide in its column (NumPy
    strings are sorted, which copies them twice)."""
    return num_edges * (_NUMBERING_BYTES + 2 * id_width)


def to_graph(
    graph: object,
    *,
    undirected: bool,
    nodes: Iterable[Any] | None = None,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
    guard: Guard = no_guard,
    keep_values: bool = False,
    stacklevel: int = 2,
) -> PreparedGraph:
    """The engine's graph of any supported graph form (A + Aᵀ when
    undirected); raises TypeError or ValueError, and whatever ``guard``
    raises before a costly stage."""
    entries = to_entries(
        graph, nodes=nodes, source=source, target=target, weight=weight, guard=guard
    )
    return _graph.build(
        entries, undirected=undirected, keep_values=keep_values, stacklevel=stacklevel + 1
    )


def to_entries(
    graph: object,
    *,
    nodes: Iterable[Any] | None = None,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
    guard: Guard = no_guard,
) -> Entries:
    """The stored entries of any supported graph form."""
    scipy_sparse = sys.modules.get("scipy.sparse")
    if scipy_sparse is not None and scipy_sparse.issparse(graph):
        _reject_edge_options("a SciPy sparse matrix", nodes, source, target, weight)
        return from_scipy(graph, guard=guard)
    nx = sys.modules.get("networkx")
    if nx is not None and isinstance(graph, nx.Graph):
        _reject_edge_options("a networkx graph", nodes, source, target, "weight")
        return from_networkx(graph, weight=weight, guard=guard)
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(graph, pd.DataFrame):
        return from_dataframe(
            graph, source=source, target=target, weight=weight, nodes=nodes, guard=guard
        )
    if isinstance(graph, tuple):
        _reject_edge_options("a tuple of edge columns", None, source, target, weight)
        if len(graph) not in (2, 3):
            raise ValueError(
                "a tuple is read as edge columns (sources, targets) or "
                f"(sources, targets, weights), but it has {len(graph)} items"
            )
        return from_edge_columns(*graph, nodes=nodes, guard=guard)
    if isinstance(graph, list):
        _reject_edge_options("a list of edges", None, source, target, weight)
        return from_edge_rows(graph, nodes=nodes, guard=guard)
    if isinstance(graph, np.ndarray) or hasattr(graph, "__array__"):
        _reject_edge_options("a dense adjacency matrix", nodes, source, target, weight)
        return from_dense(np.asarray(graph), guard=guard)
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


# --- matrices --------------------------------------------------------------


def _values_float64(data: npt.NDArray[Any], what: str) -> Float64Array:
    if data.dtype.kind not in "biuf":
        raise TypeError(f"{what} must be numeric, got dtype {data.dtype}")
    return _cast(data, np.float64)


def _check_square(shape: tuple[int, ...], what: str) -> int:
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"{what} must be square (n × n), got shape {tuple(shape)}")
    return int(shape[0])


def from_dense(matrix: npt.NDArray[Any], *, guard: Guard = no_guard) -> Entries:
    """Every entry that is not zero (NaN included) is an edge; -0.0 is not."""
    n = _check_square(matrix.shape, "a dense adjacency matrix")
    if matrix.dtype.kind not in "biuf":
        raise TypeError(
            f"a dense adjacency matrix must be numeric, got dtype {matrix.dtype}; "
            "pass edges as a tuple (sources, targets[, weights]) instead"
        )
    # A band of rows at a time: each call sees about _PIECE elements.
    band = max(1, _PIECE // max(n, 1))
    bands = list(_pieces(n, band))
    counts = np.zeros(n, dtype=np.int64)
    for lo, hi in bands:
        counts[lo:hi] = np.count_nonzero(matrix[lo:hi], axis=1)
    m = int(counts.sum())
    guard(n, m, 16 * m)  # the column indices and the weights
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    cols = np.empty(m, dtype=np.int64)
    vals = np.empty(m, dtype=np.float64)
    for lo, hi in bands:
        # np.nonzero walks in row-major order: the entries are already canonical.
        rows, band_cols = np.nonzero(matrix[lo:hi])
        at = slice(int(row_ptrs[lo]), int(row_ptrs[hi]))
        cols[at] = band_cols
        vals[at] = matrix[lo:hi][rows, band_cols]
    return Entries(row_ptrs, cols, vals, n, True)


def from_scipy(matrix: Any, *, guard: Guard = no_guard) -> Entries:
    """Stored entries of any SciPy sparse format are edges, explicit zeros included.

    BSR and DIA pad their blocks and diagonals with zeros; for those formats
    only the nonzero entries count. A CSR matrix with int64 indices, float64
    values and sorted rows without duplicates is handed over without a copy.
    """
    n = _check_square(matrix.shape, "a sparse adjacency matrix")
    check_sparse_structure(matrix, "the sparse matrix")
    fmt = matrix.format
    if fmt == "coo":
        m = int(np.asarray(matrix.row).shape[0])
        guard(n, m, 24 * m)
        rows = _cast(np.asarray(matrix.row), np.int64)
        cols = _cast(np.asarray(matrix.col), np.int64)
        vals = _values_float64(np.asarray(matrix.data), "sparse matrix values")
        return Entries(rows, cols, vals, n, False)
    if fmt == "csc":
        # Row r's entries in column order, each column's in stored order: the
        # rows a conversion to CSR would give, bucketed by the engine, which
        # Ctrl-C stops (SciPy's conversion runs to its end).
        m = int(matrix.indptr[-1])
        guard(n, m, 16 * m)
        indptr = matrix.indptr
        rows = np.asarray(matrix.indices[:m])
        if rows.dtype not in (np.int32, np.int64):
            rows = _cast(rows, np.int64)
        cols = np.empty(m, dtype=np.int64)
        for lo, hi in _pieces(n, max(1, _PIECE * n // max(m, 1))):
            cols[int(indptr[lo]) : int(indptr[hi])] = np.repeat(
                np.arange(lo, hi, dtype=np.int64), np.diff(indptr[lo : hi + 1])
            )
        vals = _values_float64(np.asarray(matrix.data[:m]), "sparse matrix values")
        return Entries(np.ascontiguousarray(rows), cols, vals, n, False)
    guard(n, int(matrix.nnz), 24 * int(matrix.nnz))
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
    return Entries(row_ptrs, cols, vals, n, True)


# --- networkx --------------------------------------------------------------


def from_networkx(graph: Any, *, weight: str | None = "weight", guard: Guard = no_guard) -> Entries:
    """Rows follow ``graph.nodes``; parallel edges of a multigraph are summed.

    An undirected graph becomes its symmetric adjacency matrix (each edge in
    both directions, a self-loop once) and is marked ``symmetric``.
    """
    n = graph.number_of_nodes()
    m = graph.number_of_edges() * (1 if graph.is_directed() else 2)
    # Three Python lists of the edges (pointers, and a float per weight).
    guard(n, m, _NETWORKX_EDGE_BYTES * m)
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
    rows = _list_to(src, np.int64)
    cols = _list_to(dst, np.int64)
    vals = _list_to(wts, np.float64)
    symmetric = not graph.is_directed()
    if symmetric:
        off = rows != cols
        rows, cols = np.concatenate([rows, cols[off]]), np.concatenate([cols, rows[off]])
        vals = np.concatenate([vals, vals[off]])
    return Entries(
        rows,
        cols,
        vals,
        n,
        False,
        nodes=_as_returned(id_array(node_list, "graph nodes")),
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
    guard: Guard = no_guard,
) -> Entries:
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
        count = columns.count(name)
        if count > 1:
            raise ValueError(
                f"the DataFrame has {count} columns named {name!r}; source, target and "
                "weight must each name exactly one column"
            )
    return from_edge_columns(
        frame[source],
        frame[target],
        frame[weight] if use_weight else None,
        nodes=nodes,
        guard=guard,
        labels=(f"column {source!r}", f"column {target!r}", f"column {weight!r}"),
    )


def from_edge_rows(
    edges: Sequence[Any], *, nodes: Iterable[Any] | None = None, guard: Guard = no_guard
) -> Entries:
    """A list of (source, target) or (source, target, weight) edges."""
    m = len(edges)

    def with_columns(num_nodes: int, num_edges: int, working_bytes: int) -> None:
        # The two object columns live until the graph is built.
        guard(num_nodes, num_edges, working_bytes + _ROW_SPLIT_BYTES * m)

    with_columns(0, m, 0)
    sources = np.empty(m, dtype=object)
    targets = np.empty(m, dtype=object)
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
        sources[k] = edge[0]
        targets[k] = edge[1]
        if size == 3:
            weights.append(edge[2])
    return from_edge_columns(
        sources, targets, weights if width == 3 else None, nodes=nodes, guard=with_columns
    )


def from_edge_columns(
    sources: Any,
    targets: Any,
    weights: Any = None,
    *,
    nodes: Iterable[Any] | None = None,
    guard: Guard = no_guard,
    labels: tuple[str, str, str] = ("sources", "targets", "weights"),
) -> Entries:
    """Edges sources[k] -> targets[k] with any hashable node IDs.

    IDs are grouped as dict keys are (by hash and ==). Without ``nodes``,
    rows follow the sorted order of the distinct IDs when they form a chain
    under ``<`` (so integer IDs 0..n-1 keep their numbers), and otherwise the
    order of first appearance, each edge's source before its target. With
    ``nodes``, rows follow that sequence, which may name nodes without edges.
    """
    sources, targets = (c if hasattr(c, "__len__") else list(c) for c in (sources, targets))
    m = len(sources)
    if len(targets) != m:
        raise ValueError(f"{m} sources but {len(targets)} targets")
    width = max(_itemsize(sources), _itemsize(targets))
    known = len(nodes) if isinstance(nodes, Sized) else 0  # a lower bound of the nodes
    guard(known, m, numbering_bytes(m, width))
    src = _id_input(sources, labels[0])
    dst = _id_input(targets, labels[1])
    given = None if nodes is None else _id_input(nodes, "nodes")
    vals = _edge_weights(weights, m, labels[2])
    cs, us = _id_codes(src, labels[0])
    del src
    ct, ut = _id_codes(dst, labels[1])
    del dst
    if given is None:
        rows, cols, node_ids = _number_by_order(cs, us, ct, ut)
    else:
        rows, cols, node_ids = _number_by_nodes(cs, us, ct, ut, given)
    del cs, ct
    n = int(node_ids.shape[0])
    guard(n, m, 0)
    return Entries(rows, cols, vals, n, False, nodes=_as_returned(node_ids))


# --- weights -----------------------------------------------------------------


def _edge_weights(weights: Any, m: int, what: str) -> Float64Array:
    """One float64 per edge. NaN and infinite weights are kept; None and
    pandas' NA are not numbers and are rejected, on every input path."""
    if weights is None:
        return np.ones(m, dtype=np.float64)
    if _is_pandas_array(weights):
        if not isinstance(weights.dtype, np.dtype):
            missing = np.asarray(weights.isna(), dtype=np.bool_)
            if missing.any():
                k = int(np.flatnonzero(missing)[0])
                raise ValueError(f"weight of edge {k} is missing (<NA>): not a number")
            numpy_dtype = getattr(weights.dtype, "numpy_dtype", None)
            if numpy_dtype is not None and numpy_dtype.kind in "biuf":
                weights = weights.to_numpy(dtype=np.float64)
            else:
                weights = weights.to_numpy()
        else:
            weights = weights.to_numpy()
    raw = np.asarray(weights)  # None or NA among numbers gives an object array
    if raw.ndim != 1 or raw.shape[0] != m:
        raise ValueError(f"{what} must be one number per edge ({m}), got shape {raw.shape}")
    if raw.dtype.kind in "biuf":
        return _cast(raw, np.float64)
    return _floats(raw.tolist() if raw.dtype.kind != "O" else list(raw))


def _floats(items: list[Any]) -> Float64Array:
    out = np.empty(len(items), dtype=np.float64)
    for k, item in enumerate(items):
        try:
            out[k] = float(item)
        except (TypeError, ValueError):
            raise ValueError(f"weight of edge {k} is not a number: {item!r}") from None
    return out


# --- node IDs ------------------------------------------------------------------
#
# Each ID column becomes codes (int64, one per edge) into its distinct IDs;
# the two columns' distinct IDs are then merged into the node list, so no
# step holds more than one column's working arrays. IDs are grouped as dict
# keys are, by hash and ==, never by an order: 1, 1.0 and True are one node,
# while frozensets, whose < means "subset", are grouped correctly. Typed
# arrays (numbers, datetimes, NumPy strings) stay in NumPy or pandas; only
# mixed IDs are Python objects, and those exist in the input already.

# Kinds whose values NumPy orders totally (NaN and NaT are rejected first).
_ORDERED_KINDS = "biufcMmUS"


def _is_pandas_array(values: object) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(
        values, (pd.Series, pd.Index, pd.api.extensions.ExtensionArray)
    )


def _list_array(items: list[Any]) -> npt.NDArray[Any]:
    """A list as a 1-D array without changing its values.

    NumPy would turn [1, 2**63] into floats, [1, "a"] into strings and
    [("a", 1), "b"] into an error; only lists of one plain type become typed
    arrays, everything else stays Python objects.
    """
    types = _types(items)
    if len(types) == 1:
        kind = next(iter(types))
        if kind is int:
            for dtype in (np.int64, np.uint64):
                try:
                    return _list_to(items, dtype)
                except OverflowError:
                    pass
        elif kind is float:
            return _list_to(items, np.float64)
        elif kind is bool:
            return _list_to(items, bool)
        elif issubclass(kind, np.generic) and not issubclass(kind, np.object_):
            # Per piece, then joined: NumPy strings take the widest piece's width.
            arr = np.concatenate(
                [np.array(items[lo:hi]) for lo, hi in _pieces(len(items))] or [np.array(items)]
            )
            if arr.ndim == 1:
                return arr
    if not any(issubclass(t, (tuple, list, np.ndarray)) for t in types):
        return _list_to(items, object)
    # Nested values (tuples as IDs) would become extra dimensions.
    out = np.empty(len(items), dtype=object)
    for k, item in enumerate(items):
        out[k] = item
    return out


def _types(items: Any) -> set[type]:
    """The types of the items, stopping at the piece where a second appears."""
    types: set[type] = set()
    for lo, hi in _pieces(len(items)):
        types.update(map(type, items[lo:hi]))
        if len(types) > 1:
            break
    return types


def _list_to(items: list[Any], dtype: Any) -> npt.NDArray[Any]:
    """np.array(items, dtype) of flat items (OverflowError as it raises);
    objects that NumPy would read as sequences are placed one by one."""
    out = np.empty(len(items), dtype=dtype)
    for lo, hi in _pieces(len(items)):
        try:
            piece = np.array(items[lo:hi], dtype=dtype)
        except ValueError:
            piece = np.empty(0)
        if piece.shape != (hi - lo,):
            piece = np.empty(hi - lo, dtype=dtype)
            for k, item in enumerate(items[lo:hi]):
                piece[k] = item
        out[lo:hi] = piece
    return out


def _id_input(values: Any, what: str) -> Any:
    """A 1-D array of IDs (NumPy, or a pandas array that pandas numbers
    itself), checked for missing values."""
    if _is_pandas_array(values):
        values = getattr(values, "array", values)  # a Series' or Index's data
        missing = np.asarray(values.isna(), dtype=np.bool_)
        if missing.any():
            _missing_error(what, missing, values)
        numpy_dtype = getattr(values.dtype, "numpy_dtype", None)
        if isinstance(values.dtype, np.dtype):
            arr = np.asarray(values)
        elif numpy_dtype is not None and numpy_dtype.kind in "biuf":
            arr = np.asarray(values.to_numpy(dtype=numpy_dtype))
        else:
            return values  # strings, categories, Arrow data: pandas factorizes them
    elif isinstance(values, np.ndarray):
        arr = values
    elif isinstance(values, list):
        arr = _list_array(values)
    elif hasattr(values, "__array__") and not isinstance(values, (str, bytes)):
        arr = np.asarray(values)
    else:
        arr = _list_array(list(values))
    if arr.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {arr.shape}")
    arr = _narrow(arr)
    _check_missing(arr, what)
    return arr


def _narrow(arr: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """An object array of plain ints, floats or bools as a typed array;
    other dtypes without a NumPy order (structured ones) as Python values."""
    if arr.dtype.kind == "O":
        types = _types(arr)
        if len(types) == 1 and next(iter(types)) in (int, float, bool):
            return _list_array(list(arr))
    elif arr.dtype.kind not in _ORDERED_KINDS:
        return _list_array(arr.tolist())
    return arr


def _check_missing(arr: npt.NDArray[Any], what: str) -> None:
    kind = arr.dtype.kind
    if kind in "fc":
        missing = _mask(np.isnan, arr)
    elif kind in "Mm":
        missing = _mask(np.isnat, arr)
    elif kind == "O":
        pd = sys.modules.get("pandas")
        if pd is not None:
            missing = _mask(pd.isna, arr)
        else:
            missing = np.fromiter((_is_missing(x) for x in arr), dtype=bool, count=arr.shape[0])
    else:
        return
    if missing.any():
        _missing_error(what, missing, arr)


def _is_missing(value: object) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN, NaT
    except Exception:
        return False


def _missing_error(what: str, missing: npt.NDArray[np.bool_], values: Any) -> None:
    count = int(missing.sum())
    k = int(np.flatnonzero(missing)[0])
    value = values[k]
    if isinstance(value, (float, np.floating)):
        shown = "NaN"
    elif isinstance(value, (np.datetime64, np.timedelta64)):
        shown = "NaT"
    else:
        shown = repr(value)
    plural = "s" if count > 1 else ""
    raise ValueError(
        f"{what} has {count} missing value{plural} ({shown} at position {k}); "
        "missing values (None, NaN, NaT, pandas NA) are not node IDs"
    )


def _itemsize(ids: Any) -> int:
    """Bytes per ID of a column: its NumPy itemsize, else a pointer or an int64."""
    dtype = getattr(ids, "dtype", None)
    return dtype.itemsize if isinstance(dtype, np.dtype) else 8


def _id_codes(ids: Any, what: str) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Codes 0..k-1 for ``ids`` and the k distinct IDs in code order."""
    if not isinstance(ids, np.ndarray):  # a pandas extension array

        def factorize(values: Any) -> tuple[Int64Array, npt.NDArray[Any]]:
            codes, uniques = values.factorize()
            return codes.astype(np.int64, copy=False), _as_numpy(uniques)

        if len(ids) <= _SORT_PIECE:
            codes, uniques = factorize(ids)
            return codes, _narrow(uniques)
        codes, uniques = _group_partitioned(ids, _hash_buckets, factorize)
        return codes, _narrow(uniques)
    return _group(ids)


def _as_numpy(values: Any) -> npt.NDArray[Any]:
    arr = np.asarray(values)
    if arr.ndim != 1:
        out = np.empty(len(values), dtype=object)
        for k, item in enumerate(values):
            out[k] = item
        return out
    return arr


def _group(ids: npt.NDArray[Any]) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Codes and distinct values of a 1-D ID array, grouped by hash and ==;
    a long array a piece at a time."""
    m = ids.shape[0]
    if m <= _SORT_PIECE:
        return _group_whole(ids)
    kind = ids.dtype.kind
    if kind == "O":
        # Short Python strings group far faster as NumPy strings, which lie
        # side by side in memory, in no more memory than the numbering
        # counts for (they come back as NumPy strings anyway).
        fixed = _fixed_strings(ids, 8)
        if fixed is not None:
            ids, kind = fixed, "U"
    if kind in "iu":
        lo, hi = int(ids.min()), int(ids.max())
        if hi - lo < max(2 * m, _PIECE):
            return _group_dense(ids, lo, hi)
    codes = np.empty(m, dtype=np.int64)
    parts = []
    if kind in "US" or (kind in _ORDERED_KINDS and sys.modules.get("pandas") is None):
        # NumPy sorts these without creating Python objects.
        for lo, hi in _pieces(m, _SORT_PIECE):
            uniques, piece_codes = np.unique(ids[lo:hi], return_inverse=True)
            codes[lo:hi] = piece_codes.reshape(-1)
            parts.append(uniques)
        return _merge_sorted(codes, parts)
    if kind in "iufMm":
        return _group_partitioned(ids, _number_buckets, _group_whole)
    return _group_partitioned(ids, _hash_buckets, _group_whole)


def _group_dense(ids: npt.NDArray[Any], lo: int, hi: int) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Integer IDs within a range of about their number: a table of the
    range, without sorting; the distinct values come sorted."""
    m = ids.shape[0]
    # Offsets from lo, computed where they cannot wrap (uint64 beyond int64).
    wide = np.uint64 if ids.dtype.kind == "u" else np.int64

    def offsets(a: int, b: int) -> npt.NDArray[Any]:
        return ids[a:b].astype(wide) - wide(lo)

    seen = np.zeros(hi - lo + 1, dtype=bool)
    for a, b in _pieces(m):
        seen[offsets(a, b)] = True
    rank = np.empty(seen.shape[0], dtype=np.int64)
    uniques = []
    count = 0
    for a, b in _pieces(seen.shape[0]):
        np.cumsum(seen[a:b], out=rank[a:b])
        rank[a:b] += count - 1
        count = int(rank[b - 1]) + 1
        values = np.flatnonzero(seen[a:b]).astype(wide) + wide(lo + a)
        uniques.append(values.astype(ids.dtype))
    codes = np.empty(m, dtype=np.int64)
    for a, b in _pieces(m):
        codes[a:b] = rank[offsets(a, b)]
    return codes, np.concatenate(uniques)


def _merge_sorted(
    codes: Int64Array, parts: list[npt.NDArray[Any]]
) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Codes of a whole column from its pieces' codes into each piece's
    sorted distinct values (`parts`, in piece order, pieces of _SORT_PIECE):
    the distinct values are split at values sampled from them into buckets
    of about half a piece, and each bucket is grouped on its own, so that
    the column's distinct values come sorted."""
    total = sum(p.shape[0] for p in parts)
    buckets = max(1, -(-2 * total // _SORT_PIECE))
    sample = np.sort(np.concatenate([p[:: max(1, p.shape[0] // (4 * buckets))] for p in parts]))
    splitters = sample[(np.arange(1, buckets) * sample.shape[0]) // buckets]
    cuts = [np.concatenate([[0], np.searchsorted(p, splitters), [p.shape[0]]]) for p in parts]
    maps = [np.empty(p.shape[0], dtype=np.int64) for p in parts]
    uniques = []
    offset = 0
    for b in range(buckets):
        values = np.concatenate([p[cut[b] : cut[b + 1]] for p, cut in zip(parts, cuts)])
        bucket_uniques, bucket_codes = np.unique(values, return_inverse=True)
        bucket_codes = bucket_codes.reshape(-1) + offset
        at = 0
        for p_map, cut in zip(maps, cuts):
            length = int(cut[b + 1] - cut[b])
            p_map[cut[b] : cut[b + 1]] = bucket_codes[at : at + length]
            at += length
        uniques.append(bucket_uniques)
        offset += bucket_uniques.shape[0]
    for p_map, (lo, hi) in zip(maps, _pieces(codes.shape[0], _SORT_PIECE)):
        codes[lo:hi] = p_map[codes[lo:hi]]
    return codes, np.concatenate(uniques)


def _group_partitioned(
    ids: Any,
    bucket_of: Callable[[Any, int], npt.NDArray[np.integer[Any]]],
    group: Callable[[Any], tuple[Int64Array, npt.NDArray[Any]]],
) -> tuple[Int64Array, npt.NDArray[Any]]:
    """Codes and distinct values of a long column: its positions split into
    buckets of about a piece each by `bucket_of` (equal values, in the sense
    of `group`, always share a bucket), and each bucket grouped on its own.
    Positions stay ascending within a bucket, so each value keeps its first
    appearance, as in one grouping of the whole column; the distinct values
    come bucket by bucket."""
    m = len(ids)
    buckets = max(1, -(-m // _SORT_PIECE))
    held: list[list[npt.NDArray[np.intp]]] = [[] for _ in range(buckets)]
    small = np.uint16 if buckets <= 1 << 16 else np.uint32  # uint16 sorts by radix
    for lo, hi in _pieces(m, _SORT_PIECE):
        bucket = bucket_of(ids[lo:hi], buckets).astype(small)
        order = np.argsort(bucket, kind="stable")
        cut = np.searchsorted(bucket[order], np.arange(buckets + 1))
        for b in np.flatnonzero(cut[1:] > cut[:-1]).tolist():
            held[b].append(order[cut[b] : cut[b + 1]] + lo)
    codes = np.empty(m, dtype=np.int64)
    uniques = []
    offset = 0
    for j in range(buckets):
        positions = np.concatenate(held[j]) if held[j] else np.empty(0, dtype=np.intp)
        held[j] = []
        bucket_codes, bucket_uniques = group(
            ids[positions] if isinstance(ids, np.ndarray) else ids.take(positions)
        )
        codes[positions] = bucket_codes + offset
        offset += bucket_uniques.shape[0]
        uniques.append(bucket_uniques)
    return codes, np.concatenate(uniques)


def _hash_buckets(values: Any, buckets: int) -> npt.NDArray[np.int64]:
    """Buckets by Python's hash, which equal values share, as dict keys do."""
    if not isinstance(values, np.ndarray):  # iterating a pandas array is slow
        values = np.asarray(values, dtype=object)
    try:
        hashes = np.fromiter(map(hash, values), dtype=np.int64, count=len(values))
    except TypeError:
        _unhashable_error(np.asarray(values, dtype=object))
        raise
    return hashes % buckets


def _number_buckets(values: npt.NDArray[Any], buckets: int) -> npt.NDArray[np.uint64]:
    """Buckets of numbers (and datetimes) by a multiplicative hash of their
    bits; +0.0 and -0.0 share one."""
    if values.dtype.kind == "f":
        bits = (values.astype(np.float64) + 0.0).view(np.uint64)
    else:
        bits = values.astype(values.dtype.newbyteorder("=")).view(f"u{values.dtype.itemsize}")
        bits = bits.astype(np.uint64)
    return ((bits * np.uint64(0x9E3779B97F4A7C15)) >> np.uint64(32)) % np.uint64(buckets)


def _group_whole(ids: npt.NDArray[Any]) -> tuple[Int64Array, npt.NDArray[Any]]:
    kind = ids.dtype.kind
    pd = sys.modules.get("pandas")
    if kind in "US" or (kind in _ORDERED_KINDS and pd is None):
        # NumPy sorts these without creating Python objects.
        uniques, codes = np.unique(ids, return_inverse=True)
        return codes.reshape(-1).astype(np.int64, copy=False), uniques
    if pd is not None:
        try:
            codes, uniques = pd.factorize(ids)
        except TypeError:
            _unhashable_error(ids)
            raise
        return codes.astype(np.int64, copy=False), _as_numpy(uniques)
    index: dict[Any, int] = {}
    try:
        codes = np.fromiter(
            (index.setdefault(x, len(index)) for x in ids), dtype=np.int64, count=ids.shape[0]
        )
    except TypeError:
        _unhashable_error(ids)
        raise
    out = np.empty(len(index), dtype=object)
    for k, x in enumerate(index):
        out[k] = x
    return codes, out


def _unhashable_error(ids: npt.NDArray[Any]) -> None:
    for x in ids:
        try:
            hash(x)
        except TypeError:
            raise TypeError(
                f"node ID {x!r} is not hashable: node IDs must be hashable, "
                "like dict keys (use a tuple instead of a list)"
            ) from None


def _common(parts: list[npt.NDArray[Any]]) -> list[npt.NDArray[Any]]:
    """The arrays in one dtype that keeps every value as it is."""
    dtypes = {p.dtype for p in parts}
    kinds = {d.kind for d in dtypes}
    if len(dtypes) == 1 or kinds in ({"U"}, {"S"}, {"f"}):
        return parts
    if kinds <= set("iu"):
        filled = [p for p in parts if p.shape[0]]
        lo = min((int(p.min()) for p in filled), default=0)
        hi = max((int(p.max()) for p in filled), default=0)
        if hi < 2**63:
            return [_cast(p, np.int64) for p in parts]
        if lo >= 0:
            return [_cast(p, np.uint64) for p in parts]
    return [_objects(p) for p in parts]


def _objects(ids: npt.NDArray[Any]) -> npt.NDArray[Any]:
    if ids.dtype.kind == "O":
        return ids
    out = np.empty(ids.shape[0], dtype=object)
    # tolist() gives exact Python values, except for datetimes, which it may
    # turn into plain integers; those stay NumPy scalars.
    out[:] = list(ids) if ids.dtype.kind in "Mm" else ids.tolist()
    return out


def _total_order(ids: npt.NDArray[Any]) -> Int64Array | None:
    """The permutation that sorts distinct ``ids``, or None when ``<`` does
    not order them totally (values that do not compare, or a partial order
    such as subsets)."""
    if ids.dtype.kind != "O":
        return _stable_argsort(ids)
    fixed = _fixed_strings(ids, 16)
    if fixed is not None:
        return _stable_argsort(fixed)
    items = ids.tolist()
    key = items.__getitem__
    try:
        runs = [sorted(range(lo, hi), key=key) for lo, hi in _pieces(len(items), _SORT_PIECE)]
        while len(runs) > 1:
            merged = [_merge_lists(a, b, key) for a, b in zip(runs[::2], runs[1::2])]
            runs = merged + runs[len(merged) * 2 :]
        order = runs[0] if runs else []
        # Sorting a chain gives each value below the next; sorting anything
        # else does not, whatever order the sort left it in.
        ranked = list(map(key, order))
        for lo, hi in _pieces(len(ranked)):
            if not all(map(operator.lt, ranked[lo:hi], ranked[lo + 1 : hi + 1])):
                return None
        return np.array(order, dtype=np.int64)
    except (TypeError, ValueError):
        pass
    return None


def _bisect(
    xs: list[int], value: Any, lo: int, hi: int, key: Callable[[int], Any], *, right: bool
) -> int:
    """bisect.bisect_right (right) or bisect_left of value among key(xs[lo:hi])
    (whose key argument Python 3.9 lacks)."""
    while lo < hi:
        mid = (lo + hi) // 2
        k = key(xs[mid])
        if (value < k) if right else not (k < value):
            hi = mid
        else:
            lo = mid + 1
    return lo


def _merge_lists(a: list[int], b: list[int], key: Callable[[int], Any]) -> list[int]:
    """_merge_runs of Python lists ordered by key(position)."""
    out: list[int] = []
    i = j = 0
    while i < len(a) and j < len(b):
        ia, jb = min(i + _SORT_PIECE, len(a)), min(j + _SORT_PIECE, len(b))
        last_a, last_b = key(a[ia - 1]), key(b[jb - 1])
        if not last_b < last_a:  # b's keys below a's last; equal ones wait behind a's
            jb = _bisect(b, last_a, j, jb, key, right=False)
        else:
            ia = _bisect(a, last_b, i, ia, key, right=True)
        out.extend(sorted(a[i:ia] + b[j:jb], key=key))
        i, j = ia, jb
    out.extend(a[i:] if i < len(a) else b[j:])
    return out


def _fixed_strings(ids: npt.NDArray[Any], most: int) -> npt.NDArray[np.str_] | None:
    """Python strings as a NumPy string array, which orders and groups them
    as Python does (by code point); None for other IDs, for strings ending
    in NUL (which NumPy strips) and for strings longer than `most`
    characters (4 bytes each in the copy)."""
    if ids.shape[0] == 0 or _types(ids) != {str}:
        return None
    longest = 0
    for lo, hi in _pieces(ids.shape[0]):
        piece = ids[lo:hi]
        longest = max(longest, max(map(len, piece)))
        if longest > most or any(map(_ENDS_IN_NUL, piece)):
            return None
    out = np.empty(ids.shape[0], dtype=f"<U{max(longest, 1)}")
    for lo, hi in _pieces(ids.shape[0]):
        out[lo:hi] = ids[lo:hi]
    return out


_ENDS_IN_NUL = operator.methodcaller("endswith", "\0")


def _first_seen(codes: Int64Array, count: int, offset: int) -> Int64Array:
    """For each code, the position 2k + offset of its first edge k."""
    first = np.full(count, np.iinfo(np.int64).max, dtype=np.int64)
    for lo, hi in _pieces(codes.shape[0]):
        np.minimum.at(first, codes[lo:hi], np.arange(lo, hi, dtype=np.int64) * 2 + offset)
    return first


def _number_by_order(
    cs: Int64Array, us: npt.NDArray[Any], ct: Int64Array, ut: npt.NDArray[Any]
) -> tuple[Int64Array, Int64Array, npt.NDArray[Any]]:
    us, ut = _common([us, ut])
    codes, node_ids = _group(np.concatenate([us, ut]))
    order = _total_order(node_ids)
    if order is None:
        first = np.full(node_ids.shape[0], np.iinfo(np.int64).max, dtype=np.int64)
        seen = np.concatenate([_first_seen(cs, us.shape[0], 0), _first_seen(ct, ut.shape[0], 1)])
        for lo, hi in _pieces(codes.shape[0]):
            np.minimum.at(first, codes[lo:hi], seen[lo:hi])
        order = _stable_argsort(first)
    rank = np.empty(order.shape[0], dtype=np.int64)
    for lo, hi in _pieces(order.shape[0]):
        rank[order[lo:hi]] = np.arange(lo, hi, dtype=np.int64)
    codes = _take(rank, codes)
    k = us.shape[0]
    return _take(codes[:k], cs), _take(codes[k:], ct), _take(node_ids, order)


def _number_by_nodes(
    cs: Int64Array,
    us: npt.NDArray[Any],
    ct: Int64Array,
    ut: npt.NDArray[Any],
    nodes: Any,
) -> tuple[Int64Array, Int64Array, npt.NDArray[Any]]:
    node_ids = _as_numpy(nodes) if not isinstance(nodes, np.ndarray) else nodes
    n, k = node_ids.shape[0], us.shape[0]
    given, us, ut = _common([node_ids, us, ut])
    codes, _ = _group(np.concatenate([given, us, ut]))
    if n and np.bincount(codes[:n]).max() > 1:
        _, first = np.unique(codes[:n], return_index=True)
        repeated = np.ones(n, dtype=bool)
        repeated[first] = False
        dup = int(np.flatnonzero(repeated)[0])
        raise ValueError(f"nodes lists {_py(node_ids[dup])!r} more than once")
    where = np.full(int(codes.max(initial=-1)) + 1, -1, dtype=np.int64)
    for lo, hi in _pieces(n):
        where[codes[lo:hi]] = np.arange(lo, hi, dtype=np.int64)
    pos = _take(where, codes[n:])
    if (pos < 0).any():
        both = np.concatenate([_objects(us), _objects(ut)])
        missing = _py(both[np.flatnonzero(pos < 0)[0]])
        raise ValueError(f"an edge names node {missing!r}, which is not in nodes")
    return _take(pos[:k], cs), _take(pos[k:], ct), node_ids


def _as_returned(node_ids: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """String IDs come back as a NumPy string array, other IDs unchanged."""
    if node_ids.dtype.kind == "O" and node_ids.shape[0] and all(type(x) is str for x in node_ids):
        return np.concatenate([node_ids[lo:hi].astype(str) for lo, hi in _pieces(len(node_ids))])
    return node_ids


def id_array(values: Any, what: str) -> npt.NDArray[Any]:
    """Node IDs as a 1-D NumPy array without changing what they are."""
    ids = _id_input(values, what)
    return ids if isinstance(ids, np.ndarray) else _as_numpy(ids.to_numpy())


def _py(value: Any) -> Any:
    """A NumPy scalar as the Python value, for messages."""
    return value.item() if isinstance(value, np.generic) else value
