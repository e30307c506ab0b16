"""Memory estimate of one embedding and the guard that runs before it.

The guard compares what an embedding still has to allocate with the memory
available to the process (the tightest cgroup limit on the way to the root,
and MemAvailable of /proc/meminfo), so that a call that cannot fit raises
MemoryError instead of being killed by the kernel halfway through.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from ._convert import check_index

# Limits at or above this are "no limit" (cgroup v1 reports 2**63 rounded
# down to a page).
_NO_LIMIT = 1 << 60


def estimate_memory(
    num_nodes: int,
    num_edges: int,
    dim: int,
    *,
    undirected: bool = True,
    memory_limit: int | str | None = None,
    normalization_strength: float = 0.0,
    step_normalize: object = False,
    features: object = None,
    feature_dim: int | None = None,
) -> int:
    """Peak bytes that embedding a graph of this size allocates, beyond the input.

    ``num_edges`` is the number of stored entries of the input (for an
    undirected networkx graph, each edge in both directions). The figure is
    the engine's own plan of its allocations (docs/guide.md gives the
    formula): the compact graph, the transpose used to symmetrize it, the
    n × dim float32 result, two n × b working matrices and, where the
    engine takes its steps segment by segment, the segmented graph, where
    the column block b is the width the engine prefers on this machine (all
    columns when an n × dim float32 matrix fits half the last-level cache,
    else 64; narrower when ``memory_limit``, or the memory available, asks
    for it). Inputs that
    are not SciPy CSR matrices are first converted to CSR arrays, which add
    8·(n + 1) + 16·m bytes while the graph is built.

    The options of :func:`velmar.embed` add their buffers: n float32 row
    scales for a nonzero ``normalization_strength``, the f × min(b, k) block
    of the feature projection and the float32 copy of ``features`` (the
    matrix itself, or its number of columns f when it will be float32 with
    contiguous rows or float32 CSR, which are read in place);
    ``step_normalize="l2"`` makes b = dim whatever the limit.
    """
    from . import _api, _engine, _features, _runner  # noqa: PLC0415 (import cycle)

    n = check_index(num_nodes, "num_nodes")
    m = check_index(num_edges, "num_edges")
    d = check_index(dim, "dim")
    if n < 0 or m < 0 or d < 0:
        raise ValueError("num_nodes, num_edges and dim must not be negative")
    if d == 0:
        return 0
    beta, step = _runner.check_options(normalization_strength, step_normalize)
    k = _features.check_feature_dim(features, feature_dim, d)
    extra = _api.guard_plan_args(beta, step, features, k)
    return plan_peak(n, m, d, bool(undirected), memory_limit, extra)


def plan_peak(
    n: int, m: int, dim: int, undirected: bool, memory_limit: object, extra: dict[str, Any]
) -> int:
    """The engine's planned peak at the block a run would take
    (_runner.choose_block: the memory available when memory_limit is None);
    the narrowest block when none fits, all columns with step
    normalisation."""
    from . import _runner  # noqa: PLC0415 (import cycle)

    # With no block that fits, the engine already plans the fallback block.
    _, _, _, plan = _runner.choose_block(n, m, dim, undirected, memory_limit, extra=extra)
    return int(plan["peak"])


# --- what is available -----------------------------------------------------


def _read_int(path: str) -> int | None:
    try:
        with open(path, encoding="ascii") as f:
            text = f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None
    if text == "max":
        return None
    try:
        return int(text)
    except ValueError:
        return None


def _stat_field(path: str, names: tuple[str, ...]) -> int:
    try:
        with open(path, encoding="ascii") as f:
            for line in f:
                key, _, value = line.partition(" ")
                if key in names:
                    return int(value)
    except (OSError, UnicodeDecodeError, ValueError):
        pass
    return 0


def _cgroup_dirs(proc_cgroup: str, root: str) -> list[tuple[str, int]]:
    """Directories of this process's memory cgroups, innermost first, with
    their version (1 or 2); each up to the mount root, whose limits apply to
    everything below."""
    dirs: list[tuple[str, int]] = []
    try:
        with open(proc_cgroup, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError:
        return dirs
    for line in lines:
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        hier, controllers, path = parts
        if hier == "0" and controllers == "":
            base, version = root, 2
        elif "memory" in controllers.split(","):
            base, version = os.path.join(root, "memory"), 1
        else:
            continue
        rel = path.strip("/")
        while True:
            dirs.append((os.path.join(base, rel) if rel else base, version))
            if not rel:
                break
            rel = os.path.dirname(rel)
    return dirs


def _cgroup_headroom(
    proc_cgroup: str = "/proc/self/cgroup", root: str = "/sys/fs/cgroup"
) -> int | None:
    """Bytes left under the tightest cgroup memory limit, or None without one.

    Usage counts page cache; its inactive part is reclaimed before the kernel
    kills anything, so it is not counted as used.
    """
    best: int | None = None
    for directory, version in _cgroup_dirs(proc_cgroup, root):
        if version == 2:
            limit = _read_int(os.path.join(directory, "memory.max"))
            usage = _read_int(os.path.join(directory, "memory.current"))
            inactive = _stat_field(os.path.join(directory, "memory.stat"), ("inactive_file",))
        else:
            limit = _read_int(os.path.join(directory, "memory.limit_in_bytes"))
            usage = _read_int(os.path.join(directory, "memory.usage_in_bytes"))
            inactive = _stat_field(
                os.path.join(directory, "memory.stat"), ("total_inactive_file", "inactive_file")
            )
        if limit is None or limit >= _NO_LIMIT:
            continue
        used = max((usage or 0) - inactive, 0)
        headroom = max(limit - used, 0)
        best = headroom if best is None else min(best, headroom)
    return best


def _mem_available(meminfo: str = "/proc/meminfo") -> int | None:
    try:
        with open(meminfo, encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    fields = line.split()
                    return int(fields[1]) * 1024  # the kernel reports kB
    except (OSError, ValueError, IndexError):
        pass
    return None


def available_memory() -> tuple[int, str] | None:
    """(bytes, where the figure comes from) for this process, or None when
    the system does not say."""
    candidates: list[tuple[int, str]] = []
    cgroup = _cgroup_headroom()
    if cgroup is not None:
        candidates.append((cgroup, "under this process's cgroup memory limit"))
    mem = _mem_available()
    if mem is not None:
        candidates.append((mem, "MemAvailable in /proc/meminfo"))
    if not candidates:
        return None
    return min(candidates)


def format_bytes(count: int) -> str:
    if count < 1024:
        return f"{count} bytes"
    size = count / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if size < 1024:
            return f"{size:.1f} {unit}"
        size /= 1024
    return f"{size:.1f} TiB"
def _raise_memory_error(
    needed: int, free: int, source: str, num_nodes: int, num_edges: int, dim: int, stage: str
) -> None:
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
        f"{format_bytes(free)} is available ({source}); checked before {stage}. "
        "Reduce dim, embed a smaller graph, or free memory."
    )


def conversion_bytes(
    num_nodes: int,
    num_edges: int,
    working_bytes: int,
    dim: int,
    undirected: bool,
    options: dict[str, Any] | None = None,
) -> int:
    """What one conversion stage and everything after it allocate: the
    stage's working memory, the canonical CSR arrays (8·(n + 1) + 16·m
    bytes) and the engine's plan, with the options' buffers."""
    engine = (
        plan_peak(num_nodes, num_edges, dim, undirected, None, options)
        if options and dim
        else estimate_memory(num_nodes, num_edges, dim, undirected=undirected)
    )
    return working_bytes + 8 * (num_nodes + 1) + 16 * num_edges + engine


def conversion_guard(
    dim: int, undirected: bool, options: dict[str, Any] | None = None
) -> Callable[[int, int, int], None]:
    """The check a converter runs before each costly stage: the stage's own
    working memory, the canonical arrays it leads to and the engine must fit
    together. Until the IDs are numbered the number of nodes is a lower bound,
    so the first check counts every edge but perhaps not every node; the one
    after numbering is exact."""

    def guard(num_nodes: int, num_edges: int, working_bytes: int) -> None:
        needed = conversion_bytes(num_nodes, num_edges, working_bytes, dim, undirected, options)
        available = available_memory()
        if available is None or needed <= available[0]:
            return
        _raise_memory_error(needed, *available, num_nodes, num_edges, dim, "converting")

    return guard


def parse_bytes(value: object) -> int | None:
    """None, or a byte count as ``memory_limit`` takes it (4GB, 512MiB, ...)."""
    from . import _runner  # noqa: PLC0415 (import cycle)

    return None if value is None else _runner.parse_bytes(value)
