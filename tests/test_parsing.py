"""One parser for edge-list files: every case is prepared in memory and by
streaming, and the two prepared graphs must be the same bytes (or both
refused, or refused by streaming alone with a clear message)."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velmar
from velmar import _order

pytest.importorskip("duckdb")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def text(content, name="g.txt"):
    data = content if isinstance(content, bytes) else content.encode("utf-8")

    def write(directory):
        (directory / name).write_bytes(data)
        return directory / name

    return write


def parquet(*columns, names=("s", "t", "w")):
    def write(directory):
        pq.write_table(pa.table(dict(zip(names, columns))), directory / "g.parquet")
        return directory / "g.parquet"

    return write


def npy(array):
    def write(directory):
        np.save(directory / "g.npy", array)
        return directory / "g.npy"

    return write


class Refused:
    """Streaming refuses with `message`, naming the file; the in-memory
    preparation refuses with the same message (memory="same"), with one of
    its own ("other") or builds the graph ("builds")."""

    def __init__(self, message, memory="same"):
        self.message, self.memory = message, memory


U64 = pa.uint64()
BIG = 2**63 + 5

# (id, file, prepare's options, the node IDs, or how they are refused)
CASES = [
    ("percent comment", text("0 1\n% note\n1 2\n"), {}, [0, 1, 2]),
    ("space and tab", text("1 \t2\n2\u00a03 # nbsp\n"), {}, [1, 2, 3]),
    ("lone cr and bom", text("\ufeff5,6\r6,7\r\n"), {}, [5, 6, 7]),
    ("one integer three ways", text("07 -3\n+7 10\n"), {}, [-3, 7, 10]),
    ("uint64 in text", text(f"{BIG} 1\n1 2\n"), {}, [1, 2, BIG]),
    ("strings in byte order", text("é B\na\té\n"), {}, ["B", "a", "é"]),
    ("csv quotes", text('src,dst,w\n"x, y",z,1\n z ,"q""r",2\n'), {}, ['q"r', "x, y", "z"]),
    ("header over integers", text("from to\n1 2\n"), {}, [1, 2]),
    ("ambiguous first line", text("a b\nc d\n"), {}, ["a", "b", "c", "d"]),
    ("forced header", text("a b\nc d\n"), {"header": True}, ["c", "d"]),
    ("nodes in text", text("b a\n"), {"nodes": ["c", "a", "b"]}, ["c", "a", "b"]),
    ("nodes of integers", text("2 0\n"), {"nodes": [2, 0, 7]}, [2, 0, 7]),
    ("reordered", text("0 1 1\n3 4 2\n1 2 -1\n"), {"reorder": True}, [0, 1, 2, 3, 4]),
    ("duplicate edges", text("0 1 1e16\n0 1 1\n0 1 -1e16\n1 0 nan\n"), {}, [0, 1]),
    ("parquet uint64", parquet(pa.array([BIG, 1], U64), pa.array([1, 2], U64)), {}, [1, 2, BIG]),
    ("parquet floats", parquet([0.5, 10.0], [2.0, -0.0]), {}, [0.0, 0.5, 2.0, 10.0]),
    ("parquet strings", parquet(["b", "a"], ["c", "b"], [1.0, 2.0]), {}, ["a", "b", "c"]),
    (
        "parquet int32",
        parquet(pa.array([3, 1], pa.int32()), pa.array([1, 2], pa.int32())),
        {},
        [1, 2, 3],
    ),
    ("parquet nodes", parquet([1.5], [2.5]), {"nodes": [2.5, 1.5, 9.0]}, [2.5, 1.5, 9.0]),
    ("npy floats", npy(np.array([[3.0, 1.0, 0.5], [1.0, 2.0, 2.0]])), {}, [1, 2, 3]),
    ("npy uint64", npy(np.array([[BIG, 1], [1, 2]], dtype=np.uint64)), {}, [1, 2, BIG]),
    ("npy small uint64", npy(np.array([[3, 1]], dtype=np.uint64)), {}, [1, 3]),
    # Refused on both paths, with the same message.
    (
        "parquet null weight",
        parquet([0, 1], [1, 2], [1.0, None]),
        {},
        Refused("edges without a weight"),
    ),
    ("parquet null id", parquet(["a", None], ["b", "c"]), {}, Refused("edges without a node ID")),
    (
        "parquet nan id",
        parquet([0.5, float("nan")], [1.0, 2.0]),
        {},
        Refused("edges without a node ID"),
    ),
    ("parquet mixed kinds", parquet([1, 2], ["a", "b"]), {}, Refused("of one kind")),
    (
        "parquet dates",
        parquet(pa.array([1, 2], pa.date32()), pa.array([1, 2], pa.date32())),
        {},
        Refused("must be integers, floats or strings"),
    ),
    ("parquet text weights", parquet([1], [2], ["1.5"]), {}, Refused("not numbers")),
    ("not parquet", text("junk", name="g.parquet"), {}, Refused("g.parquet: not a Parquet file")),
    ("bad weight", text("1 2 1.0\n2 3 heavy\n"), {}, Refused("g.txt:2: weight 'heavy' is not")),
    ("ragged", text("1 2 1.0\n2 3\n"), {}, Refused("g.txt:2: found 2 columns, but the first")),
    ("empty id", text("0,1\n,2\n"), {}, Refused("g.txt:2: empty node ID")),
    ("not utf-8", text(b"0 1\n1 \xff\n"), {}, Refused("not a UTF-8 text edge list (byte 0xff")),
    ("only a header", text("source,target,weight\n"), {}, Refused("no edges found after the")),
    ("node not in nodes", text("a b\n"), {"nodes": ["a"]}, Refused("'b', which is not in nodes")),
    (
        "node listed twice",
        text("a b\n"),
        {"nodes": ["b", "a", "b"]},
        Refused("nodes lists 'b' more than once"),
    ),
    ("npy fractions", npy(np.array([[0.5, 1.0]])), {}, Refused("must be integers")),
    ("npy without rows", npy(np.zeros((0, 3))), {}, Refused("no edges found")),
    (
        "parquet without rows",
        parquet(pa.array([], pa.int64()), pa.array([], pa.int64())),
        {},
        Refused("no edges found"),
    ),
    ("npy beyond int64", npy(np.array([[1e19, 1.0]])), {}, Refused("must be integers")),
    # Built in memory; streaming cannot store or compare these and says so.
    ("beyond 64 bits", text(f"-1 {2**64}\n"), {}, Refused("beyond 64 bits", memory="other")),
    (
        "nodes of another kind",
        text("1 2\n"),
        {"nodes": [1.0, 2.0]},
        Refused("streaming matches IDs of one kind only", memory="builds"),
    ),
]


def prepared_files(directory):
    header = json.loads((directory / "graph.json").read_text())
    header.pop("graph_id")
    files = {name: (directory / name).read_bytes() for name in os.listdir(directory)}
    files.pop("graph.json")
    return header, files


@pytest.mark.parametrize(
    "make, options, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_both_preparations_read_a_file_alike(tmp_path, monkeypatch, make, options, expected):
    # Batches of two edges: every case crosses batch boundaries.
    monkeypatch.setattr(velmar._stream, "_BATCH", 2)
    source = make(tmp_path)
    outcomes = {}
    for stream in (False, True):
        out = tmp_path / f"stream={stream}"
        try:
            velmar.prepare(source, out, stream=stream, **options)
            outcomes[stream] = prepared_files(out)
        except (ValueError, TypeError) as e:
            outcomes[stream] = e
    if isinstance(expected, Refused):
        streamed, in_memory = outcomes[True], outcomes[False]
        assert isinstance(streamed, ValueError), streamed
        assert str(streamed).startswith(f"{source}:") and expected.message in str(streamed)
        if expected.memory == "same":
            assert isinstance(in_memory, ValueError) and str(in_memory) == str(streamed)
        else:
            assert isinstance(in_memory, ValueError) == (expected.memory == "other")
        return
    assert not isinstance(outcomes[False], Exception), outcomes[False]
    assert not isinstance(outcomes[True], Exception), outcomes[True]
    assert outcomes[False] == outcomes[True]
    nodes = np.load(tmp_path / "stream=False" / "nodes.npy")
    assert nodes.tolist() == expected and nodes.dtype.kind in "iufU"
    if any(isinstance(x, float) for x in expected):
        assert nodes.dtype == np.float64
    if BIG in expected:
        assert nodes.dtype == np.uint64


@pytest.mark.parametrize("stream", [False, True])
def test_interrupted_reorder_leaves_nothing_that_opens_and_reruns(tmp_path, monkeypatch, stream):
    source = text("0 1\n1 2\n2 0\n")(tmp_path)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(_order, "locality_order", interrupted)
    with pytest.raises(KeyboardInterrupt):
        velmar.prepare(source, tmp_path / "g", stream=stream, reorder=True)
    with pytest.raises(velmar.GraphFormatError, match="missing"):
        velmar.open_graph(tmp_path / "g")
    monkeypatch.undo()
    graph = velmar.prepare(source, tmp_path / "g", stream=stream, reorder=True)
    assert graph.order is not None


CTRL_C_WHILE_STREAMING = """
    import os, signal, sys, threading, time
    # Ctrl-C as in an interactive session, whatever this process inherited
    # (a parent started in the background without job control ignores SIGINT).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    from velmar import _cli, _engine
    real = _engine.split_edge_text
    def slow(*args, **kwargs):
        print("streaming", flush=True)
        time.sleep(0.05)
        return real(*args, **kwargs)
    _engine.split_edge_text = slow
    import velmar._stream
    velmar._stream._BATCH = 1
    sys.exit(_cli.main(["prepare", sys.argv[1], "-o", sys.argv[2], "--stream", "-q"]))
"""


def test_ctrl_c_stops_a_streamed_preparation(tmp_path):
    source = text("".join(f"{i} {i + 1}\n" for i in range(2000)))(tmp_path)
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CTRL_C_WHILE_STREAMING), source, tmp_path / "g"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "streaming\n"
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130, err
    assert err == "velmar: interrupted\n"
    assert not (tmp_path / "g" / "graph.json").exists()
    assert not (tmp_path / "g" / "tmp-prepare").exists()
