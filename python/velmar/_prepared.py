"""Prepared graphs: a directory of .npy arrays and a JSON header.

A prepared graph holds the canonical CSR arrays of a graph (symmetrized when
asked) in the compact form the propagation reads: int64 row pointers, 32-bit
column indices where the node count allows, and each entry's float32 scale
float32(value) * (1 / float32(degree)). The float64 values and the node IDs
are kept beside them. A reordered graph (format version 2) stores its rows in
a locality order with that order beside them; the engine maps every row back
to its node. ``open_graph`` maps every array read-only and checks,
before anything reads them, that each file has exactly the size, type and
shape its header claims and that the arrays form a valid graph.
"""

from __future__ import annotations

import json
import os
import tempfile
import uuid
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, BinaryIO, cast

import numpy as np
import numpy.typing as npt

from . import _convert, _order
from ._convert import CsrGraph

FORMAT = "velmar-graph"
FORMAT_VERSION = 1
# Rows stored in a locality order, with order.npy: older readers refuse it.
REORDERED_VERSION = 2
HEADER = "graph.json"

# Every array file starts with a .npy header padded to this many bytes, so a
# file can be written in one pass and its header filled in at the end.
NPY_HEADER_BYTES = 128

# Rows and entries are checked and converted this many at a time, so that
# checking a graph larger than memory never holds more than one chunk.
CHUNK = 1 << 24

_UINT32_NODES = 1 << 32


class GraphFormatError(ValueError):
    """A prepared graph that is missing, truncated, tampered with or of
    another format version; the message names the file."""


@dataclass(frozen=True)
class PreparedGraph:
    """An opened prepared graph; every array is a read-only memory map."""

    path: str
    header: dict[str, Any]
    indptr: npt.NDArray[np.int64]
    indices: npt.NDArray[Any]  # uint32, or int64 from 2**32 nodes on
    scales: npt.NDArray[np.float32]
    values: npt.NDArray[np.float64]
    nodes: npt.NDArray[Any] | None
    # Reordered graphs: stored row p is node order[p].
    order: npt.NDArray[np.int64] | None = None

    @property
    def num_nodes(self) -> int:
        return int(self.header["num_nodes"])

    @property
    def num_entries(self) -> int:
        return int(self.header["num_entries"])

    @property
    def mapped_bytes(self) -> int:
        """Bytes of the arrays that an embedding reads (values excluded)."""
        order = 0 if self.order is None else self.order.nbytes
        return self.indptr.nbytes + self.indices.nbytes + self.scales.nbytes + order

    @property
    def symmetrized(self) -> bool:
        return bool(self.header["symmetrized"])

    @property
    def graph_id(self) -> str:
        return str(self.header["graph_id"])

    def __repr__(self) -> str:
        kind = "symmetrized" if self.symmetrized else "directed"
        if self.order is not None:
            kind += ", reordered"
        return (
            f"<velmar prepared graph {self.path!r}: {self.num_nodes:,} nodes, "
            f"{self.num_entries:,} stored entries, {kind}>"
        )

    def to_csr_graph(self) -> CsrGraph:
        """The graph as the engine's int64/float64 CSR arrays, in node order;
        only the column indices are copied (when stored as uint32), or every
        array of a reordered graph."""
        if self.order is not None:
            position = np.empty(self.num_nodes, dtype=np.int64)
            position[self.order] = np.arange(self.num_nodes, dtype=np.int64)
            indptr, cols, source = _order.take_rows(
                self.indptr, self.indices.astype(np.int64), position, self.order
            )
            return CsrGraph(
                indptr, cols, self.values[source], self.num_nodes, nodes=self.nodes, symmetric=self.symmetrized
            )
        return CsrGraph(
            self.indptr,
            self.indices.astype(np.int64, copy=False),
            self.values,
            self.num_nodes,
            nodes=self.nodes,
            symmetric=self.symmetrized,
        )


# --- symmetrization and entry scales ------------------------------------------


def symmetrize(
    row_ptrs: npt.NDArray[np.int64],
    cols: npt.NDArray[np.int64],
    vals: npt.NDArray[np.float64],
    num_nodes: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """A + Aᵀ of a canonical CSR matrix, with the engine's bits.

    The engine merges row i of A with row i of Aᵀ: a position held by both
    gets A[i, j] + A[j, i], one held by one side only gets its weight + 0.0
    (which turns -0.0 into +0.0), and sums that compare equal to 0.0 are
    dropped (NaN stays). A is canonical, so each position occurs at most once
    on each side and the order of the two operands cannot change a bit.
    """
    n = num_nodes
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(row_ptrs))
    r = np.concatenate([rows, cols])
    c = np.concatenate([cols, rows])
    del rows
    v = np.concatenate([vals, vals])
    if n <= _convert._MAX_PACKED_NODES:
        key = r * np.int64(n) + c
        order = np.argsort(key, kind="stable")
        key = key[order]
        first = np.empty(key.shape[0], dtype=bool)
        first[:1] = True
        np.not_equal(key[1:], key[:-1], out=first[1:])
        del key
    else:
        order = np.lexsort((c, r))
        first = np.empty(order.shape[0], dtype=bool)
        first[:1] = True
        rs, cs = r[order], c[order]
        first[1:] = (rs[1:] != rs[:-1]) | (cs[1:] != cs[:-1])
    r, c, v = r[order], c[order], v[order]
    del order
    starts = np.flatnonzero(first)
    summed = v[starts] + 0.0
    pair = np.zeros(starts.shape[0], dtype=bool)
    pair[:-1] = np.diff(starts) == 2
    if starts.shape[0]:
        pair[-1] = starts[-1] == v.shape[0] - 2
    both = starts[pair]
    summed[pair] = v[both] + v[both + 1]
    keep = summed != 0.0
    out_rows = r[starts][keep]
    out_cols = c[starts][keep]
    out_vals = summed[keep]
    out_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(out_rows, minlength=n), out=out_ptrs[1:])
    return out_ptrs, out_cols, out_vals


def entry_scales(
    row_ptrs: npt.NDArray[np.int64],
    vals: npt.NDArray[np.float64],
    lo: int,
    hi: int,
    base: int = 0,
) -> npt.NDArray[np.float32]:
    """float32(value) * (1 / float32(degree)) of the entries of rows [lo, hi),
    each operation rounded to float32 as the propagation kernel rounds it;
    ``vals`` holds the entries from position ``base`` on."""
    degree = np.diff(row_ptrs[lo : hi + 1])
    first, last = int(row_ptrs[lo]) - base, int(row_ptrs[hi]) - base
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        # Rows without entries give inf here, repeated zero times below.
        inv = np.float32(1.0) / degree.astype(np.float32)
        return vals[first:last].astype(np.float32) * np.repeat(inv, degree)


# --- .npy files written in one pass ---------------------------------------------


def _npy_header(dtype: np.dtype[Any], shape: tuple[int, ...]) -> bytes:
    text = repr(
        {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
    )
    body = text.encode("latin1")
    room = NPY_HEADER_BYTES - 10 - 1
    if len(body) > room:
        raise AssertionError("npy header does not fit its reserved bytes")
    body = body + b" " * (room - len(body)) + b"\n"
    return b"\x93NUMPY\x01\x00" + len(body).to_bytes(2, "little") + body


class NpyWriter:
    """Appends to a 1-D .npy file whose length is known only at the end."""

    def __init__(self, path: str, dtype: npt.DTypeLike) -> None:
        self.path = path
        self.dtype = np.dtype(dtype)
        self.count = 0
        self._file: BinaryIO = open(path, "wb")
        self._file.write(b"\0" * NPY_HEADER_BYTES)

    def append(self, values: npt.NDArray[Any]) -> None:
        data = np.ascontiguousarray(values, dtype=self.dtype)
        self._file.write(data.data)
        self.count += int(data.shape[0])

    def close(self) -> None:
        self._file.seek(0)
        self._file.write(_npy_header(self.dtype, (self.count,)))
        self._file.flush()
        os.fsync(self._file.fileno())
        self._file.close()

    def abort(self) -> None:
        self._file.close()


def write_array(path: str, values: npt.NDArray[Any]) -> None:
    writer = NpyWriter(path, values.dtype)
    try:
        for lo in range(0, values.shape[0], CHUNK):
            writer.append(values[lo : lo + CHUNK])
    except BaseException:
        writer.abort()
        raise
    writer.close()


def index_dtype(num_nodes: int) -> np.dtype[Any]:
    return np.dtype(np.uint32 if num_nodes < _UINT32_NODES else np.int64)


def _node_array(nodes: npt.NDArray[Any] | None) -> npt.NDArray[Any] | None:
    if nodes is None:
        return None
    if nodes.dtype.kind == "O":
        raise ValueError(
            "a prepared graph stores node IDs of one kind (integers, floats or "
            "strings); these node IDs mix kinds"
        )
    return nodes


def write_header(directory: str, header: dict[str, Any]) -> None:
    """Writes the header last, through a rename, so that a directory whose
    preparation was interrupted has no header and is never opened."""
    tmp = os.path.join(directory, HEADER + ".tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(header, f, indent=1)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, os.path.join(directory, HEADER))


def new_header(num_nodes: int, num_entries: int, symmetrized: bool) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "version": FORMAT_VERSION,
        "graph_id": uuid.uuid4().hex,
        "num_nodes": num_nodes,
        "num_entries": num_entries,
        "symmetrized": symmetrized,
        "arrays": {},
    }


def read_npy_header(f: BinaryIO) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    version = np.lib.format.read_magic(f)
    if version == (1, 0):
        return np.lib.format.read_array_header_1_0(f)
    return np.lib.format.read_array_header_2_0(f)


def describe(directory: str, header: dict[str, Any], name: str) -> None:
    """Records an array file's dtype and shape in the header."""
    path = os.path.join(directory, name + ".npy")
    with open(path, "rb") as f:
        shape, _, dtype = read_npy_header(f)
    header["arrays"][name] = {"dtype": np.lib.format.dtype_to_descr(dtype), "shape": list(shape)}


def prepare_directory(out: str, overwrite: bool) -> None:
    if os.path.exists(os.path.join(out, HEADER)) and not overwrite:
        raise FileExistsError(f"{out}: already holds a prepared graph (pass overwrite=True)")
    if os.path.exists(out) and not os.path.isdir(out):
        raise FileExistsError(f"{out}: exists and is not a directory")
    os.makedirs(out, exist_ok=True)
    header = os.path.join(out, HEADER)
    if os.path.exists(header):
        os.remove(header)


def write_csr_graph(graph: CsrGraph, out: str, *, symmetrize_graph: bool) -> None:
    """Writes a canonical in-memory graph; symmetrizes it first when asked
    (and when it is not symmetric already)."""
    nodes = _node_array(graph.nodes)
    row_ptrs, cols, vals = graph.row_ptrs, graph.col_indices, graph.values
    symmetric = graph.symmetric
    if symmetrize_graph and not symmetric:
        row_ptrs, cols, vals = symmetrize(row_ptrs, cols, vals, graph.num_nodes)
        symmetric = True
    n, m = graph.num_nodes, int(cols.shape[0])
    header = new_header(n, m, symmetric)
    write_array(os.path.join(out, "indptr.npy"), row_ptrs.astype(np.int64, copy=False))
    write_array(os.path.join(out, "indices.npy"), cols.astype(index_dtype(n)))
    write_array(os.path.join(out, "values.npy"), vals)
    writer = NpyWriter(os.path.join(out, "scales.npy"), np.float32)
    try:
        for lo in range(0, n, CHUNK):
            writer.append(entry_scales(row_ptrs, vals, lo, min(lo + CHUNK, n)))
    except BaseException:
        writer.abort()
        raise
    writer.close()
    names = ["indptr", "indices", "scales", "values"]
    if nodes is not None:
        np.save(os.path.join(out, "nodes.npy"), nodes, allow_pickle=False)
        names.append("nodes")
    for name in names:
        describe(out, header, name)
    write_header(out, header)


# --- opening and checking -------------------------------------------------------


def _fail(path: str, problem: str) -> GraphFormatError:
    return GraphFormatError(f"{path}: {problem}")


def _map_array(directory: str, name: str, expect: dict[str, Any]) -> npt.NDArray[Any]:
    """Maps one array after checking its .npy header against the graph header
    and the file's size against what the header describes."""
    path = os.path.join(directory, name + ".npy")
    try:
        with open(path, "rb") as f:
            try:
                shape, fortran, dtype = read_npy_header(f)
            except (ValueError, SyntaxError, EOFError) as e:
                raise _fail(path, f"not a valid .npy file ({e})") from None
            offset = f.tell()
            size = os.fstat(f.fileno()).st_size
    except FileNotFoundError:
        raise _fail(path, "missing") from None
    except OSError as e:
        raise _fail(path, e.strerror or str(e)) from None
    if dtype.hasobject or fortran or len(shape) != 1:
        raise _fail(path, f"expected a one-dimensional array, found {dtype} {shape}")
    try:
        want_dtype = np.dtype(np.lib.format.descr_to_dtype(expect["dtype"]))
        want_shape = tuple(int(x) for x in expect["shape"])
    except (KeyError, TypeError, ValueError):
        raise _fail(os.path.join(directory, HEADER), f"bad description of array {name!r}") from None
    if dtype != want_dtype or shape != want_shape:
        raise _fail(path, f"holds {dtype} {shape}, but {HEADER} says {want_dtype} {want_shape}")
    need = offset + shape[0] * dtype.itemsize
    if size != need:
        what = "truncated" if size < need else "longer than its array"
        raise _fail(path, f"{what}: {size} bytes, expected {need}")
    if shape[0] == 0:
        return np.zeros(0, dtype=dtype)
    return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=shape)


def _read_header(directory: str) -> dict[str, Any]:
    path = os.path.join(directory, HEADER)
    if not os.path.isdir(directory):
        raise _fail(directory, "not a directory holding a prepared graph")
    try:
        with open(path, encoding="utf-8") as f:
            header = json.load(f)
    except FileNotFoundError:
        raise _fail(
            path, "missing (not a prepared graph, or its preparation did not finish)"
        ) from None
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _fail(path, f"unreadable ({e})") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise _fail(path, "not a velmar prepared graph header")
    if header.get("version") not in (FORMAT_VERSION, REORDERED_VERSION):
        raise _fail(
            path,
            f"format version {header.get('version')!r}; this velmar reads versions "
            f"{FORMAT_VERSION} and {REORDERED_VERSION}",
        )
    kinds: tuple[tuple[str, type], ...] = (
        ("num_nodes", int),
        ("num_entries", int),
        ("symmetrized", bool),
        ("graph_id", str),
        ("arrays", dict),
    )
    for key, kind in kinds:
        value: Any = header.get(key)
        bad_count = kind is int and (
            isinstance(value, bool) or not isinstance(value, int) or int(value) < 0
        )
        if not isinstance(value, kind) or bad_count:
            raise _fail(path, f"field {key!r} is missing or invalid")
    return header


def open_graph(
    directory: str | os.PathLike[str], *, cache_dir: str | os.PathLike[str] | None = None
) -> PreparedGraph:
    """Opens a prepared graph read-only, without copying its arrays.

    A URL (``s3://bucket/graph``, anything fsspec reaches) is first copied
    into ``cache_dir`` (default: velmar-graphs in the temporary directory)
    under the graph's ID, once per machine, and opened from there.

    Raises GraphFormatError, naming the file, when a file is missing,
    truncated, of the wrong type or shape, or when the arrays do not form a
    valid graph (row pointers out of order, column indices out of range).
    """
    path = os.fspath(directory)
    if "://" in path:
        path = _local_copy(path, cache_dir)
    header = _read_header(path)
    n, m = header["num_nodes"], header["num_entries"]
    arrays = header["arrays"]
    head = os.path.join(path, HEADER)
    expected = {
        "indptr": (np.dtype(np.int64), n + 1),
        "indices": (index_dtype(n), m),
        "scales": (np.dtype(np.float32), m),
        "values": (np.dtype(np.float64), m),
    }
    mapped: dict[str, npt.NDArray[Any]] = {}
    for name, (dtype, length) in expected.items():
        if name not in arrays:
            raise _fail(head, f"array {name!r} is not described")
        mapped[name] = _map_array(path, name, arrays[name])
        if mapped[name].dtype != dtype or mapped[name].shape != (length,):
            raise _fail(
                os.path.join(path, name + ".npy"),
                f"expected {dtype} ({length},) for {n} nodes and {m} entries",
            )
    nodes = None
    if "nodes" in arrays:
        nodes = _map_array(path, "nodes", arrays["nodes"])
        if nodes.shape != (n,):
            raise _fail(os.path.join(path, "nodes.npy"), f"expected {n} node IDs")
    order = None
    if header["version"] == REORDERED_VERSION:
        if "order" not in arrays:
            raise _fail(head, "array 'order' is not described")
        order = _map_array(path, "order", arrays["order"])
        _check_order(os.path.join(path, "order.npy"), order, n)
    elif "order" in arrays:
        raise _fail(head, f"array 'order' in a version {FORMAT_VERSION} graph")
    _check_structure(path, mapped["indptr"], mapped["indices"], n, m)
    return PreparedGraph(
        path, header, mapped["indptr"], mapped["indices"], mapped["scales"], mapped["values"], nodes, order
    )


def _check_order(where: str, order: npt.NDArray[Any], n: int) -> None:
    """A stored order must name every node once (each result row is then
    written by exactly one stored row)."""
    if order.dtype != np.int64 or order.shape != (n,):
        raise _fail(where, f"expected int64 ({n},), found {order.dtype} {order.shape}")
    seen = np.zeros(n, dtype=bool)
    for lo in range(0, n, CHUNK):
        part = np.asarray(order[lo : lo + CHUNK])
        if part.shape[0] and (int(part.min()) < 0 or int(part.max()) >= n):
            raise _fail(where, f"a node index is outside 0..{n - 1}")
        seen[part] = True
    if not bool(seen.all()):
        raise _fail(where, "not a permutation of the nodes (a node is repeated)")


def _local_copy(url: str, cache_dir: str | os.PathLike[str] | None) -> str:
    """A local copy of a prepared graph on remote storage; the header is
    copied last, so a copy that was interrupted is made again."""
    try:
        import fsspec
    except ImportError:
        raise ImportError("opening a graph from a URL needs fsspec (pip install fsspec)") from None
    fs, root = fsspec.core.url_to_fs(url)
    try:
        header = json.loads(fs.cat_file(f"{root}/{HEADER}"))
        graph_id = str(header["graph_id"])
        names = [f"{name}.npy" for name in header["arrays"]]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise _fail(f"{url}/{HEADER}", f"unreadable ({e})") from None
    base = os.fspath(cache_dir) if cache_dir is not None else os.path.join(
        tempfile.gettempdir(), "velmar-graphs"
    )
    local = os.path.join(base, "".join(c for c in graph_id if c.isalnum()))
    if not os.path.exists(os.path.join(local, HEADER)):
        os.makedirs(local, exist_ok=True)
        for name in names:
            fs.get_file(f"{root}/{name}", os.path.join(local, name))
        fs.get_file(f"{root}/{HEADER}", os.path.join(local, HEADER))
    return local


def _check_structure(
    path: str, indptr: npt.NDArray[Any], indices: npt.NDArray[Any], n: int, m: int
) -> None:
    """Everything the engine relies on to stay inside the arrays: the row
    pointers partition the entries and every column names a node."""
    where = os.path.join(path, "indptr.npy")
    if int(indptr[0]) != 0 or int(indptr[-1]) != m:
        raise _fail(where, f"row pointers must run from 0 to {m}")
    for lo in range(0, n, CHUNK):
        part = indptr[lo : lo + CHUNK + 1]
        if part.shape[0] > 1 and not bool(np.all(part[1:] >= part[:-1])):
            raise _fail(where, "row pointers decrease")
    for lo in range(0, m, CHUNK):
        part = indices[lo : lo + CHUNK]
        if part.shape[0] and (int(part.max()) >= n or int(part.min()) < 0):
            raise _fail(os.path.join(path, "indices.npy"), f"a column index is outside 0..{n - 1}")


# --- preparing --------------------------------------------------------------------


def prepare(
    source: object,
    out: str | os.PathLike[str],
    *,
    undirected: bool = True,
    stream: bool | None = None,
    memory_limit: int | str | None = None,
    overwrite: bool = False,
    header: bool | None = None,
    nodes: Any = None,
    reorder: bool = False,
) -> PreparedGraph:
    """Prepares a graph once, for fast embedding many times; returns it opened.

    ``source`` is a path (an edge list in CSV/TSV or whitespace-separated
    text, a Parquet file of edges, a ``.npy`` array of (source, target) or
    (source, target, weight) rows, a Matrix Market ``.mtx`` file or a SciPy
    ``.npz``) or any in-memory graph ``embed`` accepts. With ``undirected``
    the stored graph is A + Aᵀ, computed exactly as ``embed`` computes it.

    ``stream=True`` (or None for edge lists larger than a quarter of the
    available memory) reads edge lists in chunks and sorts them with DuckDB
    on disk (the ``duckdb`` and ``pyarrow`` extras), so the edge list need not
    fit in memory; ``memory_limit`` then bounds the preparation's memory
    (DuckDB gets nine tenths of it).

    ``reorder=True`` stores the rows in a locality order (nodes grouped by
    five passes of label propagation) with the order beside them. Embedding
    it gives the same bits, rows in node order, with one more n x block
    working matrix; on graphs with communities a step runs up to about 2.4
    times as fast. Computing the order holds the stored graph's rows and
    columns in memory and costs a few propagation steps.
    """
    from . import _memory

    if not isinstance(undirected, (bool, np.bool_)):
        raise TypeError(f"undirected must be True or False, got {undirected!r}")
    directory = os.fspath(out)
    is_path = isinstance(source, (str, os.PathLike))
    if is_path:
        path = os.fspath(cast("str | os.PathLike[str]", source))
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such file")
        fmt = _file_kind(path)
        if stream is None:
            available = _memory.available_memory()
            stream = (
                fmt in ("edges", "parquet", "npy")
                and available is not None
                and os.path.getsize(path) > available[0] // 4
            )
        if stream and fmt not in ("edges", "parquet", "npy"):
            raise ValueError(f"{path}: only edge lists (text, Parquet, .npy) can be streamed")
    elif stream:
        raise ValueError("stream=True applies to edge-list files, not to in-memory graphs")
    prepare_directory(directory, overwrite)
    if is_path and stream:
        from . import _stream

        _stream.prepare_stream(
            path,
            fmt,
            directory,
            undirected=bool(undirected),
            memory_limit=_memory.parse_bytes(memory_limit),
            header=header,
        )
    else:
        graph = (
            _load(path, header=header, nodes=nodes)
            if is_path
            else _convert.to_csr_graph(source, nodes=nodes)
        )
        write_csr_graph(graph, directory, symmetrize_graph=bool(undirected))
    if reorder:
        reorder_directory(directory)
    return open_graph(directory)


def reorder_directory(directory: str) -> None:
    """Rewrites a prepared graph with its rows in locality order (version 2).
    The header goes first and comes back last, so an interrupted rewrite
    leaves a directory that is never opened."""
    graph = open_graph(directory)
    n = graph.num_nodes
    order = _order.locality_order(graph.indptr, graph.indices, n)
    position = np.empty(n, dtype=np.int64)
    position[order] = np.arange(n, dtype=np.int64)
    indptr, cols, source = _order.take_rows(graph.indptr, graph.indices, order, position)
    arrays = {
        "indptr": indptr,
        "indices": cols,
        "scales": np.asarray(graph.scales[source]),
        "values": np.asarray(graph.values[source]),
        "order": order,
    }
    del source
    header = dict(graph.header, version=REORDERED_VERSION, graph_id=uuid.uuid4().hex)
    os.remove(os.path.join(directory, HEADER))
    for name, values in arrays.items():
        tmp = os.path.join(directory, name + ".npy.tmp")
        write_array(tmp, values)
        os.replace(tmp, os.path.join(directory, name + ".npy"))
        describe(directory, header, name)
    write_header(directory, header)


def _file_kind(path: str) -> str:
    from . import _io

    name = path.lower()
    if name.endswith((".parquet", ".pq")):
        return "parquet"
    if name.endswith(".npy"):
        return "npy"
    return _io.detect_format(path)


def read_npy_edges(path: str) -> npt.NDArray[Any]:
    try:
        table: npt.NDArray[Any] = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: not a .npy array of edges ({e})") from None
    if table.ndim != 2 or table.shape[1] not in (2, 3) or table.dtype.kind not in "iuf":
        raise ValueError(
            f"{path}: expected an (m, 2) or (m, 3) numeric array of (source, target[, weight]) "
            f"rows, found {table.dtype} {table.shape}"
        )
    return table


def npy_row_batches(
    path: str, table: npt.NDArray[Any], batch: int
) -> Iterator[npt.NDArray[Any]]:
    """The rows of ``table`` (read_npy_edges) in batches, read from the file
    rather than through its memory map, so that the pages of an edge list
    larger than memory do not stay resident (a Fortran-order file goes
    through the map)."""
    rows = table.shape[0]
    if not table.flags.c_contiguous or not isinstance(table, np.memmap):
        for lo in range(0, rows, batch):
            yield np.asarray(table[lo : lo + batch])
        return
    width = table.shape[1]
    with open(path, "rb") as f:
        for lo in range(0, rows, batch):
            count = min(batch, rows - lo)
            f.seek(table.offset + lo * width * table.dtype.itemsize)
            part = np.fromfile(f, dtype=table.dtype, count=count * width)
            if part.shape[0] != count * width:
                raise ValueError(f"{path}: truncated at row {lo + part.shape[0] // width}")
            yield part.reshape(count, width)


def _npy_columns(table: npt.NDArray[Any], path: str) -> tuple[Any, Any, Any]:
    src, dst = table[:, 0], table[:, 1]
    if table.dtype.kind == "f":
        ids = np.concatenate([src, dst])
        if not np.array_equal(ids, np.floor(ids)) or not np.isfinite(ids).all():
            raise ValueError(f"{path}: node IDs in the first two columns must be integers")
        src, dst = src.astype(np.int64), dst.astype(np.int64)
    weights = table[:, 2].astype(np.float64) if table.shape[1] == 3 else None
    return src, dst, weights


def _load(path: str, *, header: bool | None, nodes: Any) -> CsrGraph:
    from . import _io

    fmt = _file_kind(path)
    if fmt == "mtx":
        return _io.read_matrix_market(path)
    if fmt == "npz":
        return _io.read_npz(path)
    if fmt == "npy":
        src, dst, w = _npy_columns(read_npy_edges(path), path)
    elif fmt == "parquet":
        try:
            import pyarrow.parquet as pq
        except ImportError:
            raise ImportError(
                "reading Parquet needs pyarrow (pip install 'velmar[scale]')"
            ) from None
        table = pq.read_table(path)
        if table.num_columns not in (2, 3):
            raise ValueError(f"{path}: expected 2 or 3 columns (source, target[, weight])")
        src, dst = table.column(0).to_numpy(), table.column(1).to_numpy()
        w = table.column(2).to_numpy().astype(np.float64) if table.num_columns == 3 else None
    else:
        edges = _io.read_edge_list(path, header=header)
        src, dst, w = edges.sources, edges.targets, edges.weights
    try:
        return _convert.from_edge_columns(src, dst, w, nodes=nodes)
    except (TypeError, ValueError) as e:
        raise _io.GraphFileError(f"{path}: {e}") from None
