"""Conversion of every supported graph form into the engine's graph.

Every input ends as entry arrays (``Entries``: CSR row pointers or a row per
entry, column indices, float64 weights) and the node ID of each row; the
engine sorts the rows, sums duplicate entries in their given order and
builds the compact graph (``_graph.build``), so two inputs with the same
stored edges give bit-identical embeddings whichever path they took.
"""

from __future__ import annotations

import sys
from collections.abc import Iterable, Sequence, Sized
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
    return np.ascontiguousarray(data, dtype=np.float64)


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
    m = int(np.count_nonzero(matrix))
    guard(n, m, 16 * m)  # np.nonzero's two index arrays
    rows, cols = np.nonzero(matrix)
    vals = np.ascontiguousarray(matrix[rows, cols], dtype=np.float64)
    # np.nonzero walks in row-major order: the entries are already canonical.
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=row_ptrs[1:])
    return Entries(row_ptrs, np.ascontiguousarray(cols, dtype=np.int64), vals, n, True)


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
        rows = np.asarray(matrix.row).astype(np.int64, copy=False)
        cols = np.asarray(matrix.col).astype(np.int64, copy=False)
        vals = _values_float64(np.asarray(matrix.data), "sparse matrix values")
        return Entries(rows, cols, vals, n, False)
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
    rows = np.array(src, dtype=np.int64)
    cols = np.array(dst, dtype=np.int64)
    vals = np.array(wts, dtype=np.float64)
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
        return np.ascontiguousarray(raw, dtype=np.float64)
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
    types = set(map(type, items))
    if len(types) == 1:
        kind = next(iter(types))
        if kind is int:
            for dtype in (np.int64, np.uint64):
                try:
                    return np.array(items, dtype=dtype)
                except OverflowError:
                    pass
        elif kind is float:
            return np.array(items, dtype=np.float64)
        elif kind is bool:
            return np.array(items, dtype=bool)
        elif issubclass(kind, np.generic) and not issubclass(kind, np.object_):
            arr = np.array(items)
            if arr.ndim == 1:
                return arr
    if not any(issubclass(t, (tuple, list, np.ndarray)) for t in types):
        out = np.array(items, dtype=object)
        if out.shape == (len(items),):
            return out
    # Nested values (tuples as IDs) would become extra dimensions.
    out = np.empty(len(items), dtype=object)
    for k, item in enumerate(items):
        out[k] = item
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
        types = set(map(type, arr))
        if len(types) == 1 and next(iter(types)) in (int, float, bool):
            return _list_array(list(arr))
    elif arr.dtype.kind not in _ORDERED_KINDS:
        return _list_array(arr.tolist())
    return arr


def _check_missing(arr: npt.NDArray[Any], what: str) -> None:
    kind = arr.dtype.kind
    if kind in "fc":
        missing = np.isnan(arr)
    elif kind in "Mm":
        missing = np.isnat(arr)
    elif kind == "O":
        pd = sys.modules.get("pandas")
        if pd is not None:
            missing = np.asarray(pd.isna(arr), dtype=bool)
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
        codes, uniques = ids.factorize()
        return codes.astype(np.int64, copy=False), _narrow(_as_numpy(uniques))
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
    """Codes and distinct values of a 1-D ID array, grouped by hash and ==."""
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
            return [p.astype(np.int64) for p in parts]
        if lo >= 0:
            return [p.astype(np.uint64) for p in parts]
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
        return np.argsort(ids, kind="stable")
    items = ids.tolist()
    try:
        order = sorted(range(len(items)), key=items.__getitem__)
        # Sorting a chain gives each value below the next; sorting anything
        # else does not, whatever order the sort left it in.
        if all(items[a] < items[b] for a, b in zip(order, order[1:])):
            return np.array(order, dtype=np.int64)
    except (TypeError, ValueError):
        pass
    return None


def _first_seen(codes: Int64Array, count: int, offset: int) -> Int64Array:
    """For each code, the position 2k + offset of its first edge k."""
    first = np.full(count, np.iinfo(np.int64).max, dtype=np.int64)
    np.minimum.at(first, codes, np.arange(codes.shape[0], dtype=np.int64) * 2 + offset)
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
        np.minimum.at(first, codes, seen)
        order = np.argsort(first, kind="stable")
    rank = np.empty(order.shape[0], dtype=np.int64)
    rank[order] = np.arange(order.shape[0], dtype=np.int64)
    codes = rank[codes]
    k = us.shape[0]
    return codes[:k][cs], codes[k:][ct], node_ids[order]


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
    _, first = np.unique(codes[:n], return_index=True)
    if first.shape[0] < n:
        repeated = np.ones(n, dtype=bool)
        repeated[first] = False
        dup = int(np.flatnonzero(repeated)[0])
        raise ValueError(f"nodes lists {_py(node_ids[dup])!r} more than once")
    where = np.full(int(codes.max(initial=-1)) + 1, -1, dtype=np.int64)
    where[codes[:n]] = np.arange(n, dtype=np.int64)
    pos = where[codes[n:]]
    if (pos < 0).any():
        both = np.concatenate([_objects(us), _objects(ut)])
        missing = _py(both[np.flatnonzero(pos < 0)[0]])
        raise ValueError(f"an edge names node {missing!r}, which is not in nodes")
    return pos[:k][cs], pos[k:][ct], node_ids


def _as_returned(node_ids: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """String IDs come back as a NumPy string array, other IDs unchanged."""
    if node_ids.dtype.kind == "O" and node_ids.shape[0] and all(type(x) is str for x in node_ids):
        return node_ids.astype(str)
    return node_ids


def id_array(values: Any, what: str) -> npt.NDArray[Any]:
    """Node IDs as a 1-D NumPy array without changing what they are."""
    ids = _id_input(values, what)
    return ids if isinstance(ids, np.ndarray) else _as_numpy(ids.to_numpy())


def _py(value: Any) -> Any:
    """A NumPy scalar as the Python value, for messages."""
    return value.item() if isinstance(value, np.generic) else value
