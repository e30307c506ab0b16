"""Peak memory of velmar.embed on edge lists with string IDs, against a
baseline version of the package.

    python bench/conversion_memory.py                       # this checkout only
    python bench/conversion_memory.py --baseline REV        # and a git revision
    python bench/conversion_memory.py --n 100000 --m 1000000 --dim 16
    python bench/conversion_memory.py --baseline REV --time   # conversion time

Each (version, input form) runs in a fresh process, alternating versions, so
that each peak is that process's own: the input is built and touched first,
the kernel's peak-RSS mark is reset (/proc/self/clear_refs), then one
embedding runs. Reported: the peak above the input, the memory guard's
largest figure (what it compared with the available memory, this checkout
only), estimate_memory(n, m, dim), the embedding's wall time, and the
ratios of the two versions' peaks and times. With --time, both versions'
conversions run interleaved in one process instead, and the medians of
their times are compared.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MIB = 1 << 20
FORMS = (
    "list-columns",
    "list-rows",
    "numpy-str",
    "numpy-object",
    "dataframe",
    "dataframe-string",
    "numpy-int64",
)

CHILD = r"""
import gc, json, sys, time
import numpy as np

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

form, n, m, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
import pandas as pd
import velmar
from velmar import _memory

rng = np.random.default_rng(0)
names = np.array([f"user-{i:07d}" for i in rng.permutation(n)], dtype=object)
s, t = names[rng.integers(0, n, m)], names[rng.integers(0, n, m)]
graph = {
    "list-columns": lambda: (s.tolist(), t.tolist()),
    "list-rows": lambda: list(zip(s.tolist(), t.tolist())),
    "numpy-str": lambda: (s.astype(str), t.astype(str)),
    "numpy-object": lambda: (s.copy(), t.copy()),
    "numpy-int64": lambda: (rng.permutation(n)[rng.integers(0, n, m)] * 1000,
                            rng.permutation(n)[rng.integers(0, n, m)] * 1000),
    "dataframe": lambda: pd.DataFrame({"source": s, "target": t}),
    "dataframe-string": lambda: pd.DataFrame(
        {"source": pd.array(s, dtype="string"), "target": pd.array(t, dtype="string")}
    ),
}[form]()
del s, t, names

guarded = [0]
try:
    from velmar import _plan as planner  # the guard's figure, recorded
    figure = planner.conversion_bytes
except ImportError:  # a baseline whose guard lived in _memory
    planner, figure = _memory, None
make_guard = getattr(planner, "conversion_guard", None)
if make_guard is not None:  # record the largest figure the guard compares
    def recording(*args):
        inner = make_guard(*args)
        def guard(nodes, edges, working):
            needed = (figure(args[0], nodes, edges, working) if figure is not None
                      else _memory.conversion_bytes(nodes, edges, working, *args[:2]))
            guarded[0] = max(guarded[0], needed)
            inner(nodes, edges, working)
        return guard
    planner.conversion_guard = recording

velmar.embed(([0, 1], [1, 2]), dim=4, seed=1, method="projection")  # warm up: import, threads
gc.collect()
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
started = time.perf_counter()
velmar.embed(graph, dim=dim, seed=1, method="projection")
seconds = time.perf_counter() - started
peak = status("VmHWM") - before
estimate = velmar.estimate_memory(n, m, dim, method="projection")
print(json.dumps({"peak": peak, "guard": guarded[0], "estimate": estimate, "seconds": seconds}))
"""


TIMING = r"""
import json, statistics, sys, time
import numpy as np
import pandas as pd
import velmar._convert as now
import velmar_base._convert as base

n, m, reps = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(0)
names = np.array([f"user-{i:07d}" for i in rng.permutation(n)], dtype=object)
s, t = names[rng.integers(0, n, m)], names[rng.integers(0, n, m)]
ints = [rng.permutation(n)[rng.integers(0, n, m)] * 1000 for _ in range(2)]
graphs = {
    "list-columns": lambda: (s.tolist(), t.tolist()),
    "numpy-int64": lambda: tuple(ints),
    "numpy-str": lambda: (s.astype(str), t.astype(str)),
    "dataframe": lambda: pd.DataFrame({"source": s, "target": t}),
    "dataframe-string": lambda: pd.DataFrame(
        {"source": pd.array(s, dtype="string"), "target": pd.array(t, dtype="string")}
    ),
}
out = {}
for form in sys.argv[4].split(","):
    graph = graphs[form]()
    times = {"now": [], "base": []}
    for _ in range(reps):  # interleaved, first round is the warm-up
        for name, module in (("now", now), ("base", base)):
            convert = getattr(module, "to_entries", None) or module.to_csr_graph
            started = time.perf_counter()
            convert(graph)
            times[name].append(time.perf_counter() - started)
    out[form] = {k: statistics.median(v[1:]) for k, v in times.items()}
print(json.dumps(out))
"""


def baseline_tree(rev: str, into: Path, name: str = "velmar") -> Path:
    """The package at ``rev``, extracted beside this checkout's extension."""
    pkg = into / name
    pkg.mkdir(parents=True)
    names = subprocess.run(
        ["git", "-C", str(ROOT), "ls-tree", "--name-only", rev, "python/velmar/"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    for name in names:
        blob = subprocess.run(
            ["git", "-C", str(ROOT), "show", f"{rev}:{name}"], check=True, capture_output=True
        ).stdout
        (pkg / Path(name).name).write_bytes(blob)
    # The installed package's compiled engine module, which the sources import.
    import velmar._engine  # noqa: PLC0415

    engine = Path(velmar._engine.__file__)
    shutil.copy(engine, pkg / engine.name)
    return into


def measure(pythonpath: str | None, form: str, args: argparse.Namespace) -> dict:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    done = subprocess.run(
        [sys.executable, "-c", CHILD, form, str(args.n), str(args.m), str(args.dim)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return json.loads(done.stdout)


def time_conversion(args: argparse.Namespace) -> int:
    forms = "list-columns,numpy-int64,numpy-str,dataframe,dataframe-string"
    with tempfile.TemporaryDirectory() as tmp:
        baseline_tree(args.baseline, Path(tmp), "velmar_base")
        env = dict(os.environ, PYTHONPATH=tmp)  # "now" is the installed package
        done = subprocess.run(
            [sys.executable, "-c", TIMING, str(args.n), str(args.m), str(args.reps), forms],
            capture_output=True,
            text=True,
            env=env,
            check=True,
        )
    print(f"n = {args.n:,}, m = {args.m:,}: conversion to CSR, median seconds")
    print(f"{'form':18} {'now':>7} {'baseline':>8} {'now/base':>8}")
    for form, t in json.loads(done.stdout).items():
        print(f"{form:18} {t['now']:7.2f} {t['base']:8.2f} {t['now'] / t['base']:8.2f}")
    return 0


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--m", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=16)
    p.add_argument("--baseline", metavar="REV", help="git revision to compare with")
    p.add_argument("--forms", default=",".join(FORMS))
    p.add_argument(
        "--time",
        action="store_true",
        help="instead: conversion time of both versions side by side in one process",
    )
    p.add_argument("--reps", type=int, default=4, help="rounds with --time (first is warm-up)")
    args = p.parse_args()
    if args.time:
        if not args.baseline:
            p.error("--time needs --baseline")
        return time_conversion(args)
    with tempfile.TemporaryDirectory() as tmp:
        base = str(baseline_tree(args.baseline, Path(tmp))) if args.baseline else None
        here = None  # the installed package (this checkout, installed)
        print(f"n = {args.n:,}, m = {args.m:,}, dim = {args.dim}; MiB above the input, seconds")
        head = f"{'form':18} {'now':>7} {'guard':>7} {'estimate':>8} {'s':>6}"
        if base:
            head += f" {'baseline':>8} {'s':>6} {'peak now/base':>13} {'time':>6}"
        print(head)
        for form in args.forms.split(","):
            now = measure(here, form, args)
            line = (
                f"{form:18} {now['peak'] / MIB:7.0f} {now['guard'] / MIB:7.0f} "
                f"{now['estimate'] / MIB:8.0f} {now['seconds']:6.2f}"
            )
            if base:
                old = measure(base, form, args)
                line += (
                    f" {old['peak'] / MIB:8.0f} {old['seconds']:6.2f}"
                    f" {now['peak'] / old['peak']:13.2f} {now['seconds'] / old['seconds']:6.2f}"
                )
            print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
