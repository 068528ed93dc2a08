"""Checks cross-built macOS binaries without Apple's tools: the oldest macOS
each one says it runs on (LC_BUILD_VERSION's minos, or the older
LC_VERSION_MIN_MACOSX) and the symbols it exports (the export trie dyld
reads, else the symbol table's defined external symbols).

    python scripts/macho_check.py --minos 13.3 [--exports SYM,...] FILE...

Prints one line per file; exits 1 when a file is not a 64-bit little-endian
Mach-O, names another minimum version, or exports other symbols than
--exports lists (when given).
"""

from __future__ import annotations

import argparse
import struct
import sys
from pathlib import Path

MH_MAGIC_64 = 0xFEEDFACF
LC_SYMTAB = 0x2
LC_DYSYMTAB = 0xB
LC_VERSION_MIN_MACOSX = 0x24
LC_BUILD_VERSION = 0x32
LC_DYLD_INFO_ONLY = 0x80000022
LC_DYLD_EXPORTS_TRIE = 0x80000033
N_EXT, N_PEXT, N_TYPE, N_UNDF = 0x01, 0x10, 0x0E, 0x0
# Symbols the linker itself defines for the image (its Mach-O header and the
# handle C++ static destructors register with); zig's linker lists them
# with the exports. They name no code of the module.
LINKER_DEFINED = frozenset({"__mh_dylib_header", "__mh_execute_header", "___dso_handle"})


class MachOError(ValueError):
    pass


def _version(packed: int) -> str:
    """xxxx.yy.zz packed into nibbles, as "13.3" or "13.3.1"."""
    major, minor, patch = packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF
    return f"{major}.{minor}" + (f".{patch}" if patch else "")


def _uleb(data: bytes, pos: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if pos >= len(data) or shift > 63:
            raise MachOError("truncated or overlong ULEB128 in the export trie")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def _trie_symbols(trie: bytes) -> set[str]:
    """Every terminal name in a dyld export trie (walked with an explicit
    stack; a node is visited once, so a cyclic trie cannot loop)."""
    names: set[str] = set()
    stack, seen = [(0, b"")], set()
    while stack:
        node, prefix = stack.pop()
        if node in seen or node >= len(trie):
            raise MachOError("malformed export trie")
        seen.add(node)
        terminal, pos = _uleb(trie, node)
        if terminal:
            names.add(prefix.decode())
        pos += terminal
        if pos >= len(trie):
            raise MachOError("malformed export trie")
        count = trie[pos]
        pos += 1
        for _ in range(count):
            end = trie.index(b"\0", pos)
            edge = trie[pos:end]
            child, pos = _uleb(trie, end + 1)
            stack.append((child, prefix + edge))
    return names


def _symtab_exports(data: bytes, symtab: tuple[int, ...], dysymtab: tuple[int, ...] | None) -> set[str]:
    symoff, nsyms, stroff, strsize = symtab
    first, count = (dysymtab[2], dysymtab[3]) if dysymtab else (0, nsyms)
    names = set()
    for i in range(first, first + count):
        strx, ntype, _sect, _desc, _value = struct.unpack_from("<IBBHQ", data, symoff + 16 * i)
        if ntype & N_EXT and not ntype & N_PEXT and (ntype & N_TYPE) != N_UNDF and strx < strsize:
            names.add(data[stroff + strx : data.index(b"\0", stroff + strx)].decode())
    return names


def inspect(data: bytes) -> tuple[str | None, set[str]]:
    """The minimum macOS version (None when no load command names one) and
    the exported symbol names (less LINKER_DEFINED) of one thin 64-bit
    Mach-O image."""
    if len(data) < 32 or struct.unpack_from("<I", data)[0] != MH_MAGIC_64:
        raise MachOError("not a 64-bit little-endian Mach-O file")
    ncmds, sizeofcmds = struct.unpack_from("<II", data, 16)
    pos, end = 32, 32 + sizeofcmds
    minos = None
    symtab = dysymtab = trie = None
    for _ in range(ncmds):
        if pos + 8 > min(end, len(data)):
            raise MachOError("load commands run past their stated size")
        cmd, size = struct.unpack_from("<II", data, pos)
        if size < 8:
            raise MachOError("load command of impossible size")
        if cmd == LC_BUILD_VERSION:
            minos = _version(struct.unpack_from("<I", data, pos + 12)[0])
        elif cmd == LC_VERSION_MIN_MACOSX and minos is None:
            minos = _version(struct.unpack_from("<I", data, pos + 8)[0])
        elif cmd == LC_SYMTAB:
            symtab = struct.unpack_from("<IIII", data, pos + 8)
        elif cmd == LC_DYSYMTAB:
            dysymtab = struct.unpack_from("<18I", data, pos + 8)
        elif cmd == LC_DYLD_EXPORTS_TRIE:
            off, length = struct.unpack_from("<II", data, pos + 8)
            trie = data[off : off + length]
        elif cmd == LC_DYLD_INFO_ONLY:
            off, length = struct.unpack_from("<II", data, pos + 40)
            if length:
                trie = data[off : off + length]
        pos += size
    if trie:
        exported = _trie_symbols(trie)
    else:
        exported = _symtab_exports(data, symtab, dysymtab) if symtab else set()
    return minos, exported - LINKER_DEFINED


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minos", required=True, help="the minimum macOS version every file must name")
    parser.add_argument("--exports", help="comma-separated: the exact set of symbols each file may export")
    parser.add_argument("files", nargs="+", type=Path)
    args = parser.parse_args(argv)
    want = None if args.exports is None else set(filter(None, args.exports.split(",")))
    failed = False
    for path in args.files:
        try:
            minos, exported = inspect(path.read_bytes())
        except (OSError, MachOError, struct.error) as exc:
            print(f"{path}: {exc}", file=sys.stderr)
            failed = True
            continue
        problems = []
        if minos != args.minos:
            problems.append(f"minimum macOS {minos}, expected {args.minos}")
        if want is not None and exported != want:
            extra, missing = sorted(exported - want), sorted(want - exported)
            problems.append(f"exports {len(extra)} more symbol(s) than wanted: {', '.join(extra)}" if extra else "")
            problems.append(f"does not export {', '.join(missing)}" if missing else "")
        problems = [p for p in problems if p]
        status = "; ".join(problems) if problems else "ok"
        print(f"{path}: minos {minos}, {len(exported)} exported symbol(s): {status}")
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
