"""The prepared graph on disk: a directory of .npy arrays and a JSON header.

A prepared graph holds the engine's compact arrays (int64 row pointers,
32-bit column indices where the node count allows, and each entry's float32
scale float32(value) * (1 / float32(degree))), the float64 values and the
node IDs beside them; a reordered graph (format version 2) stores its rows in
a locality order with that order beside them. The arrays are written from
the graph the engine built, and opened back into the same kind of graph:
``open_graph`` maps every array read-only, checks that each file has exactly
the size, type and shape its header claims, and the engine checks, before
anything reads them, that the arrays form a valid graph.
"""

from __future__ import annotations

import json
import os
import tempfile
import uuid
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from . import _engine
from ._graph import PreparedGraph

FORMAT = "velmar-graph"
FORMAT_VERSION = 1
# Rows stored in a locality order, with order.npy: older readers refuse it.
REORDERED_VERSION = 2
HEADER = "graph.json"

# Every array file starts with a .npy header padded to this many bytes, so a
# file can be written in one pass and its header filled in at the end.
NPY_HEADER_BYTES = 128

# Arrays are written this many elements at a time, so that writing a graph
# larger than memory never holds more than one chunk.
CHUNK = 1 << 24


class GraphFormatError(ValueError):
    """A prepared graph that is missing, truncated, tampered with or of
    another format version; the message names the file."""


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
    """The column type the engine gives a graph of num_nodes nodes."""
    return np.dtype(np.uint32 if num_nodes <= 1 << 32 else np.int64)


def read_npy_header(f: BinaryIO) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    version = np.lib.format.read_magic(f)
    if version == (1, 0):
        return np.lib.format.read_array_header_1_0(f)
    return np.lib.format.read_array_header_2_0(f)


# --- writing a graph ---------------------------------------------------------------


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


def describe(directory: str, header: dict[str, Any], name: str) -> None:
    """Records an array file's dtype and shape in the header."""
    path = os.path.join(directory, name + ".npy")
    with open(path, "rb") as f:
        shape, _, dtype = read_npy_header(f)
    header["arrays"][name] = {"dtype": np.lib.format.dtype_to_descr(dtype), "shape": list(shape)}


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


def prepare_directory(out: str, overwrite: bool) -> None:
    if os.path.exists(os.path.join(out, HEADER)) and not overwrite:
        raise FileExistsError(f"{out}: already holds a prepared graph (pass overwrite=True)")
    if os.path.exists(out) and not os.path.isdir(out):
        raise FileExistsError(f"{out}: exists and is not a directory")
    os.makedirs(out, exist_ok=True)
    header = os.path.join(out, HEADER)
    if os.path.exists(header):
        os.remove(header)


def _node_array(nodes: npt.NDArray[Any] | None) -> npt.NDArray[Any] | None:
    if nodes is None:
        return None
    if nodes.dtype.kind == "O":
        raise ValueError(
            "a prepared graph stores node IDs of one kind (integers, floats or "
            "strings); these node IDs mix kinds"
        )
    return nodes


def write_graph(graph: PreparedGraph, out: str) -> None:
    """Writes a graph the engine built with its values kept."""
    nodes = _node_array(graph.nodes)
    assert graph.values is not None
    header = new_header(graph.num_nodes, graph.num_entries, graph.symmetrized)
    indptr, indices, scales = graph.engine.arrays()
    arrays = {"indptr": indptr, "indices": indices, "scales": scales, "values": graph.values}
    for name, values in arrays.items():
        write_array(os.path.join(out, name + ".npy"), values)
    if nodes is not None:
        write_array(os.path.join(out, "nodes.npy"), nodes)
    for name in [*arrays] + (["nodes"] if nodes is not None else []):
        describe(out, header, name)
    write_header(out, header)


# --- opening -----------------------------------------------------------------------


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


# What the engine's check of a graph's arrays reports, by the start of its
# message: the file at fault and what is wrong with it.
_STRUCTURE_ERRORS = (
    ("row_ptrs must be non-decreasing", "indptr", "row pointers decrease"),
    ("row_ptrs", "indptr", "row pointers must run from 0 to {m}"),
    ("col_indices", "indices", "a column index is outside 0..{last}"),
    ("the row map must be a permutation of the rows; entry", "order", None),
)


def _structure_error(path: str, message: str, n: int, m: int) -> GraphFormatError:
    for start, name, problem in _STRUCTURE_ERRORS:
        if message.startswith(start):
            where = os.path.join(path, name + ".npy")
            if problem is None:
                problem = (
                    f"a node index is outside 0..{n - 1}"
                    if message.endswith("out of range")
                    else "not a permutation of the nodes (a node is repeated)"
                )
            return _fail(where, f"{problem.format(m=m, last=n - 1)} ({message})")
    return _fail(path, message)


def open_graph(
    directory: str | os.PathLike[str], *, cache_dir: str | os.PathLike[str] | None = None
) -> PreparedGraph:
    """Opens a prepared graph read-only, without copying its arrays.

    A URL (``s3://bucket/graph``, anything fsspec reaches) is first copied
    into ``cache_dir`` (default: velmar-graphs in the temporary directory)
    under the graph's ID, once per machine, and opened from there.

    Raises GraphFormatError, naming the file, when a file is missing,
    truncated, of the wrong type or shape, or when the arrays do not form a
    valid graph (row pointers out of order, column indices out of range, an
    order that is not a permutation of the nodes).
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
        if order.dtype != np.int64 or order.shape != (n,):
            raise _fail(
                os.path.join(path, "order.npy"),
                f"expected int64 ({n},), found {order.dtype} {order.shape}",
            )
    elif "order" in arrays:
        raise _fail(head, f"array 'order' in a version {FORMAT_VERSION} graph")
    try:
        engine = _engine.open_graph(
            mapped["indptr"],
            mapped["indices"],
            mapped["scales"],
            n,
            row_map=order,
            values=mapped["values"],
        )
    except ValueError as e:
        message = str(e).removeprefix("Shape mismatch: ")
        raise _structure_error(path, message, n, m) from None
    return PreparedGraph(
        engine,
        nodes,
        symmetrized=bool(header["symmetrized"]),
        path=path,
        header=header,
        values=mapped["values"],
        order=order,
    )


def _local_copy(url: str, cache_dir: str | os.PathLike[str] | None) -> str:
    """A local copy of a prepared graph on remote storage; the header is
    copied last, so a copy that was interrupted is made again."""
    try:
        import fsspec  # noqa: PLC0415 (an optional extra, loaded on use)
    except ImportError:
        raise ImportError("opening a graph from a URL needs fsspec (pip install fsspec)") from None
    fs, root = fsspec.core.url_to_fs(url)
    try:
        header = json.loads(fs.cat_file(f"{root}/{HEADER}"))
        graph_id = str(header["graph_id"])
        names = [f"{name}.npy" for name in header["arrays"]]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise _fail(f"{url}/{HEADER}", f"unreadable ({e})") from None
    base = (
        os.fspath(cache_dir)
        if cache_dir is not None
        else os.path.join(tempfile.gettempdir(), "velmar-graphs")
    )
    local = os.path.join(base, "".join(c for c in graph_id if c.isalnum()))
    if not os.path.exists(os.path.join(local, HEADER)):
        os.makedirs(local, exist_ok=True)
        for name in names:
            fs.get_file(f"{root}/{name}", os.path.join(local, name))
        fs.get_file(f"{root}/{HEADER}", os.path.join(local, HEADER))
    return local
