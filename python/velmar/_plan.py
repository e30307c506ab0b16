"""The memory plan: what a run allocates, against the memory it may use.

Every figure comes from the engine's own plan of its allocations
(``_engine.memory_plan``); this module only says which graph and which run
to plan for, and what to do when they do not fit: choose narrower column
blocks (the same bits), or raise MemoryError before anything large is
allocated.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal, NamedTuple

from . import _engine, _memory
from ._checks import check_index, format_bytes
from ._graph import PreparedGraph
from ._run import Run

# A converter calls its guard before each stage that allocates in proportion
# to the graph, with the number of nodes (a lower bound until the IDs are
# numbered), the number of edges and the bytes the stage itself needs at its
# peak; the guard raises MemoryError when that, the entries it leads to and
# the engine cannot fit.
Guard = Callable[[int, int, int], None]


def no_guard(num_nodes: int, num_edges: int, working_bytes: int) -> None:
    pass


class Shape(NamedTuple):
    """What the plan needs to know of a graph: its size, whether the engine
    still has to build it (from entries in sorted rows or in any order) and
    the bytes of arrays it holds or maps while the run reads them."""

    num_nodes: int
    num_entries: int = 0  # entries the engine builds from; 0 for a built graph
    undirected: bool = False
    sorted: bool = True
    row_ptrs_32bit: bool = False
    held_bytes: int = 0
    reordered: bool = False
    held_entries: int = 0  # entries of a graph the engine holds (its segments copy them)


def shape_of(graph: PreparedGraph, run: Run) -> Shape:
    """A graph the engine holds already. A prepared graph's mapped arrays
    become resident while the run reads them, so they count as memory the
    run holds; a graph built in memory is already allocated, so it counts
    only against a memory_limit (the memory available has it deducted)."""
    held = graph.mapped_bytes
    if graph.path is None and run.memory_limit is not None:
        held = graph.graph_bytes
    return Shape(
        graph.num_nodes,
        held_bytes=held,
        reordered=graph.order is not None,
        held_entries=graph.num_entries,
    )


def engine_plan(
    shape: Shape,
    run: Run,
    columns: int,
    block: int | None,
    limit: int | None = None,
    result: Literal["whole", "block"] = "whole",
) -> dict[str, int]:
    """The engine's plan of a run of `columns` columns in blocks of at most
    `block` (None: the width the engine prefers on this machine; the widest
    whose run fits `limit`, when given), its result a new array of every
    column, or one array per block ("block")."""
    plan = _engine.memory_plan(shape, run.plan_shape(), columns, block, limit, result)
    return plan


def limit_of(run: Run, fraction: int = 1) -> tuple[int | None, str]:
    """The bytes a run may use and where the figure comes from: its
    memory_limit, else 1/fraction of the memory available (None when the
    system does not say)."""
    available = None if run.memory_limit is not None else _memory.available_memory()
    return limit_under(run, available, fraction)


def limit_under(
    run: Run, available: tuple[int, str] | None, fraction: int = 1
) -> tuple[int | None, str]:
    """limit_of with the memory available already read."""
    if run.memory_limit is not None:
        return run.memory_limit, "memory_limit"
    if available is None:
        return None, ""
    return available[0] // fraction, available[1]


def block_width(shape: Shape, run: Run, columns: int, entries: int) -> int:
    """The block width of a run in memory: the widest, up to the width the
    engine prefers on this machine (all columns with step normalisation,
    which the engine plans as one block), whose run fits
    the limit. MemoryError when not even one column fits; with step
    normalisation a memory_limit below the one block is a ValueError.
    `entries`: the graph's stored edges, for the messages."""
    limit, source = limit_of(run)
    plan = engine_plan(shape, run, columns, None, limit=2**64 - 1 if limit is None else limit)
    if plan["block"] != 0:
        return int(plan["block"])
    assert limit is not None
    n = shape.num_nodes
    if run.step_normalize:
        error = ValueError if run.memory_limit is not None else MemoryError
        raise error(
            f"step_normalize='l2' couples the columns, so all {columns} of them are "
            f"computed in one block, which needs {format_bytes(plan['peak'])} "
            f"for {n:,} nodes and {entries:,} stored edges, but only "
            f"{format_bytes(limit)} is available ({source}). "
            "Raise the limit, reduce dim, or embed without step_normalize."
        )
    if run.method == "spectral":
        raise MemoryError(
            f"method='spectral' needs at least {format_bytes(plan['peak'])} for "
            f"{n:,} nodes and {entries:,} stored edges at dim={columns} "
            f"({format_bytes(plan['result'])} of it for the {n:,} × {columns} float32 "
            f"result), but only {format_bytes(limit)} is available ({source}). Reduce "
            "dim, free memory, or use method='projection', which can run in narrower "
            "column blocks and to disk."
        )
    raise MemoryError(
        f"embedding needs at least {format_bytes(plan['peak'])} for "
        f"{n:,} nodes and {entries:,} stored edges at dim={columns} "
        f"({format_bytes(plan['result'])} of it for "
        f"the {n:,} × {columns} float32 result), but only {format_bytes(limit)} "
        f"is available ({source}). Reduce dim, embed fewer columns at a time "
        "(columns=), or free memory."
    )


def disk_block_width(shape: Shape, run: Run) -> int:
    """The block width of a run to disk: the widest whose run fits the
    memory_limit, or half the memory available without one; at least 1, at
    most dim and, unless the run needs all columns in one block (step
    normalisation), the engine's preferred width; evened out over the blocks
    it needs."""
    dim = run.dim
    # Step normalisation needs every column at once; otherwise the width the
    # engine prefers on this machine, at most.
    widest = dim if run.step_normalize else None
    limit, _ = limit_of(run, fraction=2)
    plan = engine_plan(
        shape, run.replace(step_normalize=False), dim, widest, limit=limit, result="block"
    )
    if plan["block"] == 0:
        if run.memory_limit is not None:
            raise MemoryError(
                f"a block of one column needs more than "
                f"memory_limit={run.memory_limit_arg!r} for {shape.num_nodes:,} "
                "nodes; raise the limit"
            )
        return 1
    return int(plan["block"])


def check_disk_width(shape: Shape, run: Run, width: int, given: bool) -> None:
    """A block width a run to disk can use; step normalisation needs one
    block of every column (ValueError saying why it does not have it)."""
    dim = run.dim
    if not 1 <= width <= dim:
        raise ValueError(f"block_columns must be between 1 and dim ({dim}), got {width}")
    if not run.step_normalize or width == dim:
        return
    need = engine_plan(shape, run, dim, dim, result="block")["peak"]
    reason = (
        f"block_columns={width}"
        if given
        else f"memory_limit={run.memory_limit_arg!r} leaves room for {width} at a time"
        if run.memory_limit is not None
        else f"the memory available leaves room for {width} at a time"
    )
    raise ValueError(
        f"step_normalize='l2' couples the columns, so all {dim} must be computed "
        f"in one block (about {format_bytes(need)}), but {reason}; pass "
        f"block_columns={dim} on a machine with that much memory, or embed "
        "without step_normalize"
    )


def planned_peak(shape: Shape, run: Run, limit: tuple[int | None, str] | None = None) -> int:
    """The engine's planned peak at the block an in-memory run would take
    under `limit` (default: limit_of(run)); the narrowest when none fits, all
    columns with step normalisation."""
    bound, _ = limit_of(run) if limit is None else limit
    dim = run.dim
    plan = engine_plan(shape, run, dim, None, limit=2**64 - 1 if bound is None else bound)
    return int(plan["peak"])


def conversion_bytes(
    run: Run,
    num_nodes: int,
    num_edges: int,
    working_bytes: int,
    limit: tuple[int | None, str] | None = None,
) -> int:
    """What one conversion stage and everything after it allocate: the
    stage's own working memory, the entry arrays it leads to (24 bytes an
    edge: a row and a column index and a weight) and the engine's build and
    run of those entries."""
    shape = Shape(num_nodes, num_edges, undirected=run.undirected, sorted=False)
    return working_bytes + 24 * num_edges + planned_peak(shape, run, limit)


def conversion_guard(run: Run) -> Guard:
    """The check a converter runs before each costly stage (conversion_bytes
    against the memory available). Until the IDs are numbered the number of
    nodes is a lower bound, so the first check counts every edge but perhaps
    not every node; the one after numbering is exact."""

    def guard(num_nodes: int, num_edges: int, working_bytes: int) -> None:
        available = _memory.available_memory()
        needed = conversion_bytes(
            run, num_nodes, num_edges, working_bytes, limit_under(run, available)
        )
        if available is None or needed <= available[0]:
            return
        free, source = available
        dim = run.dim
        if num_nodes:
            size = (
                f"{num_nodes:,} nodes and {num_edges:,} edges at dim={dim} "
                f"({format_bytes(4 * num_nodes * dim)} of it for the "
                f"{num_nodes:,} × {dim} float32 result)"
            )
        else:  # an edge list whose IDs are not numbered yet
            size = f"{num_edges:,} edges at dim={dim}, not counting the nodes' matrices"
        raise MemoryError(
            f"embedding needs about {format_bytes(needed)} for {size}, but only "
            f"{format_bytes(free)} is available ({source}); checked before converting. "
            "Reduce dim, embed a smaller graph, or free memory."
        )

    return guard


def estimate_memory(
    num_nodes: int,
    num_edges: int,
    dim: int,
    *,
    undirected: bool = True,
    memory_limit: int | str | None = None,
    normalization_strength: float = 0.0,
    step_normalize: object = False,
    step_center: object = False,
    features: object = None,
    feature_dim: int | None = None,
    method: str | None = None,
) -> int:
    """Peak bytes that embedding a graph of this size allocates, beyond the input.

    ``num_edges`` is the number of stored entries of the input (for an
    undirected networkx graph, each edge in both directions). The figure is
    the engine's own plan of its allocations (docs/guide.md gives the
    formula) for a SciPy CSR matrix with sorted rows: the compact graph, the
    transpose used to symmetrize it, the n × dim float32 result, two n × b
    working matrices and, where the engine takes its steps segment by
    segment, the segmented graph, where the column block b is the width the
    engine prefers on this machine (all columns when an n × dim float32
    matrix fits half the last-level cache, else 64; narrower when
    ``memory_limit``, or the memory available, asks for it).
    Other inputs are first converted to entry arrays (24·m bytes) that the
    engine sorts into a copy (8·(n + 1) + 12·m bytes, 16·m from 2³² nodes on)
    while it builds the graph.

    The options of :func:`velmar.embed` add their buffers: n float32 row
    scales for a nonzero ``normalization_strength``, the f × min(b, k) block
    of the feature projection and the float32 copy of ``features`` (the
    matrix itself, or its number of columns f when it will be float32 with
    contiguous rows or float32 CSR, which are read in place);
    ``step_normalize="l2"`` makes b = dim whatever the limit;
    ``step_center=True`` adds 8·b bytes per 512 nodes of column sums and,
    for a prepared graph kept in another row order, 8·n of row numbers.

    From 2⁴⁰ nodes, 2⁴⁴ entries or 2¹⁸ columns on, the figure is
    2⁶⁴ − 1: more than any machine holds.

    ``method`` is that of :func:`velmar.embed`, whose in-memory default is
    the spectral method; the figures above are ``method="projection"``'s.
    For the spectral method (docs/guide.md, "Choosing a method") the plan
    holds the graph with each entry's float64 weight, the n × 2·dim float32
    block it filters and, at its largest, two n × (dim + 16) blocks or the
    filter's four n × b blocks, with two per-entry float32 factors; the
    n × dim result counts from the last step on, which writes it.
    """
    n = check_index(num_nodes, "num_nodes")
    m = check_index(num_edges, "num_edges")
    d = check_index(dim, "dim")
    if n < 0 or m < 0 or d < 0:
        raise ValueError("num_nodes, num_edges and dim must not be negative")
    if d == 0:
        return 0
    run = Run.from_arguments(
        dim=d,
        undirected=bool(undirected),
        memory_limit=memory_limit,
        normalization_strength=normalization_strength,
        step_normalize=step_normalize,
        step_center=step_center,
        features=features,
        feature_dim=feature_dim,
        method=method,
    )
    return planned_peak(Shape(n, m, undirected=run.undirected), run)
