"""Checks and conversions of argument values, shared by every layer.

Nothing here knows about graphs or the engine: integers through
``__index__``, byte counts such as "4GB", and what a float32 can hold.
"""

from __future__ import annotations

import operator
import re

import numpy as np

_UNITS = {"": 1, "b": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}
_BINARY = {"ki": 1 << 10, "mi": 1 << 20, "gi": 1 << 30, "ti": 1 << 40}
_BYTES_RE = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?)\s*([kmgt]i?)?b?\s*$", re.IGNORECASE)


def check_index(value: object, what: str) -> int:
    """An integer argument (bool excluded), via ``__index__``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}") from None


def parse_bytes(value: object, what: str = "memory_limit") -> int:
    """Bytes from an int or a string such as "4GB", "512MiB", "1.5G"."""
    if isinstance(value, str):
        match = _BYTES_RE.match(value)
        if match is None:
            raise ValueError(f"{what} must be a number of bytes such as '4GB', got {value!r}")
        unit = (match.group(2) or "").lower()
        scale = _BINARY[unit] if unit in _BINARY else _UNITS[unit]
        return int(float(match.group(1)) * scale)
    count = check_index(value, what)
    if count < 0:
        raise ValueError(f"{what} must not be negative, got {count}")
    return count


def format_bytes(count: int) -> str:
    if count < 1024:
        return f"{count} bytes"
    size = count / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if size < 1024:
            return f"{size:.1f} {unit}"
        size /= 1024
    return f"{size:.1f} TiB"


def finite_in_float32(values: list[float]) -> bool:
    """True when every value stays finite once the engine rounds it to float32."""
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(np.array(values, dtype=np.float32)).all())
