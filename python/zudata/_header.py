"""The header tree as text: dotted key=value lines, JSON, single values.

A header may nest as deep as its keys have dots, thousands of levels in a
hostile file, so nothing here recurses: every walk keeps its own stack.
"""

from __future__ import annotations

import functools
import json
import re
from json.encoder import encode_basestring, encode_basestring_ascii
from typing import Any
from collections.abc import Iterator

_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def flatten(header: dict[str, Any]) -> Iterator[tuple[str, Any]]:
    """The nested header as (dotted key, value) pairs, depth first.

    The path is kept as one list of keys and joined only for a value: a
    prefix string per level would hold memory growing with the square of
    the depth."""
    path: list[str] = []
    stack: list[Iterator[tuple[str, Any]]] = [iter(header.items())]
    while stack:
        for key, value in stack[-1]:
            if isinstance(value, dict):
                if value:
                    path.append(key)
                    stack.append(iter(value.items()))
                    break
                continue
            yield ".".join([*path, key]), value
        else:
            stack.pop()
            if path:
                path.pop()


def lookup(header: dict[str, Any], dotted: str) -> Any:
    """The value or group at a dotted key; KeyError when it is missing."""
    node: Any = header
    for key in dotted.split("."):
        if not isinstance(node, dict) or key not in node:
            raise KeyError(dotted)
        node = node[key]
    return node


def _scalar(value: Any, ensure_ascii: bool) -> str:
    # Lone surrogates stand for bytes of a file name that are not UTF-8;
    # escaped, the text stays valid UTF-8 JSON and a reader in Python gets
    # the same string back.
    if isinstance(value, str):
        # What json.dumps does for a string, without its per-call set-up
        # (a deep header has millions of keys).
        text = (encode_basestring_ascii if ensure_ascii else encode_basestring)(value)
    else:
        text = json.dumps(value, ensure_ascii=ensure_ascii)
    return text if ensure_ascii else _LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


@functools.lru_cache(maxsize=4096)
def _key(key: str, ensure_ascii: bool) -> str:
    # Deep headers repeat a few keys at every level: one text object each.
    return _scalar(key, ensure_ascii) + ": "


# Containers nested deeper than this are written on one line, as with
# indent=None: indenting every level would make the text grow with the
# square of the depth (a hostile header nests thousands of levels).
MAX_INDENTED_DEPTH = 64


def to_json(value: Any, *, indent: int | None = 2, sort_keys: bool = False, ensure_ascii: bool = False) -> str:
    """The text json.dumps(value, indent=indent, sort_keys=sort_keys,
    ensure_ascii=ensure_ascii) gives for dicts, lists and scalars, at any
    depth, except that lone surrogates are escaped and that containers
    nested deeper than MAX_INDENTED_DEPTH levels are written without
    newlines, so that the text stays linear in the depth."""

    def newline(depth: int) -> str:
        if indent is None or depth > MAX_INDENTED_DEPTH:
            return ""
        return "\n" + " " * (indent * depth)

    def separator(depth: int) -> str:
        return "," if indent is not None and depth <= MAX_INDENTED_DEPTH else ", "

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
        out.append(_scalar(node, ensure_ascii))
        return False

    open_container(value)
    while stack:
        frame = stack[-1]
        depth = len(stack)
        entry = next(frame[0], None)
        if entry is None:
            stack.pop()
            # The closing bracket lines up with its opening line, unless the
            # container's items were written on one line.
            out.append((newline(depth - 1) if newline(depth) else "") + frame[1])
            continue
        key, child = entry
        out.append((separator(depth) if frame[2] else "") + newline(depth))
        frame[2] = True
        if key is not None:
            out.append(_key(str(key), ensure_ascii))
        open_container(child)
    return "".join(out)
