"""Shared fixtures for the _rust_core tests: one description per entry point,
so that call-frame tests run against fit_dense, fit_csr and fit_adj_list
alike, and small graphs given in all three input forms."""

import dataclasses
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _rust_core

# A three-node graph: 0 -> 1 (1.0), 1 -> 0 (2.0), 1 -> 2 (0.5); node 2 has no
# out-edges.
SMALL_DENSE = [[0.0, 1.0, 0.0], [2.0, 0.0, 0.5], [0.0, 0.0, 0.0]]
SMALL_CSR = ([0, 1, 3, 3], [1, 0, 2], [1.0, 2.0, 0.5])
SMALL_ADJ = [[(1, 1.0)], [(0, 2.0), (2, 0.5)], []]


_DEFAULT = object()

PYPY = platform.python_implementation() == "PyPy"

# The interpreter's own OverflowError texts for an integer outside
# [0, 2**64), which the module passes on unchanged.
NEGATIVE_TO_UNSIGNED = (
    "cannot convert negative integer to unsigned int"
    if PYPY
    else "can't convert negative int to unsigned"
)
TOO_BIG_FOR_U64 = "integer too large" if PYPY else "int too big to convert"


@dataclasses.dataclass(frozen=True)
class Entry:
    name: str
    params: tuple
    required: int
    graph_param: str
    weights_param: str

    @property
    def func(self):
        return getattr(_rust_core, self.name)

    def valid_kwargs(self, dim=4, weights=_DEFAULT, **overrides):
        """Fresh arguments of a valid call on the small graph."""
        if self.name == "fit_csr":
            rows, cols, vals = SMALL_CSR
            kw = dict(
                row_ptrs=np.array(rows, dtype=np.int64),
                col_indices=np.array(cols, dtype=np.int64),
                values=np.array(vals, dtype=np.float64),
                num_nodes=3,
            )
        elif self.name == "fit_dense":
            kw = dict(adj_matrix=np.array(SMALL_DENSE, dtype=np.float64))
        else:
            kw = dict(adj_list=[list(row) for row in SMALL_ADJ])
        kw["dim"] = dim
        kw[self.weights_param] = [1.0, 0.5] if weights is _DEFAULT else weights
        kw.update(overrides)
        return kw

    def valid_args(self, **overrides):
        """Every parameter by position (seed None, undirected True)."""
        kw = dict(seed=None, undirected=True)
        kw.update(self.valid_kwargs(**overrides))
        return [kw[p] for p in self.params]


FIT_DENSE = Entry(
    "fit_dense",
    ("adj_matrix", "dim", "weights", "seed", "undirected"),
    3,
    "adj_matrix",
    "weights",
)
FIT_CSR = Entry(
    "fit_csr",
    (
        "row_ptrs",
        "col_indices",
        "values",
        "num_nodes",
        "dim",
        "weights",
        "seed",
        "undirected",
    ),
    6,
    "row_ptrs",
    "weights",
)
FIT_ADJ_LIST = Entry(
    "fit_adj_list",
    ("adj_list", "dim", "iter_weights", "seed", "undirected"),
    3,
    "adj_list",
    "iter_weights",
)
ENTRIES = [FIT_DENSE, FIT_CSR, FIT_ADJ_LIST]


@pytest.fixture(params=ENTRIES, ids=lambda e: e.name)
def entry(request):
    return request.param


def check_error(excinfo, message, note=None):
    """The raised exception has exactly this message and this note (or none;
    before Python 3.11 exceptions cannot carry notes)."""
    assert str(excinfo.value) == message
    notes = getattr(excinfo.value, "__notes__", [])
    assert notes == ([] if note is None or sys.version_info < (3, 11) else [note])


def graph_forms(dense):
    """The same stored edges (every nonzero of `dense`) as the arguments of
    fit_dense, fit_csr and fit_adj_list."""
    dense = np.asarray(dense, dtype=np.float64)
    n = dense.shape[0]
    rows, cols = np.nonzero(dense)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.add.at(row_ptrs, rows + 1, 1)
    row_ptrs = np.cumsum(row_ptrs)
    csr = dict(
        row_ptrs=row_ptrs,
        col_indices=cols.astype(np.int64),
        values=dense[rows, cols].copy(),
        num_nodes=n,
    )
    adj = [[(int(c), float(dense[r, c])) for c in np.nonzero(dense[r])[0]] for r in range(n)]
    return dict(adj_matrix=dense), csr, dict(adj_list=adj)


def random_dense(n, density, seed):
    rng = np.random.default_rng(seed)
    values = rng.uniform(-2.0, 2.0, size=(n, n))
    mask = rng.random((n, n)) < density
    return np.where(mask & (values != 0.0), values, 0.0)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, env_extra=None, timeout=60):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


def big_allocations_fail():
    """Whether the kernel refuses a multi-TiB request outright. With
    overcommit mode 1 it would be granted and then touched."""
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() in ("0", "2")
    except OSError:
        return False


def under_address_sanitizer():
    """AddressSanitizer ends the process when operator new cannot allocate,
    instead of throwing std::bad_alloc."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")
