"""Coverage-guided fuzzing of the entry points of _rust_core and of the
package's engine module velmar._engine.

Each input is decoded into one call of fit_csr, fit_dense or fit_adj_list with
structured random arguments: NumPy arrays of every dtype, rank, byte order and
layout (negative, zero and odd byte strides included), nested sequences of odd
objects, objects whose __len__, __iter__, __index__ or __float__ raise or
mutate the container being read, extreme integers, NaN/inf weights, and huge
num_nodes or dim over tiny arrays.

A call must end in a well-formed float32 result or in TypeError, ValueError,
OverflowError or the exception an odd object raised itself; it must leave the
reference counts of its arguments as they were, and a seeded call must repeat
bit for bit. Anything else (PanicException, SystemError, a crash, a hang
reported by -timeout) is a finding.

Half the inputs call velmar._engine instead: build_graph, build_graph_coo,
open_graph, merge_sorted, entry_scales, settings, embed, check, memory_plan,
set_num_threads, get_num_threads and the RunControl and Graph methods, each
keyword given positionally, by name or left out, with arguments of the same
kinds (features dense or as CSR tuples, corrupt ones included; degrees;
cancelled controls; outputs of every shape and layout). MemoryError (a size
no allocation holds) and Cancelled (a cancelled control) are allowed too.
What comes back must be consistent: a graph has the nodes asked for and
arrays that open_graph accepts and that embed to the same bits; any column
range and block width gives those columns of the full run; embed into `out`
writes what it returns; check refuses exactly what embed refuses for its
values; a memory plan's peak is at least each of its parts.

Usage (libFuzzer flags):
    python3 fuzz/fuzz_entry_points.py -runs=1000000 -seed=1 -timeout=10
    python3 fuzz/fuzz_entry_points.py -max_total_time=30 -seed=1 CORPUS_DIR

Set VELMAR_FUZZ_NO_HUGE_COPIES=1 under AddressSanitizer: its operator new
aborts instead of throwing std::bad_alloc, so inputs that make the module
attempt an allocation of terabytes (a broadcast matrix of 2^40 logical
elements, a __len__ claiming 2^40 items) are not generated there.
VELMAR_FUZZ_STATS=1 prints how the calls ended, per entry point.
"""

import collections
import collections.abc
import gc
import os
import sys
import warnings

import atheris
import numpy as np
from numpy.lib.stride_tricks import as_strided

import _rust_core
from velmar import _engine

NO_HUGE_COPIES = os.environ.get("VELMAR_FUZZ_NO_HUGE_COPIES") == "1"
OUTCOMES = collections.Counter() if os.environ.get("VELMAR_FUZZ_STATS") == "1" else None
ALLOWED = (TypeError, ValueError, OverflowError)
U64_MAX = 2**64 - 1


class Hostile(Exception):
    """Raised by the odd objects; reaching the caller unchanged is correct."""


# ----------------------------------------------------------- odd objects


class Index:
    """An integer-like object: __index__ returns `value`, or raises."""

    def __init__(self, value, raises=False):
        self.value = value
        self.raises = raises

    def __index__(self):
        if self.raises:
            raise Hostile("__index__")
        return self.value


class Float:
    """A float-like object whose __float__ may raise, return a non-float, or
    mutate a container (once) before answering."""

    def __init__(self, value, raises=False, mutate=None):
        self.value = value
        self.raises = raises
        self.mutate = mutate
        self.fired = False

    def __float__(self):
        # Fires once, and keeps its reference to the container so that
        # reference counts stay comparable.
        if self.mutate is not None and not self.fired:
            self.fired = True
            self.mutate()
        if self.raises:
            raise Hostile("__float__")
        return self.value


class OddSequence(collections.abc.Sequence):
    """A registered Sequence whose __len__ lies or raises and whose iteration
    may raise part-way."""

    def __init__(self, items, length=None, len_raises=False, iter_fails_at=None):
        self.items = list(items)
        self.length = length
        self.len_raises = len_raises
        self.iter_fails_at = iter_fails_at

    def __len__(self):
        if self.len_raises:
            raise Hostile("__len__")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for k, item in enumerate(self.items):
            if k == self.iter_fails_at:
                raise Hostile("__iter__")
            yield item


class TupleSub(tuple):
    pass


Pair = collections.namedtuple("Pair", "target weight")


# ------------------------------------------------------------- generators

SPECIAL_FLOATS = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    float("nan"),
    float("inf"),
    float("-inf"),
    5e-324,
    1.7976931348623157e308,
    1e-40,
    3.4e38,
    1e39,
]
EXTREME_INTS = [-1, -(2**63), 2**63 - 1, 2**63, U64_MAX, 2**64, 2**200, -(2**200)]
HUGE_DIMS = [2**34, 2**40, 2**61, 2**62, 2**63, U64_MAX]


def gen_float(fdp):
    k = fdp.ConsumeIntInRange(0, 9)
    if k < 5:
        return SPECIAL_FLOATS[fdp.ConsumeIntInRange(0, len(SPECIAL_FLOATS) - 1)]
    if k < 8:
        return fdp.ConsumeRegularFloat()
    return fdp.ConsumeFloat()


def gen_int(fdp, small_max):
    """Node counts, dims, seeds and targets: mostly small, sometimes extreme,
    sometimes not an int at all."""
    k = fdp.ConsumeIntInRange(0, 31)
    if k < 22:
        return fdp.ConsumeIntInRange(0, small_max)
    if k < 26:
        return EXTREME_INTS[fdp.ConsumeIntInRange(0, len(EXTREME_INTS) - 1)]
    if k == 26:
        return Index(fdp.ConsumeIntInRange(0, small_max), raises=fdp.ConsumeBool())
    if k == 27:
        return np.int64(fdp.ConsumeIntInRange(0, small_max))
    if k == 28:
        return bool(fdp.ConsumeBool())
    if k == 29:
        return float(fdp.ConsumeIntInRange(0, small_max))
    if k == 30:
        return Index("not an int")
    return None


def gen_dim(fdp):
    k = fdp.ConsumeIntInRange(0, 15)
    if k == 15:
        # Far more than memory: refused as soon as it is reserved.
        return HUGE_DIMS[fdp.ConsumeIntInRange(0, len(HUGE_DIMS) - 1)]
    if k == 14:
        return gen_int(fdp, 16)
    return fdp.ConsumeIntInRange(0, 12)


INT_LIKE_DTYPES = ["<i8", ">i8", "<i4", "<u8", "<i2", "u1", "?", "<f8", "O", "<c16"]
FLOAT_LIKE_DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i8", "<c16", "O", "<f16", "?"]


def fill(fdp, dtype, count, int_bound):
    if dtype.kind in "iub":
        if dtype.kind != "b" and fdp.ConsumeIntInRange(0, 7) == 0:
            info = np.iinfo(dtype)
            pool = [int(info.min), int(info.max)]
            pool += [v for v in EXTREME_INTS if info.min <= v <= info.max]
            vals = [pool[fdp.ConsumeIntInRange(0, len(pool) - 1)] for _ in range(count)]
            return np.array(vals, dtype=dtype)
        vals = [fdp.ConsumeIntInRange(0, max(int_bound, 0)) for _ in range(count)]
        return np.array(vals, dtype=np.int64).astype(dtype)
    if dtype.kind in "fc":
        return np.array([gen_float(fdp) for _ in range(count)]).astype(dtype)
    return np.array([gen_float(fdp) for _ in range(count)], dtype=object)


def layout(fdp, base):
    """A view of the 1-d array `base` in some layout; returns an array whose
    first axis indexes base's elements (possibly reordered or repeated)."""
    k = fdp.ConsumeIntInRange(0, 11)
    if k == 6 and base.size > 0:
        return base[::-1]  # negative stride
    if k == 7 and base.size > 0:
        # Zero stride: every element is base[0].
        return as_strided(base[:1], shape=(fdp.ConsumeIntInRange(0, 6),), strides=(0,))
    if k == 8:
        # Every second element of a longer array.
        wide = np.repeat(base, 2)
        return wide[::2]
    if k == 9 and base.dtype.kind != "O":
        # A field of a packed record: byte stride itemsize + 1, misaligned.
        rec = np.zeros(base.size, dtype=[("pad", "u1"), ("x", base.dtype)])
        rec["x"] = base
        return rec["x"]
    if k == 10:
        return base.copy(order="F").view(type=NdSub)
    if k == 11 and base.dtype.kind != "O":
        # Read-only through a bytes buffer.
        return np.frombuffer(base.tobytes(), dtype=base.dtype)
    return base


class NdSub(np.ndarray):
    pass


def gen_1d(fdp, dtypes, count, int_bound):
    """An argument meant to be a 1-d array: usually one, sometimes not."""
    k = fdp.ConsumeIntInRange(0, 23)
    if k == 23:
        return [fdp.ConsumeIntInRange(0, 3) for _ in range(count)]
    if k == 22:
        return None
    if k == 21:
        return np.zeros((count, 1), dtype=dtypes[0])  # wrong rank
    if k == 20:
        return np.array(0, dtype=dtypes[0])  # 0-d
    # Mostly the right dtype, sometimes any other.
    dtype = np.dtype(dtypes[0] if k < 14 else dtypes[fdp.ConsumeIntInRange(0, len(dtypes) - 1)])
    return layout(fdp, fill(fdp, dtype, count, int_bound))


def gen_weights(fdp):
    n = fdp.ConsumeIntInRange(0, 5)
    items = [gen_float(fdp) for _ in range(n)]
    k = fdp.ConsumeIntInRange(0, 19)
    if k < 8:
        return items
    if k == 8:
        return tuple(items)
    if k == 9:
        return np.array(items, dtype=np.float64)
    if k == 10:
        return range(fdp.ConsumeIntInRange(0, 4))
    if k == 11:
        return "abc"
    if k == 12:
        return set(items)
    if k == 13:
        return (x for x in items)
    if k == 14:
        # An item that empties (or grows) the very list being read.
        target = list(items) + [1.0]
        if fdp.ConsumeBool():
            mutate = target.clear
        else:

            def mutate():
                target.extend([2.0, 3.0])

        target.insert(0, Float(0.5, raises=fdp.ConsumeBool(), mutate=mutate))
        return target
    if k == 15:
        return items + [Float(1.0, raises=True)]
    if k == 16:
        return items + ["x"]
    if k == 17:
        return OddSequence(
            items,
            length=_odd_length(fdp),
            len_raises=fdp.ConsumeBool(),
            iter_fails_at=fdp.ConsumeIntInRange(0, n + 1),
        )
    if k == 18:
        return items + [Float("not a float")]
    return 5


def _odd_length(fdp):
    # Hints above the largest vector are refused without allocating; 2^40
    # items of 8 or more bytes reach the allocator.
    choices = [None, 0, 10**6, 2**62, 2**63 - 1] + ([] if NO_HUGE_COPIES else [2**40])
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


def gen_seed(fdp):
    k = fdp.ConsumeIntInRange(0, 7)
    if k < 3:
        return None
    if k < 6:
        return fdp.ConsumeIntInRange(0, U64_MAX)
    return gen_int(fdp, 100)


def gen_undirected(fdp):
    choices = [True, False, np.bool_(True), np.False_, 1, None, "yes", Index(1)]
    return choices[fdp.ConsumeIntInRange(0, len(choices) - 1)]


def gen_csr(fdp):
    n = fdp.ConsumeIntInRange(0, 12)
    nnz = fdp.ConsumeIntInRange(0, 24)
    if fdp.ConsumeIntInRange(0, 3) == 3:
        row_ptrs = [fdp.ConsumeIntInRange(0, nnz + 1) for _ in range(n + 1)]
    else:
        cuts = sorted(fdp.ConsumeIntInRange(0, nnz) for _ in range(max(n - 1, 0)))
        row_ptrs = [0] + cuts + [nnz] if n > 0 else [0]
        if fdp.ConsumeIntInRange(0, 7) == 7:
            row_ptrs[-1] = EXTREME_INTS[fdp.ConsumeIntInRange(0, 2)]  # -1, -2^63, 2^63-1
    k = fdp.ConsumeIntInRange(0, 9)
    if k == 9:
        rp = gen_1d(fdp, INT_LIKE_DTYPES, len(row_ptrs), nnz)
    else:
        rp = layout(fdp, np.array(row_ptrs, dtype=np.int64))
    col = gen_1d(fdp, INT_LIKE_DTYPES, nnz, max(n, 1))
    vals = gen_1d(fdp, FLOAT_LIKE_DTYPES, nnz + (fdp.ConsumeIntInRange(0, 7) == 7), 3)
    num_nodes = gen_int(fdp, 14) if fdp.ConsumeIntInRange(0, 4) == 4 else n
    return [rp, col, vals, num_nodes], (num_nodes if isinstance(num_nodes, int) else None)


def gen_dense(fdp):
    k = fdp.ConsumeIntInRange(0, 19)
    if k == 19 and not NO_HUGE_COPIES:
        # A broadcast view: tiny storage, a logical size whose copy cannot be
        # allocated.
        side = [2**20, 2**29][fdp.ConsumeIntInRange(0, 1)]
        return as_strided(np.zeros(1), shape=(side, side), strides=(0, 0)), side
    if k == 18:
        return [[0.0, 1.0], [1.0, 0.0]], None  # a list of lists
    rows = fdp.ConsumeIntInRange(0, 8)
    cols = fdp.ConsumeIntInRange(0, 8) if fdp.ConsumeIntInRange(0, 5) == 5 else rows
    dtype = np.dtype(
        "<f8" if k < 14 else FLOAT_LIKE_DTYPES[fdp.ConsumeIntInRange(0, len(FLOAT_LIKE_DTYPES) - 1)]
    )
    sparse = fdp.ConsumeBool()
    flat = fill(fdp, dtype, rows * cols, 3)
    if sparse and dtype.kind == "f":
        flat[: rows * cols * 3 // 4] = 0
    m = flat.reshape(rows, cols)
    form = fdp.ConsumeIntInRange(0, 9)
    if form == 7:
        m = np.asfortranarray(m)
    elif form == 1:
        m = m[::-1, ::-1]
    elif form == 2:
        big = np.zeros((2 * rows, 2 * cols), dtype=dtype)
        big[::2, ::2] = m
        m = big[::2, ::2]
    elif form == 3:
        m = m.T
    elif form == 4 and rows > 0 and cols > 0:
        m = np.broadcast_to(m[:1, :1], (rows, rows))
    elif form == 5 and dtype.kind != "O":
        rec = np.zeros((rows, cols), dtype=[("pad", "u1"), ("x", dtype)])
        rec["x"] = m
        m = rec["x"]  # byte strides not multiples of 8
    elif form == 9:
        m = m.reshape(1, rows, cols) if fdp.ConsumeBool() else m.reshape(-1)
    return m, (m.shape[0] if m.ndim == 2 and m.shape[0] == m.shape[1] else None)


def gen_adj_list(fdp):
    n = fdp.ConsumeIntInRange(0, 8)
    outer = []
    for _ in range(n):
        row = []
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            row.append(gen_pair(fdp, n, outer, row))
        k = fdp.ConsumeIntInRange(0, 15)
        if k == 11:
            row = tuple(row)
        elif k == 12:
            row = OddSequence(
                row,
                length=_odd_length(fdp),
                len_raises=fdp.ConsumeBool(),
                iter_fails_at=fdp.ConsumeIntInRange(0, len(row) + 1),
            )
        elif k == 13:
            row = "ab"
        elif k == 14:
            row = None
        elif k == 15:
            row = {0: 1.0}
        outer.append(row)
    k = fdp.ConsumeIntInRange(0, 11)
    if k == 7:
        return tuple(outer), n
    if k == 8:
        return OddSequence(
            outer,
            length=_odd_length(fdp),
            len_raises=fdp.ConsumeBool(),
            iter_fails_at=fdp.ConsumeIntInRange(0, n + 1),
        ), None
    if k == 9:
        return "abc", None
    if k == 10:
        return {i: r for i, r in enumerate(outer)}, None
    if k == 11:
        return np.zeros((n, 2)), None
    return outer, n


def gen_pair(fdp, n, outer, row):
    k = fdp.ConsumeIntInRange(0, 23)
    target = fdp.ConsumeIntInRange(0, n) if k < 14 else gen_int(fdp, n + 1)
    weight = gen_float(fdp)
    if k == 14:
        weight = Float(1.0, raises=fdp.ConsumeBool(), mutate=outer.clear)
    elif k == 15:
        weight = Float(2.0, mutate=row.clear)
    elif k == 16:
        weight = "w"
    elif k == 17:
        return [target, weight]
    elif k == 18:
        return (target, weight, 1.0)
    elif k == 19:
        return Pair(target, weight)
    elif k == 20:
        return TupleSub((target, weight))
    elif k == 21:
        return None
    elif k == 22:
        return (Index(target, raises=fdp.ConsumeBool()), weight)
    return (target, weight)


# ------------------------------------------------------------------ check

ENTRY = [
    ("fit_csr", gen_csr, ("row_ptrs", "col_indices", "values", "num_nodes")),
    ("fit_dense", gen_dense, ("adj_matrix",)),
    ("fit_adj_list", gen_adj_list, ("adj_list",)),
]


def build_call(fdp):
    name, gen, graph_params = ENTRY[fdp.ConsumeIntInRange(0, 2)]
    graph, n = gen(fdp)
    if name != "fit_csr":
        graph = [graph]
    dim = gen_dim(fdp)
    weights = gen_weights(fdp)
    seed = gen_seed(fdp)
    params = list(graph_params) + [
        "dim",
        "iter_weights" if name == "fit_adj_list" else "weights",
        "seed",
        "undirected",
    ]
    values = list(graph) + [dim, weights, seed, gen_undirected(fdp)]
    style = fdp.ConsumeIntInRange(0, 15)
    args, kwargs = values, {}
    if style == 15:
        args = values[: fdp.ConsumeIntInRange(0, len(values))]  # missing / defaults
    if style == 14:
        args = values + [None]  # one too many
    if style in (12, 13):
        split = fdp.ConsumeIntInRange(0, len(values))
        args = values[:split]
        kwargs = dict(zip(params[split:], values[split:]))
        if style == 13:
            kwargs[["seeds", "weights", "dim"][fdp.ConsumeIntInRange(0, 2)]] = 1
    # What the function will see, for predicting a successful result.
    seen = dict(zip(params, args))
    seen.update(kwargs)
    return name, args, kwargs, n, seen.get("dim"), seen.get("seed")


def check_result(r, n, dim):
    assert type(r) is np.ndarray, type(r)
    assert r.dtype == np.float32 and r.ndim == 2, (r.dtype, r.shape)
    assert r.flags.c_contiguous and r.flags.writeable
    assert type(r.base).__name__ == "PySliceContainer", type(r.base)
    if isinstance(n, int):
        assert r.shape[0] == n, (r.shape, n)
    if isinstance(dim, int) and not isinstance(dim, bool):
        assert r.shape[1] == dim, (r.shape, dim)


KEEP_ALIVE = []  # the objects of the current input, see _retain
STEP = [0]


def TestOneInput(data):
    KEEP_ALIVE.clear()
    # Odd objects form reference cycles with their containers. The cyclic
    # collector is off, so that it cannot free an earlier input's garbage
    # (and references to shared constants) in the middle of a measured call;
    # it runs here instead, between inputs.
    STEP[0] += 1
    if STEP[0] % 512 == 0:
        gc.collect()
    fdp = atheris.FuzzedDataProvider(data)
    try:
        if fdp.ConsumeBool():
            fuzz_engine(fdp)
        else:
            fuzz_rust_core(fdp)
    finally:
        # Every 100,000 inputs, and after the last of -runs=N.
        if OUTCOMES is not None and (STEP[0] == STATS_AT or STEP[0] % 100_000 == 0):
            _print_outcomes()


def fuzz_rust_core(fdp):
    name, args, kwargs, n, dim, seed = build_call(fdp)
    func = getattr(_rust_core, name)
    inputs = list(args) + list(kwargs.values())
    _retain(inputs)
    # Odd objects may change the containers while they are read; only plain
    # data can be replayed or have its result shape predicted.
    plain = all(_plain(x) for x in inputs)
    # The list is kept too: a caller that measures two calls in a row drops
    # the first list (and its references) only when it assigns the second.
    watched = [x for x in inputs if _counted(x)]
    KEEP_ALIVE.append(watched)
    before = [sys.getrefcount(x) for x in watched]
    try:
        r = func(*args, **kwargs)
        outcome = "result"
    except ALLOWED + (Hostile,) as e:
        r = None
        outcome = type(e).__name__
    if OUTCOMES is not None:
        OUTCOMES[name, outcome] += 1
    after = [sys.getrefcount(x) for x in watched]
    assert before == after, ("reference counts changed", name, before, after)
    if r is None:
        return
    check_result(r, n if plain else None, dim)
    seeded = type(seed) is int and 0 <= seed <= U64_MAX
    if plain and seeded and fdp.ConsumeIntInRange(0, 3) == 0:
        again = func(*args, **kwargs)
        assert again.tobytes() == r.tobytes(), "seeded call not reproducible"


def _retain(x, depth=0):
    """Keeps every object reachable through the containers alive until the
    next input: a mutation that empties a container must not free objects
    (and their references) in the middle of a measured call."""
    KEEP_ALIVE.append(x)
    items = x.items if isinstance(x, OddSequence) else x
    if depth < 4 and isinstance(items, (list, tuple)):
        for y in items:
            _retain(y, depth + 1)


def _plain(x):
    if isinstance(x, (np.ndarray, int, float, bool, str, type(None), np.bool_, np.integer)):
        return True
    if isinstance(x, (list, tuple)):
        return all(_plain(y) for y in x)
    return False


def _counted(x):
    """Objects whose reference count nothing else touches: not None, bools,
    small ints, interned strings or the empty tuple, which the interpreter
    shares (an exception's empty args, for one, hold the empty tuple)."""
    if x is None or isinstance(x, (bool, np.bool_, str, float)):
        return False
    if type(x) is int:
        return not -5 <= x <= 256
    if type(x) is tuple and not x:
        return False
    return True


# ----------------------------------------------------------- velmar._engine

ENGINE_ALLOWED = ALLOWED + (MemoryError, _engine.Cancelled, Hostile)
INDEX_DTYPES = ["<i8", "<i4", "<u4", ">i8", "<u8", "<i2", "<f8", "O"]


def gen_i64(fdp, bound):
    """A value to store in an int64 array: mostly in [0, bound], sometimes extreme."""
    if fdp.ConsumeIntInRange(0, 3):
        return fdp.ConsumeIntInRange(0, bound)
    return [-1, -(2**63), 2**63 - 1, 2**32, 2**31 - 1][fdp.ConsumeIntInRange(0, 4)]


def gen_control(fdp):
    k = fdp.ConsumeIntInRange(0, 7)
    if k < 4:
        return None
    control = _engine.RunControl()
    if k == 6:
        control.cancel()
    if k == 7:
        return "control"
    return control


def gen_flag(fdp):
    return [True, False, np.True_, 0, None, "no"][fdp.ConsumeIntInRange(0, 5)]


def gen_entries(fdp, compressed):
    """Arguments of build_graph (compressed) or build_graph_coo, mostly a
    valid graph, sometimes not."""
    n = fdp.ConsumeIntInRange(0, 10)
    nnz = fdp.ConsumeIntInRange(0, 20)
    if compressed:
        cuts = sorted(fdp.ConsumeIntInRange(0, nnz) for _ in range(max(n - 1, 0)))
        rows = np.array([0, *cuts, nnz] if n > 0 else [0], dtype=np.int64)
        if fdp.ConsumeIntInRange(0, 7) == 0:
            rows[fdp.ConsumeIntInRange(0, len(rows) - 1)] = gen_i64(fdp, nnz + 2)
    else:
        rows = np.array([fdp.ConsumeIntInRange(0, max(n - 1, 0)) for _ in range(nnz)])
    k = fdp.ConsumeIntInRange(0, 7)
    rows = (
        layout(fdp, rows.astype(["<i8", "<i4"][k % 2]))
        if k < 6
        else gen_1d(fdp, INDEX_DTYPES, len(rows), nnz)
    )
    cols = gen_1d(fdp, INDEX_DTYPES, nnz, max(n - 1, 0))
    vals = gen_1d(fdp, FLOAT_LIKE_DTYPES, nnz + (fdp.ConsumeIntInRange(0, 15) == 0), 3)
    num_nodes = n if fdp.ConsumeIntInRange(0, 7) else gen_int(fdp, 12)
    return [rows, cols, vals, num_nodes, gen_flag(fdp), gen_control(fdp), gen_flag(fdp)]


def valid_graph(fdp):
    """A graph every later call can use, built from plain arrays."""
    n = fdp.ConsumeIntInRange(0, 9)
    nnz = fdp.ConsumeIntInRange(0, 18) if n else 0
    rows = np.array([fdp.ConsumeIntInRange(0, n - 1) for _ in range(nnz)], dtype=np.int64)
    cols = np.array([fdp.ConsumeIntInRange(0, n - 1) for _ in range(nnz)], dtype=np.int64)
    vals = np.array(
        [gen_float(fdp) if fdp.ConsumeIntInRange(0, 7) == 0 else 1.0 for _ in range(nnz)],
        dtype=np.float64,
    )
    return _engine.build_graph_coo(rows, cols, vals, n, fdp.ConsumeBool(), keep_values=True)


def gen_features(fdp, n):
    k = fdp.ConsumeIntInRange(0, 11)
    f = fdp.ConsumeIntInRange(0, 5)
    rows = n if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeIntInRange(0, n + 2)
    if k < 5:
        x = np.array(
            [
                gen_float(fdp) if fdp.ConsumeIntInRange(0, 3) == 0 else fdp.ConsumeRegularFloat()
                for _ in range(rows * f)
            ],
            dtype=np.float32,
        )
        x = x.reshape(rows, f)
        if k == 4:
            x = x[:, ::-1] if f > 1 else x.T
        return x
    if k < 10:
        indptr = sorted(fdp.ConsumeIntInRange(0, rows * f) for _ in range(rows + 1))
        indptr[0] = 0 if fdp.ConsumeIntInRange(0, 7) else indptr[0]
        nnz = indptr[-1] if indptr else 0
        cols = [fdp.ConsumeIntInRange(0, f) for _ in range(nnz)]
        vals = np.array([gen_float(fdp) for _ in range(nnz)]).astype(np.float32)
        index = np.int32 if fdp.ConsumeBool() else np.int64
        return (
            np.array(indptr, dtype=np.int64),
            np.array(cols, dtype=index),
            vals,
            gen_int(fdp, 6) if k == 9 else f,
        )
    return [np.zeros((rows, f)), "features", (1, 2), None][fdp.ConsumeIntInRange(0, 3)]


SETTINGS_PARAMS = [
    "dim",
    "weights",
    "seed",
    "normalization_strength",
    "step_normalize",
    "features",
    "feature_dim",
    "row_offset",
    "degrees",
]


def gen_settings_args(fdp, n):
    dim = gen_dim(fdp)
    values = [
        dim,
        gen_weights(fdp)
        if fdp.ConsumeIntInRange(0, 3) == 0
        else [fdp.ConsumeRegularFloat() for _ in range(fdp.ConsumeIntInRange(1, 4))],
        gen_seed(fdp),
    ]
    beta = [0.0, 1.0, -0.5, 40.0, 1000.0, float("nan"), gen_float(fdp), "1"]
    values.append(beta[fdp.ConsumeIntInRange(0, len(beta) - 1)])
    values.append(gen_flag(fdp))
    features = gen_features(fdp, n) if fdp.ConsumeIntInRange(0, 2) == 0 else None
    values.append(features)
    values.append(
        gen_int(fdp, 6) if features is not None or fdp.ConsumeIntInRange(0, 7) == 0 else None
    )
    values.append(gen_int(fdp, 50) if fdp.ConsumeIntInRange(0, 3) == 0 else None)
    k = fdp.ConsumeIntInRange(0, 5)
    values.append(None if k < 3 else gen_1d(fdp, ["<i8", "<i4"], n if k < 5 else n + 1, 2**40))
    return values


def gen_out(fdp, n, columns):
    k = fdp.ConsumeIntInRange(0, 7)
    if k < 4:
        return None
    if k == 4:
        wide = np.full((n, columns + 2), np.nan, np.float32)
        return wide[:, 1 : columns + 1]
    if k == 5:
        out = np.full((n, columns), np.nan, np.float32)
        out.flags.writeable = False
        return out
    if k == 6:
        return np.full((max(n - 1, 0), columns), np.nan, np.float32)
    return np.full((n, columns), np.nan, np.float32)


def split_call(fdp, params, values, required):
    """(args, kwargs): each optional parameter positional, by keyword or
    left out; sometimes a missing required one or an unknown keyword."""
    style = fdp.ConsumeIntInRange(0, 15)
    if style == 15:
        return values[: fdp.ConsumeIntInRange(0, len(values))], {}
    split = fdp.ConsumeIntInRange(required, len(values))
    args = values[:split]
    kwargs = {}
    for name, value in zip(params[split:], values[split:]):
        if fdp.ConsumeIntInRange(0, 3):
            kwargs[name] = value
    if style == 14:
        kwargs["unknown"] = 1
    return args, kwargs


def call(func, args, kwargs, outcomes_key):
    """func(*args, **kwargs): (result or None, the counted arguments and
    their reference counts, to compare with settle() once the result is
    dropped). The exception is not kept: its traceback holds the arguments."""
    inputs = list(args) + list(kwargs.values())
    _retain(inputs)
    # The list is kept too: a caller that measures two calls in a row drops
    # the first list (and its references) only when it assigns the second.
    watched = [x for x in inputs if _counted(x)]
    KEEP_ALIVE.append(watched)
    before = [sys.getrefcount(x) for x in watched]
    result, error = None, None
    try:
        result = func(*args, **kwargs)
    except ENGINE_ALLOWED as e:
        error = type(e).__name__
    if OUTCOMES is not None:
        OUTCOMES[outcomes_key, error or "result"] += 1
    return result, watched, before


def settle(watched, before, what):
    after = [sys.getrefcount(x) for x in watched]
    assert before == after, ("reference counts changed", what, before, after)


def fuzz_engine(fdp):
    what = fdp.ConsumeIntInRange(0, 11)
    if what in (0, 1):
        compressed = what == 0
        name = "build_graph" if compressed else "build_graph_coo"
        params = [
            "row_ptrs" if compressed else "rows",
            "col_indices",
            "values",
            "num_nodes",
            "undirected",
            "control",
            "keep_values",
        ]
        values = gen_entries(fdp, compressed)
        args, kwargs = split_call(fdp, params, values, 5)
        graph, watched, before = call(getattr(_engine, name), args, kwargs, name)
        if graph is not None:
            check_graph(graph, values[3] if not kwargs and len(args) > 3 else None)
        del graph
        settle(watched, before, name)
        return
    if what == 2:
        fuzz_open(fdp)
        return
    if what == 3:
        fuzz_merge(fdp)
        return
    if what == 4:
        fuzz_plan(fdp)
        return
    if what == 5:
        fuzz_small(fdp)
        return
    fuzz_embed(fdp)


def check_graph(graph, n):
    rp, cols, scales = graph.arrays()
    if isinstance(n, int):
        assert graph.num_nodes == n, (graph.num_nodes, n)
    assert rp.shape == (graph.num_nodes + 1,) and rp[0] == 0 and rp[-1] == graph.num_entries
    assert np.all(np.diff(rp) >= 0)
    assert cols.shape == scales.shape == (graph.num_entries,)
    assert cols.shape[0] == 0 or int(cols.max()) < graph.num_nodes
    assert graph.nbytes >= rp.nbytes + cols.nbytes + scales.nbytes
    values = graph.values()
    assert values is None or values.shape == (graph.num_entries,)


def fuzz_open(fdp):
    graph = valid_graph(fdp)
    rp, cols, scales = (a.copy() for a in graph.arrays())
    n = graph.num_nodes
    k = fdp.ConsumeIntInRange(0, 7)
    if k == 1 and rp.shape[0] > 1:
        rp[fdp.ConsumeIntInRange(0, rp.shape[0] - 1)] = gen_i64(fdp, 30)
    elif k == 2 and cols.shape[0]:
        cols[fdp.ConsumeIntInRange(0, cols.shape[0] - 1)] = fdp.ConsumeIntInRange(0, 2**31)
    elif k == 3:
        rp = gen_1d(fdp, INDEX_DTYPES, rp.shape[0], 20)
    elif k == 4:
        cols = gen_1d(fdp, ["<u4", "<i8", "<i4", "<u8"], cols.shape[0], n)
    row_map = None
    if fdp.ConsumeBool():
        row_map = np.random.default_rng(fdp.ConsumeIntInRange(0, 9)).permutation(n)
        if fdp.ConsumeIntInRange(0, 3) == 0 and n:
            row_map[fdp.ConsumeIntInRange(0, n - 1)] = gen_i64(fdp, n + 1)
    num_nodes = n if fdp.ConsumeIntInRange(0, 7) else gen_int(fdp, 12)
    values = [rp, cols, scales, num_nodes, row_map]
    args, kwargs = split_call(
        fdp, ["row_ptrs", "col_indices", "scales", "num_nodes", "row_map"], values, 4
    )
    opened, watched, before = call(_engine.open_graph, args, kwargs, "open_graph")
    if opened is not None and k == 0 and row_map is None and len(args) >= 4:
        # The same arrays: the same bits.
        settings = _engine.settings(4, [0.5, 1.0, 1.0], 3)
        a = _engine.embed(graph, settings)
        b = _engine.embed(opened, settings)
        assert np.array_equal(a.view(np.uint32), b.view(np.uint32)), "open_graph changed bits"
    del opened
    settle(watched, before, "open_graph")


def fuzz_merge(fdp):
    count = fdp.ConsumeIntInRange(0, 12)
    if fdp.ConsumeBool():
        entries = sorted(
            (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 1))
            for _ in range(count)
        )
        arrays = [np.array([e[i] for e in entries], dtype=np.int64) for i in range(3)]
        arrays.append(np.array([gen_float(fdp) for _ in range(count)], dtype=np.float64))
        if fdp.ConsumeIntInRange(0, 3) == 0:
            arrays[fdp.ConsumeIntInRange(0, 3)] = gen_1d(fdp, INDEX_DTYPES, count, 3)
        values = [*arrays, gen_flag(fdp)]
        args, kwargs = split_call(
            fdp, ["rows", "col_indices", "sides", "values", "undirected"], values, 5
        )
        merged, watched, before = call(_engine.merge_sorted, args, kwargs, "merge_sorted")
        if merged is not None:
            assert 0 <= merged <= count, (merged, count)
        settle(watched, before, "merge_sorted")
        return
    rp = sorted(fdp.ConsumeIntInRange(0, count) for _ in range(fdp.ConsumeIntInRange(0, 5)))
    rp = np.array([0, *rp, count] if fdp.ConsumeIntInRange(0, 5) else rp, dtype=np.int64)
    vals = gen_1d(fdp, ["<f8", "<f4", "<i8"], count, 3)
    args, kwargs = split_call(fdp, ["row_ptrs", "values"], [rp, vals], 2)
    scales, watched, before = call(_engine.entry_scales, args, kwargs, "entry_scales")
    if scales is not None:
        # One scale per entry that the row pointers cover: `count` only when
        # they were made to end there.
        assert scales.dtype == np.float32 and scales.shape == (int(rp[-1]),), scales.shape
    del scales
    settle(watched, before, "entry_scales")


def fuzz_plan(fdp):
    def item():
        return gen_int(fdp, 10**6) if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeBool()

    # The engine's graph shape has 8 items and its run shape 7; now and then
    # one is cut short.
    shape = tuple(item() for _ in range(8))
    run = tuple(item() for _ in range(7))
    if fdp.ConsumeIntInRange(0, 7) == 0:
        shape = shape[: fdp.ConsumeIntInRange(0, 7)]
    if fdp.ConsumeIntInRange(0, 7) == 0:
        run = run[: fdp.ConsumeIntInRange(0, 6)]
    results = ["whole", "block", "caller", "rows", 5, None]
    values = [
        shape,
        run,
        gen_int(fdp, 300),
        gen_int(fdp, 64) if fdp.ConsumeBool() else None,
        gen_int(fdp, 2**40) if fdp.ConsumeBool() else None,
        results[fdp.ConsumeIntInRange(0, len(results) - 1)],
    ]
    args, kwargs = split_call(
        fdp, ["graph_shape", "run_shape", "columns", "block", "limit", "result"], values, 3
    )
    plan, watched, before = call(_engine.memory_plan, args, kwargs, "memory_plan")
    if plan is not None:
        parts = ("graph_build_peak", "graph", "result", "working", "options", "inputs", "segments")
        assert set(plan) == {*parts, "peak", "block", "segment_rows"}, plan
        assert all(plan["peak"] >= plan[k] for k in parts if k != "graph"), plan
    settle(watched, before, "memory_plan")


def fuzz_small(fdp):
    k = fdp.ConsumeIntInRange(0, 5)
    if k == 0:
        args = [[0, 1, 2, 3, 4097, -1, 2**64, "2", None, 1.5][fdp.ConsumeIntInRange(0, 9)]]
        _, watched, before = call(_engine.set_num_threads, args, {}, "set_num_threads")
        _engine.set_num_threads(2)
        settle(watched, before, "set_num_threads")
    elif k == 1:
        args = [] if fdp.ConsumeIntInRange(0, 3) else [1]
        got, _, _ = call(_engine.get_num_threads, args, {}, "get_num_threads")
        assert got is None or got == 2
    elif k == 2:
        args = [] if fdp.ConsumeIntInRange(0, 3) else [1]
        control, _, _ = call(_engine.RunControl, args, {}, "RunControl")
        if control is not None:
            assert control.progress() == (0, 0)
            control.cancel()
    else:
        graph = valid_graph(fdp)
        check_graph(graph, None)
        settings, _, _ = call(
            _engine.settings, [fdp.ConsumeIntInRange(1, 5), [1.0]], {}, "settings"
        )
        assert settings is None or settings.dim >= 1


def fuzz_embed(fdp):
    graph = valid_graph(fdp)
    n = graph.num_nodes
    values = gen_settings_args(fdp, n)
    args, kwargs = split_call(fdp, SETTINGS_PARAMS, values, 2)
    # Settings keep their arrays: the reference counts are those after it
    # is dropped, and the settings used below are made again.
    settings, watched, before = call(_engine.settings, args, kwargs, "settings")
    made = settings is not None
    del settings
    settle(watched, before, "settings")
    if not made:
        return
    settings = _engine.settings(*args, **kwargs)
    dim = settings.dim
    given = dict(zip(SETTINGS_PARAMS, args))
    given.update(kwargs)
    plain = all(_plain(x) for x in values) and type(given.get("seed")) is int
    k = fdp.ConsumeIntInRange(0, 7)
    if k == 0:
        columns = (gen_int(fdp, 20), gen_int(fdp, 20))
    elif k < 3 and 1 <= dim < 2**20:
        j0 = fdp.ConsumeIntInRange(0, dim - 1)
        columns = (j0, fdp.ConsumeIntInRange(j0 + 1, dim))
    else:
        columns = None
    j0, j1 = columns if k and columns is not None else (0, dim)
    block = gen_int(fdp, 8) if fdp.ConsumeBool() else None
    width = j1 - j0 if isinstance(j0, int) and isinstance(j1, int) else 0
    out = gen_out(fdp, n, width) if 0 <= width < 2**20 else None
    embed_values = [graph, settings, columns, block, out, gen_control(fdp)]
    params = ["graph", "settings", "columns", "block", "out", "control"]
    args, kwargs = split_call(fdp, params, embed_values, 2)
    seen = dict(zip(params, args))
    seen.update(kwargs)
    result, watched, before = call(_engine.embed, args, kwargs, "embed")
    got = None
    if result is not None:
        j0, j1 = seen.get("columns") or (0, dim)
        assert result.dtype == np.float32 and result.shape == (n, j1 - j0), result.shape
        if seen.get("out") is not None:
            assert result is seen["out"]
        got = np.ascontiguousarray(result).view(np.uint32).copy()
    del result
    settle(watched, before, "embed")
    refused = None
    try:
        _engine.check(graph, settings)
    except ALLOWED as e:
        refused = (type(e), str(e))
    if refused is not None and dim >= 1:
        # check makes embed's own checks of its inputs: embed refuses alike
        # (with all columns, which exist once dim is at least 1).
        assert got is None, ("check refused what embed ran", refused)
        again = None
        try:
            _engine.embed(graph, settings)
        except ALLOWED as e:
            again = (type(e), str(e))
        assert again == refused, ("embed and check disagree", again, refused)
    if got is not None and plain and fdp.ConsumeBool():
        # Any column range and block width: the full run's columns. All
        # columns may not fit where some did: n x dim floats past the memory,
        # or an element count n x dim past 64 bits.
        try:
            full = _engine.embed(graph, settings)
        except MemoryError:
            return
        except ValueError as e:
            assert str(e) == "Shape mismatch: Capacity overflow", e
            assert n * dim > U64_MAX, ("overflow refused a count that fits", n, dim)
            return
        assert np.array_equal(got, full[:, j0:j1].view(np.uint32)), "columns differ"
        try:
            again = _engine.embed(graph, settings, (j0, j1), 1)
        except ValueError as e:  # step normalisation needs one block
            assert "couples the columns" in str(e), e
        else:
            assert np.array_equal(again.view(np.uint32), got), "block width changed bits"


for _f in [
    gen_float,
    gen_int,
    gen_dim,
    fill,
    layout,
    gen_1d,
    gen_weights,
    gen_seed,
    gen_undirected,
    gen_csr,
    gen_dense,
    gen_adj_list,
    gen_pair,
    build_call,
    check_result,
    TestOneInput,
    fuzz_rust_core,
    gen_entries,
    gen_features,
    gen_settings_args,
    gen_out,
    split_call,
    fuzz_engine,
    fuzz_open,
    fuzz_merge,
    fuzz_plan,
    fuzz_small,
    fuzz_embed,
]:
    atheris.instrument_func(_f)


def _print_outcomes():
    total = sum(OUTCOMES.values())
    print(f"outcomes after {total} calls:", file=sys.stderr)
    for (name, outcome), count in sorted(OUTCOMES.items()):
        print(f"  {name:15} {outcome:14} {count}", file=sys.stderr)


# libFuzzer ends the process without running atexit handlers: the outcome
# table is printed after the last of -runs=N inputs, and every 100,000.
STATS_AT = next((int(a.split("=", 1)[1]) for a in sys.argv if a.startswith("-runs=")), -1)


def main():
    # Casts of inf/NaN in the generators, __index__ returning a bool.
    warnings.simplefilter("ignore")
    gc.disable()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
