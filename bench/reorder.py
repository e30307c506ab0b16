"""What a locality order of the nodes buys a step, and what it costs.

    python bench/reorder.py                  # n = 10^6: 1,000 communities of 1,000 nodes
    python bench/reorder.py --communities 100 --size 1000 --rounds 2   # quick look

Graph: `communities` blocks of `size` nodes, `degree / 2` pairs per node drawn
from a seeded generator, each pair inside its first node's block with
probability --inside (default 0.85), otherwise anywhere; node IDs then
shuffled. Duplicate pairs are summed, self-loops dropped, symmetrized by the
engine (about n * degree stored entries).

Three labellings of the same graph are embedded side by side in one process
with the engine's default block width, after a warm-up, interleaved round by
round (best round of each shown):
- shuffled: the IDs as drawn;
- ordered: relabelled by the cheap order below, computed from the shuffled
  graph alone;
- contiguous: each block's IDs contiguous (the planted order, the best case);
and for reference scipy's reverse Cuthill-McKee order.

The cheap order: a few passes of label propagation, each half of the nodes
(by a seeded hash) in turn taking the label most frequent among its
neighbours (ties to the label of highest seeded priority), then a stable sort
by label. Each pass sorts the entries once by (row, neighbour label).

A step's time is (t(weights [0,1,1,1]) - t(weights [1])) / 3: the three
propagations without the projection.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import scipy.sparse as sp

from velmar import _engine


def community_pairs(communities: int, size: int, degree: int, inside: float, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    n = communities * size
    m = n * degree // 2
    u = rng.integers(0, n, m, dtype=np.int64)
    near = rng.random(m) < inside
    v = np.where(near, (u // size) * size + rng.integers(0, size, m), rng.integers(0, n, m))
    keep = u != v
    return u[keep], v[keep]


def csr(u: np.ndarray, v: np.ndarray, n: int) -> sp.csr_matrix:
    a = sp.csr_matrix((np.ones(len(u)), (u, v)), shape=(n, n))
    a.sum_duplicates()
    return a


def label_order(indptr: np.ndarray, indices: np.ndarray, n: int, passes: int, seed: int) -> np.ndarray:
    """The permutation (new position -> node) grouping nodes by propagated label."""
    rng = np.random.default_rng(seed)
    priority = rng.permutation(n).astype(np.int64)  # label -> tie-break rank
    by_priority = np.argsort(priority)  # rank -> label
    half = rng.random(n) < 0.5
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
    labels = np.arange(n, dtype=np.int64)
    for _ in range(passes):
        for side in (True, False):
            sel = half[rows] == side
            r = rows[sel]
            key = np.unique(r * n + labels[indices[sel]], return_counts=True)
            r_k, lab = np.divmod(key[0], n)
            score = key[1].astype(np.int64) * n + priority[lab]
            starts = np.flatnonzero(np.r_[True, r_k[1:] != r_k[:-1]])
            best = np.maximum.reduceat(score, starts)
            labels[r_k[starts]] = by_priority[best % n]
    return np.argsort(labels, kind="stable")


def relabel(a: sp.csr_matrix, order: np.ndarray) -> sp.csr_matrix:
    """The graph with node order[p] renamed p, rows sorted by new column."""
    b = a[order][:, order].tocsr()
    b.sort_indices()
    return b


def upper_graph(a: sp.csr_matrix) -> _engine.Graph:
    g = _engine.build_graph(
        a.indptr.astype(np.int64), a.indices.astype(np.int64), a.data.astype(np.float64), a.shape[0], True
    )
    assert g is not None
    return g


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--communities", type=int, default=1000)
    ap.add_argument("--size", type=int, default=1000)
    ap.add_argument("--degree", type=int, default=16)
    ap.add_argument("--inside", type=float, default=0.85)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    n = args.communities * args.size
    u, v = community_pairs(args.communities, args.size, args.degree, args.inside, args.seed)
    shuffle = np.random.default_rng(args.seed + 1).permutation(n)
    contiguous = csr(u, v, n)
    shuffled = csr(shuffle[u], shuffle[v], n)
    sym = (shuffled + shuffled.T).tocsr()
    print(f"n = {n:,}, stored entries after symmetrizing = {sym.nnz:,}, dim {args.dim}, "
          f"block {_engine.PREFERRED_BLOCK}, threads {_engine.get_num_threads()}")

    # What the order costs, from the shuffled graph alone (symmetric CSR in hand).
    t = time.perf_counter()
    order = label_order(sym.indptr, sym.indices, n, args.passes, args.seed)
    t_order = time.perf_counter() - t
    t = time.perf_counter()
    ordered = relabel(shuffled, order)
    t_relabel = time.perf_counter() - t
    t = time.perf_counter()
    rcm = sp.csgraph.reverse_cuthill_mckee(sym, symmetric_mode=True)
    t_rcm = time.perf_counter() - t
    # How well it recovers the blocks: the share of consecutive positions in one block.
    block_of = np.empty(n, dtype=np.int64)
    block_of[shuffle] = np.arange(n) // args.size
    same = float(np.mean(block_of[order[1:]] == block_of[order[:-1]]))
    print(f"label order: {args.passes} passes {t_order:.2f} s, relabelling {t_relabel:.2f} s, "
          f"neighbouring positions in one block {same:.3f}; reverse Cuthill-McKee {t_rcm:.2f} s")

    graphs = {
        "shuffled": upper_graph(shuffled),
        "ordered": upper_graph(ordered),
        "contiguous": upper_graph(contiguous),
        "rcm": upper_graph(relabel(shuffled, rcm)),
    }
    del sym, shuffled, ordered, contiguous
    out = np.zeros((n, args.dim), dtype=np.float32)  # touched once, reused
    for g in graphs.values():  # warm-up
        _engine.embed(g, args.dim, [1.0, 1.0], seed=1, out=out)
    best: dict[str, list[float]] = {k: [np.inf, np.inf] for k in graphs}
    for _ in range(args.rounds):
        for name, g in graphs.items():
            for i, w in enumerate(([1.0], [0.0, 1.0, 1.0, 1.0])):
                t = time.perf_counter()
                _engine.embed(g, args.dim, w, seed=1, out=out)
                best[name][i] = min(best[name][i], time.perf_counter() - t)
    step = {k: (b[1] - b[0]) / 3 for k, b in best.items()}
    print(f"{'labelling':<12}{'embed [0,1,1,1] s':>18}{'step s':>9}{'step vs shuffled':>18}")
    for k in graphs:
        print(f"{k:<12}{best[k][1]:>18.3f}{step[k]:>9.3f}{step['shuffled'] / step[k]:>17.2f}x")


if __name__ == "__main__":
    main()
