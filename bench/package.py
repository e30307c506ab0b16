"""The package path beside fit_csr, in one process, after a warm-up.

    python bench/package.py                      # n = 1,000,000, degree 16, dim 128
    python bench/package.py --small              # n = 20,000 (seconds)
    python bench/package.py --step-dims 16,64,128,256,512 --widths 16,32,64

Reports, as medians of interleaved rounds:
- end to end: velmar.embed on a SciPy CSR matrix with int32 indices against
  _rust_core.fit_csr on the same graph as int64/float64 arrays (same bits);
- the fixed part of both paths, a call with weights [0.0] (conversion,
  validation, symmetrization, projection), as a ratio, and the package
  path's split into _engine.build_graph and the projection;
- one step per dim with all columns in one block and in blocks of each of
  --widths columns (the default run takes blocks of _engine.PREFERRED_BLOCK);
- the quality options (beta, step normalisation, 64 dense float32
  features in a quarter of the columns, all three) against the plain run on
  the same compact graph (all columns in one block), as ratios;
- peak RSS growth of each path (VmHWM reset through /proc/self/clear_refs)
  and velmar.estimate_memory against the measured growth.
The first touch of fresh memory is slow on virtual machines, so every timed
call follows an untimed one of the same size.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen  # noqa: E402
import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import _rust_core  # noqa: E402
import velmar  # noqa: E402
from velmar import _engine  # noqa: E402

MIB = 1 << 20


def status(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return 0


def peak_growth(call) -> int:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    result = call()
    growth = status("VmHWM:") - before
    del result
    return growth


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def interleaved(rounds: int, calls: dict) -> dict:
    """Median seconds of each call, after one untimed call of each (first
    touches), in rounds that take every call in turn, so that changes of load
    hit all alike."""
    for call in calls.values():
        call()
    times: dict = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {name: statistics.median(t) for name, t in times.items()}


def median_of(rounds: int, call) -> float:
    call()  # warm-up: first touches
    return statistics.median(timed(call) for _ in range(rounds))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--small", action="store_true")
    p.add_argument("--n", type=int)
    p.add_argument("--degree", type=float, default=16.0, help="mean degree after symmetrization")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--step-dims", default="16,128,512")
    p.add_argument("--widths", default="16,32,64", help="block widths of the blocked steps")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)
    n = args.n or (20_000 if args.small else 1_000_000)
    velmar.set_num_threads(args.threads)

    directed, _ = graphgen.ensure_graphs(n, args.degree, 1)
    g = graphgen.load_csr(directed)
    a32 = sp.csr_matrix(
        (g.values, g.col_indices.astype(np.int32), g.row_ptrs.astype(np.int32)), shape=(n, n)
    )
    weights = [0.0, 1.0, 1.0, 1.0]
    dim, seed = args.dim, 7
    report: dict = {
        "n": n,
        "nnz_input": g.nnz,
        "dim": dim,
        "threads": args.threads,
        "weights": weights,
    }

    def fit_csr():
        return _rust_core.fit_csr(g.row_ptrs, g.col_indices, g.values, n, dim, weights, seed=seed)

    def package():
        return velmar.embed(a32, dim, weights, seed=seed, method="projection")

    same = np.array_equal(fit_csr().view(np.uint32), package().view(np.uint32))
    report["same_bits"] = bool(same)
    whole = interleaved(args.rounds, {"fit_csr": fit_csr, "embed": package})
    report["fit_csr_s"] = whole["fit_csr"]
    report["embed_s"] = whole["embed"]
    report["embed_over_fit_csr"] = report["embed_s"] / report["fit_csr_s"]

    # The fixed part, as bench/run.py defines it for fit_csr: a call with
    # weights [0.0] converts, validates, symmetrizes and projects, and leaves
    # the result as the zero pages it was given.
    zero = [0.0]
    fixed = interleaved(
        args.rounds,
        {
            "fit_csr": lambda: _rust_core.fit_csr(
                g.row_ptrs, g.col_indices, g.values, n, dim, zero, seed=seed
            ),
            "embed": lambda: velmar.embed(a32, dim, zero, seed=seed, method="projection"),
        },
    )
    report["fit_csr_fixed_part_s"] = fixed["fit_csr"]
    report["fixed_part_s"] = fixed["embed"]
    report["fixed_over_fit_csr"] = report["fixed_part_s"] / report["fit_csr_fixed_part_s"]
    built = _engine.build_graph(a32.indptr, a32.indices, a32.data, n, True)
    report["build_graph_s"] = median_of(
        args.rounds, lambda: _engine.build_graph(a32.indptr, a32.indices, a32.data, n, True)
    )
    report["projection_s"] = median_of(
        args.rounds,
        lambda: _engine.embed(
            built, _engine.settings(dim, zero, seed), None, _engine.PREFERRED_BLOCK
        ),
    )
    report["nnz_compact"] = built.num_entries

    steps = []
    widths = [int(x) for x in args.widths.split(",")]
    for d in [int(x) for x in args.step_dims.split(",")]:
        # One result array reused by every call of this dim.
        out = np.empty((n, d), np.float32)

        def run(w, b=None, d=d, out=out):
            return lambda: _engine.embed(built, _engine.settings(d, w, seed), None, b, out)

        def step(b=None):
            return median_of(args.rounds, run([0.0, 1.0], b)) - median_of(
                args.rounds, run([1.0], b)
            )

        one = step()
        row = {"dim": d, "step_s": one, "blocked": []}
        for b in (b for b in widths if b < d):
            t = step(b)
            row["blocked"].append({"block": b, "step_s": t, "over_one": t / one})
        out = None  # freed before the next dim's array
        steps.append(row)
    report["steps"] = steps

    x = np.random.default_rng(1).normal(size=(n, 64)).astype(np.float32)
    variants = {
        "plain": {},
        "beta=1": {"normalization_strength": 1.0},
        "step l2": {"step_normalize": True},
        "features": {"features": x, "feature_dim": dim // 4},
        "all three": {
            "normalization_strength": 1.0,
            "step_normalize": True,
            "features": x,
            "feature_dim": dim // 4,
        },
    }
    out = np.empty((n, dim), np.float32)
    medians = interleaved(
        args.rounds,
        {
            name: (
                lambda kw=kw: _engine.embed(
                    built, _engine.settings(dim, weights, seed, **kw), None, None, out
                )
            )
            for name, kw in variants.items()
        },
    )
    report["options"] = {
        k: {"s": t, "over_plain": t / medians["plain"]} for k, t in medians.items()
    }
    out = x = built = None  # freed before the peak measurements

    report["fit_csr_peak"] = peak_growth(fit_csr)
    report["embed_peak"] = peak_growth(package)
    report["embed_estimate"] = velmar.estimate_memory(n, a32.nnz, dim, method="projection")
    limit = 1000 * 1000 * 1000
    report["limited_peak"] = peak_growth(
        lambda: velmar.embed(a32, dim, weights, seed=seed, memory_limit=limit, method="projection")
    )
    report["limited_estimate"] = velmar.estimate_memory(
        n, a32.nnz, dim, memory_limit=limit, method="projection"
    )
    report["limited_s"] = median_of(
        args.rounds,
        lambda: velmar.embed(a32, dim, weights, seed=seed, memory_limit=limit, method="projection"),
    )
    report["limited_over_embed"] = report["limited_s"] / report["embed_s"]

    print(
        f"n = {n:,}, input entries {g.nnz:,}, compact {report['nnz_compact']:,}, dim {dim}, "
        f"{args.threads} threads, weights {weights}; medians of {args.rounds} after a warm-up"
    )
    print(
        f"  fit_csr (int64/float64 arrays)   {report['fit_csr_s']:.3f} s  "
        f"peak +{report['fit_csr_peak'] / MIB:,.0f} MiB"
    )
    print(
        f"  velmar.embed (SciPy int32 CSR)   {report['embed_s']:.3f} s  "
        f"peak +{report['embed_peak'] / MIB:,.0f} MiB  (estimate {report['embed_estimate'] / MIB:,.0f} MiB)"
        f"  ratio {report['embed_over_fit_csr']:.3f}  same bits: {same}"
    )
    print(
        f"  velmar.embed memory_limit=1GB    {report['limited_s']:.3f} s  "
        f"peak +{report['limited_peak'] / MIB:,.0f} MiB  (estimate {report['limited_estimate'] / MIB:,.0f} MiB)"
        f"  ratio to embed {report['limited_over_embed']:.3f}"
    )
    print(
        f"  fixed part (weights [0]): velmar.embed {report['fixed_part_s']:.3f} s, fit_csr "
        f"{report['fit_csr_fixed_part_s']:.3f} s, ratio {report['fixed_over_fit_csr']:.3f}; "
        f"of it build_graph {report['build_graph_s']:.3f} s, projection "
        f"{report['projection_s']:.3f} s"
    )
    for s in steps:
        blocked = "".join(
            f", blocks of {b['block']} {b['step_s']:.3f} s ({b['over_one']:.2f}×)"
            for b in s["blocked"]
        )
        print(f"  step dim {s['dim']:>4}: one block {s['step_s']:.3f} s{blocked}")
    for name, o in report["options"].items():
        print(f"  options {name:<10} {o['s']:.3f} s  ratio to plain {o['over_plain']:.3f}")
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
