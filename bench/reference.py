"""A NumPy implementation of the embedding, bit-identical to ``fit_csr``.

Everything is float32 with each product and each sum rounded on its own, in
the engine's order:

* H_0: one Xoshiro256++ generator per row, seeded by SplitMix64 from
  (seed + row); element (i, j) is decided by output j + 1 of row i's
  generator (k = r >> 40: +sqrt(3) for k <= 2796202, -sqrt(3) for
  k <= 5592405, else +0.0). The generators of all rows step together as
  uint64 vectors.
* A + A^T with entries whose sum compares equal to 0.0 dropped.
* One propagation step: row r of the result starts at +0.0 and adds, for its
  entries in ascending column order, H[c] * t with
  t = float32(value) * (1 / float32(degree)). The k-th entry of every row is
  one vectorised step over all rows that have one (rows are visited in order
  of decreasing degree, so those rows form a prefix), which keeps each row's
  order of additions.
* E = sum of H_i * float32(w_i) + E over the nonzero weights.

``scipy_step`` is the hand-rolled alternative (one sparse-times-dense
product per step) for comparison; it is not guaranteed bit-identical.
"""

from __future__ import annotations

import time

import numpy as np

SQRT3 = np.array([0x3FDDB3D7], dtype=np.uint32).view(np.float32)[0]
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
_PLUS_MAX = np.uint64(2796202)
_MINUS_MAX = np.uint64(5592405)


def _u(x: int) -> np.uint64:
    return np.uint64(x)


def _rotl(x: np.ndarray, k: int) -> np.ndarray:
    return (x << _u(k)) | (x >> _u(64 - k))


def _splitmix_state(x: np.ndarray) -> list[np.ndarray]:
    state = []
    for k in range(1, 5):
        z = x + _u(k) * _GOLDEN
        z = (z ^ (z >> _u(30))) * _M1
        z = (z ^ (z >> _u(27))) * _M2
        state.append(z ^ (z >> _u(31)))
    return state


def initialize_h0(
    num_nodes: int, dim: int, seed: int, chunk: int = 1 << 16
) -> np.ndarray:
    """The n x dim random projection, equal bit for bit to the engine's."""
    out = np.zeros((num_nodes, dim), dtype=np.float32)
    table = np.array([SQRT3, -SQRT3, 0.0], dtype=np.float32)
    with np.errstate(over="ignore"):
        base = _u(seed % (1 << 64))
        for lo in range(0, num_nodes, chunk):
            hi = min(num_nodes, lo + chunk)
            s0, s1, s2, s3 = _splitmix_state(np.arange(lo, hi, dtype=np.uint64) + base)
            r = np.empty_like(s0)
            t = np.empty_like(s0)
            code = np.empty(hi - lo, dtype=np.intp)
            block = out[lo:hi]
            for j in range(dim):
                # r = rotl(s0 + s3, 23) + s0
                np.add(s0, s3, out=t)
                np.left_shift(t, _u(23), out=r)
                np.right_shift(t, _u(41), out=t)
                np.bitwise_or(r, t, out=r)
                np.add(r, s0, out=r)
                np.left_shift(s1, _u(17), out=t)
                s2 ^= s0
                s3 ^= s1
                s1 ^= s2
                s0 ^= s3
                s2 ^= t
                np.left_shift(s3, _u(45), out=t)
                np.right_shift(s3, _u(19), out=s3)
                s3 |= t
                np.right_shift(r, _u(40), out=r)
                code[:] = r > _PLUS_MAX
                code += r > _MINUS_MAX
                block[:, j] = table[code]
    return out


def normalize_rows(row_ptrs, col_indices, values, num_nodes):
    """Sorted rows with duplicate columns merged (their weights summed).

    Exact for graphs without duplicates or with at most two entries per
    (row, column); with more, the engine may add them in another order.
    """
    rows = np.repeat(np.arange(num_nodes, dtype=np.int64), np.diff(row_ptrs))
    keys = rows * np.int64(max(num_nodes, 1)) + col_indices
    if keys.shape[0] and np.all(keys[1:] > keys[:-1]):
        return row_ptrs, col_indices, values
    order = np.argsort(keys, kind="stable")
    keys = keys[order]
    vals = values[order]
    start = np.ones(keys.shape[0], dtype=bool)
    start[1:] = keys[1:] != keys[:-1]
    first = np.flatnonzero(start)
    merged = np.add.reduceat(vals, first) if first.shape[0] else vals[:0]
    keys = keys[first]
    n = max(num_nodes, 1)
    counts = np.bincount(keys // n, minlength=num_nodes)
    rp = np.zeros(num_nodes + 1, dtype=np.int64)
    np.cumsum(counts, out=rp[1:])
    return rp, keys % n, merged


def symmetrize(row_ptrs, col_indices, values, num_nodes):
    """A + A^T; an entry whose sum compares equal to 0.0 is dropped."""
    n = np.int64(max(num_nodes, 1))
    rows = np.repeat(np.arange(num_nodes, dtype=np.int64), np.diff(row_ptrs))
    keys = np.concatenate([rows * n + col_indices, col_indices * n + rows])
    del rows
    vals = np.concatenate([values, values])
    order = np.argsort(keys, kind="stable")
    keys = keys[order]
    vals = vals[order]
    del order
    start = np.ones(keys.shape[0], dtype=bool)
    start[1:] = keys[1:] != keys[:-1]
    first = np.flatnonzero(start)
    # A canonical A holds each (i, j) once, so a group is A[i][j], A[j][i]
    # or both: a sum of at most two terms, the same in any order. A lone
    # term w becomes w + 0.0 in the engine, which differs from w only for
    # -0.0, dropped either way.
    summed = np.add.reduceat(vals, first) if first.shape[0] else vals[:0]
    keys = keys[first]
    keep = summed != 0.0
    keys = keys[keep]
    summed = summed[keep]
    counts = np.bincount(keys // n, minlength=num_nodes)
    rp = np.zeros(num_nodes + 1, dtype=np.int64)
    np.cumsum(counts, out=rp[1:])
    return rp, keys % n, summed


def entry_scales(row_ptrs, values):
    """t = float32(value) * float32(1 / float32(degree)) for every entry."""
    deg = np.diff(row_ptrs)
    deg32 = deg.astype(np.float32)
    inv = np.zeros(deg.shape[0], dtype=np.float32)
    nz = deg > 0
    inv[nz] = np.float32(1.0) / deg32[nz]
    return values.astype(np.float32) * np.repeat(inv, deg)


class ExactPropagator:
    """H -> P H in float32 with the engine's order of additions."""

    def __init__(self, row_ptrs, col_indices, values, num_nodes, chunk_rows=1 << 16):
        self.n = num_nodes
        deg = np.diff(row_ptrs)
        self.order = np.argsort(-deg, kind="stable")
        self.starts = row_ptrs[:-1][self.order]
        sorted_deg = deg[self.order]
        max_deg = int(sorted_deg[0]) if num_nodes else 0
        # active[k]: rows (a prefix of `order`) that have a k-th entry.
        self.active = np.searchsorted(-sorted_deg, -np.arange(max_deg), side="left")
        self.col = col_indices
        self.t = entry_scales(row_ptrs, values)
        self.chunk = chunk_rows

    def step(self, h: np.ndarray) -> np.ndarray:
        n, dim = h.shape
        acc = np.zeros((n, dim), dtype=np.float32)
        buf = np.empty((min(self.chunk, n), dim), dtype=np.float32)
        for k, count in enumerate(self.active):
            for lo in range(0, int(count), self.chunk):
                hi = min(int(count), lo + self.chunk)
                idx = self.starts[lo:hi] + k
                part = buf[: hi - lo]
                np.take(h, self.col[idx], axis=0, out=part)
                np.multiply(part, self.t[idx][:, None], out=part)
                np.add(acc[lo:hi], part, out=acc[lo:hi])
        out = np.empty_like(acc)
        out[self.order] = acc
        return out


def accumulate(e: np.ndarray, h: np.ndarray, weight: float) -> None:
    """E = H * float32(w) + E, skipped for a weight equal to 0.0."""
    if weight != 0.0:
        w = np.float32(weight)
        tmp = np.multiply(h, w)
        np.add(tmp, e, out=e)


def fit(
    row_ptrs,
    col_indices,
    values,
    num_nodes,
    dim,
    weights,
    seed,
    undirected=True,
    timings=None,
):
    """The embedding of a graph given as CSR arrays (see the module docstring).

    When `timings` is a dict, the seconds of each phase are stored in it.
    """
    clock = time.perf_counter
    t0 = clock()
    rp, col, val = normalize_rows(
        np.asarray(row_ptrs, np.int64),
        np.asarray(col_indices, np.int64),
        np.asarray(values, np.float64),
        num_nodes,
    )
    t1 = clock()
    if undirected:
        rp, col, val = symmetrize(rp, col, val, num_nodes)
    t2 = clock()
    h = initialize_h0(num_nodes, dim, seed)
    t3 = clock()
    prop = ExactPropagator(rp, col, val, num_nodes)
    e = np.zeros((num_nodes, dim), dtype=np.float32)
    steps, acc_time = [], 0.0
    for i, w in enumerate(weights):
        a = clock()
        accumulate(e, h, w)
        acc_time += clock() - a
        if i + 1 == len(weights):
            break
        a = clock()
        h = prop.step(h)
        steps.append(clock() - a)
    if timings is not None:
        timings.update(
            normalize=t1 - t0,
            symmetrize=t2 - t1,
            project=t3 - t2,
            steps=steps,
            accumulate=acc_time,
            total=clock() - t0,
        )
    return e


def scipy_normalized(row_ptrs, col_indices, values, num_nodes):
    """The row-normalised adjacency D^-1 A as a float32 SciPy CSR matrix."""
    import scipy.sparse as sp

    t = entry_scales(row_ptrs, values)
    return sp.csr_matrix((t, col_indices, row_ptrs), shape=(num_nodes, num_nodes))


def scipy_fit(
    row_ptrs,
    col_indices,
    values,
    num_nodes,
    dim,
    weights,
    seed,
    undirected=True,
    timings=None,
):
    """The same pipeline with SciPy: (A + A.T), then D^-1 A @ H per step."""
    import scipy.sparse as sp

    clock = time.perf_counter
    t0 = clock()
    a = sp.csr_matrix((values, col_indices, row_ptrs), shape=(num_nodes, num_nodes))
    a.sum_duplicates()
    if undirected:
        a = (a + a.T).tocsr()
        a.eliminate_zeros()
        a.sort_indices()
    t1 = clock()
    h = initialize_h0(num_nodes, dim, seed)
    t2 = clock()
    p = scipy_normalized(a.indptr.astype(np.int64), a.indices, a.data, num_nodes)
    e = np.zeros((num_nodes, dim), dtype=np.float32)
    steps, acc_time = [], 0.0
    for i, w in enumerate(weights):
        s = clock()
        accumulate(e, h, w)
        acc_time += clock() - s
        if i + 1 == len(weights):
            break
        s = clock()
        h = p @ h
        steps.append(clock() - s)
    if timings is not None:
        timings.update(
            symmetrize=t1 - t0,
            project=t2 - t1,
            steps=steps,
            accumulate=acc_time,
            total=clock() - t0,
        )
    return e
