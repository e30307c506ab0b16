"""The one-call interface: ``embed`` and ``set_num_threads``.

Every graph is converted to CSR arrays (see _convert; SciPy CSR arrays as they
are) and handed to the package's engine module, which validates them once and
builds its compact graph (see _runner); the result array is the engine's own
buffer, only normalised in place when asked.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, Union, cast, overload

import numpy as np
import numpy.typing as npt

from . import _convert, _engine, _features, _memory, _results, _runner
from ._convert import CsrGraph, check_index
from ._prepared import PreparedGraph
from ._runner import NO_OPTIONS, Options

Embedding = npt.NDArray[np.float32]
WeightsLike = Union[Sequence[float], npt.NDArray[np.floating[Any]]]

DEFAULT_WEIGHTS: tuple[float, ...] = (0.0, 1.0, 1.0)

_MAX_SEED = (1 << 64) - 1

ProgressLike = Union[bool, Callable[[int, int], object], None]


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
    graph: CsrGraph | PreparedGraph,
    dim: int,
    weights: list[float],
    seed: int | None,
    undirected: bool,
    normalize: str | None,
    *,
    columns: tuple[int, int] | None = None,
    memory_limit: object = None,
    progress: ProgressLike = None,
    options: Options = NO_OPTIONS,
) -> Embedding:
    """Embed a converted or prepared graph with validated parameters."""
    undirected = undirected and not getattr(graph, "symmetric", False)
    result = _runner.run(
        graph,
        dim,
        weights,
        seed,
        undirected,
        columns=columns or (0, dim),
        memory_limit=memory_limit,
        progress=progress,
        options=options,
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
    columns: tuple[int, int] | None = ...,
    memory_limit: int | str | None = ...,
    progress: ProgressLike = ...,
    out: str | os.PathLike[str] | None = ...,
    block_columns: int | None = ...,
    client: Any = ...,
    normalization_strength: float = ...,
    step_normalize: Literal[False, "l2"] = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
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
    normalization_strength: float = ...,
    step_normalize: Literal[False, "l2"] = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
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
    normalization_strength: float = ...,
    step_normalize: Literal[False, "l2"] = ...,
    features: Any = ...,
    feature_dim: int | None = ...,
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
    normalization_strength: float = 0.0,
    step_normalize: Literal[False, "l2"] = False,
    features: Any = None,
    feature_dim: int | None = None,
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

    Three options tune quality (docs/guide.md, "Tuning for quality").
    ``normalization_strength=beta`` scales row i of the random projection by
    deg(i)**beta, deg(i) being the number of stored entries of row i after
    symmetrization (rows of isolated nodes stay unscaled); 0.0 gives the
    plain embedding. ``step_normalize="l2"`` scales every propagated matrix
    H_i (i >= 1) to unit row length before it is weighted and propagated
    again (zero rows stay zero); this couples the columns, so all of them are
    computed in one block, and a ``memory_limit``, ``columns=`` or
    ``block_columns=`` that cannot allow that is a ValueError.
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
    d, w, s, u = check_params(dim, weights, seed, undirected, normalize)
    cols = _runner.check_columns(columns, d)
    beta, step = _runner.check_options(normalization_strength, step_normalize)
    k = _features.check_feature_dim(features, feature_dim, d)
    if step and columns is not None and cols != (0, d):
        raise ValueError(
            f"step_normalize='l2' couples the columns: it computes all {d} of them at "
            f"once and cannot give columns={cols} alone; embed every column and take "
            "the slice"
        )
    if memory_limit is not None:
        _runner.parse_bytes(memory_limit)
    plan_args = guard_plan_args(beta, step, features, k)
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
            guard=_memory.conversion_guard(d, u, plan_args),
        )
    options = Options(
        beta, step, None if k == 0 else _features.prepare(features, converted.num_nodes, k)
    )
    if out is None:
        if client is not None or block_columns is not None:
            raise TypeError("client= and block_columns= apply to runs with out=")
        result: Any = embed_csr(
            converted, d, w, s, u, normalize, columns=cols, memory_limit=memory_limit,
            progress=progress, options=options,
        )
    else:
        if normalize is not None:
            raise ValueError(
                "normalize= needs whole rows and cannot be used with out=; normalize the "
                "rows of the result afterwards"
            )
        if columns is not None:
            raise TypeError("columns= does not apply to runs with out=; use block_columns=")
        if block_columns is not None:
            check_index(block_columns, "block_columns")
        result = _results.run_to_disk(
            converted, os.fspath(out), dim=d, weights=w, seed=s,
            undirected=u and not getattr(converted, "symmetric", False),
            block_columns=block_columns, client=client,
            progress=progress if callable(progress) else None, options=options,
            memory_limit=memory_limit,
        )
    embedding = cast(Embedding, result)  # a Zarr array or a memory map with out=
    if return_nodes:
        return embedding, node_ids(converted)
    return embedding


def guard_plan_args(
    beta: float, step: bool, features: object, feature_dim: int
) -> dict[str, Any]:
    """The options' part of the memory plan, before the graph is converted:
    the features' copy as their shape tells it."""
    f, copy = 0, 0
    if feature_dim:
        rows = 0 if isinstance(features, (int, np.integer)) else np.shape(cast(Any, features))[0]
        f, copy = _features.predicted_copy_bytes(features, int(rows))
    return {
        "scaled_rows": beta != 0.0,
        "num_features": f,
        "feature_dim": feature_dim,
        "input_copies": copy,
        "one_block": step,
    }


def _reject_prepared_options(nodes: object, source: object, target: object,
                             weight: object) -> None:
    if nodes is not None or (source, target, weight) != ("source", "target", "weight"):
        raise TypeError("nodes=, source=, target= and weight= do not apply to a prepared graph")
