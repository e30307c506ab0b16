"""Running the engine over a graph: columns of an embedding, in memory.

The block width comes from the memory plan; the run itself goes to the
engine on a watched thread (Ctrl-C stops it, progress shows), and the result
array is the engine's own buffer, or the caller's ``out``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from . import _engine, _plan
from ._graph import PreparedGraph
from ._run import Run
from ._watch import watched

Embedding = npt.NDArray[np.float32]


def embed(
    graph: PreparedGraph,
    run: Run,
    columns: tuple[int, int] | None = None,
    *,
    block: int | None = None,
    progress: Any = None,
) -> Embedding:
    """Columns [j0, j1) of the embedding of `graph` (run.column_range by
    default), bit-identical to the same columns of the full result, in
    blocks of `block` columns (by default the widest the memory plan
    allows)."""
    j0, j1 = columns if columns is not None else run.column_range
    if block is None:
        block = _plan.block_width(_plan.shape_of(graph, run), run, j1 - j0, graph.num_entries)
    settings = run.engine_settings()
    if run.method == "spectral":
        # The spectral method reads the weights: a prepared graph's are
        # verified against their checksums first.
        graph.values  # noqa: B018

    def work(control: Any) -> Embedding:
        result: Embedding = _engine.embed(graph.engine, settings, (j0, j1), block, None, control)
        return result

    result: Embedding = watched(work, run.progress if progress is None else progress)
    return result


def l2_normalize(x: Embedding) -> Embedding:
    """Scale each row to unit length in place; all-zero rows stay zero."""
    norms = np.sqrt(np.einsum("ij,ij->i", x, x, dtype=np.float64))[:, None]
    np.divide(x, norms, out=x, where=norms > 0, casting="same_kind")
    return x
