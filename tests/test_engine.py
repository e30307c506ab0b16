"""velmar._engine: column blocks, caller-owned graphs and outputs,
cancellation and progress."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _rust_core
import velmar
from velmar import _engine

sp = pytest.importorskip("scipy.sparse")

N, DIM, WEIGHTS, SEED = 3000, 24, [0.5, 1.0, 0.0, 0.25], 5


def settings(**options):
    return _engine.settings(DIM, options.pop("weights", WEIGHTS), SEED, **options)


@pytest.fixture(scope="module")
def graph():
    a = sp.random(N, N, density=8 / N, format="csr", random_state=3)
    a.sort_indices()
    return a


@pytest.fixture(scope="module", params=[True, False], ids=["undirected", "directed"])
def reference(request, graph):
    full = _rust_core.fit_csr(
        graph.indptr.astype(np.int64),
        graph.indices.astype(np.int64),
        graph.data,
        N,
        DIM,
        WEIGHTS,
        seed=SEED,
        undirected=request.param,
    )
    return request.param, full


@pytest.mark.parametrize(
    "columns, block",
    [((0, DIM), 1), ((0, DIM), DIM), ((0, DIM), 5), ((3, 20), 4), ((23, 24), 1), ((7, 8), None)],
)
def test_column_blocks_are_bit_identical_to_the_full_result(graph, reference, columns, block):
    undirected, full = reference
    g = _engine.build_graph(graph.indptr, graph.indices, graph.data, N, undirected)
    part = _engine.embed(g, settings(), columns, block)
    assert np.array_equal(part.view(np.uint32), full[:, columns[0] : columns[1]].view(np.uint32))


@pytest.mark.parametrize("weights", [[0.0], [-0.0, 0.0, 0.0]])
def test_zero_weights_give_zeros_in_new_and_in_caller_memory(graph, weights):
    g = _engine.build_graph(graph.indptr, graph.indices, graph.data, N, True)
    out = np.full((N, DIM), np.nan, np.float32)
    _engine.embed(g, settings(weights=weights), block=5, out=out)
    for result in (out, _engine.embed(g, settings(weights=weights), block=5)):
        assert not result.view(np.uint32).any()


FEATURES = np.random.default_rng(8).choice([0.0, 0.0, 0.5, -2.0], size=(N, 30)).astype(np.float32)
FEATURES_CSR = sp.csr_matrix(FEATURES)
OPTIONS = {
    "beta": dict(normalization_strength=-0.5),
    "dense features": dict(features=FEATURES, feature_dim=10, normalization_strength=1.0),
    "csr features": dict(
        features=(
            FEATURES_CSR.indptr.astype(np.int64),
            FEATURES_CSR.indices,
            FEATURES_CSR.data,
            30,
        ),
        feature_dim=DIM,
    ),
    "step l2": dict(
        step_normalize=True, normalization_strength=0.5, features=FEATURES, feature_dim=7
    ),
    "centred": dict(step_center=True, normalization_strength=1.0, features=FEATURES, feature_dim=9),
}


# segments: VELMAR_SEGMENT_ROWS for the part (the full result runs without).
@pytest.mark.parametrize(
    "options, columns, block, threads, segments",
    [
        ("beta", (0, DIM), 5, 3, None),
        ("beta", (7, 8), 1, 1, None),
        ("dense features", (3, 20), 4, 2, None),  # a block across the first feature column
        ("dense features", (14, 24), 3, 4, None),
        ("csr features", (0, DIM), 7, 3, None),
        ("csr features", (23, 24), None, 1, None),
        ("step l2", (0, DIM), None, 3, None),
        ("beta", (0, DIM), None, 2, "1"),
        ("dense features", (3, 20), 4, 3, "64"),
        ("csr features", (0, DIM), 7, 1, "1499"),  # a boundary inside most rows
        ("step l2", (0, DIM), None, 2, "100"),
        ("centred", (0, DIM), 5, 3, None),
        ("centred", (13, 22), 2, 2, "64"),
    ],
)
def test_options_keep_blocks_and_thread_counts_bit_identical(
    graph, monkeypatch, options, columns, block, threads, segments
):
    g = _engine.build_graph(graph.indptr, graph.indices, graph.data, N, True)
    monkeypatch.setenv("VELMAR_SEGMENT_ROWS", "off")
    full = _engine.embed(g, settings(**OPTIONS[options]))
    if segments is None:
        monkeypatch.delenv("VELMAR_SEGMENT_ROWS")
    else:
        monkeypatch.setenv("VELMAR_SEGMENT_ROWS", segments)
    before = _engine.get_num_threads()
    _engine.set_num_threads(threads)
    try:
        part = _engine.embed(g, settings(**OPTIONS[options]), columns, block)
    finally:
        _engine.set_num_threads(before)
    assert np.array_equal(part.view(np.uint32), full[:, columns[0] : columns[1]].view(np.uint32))


def test_step_normalize_refuses_a_part_of_the_columns(graph):
    g = _engine.build_graph(graph.indptr, graph.indices, graph.data, N, True)
    for columns, block in [((0, DIM), 5), ((1, DIM), None)]:
        with pytest.raises(ValueError, match="couples the columns: it needs all 24 columns"):
            _engine.embed(g, settings(step_normalize=True), columns, block)


def test_memory_mapped_graph_and_output_without_copies(graph, reference, tmp_path):
    # The form prepared graphs and on-disk results take: arrays saved by one
    # process, opened read-only and memory-mapped, and a .npy written in place.
    undirected, full = reference
    built = _engine.build_graph(graph.indptr, graph.indices, graph.data, N, undirected)
    for name, array in zip(("indptr", "indices", "scales"), built.arrays()):
        np.save(tmp_path / f"{name}.npy", array)
    mapped = [
        np.load(tmp_path / f"{n}.npy", mmap_mode="r") for n in ("indptr", "indices", "scales")
    ]
    g = _engine.open_graph(*mapped, N)
    out = np.lib.format.open_memmap(tmp_path / "emb.npy", "w+", np.float32, (N, DIM))
    for j0 in range(0, DIM, 10):
        view = out[:, j0 : min(j0 + 10, DIM)]
        assert _engine.embed(g, settings(), (j0, j0 + view.shape[1]), 3, view) is view
    out.flush()
    assert np.array_equal(np.load(tmp_path / "emb.npy").view(np.uint32), full.view(np.uint32))


@pytest.mark.parametrize(
    "arrays, message",
    [
        ((np.array([0, 1]), np.array([5], np.uint32), np.ones(1, np.float32), 1), "out of bounds"),
        (
            (np.array([0, 2, 1]), np.array([0, 1], np.uint32), np.ones(2, np.float32), 2),
            "non-decreasing",
        ),
        ((np.array([1, 1]), np.zeros(0, np.uint32), np.ones(0, np.float32), 1), "must be 0"),
        ((np.array([0, 1]), np.array([0], np.int32), np.ones(1, np.float32), 1), "dtype"),
        # A row map names every stored row's node once, checked when opened.
        (([0, 0, 0], [], [], 2, [1, 1]), "entry 1 is a repeat"),
        (([0, 0, 0], [], [], 2, [0, -1]), "entry 1 is out of range"),
        (([0, 0, 0], [], [], 2, [0]), "row_map must have num_nodes"),
    ],
)
def test_open_graph_rejects_broken_arrays(arrays, message):
    if len(arrays) == 5:
        rp, cols, scales, n, order = arrays
        arrays = (
            np.array(rp),
            np.array(cols, np.uint32),
            np.array(scales, np.float32),
            n,
            np.array(order),
        )
    with pytest.raises((ValueError, TypeError), match=message):
        _engine.open_graph(*arrays)


def test_a_second_module_instance_has_its_own_types():
    # The module made again from its spec: every type and exception is its
    # own, so graphs of one instance are not graphs of the other.
    path = _engine.__file__
    loader = importlib.machinery.ExtensionFileLoader("velmar._engine", path)
    spec = importlib.util.spec_from_file_location("velmar._engine", path, loader=loader)
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    for name in ("Graph", "RunControl", "Cancelled", "Settings"):
        assert getattr(other, name) is not getattr(_engine, name)
    arrays = (np.array([0, 1, 2]), np.array([1, 0], np.int32), np.ones(2), 2, True)
    graphs = [m.build_graph(*arrays) for m in (_engine, other)]
    runs = [m.settings(4, [1.0, 0.5], 3) for m in (_engine, other)]
    results = [m.embed(g, s) for m, g, s in zip((_engine, other), graphs, runs)]
    assert type(results[0].base) is not type(results[1].base)
    assert type(results[1].base).__qualname__ == "BufferOwner"
    assert np.array_equal(results[0], results[1])
    with pytest.raises(TypeError, match="^'Graph' object is not an instance of 'Graph'$"):
        _engine.embed(graphs[1], runs[0])
    with pytest.raises(TypeError, match="^'Settings' object is not an instance of 'Settings'$"):
        _engine.embed(graphs[0], runs[1])
    with pytest.raises(TypeError, match="'RunControl' object is not an instance of 'RunControl'"):
        other.embed(graphs[1], runs[1], control=_engine.RunControl())


def test_progress_callable_counts_blocks_times_steps(graph):
    seen = []
    velmar.embed(
        graph, DIM, WEIGHTS, seed=1, progress=lambda d, t: seen.append((d, t)), method="projection"
    )
    assert seen[-1] == (len(WEIGHTS), len(WEIGHTS))
    assert all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))


def test_a_call_ends_when_its_work_does_not_at_the_next_look():
    # Looks at the work an hour apart: a call from the main thread must still
    # return as soon as the engine is done, with its last progress shown.
    script = textwrap.dedent("""
        import numpy as np, velmar
        from velmar import _watch
        _watch._FIRST_POLL_SECONDS = _watch._POLL_SECONDS = 3600.0
        seen = []
        a = np.ones((3, 3), dtype=np.float32)
        velmar.embed(a, 4, seed=1, progress=lambda d, t: seen.append((d, t)))
        print(seen[-1][0] == seen[-1][1] > 0)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert done.returncode == 0 and done.stdout.split() == [b"True"], done.stderr.decode()


CANCEL_SCRIPT = """
    import os, signal, threading, time, numpy as np, scipy.sparse as sp, velmar
    # As in an interactive session, whatever this process inherited: a parent
    # started in the background without job control ignores SIGINT, and the
    # interpreter then installs no handler of its own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = np.random.default_rng(1)
    n, m = 200_000, 1_600_000
    a = sp.csr_matrix((rng.random(m), (rng.integers(0, n, m), rng.integers(0, n, m))), (n, n))
    options = OPTIONS
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.5, interrupt).start()
    try:
        velmar.embed(a, 64, seed=1, **options)
    except KeyboardInterrupt:
        print(f"{time.perf_counter() - sent[0]:.3f}")
    small = sp.random(500, 500, density=0.02, format="csr", random_state=2)
    again = velmar.embed(small, 8, seed=3, **options)
    print(np.array_equal(again, velmar.embed(small, 8, seed=3, **options)))
"""


@pytest.mark.parametrize(
    "options",
    ['{"weights": [1.0] * 80, "method": "projection"}', '{"method": "spectral"}'],
    ids=["projection", "spectral"],
)
def test_ctrl_c_cancels_within_300_ms_and_the_next_call_works(options):
    script = textwrap.dedent(CANCEL_SCRIPT).replace("OPTIONS", options)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    out = done.stdout.decode().split()
    assert len(out) == 2, ("no KeyboardInterrupt?", out, done.stderr.decode())
    delay, again = out
    assert float(delay) < 0.3 and again == "True"


def crc32c(data):
    """Bit by bit, as the polynomial defines it: the reference of the engine's."""
    crc = 0xFFFFFFFF
    for byte in bytes(data):
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


@pytest.mark.parametrize(
    "data, chunk, expected",
    [
        (b"123456789", 9, [0xE3069283]),
        (np.frombuffer(b"123456789", np.uint8), 100, [0xE3069283]),
        (b"", 4, []),
        # Pieces of any contiguous array, the last one shorter.
        (np.arange(37, dtype=np.float64), 48, None),
        (np.arange(1000, dtype=np.uint32), 7, None),
        (np.zeros(10)[::2], 8, "not C-contiguous"),
        (b"abc", 0, "chunk_bytes must be at least 1"),
        ([1, 2, 3], 8, "bytes-like object is required"),
    ],
)
def test_checksums_of_chunks(data, chunk, expected):
    if isinstance(expected, str):
        with pytest.raises((ValueError, TypeError), match=expected):
            _engine.checksums(data, chunk)
        return
    raw = bytes(memoryview(data).cast("B"))
    if expected is None:
        expected = [crc32c(raw[i : i + chunk]) for i in range(0, len(raw), chunk)]
    got = _engine.checksums(data, chunk)
    assert got.dtype == np.uint32 and got.tolist() == expected
