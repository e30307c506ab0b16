"""Velmar benchmark: one command, one table.

    python bench/run.py            # n = 1,000,000, dim 128, 2 and 1 threads, both graphs
    python bench/run.py --small    # a small graph, under 30 s (CI smoke test)
    python bench/run.py --small --no-peers
    python bench/run.py --graph planted --threads 2

Generates a seeded power-law graph and a graph with planted communities
(both with shuffled ids), measures this machine's memory bandwidth and its
gather bound with a small C++ probe, then runs fit_csr, velmar.embed's step
as it was (blocks of 32 columns, unsegmented) beside the widths and
segments the engine now chooses, the SciPy pipeline, an exact NumPy
reference (whose result must be bit-identical to fit_csr's) and the
multithreaded sparse-times-dense peers at each thread count, one process per
thread count, interleaved round by round. See bench/README.md for what each
figure means and how the phases of fit_csr are derived.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen

PEERS = ("torch", "graphblas", "mkl")
PEER_LABELS = {
    "torch": "PyTorch CSR @ dense",
    "graphblas": "python-graphblas mxm",
    "mkl": "sparse_dot_mkl",
}
MIB = 1 << 20


def parse_args(argv):
    p = argparse.ArgumentParser(description="Velmar benchmark (see bench/README.md)")
    p.add_argument("--small", action="store_true", help="small graph, finishes in < 30 s")
    p.add_argument("--n", type=int, help="number of nodes (default 1,000,000)")
    p.add_argument(
        "--degree",
        type=float,
        default=16.0,
        help="mean degree after symmetrization (default 16)",
    )
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--seed", type=int, default=7, help="seed of fit_csr and the references")
    p.add_argument("--graph-seed", type=int, default=1)
    p.add_argument(
        "--graph",
        default=",".join(graphgen.KINDS),
        help="graphs, comma-separated: chung-lu (power law), planted (communities)",
    )
    p.add_argument(
        "--package",
        default="32:off,auto:auto,64:off,128:off,64:16MiB",
        help="velmar.embed step variants BLOCK:SEGMENTS (see worker.Package); " "'' to skip",
    )
    p.add_argument("--threads", default="2,1", help="thread counts, e.g. 2,1")
    p.add_argument("--reps", type=int, help="interleaved rounds per process (default 3)")
    p.add_argument("--no-peers", action="store_true", help="skip torch/graphblas/mkl")
    p.add_argument(
        "--no-probe",
        action="store_true",
        help="skip the C++ bandwidth and gather probe",
    )
    p.add_argument(
        "--no-reference",
        action="store_true",
        help="skip the SciPy pipeline and the exact NumPy reference",
    )
    p.add_argument(
        "--json",
        type=Path,
        help="also write all figures to this JSON file "
        "(default bench/results/run-<n>-<dim>.json)",
    )
    args = p.parse_args(argv)
    if args.n is None:
        args.n = 20_000 if args.small else 1_000_000
    if args.reps is None:
        args.reps = 2 if args.small else 3
    args.threads = [int(t) for t in args.threads.split(",")]
    args.graph = [k for k in args.graph.split(",") if k]
    return args


def load_average() -> float:
    try:
        return os.getloadavg()[0]
    except OSError:
        return -1.0


def run_worker(args, directed, undirected, threads, peers, scipy_too, with_probe):
    env = dict(os.environ)
    for var in (
        "RAYON_NUM_THREADS",
        "OMP_NUM_THREADS",
        "MKL_NUM_THREADS",
        "OPENBLAS_NUM_THREADS",
        "NUMBA_NUM_THREADS",
    ):
        env[var] = str(threads)
    cmd = [
        sys.executable,
        str(HERE / "worker.py"),
        "--directed",
        str(directed),
        "--undirected",
        str(undirected),
        "--dim",
        str(args.dim),
        "--seed",
        str(args.seed),
        "--threads",
        str(threads),
        "--reps",
        str(args.reps),
        "--ours",
    ]
    if peers:
        cmd += ["--peers", ",".join(peers)]
    if scipy_too:
        cmd += ["--scipy", "--exact"]
    if with_probe:
        cmd += ["--probe"]
    if args.package:
        cmd += ["--package", args.package]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError(f"worker with {threads} thread(s) failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def best(xs):
    """The fastest of the rounds: interference from other processes only adds."""
    return min(xs) if xs else None


def phases(runs: dict) -> dict | None:
    """Phases of fit_csr from differences of best times (see README.md)."""
    if "full" not in runs:
        return None
    m = {k: best(v) for k, v in runs.items()}
    ph = {
        "input copy (est.)": m["copy"],
        "validation": max(m["dim0"] - m["copy"], 0.0),
        "symmetrization": m["w0"] - m["dir_w0"],
        "projection + allocation": m["dir_w0"] - m["dim0"],
        "propagation step 1": m["w00"] - m["w0"],
        "propagation step 2": m["w000"] - m["w00"],
        "propagation step 3": m["w0000"] - m["w000"],
        "accumulation pass, weights [1]": m["w1"] - m["w0"],
        "accumulations in [0,1,1,1]": m["full"] - m["w0000"],
        "fixed part": m["w0"],
        "end to end": m["full"],
    }
    # Eight steps in one call: a difference large against the noise.
    ph["mean step"] = (m["w0x9"] - m["w0"]) / 8
    return ph


def step_bytes(n, nnz, dim):
    """Logical bytes of one step: rows gathered and written, CSR arrays read."""
    return nnz * dim * 4 + n * dim * 4 + nnz * 16 + (n + 1) * 8


def package_step_bytes(n, nnz, dim, block, rows, pieces, index=4):
    """Bytes one step of the package engine moves to and from memory, by
    its traffic model: per column block of b columns, the compact graph
    (index + float32 scale per entry, 8-byte row pointers), the finished
    rows written and each added into the result (read and written). Without
    segments every entry gathers its neighbour's row from anywhere (from
    memory: b * 4 bytes rounded up to whole 64-byte lines); with them, each
    segment's rows of H are read once and gathered from the cache, and the
    pieces (row, first entry: 4 + 8 bytes each) add the running sums: a
    row's first piece writes b floats, every later one reads and writes
    them. Returns (memory bytes, bytes gathered from the cache)."""
    blocks = -(-dim // block)
    row = block * 4
    per_block = nnz * (index + 4) + 2 * row * n  # graph, result read + written
    if pieces:
        per_block += pieces * (index + 8) + n * row  # pieces; H read once
        per_block += (2 * pieces - n) * row  # running sums, the last write is H_(i+1)
        cached = nnz * row
    else:
        per_block += (n + 1) * 8 + n * row  # row pointers; H_(i+1) written
        per_block += nnz * (-(-row // 64) * 64)
        cached = 0
    return blocks * per_block, blocks * cached


def fmt_s(x):
    return "-" if x is None else (f"{x:.3f}" if x < 100 else f"{x:.1f}")


def fmt_mib(b):
    return "-" if b is None else f"{b / MIB:,.0f}"


def package_table(out, n, dim, t, w, ph, read_gbs):
    """velmar.embed's step in every variant, against today's (32:off), with
    fit_csr and the peers at the same thread count."""
    pk = w["package"]
    nnz = pk["nnz"]
    variants = pk["variants"]
    today = variants.get("32:off", {}).get("step")
    new = variants.get("auto:auto", {}).get("step")
    h_once = n * dim * 4 / (read_gbs * 1e9) if read_gbs else None
    out("")
    out(
        f"velmar.embed step, {t} thread(s): (T(weights [0]*9) - T([0]*2)) / 7, "
        f"best of rounds; 32:off is the step as it was, auto:auto the engine's "
        f"choice (block {pk['auto_block']})"
    )
    out(
        f"  {'variant':<12}{'block':>6}{'segments':>9}{'pieces/row':>11}{'step s':>9}"
        f"{'vs 32:off':>10}{'memory GB':>10}{'GB/s':>7}{'cache GB':>9}"
        + (f"{'x H once':>9}" if h_once else "")
        + f"{'build s':>8}"
    )
    for name, v in variants.items():
        rows, pieces = v["segment_rows"], v["pieces"]
        segments = -(-n // rows) if pieces else 0
        memory, cached = package_step_bytes(n, nnz, dim, v["block"], rows, pieces)
        step = v["step"]
        out(
            f"  {name:<12}{v['block']:>6}{segments or '-':>9}"
            f"{(f'{pieces / n:.2f}' if pieces else '-'):>11}{fmt_s(step):>9}"
            f"{(f'{step / today:.2f}' if today else '-'):>10}{memory / 1e9:>10.2f}"
            f"{memory / step / 1e9:>7.1f}{cached / 1e9:>9.2f}"
            + (f"{step / h_once:>9.1f}" if h_once else "")
            + f"{fmt_s(v.get('segments_build') if pieces else None):>8}"
        )
    if h_once:
        out(
            f"  reading every row of H once (n x dim float32 at the probe's "
            f"{read_gbs:.1f} GB/s streaming read): {h_once:.3f} s"
        )
    if ph and today:
        step = ph["mean step"]
        out(f"  fit_csr mean step {fmt_s(step)} s: {step / today:.2f} of 32:off")
    if new:
        for name, times in w.get("peers", {}).items():
            out(f"  {PEER_LABELS[name]}: {best(times) / new:.2f}x velmar.embed's step")


def build_report(args, meta, probe_report, workers):
    n, dim = args.n, args.dim
    nnz_in, nnz_sym = meta["nnz_input"], meta["nnz_sym"]
    bytes_step = step_bytes(n, nnz_sym, dim)
    lines = []
    out = lines.append
    graph = {
        "chung-lu": f"power-law graph (Chung-Lu, seed {args.graph_seed})",
        "planted": f"graph with planted communities of 1,000 nodes (seed {args.graph_seed})",
    }[meta["graph"]]
    out(
        f"Velmar benchmark: {graph}, shuffled ids, "
        f"n = {n:,}, {nnz_in:,} input entries, {nnz_sym:,} after symmetrization "
        f"(max degree {meta['max_degree']:,}), dim {dim}, weights [0, 1, 1, 1], seed {args.seed}"
    )
    out(
        f"machine: {os.cpu_count()} CPUs, {platform.processor() or platform.machine()}, "
        f"Python {platform.python_version()}, load average at start {meta['load_start']:.2f}"
        + ("  (WARNING: machine busy, timings unreliable)" if meta["load_start"] > 0.7 else "")
    )
    if probe_report:
        bw = ", ".join(
            f"{b['threads']} thr read {b['read_gbs']:.1f} / write " f"{b['write_gbs']:.1f} GB/s"
            for b in probe_report["bandwidth"]
        )
        out(f"memory bandwidth (C++ probe): {bw}")
    # The bound is timed by the probe inside each worker's rounds.
    bound = {t: best(w.get("gather_bound", [])) for t, w in workers.items()}
    bound = {t: b for t, b in bound.items() if b}
    if bound:
        gb = ", ".join(
            f"{t} thr {b:.3f} s ({bytes_step / b / 1e9:.1f} GB/s)" for t, b in sorted(bound.items())
        )
        out(f"gather bound (pure gather of the neighbour rows, prefetch, huge pages): {gb}")
    out("")

    ph_by_t = {t: phases(w.get("ours_runs", {})) for t, w in workers.items()}
    if any(ph_by_t.values()):
        ts = [t for t in workers if ph_by_t[t]]
        out("fit_csr phases (seconds, best of rounds; derived, see README)")
        out(f"  {'phase':<32}" + "".join(f"{f'{t} thread(s)':>14}" for t in ts))
        for key in next(iter(p for p in ph_by_t.values() if p)):
            out(f"  {key:<32}" + "".join(f"{fmt_s(ph_by_t[t][key]):>14}" for t in ts))
        out(
            f"  {'mean step / gather bound':<32}"
            + "".join(
                f"{(ph_by_t[t]['mean step'] / bound[t]) if t in bound else float('nan'):>14.2f}"
                for t in ts
            )
        )
        out(
            f"  {'effective GB/s per step':<32}"
            + "".join(f"{bytes_step / ph_by_t[t]['mean step'] / 1e9:>14.1f}" for t in ts)
        )
        budget = 12 * n * dim + (nnz_in * 16 + (n + 1) * 8) + (nnz_sym * 16 + (n + 1) * 8)
        out(
            f"  {'peak memory growth, MiB':<32}"
            + "".join(f"{fmt_mib(workers[t]['memory'].get('ours')):>14}" for t in ts)
        )
        out(f"  {'memory budget, MiB (*)':<32}" + "".join(f"{fmt_mib(budget):>14}" for t in ts))
        out("  (*) 3 n x dim float32 matrices + the copied input graph + its symmetrization")
        if 2 in ph_by_t and 1 in ph_by_t and ph_by_t[2] and ph_by_t[1]:
            out(
                f"  propagation speed-up 2 threads vs 1: "
                f"{ph_by_t[1]['mean step'] / ph_by_t[2]['mean step']:.2f}x"
            )
        out("")
    for t, w in workers.items():
        if w.get("ours_error"):
            out(f"ours ({t} thread(s)): {w['ours_error']}")

    # One propagation step, every implementation.
    out("one propagation step (D^-1 A @ H, float32), best of rounds, seconds")
    out(
        f"  {'implementation':<34}{'threads':>8}{'step s':>10}{'GB/s':>8}{'peak MiB':>10}"
        f"{'ours faster':>13}"
    )
    scipy_rep = None
    for t, w in workers.items():
        ph = ph_by_t.get(t)
        ours_step = ph["mean step"] if ph else None
        if ours_step:
            out(
                f"  {'velmar fit_csr (mean step)':<34}{t:>8}{fmt_s(ours_step):>10}"
                f"{bytes_step / ours_step / 1e9:>8.1f}{'-':>10}{'':>13}"
            )
        for name, times in w.get("peers", {}).items():
            s = best(times)
            ratio = f"{s / ours_step:.2f}x" if ours_step else "-"
            label = f"{PEER_LABELS[name]} {w.get('peer_versions', {}).get(name, '')}"
            out(
                f"  {label:<34}{t:>8}{fmt_s(s):>10}{bytes_step / s / 1e9:>8.1f}"
                f"{fmt_mib(w['memory'].get(name)):>10}{ratio:>13}"
            )
        for name, err in w.get("peer_errors", {}).items():
            out(f"  {PEER_LABELS[name]:<34}{t:>8}  unavailable: {err[:60]}")
        if "exact" in w:
            scipy_rep = (t, w)
    read_gbs = {b["threads"]: b["read_gbs"] for b in (probe_report or {}).get("bandwidth", [])}
    for t, w in workers.items():
        if w.get("package_error"):
            out(f"  velmar.embed ({t} thread(s)): {w['package_error']}")
        if "package" in w:
            package_table(out, n, dim, t, w, ph_by_t.get(t), read_gbs.get(t))
    ours_best = {t: ph_by_t[t]["mean step"] for t in ph_by_t if ph_by_t[t]}
    ref_step = ours_best.get(1) or (min(ours_best.values()) if ours_best else None)
    if scipy_rep:
        t, w = scipy_rep
        sc, ex = w.get("scipy"), w["exact"]
        rows = []
        if sc:
            rows += [
                (f"SciPy {sc['version']} float32 A @ H", best(sc["timings"]["steps"])),
                ("SciPy, float64 weights, A @ H", sc["step_float64"]),
            ]
        rows.append(("exact NumPy reference", best(ex["timings"]["steps"])))
        for label, s in rows:
            ratio = f"{s / ref_step:.1f}x" if ref_step else "-"
            out(
                f"  {label:<34}{1:>8}{fmt_s(s):>10}{bytes_step / s / 1e9:>8.1f}"
                f"{'-':>10}{ratio:>13}"
            )
        if w.get("scipy_error"):
            out(f"  SciPy unavailable: {w['scipy_error']}")
        out("  (SciPy and NumPy run single-threaded; their ratio is to velmar at 1 thread)")
        out("")
        out("end to end (input CSR -> embedding), seconds")
        for tt, ph in ph_by_t.items():
            if ph:
                out(
                    f"  velmar fit_csr, {tt} thread(s): {fmt_s(ph['end to end'])}"
                    f"   peak growth {fmt_mib(workers[tt]['memory'].get('ours'))} MiB"
                )
        e2e_ours = ph_by_t[1]["end to end"] if ph_by_t.get(1) else None
        for label, rep, key in (
            ("SciPy pipeline", sc, "scipy"),
            ("exact NumPy reference", ex, "exact"),
        ):
            if not rep:
                continue
            tot = rep["timings"]["total"]
            ratio = f"  ({tot / e2e_ours:.1f}x velmar at 1 thread)" if e2e_ours else ""
            out(
                f"  {label}: {fmt_s(tot)}   peak growth {fmt_mib(w['memory'].get(key))} MiB"
                f"{ratio}"
            )
        out("")
        out("numerics")
        if "mismatches" in ex:
            verdict = (
                "bit-identical"
                if ex["mismatches"] == 0
                else (
                    f"DIFFERENT in {ex['mismatches']:,} elements, max |diff| {ex['max_abs_diff']:.3g}"
                )
            )
            out(f"  velmar fit_csr vs exact NumPy reference ({t} thread(s)): {verdict}")
        if sc:
            out(
                f"  SciPy float32 pipeline vs exact NumPy reference: "
                f"{'bit-identical' if sc['digest'] == ex['digest'] else 'different'}"
            )
    digests = {t: w.get("ours_digest") for t, w in workers.items() if w.get("ours_digest")}
    if len(digests) > 1:
        same = len(set(digests.values())) == 1
        out(
            f"  velmar at {', '.join(str(t) for t in digests)} threads: "
            f"{'bit-identical' if same else 'DIFFERENT'}"
        )
    return "\n".join(lines)


def run_graph(args, kind):
    """Probe, workers and report of one graph; (table, record, failed)."""
    meta = {"load_start": load_average(), "graph": kind}
    directed, undirected = graphgen.ensure_graphs(args.n, args.degree, args.graph_seed, kind=kind)
    g = graphgen.load_csr(directed)
    sym = graphgen.load_csr(undirected)
    import numpy as np

    meta.update(
        nnz_input=g.nnz,
        nnz_sym=sym.nnz,
        max_degree=int(np.diff(sym.row_ptrs).max()) if args.n else 0,
    )
    del g, sym

    probe_report = None
    if not args.no_probe:
        import probe

        try:
            probe_report = probe.run(
                undirected,
                args.dim,
                sorted(args.threads),
                "bandwidth",
                reps=2 if args.small else 3,
                bandwidth_mb=256 if args.small else 1024,
            )
        except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
            print(f"note: C++ probe unavailable ({e})", file=sys.stderr)

    peers = () if args.no_peers else PEERS
    scipy_at = 1 if 1 in args.threads else args.threads[-1]
    workers = {}
    for t in args.threads:
        workers[t] = run_worker(
            args,
            directed,
            undirected,
            t,
            peers,
            scipy_too=(t == scipy_at and not args.no_reference),
            with_probe=probe_report is not None,
        )
    table = build_report(args, meta, probe_report, workers)
    record = {
        "meta": meta,
        "probe": probe_report,
        "workers": {str(t): w for t, w in workers.items()},
        "table": table,
    }
    # A smoke run must not pass when fit_csr disagrees with the reference.
    failed = any(w.get("exact", {}).get("mismatches", 0) for w in workers.values())
    digests = {w.get("ours_digest") for w in workers.values() if w.get("ours_digest")}
    return table, record, failed or len(digests) > 1


def main(argv=None) -> int:
    args = parse_args(argv)
    t_start = time.perf_counter()
    records = {}
    failed = False
    for kind in args.graph:
        table, records[kind], bad = run_graph(args, kind)
        failed = failed or bad
        print(table + "\n", flush=True)
    package_ok = True
    if "chung-lu" in args.graph:
        # The package path (velmar.embed from SciPy) beside fit_csr, in its
        # own process at the largest thread count: see bench/package.py.
        package_json = HERE / "results" / f"package-{args.n}-{args.dim}.json"
        package_json.parent.mkdir(parents=True, exist_ok=True)
        package_cmd = [
            sys.executable,
            str(HERE / "package.py"),
            "--n",
            str(args.n),
            "--degree",
            str(args.degree),
            "--dim",
            str(args.dim),
            "--threads",
            str(max(args.threads)),
            "--rounds",
            str(args.reps),
            "--json",
            str(package_json),
        ]
        package_run = subprocess.run(package_cmd, capture_output=True, text=True, check=False)
        print("Package path (bench/package.py):")
        print(package_run.stdout.rstrip() or package_run.stderr.rstrip())
        package_ok = package_run.returncode == 0
    print(f"\n(benchmark wall time {time.perf_counter() - t_start:.0f} s)")
    path = args.json or HERE / "results" / f"run-{args.n}-{args.dim}.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(
        json.dumps(
            {
                "args": {k: (str(v) if isinstance(v, Path) else v) for k, v in vars(args).items()},
                "graphs": records,
            },
            indent=1,
        )
    )
    return 1 if failed or not package_ok else 0


if __name__ == "__main__":
    sys.exit(main())
