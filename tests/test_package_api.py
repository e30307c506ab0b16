"""velmar.embed options: parameters, normalisation, the memory guard and
set_num_threads."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import under_address_sanitizer

import velmar
from velmar import _convert, _engine, _memory

EDGES = ([0, 1, 2, 3, 0], [1, 2, 3, 0, 2])


def test_seed_reproduces_and_none_does_not():
    a = velmar.embed(EDGES, 16, seed=5, method="projection")
    assert np.array_equal(
        a.view(np.uint32), velmar.embed(EDGES, 16, seed=5, method="projection").view(np.uint32)
    )
    assert not np.array_equal(a, velmar.embed(EDGES, 16, seed=6, method="projection"))
    assert not np.array_equal(
        velmar.embed(EDGES, 16, method="projection"), velmar.embed(EDGES, 16, method="projection")
    )


def test_result_is_the_engine_array():
    emb = velmar.embed(EDGES, 16, seed=1, method="projection")
    assert emb.dtype == np.float32 and emb.shape == (4, 16)
    assert emb.flags.c_contiguous and emb.flags.writeable


def test_l2_rows_have_unit_length_and_isolated_rows_stay_zero():
    emb = velmar.embed(
        EDGES, 32, seed=3, nodes=[0, 1, 2, 3, 4], normalize="l2", method="projection"
    )
    raw = velmar.embed(EDGES, 32, seed=3, nodes=[0, 1, 2, 3, 4], method="projection")
    assert emb.dtype == np.float32
    assert not np.isnan(emb).any()
    assert not emb[4].any() and not raw[4].any()
    np.testing.assert_allclose(np.linalg.norm(emb[:4].astype(np.float64), axis=1), 1.0, rtol=1e-6)
    expected = raw[:4] / np.linalg.norm(raw[:4].astype(np.float64), axis=1, keepdims=True)
    np.testing.assert_allclose(emb[:4], expected, rtol=1e-6)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"dim": 0}, ValueError, "dim must be at least 1"),
        ({"dim": 2.5}, TypeError, "dim must be an integer"),
        ({"dim": True}, TypeError, "dim must be an integer"),
        ({"weights": []}, ValueError, "at least one weight"),
        ({"weights": "011"}, TypeError, "sequence of numbers"),
        ({"weights": [0.0, float("nan")]}, ValueError, "finite"),
        ({"weights": [0.0, 1e300]}, ValueError, "finite as 32-bit floats"),
        ({"weights": [0.0, "x"]}, TypeError, "sequence of numbers"),
        ({"seed": -1}, ValueError, "seed must be between"),
        ({"seed": 2**64}, ValueError, "seed must be between"),
        ({"seed": 1.0}, TypeError, "seed must be an integer"),
        ({"undirected": 1}, TypeError, "undirected must be True or False"),
        ({"normalize": "l1"}, ValueError, "normalize must be None or 'l2'"),
        ({"normalization_strength": "1"}, TypeError, "normalization_strength must be a number"),
        ({"normalization_strength": float("nan")}, ValueError, "must be finite"),
        ({"step_normalize": True}, ValueError, "step_normalize must be False or 'l2'"),
        ({"step_normalize": "l2", "columns": (0, 4)}, ValueError, "couples the columns"),
        ({"step_center": "yes"}, TypeError, "step_center must be True or False"),
        (
            {"step_normalize": "l2", "memory_limit": 400},
            ValueError,
            "all 8 of them are computed in one block",
        ),
        ({"features": np.ones((4, 3))}, TypeError, "needs feature_dim="),
        ({"feature_dim": 2}, TypeError, "applies only with features="),
        (
            {"features": np.ones((4, 3)), "feature_dim": 9},
            ValueError,
            r"between 1 and dim \(8\), got 9",
        ),
        (
            {"features": np.ones((5, 3)), "feature_dim": 2},
            ValueError,
            "5 rows for a graph of 4 nodes",
        ),
        ({"features": np.ones(4), "feature_dim": 2}, ValueError, "must be 2-D"),
        ({"features": np.full((4, 3), "a"), "feature_dim": 2}, TypeError, "real numbers"),
        (
            {"features": np.diag([1.0, np.inf, 1.0])[[0, 1, 2, 2]], "feature_dim": 2},
            ValueError,
            "row 1, column 1 is not",
        ),
        (
            {"features": np.full((4, 3), 1e39), "feature_dim": 2},
            ValueError,
            "finite as 32-bit floats",
        ),
        # Sparse features are checked before any SciPy routine reads them.
        (
            {"features": lambda: _corrupt_features("csr", "indptr", 2, 10**9), "feature_dim": 2},
            ValueError,
            "features is corrupt: its indptr must start at 0 and never decrease",
        ),
        (
            {"features": lambda: _corrupt_features("csc", "indptr", -1, 10**9), "feature_dim": 2},
            ValueError,
            "features is corrupt: its indptr ends at 1000000000",
        ),
        (
            {"features": lambda: _corrupt_features("coo", "col", 0, 3), "feature_dim": 2},
            ValueError,
            r"features is corrupt: column index 3 is out of range for its shape \(4, 3\)",
        ),
        ({"out": "x.zarr", "block_columns": 0}, ValueError, "block_columns must be at least 1"),
        (
            {"out": "x.zarr", "client": "tcp://127.0.0.1:8786"},
            TypeError,
            r"client must be a dask.distributed.Client, got str .*client=Client\('tcp",
        ),
        ({"method": "node2vec"}, ValueError, "method must be 'projection' or 'spectral'"),
        ({"method": 1}, ValueError, "method must be 'projection' or 'spectral'"),
        (
            {"method": "spectral", "weights": (1.0, 1.0)},
            ValueError,
            "weights= applies to method='projection' only",
        ),
        (
            {"method": "spectral", "normalization_strength": 1.0},
            ValueError,
            "normalization_strength= applies to method='projection' only",
        ),
        (
            {"method": "spectral", "step_normalize": "l2"},
            ValueError,
            "step_normalize= applies",
        ),
        ({"method": "spectral", "step_center": True}, ValueError, "step_center= applies"),
        (
            {"method": "spectral", "features": np.ones((4, 3)), "feature_dim": 2},
            ValueError,
            "features= applies",
        ),
        (
            {"method": "spectral", "columns": (0, 4)},
            ValueError,
            "columns= applies .* computes every column at once",
        ),
        ({"method": "spectral", "out": "x.npy"}, ValueError, "out= applies"),
    ],
)
def test_parameter_errors(kwargs, error, message):
    kwargs = {key: value() if callable(value) else value for key, value in kwargs.items()}
    with pytest.raises(error, match=message):
        velmar.embed(EDGES, **{"dim": 8, "method": "projection", **kwargs})


def _corrupt_features(fmt, field, at, value):
    sp = pytest.importorskip("scipy.sparse")
    x = sp.random(4, 3, density=0.5, format=fmt, random_state=1)
    getattr(x, field)[at] = value
    return x


@pytest.mark.parametrize("limit", [10**30, "9" * 400 + "TB", 2**64])
def test_memory_limit_of_any_size(limit):
    assert velmar.embed(EDGES, 8, memory_limit=limit).shape == (4, 8)
    assert velmar.estimate_memory(10**6, 10**7, 64, memory_limit=limit) > 0


# Shapes beyond what the plan counts exactly: more than any machine holds,
# never a wrapped-around figure (2**64 - 2 nodes gave 40 bytes) or a crash
# (2**64 - 1 nodes divided by zero).
@pytest.mark.parametrize(
    "n, m, dim",
    [(2**64 - 1, 1, 8), (2**64 - 2, 1, 8), (2**40, 0, 8), (10, 2**64 - 1, 8), (10, 1, 2**62)],
)
def test_estimate_memory_of_any_size(n, m, dim):
    for method in ("projection", "spectral"):
        assert velmar.estimate_memory(n, m, dim, method=method) == 2**64 - 1
    # Just below: exact, the result's 4·n·dim bytes among them.
    assert (
        4 * (2**40 - 1) * 8 < velmar.estimate_memory(2**40 - 1, 0, 8, method="projection") < 2**64
    )


def _star(leaves):
    return [0] * leaves, list(range(1, leaves + 1))


def _huge_feature(sparse):
    x = np.ones((11, 3), np.float32)
    x[4, 1] = 3e38  # finite in float32, its projection is not
    if sparse:
        sp = pytest.importorskip("scipy.sparse")
        return sp.csr_array(x)
    return x


# Values that would leave float32 are refused before anything is computed,
# naming the option and the largest value; the largest beta a message offers
# works. NaN or inf from the graph's own weights still spread as documented.
@pytest.mark.parametrize(
    "graph, kwargs, message, allowed",
    [
        (_star(10), {"normalization_strength": 40}, r"=40 .*degree 10 .* 1e\+40", 37.992),
        (_star(20000), {"normalization_strength": 10}, r"degree 20000 .* 1.024e\+43", 8.833),
        (
            _star(20000),
            {"normalization_strength": 10, "step_normalize": "l2"},
            "degree 20000",
            8.903,
        ),
        (
            _star(3),
            {"normalization_strength": 1000},
            r"degree 3 .* by about 1e\+477, to values up to inf",
            79.628,
        ),
        (
            _star(10),
            {"normalization_strength": 38, "out": "x.npy"},
            r"result could reach 3.464e\+38 \(weights summing to 2 ",
            37.992,
        ),
        (_star(10), {"features": "dense", "feature_dim": 2}, "row 4 sum to 3e", None),
        (_star(10), {"features": "sparse", "feature_dim": 8}, "row 4 sum to 3e", None),
        (_star(10), {"weights": (1e38, 1e38)}, r"weights are too large: .* 3.464e\+38", None),
        # Centring at most doubles a step's values: 2 and 4 times max|H_0| here.
        (
            _star(10),
            {"weights": (5e37, 5e37), "step_center": True},
            r"weights are too large: the result could reach 5.196e\+38 .* each centring",
            None,
        ),
        (_star(10), {"normalization_strength": 38, "step_center": True}, r"2.078e\+39", 37.214),
        ((*_star(2), [np.inf, 1.0]), {}, None, None),
    ],
)
def test_values_beyond_float32_are_refused(tmp_path, graph, kwargs, message, allowed):
    if kwargs.get("features") in ("dense", "sparse"):
        kwargs["features"] = _huge_feature(kwargs["features"] == "sparse")
    if "out" in kwargs:
        kwargs["out"] = str(tmp_path / kwargs["out"])
    if message is None:
        assert not np.isfinite(velmar.embed(graph, 8, seed=1, method="projection", **kwargs)).all()
        return
    with pytest.raises(ValueError, match=message):
        velmar.embed(graph, 8, seed=1, method="projection", **kwargs)
    assert not os.listdir(tmp_path)  # refused before any output exists
    if allowed is not None:  # the bound the message gives, to its last digit
        kwargs["normalization_strength"] = allowed
        assert np.isfinite(velmar.embed(graph, 8, seed=1, method="projection", **kwargs)).all()
        kwargs["normalization_strength"] = allowed + 0.002
        with pytest.raises(ValueError, match=f"at most {allowed:.3f} works here"):
            velmar.embed(graph, 8, seed=1, method="projection", **kwargs)


# normalization_strength="auto" on graphs whose every node has degree d of
# n = 1000: kappa = d / n, beta = 1 - 2 log10(kappa / 0.004) within [-1, 1].
@pytest.mark.parametrize("degree, beta", [(4, 1.0), (8, 0.4), (20, -0.4), (40, -1.0)])
def test_auto_strength_follows_the_degrees(tmp_path, degree, beta):
    n = 1000
    sources = np.repeat(np.arange(n), degree // 2)
    targets = (sources + np.tile(np.arange(1, degree // 2 + 1), n)) % n
    options = {"weights": (0.0, 1.0, 1.0), "seed": 3}
    auto = velmar.embed((sources, targets), 8, normalization_strength="auto", **options)
    given = velmar.embed((sources, targets), 8, normalization_strength=beta, **options)
    assert np.array_equal(auto.view(np.uint32), given.view(np.uint32))
    # A run to disk records the beta it used, and resumes with "auto".
    out = str(tmp_path / "e.npy")
    velmar.embed((sources, targets), 8, normalization_strength="auto", out=out, **options)
    with open(out + ".run.json") as f:
        assert json.load(f)["run"].get("normalization_strength") == (beta or None)
    again = velmar.embed((sources, targets), 8, normalization_strength="auto", out=out, **options)
    assert np.array_equal(np.asarray(again).view(np.uint32), given.view(np.uint32))


def test_parameters_accept_numpy_types():
    a = velmar.embed(
        EDGES,
        np.int64(8),
        np.array([0.0, 1.0]),
        seed=np.uint64(2**64 - 1),
        undirected=np.bool_(True),
        method="projection",
    )
    b = velmar.embed(EDGES, 8, (0, 1), seed=2**64 - 1, method="projection")
    assert np.array_equal(a.view(np.uint32), b.view(np.uint32))


# --- memory ------------------------------------------------------------------


@pytest.mark.skipif(
    under_address_sanitizer(), reason="AddressSanitizer changes what memory is resident"
)
@pytest.mark.skipif(importlib.util.find_spec("scipy") is None, reason="needs SciPy")
@pytest.mark.parametrize(
    "n, degree, dim, options",
    [
        (300_000, 2, 16, "method='projection'"),
        (300_000, 64, 16, "method='projection'"),
        (100_000, 8, 512, "method='projection'"),
        # Row scales, the block of R and the float32 copy of float64 features.
        (
            100_000,
            8,
            64,
            "method='projection', normalization_strength=0.5, features=x, feature_dim=24",
        ),
        # The default method.
        (100_000, 8, 64, ""),
        # Centred steps: their column sums and the separate accumulation.
        (100_000, 8, 64, "method='projection', step_normalize='l2', step_center=True"),
    ],
)
def test_estimate_memory_matches_the_measured_peak(n, degree, dim, options):
    # Peak RSS growth of one embed of a SciPy CSR matrix, in a fresh process,
    # against the engine's own plan; /proc/self/clear_refs resets the peak.
    out = run_python(f"""
        import numpy as np, scipy.sparse as sp, velmar
        rng = np.random.default_rng(0)
        m = {n} * {degree} // 2
        a = sp.csr_matrix((rng.random(m), (rng.integers(0, {n}, m), rng.integers(0, {n}, m))),
                          shape=({n}, {n}))
        x = rng.random(({n}, 40)) if "features" in "{options}" else None
        velmar.set_num_threads(2)
        def status(key):
            for line in open("/proc/self/status"):
                if line.startswith(key):
                    return int(line.split()[1]) * 1024
        open("/proc/self/clear_refs", "w").write("5")
        before = status("VmRSS:")
        velmar.embed(a, {dim}, seed=1, {options})
        print(status("VmHWM:") - before, velmar.estimate_memory({n}, a.nnz, {dim}, {options}))
    """)
    measured, estimate = map(int, out.split())
    assert abs(estimate - measured) <= 0.05 * measured, (measured, estimate)
    with pytest.raises(ValueError):
        velmar.estimate_memory(-1, 0, 8)


def test_memory_guard_raises_before_the_engine_runs(monkeypatch):
    monkeypatch.setattr(_memory, "available_memory", lambda: (10_000, "test limit"))
    with pytest.raises(MemoryError) as info:
        velmar.embed(EDGES, 1000, seed=1, method="projection")
    text = str(info.value)
    assert "4 nodes" in text and "dim=1000" in text and "9.8 KiB is available" in text
    assert "test limit" in text and "Reduce dim" in text
    # Small enough: goes through.
    assert velmar.embed(EDGES, 8, seed=1, method="projection").shape == (4, 8)
    monkeypatch.setattr(_memory, "available_memory", lambda: None)
    assert velmar.embed(EDGES, 1000, seed=1, method="projection").shape == (4, 1000)


@pytest.mark.parametrize("form", ["rows", "columns", "DataFrame", "networkx", "coo", "dense"])
def test_memory_guard_runs_before_the_input_is_converted(monkeypatch, form):
    m = 4000
    src, dst = [f"s{k}" for k in range(m)], [f"t{k % 7}" for k in range(m)]
    if form == "rows":
        graph = list(zip(src, dst))
    elif form == "columns":
        graph = (src, dst)
    elif form == "DataFrame":
        graph = pytest.importorskip("pandas").DataFrame({"source": src, "target": dst})
    elif form == "networkx":
        graph = pytest.importorskip("networkx").DiGraph(list(zip(src, dst)))
    elif form == "coo":
        rows = np.arange(m) % 100
        sparse = pytest.importorskip("scipy.sparse")
        graph = sparse.coo_array((np.ones(m), (rows, rows)), shape=(100, 100))
    else:
        graph = np.ones((100, 100))

    def converting(*args, **kwargs):
        raise AssertionError("the input was converted before the memory check")

    monkeypatch.setattr(_convert, "_group", converting)
    monkeypatch.setattr(_convert, "_list_array", converting)
    monkeypatch.setattr(_memory, "available_memory", lambda: (50 * m, "test limit"))
    with pytest.raises(MemoryError, match="checked before converting"):
        velmar.embed(graph, 4, method="projection")


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


@pytest.mark.parametrize(
    "proc, files, expected",
    [
        # v2: the tightest limit on the way to the root counts; cache not used.
        (
            "0::/a/b\n",
            {
                "a/memory.max": "1000000",
                "a/memory.current": "300000",
                "a/memory.stat": "anon 1\ninactive_file 100000\n",
                "a/b/memory.max": "max",
                "memory.max": "max",
            },
            800000,
        ),
        # v1 with a hierarchy of controllers.
        (
            "12:cpu,cpuacct:/x\n4:memory:/x/y\n",
            {
                "memory/x/y/memory.limit_in_bytes": "5000",
                "memory/x/y/memory.usage_in_bytes": "1000",
                "memory/x/memory.limit_in_bytes": "9223372036854771712",
            },
            4000,
        ),
        # usage above the limit leaves nothing.
        ("0::/\n", {"memory.max": "100", "memory.current": "250"}, 0),
        # no limit anywhere.
        ("0::/q\n", {"memory.max": "max"}, None),
    ],
)
def test_cgroup_headroom(tmp_path, proc, files, expected):
    write(tmp_path / "proc", proc)
    for name, text in files.items():
        write(tmp_path / "cg" / name, text)
    assert _memory._cgroup_headroom(str(tmp_path / "proc"), str(tmp_path / "cg")) == expected


def test_mem_available(tmp_path):
    write(tmp_path / "meminfo", "MemTotal: 100 kB\nMemAvailable:    2048 kB\n")
    assert _memory._mem_available(str(tmp_path / "meminfo")) == 2048 * 1024
    assert _memory._mem_available(str(tmp_path / "missing")) is None


# --- threads -------------------------------------------------------------------


def run_python(code):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=env,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.mark.parametrize(
    "options",
    [{"weights": (0.5, 1.0, 1.0), "method": "projection"}, {"method": "spectral"}],
    ids=["projection", "spectral"],
)
def test_set_num_threads_takes_effect_between_calls_and_changes_no_bit(options):
    rng = np.random.default_rng(0)
    edges = (rng.integers(0, 3000, 20000), rng.integers(0, 3000, 20000), rng.random(20000))
    results = set()
    for threads in (1, 3, 2):
        velmar.set_num_threads(threads)
        assert _engine.get_num_threads() == threads
        emb = velmar.embed(edges, 64, seed=11, nodes=np.arange(3000), **options)
        results.add(emb.tobytes())
    assert len(results) == 1


@pytest.mark.parametrize("value, error", [(0, ValueError), (1.5, TypeError), (True, TypeError)])
def test_set_num_threads_rejects(value, error):
    with pytest.raises(error):
        velmar.set_num_threads(value)
