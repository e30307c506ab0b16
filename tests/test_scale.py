"""Prepared graphs and results on disk: the same bits as the in-memory path,
runs that survive a kill, a Dask cluster, and damaged files."""

from __future__ import annotations

import errno
import json
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velmar
import velmar._api
import velmar._convert
import velmar._graph
import velmar._io
import velmar._run
import velmar._stream
from velmar import _engine, _results


def bits(x):
    return np.asarray(x).view(np.uint32)


def edges(n=300, m=3000, seed=3):
    """Random weighted edges where some positions repeat three times with
    weights whose sum depends on the order of addition."""
    rng = np.random.default_rng(seed)
    s, t = rng.integers(0, n, m), rng.integers(0, n, m)
    w = rng.standard_normal(m)
    k = m // 10
    return (np.r_[s, s[:k], s[:k]], np.r_[t, t[:k], t[:k]], np.r_[w, w[:k] * 1e16, -w[:k] * 1e16])


def write_npy(path, s, t, w):
    np.save(path, np.c_[s, t, w])


def write_csv(path, s, t, w):
    with open(path, "w") as f:
        f.write("src,dst,weight\n")
        f.writelines(f"n{a},n{b},{float(c)!r}\n" for a, b, c in zip(s, t, w))


def cancelling_matrix():
    # 0->1 and 1->0 cancel; an explicit zero; a self-loop.
    scipy_sparse = pytest.importorskip("scipy.sparse")
    return scipy_sparse.csr_matrix(
        (
            np.array([1.0, -1.0, 0.0, 0.25, 3.0]),
            (np.array([0, 1, 2, 3, 3]), np.array([1, 0, 3, 3, 0])),
        ),
        shape=(5, 5),
    )


# Reordered graphs also run with options, on one thread, and to disk in blocks.
OPTIONS = [
    dict(
        normalization_strength=0.5, features=np.sin(np.arange(900.0)).reshape(300, 3), feature_dim=4
    ),
    dict(step_normalize="l2"),
]


# segments: VELMAR_SEGMENT_ROWS for the prepared graph's runs.
@pytest.mark.parametrize(
    "make_input, stream, undirected, reorder, segments",
    [
        (lambda p: edges(), False, True, False, None),
        (lambda p: edges(), False, False, False, None),
        (
            lambda p: (write_npy(p / "e.npy", *edges()), str(p / "e.npy"))[1],
            True,
            True,
            False,
            None,
        ),
        (
            lambda p: (write_npy(p / "e.npy", *edges()), str(p / "e.npy"))[1],
            True,
            False,
            False,
            None,
        ),
        (
            lambda p: (write_csv(p / "e.csv", *edges(m=500)), str(p / "e.csv"))[1],
            True,
            True,
            False,
            None,
        ),
        (
            lambda p: (write_csv(p / "e.csv", *edges(m=500)), str(p / "e.csv"))[1],
            False,
            True,
            False,
            None,
        ),
        (lambda p: cancelling_matrix(), False, True, False, None),
        (lambda p: edges(), False, True, True, None),
        (lambda p: edges(), False, False, True, None),
        (lambda p: (write_npy(p / "e.npy", *edges()), str(p / "e.npy"))[1], True, True, True, None),
        (lambda p: edges(), False, True, False, "13"),
        (lambda p: edges(), False, True, True, "13"),
    ],
)
def test_prepared_graph_embeds_with_the_in_memory_bits(
    tmp_path, monkeypatch, make_input, stream, undirected, reorder, segments
):
    if stream:
        pytest.importorskip("duckdb")
        pytest.importorskip("pyarrow")
    # Small batches, so that positions straddle the batches of a streamed run.
    monkeypatch.setattr(velmar._stream, "_BATCH", 1000)
    source = make_input(tmp_path)
    graph = velmar.prepare(
        source, tmp_path / "g", undirected=undirected, stream=stream, reorder=reorder
    )
    assert (graph.order is not None) == reorder
    if isinstance(source, str):
        entries = velmar._io.read_entries(source, header=None)
    else:
        entries = velmar._convert.to_entries(source)
    reference = velmar._graph.build(entries, undirected=undirected)
    run = velmar._run.Run(24, (0.5, 1.0, 1.0), 11, undirected)
    expected = velmar._api.run_on(reference, run)
    if segments is not None:
        monkeypatch.setenv("VELMAR_SEGMENT_ROWS", segments)
    got, nodes = velmar.embed(
        graph,
        24,
        [0.5, 1.0, 1.0],
        seed=11,
        undirected=undirected,
        return_nodes=True,
        method="projection",
    )
    assert np.array_equal(bits(got), bits(expected))
    if reference.nodes is not None:
        assert np.array_equal(nodes, reference.nodes)
    assert graph.indices.dtype == np.uint32 and not graph.indices.flags.writeable
    if reorder:
        threads = _engine.get_num_threads()
        # The same input prepared in node order gives the in-memory bits (above).
        plain = velmar.prepare(source, tmp_path / "plain", undirected=undirected, stream=stream)
        for i, options in enumerate(OPTIONS):
            want = velmar.embed(
                plain, 24, seed=11, undirected=undirected, **options, method="projection"
            )
            _engine.set_num_threads(1)
            try:
                got = velmar.embed(
                    graph, 24, seed=11, undirected=undirected, **options, method="projection"
                )
            finally:
                _engine.set_num_threads(threads)
            assert np.array_equal(bits(got), bits(want))
            if not options.get("step_normalize"):
                out = str(tmp_path / f"e{i}.npy")
                got = velmar.embed(
                    graph,
                    24,
                    seed=11,
                    undirected=undirected,
                    out=out,
                    block_columns=5,
                    **options,
                    method="projection",
                )
                assert np.array_equal(bits(got), bits(want))


def test_graph_on_remote_storage_is_copied_once_and_opened(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    graph = velmar.prepare(edges(), tmp_path / "g")
    remote = fsspec.filesystem("memory")
    for name in os.listdir(graph.path):
        remote.pipe_file(f"/g/{name}", (tmp_path / "g" / name).read_bytes())
    opened = velmar.open_graph("memory://g", cache_dir=tmp_path / "cache")
    assert opened.path.startswith(str(tmp_path / "cache"))
    assert np.array_equal(
        bits(velmar.embed(opened, 8, seed=1, method="projection")),
        bits(velmar.embed(graph, 8, seed=1, method="projection")),
    )


def test_entry_scales_of_a_worked_example(tmp_path):
    # 0-1 (2.0) and 0-2 (1.0), symmetrized: row 0 has degree 2.
    graph = velmar.prepare(([0, 0], [1, 2], [2.0, 1.0]), tmp_path / "g")
    assert graph.indptr.tolist() == [0, 2, 3, 4]
    assert graph.scales.tolist() == [1.0, 0.5, 2.0, 1.0]


KILL_AFTER_TWO_BLOCKS = """
    import os, signal, sys, velmar
    def progress(done, total):
        if done == 2:
            os.kill(os.getpid(), signal.SIGKILL)
    velmar.embed(velmar.open_graph(sys.argv[1]), 20, seed=4, out=sys.argv[2],
                 block_columns=6, progress=progress)
"""


@pytest.mark.parametrize("name", ["emb.zarr", "emb.npy"])
def test_killed_run_restarts_and_computes_only_the_missing_blocks(tmp_path, monkeypatch, name):
    if name.endswith(".zarr"):
        pytest.importorskip("zarr")
    graph = velmar.prepare(edges(), tmp_path / "g", reorder=name.endswith(".npy"))
    out = str(tmp_path / name)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(KILL_AFTER_TWO_BLOCKS), graph.path, out],
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert done.returncode == -signal.SIGKILL, done.stderr
    with pytest.raises(_results.RunMismatchError, match="seed=4 \\(now 5\\)"):
        velmar.embed(graph, 20, seed=5, out=out, method="projection")
    with pytest.raises(_results.RunMismatchError, match="weights="):
        velmar.embed(graph, 20, [0.0, 1.0], seed=4, out=out, method="projection")
    computed = []
    original = _results.compute_block

    def recording(g, j0, j1, run):
        computed.append((j0, j1))
        return original(g, j0, j1, run)

    monkeypatch.setattr(_results, "compute_block", recording)
    result = velmar.embed(graph, 20, seed=4, out=out, method="projection")
    assert computed == [(12, 18), (18, 20)]
    assert np.array_equal(
        bits(result[:]), bits(velmar.embed(graph, 20, seed=4, method="projection"))
    )
    computed.clear()
    velmar.embed(graph, 20, seed=4, out=out, method="projection")
    assert computed == []


@pytest.mark.parametrize("prepared", [False, True], ids=["in memory", "prepared"])
def test_a_run_to_disk_builds_or_opens_its_graph_once(tmp_path, monkeypatch, prepared):
    sp = pytest.importorskip("scipy.sparse")
    a = sp.random(300, 300, density=0.05, format="csr", random_state=1)
    calls = []
    for name in ("build_graph", "build_graph_coo", "open_graph"):
        real = getattr(_engine, name)

        def counted(*args, _real=real, _name=name, **kwargs):
            calls.append(_name)
            return _real(*args, **kwargs)

        monkeypatch.setattr(_engine, name, counted)
    graph = velmar.prepare(a, tmp_path / "g") if prepared else a
    calls.clear()
    result = velmar.embed(
        graph, 64, seed=1, out=str(tmp_path / "x.npy"), block_columns=8, method="projection"
    )
    assert calls == ([] if prepared else ["build_graph"])
    assert np.array_equal(bits(result), bits(velmar.embed(a, 64, seed=1, method="projection")))


def test_unseeded_run_records_its_seed_so_blocks_agree(tmp_path):
    graph = velmar.prepare(edges(), tmp_path / "g")
    out = str(tmp_path / "emb.npy")
    result = velmar.embed(graph, 12, out=out, block_columns=5, method="projection")
    seed = json.loads((tmp_path / "emb.npy.run.json").read_text())["seed"]
    assert np.array_equal(
        bits(result), bits(velmar.embed(graph, 12, seed=seed, method="projection"))
    )


def test_memory_limit_sets_the_block_of_a_run_to_disk(tmp_path):
    pytest.importorskip("zarr")
    graph = velmar.prepare(edges(), tmp_path / "g")
    # The mapped graph and three n x 4 float32 matrices (result, working).
    limit = graph.mapped_bytes + 300 * 4 * 3 * 4
    got = velmar.embed(
        graph, 40, seed=2, out=str(tmp_path / "e.zarr"), memory_limit=limit, method="projection"
    )
    assert got.chunks[1] == 4
    assert np.array_equal(bits(got[:]), bits(velmar.embed(graph, 40, seed=2, method="projection")))
    with pytest.raises(MemoryError, match="memory_limit"):
        velmar.embed(
            graph,
            40,
            seed=2,
            out=str(tmp_path / "f.npy"),
            memory_limit=graph.mapped_bytes,
            method="projection",
        )


def test_full_disk_names_the_file_and_a_second_call_completes(tmp_path, monkeypatch):
    graph = velmar.prepare(edges(), tmp_path / "g")
    out = str(tmp_path / "emb.npy")

    def no_space(fd, offset, length):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    with monkeypatch.context() as patch:
        patch.setattr(os, "posix_fallocate", no_space)
        with pytest.raises(OSError, match="No space left on device") as error:
            velmar.embed(graph, 8, seed=2, out=out, method="projection")
    assert error.value.errno == errno.ENOSPC and error.value.filename == out
    assert not os.path.exists(out)
    result = velmar.embed(graph, 8, seed=2, out=out, method="projection")
    assert np.array_equal(bits(result), bits(velmar.embed(graph, 8, seed=2, method="projection")))


DASK_RUN = """
    import os, sys, numpy as np, velmar
    from distributed import Client, LocalCluster

    def die_once_in_block_5(marker):
        # The worker process dies halfway through its first try of columns 5:10.
        from velmar import _results
        compute = _results.compute_block
        def dying(graph, j0, j1, run):
            if j0 == 5 and not os.path.exists(marker):
                open(marker, "w").close()
                os._exit(1)
            return compute(graph, j0, j1, run)
        _results.compute_block = dying

    if __name__ == "__main__":
        graph = velmar.open_graph(sys.argv[1])
        # Options travel with every task (features as float32 arrays).
        x = np.sin(np.arange(graph.num_nodes * 3.0)).reshape(-1, 3)
        options = dict(normalization_strength=0.5, features=x, feature_dim=4)
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(die_once_in_block_5, sys.argv[2] + ".killed")
            result = velmar.embed(graph, 16, seed=9, out=sys.argv[2], block_columns=5,
                                  client=client, **options)
        expected = velmar.embed(graph, 16, seed=9, method="projection", **options)
        print(os.path.exists(sys.argv[2] + ".killed"),
              np.array_equal(result[:].view(np.uint32), expected.view(np.uint32)))
"""


def test_dask_cluster_survives_a_killed_worker_with_the_single_machine_bits(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("zarr")
    # Rows in locality order: every task maps them back.
    graph = velmar.prepare(edges(), tmp_path / "g", reorder=True)
    script = tmp_path / "run.py"
    script.write_text(textwrap.dedent(DASK_RUN))
    done = subprocess.run(
        [sys.executable, str(script), graph.path, str(tmp_path / "emb.zarr")],
        capture_output=True,
        text=True,
        timeout=240,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split()[-2:] == ["True", "True"]


def _truncate(path, name):
    with open(path / f"{name}.npy", "r+b") as f:
        f.truncate(os.path.getsize(path / f"{name}.npy") - 4)


def _header(path, **changes):
    header = json.loads((path / "graph.json").read_text())
    header.update(changes)
    (path / "graph.json").write_text(json.dumps(header))


def _rewrite(path, name, change):
    array = np.load(path / f"{name}.npy")
    change(array)
    np.save(path / f"{name}.npy", array)


@pytest.mark.parametrize(
    "damage, file, message",
    [
        (lambda p: _truncate(p, "indices"), "indices.npy", "truncated"),
        (lambda p: _truncate(p, "scales"), "scales.npy", "truncated"),
        (lambda p: os.remove(p / "values.npy"), "values.npy", "missing"),
        (lambda p: os.remove(p / "graph.json"), "graph.json", "missing"),
        (lambda p: (p / "graph.json").write_text("{"), "graph.json", "unreadable"),
        (lambda p: _header(p, version=3), "graph.json", "format version 3"),
        (
            lambda p: _rewrite(p, "order", lambda a: a.__setitem__(0, a[1])),
            "order.npy",
            "not a permutation",
        ),
        (
            lambda p: _rewrite(p, "order", lambda a: a.__setitem__(2, -1)),
            "order.npy",
            "outside 0..299",
        ),
        (lambda p: _header(p, num_entries=10**12), "indices.npy", "expected uint32"),
        (lambda p: _header(p, num_nodes=-1), "graph.json", "'num_nodes' is missing or invalid"),
        (
            lambda p: _rewrite(p, "indices", lambda a: a.__setitem__(3, 300)),
            "indices.npy",
            "outside 0..299",
        ),
        (
            lambda p: _rewrite(p, "indptr", lambda a: a.__setitem__(5, a[7])),
            "indptr.npy",
            "decrease",
        ),
        (lambda p: (p / "scales.npy").write_bytes(b"not numpy"), "scales.npy", "not a valid .npy"),
    ],
)
def test_damaged_prepared_graph_is_refused_naming_the_file(tmp_path, damage, file, message):
    velmar.prepare(edges(), tmp_path / "g", reorder=file == "order.npy")
    damage(tmp_path / "g")
    with pytest.raises(velmar.GraphFormatError, match=message) as error:
        velmar.open_graph(tmp_path / "g")
    assert str(error.value).startswith(str(tmp_path / "g" / file))
