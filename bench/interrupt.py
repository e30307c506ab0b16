"""Delay of a Ctrl-C while velmar.embed converts its input and the engine
builds the graph.

    python bench/interrupt.py                        # n = 2·10^6, m = 2·10^7
    python bench/interrupt.py --n 200000 --m 2000000 --signals 6
    python bench/interrupt.py --forms columns,coo --whole

For each input form the conversion and build (velmar's to_graph, all that
embed does before the run) is timed once without a signal, which also warms
up. Then it runs again, once per signal, and another process sends a real
SIGINT at evenly spread moments of that time; the delay is from the signal
to the KeyboardInterrupt reaching this process's code. The sender is a
process of its own, so the moment does not depend on this one releasing the
GIL. When a delay exceeds --slow seconds, the innermost velmar frame of the
main thread at the signal is reported (faulthandler's watchdog thread, which
needs no GIL, dumps the stacks).

--whole converts long columns with one NumPy or pandas call each, as velmar
did before it worked in pieces (the engine's cancellation checks stay): the
delay the pieces remove. Memory: about 100 bytes per edge for the string
forms, 50 for the others, at most one form at a time.
"""

from __future__ import annotations

import argparse
import faulthandler
import gc
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import velmar
from velmar import _convert

FORMS = ("columns", "sparse-columns", "string-columns", "dataframe-string", "coo", "csr", "csc")

# Sleeps until a CLOCK_MONOTONIC deadline (the clock every process shares),
# sends SIGINT to the given process and prints the moment it did.
SENDER = r"""
import os, signal, sys, time
deadline, pid = float(sys.argv[1]), int(sys.argv[2])
while (left := deadline - time.clock_gettime(time.CLOCK_MONOTONIC)) > 0:
    time.sleep(min(left, 0.01))
os.kill(pid, signal.SIGINT)
print(time.clock_gettime(time.CLOCK_MONOTONIC), flush=True)
"""


def now() -> float:
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def make(form: str, n: int, m: int) -> object:
    rng = np.random.default_rng(1)
    s, t = rng.integers(0, n, m), rng.integers(0, n, m)
    if form == "columns":
        return s, t
    if form == "sparse-columns":  # IDs spread over a range far wider than their number
        ids = rng.permutation(n) * 1000 + 7
        return ids[s], ids[t]
    if form in ("string-columns", "dataframe-string"):
        names = np.array([f"user-{i:07d}" for i in range(n)], dtype=object)
        if form == "string-columns":
            return names[s], names[t]
        import pandas as pd  # noqa: PLC0415 (only this form needs it)

        return pd.DataFrame(
            {
                "source": pd.array(names[s], dtype="string"),
                "target": pd.array(names[t], dtype="string"),
            }
        )
    import scipy.sparse as sp  # noqa: PLC0415 (only the matrix forms need it)

    coo = sp.coo_array((np.ones(m), (s, t)), shape=(n, n))
    return {"coo": coo, "csr": coo.tocsr(), "csc": coo.tocsc()}[form]


def where(dump: str) -> str:
    """The innermost velmar frame of the main thread in a faulthandler dump."""
    main = dump.split("Current thread")[-1] if "Current thread" in dump else dump
    frames = re.findall(r'File "([^"]+)", line (\d+) in (\S+)', main)
    for path, line, func in frames:
        if "velmar" in path:
            return f"{os.path.basename(path)}:{line} {func}"
    return frames[0][2] if frames else "?"


def interrupted(graph: object, after: float, slow: float) -> tuple[float | None, str]:
    """(delay, where) of one conversion with a SIGINT `after` seconds in;
    delay None when it finished first."""
    deadline = now() + 0.2 + after  # the sender takes a moment to start
    sender = subprocess.Popen(
        [sys.executable, "-c", SENDER, repr(deadline), str(os.getpid())],
        stdout=subprocess.PIPE,
        text=True,
    )
    dump = tempfile.TemporaryFile("w+")
    faulthandler.dump_traceback_later(max(deadline - now(), 0.0) + slow, file=dump)
    while now() < deadline - after:
        time.sleep(0.001)
    caught = None
    try:
        _convert.to_graph(graph, undirected=True)
        # Finished first: the signal still to come must not end this wait.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except KeyboardInterrupt:
        caught = now()
    finally:
        faulthandler.cancel_dump_traceback_later()
    sent = float(sender.communicate()[0])
    signal.signal(signal.SIGINT, signal.default_int_handler)
    gc.collect()
    if caught is None:
        return None, ""
    dump.seek(0)
    delay = caught - sent
    return delay, where(dump.read()) if delay > slow else ""


def run_form(form: str, args: argparse.Namespace) -> None:
    graph = make(form, args.n, args.m)
    started = now()
    _convert.to_graph(graph, undirected=True)
    total = now() - started
    gc.collect()
    delays: list[float] = []
    slow: list[str] = []
    for k in range(args.signals):
        after = total * (0.03 + 0.9 * k / max(args.signals - 1, 1))
        delay, at = interrupted(graph, after, args.slow)
        if delay is None:
            continue
        delays.append(delay)
        if at:
            slow.append(f"{delay:.2f} s at {after:.2f} s in {at}")
    if delays:
        line = (
            f"{form:17} {total:7.2f} {len(delays):4d} {statistics.median(delays):8.3f} "
            f"{max(delays):7.3f}"
        )
    else:
        line = f"{form:17} {total:7.2f}    0"
    print(line, flush=True)
    for text in slow:
        print(f"{'':17}   slow: {text}", flush=True)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=2_000_000)
    p.add_argument("--m", type=int, default=20_000_000)
    p.add_argument("--signals", type=int, default=10, help="signals per form")
    p.add_argument("--forms", default=",".join(FORMS))
    p.add_argument("--slow", type=float, default=0.3, help="report where delays above this are")
    p.add_argument("--whole", action="store_true", help="one call per long column (see above)")
    args = p.parse_args()
    if args.whole:
        _convert._SORT_PIECE = _convert._PIECE = 1 << 62
    velmar.embed(([0, 1], [1, 2]), 4, seed=1)  # imports, the worker pool
    print(
        f"n = {args.n:,}, m = {args.m:,}, {velmar._engine.get_num_threads()} threads, "
        f"{'whole columns' if args.whole else 'in pieces'}; load average "
        f"{os.getloadavg()[0]:.1f}"
    )
    print(f"{'form':17} {'convert':>7} {'sigs':>4} {'median s':>8} {'max s':>7}")
    for form in args.forms.split(","):
        run_form(form, args)
    print(f"load average at the end {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
