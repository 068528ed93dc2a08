"""Reading the few channel facts the module does not return directly."""

from __future__ import annotations

from typing import Any
from collections.abc import Iterator


def _channel_entry(header: Any, channel: str) -> dict[str, Any] | None:
    # The first entry carrying the name, as the module picks it for reads.
    entries = header.get("lcd-info") if isinstance(header, dict) else None
    if not isinstance(entries, dict):
        return None
    for entry in entries.values():
        if isinstance(entry, dict):
            names = entry.get("channel")
            if isinstance(names, dict) and names.get("name") == channel:
                return entry
    return None


def _lookup(node: Any, *keys: str) -> str | None:
    for key in keys:
        if not isinstance(node, dict):
            return None
        node = node.get(key)
    return node if isinstance(node, str) else None


def sample_type(header: Any, channel: str) -> str | None:
    return _lookup(_channel_entry(header, channel), "type")


def base_unit(header: Any, channel: str) -> str | None:
    return _lookup(_channel_entry(header, channel), "conversion-set", "conversions", "base")


def flatten(header: Any, prefix: str = "") -> Iterator[tuple[str, str]]:
    """The nested header as (dotted key, value) pairs."""
    for key, value in header.items():
        path = f"{prefix}{key}"
        if isinstance(value, dict):
            yield from flatten(value, path + ".")
        else:
            yield path, value
