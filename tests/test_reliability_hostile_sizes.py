"""Hostile sizes: node counts, dims and offsets far beyond the arrays given.

Each is refused with a clean ValueError or OverflowError. Under a cap on the
address space only a few MiB above what the process already uses, the same
calls give the same answers (so nothing larger than the message was
reserved first), and the address space does not grow over many repeats.
"""

import collections.abc
import json
import os

import numpy as np
import pytest
from conftest import PYPY, big_allocations_fail, run_python

import _rust_core as rc

U64_MAX = 2**64 - 1
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

pytestmark = pytest.mark.timeout(120)


def i64(*xs):
    return np.array(xs, dtype=np.int64)


def f64(*xs):
    return np.array(xs, dtype=np.float64)


def csr(row_ptrs, col_indices, values, num_nodes, dim=4):
    return lambda: rc.fit_csr(row_ptrs, col_indices, values, num_nodes, dim, [1.0], seed=1)


def oom_text(size):
    return (
        "Out Of Memory (OOM): The system could not allocate enough memory.\n"
        f"- Requested Memory: {size / 2**20:.2f} MB\n"
        "Try reducing the number of nodes or the embedding dimension.\n\n"
        "Raw Error:\n"
        f"TryReserveError {{ kind: AllocError {{ layout: Layout {{ size: {size}, "
        "align: 4 (1 << 2) }, non_exhaustive: () } }"
    )


OOM_OVERFLOW = (
    "Out Of Memory (OOM): The system could not allocate enough memory.\n"
    "- Requested Memory: Unknown\n"
    "Try reducing the number of nodes or the embedding dimension.\n\n"
    "Raw Error:\n"
    "TryReserveError { kind: CapacityOverflow }"
)


class ClaimsHugeLength(collections.abc.Sequence):
    """A sequence whose __len__ (only a reservation hint) claims 2^62 items."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


SMALL_DENSE = np.array([[0.0, 1.0, 0.0], [1.0, 0.0, 2.0], [0.0, 2.0, 0.0]])
SMALL_ADJ = [[(1, 1.0)], [(0, 1.0), (2, 2.0)], [(1, 2.0)]]
SMALL_CSR = (i64(0, 1, 3, 4), i64(1, 0, 2, 1), f64(1.0, 1.0, 2.0, 2.0), 3)


def on_small_graph(dim):
    return {
        "csr": lambda: rc.fit_csr(*SMALL_CSR, dim, [1.0], seed=1),
        "dense": lambda: rc.fit_dense(SMALL_DENSE, dim, [1.0], seed=1),
        "adj_list": lambda: rc.fit_adj_list(SMALL_ADJ, dim, [1.0], seed=1),
    }


def on_empty_graph(dim):
    return {
        "csr": lambda: rc.fit_csr(i64(0), i64(), f64(), 0, dim, [1.0], seed=1),
        "dense": lambda: rc.fit_dense(np.zeros((0, 0)), dim, [1.0], seed=1),
        "adj_list": lambda: rc.fit_adj_list([], dim, [1.0], seed=1),
    }


# id -> (call, exception type, exact message or None, reserves a large buffer)
CASES = {
    "num_nodes_u64_max_empty_row_ptrs": (
        csr(i64(), i64(), f64(), U64_MAX),
        ValueError,
        "Shape mismatch: row_ptrs length 0 must be num_nodes + 1 (18446744073709551616)",
        False,
    ),
    "num_nodes_u64_max_minus_one": (
        csr(i64(), i64(), f64(), U64_MAX - 1),
        ValueError,
        "Shape mismatch: row_ptrs length 0 must be num_nodes + 1 (18446744073709551615)",
        False,
    ),
    "num_nodes_2_63_one_row_ptr": (
        csr(i64(0), i64(), f64(), 2**63),
        ValueError,
        "Shape mismatch: row_ptrs length 1 must be num_nodes + 1 (9223372036854775809)",
        False,
    ),
    "num_nodes_2_64": (csr(i64(0), i64(), f64(), 2**64), OverflowError, None, False),
    "row_ptrs_last_2_62": (
        csr(i64(0, 2**62), i64(0, 0), f64(1.0, 1.0), 1),
        ValueError,
        "Shape mismatch: row_ptrs last element (4611686018427387904) must equal col_indices length (2)",
        False,
    ),
    "row_ptrs_last_minus_one": (
        csr(i64(0, -1), i64(), f64(), 1),
        ValueError,
        "Shape mismatch: row_ptrs last element (18446744073709551615) must equal col_indices length (0)",
        False,
    ),
    "row_ptrs_huge_inner": (
        csr(i64(0, 2**63 - 1, 2), i64(0, 1), f64(1.0, 1.0), 2),
        ValueError,
        "Shape mismatch: row_ptrs must be monotonically non-decreasing, found 9223372036854775807 followed by 2",
        False,
    ),
    "col_index_2_63_minus_one": (
        csr(i64(0, 1), i64(2**63 - 1), f64(1.0), 1),
        ValueError,
        "Shape mismatch: col_indices[0] = 9223372036854775807 is out of bounds for graph with 1 nodes",
        False,
    ),
    "target_u64_max": (
        lambda: rc.fit_adj_list([[(U64_MAX, 1.0)]], 4, [1.0]),
        ValueError,
        "Shape mismatch: Target node ID 18446744073709551615 is out of bounds for graph with 1 nodes",
        False,
    ),
    "dim_2_64": (csr(*SMALL_CSR, dim=2**64), OverflowError, None, False),
    "dim_minus_one": (csr(*SMALL_CSR, dim=-1), OverflowError, None, False),
}
for form, call in on_small_graph(2**40).items():
    # 3 x 2^40 floats: refused by the allocator, reported with the size.
    CASES[f"dim_2_40_{form}"] = (call, ValueError, oom_text(3 * 2**40 * 4), True)
for form, call in on_small_graph(2**61).items():
    # 3 x 2^61 elements fit 64 bits, their byte count does not.
    CASES[f"dim_2_61_{form}"] = (call, ValueError, OOM_OVERFLOW, False)
for form, call in on_small_graph(2**63).items():
    CASES[f"dim_2_63_{form}"] = (
        call,
        ValueError,
        "Shape mismatch: Capacity overflow",
        False,
    )
for form, call in on_empty_graph(U64_MAX).items():
    # No element to store, but no NumPy array has such a shape either.
    CASES[f"dim_u64_max_no_nodes_{form}"] = (
        call,
        (ValueError, OverflowError),
        None,
        False,
    )
for form, call in on_empty_graph(2**61).items():
    CASES[f"dim_2_61_no_nodes_{form}"] = (
        call,
        (ValueError, OverflowError),
        None,
        False,
    )


def check(case_id):
    call, exc, message, _ = CASES[case_id]
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("case_id", list(CASES))
def test_hostile_size_is_refused(case_id):
    if CASES[case_id][3] and not big_allocations_fail():
        pytest.skip("the kernel would grant a multi-TiB mapping")
    check(case_id)


def test_small_dims_on_empty_graphs_still_work():
    for call in on_empty_graph(2**20).values():
        assert call().shape == (0, 2**20)


def test_length_hint_of_2_62_is_only_a_hint():
    adj = ClaimsHugeLength([ClaimsHugeLength([(1, 1.0)]), [(0, 1.0)]])
    weights = ClaimsHugeLength([1.0, 0.5])
    expected = rc.fit_adj_list([[(1, 1.0)], [(0, 1.0)]], 8, [1.0, 0.5], seed=3)
    assert rc.fit_adj_list(adj, 8, weights, seed=3).tobytes() == expected.tobytes()


CHILD = r"""
import json, os, resource, sys
sys.path.insert(0, os.environ["TESTS_DIR"])
import test_reliability_hostile_sizes as t

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def outcome(call):
    try:
        call()
        return ["ok", ""]
    except BaseException as e:
        return [type(e).__name__, str(e)]

for call, *_ in t.CASES.values():  # warm-up: pool threads, caches
    outcome(call)
base = vm_size()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (base + 16 * 2**20, hard))
seen = {k: set() for k in t.CASES}
for _ in range(50):
    for k, (call, *_) in t.CASES.items():
        seen[k].add(tuple(outcome(call)))
after = vm_size()
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps(dict(base=base, after=after, seen={k: sorted(v) for k, v in seen.items()})))
"""


@pytest.mark.skipif(SANITIZED, reason="sanitizer shadow memory defeats RLIMIT_AS")
@pytest.mark.skipif(
    PYPY,
    reason="PyPy's collector grows the heap by itself, so address-space growth is no leak signal there",
)
def test_refused_under_a_tight_address_space_cap():
    """With 16 MiB of room, every case still gets its own answer, 50 times
    over, and the address space is where it started."""
    proc = run_python(CHILD, env_extra={"TESTS_DIR": os.path.dirname(__file__)}, timeout=100)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    for case_id, (_, exc, message, _) in CASES.items():
        names = {e.__name__ for e in (exc if isinstance(exc, tuple) else (exc,))}
        got = report["seen"][case_id]
        assert len(got) == 1, (case_id, got)
        name, text = got[0]
        assert name in names, (case_id, name, text)
        if message is not None:
            assert text == message, case_id
    assert report["after"] - report["base"] <= 2**20
