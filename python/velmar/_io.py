"""Graph files for the command line: edge lists, Matrix Market, SciPy .npz.

Edge lists are text, one edge per line: source and target, then optionally a
weight, separated by whitespace or commas. Everything from '#' or '%' to the
end of a line is a comment. Node IDs are integers when every ID parses as
one, otherwise strings. Every reader raises ``GraphFileError`` with a
one-line message that names the file (and the line where there is one).
"""

from __future__ import annotations

import csv
import dataclasses
import importlib
import os
import re
import sys
import zipfile
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _convert
from ._convert import CsrGraph

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


def read_matrix_market(path: str) -> CsrGraph:
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
            graph = _convert.from_scipy(matrix)
    except (TypeError, ValueError) as e:
        raise GraphFileError(f"{path}: {e}") from None
    if symmetry == "symmetric":
        graph = dataclasses.replace(graph, symmetric=True)
    return graph


def read_npz(path: str) -> CsrGraph:
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
        return _convert.from_scipy(matrix)
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
        with open(path, encoding="utf-8", newline="") as f:
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
    if header or (header is None and _looks_like_header(rows)):
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
    src, dst = _ids(sources), _ids(targets)
    if src.dtype.kind != dst.dtype.kind:
        src, dst = np.array(sources), np.array(targets)
    w = np.array(weights, dtype=np.float64) if width == 3 else None
    return EdgeList(src, dst, w, skipped)


def _looks_like_header(rows: list[tuple[int, list[str]]]) -> bool:
    """A first line is a header when its weight column is not a number, or
    when its IDs are not integers but every later ID is."""
    first = rows[0][1]
    if len(rows) < 2 or len(first) not in (2, 3):
        return False
    if len(first) == 3 and not _is_number(first[2]) and len(rows[1][1]) == 3:
        return _is_number(rows[1][1][2])
    if all(_INT.match(t) for t in first[:2]):
        return False
    return all(_INT.match(t) for _, fields in rows[1:] for t in fields[:2])


def _ids(tokens: list[str]) -> npt.NDArray[Any]:
    if all(_INT.match(t) for t in tokens):
        try:
            return np.array([int(t) for t in tokens], dtype=np.int64)
        except OverflowError:
            pass
    return np.array(tokens)


def _read_numeric(path: str) -> EdgeList | None:
    """NumPy's reader for integer IDs with optional float weights; None when
    the file is anything else (the line reader then explains what)."""
    first = None
    try:
        with open(path, encoding="utf-8") as f:
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
            encoding="utf-8",
        )
    except (ValueError, OverflowError, UnicodeDecodeError):
        return None
    weights = np.ascontiguousarray(table["w"]) if width == 3 else None
    return EdgeList(np.ascontiguousarray(table["s"]), np.ascontiguousarray(table["t"]), weights)
