"""Prepared graphs and results on disk: the same bits as the in-memory path,
runs that survive a kill, a Dask cluster, and damaged files."""

from __future__ import annotations

import errno
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import velmar
import velmar._api
import velmar._cli
import velmar._convert
import velmar._graph
import velmar._io
import velmar._run
import velmar._store
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
    dict(step_center=True, normalization_strength=1.0),  # column sums in node order
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
    # A header naming a path outside the cache: refused before any copy.
    header = json.loads((tmp_path / "g" / "graph.json").read_text())
    header["arrays"]["../../payload"] = header["arrays"]["values"]
    remote.pipe_file("/h/graph.json", json.dumps(header).encode())
    remote.pipe_file("/h/../../payload.npy", b"payload")
    with pytest.raises(velmar.GraphFormatError, match="names an array '../../payload'"):
        velmar.open_graph("memory://h", cache_dir=tmp_path / "cache" / "a" / "b")
    assert not list(tmp_path.rglob("payload*"))


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
    # Centred blocks would not belong with the plain ones already written.
    with pytest.raises(_results.RunMismatchError, match="step_center=None \\(now True\\)"):
        velmar.embed(graph, 20, seed=4, out=out, step_center=True, method="projection")
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


def _legacy(path, version):
    """A graph's header as older versions wrote it: no checksums."""

    def drop(header):
        header.pop("checksum")
        for entry in header["arrays"].values():
            entry.pop("crc32c")

    _header(path, edit=drop, rederive=False, version=version)


def test_older_graphs_open_unverified_and_an_edited_header_is_another_graph(tmp_path):
    graph = velmar.prepare(edges(), tmp_path / "g", reorder=True)
    _legacy(tmp_path / "g", 2)
    with pytest.warns(velmar.UnverifiedGraphWarning, match="cannot be verified"):
        old = velmar.open_graph(tmp_path / "g")
    assert np.array_equal(
        bits(velmar.embed(old, 8, seed=1, method="projection")),
        bits(velmar.embed(graph, 8, seed=1, method="projection")),
    )
    out = str(tmp_path / "e.npy")
    velmar.embed(old, 8, seed=1, out=out, block_columns=4)
    # Version 2 edited to 1 without its order: a run on it is not resumed.
    _header(tmp_path / "g", edit=lambda h: h["arrays"].pop("order"), rederive=False, version=1)
    with pytest.warns(velmar.UnverifiedGraphWarning):
        edited = velmar.open_graph(tmp_path / "g")
    with pytest.raises(_results.RunMismatchError, match="graph="):
        velmar.embed(edited, 8, seed=1, out=out)


TWO_WRITERS = """
    import sys, time, velmar
    graph = velmar.open_graph(sys.argv[1])
    while time.time() < float(sys.argv[4]):
        pass
    # Slow blocks, so that the two runs overlap.
    try:
        velmar.embed(graph, 32, seed=int(sys.argv[3]), out=sys.argv[2], block_columns=8,
                     progress=lambda done, total: time.sleep(0.3))
        print("finished")
    except (velmar.OutputInUseError, velmar.RunMismatchError) as e:
        print(type(e).__name__, e)
"""


@pytest.mark.parametrize("name", ["c.zarr", "c.npy"])
def test_two_writers_of_one_output_never_mix_their_data(tmp_path, name):
    if name.endswith(".zarr"):
        pytest.importorskip("zarr")
    graph = velmar.prepare(edges(), tmp_path / "g")
    out = str(tmp_path / name)
    start = time.time() + 3
    runs = [
        subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(TWO_WRITERS), graph.path, out, seed, str(start)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for seed in ("5", "6")
    ]
    said = [run.communicate(timeout=240) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], said
    lines = [stdout.strip() for stdout, _ in said]
    winners = [seed for seed, line in zip((5, 6), lines) if line == "finished"]
    assert len(winners) == 1, lines
    loser = next(line for line in lines if line != "finished")
    assert loser.startswith(("OutputInUseError", "RunMismatchError")), loser
    if loser.startswith("OutputInUseError"):
        assert f"{out}: in use by a live run (process " in loser
    assert "remove" not in loser
    result = velmar.open_result(out)
    assert np.array_equal(
        bits(result[:]), bits(velmar.embed(graph, 32, seed=winners[0], method="projection"))
    )
    assert not os.path.exists(out + ".lock")


ZARR_WRITE_INTERRUPTED = """
    import asyncio, os, signal, sys, threading, velmar
    from zarr.storage import LocalStore
    # Ctrl-C as in an interactive session, whatever this process inherited
    # (a parent started in the background without job control ignores SIGINT).
    signal.signal(signal.SIGINT, signal.default_int_handler)

    write = LocalStore.set

    async def slow_write(self, key, value):
        # Ctrl-C while Zarr's event loop writes the first block's chunk.
        if key.startswith("embedding/c/") and not os.environ.get("SENT"):
            os.environ["SENT"] = "1"
            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
            await asyncio.sleep(0.5)
        await write(self, key, value)

    LocalStore.set = slow_write
    try:
        velmar.embed(velmar.open_graph(sys.argv[1]), 12, seed=3, out=sys.argv[2],
                     block_columns=6)
    except KeyboardInterrupt:
        print("interrupted")
"""


def test_ctrl_c_during_a_zarr_write_ends_the_write_first(tmp_path):
    pytest.importorskip("zarr")
    graph = velmar.prepare(edges(), tmp_path / "g")
    out = str(tmp_path / "e.zarr")
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ZARR_WRITE_INTERRUPTED), graph.path, out],
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert done.stdout.strip() == "interrupted", done.stderr
    assert "Task was destroyed" not in done.stderr and "Traceback" not in done.stderr
    assert np.array_equal(
        bits(velmar.embed(graph, 12, seed=3, out=out)[:]),
        bits(velmar.embed(graph, 12, seed=3, method="projection")),
    )


def test_cli_in_memory_run_replaces_the_record_of_a_run_to_disk(tmp_path, capsys):
    graph = velmar.prepare(edges(), tmp_path / "g")
    write_csv(tmp_path / "e.csv", *edges(m=500))
    out = str(tmp_path / "o.npy")
    on_disk = ["embed", graph.path, "-o", out, "--dim", "16", "--seed", "1", "-q"]
    assert velmar._cli.main(on_disk) == 0
    assert os.path.exists(out + ".run.json")
    in_memory = [
        "embed",
        "--method",
        "projection",
        str(tmp_path / "e.csv"),
        "-o",
        out,
        "--dim",
        "16",
        "--seed",
        "2",
        "-q",
    ]
    assert velmar._cli.main(in_memory) == 0
    assert not os.path.exists(out + ".run.json")
    written = np.load(out)
    # The first command again: the file is no run of it, and stays as it is.
    assert velmar._cli.main(on_disk) == 1
    assert "exists but is not an unfinished velmar run" in capsys.readouterr().err
    assert np.array_equal(bits(np.load(out)), bits(written))


@pytest.mark.parametrize("rows", [2**70, 10**6])
def test_a_record_claiming_longer_pieces_than_its_blocks_reads_the_same(tmp_path, rows):
    # Pieces longer than the block are the whole block: the same sums.
    graph = velmar.prepare(edges(), tmp_path / "g")
    out = tmp_path / "emb.npy"
    written = bits(velmar.embed(graph, 20, seed=4, out=str(out), block_columns=6)[:])
    _edit_record(tmp_path / "emb.npy.run.json", lambda s: s.update(checksum_rows=rows))
    assert np.array_equal(bits(velmar.open_result(out)[:]), written)


def test_progress_true_with_out_shows_the_run(tmp_path, capsys):
    graph = velmar.prepare(edges(), tmp_path / "g")
    velmar.embed(graph, 12, seed=1, out=str(tmp_path / "e.npy"), block_columns=5, progress=True)
    # Three blocks of the projection and two steps.
    assert "9/9" in capsys.readouterr().err


@pytest.mark.parametrize(
    "ids, message",
    [([2**70, 1], "fit neither"), ([-1, 2**63 + 5], "fit neither"), (["a", 1], "mix kinds")],
)
def test_node_ids_a_prepared_graph_cannot_store(tmp_path, ids, message):
    with pytest.raises(ValueError, match=message):
        velmar.prepare((ids, [1, 2]), tmp_path / "g")


@pytest.mark.parametrize("dim", [2**70, 2**31])
@pytest.mark.parametrize("name", ["x.zarr", "x.npy"])
def test_huge_dim_with_out_is_refused_before_the_output_exists(tmp_path, dim, name):
    graph = velmar.prepare(([0, 1], [1, 2]), tmp_path / "g")
    with pytest.raises(ValueError, match=rf"dim={dim} in blocks of \d+ columns makes"):
        velmar.embed(graph, dim, out=str(tmp_path / name))
    assert sorted(os.listdir(tmp_path)) == ["g"]


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
        options = dict(normalization_strength=0.5, features=x, feature_dim=4, step_center=True)
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


def _header(path, edit=None, rederive=True, **changes):
    """Edits graph.json; with `rederive` its graph ID is derived again, as a
    deliberate edit would, so that the checks behind that one are reached."""
    header = json.loads((path / "graph.json").read_text())
    header.update(changes)
    if edit is not None:
        edit(header)
    if rederive:
        header["graph_id"] = velmar._store.derived_id(header)
    (path / "graph.json").write_text(json.dumps(header))


def _rewrite(path, name, change, resign=True):
    """Changes an array; with `resign` its checksums are recorded again, so
    that the structure checks behind them are reached."""
    array = np.load(path / f"{name}.npy")
    change(array)
    np.save(path / f"{name}.npy", array)
    if resign:
        header = json.loads((path / "graph.json").read_text())
        velmar._store.write_header(str(path), header)


def _flip(file, offset=None, bit=0):
    """Flips one bit of a file: at `offset`, or of the first element after
    a .npy file's header."""
    data = bytearray(file.read_bytes())
    if offset is None:
        with open(file, "rb") as f:
            velmar._store.read_npy_header(f)
            offset = f.tell()
    data[offset] ^= 1 << bit
    file.write_bytes(bytes(data))


def _swap(a):
    a[[0, 1]] = a[[1, 0]]


def _copy_arrays(path, source, names):
    for name in names:
        (path / f"{name}.npy").write_bytes((source / f"{name}.npy").read_bytes())


def two_communities():
    # Even and odd nodes, each a ring: the locality order moves them apart.
    i = np.arange(300)
    return np.r_[i, i], np.r_[(i + 2) % 300, (i + 4) % 300]


def _plain_arrays_in_a_reordered_graph(path):
    velmar.prepare(two_communities(), path, reorder=True, overwrite=True)
    plain = velmar.prepare(two_communities(), path.parent / "plain")
    _copy_arrays(path, pathlib.Path(plain.path), ["indptr", "indices", "scales", "values"])


def _scales_of_another_graph(path):
    s, t, w = edges()
    other = velmar.prepare((s, t, 2 * w), path.parent / "other")
    _copy_arrays(path, pathlib.Path(other.path), ["scales"])


def _order_of_another_graph(path):
    other = velmar.prepare(two_communities(), path.parent / "other", reorder=True)
    _copy_arrays(path, pathlib.Path(other.path), ["order"])


def _downgraded(path):
    # A reordered graph's header edited to version 1, without its order.
    velmar.prepare(edges(), path, reorder=True, overwrite=True)
    _header(path, edit=lambda h: h["arrays"].pop("order"), rederive=False, version=1)


def _named_nodes_flipped(path):
    s, t, w = edges()
    velmar.prepare(([f"n{x}" for x in s], [f"n{x}" for x in t], w), path, overwrite=True)
    _flip(path / "nodes.npy")


def _zarr_chunk(path, block):
    return path / "embedding" / "c" / "0" / str(block)


def _edit_zarr_shape(path):
    meta = json.loads((path / "embedding" / "zarr.json").read_text())
    meta["shape"] = [300, 16]
    (path / "embedding" / "zarr.json").write_text(json.dumps(meta))


def _edit_record(path, change):
    state = json.loads(path.read_text())
    change(state)
    path.write_text(json.dumps(state))


NESTED = '{"a": ' + "[" * 100_000 + "]" * 100_000 + "}"
CHECKSUM_DIFFERS = r"chunk 0 of 1 \(bytes 0\.\.\d+ of its data\) does not match the checksum"


# One table of damage: to a prepared graph (its arrays and its header), where
# open_graph (or the first read of the values) raises GraphFormatError naming
# the file; and to a finished result, where velmar.open_result raises
# CorruptResultError naming the store, and the same embed call with the
# graph either computes the damaged columns again (resumes) or refuses too.
@pytest.mark.parametrize(
    "target, damage, file, message, resumes",
    [
        ("graph", lambda p: _truncate(p, "indices"), "indices.npy", "truncated", None),
        ("graph", lambda p: _truncate(p, "scales"), "scales.npy", "truncated", None),
        ("graph", lambda p: os.remove(p / "values.npy"), "values.npy", "missing", None),
        ("graph", lambda p: os.remove(p / "graph.json"), "graph.json", "missing", None),
        ("graph", lambda p: (p / "graph.json").write_text("{"), "graph.json", "unreadable", None),
        ("graph", lambda p: _header(p, version=4), "graph.json", "format version 4", None),
        (
            "graph",
            lambda p: _rewrite(p, "order", lambda a: a.__setitem__(0, a[1])),
            "order.npy",
            "not a permutation",
            None,
        ),
        (
            "graph",
            lambda p: _rewrite(p, "order", lambda a: a.__setitem__(2, -1)),
            "order.npy",
            "outside 0..299",
            None,
        ),
        (
            "graph",
            lambda p: _header(p, num_entries=10**12),
            "indices.npy",
            "expected uint32",
            None,
        ),
        (
            "graph",
            lambda p: _header(p, num_nodes=-1),
            "graph.json",
            "'num_nodes' is missing or invalid",
            None,
        ),
        (
            "graph",
            lambda p: _rewrite(p, "indices", lambda a: a.__setitem__(3, 300)),
            "indices.npy",
            "outside 0..299",
            None,
        ),
        (
            "graph",
            lambda p: _rewrite(p, "indptr", lambda a: a.__setitem__(5, a[7])),
            "indptr.npy",
            "decrease",
            None,
        ),
        (
            "graph",
            lambda p: (p / "scales.npy").write_bytes(b"not numpy"),
            "scales.npy",
            "not a valid .npy",
            None,
        ),
        # Contents that differ from their checksums: low bits, arrays moved in.
        ("graph", lambda p: _flip(p / "indptr.npy"), "indptr.npy", CHECKSUM_DIFFERS, None),
        ("graph", lambda p: _flip(p / "indices.npy"), "indices.npy", CHECKSUM_DIFFERS, None),
        ("graph", lambda p: _flip(p / "scales.npy"), "scales.npy", CHECKSUM_DIFFERS, None),
        ("graph", lambda p: _flip(p / "values.npy"), "values.npy", CHECKSUM_DIFFERS, None),
        ("graph", _named_nodes_flipped, "nodes.npy", CHECKSUM_DIFFERS, None),
        (
            "graph",
            lambda p: _rewrite(p, "order", _swap, resign=False),
            "order.npy",
            CHECKSUM_DIFFERS,
            None,
        ),
        ("graph", _plain_arrays_in_a_reordered_graph, "indices.npy", CHECKSUM_DIFFERS, None),
        ("graph", _scales_of_another_graph, "scales.npy", CHECKSUM_DIFFERS, None),
        ("graph", _order_of_another_graph, "order.npy", CHECKSUM_DIFFERS, None),
        # Headers.
        ("graph", _downgraded, "graph.json", "version 1 records no checksums", None),
        (
            "graph",
            lambda p: _header(p, rederive=False, symmetrized=False),
            "graph.json",
            "graph_id does not match its contents",
            None,
        ),
        (
            "graph",
            lambda p: _header(p, edit=lambda h: h["arrays"].update({"../../payload": {}})),
            "graph.json",
            "names an array '../../payload'",
            None,
        ),
        ("graph", lambda p: (p / "graph.json").write_text(NESTED), "graph.json", "nested", None),
        ("graph", lambda p: _flip(p / "scales.npy", 10), "scales.npy", "TokenError", None),
        # Results: the data of a block, the record and the store's shape.
        ("emb.npy", lambda p: _flip(p, 128 + 4 * 7), "emb.npy", "columns 6:12 rows 0:300", True),
        (
            "emb.npy",
            lambda p: _edit_record(p.parent / "emb.npy.run.json", lambda s: s.pop("blocks")),
            "emb.npy",
            "unfinished: columns 0:6, 6:12, 12:18, 18:20 are not written",
            True,
        ),
        (
            "emb.npy",
            lambda p: _edit_record(
                p.parent / "emb.npy.run.json",
                lambda s: s["blocks"].update({"0": "0" * len(s["blocks"]["0"])}),
            ),
            "emb.npy",
            "columns 0:6 were written by another run",
            True,
        ),
        (
            "emb.npy",
            lambda p: _edit_record(p.parent / "emb.npy.run.json", lambda s: s.update(seed=5)),
            "emb.npy",
            "columns 0:6 were written by another run",
            True,
        ),
        ("emb.npy", lambda p: os.truncate(p, 1000), "emb.npy", "truncated: 1000 bytes", False),
        (
            "emb.npy",
            lambda p: np.save(p, np.zeros((300, 16), np.float32)),
            "emb.npy",
            r"holds float32 \(300, 16\), but its run record says float32 \(300, 20\)",
            False,
        ),
        ("emb.npy", lambda p: _flip(p, 10), "emb.npy", "not a readable .npy file", False),
        (
            "emb.npy",
            lambda p: (p.parent / "emb.npy.run.json").write_text(NESTED),
            "emb.npy.run.json",
            "unreadable run record",
            False,
        ),
        ("emb.zarr", lambda p: os.remove(_zarr_chunk(p, 1)), "emb.zarr", "columns 6:12", True),
        ("emb.zarr", lambda p: _flip(_zarr_chunk(p, 2), 40), "emb.zarr", "columns 12:18", True),
        (
            "emb.zarr",
            lambda p: shutil.rmtree(p / "done"),
            "emb.zarr",
            "has no 'done' array",
            True,
        ),
        (
            "emb.zarr",
            _edit_zarr_shape,
            "emb.zarr",
            r"'embedding' array is float32 \(300, 16\)",
            False,
        ),
        (
            "emb.zarr",
            lambda p: (p / "zarr.json").write_text("{"),
            "emb.zarr",
            "unreadable",
            False,
        ),
    ],
)
def test_damage_is_caught_naming_the_file(tmp_path, target, damage, file, message, resumes):
    graph = velmar.prepare(edges(), tmp_path / "g", reorder=file == "order.npy")
    if target == "graph":
        damage(tmp_path / "g")
        with pytest.raises(velmar.GraphFormatError, match=message) as error:
            assert velmar.open_graph(tmp_path / "g").values is not None
        assert str(error.value).startswith(str(tmp_path / "g" / file))
        return
    if target.endswith(".zarr"):
        pytest.importorskip("zarr")
    out = tmp_path / target
    velmar.embed(graph, 20, seed=4, out=str(out), block_columns=6)
    damage(out)
    with pytest.raises(velmar.CorruptResultError, match=message) as error:
        velmar.open_result(out)
    assert str(error.value).startswith(str(tmp_path / file))
    if not resumes:
        with pytest.raises(velmar.CorruptResultError, match=message):
            velmar.embed(graph, 20, seed=4, out=str(out))
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        result = velmar.embed(graph, 20, seed=4, out=str(out))
    assert np.array_equal(
        bits(result[:]), bits(velmar.embed(graph, 20, seed=4, method="projection"))
    )
    assert np.array_equal(bits(velmar.open_result(out)[:]), bits(result[:]))
