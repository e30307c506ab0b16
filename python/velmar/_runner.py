"""Running the engine: compact graph, block width, cancellation and progress.

The engine works with the GIL released. When called from the main thread (or
with a progress display) it runs on a helper thread while the calling thread
waits in short joins, so that Ctrl-C reaches Python at once: the run is then
cancelled between row blocks, its memory freed, and KeyboardInterrupt raised.
"""

from __future__ import annotations

import math
import re
import sys
import threading
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from . import _engine, _memory
from ._convert import CsrGraph, canonical_csr, check_index
from ._features import Features
from ._prepared import PreparedGraph

Embedding = npt.NDArray[np.float32]
ProgressLike = Any  # bool | Callable[[int, int], object] | None

_UNITS = {"": 1, "b": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}
_BINARY = {"ki": 1 << 10, "mi": 1 << 20, "gi": 1 << 30, "ti": 1 << 40}
_BYTES_RE = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?)\s*([kmgt]i?)?b?\s*$", re.IGNORECASE)

# How often the waiting thread looks at the run: bounds the delay of Ctrl-C
# and of progress updates.
_POLL_SECONDS = 0.05


@dataclass(frozen=True)
class Options:
    """The quality options of a run, validated (see velmar.embed)."""

    normalization_strength: float = 0.0
    step_normalize: bool = False
    features: Features | None = None

    def plan_args(self) -> dict[str, Any]:
        """memory_plan's keyword arguments for these options."""
        x = self.features
        return {
            "scaled_rows": self.normalization_strength != 0.0,
            "num_features": x.num_features if x is not None else 0,
            "feature_dim": x.feature_dim if x is not None else 0,
            "input_copies": x.copy_bytes if x is not None else 0,
            "one_block": self.step_normalize,
        }

    def engine_args(self) -> dict[str, Any]:
        """_engine.embed's keyword arguments for these options."""
        args: dict[str, Any] = {}
        if self.normalization_strength != 0.0:
            args["normalization_strength"] = self.normalization_strength
        if self.step_normalize:
            args["step_normalize"] = True
        if self.features is not None:
            arg = self.features.arg
            # Arrays that crossed a process boundary (a Dask task's
            # arguments) may come back unaligned; the engine reads only
            # aligned memory.
            if isinstance(arg, tuple):
                arg = (*(np.require(a, requirements=["A", "C"]) for a in arg[:3]), arg[3])
            else:
                arg = np.require(arg, requirements="A")
            args["features"] = arg
            args["feature_dim"] = self.features.feature_dim
        return args

    def record(self) -> dict[str, Any]:
        """What a run on disk records of them; nothing for the defaults, so
        that runs without options keep their records."""
        out: dict[str, Any] = {}
        if self.normalization_strength != 0.0:
            out["normalization_strength"] = self.normalization_strength
        if self.step_normalize:
            out["step_normalize"] = "l2"
        if self.features is not None:
            out["features"] = self.features.fingerprint()
            out["feature_dim"] = self.features.feature_dim
        return out


NO_OPTIONS = Options()


def check_options(normalization_strength: object, step_normalize: object) -> tuple[float, bool]:
    """(beta, step normalisation on) from the embed arguments."""
    if isinstance(normalization_strength, (bool, np.bool_)) or not isinstance(
        normalization_strength, (int, float, np.integer, np.floating)
    ):
        raise TypeError(
            f"normalization_strength must be a number, got {normalization_strength!r}"
        )
    beta = float(normalization_strength)
    if not math.isfinite(beta):
        raise ValueError(f"normalization_strength must be finite, got {beta}")
    if step_normalize is None or step_normalize is False:
        return beta, False
    if isinstance(step_normalize, str) and step_normalize == "l2":
        return beta, True
    raise ValueError(f"step_normalize must be False or 'l2', got {step_normalize!r}")


def parse_bytes(value: object, what: str = "memory_limit") -> int:
    """Bytes from an int or a string such as "4GB", "512MiB", "1.5G"."""
    if isinstance(value, str):
        match = _BYTES_RE.match(value)
        if match is None:
            raise ValueError(f"{what} must be a number of bytes such as '4GB', got {value!r}")
        unit = (match.group(2) or "").lower()
        scale = _BINARY[unit] if unit in _BINARY else _UNITS[unit]
        return int(float(match.group(1)) * scale)
    count = check_index(value, what)
    if count < 0:
        raise ValueError(f"{what} must not be negative, got {count}")
    return count


def check_columns(columns: object, dim: int) -> tuple[int, int]:
    """(j0, j1) with 0 <= j0 < j1 <= dim; None means every column."""
    if columns is None:
        return 0, dim
    try:
        first, last = cast("tuple[Any, Any]", columns)
    except (TypeError, ValueError):
        raise TypeError(f"columns must be a pair (j0, j1), got {columns!r}") from None
    j0 = check_index(first, "columns[0]")
    j1 = check_index(last, "columns[1]")
    if not 0 <= j0 < j1 <= dim:
        raise ValueError(f"columns must satisfy 0 <= j0 < j1 <= dim ({dim}), got ({j0}, {j1})")
    return j0, j1


def choose_block(
    n: int,
    m: int,
    columns: int,
    undirected: bool,
    memory_limit: object,
    *,
    narrow: bool = False,
    extra: dict[str, Any] | None = None,
) -> tuple[int, int | None, str, dict[str, int]]:
    """(block, limit, source, plan): the block width of a run of ``columns``
    columns, at most the width the engine prefers for n nodes on this
    machine (all columns with one_block in ``extra``, the plan arguments of
    the options) and the widest whose run fits the limit, which is the
    memory available to the process when none is given; block 0 when not
    even one column fits. ``plan`` is the engine's plan for that block."""
    if memory_limit is None:
        available = _memory.available_memory()
        limit, source = available if available is not None else (None, "")
    else:
        limit, source = parse_bytes(memory_limit), "memory_limit"
    plan = _engine.memory_plan(
        n, m, columns, undirected=undirected,
        row_ptrs_32bit=narrow, limit=2**64 - 1 if limit is None else limit, **(extra or {}),
    )
    return int(plan["block"]), limit, source, plan


def plan_shape(
    graph: CsrGraph | PreparedGraph, options: Options = NO_OPTIONS
) -> tuple[int, int, bool, dict[str, Any]]:
    """(n, entries, row_ptrs_32bit, extra): memory_plan's arguments for a run
    of ``options`` on ``graph``. A prepared graph is not built: its arrays
    are mapped, and resident while the run reads them, so they count as the
    caller's memory held during the run, with no entries to build."""
    extra = options.plan_args()
    if isinstance(graph, PreparedGraph):
        extra["input_copies"] += graph.mapped_bytes
        extra["opened_entries"] = graph.num_entries
        if graph.order is not None:
            extra["reordered"] = True
        return graph.num_nodes, 0, False, extra
    return graph.num_nodes, graph.num_edges, graph.row_ptrs.dtype == np.int32, extra


def plan_block(
    graph: CsrGraph | PreparedGraph,
    columns: int,
    undirected: bool,
    memory_limit: object,
    options: Options = NO_OPTIONS,
) -> int:
    """The block width of a run (choose_block); MemoryError when not even
    one column fits. With step normalisation the block is all columns: a
    memory_limit below that is a ValueError, too little memory a
    MemoryError."""
    n, planned, narrow, extra = plan_shape(graph, options)
    m = graph.num_entries if isinstance(graph, PreparedGraph) else graph.num_edges
    block, limit, source, plan = choose_block(
        n, planned, columns, undirected, memory_limit, narrow=narrow, extra=extra
    )
    if block != 0:
        return block
    assert limit is not None
    if options.step_normalize:
        error = ValueError if memory_limit is not None else MemoryError
        raise error(
            f"step_normalize='l2' couples the columns, so all {columns} of them are "
            f"computed in one block, which needs {_memory.format_bytes(plan['peak'])} "
            f"for {n:,} nodes and {m:,} stored edges, but only "
            f"{_memory.format_bytes(limit)} is available ({source}). Raise the limit, "
            "reduce dim, or embed without step_normalize."
        )
    need = plan  # the engine's plan at one column, when none fits
    raise MemoryError(
        f"embedding needs at least {_memory.format_bytes(need['peak'])} for "
        f"{n:,} nodes and {m:,} stored edges at dim={columns} "
        f"({_memory.format_bytes(need['result'])} "
        f"of it for the {n:,} × {columns} float32 result), but only "
        f"{_memory.format_bytes(limit)} is available ({source}). Reduce dim, embed "
        "fewer columns at a time (columns=), or free memory."
    )


class _Reporter:
    """Progress over column blocks × steps: tqdm where installed, a plain
    line otherwise, or the caller's callable(done, total)."""

    def __init__(self, progress: ProgressLike) -> None:
        self.callback: Callable[[int, int], object] | None = None
        self.bar: Any = None
        self.last = (-1, -1)
        self.open_line = False
        if callable(progress):
            self.callback = progress
        elif progress:
            try:
                from tqdm.auto import tqdm  # type: ignore[import-untyped]  # noqa: PLC0415

                self.bar = tqdm(total=0, desc="velmar", unit="step", file=sys.stderr, leave=False)
            except ImportError:
                self.callback = self._line

    def _line(self, done: int, total: int) -> None:
        self.open_line = done < total
        end = "" if self.open_line else "\n"
        print(f"\rvelmar: {done}/{total} block steps", end=end, file=sys.stderr, flush=True)

    def update(self, done: int, total: int) -> None:
        if (done, total) == self.last or total == 0:
            return
        self.last = (done, total)
        if self.bar is not None:
            self.bar.total = total
            self.bar.n = done
            self.bar.refresh()
        elif self.callback is not None:
            self.callback(done, total)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.open_line:  # interrupted: end the line before anything else
            print(file=sys.stderr, flush=True)


def _watched(work: Callable[[Any], Any], progress: ProgressLike) -> Any:
    """work(control) on a helper thread while this one waits, so that Ctrl-C
    cancels it; inline where no signal can arrive and nothing is shown."""
    control = _engine.RunControl()
    in_main = threading.current_thread() is threading.main_thread()
    if not in_main and not progress:
        return work(control)
    outcome: dict[str, Any] = {}
    finished = threading.Event()

    def target() -> None:
        try:
            outcome["value"] = work(control)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e
        finally:
            finished.set()

    reporter = _Reporter(progress)
    # The thread's own end is awaited through `finished`, not is_alive(),
    # which is False until the thread has signalled its start: a signal
    # during start() must not leave a run going on unwatched (and one still
    # in the engine at interpreter shutdown would be ended while it retakes
    # the GIL, which C++ cannot unwind through).
    thread = threading.Thread(target=target, name="velmar-engine")
    try:
        thread.start()
        while not finished.wait(_POLL_SECONDS):
            reporter.update(*control.progress())
    except BaseException:
        control.cancel()
        while thread.ident is not None and not finished.is_set():
            try:
                finished.wait()
            except KeyboardInterrupt:
                pass
        raise
    finally:
        reporter.close()
    if "error" in outcome:
        raise outcome["error"]
    reporter.update(*control.progress())
    return outcome["value"]


def build(graph: CsrGraph, undirected: bool, control: Any) -> Any:
    """The engine's compact graph; rows that are not strictly increasing are
    sorted (duplicates summed in stored order) and built again."""
    built = _engine.build_graph(
        graph.row_ptrs, graph.col_indices, graph.values, graph.num_nodes, undirected, control
    )
    if built is None:
        counts = np.diff(graph.row_ptrs.astype(np.int64, copy=False)).astype(np.int64)
        rows = np.repeat(np.arange(graph.num_nodes, dtype=np.int64), counts)
        cols = graph.col_indices.astype(np.int64, copy=False)
        row_ptrs, cols, vals = canonical_csr(rows, cols, graph.values, graph.num_nodes)
        built = _engine.build_graph(row_ptrs, cols, vals, graph.num_nodes, undirected, control)
    return built


def run(
    graph: CsrGraph | PreparedGraph,
    dim: int,
    weights: list[float],
    seed: int | None,
    undirected: bool,
    *,
    columns: tuple[int, int],
    memory_limit: object = None,
    progress: ProgressLike = None,
    options: Options = NO_OPTIONS,
) -> Embedding:
    """Columns [j0, j1) of the embedding of a converted graph, or of a
    prepared one, whose memory-mapped arrays the engine reads in place."""
    j0, j1 = columns
    if options.step_normalize and (j0, j1) != (0, dim):
        raise ValueError(
            f"step_normalize='l2' couples the columns: it computes all {dim} of them "
            f"at once and cannot give columns=({j0}, {j1}) alone; embed every column "
            "and take the slice"
        )
    block = plan_block(graph, j1 - j0, undirected, memory_limit, options)
    engine_args = options.engine_args()
    if isinstance(graph, PreparedGraph) and graph.order is not None:
        # Rows stored in locality order: each is seeded, reads its features
        # and is written as the node it is.
        engine_args["row_map"] = graph.order
    entries: list[int] = []  # entries of the graph the engine built

    def work(control: Any) -> Embedding:
        if isinstance(graph, PreparedGraph):
            compact = _engine.open_graph(graph.indptr, graph.indices, graph.scales, graph.num_nodes)
        else:
            compact = build(graph, undirected, control)
        entries.append(compact.num_entries)
        return _engine.embed(
            compact, dim, weights, seed, (j0, j1), block, None, control, **engine_args
        )

    try:
        result: Embedding = _watched(work, progress)
    except _engine.Cancelled:
        # Cancelled only by the Ctrl-C handling above, which raises its own
        # KeyboardInterrupt; reaching here means a signal raced the end.
        raise KeyboardInterrupt from None
    if undirected and isinstance(graph, CsrGraph) and graph.num_edges and entries == [0]:
        warnings.warn(
            f"every one of the graph's {graph.num_edges:,} edges cancels in A + Aᵀ "
            "(each weight is zero or the negative of its reverse edge's), so every "
            "propagation step gives zeros and only the weights[0] term remains; "
            "pass undirected=False (--directed on the command line) to use the "
            "edges as stored",
            RuntimeWarning,
            stacklevel=4,
        )
    return result
