"""Calls from several Python threads at once, and the GIL released while the
engine runs."""

import threading
import time

import numpy as np
import pytest
from conftest import ENTRIES

import _rust_core

pytestmark = pytest.mark.timeout(60)


def large_csr(n, degree, seed=0):
    rng = np.random.default_rng(seed)
    cols = rng.integers(0, n, n * degree).astype(np.int64)
    row_ptrs = np.arange(0, n * degree + 1, degree, dtype=np.int64)
    return row_ptrs, cols, rng.uniform(0.5, 1.5, n * degree), n


def test_concurrent_calls_give_sequential_results():
    jobs = []
    for k, entry in enumerate(ENTRIES * 3):
        kw = entry.valid_kwargs(dim=8 + k, weights=[0.5, 1.0, 0.25], seed=k)
        jobs.append((entry.func, kw))
    row_ptrs, cols, vals, n = large_csr(2000, 4)
    for seed in range(3):
        jobs.append(
            (
                _rust_core.fit_csr,
                dict(
                    row_ptrs=row_ptrs,
                    col_indices=cols,
                    values=vals,
                    num_nodes=n,
                    dim=32,
                    weights=[0.0, 1.0, 1.0],
                    seed=seed,
                ),
            )
        )
    # Failing calls mixed in: errors stay with their own thread.
    jobs.append((_rust_core.fit_dense, dict(adj_matrix=np.zeros((2, 3)), dim=4, weights=[1.0])))
    jobs.append(
        (_rust_core.fit_adj_list, dict(adj_list=[[(5, 1.0)]], dim=4, iter_weights=[1.0], seed=1))
    )

    def outcome(func, kw):
        try:
            return func(**kw).tobytes()
        except ValueError as e:
            return str(e)

    expected = [outcome(f, kw) for f, kw in jobs]
    results = [[None] * len(jobs) for _ in range(4)]
    barrier = threading.Barrier(4)

    def worker(slot, order):
        barrier.wait()
        for _ in range(3):
            for i in order:
                results[slot][i] = outcome(*jobs[i])

    threads = [
        threading.Thread(target=worker, args=(t, np.random.default_rng(t).permutation(len(jobs))))
        for t in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)


def test_other_threads_run_while_the_engine_works():
    # About 0.2 s on a quiet 2-core machine, ten times the bound below.
    graph = large_csr(120000, 8)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        while not ticks:
            time.sleep(0.001)
        start = time.perf_counter()
        _rust_core.fit_csr(*graph, 64, [0.0, 1.0, 1.0, 1.0], seed=1)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    # Ticks from the middle of the call: with the GIL held throughout there
    # would be none.
    margin = (end - start) * 0.25
    during = [t for t in ticks if start + margin < t < end - margin]
    assert end - start > 0.02, "the call was too short to tell"
    assert len(during) >= 5, f"{len(during)} ticks in {end - start:.3f} s"
