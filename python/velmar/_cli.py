"""The ``velmar`` command line: ``velmar embed``, ``velmar prepare`` and
``velmar demo``.

Progress and timings go to standard error, results to files (embed) or
standard output (demo). Every failure ends with one line
``velmar: error: ...`` and a non-zero exit status, never a traceback.
"""

from __future__ import annotations

import argparse
import importlib
import os
import re
import sys
import time
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _api, _graph, _io, _plan, _prepared, _results
from ._checks import finite_in_float32, parse_bytes
from ._demo import run_demo
from ._graph import Entries
from ._run import DEFAULT_WEIGHTS, Run
from ._version import __version__

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
    if not finite_in_float32(values):
        raise argparse.ArgumentTypeError(
            f"expected finite numbers of at most about 3.4e38 in magnitude, got {text!r}"
        )
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


def _bytes(text: str) -> int:
    try:
        return parse_bytes(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a number of bytes, or a size such as 4GB or 512MiB, got {text!r}"
        ) from None


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _strength(text: str) -> float | str:
    """--normalization-strength: a finite number, or auto."""
    return "auto" if text == "auto" else _finite(text)


def _load_features(path: str | None) -> Any:
    """The --features file: a .npy array (memory-mapped) or a SciPy .npz."""
    if path is None:
        return None
    if not os.path.exists(path):
        raise _io.GraphFileError(f"{path}: no such file")
    try:
        if path.endswith(".npz"):
            return importlib.import_module("scipy.sparse").load_npz(path)
        return np.load(path, mmap_mode="r", allow_pickle=False)
    except ImportError:
        raise _io.GraphFileError(f"{path}: reading .npz features needs SciPy") from None
    except (OSError, ValueError) as e:
        raise _io.GraphFileError(f"{path}: not a .npy array or a SciPy .npz matrix ({e})") from None


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The quality options as velmar.embed's keyword arguments."""
    return {
        "normalization_strength": args.normalization_strength,
        "step_normalize": args.step_normalize or False,
        "step_center": args.step_center,
        "features": _load_features(args.features),
        "feature_dim": args.feature_dim,
    }


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
        default=DEFAULT_WEIGHTS,
        metavar="W0,W1,...",
        help="weight of the projection and of each propagation step (0,1,1); "
        "write --weights=-1,... for a negative first weight",
    )
    embed.add_argument(
        "--seed", type=_seed, default=None, help="seed for bit-identical results (random)"
    )
    embed.add_argument(
        "--method",
        choices=["spectral", "projection"],
        default=None,
        help="spectral: the default for an input file (an undirected graph with "
        "non-negative weights, in memory); projection: the default for a prepared "
        "graph, written block by block, and with --weights, "
        "--normalization-strength, --step-normalize, --step-center or --features, which only it takes",
    )
    embed.add_argument(
        "--directed",
        action="store_true",
        help="use edges as given instead of adding every edge's reverse",
    )
    embed.add_argument("--normalize", choices=["l2"], default=None, help="scale rows to length 1")
    embed.add_argument(
        "--normalization-strength",
        type=_strength,
        default=0.0,
        metavar="BETA",
        help="scale each node's random row by its degree to the power BETA (0), or "
        "auto: BETA from the degree distribution (docs/guide.md)",
    )
    embed.add_argument(
        "--step-normalize",
        choices=["l2"],
        default=None,
        help="scale every propagation step's rows to length 1 (all columns in one block)",
    )
    embed.add_argument(
        "--step-center",
        action="store_true",
        help="take from every step each column's degree-weighted mean (dense graphs)",
    )
    embed.add_argument(
        "--features",
        default=None,
        metavar="X",
        help="node features: a .npy array or a SciPy .npz sparse matrix, one row per "
        "node in the order of the embedding's rows",
    )
    embed.add_argument(
        "--feature-dim",
        type=_positive,
        default=None,
        metavar="K",
        help="with --features: the number of the embedding's last columns they fill",
    )
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
    embed.add_argument(
        "--block-columns",
        type=_positive,
        default=None,
        metavar="B",
        help="with a prepared graph or a .zarr output: columns computed and written per "
        "block (the widest, up to the engine's preferred width, that fits in memory)",
    )
    embed.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")

    prepare = commands.add_parser(
        "prepare",
        help="prepare a graph file once, for fast embedding many times",
        description=(
            "Turn INPUT (an edge list in text, CSV/TSV, Parquet or .npy form, a Matrix "
            "Market file or a SciPy .npz) into a prepared graph: a directory of .npy "
            "arrays that 'velmar embed GRAPH_DIR' and velmar.open_graph() map from disk "
            "without reading them into memory."
        ),
    )
    prepare.add_argument("input", metavar="INPUT", help="graph file")
    prepare.add_argument("-o", "--output", required=True, metavar="GRAPH_DIR", help="directory")
    prepare.add_argument(
        "--directed",
        action="store_true",
        help="store edges as given instead of A + A^T (embed then with --directed)",
    )
    stream = prepare.add_mutually_exclusive_group()
    stream.add_argument(
        "--stream",
        dest="stream",
        action="store_true",
        default=None,
        help="read the edge list in chunks and sort it on disk with DuckDB "
        "(default: when the file is larger than a quarter of the available memory)",
    )
    stream.add_argument(
        "--no-stream", dest="stream", action="store_false", help="read the edge list in memory"
    )
    prepare.add_argument(
        "--memory-limit",
        type=_bytes,
        default=None,
        metavar="BYTES",
        help="memory of a streamed preparation, DuckDB's included: bytes, or a size "
        "such as 4GB or 512MiB (default: DuckDB's own limit)",
    )
    prepare_header = prepare.add_mutually_exclusive_group()
    prepare_header.add_argument(
        "--header",
        dest="header",
        action="store_true",
        default=None,
        help="the edge list's first line is a header",
    )
    prepare_header.add_argument(
        "--no-header", dest="header", action="store_false", help="no header line (no detection)"
    )
    prepare.add_argument(
        "--reorder",
        action="store_true",
        help="store the rows in a locality order (label propagation, a few steps' cost; "
        "holds the stored graph in memory): the same bits, and on graphs with "
        "communities steps up to about 2.4 times as fast",
    )
    prepare.add_argument("--overwrite", action="store_true", help="replace an existing GRAPH_DIR")
    prepare.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")

    demo = commands.add_parser(
        "demo",
        help="embed Zachary's karate club and show how well it separates the two factions",
    )
    demo.add_argument("--dim", type=_positive, default=32, help="embedding dimension (32)")
    demo.add_argument("--seed", type=_seed, default=42, help="seed (42)")
    return parser


def _load(args: argparse.Namespace, progress: _Progress, guard: _plan.Guard) -> Entries:
    path = args.input
    fmt = _io.detect_format(path) if args.format == "auto" else args.format
    if not os.path.exists(path):
        raise _io.GraphFileError(f"{path}: no such file")
    if os.path.isdir(path):
        raise _io.GraphFileError(f"{path}: is a directory")
    if fmt == "mtx":
        progress.start(f"reading Matrix Market file {path}")
        entries = _io.read_matrix_market(path, guard)
        progress.done(f"read {entries.num_nodes:,} nodes, {entries.num_entries:,} stored entries")
        return entries
    if fmt == "npz":
        progress.start(f"reading sparse matrix {path}")
        entries = _io.read_npz(path, guard)
        progress.done(f"read {entries.num_nodes:,} nodes, {entries.num_entries:,} stored entries")
        return entries
    progress.start(f"reading edge list {path}")
    edges = _io.read_edges(path, fmt, header=args.header, guard=guard)
    if edges.header is not None:
        progress.say(f"skipped header line {edges.header!r}")
    if edges.ambiguous is not None:
        # A warning, not progress: shown even with --quiet.
        print(
            f"velmar: warning: {path}: the first line {edges.ambiguous!r} may be a header; "
            "it was read as an edge (pass --header to skip it, --no-header to "
            "silence this warning)",
            file=sys.stderr,
        )
    entries = edges.entries
    kind = "integer" if entries.nodes is None else _io.id_kind(entries.nodes)
    weighted = "weighted" if edges.weighted else "unweighted"
    progress.done(
        f"read {edges.num_edges:,} {weighted} edges with {kind} node IDs, "
        f"{entries.num_nodes:,} nodes"
    )
    return entries


def _needs_node_file(nodes: npt.NDArray[Any] | None) -> bool:
    if nodes is None:
        return False
    if nodes.dtype.kind not in "iu":
        return True
    return not np.array_equal(nodes, np.arange(nodes.shape[0]))


def _run_prepare(args: argparse.Namespace) -> int:
    progress = _Progress(args.quiet)
    progress.start(f"preparing {args.input} into {args.output}")
    try:
        graph = _prepared.prepare(
            args.input,
            args.output,
            undirected=not args.directed,
            stream=args.stream,
            memory_limit=args.memory_limit,
            overwrite=args.overwrite,
            header=args.header,
            reorder=args.reorder,
        )
    except OSError as e:
        raise _io.GraphFileError(
            str(e) if e.filename is None else f"{e.filename}: {e.strerror}"
        ) from None
    except ImportError as e:
        raise _io.GraphFileError(str(e)) from None
    progress.done(
        f"prepared {graph.num_nodes:,} nodes, {graph.num_entries:,} stored entries"
        f"{' (A + A^T)' if graph.symmetrized else ''}"
        f"{', rows in locality order' if graph.order is not None else ''}"
    )
    return 0


def _run_embed_prepared(args: argparse.Namespace, progress: _Progress) -> int:
    graph = _prepared.open_graph(args.input)
    out = args.output.rstrip("/")
    if not out.endswith((".zarr", ".npy")):
        out += ".npy"
    progress.start(f"embedding {graph!r} block by block into {out}")

    def report(done: int, total: int) -> None:
        progress.say(f"{done} of {total} column blocks written")

    try:
        _api.embed(
            graph,
            args.dim,
            args.weights,
            seed=args.seed,
            undirected=not args.directed,
            out=out,
            block_columns=args.block_columns,
            progress=report,
            method=args.method,
            **_options(args),
        )
    except OSError as e:
        raise _io.GraphFileError(f"{e.filename or out}: {e.strerror or e}") from None
    progress.done("embedded")
    _write_node_file(out, graph.nodes, progress)
    return 0


def _write_node_file(out: str, nodes: npt.NDArray[Any] | None, progress: _Progress) -> None:
    """OUT.nodes.txt beside OUT.npy or OUT.zarr when the rows are not nodes
    0..n-1 (the ID of each row, one per line); else one left by an earlier
    run is removed, so that it cannot mislabel the new rows."""
    nodes_path = os.path.splitext(out)[0] + ".nodes.txt"
    try:
        if _needs_node_file(nodes):
            assert nodes is not None
            with open(nodes_path, "w", encoding="utf-8") as f:
                for node in nodes.tolist():
                    f.write(f"{node}\n")
            progress.say(f"wrote {nodes_path} (the node ID of each row)")
        elif os.path.lexists(nodes_path):
            os.remove(nodes_path)
            progress.say(f"removed {nodes_path} of an earlier run (rows are nodes 0..n-1)")
    except OSError as e:
        raise _io.GraphFileError(f"{e.filename or nodes_path}: {e.strerror or e}") from None


def _run_embed(args: argparse.Namespace) -> int:
    progress = _Progress(args.quiet)
    if args.threads is not None:
        _api.set_num_threads(args.threads)
    if os.path.isdir(args.input) or args.output.rstrip("/").endswith(".zarr"):
        if args.normalize is not None:
            raise ValueError("--normalize applies to in-memory runs (an input file, OUT.npy)")
        if not os.path.isdir(args.input):
            raise _io.GraphFileError(
                f"{args.input}: a .zarr output needs a prepared graph (velmar prepare) as INPUT"
            )
        return _run_embed_prepared(args, progress)
    out = args.output if args.output.endswith(".npy") else args.output + ".npy"
    out_dir = os.path.dirname(out) or "."
    if not os.path.isdir(out_dir):
        raise _io.GraphFileError(f"{out}: directory {out_dir} does not exist")
    options = _options(args)
    run = Run.from_arguments(
        dim=args.dim,
        weights=args.weights,
        seed=args.seed,
        undirected=not args.directed,
        normalize=args.normalize,
        progress=not args.quiet,
        method=args.method,
        **options,
    )
    entries = _load(args, progress, _plan.conversion_guard(run))
    steps = len(run.weights) - 1
    what = (
        "the spectral method"
        if run.method == "spectral"
        else f"{steps} propagation step{'s' if steps != 1 else ''}"
    )
    mode = (
        "as stored (symmetric)"
        if entries.symmetric
        else ("undirected" if run.undirected else "directed")
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        progress.start("building the graph")
        graph = _graph.build(
            entries, undirected=run.undirected, keep_values=run.method == "spectral"
        )
        del entries
        progress.done(f"built {graph.num_nodes:,} nodes, {graph.num_entries:,} stored entries")
        progress.start(f"embedding {graph.num_nodes:,} nodes, dim {run.dim}, {what}, {mode}")
        result = _api.run_on(graph, run)
    for warning in caught:
        print(f"velmar: warning: {cli_terms(str(warning.message))}", file=sys.stderr)
    progress.done("embedded")
    try:
        # Replaces the record of any earlier run to disk at OUT along with it.
        _results.save_array(out, result)
        progress.say(f"wrote {out} ({result.shape[0]:,} × {result.shape[1]} float32)")
    except OSError as e:
        raise _io.GraphFileError(f"{e.filename or out}: {e.strerror or e}") from None
    _write_node_file(out, graph.nodes, progress)
    return 0


def _run_demo(args: argparse.Namespace) -> int:
    run_demo(sys.stdout, dim=args.dim, seed=args.seed)
    return 0


# The package's messages name its Python parameters; on the command line
# they name the options. In order: the longer phrases first.
_CLI_TERMS: list[tuple[re.Pattern[str], str]] = [
    (re.compile(p), r)
    for p, r in [
        (r"pass undirected=False \(--directed on the command line\)", "pass --directed"),
        (r"with undirected=True\b", "without --directed"),
        (r"\bundirected=False\b", "--directed"),
        (r"\boverwrite=True\b", "--overwrite"),
        (r"\bstep_normalize='l2'", "--step-normalize l2"),
        (r"\bwithout step_normalize\b", "without --step-normalize"),
        (r"\bstep_center=", "--step-center"),
        (r"\(columns=\)", "(a prepared graph's --block-columns)"),
        (r"\bnormalization_strength=", "--normalization-strength "),
        (r"\bblock_columns=", "--block-columns "),
        (r"\bmemory_limit=", "--memory-limit "),
        (r"\bfeature_dim=", "--feature-dim "),
        (r"\bfeature_dim\b", "--feature-dim"),
        (r"\bfeatures=", "--features "),
        (r"\bdim=", "--dim "),
        (r"\bdim \(", "--dim ("),
        (r"\bReduce dim\b", "Reduce --dim"),
    ]
]


def cli_terms(message: str) -> str:
    """A message of the package in the command line's terms."""
    for pattern, replacement in _CLI_TERMS:
        message = pattern.sub(replacement, message)
    return message


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    if args.command == "embed" and (args.features is None) != (args.feature_dim is None):
        parser.error("--features and --feature-dim K go together")  # exits with status 2
    try:
        if args.command == "embed":
            return _run_embed(args)
        if args.command == "prepare":
            return _run_prepare(args)
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
        message = cli_terms(" ".join(str(e).split())) or type(e).__name__
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
