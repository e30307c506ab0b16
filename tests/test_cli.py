"""The velmar command line, end to end in a subprocess, on files in a
temporary directory."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import velmar
from velmar import _cli, _engine, _io


def velmar_cli(*args, cwd):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(
        [sys.executable, "-m", "velmar", *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=120,
    )


def bits(x):
    return x.view(np.uint32)


@pytest.mark.parametrize(
    "method, options", [("projection", ["--method", "projection"]), ("spectral", [])]
)
def test_integer_edge_list_with_comments(tmp_path, method, options):
    (tmp_path / "g.txt").write_text(
        "% a comment\n# another\n0 1\n1\t2   # trailing\n\n2 3\n3 0\n0 2\n"
    )
    done = velmar_cli(
        "embed",
        *options,
        "g.txt",
        "-o",
        "emb.npy",
        "--dim",
        16,
        "--seed",
        5,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert "reading edge list g.txt" in done.stderr and "embedded" in done.stderr
    what = "the spectral method" if method == "spectral" else "2 propagation steps"
    assert f"dim 16, {what}" in done.stderr
    expected = velmar.embed(([0, 1, 2, 3, 0], [1, 2, 3, 0, 2]), 16, seed=5, method=method)
    assert np.array_equal(bits(np.load(tmp_path / "emb.npy")), bits(expected))
    assert not (tmp_path / "emb.nodes.txt").exists()  # IDs are 0..n-1


def test_quality_options(tmp_path):
    (tmp_path / "g.txt").write_text("0 1\n1 2\n2 3\n3 0\n0 2\n")
    x = np.arange(12.0).reshape(4, 3)
    np.save(tmp_path / "x.npy", x)
    options = dict(
        normalization_strength=-0.5,
        step_normalize="l2",
        step_center=True,
        features=x,
        feature_dim=4,
    )
    done = velmar_cli(
        "embed",
        "--method",
        "projection",
        "g.txt",
        "-o",
        "emb.npy",
        "--dim",
        16,
        "--seed",
        5,
        "--normalization-strength",
        -0.5,
        "--step-normalize",
        "l2",
        "--step-center",
        "--features",
        "x.npy",
        "--feature-dim",
        4,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    expected = velmar.embed(
        ([0, 1, 2, 3, 0], [1, 2, 3, 0, 2]), 16, seed=5, **options, method="projection"
    )
    assert np.array_equal(bits(np.load(tmp_path / "emb.npy")), bits(expected))
    done = velmar_cli("embed", "g.txt", "-o", "emb.npy", "--features", "x.npy", cwd=tmp_path)
    assert done.returncode == 2 and "--features and --feature-dim K go together" in done.stderr


def test_csv_with_header_string_ids_and_weights(tmp_path):
    (tmp_path / "g.csv").write_text(
        'source,target,weight\nbob,alice,1.5\n"carol", bob ,2\nalice,carol,-0.5\n'
    )
    done = velmar_cli(
        "embed",
        "--method",
        "projection",
        "g.csv",
        "-o",
        tmp_path / "out",
        "--dim",
        8,
        "--seed",
        3,
        "--weights=0.5,1,0.25",
        "--directed",
        "--normalize",
        "l2",
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert "skipped header line" in done.stderr
    nodes = (tmp_path / "out.nodes.txt").read_text().splitlines()
    assert nodes == ["alice", "bob", "carol"]
    expected = velmar.embed(
        (["bob", "carol", "alice"], ["alice", "bob", "carol"], [1.5, 2.0, -0.5]),
        8,
        [0.5, 1.0, 0.25],
        seed=3,
        undirected=False,
        normalize="l2",
        method="projection",
    )
    assert np.array_equal(bits(np.load(tmp_path / "out.npy")), bits(expected))
    # Prepared, then embedded block by block: the same node file; --threads
    # applies; a second prepare names the command line's option.
    assert velmar_cli("prepare", "g.csv", "-o", "g", "-q", cwd=tmp_path).returncode == 0
    done = velmar_cli("prepare", "g.csv", "-o", "g", "-q", cwd=tmp_path)
    assert done.returncode == 1 and "(pass --overwrite)" in done.stderr
    threads = _engine.get_num_threads()
    try:
        with pytest.MonkeyPatch.context() as patch:
            patch.chdir(tmp_path)
            assert (
                _cli.main(["embed", "g", "-o", "p.npy", "--dim", "8", "--threads", "1", "-q"]) == 0
            )
        assert _engine.get_num_threads() == 1
    finally:
        _engine.set_num_threads(threads)
    assert (tmp_path / "p.nodes.txt").read_text().splitlines() == nodes


def test_one_based_ids_get_a_node_file(tmp_path):
    (tmp_path / "g.txt").write_text("1 2\n2 3\n3 1\n")
    done = velmar_cli(
        "embed", "--method", "projection", "g.txt", "-o", "e.npy", "--dim", 4, "-q", cwd=tmp_path
    )
    assert done.returncode == 0 and done.stderr == ""
    assert (tmp_path / "e.nodes.txt").read_text() == "1\n2\n3\n"
    assert np.load(tmp_path / "e.npy").shape == (3, 4)
    # Rerun on a graph of nodes 0..n-1: the old node file would mislabel rows.
    (tmp_path / "g.txt").write_text("0 1\n1 2\n")
    done = velmar_cli(
        "embed", "--method", "projection", "g.txt", "-o", "e.npy", "--dim", 4, "-q", cwd=tmp_path
    )
    assert done.returncode == 0 and not (tmp_path / "e.nodes.txt").exists()


def test_matrix_market_and_npz(tmp_path):
    sparse = pytest.importorskip("scipy.sparse")
    scipy_io = pytest.importorskip("scipy.io")
    zarr = pytest.importorskip("zarr")
    rng = np.random.default_rng(0)
    a = sparse.random_array((30, 30), density=0.1, rng=rng, format="coo")
    scipy_io.mmwrite(tmp_path / "general.mtx", a)
    sym = (a + a.T).tocoo()
    scipy_io.mmwrite(tmp_path / "sym.mtx", sym, symmetry="symmetric")
    sparse.save_npz(tmp_path / "g.npz", a.tocsr())
    for name, expected in [
        ("general.mtx", velmar.embed(a, 8, seed=1, method="projection")),
        ("g.npz", velmar.embed(a, 8, seed=1, method="projection")),
        # A file declared symmetric already holds both directions: used as stored.
        ("sym.mtx", velmar.embed(sym, 8, seed=1, undirected=False, method="projection")),
    ]:
        done = velmar_cli(
            "embed",
            "--method",
            "projection",
            name,
            "-o",
            name + ".npy",
            "--dim",
            8,
            "--seed",
            1,
            cwd=tmp_path,
        )
        assert done.returncode == 0, done.stderr
        assert np.array_equal(bits(np.load(tmp_path / (name + ".npy"))), bits(expected)), name
        assert not (tmp_path / (name + ".nodes.txt")).exists()
        # Prepared once, then embedded block by block into a Zarr array.
        done = velmar_cli("prepare", name, "-o", name + ".graph", "-q", cwd=tmp_path)
        assert done.returncode == 0 and done.stderr == "", done.stderr
        done = velmar_cli(
            "embed",
            "--method",
            "projection",
            name + ".graph",
            "-o",
            name + ".zarr",
            "--dim",
            8,
            "--seed",
            1,
            "--block-columns",
            3,
            cwd=tmp_path,
        )
        assert done.returncode == 0 and "3 of 3 column blocks" in done.stderr, done.stderr
        written = zarr.open_array(tmp_path / (name + ".zarr") / "embedding")[:]
        assert np.array_equal(bits(written), bits(expected)), name


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("four.txt", "1 2 3 4\n", "four.txt:1: expected 2 or 3 columns"),
        (
            "ragged.txt",
            "1 2 1.0\n2 3\n",
            "ragged.txt:2: found 2 columns, but the first edge has 3",
        ),
        ("weight.txt", "1 2 1.0\n2 3 heavy\n", "weight.txt:2: weight 'heavy' is not a number"),
        ("empty.txt", "# nothing\n\n", "empty.txt: no edges found"),
        ("binary.txt", b"\x00\xff\xfe\x81" * 50, "not a UTF-8 text edge list"),
        ("bad.mtx", "not a matrix\n", "bad.mtx: not a valid Matrix Market file"),
        (
            "rect.mtx",
            "%%MatrixMarket matrix coordinate real general\n2 3 1\n1 1 1.0\n",
            "must be square",
        ),
        ("bad.npz", "junk", "bad.npz: not a .npz file"),
        ("missing.txt", None, "missing.txt: no such file"),
        ("trailing.csv", "0,1,\n1,2,3\n", "trailing.csv:1: weight '' is not a number"),
        ("header.csv", "source,target,weight\n", "header.csv: no edges found after the header"),
    ],
)
def test_bad_files_give_one_error_line(tmp_path, name, content, message):
    if name.endswith((".mtx", ".npz")):
        pytest.importorskip("scipy.sparse")  # without it, the message says SciPy is needed
    if isinstance(content, bytes):
        (tmp_path / name).write_bytes(content)
    elif content is not None:
        (tmp_path / name).write_text(content)
    done = velmar_cli("embed", "--method", "projection", name, "-o", "out.npy", "-q", cwd=tmp_path)
    assert done.returncode == 1
    assert "Traceback" not in done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("velmar: error: "), done.stderr
    assert message in lines[0]
    assert not (tmp_path / "out.npy").exists()


def test_bad_npz_archive(tmp_path):
    pytest.importorskip("scipy.sparse")
    np.savez(tmp_path / "dense.npz", a=np.eye(2))
    done = velmar_cli(
        "embed", "--method", "projection", "dense.npz", "-o", "out.npy", "-q", cwd=tmp_path
    )
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert "not a sparse matrix saved by scipy.sparse.save_npz" in done.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["--dim", "0"], "--dim: expected a positive integer"),
        (["--weights", "a,b"], "--weights: expected comma-separated numbers"),
        (["--seed", "-3"], "--seed: expected an integer from 0"),
        (["--weights", "nan,1"], "--weights: expected finite numbers"),
        (["--weights", "1e300,1"], "--weights: expected finite numbers"),
        (["--normalization-strength", "inf"], "expected a finite number"),
        (["--step-normalize", "l1"], "invalid choice: 'l1'"),
        (["--features", "x.npy"], "--features and --feature-dim K go together"),
        (["prepare", "--memory-limit", "abc"], "--memory-limit: expected a number of bytes"),
        # Refused by the engine (status 1), in the command line's terms.
        (["--normalization-strength", "500"], "error: --normalization-strength 500 is too large"),
    ],
)
def test_bad_options(tmp_path, args, message):
    (tmp_path / "g.txt").write_text("0 1\n0 2\n")
    command = (
        ["prepare", "g.txt", "-o", "g"]
        if args[0] == "prepare"
        else ["embed", "--method", "projection", "g.txt"]
    )
    done = velmar_cli(*command, "-o", "o.npy", *args[command[0] == "prepare" :], cwd=tmp_path)
    status = 1 if "500" in args else 2
    assert done.returncode == status and message in done.stderr and "Traceback" not in done.stderr


def test_missing_output_directory(tmp_path):
    (tmp_path / "g.txt").write_text("0 1\n")
    done = velmar_cli(
        "embed", "--method", "projection", "g.txt", "-o", tmp_path / "no" / "o.npy", cwd=tmp_path
    )
    assert done.returncode == 1 and "does not exist" in done.stderr


def test_demo(tmp_path):
    done = velmar_cli("demo", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "karate club" in done.stdout and "2-means clustering agrees" in done.stdout
    assert "member 33 [Officer]" in done.stdout


@pytest.mark.parametrize(
    "text, edges",
    [
        ("0 1\n1 2 \n# c\n2 0\n", [(0, 1, 1.0), (1, 2, 1.0), (2, 0, 1.0)]),
        ("5,6,0.5\n6 , 7 , 1e3\n7,5,-2\n", [(5, 6, 0.5), (6, 7, 1e3), (7, 5, -2.0)]),
        (
            "10\t20\t1\n20\t30\t2\n% c\n30\t10\t3 # tail\n",
            [(10, 20, 1.0), (20, 30, 2.0), (30, 10, 3.0)],
        ),
        ("\ufeff0,1\r\n1,2\r\n", [(0, 1, 1.0), (1, 2, 1.0)]),
        ("1 2 1_000.5\n2 3 -inf\n", [(1, 2, 1000.5), (2, 3, -np.inf)]),
    ],
)
def test_integer_edge_lists_in_every_layout(tmp_path, text, edges):
    (tmp_path / "g.txt").write_text(text, encoding="utf-8")
    got = _io.read_edge_list(str(tmp_path / "g.txt"))
    weights = got.weights if got.weights is not None else np.ones(len(edges))
    assert got.sources.dtype == np.int64
    assert list(zip(got.sources.tolist(), got.targets.tolist(), weights.tolist())) == edges


@pytest.mark.parametrize(
    "text, header, sources, ambiguous",
    [
        ("from to\n1 2\n3 4\n", None, [1, 3], False),  # non-integer IDs above integer ones
        ("a b\nc d\n", None, ["a", "c"], True),  # undecidable: kept as an edge
        ("a b\nc d\n", True, ["c"], False),
        ("u v w\n1 2 0.5\n", None, [1], False),  # weight column is not a number
        ("1 2\n3 4\n", False, [1, 3], False),
        ("\ufeff0 1\n1 2\n", None, [0, 1], False),  # a byte-order mark is not part of an ID
        ("\ufeffa,b\nb,c\n", None, ["a", "b"], False),  # 'b' is an ID later: data
        ("\ufeffsource,target\n", None, ["source"], True),  # one line: kept, with a warning
        ("18446744073709551615 1\n-1 2\n", None, [2**64 - 1, -1], False),
    ],
)
def test_header_detection(tmp_path, text, header, sources, ambiguous):
    path = tmp_path / "g.txt"
    path.write_text(text, encoding="utf-8")
    edges = _io.read_edge_list(str(path), header=header)
    assert edges.sources.tolist() == sources and (edges.ambiguous is not None) == ambiguous
    if ambiguous:
        done = velmar_cli(
            "embed",
            "--method",
            "projection",
            "g.txt",
            "-o",
            "o.npy",
            "--dim",
            4,
            "-q",
            cwd=tmp_path,
        )
        assert done.returncode == 0 and "may be a header" in done.stderr
