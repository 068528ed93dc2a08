"""Raw DEFLATE streams written bit by bit: blocks that a decoder must judge
exactly as zlib does, valid or not, and the stored blocks that carry them
past a size."""

from __future__ import annotations

import struct

# The order in which a dynamic block sends the code-length code's lengths.
CL_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]

# ("lit", byte) | ("len", symbol, extra value, extra bits)
# | ("dist", symbol, extra value, extra bits) | ("bits", value, count)
Item = tuple


class Bits:
    def __init__(self) -> None:
        self.acc = 0
        self.n = 0

    def put(self, value: int, bits: int) -> None:
        """Header fields and extra bits: least significant bit first."""
        self.acc |= value << self.n
        self.n += bits

    def code(self, code: int, bits: int) -> None:
        """Huffman codewords: most significant bit first."""
        self.put(int(f"{code:0{bits}b}"[::-1], 2), bits)

    def bytes(self) -> bytes:
        return self.acc.to_bytes((self.n + 7) // 8, "little")


def canonical(lengths: list[int]) -> dict[int, tuple[int, int]]:
    """symbol -> (codeword, bits) of the canonical code with these lengths."""
    codes, code = {}, 0
    for bits in range(1, 16):
        for sym, length in enumerate(lengths):
            if length == bits:
                codes[sym] = (code, bits)
                code += 1
        code <<= 1
    return codes


def fixed_codeword(sym: int) -> tuple[int, int]:
    if sym < 144:
        return 0x30 + sym, 8
    if sym < 256:
        return 0x190 + sym - 144, 9
    if sym < 280:
        return sym - 256, 7
    return 0xC0 + sym - 280, 8  # 286 and 287 have codewords but no meaning


def _items(b: Bits, items: list[Item], lit: dict, dist: dict | None) -> None:
    for it in items:
        kind = it[0]
        if kind == "lit":
            b.code(*lit[it[1]])
        elif kind == "len":
            b.code(*lit[it[1]])
            b.put(it[2], it[3])
        elif kind == "dist":
            b.code(*(dist[it[1]] if dist is not None else (it[1], 5)))
            b.put(it[2], it[3])
        else:
            b.put(it[1], it[2])
    b.code(*lit[256])


def fixed_block(items: list[Item], final: bool = True) -> bytes:
    b = Bits()
    b.put(int(final), 1)
    b.put(1, 2)
    _items(b, items, {s: fixed_codeword(s) for s in range(288)}, None)
    return b.bytes()


def dynamic_block(lit_lengths: list[int], dist_lengths: list[int], items: list[Item],
                  sent: list[tuple[int, int, int]] | None = None) -> bytes:
    """One final dynamic block. `sent` gives the code-length symbols as
    (symbol, extra value, extra bits); by default every length is sent as
    itself. The code-length code is complete over the symbols used."""
    lengths = list(lit_lengths) + list(dist_lengths)
    if sent is None:
        sent = [(n, 0, 0) for n in lengths]
    used = sorted({s for s, _, _ in sent})
    spare = [s for s in CL_ORDER if s not in used]
    while len(used) < 2 or len(used) & (len(used) - 1):
        used.append(spare.pop(0))
    cl_lengths = [0] * 19
    for s in used:
        cl_lengths[s] = (len(used) - 1).bit_length()
    hclen = max(i for i, s in enumerate(CL_ORDER) if cl_lengths[s]) + 1
    b = Bits()
    b.put(1, 1)
    b.put(2, 2)
    b.put(len(lit_lengths) - 257, 5)
    b.put(len(dist_lengths) - 1, 5)
    b.put(hclen - 4, 4)
    for i in range(hclen):
        b.put(cl_lengths[CL_ORDER[i]], 3)
    cl = canonical(cl_lengths)
    for s, value, bits in sent:
        b.code(*cl[s])
        b.put(value, bits)
    _items(b, items, canonical(lit_lengths), canonical(dist_lengths))
    return b.bytes()


def stored_blocks(data: bytes, final: bool = False) -> bytes:
    """`data` in stored blocks (at most 65535 bytes each)."""
    out = bytearray()
    pieces = [data[i:i + 65535] for i in range(0, len(data), 65535)] or [b""]
    for k, piece in enumerate(pieces):
        out += bytes([int(final and k == len(pieces) - 1)])
        out += struct.pack("<HH", len(piece), len(piece) ^ 0xFFFF) + piece
    return bytes(out)


def lengths_for(count: int, symbols: list[int], bits: int) -> list[int]:
    out = [0] * count
    for s in symbols:
        out[s] = bits
    return out
