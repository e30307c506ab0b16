"""Reference and memory discipline: every way a call can end (result, parse
error, conversion error, contiguity error, engine error) leaves the inputs'
reference counts as they were and leaks neither Python objects nor native
memory, and a result's buffer is freed with the array."""

import gc
import sys
import weakref

import numpy as np
import pytest
from conftest import PYPY, rss_bytes, under_address_sanitizer

import _rust_core

try:
    import tracemalloc
except ImportError:  # PyPy ships the module without its native part
    tracemalloc = None

N = 3000  # nodes of the CSR graph: copies of 24-72 KB per call
N_ADJ = 1000  # lists of the adjacency-list inputs (one pair each)
EDGES_PER_NODE = 2


def _inputs():
    rng = np.random.default_rng(0)
    rows = np.repeat(np.arange(N), EDGES_PER_NODE)
    cols = rng.integers(0, N, rows.size).astype(np.int64)
    row_ptrs = np.arange(0, rows.size + 1, EDGES_PER_NODE, dtype=np.int64)
    values = rng.uniform(0.5, 1.5, rows.size)
    weights = [float(x) for x in rng.uniform(size=2000)]  # converted every call
    return dict(
        row_ptrs=row_ptrs,
        col_indices=cols,
        values=values,
        bad_row_ptrs=np.concatenate([[1], row_ptrs[1:]]),
        strided=np.repeat(values, 2)[::2],
        dense=np.eye(60) + np.eye(60, k=1),
        non_square=np.ones((60, 61)),
        adj=[[(int(c) % N_ADJ, 1.0)] for c in cols[:N_ADJ]],
        adj_bad_target=[[(int(c) % N_ADJ, 1.0)] for c in cols[:N_ADJ]] + [[(N_ADJ + 5, 1.0)]],
        adj_bad_tail=[[(int(c) % N_ADJ, 1.0)] for c in cols[:N_ADJ]] + [[(0, 1.0, 2.0)]],
        weights=weights,
        short_weights=[1.0, 0.5],
        bad_weights=weights + ["x"],
        n=N,
        small_dim=4,
        big_dim=16,
    )


INPUTS = _inputs()


def _case(fn_name, *names, exc=None, **kw):
    def call():
        args = [INPUTS[n] for n in names]
        fn = getattr(_rust_core, fn_name)
        if exc is None:
            fn(*args, **kw)
            return
        try:
            fn(*args, **kw)
        except exc:
            return
        raise AssertionError("no exception")

    call.names = names
    return call


CASES = {
    # successes (a fit_csr result is 3000 x 16 floats, 192 KB)
    "csr-result": _case(
        "fit_csr", "row_ptrs", "col_indices", "values", "n", "big_dim", "short_weights"
    ),
    "dense-result": _case("fit_dense", "dense", "big_dim", "short_weights"),
    "adj-result": _case("fit_adj_list", "adj", "small_dim", "short_weights"),
    # failures, each after as much converted or copied work as possible
    "csr-num-nodes": _case(
        "fit_csr",
        "row_ptrs",
        "col_indices",
        "values",
        "small_dim",
        "big_dim",
        "weights",
        exc=ValueError,
    ),
    "csr-parse": _case("fit_csr", "row_ptrs", "col_indices", exc=TypeError, bogus=1),
    "csr-undirected": _case(
        "fit_csr",
        "row_ptrs",
        "col_indices",
        "values",
        "small_dim",
        "small_dim",
        "weights",
        exc=TypeError,
        undirected=1,
    ),
    "csr-bad-weight": _case(
        "fit_csr",
        "row_ptrs",
        "col_indices",
        "values",
        "small_dim",
        "small_dim",
        "bad_weights",
        exc=TypeError,
    ),
    "csr-contiguity": _case(
        "fit_csr",
        "row_ptrs",
        "col_indices",
        "strided",
        "small_dim",
        "small_dim",
        "weights",
        exc=ValueError,
    ),
    "csr-engine": _case(
        "fit_csr",
        "bad_row_ptrs",
        "col_indices",
        "values",
        "small_dim",
        "small_dim",
        "weights",
        exc=ValueError,
    ),
    "dense-engine": _case("fit_dense", "non_square", "small_dim", "weights", exc=ValueError),
    "dense-seed": _case("fit_dense", "dense", "small_dim", "weights", exc=OverflowError, seed=-1),
    "adj-engine": _case("fit_adj_list", "adj_bad_target", "small_dim", "weights", exc=ValueError),
    "adj-conversion": _case("fit_adj_list", "adj_bad_tail", "small_dim", "weights", exc=ValueError),
    "adj-undirected": _case(
        "fit_adj_list", "adj", "small_dim", "weights", exc=TypeError, undirected=None
    ),
}


def _watched(names):
    # Small ints are shared interpreter-wide; their counts move with any code.
    objs = []
    for n in names:
        obj = INPUTS[n]
        if isinstance(obj, int):
            continue
        objs.append(obj)
        if isinstance(obj, list):
            objs.extend(obj[:50])
            objs.extend(x for inner in obj[:50] if isinstance(inner, list) for x in inner)
    return objs


@pytest.mark.skipif(
    PYPY, reason="PyPy has no sys.getrefcount: its objects are not reference counted"
)
@pytest.mark.parametrize("case", CASES)
def test_input_refcounts_unchanged(case):
    call = CASES[case]
    call()
    watched = _watched(call.names)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        call()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.skipif(tracemalloc is None, reason="tracemalloc is not available (PyPy)")
@pytest.mark.parametrize("case", CASES)
def test_no_python_objects_leak(case):
    call = CASES[case]
    # Warm up first: free lists and caches filled then count as traced
    # memory only if they fill during the measurement.
    for _ in range(50):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(200):
            call()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leaked exception, note or message string is 50+ bytes a call.
    assert end - start < 1024


class _List(list):
    """A list that can be weakly referenced."""


class _Float(float):
    """A float that can be weakly referenced."""


def _tracked_inputs():
    """Fresh, weakly referenceable inputs: arrays, lists and the floats in
    them (a leaked tuple or list would keep its floats alive)."""
    csr = [np.array([0, 1, 3, 3]), np.array([1, 0, 2]), np.array([1.0, 2.0, 0.5])]
    return dict(
        csr=csr,
        dense=np.array([[0.0, 1.0], [2.0, 0.0]]),
        adj=_List([_List([(1, _Float(1.0))]), _List([(0, _Float(2.0)), (5, _Float(0.5))])]),
        weights=_List([_Float(1.0), _Float(0.5)]),
    )


# (function, arguments from the tracked inputs, expected exception or None)
RELEASE_CASES = {
    "csr-result": ("fit_csr", lambda t: (*t["csr"], 3, 4, t["weights"]), None),
    "csr-engine": ("fit_csr", lambda t: (*t["csr"], 2, 4, t["weights"]), ValueError),
    "csr-undirected": ("fit_csr", lambda t: (*t["csr"], 3, 4, t["weights"], None, 1), TypeError),
    "dense-result": ("fit_dense", lambda t: (t["dense"], 4, t["weights"]), None),
    "dense-seed": ("fit_dense", lambda t: (t["dense"], 4, t["weights"], -1), OverflowError),
    "adj-engine": ("fit_adj_list", lambda t: (t["adj"], 4, t["weights"]), ValueError),
    "adj-undirected": ("fit_adj_list", lambda t: (t["adj"], 4, t["weights"], 1, 1), TypeError),
}


def _referenceable(obj):
    """obj and everything in it that can be weakly referenced (not the
    tuples or ints; a leaked tuple keeps its float alive)."""
    if isinstance(obj, (list, tuple)):
        for item in obj:
            yield from _referenceable(item)
    if isinstance(obj, (list, float, np.ndarray)):
        yield obj


@pytest.mark.parametrize("case", RELEASE_CASES)
def test_inputs_and_results_are_released(case):
    # Once the caller drops them, inputs and results are freed: no reference
    # is kept on any path. On PyPy, whose objects are freed by its collector,
    # this is the check that the binding drops every reference it takes.
    name, make_args, exc = RELEASE_CASES[case]
    args = make_args(_tracked_inputs())
    refs = [weakref.ref(obj) for obj in _referenceable(args)]
    for _ in range(3):
        if exc is None:
            refs.append(weakref.ref(getattr(_rust_core, name)(*args)))
        else:
            with pytest.raises(exc):
                getattr(_rust_core, name)(*args)
    del args
    for _ in range(3):  # PyPy may need more than one pass to free C-side objects
        gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert not alive, f"{len(alive)} objects still alive, e.g. {alive[0]!r}"


RSS_CALLS = 600
RSS_TOLERANCE = 2 * 2**20


@pytest.mark.skipif(
    PYPY,
    reason="PyPy's heap grows with the state of its collector, so RSS growth is no leak signal there",
)
@pytest.mark.skipif(under_address_sanitizer(), reason="AddressSanitizer quarantines freed memory")
@pytest.mark.parametrize("case", CASES)
def test_native_memory_is_flat(case):
    # Each call handles 16-200 KB of native memory (input copies, converted
    # weights and lists, results), so a leak on any path grows the RSS by
    # 16 MB or more over the calls.
    call = CASES[case]
    for _ in range(50):
        call()
    gc.collect()
    before = rss_bytes()
    for _ in range(RSS_CALLS):
        call()
    gc.collect()
    growth = rss_bytes() - before
    assert growth < RSS_TOLERANCE, f"RSS grew by {growth / 2**20:.2f} MiB"


@pytest.mark.skipif(under_address_sanitizer(), reason="AddressSanitizer quarantines freed memory")
def test_result_buffer_freed_with_array():
    # 8 MB results: kept, the RSS would climb by 400 MB.
    row_ptrs = np.zeros(1001, dtype=np.int64)
    empty_i, empty_f = np.array([], dtype=np.int64), np.array([], dtype=np.float64)
    kw = dict(weights=[], seed=1)
    _rust_core.fit_csr(row_ptrs, empty_i, empty_f, 1000, 2000, **kw)
    gc.collect()
    before = rss_bytes()
    for _ in range(30):
        out = _rust_core.fit_csr(row_ptrs, empty_i, empty_f, 1000, 2000, **kw)
        view = out[::3]
        del out
        assert view.shape == (334, 2000)
        del view
    gc.collect()
    assert rss_bytes() - before < 4 * 8 * 10**6


@pytest.mark.skipif(under_address_sanitizer(), reason="AddressSanitizer quarantines freed memory")
def test_result_buffers_do_not_pile_up_between_collections():
    # 8 MB results dropped at once, with no explicit collection: CPython frees
    # each at once; under PyPy the module must keep the collections in step,
    # or all 1.2 GB of them pile up where PyPy's nursery is large (it sizes
    # it from the CPU's reported cache, hundreds of MB on some machines).
    row_ptrs = np.zeros(1001, dtype=np.int64)
    empty_i, empty_f = np.array([], dtype=np.int64), np.array([], dtype=np.float64)
    gc.collect()
    before = rss_bytes()
    peak = 0
    for _ in range(150):
        _rust_core.fit_csr(row_ptrs, empty_i, empty_f, 1000, 2000, [1.0], seed=1)
        peak = max(peak, rss_bytes() - before)
    assert peak < 400 * 2**20, f"RSS peaked {peak / 2**20:.0f} MiB above the start"
