"""VelmarEmbedding follows scikit-learn's estimator conventions."""

from __future__ import annotations

import numpy as np
import pytest

import velmar
from velmar import VelmarEmbedding

GRAPH = (["a", "b", "c", "d", "a"], ["b", "c", "d", "a", "c"])


def bits(x):
    return x.view(np.uint32)


def test_params_round_trip_and_defaults():
    est = VelmarEmbedding()
    assert est.get_params() == {
        "dim": 128,
        "weights": (0.0, 1.0, 1.0),
        "random_state": None,
        "undirected": True,
        "normalize": None,
        "normalization_strength": 0.0,
        "step_normalize": False,
        "step_center": False,
        "feature_dim": None,
        "method": None,
    }
    weights = [1.0, 0.5]
    assert est.set_params(dim=16, weights=weights) is est
    assert est.get_params(deep=False)["weights"] is weights
    assert repr(est) == "VelmarEmbedding(dim=16, weights=[1.0, 0.5])"
    with pytest.raises(ValueError, match="invalid parameter 'seed'"):
        est.set_params(seed=1)


def test_constructor_stores_parameters_unchanged():
    rs = np.random.RandomState(0)
    est = VelmarEmbedding(dim=np.int64(8), weights="bad", random_state=rs)
    assert est.weights == "bad" and est.random_state is rs  # validated in fit
    with pytest.raises(TypeError):
        est.fit(GRAPH)


def test_clone():
    base = pytest.importorskip("sklearn.base")
    est = VelmarEmbedding(dim=8, random_state=np.random.RandomState(3), normalize="l2")
    copy = base.clone(est)
    assert copy is not est and copy.get_params()["dim"] == 8
    assert not hasattr(copy, "embedding_")
    fitted = est.fit(GRAPH)
    assert not hasattr(base.clone(fitted), "embedding_")


def test_fit_sets_attributes_and_fit_transform_returns_them():
    est = VelmarEmbedding(dim=8, random_state=4, normalize="l2", method="projection")
    validation = pytest.importorskip("sklearn.utils.validation")
    with pytest.raises(validation.NotFittedError):
        validation.check_is_fitted(est)
    assert est.fit(GRAPH, y=[0, 1, 0, 1]) is est
    validation.check_is_fitted(est)
    expected, nodes = velmar.embed(
        GRAPH, 8, seed=4, normalize="l2", return_nodes=True, method="projection"
    )
    assert np.array_equal(bits(est.embedding_), bits(expected))
    assert list(est.nodes_) == list(nodes) == ["a", "b", "c", "d"]
    assert np.array_equal(
        bits(VelmarEmbedding(dim=8, random_state=4, method="projection").fit_transform(GRAPH)),
        bits(velmar.embed(GRAPH, 8, seed=4, method="projection")),
    )


def test_fit_passes_the_input_options():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"u": GRAPH[0], "v": GRAPH[1]})
    est = VelmarEmbedding(dim=8, random_state=1, method="projection")
    emb = est.fit_transform(frame, source="u", target="v", nodes=["d", "c", "b", "a", "e"])
    expected = velmar.embed(GRAPH, 8, seed=1, nodes=["d", "c", "b", "a", "e"], method="projection")
    assert np.array_equal(bits(emb), bits(expected))
    assert list(est.nodes_) == ["d", "c", "b", "a", "e"]


@pytest.mark.parametrize("make", [np.random.RandomState, np.random.default_rng])
def test_random_state_objects_give_a_reproducible_sequence(make):
    def two_fits(state):
        est = VelmarEmbedding(dim=8, random_state=state, method="projection")
        return est.fit_transform(GRAPH).copy(), est.fit_transform(GRAPH).copy()

    first, second = two_fits(make(1))
    again_first, again_second = two_fits(make(1))
    assert not np.array_equal(first, second)  # each fit draws a new seed
    assert np.array_equal(bits(first), bits(again_first))
    assert np.array_equal(bits(second), bits(again_second))


def test_int_random_state_repeats_and_none_does_not():
    est = VelmarEmbedding(dim=8, random_state=9, method="projection")
    assert np.array_equal(bits(est.fit_transform(GRAPH).copy()), bits(est.fit_transform(GRAPH)))
    est.set_params(random_state=None)
    assert not np.array_equal(est.fit_transform(GRAPH).copy(), est.fit_transform(GRAPH))


@pytest.mark.parametrize("state", ["seed", 1.5, True])
def test_bad_random_state(state):
    with pytest.raises(ValueError, match="cannot be used as random_state"):
        VelmarEmbedding(dim=8, random_state=state, method="projection").fit(GRAPH)


@pytest.mark.parametrize("weights, beta, k", [([1.0, 1.0, 0.5], 0.0, 0), ([0.5, 1.0], -0.5, 5)])
def test_transform_is_the_fit_with_weights_shifted_one_step(weights, beta, k):
    # The documented equality: new nodes' rows equal those of a directed fit
    # of the graph with their edges (out of them only) and weights
    # (w_0, w_0, w_1, ...), in which the fitted rows do not change.
    sp = pytest.importorskip("scipy.sparse")
    n, m, dim = 60, 7, 12
    a = sp.random(n, n, density=0.1, format="csr", random_state=1)
    sym = (a + a.T).tocsr()
    new = sp.diags([0.0] + [1.0] * (m - 1)) @ sp.random(m, n, density=0.15, random_state=2)
    new = new.tocsr()  # the first new node has no edges
    x = np.random.default_rng(3).normal(size=(n + m, 4))
    fit_features = {"features": x[:n]} if k else {}
    est = VelmarEmbedding(
        dim,
        weights,
        random_state=9,
        normalization_strength=beta,
        feature_dim=k or None,
        method="projection",
    ).fit(a, **fit_features)
    got = est.transform(new, features=x[n:] if k else None)
    full = sp.bmat([[sym, None], [new, sp.csr_matrix((m, m))]], format="csr")
    shifted = [weights[0], *weights]
    want = velmar.embed(
        full,
        dim,
        shifted,
        seed=9,
        undirected=False,
        normalization_strength=beta,
        **({"features": x, "feature_dim": k} if k else {}),
        method="projection",
    )
    # Equal to rounding: within a few units in the last place of the row's
    # largest magnitude (the sums are grouped differently).
    row_max = np.abs(want[n:]).max(axis=1, keepdims=True)
    assert (np.abs(got - want[n:]) <= 4e-7 * row_max).all()
    assert np.array_equal(
        bits(
            velmar.embed(
                a,
                dim,
                weights,
                seed=9,
                normalization_strength=beta,
                **fit_features,
                **({"feature_dim": k} if k else {}),
                method="projection",
            )
        ),
        bits(est.embedding_),
    )


@pytest.mark.parametrize(
    "fit_kwargs, X, kwargs, message",
    [
        ({}, np.ones((2, 3)), {}, "one column per fitted node"),
        (
            {},
            np.ones((2, 4)),
            {"features": np.ones((2, 3))},
            "exactly when the estimator was fitted",
        ),
        ({"features": np.eye(4)}, np.ones((2, 4)), {}, "exactly when the estimator was fitted"),
        *(
            (
                {"features": np.ones((4, 6))},
                np.ones((2, 4)),
                {"features": np.ones((2, f))},
                f"features have {f} columns, but the estimator was fitted with 6",
            )
            for f in (0, 1, 3, 7)
        ),
        ({}, "corrupt", {}, "X is corrupt: its indptr must start at 0"),
        ({"method": "spectral"}, np.ones((2, 4)), {}, "was fitted with method='spectral'"),
    ],
)
def test_transform_errors(fit_kwargs, X, kwargs, message):
    sp = pytest.importorskip("scipy.sparse")
    if isinstance(X, str):
        X = sp.csr_array(np.ones((2, 4)))
        X.indptr[1] = 10**9
    fit_kwargs = dict(fit_kwargs)
    method = fit_kwargs.pop("method", "projection")
    est = VelmarEmbedding(
        dim=8, random_state=1, feature_dim=2 if fit_kwargs else None, method=method
    )
    with pytest.raises(ValueError, match="not fitted"):
        est.transform(X)
    est.fit(GRAPH, **fit_kwargs)
    with pytest.raises((TypeError, ValueError), match=message):
        est.transform(X, **kwargs)
