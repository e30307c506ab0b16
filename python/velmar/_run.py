"""The run record: one embedding's parameters, validated once.

``velmar.embed`` and ``VelmarEmbedding`` build a ``Run`` from their
arguments; every later layer (the memory plan, the engine call, a run on
disk and its stored record, the Dask tasks) reads it and nothing else.
"""

from __future__ import annotations

import dataclasses
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, Union, cast

import numpy as np
import numpy.typing as npt

from . import _engine, _features
from ._checks import check_index, finite_in_float32, parse_bytes
from ._features import Features
from ._watch import ProgressLike

WeightsLike = Union[Sequence[float], npt.NDArray[np.floating[Any]]]

DEFAULT_WEIGHTS: tuple[float, ...] = (0.0, 1.0, 1.0)

METHODS = ("projection", "spectral")

_MAX_SEED = (1 << 64) - 1
_MAX_BYTES = (1 << 64) - 1


class RunShape(NamedTuple):
    """What the memory plan needs to know of a run's options."""

    scaled_rows: bool
    num_features: int
    feature_dim: int
    input_copies: int  # bytes of the features' float32 copy
    one_block: bool  # step normalisation: every column in one block
    spectral: bool = False  # the spectral method (its block is its filter's)
    centered: bool = False  # step centring: its column sums


@dataclass(frozen=True)
class Run:
    """What to compute (see velmar.embed for each parameter's meaning)."""

    dim: int
    weights: tuple[float, ...] = DEFAULT_WEIGHTS
    seed: int | None = None
    undirected: bool = True
    normalize: str | None = None
    # (j0, j1) when columns= was given, else every column.
    columns: tuple[int, int] | None = None
    memory_limit: int | None = None
    # memory_limit as the caller wrote it, for messages.
    memory_limit_arg: object = None
    normalization_strength: float = 0.0
    # normalization_strength="auto": beta chosen from the graph's degrees
    # (with_graph), once the graph is known.
    strength_auto: bool = False
    step_normalize: bool = False
    step_center: bool = False
    # The features as given, and once the graph is known (bind) in the
    # engine's form.
    features: Any = None
    feature_dim: int = 0
    prepared: Features | None = None
    out: str | None = None
    block_columns: int | None = None
    client: Any = None
    progress: ProgressLike = False
    # Row i of the initial matrix is that of node row_offset + i: the rows of
    # nodes appended after row_offset others.
    row_offset: int = 0
    # Each row's number of entries for its deg**beta scale, instead of the
    # graph's (nodes whose edges are not in the graph embedded).
    degrees: npt.NDArray[np.int64] | None = None
    # "projection" (propagated random projection) or "spectral".
    method: str = "projection"

    @classmethod
    def from_arguments(
        cls,
        *,
        dim: object,
        weights: object = DEFAULT_WEIGHTS,
        seed: object = None,
        undirected: object = True,
        normalize: object = None,
        columns: object = None,
        memory_limit: object = None,
        normalization_strength: object = 0.0,
        step_normalize: object = False,
        step_center: object = False,
        features: object = None,
        feature_dim: object = None,
        out: object = None,
        block_columns: object = None,
        client: object = None,
        progress: object = False,
        method: object = None,
    ) -> Run:
        """A run from embed's keyword arguments; TypeError or ValueError for
        any that cannot be used, before anything is converted or computed."""
        d = check_index(dim, "dim")
        if d < 1:
            raise ValueError(f"dim must be at least 1, got {d}")
        w = _check_weights(weights)
        s = _check_seed(seed)
        if not isinstance(undirected, (bool, np.bool_)):
            raise TypeError(f"undirected must be True or False, got {undirected!r}")
        if normalize not in (None, "l2"):
            raise ValueError(f"normalize must be None or 'l2', got {normalize!r}")
        cols = None if columns is None else _check_columns(columns, d)
        auto = isinstance(normalization_strength, str) and normalization_strength == "auto"
        beta = 0.0 if auto else _check_strength(normalization_strength)
        step = _check_step(step_normalize)
        if not isinstance(step_center, (bool, np.bool_)):
            raise TypeError(f"step_center must be True or False, got {step_center!r}")
        k = _features.check_feature_dim(features, feature_dim, d)
        if step and cols is not None and cols != (0, d):
            raise ValueError(
                f"step_normalize='l2' couples the columns: it computes all {d} of them at "
                f"once and cannot give columns={cols} alone; embed every column and take "
                "the slice"
            )
        # Without a method: the spectral method, unless an option only the
        # projection takes asks for it (a run to disk, which the projection
        # computes column block by column block, weights, features, ...).
        projection_only = _projection_options(
            # Weights passed at all, even the default values, ask for the
            # projection; only the default object itself means none.
            weights_given=weights is not DEFAULT_WEIGHTS,
            normalization_strength=1.0 if auto else beta,
            step_normalize=step,
            step_center=bool(step_center),
            features=features,
            columns=cols,
            out=out,
            client=client,
            block_columns=block_columns,
        )
        if method is None:
            how = "projection" if projection_only else "spectral"
        else:
            how = _check_method(method)
        if how == "spectral" and projection_only:
            name = projection_only[0]
            why = (
                "it computes every column at once, in memory"
                if name in ("columns=", "out=", "client=", "block_columns=")
                else "it has no random projection to weigh or scale"
            )
            raise ValueError(
                f"{name} applies to method='projection' only; method='spectral' does not "
                f"take it ({why}): pass method='projection', or no method"
            )
        # Any byte count: beyond 2**64 - 1 no machine's memory tells the difference.
        limit = None if memory_limit is None else min(parse_bytes(memory_limit), _MAX_BYTES)
        path: str | None = None
        width: int | None = None
        if out is None:
            if client is not None or block_columns is not None:
                raise TypeError("client= and block_columns= apply to runs with out=")
        else:
            if normalize is not None:
                raise ValueError(
                    "normalize= needs whole rows and cannot be used with out=; normalize "
                    "the rows of the result afterwards"
                )
            if columns is not None:
                raise TypeError("columns= does not apply to runs with out=; use block_columns=")
            path = os.fspath(cast("str | os.PathLike[str]", out))
            if block_columns is not None:
                width = check_index(block_columns, "block_columns")
                if width < 1:
                    raise ValueError(f"block_columns must be at least 1, got {width}")
            if client is not None:
                _check_client(client)
        return cls(
            dim=d,
            weights=w,
            seed=s,
            undirected=bool(undirected),
            normalize=None if normalize is None else "l2",
            columns=cols,
            memory_limit=limit,
            memory_limit_arg=memory_limit,
            normalization_strength=beta,
            strength_auto=auto,
            step_normalize=step,
            step_center=bool(step_center),
            features=features,
            feature_dim=k,
            out=path,
            block_columns=width,
            client=client,
            progress=cast(ProgressLike, progress),
            method=how,
        )

    @property
    def column_range(self) -> tuple[int, int]:
        return self.columns if self.columns is not None else (0, self.dim)

    def replace(self, **changes: Any) -> Run:
        return dataclasses.replace(self, **changes)

    def bind(self, num_nodes: int) -> Run:
        """The run with its features checked against, and put in the
        engine's form for, a graph of num_nodes nodes."""
        if self.feature_dim == 0 or self.prepared is not None:
            return self
        return self.replace(prepared=_features.prepare(self.features, num_nodes, self.feature_dim))

    def with_graph(self, indptr: npt.NDArray[np.int64]) -> Run:
        """The run with normalization_strength="auto" resolved for a graph
        with these row pointers (its stored entries per row are the degrees
        the row scales use)."""
        if not self.strength_auto:
            return self
        return self.replace(normalization_strength=auto_strength(indptr), strength_auto=False)

    def plan_shape(self) -> RunShape:
        """The memory plan's view of the options: the row scales, the block of
        R and the features' copy (as their shape predicts it until bound)."""
        f, copy = 0, 0
        if self.prepared is not None:
            f, copy = self.prepared.num_features, self.prepared.copy_bytes
        elif self.feature_dim:
            features: Any = self.features
            rows = 0 if isinstance(features, (int, np.integer)) else np.shape(features)[0]
            f, copy = _features.predicted_copy_bytes(features, int(rows))
        return RunShape(
            self.strength_auto or self.normalization_strength != 0.0,
            f,
            self.feature_dim,
            copy,
            self.step_normalize,
            self.method == "spectral",
            self.step_center,
        )

    def engine_settings(self) -> Any:
        """The engine's Settings of this run (velmar._engine.settings)."""
        if self.method == "spectral":
            return _engine.settings(self.dim, list(self.weights), self.seed, method="spectral")
        options: dict[str, Any] = {}
        if self.prepared is not None:
            arg = self.prepared.arg
            # Arrays that crossed a process boundary (a Dask task's
            # arguments) may come back unaligned; the engine reads only
            # aligned memory.
            if isinstance(arg, tuple):
                arg = (*(np.require(a, requirements=["A", "C"]) for a in arg[:3]), arg[3])
            else:
                arg = np.require(arg, requirements="A")
            options["features"] = arg
            options["feature_dim"] = self.prepared.feature_dim
        return _engine.settings(
            self.dim,
            list(self.weights),
            self.seed,
            normalization_strength=self.normalization_strength,
            step_normalize=self.step_normalize,
            step_center=self.step_center,
            row_offset=self.row_offset,
            degrees=self.degrees,
            **options,
        )

    def record(self) -> dict[str, Any]:
        """What a run on disk records of its parameters; nothing for default
        options, so that runs without options keep their records."""
        out: dict[str, Any] = {
            "dim": self.dim,
            "weights": list(self.weights),
            "undirected": self.undirected,
        }
        if self.normalization_strength != 0.0:
            out["normalization_strength"] = self.normalization_strength
        if self.step_normalize:
            out["step_normalize"] = "l2"
        if self.step_center:
            out["step_center"] = True
        if self.prepared is not None:
            out["features"] = self.prepared.fingerprint()
            out["feature_dim"] = self.prepared.feature_dim
        return out

    def for_worker(self, seed: int) -> Run:
        """What a task on another machine needs: the parameters with the
        run's seed, without the client, the output and the progress."""
        return self.replace(seed=seed, client=None, progress=False, out=None, features=None)


def _check_weights(weights: object) -> tuple[float, ...]:
    if isinstance(weights, (str, bytes)) or not hasattr(weights, "__iter__"):
        raise TypeError(f"weights must be a sequence of numbers, got {type(weights).__name__}")
    try:
        w = [float(x) for x in cast(Any, weights)]
    except (TypeError, ValueError):
        raise TypeError(f"weights must be a sequence of numbers, got {weights!r}") from None
    if not w:
        raise ValueError("weights must hold at least one weight")
    if not finite_in_float32(w):
        raise ValueError(
            f"weights must be finite as 32-bit floats (at most about 3.4e38 in "
            f"magnitude), got {w}"
        )
    return tuple(w)


def _check_client(client: object) -> None:
    """A dask.distributed Client (or a subclass), without importing Dask: an
    instance exists only once its module is imported."""
    distributed = sys.modules.get("distributed")
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(
            f"client must be a dask.distributed.Client, got {type(client).__name__} "
            f"{client!r}; connect first, for example client=Client({client!r})"
            if isinstance(client, str)
            else f"client must be a dask.distributed.Client, got {type(client).__name__}"
        )


def _check_method(method: object) -> str:
    if isinstance(method, str) and method in METHODS:
        return method
    raise ValueError(f"method must be 'projection' or 'spectral', got {method!r}")


def _projection_options(
    *,
    weights_given: bool,
    normalization_strength: float,
    step_normalize: bool,
    step_center: bool,
    features: object,
    columns: tuple[int, int] | None,
    out: object,
    client: object,
    block_columns: object,
) -> list[str]:
    """The options given that only the projection method takes."""
    given = [
        ("weights=", weights_given),
        ("normalization_strength=", normalization_strength != 0.0),
        ("step_normalize=", step_normalize),
        ("step_center=", step_center),
        ("features=", features is not None),
        ("columns=", columns is not None),
        ("out=", out is not None),
        ("client=", client is not None),
        ("block_columns=", block_columns is not None),
    ]
    return [name for name, used in given if used]


def _check_seed(seed: object) -> int | None:
    if seed is None:
        return None
    s = check_index(seed, "seed")
    if not 0 <= s <= _MAX_SEED:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, got {s}")
    return s


def _check_columns(columns: object, dim: int) -> tuple[int, int]:
    """(j0, j1) with 0 <= j0 < j1 <= dim."""
    try:
        first, last = cast("tuple[Any, Any]", columns)
    except (TypeError, ValueError):
        raise TypeError(f"columns must be a pair (j0, j1), got {columns!r}") from None
    j0 = check_index(first, "columns[0]")
    j1 = check_index(last, "columns[1]")
    if not 0 <= j0 < j1 <= dim:
        raise ValueError(f"columns must satisfy 0 <= j0 < j1 <= dim ({dim}), got ({j0}, {j1})")
    return j0, j1


def auto_strength(indptr: npt.NDArray[np.int64]) -> float:
    """beta for normalization_strength="auto": 1 - 2 log10(kappa / 0.004)
    within [-1, 1], rounded to two decimals (the same on every platform's
    log10), where kappa = (sum d^2 / sum d) / n is the mean degree of the node
    at the end of a random entry as a fraction of n. Positive beta lifts
    high-degree rows, which helps until a few hubs touch a sizeable share of
    the graph; then every node's first step is dominated by the same hub
    rows, and a negative beta damps them."""
    degrees = np.diff(np.asarray(indptr, dtype=np.int64)).astype(np.float64)
    total = float(degrees.sum())
    if degrees.size == 0 or total == 0.0:
        return 0.0
    kappa = float(np.dot(degrees, degrees)) / total / degrees.size
    beta = min(1.0, max(-1.0, 1.0 - 2.0 * math.log10(kappa / 0.004)))
    return round(beta, 2) + 0.0  # never -0.0


def _check_strength(normalization_strength: object) -> float:
    if isinstance(normalization_strength, (bool, np.bool_)) or not isinstance(
        normalization_strength, (int, float, np.integer, np.floating)
    ):
        raise TypeError(
            f"normalization_strength must be a number or 'auto', got {normalization_strength!r}"
        )
    beta = float(normalization_strength)
    if not math.isfinite(beta):
        raise ValueError(f"normalization_strength must be finite, got {beta}")
    return beta


def _check_step(step_normalize: object) -> bool:
    if step_normalize is None or step_normalize is False:
        return False
    if isinstance(step_normalize, str) and step_normalize == "l2":
        return True
    raise ValueError(f"step_normalize must be False or 'l2', got {step_normalize!r}")
