"""Seeded power-law test graphs (Chung-Lu) in CSR form, cached on disk.

A graph is a directed, weighted CSR matrix whose symmetrization A + A^T has
exactly ``round(n * mean_degree / 2)`` undirected pairs, so its stored entry
count after symmetrization is ``2 * pairs`` (mean degree ``mean_degree``).
Endpoints are drawn with probability proportional to a Chung-Lu weight
``(i + 1) ** (-1 / (gamma - 1))`` of their rank i (degree tail exponent
gamma) and node ids are then shuffled, so hubs are
scattered over the id range as in real graphs. Each pair is stored in one
random direction; a fraction of pairs is stored in both directions with
independent weights (the symmetrization then adds them). Weights are uniform
in [0.5, 2.0), never zero, so no entry is dropped by the symmetrization.

The same arguments give the same arrays on any machine with the same NumPy
major version (PCG64 streams are stable).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

GENERATOR_VERSION = 1


@dataclass
class Csr:
    row_ptrs: np.ndarray  # int64, n + 1
    col_indices: np.ndarray  # int64, nnz
    values: np.ndarray  # float64, nnz
    num_nodes: int

    @property
    def nnz(self) -> int:
        return int(self.col_indices.shape[0])

    def nbytes(self) -> int:
        return self.row_ptrs.nbytes + self.col_indices.nbytes + self.values.nbytes


def _draw_nodes(rng, count, n, alpha):
    """Node ranks with P(rank near x) proportional to (x + 1) ** -alpha.

    Inverse-transform sampling of the continuous law on [0, n), so the draw
    is a closed form instead of a search over n cumulative weights.
    """
    beta = 1.0 - alpha
    top = (n + 1.0) ** beta - 1.0
    x = (1.0 + rng.random(count) * top) ** (1.0 / beta) - 1.0
    return np.minimum(x.astype(np.int64), n - 1)


def _sorted_unique(keys):
    keys.sort()
    keep = np.empty(keys.shape[0], dtype=bool)
    keep[:1] = True
    np.not_equal(keys[1:], keys[:-1], out=keep[1:])
    return keys[keep]


def _sample_pairs(rng, n, want, alpha, perm):
    """Returns `want` distinct pairs (a < b) of shuffled node ids, sorted."""
    keys = np.empty(0, dtype=np.int64)
    draw = int(want * 1.15) + 16
    while True:
        u = perm[_draw_nodes(rng, draw, n, alpha)]
        v = perm[_draw_nodes(rng, draw, n, alpha)]
        keep = u != v
        a = np.minimum(u[keep], v[keep])
        b = np.maximum(u[keep], v[keep])
        keys = _sorted_unique(np.concatenate([keys, a * np.int64(n) + b]))
        if keys.shape[0] >= want:
            break
        # Heavy tails repeat pairs between hubs: draw more.
        draw = int((want - keys.shape[0]) * 1.5) + 16
    extra = keys.shape[0] - want
    if extra:
        drop = np.zeros(keys.shape[0], dtype=bool)
        drop[rng.choice(keys.shape[0], extra, replace=False)] = True
        keys = keys[~drop]
    return keys // n, keys % n


def power_law_graph(
    n: int,
    mean_degree: float = 16.0,
    seed: int = 1,
    gamma: float = 2.5,
    reciprocal: float = 0.2,
) -> Csr:
    """A seeded Chung-Lu graph with n nodes; see the module docstring."""
    rng = np.random.default_rng(np.random.SeedSequence([GENERATOR_VERSION, seed]))
    if n < 2:
        return Csr(np.zeros(n + 1, np.int64), np.zeros(0, np.int64), np.zeros(0), n)
    pairs = min(round(n * mean_degree / 2), n * (n - 1) // 2)
    perm = rng.permutation(n).astype(np.int64)
    a, b = _sample_pairs(rng, n, pairs, 1.0 / (gamma - 1.0), perm)
    flip = rng.random(pairs) < 0.5
    src = np.where(flip, b, a)
    dst = np.where(flip, a, b)
    both = rng.random(pairs) < reciprocal
    keys = np.concatenate([src * np.int64(n) + dst, dst[both] * np.int64(n) + src[both]])
    del a, b, src, dst, flip, both
    keys.sort()
    src = keys // n
    col = keys % n
    del keys
    # Weights are i.i.d., so drawing them after the sort changes nothing.
    values = rng.uniform(0.5, 2.0, col.shape[0])
    counts = np.bincount(src, minlength=n)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    return Csr(row_ptrs, col, values, n)


def planted_graph(
    n: int,
    mean_degree: float = 16.0,
    seed: int = 1,
    size: int = 1000,
    inside: float = 0.85,
) -> Csr:
    """A seeded graph with planted communities: blocks of ``size`` nodes,
    ``round(n * mean_degree / 2)`` pairs drawn with a uniform first node and
    a second node in its block with probability ``inside`` (anywhere
    otherwise), each stored in one direction with a weight uniform in
    [0.5, 2.0); self-loops dropped, repeated pairs summed; node ids then
    shuffled, so that no community is contiguous."""
    rng = np.random.default_rng(np.random.SeedSequence([GENERATOR_VERSION, seed, size]))
    pairs = round(n * mean_degree / 2)
    u = rng.integers(0, n, pairs, dtype=np.int64)
    near = rng.random(pairs) < inside
    v = np.where(near, (u // size) * size + rng.integers(0, size, pairs), rng.integers(0, n, pairs))
    v = np.minimum(v, n - 1)
    perm = rng.permutation(n).astype(np.int64)
    keep = u != v
    src, dst = perm[u[keep]], perm[v[keep]]
    values = rng.uniform(0.5, 2.0, src.shape[0])
    del u, v, near, keep
    order = np.lexsort((dst, src))
    src, dst, values = src[order], dst[order], values[order]
    # Repeated pairs summed, in their drawn order.
    first = np.ones(src.shape[0], dtype=bool)
    first[1:] = (src[1:] != src[:-1]) | (dst[1:] != dst[:-1])
    starts = np.flatnonzero(first)
    values = np.add.reduceat(values, starts) if starts.size else values
    src, dst = src[starts], dst[starts]
    counts = np.bincount(src, minlength=n)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    return Csr(row_ptrs, dst, values, n)


KINDS = ("chung-lu", "planted")


def default_cache_dir() -> Path:
    return Path(os.environ.get("VELMAR_BENCH_CACHE", "/tmp/velmar_bench"))


def graph_key(n: int, mean_degree: float, seed: int, kind: str = "chung-lu") -> str:
    prefix = "pl" if kind == "chung-lu" else "pc"
    return f"{prefix}_v{GENERATOR_VERSION}_n{n}_d{mean_degree:g}_s{seed}"


def save_csr(csr: Csr, directory: Path) -> None:
    """Writes raw little-endian arrays (also read by the C++ probe)."""
    directory.mkdir(parents=True, exist_ok=True)
    tmp = directory / "tmp"
    tmp.mkdir(exist_ok=True)
    csr.row_ptrs.astype("<i8").tofile(tmp / "row_ptrs.bin")
    csr.col_indices.astype("<i8").tofile(tmp / "col_indices.bin")
    csr.values.astype("<f8").tofile(tmp / "values.bin")
    (tmp / "num_nodes.txt").write_text(f"{csr.num_nodes}\n")
    for name in ("row_ptrs.bin", "col_indices.bin", "values.bin", "num_nodes.txt"):
        os.replace(tmp / name, directory / name)
    tmp.rmdir()


def load_csr(directory: Path) -> Csr:
    n = int((directory / "num_nodes.txt").read_text())
    return Csr(
        np.fromfile(directory / "row_ptrs.bin", dtype="<i8"),
        np.fromfile(directory / "col_indices.bin", dtype="<i8"),
        np.fromfile(directory / "values.bin", dtype="<f8"),
        n,
    )


def has_csr(directory: Path) -> bool:
    return (directory / "num_nodes.txt").exists()


def ensure_graphs(
    n: int,
    mean_degree: float = 16.0,
    seed: int = 1,
    cache: Path | None = None,
    kind: str = "chung-lu",
) -> tuple[Path, Path]:
    """Directories of the input graph (``kind``: "chung-lu", the power-law
    graph, or "planted", planted communities) and of its symmetrization,
    made once."""
    from reference import symmetrize

    if kind not in KINDS:
        raise ValueError(f"graph kind must be one of {KINDS}, got {kind!r}")
    base = (cache or default_cache_dir()) / graph_key(n, mean_degree, seed, kind)
    directed, undirected = base / "directed", base / "undirected"
    if not has_csr(directed):
        make = power_law_graph if kind == "chung-lu" else planted_graph
        save_csr(make(n, mean_degree, seed), directed)
    if not has_csr(undirected):
        g = load_csr(directed)
        rp, col, val = symmetrize(g.row_ptrs, g.col_indices, g.values, n)
        save_csr(Csr(rp, col, val, n), undirected)
    return directed, undirected


def symmetrized_graph_dir(n: int, mean_degree: float = 16.0, seed: int = 1) -> Path:
    return ensure_graphs(n, mean_degree, seed)[1]
