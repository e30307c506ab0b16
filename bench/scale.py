"""Embedding a graph larger than memory: prepare on disk, embed block by block.

    python bench/scale.py                       # n = 5*10^7, 8*10^8 entries: ~21 min, 46 GB of disk
    python bench/scale.py --n 1000000           # the same pipeline at 10^6 nodes
    python bench/scale.py --check --n 1000000 --dim 32   # CI: identical bits on every path
    python bench/scale.py --prepare-cost --n 1000000     # streamed vs in-memory preparation

Steps, each in a child process so that its peak RSS is its own:
1. generate: a seeded power-law edge list (m = n * degree / 2 unweighted int64
   pairs, node IDs shuffled) written in chunks to edges.npy;
2. prepare: velmar.prepare(edges.npy, stream=True) with DuckDB bounded by
   --memory-limit (duplicate pairs are summed, so the stored entries come out
   slightly below n * degree);
3. embed: after a warm-up, the in-memory baseline (velmar.embed of the
   prepared baseline graph, n = --base-n) and the on-disk run (out=...zarr),
   in one process, baseline first; RSS peaks are measured per run (the peak
   is reset between runs through /proc/self/clear_refs).

Reported: wall time and peak RSS per step, throughput in stored entries x dim x
steps per second for both runs and their ratio, and the disk used. --check
instead embeds in memory, to .npy, to .zarr and on a 2-worker Dask
LocalCluster, and exits non-zero unless all four are bit-identical.
--prepare-cost times, in one process and alternating over two rounds, the
streamed and the in-memory preparation of the same edge list (and checks that
their files are byte-identical), and what summing duplicates in file order
costs in DuckDB: its sort by (row, column, side, file position) against its
own unordered GROUP BY + SUM.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

WEIGHTS = [0.0, 1.0, 1.0, 1.0]
SEED = 7
CHUNK = 1 << 24


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=50_000_000)
    p.add_argument("--degree", type=float, default=16.0, help="stored entries per node (16)")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--base-n", type=int, default=1_000_000, help="in-memory baseline size")
    p.add_argument("--block-columns", type=int, default=None, help="(the widest that fits)")
    p.add_argument(
        "--memory-limit",
        default="12GB",
        help="for DuckDB when preparing, and for the embedding unless --block-columns (12GB)",
    )
    p.add_argument("--workdir", type=Path, default=Path("/tmp/velmar_scale"))
    p.add_argument("--check", action="store_true", help="bit-identity of every path, then exit")
    p.add_argument("--prepare-cost", action="store_true", help="time the preparation paths")
    p.add_argument("--keep", action="store_true", help="keep the files of the run")
    p.add_argument("--phase", help=argparse.SUPPRESS)
    p.add_argument("--json", type=Path, default=None, help="also write the figures here")
    return p.parse_args(argv)


# --- phases (child processes) ---------------------------------------------------


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def generate(path: Path, n: int, degree: float, seed: int = 1) -> None:
    from graphgen import _draw_nodes

    rng = np.random.default_rng([2, seed])
    m = int(n * degree / 2)
    perm = rng.permutation(n).astype(np.int64)
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.int64, shape=(m, 2))
    alpha = 1.0 / (2.5 - 1.0)
    for lo in range(0, m, CHUNK):
        k = min(CHUNK, m - lo)
        out[lo : lo + k, 0] = perm[_draw_nodes(rng, k, n, alpha)]
        out[lo : lo + k, 1] = perm[_draw_nodes(rng, k, n, alpha)]
    out.flush()


def phase_prepare(args) -> dict:
    import velmar

    started = time.perf_counter()
    graph = velmar.prepare(
        str(args.workdir / f"edges-{args.n}.npy"),
        args.workdir / f"graph-{args.n}",
        stream=True,
        memory_limit=args.memory_limit,
        overwrite=True,
    )
    return {"seconds": time.perf_counter() - started, "entries": graph.num_entries}


def phase_embed(args) -> dict:
    import velmar

    warm = velmar.prepare(([0, 1, 2], [1, 2, 0]), args.workdir / "warm", overwrite=True)
    velmar.embed(warm, 8, WEIGHTS, seed=SEED, method="projection")
    base = velmar.open_graph(args.workdir / f"graph-{args.base_n}")
    big = velmar.open_graph(args.workdir / f"graph-{args.n}")
    out = args.workdir / f"emb-{args.n}.zarr"
    shutil.rmtree(out, ignore_errors=True)
    reset_peak()
    rss0 = peak_rss()
    started = time.perf_counter()
    velmar.embed(base, args.dim, WEIGHTS, seed=SEED, method="projection")
    base_s = time.perf_counter() - started
    base_rss = peak_rss() - rss0
    reset_peak()
    rss0 = peak_rss()
    started = time.perf_counter()
    limit = None if args.block_columns else args.memory_limit
    result = velmar.embed(
        big,
        args.dim,
        WEIGHTS,
        seed=SEED,
        out=str(out),
        block_columns=args.block_columns,
        memory_limit=limit,
        method="projection",
    )
    disk_s = time.perf_counter() - started
    block = int(result.chunks[1])
    del result
    steps = len(WEIGHTS) - 1
    base_rate = base.num_entries * args.dim * steps / base_s
    disk_rate = big.num_entries * args.dim * steps / disk_s
    return {
        "baseline_seconds": base_s,
        "baseline_peak_rss_growth": base_rss,
        "disk_seconds": disk_s,
        "disk_block_columns": block,
        "disk_peak_rss_growth": peak_rss() - rss0,
        "baseline_entry_dims_per_s": base_rate,
        "disk_entry_dims_per_s": disk_rate,
        "throughput_ratio": disk_rate / base_rate,
    }


def phase_check(args) -> dict:
    from distributed import Client, LocalCluster

    import velmar

    graph = velmar.open_graph(args.workdir / f"graph-{args.n}")
    width = args.block_columns or max(args.dim // 4, 1)
    expected = velmar.embed(graph, args.dim, WEIGHTS, seed=SEED, method="projection").view(
        np.uint32
    )
    results = {}
    for name in ("emb.npy", "emb.zarr"):
        out = args.workdir / name
        shutil.rmtree(out, ignore_errors=True)
        for stale in (out, Path(str(out) + ".run.json")):
            if stale.is_file():
                stale.unlink()
        got = velmar.embed(
            graph,
            args.dim,
            WEIGHTS,
            seed=SEED,
            out=str(out),
            block_columns=width,
            method="projection",
        )
        results[name] = bool(np.array_equal(np.asarray(got[:]).view(np.uint32), expected))
    out = args.workdir / "emb-dask.zarr"
    shutil.rmtree(out, ignore_errors=True)
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        got = velmar.embed(
            graph,
            args.dim,
            WEIGHTS,
            seed=SEED,
            out=str(out),
            block_columns=width,
            client=client,
            method="projection",
        )
        results["dask"] = bool(np.array_equal(got[:].view(np.uint32), expected))
    return results


def phase_prepare_cost(args) -> dict:
    import duckdb
    import pyarrow as pa

    import velmar

    edges = str(args.workdir / f"edges-{args.n}.npy")
    table = np.load(edges, mmap_mode="r")
    arrow = pa.table(
        {
            "r": np.ascontiguousarray(table[:, 0]),
            "c": np.ascontiguousarray(table[:, 1]),
            "w": np.ones(table.shape[0]),
            "seq": np.arange(table.shape[0]),
        }
    )
    con = duckdb.connect()
    # A DuckDB table, as the streamed preparation sorts one.
    con.register("arrow_edges", arrow)
    con.execute("CREATE TABLE edges AS SELECT * FROM arrow_edges")
    both = "SELECT r, c, w, seq, 0 AS side FROM edges UNION ALL SELECT c, r, w, seq, 1 FROM edges"
    queries = {
        "duckdb_sort_in_file_order": f"SELECT r, c, side, w FROM ({both}) ORDER BY r, c, side, seq",
        "duckdb_group_by_sum": "SELECT r, c, sum(w) FROM (SELECT r, c, w FROM edges UNION ALL "
        "SELECT c, r, w FROM edges) GROUP BY r, c ORDER BY r, c",
    }
    times: dict = {key: [] for key in [*queries, "prepare_streamed", "prepare_in_memory"]}
    velmar.prepare(([0, 1], [1, 2]), args.workdir / "warm", overwrite=True)
    for _ in range(2):
        for key, sql in queries.items():
            started = time.perf_counter()
            for _batch in con.sql(sql).to_arrow_reader(1 << 20):
                pass
            times[key].append(time.perf_counter() - started)
        for key, stream in (("prepare_streamed", True), ("prepare_in_memory", False)):
            started = time.perf_counter()
            velmar.prepare(
                edges,
                args.workdir / key,
                stream=stream,
                memory_limit=args.memory_limit,
                overwrite=True,
            )
            times[key].append(time.perf_counter() - started)
    a = velmar.open_graph(args.workdir / "prepare_streamed")
    b = velmar.open_graph(args.workdir / "prepare_in_memory")
    same = all(
        np.array_equal(getattr(a, k).view(np.uint8), getattr(b, k).view(np.uint8))
        for k in ("indptr", "indices", "scales", "values", "nodes")
    )
    return {"seconds_per_round": times, "identical_files": same}


# --- driver ---------------------------------------------------------------------


def run_phase(args, name: str, **overrides) -> dict:
    argv = [sys.executable, __file__, "--phase", name]
    settings = vars(args) | overrides
    for key in ("n", "degree", "dim", "base_n", "memory_limit", "workdir", "block_columns"):
        if settings[key] is not None:
            argv += [f"--{key.replace('_', '-')}", str(settings[key])]
    started = time.perf_counter()
    done = subprocess.run(argv, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"bench/scale.py: phase {name} failed")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result.setdefault("seconds", time.perf_counter() - started)
    return result


def du(path: Path) -> int:
    if path.is_file():
        return path.stat().st_blocks * 512
    return sum(p.stat().st_blocks * 512 for p in path.rglob("*") if p.is_file())


def ensure_graph(args, n: int, report: dict) -> None:
    edges = args.workdir / f"edges-{n}.npy"
    if not (args.workdir / f"graph-{n}" / "graph.json").exists():
        if not edges.exists():
            report[f"generate-{n}"] = run_phase(args, "generate", n=n)
        report[f"prepare-{n}"] = run_phase(args, "prepare", n=n)
    report[f"disk-{n}"] = {"edges": du(edges), "graph": du(args.workdir / f"graph-{n}")}


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.phase:
        if args.phase == "generate":
            started = time.perf_counter()
            generate(args.workdir / f"edges-{args.n}.npy", args.n, args.degree)
            result = {"seconds": time.perf_counter() - started}
        else:
            phases = {
                "prepare": phase_prepare,
                "embed": phase_embed,
                "check": phase_check,
                "prepare-cost": phase_prepare_cost,
            }
            result = phases[args.phase](args)
        result["peak_rss"] = peak_rss()
        print(json.dumps(result))
        return 0
    args.workdir.mkdir(parents=True, exist_ok=True)
    report: dict = {"n": args.n, "degree": args.degree, "dim": args.dim, "weights": WEIGHTS}
    ensure_graph(args, args.n, report)
    if args.check:
        report["identical"] = run_phase(args, "check")
        ok = all(v for k, v in report["identical"].items() if k not in ("peak_rss", "seconds"))
    elif args.prepare_cost:
        report["prepare-cost"] = run_phase(args, "prepare-cost")
        ok = report["prepare-cost"]["identical_files"]
    else:
        ensure_graph(args, args.base_n, report)
        report["embed"] = run_phase(args, "embed")
        report["disk-result"] = du(args.workdir / f"emb-{args.n}.zarr")
        ok = True
    print(json.dumps(report, indent=1))
    if args.json:
        args.json.write_text(json.dumps(report, indent=1) + "\n")
    if not args.keep:
        shutil.rmtree(args.workdir, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
