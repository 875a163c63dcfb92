"""The memory a fit's search may use: parsing ``memory_limit`` and the default."""

from __future__ import annotations

import re

# The share of the memory available at the start of a fit that a search may
# use when no memory_limit is given.
DEFAULT_FRACTION = 0.5

_UNITS = {
    "": 1, "b": 1,
    "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9, "gb": 10**9,
    "t": 10**12, "tb": 10**12,
    "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40,
}
_TEXT = re.compile(r"^\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*([A-Za-z]*)\s*$")


def parse(limit: int | str) -> int:
    """Bytes from an int or a text such as "2GB", "512 MiB" or "1.5e9"."""
    if isinstance(limit, str):
        match = _TEXT.match(limit)
        unit = match.group(2).lower() if match else None
        if match is None or unit not in _UNITS:
            try:
                value = float(limit)
            except ValueError:
                raise ValueError(
                    f"memory_limit must be a number of bytes or a text such as '2GB' or "
                    f"'512MiB', got {limit!r}") from None
            unit, number = "", value
        else:
            number = float(match.group(1))
        result = int(number * _UNITS[unit])
    else:
        result = int(limit)
    if result <= 0:
        raise ValueError(f"memory_limit must be positive, got {limit!r}")
    return result


def available_bytes() -> int | None:
    """MemAvailable of /proc/meminfo in bytes, None where it cannot be read."""
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        return None
    return None


def limit_bytes(limit: int | str | None) -> int | None:
    """The limit a search gets: the given one, or DEFAULT_FRACTION of the
    memory available now (None, no limit, where that is unknown)."""
    if limit is not None:
        return parse(limit)
    available = available_bytes()
    return None if available is None else int(available * DEFAULT_FRACTION)


def describe(limit: int | None) -> str:
    if limit is None:
        return "none"
    return f"{limit / 2**30:.2f} GiB"
