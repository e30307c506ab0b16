"""Graph files for the command line: edge lists, Matrix Market, SciPy .npz.

Edge lists are UTF-8 text (a byte-order mark is dropped), one edge per line:
source and target, then optionally a weight, separated by whitespace or
commas. Everything from '#' or '%' to the end of a line is a comment. Node
IDs are integers (of any size) when every ID parses as one, otherwise
strings. Every reader raises ``GraphFileError`` with a one-line message that
names the file (and the line where there is one).
"""

from __future__ import annotations

import csv
import dataclasses
import importlib
import os
import re
import sys
import zipfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _convert
from ._graph import Entries
from ._plan import Guard, no_guard

# Files at least this large are first tried with NumPy's C reader; smaller
# ones (and any file that reader rejects) are parsed line by line.
FAST_PATH_MIN_BYTES = 1 << 20

_INT = re.compile(r"[+-]?[0-9]+\Z")
_COMMENT = re.compile(r"[#%]")


class GraphFileError(Exception):
    """A graph file that cannot be read; the message is one line."""


@dataclass
class EdgeList:
    sources: npt.NDArray[Any]
    targets: npt.NDArray[Any]
    weights: npt.NDArray[np.float64] | None
    header: str | None = None  # the header line that was skipped, if any
    ambiguous: str | None = None  # a first line read as an edge that may be a header


def detect_format(path: str) -> str:
    name = path.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith((".mtx", ".mm")):
        return "mtx"
    if name.endswith(".npz"):
        return "npz"
    return "edges"


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
        raise GraphFileError(f"{path}: not a valid Matrix Market file ({_one_line(e)})") from None
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
            f"{path}: not a sparse matrix saved by scipy.sparse.save_npz ({_one_line(e)})"
        ) from None
    try:
        return _convert.from_scipy(matrix, guard=guard)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


# --- edge lists ------------------------------------------------------------


def _data_lines(path: str) -> list[tuple[int, str]]:
    """(line number, text without comment) of every line that holds data."""
    out = []
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            for number, line in enumerate(f, 1):
                cut = _COMMENT.search(line)
                text = (line[: cut.start()] if cut else line).strip()
                if text:
                    out.append((number, text))
    except UnicodeDecodeError as e:
        raise GraphFileError(
            f"{path}: not a UTF-8 text edge list (byte {e.object[e.start]:#04x} at "
            f"offset {e.start})"
        ) from None
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or e}") from None
    return out


def _split(text: str, comma: bool) -> list[str]:
    if comma:
        return [field.strip() for field in next(csv.reader([text], skipinitialspace=True))]
    return text.split()


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


def read_edge_list(path: str, header: bool | None = None) -> EdgeList:
    """Read an edge list; ``header`` None detects a header line, True always
    skips the first data line, False never does."""
    try:
        size = os.path.getsize(path)
    except OSError as e:
        raise GraphFileError(f"{path}: {e.strerror or e}") from None
    if size >= FAST_PATH_MIN_BYTES and header is not True:
        fast = _read_numeric(path)
        if fast is not None:
            return fast
    lines = _data_lines(path)
    if not lines:
        raise GraphFileError(f"{path}: no edges found")
    comma = "," in lines[0][1]
    rows = [(number, _split(text, comma)) for number, text in lines]
    width = len(rows[0][1])
    skipped: str | None = None
    verdict = "data" if header is False else "header" if header else _first_line(rows)
    if verdict == "header":
        skipped = lines[0][1]
        rows = rows[1:]
        if not rows:
            raise GraphFileError(f"{path}: no edges found after the header line")
        width = len(rows[0][1])
    if width not in (2, 3):
        number = rows[0][0]
        raise GraphFileError(
            f"{path}:{number}: expected 2 or 3 columns (source target [weight]), found {width}"
        )
    sources: list[str] = []
    targets: list[str] = []
    weights: list[float] = []
    for number, fields in rows:
        if len(fields) != width:
            raise GraphFileError(
                f"{path}:{number}: found {len(fields)} columns, but the first edge has {width}"
            )
        sources.append(fields[0])
        targets.append(fields[1])
        if width == 3:
            try:
                weights.append(float(fields[2]))
            except ValueError:
                raise GraphFileError(
                    f"{path}:{number}: weight {fields[2]!r} is not a number"
                ) from None
    for number, fields in rows:
        if not fields[0] or not fields[1]:
            raise GraphFileError(f"{path}:{number}: empty node ID")
    if all(_INT.match(t) for t in sources) and all(_INT.match(t) for t in targets):
        src = _convert.id_array([int(t) for t in sources], "node IDs")
        dst = _convert.id_array([int(t) for t in targets], "node IDs")
    else:
        src = _convert.id_array(sources, "node IDs")
        dst = _convert.id_array(targets, "node IDs")
    w = np.array(weights, dtype=np.float64) if width == 3 else None
    return EdgeList(src, dst, w, skipped, lines[0][1] if verdict == "ambiguous" else None)


def _first_line(rows: list[tuple[int, list[str]]]) -> str:
    """Whether the first line is a "header", "data" or "ambiguous" (read as
    data, with a warning).

    Only a line of two or three words, none of them a number or empty, can
    be a header; anything else is data, and a faulty edge is reported as
    one. Three words are a header (a weight that is not a number is no edge).
    Two words are a header when every later ID is an integer, data when one
    of them is an ID again later, and ambiguous otherwise.
    """
    first = rows[0][1]
    if len(first) not in (2, 3) or not all(t and not _is_number(t) for t in first):
        return "data"
    if len(first) == 3:
        return "header"
    later = {t for _, fields in rows[1:] for t in fields[:2]}
    if later and all(_INT.match(t) for t in later):
        return "header"
    if first[0] in later or first[1] in later:
        return "data"
    return "ambiguous"


def _read_numeric(path: str) -> EdgeList | None:
    """NumPy's reader for integer IDs with optional float weights; None when
    the file is anything else (the line reader then explains what)."""
    first = None
    try:
        with open(path, encoding="utf-8-sig") as f:
            for line in f:
                cut = _COMMENT.search(line)
                text = (line[: cut.start()] if cut else line).strip()
                if text:
                    first = text
                    break
    except (OSError, UnicodeDecodeError):
        return None
    if first is None:
        return None
    comma = "," in first
    width = len(_split(first, comma))
    if width not in (2, 3):
        return None
    fields: list[tuple[str, Any]] = [("s", np.int64), ("t", np.int64)]
    if width == 3:
        fields.append(("w", np.float64))
    try:
        table = np.loadtxt(
            path,
            dtype=fields,
            comments=["#", "%"],
            delimiter="," if comma else None,
            ndmin=1,
            encoding="utf-8-sig",
        )
    except (ValueError, OverflowError, UnicodeDecodeError):
        return None
    weights = np.ascontiguousarray(table["w"]) if width == 3 else None
    return EdgeList(np.ascontiguousarray(table["s"]), np.ascontiguousarray(table["t"]), weights)


# --- any graph file ---------------------------------------------------------


def file_kind(path: str) -> str:
    name = path.lower()
    if name.endswith((".parquet", ".pq")):
        return "parquet"
    if name.endswith(".npy"):
        return "npy"
    return detect_format(path)


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
                raise ValueError(f"{path}: truncated at row {lo + part.shape[0] // width}")
            yield part.reshape(count, width)


def npy_columns(table: npt.NDArray[Any], path: str) -> tuple[Any, Any, Any]:
    src, dst = table[:, 0], table[:, 1]
    if table.dtype.kind == "f":
        ids = np.concatenate([src, dst])
        if not np.array_equal(ids, np.floor(ids)) or not np.isfinite(ids).all():
            raise ValueError(f"{path}: node IDs in the first two columns must be integers")
        src, dst = src.astype(np.int64), dst.astype(np.int64)
    weights = table[:, 2].astype(np.float64) if table.shape[1] == 3 else None
    return src, dst, weights


def read_entries(
    path: str, *, header: bool | None, nodes: Any = None, guard: Guard = no_guard
) -> Entries:
    """The entries of any graph file velmar reads, by its name: Matrix
    Market, SciPy .npz, a .npy array or a Parquet file of edges, or an edge
    list in text."""
    fmt = file_kind(path)
    if fmt == "mtx":
        return read_matrix_market(path, guard)
    if fmt == "npz":
        return read_npz(path, guard)
    if fmt == "npy":
        src, dst, w = npy_columns(read_npy_edges(path), path)
    elif fmt == "parquet":
        try:
            import pyarrow.parquet as pq  # noqa: PLC0415 (an optional extra, loaded on use)
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
        edges = read_edge_list(path, header=header)
        src, dst, w = edges.sources, edges.targets, edges.weights
    try:
        return _convert.from_edge_columns(src, dst, w, nodes=nodes, guard=guard)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None
