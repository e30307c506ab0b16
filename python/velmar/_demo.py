"""``velmar demo``: embed Zachary's karate club and show that it worked.

The club split into two factions; a good embedding places each member near
their own faction. The demo prints how well 2-means clustering and a
nearest-centroid rule recover the split, and a few members' nearest
neighbours, all of which a reader can check by eye.
"""

from __future__ import annotations

import time
from typing import TextIO

import numpy as np
import numpy.typing as npt

from . import _api, _karate
from ._run import DEFAULT_WEIGHTS

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# Members worth looking at: the instructor, the officer, and two members
# with friends on both sides.
_SHOWN = (0, 33, 2, 8)


def two_means(points: FloatArray, restarts: int = 10, seed: int = 0) -> IntArray:
    """Labels 0/1 of the best of ``restarts`` Lloyd runs (k-means++ starts)."""
    rng = np.random.default_rng(seed)
    best: tuple[float, IntArray] | None = None
    n = points.shape[0]
    for _ in range(restarts):
        first = points[rng.integers(n)]
        dist = ((points - first) ** 2).sum(axis=1)
        total = dist.sum()
        second = points[rng.choice(n, p=dist / total)] if total > 0 else points[rng.integers(n)]
        centers = np.stack([first, second])
        labels = np.full(n, -1, dtype=np.int64)
        for _step in range(100):
            d2 = ((points[:, None, :] - centers[None, :, :]) ** 2).sum(axis=2)
            new = d2.argmin(axis=1).astype(np.int64)
            if np.array_equal(new, labels):
                break
            labels = new
            for k in (0, 1):
                if (labels == k).any():
                    centers[k] = points[labels == k].mean(axis=0)
        inertia = float(((points - centers[labels]) ** 2).sum())
        if best is None or inertia < best[0]:
            best = (inertia, labels)
    assert best is not None
    return best[1]


def nearest_centroid_hits(points: FloatArray, factions: IntArray) -> int:
    """Members closer to their own faction's centroid, leaving themselves out."""
    hits = 0
    for i in range(points.shape[0]):
        others = np.arange(points.shape[0]) != i
        dists = []
        for k in (0, 1):
            members = others & (factions == k)
            dists.append(float(((points[i] - points[members].mean(axis=0)) ** 2).sum()))
        hits += int(int(np.argmin(dists)) == factions[i])
    return hits


def run_demo(out: TextIO, dim: int = 32, seed: int = 42) -> int:
    """Print the demo to ``out``; returns the number of members that 2-means
    places with their faction."""
    factions = np.array(_karate.FACTIONS, dtype=np.int64)
    names = _karate.FACTION_NAMES
    sources = [u for u, _ in _karate.EDGES]
    targets = [v for _, v in _karate.EDGES]
    n = len(set(sources) | set(targets))
    sizes = [int((factions == k).sum()) for k in (0, 1)]
    out.write(
        f"Zachary's karate club: {n} members, {len(_karate.EDGES)} friendships; the club "
        f"split into two factions\n({names[0]}: {sizes[0]} members, {names[1]}: "
        f"{sizes[1]} members).\n"
    )
    weights = DEFAULT_WEIGHTS
    start = time.perf_counter()
    emb = _api.embed(
        (sources, targets), dim, weights, seed=seed, normalize="l2", method="projection"
    )
    elapsed = time.perf_counter() - start
    out.write(
        f"Embedded with dim={dim}, weights={weights}, seed={seed}, rows scaled "
        f"to unit length ({elapsed * 1000:.1f} ms).\n\n"
    )
    points = emb.astype(np.float64)
    labels = two_means(points)
    if int((labels == factions).sum()) < n - int((labels == factions).sum()):
        labels = 1 - labels  # cluster numbers are arbitrary
    agree = int((labels == factions).sum())
    misplaced = ", ".join(str(i) for i in np.flatnonzero(labels != factions))
    out.write(
        f"2-means clustering agrees with the factions for {agree} of {n} members "
        f"({100 * agree / n:.0f}%){'; misplaced: ' + misplaced if misplaced else ''}.\n"
    )
    hits = nearest_centroid_hits(points, factions)
    out.write(
        f"Nearest faction centroid (leaving each member out): {hits} of {n} members "
        f"({100 * hits / n:.0f}%).\n\n"
    )
    out.write("Nearest neighbours by cosine similarity (faction in brackets):\n")
    sims = points @ points.T
    for i in _SHOWN:
        order = [int(j) for j in np.argsort(-sims[i], kind="stable") if j != i][:4]
        near = ", ".join(f"{j} [{names[factions[j]]}] {sims[i, j]:.2f}" for j in order)
        out.write(f"  member {i:2d} [{names[factions[i]]}]: {near}\n")
    return agree
