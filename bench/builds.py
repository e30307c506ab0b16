"""Two builds of velmar side by side in one process: time ratios and bits.

    python -m pip install --no-deps --target /tmp/base git+file://$PWD@main  # any two
    python -m pip install --no-deps --target /tmp/head .                      # builds
    python bench/builds.py --baseline /tmp/base --candidate /tmp/head
    python bench/builds.py ... --n 34,209,2708 --degree 4,50,4 --method projection

Each build is a directory that ``pip install --target`` wrote. Both packages
are imported into this process, each keeping its own extension module, and
the calls alternate (which build goes first alternates too), so load from
other jobs falls on both. Graphs are the seeded Chung-Lu graphs of
graphgen.py, made symmetric. Per graph: warm-up calls of both builds, then
``--calls`` timed calls of each; the table gives the medians and the
candidate's time as a multiple of the baseline's, and says whether the two
builds returned the same bits (a change meant to keep them must); the exit
status is 1 when they did not.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import scipy.sparse as sp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphgen


def import_build(directory: Path) -> tuple[ModuleType, dict[str, ModuleType]]:
    """The velmar package installed in `directory`, and its modules.

    Whatever velmar this process has imported before is set aside first, so
    that the package and its extension modules are loaded from `directory`.
    """
    for name in [k for k in sys.modules if k == "velmar" or k.startswith("velmar.")]:
        del sys.modules[name]
    sys.path.insert(0, str(directory))
    try:
        import velmar
    finally:
        sys.path.remove(str(directory))
    if not Path(velmar.__file__).resolve().is_relative_to(directory.resolve()):
        raise SystemExit(f"{directory} holds no velmar package (found {velmar.__file__})")
    modules = {k: v for k, v in sys.modules.items() if k == "velmar" or k.startswith("velmar.")}
    return velmar, modules


def graph(n: int, degree: float) -> sp.csr_matrix:
    g = graphgen.power_law_graph(n, degree, seed=1)
    a = sp.csr_matrix((g.values, g.col_indices, g.row_ptrs), shape=(n, n))
    return (a + a.T).tocsr()


def compare(
    builds: dict[str, tuple[ModuleType, dict[str, ModuleType]]],
    a: sp.csr_matrix,
    kwargs: dict[str, Any],
    calls: int,
    warmup: int = 3,
) -> tuple[dict[str, float], bool]:
    times: dict[str, list[float]] = {name: [] for name in builds}
    outputs: dict[str, np.ndarray] = {}
    order = list(builds)
    for i in range(warmup + calls):
        for name in order if i % 2 == 0 else order[::-1]:
            package, modules = builds[name]
            # Imports made inside a call find this build's modules.
            sys.modules.update(modules)
            t0 = time.perf_counter()
            out = package.embed(a, **kwargs)
            if i >= warmup:
                times[name].append(time.perf_counter() - t0)
            outputs[name] = out
            del out
    first, second = (outputs[name] for name in order)
    same = first.shape == second.shape and first.tobytes() == second.tobytes()
    return {name: statistics.median(t) for name, t in times.items()}, same


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--baseline", type=Path, required=True, help="a pip --target directory")
    p.add_argument("--candidate", type=Path, required=True, help="a pip --target directory")
    p.add_argument("--n", default="34,209,2708", help="comma-separated node counts")
    p.add_argument(
        "--degree", default="4,50,4", help="mean degree of each graph (one, or one per --n)"
    )
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--method", default="spectral", help="velmar.embed's method")
    p.add_argument("--calls", type=int, default=21, help="timed calls of each build per graph")
    args = p.parse_args(argv)
    sizes = [int(v) for v in args.n.split(",")]
    degrees = [float(v) for v in args.degree.split(",")]
    if len(degrees) == 1:
        degrees *= len(sizes)
    if len(degrees) != len(sizes):
        p.error("--degree takes one value or one per --n")
    builds = {
        "baseline": import_build(args.baseline),
        "candidate": import_build(args.candidate),
    }
    kwargs = {"dim": args.dim, "seed": 1, "method": args.method}
    print(f"baseline {args.baseline}, candidate {args.candidate}; {kwargs}")
    print(
        "\n| n | stored entries | baseline ms | candidate ms | candidate / baseline | same bits |"
    )
    print("|---:|---:|---:|---:|---:|---|")
    all_same = True
    for n, degree in zip(sizes, degrees):
        a = graph(n, degree)
        t, same = compare(builds, a, kwargs, args.calls)
        all_same &= same
        print(
            f"| {n:,} | {a.nnz:,} | {t['baseline'] * 1e3:.2f} | {t['candidate'] * 1e3:.2f} | "
            f"{t['candidate'] / t['baseline']:.2f} | {'yes' if same else 'no'} |"
        )
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
