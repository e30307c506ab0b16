"""Node features for the initial matrix, checked and put in the form the engine
reads: float32 rows, or sorted CSR arrays with float32 values and int64 row
pointers. Inputs already in that form are used in place; anything else is
copied once, and the copy's size goes into the memory plan.

SciPy is imported only when the features are a SciPy sparse matrix or array.
"""

from __future__ import annotations

import hashlib
import importlib
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from ._checks import check_index, check_sparse_structure


@dataclass(frozen=True)
class Features:
    """Features as the engine takes them (``arg``), with their shape and the
    bytes copied to get there."""

    arg: npt.NDArray[np.float32] | tuple[Any, Any, Any, int]
    num_nodes: int
    num_features: int
    feature_dim: int
    copy_bytes: int

    def fingerprint(self) -> str:
        """A digest of the values, for the record of a run on disk."""
        digest = hashlib.blake2b(digest_size=16)
        digest.update(np.array([self.num_nodes, self.num_features], np.int64).tobytes())
        arrays = self.arg[:3] if isinstance(self.arg, tuple) else (self.arg,)
        for array in arrays:
            digest.update(np.ascontiguousarray(array).data)
        return digest.hexdigest()


def _sparse_module(x: object) -> Any:
    """scipy.sparse when x is one of its matrices or arrays, else None."""
    if not type(x).__module__.startswith("scipy.sparse"):
        return None
    sp = importlib.import_module("scipy.sparse")
    return sp if sp.issparse(x) else None


def check_feature_dim(features: object, feature_dim: object, dim: int) -> int:
    """k, validated against dim; 0 without features."""
    if features is None:
        if feature_dim is not None:
            raise TypeError("feature_dim= applies only with features=")
        return 0
    if feature_dim is None:
        raise TypeError("features= needs feature_dim=, the number of columns they fill")
    k = check_index(feature_dim, "feature_dim")
    if not 0 < k <= dim:
        raise ValueError(f"feature_dim must be between 1 and dim ({dim}), got {k}")
    # Before the memory plan asks SciPy about them.
    if _sparse_module(features) is not None:
        check_sparse_structure(features, "features")
    return k


def _check_dtype(dtype: np.dtype[Any]) -> None:
    if dtype.kind not in "biuf":
        raise TypeError(f"features must hold real numbers, got dtype {dtype}")


def _check_rows(rows: int, num_nodes: int) -> None:
    if rows != num_nodes:
        raise ValueError(f"features have {rows:,} rows for a graph of {num_nodes:,} nodes")


def _usable_dense(x: object) -> bool:
    """A float32 array the engine reads in place: native order, aligned,
    contiguous rows, non-negative row stride."""
    if not isinstance(x, np.ndarray) or x.ndim != 2 or x.dtype != np.float32:
        return False
    if not x.dtype.isnative or not x.flags.aligned:
        return False
    return (x.shape[1] <= 1 or x.strides[1] == 4) and (x.shape[0] <= 1 or x.strides[0] >= 0)


def prepare(features: object, num_nodes: int, feature_dim: int) -> Features:
    """Features for a graph of num_nodes nodes; TypeError or ValueError for a
    wrong shape or dtype (the engine checks that every value is finite)."""
    sp = _sparse_module(features)
    if sp is not None:
        return _prepare_sparse(sp, features, num_nodes, feature_dim)
    x: npt.NDArray[Any]
    if isinstance(features, np.ndarray) and _usable_dense(features):
        x = features
    else:
        try:
            x = np.asarray(features)
        except (TypeError, ValueError) as e:
            raise TypeError(
                f"features must be a 2-D array or a SciPy sparse matrix ({e})"
            ) from None
    if x.ndim != 2:
        raise ValueError(f"features must be 2-D (nodes × features), got {x.ndim} dimension(s)")
    _check_dtype(x.dtype)
    _check_rows(x.shape[0], num_nodes)
    copy = 0
    if not _usable_dense(x):
        with np.errstate(over="ignore", invalid="ignore"):  # beyond float32: the engine refuses it
            x = np.ascontiguousarray(x, dtype=np.float32)
        copy = x.nbytes
    return Features(x, num_nodes, x.shape[1], feature_dim, copy)


def _prepare_sparse(sp: Any, x: Any, num_nodes: int, feature_dim: int) -> Features:
    if x.ndim != 2:
        raise ValueError(f"features must be 2-D (nodes × features), got {x.ndim} dimension(s)")
    check_sparse_structure(x, "features")
    _check_dtype(x.dtype)
    _check_rows(x.shape[0], num_nodes)
    originals = (x.indptr, x.indices, x.data) if x.format == "csr" else ()
    if x.format == "csr" and x.dtype == np.float32 and x.has_canonical_format:
        indptr, indices, data = x.indptr, x.indices, x.data
    else:
        # Duplicates are summed in float64 and rounded once to float32.
        y = sp.csr_matrix(x, dtype=np.float64, copy=True)
        y.sum_duplicates()
        with np.errstate(over="ignore", invalid="ignore"):
            data = y.data.astype(np.float32)
        indptr, indices = y.indptr, y.indices
    indices = indices if indices.dtype in (np.int32, np.int64) else indices.astype(np.int64)
    final = (
        np.ascontiguousarray(indptr, dtype=np.int64),
        np.ascontiguousarray(indices),
        np.ascontiguousarray(data),
    )
    copy = sum(a.nbytes for a in final if not any(a is o for o in originals))
    return Features((*final, int(x.shape[1])), num_nodes, int(x.shape[1]), feature_dim, copy)


def predicted_copy_bytes(features: object, num_nodes: int) -> tuple[int, int]:
    """(number of features, bytes that prepare would copy) without copying."""
    if isinstance(features, (int, np.integer)) and not isinstance(features, bool):
        return int(features), 0
    sp = _sparse_module(features)
    if sp is not None:
        x: Any = features
        f = int(x.shape[1])
        indptr = (
            0
            if getattr(x, "indptr", np.empty(0, np.int64)).dtype == np.int64
            else 8 * (num_nodes + 1)
        )
        if x.format == "csr" and x.dtype == np.float32 and x.has_canonical_format:
            return f, indptr
        index = 4 if max(int(x.nnz), num_nodes, f) < 2**31 else 8
        return f, 8 * (num_nodes + 1) + (4 + index) * int(x.nnz)
    shape = np.shape(cast(Any, features))
    if _usable_dense(features):
        return int(shape[1]), 0
    f = int(shape[1]) if len(shape) == 2 else 0
    return f, 4 * num_nodes * f
