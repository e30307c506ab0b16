"""Checks and conversions of argument values, shared by every layer.

Nothing here knows about graphs or the engine: integers through
``__index__``, byte counts such as "4GB", what a float32 can hold, and the
arrays of a SciPy sparse matrix.
"""

from __future__ import annotations

import operator
import re
from fractions import Fraction
from typing import Any

import numpy as np
import numpy.typing as npt

_UNITS = {"": 1, "b": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}
_BINARY = {"ki": 1 << 10, "mi": 1 << 20, "gi": 1 << 30, "ti": 1 << 40}
_BYTES_RE = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?)\s*([kmgt]i?)?b?\s*$", re.IGNORECASE)


def check_index(value: object, what: str) -> int:
    """An integer argument (bool excluded), via ``__index__``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}") from None


def parse_bytes(value: object, what: str = "memory_limit") -> int:
    """Bytes from an int or a string such as "4GB", "512MiB", "1.5G"."""
    if isinstance(value, str):
        match = _BYTES_RE.match(value)
        if match is None:
            raise ValueError(f"{what} must be a number of bytes such as '4GB', got {value!r}")
        unit = (match.group(2) or "").lower()
        scale = _BINARY[unit] if unit in _BINARY else _UNITS[unit]
        # Exact, whatever the size: a float would overflow for long digit strings.
        return int(Fraction(match.group(1)) * scale)
    count = check_index(value, what)
    if count < 0:
        raise ValueError(f"{what} must not be negative, got {count}")
    return count


def format_bytes(count: int) -> str:
    if count < 1024:
        return f"{count} bytes"
    size = count / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if size < 1024:
            return f"{size:.1f} {unit}"
        size /= 1024
    return f"{size:.1f} TiB"


def finite_in_float32(values: list[float]) -> bool:
    """True when every value stays finite once the engine rounds it to float32."""
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(np.array(values, dtype=np.float32)).all())


def check_sparse_structure(x: Any, what: str) -> None:
    """ValueError when the arrays of a SciPy sparse matrix contradict each
    other or its shape. Reads the arrays only: SciPy's own routines trust
    them, and given an index pointer beyond the indices they read out of
    bounds and may crash the process. Unsorted and duplicate entries pass."""
    shape = tuple(int(s) for s in x.shape)
    fmt = x.format
    if len(shape) != 2:
        return  # refused by the caller's check of the dimensions
    if fmt in ("csr", "csc"):
        major, minor = shape if fmt == "csr" else (shape[1], shape[0])
        index = "column" if fmt == "csr" else "row"
        _check_compressed(x.indptr, x.indices, x.data, major, minor, index, shape, what)
    elif fmt == "bsr":
        r, c = (int(b) for b in x.blocksize)
        data = _array(x.data, what, "data")
        if r < 1 or c < 1 or shape[0] % r or shape[1] % c or data.shape[1:] != (r, c):
            raise ValueError(
                f"{what} is corrupt: its blocks of {data.shape[1:]} do not tile its "
                f"shape {shape} in blocks of {(r, c)}"
            )
        _check_compressed(
            x.indptr, x.indices, data, shape[0] // r, shape[1] // c, "block column", shape, what
        )
    elif fmt == "coo":
        coords = getattr(x, "coords", None) or (x.row, x.col)
        data = _array(x.data, what, "data")
        for axis, name in enumerate(("row", "column")):
            indices = _index_array(coords[axis], what, f"{name} indices")
            if indices.shape[0] != data.shape[0]:
                raise ValueError(
                    f"{what} is corrupt: {indices.shape[0]} {name} indices for "
                    f"{data.shape[0]} values"
                )
            _check_range(indices, shape[axis], name, shape, what)
    elif fmt == "dia":
        data = _array(x.data, what, "data", ndim=2)
        offsets = _index_array(x.offsets, what, "offsets")
        if offsets.shape[0] != data.shape[0]:
            raise ValueError(
                f"{what} is corrupt: {offsets.shape[0]} offsets for {data.shape[0]} diagonals"
            )
    elif fmt == "lil":
        rows, values = x.rows, x.data
        if len(rows) != shape[0] or len(values) != shape[0]:
            raise ValueError(f"{what} is corrupt: its rows do not match its shape {shape}")
        for i, (cols, vals) in enumerate(zip(rows, values)):
            if len(cols) != len(vals) or any(
                not isinstance(c, (int, np.integer)) or not 0 <= c < shape[1] for c in cols
            ):
                raise ValueError(
                    f"{what} is corrupt: row {i} has column indices out of range for "
                    f"its shape {shape}, or not one per value"
                )


def _array(a: Any, what: str, name: str, ndim: int | None = None) -> npt.NDArray[Any]:
    if not isinstance(a, np.ndarray) or (ndim is not None and a.ndim != ndim) or a.ndim == 0:
        raise ValueError(f"{what} is corrupt: its {name} are not an array of the right shape")
    return a


def _index_array(a: Any, what: str, name: str) -> npt.NDArray[Any]:
    if not isinstance(a, np.ndarray) or a.ndim != 1 or a.dtype.kind not in "iu":
        raise ValueError(f"{what} is corrupt: its {name} are not a 1-D array of integers")
    return a


def _check_range(
    indices: npt.NDArray[Any], bound: int, name: str, shape: tuple[int, ...], what: str
) -> None:
    if indices.shape[0] == 0:
        return
    lo, hi = int(indices.min()), int(indices.max())
    if lo < 0 or hi >= bound:
        raise ValueError(
            f"{what} is corrupt: {name} index {lo if lo < 0 else hi} is out of range for "
            f"its shape {shape}"
        )


def _check_compressed(
    indptr: Any,
    indices: Any,
    data: Any,
    major: int,
    minor: int,
    name: str,
    shape: tuple[int, ...],
    what: str,
) -> None:
    ptr = _index_array(indptr, what, "index pointers (indptr)")
    idx = _index_array(indices, what, "indices")
    values = _array(data, what, "data")
    if ptr.shape[0] != major + 1:
        raise ValueError(
            f"{what} is corrupt: its indptr has {ptr.shape[0]} elements for {major} "
            f"rows or columns (shape {shape})"
        )
    if int(ptr[0]) != 0 or not bool((ptr[1:] >= ptr[:-1]).all()):
        raise ValueError(f"{what} is corrupt: its indptr must start at 0 and never decrease")
    nnz = int(ptr[-1])
    if nnz > idx.shape[0] or nnz > values.shape[0]:
        raise ValueError(
            f"{what} is corrupt: its indptr ends at {nnz}, beyond its "
            f"{idx.shape[0]} indices and {values.shape[0]} values"
        )
    _check_range(idx[:nnz], minor, name, shape, what)
