"""Embedding quality against the peers: one command, one table per dataset.

    python bench/quality.py              # every dataset and peer (over an hour on 2 cores)
    python bench/quality.py --small      # small graphs, a few seconds per peer (CI)
    python bench/quality.py --grid       # also a grid of velmar settings
    python bench/quality.py --datasets real --seeds 1,2,3   # the real graphs only
    python bench/quality.py --graph blogs.npz --methods "velmar spectral,Spectral"

Datasets are labelled graphs that ship inside installable packages, the real
graphs of ../shared/data (Cora, LastFM Asia; skipped with a message where that
directory is absent) and synthetic graphs with planted communities; methods
are velmar's settings and methods and the peers that are installed; metrics
are node classification macro-F1, KMeans NMI, link prediction ROC-AUC and
wall time, each the mean over the seeds with its spread (max - min). Every
method sees the same symmetric weighted adjacency matrix. See bench/README.md
("Quality") for the protocol and for which peers install here.

Every velmar run goes through ``run_velmar(adjacency, settings, seed)``:
settings that the installed package does not take yet (the options of the
exact NumPy reference in reference.py) are computed with that reference,
and the table marks them so (their wall time is the reference's).
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import platform
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import reference

DIM = 128
SEEDS = (1, 2, 3)
# The real graphs beside the repository (../shared/data from its root).
SHARED_DATA = HERE.parent.parent / "shared" / "data"
# Their peers' figures as measured with the same protocol on the same
# machine (SHARED_DATA/README.md): macro-F1 and seconds.
README_PEERS: dict[str, dict[str, tuple[float, float]]] = {
    "Cora": {
        "node2vec (PecanPy)": (0.800, 23.6),
        "scikit-network Spectral": (0.816, 5.8),
        "ProNE (nodevectors)": (0.810, 0.89),
        "scikit-network RandomProjection": (0.710, 0.18),
    },
    "LastFM Asia": {
        "node2vec (PecanPy)": (0.785, 109.6),
        "scikit-network Spectral": (0.791, 23.6),
        "ProNE (nodevectors)": (0.786, 3.55),
        "scikit-network RandomProjection": (0.716, 0.20),
    },
}

# Named velmar settings. Keys are velmar.embed's keyword arguments; "dim"
# defaults to the benchmark's dimension.
VELMAR_DEFAULT: dict[str, Any] = {}
# The spectral method (docs/guide.md, "Choosing a method"), as it comes.
VELMAR_SPECTRAL: dict[str, Any] = {"method": "spectral"}
# The recommended setting (docs/guide.md, "Tuning for quality"): picked from
# the --grid runs on the 10,000-node graphs; centred steps for the dense ones
# (the grid's "tuned uncentred" row is the setting without).
VELMAR_TUNED: dict[str, Any] = {
    "weights": (0.0, 0.0, 1.0, 1.0),
    "undirected": False,
    "normalize": "l2",
    "normalization_strength": "auto",
    "step_normalize": "l2",
    "step_center": True,
}
# Candidates of --grid: the weights and the final normalisation, then the
# quality options on the tuned weights: beta in {-0.5, 0, 0.5, 1}, step
# normalisation off and on, dim 128 and 256; then fewer steps.
VELMAR_GRID: dict[str, dict[str, Any]] = {
    "w=(0,1,1) sym": {"undirected": False},
    "w=(0,1,1) sym l2": {"undirected": False, "normalize": "l2"},
    "w=(0,1,1,1) sym l2": {"weights": (0.0, 1.0, 1.0, 1.0), "undirected": False, "normalize": "l2"},
    "w=(1,1,1,1) sym l2": {"weights": (1.0, 1.0, 1.0, 1.0), "undirected": False, "normalize": "l2"},
    "w=(0,0,0,1) sym l2": {"weights": (0.0, 0.0, 0.0, 1.0), "undirected": False, "normalize": "l2"},
}
for _dim in (128, 256):
    for _step in (False, "l2"):
        for _beta in (-0.5, 0.0, 0.5, 1.0):
            _name = f"tuned d={_dim} beta={_beta:+g}{' step l2' if _step else ''}"
            VELMAR_GRID[_name] = {
                **VELMAR_TUNED,
                "dim": _dim,
                "normalization_strength": _beta,
                "step_normalize": _step,
            }
VELMAR_GRID["tuned uncentred"] = {**VELMAR_TUNED, "step_center": False}
# Fewer propagation steps with the tuned options, for dense graphs, where
# three steps reach most of the graph.
for _weights in ((0.0, 1.0), (0.0, 1.0, 1.0)):
    _name = "tuned w=(" + ",".join(f"{w:g}" for w in _weights) + ")"
    VELMAR_GRID[_name] = {**VELMAR_TUNED, "weights": _weights}
VELMAR_DEFAULTS = {"dim": DIM, "undirected": True, "normalize": None}
# What every projection setting starts from ("velmar default" is the
# projection's defaults; velmar.embed's own default is the spectral method).
PROJECTION_DEFAULTS = {"method": "projection", "weights": (0.0, 1.0, 1.0)}


# ---------------------------------------------------------------- datasets


@dataclass
class Dataset:
    name: str
    adjacency: sp.csr_matrix  # symmetric, float64, sorted indices
    # int class of every node, or (a multi-label graph) a 0/1 matrix with a
    # column per label
    labels: np.ndarray | None
    source: str
    # "bench": standardised columns, LogisticRegression(max_iter=200);
    # "readme": the protocol of SHARED_DATA/README.md (unit rows,
    # LogisticRegression(max_iter=2000)), whose peers' figures it quotes.
    protocol: str = "bench"
    # A measured graph, not a generated one: the default method's quality
    # target holds on these, by the README's protocol.
    real: bool = False


def _symmetric(a: Any) -> sp.csr_matrix:
    """A + A^T for a directed matrix, A for a symmetric one; float64 CSR."""
    a = sp.csr_matrix(a, dtype=np.float64)
    a.sum_duplicates()
    if (a != a.T).nnz:
        a = (a + a.T).tocsr()
    a.eliminate_zeros()
    a.sort_indices()
    return a


def _codes(labels: Any) -> np.ndarray:
    return np.unique(np.asarray(labels), return_inverse=True)[1].reshape(-1)


def karate() -> list[Dataset]:
    import networkx as nx

    g = nx.karate_club_graph()
    a = nx.to_scipy_sparse_array(g, nodelist=range(34), weight=None, format="csr")
    y = _codes([g.nodes[v]["club"] for v in range(34)])
    return [Dataset("karate club", _symmetric(a), y, "networkx (Zachary 1977)", real=True)]


def sknetwork_graphs() -> list[Dataset]:
    from sknetwork.data import art_philo_science

    g = art_philo_science(metadata=True)
    return [
        Dataset(
            "art-philo-science",
            _symmetric(g.adjacency),
            _codes(g.labels),
            "scikit-network",
            real=True,
        )
    ]


def connectomes() -> list[Dataset]:
    from graspologic.datasets import load_drosophila_left, load_drosophila_right

    out = []
    for side, load in (("left", load_drosophila_left), ("right", load_drosophila_right)):
        a, y = load(return_labels=True)
        out.append(
            Dataset(f"drosophila {side}", _symmetric(a), _codes(y), "graspologic", real=True)
        )
    return out


def lfr(n: int, mus: list[float], small: bool) -> list[Dataset]:
    """networkx LFR graphs; community sizes scale with n (see README)."""
    import networkx as nx

    out = []
    for mu in mus:
        kw = dict(average_degree=20, max_degree=100, min_community=n // 100, max_community=n // 20)
        if small:
            kw.update(min_community=n // 20, max_community=n // 5)
        g = nx.LFR_benchmark_graph(n, 2.5, 1.5, mu, seed=11, max_iters=1000, **kw)
        comms = sorted({min(g.nodes[v]["community"]) for v in g})
        y = np.searchsorted(comms, [min(g.nodes[v]["community"]) for v in range(n)])
        g.remove_edges_from(nx.selfloop_edges(g))
        a = nx.to_scipy_sparse_array(g, nodelist=range(n), weight=None, format="csr")
        out.append(
            Dataset(f"LFR n={n} mu={mu:.1f}", _symmetric(a), y, "networkx LFR_benchmark_graph")
        )
    return out


def real_graphs(small: bool, data: Path = SHARED_DATA) -> list[Dataset]:
    """Cora and (without --small) LastFM Asia from `data`, loaded as its
    README.md says: symmetric, every stored value 1."""
    if not data.is_dir():
        raise FileNotFoundError(f"{data} is absent (--data names another directory)")
    pairs = (("Cora", "cora.npz"), ("LastFM Asia", "lastfm.npz"))[: 1 if small else 2]
    return [load_graph(data / file, name, f"shared/data/{file}") for name, file in pairs]


def load_graph(path: Path, name: str | None = None, source: str | None = None) -> Dataset:
    """A graph in the format of SHARED_DATA/README.md: `n`, `indptr`,
    `indices`, optionally `data` (every weight 1 without it) and `y`, a class
    per node or an n x labels 0/1 matrix. Scored by the README's protocol."""
    with np.load(path) as z:
        missing = {"n", "indptr", "indices"} - set(z.files)
        if missing:
            raise ValueError(f"{path}: no {', '.join(sorted(missing))} array")
        n = int(z["n"])
        data = z["data"] if "data" in z.files else np.ones(len(z["indices"]))
        a = sp.csr_matrix((data, z["indices"], z["indptr"]), shape=(n, n))
        y = np.asarray(z["y"]) if "y" in z.files else None
    if y is not None and (y.ndim not in (1, 2) or y.shape[0] != n):
        raise ValueError(f"{path}: y has shape {y.shape}, not ({n},) or ({n}, labels)")
    if y is not None:
        y = (y != 0).astype(np.int8) if y.ndim == 2 else _codes(y)
    return Dataset(name or path.stem, _symmetric(a), y, source or str(path), "readme", real=True)


def graph_files(paths: list[Path]) -> list[Dataset]:
    return [load_graph(path) for path in paths]


def hub_labels(
    n: int = 10_000, labels: int = 39, degree: float = 30.0, mixing: float = 0.8, seed: int = 13
) -> list[Dataset]:
    """A multi-label graph with hubs: power-law weights (exponent 2.1), each
    node in 1 + Poisson(0.4) of the labels, and each edge, from an end drawn
    by weight, leading with probability 1 - `mixing` to a node drawn by
    weight among those sharing one of its labels, otherwise to any node."""
    rng = np.random.default_rng(seed)
    theta = (1.0 - rng.random(n)) ** (-1.0 / 1.1)  # Pareto, tail exponent 2.1
    theta = np.minimum(theta, n / 10)
    count = np.minimum(1 + rng.poisson(0.4, n), labels)
    y = np.zeros((n, labels), dtype=np.int8)
    for i in range(n):
        y[i, rng.choice(labels, count[i], replace=False)] = 1
    m = int(n * degree / 2)
    p = theta / theta.sum()
    u = rng.choice(n, m, p=p)
    v = rng.choice(n, m, p=p)
    inside = rng.random(m) >= mixing
    # The label through which each inside edge goes: one of u's, uniformly.
    pick = np.array([rng.choice(np.flatnonzero(y[i])) for i in u[inside]], dtype=np.int64)
    members = [np.flatnonzero(y[:, k]) for k in range(labels)]
    vin = np.empty(pick.shape[0], dtype=np.int64)
    for k in range(labels):
        at = np.flatnonzero(pick == k)
        w = theta[members[k]]
        vin[at] = rng.choice(members[k], at.shape[0], p=w / w.sum())
    v[inside] = vin
    keep = u != v
    a = sp.coo_matrix((np.ones(int(keep.sum())), (u[keep], v[keep])), shape=(n, n)).tocsr()
    a.data[:] = 1.0
    name = f"hubs n={n} labels={labels} mixing={mixing:g}"
    return [Dataset(name, _symmetric(a), y, "power-law weights, overlapping labels", "readme")]


def sbm(n: int, blocks: int, levels: list[tuple[float, float]]) -> list[Dataset]:
    """Planted partitions: mean within- and between-block degree per node."""
    import networkx as nx

    size = n // blocks
    out = []
    for k_in, k_out in levels:
        p_in, p_out = k_in / (size - 1), k_out / (n - size)
        probs = [[p_in if i == j else p_out for j in range(blocks)] for i in range(blocks)]
        g = nx.stochastic_block_model([size] * blocks, probs, seed=5, sparse=True)
        a = nx.to_scipy_sparse_array(g, nodelist=range(size * blocks), weight=None, format="csr")
        y = np.repeat(np.arange(blocks), size)
        name = f"SBM n={size * blocks} k={blocks} in={k_in:g} out={k_out:g}"
        out.append(Dataset(name, _symmetric(a), y, "networkx stochastic_block_model"))
    return out


def datasets(
    small: bool,
    only: str | None,
    mus: list[float] | None = None,
    data: Path = SHARED_DATA,
    files: list[Path] | None = None,
) -> tuple[list[Dataset], list[str]]:
    if files and not only:
        return graph_files(files), []
    loaders: list[tuple[str, Callable[[], list[Dataset]]]] = [
        ("karate", karate),
        ("sknetwork", sknetwork_graphs),
        ("graspologic", connectomes),
        ("real", lambda: real_graphs(small, data)),
    ]
    if small:
        loaders += [
            ("lfr", lambda: lfr(1000, mus or [0.1, 0.4], small=True)),
            ("sbm", lambda: sbm(1000, 10, [(8.0, 4.0)])),
        ]
    else:
        loaders += [
            ("sbm", lambda: sbm(10_000, 20, [(12.0, 8.0), (8.0, 12.0)])),
            # Denser, with weak blocks: mean degree 40, 250 and 300 (a quarter and
            # a tenth of the nodes).
            ("dense", lambda: sbm(1000, 5, [(18.0, 22.0), (67.5, 182.5)])),
            ("dense", lambda: sbm(3000, 5, [(18.0, 22.0), (72.0, 228.0)])),
            ("lfr", lambda: lfr(10_000, mus or [0.1, 0.2, 0.3, 0.4, 0.5, 0.6], small=False)),
            ("hubs", hub_labels),
        ]
    out, missing = [], []
    for key, load in loaders:
        if only and key not in only.split(","):
            continue
        try:
            out += load()
        except (ImportError, FileNotFoundError) as e:
            missing.append(f"{key}: {e}")
    return out + graph_files(files or []), missing


# ----------------------------------------------------------------- methods


def velmar_settings(settings: dict[str, Any]) -> dict[str, Any]:
    if settings.get("method") == "spectral":
        return {**VELMAR_DEFAULTS, **settings}
    return {**VELMAR_DEFAULTS, **PROJECTION_DEFAULTS, **settings}


def run_velmar(
    adjacency: sp.csr_matrix, settings: dict[str, Any], seed: int
) -> tuple[np.ndarray, str]:
    """One velmar embedding; returns it and the engine used.

    Settings that velmar.embed takes go to the package. Others (options the
    package does not have yet) run the exact NumPy reference, which the
    package's engine must match bit for bit once it has them.
    """
    import velmar

    s = velmar_settings(settings)
    accepted = inspect.signature(velmar.embed).parameters
    if all(k in accepted for k in s):
        return velmar.embed(adjacency, seed=seed, **s), "velmar"
    a = adjacency.tocsr()
    e = reference.fit(
        a.indptr.astype(np.int64),
        a.indices.astype(np.int64),
        a.data.astype(np.float64),
        a.shape[0],
        s["dim"],
        s["weights"],
        seed,
        undirected=s["undirected"],
        normalization_strength=s.get("normalization_strength", 0.0),
        step_normalize=s.get("step_normalize", False),
        features=s.get("features"),
        feature_dim=s.get("feature_dim", 0),
    )
    if s["normalize"] == "l2":
        _l2(e)
    return e, "NumPy reference"


def _l2(x: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(x.astype(np.float64), axis=1, keepdims=True)
    np.divide(x, norms, out=x, where=norms > 0, casting="same_kind")
    return x


def sknetwork_rp(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
    from sknetwork.embedding import RandomProjection

    return RandomProjection(n_components=dim, random_state=seed).fit_transform(a)


def karateclub_randne(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
    import networkx as nx
    from karateclub import RandNE

    model = RandNE(dimensions=dim, seed=seed)
    model.fit(nx.from_scipy_sparse_array(a))
    return model.get_embedding()


def spectral(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
    from sklearn.manifold import SpectralEmbedding

    # It needs more nodes than eigenvectors: small graphs get fewer columns.
    k = min(dim, a.shape[0] - 2)
    # The default solver (ARPACK in shift-invert mode) factorises the
    # Laplacian, whose LU fills in to near-dense on large random graphs and
    # ran for over 15 minutes at n = 10,000; those get AMG-preconditioned LOBPCG.
    solver = None
    if a.shape[0] > 2000:
        try:
            import pyamg  # noqa: F401

            solver = "amg"
        except ImportError:
            solver = "lobpcg"
    model = SpectralEmbedding(
        n_components=k, affinity="precomputed", random_state=seed, eigen_solver=solver
    )
    return model.fit_transform(a)


# node2vec as SHARED_DATA/README.md measured it (PecanPy's defaults): p = q =
# 1, 10 walks of 80 steps from every node, window 10, one epoch.
N2V_WALKS = 10
N2V_LENGTH = 80
N2V_WINDOW = 10


def node2vec_pecanpy(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
    from pecanpy import pecanpy

    g = pecanpy.SparseOTF(p=1, q=1, workers=2, extend=False, random_state=seed)
    g.from_mat(a, [str(i) for i in range(a.shape[0])])
    return g.embed(dim=dim, num_walks=N2V_WALKS, walk_length=N2V_LENGTH, window_size=N2V_WINDOW)


class Skipped(Exception):
    """A peer that would take far too long on a graph: reported, not run."""


# graspologic's node2vec prepares a transition table for every pair of edges
# that meet at a node (sum of squared degrees) in a Python loop: 10^7 pairs
# take minutes, and the hub-heavy and dense graphs have 10^8.
N2V_PAIR_LIMIT = 30_000_000


def node2vec_graspologic(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
    pairs = int((np.diff(a.indptr).astype(np.float64) ** 2).sum())
    if pairs > N2V_PAIR_LIMIT:
        raise Skipped(f"not run: {pairs:.1e} edge pairs to prepare (limit {N2V_PAIR_LIMIT:.0e})")
    import networkx as nx
    from graspologic.embed import node2vec_embed

    g = nx.from_scipy_sparse_array(a)  # edge attribute "weight"
    emb, ids = node2vec_embed(
        g,
        num_walks=N2V_WALKS,
        walk_length=N2V_LENGTH,
        window_size=N2V_WINDOW,
        iterations=1,
        interpolate_walk_lengths_by_node_degree=False,
        dimensions=dim,
        workers=2,
        random_seed=seed,
    )
    out = np.zeros((a.shape[0], dim), dtype=np.float32)
    out[np.asarray(ids, dtype=np.int64)] = emb
    return out


@dataclass
class Method:
    name: str
    kind: str  # "velmar", "rp" (random-projection peer), "node2vec", "other"
    run: Callable[[sp.csr_matrix, int, int], np.ndarray]
    needs: str  # module whose import decides availability
    engine: list[str] = field(default_factory=list)


def _velmar_method(name: str, settings: dict[str, Any]) -> Method:
    m = Method(name, "velmar", lambda a, dim, seed: np.empty(0), "velmar")

    def run(a: sp.csr_matrix, dim: int, seed: int) -> np.ndarray:
        e, engine = run_velmar(a, {"dim": dim, **settings}, seed)
        if engine not in m.engine:
            m.engine.append(engine)
        return e

    m.run = run
    return m


def methods(grid: bool) -> list[Method]:
    out = [
        _velmar_method("velmar default", VELMAR_DEFAULT),
        _velmar_method("velmar tuned", VELMAR_TUNED),
        _velmar_method("velmar spectral", VELMAR_SPECTRAL),
    ]
    if grid:
        out += [_velmar_method(f"velmar {k}", v) for k, v in VELMAR_GRID.items()]
    out += [
        Method("scikit-network RandomProjection", "rp", sknetwork_rp, "sknetwork"),
        Method("karateclub RandNE", "rp", karateclub_randne, "karateclub"),
        Method("scikit-learn SpectralEmbedding", "other", spectral, "sklearn"),
        Method("node2vec (PecanPy)", "node2vec", node2vec_pecanpy, "pecanpy"),
        Method("node2vec (graspologic)", "node2vec", node2vec_graspologic, "graspologic"),
    ]
    return out


def unavailable(m: Method) -> str | None:
    """Why a method cannot run here, or None."""
    try:
        __import__(m.needs)
        if m.needs == "pecanpy":
            from pecanpy import pecanpy  # noqa: F401  (fails later than the package)
        if m.needs == "karateclub":
            from karateclub import RandNE  # noqa: F401
    except Exception as e:  # ImportError, or a peer broken on this NumPy
        return f"{type(e).__name__}: {str(e).splitlines()[0][:120]}"
    return None


# ----------------------------------------------------------------- metrics


def macro_f1(x: np.ndarray, y: np.ndarray) -> float:
    """Logistic regression on standardised columns, 5-fold stratified.

    Classes with fewer than 5 nodes are left out (stratification needs 5).
    """
    from sklearn.linear_model import LogisticRegression
    from sklearn.metrics import f1_score
    from sklearn.model_selection import StratifiedKFold, cross_val_predict
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    counts = np.bincount(y)
    keep = counts[y] >= 5
    x, y = x[keep], y[keep]
    clf = make_pipeline(StandardScaler(), LogisticRegression(max_iter=200, tol=1e-3))
    cv = StratifiedKFold(5, shuffle=True, random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pred = cross_val_predict(clf, x, y, cv=cv, n_jobs=2 if x.shape[0] > 2000 else None)
    return float(f1_score(y, pred, average="macro"))


def readme_macro_f1(x: np.ndarray, y: np.ndarray) -> float:
    """SHARED_DATA/README.md's protocol: unit rows,
    LogisticRegression(max_iter=2000) with its default C, 5-fold stratified,
    the mean of the folds' macro-F1."""
    from sklearn.linear_model import LogisticRegression
    from sklearn.metrics import f1_score
    from sklearn.model_selection import StratifiedKFold

    z = _l2(np.array(x, dtype=np.float64))
    scores = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for train, test in StratifiedKFold(5, shuffle=True, random_state=0).split(z, y):
            clf = LogisticRegression(max_iter=2000).fit(z[train], y[train])
            scores.append(f1_score(y[test], clf.predict(z[test]), average="macro"))
    return float(np.mean(scores))


def multilabel_macro_f1(x: np.ndarray, y: np.ndarray) -> float:
    """The multi-label protocol: unit rows, one-vs-rest
    LogisticRegression(max_iter=2000) trained on half the labelled nodes
    (shuffled, seed 0), each test node given as many labels as it has, those
    of the highest probabilities; macro-F1 over the labels."""
    from sklearn.linear_model import LogisticRegression
    from sklearn.metrics import f1_score
    from sklearn.model_selection import train_test_split
    from sklearn.multiclass import OneVsRestClassifier

    labelled = np.flatnonzero(y.sum(axis=1) > 0)
    z = _l2(np.array(x[labelled], dtype=np.float64))
    y = y[labelled]
    train, test = train_test_split(np.arange(len(labelled)), train_size=0.5, random_state=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        clf = OneVsRestClassifier(LogisticRegression(max_iter=2000)).fit(z[train], y[train])
    prob = clf.predict_proba(z[test])
    ranked = np.argsort(-prob, axis=1, kind="stable")
    k = y[test].sum(axis=1)
    pred = np.zeros_like(y[test])
    rows = np.repeat(np.arange(len(test)), k)
    cols = ranked[np.arange(ranked.shape[1]) < k[:, None]]
    pred[rows, cols] = 1
    return float(f1_score(y[test], pred, average="macro", zero_division=0))


def kmeans_nmi(x: np.ndarray, y: np.ndarray) -> float:
    """KMeans (as many clusters as classes) on unit-length rows, NMI."""
    from sklearn.cluster import KMeans
    from sklearn.metrics import normalized_mutual_info_score

    z = _l2(np.array(x, dtype=np.float64))
    km = KMeans(n_clusters=int(y.max()) + 1, n_init=10, random_state=0)
    return float(normalized_mutual_info_score(y, km.fit_predict(z)))


@dataclass
class Split:
    train: sp.csr_matrix
    pairs: np.ndarray  # (m, 2) node pairs
    truth: np.ndarray  # 1 for a held-out edge, 0 for a non-edge


def link_split(a: sp.csr_matrix, fraction: float = 0.1, seed: int = 3) -> Split:
    """Hold out `fraction` of the undirected edges (self-loops stay) and draw
    as many node pairs that are not edges."""
    rng = np.random.default_rng(seed)
    upper = sp.triu(a, k=1).tocoo()
    m = upper.nnz
    held = rng.permutation(m)[: max(1, int(round(fraction * m)))]
    keep = np.ones(m, dtype=bool)
    keep[held] = False
    diag = sp.diags(a.diagonal())
    kept = sp.coo_matrix((upper.data[keep], (upper.row[keep], upper.col[keep])), shape=a.shape)
    train = (kept + kept.T + diag).tocsr()
    train.sort_indices()
    n = a.shape[0]
    existing = set(zip(upper.row.tolist(), upper.col.tolist()))
    neg: list[tuple[int, int]] = []
    while len(neg) < held.shape[0]:
        u, v = (int(t) for t in rng.integers(0, n, 2))
        u, v = min(u, v), max(u, v)
        if u != v and (u, v) not in existing:
            neg.append((u, v))
            existing.add((u, v))
    pos = np.stack([upper.row[held], upper.col[held]], axis=1)
    pairs = np.concatenate([pos, np.array(neg, dtype=np.int64).reshape(-1, 2)])
    truth = np.r_[np.ones(pos.shape[0]), np.zeros(len(neg))]
    return Split(train, pairs, truth)


def link_auc(x: np.ndarray, split: Split) -> float:
    """ROC-AUC of the cosine similarity of the pairs' embeddings."""
    from sklearn.metrics import roc_auc_score

    z = _l2(np.array(x, dtype=np.float64))
    score = np.einsum("ij,ij->i", z[split.pairs[:, 0]], z[split.pairs[:, 1]])
    return float(roc_auc_score(split.truth, score))


# ------------------------------------------------------------------ driver


# macro_f1 by the dataset's protocol; macro_f1_readme by the README's, on
# the real graphs whose own protocol is the benchmark's.
METRICS = ("macro_f1", "macro_f1_readme", "nmi", "link_auc")


def evaluate(
    ds: Dataset, m: Method, dim: int, seeds: tuple[int, ...], split: Split
) -> dict[str, Any]:
    """Each metric's mean over the seeds and its spread (max - min), the
    median of the embedding's seconds."""
    runs = []
    for seed in seeds:
        with warnings.catch_warnings():
            # Peers warn about disconnected graphs and isolated nodes.
            warnings.simplefilter("ignore")
            runs.append(_evaluate(ds, m, dim, seed, split))
    row: dict[str, Any] = {"seconds": float(np.median([r["seconds"] for r in runs]))}
    if ds.real and ds.protocol == "readme":
        row["readme_protocol"] = True  # its macro_f1 is the README's
    for key in METRICS:
        values = [r[key] for r in runs if key in r]
        if values:
            row[key] = float(np.mean(values))
            row[f"{key}_spread"] = float(np.max(values) - np.min(values))
            row[f"{key}_seeds"] = values
    notes = sorted({r["note"] for r in runs if r.get("note")})
    if notes:
        row["note"] = "; ".join(notes)
    return row


# A call shorter than this is repeated (up to TIMED_CALLS calls in all) and
# timed by its median: one call of a few milliseconds, right after another
# method's scoring, mostly measures cold caches and the BLAS threads that
# scoring left spinning.
TIMED_BUDGET = 0.25
TIMED_CALLS = 7


def timed(call: Callable[[], Any]) -> tuple[Any, float]:
    """call()'s result and its seconds: one call's, or for short calls the
    median of repeated ones."""
    times = []
    result = None
    while not times or (sum(times) < TIMED_BUDGET and len(times) < TIMED_CALLS):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
    return result, float(np.median(times))


def _evaluate(ds: Dataset, m: Method, dim: int, seed: int, split: Split) -> dict[str, Any]:
    x, seconds = timed(lambda: np.asarray(m.run(ds.adjacency, dim, seed)))
    row: dict[str, Any] = {"seconds": seconds}
    if not np.all(np.isfinite(x)):
        row["note"] = "non-finite values"
        x = np.nan_to_num(x)
    if ds.labels is not None and ds.labels.ndim == 2:
        row["macro_f1"] = multilabel_macro_f1(x, ds.labels)
    elif ds.labels is not None:
        score = readme_macro_f1 if ds.protocol == "readme" else macro_f1
        row["macro_f1"] = score(x, ds.labels)
        if ds.real and ds.protocol != "readme":
            row["macro_f1_readme"] = readme_macro_f1(x, ds.labels)
        row["nmi"] = kmeans_nmi(x, ds.labels)
    row["link_auc"] = link_auc(np.asarray(m.run(split.train, dim, seed)), split)
    return row


def versions() -> dict[str, str]:
    from importlib import metadata

    out = {"python": platform.python_version()}
    for dist in (
        "numpy",
        "scipy",
        "scikit-learn",
        "networkx",
        "velmar",
        "scikit-network",
        "karateclub",
        "graspologic",
        "gensim",
        "pecanpy",
    ):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    return out


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def fmt(v: Any, digits: int = 3) -> str:
    if v is None:
        return ""
    if isinstance(v, float):
        if v != v:
            return "nan"
        return f"{v:.{digits}f}" if digits else f"{v:.2g}"
    return str(v)


def print_table(ds: Dataset, rows: dict[str, dict[str, Any]], out: Any) -> None:
    y = ds.labels
    if y is None:
        classes = ""
    elif y.ndim == 2:
        classes = f", {y.shape[1]} labels, {y.sum(axis=1).mean():.2f} a node"
    else:
        classes = f", {int(y.max()) + 1} classes"
    n, nnz = ds.adjacency.shape[0], ds.adjacency.nnz
    print_rows(f"{ds.name} ({n:,} nodes, {nnz // 2:,} edges{classes}; {ds.source})", rows, out)


def print_head(heads: list[str], out: Any, text: int = 1) -> None:
    """A Markdown table's header: the first `text` columns hold text, the
    others numbers (right-aligned)."""
    print("| " + " | ".join(heads) + " |", file=out)
    print("|" + "---|" * text + "---:|" * (len(heads) - text), file=out)


def print_rows(title: str, rows: dict[str, dict[str, Any]], out: Any) -> None:
    columns = [
        (key, head)
        for key, head in (
            ("macro_f1", "macro-F1"),
            ("macro_f1_readme", "macro-F1, README protocol"),
            ("nmi", "NMI"),
            ("link_auc", "link AUC"),
        )
        if key != "macro_f1_readme" or any(key in r for r in rows.values())
    ]
    print(f"\n### {title}\n", file=out)
    print_head(["method", *(h for _, h in columns), "seconds"], out)

    def cell(r: dict[str, Any], key: str) -> str:
        spread = r.get(f"{key}_spread")
        return fmt(r.get(key)) + (f" ±{spread:.3f}" if spread else "")

    for name, r in rows.items():
        secs = r["seconds"]
        t = f"{secs:.3f}" if secs >= 0.01 else f"{secs * 1000:.2f} ms"
        note = f" ({r['note']})" if r.get("note") else ""
        cells = " | ".join(cell(r, key) for key, _ in columns)
        print(f"| {name}{note} | {cells} | {t} |", file=out)


SHORT = {
    "velmar default": "velmar default",
    "velmar tuned": "velmar tuned",
    "velmar spectral": "velmar spectral",
    "scikit-network RandomProjection": "sknetwork RP",
    "karateclub RandNE": "RandNE",
    "scikit-learn SpectralEmbedding": "spectral",
    "node2vec (graspologic)": "node2vec",
    "node2vec (PecanPy)": "node2vec",
}


def compact(results: dict[str, dict[str, dict[str, Any]]], out: Any) -> None:
    """One dataset x method table per metric."""
    names = [m for m in SHORT if any(m in rows for rows in results.values())]
    for metric, title in (
        ("macro_f1", "macro-F1"),
        ("nmi", "NMI"),
        ("link_auc", "link ROC-AUC"),
        ("seconds", "seconds"),
    ):
        print(f"\n#### {title}\n", file=out)
        print_head(["dataset", *(SHORT[m] for m in names)], out)
        for ds, rows in results.items():
            cells = []
            for m in names:
                v = rows.get(m, {}).get(metric)
                if metric == "seconds" and isinstance(v, float):
                    cells.append(f"{v:.3g}")
                else:
                    cells.append(fmt(v))
            print(f"| {ds} | " + " | ".join(cells) + " |", file=out)


def summary(
    results: dict[str, dict[str, dict[str, Any]]], kinds: dict[str, str], out: Any
) -> dict[str, Any]:
    """The issue's targets for velmar tuned, from the tables above."""
    best = "velmar tuned"
    gaps: list[tuple[str, str, float]] = []  # dataset, metric, tuned - best RP peer
    f1_gap, speed = [], []
    for ds, rows in results.items():
        mine = rows.get(best, {})
        for metric in ("macro_f1", "nmi"):
            peers = [r[metric] for k, r in rows.items() if kinds.get(k) == "rp" and metric in r]
            if peers and metric in mine:
                gaps.append((ds, metric, mine[metric] - max(peers)))
        n2v = [r for k, r in rows.items() if kinds.get(k) == "node2vec" and "seconds" in r]
        if n2v and "macro_f1" in mine:
            f1_gap.append(mine["macro_f1"] - n2v[0]["macro_f1"])
        if n2v and "seconds" in mine:
            speed.append(n2v[0]["seconds"] / max(mine["seconds"], 1e-9))
    print(f"\n### Targets ({best})\n", file=out)
    worst = sorted(gaps, key=lambda g: g[2])[:5]
    misses = [g for g in gaps if g[2] < -0.01]
    print(
        f"- against the best random-projection peer, macro-F1 and NMI: "
        f"{len(gaps) - len(misses)} of {len(gaps)} within 0.01 or better",
        file=out,
    )
    for ds, metric, gap in worst:
        print(f"  - {ds}, {metric}: {gap:+.3f}", file=out)
    summary = {"rp_gaps": gaps}
    if f1_gap:
        mean_gap = float(np.mean(f1_gap))
        ratio = float(np.exp(np.mean(np.log(speed))))
        print(
            f"- against node2vec: mean macro-F1 difference {mean_gap:+.3f} over "
            f"{len(f1_gap)} datasets; node2vec takes {ratio:.0f}x as long "
            f"(geometric mean of the per-dataset ratios)",
            file=out,
        )
        summary.update(node2vec_f1_gap=mean_gap, node2vec_time_ratio=ratio)
    else:
        print(f"- against node2vec: no dataset where both {best} and node2vec ran", file=out)
    summary["readme_peers"] = readme_comparison(results, out)
    summary["default_method"] = default_targets(results, kinds, out)
    return summary


# What velmar.embed computes in memory with no option.
DEFAULT_METHOD = "velmar spectral"
# The peers of the quality and speed targets, by family: runs of this
# benchmark (by kind or name) and the README's figures (by name).
FAMILIES = {
    "node2vec": ({"node2vec"}, "node2vec (PecanPy)"),
    "spectral embedding": ({"scikit-learn SpectralEmbedding"}, "scikit-network Spectral"),
    "random projection": ({"rp"}, "scikit-network RandomProjection"),
}


def default_targets(
    results: dict[str, dict[str, dict[str, Any]]], kinds: dict[str, str], out: Any
) -> list[dict[str, Any]]:
    """The default method on every real graph: macro-F1 by the README's
    protocol against the best of node2vec and spectral embedding (the target:
    0.01 below it at worst), and how many times faster it is than each peer
    family (the target: 100 times node2vec). A family's figure is its best
    macro-F1, measured in this run or quoted by the README."""
    rows = []
    for ds, res in results.items():
        mine = res.get(DEFAULT_METHOD, {})
        quoted = README_PEERS.get(ds, {})
        key = "macro_f1" if quoted or mine.get("readme_protocol") else "macro_f1_readme"
        if key not in mine:
            continue
        best: dict[str, tuple[float, float]] = {}
        for family, (run_as, readme_name) in FAMILIES.items():
            found = [
                (r[key], r["seconds"])
                for name, r in res.items()
                if (name in run_as or kinds.get(name) in run_as) and key in r
            ]
            if readme_name in quoted:
                found.append(quoted[readme_name])
            if found:
                best[family] = max(found)
        if not {"node2vec", "spectral embedding"} & set(best):
            continue
        target = max(best[f][0] for f in ("node2vec", "spectral embedding") if f in best)
        rows.append(
            {
                "graph": ds,
                "macro_f1": mine[key],
                "spread": mine.get(f"{key}_spread", 0.0),
                "gap": mine[key] - target,
                "seconds": mine["seconds"],
                "faster": {f: b[1] / max(mine["seconds"], 1e-9) for f, b in best.items()},
            }
        )
    if not rows:
        return rows
    print(f"\n### The default method ({DEFAULT_METHOD}) on the real graphs\n", file=out)
    families = list(FAMILIES)
    print_head(
        ["graph", "macro-F1", "− best of node2vec, spectral embedding", "seconds"]
        + [f"× faster than {f}" for f in families],
        out,
    )
    for r in rows:
        ratios = " | ".join(
            "" if f not in r["faster"] else f"{r['faster'][f]:.{0 if r['faster'][f] >= 10 else 1}f}"
            for f in families
        )
        print(
            f"| {r['graph']} | {r['macro_f1']:.3f}"
            + (f" ±{r['spread']:.3f}" if r["spread"] else "")
            + f" | {r['gap']:+.3f} | "
            f"{r['seconds']:.3g} | {ratios} |",
            file=out,
        )
    good = sum(r["gap"] >= -0.01 for r in rows)
    fast = sum(r["faster"].get("node2vec", 0.0) >= 100 for r in rows)
    print(
        f"- within 0.01 macro-F1 of the best of node2vec and spectral embedding: "
        f"{good} of {len(rows)}; at least 100x faster than node2vec: "
        f"{fast} of {sum('node2vec' in r['faster'] for r in rows)}",
        file=out,
    )
    return rows


def readme_comparison(results: dict[str, dict[str, dict[str, Any]]], out: Any) -> list[Any]:
    """velmar's methods on the real graphs against the peers' figures of
    SHARED_DATA/README.md: macro-F1 minus the best of node2vec and spectral
    embedding, and how many times faster than each peer."""
    rows = []
    for ds, peers in README_PEERS.items():
        if ds not in results:
            continue
        best = max(peers["node2vec (PecanPy)"][0], peers["scikit-network Spectral"][0])
        for name in ("velmar spectral", "velmar tuned", "velmar default"):
            r = results[ds].get(name)
            if r is None or "macro_f1" not in r:
                continue
            ratios = {p: secs / max(r["seconds"], 1e-9) for p, (_, secs) in peers.items()}
            rows.append((ds, name, r["macro_f1"], r["macro_f1"] - best, r["seconds"], ratios))
    if rows:
        print("\n### Real graphs against the peers' figures (shared/data/README.md)\n", file=out)
        names = list(next(iter(README_PEERS.values())))
        print_head(
            ["graph", "method", "macro-F1", "− best of node2vec, spectral", "seconds"]
            + [f"× faster than {p}" for p in names],
            out,
            text=2,
        )
        for ds, name, f1, gap, secs, ratios in rows:
            print(
                f"| {ds} | {name} | {f1:.3f} | {gap:+.3f} | {secs:.3f} | "
                + " | ".join(f"{ratios[p]:.0f}" for p in names)
                + " |",
                file=out,
            )
    return rows


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Embedding quality against the peers (bench/README.md)")
    p.add_argument("--small", action="store_true", help="small graphs only (CI; never timed)")
    p.add_argument("--grid", action="store_true", help="also run a grid of velmar settings")
    p.add_argument("--dim", type=int, default=DIM)
    p.add_argument(
        "--seeds",
        help="comma-separated seeds, each metric their mean and spread (default 1,2,3; "
        "1 with --small)",
    )
    p.add_argument(
        "--data",
        type=Path,
        default=SHARED_DATA,
        help="directory of the real graphs (default ../shared/data from the repository root)",
    )
    p.add_argument(
        "--datasets",
        help="comma-separated subset of karate,sknetwork,graspologic,real,lfr,sbm,dense,hubs",
    )
    p.add_argument(
        "--graph",
        type=Path,
        action="append",
        metavar="NPZ",
        help="a labelled graph in ../shared/data's format (y a class per node, or an "
        "n x labels 0/1 matrix); repeatable; alone, without --datasets, only these run",
    )
    p.add_argument(
        "--lfr-mu", help="comma-separated mixing parameters of the LFR graphs (default 0.1,...,0.6)"
    )
    p.add_argument(
        "--methods", help="only methods whose name contains one of these comma-separated words"
    )
    p.add_argument("--json", type=Path, help="default bench/results/quality[-small].json")
    p.add_argument(
        "--merge",
        type=Path,
        nargs="+",
        metavar="JSON",
        help="print the tables and targets of earlier runs (e.g. split with --datasets) and exit",
    )
    return p.parse_args(argv)


def merge(paths: list[Path], out: Any) -> int:
    results: dict[str, dict[str, dict[str, Any]]] = {}
    for path in paths:
        record = json.loads(path.read_text())
        meta = record["meta"]
        print(
            f"{path}: {meta['machine']}; "
            + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()),
            file=out,
        )
        results.update(record["results"])
    kinds = {m.name: m.kind for m in methods(grid=True)}
    for name, rows in results.items():
        print_rows(name, rows, out)
    compact(results, out)
    summary(results, kinds, out)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    out = sys.stdout
    if args.merge:
        return merge(args.merge, out)
    if args.seeds:
        seeds = tuple(int(s) for s in args.seeds.split(","))
    else:
        seeds = SEEDS[:1] if args.small else SEEDS
    meta = {
        "machine": f"{os.cpu_count()} CPUs, {cpu_model()}",
        "versions": versions(),
        "dim": args.dim,
        "seeds": seeds,
    }
    print(
        f"machine: {meta['machine']}; "
        + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()),
        file=out,
    )
    mus = [float(m) for m in args.lfr_mu.split(",")] if args.lfr_mu else None
    sets, missing_sets = datasets(args.small, args.datasets, mus, args.data, args.graph)
    all_methods = methods(args.grid)
    if args.methods:
        words = args.methods.split(",")
        all_methods = [m for m in all_methods if any(w in m.name for w in words)]
    runnable, skipped = [], {}
    for m in all_methods:
        why = unavailable(m)
        if why:
            skipped[m.name] = why
        else:
            runnable.append(m)
    # node2vec once is enough: the first one that runs.
    n2v = [m for m in runnable if m.kind == "node2vec"]
    for m in n2v[1:]:
        runnable.remove(m)
        skipped[m.name] = f"not run: {n2v[0].name} is used"
    for name in missing_sets:
        print(f"dataset unavailable: {name}", file=out)
    for name, why in skipped.items():
        print(f"method unavailable: {name}: {why}", file=out)
    # Warm up: the first embedding in a process creates the worker pool.
    run_velmar(sp.csr_matrix(np.ones((2, 2))), {"dim": 4}, 0)
    results: dict[str, dict[str, dict[str, Any]]] = {}
    path = args.json or HERE / "results" / ("quality-small.json" if args.small else "quality.json")
    path.parent.mkdir(parents=True, exist_ok=True)

    def save(targets: dict[str, Any] | None) -> None:
        record = {
            "meta": meta,
            "skipped": skipped,
            "missing_datasets": missing_sets,
            "settings": {
                "default": velmar_settings(VELMAR_DEFAULT),
                "tuned": velmar_settings(VELMAR_TUNED),
                "spectral": velmar_settings(VELMAR_SPECTRAL),
            },
            "results": results,
            "targets": targets,
        }
        path.write_text(json.dumps(record, indent=1, default=str))

    for ds in sets:
        split = link_split(ds.adjacency)
        rows: dict[str, dict[str, Any]] = {}
        for m in runnable:
            try:
                rows[m.name] = evaluate(ds, m, args.dim, seeds, split)
            except Skipped as e:
                rows[m.name] = {"seconds": float("nan"), "note": str(e)}
            except Exception as e:  # a peer failing on one graph is reported, not fatal
                if m.kind == "velmar":
                    raise
                rows[m.name] = {
                    "seconds": float("nan"),
                    "note": f"failed: {type(e).__name__}: {e}"[:100],
                }
        print_table(ds, rows, out)
        results[ds.name] = rows
        save(None)  # a long run keeps what it has measured
        out.flush()
    kinds = {m.name: m.kind for m in runnable}
    engines = {m.name: m.engine for m in runnable if m.kind == "velmar"}
    via_ref = [k for k, v in engines.items() if "NumPy reference" in v]
    if via_ref:
        print(
            f"\nComputed with the exact NumPy reference (times are the reference's): {', '.join(via_ref)}",
            file=out,
        )
    save(summary(results, kinds, out))
    print(f"\nwrote {path}", file=out)
    return sanity(results, kinds, out)


def sanity(results: dict[str, dict[str, dict[str, Any]]], kinds: dict[str, str], out: Any) -> int:
    """Non-zero when a velmar setting gives no usable embedding: a missing
    metric, or LFR mu = 0.1 (communities almost apart) classified below 0.9."""
    bad = []
    for ds, rows in results.items():
        for name, r in rows.items():
            if kinds.get(name) != "velmar":
                continue
            if any(r.get(k) != r.get(k) for k in ("macro_f1", "nmi", "link_auc")) or r.get("note"):
                bad.append(f"{ds} / {name}: {r}")
            elif "mu=0.1" in ds and r["macro_f1"] < 0.9:
                bad.append(f"{ds} / {name}: macro-F1 {r['macro_f1']:.3f} < 0.9")
    for line in bad:
        print(f"FAILED: {line}", file=out)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
