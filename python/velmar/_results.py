"""Embeddings written to disk one column block at a time, restartable.

Columns of the embedding are independent, so a run is a list of column blocks
[j0, j1), each computed alone and written where it belongs: into a Zarr array
whose chunks are aligned to the blocks, or into a memory-mapped .npy file. A
block is marked complete only after its data is written; a run started again
with the same arguments skips the marked blocks, and one with other arguments
is refused. With a Dask client, each block is one task that opens the
prepared graph and the Zarr array itself and returns only metadata.
"""

from __future__ import annotations

import hashlib
import json
import os
import secrets
import socket
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _memory, _runner
from ._convert import CsrGraph
from ._prepared import PreparedGraph, open_graph
from ._runner import NO_OPTIONS, Options

RUN_VERSION = 1

# Zarr chunks hold about this many bytes: whole column blocks, cut into rows.
_ZARR_CHUNK_BYTES = 64 << 20

Progress = Callable[[int, int], object]


class RunMismatchError(ValueError):
    """An output that holds a run with other arguments."""


def compute_block(
    graph: CsrGraph | PreparedGraph,
    j0: int,
    j1: int,
    *,
    dim: int,
    weights: list[float],
    seed: int,
    undirected: bool,
    options: Options = NO_OPTIONS,
) -> npt.NDArray[np.float32]:
    """Columns [j0, j1) of the embedding, an n × (j1 - j0) float32 array:
    the engine computes only that block, with the bits of the same columns
    of the full result."""
    from . import _api

    return _api.embed_csr(
        graph, dim, weights, seed, undirected, None, columns=(j0, j1), options=options
    )


def column_blocks(dim: int, width: int) -> list[tuple[int, int]]:
    return [(j0, min(j0 + width, dim)) for j0 in range(0, dim, width)]


def default_block_width(
    graph: CsrGraph | PreparedGraph,
    dim: int,
    undirected: bool,
    memory_limit: object,
    options: Options = NO_OPTIONS,
) -> int:
    """The widest block whose run, by the engine's plan (the graph, the
    block's n × b result and its working matrices), fits ``memory_limit``, or
    half the memory available without one; at least 1, at most dim and,
    unless the run needs all columns in one block (step normalisation), the
    engine's preferred width; evened out over the blocks it needs."""
    from . import _engine  # noqa: PLC0415 (the extension, loaded on use)

    whole = options.step_normalize
    n, m, narrow, extra = _runner.plan_shape(graph, options)
    extra.pop("one_block")
    widest = dim if whole else int(_engine.memory_plan(n, m, dim, undirected=undirected)["block"])
    if memory_limit is not None:
        limit = _runner.parse_bytes(memory_limit)
    else:
        available = _memory.available_memory()
        if available is None:
            return widest
        limit = available[0] // 2

    def fits(b: int) -> bool:
        plan = _engine.memory_plan(
            n, m, b, b, undirected=undirected, row_ptrs_32bit=narrow, **extra
        )
        return int(plan["peak"]) <= limit

    if memory_limit is not None and not fits(1):
        raise MemoryError(
            f"a block of one column needs more than memory_limit={memory_limit!r} "
            f"for {n:,} nodes; raise the limit"
        )
    lo, hi = 1, widest
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if fits(mid):
            lo = mid
        else:
            hi = mid - 1
    blocks = -(-dim // lo)
    return -(-dim // blocks)


def graph_fingerprint(graph: PreparedGraph | CsrGraph) -> str:
    if isinstance(graph, PreparedGraph):
        return f"prepared:{graph.graph_id}"
    digest = hashlib.blake2b(digest_size=16)
    digest.update(np.int64(graph.num_nodes).tobytes())
    for array in (graph.row_ptrs, graph.col_indices, graph.values):
        digest.update(np.ascontiguousarray(array).data)
    return f"arrays:{digest.hexdigest()}"


# --- outputs ------------------------------------------------------------------


class NpyOutput:
    """A .npy file allocated in full up front (so that a full disk is an
    error at creation, not a fault while writing through the map), with the
    run's arguments and completed blocks in OUT.run.json beside it."""

    def __init__(self, path: str, run: dict[str, Any], shape: tuple[int, int]) -> None:
        self.path = path
        self.sidecar = path + ".run.json"
        if os.path.exists(self.sidecar):
            state = _read_json(self.sidecar)
            _check_run(self.sidecar, state.get("run"), run)
            run = state["run"]
            self.done = {int(j0) for j0 in state.get("done", [])}
            seed = state.get("seed")
            self.seed = seed if isinstance(seed, int) else None
            if os.path.exists(path):
                self.array = _open_npy(path, shape)
            else:
                # The run stopped before its file was allocated (a full disk).
                self.done = set()
                self.array = _create_npy(path, shape)
        else:
            if os.path.exists(path):
                raise FileExistsError(
                    f"{path}: exists but is not an unfinished velmar run; remove it first"
                )
            self.done = set()
            self.seed = None
            self._save_state(run)
            self.array = _create_npy(path, shape)
        self.run = run

    def write(self, j0: int, j1: int, block: npt.NDArray[np.float32]) -> None:
        try:
            self.array[:, j0:j1] = block
            self.array.flush()
        except OSError as e:
            raise _write_error(e, self.path, j0, j1) from None
        self.done.add(j0)
        self._save_state(self.run)

    def _save_state(self, run: dict[str, Any]) -> None:
        _write_json(self.sidecar, {"run": run, "seed": self.seed, "done": sorted(self.done)})

    def result(self) -> npt.NDArray[np.float32]:
        array: npt.NDArray[np.float32] = np.load(self.path, mmap_mode="r")
        return array


def _create_npy(path: str, shape: tuple[int, int]) -> Any:
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(
            f, {"descr": "<f4", "fortran_order": False, "shape": shape}
        )
        offset = f.tell()
        try:
            os.posix_fallocate(f.fileno(), 0, offset + 4 * shape[0] * shape[1])
        except OSError as e:
            f.close()
            os.remove(path)
            size = _memory.format_bytes(4 * shape[0] * shape[1])
            raise OSError(
                e.errno, f"{e.strerror} (allocating {size} for the result)", path
            ) from None
    return _open_npy(path, shape)


def _open_npy(path: str, shape: tuple[int, int]) -> Any:
    try:
        array = np.load(path, mmap_mode="r+")
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: cannot reopen the unfinished result ({e})") from None
    if array.shape != shape or array.dtype != np.float32:
        raise RunMismatchError(
            f"{path}: holds {array.dtype} {array.shape}, expected float32 {shape}"
        )
    return array


def _write_error(error: OSError, path: str, j0: int, j1: int) -> OSError:
    """The error of a failed block write, naming the output; the blocks
    written before stay marked, so the same call finishes the run."""
    return OSError(error.errno, f"{error.strerror or error} (writing columns {j0}:{j1})", path)


def _zarr() -> Any:
    try:
        import zarr
    except ImportError:
        raise ImportError(
            "writing .zarr results needs Zarr (pip install 'velmar[scale]')"
        ) from None
    return zarr


class ZarrOutput:
    """A Zarr group with the array "embedding", chunked by column block, and
    the array "done" with one single-byte chunk per block, so that writers
    of different blocks never write the same object."""

    def __init__(
        self,
        path: str,
        run: dict[str, Any],
        shape: tuple[int, int],
        width: int,
        create: bool = True,
    ) -> None:
        zarr = _zarr()
        self.path = path
        blocks = len(column_blocks(shape[1], width))
        try:
            group = zarr.open_group(path, mode="r")
            stored = group.attrs.asdict().get("velmar_run")
            if stored is None:
                raise FileExistsError(f"{path}: exists but is not a velmar result; remove it first")
            _check_run(path, stored, run)
            group = zarr.open_group(path, mode="r+")
        except (FileNotFoundError, zarr.errors.GroupNotFoundError):
            if not create:
                raise FileNotFoundError(f"{path}: no such velmar result") from None
            group = zarr.open_group(path, mode="w")
            rows = max(1, min(shape[0], _ZARR_CHUNK_BYTES // (4 * width)))
            group.create_array(
                "embedding",
                shape=shape,
                chunks=(rows, width),
                dtype="float32",
                compressors=None,
                fill_value=0.0,
            )
            group.create_array("done", shape=(blocks,), chunks=(1,), dtype="uint8", fill_value=0)
            group.attrs["velmar_run"] = run
        self.group = group
        self.array = group["embedding"]
        self.width = width
        flags = group["done"][:]
        self.done = {j0 for j0, _ in column_blocks(shape[1], width) if flags[j0 // width]}

    def write(self, j0: int, j1: int, block: npt.NDArray[np.float32]) -> None:
        try:
            self.array[:, j0:j1] = block
            self.group["done"][j0 // self.width] = 1
        except OSError as e:
            raise _write_error(e, self.path, j0, j1) from None
        self.done.add(j0)

    def result(self) -> Any:
        return self.array


def _read_json(path: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        raise ValueError(f"{path}: unreadable run record ({e}); remove it and its result") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path}: not a velmar run record")
    return data


def _write_json(path: str, data: dict[str, Any]) -> None:
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def _check_run(where: str, stored: object, run: dict[str, Any]) -> None:
    if not isinstance(stored, dict):
        raise RunMismatchError(f"{where}: holds no readable run record")
    keys = list(run) + [key for key in stored if key not in run]
    differ = [key for key in keys if key != "seed" and stored.get(key) != run.get(key)]
    if run.get("seed") is not None and stored.get("seed") != run["seed"]:
        differ.append("seed")
    if differ:
        shown = ", ".join(f"{k}={stored.get(k)!r} (now {run.get(k)!r})" for k in differ)
        raise RunMismatchError(
            f"{where}: holds a run with other arguments: {shown}. Use the same "
            "arguments to finish it, or another output path"
        )


# --- runs -----------------------------------------------------------------------


def run_to_disk(
    graph: PreparedGraph | CsrGraph,
    out: str,
    *,
    dim: int,
    weights: list[float],
    seed: int | None,
    undirected: bool,
    block_columns: int | None,
    client: Any,
    progress: Progress | None,
    options: Options = NO_OPTIONS,
    memory_limit: object = None,
) -> Any:
    """Embeds block by block into ``out`` (.zarr or .npy) and returns the
    opened result; skips the blocks a previous run completed. Without
    block_columns, the block is the widest whose run fits memory_limit
    (default_block_width). Step
    normalisation needs one block of every column."""
    is_zarr = out.rstrip("/").endswith(".zarr")
    if not is_zarr and not out.endswith(".npy"):
        raise ValueError(f"out must name a .zarr or a .npy path, got {out!r}")
    if client is not None and not is_zarr:
        raise ValueError(
            "a run on a Dask cluster writes a .zarr result (many writers, one chunk each)"
        )
    if client is not None and not isinstance(graph, PreparedGraph):
        raise TypeError(
            "a run on a Dask cluster needs a prepared graph that every worker can open "
            "(velmar.prepare / velmar.open_graph on shared storage)"
        )
    n = graph.num_nodes
    width = block_columns or _stored_width(out, is_zarr) or default_block_width(
        graph, dim, undirected, memory_limit, options
    )
    if not 1 <= width <= dim:
        raise ValueError(f"block_columns must be between 1 and dim ({dim}), got {width}")
    if options.step_normalize and width != dim:
        _, planned, _, extra = _runner.plan_shape(graph, options)
        need = _memory.plan_peak(n, planned, dim, undirected, None, extra)
        reason = (
            f"block_columns={block_columns}" if block_columns
            else f"memory_limit={memory_limit!r} leaves room for {width} at a time"
            if memory_limit is not None
            else f"the memory available leaves room for {width} at a time"
        )
        raise ValueError(
            f"step_normalize='l2' couples the columns, so all {dim} must be computed "
            f"in one block (about {_memory.format_bytes(need)}), but {reason}; pass "
            f"block_columns={dim} on a machine with that much memory, or embed "
            "without step_normalize"
        )
    run = {
        "version": RUN_VERSION,
        "graph": graph_fingerprint(graph),
        "num_nodes": n,
        "dim": dim,
        "weights": weights,
        "undirected": undirected,
        "block_columns": width,
        "seed": seed,
        **options.record(),
    }
    output: NpyOutput | ZarrOutput
    output = ZarrOutput(out, run, (n, dim), width) if is_zarr else NpyOutput(out, run, (n, dim))
    stored_seed = _stored_seed(output)
    if stored_seed is None:
        # Every block must draw the same projection: an unseeded run picks its
        # seed once and records it, so a restart continues with it.
        stored_seed = secrets.randbits(64) if seed is None else seed
        _record_seed(output, stored_seed)
    blocks = column_blocks(dim, width)
    todo = [(j0, j1) for j0, j1 in blocks if j0 not in output.done]
    finished = len(blocks) - len(todo)
    if progress is not None:
        progress(finished, len(blocks))
    block_args: dict[str, Any] = {
        "dim": dim,
        "weights": weights,
        "seed": stored_seed,
        "undirected": undirected,
        "options": options,
    }
    if client is not None:
        assert isinstance(graph, PreparedGraph)
        # Workers resolve paths from their own working directories.
        shared = out if "://" in out else os.path.abspath(out)
        _run_dask(
            client,
            os.path.abspath(graph.path),
            shared,
            run,
            todo,
            block_args,
            finished,
            len(blocks),
            progress,
        )
        return ZarrOutput(out, run, (n, dim), width).result()
    for j0, j1 in todo:
        output.write(j0, j1, compute_block(graph, j0, j1, **block_args))
        finished += 1
        if progress is not None:
            progress(finished, len(blocks))
    return output.result()


def _stored_width(out: str, is_zarr: bool) -> int | None:
    """The block width of an unfinished run at ``out``, so that a restart
    without block_columns continues it."""
    try:
        if is_zarr:
            zarr = _zarr()
            run = zarr.open_group(out, mode="r").attrs.asdict().get("velmar_run", {})
        else:
            run = _read_json(out + ".run.json").get("run", {})
    except Exception:
        return None
    width = run.get("block_columns") if isinstance(run, dict) else None
    return width if isinstance(width, int) else None


def _stored_seed(output: NpyOutput | ZarrOutput) -> int | None:
    if isinstance(output, ZarrOutput):
        seed = output.group.attrs.asdict().get("velmar_seed")
    else:
        seed = output.seed
    return seed if isinstance(seed, int) else None


def _record_seed(output: NpyOutput | ZarrOutput, seed: int) -> None:
    if isinstance(output, ZarrOutput):
        output.group.attrs["velmar_seed"] = seed
    else:
        output.seed = seed
        output._save_state(output.run)


def _run_dask(
    client: Any,
    graph_path: str,
    out: str,
    run: dict[str, Any],
    todo: list[tuple[int, int]],
    options: dict[str, Any],
    finished: int,
    total: int,
    progress: Progress | None,
) -> None:
    from distributed import as_completed

    token = secrets.token_hex(4)
    futures = {
        client.submit(
            _dask_block,
            graph_path,
            out,
            run,
            j0,
            j1,
            options,
            key=f"velmar-block-{j0}-{j1}-{token}",
            pure=False,
        ): (j0, j1)
        for j0, j1 in todo
    }
    failed: list[str] = []
    for future in as_completed(futures):
        j0, j1 = futures[future]
        try:
            future.result()
        except Exception as e:
            failed.append(f"columns {j0}:{j1} ({type(e).__name__}: {e})")
            continue
        finished += 1
        if progress is not None:
            progress(finished, total)
    if failed:
        raise RuntimeError(
            f"{out}: {len(failed)} of {len(todo)} blocks failed on the cluster: "
            f"{'; '.join(failed[:3])}. The completed blocks are kept; run the same "
            "call again to compute the rest"
        )


def _dask_block(
    graph_path: str, out: str, run: dict[str, Any], j0: int, j1: int, options: dict[str, Any]
) -> dict[str, Any]:
    """One task: open the graph and the result, write one block, return metadata."""
    started = time.perf_counter()
    graph = open_graph(graph_path)
    output = ZarrOutput(
        out, run, (graph.num_nodes, options["dim"]), run["block_columns"], create=False
    )
    if j0 not in output.done:
        output.write(j0, j1, compute_block(graph, j0, j1, **options))
    return {
        "columns": (j0, j1),
        "seconds": time.perf_counter() - started,
        "worker": socket.gethostname(),
        "pid": os.getpid(),
    }
