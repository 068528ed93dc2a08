#include "zip/block_check.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "platform/bits.h"

namespace zu::zip {

namespace {

constexpr unsigned kMaxLitLenLengths = 286;
constexpr unsigned kMaxDistanceLengths = 30;
constexpr unsigned kCodeLengthSymbols = 19;
constexpr unsigned kCodeLengthBits = 7;  // longest code-length codeword
constexpr unsigned kMaxCodeBits = 15;    // longest literal/length or distance codeword
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kStored = 0;
constexpr unsigned kDynamic = 2;

// The order in which a dynamic block lists the code-length code's lengths.
constexpr uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Least-significant-bit-first reading of a byte span. Whole words are
// loaded while eight bytes are left; the bits above `count_` then already
// hold the next bytes, which a later load ORs in again unchanged.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> in) : next_(in.data()), end_(in.data() + in.size()) {}

  // Makes at least `n` (at most 56) bits available; false when the input
  // ends first.
  bool need(unsigned n) {
    if (count_ >= n) return true;
    if (end_ - next_ >= 8) {
      uint64_t word;
      std::memcpy(&word, next_, sizeof word);
      if constexpr (std::endian::native == std::endian::big) word = platform::byteswap(word);
      bits_ |= word << count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return true;
    }
    while (count_ < n) {
      if (next_ == end_) return false;
      bits_ |= uint64_t{*next_++} << count_;
      count_ += 8;
    }
    return true;
  }
  uint32_t peek(unsigned n) const {
    return static_cast<uint32_t>(bits_ & ((uint64_t{1} << n) - 1));
  }
  uint32_t peek_masked(uint32_t mask) const { return static_cast<uint32_t>(bits_) & mask; }
  void drop(unsigned n) {
    bits_ >>= n;
    count_ -= n;
  }
  bool take(unsigned n, uint32_t& value) {
    if (!need(n)) return false;
    value = peek(n);
    drop(n);
    return true;
  }

  // As need(), but past the end of the input it supplies zero bytes, which
  // it counts: consumed_padding() then says whether a bit of them was taken.
  void need_padded(unsigned n) {
    if (count_ >= n) return;
    if (end_ - next_ >= 8) {
      need(n);
      return;
    }
    while (count_ < n) {
      uint64_t byte = 0;
      if (next_ != end_) {
        byte = *next_++;
      } else {
        ++padding_;
      }
      bits_ |= byte << count_;
      count_ += 8;
    }
  }
  // Padding bytes follow every input byte, so they are all still buffered
  // unless some bit of them was dropped.
  bool consumed_padding() const { return count_ < 8 * uint64_t{padding_}; }

  // Drops the rest of the current byte, then skips `n` whole bytes; false
  // when fewer are left.
  bool skip_bytes_after_alignment(size_t n) {
    drop(count_ % 8);
    const uint8_t* at = next_ - count_ / 8;
    if (static_cast<size_t>(end_ - at) < n) return false;
    next_ = at + n;
    bits_ = 0;
    count_ = 0;
    return true;
  }

 private:
  const uint8_t* next_;
  const uint8_t* end_;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  size_t padding_ = 0;
};

// True when codeword lengths with these counts (per_length[len] codewords
// of each length 1..max_bits) form a complete prefix code: every bit string
// is, or starts with, exactly one codeword. Over-subscribed, incomplete and
// empty codes are false.
bool is_complete_code(const unsigned* per_length, unsigned max_bits) {
  int64_t left = 1;
  for (unsigned len = 1; len <= max_bits; ++len) {
    left = 2 * left - per_length[len];
    if (left < 0) return false;
  }
  return left == 0;
}

struct ReversedBytes {
  uint8_t of[256];
};
constexpr ReversedBytes make_reversed_bytes() {
  ReversedBytes r{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned v = 0;
    for (unsigned i = 0; i < 8; ++i) v |= ((b >> i) & 1u) << (7 - i);
    r.of[b] = static_cast<uint8_t>(v);
  }
  return r;
}
constexpr ReversedBytes kReversed = make_reversed_bytes();

// The low `bits` (at most 16) bits of `code` in reverse order: DEFLATE
// sends codewords most significant bit first into a stream read from the
// least significant end.
unsigned reverse_bits(unsigned code, unsigned bits) {
  const unsigned r16 = unsigned{kReversed.of[code & 0xff]} << 8 | kReversed.of[code >> 8 & 0xff];
  return r16 >> (16 - bits);
}

// Decoding table of a complete code-length code, indexed by the next
// seven input bits. Every entry says, alike for lengths and repeats, how
// to extend the list of lengths, so decoding needs no branch on the
// symbol: bits taken in all (codeword and extra bits) | codeword bits << 4
// | extra-bit mask << 8 | count base << 16 | length value << 24 |
// kRepeatPrevious.
struct CodeLengthTable {
  uint32_t entries[1u << kCodeLengthBits];
};
constexpr uint32_t kRepeatPrevious = uint32_t{1} << 28;
// The fields that make an entry a length sent as itself: no extra bits,
// a count of one, not a repeat.
constexpr uint32_t kPlainMask = uint32_t{0x7f} << 8 | uint32_t{0xff} << 16 | kRepeatPrevious;
constexpr uint32_t kPlain = uint32_t{1} << 16;

uint32_t table_entry(unsigned symbol, unsigned codeword_bits) {
  unsigned extra = 0, base = 1, value = 0;  // a length, once
  uint32_t previous = 0;
  if (symbol < 16) {
    value = symbol;
  } else if (symbol == 16) {
    extra = 2, base = 3, previous = kRepeatPrevious;  // previous, 3-6 times
  } else if (symbol == 17) {
    extra = 3, base = 3;  // zero, 3-10 times
  } else {
    extra = 7, base = 11;  // zero, 11-138 times
  }
  return (codeword_bits + extra) | codeword_bits << 4 | ((1u << extra) - 1) << 8 | base << 16 |
         value << 24 | previous;
}

void build_table(const uint8_t lengths[kCodeLengthSymbols], const unsigned* per_length,
                 CodeLengthTable& table) {
  unsigned next_code[kCodeLengthBits + 1] = {};
  unsigned code = 0;
  for (unsigned len = 1; len <= kCodeLengthBits; ++len) {
    code = (code + (len > 1 ? per_length[len - 1] : 0)) << 1;
    next_code[len] = code;
  }
  for (unsigned s = 0; s < kCodeLengthSymbols; ++s) {
    const unsigned len = lengths[s];
    if (len == 0) continue;
    const unsigned first = reverse_bits(next_code[len]++, len);
    const uint32_t entry = table_entry(s, len);
    for (unsigned k = first; k < (1u << kCodeLengthBits); k += 1u << len) {
      table.entries[k] = entry;
    }
  }
}

// 2^15 times the share of the code space a codeword of each length takes
// (nothing for length 0): a code is complete when its lengths' shares add up
// to exactly 2^15, over-subscribed when they add up to more.
constexpr uint32_t kCodeSpace = uint32_t{1} << kMaxCodeBits;
constexpr uint32_t kShare[kMaxCodeBits + 1] = {0,   16384, 8192, 4096, 2048, 1024, 512, 256,
                                               128, 64,    32,   16,   8,    4,    2,   1};

// The code lengths a dynamic block's header lists (literal/length codes'
// first, then the distance codes') and how many of each length either code
// has.
struct CodeLengths {
  // One slot before the lengths (see kNoPrevious below), and room after
  // them for the longest repeat past the last length plus the 16 bytes
  // every step writes.
  static constexpr unsigned kMaxLengths = kMaxLitLenLengths + kMaxDistanceLengths;
  uint8_t slots[1 + kMaxLengths + 138 + 16] = {};
  unsigned nlen = 0;
  unsigned ndist = 0;
  unsigned lit_per_length[kMaxCodeBits + 1] = {};
  unsigned dist_per_length[kMaxCodeBits + 1] = {};
  const uint8_t* lengths() const { return slots + 1; }
};

// Reads the header of a dynamic block after its three type bits into `h`
// and checks it as described for fast_decoder_agrees; on success `reader`
// stands after the header. Works on a local copy of the reader, which keeps
// its state in registers while lengths are stored.
bool read_dynamic_header(BitReader& reader, CodeLengths& h) {
  BitReader in = reader;
  uint32_t fields;
  if (!in.take(14, fields)) return false;
  const unsigned nlen = (fields & 31) + 257, ndist = ((fields >> 5) & 31) + 1;
  const unsigned ncode = (fields >> 10) + 4;
  if (nlen > kMaxLitLenLengths || ndist > kMaxDistanceLengths) return false;

  uint8_t code_lengths[kCodeLengthSymbols] = {};
  unsigned per_length[kCodeLengthBits + 1] = {};
  for (unsigned i = 0; i < ncode; ++i) {
    uint32_t len;
    if (!in.take(3, len)) return false;
    code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(len);
    ++per_length[len];
  }
  if (!is_complete_code(per_length, kCodeLengthBits)) return false;
  CodeLengthTable table;
  build_table(code_lengths, per_length, table);

  uint8_t* const slots = h.slots;
  uint8_t* const lengths = slots + 1;
  const unsigned total = nlen + ndist;
  unsigned have = 0;
  // The spare slot before the lengths holds a length no code has, so a
  // repeat of "the previous length" before any length counts lengths of
  // that value, which refuse the header below.
  constexpr uint8_t kNoPrevious = kMaxCodeBits + 1;
  slots[0] = kNoPrevious;
  unsigned per_value[kNoPrevious + 1] = {};
  // The longest step: a 7-bit codeword and 7 extra bits.
  constexpr unsigned kLongest = kCodeLengthBits + 7;
  while (have < total) {
    if (!in.need(kLongest)) return false;
    const uint32_t entry = table.entries[in.peek(kCodeLengthBits)];
    if ((entry & kPlainMask) == kPlain) {
      // A length sent as itself, the most common step: one byte stored.
      // The slots past the sixteen after it stay zero all the same.
      in.drop(entry & 15);
      const uint8_t value = static_cast<uint8_t>(entry >> 24 & 15);
      lengths[have++] = value;
      ++per_value[value];
      continue;
    }
    const unsigned extra = in.peek(kLongest) >> (entry >> 4 & 15) & (entry >> 8 & 0x7f);
    const unsigned count = (entry >> 16 & 0xff) + extra;
    in.drop(entry & 15);
    // slots[have] is the length before lengths[have].
    const uint8_t before = slots[have];
    const uint8_t literal = static_cast<uint8_t>(entry >> 24 & 15);
    const uint8_t value = (entry & kRepeatPrevious) != 0 ? before : literal;
    per_value[value] += count;
    // One store of sixteen copies per step. Only a run of zeros can be
    // longer, and the slots past the sixteen are still zero: no step
    // writes beyond sixteen slots past where it starts.
    const uint64_t word = uint64_t{value} * 0x0101010101010101ull;
    std::memcpy(lengths + have, &word, 8);
    std::memcpy(lengths + have + 8, &word, 8);
    have += count;
  }
  if (per_value[kNoPrevious] != 0) return false;
  if (have != total || lengths[kEndOfBlock] == 0) return false;
  // Each code's share of the code space: both must be complete.
  unsigned* const lit = h.lit_per_length;
  unsigned* const dist = h.dist_per_length;
  for (unsigned i = nlen; i < total; ++i) ++dist[lengths[i]];
  uint32_t lit_share = 0, dist_share = 0;
  for (unsigned len = 0; len <= kMaxCodeBits; ++len) {
    lit[len] = per_value[len] - dist[len];
    lit_share += kShare[len] * lit[len];
    dist_share += kShare[len] * dist[len];
  }
  if (lit_share != kCodeSpace || dist_share != kCodeSpace) return false;
  h.nlen = nlen;
  h.ndist = ndist;
  reader = in;
  return true;
}

bool dynamic_header_agrees(BitReader in) {
  CodeLengths h;
  return read_dynamic_header(in, h);
}

// ---- decoding one dynamic block ---------------------------------------------

// A decoding-table entry: bits 0-4 the codeword's length, bits 5-6 its
// kind, bits 8-12 the number of extra bits that follow it (for a link: the
// bits that index its second-level table), bits 16-31 its value (a
// literal byte, a length or distance base, or a link's table offset).
constexpr uint32_t kLiteral = 0;  // in a distance table: a distance
constexpr uint32_t kLength = 1;
constexpr uint32_t kEnd = 2;
constexpr uint32_t kLink = 3;

constexpr uint32_t entry_info(uint32_t kind, uint32_t extra, uint32_t value) {
  return kind << 5 | extra << 8 | value << 16;
}
constexpr uint32_t entry_kind(uint32_t e) { return e >> 5 & 3; }
constexpr unsigned entry_extra(uint32_t e) { return e >> 8 & 31; }
constexpr uint32_t entry_value(uint32_t e) { return e >> 16; }

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct SymbolInfo {
  uint32_t literal_length[kMaxLitLenLengths];
  uint32_t distance[kMaxDistanceLengths];
};

constexpr SymbolInfo make_symbol_info() {
  SymbolInfo info{};
  for (uint32_t s = 0; s < 256; ++s) info.literal_length[s] = entry_info(kLiteral, 0, s);
  info.literal_length[kEndOfBlock] = entry_info(kEnd, 0, 0);
  for (uint32_t s = 0; s < 29; ++s) {
    info.literal_length[257 + s] = entry_info(kLength, kLengthExtra[s], kLengthBase[s]);
  }
  for (uint32_t d = 0; d < kMaxDistanceLengths; ++d) {
    info.distance[d] = entry_info(kLiteral, kDistanceExtra[d], kDistanceBase[d]);
  }
  return info;
}
constexpr SymbolInfo kSymbolInfo = make_symbol_info();

// Fills `table` for a complete prefix code with these codeword lengths
// (`per_length[n]` of length n; `info[s]`: symbol s's entry but for its
// length). Codewords of up to `max_primary` bits are looked up at once;
// longer ones through a link to a second-level table per shared prefix,
// sized for the longest codeword. Returns the first-level index width.
//
// Symbols go in canonical order (by length, then by symbol), so each
// codeword is the previous one plus one. The first level grows by
// doubling: once the codewords of one length are in the first 2^length
// slots, copying those slots above themselves extends every shorter
// codeword to the next length, and the codewords of that length then take
// their own slots. Slots not yet taken hold leftovers that a longer
// codeword or a link overwrites: the code is complete (checked with the
// header), so in the end every slot is some symbol's or a link.
unsigned build_decode_table(const uint8_t* lengths, const unsigned* per_length, unsigned count,
                            const uint32_t* info, unsigned max_primary, uint32_t* table) {
  unsigned longest = kMaxCodeBits;
  while (longest > 1 && per_length[longest] == 0) --longest;
  // Where each length's symbols start in canonical order; those without a
  // codeword come first and are not used.
  unsigned first_of[kMaxCodeBits + 2];
  first_of[0] = 0;
  for (unsigned len = 0; len <= kMaxCodeBits; ++len) {
    first_of[len + 1] = first_of[len] + per_length[len];
  }
  uint16_t sorted[kMaxLitLenLengths];
  unsigned next_of[kMaxCodeBits + 1];
  std::copy(first_of, first_of + kMaxCodeBits + 1, next_of);
  for (unsigned s = 0; s < count; ++s) sorted[next_of[lengths[s]]++] = static_cast<uint16_t>(s);

  const unsigned primary = std::min(longest, max_primary);
  unsigned code = 0;  // the next codeword, most significant bit first
  for (unsigned len = 1; len <= primary; ++len) {
    if (len > 1) std::memcpy(table + (1u << (len - 1)), table, sizeof(uint32_t) << (len - 1));
    for (unsigned i = first_of[len]; i < first_of[len + 1]; ++i) {
      table[reverse_bits(code++, len)] = info[sorted[i]] | len;
    }
    code <<= 1;
  }

  const unsigned second = longest - primary;
  uint32_t next_free = uint32_t{1} << primary;
  unsigned prefix = ~0u;
  uint32_t* sub = nullptr;
  for (unsigned len = primary + 1; len <= longest; ++len) {
    const unsigned rest = len - primary;
    for (unsigned i = first_of[len]; i < first_of[len + 1]; ++i, ++code) {
      if (code >> rest != prefix) {  // the prefixes of canonical codewords never decrease
        prefix = code >> rest;
        table[reverse_bits(prefix, primary)] = entry_info(kLink, second, next_free);
        sub = table + next_free;
        next_free += uint32_t{1} << second;
      }
      const uint32_t entry = info[sorted[i]] | len;
      for (unsigned j = reverse_bits(code & ((1u << rest) - 1), rest); j < (1u << second);
           j += 1u << rest) {
        sub[j] = entry;
      }
    }
    code <<= 1;
  }
  return primary;
}

// The next symbol's entry, its codeword dropped (at least 15 bits
// buffered). `mask` selects the first-level index bits.
inline uint32_t decode_symbol(BitReader& in, const uint32_t* table, unsigned primary,
                              uint32_t mask) {
  uint32_t e = table[in.peek_masked(mask)];
  if (entry_kind(e) == kLink) [[unlikely]] {
    e = table[entry_value(e) + (in.peek(primary + entry_extra(e)) >> primary)];
  }
  in.drop(e & 31);
  return e;
}

// Decodes the block's data after its header into `out`; true when it ends
// with exactly out.size() bytes, every distance inside them, and no bit
// taken past the input. Reads through a local copy of `reader`: output
// bytes may alias anything, and a reader only reachable by reference would
// be reloaded from memory after every byte stored.
bool decode_block_data(const BitReader& reader, const CodeLengths& h, DecodeTables& t,
                       std::span<uint8_t> out) {
  const unsigned lit_bits =
      build_decode_table(h.lengths(), h.lit_per_length, h.nlen, kSymbolInfo.literal_length,
                         DecodeTables::kLitLenPrimary, t.literal_length);
  const unsigned dist_bits =
      build_decode_table(h.lengths() + h.nlen, h.dist_per_length, h.ndist, kSymbolInfo.distance,
                         DecodeTables::kDistancePrimary, t.distance);
  const uint32_t lit_mask = (uint32_t{1} << lit_bits) - 1;
  const uint32_t dist_mask = (uint32_t{1} << dist_bits) - 1;
  const uint32_t* const lit = t.literal_length;
  const uint32_t* const dist = t.distance;
  BitReader in = reader;
  uint8_t* const begin = out.data();
  uint8_t* const end = begin + out.size();
  uint8_t* dst = begin;
  // A codeword and its extra bits take at most 15 + 13 bits.
  constexpr unsigned kSymbolBits = 28;
  for (;;) {
    in.need_padded(kSymbolBits);
    const uint32_t e = decode_symbol(in, lit, lit_bits, lit_mask);
    if (entry_kind(e) == kLiteral) [[likely]] {
      if (dst == end) return false;
      *dst++ = static_cast<uint8_t>(entry_value(e));
      continue;
    }
    if (entry_kind(e) == kEnd) break;
    const unsigned length_extra = entry_extra(e);
    const size_t length = entry_value(e) + in.peek(length_extra);
    in.drop(length_extra);
    in.need_padded(kSymbolBits);
    const uint32_t d = decode_symbol(in, dist, dist_bits, dist_mask);
    const unsigned distance_extra = entry_extra(d);
    const size_t distance = entry_value(d) + in.peek(distance_extra);
    in.drop(distance_extra);
    if (distance > static_cast<size_t>(dst - begin) || length > static_cast<size_t>(end - dst)) {
      return false;
    }
    const uint8_t* src = dst - distance;
    if (distance >= length) {
      std::memcpy(dst, src, length);
      dst += length;
    } else {
      // The copy overlaps its source: byte by byte, as it repeats itself.
      for (uint8_t* const stop = dst + length; dst != stop;) *dst++ = *src++;
    }
  }
  return dst == end && !in.consumed_padding();
}

}  // namespace

bool fast_decoder_agrees(std::span<const uint8_t> in) {
  BitReader bits(in);
  for (;;) {
    uint32_t final_block, type;
    if (!bits.take(1, final_block) || !bits.take(2, type)) return false;
    if (type == kDynamic) return final_block == 1 && dynamic_header_agrees(bits);
    if (type != kStored) return false;
    uint32_t len, nlen;
    // The length fields start at the next byte boundary.
    if (!bits.skip_bytes_after_alignment(0) || !bits.take(16, len) || !bits.take(16, nlen) ||
        len != (~nlen & 0xffff) || !bits.skip_bytes_after_alignment(len)) {
      return false;
    }
    if (final_block == 1) return true;
  }
}

SingleBlock decode_single_dynamic_block(std::span<const uint8_t> in, std::span<uint8_t> out,
                                        DecodeTables& tables) {
  BitReader bits(in);
  uint32_t final_block, type;
  if (!bits.take(1, final_block) || !bits.take(2, type) || final_block != 1 || type != kDynamic) {
    return SingleBlock::kOther;
  }
  CodeLengths h;
  if (!read_dynamic_header(bits, h)) return SingleBlock::kOther;
  return decode_block_data(bits, h, tables, out) ? SingleBlock::kDecoded : SingleBlock::kFailed;
}

std::optional<std::span<const uint8_t>> single_stored_block(std::span<const uint8_t> in) {
  // Final bit set, type stored; the rest of the first byte is padding.
  if (in.size() < 5 || (in[0] & 7) != 1) return std::nullopt;
  const size_t len = size_t{in[1]} | size_t{in[2]} << 8;
  const size_t nlen = size_t{in[3]} | size_t{in[4]} << 8;
  if (len != (~nlen & 0xffff) || in.size() - 5 < len) return std::nullopt;
  return in.subspan(5, len);
}

}  // namespace zu::zip
