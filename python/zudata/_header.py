"""The header tree as text: dotted key=value lines, JSON, single values.

A header may nest as deep as its keys have dots, thousands of levels in a
hostile file, so nothing here recurses: every walk keeps its own stack.
"""

from __future__ import annotations

import json
import re
from typing import Any
from collections.abc import Iterator

_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def flatten(header: dict[str, Any]) -> Iterator[tuple[str, Any]]:
    """The nested header as (dotted key, value) pairs, depth first."""
    stack: list[tuple[str, Iterator[tuple[str, Any]]]] = [("", iter(header.items()))]
    while stack:
        prefix, items = stack[-1]
        for key, value in items:
            if isinstance(value, dict):
                if value:
                    stack.append((f"{prefix}{key}.", iter(value.items())))
                    break
                continue
            yield f"{prefix}{key}", value
        else:
            stack.pop()


def lookup(header: dict[str, Any], dotted: str) -> Any:
    """The value or group at a dotted key; KeyError when it is missing."""
    node: Any = header
    for key in dotted.split("."):
        if not isinstance(node, dict) or key not in node:
            raise KeyError(dotted)
        node = node[key]
    return node


def _scalar(value: Any) -> str:
    # Lone surrogates stand for bytes of a file name that are not UTF-8;
    # escaped, the text stays valid UTF-8 JSON and a reader in Python gets
    # the same string back.
    text = json.dumps(value, ensure_ascii=False)
    return _LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def to_json(value: Any, *, indent: int | None = 2, sort_keys: bool = False) -> str:
    """The text json.dumps(value, indent=indent, sort_keys=sort_keys,
    ensure_ascii=False) gives for dicts, lists and scalars, at any depth
    (lone surrogates escaped)."""

    def newline(depth: int) -> str:
        return "" if indent is None else "\n" + " " * (indent * depth)

    out: list[str] = []
    # Each frame: iterator over (key or None, value) pairs, closing bracket,
    # whether an item was written yet.
    stack: list[list[Any]] = []

    def open_container(node: Any) -> bool:
        if isinstance(node, dict):
            if not node:
                out.append("{}")
                return False
            items = sorted(node.items()) if sort_keys else node.items()
            out.append("{")
            stack.append([iter(items), "}", False])
            return True
        if isinstance(node, (list, tuple)):
            if not node:
                out.append("[]")
                return False
            out.append("[")
            stack.append([iter((None, v) for v in node), "]", False])
            return True
        out.append(_scalar(node))
        return False

    open_container(value)
    while stack:
        frame = stack[-1]
        depth = len(stack)
        entry = next(frame[0], None)
        if entry is None:
            stack.pop()
            out.append(newline(depth - 1) + frame[1])
            continue
        key, child = entry
        separator = ("," if indent is not None else ", ") if frame[2] else ""
        out.append(separator + newline(depth))
        frame[2] = True
        if key is not None:
            out.append(_scalar(str(key)) + ": ")
        open_container(child)
    return "".join(out)
