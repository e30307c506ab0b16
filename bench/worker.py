"""One benchmark process at one thread count (started by run.py).

The thread count is fixed by the parent through the environment
(RAYON_NUM_THREADS for our worker pool, which reads it once; OMP/MKL
variables for the peers) and by torch.set_num_threads / GraphBLAS' nthreads.
All implementations run in this one process, interleaved round by round, so
that they share the machine's state (page cache, frequency, other load).

With --probe, the C++ gather probe (probe.py) is run at the same thread
count once per round as well, so that the bound and the step it is compared
with are measured in the same stretch of time.

Peak memory of one operation is measured in-process: the kernel's high-water
mark of resident memory (VmHWM) is reset through /proc/self/clear_refs before
the operation and read after it; the report gives the growth over the
resident size before the operation.

Prints one JSON object on standard output.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import graphgen
import reference

clock = time.perf_counter

# fit_csr configurations whose differences give the phases of our engine
# (see README.md): name -> (weights, undirected, use dim 0).
OUR_RUNS = {
    "full": ([0.0, 1.0, 1.0, 1.0], True, False),
    "w0": ([0.0], True, False),
    "w1": ([1.0], True, False),
    "w00": ([0.0, 0.0], True, False),
    "w000": ([0.0, 0.0, 0.0], True, False),
    "w0000": ([0.0, 0.0, 0.0, 0.0], True, False),
    "w0x9": ([0.0] * 9, True, False),
    "dir_w0": ([0.0], False, False),
    "dim0": ([], False, True),
}


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


class PeakMemory:
    """Growth of resident memory while the block runs, in bytes."""

    supported = None

    def __enter__(self):
        gc.collect()
        self.before = _status_kb("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            PeakMemory.supported = True
        except OSError:
            PeakMemory.supported = False
        return self

    def __exit__(self, *exc):
        self.peak = _status_kb("VmHWM")
        self.growth = (self.peak - self.before) * 1024 if PeakMemory.supported else None
        return False


def import_engine():
    try:
        import _rust_core

        return _rust_core
    except ImportError:
        pass
    try:
        from velmar import _rust_core

        return _rust_core
    except ImportError:
        return None


def digest(a: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(a).view(np.uint8)).hexdigest()[:16]


def projection_like(n: int, dim: int, seed: int) -> np.ndarray:
    """A matrix with the projection's values, for timing the peers' products."""
    rng = np.random.default_rng(seed)
    table = np.array([reference.SQRT3, -reference.SQRT3, 0, 0, 0, 0], dtype=np.float32)
    out = np.empty((n, dim), dtype=np.float32)
    for lo in range(0, n, 1 << 16):
        hi = min(n, lo + (1 << 16))
        out[lo:hi] = table[rng.integers(0, 6, (hi - lo, dim), dtype=np.int8)]
    return out


class Peers:
    """Multithreaded sparse-times-dense products of D^-1 A with H."""

    def __init__(self, sym: graphgen.Csr, h: np.ndarray, threads: int, names):
        self.steps = {}
        self.errors = {}
        self.versions = {}
        t = reference.entry_scales(sym.row_ptrs, sym.values)
        n = sym.num_nodes
        for name in names:
            try:
                getattr(self, "_setup_" + name)(sym, t, h, n, threads)
            except Exception as e:  # noqa: BLE001 - a peer that fails is reported, not fatal
                self.errors[name] = f"{type(e).__name__}: {e}"

    def _setup_torch(self, sym, t, h, n, threads):
        import torch

        torch.set_num_threads(threads)
        self.versions["torch"] = torch.__version__
        ht = torch.from_numpy(h)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            # int32 indices are the faster of the two on this kernel when they fit.
            idx = torch.int32 if sym.nnz < 2**31 else torch.int64
            a = torch.sparse_csr_tensor(
                torch.from_numpy(sym.row_ptrs).to(idx),
                torch.from_numpy(sym.col_indices).to(idx),
                torch.from_numpy(t),
                size=(n, n),
            )

        def step():
            return a @ ht

        step()
        self.steps["torch"] = step

    def _setup_graphblas(self, sym, t, h, n, threads):
        import graphblas as gb

        gb.ss.config["nthreads"] = threads
        self.versions["graphblas"] = gb.__version__
        a = gb.Matrix.ss.import_csr(
            nrows=n,
            ncols=n,
            indptr=sym.row_ptrs.astype(np.uint64),
            col_indices=sym.col_indices.astype(np.uint64),
            values=t.copy(),
        )
        hg = gb.Matrix.ss.import_fullr(values=h.copy(), nrows=n, ncols=h.shape[1])

        def step():
            return a.mxm(hg, gb.semiring.plus_times).new()

        step()
        self.steps["graphblas"] = step

    def _setup_mkl(self, sym, t, h, n, threads):
        import scipy.sparse as sp
        import sparse_dot_mkl as sdm

        sdm.mkl_set_num_threads(threads)
        self.versions["mkl"] = sdm.__version__
        idx = np.int32 if sym.nnz < 2**31 else np.int64
        a = sp.csr_matrix((t, sym.col_indices.astype(idx), sym.row_ptrs.astype(idx)), shape=(n, n))

        def step():
            return sdm.dot_product_mkl(a, h)

        step()
        self.steps["mkl"] = step


class Package:
    """velmar.embed's step through the package engine (velmar._engine), in
    variants "BLOCK:SEGMENTS": BLOCK a column count or "auto" (the width
    velmar.embed takes, _engine.memory_plan's block); SEGMENTS "off" (every
    step unsegmented), "auto" (what the engine chooses for this machine), a
    number of rows per segment, or "<x>MiB" (the rows of that many MiB of
    the working matrix). "32:off" is velmar.embed as it was before the
    engine chose widths and segments. The compact graph is built once, the
    result array reused; VELMAR_SEGMENT_ROWS is set for each call.

    A variant's mean step is (T([0] * 9) - T([0] * 2)) / 7: seven steps
    without accumulations, projection, allocation and the segmented
    graph's construction cancelling out; with segments, T([0, 0]) - T([0])
    minus a step is that construction."""

    STEPS = 9

    def __init__(self, g, dim: int, seed: int, variants: list[str]):
        from velmar import _engine

        self.engine = _engine
        self.dim, self.seed = dim, seed
        n = g.num_nodes
        self.graph = _engine.build_graph(g.row_ptrs, g.col_indices, g.values, n, True)
        rp, cols, _ = self.graph.arrays()
        # (nodes, entries to build, undirected, sorted rows, 32-bit row
        # pointers, bytes held, reordered, entries held) and no options.
        shape = (n, g.nnz, True, True, False, 0, False, 0)
        no_options = (False, 0, 0, 0, False, False, False)  # the projection
        plan = _engine.memory_plan(shape, no_options, dim)
        self.out = np.empty((n, dim), np.float32)
        self.variants = {}
        self.shape = {"nnz": int(self.graph.num_entries), "auto_block": int(plan["block"])}
        for name in variants:
            block_text, seg_text = name.split(":")
            block = int(plan["block"]) if block_text == "auto" else int(block_text)
            if seg_text == "auto":
                rows = int(_engine.memory_plan(shape, no_options, dim, block)["segment_rows"])
                env = None
            elif seg_text == "off":
                rows, env = n, "off"
            elif seg_text.endswith("MiB"):
                rows = max(1, int(float(seg_text[:-3]) * 2**20) // (4 * block))
                env = str(rows)
            else:
                rows = int(seg_text)
                env = seg_text
            self.variants[name] = (block, env, rows)
        self.shape["variants"] = {
            name: {"block": b, "segment_rows": r, "pieces": self.pieces(rp, cols, min(r, n))}
            for name, (b, _, r) in self.variants.items()
        }
        self.times = {name: {"w1": [], "w2": [], "w9": []} for name in self.variants}

    @staticmethod
    def pieces(rp, cols, rows: int) -> int:
        """Pieces of the segmented graph with `rows` rows per segment: runs of
        a row's entries in one segment, and one per row without entries (the
        rows of a built graph are sorted)."""
        n = rp.shape[0] - 1
        if rows >= n:
            return 0
        seg = cols.astype(np.int64) // rows
        row = np.repeat(np.arange(n, dtype=np.int64), np.diff(rp))
        runs = 1 + int(np.count_nonzero((row[1:] != row[:-1]) | (seg[1:] != seg[:-1])))
        return runs + int(np.count_nonzero(np.diff(rp) == 0)) if seg.size else n

    def call(self, name: str, steps: int) -> float:
        block, env, _ = self.variants[name]
        if env is None:
            os.environ.pop("VELMAR_SEGMENT_ROWS", None)
        else:
            os.environ["VELMAR_SEGMENT_ROWS"] = env
        try:
            t = clock()
            settings = self.engine.settings(self.dim, [0.0] * steps, self.seed)
            self.engine.embed(self.graph, settings, None, block, self.out)
            return clock() - t
        finally:
            os.environ.pop("VELMAR_SEGMENT_ROWS", None)

    def warm_up(self):
        for name in self.variants:
            self.call(name, 2)

    def round(self):
        for name, (_, env, _) in self.variants.items():
            self.times[name]["w2"].append(self.call(name, 2))
            self.times[name]["w9"].append(self.call(name, self.STEPS))
            if env != "off":
                self.times[name]["w1"].append(self.call(name, 1))

    def report(self) -> dict:
        out = dict(self.shape)
        for name, t in self.times.items():
            step = (min(t["w9"]) - min(t["w2"])) / (self.STEPS - 2)
            v = out["variants"][name]
            v["step"] = step
            v["times"] = t
            if t["w1"]:
                v["segments_build"] = max(min(t["w2"]) - min(t["w1"]) - step, 0.0)
        return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--directed", type=Path, required=True)
    p.add_argument("--undirected", type=Path, required=True)
    p.add_argument("--dim", type=int, required=True)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--threads", type=int, required=True)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--ours", action="store_true")
    p.add_argument("--peers", default="")
    p.add_argument("--scipy", action="store_true", help="SciPy pipeline and exact reference")
    p.add_argument("--exact", action="store_true", help="run the exact NumPy reference")
    p.add_argument("--probe", action="store_true", help="time the gather bound every round")
    p.add_argument(
        "--package",
        default="",
        help="variants BLOCK:SEGMENTS of velmar.embed's step (see Package)",
    )
    args = p.parse_args(argv)

    g = graphgen.load_csr(args.directed)
    n, dim, seed = g.num_nodes, args.dim, args.seed
    report = {
        "threads": args.threads,
        "n": n,
        "dim": dim,
        "nnz_input": g.nnz,
        "rss_baseline": _status_kb("VmRSS") * 1024,
    }

    engine = import_engine() if args.ours else None
    if args.ours and engine is None:
        report["ours_error"] = "the extension module _rust_core is not importable"

    def fit(name):
        weights, undirected, zero_dim = OUR_RUNS[name]
        return engine.fit_csr(
            g.row_ptrs,
            g.col_indices,
            g.values,
            n,
            0 if zero_dim else dim,
            weights,
            seed=seed,
            undirected=undirected,
        )

    ours = {name: [] for name in OUR_RUNS} if engine else {}
    ours["copy"] = []
    full_result = None
    peers = None
    peer_names = [x for x in args.peers.split(",") if x]
    if peer_names:
        sym = graphgen.load_csr(args.undirected)
        peers = Peers(sym, projection_like(n, dim, seed), args.threads, peer_names)
        report["peer_errors"] = peers.errors
        report["peer_versions"] = peers.versions
        del sym
    peer_times = {name: [] for name in (peers.steps if peers else {})}
    memory = {}
    package = None
    if args.package:
        try:
            package = Package(g, dim, seed, args.package.split(","))
            package.warm_up()
        except ImportError as e:
            report["package_error"] = str(e)

    bounds = []
    for rep in range(args.reps):
        if args.probe:
            import probe

            res = probe.run(args.undirected, dim, [args.threads], "bound", reps=1, bandwidth_mb=0)
            bounds.append(res["gather_bound"][0]["seconds"])
        if engine:
            for name in OUR_RUNS:
                gc.collect()
                if rep == 0 and name == "full":
                    with PeakMemory() as pm:
                        s = clock()
                        e = fit(name)
                        ours[name].append(clock() - s)
                    memory["ours"] = pm.growth
                    full_result = e
                    report["ours_digest"] = digest(e)
                else:
                    s = clock()
                    e = fit(name)
                    ours[name].append(clock() - s)
                del e
            s = clock()
            copies = [np.array(x, copy=True) for x in (g.row_ptrs, g.col_indices, g.values)]
            ours["copy"].append(clock() - s)
            del copies
        if package is not None:
            gc.collect()
            package.round()
        for name, step in peers.steps.items() if peers else ():
            gc.collect()
            if rep == 0:
                with PeakMemory() as pm:
                    s = clock()
                    y = step()
                    peer_times[name].append(clock() - s)
                memory[name] = pm.growth
            else:
                s = clock()
                y = step()
                peer_times[name].append(clock() - s)
            del y
        if rep == 0 and args.scipy:
            try:
                report["scipy"] = run_scipy(g, args.undirected, dim, seed, memory)
            except ImportError as e:
                report["scipy_error"] = str(e)
        if rep == 0 and args.exact:
            report["exact"] = run_exact(g, dim, seed, memory, full_result)

    if package is not None:
        report["package"] = package.report()
    report["ours_runs"] = {k: v for k, v in ours.items() if v}
    report["peers"] = peer_times
    report["gather_bound"] = bounds
    report["memory"] = memory
    report["peak_memory_supported"] = PeakMemory.supported
    json.dump(report, sys.stdout)
    return 0


def run_reference(fit, g, dim, seed):
    """One end-to-end run of a NumPy/SciPy implementation with weights
    [0, 1, 1, 1]: its result, its phase timings and its peak memory growth."""
    timings = {}
    gc.collect()
    with PeakMemory() as pm:
        e = fit(
            g.row_ptrs,
            g.col_indices,
            g.values,
            g.num_nodes,
            dim,
            [0.0, 1.0, 1.0, 1.0],
            seed,
            timings=timings,
        )
    return e, timings, pm.growth


def run_scipy(g, undirected_dir, dim, seed, memory):
    """The SciPy pipeline end to end, and one step with float64 data."""
    import scipy
    import scipy.sparse as sp

    out = {"version": scipy.__version__}
    e, timings, memory["scipy"] = run_reference(reference.scipy_fit, g, dim, seed)
    out["timings"] = timings
    out["digest"] = digest(e)
    del e
    # What users often write: float64 weights, so the product runs in float64.
    sym = graphgen.load_csr(undirected_dir)
    deg = np.diff(sym.row_ptrs)
    inv = np.divide(1.0, deg, out=np.zeros(deg.shape[0]), where=deg > 0)
    a64 = sp.csr_matrix(
        (sym.values * np.repeat(inv, deg), sym.col_indices, sym.row_ptrs),
        shape=(g.num_nodes, g.num_nodes),
    )
    h = projection_like(g.num_nodes, dim, seed)
    s = clock()
    y = a64 @ h
    out["step_float64"] = clock() - s
    out["float64_result_dtype"] = str(y.dtype)
    return out


def run_exact(g, dim, seed, memory, ours_result):
    """The exact NumPy reference end to end; compares it with fit_csr's result."""
    e, timings, memory["exact"] = run_reference(reference.fit, g, dim, seed)
    out = {"timings": timings, "digest": digest(e)}
    if ours_result is not None:
        a = ours_result.view(np.uint32)
        b = e.view(np.uint32)
        out["mismatches"] = int(np.count_nonzero(a != b))
        out["max_abs_diff"] = float(np.max(np.abs(ours_result - e))) if e.size else 0.0
    return out


if __name__ == "__main__":
    sys.exit(main())
