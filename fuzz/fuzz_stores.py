"""Coverage-guided fuzzing of what velmar reads back from disk: prepared
graphs (open_graph) and results (open_result, and the same embed call
resuming them).

Each input picks a pristine store (a graph in node order, a reordered one,
one with string IDs; a finished or an unfinished .npy or .zarr result), writes
it to a scratch directory and damages it with a few mutations: flipped or
overwritten bytes, truncated, extended, deleted or swapped files, JSON fields
set to odd values or removed, an older format version, and arrays changed and
signed again (checksums and graph ID recorded anew), so that the checks
behind the checksums are reached too.

Allowed outcomes, anything else being a finding:
- open_graph: GraphFormatError naming a file of the graph; or a graph that
  opens (an older version only with UnverifiedGraphWarning), whose values
  read back or raise GraphFormatError, and which embeds. One that kept its
  graph ID holds exactly the arrays and values of the pristine graph and
  embeds to its bits: nothing changed is taken for the original.
- open_result: CorruptResultError (FileNotFoundError, FileExistsError for a
  store that is not one) naming the store, or exactly the right bits.
- resuming: the right bits, or CorruptResultError, RunMismatchError,
  FileExistsError or OSError naming the store; a resumed store then opens
  with open_result to the same bits.
Hangs are reported by -timeout.

Usage (libFuzzer flags):
    python3 fuzz/fuzz_stores.py -runs=1000000 -seed=1 -timeout=30 CORPUS_DIR
VELMAR_FUZZ_STATS=1 prints how the calls ended, per target.
"""

import collections
import json
import os
import shutil
import sys
import tempfile
import warnings

import atheris
import numpy as np

with atheris.instrument_imports(include=["velmar"]):
    import velmar
    from velmar import _results, _store

OUTCOMES = collections.Counter() if os.environ.get("VELMAR_FUZZ_STATS") == "1" else None
DIM, SEED, WIDTH = 6, 1, 4
INTERESTING = [0, 1, -1, 2, 3, 7, 2**31, 2**32, 2**63 - 1, 2**63, 2**64, -(2**63), 10**30]


def scratch_directory():
    """velmar-fuzz-stores-PID in /dev/shm (or the temporary directory).
    libFuzzer ends the process without cleaning up, so the directories of
    runs whose process is gone are removed here."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    for name in os.listdir(base):
        pid = name[len("velmar-fuzz-stores-") :]
        if name.startswith("velmar-fuzz-stores-") and pid.isdigit():
            try:
                os.kill(int(pid), 0)
            except ProcessLookupError:
                shutil.rmtree(os.path.join(base, name), ignore_errors=True)
            except OSError:
                pass
    path = os.path.join(base, f"velmar-fuzz-stores-{os.getpid()}")
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


scratch = scratch_directory()


def snapshot(root):
    """Every file under root, as {relative path: bytes}."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = open(path, "rb").read()
    return files


def restore(files, root):
    shutil.rmtree(root, ignore_errors=True)
    if os.path.exists(root):
        os.remove(root)
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def bits(x):
    return np.ascontiguousarray(x[:]).view(np.uint32)


# --- pristine stores, made once ------------------------------------------------------

rng = np.random.default_rng(1)
ring = np.arange(30)
SOURCES = {
    "plain": (rng.integers(0, 30, 90), rng.integers(0, 30, 90), rng.standard_normal(90), False),
    "reordered": (np.r_[ring, ring], np.r_[(ring + 2) % 30, (ring + 4) % 30], None, True),
    "named": ([f"n{i}" for i in range(29)], [f"n{i + 1}" for i in range(29)], None, False),
}
GRAPHS = {}
for name, (s, t, w, reorder) in SOURCES.items():
    where = os.path.join(scratch, "pristine", name)
    g = velmar.prepare((s, t) if w is None else (s, t, w), where, reorder=reorder)
    GRAPHS[name] = {
        "files": snapshot(where),
        "graph": g,
        "id": g.header["graph_id"],
        "arrays": [np.asarray(a).tobytes() for a in (g.indptr, g.indices, g.scales)],
        "values": np.asarray(g.values).tobytes(),
        "nodes": None if g.nodes is None else np.asarray(g.nodes).tobytes(),
        "order": None if g.order is None else np.asarray(g.order).tobytes(),
        "bits": bits(velmar.embed(g, DIM, seed=SEED, method="projection")),
    }

RESULT_GRAPH = GRAPHS["plain"]["graph"]
EXPECTED = GRAPHS["plain"]["bits"]
RESULTS = {}
COMPUTE = _results.compute_block


def one_block(graph, j0, j1, run):
    """compute_block that fails after the first block: an unfinished run."""
    if j0 > 0:
        raise InterruptedError
    return COMPUTE(graph, j0, j1, run)


try:
    import zarr  # noqa: F401 (Zarr results are fuzzed where Zarr is installed)

    KINDS = ("npy", "zarr")
except ImportError:
    KINDS = ("npy",)
for kind in KINDS:
    for finished in (True, False):
        where = os.path.join(scratch, "pristine", f"{kind}-{finished}")
        os.makedirs(where)
        out = os.path.join(where, f"emb.{kind}")
        _results.compute_block = COMPUTE if finished else one_block
        try:
            velmar.embed(RESULT_GRAPH, DIM, seed=SEED, out=out, block_columns=WIDTH)
        except InterruptedError:
            pass
        _results.compute_block = COMPUTE
        RESULTS[kind, finished] = snapshot(where)


# --- mutations ------------------------------------------------------------------------


def odd_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return INTERESTING[fdp.ConsumeIntInRange(0, len(INTERESTING) - 1)]
    if kind == 1:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 2:
        return None
    if kind == 3:
        return fdp.ConsumeBool()
    if kind == 4:
        return fdp.ConsumeRegularFloat()
    if kind == 5:
        return [INTERESTING[fdp.ConsumeIntInRange(0, 4)]] * fdp.ConsumeIntInRange(0, 3)
    if kind == 6:
        return {}
    return fdp.ConsumeIntInRange(-5, 300)


def edit_json(fdp, value):
    """Sets or removes one field somewhere in a parsed JSON document."""
    if not isinstance(value, (dict, list)) or not value:
        return odd_value(fdp)
    keys = list(value) if isinstance(value, dict) else list(range(len(value)))
    key = keys[fdp.ConsumeIntInRange(0, len(keys) - 1)]
    action = fdp.ConsumeIntInRange(0, 3)
    if action == 0 and isinstance(value, dict):
        del value[key]
    elif action == 1:
        value[key] = odd_value(fdp)
    else:
        value[key] = edit_json(fdp, value[key])
    return value


def pick(fdp, root):
    files = sorted(
        os.path.relpath(os.path.join(folder, name), root)
        for folder, _, names in os.walk(root)
        for name in names
    )
    return os.path.join(root, files[fdp.ConsumeIntInRange(0, len(files) - 1)]) if files else None


def mutate(fdp, root, graph):
    """One mutation of the store at root; `graph`: a prepared graph, whose
    arrays may be changed and signed again."""
    path = pick(fdp, root)
    if path is None:
        return
    data = open(path, "rb").read()
    action = fdp.ConsumeIntInRange(0, 9)
    if action == 0 and data:
        pos = fdp.ConsumeIntInRange(0, len(data) - 1)
        data = (
            data[:pos] + bytes([data[pos] ^ (1 << fdp.ConsumeIntInRange(0, 7))]) + data[pos + 1 :]
        )
    elif action == 1 and data:
        pos = fdp.ConsumeIntInRange(0, len(data) - 1)
        data = data[:pos] + fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 8)) + data[pos + 8 :]
    elif action == 2:
        data = data[: fdp.ConsumeIntInRange(0, len(data))]
    elif action == 3:
        data = data + fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 64))
    elif action == 4:
        os.remove(path)
        return
    elif action == 5:
        other = pick(fdp, root)
        data = open(other, "rb").read() if other else data
    elif action == 6 and path.endswith(".json"):
        try:
            doc = json.loads(data)
        except ValueError:
            return
        data = json.dumps(edit_json(fdp, doc)).encode()
    elif action == 7 and graph and path.endswith(".npy"):
        # An array changed and signed again: its structure is what is checked.
        try:
            array = np.load(path, allow_pickle=False)
            if array.size:
                i = fdp.ConsumeIntInRange(0, array.size - 1)
                array.flat[i] = (
                    array.flat[fdp.ConsumeIntInRange(0, array.size - 1)]
                    if array.dtype.kind == "U"
                    else odd_number(fdp, array.dtype)
                )
            np.save(path, array)
            resign(root, fdp.ConsumeBool())
        except Exception:  # the file is damaged already: nothing to sign
            pass
        return
    elif action == 8 and graph:
        resign(root, fdp.ConsumeBool())
        return
    elif action == 9 and graph:
        downgrade(root, fdp)
        return
    with open(path, "wb") as f:
        f.write(data)


def odd_number(fdp, dtype):
    value = INTERESTING[fdp.ConsumeIntInRange(0, len(INTERESTING) - 1)]
    if dtype.kind == "f":
        return [np.nan, np.inf, -1.0, 0.0, 1e38][fdp.ConsumeIntInRange(0, 4)]
    info = np.iinfo(dtype)
    return min(max(value, info.min), info.max)


def resign(root, keep_id):
    """Records the checksums of the arrays as they are now (and, unless
    keep_id, the graph ID derived from them)."""
    header_path = os.path.join(root, _store.HEADER)
    try:
        header = json.loads(open(header_path, "rb").read())
        old_id = header.get("graph_id")
        for entry in header["arrays"].values():
            entry.pop("crc32c", None)
        _store.write_header(root, header)
    except Exception:
        return
    if keep_id:
        header["graph_id"] = old_id
        with open(header_path, "w") as f:
            json.dump(header, f)


def downgrade(root, fdp):
    """The header as an older version wrote it, or with only its version
    changed."""
    header_path = os.path.join(root, _store.HEADER)
    try:
        header = json.loads(open(header_path, "rb").read())
        header["version"] = fdp.ConsumeIntInRange(1, 2)
        if fdp.ConsumeBool():
            header.pop("checksum", None)
            for entry in header["arrays"].values():
                entry.pop("crc32c", None)
        if fdp.ConsumeBool():
            header["arrays"].pop("order", None)
    except Exception:
        return
    with open(header_path, "w") as f:
        json.dump(header, f)


# --- targets --------------------------------------------------------------------------


def fuzz_graph(fdp, name):
    pristine = GRAPHS[name]
    root = os.path.join(scratch, "graph")
    restore(pristine["files"], root)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        mutate(fdp, root, True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            g = velmar.open_graph(root)
        except velmar.GraphFormatError as e:
            assert str(e).startswith(root), e
            return "GraphFormatError"
    verified = "checksum" in g.header
    unverified = any(issubclass(w.category, velmar.UnverifiedGraphWarning) for w in caught)
    assert verified != unverified, ("an older graph opened without its warning", g.header)
    try:
        values = np.asarray(g.values).tobytes()
    except velmar.GraphFormatError as e:
        assert verified and str(e).startswith(root), e
        values = None
    embedding = bits(velmar.embed(g, DIM, seed=SEED, undirected=g.symmetrized, method="projection"))
    if not verified or g.header["graph_id"] != pristine["id"]:
        return "opened, another graph" if verified else "opened unverified"
    # The pristine graph's ID: everything must be the pristine graph's.
    same = [np.asarray(a).tobytes() for a in (g.indptr, g.indices, g.scales)] == pristine["arrays"]
    # Values read back are the pristine ones, or their damage was caught.
    assert same and values in (None, pristine["values"]), "changed arrays kept the graph ID"
    assert (None if g.nodes is None else np.asarray(g.nodes).tobytes()) == pristine["nodes"]
    assert (None if g.order is None else np.asarray(g.order).tobytes()) == pristine["order"]
    assert np.array_equal(embedding, pristine["bits"]), "the pristine ID embeds differently"
    return "opened, the original"


def fuzz_result(fdp, kind, finished):
    where = os.path.join(scratch, "result")
    restore(RESULTS[kind, finished], where)
    out = os.path.join(where, f"emb.{kind}")
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        mutate(fdp, where, False)
    try:
        got = velmar.open_result(out)
        assert np.array_equal(bits(got), EXPECTED), "open_result returned wrong data"
        opened = "opened"
    except (velmar.CorruptResultError, FileNotFoundError, FileExistsError) as e:
        assert str(e).startswith(out), e
        opened = type(e).__name__
    if fdp.ConsumeBool():
        return f"open_result: {opened}"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            got = velmar.embed(RESULT_GRAPH, DIM, seed=SEED, out=out)
        except (velmar.CorruptResultError, velmar.RunMismatchError, FileExistsError) as e:
            assert str(e).startswith(out), e
            return f"resume: {type(e).__name__}"
        except OSError as e:
            assert out in f"{e.filename} {e}", e
            return f"resume: {type(e).__name__}"
    assert np.array_equal(bits(got), EXPECTED), "a resumed run returned wrong data"
    assert np.array_equal(bits(velmar.open_result(out)), EXPECTED)
    assert not os.path.exists(out + ".lock"), "the lock outlived the run"
    return "resume: finished"


TARGETS = [("graph", name) for name in GRAPHS] + [("result", key) for key in sorted(RESULTS)]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    target, arg = TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)]
    if target == "graph":
        outcome = fuzz_graph(fdp, arg)
    else:
        outcome = fuzz_result(fdp, *arg)
    if OUTCOMES is not None:
        OUTCOMES[f"{target} {arg}", outcome] += 1
        total = sum(OUTCOMES.values())
        if total == STATS_AT or total % 100_000 == 0:
            print(f"outcomes after {total} calls:", file=sys.stderr)
            for (what, how), count in sorted(OUTCOMES.items()):
                print(f"  {what:24} {how:30} {count}", file=sys.stderr)


for _f in [
    odd_value,
    edit_json,
    pick,
    mutate,
    odd_number,
    resign,
    downgrade,
    fuzz_graph,
    fuzz_result,
]:
    atheris.instrument_func(_f)

STATS_AT = next((int(a.split("=", 1)[1]) for a in sys.argv if a.startswith("-runs=")), -1)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
