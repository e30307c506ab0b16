"""Builds and runs the C++ gather probe (bench/probe/).

    python bench/probe.py [--n N] [--dim D] [--threads 1,2] [--suite bound|full]

The probe measures streaming bandwidth and the pure gather over the
benchmark graph's neighbour rows (the bound a propagation step is compared
with); ``--suite full`` also times the prototype kernel variants of the exact
step and their ratio to that bound.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SRC = HERE / "probe"
BUILD = HERE / "build"
BINARY = BUILD / "gather_probe"
# Bit-exact float code: no contraction into fused multiply-adds. The probe's
# own code targets x86-64-v2; kernels are also built for v3 and v4 and chosen
# at run time.
CXXFLAGS = [
    "-std=c++20",
    "-O3",
    "-ffp-contract=off",
    "-fno-fast-math",
    "-Wall",
    "-Wextra",
    "-pthread",
]
ISAS = {"v2": "x86-64-v2", "v3": "x86-64-v3", "v4": "x86-64-v4"}


def build(verbose: bool = False) -> Path:
    """Compiles the probe into bench/build/ when a source is newer."""
    sources = list(SRC.glob("*.cpp")) + list(SRC.glob("*.h"))
    if BINARY.exists() and all(s.stat().st_mtime <= BINARY.stat().st_mtime for s in sources):
        return BINARY
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if not cxx:
        raise RuntimeError("no C++ compiler found (g++ or c++)")
    BUILD.mkdir(parents=True, exist_ok=True)
    objects = []
    for ns, march in ISAS.items():
        obj = BUILD / f"kernels_{ns}.o"
        cmd = [
            cxx,
            *CXXFLAGS,
            f"-march={march}",
            f"-DVB_ISA={ns}",
            "-c",
            str(SRC / "kernels.cpp"),
            "-o",
            str(obj),
        ]
        if verbose:
            print(" ".join(cmd), file=sys.stderr)
        subprocess.run(cmd, check=True)
        objects.append(str(obj))
    cmd = [
        cxx,
        *CXXFLAGS,
        "-march=x86-64-v2",
        str(SRC / "gather_probe.cpp"),
        *objects,
        "-o",
        str(BINARY),
    ]
    if verbose:
        print(" ".join(cmd), file=sys.stderr)
    subprocess.run(cmd, check=True)
    return BINARY


def run(
    graph_dir: Path,
    dim: int,
    threads=(1, 2),
    suite: str = "bound",
    reps: int = 5,
    bandwidth_mb: int = 1024,
    h_file: Path | None = None,
    out_file: Path | None = None,
    stream_variants: bool = False,
) -> dict:
    """Runs the probe and returns its JSON report."""
    binary = build()
    cmd = [
        str(binary),
        "--graph",
        str(graph_dir),
        "--dim",
        str(dim),
        "--threads",
        ",".join(str(t) for t in threads),
        "--suite",
        suite,
        "--reps",
        str(reps),
        "--bandwidth-mb",
        str(bandwidth_mb),
    ]
    if h_file is not None:
        cmd += ["--h", str(h_file)]
    if out_file is not None:
        cmd += ["--out", str(out_file)]
    proc = subprocess.run(
        cmd,
        check=True,
        stdout=subprocess.PIPE,
        stderr=None if stream_variants else subprocess.PIPE,
        text=True,
    )
    return json.loads(proc.stdout)


def main(argv=None) -> int:
    import graphgen

    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--degree", type=float, default=16.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--threads", default="1,2")
    p.add_argument("--suite", choices=("bound", "full"), default="full")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--json", type=Path, help="write the report here as well")
    args = p.parse_args(argv)
    sym_dir = graphgen.symmetrized_graph_dir(args.n, args.degree, args.seed)
    report = run(
        sym_dir,
        args.dim,
        [int(t) for t in args.threads.split(",")],
        args.suite,
        args.reps,
        stream_variants=True,
    )
    print(format_variants(report))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=2))
    return 0


def format_variants(report: dict) -> str:
    lines = [
        (
            f"n = {report['num_nodes']:,}, stored entries = {report['nnz']:,}, "
            f"dim = {report['dim']}, best ISA {report['best_isa']}, "
            f"THP in use: {report['anon_huge_kb'] // 1024} MiB"
        )
    ]
    for bw in report["bandwidth"]:
        lines.append(
            f"  {bw['threads']} thread(s): read {bw['read_gbs']:.1f} GB/s, "
            f"write {bw['write_gbs']:.1f} GB/s"
        )
    for b in report["gather_bound"]:
        lines.append(f"  gather bound, {b['threads']} thread(s): {b['seconds']:.3f} s")
    lines.append(
        f"  {'variant':<50} {'isa':<10} {'thr':>3} {'min s':>8} {'median':>8} "
        f"{'x bound':>8}  checksum"
    )
    for v in report["variants"]:
        name = v["name"] + (
            ""
            if v["name"] != "gather"
            else f" (prefetch {v['prefetch']}{'' if v['huge_pages'] else ', 4K pages'})"
        )
        ratio = f"{v['ratio_to_bound']:.2f}" if v["ratio_to_bound"] else "-"
        lines.append(
            f"  {name:<50} {v['isa']:<10} {v['threads']:>3} {v['min_s']:>8.3f} "
            f"{v['median_s']:>8.3f} {ratio:>8}  {v['checksum']}"
        )
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
