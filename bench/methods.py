"""The spectral and the projection method side by side: wall time and peak memory.

    python bench/methods.py                       # n = 10^5 and 10^6, dim 128, 3 rounds
    python bench/methods.py --n 10000 --rounds 1  # a quick look
    python bench/methods.py --methods tuned,centred  # what step_center costs

Graphs are the seeded Chung-Lu graphs of graphgen.py (mean degree 16, cached
on disk). Every embedding runs in a fresh process: the SciPy CSR matrix is
loaded, the process's peak RSS is reset (/proc/self/clear_refs), then one
``velmar.embed(A, dim, seed=1, **CONTENDERS[name])`` call (A + Aᵀ) is
timed, and its peak RSS growth is read from VmHWM beside
``velmar.estimate_memory`` for the same call. The contenders alternate
within each round, so load from other jobs falls on all of them; the table
gives the medians over the rounds and each time as a multiple of the first
contender's.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen

# velmar.embed's keyword arguments of each contender: each method's
# defaults, and the projection's setting of "Tuning for quality" in
# docs/guide.md without and with centred steps.
TUNED = (
    "method='projection', weights=(0, 0, 1, 1), normalize='l2', "
    "normalization_strength='auto', step_normalize='l2'"
)
CONTENDERS = {
    "projection": "method='projection'",
    "spectral": "method='spectral'",
    "tuned": TUNED,
    "centred": TUNED + ", step_center=True",
}

CHILD = """
import json, sys, time
import numpy as np, scipy.sparse as sp, velmar
sys.path.insert(0, {here!r})
import graphgen
csr = graphgen.load_csr(graphgen.Path({path!r}))
n = csr.num_nodes
a = sp.csr_matrix((csr.values, csr.col_indices, csr.row_ptrs), shape=(n, n))
velmar.embed(([0, 1], [1, 0]), dim=4, seed=1, method="projection")  # the worker pool
kwargs = dict({kwargs})
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
open("/proc/self/clear_refs", "w").write("5")
before = status("VmRSS:")
t0 = time.perf_counter()
velmar.embed(a, {dim}, seed=1, **kwargs)
seconds = time.perf_counter() - t0
peak = status("VmHWM:") - before
planned = {{k: v for k, v in kwargs.items() if k not in ("weights", "normalize")}}
estimate = velmar.estimate_memory(n, a.nnz, {dim}, **planned)
print(json.dumps({{"seconds": seconds, "peak": peak, "estimate": estimate}}))
"""


def run_one(path: Path, method: str, dim: int) -> dict[str, float]:
    code = textwrap.dedent(
        CHILD.format(here=str(HERE), path=str(path), kwargs=CONTENDERS[method], dim=dim)
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{method} failed:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def graph_path(n: int, degree: float) -> Path:
    path = graphgen.default_cache_dir() / graphgen.graph_key(n, degree, 1)
    if not graphgen.has_csr(path):
        graphgen.save_csr(graphgen.power_law_graph(n, degree, seed=1), path)
    return path


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", default="100000,1000000", help="comma-separated node counts")
    p.add_argument("--degree", type=float, default=16.0, help="mean degree (16)")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--json", type=Path, help="write the measurements there too")
    p.add_argument(
        "--methods",
        default="projection,spectral",
        help=f"comma-separated contenders, the first the baseline: {','.join(CONTENDERS)}",
    )
    args = p.parse_args(argv)
    methods = args.methods.split(",")
    if unknown := [m for m in methods if m not in CONTENDERS]:
        p.error(f"unknown --methods {','.join(unknown)}; choose from {','.join(CONTENDERS)}")
    load = os.getloadavg()
    print(f"{os.cpu_count()} CPUs; load average at start {load[0]:.1f} / {load[1]:.1f}")
    record = []
    print(
        f"| n | stored entries | method | seconds (median) | × {methods[0]} | peak MiB "
        "| estimate MiB |"
    )
    print("|---:|---:|---|---:|---:|---:|---:|")
    for n in (int(x) for x in args.n.split(",")):
        path = graph_path(n, args.degree)
        runs: dict[str, list[dict[str, float]]] = {m: [] for m in methods}
        for r in range(args.rounds):
            order = methods if r % 2 == 0 else methods[::-1]
            for method in order:
                runs[method].append(run_one(path, method, args.dim))
        entries = 2 * round(n * args.degree / 2)
        base = statistics.median(x["seconds"] for x in runs[methods[0]])
        for method in methods:
            secs = statistics.median(x["seconds"] for x in runs[method])
            peak = statistics.median(x["peak"] for x in runs[method])
            estimate = runs[method][0]["estimate"]
            print(
                f"| {n:,} | {entries:,} | {method} | {secs:.3f} | {secs / base:.1f} | "
                f"{peak / 2**20:,.0f} | {estimate / 2**20:,.0f} |",
                flush=True,
            )
            record.append({"n": n, "method": method, "runs": runs[method]})
    load = os.getloadavg()
    print(f"load average at end {load[0]:.1f} / {load[1]:.1f}")
    if args.json:
        args.json.write_text(json.dumps(record, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
