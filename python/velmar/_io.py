"""Graph files: edge lists (text, Parquet, .npy), Matrix Market, SciPy .npz.

Every edge-list file is read by one set of rules, whether it is read into
memory (``velmar embed FILE``, ``prepare``) or streamed through DuckDB
(``_stream``); where streaming cannot follow a rule it refuses the file.

- Text is UTF-8 (a byte-order mark is dropped), one edge per line: source and
  target, then optionally a weight, separated by whitespace or, when the
  first data line holds a comma, by commas (CSV quoting). Everything from
  '#' or '%' to the end of a line is a comment. A first line that cannot be
  data is a header (the engine's reader decides, see docs/api.md). Node IDs
  are integers (of any size) when every ID is one, otherwise strings.
- Parquet: the first two columns are the IDs, integers, floats or strings
  (both of one kind), a third the weights (numbers, never null).
- .npy: an (m, 2) or (m, 3) numeric array; float IDs must be integers.

Integer IDs are int64 when every one fits, uint64 when they are all
non-negative and fit that; float IDs are float64 with -0.0 read as 0.0;
missing IDs and weights are refused. Every reader raises ``GraphFileError``
with a one-line message that names the file (and the line where there is
one).
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import mmap
import os
import sys
import zipfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _convert, _engine
from ._graph import Entries
from ._plan import Guard, no_guard
from ._watch import watched

_INT64_TOP = 1 << 63


class GraphFileError(ValueError):
    """A graph file that cannot be read; the message is one line."""


def detect_format(path: str) -> str:
    """The kind of graph file by its name: mtx, npz, parquet, npy or edges
    (text)."""
    name = path.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith((".mtx", ".mm")):
        return "mtx"
    if name.endswith(".npz"):
        return "npz"
    if name.endswith((".parquet", ".pq")):
        return "parquet"
    if name.endswith(".npy"):
        return "npy"
    return "edges"


file_kind = detect_format


def _import_scipy(what: str) -> Any:
    try:
        importlib.import_module("scipy.io")
        importlib.import_module("scipy.sparse")
    except ImportError:
        raise GraphFileError(f"reading {what} needs SciPy (pip install scipy)") from None
    return sys.modules["scipy"]


def read_matrix_market(path: str, guard: Guard = no_guard) -> Entries:
    """A square Matrix Market matrix; a file declared symmetric holds both
    directions of every edge once expanded, and is embedded as stored."""
    scipy = _import_scipy("Matrix Market files")
    try:
        info = scipy.io.mminfo(path)
        matrix = scipy.io.mmread(path)
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or e}") from None
    except Exception as e:
        raise GraphFileError(f"{path}: not a valid Matrix Market file ({one_line(e)})") from None
    field, symmetry = info[4], info[5]
    if field == "complex":
        raise GraphFileError(f"{path}: complex matrices are not graphs velmar can embed")
    try:
        if isinstance(matrix, np.ndarray):
            graph = _convert.from_dense(matrix)
        else:
            graph = _convert.from_scipy(matrix, guard=guard)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None
    if symmetry == "symmetric":
        graph = dataclasses.replace(graph, symmetric=True)
    return graph


def read_npz(path: str, guard: Guard = no_guard) -> Entries:
    """A square sparse matrix saved with scipy.sparse.save_npz."""
    scipy = _import_scipy(".npz files")
    if os.path.isfile(path) and not zipfile.is_zipfile(path):
        raise GraphFileError(f"{path}: not a .npz file (it is not a zip archive)")
    try:
        matrix = scipy.sparse.load_npz(path)
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or e}") from None
    except Exception as e:
        raise GraphFileError(
            f"{path}: not a sparse matrix saved by scipy.sparse.save_npz ({one_line(e)})"
        ) from None
    try:
        return _convert.from_scipy(matrix, guard=guard)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None


def one_line(error: BaseException) -> str:
    """An exception's message on one line (its type's name if it has none)."""
    text = " ".join(str(error).split())
    return text or type(error).__name__


# --- node IDs ------------------------------------------------------------------


def id_kind(ids: npt.NDArray[Any]) -> str:
    """How the package names the kind of an ID array in its messages."""
    kind = ids.dtype.kind
    if kind == "O" and all(type(x) is int for x in ids.tolist()):
        return "integer"  # beyond 64 bits
    return {"i": "integer", "u": "integer", "f": "float", "U": "string"}.get(kind, "mixed")


def int_ids(lo: int, hi: int) -> np.dtype[Any] | None:
    """The dtype of integer IDs from lo to hi: int64 when they fit, else
    uint64 when none is negative, else None (Python integers)."""
    if hi < _INT64_TOP:
        return np.dtype(np.int64)
    if lo >= 0:
        return np.dtype(np.uint64)
    return None


def zero_floats(ids: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Float IDs as float64 with -0.0 replaced by 0.0, which is the same node."""
    out = np.asarray(ids, dtype=np.float64)
    return np.where(out == 0.0, 0.0, out)


def given_nodes(nodes: Any) -> npt.NDArray[Any]:
    """``nodes=`` as the array of node IDs a graph of it stores (strings as a
    NumPy string array)."""
    ids = _convert.id_array(nodes, "nodes")
    if ids.dtype.kind == "O" and ids.shape[0] and all(type(x) is str for x in ids):
        ids = ids.astype(str)
    return ids


def _renumbered(
    rows: npt.NDArray[np.int64],
    cols: npt.NDArray[np.int64],
    ids: npt.NDArray[Any],
    nodes: Any,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[Any]]:
    """Edges numbered by the distinct IDs ``ids`` renumbered by ``nodes``:
    the converter places each ID in nodes (and refuses what is not there)."""
    placed = _convert.from_edge_columns(ids, ids, None, nodes=given_nodes(nodes))
    position = placed.rows
    assert placed.nodes is not None
    return position[rows], position[cols], placed.nodes


# --- text ----------------------------------------------------------------------


class TextLayout(NamedTuple):
    """What the engine's reader decided of a text edge list (the tuple of
    _engine.scan_edge_text)."""

    comma: bool
    width: int
    first: str  # "edge", "header" or "ambiguous"
    first_begin: int
    first_end: int
    edges_offset: int
    edges_line: int
    kind: str  # "int64", "uint64", "wide" or "str"
    num_edges: int


@contextlib.contextmanager
def mapped(path: str) -> Iterator[Any]:
    """The bytes of a file, mapped read-only (empty bytes for an empty file)."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else None
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or e}") from None
    if view is None:  # an empty file cannot be mapped
        yield b""
        return
    try:
        if hasattr(view, "madvise") and hasattr(mmap, "MADV_SEQUENTIAL"):
            view.madvise(mmap.MADV_SEQUENTIAL)
        yield view
    finally:
        view.close()


def text_fault(path: str, fault: tuple[Any, ...]) -> GraphFileError:
    """The error of a fault the engine's reader found."""
    problem, line, offset, found, expected, token = fault
    at = f"{path}:{line}"
    messages = {
        "not_utf8": f"{path}: not a UTF-8 text edge list (byte {found:#04x} at offset "
        f"{offset}, line {line})",
        "no_edges": str(no_edges(path)),
        "no_edges_after_header": f"{path}: no edges found after the header line",
        "columns": f"{at}: expected 2 or 3 columns (source target [weight]), found {found}",
        "ragged": f"{at}: found {found} columns, but the first edge has {expected}",
        "bad_weight": f"{at}: weight {token!r} is not a number",
        "empty_id": f"{at}: empty node ID",
        "changed": f"{at}: the file changed while it was read",
    }
    return GraphFileError(messages.get(problem, f"{at}: {problem}"))


def first_line(data: Any, layout: TextLayout) -> str:
    return bytes(data[layout.first_begin : layout.first_end]).decode("utf-8")


def text_ids(ids: npt.NDArray[Any], kind: str) -> npt.NDArray[Any]:
    """The node IDs the engine's reader gave, as the package keeps them."""
    if kind in ("int64", "uint64"):
        return ids
    texts = ids.view(f"U{ids.shape[1]}").reshape(ids.shape[0])
    if kind == "wide":
        wide = np.empty(texts.shape[0], dtype=object)
        wide[:] = [int(t) for t in texts.tolist()]
        return wide
    return texts


def _header_arg(header: Any) -> bool | None:
    if header is None or isinstance(header, (bool, np.bool_)):
        return None if header is None else bool(header)
    raise TypeError(f"header must be None, True or False, got {header!r}")


@dataclass
class EdgeFile:
    """An edge-list file read into memory, and what reading it found."""

    entries: Entries
    num_edges: int
    weighted: bool
    header: str | None = None  # the header line that was skipped, if any
    ambiguous: str | None = None  # a first line read as an edge that may be a header


def read_text(
    path: str, *, header: bool | None = None, nodes: Any = None, guard: Guard = no_guard
) -> EdgeFile:
    """A text edge list, read and numbered by the engine (Ctrl-C stops it)."""
    header = _header_arg(header)
    with mapped(path) as data:

        def work(control: Any) -> Any:
            return _engine.read_edge_text(data, header=header, control=control)

        fault, raw_layout, rows, cols, weights, ids = watched(work)
        layout = TextLayout(*raw_layout)
        if fault is not None:
            raise text_fault(path, fault)
        first = first_line(data, layout)
    node_ids = text_ids(ids, layout.kind)
    m = layout.num_edges
    guard(int(node_ids.shape[0]), m, 0)
    if nodes is not None:
        try:
            rows, cols, node_ids = _renumbered(rows, cols, node_ids, nodes)
        except (TypeError, ValueError) as e:
            raise GraphFileError(f"{path}: {e}") from None
    entries = Entries(rows, cols, weights, int(node_ids.shape[0]), False, nodes=node_ids)
    return EdgeFile(
        entries,
        m,
        layout.width == 3,
        header=first if layout.first == "header" else None,
        ambiguous=first if layout.first == "ambiguous" else None,
    )


@dataclass
class EdgeList:
    sources: npt.NDArray[Any]
    targets: npt.NDArray[Any]
    weights: npt.NDArray[np.float64] | None
    header: str | None = None  # the header line that was skipped, if any
    ambiguous: str | None = None  # a first line read as an edge that may be a header


def read_edge_list(path: str, header: bool | None = None) -> EdgeList:
    """A text edge list as its edges' source and target IDs and weights."""
    edges = read_text(path, header=header)
    entries = edges.entries
    assert entries.nodes is not None
    return EdgeList(
        entries.nodes[entries.rows],
        entries.nodes[entries.cols],
        entries.values if edges.weighted else None,
        edges.header,
        edges.ambiguous,
    )


# --- Parquet -------------------------------------------------------------------


class ParquetLayout(NamedTuple):
    """The columns of a Parquet edge list and the kind of its IDs."""

    names: list[str]
    id_kind: str  # "integer", "float" or "string"
    types: list[Any]  # the Arrow types of the columns


def _pyarrow(what: str) -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise ImportError(f"{what} needs pyarrow (pip install 'velmar[scale]')") from None


def _arrow_kind(pa: Any, kind: Any) -> str | None:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    if pa.types.is_integer(kind):
        return "integer"
    if pa.types.is_floating(kind) and not pa.types.is_float16(kind):
        return "float"
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return "string"
    if hasattr(pa.types, "is_string_view") and pa.types.is_string_view(kind):
        return "string"
    return None


def parquet_layout(path: str) -> ParquetLayout:
    """The ID and weight columns of a Parquet edge list by their types,
    refused unless the IDs are integers, floats or strings (both columns of
    one kind) and the weights numbers."""
    pa = _pyarrow("reading Parquet")
    pq = importlib.import_module("pyarrow.parquet")
    try:
        schema = pq.read_schema(path)
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or one_line(e)}") from None
    except pa.ArrowException as e:
        raise GraphFileError(f"{path}: not a Parquet file ({one_line(e)})") from None
    if len(schema.names) not in (2, 3):
        raise GraphFileError(
            f"{path}: expected 2 or 3 columns (source, target[, weight]), found "
            f"{len(schema.names)}"
        )
    types = [schema.field(k).type for k in range(len(schema.names))]
    kinds = [_arrow_kind(pa, t) for t in types[:2]]
    for name, kind, t in zip(schema.names, kinds, types):
        if kind is None:
            raise GraphFileError(
                f"{path}: column {name!r} holds {t}; node IDs must be integers, floats "
                "or strings"
            )
    if kinds[0] != kinds[1]:
        raise GraphFileError(
            f"{path}: the source column holds {types[0]} and the target column {types[1]}; "
            "the node IDs of one file must be of one kind"
        )
    if len(types) == 3:
        w = types[2]
        if not (pa.types.is_integer(w) or (pa.types.is_floating(w) and not pa.types.is_float16(w))):
            raise GraphFileError(
                f"{path}: weight column {schema.names[2]!r} holds {w}, not numbers"
            )
    return ParquetLayout(list(schema.names), str(kinds[0]), types)


def no_edges(path: str) -> GraphFileError:
    return GraphFileError(f"{path}: no edges found")


def missing_ids(path: str, count: int, first: int) -> GraphFileError:
    return GraphFileError(
        f"{path}: {count} edges without a node ID (null or NaN; the first is edge {first})"
    )


def missing_weights(path: str, count: int, first: int) -> GraphFileError:
    return GraphFileError(
        f"{path}: {count} edges without a weight (null; the first is edge {first}); "
        "a missing weight is not a number"
    )


def read_parquet(path: str) -> tuple[Any, Any, npt.NDArray[np.float64] | None]:
    """The ID columns and the weights of a Parquet edge list, by the rules
    of every path: integers as int64 or uint64, floats as float64 (-0.0 as
    0.0), strings as Python strings; no missing ID or weight."""
    layout = parquet_layout(path)
    pa = _pyarrow("reading Parquet")
    pq = importlib.import_module("pyarrow.parquet")
    pc = importlib.import_module("pyarrow.compute")
    try:
        table = pq.read_table(path)
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or one_line(e)}") from None
    except pa.ArrowException as e:
        raise GraphFileError(f"{path}: {one_line(e)}") from None
    columns = []
    for k in range(table.num_columns):
        column = table.column(k)
        if pa.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        columns.append(column)
    src, dst = columns[0], columns[1]
    if len(src) == 0:
        raise no_edges(path)
    bad = src.is_null()
    bad = pc.or_(bad, dst.is_null())
    if layout.id_kind == "float":
        bad = pc.or_kleene(bad, pc.or_kleene(pc.is_nan(src), pc.is_nan(dst)))
    count = int(pc.sum(bad).as_py() or 0)
    if count:
        raise missing_ids(path, count, int(pc.index(bad, True).as_py()))
    weights = None
    if len(columns) == 3:
        w = columns[2]
        if w.null_count:
            raise missing_weights(path, w.null_count, int(pc.index(w.is_null(), True).as_py()))
        weights = w.to_numpy().astype(np.float64)
    if layout.id_kind == "string":
        return (
            src.to_numpy(zero_copy_only=False),
            dst.to_numpy(zero_copy_only=False),
            weights,
        )
    s, t = src.to_numpy(), dst.to_numpy()
    if layout.id_kind == "float":
        return zero_floats(s), zero_floats(t), weights
    lo = min(int(s.min()), int(t.min()))
    hi = max(int(s.max()), int(t.max()))
    dtype = int_ids(lo, hi)
    if dtype is None:  # beyond 64 bits together: Python integers
        return _as_objects(s), _as_objects(t), weights
    return s.astype(dtype), t.astype(dtype), weights


def _as_objects(ids: npt.NDArray[Any]) -> npt.NDArray[Any]:
    out = np.empty(ids.shape[0], dtype=object)
    out[:] = ids.tolist()
    return out


# --- .npy ----------------------------------------------------------------------


def read_npy_edges(path: str) -> npt.NDArray[Any]:
    try:
        table: npt.NDArray[Any] = np.load(path, mmap_mode="r", allow_pickle=False)
    except (OSError, ValueError) as e:
        raise GraphFileError(f"{path}: not a .npy array of edges ({one_line(e)})") from None
    if table.ndim != 2 or table.shape[1] not in (2, 3) or table.dtype.kind not in "iuf":
        raise GraphFileError(
            f"{path}: expected an (m, 2) or (m, 3) numeric array of (source, target[, weight]) "
            f"rows, found {table.dtype} {table.shape}"
        )
    if table.shape[0] == 0:
        raise no_edges(path)
    return table


def npy_row_batches(path: str, table: npt.NDArray[Any], batch: int) -> Iterator[npt.NDArray[Any]]:
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
                raise GraphFileError(f"{path}: truncated at row {lo + part.shape[0] // width}")
            yield part.reshape(count, width)


def npy_id_dtype(path: str, table: npt.NDArray[Any], batch: int) -> np.dtype[Any]:
    """The dtype of a .npy edge list's IDs: uint64 for an unsigned 64-bit
    array with an ID of 2**63 or more, int64 otherwise (float IDs must be
    integers that int64 holds)."""
    if table.dtype != np.uint64:
        return np.dtype(np.int64)
    for part in npy_row_batches(path, table, batch):
        if part.shape[0] and int(part[:, :2].max()) >= _INT64_TOP:
            return np.dtype(np.uint64)
    return np.dtype(np.int64)


def npy_columns(
    table: npt.NDArray[Any], path: str, id_dtype: np.dtype[Any]
) -> tuple[Any, Any, Any]:
    src, dst = table[:, 0], table[:, 1]
    if table.dtype.kind == "f":
        ids = np.concatenate([src, dst])
        whole = np.isfinite(ids).all() and np.array_equal(ids, np.floor(ids))
        if not whole or (ids.shape[0] and (ids.min() < -(2.0**63) or ids.max() >= 2.0**63)):
            raise GraphFileError(
                f"{path}: node IDs in the first two columns must be integers of at most 64 bits"
            )
    src, dst = src.astype(id_dtype), dst.astype(id_dtype)
    weights = table[:, 2].astype(np.float64) if table.shape[1] == 3 else None
    return src, dst, weights


def read_npy(path: str) -> tuple[Any, Any, Any]:
    table = read_npy_edges(path)
    return npy_columns(table, path, npy_id_dtype(path, table, 1 << 24))


# --- any graph file ---------------------------------------------------------------


def read_edges(
    path: str,
    fmt: str | None = None,
    *,
    header: bool | None = None,
    nodes: Any = None,
    guard: Guard = no_guard,
) -> EdgeFile:
    """An edge-list file (text, Parquet or .npy, by its name unless ``fmt``
    says) in memory."""
    fmt = fmt or detect_format(path)
    if fmt == "edges":
        return read_text(path, header=header, nodes=nodes, guard=guard)
    src, dst, w = read_npy(path) if fmt == "npy" else read_parquet(path)
    given = None if nodes is None else given_nodes(nodes)
    try:
        entries = _convert.from_edge_columns(src, dst, w, nodes=given, guard=guard)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None
    return EdgeFile(entries, int(src.shape[0]), w is not None)


def read_entries(
    path: str, *, header: bool | None, nodes: Any = None, guard: Guard = no_guard
) -> Entries:
    """The entries of any graph file velmar reads, by its name: Matrix
    Market, SciPy .npz, a .npy array or a Parquet file of edges, or an edge
    list in text."""
    fmt = detect_format(path)
    if fmt in ("mtx", "npz"):
        if nodes is not None:
            raise TypeError("nodes= applies to edge lists, not to Matrix Market or .npz files")
        return read_matrix_market(path, guard) if fmt == "mtx" else read_npz(path, guard)
    return read_edges(path, fmt, header=header, nodes=nodes, guard=guard).entries
