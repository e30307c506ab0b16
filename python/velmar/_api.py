"""The one-call interface: ``embed`` and ``set_num_threads``.

Every graph is converted to canonical CSR arrays (see _convert) and handed to
the engine's ``fit_csr``; the result array is the engine's own buffer, only
normalised in place when asked.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, Union, cast, overload

import _rust_core
import numpy as np
import numpy.typing as npt

from . import _convert, _memory, _results
from ._convert import CsrGraph, check_index
from ._prepared import PreparedGraph

Embedding = npt.NDArray[np.float32]
WeightsLike = Union[Sequence[float], npt.NDArray[np.floating[Any]]]

DEFAULT_WEIGHTS: tuple[float, ...] = (0.0, 1.0, 1.0)

_MAX_SEED = (1 << 64) - 1

# The engine's worker pool is created by the first embedding in the process
# and keeps its size until the process ends.
_embedding_started = False


def set_num_threads(num_threads: int) -> None:
    """Use ``num_threads`` worker threads for every embedding in this process.

    The worker pool is created by the first embedding and keeps its size for
    the life of the process, so this must be called before the first
    embedding; afterwards it raises RuntimeError. Results do not depend on
    the number of threads.
    """
    count = check_index(num_threads, "num_threads")
    if count < 1:
        raise ValueError(f"num_threads must be at least 1, got {count}")
    if _embedding_started:
        raise RuntimeError(
            "velmar.set_num_threads() must be called before the first embedding: the "
            "worker pool was created then and keeps its size for the life of the "
            "process (set RAYON_NUM_THREADS in the environment before starting "
            "Python instead)"
        )
    os.environ["RAYON_NUM_THREADS"] = str(count)


def check_params(
    dim: object, weights: object, seed: object, undirected: object, normalize: object
) -> tuple[int, list[float], int | None, bool]:
    """Validated (dim, weights, seed, undirected); raises TypeError/ValueError."""
    d = check_index(dim, "dim")
    if d < 1:
        raise ValueError(f"dim must be at least 1, got {d}")
    if isinstance(weights, (str, bytes)) or not hasattr(weights, "__iter__"):
        raise TypeError(f"weights must be a sequence of numbers, got {type(weights).__name__}")
    try:
        w = [float(x) for x in weights]
    except (TypeError, ValueError):
        raise TypeError(f"weights must be a sequence of numbers, got {weights!r}") from None
    if not w:
        raise ValueError("weights must hold at least one weight")
    if not finite_in_float32(w):
        raise ValueError(
            f"weights must be finite as 32-bit floats (at most about 3.4e38 in "
            f"magnitude), got {w}"
        )
    s: int | None = None
    if seed is not None:
        s = check_index(seed, "seed")
        if not 0 <= s <= _MAX_SEED:
            raise ValueError(f"seed must be between 0 and 2**64 - 1, got {s}")
    if not isinstance(undirected, (bool, np.bool_)):
        raise TypeError(f"undirected must be True or False, got {undirected!r}")
    if normalize not in (None, "l2"):
        raise ValueError(f"normalize must be None or 'l2', got {normalize!r}")
    return d, w, s, bool(undirected)


def finite_in_float32(values: list[float]) -> bool:
    """True when every value stays finite once the engine rounds it to float32."""
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(np.array(values, dtype=np.float32)).all())


def l2_normalize(x: Embedding) -> Embedding:
    """Scale each row to unit length in place; all-zero rows stay zero."""
    norms = np.sqrt(np.einsum("ij,ij->i", x, x, dtype=np.float64))[:, None]
    np.divide(x, norms, out=x, where=norms > 0, casting="same_kind")
    return x


def embed_csr(
    graph: CsrGraph,
    dim: int,
    weights: list[float],
    seed: int | None,
    undirected: bool,
    normalize: str | None,
) -> Embedding:
    """Embed a converted graph with validated parameters."""
    global _embedding_started
    undirected = undirected and not graph.symmetric
    _memory.check_memory(graph.num_nodes, graph.num_edges, dim, undirected)
    if undirected and _convert.cancels_under_symmetrization(graph):
        warnings.warn(
            f"every one of the graph's {graph.num_edges:,} edges cancels in A + Aᵀ "
            "(each weight is zero or the negative of its reverse edge's), so every "
            "propagation step gives zeros and only the weights[0] term remains; "
            "pass undirected=False (--directed on the command line) to use the "
            "edges as stored",
            RuntimeWarning,
            stacklevel=3,
        )
    _embedding_started = True
    result = _rust_core.fit_csr(
        graph.row_ptrs,
        graph.col_indices,
        graph.values,
        graph.num_nodes,
        dim,
        weights,
        seed=seed,
        undirected=undirected,
    )
    if normalize == "l2":
        l2_normalize(result)
    return result


def node_ids(graph: CsrGraph | PreparedGraph) -> npt.NDArray[Any]:
    """The node ID of each row (0..n-1 when the input had no IDs)."""
    if graph.nodes is None:
        return np.arange(graph.num_nodes, dtype=np.int64)
    return graph.nodes


@overload
def embed(
    graph: object,
    dim: int = ...,
    weights: WeightsLike = ...,
    *,
    seed: int | None = ...,
    undirected: bool = ...,
    normalize: Literal["l2"] | None = ...,
    return_nodes: Literal[False] = ...,
    nodes: Iterable[Any] | None = ...,
    source: Any = ...,
    target: Any = ...,
    weight: Any = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    progress: Callable[[int, int], object] | None = ...,
) -> Embedding: ...


@overload
def embed(
    graph: object,
    dim: int = ...,
    weights: WeightsLike = ...,
    *,
    seed: int | None = ...,
    undirected: bool = ...,
    normalize: Literal["l2"] | None = ...,
    return_nodes: Literal[True],
    nodes: Iterable[Any] | None = ...,
    source: Any = ...,
    target: Any = ...,
    weight: Any = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    progress: Callable[[int, int], object] | None = ...,
) -> tuple[Embedding, npt.NDArray[Any]]: ...


@overload
def embed(
    graph: object,
    dim: int = ...,
    weights: WeightsLike = ...,
    *,
    seed: int | None = ...,
    undirected: bool = ...,
    normalize: Literal["l2"] | None = ...,
    return_nodes: bool,
    nodes: Iterable[Any] | None = ...,
    source: Any = ...,
    target: Any = ...,
    weight: Any = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    progress: Callable[[int, int], object] | None = ...,
) -> Embedding | tuple[Embedding, npt.NDArray[Any]]: ...


def embed(
    graph: object,
    dim: int = 128,
    weights: WeightsLike = DEFAULT_WEIGHTS,
    *,
    seed: int | None = None,
    undirected: bool = True,
    normalize: Literal["l2"] | None = None,
    return_nodes: bool = False,
    nodes: Iterable[Any] | None = None,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
    out: str | os.PathLike[str] | None = None,
    block_columns: int | None = None,
    client: Any = None,
    progress: Callable[[int, int], object] | None = None,
) -> Embedding | tuple[Embedding, npt.NDArray[Any]]:
    """Embed a graph: one float32 row of length ``dim`` per node.

    ``graph`` may be a SciPy sparse matrix or array (any format), a dense
    square NumPy array, a networkx graph, a pandas DataFrame of edges, a
    tuple of edge columns ``(sources, targets[, weights])`` or a list of
    ``(source, target[, weight])`` edges. See docs/api.md for the row order
    of each form; ``return_nodes=True`` also returns the node ID of each row.

    ``weights[0]`` multiplies the random projection, ``weights[i]`` the
    projection after i propagation steps. With ``undirected=True`` the graph
    is replaced by A + Aᵀ (an undirected networkx graph is already symmetric
    and is used as stored). The same ``seed`` gives bit-identical results on
    every run and for any number of threads. ``normalize="l2"`` scales every
    row to unit length (rows of isolated nodes stay zero).

    ``graph`` may also be a prepared graph (``velmar.open_graph``), which
    is embedded as it was prepared: a directed one needs ``undirected=False``.

    ``out="x.zarr"`` or ``out="x.npy"`` writes the result to disk one block of
    ``block_columns`` columns at a time (default: the widest that fits in
    memory) and returns it opened (a Zarr array, or a read-only memory-mapped
    array). A run that was interrupted is finished by the same call: blocks
    already written are kept. ``client`` (a dask.distributed Client) runs
    one task per block on the cluster; it needs a prepared graph and a .zarr
    ``out`` on storage that every worker can reach. ``progress`` is called
    with (blocks done, blocks in all).

    Raises TypeError or ValueError for bad input and MemoryError, before
    anything large is allocated (the conversion of the input included), when
    the embedding cannot fit in the memory available to the process.
    """
    d, w, s, u = check_params(dim, weights, seed, undirected, normalize)
    converted: CsrGraph | PreparedGraph
    if isinstance(graph, PreparedGraph):
        _reject_prepared_options(nodes, source, target, weight)
        if u and not graph.symmetrized:
            raise ValueError(
                f"{graph.path} was prepared as a directed graph: embed it with "
                "undirected=False, or prepare it again with undirected=True"
            )
        converted, u = graph, False
    else:
        converted = _convert.to_csr_graph(
            graph,
            nodes=nodes,
            source=source,
            target=target,
            weight=weight,
            guard=_memory.conversion_guard(d, u),
        )
    if out is None:
        if client is not None or block_columns is not None or progress is not None:
            raise TypeError("client=, block_columns= and progress= apply to runs with out=")
        csr = converted.to_csr_graph() if isinstance(converted, PreparedGraph) else converted
        result: Any = embed_csr(csr, d, w, s, u, normalize)
    else:
        if normalize is not None:
            raise ValueError(
                "normalize= needs whole rows and cannot be used with out=; normalize the "
                "rows of the result afterwards"
            )
        if block_columns is not None:
            check_index(block_columns, "block_columns")
        result = _results.run_to_disk(
            converted, os.fspath(out), dim=d, weights=w, seed=s,
            undirected=u and not getattr(converted, "symmetric", False),
            block_columns=block_columns, client=client, progress=progress,
        )
    embedding = cast(Embedding, result)  # a Zarr array or a memory map with out=
    if return_nodes:
        return embedding, node_ids(converted)
    return embedding


def _reject_prepared_options(nodes: object, source: object, target: object,
                             weight: object) -> None:
    if nodes is not None or (source, target, weight) != ("source", "target", "weight"):
        raise TypeError("nodes=, source=, target= and weight= do not apply to a prepared graph")
