"""Out of memory: every large reservation refused in turn.

Each scenario runs in a child interpreter that caps its own address space
(RLIMIT_AS) a chosen amount above what it already uses, so that exactly one
reservation of the call no longer fits: the graph store's buffers (the dense
and adjacency-list builders' row pointers, columns and weights, the transpose
and result of the symmetrization), the projection and the two working
matrices. The call
must raise the ValueError with the six-line out-of-memory text naming that
reservation's size, and must do so again on a repeat without the address
space growing; a small call still works under the cap, and with enough room
the same call succeeds.

Every reservation here is above 32 MiB, so the allocator always maps it on its
own and returns it to the kernel when freed; the headrooms sit half a
reservation away from each boundary.
"""

import json
import os

import pytest
from conftest import PYPY, run_python

MiB = 1 << 20

pytestmark = [
    pytest.mark.timeout(300),
    pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", "")
        or "libtsan" in os.environ.get("LD_PRELOAD", ""),
        reason="sanitizer runtimes reserve terabytes of shadow memory: RLIMIT_AS cannot apply",
    ),
]


def oom_text(size, align):
    return (
        "Out Of Memory (OOM): The system could not allocate enough memory.\n"
        f"- Requested Memory: {size / MiB:.2f} MB\n"
        "Try reducing the number of nodes or the embedding dimension.\n\n"
        "Raw Error:\n"
        f"TryReserveError {{ kind: AllocError {{ layout: Layout {{ size: {size}, "
        f"align: {align} (1 << {align.bit_length() - 1}) }}, non_exhaustive: () }} }}"
    )


CHILD = r"""
import ctypes, json, resource
import numpy as np
import _rust_core as rc

import os
SCENARIO = os.environ["OOM_SCENARIO"]
HEADROOMS = json.loads(os.environ["OOM_HEADROOMS"])
MiB = 1 << 20
libc = ctypes.CDLL(None)

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def csr_parity(n, per_row):
    # Row i holds the per_row columns of i's parity: sorted, symmetric.
    cols = (np.arange(per_row, dtype=np.int64) * 2)[None, :] + (np.arange(n)[:, None] & 1)
    return dict(row_ptrs=np.arange(0, n * per_row + 1, per_row, dtype=np.int64),
                col_indices=cols.reshape(-1), values=np.ones(n * per_row),
                num_nodes=n)

def ring(n):
    return dict(row_ptrs=np.arange(n + 1, dtype=np.int64),
                col_indices=(np.arange(n, dtype=np.int64) + 1) % n,
                values=np.ones(n), num_nodes=n)

def scenario(big):
    if SCENARIO == "symmetrize":
        n, per_row = (4096, 2048) if big else (64, 32)
        return rc.fit_csr, dict(csr_parity(n, per_row), dim=1, weights=[1.0], seed=1)
    if SCENARIO == "matrices":
        n, dim = (4096, 8192) if big else (64, 64)
        return rc.fit_csr, dict(ring(n), dim=dim, weights=[1.0, 1.0], seed=1)
    if SCENARIO == "dense":
        n = 2900 if big else 40
        return rc.fit_dense, dict(adj_matrix=np.ones((n, n)), dim=4, weights=[1.0],
                                  seed=1, undirected=False)
    if SCENARIO == "adj_list_rows":
        n = 2**22 if big else 64
        return rc.fit_adj_list, dict(adj_list=[[]] * n, dim=1, iter_weights=[1.0], seed=1)
    if SCENARIO == "adj_list":
        n, per_row = (4096, 2048) if big else (64, 32)
        row = [(j, 1.0) for j in range(per_row)]
        return rc.fit_adj_list, dict(adj_list=[row] * n, dim=4, iter_weights=[1.0],
                                     seed=1, undirected=False)
    raise SystemExit("unknown scenario " + SCENARIO)

def attempt(fn, kw):
    try:
        fn(**kw)
        return "ok"
    except ValueError as e:
        return str(e)

# The worker pool's threads and every code path exist before the cap.
small_fn, small_kw = scenario(False)
attempt(small_fn, small_kw)
fn, kw = scenario(True)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
report = []
for headroom in HEADROOMS:
    libc.malloc_trim(0)
    base = vm_size()
    resource.setrlimit(resource.RLIMIT_AS, (base + headroom, hard))
    try:
        outcomes = [attempt(fn, kw) for _ in range(2)]
        libc.malloc_trim(0)
        after = vm_size()
        small = attempt(small_fn, small_kw)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    report.append(dict(headroom=headroom, base=base, after=after,
                       outcomes=outcomes, small=small))
print(json.dumps(report))
"""


def run_scenario(name, headrooms):
    env = {"OOM_SCENARIO": name, "OOM_HEADROOMS": json.dumps(headrooms)}
    proc = run_python(CHILD, env_extra=env, timeout=240)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


# scenario -> [(headroom in MiB, the reservation that must fail: (bytes, align)
# or None for success)]. Sizes follow from the inputs built in CHILD.
NNZ_PARITY = 4096 * 2048  # entries of the symmetrize scenario (and adj_list)
DENSE_NNZ = 2900 * 2900
MATRIX = 4096 * 8192 * 4  # bytes of one n x dim float32 matrix
CASES = {
    # The three copies of the inputs take 128 MiB; then the transpose's
    # columns (64) and weights (64), then the result's columns and weights,
    # reserved at the counted entry count (every entry here has its reverse,
    # so 64 each).
    "symmetrize": [
        (128 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 64 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 128 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 128 + 64 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 128 + 128 + 64, None),
    ],
    # The projection, the result matrix and the scratch matrix, 128 MiB each.
    "matrices": [
        (64, (MATRIX, 4)),
        (128 + 64, (MATRIX, 4)),
        (256 + 64, (MATRIX, 4)),
        (384 + 64, None),
    ],
    # The copy of the matrix (64.2 MiB), then the columns and the weights.
    "dense": [
        (64 + 32, (DENSE_NNZ * 8, 8)),
        (128 + 32, (DENSE_NNZ * 8, 8)),
        (192 + 64, None),
    ],
    # 2^22 empty lists: the converted outer list (96 MiB), then three row
    # pointer arrays of 32 MiB: the builder's, the transpose's and the
    # symmetrized result's.
    "adj_list_rows": [
        (96 + 16, ((2**22 + 1) * 8, 8)),
        (96 + 32 + 16, ((2**22 + 1) * 8, 8)),
        (96 + 64 + 16, ((2**22 + 1) * 8, 8)),
        (96 + 96 + 96, None),
    ],
    # The converted lists (128 MiB), then the columns and the weights.
    "adj_list": [
        (128 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 64 + 32, (NNZ_PARITY * 8, 8)),
        (128 + 128 + 64, None),
    ],
}


@pytest.mark.skipif(
    PYPY,
    reason="PyPy allocates for its own collector under the address-space cap and cannot run there",
)
@pytest.mark.parametrize("scenario", list(CASES))
def test_each_reservation_fails_cleanly_in_turn(scenario):
    cases = CASES[scenario]
    report = run_scenario(scenario, [h * MiB for h, _ in cases])
    for (headroom, reservation), got in zip(cases, report):
        label = f"{scenario}, headroom {headroom} MiB"
        expected = "ok" if reservation is None else oom_text(*reservation)
        assert got["outcomes"] == [expected] * 2, label
        # A refused call leaves nothing behind, and the module keeps working.
        assert got["after"] - got["base"] <= 4 * MiB, label
        assert got["small"] == "ok", label
    # Nothing accumulates across the whole sequence of refusals either.
    assert report[-1]["base"] - report[0]["base"] <= 4 * MiB
