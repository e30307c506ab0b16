"""The benchmark's NumPy reference and graph generator, and fit_csr against them.

The reference (bench/reference.py) restates the whole computation in float32
NumPy; fit_csr must agree with it bit for bit on every graph below.
"""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import graphgen
import reference

S = reference.SQRT3


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


H0_ROWS = {
    0: ["-00+0+00-+-+", "00+0-000++00", "000-00000000"],
    42: ["0-0000+0-000", "-00000+-0-00", "+00000000+00"],
}


@pytest.mark.parametrize("seed", sorted(H0_ROWS))
def test_projection_rows(seed):
    table = {"+": S, "-": -S, "0": np.float32(0.0)}
    want = np.array([[table[c] for c in row] for row in H0_ROWS[seed]], dtype=np.float32)
    assert np.array_equal(bits(reference.initialize_h0(3, 12, seed)), bits(want))


def test_projection_seed_shifts_rows_and_wraps():
    a = reference.initialize_h0(5, 20, 42)
    assert np.array_equal(bits(reference.initialize_h0(4, 20, 43)), bits(a[1:]))
    assert np.array_equal(
        bits(reference.initialize_h0(2, 12, 2**64 - 1)[1]),
        bits(reference.initialize_h0(1, 12, 0)[0]),
    )
    # Chunked generation gives the same rows as one block.
    assert np.array_equal(bits(reference.initialize_h0(5, 20, 42, chunk=2)), bits(a))


def test_propagation_worked_example():
    rp = np.array([0, 1, 3, 3])
    col = np.array([1, 0, 2])
    val = np.array([1.0, 1.0, 3.0])
    prop = reference.ExactPropagator(rp, col, val, 3)
    h = np.array([[1, 0], [0, 2], [4, -1]], dtype=np.float32)
    e = np.zeros((3, 2), dtype=np.float32)
    for i, w in enumerate([0.0, 1.0, 0.5]):
        reference.accumulate(e, h, w)
        if i < 2:
            h = prop.step(h)
    assert e.tolist() == [[3.25, 1.25], [6.5, -1.0], [0.0, 0.0]]


def test_symmetrize_sums_pairs_and_drops_zero_sums():
    # 0->1 (1.0) and 1->0 (3.0); 1->2 (2.0) and 2->1 (-2.0); self-loop 2->2 (0.5).
    rp = np.array([0, 1, 3, 5])
    col = np.array([1, 0, 2, 1, 2])
    val = np.array([1.0, 3.0, 2.0, -2.0, 0.5])
    srp, scol, sval = reference.symmetrize(rp, col, val, 3)
    assert srp.tolist() == [0, 1, 2, 3]
    assert scol.tolist() == [1, 0, 2]
    assert sval.tolist() == [4.0, 4.0, 1.0]


@pytest.mark.parametrize(
    "make, n, degree",
    [
        (graphgen.power_law_graph, 50, 4.0),
        (graphgen.power_law_graph, 3000, 16.0),
        (graphgen.planted_graph, 3000, 16.0),
    ],
)
def test_generator_is_seeded_and_sized(make, n, degree):
    a = make(n, degree, seed=3)
    b = make(n, degree, seed=3)
    assert np.array_equal(a.col_indices, b.col_indices) and np.array_equal(a.values, b.values)
    assert a.row_ptrs[0] == 0 and a.row_ptrs[-1] == a.nnz
    rows = np.repeat(np.arange(n), np.diff(a.row_ptrs))
    keys = rows * n + a.col_indices
    assert np.all(np.diff(keys) > 0)  # sorted rows, no duplicates
    assert np.all(rows != a.col_indices)  # no self-loops
    srp, _, _ = reference.symmetrize(a.row_ptrs, a.col_indices, a.values, n)
    pairs = 2 * round(n * degree / 2)
    if make is graphgen.power_law_graph:
        assert srp[-1] == pairs
    else:  # repeated pairs and self-loops are gone
        assert 0.95 * pairs <= srp[-1] <= pairs


def _random_graph(rng, n, m, zeros=False, dups=False, loops=True):
    src = rng.integers(0, n, m)
    dst = rng.integers(0, n, m)
    if not loops:
        dst = np.where(src == dst, (dst + 1) % n, dst)
    val = rng.choice([-1.5, 0.25, 1.0, 2.0, 3.0e-3], m) * rng.uniform(0.5, 2.0, m)
    if zeros:
        val[rng.random(m) < 0.2] = 0.0
    keys = src * n + dst
    if not dups:
        keys, first = np.unique(keys, return_index=True)
        val = val[first]
    else:
        # At most two entries per (row, column): their sum is the same in any order.
        _, first = np.unique(keys, return_index=True)
        keys = np.concatenate([keys[first], keys[first][: len(first) // 3]])
        val = np.concatenate([val[first], val[first][: len(first) // 3] * 0.5])
        order = rng.permutation(keys.shape[0])
        keys, val = keys[order], val[order]
        rows = keys // n
        order = np.argsort(rows, kind="stable")  # rows grouped, columns unsorted
        keys, val = keys[order], val[order]
    rows = keys // n
    rp = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=rp[1:])
    return rp, (keys % n).astype(np.int64), val.astype(np.float64)


CASES = [
    # n, m, dim, weights, undirected, zeros, dups
    (1, 1, 4, [1.0, 1.0], True, False, False),
    (40, 120, 7, [0.0, 1.0, 1.0, 1.0], True, False, False),
    (40, 120, 7, [0.0, 1.0, 1.0, 1.0], False, True, False),
    (200, 900, 33, [0.5, -1.0, 0.0, 2.0], True, True, False),
    (200, 900, 16, [1.0, 1.0, 1.0], False, False, True),
    (300, 40, 5, [0.0, 0.0, 1.0], True, False, False),  # many empty rows
    (500, 6000, 64, [0.0, 1.0, 1.0, 1.0], True, False, False),
]


@pytest.mark.parametrize("n, m, dim, weights, undirected, zeros, dups", CASES)
def test_fit_csr_matches_reference_bit_for_bit(n, m, dim, weights, undirected, zeros, dups):
    core = pytest.importorskip("_rust_core")
    rng = np.random.default_rng(n * 7919 + m)
    rp, col, val = _random_graph(rng, n, m, zeros=zeros, dups=dups)
    want = reference.fit(rp, col, val, n, dim, weights, 11, undirected=undirected)
    got = core.fit_csr(rp, col, val, n, dim, weights, seed=11, undirected=undirected)
    assert got.shape == want.shape
    assert np.array_equal(bits(got), bits(want))


def test_fit_csr_matches_reference_on_power_law_graph():
    core = pytest.importorskip("_rust_core")
    g = graphgen.power_law_graph(2000, 16.0, seed=5)
    args = (g.row_ptrs, g.col_indices, g.values, g.num_nodes, 32, [0.0, 1.0, 1.0, 1.0])
    want = reference.fit(*args, 3)
    assert np.array_equal(bits(core.fit_csr(*args, seed=3)), bits(want))
    # The SciPy formulation of the benchmark's baseline agrees as well.
    pytest.importorskip("scipy")
    assert np.array_equal(bits(reference.scipy_fit(*args, 3)), bits(want))


# The quality options of the reference, which the engine will be held to.
# Graph: 0-1, 1-2, 1-3, 2-3 (degrees 1, 3, 2, 2) and node 4 isolated.
OPT_RP = np.array([0, 1, 4, 6, 8, 8])
OPT_COL = np.array([1, 0, 2, 3, 1, 3, 1, 2])
OPT_VAL = np.ones(8)
OPT_DEG = np.diff(OPT_RP)


@pytest.mark.parametrize("beta", [0.0, -1.0, -0.5, 1.0, 300.0])
def test_normalization_strength_scales_rows_by_degree(beta):
    h0 = reference.initialize_h0(5, 24, 9)
    got = reference.initial_matrix(5, 24, 9, OPT_DEG, normalization_strength=beta)
    with np.errstate(over="ignore", invalid="ignore"):
        scale = np.array([np.float32(d**beta) if d else 1 for d in OPT_DEG], np.float32)
        want = np.where(h0 != 0, h0 * scale[:, None], np.float32(0))
    assert np.array_equal(bits(got), bits(want))
    assert not np.isnan(got).any()  # 0 * inf never happens
    assert np.array_equal(bits(got[4]), bits(h0[4]))  # isolated row unscaled


def test_step_normalize_gives_unit_rows_and_keeps_zero_rows():
    args = (OPT_RP, OPT_COL, OPT_VAL, 5, 19, [0.0, 0.0, 1.0], 4)
    e = reference.fit(*args, undirected=False, step_normalize="l2")
    norms = np.linalg.norm(e[:4].astype(np.float64), axis=1)
    assert np.allclose(norms, 1.0, atol=1e-6)
    assert np.array_equal(bits(e[4]), np.zeros(19, np.uint32))
    # H_0 itself is not normalised.
    h0 = reference.fit(*args[:5], [1.0], 4, undirected=False, step_normalize="l2")
    assert np.array_equal(bits(h0), bits(reference.initialize_h0(5, 19, 4)))


def _features(rng, n, f):
    return rng.choice([0.0, 0.0, 1.0, -2.5, 0.3], size=(n, f))


@pytest.mark.parametrize("n, f, k", [(5, 3, 1), (40, 17, 8), (200, 64, 33)])
def test_feature_columns(n, f, k):
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(n + f)
    x = _features(rng, n, f)
    got = reference.feature_columns(x, k, 5)
    # Sparse X, with an explicit zero and a split duplicate, gives the same bits.
    coo = sp.coo_matrix(x)
    rows = np.r_[coo.row, 0, coo.row[:1]]
    cols = np.r_[coo.col, (coo.col[0] + 1) % f, coo.col[:1]]
    vals = np.r_[coo.data, 0.0, 0.0]
    vals[0] /= 2
    vals[-1] = vals[0]
    sparse_x = sp.csr_matrix((vals, (rows, cols)), shape=(n, f))
    assert np.array_equal(bits(reference.feature_columns(sparse_x, k, 5)), bits(got))
    # Column c depends only on column c of R: fewer columns are a prefix.
    assert np.array_equal(
        bits(reference.feature_columns(x, k // 2 + 1, 5)), bits(got[:, : k // 2 + 1])
    )
    # Scalar restatement: ascending r, each product and sum rounded to float32.
    r = reference.feature_projection(f, k, 5)
    i = n - 1
    for c in range(k):
        acc = np.float32(0.0)
        for j in range(f):
            acc = np.float32(acc + np.float32(np.float32(x[i, j]) * r[j, c]))
        assert acc.view(np.uint32) == got[i, c].view(np.uint32)


def test_feature_seed_and_layout_of_the_initial_matrix():
    pytest.importorskip("scipy")  # the reference's features go through SciPy
    # b_R = first SplitMix64 output from seed ^ 0x6A09E667F3BCC909.
    assert reference.feature_seed(0) == 0x63CFC62A2B097592
    assert reference.feature_seed(42) == 0xD86E1008EAC15BC5
    x = _features(np.random.default_rng(1), 5, 4)
    m = reference.initial_matrix(
        5, 12, 42, OPT_DEG, normalization_strength=-1.0, features=x, feature_dim=5
    )
    plain = reference.initial_matrix(5, 12, 42, OPT_DEG, normalization_strength=-1.0)
    assert np.array_equal(bits(m[:, :7]), bits(plain[:, :7]))
    f = reference.initial_matrix(
        5, 5, 42, OPT_DEG, normalization_strength=-1.0, features=x, feature_dim=5
    )
    assert np.array_equal(bits(m[:, 7:]), bits(f))


def _option_kwargs(n, features, k):
    rng = np.random.default_rng(n)
    x = _features(rng, n, 13)
    if features == "dense32":
        x = x.astype(np.float32)
    elif features == "csr":
        x = pytest.importorskip("scipy.sparse").csr_matrix(x)
    return {} if features is None else {"features": x, "feature_dim": k}


OPTION_CASES = [
    # n, m, dim, weights, undirected, beta, step, center, features, feature_dim
    (200, 900, 33, [0.5, -1.0, 0.0, 2.0], True, -0.5, False, False, None, 0),
    (200, 900, 40, [1.0, 1.0, 1.0], False, 1.0, "l2", False, None, 0),  # wider than a block
    (300, 40, 17, [0.0, 1.0, 1.0], True, 0.0, "l2", False, None, 0),  # many zero rows
    (200, 900, 24, [1.0, 1.0, 0.5], True, 0.0, False, False, "dense", 9),
    (200, 900, 24, [1.0, 0.0, 0.5], False, -1.0, "l2", False, "csr", 24),
    (40, 120, 8, [1.0, 1.0], True, 0.5, False, False, "dense32", 3),
    # Centred: sums over several chunks of rows, rows without entries kept.
    (1300, 900, 20, [0.5, 1.0, 0.0, 1.0], True, 1.0, "l2", True, None, 0),
    (1100, 6000, 12, [1.0, 1.0, 1.0], False, -0.5, False, True, "dense", 5),
    (300, 40, 17, [0.0, 1.0, 1.0], True, 0.0, "l2", True, None, 0),
]


@pytest.mark.parametrize(
    "n, m, dim, weights, undirected, beta, step, center, features, k", OPTION_CASES
)
def test_embed_options_match_reference_bit_for_bit(
    tmp_path, n, m, dim, weights, undirected, beta, step, center, features, k
):
    velmar = pytest.importorskip("velmar")
    sp = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(n * 7919 + m)
    rp, col, val = _random_graph(rng, n, m)
    opts = dict(
        normalization_strength=beta,
        step_normalize=step,
        step_center=center,
        **_option_kwargs(n, features, k),
    )
    want = reference.fit(rp, col, val, n, dim, weights, 11, undirected=undirected, **opts)
    a = sp.csr_matrix((val, col, rp), shape=(n, n))
    got = velmar.embed(a, dim, weights, seed=11, undirected=undirected, **opts, method="projection")
    assert np.array_equal(bits(got), bits(want))
    if step or center:  # a run to disk: all columns in one block, or centred blocks of 5
        disk = velmar.embed(
            a,
            dim,
            weights,
            seed=11,
            undirected=undirected,
            out=str(tmp_path / "e.npy"),
            block_columns=None if step else 5,
            **opts,
            method="projection",
        )
        assert np.array_equal(bits(np.asarray(disk)), bits(want))
    if step and weights[0] == 0.0:  # rows without entries stay +0.0 through every step
        empty = np.diff(reference.symmetrize(rp, col, val, n)[0]) == 0
        assert empty.any() and not bits(got[empty]).any()
