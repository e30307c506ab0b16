"""What a locality order of the nodes buys a step, and what it costs.

    python bench/reorder.py                  # n = 10^6: 1,000 communities of 1,000 nodes
    python bench/reorder.py --communities 100 --size 1000 --rounds 2   # quick look

Graph: `communities` blocks of `size` nodes, `degree / 2` pairs per node drawn
from a seeded generator, each pair inside its first node's block with
probability --inside (default 0.85), otherwise anywhere; node IDs then
shuffled. Duplicate pairs are summed, self-loops dropped, symmetrized by the
engine (about n * degree stored entries).

The same graph is embedded side by side in one process with the engine's
default block width, after a warm-up, interleaved round by round (best round
of each shown):
- shuffled: velmar.prepare of the shuffled IDs;
- reordered: velmar.prepare(..., reorder=True) of the same input: rows stored
  in the label-propagation order of velmar._order.locality_order (computed
  from the shuffled graph alone), each keeping its entries in their order,
  handed to the engine with the order as its row map (the bits of
  'shuffled');
- contiguous: each block's IDs contiguous (the planted order, the best case);
- rcm: relabelled by scipy's reverse Cuthill-McKee order.
The preparation of 'shuffled' and of 'reordered' is timed too: their
difference is what the order costs.

A step's time is (t(weights [0,1,1,1]) - t(weights [1])) / 3: the three
propagations without the projection.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time

import numpy as np
import scipy.sparse as sp

import velmar
from velmar import _engine, _order


def community_pairs(
    communities: int, size: int, degree: int, inside: float, seed: int
) -> tuple[np.ndarray, np.ndarray]:
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


def relabel(a: sp.csr_matrix, order: np.ndarray) -> sp.csr_matrix:
    """The graph with node order[p] renamed p, rows sorted by new column."""
    b = a[order][:, order].tocsr()
    b.sort_indices()
    return b


def upper_graph(a: sp.csr_matrix) -> _engine.Graph:
    g = _engine.build_graph(
        a.indptr.astype(np.int64),
        a.indices.astype(np.int64),
        a.data.astype(np.float64),
        a.shape[0],
        True,
    )
    return g


def main() -> None:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--communities", type=int, default=1000)
    ap.add_argument("--size", type=int, default=1000)
    ap.add_argument("--degree", type=int, default=16)
    ap.add_argument("--inside", type=float, default=0.85)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    n = args.communities * args.size
    u, v = community_pairs(args.communities, args.size, args.degree, args.inside, args.seed)
    shuffle = np.random.default_rng(args.seed + 1).permutation(n)
    contiguous = csr(u, v, n)
    shuffled = csr(shuffle[u], shuffle[v], n)
    sym = (shuffled + shuffled.T).tocsr()
    print(
        f"n = {n:,}, stored entries after symmetrizing = {sym.nnz:,}, dim {args.dim}, "
        f"block {_engine.PREFERRED_BLOCK}, threads {_engine.get_num_threads()}"
    )

    tmp = tempfile.mkdtemp(prefix="velmar-reorder-")
    t = time.perf_counter()
    plain = velmar.prepare(shuffled, os.path.join(tmp, "plain"))
    t_plain = time.perf_counter() - t
    t = time.perf_counter()
    reordered = velmar.prepare(shuffled, os.path.join(tmp, "reordered"), reorder=True)
    t_reordered = time.perf_counter() - t
    assert reordered.order is not None
    t = time.perf_counter()
    rcm = sp.csgraph.reverse_cuthill_mckee(sym, symmetric_mode=True)
    t_rcm = time.perf_counter() - t
    # How well it recovers the blocks: the runs of one block along the order
    # (communities at best) and the median distance between a block's first
    # and last position.
    order = np.asarray(reordered.order)
    block_of = np.empty(n, dtype=np.int64)
    block_of[shuffle] = np.arange(n) // args.size
    runs = 1 + int(np.count_nonzero(block_of[order[1:]] != block_of[order[:-1]]))
    first = np.full(args.communities, n)
    last = np.zeros(args.communities, dtype=np.int64)
    np.minimum.at(first, block_of[order], np.arange(n))
    np.maximum.at(last, block_of[order], np.arange(n))
    span = int(np.median(last - first))
    print(
        f"prepare {t_plain:.2f} s, with reorder=True {t_reordered:.2f} s "
        f"(order: {_order.PASSES} passes of label propagation); {runs:,} runs of one "
        f"community, median span {span:,}; reverse Cuthill-McKee {t_rcm:.2f} s"
    )

    # A prepared graph's engine graph carries its row map.
    graphs = {
        "shuffled": plain.engine,
        "reordered": reordered.engine,
        "contiguous": upper_graph(contiguous),
        "rcm": upper_graph(relabel(shuffled, rcm)),
    }
    del sym, shuffled, contiguous
    out = np.zeros((n, args.dim), dtype=np.float32)  # touched once, reused
    for g in graphs.values():  # warm-up
        _engine.embed(g, _engine.settings(args.dim, [1.0, 1.0], 1), out=out)
    best: dict[str, list[float]] = {k: [np.inf, np.inf] for k in graphs}
    for _ in range(args.rounds):
        for name, g in graphs.items():
            for i, w in enumerate(([1.0], [0.0, 1.0, 1.0, 1.0])):
                run = _engine.settings(args.dim, w, 1)
                t = time.perf_counter()
                _engine.embed(g, run, out=out)
                best[name][i] = min(best[name][i], time.perf_counter() - t)
    step = {k: (b[1] - b[0]) / 3 for k, b in best.items()}
    print(f"{'labelling':<12}{'embed [0,1,1,1] s':>18}{'step s':>9}{'step vs shuffled':>18}")
    for k in graphs:
        print(f"{k:<12}{best[k][1]:>18.3f}{step[k]:>9.3f}{step['shuffled'] / step[k]:>17.2f}x")
    same_bits = all(
        np.array_equal(
            _engine.embed(graphs["shuffled"], _engine.settings(32, w, 1)),
            _engine.embed(graphs["reordered"], _engine.settings(32, w, 1)),
        )
        for w in ([1.0], [0.0, 1.0, 1.0, 1.0])
    )
    print(f"reordered gives the bits of shuffled (dim 32): {same_bits}")
    shutil.rmtree(tmp)
    if not same_bits:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
