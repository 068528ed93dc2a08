// Which DEFLATE streams the whole-buffer fast decoders may take, and the
// in-house decoder for the commonest of them.
//
// libdeflate accepts a few streams that zlib refuses: literal/length symbols
// 286 and 287 and distance codes 30 and 31 in fixed-Huffman blocks, more
// than 286 literal/length or 30 distance code lengths, a code-length repeat
// that runs past the lengths, and incomplete codes (it decodes a missing
// codeword as a present one). Such streams must fail the same way in every
// build, so only streams in which none of this can occur go to libdeflate;
// every other stream is judged by zlib.
//
// Checking a dynamic block's header costs about as much as reading it
// again, so one final dynamic block (what writers make of a compressible
// trace) is decoded here instead, from the header read once for both; it
// only ever says "decoded" or "ask zlib".
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

// Decoding tables for decode_single_dynamic_block: first-level lookups of
// up to kLitLenPrimary (kDistancePrimary) bits, and room for a
// second-level table per longer codeword's prefix. About 56 KiB: keep one
// per decoder rather than on the stack.
struct DecodeTables {
  static constexpr unsigned kLitLenPrimary = 10;
  static constexpr unsigned kDistancePrimary = 8;
  // At most 286 literal/length codewords and 30 distance ones, of at most
  // 15 bits.
  uint32_t literal_length[(1u << kLitLenPrimary) + 286 * (1u << (15 - kLitLenPrimary))];
  uint32_t distance[(1u << kDistancePrimary) + 30 * (1u << (15 - kDistancePrimary))];
};

enum class SingleBlock {
  kOther,    // not one final dynamic block whose header passes zlib's rules
  kDecoded,  // decoded: `out` holds the stream's output
  kFailed,   // such a block, but its data does not decode to out.size() bytes
};

// Decodes `in` when it starts with one final dynamic-Huffman block whose
// header passes the checks of fast_decoder_agrees, reading that header
// once for both. kDecoded when the block yields exactly out.size() bytes
// (written to `out`) with every distance inside the output and no bit
// needed past the end of `in`; what follows the block is ignored, as zlib
// ignores it. kFailed otherwise: the stream may be one that zlib refuses or
// decodes to another size, which the caller then asks zlib, so this
// decoder never decides a refusal. kOther for every other stream.
SingleBlock decode_single_dynamic_block(std::span<const uint8_t> in, std::span<uint8_t> out,
                                        DecodeTables& tables);

// The payload of `in` when it starts with one final stored block (a
// stream every decoder reads alike: its data is copied verbatim) whose
// payload lies wholly in `in`; nullopt for anything else.
std::optional<std::span<const uint8_t>> single_stored_block(std::span<const uint8_t> in);

}  // namespace zu::zip
