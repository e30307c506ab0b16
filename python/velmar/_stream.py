"""Preparing edge lists larger than memory, with DuckDB sorting on disk.

DuckDB reads the edge list into an on-disk table with each edge's position in
the file, numbers the distinct node IDs in sorted order and sorts the entries
of A (and, for undirected graphs, of Aᵀ) by position, side and file order,
spilling to disk beyond its memory limit. The sorted entries then stream
through the engine a batch at a time: it sums duplicates and merges A with
Aᵀ (merge_sorted) and scales the entries (entry_scales) with the code that
builds every graph, so both paths store the same bits.
"""

from __future__ import annotations

import os
import shutil
from typing import Any

import numpy as np

from . import _engine, _io, _store

# Entries fetched from DuckDB per batch.
_BATCH = 1 << 20

_INT_SQL = "regexp_full_match({0}, '[+-]?[0-9]+')"


def _connect(workdir: str, memory_limit: int | None) -> Any:
    try:
        import duckdb  # noqa: PLC0415 (an optional extra, loaded on use)
    except ImportError:
        raise ImportError(
            "streaming an edge list needs DuckDB and pyarrow (pip install 'velmar[scale]')"
        ) from None
    # In memory up to the limit, spilling to temp_directory beyond it.
    con = duckdb.connect()
    con.execute(f"SET temp_directory = '{_quote(os.path.join(workdir, 'spill'))}'")
    con.execute("SET preserve_insertion_order = true")
    if memory_limit is not None:
        # DuckDB keeps to about its own limit; the row pointers, the batches
        # in flight and Python need room beside it.
        duck = memory_limit - max(memory_limit // 10, 64 << 20)
        con.execute(f"SET memory_limit = '{max(duck >> 20, 64)}MiB'")
    threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    con.execute(f"SET threads = {max(int(threads or 1), 1)}")
    return con


def _quote(text: str) -> str:
    return text.replace("'", "''")


def _text_layout(path: str, header: bool | None) -> tuple[str, int, bool]:
    """(delimiter, number of columns, skip first line) of a text edge list,
    decided from its first data lines as the in-memory reader decides."""
    lines: list[tuple[int, str]] = []
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            for number, line in enumerate(f, 1):
                text = line.split("#", 1)[0].strip()
                if text:
                    lines.append((number, text))
                if len(lines) >= 50:
                    break
    except (OSError, UnicodeDecodeError) as e:
        raise _io.GraphFileError(f"{path}: {e}") from None
    if not lines:
        raise _io.GraphFileError(f"{path}: no edges found")
    first = lines[0][1]
    delim = "," if "," in first else ("\t" if "\t" in first else " ")
    rows = [(n, [x.strip() for x in t.split(delim)]) for n, t in lines]
    # The in-memory reader's rule: an ambiguous first line is read as an edge.
    skip = bool(header) or (header is None and _io._first_line(rows) == "header")
    width = len(rows[1 if skip and len(rows) > 1 else 0][1])
    if width not in (2, 3):
        raise _io.GraphFileError(
            f"{path}: streaming reads 2 or 3 columns separated by one comma, tab or "
            f"space; found {width}"
        )
    return delim, width, skip


def _load_edges(con: Any, path: str, fmt: str, header: bool | None) -> bool:
    """Creates table e(s, t, w, seq); returns whether the IDs are integers."""
    if fmt == "edges":
        delim, width, skip = _text_layout(path, header)
        columns = "{'s': 'VARCHAR', 't': 'VARCHAR'" + (", 'w': 'DOUBLE'}" if width == 3 else "}")
        weight = "w" if width == 3 else "1.0::DOUBLE"
        # A table created from one ordered scan keeps the file's order, so
        # rowid is each edge's position in the file.
        con.execute(
            "CREATE TABLE raw AS SELECT * FROM read_csv("
            f"'{_quote(path)}', delim='{_quote(delim)}', header={str(skip).lower()}, "
            f"comment='#', auto_detect=false, quote='', escape='', columns={columns})"
        )
        integer = con.execute(
            "SELECT coalesce(bool_and("
            + _INT_SQL.format("s")
            + " AND "
            + _INT_SQL.format("t")
            + "), true) FROM raw"
        ).fetchall()[0][0]
        kind = "BIGINT" if integer else "VARCHAR"
        con.execute(
            f"CREATE TABLE e AS SELECT s::{kind} AS s, t::{kind} AS t, {weight} AS w, "
            "rowid AS seq FROM raw"
        )
        con.execute("DROP TABLE raw")
        return bool(integer)
    if fmt == "parquet":
        names = [
            row[0]
            for row in con.execute(
                f"DESCRIBE SELECT * FROM read_parquet('{_quote(path)}')"
            ).fetchall()
        ]
        if len(names) not in (2, 3):
            raise ValueError(f"{path}: expected 2 or 3 columns (source, target[, weight])")
        q = [f'"{name}"' for name in names]
        weight = f"{q[2]}::DOUBLE" if len(q) == 3 else "1.0::DOUBLE"
        con.execute(
            f"CREATE TABLE e AS SELECT {q[0]} AS s, {q[1]} AS t, {weight} AS w, "
            f"file_row_number AS seq FROM read_parquet('{_quote(path)}', file_row_number=true)"
        )
        kinds = next(
            iter(con.execute("SELECT typeof(s), typeof(t) FROM e LIMIT 1").fetchall()), None
        )
        integer = kinds is None or all("INT" in k for k in kinds)
        if not integer:
            con.execute("CREATE TABLE e2 AS SELECT s::VARCHAR AS s, t::VARCHAR AS t, w, seq FROM e")
            con.execute("DROP TABLE e")
            con.execute("ALTER TABLE e2 RENAME TO e")
        return integer
    import pyarrow as pa  # noqa: PLC0415 (an optional extra, loaded on use)

    table = _io.read_npy_edges(path)

    def batches() -> Any:
        parts = _io.npy_row_batches(path, table, _BATCH)
        for lo, part in zip(range(0, table.shape[0], _BATCH), parts):
            src, dst, w = _io.npy_columns(part, path)
            if w is None:
                w = np.ones(src.shape[0])
            yield pa.record_batch(
                {
                    "s": src.astype(np.int64),
                    "t": dst.astype(np.int64),
                    "w": w,
                    "seq": np.arange(lo, lo + src.shape[0], dtype=np.int64),
                }
            )

    schema = pa.schema(
        [("s", pa.int64()), ("t", pa.int64()), ("w", pa.float64()), ("seq", pa.int64())]
    )
    con.register("npy_edges", pa.RecordBatchReader.from_batches(schema, batches()))
    con.execute("CREATE TABLE e AS SELECT * FROM npy_edges")
    con.unregister("npy_edges")
    return True


def prepare_stream(
    path: str,
    fmt: str,
    out: str,
    *,
    undirected: bool,
    memory_limit: int | None,
    header: bool | None,
) -> None:
    workdir = os.path.join(out, "tmp-prepare")
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    try:
        con = _connect(workdir, memory_limit)
        try:
            n, m = _prepare(con, path, fmt, out, undirected=undirected, header=header)
        finally:
            # DuckDB's memory is given back before the scales are computed.
            con.close()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    _write_scales(out, n, m, undirected)


def _prepare(
    con: Any, path: str, fmt: str, out: str, *, undirected: bool, header: bool | None
) -> tuple[int, int]:
    """Writes indptr, indices, values and nodes; returns (n, m)."""
    integer = _load_edges(con, path, fmt, header)
    for column in ("s", "t"):
        missing = con.execute(f"SELECT count(*) FROM e WHERE {column} IS NULL").fetchall()[0][0]
        if missing:
            raise _io.GraphFileError(f"{path}: {missing} edges without a node ID")
    con.execute(
        "CREATE TABLE nodes AS SELECT id, (row_number() OVER (ORDER BY id)) - 1 AS code "
        "FROM (SELECT s AS id FROM e UNION SELECT t FROM e)"
    )
    n = int(con.execute("SELECT count(*) FROM nodes").fetchall()[0][0])
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
    indptr = np.lib.format.open_memmap(
        os.path.join(out, "indptr.npy"), mode="w+", dtype=np.int64, shape=(n + 1,)
    )
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
    _write_nodes(con, out, integer)
    con.execute("DROP TABLE e")
    con.execute("DROP TABLE nodes")
    return n, m


def _write_scales(out: str, n: int, m: int, undirected: bool) -> None:
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
    _store.write_header(out, graph_header)


def _write_nodes(con: Any, out: str, integer: bool) -> None:
    if integer:
        dtype: np.dtype[Any] = np.dtype(np.int64)
    else:
        longest = con.execute("SELECT coalesce(max(length(id)), 1) FROM nodes").fetchall()[0][0]
        dtype = np.dtype(f"<U{max(int(longest), 1)}")
    writer = _store.NpyWriter(os.path.join(out, "nodes.npy"), dtype)
    try:
        for batch in con.sql("SELECT id FROM nodes ORDER BY code").to_arrow_reader(_BATCH):
            ids = batch.column(0)
            writer.append(ids.to_numpy() if integer else np.array(ids.to_pylist(), dtype=dtype))
    except BaseException:
        writer.abort()
        raise
    writer.close()
