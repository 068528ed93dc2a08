// Which DEFLATE streams the whole-buffer fast decoder may take.
//
// libdeflate accepts a few streams that zlib refuses: literal/length symbols
// 286 and 287 and distance codes 30 and 31 in fixed-Huffman blocks, more
// than 286 literal/length or 30 distance code lengths, a code-length repeat
// that runs past the lengths, and incomplete codes (it decodes a missing
// codeword as a present one). Such streams must fail the same way in every
// build, so only streams in which none of this can occur go to libdeflate;
// every other stream is judged by zlib.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace zu::zip {

// True when `in` starts with zero or more non-final stored blocks followed
// by one final block that is either stored, or dynamic-Huffman with
// at most 286 literal/length and 30 distance code lengths, a complete
// code-length code, no repeat without a previous length or past the last
// length, a code for end-of-block, and complete literal/length and distance
// codes. In such a block every codeword decodes to a symbol that both
// decoders treat alike, so their verdicts and outputs agree. Looks at the
// block headers only (not at the compressed data); false for anything else,
// including input that ends inside a header.
bool fast_decoder_agrees(std::span<const uint8_t> in);

// The payload of `in` when it starts with one final stored block (a
// stream every decoder reads alike: its data is copied verbatim) whose
// payload lies wholly in `in`; nullopt for anything else.
std::optional<std::span<const uint8_t>> single_stored_block(std::span<const uint8_t> in);

}  // namespace zu::zip
