"""Fast, exactly reproducible node embeddings of large weighted graphs.

``velmar.embed(graph)`` takes a SciPy sparse matrix, a dense NumPy adjacency
matrix, a networkx graph, a pandas DataFrame of edges or edge columns with
any node IDs, and returns a float32 array with one row per node. The same
seed gives bit-identical results on every run and for any number of threads.
"""

from __future__ import annotations

from ._api import embed, set_num_threads
from ._estimator import VelmarEmbedding
from ._graph import PreparedGraph
from ._plan import estimate_memory
from ._prepared import prepare
from ._results import CorruptResultError, OutputInUseError, RunMismatchError, open_result
from ._store import GraphFormatError, UnverifiedGraphWarning, open_graph
from ._version import __version__

__all__ = [
    "CorruptResultError",
    "GraphFormatError",
    "OutputInUseError",
    "PreparedGraph",
    "RunMismatchError",
    "UnverifiedGraphWarning",
    "VelmarEmbedding",
    "__version__",
    "embed",
    "estimate_memory",
    "open_graph",
    "open_result",
    "prepare",
    "set_num_threads",
]
