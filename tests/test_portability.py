"""The seeded embeddings whose hashes the C++ suite keeps (and checks on
aarch64, on Windows and under every vector clone) give the same hashes
through the Python module. The table is read from the C++ test, so there is
one list of expected hashes."""

import math
import pathlib
import re

import numpy as np
import pytest

import _rust_core

TABLE = (
    pathlib.Path(__file__).resolve().parents[1] / "velmar" / "tests" / "reproducibility_test.cpp"
)
ROW = re.compile(
    r'\{"(\w+)", (\d+), (\d+), (k\w+), (\d+), \{([^}]*)\}, (\d+)u, (true|false), (0x[0-9a-f]{16})\}'
)
MASK = (1 << 64) - 1
NUMBERS = {"kNaN": math.nan, "kInf": math.inf, "-kInf": -math.inf}


def load_cases():
    rows = ROW.findall(TABLE.read_text())
    assert len(rows) >= 10, f"hash table not found in {TABLE}"
    return [
        pytest.param(
            int(n),
            int(degree),
            values,
            int(dim),
            [
                NUMBERS[w] if w in NUMBERS else float(w)
                for w in (x.strip() for x in weights.split(","))
            ],
            int(seed),
            undirected == "true",
            int(digest, 16),
            id=name,
        )
        for name, n, degree, values, dim, weights, seed, undirected, digest in rows
    ]


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & MASK
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return state, z ^ (z >> 31)


def make_graph(n, max_degree, values):
    """The C++ test's generator, draw for draw."""
    state, row_ptrs, cols, vals = n, [0], [], []
    for _ in range(n):
        state, r = splitmix64(state)
        for _ in range(r % (max_degree + 1)):
            state, r = splitmix64(state)
            cols.append(r % n)
            state, r = splitmix64(state)
            v = (r >> 11) * 2.0**-53 * 4.0 - 1.0
            e = len(cols)
            if values != "kFinite" and e % 7 == 0:
                v = math.nan if values == "kWithNaN" else (math.inf if e % 14 == 0 else -math.inf)
            vals.append(v)
        row_ptrs.append(len(cols))
    return np.array(row_ptrs, np.int64), np.array(cols, np.int64), np.array(vals, np.float64)


def fnv1a_words(a):
    h = 0xCBF29CE484222325
    for word in a.view(np.uint32).ravel().tolist():
        h = ((h ^ word) * 0x100000001B3) & MASK
    return h


@pytest.mark.parametrize(
    "n, max_degree, values, dim, weights, seed, undirected, digest", load_cases()
)
def test_seeded_hash_matches_the_cpp_table(
    n, max_degree, values, dim, weights, seed, undirected, digest
):
    row_ptrs, cols, vals = make_graph(n, max_degree, values)
    out = _rust_core.fit_csr(
        row_ptrs, cols, vals, n, dim, weights, seed=seed, undirected=undirected
    )
    assert out.shape == (n, dim)
    assert f"{fnv1a_words(out):#018x}" == f"{digest:#018x}"
