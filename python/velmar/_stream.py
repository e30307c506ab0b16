"""Preparing edge lists larger than memory, with DuckDB sorting on disk.

The file is read by the rules of the in-memory reader (``_io``): a text
edge list is first scanned by the engine's reader, which finds every fault
and the kind of its IDs, then split by it into batches that DuckDB loads; a
Parquet file is read by DuckDB with the column types ``_io`` accepts; a .npy
array goes to DuckDB in batches. DuckDB keeps each edge's position in the
file, numbers the distinct node IDs in sorted order (or by ``nodes``) and
sorts the entries of A (and, for undirected graphs, of Aᵀ) by position,
side and file order, spilling to disk beyond its memory limit. The sorted
entries then stream through the engine a batch at a time: it sums
duplicates and merges A with Aᵀ (merge_sorted) and scales the entries
(entry_scales) with the code that builds every graph, so both paths store
the same bytes. What streaming cannot do as the in-memory reader does, it
refuses.

The work runs on a helper thread: Ctrl-C interrupts DuckDB's query and the
engine's reader at once, and KeyboardInterrupt comes back once they stopped.
"""

from __future__ import annotations

import importlib
import os
import shutil
import threading
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from . import _engine, _io, _store, _watch

# Entries fetched from DuckDB, and edges handed to it, per batch.
_BATCH = 1 << 20

_T = TypeVar("_T")


def _modules() -> tuple[Any, Any]:
    try:
        duckdb = importlib.import_module("duckdb")
        pa = importlib.import_module("pyarrow")
    except ImportError:
        raise ImportError(
            "streaming an edge list needs DuckDB and pyarrow (pip install 'velmar[scale]')"
        ) from None
    return duckdb, pa


class _Stop:
    """Stops a streamed preparation from another thread: DuckDB's query, the
    engine's reader and the package's own loops."""

    def __init__(self) -> None:
        self.control = _engine.RunControl()
        self.con: Any = None
        self.requested = False

    def __call__(self) -> None:
        self.requested = True
        self.control.cancel()
        con = self.con
        if con is not None:
            try:
                con.interrupt()
            except Exception:  # closed meanwhile by the helper: nothing to stop
                pass

    def check(self) -> None:
        if self.requested:
            raise KeyboardInterrupt


def _interruptible(work: Callable[[], _T], stop: _Stop) -> _T:
    """work() on a helper thread while this one waits, when this is the main
    thread (where Ctrl-C arrives); a Ctrl-C stops the work, waits for it to
    end and is raised again."""
    if threading.current_thread() is not threading.main_thread():
        return work()
    helper = _watch.Helper(work, "velmar-prepare")
    try:
        helper.start()
        while not helper.wait(0.05):
            pass
    except BaseException:
        # The helper cleans up (its DuckDB connection, the spill directory)
        # before this thread goes on; a second Ctrl-C does not cut that short.
        # DuckDB forgets an interrupt when its next query starts: ask again
        # until the helper is done.
        while helper.started and not helper.done:
            stop()
            try:
                helper.wait(0.05)
            except KeyboardInterrupt:
                pass
        raise
    return helper.result()  # type: ignore[no-any-return]


def _connect(duckdb: Any, workdir: str, memory_limit: int | None) -> Any:
    # In memory up to the limit, spilling to temp_directory beyond it.
    con = duckdb.connect()
    con.execute(f"SET temp_directory = '{_quote(os.path.join(workdir, 'spill'))}'")
    con.execute("SET preserve_insertion_order = true")
    con.execute("SET enable_progress_bar = false")
    if memory_limit is not None:
        # DuckDB keeps to about its own limit; the row pointers, the batches
        # in flight and Python need room beside it.
        duck = memory_limit - max(memory_limit // 10, 64 << 20)
        con.execute(f"SET memory_limit = '{max(duck >> 20, 64)}MiB'")
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    con.execute(f"SET threads = {max(int(threads or 1), 1)}")
    return con


def _one(con: Any, query: str) -> Any:
    """The first row of a query's result, or None; the whole result is
    fetched, as DuckDB needs before the connection does anything else."""
    rows = con.execute(query).fetchall()
    return rows[0] if rows else None


def _quote(text: str) -> str:
    return text.replace("'", "''")


class _Feed:
    """Record batches for DuckDB from a generator, keeping the first error
    it raised: DuckDB reports it as its own, and the original is what the
    caller raises."""

    def __init__(self, batches: Iterator[Any]) -> None:
        self.batches = batches
        self.error: BaseException | None = None

    def __iter__(self) -> Iterator[Any]:
        try:
            yield from self.batches
        except BaseException as e:
            self.error = e
            raise


def _load_batches(con: Any, pa: Any, schema: Any, batches: Iterator[Any]) -> None:
    """Table e(s, t, w, seq) from record batches, in their order."""
    feed = _Feed(batches)
    reader = pa.RecordBatchReader.from_batches(schema, iter(feed))
    con.register("edge_batches", reader)
    try:
        con.execute("CREATE TABLE e AS SELECT * FROM edge_batches")
    except BaseException:
        if feed.error is not None:
            raise feed.error from None
        raise
    finally:
        con.unregister("edge_batches")


# Each loader creates e(s, t, w, seq) and returns the kind of its IDs
# ("integer", "float" or "string") and, for integers, their dtype, or None
# when DuckDB holds them in a wider type until their range is known.


def _load_text(
    con: Any, pa: Any, path: str, header: bool | None, stop: _Stop
) -> tuple[str, np.dtype[Any] | None]:
    with _io.mapped(path) as data:
        fault, raw = _engine.scan_edge_text(data, header=header, control=stop.control)
        layout = _io.TextLayout(*raw)
        if fault is not None:
            raise _io.text_fault(path, fault)
        if layout.kind == "wide":
            raise _io.GraphFileError(
                f"{path}: node IDs beyond 64 bits (or negative ones beside IDs of 2**63 "
                "and more) cannot be stored in a prepared graph"
            )
        if layout.kind == "str":
            id_type = pa.large_string()
        else:
            id_type = pa.int64() if layout.kind == "int64" else pa.uint64()
        schema = pa.schema(
            [("s", id_type), ("t", id_type), ("w", pa.float64()), ("seq", pa.int64())]
        )

        def ids(part: Any) -> Any:
            if layout.kind != "str":
                return part
            offsets, chars = part
            return pa.LargeStringArray.from_buffers(
                offsets.shape[0] - 1, pa.py_buffer(offsets), pa.py_buffer(chars)
            )

        def batches() -> Iterator[Any]:
            offset, line, seq = layout.edges_offset, layout.edges_line, 0
            while True:
                stop.check()
                fault, count, offset, line, s, t, w = _engine.split_edge_text(
                    data, raw, offset, line, _BATCH, control=stop.control
                )
                if fault is not None:
                    raise _io.text_fault(path, fault)
                if count == 0:
                    return
                seq_range = np.arange(seq, seq + count, dtype=np.int64)
                yield pa.record_batch([ids(s), ids(t), w, seq_range], schema=schema)
                seq += count

        _load_batches(con, pa, schema, batches())
    if layout.kind == "str":
        return "string", None
    return "integer", np.dtype(np.int64 if layout.kind == "int64" else np.uint64)


def _load_parquet(con: Any, path: str) -> tuple[str, np.dtype[Any] | None]:
    layout = _io.parquet_layout(path)
    pa = importlib.import_module("pyarrow")
    q = ['"' + name.replace('"', '""') + '"' for name in layout.names]
    if layout.id_kind == "integer":
        wide = any(pa.types.is_uint64(t) for t in layout.types[:2])
        cast = "{0}::HUGEINT" if wide else "{0}::BIGINT"
    elif layout.id_kind == "float":
        # -0.0 is the node 0.0, as in memory.
        cast = "CASE WHEN {0} = 0 THEN 0.0::DOUBLE ELSE {0}::DOUBLE END"
    else:
        cast = "{0}::VARCHAR"
    weight = f"{q[2]}::DOUBLE" if len(q) == 3 else "1.0::DOUBLE"
    con.execute(
        f"CREATE TABLE e AS SELECT {cast.format(q[0])} AS s, {cast.format(q[1])} AS t, "
        f"{weight} AS w, file_row_number AS seq "
        f"FROM read_parquet('{_quote(path)}', file_row_number=true)"
    )
    if not _one(con, "SELECT count(*) FROM e")[0]:
        raise _io.no_edges(path)
    nan = " OR isnan(s) OR isnan(t)" if layout.id_kind == "float" else ""
    count, first = _one(con, f"SELECT count(*), min(seq) FROM e WHERE s IS NULL OR t IS NULL{nan}")
    if count:
        raise _io.missing_ids(path, int(count), int(first))
    count, first = _one(con, "SELECT count(*), min(seq) FROM e WHERE w IS NULL")
    if count:
        raise _io.missing_weights(path, int(count), int(first))
    return layout.id_kind, None


def _load_npy(con: Any, pa: Any, path: str, stop: _Stop) -> tuple[str, np.dtype[Any] | None]:
    table = _io.read_npy_edges(path)
    id_dtype = _io.npy_id_dtype(path, table, _BATCH)
    id_type = pa.int64() if id_dtype == np.int64 else pa.uint64()
    schema = pa.schema([("s", id_type), ("t", id_type), ("w", pa.float64()), ("seq", pa.int64())])

    def batches() -> Iterator[Any]:
        parts = _io.npy_row_batches(path, table, _BATCH)
        for lo, part in zip(range(0, table.shape[0], _BATCH), parts):
            stop.check()
            src, dst, w = _io.npy_columns(part, path, id_dtype)
            if w is None:
                w = np.ones(src.shape[0])
            seq = np.arange(lo, lo + src.shape[0], dtype=np.int64)
            yield pa.record_batch([src, dst, w, seq], schema=schema)

    _load_batches(con, pa, schema, batches())
    return "integer", id_dtype


def _given_nodes(con: Any, pa: Any, path: str, nodes: Any, kind: str) -> npt.NDArray[Any]:
    """Table nodes(id, code) of ``nodes=``, after checking that it names
    every node once; the IDs as nodes.npy stores them."""
    given = _io.given_nodes(nodes)
    if _io.id_kind(given) != kind:
        raise _io.GraphFileError(
            f"{path}: nodes= holds {given.dtype} IDs and the file {kind} IDs; streaming "
            "matches IDs of one kind only (stream=False compares them as Python values)"
        )
    key = _io.zero_floats(given) if kind == "float" else given
    con.register(
        "given_nodes",
        pa.table({"id": key, "code": np.arange(given.shape[0], dtype=np.int64)}),
    )
    try:
        con.execute("CREATE TABLE nodes AS SELECT id, code FROM given_nodes")
    finally:
        con.unregister("given_nodes")
    repeated = _one(
        con,
        "SELECT id FROM (SELECT id, code, row_number() OVER (PARTITION BY id ORDER BY code) "
        "AS k FROM nodes) WHERE k = 2 ORDER BY code LIMIT 1",
    )
    if repeated is not None:
        raise _io.GraphFileError(f"{path}: nodes lists {repeated[0]!r} more than once")
    for column in ("s", "t"):
        missing = _one(
            con,
            f"SELECT e.{column} FROM e ANTI JOIN nodes ON e.{column} = nodes.id "
            "ORDER BY e.seq LIMIT 1",
        )
        if missing is not None:
            raise _io.GraphFileError(
                f"{path}: an edge names node {missing[0]!r}, which is not in nodes"
            )
    return given


def prepare_stream(
    path: str,
    fmt: str,
    out: str,
    *,
    undirected: bool,
    memory_limit: int | None,
    header: bool | None,
    nodes: Any = None,
    write_header: bool = True,
) -> dict[str, Any]:
    """Writes the prepared graph of an edge-list file into ``out`` and
    returns its header, which it writes last unless ``write_header`` is
    False (the caller then finishes the graph)."""
    duckdb, pa = _modules()
    stop = _Stop()

    def work() -> dict[str, Any]:
        workdir = os.path.join(out, "tmp-prepare")
        shutil.rmtree(workdir, ignore_errors=True)
        os.makedirs(workdir)
        try:
            con = _connect(duckdb, workdir, memory_limit)
            stop.con = con
            try:
                stop.check()
                n, m = _prepare(con, pa, path, fmt, out, undirected, header, nodes, stop)
            except (duckdb.Error, pa.ArrowException) as e:
                stop.check()
                if isinstance(e, duckdb.OutOfMemoryException):
                    raise MemoryError(
                        f"{path}: DuckDB ran out of memory while sorting the edges "
                        f"({_io.one_line(e)}); give it a larger memory_limit"
                    ) from None
                raise _io.GraphFileError(f"{path}: {_io.one_line(e)}") from None
            finally:
                # DuckDB's memory is given back before the scales are computed.
                stop.con = None
                con.close()
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        return _write_scales(out, n, m, undirected, stop, write_header)

    return _interruptible(work, stop)


def _prepare(
    con: Any,
    pa: Any,
    path: str,
    fmt: str,
    out: str,
    undirected: bool,
    header: bool | None,
    nodes: Any,
    stop: _Stop,
) -> tuple[int, int]:
    """Writes indptr, indices, values and nodes; returns (n, m)."""
    if fmt == "edges":
        kind, id_dtype = _load_text(con, pa, path, header, stop)
    elif fmt == "parquet":
        kind, id_dtype = _load_parquet(con, path)
    else:
        kind, id_dtype = _load_npy(con, pa, path, stop)
    stop.check()
    given = None
    if nodes is not None:
        given = _given_nodes(con, pa, path, nodes, kind)
    else:
        con.execute(
            "CREATE TABLE nodes AS SELECT id, (row_number() OVER (ORDER BY id)) - 1 AS code "
            "FROM (SELECT s AS id FROM e UNION SELECT t FROM e)"
        )
        if kind == "integer" and id_dtype is None:
            lo, hi = _one(con, "SELECT min(id), max(id) FROM nodes")
            id_dtype = _io.int_ids(int(lo or 0), int(hi or 0))
            if id_dtype is None:
                raise _io.GraphFileError(
                    f"{path}: node IDs from {lo} to {hi} do not fit one 64-bit type and "
                    "cannot be stored in a prepared graph"
                )
    stop.check()
    n = int(_one(con, "SELECT count(*) FROM nodes")[0])
    coded = (
        "SELECT a.code AS r, b.code AS c, e.w, e.seq "
        "FROM e JOIN nodes a ON e.s = a.id JOIN nodes b ON e.t = b.id"
    )
    # One sort puts every position's entries together: those of A (side 0)
    # and, when symmetrizing, those of Aᵀ (side 1), each side in file order.
    if undirected:
        entries = (
            f"SELECT r, c, w, seq, 0 AS side FROM ({coded}) "
            f"UNION ALL SELECT c AS r, r AS c, w, seq, 1 AS side FROM ({coded})"
        )
    else:
        entries = f"SELECT r, c, w, seq, 0 AS side FROM ({coded})"
    final = f"SELECT r, c, side, w FROM ({entries}) ORDER BY r, c, side, seq"
    index_dtype = _store.index_dtype(n)
    indptr = _zeros(os.path.join(out, "indptr.npy"), np.dtype(np.int64), n + 1)
    cols = _store.NpyWriter(os.path.join(out, "indices.npy"), index_dtype)
    vals = _store.NpyWriter(os.path.join(out, "values.npy"), np.float64)

    def emit(r: Any, c: Any, side: Any, w: Any, indptr: Any = indptr) -> None:
        # Copies: the engine merges in place.
        r, c, w = (np.array(a, dtype=t) for a, t in ((r, np.int64), (c, np.int64), (w, np.float64)))
        count = _engine.merge_sorted(
            r, c, np.ascontiguousarray(side, dtype=np.int64), w, undirected
        )
        r, c, w = r[:count], c[:count], w[:count]
        if r.shape[0]:
            lo = int(r[0])
            indptr[lo + 1 : int(r[-1]) + 2] += np.bincount(r - lo)
            cols.append(c)
            vals.append(w)

    try:
        held: list[Any] | None = None
        for batch in con.sql(final).to_arrow_reader(_BATCH):
            stop.check()
            part = [batch.column(k).to_numpy() for k in range(4)]
            if held is not None:
                part = [np.concatenate([a, b]) for a, b in zip(held, part)]
            r, c = part[0], part[1]
            # The last position may go on in the next batch: hold it back.
            change = np.flatnonzero((r[1:] != r[:-1]) | (c[1:] != c[:-1]))
            cut = int(change[-1]) + 1 if change.shape[0] else 0
            emit(*(a[:cut] for a in part))
            held = [a[cut:] for a in part]
        if held is not None:
            emit(*held)
    except BaseException:
        cols.abort()
        vals.abort()
        raise
    cols.close()
    vals.close()
    total = 0
    for lo in range(1, n + 1, _store.CHUNK):
        span = indptr[lo : lo + _store.CHUNK]
        np.cumsum(span, out=span)
        span += total
        total = int(span[-1])
    indptr.flush()
    del indptr, emit
    m = total
    _write_nodes(con, out, kind, id_dtype, given)
    con.execute("DROP TABLE e")
    con.execute("DROP TABLE nodes")
    return n, m


def _zeros(path: str, dtype: np.dtype[Any], count: int) -> Any:
    """A .npy file of `count` zeros, written as every other array of a
    prepared graph is written (the same header bytes), mapped writeable."""
    writer = _store.NpyWriter(path, dtype)
    try:
        for lo in range(0, count, _store.CHUNK):
            writer.append(np.zeros(min(_store.CHUNK, count - lo), dtype=dtype))
    except BaseException:
        writer.abort()
        raise
    writer.close()
    return np.memmap(path, dtype=dtype, mode="r+", offset=_store.NPY_HEADER_BYTES, shape=(count,))


def _write_scales(
    out: str, n: int, m: int, undirected: bool, stop: _Stop, write_header: bool
) -> dict[str, Any]:
    """scales.npy from indptr and values, then the header. The values are read
    a chunk at a time, not through a memory map, so that a graph larger than
    memory never becomes resident."""
    row_ptrs = np.load(os.path.join(out, "indptr.npy"), mmap_mode="r")
    scales = _store.NpyWriter(os.path.join(out, "scales.npy"), np.float32)
    try:
        # values.npy was written by NpyWriter: its data starts after a
        # header of NPY_HEADER_BYTES.
        with open(os.path.join(out, "values.npy"), "rb") as f:
            data = _store.NPY_HEADER_BYTES
            lo = 0
            while lo < n:
                stop.check()
                # Rows in chunks of about CHUNK entries.
                hi = int(np.searchsorted(row_ptrs, row_ptrs[lo] + _store.CHUNK, side="right"))
                hi = min(max(hi - 1, lo + 1), n)
                first, last = int(row_ptrs[lo]), int(row_ptrs[hi])
                f.seek(data + 8 * first)
                span = np.fromfile(f, dtype="<f8", count=last - first)
                pointers = np.asarray(row_ptrs[lo : hi + 1], dtype=np.int64) - first
                scales.append(_engine.entry_scales(pointers, span))
                lo = hi
    except BaseException:
        scales.abort()
        raise
    scales.close()
    graph_header = _store.new_header(n, m, undirected)
    for name in ("indptr", "indices", "scales", "values", "nodes"):
        _store.describe(out, graph_header, name)
    if write_header:
        _store.write_header(out, graph_header)
    return graph_header


def _write_nodes(
    con: Any,
    out: str,
    kind: str,
    id_dtype: np.dtype[Any] | None,
    given: npt.NDArray[Any] | None,
) -> None:
    path = os.path.join(out, "nodes.npy")
    if given is not None:
        stored = _store._node_array(given)
        assert stored is not None
        _store.write_array(path, stored)
        return
    if kind == "integer":
        assert id_dtype is not None
        dtype = id_dtype
        column = "id::BIGINT" if dtype == np.int64 else "id::UBIGINT"
    elif kind == "float":
        dtype, column = np.dtype(np.float64), "id"
    else:
        longest = _one(con, "SELECT coalesce(max(length(id)), 1) FROM nodes")[0]
        dtype, column = np.dtype(f"<U{max(int(longest), 1)}"), "id"
    writer = _store.NpyWriter(path, dtype)
    try:
        for batch in con.sql(f"SELECT {column} FROM nodes ORDER BY code").to_arrow_reader(_BATCH):
            ids = batch.column(0)
            writer.append(np.asarray(ids.to_numpy(zero_copy_only=False), dtype=dtype))
    except BaseException:
        writer.abort()
        raise
    writer.close()
