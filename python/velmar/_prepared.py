"""Preparing a graph once, for fast embedding many times.

``prepare`` reads any graph (a file of edges, a Matrix Market or SciPy
file, or any in-memory graph ``embed`` accepts), has the engine build it as
``embed`` would, and writes the engine's arrays into a directory
(``_store``); edge lists larger than memory are sorted on disk with DuckDB
(``_stream``). ``reorder=True`` then stores the rows in a locality order.
"""

from __future__ import annotations

import os
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from . import _convert, _graph, _io, _memory, _order, _store, _stream
from ._checks import parse_bytes
from ._graph import PreparedGraph
from ._store import GraphFormatError, open_graph

__all__ = ["GraphFormatError", "PreparedGraph", "open_graph", "prepare"]


def prepare(
    source: object,
    out: str | os.PathLike[str],
    *,
    undirected: bool = True,
    stream: bool | None = None,
    memory_limit: int | str | None = None,
    overwrite: bool = False,
    header: bool | None = None,
    nodes: Any = None,
    reorder: bool = False,
) -> PreparedGraph:
    """Prepares a graph once, for fast embedding many times; returns it opened.

    ``source`` is a path (an edge list in CSV/TSV or whitespace-separated
    text, a Parquet file of edges, a ``.npy`` array of (source, target) or
    (source, target, weight) rows, a Matrix Market ``.mtx`` file or a SciPy
    ``.npz``) or any in-memory graph ``embed`` accepts. With ``undirected``
    the stored graph is A + Aᵀ, computed exactly as ``embed`` computes it.

    ``stream=True`` (or None for edge lists larger than a quarter of the
    available memory) reads edge lists in chunks and sorts them with DuckDB
    on disk (the ``duckdb`` and ``pyarrow`` extras), so the edge list need not
    fit in memory; ``memory_limit`` then bounds the preparation's memory
    (DuckDB gets nine tenths of it).

    ``reorder=True`` stores the rows in a locality order (nodes grouped by
    five passes of label propagation) with the order beside them. Embedding
    it gives the same bits, rows in node order, with one more n x block
    working matrix; on graphs with communities a step runs up to about 2.4
    times as fast. Computing the order holds the stored graph's rows and
    columns in memory and costs a few propagation steps.
    """
    if not isinstance(undirected, (bool, np.bool_)):
        raise TypeError(f"undirected must be True or False, got {undirected!r}")
    directory = os.fspath(out)
    is_path = isinstance(source, (str, os.PathLike))
    if is_path:
        path = os.fspath(cast("str | os.PathLike[str]", source))
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such file")
        fmt = _io.file_kind(path)
        if stream is None:
            available = _memory.available_memory()
            stream = (
                fmt in ("edges", "parquet", "npy")
                and available is not None
                and os.path.getsize(path) > available[0] // 4
            )
        if stream and fmt not in ("edges", "parquet", "npy"):
            raise ValueError(f"{path}: only edge lists (text, Parquet, .npy) can be streamed")
        if nodes is not None and fmt in ("mtx", "npz"):
            raise TypeError("nodes= applies to edge lists, not to Matrix Market or .npz files")
    elif stream:
        raise ValueError("stream=True applies to edge-list files, not to in-memory graphs")
    _store.prepare_directory(directory, overwrite)
    # A reordered graph gets its header only once its rows are in order: an
    # interrupted preparation never leaves a graph that opens, nor one that
    # a second run would refuse to replace.
    if is_path and stream:
        unordered = _stream.prepare_stream(
            path,
            fmt,
            directory,
            undirected=bool(undirected),
            memory_limit=None if memory_limit is None else parse_bytes(memory_limit),
            header=header,
            nodes=nodes,
            write_header=not reorder,
        )
        if reorder:
            arrays = {
                name: np.load(os.path.join(directory, name + ".npy"), mmap_mode="r")
                for name in ("indptr", "indices", "scales", "values")
            }
            _write_reordered(directory, arrays, unordered, None)
    else:
        entries = (
            _io.read_entries(path, header=header, nodes=nodes)
            if is_path
            else _convert.to_entries(source, nodes=nodes)
        )
        graph = _graph.build(entries, undirected=bool(undirected), keep_values=True)
        del entries
        if reorder:
            assert graph.values is not None
            indptr, indices, scales = graph.engine.arrays()
            arrays = {"indptr": indptr, "indices": indices, "scales": scales}
            arrays["values"] = graph.values
            header_fields = _store.new_header(graph.num_nodes, graph.num_entries, graph.symmetrized)
            _write_reordered(directory, arrays, header_fields, graph.nodes)
        else:
            _store.write_graph(graph, directory)
        del graph
    return _store.open_graph(directory)


def _write_reordered(
    directory: str,
    arrays: dict[str, npt.NDArray[Any]],
    unordered: dict[str, Any],
    nodes: npt.NDArray[Any] | None,
) -> None:
    """Writes a graph with its rows in locality order (version 2) from the
    arrays of the graph in node order (which may be files of the same
    directory: each is replaced through a rename), then its header. The
    node IDs stay in node order: ``nodes`` is written as it is, or nodes.npy
    is there already when ``unordered`` describes it."""
    n = int(unordered["num_nodes"])
    order = _order.locality_order(arrays["indptr"], arrays["indices"], n)
    position = np.empty(n, dtype=np.int64)
    position[order] = np.arange(n, dtype=np.int64)
    indptr, cols, source = _order.take_rows(arrays["indptr"], arrays["indices"], order, position)
    reordered = {
        "indptr": indptr,
        "indices": cols,
        "scales": np.asarray(arrays["scales"][source]),
        "values": np.asarray(arrays["values"][source]),
        "order": order,
    }
    del source, arrays
    header = dict(
        _store.new_header(n, int(unordered["num_entries"]), bool(unordered["symmetrized"])),
        version=_store.REORDERED_VERSION,
    )
    if nodes is not None:
        stored = _store._node_array(nodes)
        assert stored is not None
        _store.write_array(os.path.join(directory, "nodes.npy"), stored)
    for name, values in reordered.items():
        tmp = os.path.join(directory, name + ".npy.tmp")
        _store.write_array(tmp, values)
        os.replace(tmp, os.path.join(directory, name + ".npy"))
    names = [*reordered] + (
        ["nodes"] if nodes is not None or "nodes" in unordered["arrays"] else []
    )
    for name in names:
        _store.describe(directory, header, name)
    _store.write_header(directory, header)
