"""What verifying a prepared graph and a result on disk costs, against one
propagation step, in one process.

    python bench/verify.py                  # n = 1,000,000, degree 16, dim 128
    python bench/verify.py --small          # n = 20,000 (seconds; CI smoke)

Prepares the Chung-Lu graph of bench/graphgen.py once (cached beside the
generated graph), then measures, as medians of interleaved rounds after a
warm-up (so the files are in the page cache, as they are for every open but
the first after a reboot):
- open_graph as it is (header, each file's size, the CRC32C of the arrays the
  engine reads, the engine's structure check) and its parts: the structure
  check alone, the checksums of the arrays verified on open, the checksums of
  the values (verified when first read);
- one propagation step at dim 128, as bench/run.py measures it: a run with
  nine weights minus a run with one, over eight, all columns in one block,
  on the opened graph;
- a run to disk at dim 128 in blocks of 32 columns (.npy): signing a block
  (its checksums, as it is marked complete), verifying one finished block and
  all four (what a rerun and open_result do), against computing a block.
Prints the table of docs/reliability.md and writes --json when given.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen  # noqa: E402
import numpy as np  # noqa: E402

import velmar  # noqa: E402
from velmar import _engine, _results, _store  # noqa: E402
from velmar._run import Run  # noqa: E402


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def interleaved(rounds: int, calls: dict) -> dict:
    """Median and minimum seconds of each call over `rounds` rounds that
    take every call in turn, after one untimed call of each."""
    for call in calls.values():
        call()
    times: dict = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {name: (statistics.median(t), min(t)) for name, t in times.items()}


def prepared(n: int, degree: float) -> str:
    directed, _ = graphgen.ensure_graphs(n, degree, 1)
    path = directed.parent / f"prepared_v{_store.FORMAT_VERSION}"
    if not (path / _store.HEADER).exists():
        g = graphgen.load_csr(directed)
        import scipy.sparse as sp  # noqa: PLC0415

        a = sp.csr_matrix((g.values, g.col_indices, g.row_ptrs), shape=(n, n))
        velmar.prepare(a, path, overwrite=True)
    return str(path)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--small", action="store_true")
    p.add_argument("--n", type=int)
    p.add_argument("--degree", type=float, default=16.0)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--workdir", type=Path, default=Path("/tmp/velmar_bench_verify"))
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)
    n = args.n or (20_000 if args.small else 1_000_000)
    velmar.set_num_threads(args.threads)
    path = prepared(n, args.degree)
    graph = velmar.open_graph(path)
    header = graph.header
    chunk = header["checksum"]["chunk_bytes"]
    mapped = {
        name: _store._map_array(path, name, header["arrays"][name]) for name in header["arrays"]
    }
    on_open = [mapped[name] for name in _store.VERIFIED_ON_OPEN if name in mapped]
    dim = args.dim
    out = np.empty((n, dim), np.float32)

    def run(weights):
        settings = _engine.settings(dim, weights, 7)
        return lambda: _engine.embed(graph.engine, settings, None, dim, out)

    calls = {
        "open_graph": lambda: velmar.open_graph(path),
        "structure check": lambda: _engine.open_graph(
            mapped["indptr"], mapped["indices"], mapped["scales"], n
        ),
        "checksums, arrays verified on open": lambda: [
            _engine.checksums(a, chunk) for a in on_open
        ],
        "checksums, values": lambda: _engine.checksums(mapped["values"], chunk),
        "weights x9": run([0.0] * 9),
        "weights x1": run([0.0]),
    }
    load = os.getloadavg()[0]
    t = interleaved(args.rounds, calls)
    step = (
        (t["weights x9"][0] - t["weights x1"][0]) / 8,
        (t["weights x9"][1] - t["weights x1"][1]) / 8,
    )

    # A finished result on disk: verifying a block against computing it.
    args.workdir.mkdir(parents=True, exist_ok=True)
    result = str(args.workdir / "emb.npy")
    for suffix in ("", ".run.json", ".lock"):
        if os.path.exists(result + suffix):
            os.remove(result + suffix)
    block = min(32, dim)
    velmar.embed(graph, dim, seed=7, out=result, block_columns=block)
    run_record = Run(dim, (0.0, 1.0, 1.0, 1.0), 7, False).bind(n)
    blocks = _results.column_blocks(dim, block)

    computed = _results.compute_block(graph, 0, block, run_record)
    rows = json.loads(Path(result + ".run.json").read_text())["run"]["checksum_rows"]

    def verify(which):
        output = _results.NpyOutput(result, None)
        output.use_seed(7)
        assert output.verify(which) == []

    disk = interleaved(
        args.rounds,
        {
            "verify one block": lambda: verify(blocks[:1]),
            "verify every block": lambda: verify(blocks),
            "compute one block": lambda: _results.compute_block(graph, 0, block, run_record),
            "sign one block": lambda: _results._chunk_checksums(computed, rows),
        },
    )

    report = {
        "n": n,
        "num_entries": graph.num_entries,
        "dim": dim,
        "threads": args.threads,
        "crc32c": _engine.CRC32C,
        "load_average": load,
        "bytes_verified_on_open": int(sum(a.nbytes for a in on_open)),
        "bytes_values": int(mapped["values"].nbytes),
        "step_s": step,
        **{f"{name}_s": value for name, value in t.items()},
        **{f"{name}_s": value for name, value in disk.items()},
    }
    on_open_s = t["checksums, arrays verified on open"][0]
    gbs = report["bytes_verified_on_open"] / on_open_s / 1e9
    print(
        f"n = {n:,}, {graph.num_entries:,} stored entries, dim {dim}, {args.threads} threads, "
        f"CRC32C: {_engine.CRC32C}, load average {load:.1f}; medians (minimums) of "
        f"{args.rounds} interleaved rounds"
    )
    rows = [
        (f"one propagation step (dim {dim})", step),
        ("open_graph, all of it", t["open_graph"]),
        ("  structure check (before this change too)", t["structure check"]),
        (
            f"  checksums of {report['bytes_verified_on_open'] / 2**20:,.0f} MiB verified on "
            f"open ({gbs:.1f} GB/s)",
            t["checksums, arrays verified on open"],
        ),
        (
            f"checksums of the values, {report['bytes_values'] / 2**20:,.0f} MiB (when first read)",
            t["checksums, values"],
        ),
        (f"verify one finished {block}-column block of a .npy result", disk["verify one block"]),
        (
            f"verify all {len(blocks)} blocks (open_result, a finished rerun)",
            disk["verify every block"],
        ),
        (f"sign one {block}-column block (checksums of it in memory)", disk["sign one block"]),
        (f"compute one {block}-column block", disk["compute one block"]),
    ]
    for label, (med, low) in rows:
        print(f"  {label:<64} {med:8.4f} s ({low:.4f})  {med / step[0]:6.1%} of a step")
    if args.json:
        args.json.write_text(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
