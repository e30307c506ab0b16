"""velmar.embed's step per block width and segment size, in one process.

    python bench/widths.py 1000000 128 7 32:off 64:off 128:off 64:65536
    THREADS=1 python bench/widths.py 250000 128 7 64:off 64:65536

Arguments: n, dim, rounds, then variants BLOCK:SEGMENTS (SEGMENTS: "off",
"auto" for the engine's choice, or rows per segment, set through
VELMAR_SEGMENT_ROWS for each call). The Chung-Lu graph of graphgen.py (degree
16) is built once through velmar._engine; each round times every variant in
turn, after one warm-up call each. A step is (T(weights [1] * 5) - T([1])) / 4
with the result array reused. Besides wall time it prints the process's CPU
time per worker thread, which time slicing by other processes does not
inflate: on a shared machine it is the steadier figure.
"""

from __future__ import annotations

import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import graphgen  # noqa: E402
import numpy as np  # noqa: E402

from velmar import _engine  # noqa: E402


def main(argv: list[str]) -> int:
    n, dim, rounds = int(argv[0]), int(argv[1]), int(argv[2])
    variants = argv[3:]
    threads = int(os.environ.get("THREADS", "2"))
    _engine.set_num_threads(threads)
    directed, _ = graphgen.ensure_graphs(n, 16.0, 1)
    g = graphgen.load_csr(directed)
    built = _engine.build_graph(g.row_ptrs, g.col_indices, g.values, n, True)
    out = np.empty((n, dim), np.float32)

    def run(variant: str, weights: list[float]) -> np.ndarray:
        block, segments = variant.split(":")
        if segments == "auto":
            os.environ.pop("VELMAR_SEGMENT_ROWS", None)
        else:
            os.environ["VELMAR_SEGMENT_ROWS"] = segments
        wall, cpu = time.perf_counter(), time.process_time()
        _engine.embed(built, _engine.settings(dim, weights, 7), None, int(block), out)
        return np.array([time.perf_counter() - wall, time.process_time() - cpu])

    five, one = [1.0] * 5, [1.0]
    for variant in variants:
        run(variant, five)
    steps: dict[str, list[np.ndarray]] = {variant: [] for variant in variants}
    for _ in range(rounds):
        for variant in variants:
            steps[variant].append((run(variant, five) - run(variant, one)) / 4)
    for variant in variants:
        wall = [s[0] for s in steps[variant]]
        cpu = [s[1] / threads for s in steps[variant]]
        print(
            f"{variant:>14}: step min {min(wall):.3f} med {statistics.median(wall):.3f} s; "
            f"cpu/threads min {min(cpu):.3f} med {statistics.median(cpu):.3f}",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
