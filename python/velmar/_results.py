"""Embeddings written to disk one column block at a time, restartable and
verified.

Columns of the embedding are independent, so a run is a list of column blocks
[j0, j1), each computed alone and written where it belongs: into a Zarr array
whose chunks are aligned to the blocks, or into a memory-mapped .npy file. A
block is marked complete only after its data and its signature are written:
a digest of the run (its record and seed) and the CRC32C of each chunk of its
rows. A run started again with the same arguments checks the store's shapes
against its record before reading any data, verifies the marked blocks
(recomputing any that differ, with a warning naming the columns), and skips
them; one with other arguments is refused. One process writes an output at a
time: it holds a lock on a file beside it (the caller of a Dask run holds it
for the tasks, each of which opens the prepared graph and the Zarr array
itself and returns only metadata).
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import os
import secrets
import signal
import socket
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _engine, _plan, _runner, _store
from ._checks import format_bytes
from ._graph import PreparedGraph
from ._run import Run
from ._store import open_graph
from ._watch import _Reporter

if sys.platform == "win32":
    import msvcrt
else:
    import fcntl

# 2: every block signed (run digest and chunk checksums), a lock beside the
# output. Records of version 1 carry no checksums and are not resumed.
RUN_VERSION = 2

# Zarr chunks hold about this many bytes: whole column blocks, cut into rows.
# A Zarr block is checksummed one chunk at a time.
_ZARR_CHUNK_BYTES = 64 << 20
# A .npy result is checksummed in pieces of rows that make about this many
# bytes of the whole row width, so that verifying reads the file once, a
# window of whole rows at a time, for all its blocks.
_NPY_WINDOW_BYTES = 4 << 20
# The first words of a block's signature: a digest of the run it belongs to.
_RUN_WORDS = 4
# A run to disk records every block; beyond this many the records cost more
# than they are worth (and a huge dim would exhaust memory listing them).
MAX_BLOCKS = 1 << 14

Progress = Callable[[int, int], object]


class RunMismatchError(ValueError):
    """An output that holds a run with other arguments."""


class CorruptResultError(ValueError):
    """A result on disk whose record, shape or data is damaged, or that is
    not finished; the message names the store (and the columns at fault)."""


class OutputInUseError(RuntimeError):
    """An output that a live run is writing."""


def compute_block(graph: PreparedGraph, j0: int, j1: int, run: Run) -> npt.NDArray[np.float32]:
    """Columns [j0, j1) of the embedding, an n × (j1 - j0) float32 array:
    the engine computes only that block, in one piece (the run's memory
    plan chose its width), with the bits of the same columns of the full
    result."""
    return _runner.embed(graph, run, (j0, j1), block=j1 - j0)


def column_blocks(dim: int, width: int) -> list[tuple[int, int]]:
    return [(j0, min(j0 + width, dim)) for j0 in range(0, dim, width)]


# --- the writer's lock --------------------------------------------------------


def lock_path(out: str) -> str:
    return out.rstrip("/\\") + ".lock"


class OutputLock:
    """The exclusive lock of the one process that writes an output: a lock
    file beside it (OUT.lock), locked with flock (msvcrt.locking on
    Windows). The operating system releases it when the process ends,
    however it ends. Outputs at URLs are not locked: their writers must
    not overlap."""

    def __init__(self, out: str) -> None:
        self.out = out
        self.path = None if "://" in out else lock_path(out)
        self.fd: int | None = None

    def __enter__(self) -> OutputLock:
        if self.path is None:
            return self
        folder = os.path.dirname(self.path) or "."
        if not os.path.isdir(folder):
            raise FileNotFoundError(errno.ENOENT, f"directory {folder} does not exist", self.out)
        # The holder removes the file as it leaves; a file opened just before
        # that is no longer the lock, so it is opened again.
        for _ in range(100):
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
            if not _try_lock(fd):
                holder = _read_holder(self.path)
                os.close(fd)
                raise OutputInUseError(
                    f"{self.out}: in use by a live run{holder}, which holds {self.path}; "
                    "wait for it to end, or write to another output path"
                )
            if sys.platform == "win32" or _same_file(fd, self.path):
                break
            os.close(fd)
        else:
            raise OutputInUseError(f"{self.out}: its lock {self.path} keeps changing hands")
        self.fd = fd
        note = f"{os.getpid()} {socket.gethostname()} {time.strftime('%Y-%m-%d %H:%M:%S')}\n"
        # Written over the old note, then cut to its length: never empty.
        os.lseek(fd, 0, os.SEEK_SET)
        os.write(fd, note.encode())
        os.ftruncate(fd, len(note.encode()))
        return self

    def __exit__(self, *exc: object) -> None:
        if self.fd is None or self.path is None:
            return
        fd, self.fd = self.fd, None
        if sys.platform == "win32":
            os.lseek(fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
            msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)
        else:
            # Removed while still held, so that nobody locks a file on its way out.
            try:
                os.remove(self.path)
            except FileNotFoundError:
                pass
        os.close(fd)


# Windows locks a byte range that a reader then cannot read; the lock sits
# far past the holder's note.
_WINDOWS_LOCK_OFFSET = 1 << 20


def _try_lock(fd: int) -> bool:
    if sys.platform == "win32":
        os.lseek(fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            return False
        return True
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def _same_file(fd: int, path: str) -> bool:
    try:
        here = os.stat(path)
    except FileNotFoundError:
        return False
    held = os.fstat(fd)
    return (held.st_dev, held.st_ino) == (here.st_dev, here.st_ino)


def _read_holder(path: str) -> str:
    """The holder's note, " (process P on HOST, since T)", or "". The holder
    writes it just after it takes the lock, so an empty note is read again
    for a moment."""
    for _ in range(20):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                parts = f.read(200).split(maxsplit=2)
        except OSError:
            return ""
        if len(parts) == 3 and parts[2].endswith("\n"):
            return f" (process {parts[0]} on {parts[1]}, since {parts[2].strip()})"
        time.sleep(0.01)
    return ""


# --- signatures ---------------------------------------------------------------


def _run_words(record: dict[str, Any], seed: int) -> npt.NDArray[np.uint32]:
    """The digest of a run that starts each of its blocks' signatures."""
    text = json.dumps({**record, "seed": seed}, sort_keys=True, separators=(",", ":"))
    digest = hashlib.blake2b(text.encode("utf-8"), digest_size=4 * _RUN_WORDS).digest()
    return np.frombuffer(digest, dtype="<u4").astype(np.uint32)


def _chunk_checksums(data: npt.NDArray[np.float32], rows: int) -> npt.NDArray[np.uint32]:
    """The CRC32C of each piece of `rows` rows of a block of columns."""
    block = np.ascontiguousarray(data, dtype=np.float32)
    if block.size == 0:
        return np.zeros(0, np.uint32)
    # A piece is never longer than the block (a record may claim any number
    # of rows: the pieces, and so the sums, are the same).
    chunk = min(rows, block.shape[0]) * block.shape[1] * 4
    sums: npt.NDArray[np.uint32] = _engine.checksums(block, chunk)
    return sums


def _hex(words: npt.NDArray[np.uint32]) -> str:
    return "".join(f"{int(x):08x}" for x in words.tolist())


def _unhex(text: object, count: int) -> npt.NDArray[np.uint32] | None:
    if not isinstance(text, str) or len(text) != 8 * count:
        return None
    try:
        return np.array([int(text[i : i + 8], 16) for i in range(0, len(text), 8)], np.uint32)
    except ValueError:
        return None


Bad = tuple[int, int, str]


class _Output:
    """What both kinds of output share: their shape, the rows of each
    checksummed piece, the blocks marked complete and their verification."""

    path: str
    shape: tuple[int, int]
    width: int
    rows: int
    done: set[int]
    seed: int | None
    record: dict[str, Any]
    run_words: npt.NDArray[np.uint32]

    @property
    def chunks(self) -> int:
        return -(-self.shape[0] // self.rows)

    def use_seed(self, seed: int) -> None:
        """The run's seed: blocks are signed with the digest of it and the
        record, so a block written with another seed never verifies."""
        self.run_words = _run_words(self.record, seed)

    def sign(self, block: npt.NDArray[np.float32]) -> npt.NDArray[np.uint32]:
        return np.concatenate([self.run_words, _chunk_checksums(block, self.rows)])

    def signature(self, j0: int) -> npt.NDArray[np.uint32] | None:
        raise NotImplementedError

    def _first_difference(
        self, want: npt.NDArray[np.uint32] | None, chunk: int, got: int
    ) -> str | None:
        if want is None or want.shape != (_RUN_WORDS + self.chunks,):
            return "have no readable checksums"
        if chunk == 0 and not np.array_equal(want[:_RUN_WORDS], self.run_words):
            return "were written by another run (their signature names another record or seed)"
        if int(want[_RUN_WORDS + chunk]) != got:
            r0 = chunk * self.rows
            r1 = min(r0 + self.rows, self.shape[0])
            return f"rows {r0}:{r1} do not match their checksum"
        return None

    def verify(self, blocks: list[tuple[int, int]]) -> list[Bad]:
        raise NotImplementedError

    def _signature_only(self, blocks: list[tuple[int, int]]) -> list[Bad]:
        """Blocks of a result without rows: only their signatures to check."""
        bad = []
        for j0, j1 in blocks:
            want = self.signature(j0)
            if want is None or want.shape != (_RUN_WORDS,):
                bad.append((j0, j1, "have no readable checksums"))
            elif not np.array_equal(want, self.run_words):
                bad.append((j0, j1, "were written by another run"))
        return bad


def _check_version(where: str, stored: object) -> None:
    version = stored.get("version") if isinstance(stored, dict) else None
    if isinstance(stored, dict) and version != RUN_VERSION:
        raise RunMismatchError(
            f"{where}: holds a run recorded by another version of velmar (run record "
            f"version {version!r}; this velmar resumes version {RUN_VERSION}); finish it "
            "with that version, or write to another output path"
        )


def _check_run(where: str, stored: object, run: dict[str, Any]) -> None:
    if not isinstance(stored, dict):
        raise RunMismatchError(f"{where}: holds no readable run record")
    _check_version(where, stored)
    keys = list(run) + [key for key in stored if key not in run]
    # Compared as written: 1 and 1.0 (or True) are other records, and their
    # blocks' signatures would name another run.
    differ = [
        key for key in keys if key != "seed" and _json(stored.get(key)) != _json(run.get(key))
    ]
    if run.get("seed") is not None and _json(stored.get("seed")) != _json(run["seed"]):
        differ.append("seed")
    if differ:
        shown = ", ".join(f"{k}={stored.get(k)!r} (now {run.get(k)!r})" for k in differ)
        raise RunMismatchError(
            f"{where}: holds a run with other arguments: {shown}. Use the same "
            "arguments to finish it, or another output path"
        )


def _json(value: object) -> str:
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


def _stored_record(where: str, stored: object) -> dict[str, Any]:
    """A run record read back without a run to compare it with: its fields
    must be of the kinds and ranges a run writes."""
    if not isinstance(stored, dict):
        raise CorruptResultError(f"{where}: holds no readable run record")
    _check_version(where, stored)
    counts = {}
    for key, low in (("num_nodes", 0), ("dim", 1), ("block_columns", 1), ("checksum_rows", 1)):
        value = stored.get(key)
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            raise CorruptResultError(f"{where}: field {key!r} of its run record is invalid")
        counts[key] = value
    if counts["block_columns"] > counts["dim"] or -(-counts["dim"] // counts["block_columns"]) > (
        MAX_BLOCKS
    ):
        raise CorruptResultError(f"{where}: field 'block_columns' of its run record is invalid")
    return stored


# --- .npy ------------------------------------------------------------------------


class NpyOutput(_Output):
    """A .npy file allocated in full up front (so that a full disk is an
    error at creation, not a fault while writing through the map), with the
    run's record, seed and each completed block's signature in OUT.run.json
    beside it."""

    def __init__(
        self, path: str, run: dict[str, Any] | None, shape: tuple[int, int] | None = None
    ) -> None:
        self.path = path
        self.sidecar = path + ".run.json"
        self.signatures: dict[int, npt.NDArray[np.uint32] | None] = {}
        self.seed = None
        if not os.path.exists(self.sidecar):
            if run is None:
                raise CorruptResultError(f"{path}: no run record ({self.sidecar} is missing)")
            if os.path.exists(path):
                raise FileExistsError(
                    f"{path}: exists but is not an unfinished velmar run; write to another "
                    "output path, or remove it if it is not needed"
                )
            self._adopt(run, shape)
            self._save_state()
            self.array = _create_npy(path, self.shape)
            return
        state = _read_json(self.sidecar)
        stored = state.get("run")
        if run is None:
            run = _stored_record(self.sidecar, stored)
            shape = (run["num_nodes"], run["dim"])
        else:
            _check_run(self.sidecar, stored, run)
        self._adopt(run, shape)
        seed = state.get("seed")
        self.seed = seed if type(seed) is int and 0 <= seed < 2**64 else None
        blocks = state.get("blocks")
        if isinstance(blocks, dict):
            starts = {j0 for j0, _ in column_blocks(self.shape[1], self.width)}
            for key, text in blocks.items():
                j0 = int(key) if isinstance(key, str) and key.isdigit() else -1
                if j0 in starts:
                    self.signatures[j0] = _unhex(text, _RUN_WORDS + self.chunks)
        self.done = set(self.signatures)
        if os.path.exists(path):
            self.array = _open_npy(path, self.shape, writable=run is not stored)
        elif run is stored:
            raise CorruptResultError(f"{path}: missing (its run record {self.sidecar} remains)")
        else:
            # The run stopped before its file was allocated (a full disk).
            self.signatures, self.done = {}, set()
            self.array = _create_npy(path, self.shape)

    def _adopt(self, run: dict[str, Any], shape: tuple[int, int] | None) -> None:
        assert shape is not None
        self.record = run
        self.shape = shape
        self.width = int(run["block_columns"])
        self.rows = int(run["checksum_rows"])
        self.done = set()

    def signature(self, j0: int) -> npt.NDArray[np.uint32] | None:
        return self.signatures.get(j0)

    def write(
        self, j0: int, j1: int, block: npt.NDArray[np.float32], signature: npt.NDArray[np.uint32]
    ) -> None:
        try:
            self.array[:, j0:j1] = block
            if isinstance(self.array, np.memmap):
                self.array.flush()
        except OSError as e:
            raise _write_error(e, self.path, j0, j1) from None
        self.signatures[j0] = signature
        self.done.add(j0)
        self._save_state()

    def record_seed(self, seed: int) -> None:
        if self.seed != seed:
            self.seed = seed
            self._save_state()

    def _save_state(self) -> None:
        blocks = {
            str(j0): _hex(words)
            for j0, words in sorted(self.signatures.items())
            if words is not None
        }
        _write_json(self.sidecar, {"run": self.record, "seed": self.seed, "blocks": blocks})

    def verify(self, blocks: list[tuple[int, int]]) -> list[Bad]:
        """Blocks whose data differs from their signatures, read a window of
        whole rows at a time (each row of the file once)."""
        if self.shape[0] == 0:
            return self._signature_only(blocks)
        wants = {j0: self.signature(j0) for j0, _ in blocks}
        bad: dict[int, Bad] = {}
        for c in range(self.chunks):
            live = [(j0, j1) for j0, j1 in blocks if j0 not in bad]
            if not live:
                break
            r0 = c * self.rows
            window = np.asarray(self.array[r0 : r0 + self.rows])
            for j0, j1 in live:
                got = int(_chunk_checksums(window[:, j0:j1], self.rows)[0])
                why = self._first_difference(wants[j0], c, got)
                if why is not None:
                    bad[j0] = (j0, j1, why)
        return [bad[j0] for j0, _ in blocks if j0 in bad]

    def result(self) -> npt.NDArray[np.float32]:
        array: npt.NDArray[np.float32] = np.load(self.path, mmap_mode="r")
        return array


def _create_npy(path: str, shape: tuple[int, int]) -> Any:
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(
            f, {"descr": "<f4", "fortran_order": False, "shape": shape}
        )
        offset = f.tell()
        try:
            os.posix_fallocate(f.fileno(), 0, offset + 4 * shape[0] * shape[1])
        except OSError as e:
            f.close()
            os.remove(path)
            size = format_bytes(4 * shape[0] * shape[1])
            raise OSError(
                e.errno, f"{e.strerror} (allocating {size} for the result)", path
            ) from None
    return _open_npy(path, shape)


def _open_npy(path: str, shape: tuple[int, int], writable: bool = True) -> Any:
    """Maps a result (for writing, by default) after checking its header and
    its size against the record: a file of another size is never mapped (a
    writable map would zero-extend a truncated one)."""
    try:
        with open(path, "rb") as f:
            found, fortran, dtype = _store.read_npy_header(f)
            offset = f.tell()
            size = os.fstat(f.fileno()).st_size
    except Exception as e:  # any damage to the header
        raise CorruptResultError(
            f"{path}: not a readable .npy file ({type(e).__name__}: {e})"
        ) from None
    if dtype != np.float32 or fortran or found != shape:
        raise CorruptResultError(
            f"{path}: holds {dtype} {found}, but its run record says float32 {shape}"
        )
    need = offset + 4 * shape[0] * shape[1]
    if size != need:
        what = "truncated" if size < need else "longer than its array"
        raise CorruptResultError(f"{path}: {what}: {size} bytes, expected {need}")
    if need == offset:
        return np.zeros(shape, np.float32)
    if writable:
        return np.memmap(path, dtype=np.float32, mode="r+", offset=offset, shape=shape)
    return np.memmap(path, dtype=np.float32, mode="r", offset=offset, shape=shape)


def _write_error(error: OSError, path: str, j0: int, j1: int) -> OSError:
    """The error of a failed block write, naming the output; the blocks
    written before stay marked, so the same call finishes the run."""
    return OSError(error.errno, f"{error.strerror or error} (writing columns {j0}:{j1})", path)


def _read_json(path: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError, RecursionError) as e:
        raise CorruptResultError(
            f"{path}: unreadable run record ({type(e).__name__}: {e}); write to another "
            "output path, or remove the result and its record to start again"
        ) from None
    if not isinstance(data, dict):
        raise CorruptResultError(f"{path}: not a velmar run record")
    return data


def _write_json(path: str, data: dict[str, Any]) -> None:
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(data, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def save_array(out: str, array: npt.NDArray[Any]) -> None:
    """Writes an in-memory result to OUT.npy, replacing what is there, under
    the output's lock (a live run keeps it): the run record of an earlier
    run to disk goes first (its blocks no longer describe the file), then
    the array comes in through a temporary file and a rename."""
    with OutputLock(out):
        for stale in (out + ".run.json", out + ".run.json.tmp"):
            if os.path.lexists(stale):
                os.remove(stale)
        tmp = out + ".tmp"
        try:
            with open(tmp, "wb") as f:
                np.save(f, array)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, out)
        except BaseException:
            if os.path.lexists(tmp):
                os.remove(tmp)
            raise


# --- Zarr --------------------------------------------------------------------------


def _zarr() -> Any:
    try:
        import zarr  # noqa: PLC0415 (an optional extra, loaded on use)
    except ImportError:
        raise ImportError(
            "writing .zarr results needs Zarr (pip install 'velmar[scale]')"
        ) from None
    return zarr


def zarr_rows(num_nodes: int, width: int) -> int:
    """Rows of each Zarr chunk (and checksummed piece) of a block."""
    return max(1, min(num_nodes, _ZARR_CHUNK_BYTES // (4 * width)))


@contextlib.contextmanager
def _uninterrupted() -> Iterator[None]:
    """Holds back Ctrl-C while Zarr works: an operation cut off by
    KeyboardInterrupt leaves Zarr's event loop with pending tasks (reported
    when the interpreter exits). A Ctrl-C that arrives meanwhile is handled
    once the operation has ended. Only the main thread receives signals."""
    previous = signal.getsignal(signal.SIGINT)
    # None: a handler installed outside Python, which cannot be put back.
    if threading.current_thread() is not threading.main_thread() or previous is None:
        yield
        return
    received: list[Any] = []
    signal.signal(signal.SIGINT, lambda number, frame: received.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        # The handler in place before (Python's own raises KeyboardInterrupt);
        # the default action is taken again; an ignored signal stays ignored.
        if received and callable(previous):
            previous(signal.SIGINT, received[0])
        elif received and previous == signal.SIG_DFL:
            signal.raise_signal(signal.SIGINT)


class ZarrOutput(_Output):
    """A Zarr group with the array "embedding", chunked by column block, the
    array "done" with one single-byte chunk per block and the array
    "checksums" with one row (one chunk) per block, the block's signature,
    so that writers of different blocks never write the same object."""

    def __init__(
        self,
        path: str,
        run: dict[str, Any] | None,
        shape: tuple[int, int] | None = None,
        width: int | None = None,
        create: bool = True,
    ) -> None:
        zarr = _zarr()
        self.path = path
        try:
            with _uninterrupted():
                self._open(zarr, path, run, shape, create)
        except (FileNotFoundError, FileExistsError, RunMismatchError, CorruptResultError):
            raise
        except Exception as e:  # anything a damaged store raises
            raise CorruptResultError(f"{path}: unreadable ({type(e).__name__}: {e})") from None
        self.done = {
            j0 for j0, _ in column_blocks(self.shape[1], self.width) if self.flags[j0 // self.width]
        }

    def _open(
        self,
        zarr: Any,
        path: str,
        run: dict[str, Any] | None,
        shape: tuple[int, int] | None,
        create: bool,
    ) -> None:
        try:
            group = zarr.open_group(path, mode="r")
        except (FileNotFoundError, zarr.errors.GroupNotFoundError):
            if run is None or not create:
                raise FileNotFoundError(f"{path}: no such velmar result") from None
            if "://" not in path and os.path.exists(path) and os.listdir(path):
                raise FileExistsError(
                    f"{path}: exists and is not a velmar result; write to another "
                    "output path, or remove it if it is not needed"
                ) from None
            group = zarr.open_group(path, mode="w")
            group.attrs["velmar_run"] = run
        else:
            stored = group.attrs.asdict().get("velmar_run")
            if stored is None:
                raise FileExistsError(
                    f"{path}: exists and is not a velmar result; write to another "
                    "output path, or remove it if it is not needed"
                )
            if run is None:
                run = _stored_record(path, stored)
            else:
                _check_run(path, stored, run)
                group = zarr.open_group(path, mode="r+")
        n, dim = (run["num_nodes"], run["dim"]) if shape is None else shape
        self.record = run
        self.shape = (n, dim)
        self.width = int(run["block_columns"])
        self.rows = int(run["checksum_rows"])
        self.group = group
        self.array, self.checksums, self.flags = self._arrays(group, create and shape is not None)
        seed = group.attrs.asdict().get("velmar_seed")
        self.seed = seed if type(seed) is int and 0 <= seed < 2**64 else None

    def _arrays(self, group: Any, repair: bool) -> tuple[Any, Any, npt.NDArray[np.uint8]]:
        """The three arrays, their shapes, types and chunks checked against
        the record before any data is read. A missing one is made again
        when the run is at hand (`repair`): its blocks are then recomputed
        or verified, never trusted."""
        n, dim = self.shape
        blocks = len(column_blocks(dim, self.width))
        want = {
            "embedding": ((n, dim), (zarr_rows(n, self.width), self.width), np.float32, 0.0),
            "done": ((blocks,), (1,), np.uint8, 0),
            "checksums": (
                (blocks, _RUN_WORDS + self.chunks),
                (1, _RUN_WORDS + self.chunks),
                np.uint32,
                0,
            ),
        }
        found = {}
        for name, (shape, chunks, dtype, fill) in want.items():
            try:
                array = group[name]
            except KeyError:
                if not repair:
                    raise CorruptResultError(f"{self.path}: has no {name!r} array") from None
                array = group.create_array(
                    name,
                    shape=shape,
                    chunks=chunks,
                    dtype=dtype,
                    compressors=None,
                    fill_value=fill,
                )
            if (
                tuple(array.shape) != shape
                or tuple(array.chunks) != chunks
                or np.dtype(array.dtype) != dtype
            ):
                raise CorruptResultError(
                    f"{self.path}: its {name!r} array is {np.dtype(array.dtype)} "
                    f"{tuple(array.shape)} in chunks of {tuple(array.chunks)}, but its run "
                    f"record says {np.dtype(dtype)} {shape} in chunks of {chunks}"
                )
            found[name] = array
        try:
            flags = np.asarray(found["done"][:], dtype=np.uint8)
        except Exception:
            # A damaged flag marks its block as not done (it is computed again).
            flags = np.zeros(blocks, np.uint8)
            for b in range(blocks):
                try:
                    flags[b] = found["done"][b]
                except Exception:
                    flags[b] = 0
        return found["embedding"], found["checksums"], flags

    def signature(self, j0: int) -> npt.NDArray[np.uint32] | None:
        try:
            with _uninterrupted():
                return np.asarray(self.checksums[j0 // self.width], dtype=np.uint32)
        except Exception:
            return None

    def write(
        self, j0: int, j1: int, block: npt.NDArray[np.float32], signature: npt.NDArray[np.uint32]
    ) -> None:
        b = j0 // self.width
        try:
            with _uninterrupted():
                self.array[:, j0:j1] = block
                self.checksums[b] = signature
                self.group["done"][b] = 1
        except OSError as e:
            raise _write_error(e, self.path, j0, j1) from None
        self.done.add(j0)

    def record_seed(self, seed: int) -> None:
        if self.seed != seed:
            with _uninterrupted():
                self.group.attrs["velmar_seed"] = seed
            self.seed = seed

    def verify(self, blocks: list[tuple[int, int]]) -> list[Bad]:
        """Blocks whose data differs from their signatures, read one Zarr
        chunk at a time."""
        if self.shape[0] == 0:
            return self._signature_only(blocks)
        bad = []
        for j0, j1 in blocks:
            want = self.signature(j0)
            for c in range(self.chunks):
                r0 = c * self.rows
                r1 = min(r0 + self.rows, self.shape[0])
                try:
                    with _uninterrupted():
                        data = np.asarray(self.array[r0:r1, j0:j1])
                except Exception as e:
                    why: str | None = f"rows {r0}:{r1} cannot be read ({type(e).__name__}: {e})"
                else:
                    got = int(_chunk_checksums(data, self.rows)[0])
                    why = self._first_difference(want, c, got)
                if why is not None:
                    bad.append((j0, j1, why))
                    break
        return bad

    def result(self) -> Any:
        return self.array


# --- runs -----------------------------------------------------------------------


def _check_blocks(out: str, dim: int, width: int) -> None:
    """Refuses a run of more blocks than a run to disk records, before
    anything is planned or allocated (a huge dim included)."""
    blocks = -(-dim // width)
    if blocks > MAX_BLOCKS:
        raise ValueError(
            f"{out}: dim={dim} in blocks of {width} columns makes {blocks:,} column "
            f"blocks, and a run to disk records at most {MAX_BLOCKS:,}; pass "
            f"block_columns of at least {-(-dim // MAX_BLOCKS):,}, or reduce dim"
        )


def _check_size(out: str, shape: _plan.Shape, run: Run, width: int) -> None:
    """Refuses, before the output exists, a run of too many blocks to record
    and a block whose run cannot fit in memory."""
    _check_blocks(out, run.dim, width)
    limit, source = _plan.limit_of(run)
    if limit is None:
        return
    # Three n × width float32 matrices at least: the block and its working pair.
    need = 12 * shape.num_nodes * width
    if need <= 1 << 62:
        need = _plan.engine_plan(shape, run, width, width, result="block")["peak"]
    if need > limit:
        raise MemoryError(
            f"{out}: a block of {width} columns needs about {format_bytes(need)} for "
            f"{shape.num_nodes:,} nodes, but only {format_bytes(limit)} is available "
            f"({source}); pass a narrower block_columns"
        )


def run_to_disk(graph: PreparedGraph, run: Run) -> Any:
    """Embeds block by block into run.out (.zarr or .npy) and returns the
    opened result; skips the blocks a previous run completed, once they are
    verified. Without block_columns, the block is the widest whose run fits
    memory_limit (_plan.disk_block_width). Step normalisation needs one
    block of every column. OutputInUseError while another process writes
    the output."""
    out = run.out
    assert out is not None
    is_zarr = out.rstrip("/").endswith(".zarr")
    if not is_zarr and not out.endswith(".npy"):
        raise ValueError(f"out must name a .zarr or a .npy path, got {out!r}")
    if run.client is not None and not is_zarr:
        raise ValueError(
            "a run on a Dask cluster writes a .zarr result (many writers, one chunk each)"
        )
    if run.client is not None and graph.path is None:
        raise TypeError(
            "a run on a Dask cluster needs a prepared graph that every worker can open "
            "(velmar.prepare / velmar.open_graph on shared storage)"
        )
    with OutputLock(out):
        return _run_locked(graph, run, out, is_zarr)


def _run_locked(graph: PreparedGraph, run: Run, out: str, is_zarr: bool) -> Any:
    n, dim = graph.num_nodes, run.dim
    shape = _plan.shape_of(graph, run)
    given = run.block_columns is not None
    width = run.block_columns
    if width is None:
        stored = _stored_width(out, is_zarr)
        width = stored if stored is not None and stored <= dim else None
    widest = dim if run.step_normalize else min(dim, _engine.PREFERRED_BLOCK)
    _check_blocks(out, dim, widest if width is None else width)
    if width is None:
        width = _plan.disk_block_width(shape, run)
    _plan.check_disk_width(shape, run, width, given=given)
    _check_size(out, shape, run, width)
    # The engine's checks of the features and of the values the run could
    # reach, before anything is written (a run in memory has them made
    # before its result is allocated).
    _engine.check(graph.engine, run.engine_settings())
    record = {
        "version": RUN_VERSION,
        "graph": graph.fingerprint,
        "num_nodes": n,
        "block_columns": width,
        "checksum_rows": zarr_rows(n, width) if is_zarr else max(1, _NPY_WINDOW_BYTES // (4 * dim)),
        "seed": run.seed,
        **run.record(),
        # A prepared graph is embedded as it was stored.
        "undirected": run.undirected and graph.path is None,
    }
    output: NpyOutput | ZarrOutput
    output = (
        ZarrOutput(out, record, (n, dim), width) if is_zarr else NpyOutput(out, record, (n, dim))
    )
    # Every block must draw the same projection: an unseeded run picks its
    # seed once and records it, so a restart continues with it.
    seed = run.seed if run.seed is not None else output.seed
    if seed is None:
        seed = secrets.randbits(64)
    output.record_seed(seed)
    output.use_seed(seed)
    blocks = column_blocks(dim, width)
    marked = [(j0, j1) for j0, j1 in blocks if j0 in output.done]
    for j0, j1, why in output.verify(marked):
        warnings.warn(
            f"{out}: columns {j0}:{j1} {why}; computing them again",
            RuntimeWarning,
            stacklevel=5,
        )
        output.done.discard(j0)
    todo = [(j0, j1) for j0, j1 in blocks if j0 not in output.done]
    finished = len(blocks) - len(todo)
    block_run = run.for_worker(seed)
    if run.client is not None:
        assert graph.path is not None and isinstance(output, ZarrOutput)
        # Workers resolve paths from their own working directories.
        shared = out if "://" in out else os.path.abspath(out)
        shown = _Reporter(run.progress) if run.progress else None
        try:
            if shown is not None:
                shown.update(finished, len(blocks))
            _run_dask(
                run.client,
                os.path.abspath(graph.path),
                shared,
                record,
                todo,
                block_run,
                finished,
                len(blocks),
                None if shown is None else shown.update,
            )
        finally:
            if shown is not None:
                shown.close()
        return output.result()
    _run_blocks(graph, output, todo, block_run, finished, len(blocks), run.progress)
    return output.result()


def _run_blocks(
    graph: PreparedGraph,
    output: NpyOutput | ZarrOutput,
    todo: list[tuple[int, int]],
    run: Run,
    finished: int,
    total: int,
    progress: Any,
) -> None:
    """Computes, signs and writes each block in turn. A callable `progress`
    gets (blocks done, blocks in all) after each block; progress=True shows
    the column blocks × steps of the whole run, as an in-memory run does."""
    report = progress if callable(progress) else None
    steps = len(run.weights)
    shown = _Reporter(True) if progress is True else None
    if report is not None:
        report(finished, total)
    try:
        for j0, j1 in todo:
            block_run = run
            if shown is not None:
                base, bar = finished * steps, shown

                def update(done: int, _: int, base: int = base, bar: _Reporter = bar) -> None:
                    bar.update(base + done, total * steps)

                block_run = run.replace(progress=update)
                shown.update(base, total * steps)
            block = compute_block(graph, j0, j1, block_run)
            output.write(j0, j1, block, output.sign(block))
            finished += 1
            if report is not None:
                report(finished, total)
            if shown is not None:
                shown.update(finished * steps, total * steps)
    finally:
        if shown is not None:
            shown.close()


def _stored_width(out: str, is_zarr: bool) -> int | None:
    """The block width of an unfinished run at ``out``, so that a restart
    without block_columns continues it."""
    try:
        if is_zarr:
            zarr = _zarr()
            with _uninterrupted():
                run = zarr.open_group(out, mode="r").attrs.asdict().get("velmar_run", {})
        else:
            run = _read_json(out + ".run.json").get("run", {})
    except Exception:
        return None
    width = run.get("block_columns") if isinstance(run, dict) else None
    return width if isinstance(width, int) and not isinstance(width, bool) and width > 0 else None


def open_result(path: str | os.PathLike[str]) -> Any:
    """Opens a finished result on disk read-only (a Zarr array, or a
    read-only memory-mapped array), after checking its shape against its run
    record and every block against its checksums.

    Raises CorruptResultError naming the store and the columns when a block
    is missing or differs from what was written (the same ``embed`` call
    with the graph computes them again), or when the record or the store's
    shape is damaged."""
    out = os.fspath(path)
    is_zarr = out.rstrip("/").endswith(".zarr")
    if not is_zarr and not out.endswith(".npy"):
        raise ValueError(f"path must name a .zarr or a .npy result, got {out!r}")
    try:
        output: NpyOutput | ZarrOutput = (
            ZarrOutput(out, None, create=False) if is_zarr else NpyOutput(out, None)
        )
    except RunMismatchError as e:
        raise CorruptResultError(str(e)) from None
    if output.seed is None:
        raise CorruptResultError(f"{out}: its run record has no seed")
    output.use_seed(output.seed)
    blocks = column_blocks(output.shape[1], output.width)
    missing = [f"{j0}:{j1}" for j0, j1 in blocks if j0 not in output.done]
    if missing:
        raise CorruptResultError(
            f"{out}: unfinished: columns {', '.join(missing[:8])}"
            f"{' ...' if len(missing) > 8 else ''} are not written; run the same embed "
            "call again to finish it"
        )
    bad = output.verify(blocks)
    if bad:
        shown = "; ".join(f"columns {j0}:{j1} {why}" for j0, j1, why in bad[:4])
        raise CorruptResultError(
            f"{out}: {shown}. Run the same embed call with its graph to compute them again"
        )
    return output.result()


def _run_dask(
    client: Any,
    graph_path: str,
    out: str,
    record: dict[str, Any],
    todo: list[tuple[int, int]],
    run: Run,
    finished: int,
    total: int,
    progress: Progress | None,
) -> None:
    from distributed import as_completed  # noqa: PLC0415 (an optional extra, loaded on use)

    token = secrets.token_hex(4)
    futures = {
        client.submit(
            _dask_block,
            graph_path,
            out,
            record,
            j0,
            j1,
            run,
            key=f"velmar-block-{j0}-{j1}-{token}",
            pure=False,
        ): (j0, j1)
        for j0, j1 in todo
    }
    failed: list[str] = []
    for future in as_completed(futures):
        j0, j1 = futures[future]
        try:
            future.result()
        except Exception as e:
            failed.append(f"columns {j0}:{j1} ({type(e).__name__}: {e})")
            continue
        finished += 1
        if progress is not None:
            progress(finished, total)
    if failed:
        raise RuntimeError(
            f"{out}: {len(failed)} of {len(todo)} blocks failed on the cluster: "
            f"{'; '.join(failed[:3])}. The completed blocks are kept; run the same "
            "call again to compute the rest"
        )


def _dask_block(
    graph_path: str, out: str, record: dict[str, Any], j0: int, j1: int, run: Run
) -> dict[str, Any]:
    """One task: open the graph and the result, write one signed block,
    return metadata. The caller holds the output's lock for its tasks."""
    started = time.perf_counter()
    graph = open_graph(graph_path)
    output = ZarrOutput(
        out, record, (graph.num_nodes, run.dim), record["block_columns"], create=False
    )
    assert run.seed is not None
    output.use_seed(run.seed)
    if j0 not in output.done:
        block = compute_block(graph, j0, j1, run)
        output.write(j0, j1, block, output.sign(block))
    return {
        "columns": (j0, j1),
        "seconds": time.perf_counter() - started,
        "worker": socket.gethostname(),
        "pid": os.getpid(),
    }
