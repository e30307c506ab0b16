"""The prepared graph on disk: a directory of .npy arrays and a JSON header.

A prepared graph holds the engine's compact arrays (int64 row pointers,
32-bit column indices where the node count allows, and each entry's float32
scale float32(value) * (1 / float32(degree))), the float64 values and the
node IDs beside them; a reordered graph stores its rows in a locality order
with that order beside them. The arrays are written from the graph the
engine built, and opened back into the same kind of graph: ``open_graph``
maps every array read-only, checks that each file has exactly the size, type
and shape its header claims and that its contents match the CRC32C the
header records of each chunk, and the engine checks, before anything reads
them, that the arrays form a valid graph. The graph's ID is derived from the
header, checksums included, so a graph with any other array is another graph.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import tempfile
import threading
import warnings
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from . import _engine
from ._graph import PreparedGraph, Unverified
from ._watch import watched

FORMAT = "velmar-graph"
# The version written: every array with a CRC32C of each chunk, a graph ID
# derived from the header, and order.npy when the rows are reordered.
FORMAT_VERSION = 3
# Older versions, still opened, with a warning that nothing can be verified:
# 1 without a locality order, 2 with one (order.npy).
PLAIN_VERSION = 1
REORDERED_VERSION = 2
HEADER = "graph.json"

# The arrays a prepared graph may hold; no other name is read or copied.
ARRAY_NAMES = ("indptr", "indices", "scales", "values", "nodes", "order")
# The arrays open_graph verifies at once: the engine and its structure check
# read them. The values are verified when first read (the projection never
# reads them; a spectral run reads them through PreparedGraph.values first).
VERIFIED_ON_OPEN = ("indptr", "indices", "scales", "nodes", "order")

# Each array's data is checksummed in pieces of this many bytes (the last
# may be shorter), so that a mismatch names the piece and the pieces are
# verified in parallel.
CHECKSUM_CHUNK = 4 << 20
CHECKSUM = "crc32c"
_MAX_CHECKSUM_CHUNK = 1 << 40

# Every array file starts with a .npy header padded to this many bytes, so a
# file can be written in one pass and its header filled in at the end.
NPY_HEADER_BYTES = 128

# Arrays are written this many elements at a time, so that writing a graph
# larger than memory never holds more than one chunk.
CHUNK = 1 << 24


class GraphFormatError(ValueError):
    """A prepared graph that is missing, truncated, tampered with or of
    another format version; the message names the file."""


class UnverifiedGraphWarning(UserWarning):
    """A prepared graph of an older format, which records no checksums: its
    arrays cannot be verified."""


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


# Below this many bytes checksums take well under a Ctrl-C's allowed delay,
# and are computed without the watching thread (which costs more).
_WATCHED_BYTES = 64 << 20


def _all_checksums(arrays: list[Any], chunk_bytes: int) -> list[str]:
    """The CRC32C of each chunk of each contiguous array's bytes, as one hex
    string of eight digits per chunk (Ctrl-C stops a long computation)."""

    def work(control: Any) -> list[Any]:
        return [_engine.checksums(a, chunk_bytes, control) for a in arrays]

    large = sum(memoryview(a).nbytes for a in arrays) >= _WATCHED_BYTES
    sums = watched(work) if large else work(None)
    return ["".join(f"{int(x):08x}" for x in s.tolist()) for s in sums]


def checksums(data: Any, chunk_bytes: int = CHECKSUM_CHUNK) -> str:
    """The CRC32C of each chunk of a contiguous array's bytes, as one hex
    string of eight digits per chunk (Ctrl-C stops a long computation)."""
    return _all_checksums([data], chunk_bytes)[0]


def _file_data(path: str) -> npt.NDArray[np.uint8]:
    """The bytes after a .npy file's header, mapped read-only."""
    with open(path, "rb") as f:
        read_npy_header(f)
        offset = f.tell()
        size = os.fstat(f.fileno()).st_size
    if size == offset:
        return np.zeros(0, np.uint8)
    return np.memmap(path, dtype=np.uint8, mode="r", offset=offset)


# --- writing a graph ---------------------------------------------------------------


def new_header(num_nodes: int, num_entries: int, symmetrized: bool) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "version": FORMAT_VERSION,
        # Derived from the rest when the header is written.
        "graph_id": "",
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


def derived_id(header: dict[str, Any]) -> str:
    """The graph ID of a header: a digest of everything else in it, the
    checksums of the arrays included."""
    body = {key: value for key, value in header.items() if key != "graph_id"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.blake2b(text.encode("ascii"), digest_size=16).hexdigest()


def write_header(directory: str, header: dict[str, Any]) -> None:
    """Records the checksums of every array the header describes (read back
    from their files), stamps the current format version and the graph ID
    derived from the result, and writes the header last, through a rename,
    so that a directory whose preparation was interrupted has no header and
    is never opened."""
    header["version"] = FORMAT_VERSION
    header["checksum"] = {"algorithm": CHECKSUM, "chunk_bytes": CHECKSUM_CHUNK}
    for name, entry in header["arrays"].items():
        data = _file_data(os.path.join(directory, name + ".npy"))
        entry[CHECKSUM] = checksums(data, CHECKSUM_CHUNK)
        del data
    header["graph_id"] = derived_id(header)
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
        if all(isinstance(x, int) and not isinstance(x, bool) for x in nodes.tolist()):
            raise ValueError(
                "a prepared graph stores integer node IDs as int64 or uint64, and these "
                "fit neither (IDs over 64 bits, or negative IDs beside IDs of 2**63 "
                "and more); pass them as strings"
            )
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
            except Exception as e:  # any damage to the header's text
                raise _fail(path, f"not a valid .npy file ({type(e).__name__}: {e})") from None
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
    except Exception:
        raise _fail(os.path.join(directory, HEADER), f"bad description of array {name!r}") from None
    if dtype != want_dtype or shape != want_shape:
        raise _fail(path, f"holds {dtype} {shape}, but {HEADER} says {want_dtype} {want_shape}")
    need = offset + shape[0] * dtype.itemsize
    if size != need:
        what = "truncated" if size < need else "longer than its array"
        raise _fail(path, f"{what}: {size} bytes, expected {need}")
    if shape[0] == 0:
        return np.zeros(0, dtype=dtype)
    try:
        return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=shape)
    except (OSError, ValueError) as e:
        raise _fail(path, f"cannot be mapped ({e})") from None


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
    except RecursionError:
        raise _fail(path, "unreadable (nested too deeply)") from None
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise _fail(path, f"unreadable ({e})") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise _fail(path, "not a velmar prepared graph header")
    versions = (PLAIN_VERSION, REORDERED_VERSION, FORMAT_VERSION)
    version = header.get("version")
    if type(version) is not int or version not in versions:
        raise _fail(
            path,
            f"format version {version!r}; this velmar reads versions "
            f"{', '.join(map(str, versions))}",
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
    for name, entry in header["arrays"].items():
        if name not in ARRAY_NAMES:
            raise _fail(path, f"names an array {name!r}; a prepared graph holds only {ARRAY_NAMES}")
        if not isinstance(entry, dict):
            raise _fail(path, f"bad description of array {name!r}")
    if version == FORMAT_VERSION:
        _check_checksums(path, header)
    elif "checksum" in header or any(CHECKSUM in e for e in header["arrays"].values()):
        # A current header edited to an older version, to escape its checks.
        raise _fail(path, f"format version {version} records no checksums, but this header does")
    return header


_HEX = re.compile(r"[0-9a-f]*")


def _check_checksums(path: str, header: dict[str, Any]) -> None:
    """The checksum fields of a current header, and its graph ID against its
    contents: an edited header is refused before any array is read."""
    method = header.get("checksum")
    chunk = method.get("chunk_bytes") if isinstance(method, dict) else None
    if (
        not isinstance(method, dict)
        or method.get("algorithm") != CHECKSUM
        or not isinstance(chunk, int)
        or isinstance(chunk, bool)
        or not 1 <= chunk <= _MAX_CHECKSUM_CHUNK
    ):
        raise _fail(path, "field 'checksum' is missing or invalid")
    for name, entry in header["arrays"].items():
        sums = entry.get(CHECKSUM)
        if not isinstance(sums, str) or len(sums) % 8 or not _HEX.fullmatch(sums):
            raise _fail(path, f"the checksums of array {name!r} are missing or invalid")
    if header["graph_id"] != derived_id(header):
        raise _fail(path, "its graph_id does not match its contents (the header was edited)")


def _verify(directory: str, header: dict[str, Any], arrays: dict[str, npt.NDArray[Any]]) -> None:
    """Compares arrays' bytes with the checksums their header records, in
    one engine call per array on one watched thread; GraphFormatError
    naming the file and the first chunk that differs."""
    chunk = header["checksum"]["chunk_bytes"]
    for name, array in arrays.items():
        count = -(-array.nbytes // chunk)
        if len(header["arrays"][name][CHECKSUM]) != 8 * count:
            raise _fail(
                os.path.join(directory, HEADER),
                f"records {len(header['arrays'][name][CHECKSUM]) // 8} checksums for array "
                f"{name!r}, which has {count} chunks of {chunk} bytes",
            )
    got = _all_checksums(list(arrays.values()), chunk)
    for (name, array), have in zip(arrays.items(), got):
        want = header["arrays"][name][CHECKSUM]
        if have == want:
            continue
        count = len(want) // 8
        first = next(i for i in range(count) if have[8 * i : 8 * i + 8] != want[8 * i : 8 * i + 8])
        lo = first * chunk
        hi = min(lo + chunk, array.nbytes)
        raise _fail(
            os.path.join(directory, name + ".npy"),
            f"chunk {first} of {count} (bytes {lo}..{hi} of its data) does not match the "
            f"checksum in {HEADER}: the file was changed or damaged since it was prepared",
        )


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
    truncated, of the wrong type or shape, when its contents do not match
    the checksums its header records (the values are checked when first
    read, every other array here), or when the arrays do not form a valid
    graph (row pointers out of order, column indices out of range, an order
    that is not a permutation of the nodes). A graph of format version 1 or
    2 records no checksums: it opens with an UnverifiedGraphWarning.
    """
    path = os.fspath(directory)
    if "://" in path:
        path = _local_copy(path, cache_dir)
    header = _read_header(path)
    n, m = header["num_nodes"], header["num_entries"]
    arrays = header["arrays"]
    head = os.path.join(path, HEADER)
    version = header["version"]
    if version != FORMAT_VERSION:
        warnings.warn(
            f"{path}: a prepared graph of format version {version} records no "
            "checksums, so its arrays cannot be verified; prepare it again to have "
            "them checked",
            UnverifiedGraphWarning,
            stacklevel=2,
        )
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
    if "nodes" in arrays:
        mapped["nodes"] = _map_array(path, "nodes", arrays["nodes"])
        if mapped["nodes"].shape != (n,):
            raise _fail(os.path.join(path, "nodes.npy"), f"expected {n} node IDs")
    reordered = "order" in arrays if version == FORMAT_VERSION else version == REORDERED_VERSION
    if reordered:
        if "order" not in arrays:
            raise _fail(head, "array 'order' is not described")
        mapped["order"] = _map_array(path, "order", arrays["order"])
        order = mapped["order"]
        if order.dtype != np.int64 or order.shape != (n,):
            raise _fail(
                os.path.join(path, "order.npy"),
                f"expected int64 ({n},), found {order.dtype} {order.shape}",
            )
    elif "order" in arrays:
        raise _fail(head, f"array 'order' in a version {PLAIN_VERSION} graph")
    values: Any = mapped["values"]
    if version == FORMAT_VERSION:
        # Before the engine's structure check reads them.
        _verify(path, header, {name: mapped[name] for name in VERIFIED_ON_OPEN if name in mapped})
        values = Unverified(values, lambda array: _verify(path, header, {"values": array}))
    try:
        engine = _engine.open_graph(
            mapped["indptr"],
            mapped["indices"],
            mapped["scales"],
            n,
            row_map=mapped.get("order"),
            values=mapped["values"],
        )
    except ValueError as e:
        message = str(e).removeprefix("Shape mismatch: ")
        raise _structure_error(path, message, n, m) from None
    return PreparedGraph(
        engine,
        mapped.get("nodes"),
        symmetrized=bool(header["symmetrized"]),
        path=path,
        header=header,
        stored_values=values,
        order=mapped.get("order"),
    )


# Copies into the cache, one at a time per process (threads of one process
# may open the same graph at once).
_COPY_LOCK = threading.Lock()


def _local_copy(url: str, cache_dir: str | os.PathLike[str] | None) -> str:
    """A local copy of a prepared graph on remote storage: the arrays the
    header names (only the fixed set of names), then the header, so a copy
    that was interrupted is made again. Each file is written under a
    temporary name and renamed, inside the graph's own cache directory."""
    try:
        import fsspec  # noqa: PLC0415 (an optional extra, loaded on use)
    except ImportError:
        raise ImportError("opening a graph from a URL needs fsspec (pip install fsspec)") from None
    fs, root = fsspec.core.url_to_fs(url)
    where = f"{url}/{HEADER}"
    try:
        raw = fs.cat_file(f"{root}/{HEADER}")
        header = json.loads(raw)
        graph_id = header["graph_id"]
        names = list(header["arrays"])
    except RecursionError:
        raise _fail(where, "unreadable (nested too deeply)") from None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        raise _fail(where, f"unreadable ({e})") from None
    if not isinstance(graph_id, str) or not re.fullmatch(r"[0-9a-f]{1,64}", graph_id):
        raise _fail(where, "field 'graph_id' is missing or invalid")
    for name in names:
        if name not in ARRAY_NAMES:
            raise _fail(
                where, f"names an array {name!r}; a prepared graph holds only {ARRAY_NAMES}"
            )
    base = (
        os.fspath(cache_dir)
        if cache_dir is not None
        else os.path.join(tempfile.gettempdir(), "velmar-graphs")
    )
    local = os.path.join(base, graph_id)
    with _COPY_LOCK:
        if not os.path.exists(os.path.join(local, HEADER)):
            os.makedirs(local, exist_ok=True)
            for name in names:
                target = os.path.join(local, f"{name}.npy")
                fs.get_file(f"{root}/{name}.npy", target + ".tmp")
                os.replace(target + ".tmp", target)
            tmp = os.path.join(local, HEADER + ".tmp")
            with open(tmp, "wb") as f:
                f.write(raw)
            os.replace(tmp, os.path.join(local, HEADER))
    return local
