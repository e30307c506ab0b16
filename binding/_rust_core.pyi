# Type stubs of the extension module _rust_core: the engine's three entry
# points. Each returns a new, writeable, C-contiguous float32 array of shape
# (number of nodes, dim); argument errors raise TypeError or ValueError, engine
# errors ValueError.

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

_Weights = Union[Sequence[SupportsFloat], npt.NDArray[Any]]
_Bool = Union[bool, np.bool_]

__all__: list[str]

def fit_dense(
    adj_matrix: npt.NDArray[np.float64],
    dim: SupportsIndex,
    weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
) -> npt.NDArray[np.float32]: ...
def fit_csr(
    row_ptrs: npt.NDArray[np.int64],
    col_indices: npt.NDArray[np.int64],
    values: npt.NDArray[np.float64],
    num_nodes: SupportsIndex,
    dim: SupportsIndex,
    weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
) -> npt.NDArray[np.float32]: ...
def fit_adj_list(
    adj_list: Sequence[Sequence[tuple[SupportsIndex, SupportsFloat]]],
    dim: SupportsIndex,
    iter_weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
) -> npt.NDArray[np.float32]: ...
