"""The one-call interface: ``embed`` and ``set_num_threads``.

``embed`` builds the run record (_run) from its arguments, has the input
converted into the engine's graph (_convert; a prepared graph is used as it
is) and runs it in memory (_runner) or to disk (_results). The result array
is the engine's own buffer, only normalised in place when asked.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Literal, cast, overload

import numpy as np
import numpy.typing as npt

from . import _convert, _engine, _plan, _results, _runner
from ._checks import check_index
from ._graph import PreparedGraph
from ._run import DEFAULT_WEIGHTS, Run, WeightsLike
from ._watch import ProgressLike

Embedding = npt.NDArray[np.float32]

__all__ = ["DEFAULT_WEIGHTS", "Embedding", "WeightsLike", "embed", "set_num_threads"]


def set_num_threads(num_threads: int) -> None:
    """Use ``num_threads`` worker threads from the next embedding on.

    May be called at any time; results do not depend on the number of
    threads. The default is the number of CPUs the process may use
    (RAYON_NUM_THREADS in the environment overrides it).
    """
    count = check_index(num_threads, "num_threads")
    if count < 1:
        raise ValueError(f"num_threads must be at least 1, got {count}")
    _engine.set_num_threads(count)


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
    columns: tuple[int, int] | None = ...,
    memory_limit: int | str | None = ...,
    progress: ProgressLike = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    normalization_strength: float | str = ...,
    step_normalize: Literal[False, "l2"] = ...,
    step_center: bool = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
    method: Literal["projection", "spectral"] | None = ...,
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
    columns: tuple[int, int] | None = ...,
    memory_limit: int | str | None = ...,
    progress: ProgressLike = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    normalization_strength: float | str = ...,
    step_normalize: Literal[False, "l2"] = ...,
    step_center: bool = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
    method: Literal["projection", "spectral"] | None = ...,
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
    columns: tuple[int, int] | None = ...,
    memory_limit: int | str | None = ...,
    progress: ProgressLike = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    normalization_strength: float | str = ...,
    step_normalize: Literal[False, "l2"] = ...,
    step_center: bool = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
    method: Literal["projection", "spectral"] | None = ...,
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
    columns: tuple[int, int] | None = None,
    memory_limit: int | str | None = None,
    progress: ProgressLike = False,
    out: str | os.PathLike[str] | None = None,
    block_columns: int | None = None,
    client: Any = None,
    normalization_strength: float | str = 0.0,
    step_normalize: Literal[False, "l2"] = False,
    step_center: bool = False,
    features: Any = None,
    feature_dim: int | None = None,
    method: Literal["projection", "spectral"] | None = None,
) -> Embedding | tuple[Embedding, npt.NDArray[Any]]:
    """Embed a graph: one float32 row of length ``dim`` per node.

    ``graph`` may be a SciPy sparse matrix or array (any format), a dense
    square NumPy array, a networkx graph, a pandas DataFrame of edges, a
    tuple of edge columns ``(sources, targets[, weights])`` or a list of
    ``(source, target[, weight])`` edges. See docs/api.md for the row order
    of each form; ``return_nodes=True`` also returns the node ID of each row.

    With the projection, ``weights[0]`` multiplies the random projection, ``weights[i]`` the
    projection after i propagation steps. With ``undirected=True`` the graph
    is replaced by A + Aᵀ (an undirected networkx graph is already symmetric
    and is used as stored). The same ``seed`` gives bit-identical results on
    every run and for any number of threads. ``normalize="l2"`` scales every
    row to unit length (rows of isolated nodes stay zero).

    ``columns=(j0, j1)`` returns only those columns of the dim-column
    embedding, bit-identical to the same columns of the full result.
    ``memory_limit`` (bytes, or a string such as "4GB"; default: the memory
    available to the process) makes the engine compute the columns in
    narrower blocks where the width it prefers on this machine (all
    columns for a graph whose working matrix fits half the last-level
    cache, else 64) would not fit. ``progress=True`` shows progress over column
    blocks × steps on stderr (tqdm where installed); a callable receives
    ``(done, total)``. Ctrl-C stops the run within a fraction of a second
    and raises KeyboardInterrupt.

    ``graph`` may also be a prepared graph (``velmar.open_graph``), which
    is embedded as it was prepared: a directed one needs ``undirected=False``.

    ``out="x.zarr"`` or ``out="x.npy"`` writes the result to disk one block of
    ``block_columns`` columns at a time (default: the widest, up to the
    engine's preferred width, whose block run fits in ``memory_limit``, or in half the memory
    available without one) and returns it opened (a Zarr array, or a read-only memory-mapped
    array). A run that was interrupted is finished by the same call: blocks
    already written are kept. ``client`` (a dask.distributed Client) runs
    one task per block on the cluster; it needs a prepared graph and a .zarr
    ``out`` on storage that every worker can reach. With ``out``, a
    callable ``progress`` is called with (blocks done, blocks in all).

    ``method`` chooses how the embedding is computed; without it, the
    spectral method in memory and the projection with ``out=``.
    ``"projection"`` propagates a sparse random projection along the edges
    (``weights`` and the options below tune it; it also runs in column
    blocks, to disk and on Dask). ``"spectral"`` combines the leading eigenvectors of the normalised
    adjacency with a truncated SVD of a log-proximity matrix on the edges,
    filters them once with a band-pass polynomial of the graph and reduces
    them to ``dim`` columns (docs/guide.md, "Choosing a method"): better
    embeddings for node classification, computed in memory, every column at
    once, for an undirected graph with non-negative weights. It takes none of
    the projection's options (weights=, normalization_strength=,
    step_normalize=, step_center=, features=, columns=, out=, client=,
    block_columns=: a
    ValueError says so and that method="projection" takes them).

    Four options tune the projection's quality (docs/guide.md, "Tuning for
    quality").
    ``normalization_strength=beta`` scales row i of the random projection by
    deg(i)**beta, deg(i) being the number of stored entries of row i after
    symmetrization (rows of isolated nodes stay unscaled); 0.0 gives the
    plain embedding. ``step_normalize="l2"`` scales every propagated matrix
    H_i (i >= 1) to unit row length before it is weighted and propagated
    again (zero rows stay zero); this couples the columns, so all of them are
    computed in one block, and a ``memory_limit``, ``columns=`` or
    ``block_columns=`` that cannot allow that is a ValueError.
    ``step_center=True`` takes from every H_i (i >= 0, after its unit rows)
    the mean of each column weighted by the rows' degrees: the component along
    the walk's stationary direction, which every step keeps while it shrinks
    the rest, and which swamps the rest on dense graphs. Rows of isolated
    nodes are left as they are; each column's mean is its own, so column
    blocks keep their bits.
    ``features=X`` (n × f, a NumPy array or a SciPy sparse matrix) with
    ``feature_dim=k`` makes the last k columns of the initial matrix X·R, R
    being an f × k sparse random sign matrix drawn from the seed (scaled by
    deg**beta like the rest of the row); X is read in place when it is
    float32 with contiguous rows or a float32 CSR matrix with sorted
    indices, and copied to that form otherwise. Every option keeps the
    bit-identity over thread counts, and the feature and beta options over
    column blocks.

    Raises TypeError or ValueError for bad input and MemoryError, before
    anything large is allocated (the conversion of the input included), when
    the embedding cannot fit in the memory available to the process (or in
    ``memory_limit``).
    """
    run = Run.from_arguments(
        dim=dim,
        weights=weights,
        seed=seed,
        undirected=undirected,
        normalize=normalize,
        columns=columns,
        memory_limit=memory_limit,
        normalization_strength=normalization_strength,
        step_normalize=step_normalize,
        step_center=step_center,
        features=features,
        feature_dim=feature_dim,
        out=out,
        block_columns=block_columns,
        client=client,
        progress=progress,
        method=method,
    )
    handle = graph_of(graph, run, nodes=nodes, source=source, target=target, weight=weight)
    # A Zarr array or a memory map with out=.
    result = cast(Embedding, run_on(handle, run))
    if return_nodes:
        return result, handle.node_ids()
    return result


def graph_of(
    graph: object,
    run: Run,
    *,
    nodes: Iterable[Any] | None = None,
    source: Any = "source",
    target: Any = "target",
    weight: Any = "weight",
    stacklevel: int = 3,
) -> PreparedGraph:
    """The graph handle of any input: a prepared graph as it is (it must
    have been prepared undirected for an undirected run), anything else
    converted and built for the run."""
    if isinstance(graph, PreparedGraph):
        if nodes is not None or (source, target, weight) != ("source", "target", "weight"):
            raise TypeError("nodes=, source=, target= and weight= do not apply to a prepared graph")
        if run.undirected and not graph.symmetrized:
            raise ValueError(
                f"{graph.path} was prepared as a directed graph: embed it with "
                "undirected=False, or prepare it again with undirected=True"
            )
        return graph
    return _convert.to_graph(
        graph,
        undirected=run.undirected,
        nodes=nodes,
        source=source,
        target=target,
        weight=weight,
        guard=_plan.conversion_guard(run),
        keep_values=run.method == "spectral",
        stacklevel=stacklevel + 1,
    )


def run_on(graph: PreparedGraph, run: Run) -> Any:
    """The embedding of a graph handle: in memory, normalised when asked, or
    written to disk and returned opened (a Zarr array, or a read-only
    memory-mapped array)."""
    run = run.bind(graph.num_nodes).with_graph(graph.indptr)
    if run.out is not None:
        return _results.run_to_disk(graph, run)
    result = _runner.embed(graph, run)
    if run.normalize == "l2":
        _runner.l2_normalize(result)
    return result
