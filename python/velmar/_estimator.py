"""A scikit-learn style estimator around ``embed``.

It follows scikit-learn's conventions (constructor stores parameters
unchanged, ``get_params``/``set_params``, trailing-underscore fitted
attributes, ``random_state``) without depending on scikit-learn, and works
with ``sklearn.base.clone``. ``transform`` embeds new nodes from their edges
to the fitted ones (and their features), one propagation step from the
fitted embedding of the projection method.
"""

from __future__ import annotations

import importlib
import inspect
import secrets
from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from . import _api, _graph, _runner
from ._api import Embedding
from ._checks import check_sparse_structure
from ._run import DEFAULT_WEIGHTS, Run, WeightsLike

RandomStateLike = Union[None, int, np.random.RandomState, np.random.Generator]


def seed_from_random_state(random_state: object) -> int | None:
    """The engine seed for one fit.

    None gives fresh randomness on every fit; an int is the seed itself, so
    every fit is the same; a RandomState or Generator gives the seed of the
    next draw, so successive fits differ but the sequence is reproducible.
    """
    if random_state is None:
        return None
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, (int, np.integer)) and not isinstance(random_state, bool):
        return int(random_state)
    raise ValueError(
        f"{random_state!r} cannot be used as random_state: pass None, an int, "
        "a numpy.random.RandomState or a numpy.random.Generator"
    )


class VelmarEmbedding:
    """Node embedding estimator.

    Parameters are those of :func:`velmar.embed`; ``random_state`` replaces
    ``seed`` with scikit-learn's meaning, and the node features are an
    argument of ``fit`` (``feature_dim`` is a parameter). After ``fit``,
    ``embedding_`` holds one float32 row per node, ``nodes_`` the node ID of
    each row and ``seed_`` the seed the fit used.
    """

    embedding_: Embedding
    nodes_: npt.NDArray[Any]
    seed_: int
    _fitted: Run
    _num_features: int

    def __init__(
        self,
        dim: int = 128,
        weights: WeightsLike = DEFAULT_WEIGHTS,
        random_state: RandomStateLike = None,
        undirected: bool = True,
        normalize: str | None = None,
        normalization_strength: float | str = 0.0,
        step_normalize: str | bool = False,
        step_center: bool = False,
        feature_dim: int | None = None,
        method: str | None = None,
    ) -> None:
        self.dim = dim
        self.weights = weights
        self.random_state = random_state
        self.undirected = undirected
        self.normalize = normalize
        self.normalization_strength = normalization_strength
        self.step_normalize = step_normalize
        self.step_center = step_center
        self.feature_dim = feature_dim
        self.method = method

    @classmethod
    def _param_names(cls) -> list[str]:
        params = inspect.signature(cls.__init__).parameters
        return [name for name in params if name != "self"]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """Constructor parameters by name (``deep`` has nothing to recurse into)."""
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> VelmarEmbedding:
        """Set constructor parameters; unknown names raise ValueError."""
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    f"invalid parameter {name!r} for {type(self).__name__}; "
                    f"valid parameters are {valid}"
                )
            setattr(self, name, value)
        return self

    def fit(
        self,
        X: object,
        y: object = None,
        *,
        features: Any = None,
        nodes: Iterable[Any] | None = None,
        source: Any = "source",
        target: Any = "target",
        weight: Any = "weight",
    ) -> VelmarEmbedding:
        """Embed the graph ``X``, any input of :func:`velmar.embed`, whose
        options of the same names ``features``, ``nodes``, ``source``,
        ``target`` and ``weight`` apply; ``y`` is ignored."""
        seed = seed_from_random_state(self.random_state)
        if seed is None:
            # Drawn here rather than in the engine: transform needs it.
            seed = secrets.randbits(64)
        run = Run.from_arguments(
            dim=self.dim,
            weights=self.weights,
            seed=seed,
            undirected=self.undirected,
            normalize=self.normalize,
            normalization_strength=self.normalization_strength,
            step_normalize=self.step_normalize,
            step_center=self.step_center,
            features=features,
            feature_dim=self.feature_dim,
            method=self.method,
        )
        graph = _api.graph_of(X, run, nodes=nodes, source=source, target=target, weight=weight)
        run = run.bind(graph.num_nodes).with_graph(graph.indptr)
        self.embedding_ = _api.run_on(graph, run)
        self.nodes_ = graph.node_ids()
        self.seed_ = seed
        # What transform must repeat, whatever set_params changes later.
        self._fitted = run.replace(features=None, prepared=None, progress=False)
        self._num_features = 0 if run.prepared is None else run.prepared.num_features
        return self

    def transform(self, X: object, *, features: Any = None) -> Embedding:
        """Embed new nodes from their edges to the fitted nodes.

        ``X`` is an (m, n) SciPy sparse matrix or dense array: row v holds the
        weights of new node v's edges to the n fitted nodes, in the order of
        ``nodes_``. ``features`` (m × f) are the new nodes' features when the
        fit had features. Needs SciPy.

        Row v of the result is one propagation step applied to the fitted
        embedding E, plus v's own initial row:

            E_new[v] = w_0 · h_0(v) + Σ_u t_vu · E[u],  t_vu = a_vu / deg(v)

        where deg(v) is the number of nonzero entries of row v of X, w_0 is
        weights[0], and h_0(v) is the initial row the fit gives a node
        appended after the fitted ones (the random columns of row n + v from
        the fit's seed, the feature columns from ``features`` with the fit's
        projection R, scaled by deg(v)**normalization_strength); rows are
        then normalised if ``normalize="l2"``. Since E = Σ_i w_i H_i, this is,
        in exact arithmetic, v's row in a fit with the weights shifted one
        step later, (w_0, w_0, w_1, ..., w_K), of the graph with v's edges
        added as edges out of v only (so no fitted row changes), without step
        normalisation; in float32 the two group the products differently and
        agree to a few units in the last place of the row's largest
        magnitude. With step normalisation, E's rows are sums of normalised
        steps and the result is their weighted mean. A new node's own features count
        only through w_0 · h_0(v): with the default w_0 = 0 they do not
        enter, and a node without edges gets a zero row.
        """
        if not hasattr(self, "embedding_"):
            raise ValueError(f"this {type(self).__name__} is not fitted yet: call fit first")
        if self._fitted.method != "projection":
            raise ValueError(
                "transform embeds new nodes by one step of the projection method; this "
                f"{type(self).__name__} was fitted with method={self._fitted.method!r}: fit it "
                "with method='projection' to use transform"
            )
        try:
            sp = importlib.import_module("scipy.sparse")
        except ImportError:
            raise ImportError("transform needs SciPy (pip install 'velmar[scipy]')") from None
        n, _dim = self.embedding_.shape
        if sp.issparse(X):
            check_sparse_structure(X, "X")
        a = sp.csr_matrix(X, dtype=np.float64)
        if a.ndim != 2 or a.shape[1] != n:
            raise ValueError(f"X must have one column per fitted node ({n:,}), got shape {a.shape}")
        a.sum_duplicates()
        a.eliminate_zeros()
        m = a.shape[0]
        fitted = self._fitted
        if (features is None) != (fitted.feature_dim == 0):
            raise ValueError(
                "transform needs features= exactly when the estimator was fitted with them"
            )
        degree = np.diff(a.indptr)
        # h_0 of the m new nodes: the rows of nodes n..n+m-1 of the fit's
        # initial matrix, scaled by the new nodes' own degrees.
        initial = fitted.replace(
            weights=(1.0,),
            columns=None,
            step_normalize=False,
            step_center=False,
            features=features,
            row_offset=n,
            degrees=degree.astype(np.int64),
        ).bind(m)
        if initial.prepared is not None and initial.prepared.num_features != self._num_features:
            raise ValueError(
                f"features have {initial.prepared.num_features} columns, but the estimator "
                f"was fitted with {self._num_features}: R maps only those"
            )
        inverse = np.zeros(m, dtype=np.float32)
        inverse[degree > 0] = np.float32(1.0) / degree[degree > 0].astype(np.float32)
        step = sp.csr_matrix(
            (a.data.astype(np.float32) * np.repeat(inverse, degree), a.indices, a.indptr),
            shape=a.shape,
        )
        result = np.asarray(step @ self.embedding_, dtype=np.float32)
        if fitted.weights[0] != 0.0:
            h0 = _runner.embed(_graph.edgeless(m), initial, progress=False)
            result += h0 * np.float32(fitted.weights[0])
        if fitted.normalize == "l2":
            _runner.l2_normalize(result)
        return result

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "embedding_")

    def __sklearn_tags__(self) -> Any:
        """scikit-learn's description of this estimator, which scikit-learn
        1.6 and later ask for (``check_is_fitted`` among others): an
        unsupervised transformer that also takes sparse input."""
        tags = importlib.import_module("sklearn.utils")
        return tags.Tags(
            estimator_type=None,
            target_tags=tags.TargetTags(required=False),
            transformer_tags=tags.TransformerTags(preserves_dtype=[]),
            input_tags=tags.InputTags(sparse=True),
        )

    def fit_transform(self, X: object, y: object = None, **fit_params: Any) -> Embedding:
        """``fit(X, **fit_params)`` and return ``embedding_``."""
        return self.fit(X, **fit_params).embedding_

    def __repr__(self) -> str:
        defaults = inspect.signature(type(self).__init__).parameters
        changed = []
        for name in self._param_names():
            value = getattr(self, name)
            default = defaults[name].default
            if value is not default and not _same(value, default):
                changed.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(changed)})"


def _same(a: object, b: object) -> bool:
    try:
        return bool(a == b)
    except Exception:  # arrays and other objects without a plain ==
        return False
