"""The ``velmar`` command line: ``velmar embed`` and ``velmar demo``.

Progress and timings go to standard error, results to files (embed) or
standard output (demo). Every failure ends with one line
``velmar: error: ...`` and a non-zero exit status, never a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import __version__, _api, _convert, _io
from ._convert import CsrGraph

EXIT_ERROR = 1
EXIT_INTERRUPTED = 130


class _Progress:
    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.started = time.perf_counter()

    def start(self, message: str) -> None:
        self.started = time.perf_counter()
        self.say(message + " ...")

    def done(self, message: str) -> None:
        self.say(f"{message} ({time.perf_counter() - self.started:.2f} s)")

    def say(self, message: str) -> None:
        if not self.quiet:
            print(f"velmar: {message}", file=sys.stderr, flush=True)


def _weights(text: str) -> list[float]:
    try:
        values = [float(part) for part in text.replace(" ", ",").split(",") if part]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected comma-separated numbers such as 0,1,1, got {text!r}"
        ) from None
    if not values:
        raise argparse.ArgumentTypeError("expected at least one weight")
    return values


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(
            f"expected an integer from 0 to 18446744073709551615, got {text!r}"
        )
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmar",
        description="Fast, exactly reproducible node embeddings of large weighted graphs.",
    )
    parser.add_argument("--version", action="version", version=f"velmar {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    embed = commands.add_parser(
        "embed",
        help="embed a graph file and write the embedding as .npy",
        description=(
            "Embed the graph in INPUT: an edge list (source target [weight] per line, "
            "whitespace or commas, '#' and '%%' start comments), a Matrix Market file "
            "(.mtx) or a SciPy sparse matrix (.npz). Writes OUT.npy with one float32 "
            "row per node and, when node IDs are not 0..n-1, OUT.nodes.txt with the "
            "ID of each row, one per line."
        ),
    )
    embed.add_argument("input", metavar="INPUT", help="graph file")
    embed.add_argument("-o", "--output", required=True, metavar="OUT.npy", help="output file")
    embed.add_argument("--dim", type=_positive, default=128, help="embedding dimension (128)")
    embed.add_argument(
        "--weights",
        type=_weights,
        default=list(_api.DEFAULT_WEIGHTS),
        metavar="W0,W1,...",
        help="weight of the projection and of each propagation step (0,1,1); "
        "write --weights=-1,... for a negative first weight",
    )
    embed.add_argument(
        "--seed", type=_seed, default=None, help="seed for bit-identical results (random)"
    )
    embed.add_argument(
        "--directed",
        action="store_true",
        help="use edges as given instead of adding every edge's reverse",
    )
    embed.add_argument("--normalize", choices=["l2"], default=None, help="scale rows to length 1")
    embed.add_argument(
        "--format",
        choices=["auto", "edges", "mtx", "npz"],
        default="auto",
        help="input format (auto: by file name; anything but .mtx and .npz is an edge list)",
    )
    header = embed.add_mutually_exclusive_group()
    header.add_argument(
        "--header",
        dest="header",
        action="store_true",
        default=None,
        help="the edge list's first line is a header",
    )
    header.add_argument(
        "--no-header",
        dest="header",
        action="store_false",
        help="the edge list has no header line (no detection)",
    )
    embed.add_argument("--threads", type=_positive, default=None, help="worker threads (all CPUs)")
    embed.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")

    demo = commands.add_parser(
        "demo",
        help="embed Zachary's karate club and show how well it separates the two factions",
    )
    demo.add_argument("--dim", type=_positive, default=32, help="embedding dimension (32)")
    demo.add_argument("--seed", type=_seed, default=42, help="seed (42)")
    return parser


def _load(args: argparse.Namespace, progress: _Progress) -> CsrGraph:
    path = args.input
    fmt = _io.detect_format(path) if args.format == "auto" else args.format
    if not os.path.exists(path):
        raise _io.GraphFileError(f"{path}: no such file")
    if os.path.isdir(path):
        raise _io.GraphFileError(f"{path}: is a directory")
    if fmt == "mtx":
        progress.start(f"reading Matrix Market file {path}")
        graph = _io.read_matrix_market(path)
        progress.done(f"read {graph.num_nodes:,} nodes, {graph.num_edges:,} stored entries")
        return graph
    if fmt == "npz":
        progress.start(f"reading sparse matrix {path}")
        graph = _io.read_npz(path)
        progress.done(f"read {graph.num_nodes:,} nodes, {graph.num_edges:,} stored entries")
        return graph
    progress.start(f"reading edge list {path}")
    edges = _io.read_edge_list(path, header=args.header)
    if edges.header is not None:
        progress.say(f"skipped header line {edges.header!r}")
    kind = "integer" if edges.sources.dtype.kind in "iu" else "string"
    weighted = "weighted" if edges.weights is not None else "unweighted"
    progress.done(f"read {edges.sources.shape[0]:,} {weighted} edges with {kind} node IDs")
    progress.start("building the graph")
    try:
        graph = _convert.from_edge_columns(edges.sources, edges.targets, edges.weights)
    except (TypeError, ValueError) as e:
        raise _io.GraphFileError(f"{path}: {e}") from None
    progress.done(f"built {graph.num_nodes:,} nodes, {graph.num_edges:,} distinct edges")
    return graph


def _needs_node_file(nodes: npt.NDArray[Any] | None) -> bool:
    if nodes is None:
        return False
    if nodes.dtype.kind not in "iu":
        return True
    return not np.array_equal(nodes, np.arange(nodes.shape[0]))


def _run_embed(args: argparse.Namespace) -> int:
    progress = _Progress(args.quiet)
    out = args.output if args.output.endswith(".npy") else args.output + ".npy"
    out_dir = os.path.dirname(out) or "."
    if not os.path.isdir(out_dir):
        raise _io.GraphFileError(f"{out}: directory {out_dir} does not exist")
    dim, weights, seed, undirected = _api.check_params(
        args.dim, args.weights, args.seed, not args.directed, args.normalize
    )
    if args.threads is not None:
        _api.set_num_threads(args.threads)
    graph = _load(args, progress)
    steps = len(weights) - 1
    mode = (
        "as stored (symmetric)"
        if graph.symmetric
        else ("undirected" if undirected else "directed")
    )
    progress.start(
        f"embedding {graph.num_nodes:,} nodes, dim {dim}, {steps} propagation "
        f"step{'s' if steps != 1 else ''}, {mode}"
    )
    result = _api.embed_csr(
        graph, dim, weights, seed, undirected, args.normalize, progress=not args.quiet
    )
    progress.done("embedded")
    try:
        np.save(out, result)
        progress.say(f"wrote {out} ({result.shape[0]:,} × {result.shape[1]} float32)")
        if _needs_node_file(graph.nodes):
            assert graph.nodes is not None
            nodes_path = out[: -len(".npy")] + ".nodes.txt"
            with open(nodes_path, "w", encoding="utf-8") as f:
                for node in graph.nodes.tolist():
                    f.write(f"{node}\n")
            progress.say(f"wrote {nodes_path} (the node ID of each row)")
    except OSError as e:
        raise _io.GraphFileError(f"{e.filename or out}: {e.strerror or e}") from None
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    from ._demo import run_demo

    run_demo(sys.stdout, dim=args.dim, seed=args.seed)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        if args.command == "embed":
            return _run_embed(args)
        return _run_demo(args)
    except KeyboardInterrupt:
        print("velmar: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (velmar demo | head): stop
        # quietly, and keep the interpreter from failing on the final flush.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except (_io.GraphFileError, MemoryError, ValueError, TypeError, RuntimeError) as e:
        message = " ".join(str(e).split()) or type(e).__name__
        print(f"velmar: error: {message}", file=sys.stderr)
        return EXIT_ERROR
    except Exception as e:
        print(f"velmar: error: unexpected {type(e).__name__}: {e}", file=sys.stderr)
        return EXIT_ERROR
    except BaseException as e:  # the engine's internal-fault exception
        if isinstance(e, (SystemExit, GeneratorExit)):
            raise
        print(f"velmar: error: internal error in the engine: {e}", file=sys.stderr)
        return EXIT_ERROR
