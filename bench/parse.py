"""Reading an edge list: `velmar embed FILE` against pandas' Arrow CSV
reader with velmar.embed on the DataFrame, side by side.

    python bench/parse.py                 # 1.8e6 weighted edges, 3e5 string IDs (61 MB)
    python bench/parse.py --rounds 5 --dim 128
    python bench/parse.py --interrupt     # Ctrl-C latency of `velmar prepare --stream`

The file is generated once with a fixed seed (Chung-Lu endpoints, IDs of six
characters, weights as Python writes floats) and cached under
VELMAR_BENCH_CACHE (default /tmp/velmar_bench). Each round runs, in fresh
processes and in alternating order, the command `velmar embed FILE -o
OUT.npy --dim D -q` (its wall time, interpreter start and imports included)
and the pair `pandas.read_csv(FILE, sep="\\t", engine="pyarrow")` +
`velmar.embed(frame, D)` (timed inside its process, after the imports); a
warm-up round of each comes first. Reported: the minimum and median of each
and the ratio of the command's to the pair's, with the peak RSS of each
process and the load average before and after.

--interrupt prepares the same file with `velmar prepare --stream`, sends
SIGINT after each of a few delays, and reports how long the process took to
exit after it, its exit status and what it wrote to standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

CACHE = Path(os.environ.get("VELMAR_BENCH_CACHE", "/tmp/velmar_bench"))

PAIR = r"""
import json, sys, time
import pandas as pd
import velmar
path, dim = sys.argv[1], int(sys.argv[2])
t0 = time.perf_counter()
frame = pd.read_csv(path, sep="\t", engine="pyarrow")
t1 = time.perf_counter()
velmar.embed(frame, dim, method="projection")
t2 = time.perf_counter()
print(json.dumps({"read": t1 - t0, "embed": t2 - t1}))
"""


def edge_file(edges: int, nodes: int, seed: int) -> Path:
    """A tab-separated edge list with a header line: source, target, weight."""
    path = CACHE / f"parse-{edges}-{nodes}-{seed}.tsv"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    # Endpoint ranks with P(rank near x) ~ (x + 1) ** -(2/3) (gamma 2.5),
    # then IDs shuffled so that hubs are scattered.
    alpha = 1 / 1.5
    top = (nodes + 1.0) ** (1 - alpha) - 1.0

    def draw() -> np.ndarray:
        x = (1.0 + rng.random(edges) * top) ** (1.0 / (1 - alpha)) - 1.0
        return np.minimum(x.astype(np.int64), nodes - 1)

    names = np.array([f"n{k:05x}" for k in range(nodes)])[rng.permutation(nodes)]
    s, t, w = names[draw()], names[draw()], rng.random(edges)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("source\ttarget\tweight\n")
        f.writelines(f"{a}\t{b}\t{c!r}\n" for a, b, c in zip(s.tolist(), t.tolist(), w.tolist()))
    os.replace(tmp, path)
    return path


def run(argv: list[str]) -> tuple[float, int, str, int]:
    """Wall time, peak RSS (bytes), standard output and exit status of a
    child process."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err)
        assert child.stdout is not None
        out = child.stdout.read().decode()
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = code = os.waitstatus_to_exitcode(status)
        if code != 0:
            err.seek(0)
            raise RuntimeError(f"{argv[:4]} failed: {err.read().decode()}")
    return wall, usage.ru_maxrss * 1024, out, code


def command(path: Path, dim: int, out: str) -> tuple[float, int]:
    wall, peak, _, _ = run(
        [
            sys.executable,
            "-m",
            "velmar",
            "embed",
            str(path),
            "-o",
            out,
            "--dim",
            str(dim),
            "-q",
            "--method",
            "projection",
        ]
    )
    return wall, peak


def pair(path: Path, dim: int) -> tuple[float, float, float, int]:
    wall, peak, out, _ = run([sys.executable, "-c", PAIR, str(path), str(dim)])
    times = json.loads(out)
    return times["read"], times["embed"], wall, peak


def measure(args: argparse.Namespace) -> None:
    path = edge_file(args.edges, args.nodes, args.seed)
    size = path.stat().st_size
    print(f"file {path} ({size / 1e6:.0f} MB, {args.edges:,} edges, {args.nodes:,} nodes)")
    print(f"load average before: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    results: dict[str, list[float]] = {k: [] for k in ("command", "pair", "read", "embed")}
    peaks: dict[str, int] = {"command": 0, "pair": 0}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "x.npy")
        for r in range(args.rounds + 1):
            order = ("command", "pair") if r % 2 == 0 else ("pair", "command")
            for which in order:
                if which == "command":
                    wall, peak = command(path, args.dim, out)
                    if r:
                        results["command"].append(wall)
                else:
                    read, embed, wall, peak = pair(path, args.dim)
                    if r:
                        results["pair"].append(read + embed)
                        results["read"].append(read)
                        results["embed"].append(embed)
                peaks[which] = max(peaks[which], peak)
            if r:
                print(
                    f"round {r}: command {results['command'][-1]:.2f} s, pair "
                    f"{results['read'][-1]:.2f} + {results['embed'][-1]:.2f} s",
                    flush=True,
                )
    print(f"load average after: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    for key in ("command", "read", "embed", "pair"):
        v = results[key]
        print(f"{key:8s} min {min(v):.2f} s  median {statistics.median(v):.2f} s")
    c, p = results["command"], results["pair"]
    print(
        f"command / pair: {min(c) / min(p):.2f} (minimums), "
        f"{statistics.median(c) / statistics.median(p):.2f} (medians)"
    )
    print(
        f"peak RSS: command {peaks['command'] / 1e9:.2f} GB, "
        f"pair {peaks['pair'] / 1e9:.2f} GB (its whole process)"
    )


def interrupt(args: argparse.Namespace) -> None:
    path = edge_file(args.edges, args.nodes, args.seed)
    print(f"load average before: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    with tempfile.TemporaryDirectory() as tmp:
        for delay in args.delays:
            out = os.path.join(tmp, f"g{delay}")
            child = subprocess.Popen(
                [sys.executable, "-m", "velmar", "prepare", str(path), "-o", out, "--stream"],
                stderr=subprocess.PIPE,
                text=True,
            )
            time.sleep(delay)
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            _, err = child.communicate()
            took = time.perf_counter() - sent
            lines = err.strip().splitlines()
            print(
                f"SIGINT after {delay:.1f} s: exit {child.returncode} after {took:.3f} s; "
                f"last line {lines[-1] if lines else ''!r}"
            )
    print(f"load average after: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--edges", type=int, default=1_800_000)
    parser.add_argument("--nodes", type=int, default=300_000)
    parser.add_argument("--seed", type=int, default=20)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--interrupt", action="store_true")
    parser.add_argument("--delays", type=float, nargs="+", default=[0.5, 1.0, 2.0, 3.0])
    args = parser.parse_args()
    if args.interrupt:
        interrupt(args)
    else:
        measure(args)


if __name__ == "__main__":
    main()
