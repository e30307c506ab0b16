"""Seeded embeddings are bit-identical whichever interpreter (CPython or
PyPy) runs the module: the same inputs and seed give the same bytes in this
interpreter and in the one named by VELMAR_OTHER_PYTHON, which has the module
installed too. Skipped when that variable is not set."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import graph_forms, random_dense

OTHER_PYTHON = os.environ.get("VELMAR_OTHER_PYTHON")

# Run in both interpreters: reads the inputs and the cases, computes every
# case and saves its raw bytes.
EMBED_ALL = """
import json, platform, sys
import numpy as np
import _rust_core

def embed_all(graph_path, cases_path, out_path):
    graph = np.load(graph_path)
    with open(cases_path) as f:
        plan = json.load(f)
    forms = {
        "fit_dense": dict(adj_matrix=graph["dense"]),
        "fit_csr": dict(row_ptrs=graph["row_ptrs"], col_indices=graph["col_indices"],
                        values=graph["values"], num_nodes=int(graph["num_nodes"])),
        "fit_adj_list": dict(adj_list=[[(t, w) for t, w in row] for row in plan["adj_list"]]),
    }
    out = {}
    for i, case in enumerate(plan["cases"]):
        kw = dict(forms[case["func"]], dim=case["dim"], seed=case["seed"], undirected=case["undirected"])
        kw["iter_weights" if case["func"] == "fit_adj_list" else "weights"] = case["weights"]
        out[f"case{i}"] = getattr(_rust_core, case["func"])(**kw).view(np.uint32)
    np.savez(out_path, **out)
    return platform.python_implementation() + " " + platform.python_version() + ", NumPy " + np.__version__

if __name__ == "__main__":
    print(embed_all(*sys.argv[1:4]))
"""

CASES = [
    dict(func=func, dim=dim, weights=weights, seed=seed, undirected=undirected)
    for func in ("fit_csr", "fit_dense", "fit_adj_list")
    for undirected in (True, False)
    for dim, weights, seed in [(16, [1.0, 0.5], 3), (37, [0.25, -1.5, 0.0, 2.0], 2**64 - 1)]
]


def _embed_all(python, env, directory, out_name):
    """Runs EMBED_ALL under `python`; returns its description of itself."""
    done = subprocess.run(
        [
            python,
            str(directory / "embed_all.py"),
            str(directory / "graph.npz"),
            str(directory / "cases.json"),
            str(directory / out_name),
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, f"{python} failed:\n{done.stderr}"
    return done.stdout.strip()


@pytest.mark.skipif(
    not OTHER_PYTHON,
    reason="VELMAR_OTHER_PYTHON names no second interpreter with _rust_core to compare with",
)
def test_seeded_embeddings_match_the_other_interpreter(tmp_path):
    dense = random_dense(60, 0.1, seed=11)
    _, csr, adj = graph_forms(dense)
    np.savez(tmp_path / "graph.npz", dense=dense, **csr)
    (tmp_path / "cases.json").write_text(json.dumps({"cases": CASES, "adj_list": adj["adj_list"]}))
    (tmp_path / "embed_all.py").write_text(EMBED_ALL)

    here = _embed_all(sys.executable, dict(os.environ), tmp_path, "here.npz")
    # One worker there, the default here: the bytes depend on neither. The
    # other interpreter finds its modules by itself, not on this one's path.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env["RAYON_NUM_THREADS"] = "1"
    there = _embed_all(OTHER_PYTHON, env, tmp_path, "there.npz")
    print(f"compared {here} with {there}")

    mine, theirs = np.load(tmp_path / "here.npz"), np.load(tmp_path / "there.npz")
    for i, case in enumerate(CASES):
        a, b = mine[f"case{i}"], theirs[f"case{i}"]
        assert a.dtype == b.dtype == np.uint32 and a.shape == b.shape == (60, case["dim"])
        assert a.tobytes() == b.tobytes(), f"{case}: {here} and {there} differ"
    # The inputs are not trivial: propagation changed the projection.
    assert len(np.unique(mine["case1"])) > 3
