"""Type stubs of the package's engine module (binding/engine_module.cpp)."""

from typing import Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

class Cancelled(Exception): ...

class Graph:
    @property
    def num_nodes(self) -> int: ...
    @property
    def num_entries(self) -> int: ...
    def arrays(
        self,
    ) -> Tuple[npt.NDArray[np.int64], npt.NDArray[Union[np.uint32, np.int64]], npt.NDArray[np.float32]]: ...

class RunControl:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    def progress(self) -> Tuple[int, int]: ...

def build_graph(
    row_ptrs: npt.NDArray[Union[np.int32, np.int64]],
    col_indices: npt.NDArray[Union[np.int32, np.uint32, np.int64]],
    values: npt.NDArray[np.float64],
    num_nodes: int,
    undirected: bool,
    control: Optional[RunControl] = None,
) -> Optional[Graph]: ...
def open_graph(
    row_ptrs: npt.NDArray[np.int64],
    col_indices: npt.NDArray[Union[np.uint32, np.int64]],
    scales: npt.NDArray[np.float32],
    num_nodes: int,
) -> Graph: ...
def embed(
    graph: Graph,
    dim: int,
    weights: Sequence[float],
    seed: Optional[int] = None,
    columns: Optional[Tuple[int, int]] = None,
    block: Optional[int] = None,
    out: Optional[npt.NDArray[np.float32]] = None,
    control: Optional[RunControl] = None,
    normalization_strength: float = 0.0,
    step_normalize: bool = False,
    features: Union[
        npt.NDArray[np.float32],
        Tuple[npt.NDArray[np.int64], npt.NDArray[Union[np.int32, np.int64]], npt.NDArray[np.float32], int],
        None,
    ] = None,
    feature_dim: Optional[int] = None,
    row_offset: int = 0,
    row_map: Optional[npt.NDArray[np.int64]] = None,
) -> npt.NDArray[np.float32]: ...
PREFERRED_BLOCK: int

def memory_plan(
    num_nodes: int,
    num_entries: int,
    columns: int,
    block: Optional[int] = None,
    undirected: bool = True,
    out_entries: Optional[int] = None,
    result_owned: bool = True,
    row_ptrs_32bit: bool = False,
    limit: Optional[int] = None,
    scaled_rows: bool = False,
    num_features: int = 0,
    feature_dim: int = 0,
    input_copies: int = 0,
    one_block: bool = False,
    reordered: bool = False,
    opened_entries: int = 0,
) -> dict[str, int]: ...
def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...
