"""A scikit-learn style estimator around ``embed``.

It follows scikit-learn's conventions (constructor stores parameters
unchanged, ``get_params``/``set_params``, trailing-underscore fitted
attributes, ``random_state``) without depending on scikit-learn, and works
with ``sklearn.base.clone``. Like other transductive embeddings it has
``fit`` and ``fit_transform`` but no ``transform`` for unseen nodes.
"""

from __future__ import annotations

import importlib
import inspect
from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from . import _api, _convert, _memory
from ._api import DEFAULT_WEIGHTS, Embedding, WeightsLike

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
    ``seed`` with scikit-learn's meaning. After ``fit``, ``embedding_`` holds
    one float32 row per node and ``nodes_`` the node ID of each row.
    """

    embedding_: Embedding
    nodes_: npt.NDArray[Any]

    def __init__(
        self,
        dim: int = 128,
        weights: WeightsLike = DEFAULT_WEIGHTS,
        random_state: RandomStateLike = None,
        undirected: bool = True,
        normalize: str | None = None,
    ) -> None:
        self.dim = dim
        self.weights = weights
        self.random_state = random_state
        self.undirected = undirected
        self.normalize = normalize

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
        nodes: Iterable[Any] | None = None,
        source: Any = "source",
        target: Any = "target",
        weight: Any = "weight",
    ) -> VelmarEmbedding:
        """Embed the graph ``X``, any input of :func:`velmar.embed`, whose
        options of the same names ``nodes``, ``source``, ``target`` and
        ``weight`` apply; ``y`` is ignored."""
        dim, weights, _, undirected = _api.check_params(
            self.dim, self.weights, None, self.undirected, self.normalize
        )
        seed = seed_from_random_state(self.random_state)
        if seed is not None:
            _api.check_params(dim, weights, seed, undirected, None)
        graph = _convert.to_csr_graph(
            X,
            nodes=nodes,
            source=source,
            target=target,
            weight=weight,
            guard=_memory.conversion_guard(dim, undirected),
        )
        self.embedding_ = _api.embed_csr(graph, dim, weights, seed, undirected, self.normalize)
        self.nodes_ = _api.node_ids(graph)
        return self

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
