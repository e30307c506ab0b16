"""method="spectral" against a dense NumPy reference of the same algorithm,
and the same method through a prepared graph and the memory plan."""

from __future__ import annotations

import numpy as np
import pytest

import velmar
from velmar import _engine

scipy = pytest.importorskip("scipy")
from scipy.special import iv  # noqa: E402

DIM = 4


def unit_rows(x):
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return np.divide(x, norms, out=np.zeros_like(x), where=norms > 0)


def top(values, vectors, k):
    order = np.argsort(-values, kind="stable")[:k]
    return values[order], vectors[:, order]


def reference(a, dim, order=5, mu=0.2, theta=0.5):
    """The method with exact eigen- and singular vectors in float64: the
    engine's blocks are as wide as the graph here, so its subspaces are
    exact too."""
    n = len(a)
    d = a.sum(axis=1)
    s = 1.0 / np.sqrt(d)
    _, u = top(*np.linalg.eigh(s[:, None] * a * s[None, :]), dim + 1)
    spectral = unit_rows(s[:, None] * u[:, 1:])
    # Log proximity on the edges: ln(w_ij / d_i) - ln P_j.
    c = (a / d[:, None]).sum(axis=0) ** 0.75
    with np.errstate(divide="ignore"):
        m = np.where(a > 0, np.log(a / d[:, None]) - np.log(c / c.sum())[None, :], 0.0)
    left, sv, _ = np.linalg.svd(m)
    log = unit_rows(left[:, :dim] * np.sqrt(sv[:dim]))
    x = np.hstack([spectral, log])
    # Band-pass filter of the graph with a unit self-loop per mean weight.
    sigma = a.sum() / np.count_nonzero(a)
    ap = a / sigma + np.eye(n)
    dp = ap.sum(axis=1)

    def op(y):
        return (1.0 - mu) * y - (ap @ y) / dp[:, None]

    l0, l1 = x, 0.5 * op(op(x)) - x
    conv = iv(0, theta) * l0 - 2.0 * iv(1, theta) * l1
    for i in range(2, order):
        l0, l1 = l1, op(op(l1)) - 2.0 * l1 - l0
        conv = conv + (1.0 if i % 2 == 0 else -1.0) * 2.0 * iv(i, theta) * l1
    y = ap @ (x - conv)
    lam, v = top(*np.linalg.eigh(y.T @ y), dim)
    return y @ v / lam**0.25


def weighted_graph(n, seed):
    rng = np.random.default_rng(seed)
    a = np.zeros((n, n))
    for i in range(n):
        # A ring keeps the graph connected; chords add structure.
        for j in ((i + 1) % n, rng.integers(0, n)):
            if j != i:
                a[i, j] = a[j, i] = rng.uniform(0.5, 2.0)
    return a


@pytest.mark.parametrize("n, seed", [(26, 1), (24, 0), (20, 1), (19, 2), (14, 3), (3, 4)])
def test_matches_a_dense_reference(n, seed):
    # The blocks have dim + 16 columns. On graphs of as many nodes or fewer
    # they are the identity and the method is exact; a few nodes more, the
    # subspace iteration and the randomised SVD converge to well within the
    # tolerance. E is compared through E Eᵀ, which the columns' signs and
    # rotations within repeated eigenvalues do not change.
    a = weighted_graph(n, seed)
    rows, cols = np.nonzero(a)
    got = velmar.embed(
        (rows, cols, a[rows, cols]), DIM, seed=7, method="spectral", undirected=False
    )
    want = reference(a, DIM)
    gg = got.astype(np.float64) @ got.T.astype(np.float64)
    np.testing.assert_allclose(gg, want @ want.T, atol=2e-5 * np.abs(gg).max())


# Random blocks, and (40 nodes at dim 64) blocks that are the identity,
# which a reordered graph must lay out in node order. Edges join nodes of
# the same parity, so that reordering groups the even and the odd nodes.
@pytest.mark.parametrize("n, dim", [(500, 16), (40, 64)], ids=["random", "identity"])
@pytest.mark.parametrize("reorder", [False, True], ids=["node order", "reordered"])
def test_prepared_graph_gives_the_same_bits(tmp_path, reorder, n, dim):
    rng = np.random.default_rng(3)
    m = 6 * n
    i = rng.integers(0, n, m)
    edges = (i, 2 * rng.integers(0, n // 2, m) + i % 2, rng.uniform(0.1, 2, m))
    ids = np.arange(n)
    memory = velmar.embed(edges, dim, seed=2, method="spectral", nodes=ids)
    graph = velmar.prepare(edges, tmp_path / "g", nodes=ids, reorder=reorder)
    prepared = velmar.embed(graph, dim, seed=2, method="spectral")
    assert np.array_equal(memory.view(np.uint32), prepared.view(np.uint32))


def test_refuses_graphs_it_cannot_embed():
    with pytest.raises(ValueError, match="needs an undirected graph"):
        velmar.embed(([0, 1], [1, 2]), 4, seed=1, method="spectral", undirected=False)
    with pytest.raises(ValueError, match="non-negative edge weights"):
        velmar.embed(([0, 1], [1, 2], [1.0, -2.0]), 4, seed=1, method="spectral")
    # A graph built without its weights.
    graph = _engine.build_graph(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), 2, False)
    with pytest.raises(ValueError, match="needs the graph's edge weights"):
        _engine.embed(graph, _engine.settings(4, [1.0], 1, method="spectral"))


def test_memory_plan_counts_the_method():
    n, m, dim = 200_000, 2_000_000, 64
    projection = velmar.estimate_memory(n, m, dim, method="projection")
    spectral = velmar.estimate_memory(n, m, dim)  # the default method
    # The n × 2·dim block it filters comes on top of all the projection holds.
    assert spectral >= projection + 4 * n * 2 * dim
    # A limit that the whole filter does not fit narrows its block.
    shape = (n, m, True, False, False, 0, False, 0)
    run = (False, 0, 0, 0, False, True, False)
    wide = _engine.memory_plan(shape, run, dim, None, None)
    narrow = _engine.memory_plan(shape, run, dim, None, wide["peak"] - 4 * n * 8)
    assert 1 <= narrow["block"] < wide["block"]
    assert narrow["peak"] <= wide["peak"] - 4 * n * 8


# Without a method: the spectral one, unless an option only the projection
# takes is given, which then runs as it did before the spectral method.
@pytest.mark.parametrize(
    "kwargs, method",
    [
        ({}, "spectral"),
        ({"weights": (0.0, 1.0, 1.0)}, "projection"),
        ({"normalization_strength": -0.5}, "projection"),
        ({"step_normalize": "l2"}, "projection"),
        ({"columns": (1, 3)}, "projection"),
    ],
)
def test_the_method_options_choose(kwargs, method):
    edges = ([0, 1, 2, 3, 0], [1, 2, 3, 4, 4], [1.0, 2.0, 1.0, 0.5, 1.0])
    chosen = velmar.embed(edges, DIM, seed=7, **kwargs)
    named = velmar.embed(edges, DIM, seed=7, method=method, **kwargs)
    assert np.array_equal(chosen.view(np.uint32), named.view(np.uint32))
