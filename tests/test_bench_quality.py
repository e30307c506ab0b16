"""The quality benchmark's target table: which figures each real graph is held to."""

import io
import sys
from pathlib import Path

import pytest

pytest.importorskip("scipy")  # the benchmark's own dependency (absent under PyPy)
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import quality

KINDS = {
    "velmar spectral": "velmar",
    "node2vec (graspologic)": "node2vec",
    "scikit-learn SpectralEmbedding": "other",
    "scikit-network RandomProjection": "rp",
}


def rows(key, **f1_and_seconds):
    names = {
        "mine": "velmar spectral",
        "n2v": "node2vec (graspologic)",
        "spectral": "scikit-learn SpectralEmbedding",
        "rp": "scikit-network RandomProjection",
    }
    return {names[k]: {key: f1, "seconds": secs} for k, (f1, secs) in f1_and_seconds.items()}


@pytest.mark.parametrize(
    "graph, results, gap, faster",
    [
        # A small real graph: its own protocol is the benchmark's, so the
        # README-protocol column counts, against peers of the same run.
        (
            "karate club",
            rows("macro_f1_readme", mine=(0.9, 0.01), n2v=(0.5, 0.4), spectral=(0.6, 0.02)),
            0.3,
            {"node2vec": 40, "spectral embedding": 2},
        ),
        # The README's figures join the run's; the best macro-F1 of a family
        # sets both its figure and its time.
        (
            "Cora",
            rows("macro_f1", mine=(0.81, 0.1), spectral=(0.812, 2.0), rp=(0.70, 0.05)),
            0.81 - 0.816,
            {"node2vec": 236, "spectral embedding": 58, "random projection": 1.8},
        ),
        # A synthetic graph has no README-protocol score and is left out.
        ("LFR n=1000 mu=0.4", rows("macro_f1", mine=(0.9, 0.1), n2v=(0.95, 9.0)), None, None),
    ],
)
def test_default_targets(graph, results, gap, faster):
    out = io.StringIO()
    got = quality.default_targets({graph: results}, KINDS, out)
    if gap is None:
        assert got == [] and out.getvalue() == ""
        return
    (row,) = got
    assert row["gap"] == pytest.approx(gap)
    assert row["faster"] == pytest.approx(faster)
    assert f"| {graph} |" in out.getvalue()
