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

The three quality options are restated here exactly as well, so that the
engine can be checked against them bit for bit (``initial_matrix``,
``step_l2_normalize``, and the keyword arguments of ``fit``):

* normalization_strength = beta: row i of the initial matrix is scaled by
  s_i = float32(pow(float64(deg_i), float64(beta))), deg_i being the number
  of stored entries of row i in the graph that is propagated over (after
  symmetrization when undirected). Every nonzero element v becomes
  float32(v * s_i); zeros stay +0.0 (no 0 * inf). Rows with deg_i = 0, and
  every row when beta is 0.0, are left as they are. pow is computed in
  float64 and rounded once to float32, so libms that differ in the last
  bit of a float64 pow give the same float32 except at an exact float32
  rounding tie.
* step_normalize = "l2": every H_i with i >= 1 is scaled to unit row length
  before it is weighted and before the next step reads it. For a row h:
  ss = ((p0 + p1) + (p2 + p3)) + ((p4 + p5) + (p6 + p7)) where p_l is the
  float64 sum, in ascending j, of float64(h_j) ** 2 over the columns
  j = l (mod 8) (the squares are exact in float64); a row with ss = 0 is
  left as it is (zero rows stay zero); otherwise q = 1.0 / sqrt(ss) in
  float64 and h_j becomes float32(float64(h_j) * q).
* step_center = True: every H_i (i >= 0, after its unit rows) has each
  column's degree-weighted mean taken from the rows with entries. With
  deg_r the number of stored entries of row r (as for beta): for chunks of
  512 rows in row order, p = the float64 sum, in ascending r from +0.0, of
  float64(deg_r) * float64(h_rj) over the chunk's rows with deg_r > 0; the
  column sum s_j is the float64 sum of the chunks' p in chunk order from
  +0.0; the mean is float32(s_j / float64(sum of deg_r)), and every row with
  deg_r > 0 becomes float32(h_rj - mean_j). Nothing changes when the graph
  has no entries.
* features X (n x f) with feature_dim = k: the last k columns of the
  initial matrix are F = X R, the first dim - k columns are columns
  0 .. dim - k - 1 of H_0 (dim columns, seed b). R is f x k with the
  projection's distribution, drawn exactly as H_0 is but from the feature
  seed b_R: the first SplitMix64 output from b xor 0x6A09E667F3BCC909, that
  is R = initialize_h0(f, k, b_R). Row r of R is seeded from b_R + r and
  element (r, c) is decided by output c + 1 of that row's generator, so
  column c of F depends only on column c of R, a block of columns is drawn
  by advancing every row generator to the block's first column, and R does
  not depend on n or dim. X is taken as float32 (finite values; sparse X
  with sorted columns and duplicates summed, as SciPy's sum_duplicates
  does). F[i][c] starts at +0.0 and adds float32(x * R[r][c]), rounded on
  its own, for the stored entries (r, x) of row i in ascending r. Zero
  products can be skipped (x = 0 or R[r][c] = 0): adding a signed zero to
  the running sum never changes it, so dense X and its sparse form give the
  same bits. beta then scales F's rows with the rest of the row.

``scipy_step`` is the hand-rolled alternative (one sparse-times-dense
product per step) for comparison; it is not guaranteed bit-identical.
"""

from __future__ import annotations

import math
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


def initialize_h0(num_nodes: int, dim: int, seed: int, chunk: int = 1 << 16) -> np.ndarray:
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


FEATURE_SEED_XOR = 0x6A09E667F3BCC909


def feature_seed(seed: int) -> int:
    """b_R: the first SplitMix64 output from seed xor FEATURE_SEED_XOR."""
    x = np.array([(seed % (1 << 64)) ^ FEATURE_SEED_XOR], dtype=np.uint64)
    with np.errstate(over="ignore"):
        return int(_splitmix_state(x)[0][0])


def feature_projection(num_features: int, feature_dim: int, seed: int) -> np.ndarray:
    """R, the f x k sign matrix of the feature columns for base seed `seed`."""
    return initialize_h0(num_features, feature_dim, feature_seed(seed))


def _csr_features(features, num_nodes):
    """(row_ptrs, cols, float32 values) of X without zeros, sorted, summed."""
    import scipy.sparse as sp

    if sp.issparse(features):
        x = sp.csr_matrix(features, dtype=np.float64, copy=True)
        x.sum_duplicates()
    else:
        x = sp.csr_matrix(np.asarray(features, dtype=np.float64))
    if x.shape[0] != num_nodes:
        raise ValueError(f"features have {x.shape[0]} rows for {num_nodes} nodes")
    if not np.all(np.isfinite(x.data)):
        raise ValueError("features must be finite")
    vals = x.data.astype(np.float32)
    keep = vals != 0.0
    rows = np.repeat(np.arange(num_nodes), np.diff(x.indptr))[keep]
    rp = np.zeros(num_nodes + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=num_nodes), out=rp[1:])
    return rp, x.indices[keep].astype(np.int64), vals[keep], x.shape[1]


def feature_columns(features, feature_dim: int, seed: int) -> np.ndarray:
    """F = X R in float32 with the engine's order of additions (ascending r)."""
    num_nodes = features.shape[0]
    rp, cols, vals, num_features = _csr_features(features, num_nodes)
    r_mat = feature_projection(num_features, feature_dim, seed)
    acc = np.zeros((num_nodes, feature_dim), dtype=np.float32)
    deg = np.diff(rp)
    order = np.argsort(-deg, kind="stable")
    starts = rp[:-1][order]
    sorted_deg = deg[order]
    # As in ExactPropagator: the k-th stored entry of every row that has one.
    for k in range(int(sorted_deg[0]) if num_nodes else 0):
        count = int(np.searchsorted(-sorted_deg, -k, side="left"))
        idx = starts[:count] + k
        part = np.multiply(r_mat[cols[idx]], vals[idx][:, None])
        acc[:count] += part
    out = np.empty_like(acc)
    out[order] = acc
    return out


def initial_matrix(
    num_nodes: int,
    dim: int,
    seed: int,
    degrees=None,
    normalization_strength: float = 0.0,
    features=None,
    feature_dim: int = 0,
) -> np.ndarray:
    """The matrix the propagation starts from, with the options applied.

    `degrees` (stored entries per row of the propagated graph) is needed
    only for a nonzero normalization_strength.
    """
    k = feature_dim if features is not None else 0
    if not 0 <= k <= dim:
        raise ValueError(f"feature_dim must be between 0 and dim, got {k}")
    h = initialize_h0(num_nodes, dim, seed)
    if k:
        h[:, dim - k :] = feature_columns(features, k, seed)
    beta = float(normalization_strength)
    if beta != 0.0:
        deg = np.asarray(degrees, dtype=np.int64)
        uniq, inverse = np.unique(deg, return_inverse=True)
        with np.errstate(over="ignore"):  # beyond float32: inf, as the engine gives
            scale_of = np.array(
                [math.pow(float(d), beta) if d > 0 else 1.0 for d in uniq], dtype=np.float64
            ).astype(np.float32)
        scale = scale_of[inverse.reshape(-1)]
        rows = deg > 0
        block = h[rows]
        np.multiply(block, scale[rows][:, None], out=block, where=block != 0.0)
        h[rows] = block
    return h


def step_l2_normalize(h: np.ndarray) -> np.ndarray:
    """Unit-length rows in the engine's order (module docstring); in place."""
    n, dim = h.shape
    lanes = np.zeros((n, 8), dtype=np.float64)
    for j in range(dim):
        col = h[:, j].astype(np.float64)
        lanes[:, j % 8] += col * col
    p = lanes
    ss = ((p[:, 0] + p[:, 1]) + (p[:, 2] + p[:, 3])) + ((p[:, 4] + p[:, 5]) + (p[:, 6] + p[:, 7]))
    rows = ss != 0.0
    q = 1.0 / np.sqrt(ss[rows])
    h[rows] = (h[rows].astype(np.float64) * q[:, None]).astype(np.float32)
    return h


def center_columns(h: np.ndarray, degrees: np.ndarray) -> np.ndarray:
    """Each column's degree-weighted mean taken from the rows with entries,
    in the engine's order (module docstring); in place."""
    n, dim = h.shape
    d = np.asarray(degrees, dtype=np.float64)
    total = float(d.sum())
    if total == 0.0:
        return h
    sums = np.zeros(dim)
    for c0 in range(0, n, 512):
        p = np.zeros(dim)
        for r in range(c0, min(n, c0 + 512)):
            if d[r] > 0.0:
                p = p + d[r] * h[r].astype(np.float64)
        sums = sums + p
    mean = (sums / total).astype(np.float32)
    rows = d > 0.0
    h[rows] = h[rows] - mean
    return h


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
    *,
    normalization_strength=0.0,
    step_normalize=False,
    step_center=False,
    features=None,
    feature_dim=0,
):
    """The embedding of a graph given as CSR arrays (see the module docstring).

    When `timings` is a dict, the seconds of each phase are stored in it.
    The keyword-only options are those of the module docstring; their
    defaults give the plain embedding.
    """
    if step_normalize not in (False, "l2"):
        raise ValueError(f"step_normalize must be False or 'l2', got {step_normalize!r}")
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
    h = initial_matrix(
        num_nodes,
        dim,
        seed,
        np.diff(rp),
        normalization_strength=normalization_strength,
        features=features,
        feature_dim=feature_dim,
    )
    t3 = clock()
    prop = ExactPropagator(rp, col, val, num_nodes)
    e = np.zeros((num_nodes, dim), dtype=np.float32)
    steps, acc_time = [], 0.0
    for i, w in enumerate(weights):
        a = clock()
        if i and step_normalize:
            step_l2_normalize(h)
        if step_center:
            center_columns(h, np.diff(rp))
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
