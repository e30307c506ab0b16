"""Scaling of fit_csr with graph size and dimension.

    python bench/scaling.py            # n = 10^4 .. 4*10^6, dim 16/64/128/256
    python bench/scaling.py --quick    # n <= 10^5, a few seconds

For every (n, dim): end-to-end time of fit_csr (weights [0, 1, 1, 1]), the
fixed part (weights [0]: input copy, validation, symmetrization, projection,
allocation), the mean propagation step ((T[0,0,0,0] - T[0]) / 3), the step
time per stored entry and dimension (constant when the cost is linear in
entries x dim), and the peak memory growth of the call. One process per n
and thread count; prints a Markdown table.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen

FULL_N = [10_000, 100_000, 1_000_000, 4_000_000]
QUICK_N = [10_000, 30_000, 100_000]
DIMS = [16, 64, 128, 256]
MIB = 1 << 20


def child(args) -> int:
    from worker import PeakMemory, import_engine

    engine = import_engine()
    if engine is None:
        print(json.dumps({"error": "the extension module _rust_core is not importable"}))
        return 0
    directed, _ = graphgen.ensure_graphs(args.n, args.degree, args.graph_seed)
    g = graphgen.load_csr(directed)
    rows = []

    def fit(dim, weights):
        gc.collect()
        s = time.perf_counter()
        e = engine.fit_csr(
            g.row_ptrs,
            g.col_indices,
            g.values,
            g.num_nodes,
            dim,
            weights,
            seed=args.seed,
        )
        return time.perf_counter() - s, e

    for dim in args.dims:
        full, fixed, four = [], [], []
        peak = None
        for rep in range(args.reps):
            if rep == 0:
                with PeakMemory() as pm:
                    t, e = fit(dim, [0.0, 1.0, 1.0, 1.0])
                peak = pm.growth
            else:
                t, e = fit(dim, [0.0, 1.0, 1.0, 1.0])
            del e
            full.append(t)
            t, e = fit(dim, [0.0])
            del e
            fixed.append(t)
            t, e = fit(dim, [0.0, 0.0, 0.0, 0.0])
            del e
            four.append(t)
        # Best of the rounds: interference from other processes only adds.
        rows.append(
            {
                "dim": dim,
                "full": min(full),
                "fixed": min(fixed),
                "four": min(four),
                "peak": peak,
            }
        )
    print(json.dumps({"n": g.num_nodes, "nnz_input": g.nnz, "rows": rows}))
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description="fit_csr scaling table (see bench/README.md)")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--n", default=None, help="comma-separated node counts")
    p.add_argument("--dims", default=",".join(map(str, DIMS)))
    p.add_argument("--threads", default="2")
    p.add_argument("--degree", type=float, default=16.0)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--graph-seed", type=int, default=1)
    p.add_argument("--reps", type=int, default=None)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)
    args.dims = [int(d) for d in str(args.dims).split(",")]
    if args.reps is None:
        args.reps = 3 if args.quick else 2
    if args.child:
        args.n = int(args.n)
        return child(args)
    sizes = (
        [int(float(x)) for x in args.n.split(",")]
        if args.n
        else (QUICK_N if args.quick else FULL_N)
    )
    results = []
    for threads in [int(t) for t in args.threads.split(",")]:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        for n in sizes:
            graphgen.ensure_graphs(n, args.degree, args.graph_seed)
            _, und = graphgen.ensure_graphs(n, args.degree, args.graph_seed)
            nnz_sym = graphgen.load_csr(und).nnz
            cmd = [
                sys.executable,
                str(Path(__file__).resolve()),
                "--child",
                "--n",
                str(n),
                "--dims",
                ",".join(map(str, args.dims)),
                "--degree",
                str(args.degree),
                "--seed",
                str(args.seed),
                "--graph-seed",
                str(args.graph_seed),
                "--reps",
                str(args.reps),
            ]
            proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, text=True, check=True)
            res = json.loads(proc.stdout)
            if "error" in res:
                print(res["error"], file=sys.stderr)
                return 1
            res.update(threads=threads, nnz_sym=nnz_sym)
            results.append(res)
            print(format_rows([res], header=not (len(results) > 1)), flush=True)
    path = args.json or HERE / "results" / ("scaling-quick.json" if args.quick else "scaling.json")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=1))
    print()
    print(format_rows(results))
    return 0


def format_rows(results, header=True) -> str:
    lines = []
    if header:
        lines.append(
            "| threads | n | entries (sym.) | dim | end to end s | fixed s | mean step s "
            "| step ps / (entry x dim) | peak MiB | peak / (12 n dim + graphs) |"
        )
        lines.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for res in results:
        n, nnz_in, nnz_sym = res["n"], res["nnz_input"], res["nnz_sym"]
        graphs = nnz_in * 16 + nnz_sym * 16 + 2 * (n + 1) * 8
        for r in res["rows"]:
            step = (r["four"] - r["fixed"]) / 3
            dim = r["dim"]
            peak = r["peak"]
            ratio = f"{peak / (12 * n * dim + graphs):.2f}" if peak else "-"
            peak_s = f"{peak / MIB:,.0f}" if peak is not None else "-"
            lines.append(
                f"| {res['threads']} | {n:,} | {nnz_sym:,} | {dim} | {r['full']:.3f} | "
                f"{r['fixed']:.3f} | {step:.4f} | {step / (nnz_sym * dim) * 1e12:.1f} | "
                f"{peak_s} | {ratio} |"
            )
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
