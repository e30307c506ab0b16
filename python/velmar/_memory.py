"""The memory available to this process: the tightest cgroup limit on the
way to the root, and MemAvailable of /proc/meminfo.

The memory plan (_plan) compares what an embedding still has to allocate
with this figure, so that a call that cannot fit raises MemoryError instead
of being killed by the kernel halfway through.
"""

from __future__ import annotations

import os

# Limits at or above this are "no limit" (cgroup v1 reports 2**63 rounded
# down to a page).
_NO_LIMIT = 1 << 60


def _read_int(path: str) -> int | None:
    try:
        with open(path, encoding="ascii") as f:
            text = f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None
    if text == "max":
        return None
    try:
        return int(text)
    except ValueError:
        return None


def _stat_field(path: str, names: tuple[str, ...]) -> int:
    try:
        with open(path, encoding="ascii") as f:
            for line in f:
                key, _, value = line.partition(" ")
                if key in names:
                    return int(value)
    except (OSError, UnicodeDecodeError, ValueError):
        pass
    return 0


def _cgroup_dirs(proc_cgroup: str, root: str) -> list[tuple[str, int]]:
    """Directories of this process's memory cgroups, innermost first, with
    their version (1 or 2); each up to the mount root, whose limits apply to
    everything below."""
    dirs: list[tuple[str, int]] = []
    try:
        with open(proc_cgroup, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError:
        return dirs
    for line in lines:
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        hier, controllers, path = parts
        if hier == "0" and controllers == "":
            base, version = root, 2
        elif "memory" in controllers.split(","):
            base, version = os.path.join(root, "memory"), 1
        else:
            continue
        rel = path.strip("/")
        while True:
            dirs.append((os.path.join(base, rel) if rel else base, version))
            if not rel:
                break
            rel = os.path.dirname(rel)
    return dirs


# Per cgroup version: the limit's file, the usage's, and the memory.stat
# fields of the inactive page cache.
_CGROUP_FILES = {
    2: ("memory.max", "memory.current", ("inactive_file",)),
    1: (
        "memory.limit_in_bytes",
        "memory.usage_in_bytes",
        ("total_inactive_file", "inactive_file"),
    ),
}


def _cgroup_headroom(
    proc_cgroup: str = "/proc/self/cgroup", root: str = "/sys/fs/cgroup"
) -> int | None:
    """Bytes left under the tightest cgroup memory limit, or None without one.

    Usage counts page cache; its inactive part is reclaimed before the kernel
    kills anything, so it is not counted as used.
    """
    best: int | None = None
    for directory, version in _cgroup_dirs(proc_cgroup, root):
        limit_file, usage_file, inactive_fields = _CGROUP_FILES[version]
        limit = _read_int(os.path.join(directory, limit_file))
        # Most levels set no limit: their usage is not read.
        if limit is None or limit >= _NO_LIMIT:
            continue
        usage = _read_int(os.path.join(directory, usage_file))
        inactive = _stat_field(os.path.join(directory, "memory.stat"), inactive_fields)
        used = max((usage or 0) - inactive, 0)
        headroom = max(limit - used, 0)
        best = headroom if best is None else min(best, headroom)
    return best


def _mem_available(meminfo: str = "/proc/meminfo") -> int | None:
    try:
        with open(meminfo, encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    fields = line.split()
                    return int(fields[1]) * 1024  # the kernel reports kB
    except (OSError, ValueError, IndexError):
        pass
    return None


def available_memory() -> tuple[int, str] | None:
    """(bytes, where the figure comes from) for this process, or None when
    the system does not say."""
    candidates: list[tuple[int, str]] = []
    cgroup = _cgroup_headroom()
    if cgroup is not None:
        candidates.append((cgroup, "under this process's cgroup memory limit"))
    mem = _mem_available()
    if mem is not None:
        candidates.append((mem, "MemAvailable in /proc/meminfo"))
    if not candidates:
        return None
    return min(candidates)
