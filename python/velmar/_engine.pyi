"""Type stubs of the package's engine module (binding/engine_module.cpp)."""

import mmap
from collections.abc import Sequence
from typing import Any, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

class Cancelled(Exception): ...

class Graph:
    @property
    def num_nodes(self) -> int: ...
    @property
    def num_entries(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def arrays(
        self,
    ) -> tuple[
        npt.NDArray[np.int64], npt.NDArray[Union[np.uint32, np.int64]], npt.NDArray[np.float32]
    ]: ...
    def values(self) -> Optional[npt.NDArray[np.float64]]: ...

class Settings:
    @property
    def dim(self) -> int: ...

class RunControl:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    def progress(self) -> tuple[int, int]: ...

def build_graph(
    row_ptrs: npt.NDArray[Union[np.int32, np.int64]],
    col_indices: npt.NDArray[Union[np.int32, np.uint32, np.int64]],
    values: npt.NDArray[np.float64],
    num_nodes: int,
    undirected: bool,
    control: Optional[RunControl] = None,
    keep_values: bool = False,
) -> Graph: ...
def build_graph_coo(
    rows: npt.NDArray[Union[np.int32, np.int64]],
    col_indices: npt.NDArray[Union[np.int32, np.uint32, np.int64]],
    values: npt.NDArray[np.float64],
    num_nodes: int,
    undirected: bool,
    control: Optional[RunControl] = None,
    keep_values: bool = False,
) -> Graph: ...
def open_graph(
    row_ptrs: npt.NDArray[np.int64],
    col_indices: npt.NDArray[Union[np.uint32, np.int64]],
    scales: npt.NDArray[np.float32],
    num_nodes: int,
    row_map: Optional[npt.NDArray[np.int64]] = None,
    values: Optional[npt.NDArray[np.float64]] = None,
) -> Graph: ...
def merge_sorted(
    rows: npt.NDArray[np.int64],
    col_indices: npt.NDArray[np.int64],
    sides: npt.NDArray[np.int64],
    values: npt.NDArray[np.float64],
    undirected: bool,
) -> int: ...
def entry_scales(
    row_ptrs: npt.NDArray[np.int64], values: npt.NDArray[np.float64]
) -> npt.NDArray[np.float32]: ...
def settings(
    dim: int,
    weights: Sequence[float],
    seed: Optional[int] = None,
    normalization_strength: float = 0.0,
    step_normalize: bool = False,
    features: Union[
        npt.NDArray[np.float32],
        tuple[
            npt.NDArray[np.int64],
            npt.NDArray[Union[np.int32, np.int64]],
            npt.NDArray[np.float32],
            int,
        ],
        None,
    ] = None,
    feature_dim: Optional[int] = None,
    row_offset: int = 0,
    degrees: Optional[npt.NDArray[np.int64]] = None,
    method: Literal["projection", "spectral"] = "projection",
    step_center: bool = False,
) -> Settings: ...
def embed(
    graph: Graph,
    settings: Settings,
    columns: Optional[tuple[int, int]] = None,
    block: Optional[int] = None,
    out: Optional[npt.NDArray[np.float32]] = None,
    control: Optional[RunControl] = None,
) -> npt.NDArray[np.float32]: ...
def check(graph: Graph, settings: Settings) -> None: ...

PREFERRED_BLOCK: int

def memory_plan(
    graph_shape: tuple[int, int, bool, bool, bool, int, bool, int],
    run_shape: tuple[bool, int, int, int, bool, bool, bool],
    columns: int,
    block: Optional[int] = None,
    limit: Optional[int] = None,
    result: Literal["whole", "block", "caller"] = "whole",
) -> dict[str, int]: ...

_Fault = tuple[str, int, int, int, int, str]
_Layout = tuple[bool, int, str, int, int, int, int, str, int]
_Bytes = Union[bytes, bytearray, memoryview, mmap.mmap]

def read_edge_text(
    data: _Bytes, header: Optional[bool] = None, control: Optional[RunControl] = None
) -> tuple[
    Optional[_Fault],
    _Layout,
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[Union[np.int64, np.uint64, np.uint32]],
]: ...
def scan_edge_text(
    data: _Bytes, header: Optional[bool] = None, control: Optional[RunControl] = None
) -> tuple[Optional[_Fault], _Layout]: ...
def split_edge_text(
    data: _Bytes,
    layout: _Layout,
    offset: int,
    line: int,
    max_edges: int,
    control: Optional[RunControl] = None,
) -> tuple[Optional[_Fault], int, int, int, Any, Any, npt.NDArray[np.float64]]: ...

CRC32C: str

def checksums(
    data: Union[npt.NDArray[np.generic], bytes, memoryview],
    chunk_bytes: int,
    control: Optional[RunControl] = None,
) -> npt.NDArray[np.uint32]: ...
def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...
