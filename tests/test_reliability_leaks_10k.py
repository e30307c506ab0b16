"""Leaks: 10,000 calls per entry point and per way of ending leave memory and
the inputs' reference counts where they were.

Ways of ending: a result, a parse error, a conversion error, a contiguity
error (fit_csr only), an engine error, and the engine's out-of-memory error.
Measured after a warm-up of 1,000 calls, over the next 10,000:

- reference counts of every argument object: exactly unchanged;
- Python's allocated blocks (sys.getallocatedblocks): at most 100 more, so no
  Python object survives a call (one per call would be 10,000);
- bytes in use by the C allocator (glibc mallinfo2, all arenas, mapped chunks
  included): at most 64 KiB more, so no native allocation of 8 bytes or more
  per call survives;
- resident set size: at most 2 MiB more.

Under AddressSanitizer only the reference counts are compared: its quarantine
and its own allocator make the memory figures meaningless.
"""

import ctypes
import os
import sys

import numpy as np
import pytest
from conftest import PYPY, big_allocations_fail, rss_bytes

import _rust_core as rc

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
CALLS = 10_000
WARMUP = 1_000

pytestmark = pytest.mark.timeout(300)


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _malloc_in_use():
    """Bytes the C allocator has handed out and not taken back, or None
    where mallinfo2 is missing (not glibc, or glibc before 2.33)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2

    def in_use():
        m = mallinfo2()
        return m.uordblks + m.hblkhd

    return in_use


MALLOC_IN_USE = _malloc_in_use()


def graph_args(name):
    """Fresh, valid graph arguments of a 3-node graph for `name`."""
    if name == "fit_csr":
        return [
            np.array([0, 1, 3, 3], dtype=np.int64),
            np.array([1, 0, 2], dtype=np.int64),
            np.array([1.0, 2.0, 0.5]),
            3,
        ]
    if name == "fit_dense":
        return [np.array([[0.0, 1.0, 0.0], [2.0, 0.0, 0.5], [0.0, 0.0, 0.0]])]
    return [[[(1, 1.0)], [(0, 2.0), (2, 0.5)], []]]


def bad_graph_args(name):
    """Arguments that convert but that the graph store rejects."""
    if name == "fit_csr":
        return [
            np.array([1, 1, 3, 3], dtype=np.int64),
            np.array([1, 0, 2], dtype=np.int64),
            np.array([1.0, 2.0, 0.5]),
            3,
        ]
    if name == "fit_dense":
        return [np.ones((3, 4))]
    return [[[(1, 1.0)], [(7, 2.0)], []]]


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


def make_case(name, kind):
    """(args, kwargs, expected exception or None) for one way of ending."""
    graph = graph_args(name)
    weights = [0.5, 1.0, 0.25]
    if kind == "result":
        return graph + [8, weights], {"seed": 7}, None
    if kind == "parse":
        return graph, {"bogus": 1}, TypeError
    if kind == "conversion":
        # A long weight list converted up to its last item, which fails.
        return graph + [8, [0.5] * 50 + [BadFloat()]], {}, ArithmeticError
    if kind == "contiguity":
        rows, cols, vals, n = graph
        strided = np.repeat(vals, 2)[::2]
        return [rows, cols, strided, n, 8, weights], {}, ValueError
    if kind == "engine":
        return bad_graph_args(name) + [8, weights], {"seed": 7}, ValueError
    if kind == "out_of_memory":
        return graph + [2**40, weights], {"seed": 7}, ValueError
    raise AssertionError(kind)


KINDS = ["result", "parse", "conversion", "contiguity", "engine", "out_of_memory"]
CASES = [
    (name, kind)
    for name in ("fit_csr", "fit_dense", "fit_adj_list")
    for kind in KINDS
    if kind != "contiguity" or name == "fit_csr"
]


def run(func, args, kwargs, exc, times):
    for _ in range(times):
        if exc is None:
            func(*args, **kwargs)
        else:
            try:
                func(*args, **kwargs)
            except exc:
                pass
            else:
                raise AssertionError("expected " + exc.__name__)


def counted(args, kwargs):
    """Argument objects whose counts only this test and the module touch."""
    objs = list(args) + list(kwargs.values())
    return [o for o in objs if not isinstance(o, int) or not -5 <= o <= 256]


@pytest.mark.skipif(
    PYPY, reason="PyPy has no sys.getrefcount: its objects are not reference counted"
)
@pytest.mark.parametrize("name,kind", CASES, ids=[f"{n}-{k}" for n, k in CASES])
def test_10k_calls_leave_memory_and_refcounts_flat(name, kind):
    if kind == "out_of_memory" and not big_allocations_fail():
        pytest.skip("the kernel would grant a multi-TiB mapping")
    func = getattr(rc, name)
    args, kwargs, exc = make_case(name, kind)
    watched = counted(args, kwargs)

    run(func, args, kwargs, exc, WARMUP)
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    heap = MALLOC_IN_USE() if MALLOC_IN_USE else 0
    rss = rss_bytes()

    run(func, args, kwargs, exc, CALLS)

    assert [sys.getrefcount(o) for o in watched] == refs
    if SANITIZED:
        return
    d_blocks = sys.getallocatedblocks() - blocks
    d_heap = (MALLOC_IN_USE() - heap) if MALLOC_IN_USE else 0
    d_rss = rss_bytes() - rss
    print(f"{name} {kind}: blocks {d_blocks:+d}, heap {d_heap:+d} B, rss {d_rss:+d} B")
    assert d_blocks <= 100
    assert d_heap <= 64 * 1024
    assert d_rss <= 2 * 2**20
