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

// Reads the header of a dynamic block after its three type bits and
// checks it as described for fast_decoder_agrees. Takes the reader by
// value: a local copy keeps its state in registers while lengths are
// stored.
bool dynamic_header_agrees(BitReader in) {
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

  // One slot before the lengths (see kNoPrevious below), and room after
  // them for the longest repeat past the last length plus the 16 bytes
  // every step writes.
  constexpr unsigned kMaxLengths = kMaxLitLenLengths + kMaxDistanceLengths;
  uint8_t slots[1 + kMaxLengths + 138 + 16] = {};
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
  uint32_t share = 0, distance_share = 0;
  for (unsigned len = 1; len <= kMaxCodeBits; ++len) share += kShare[len] * per_value[len];
  for (unsigned i = nlen; i < total; ++i) distance_share += kShare[lengths[i]];
  return distance_share == kCodeSpace && share - distance_share == kCodeSpace;
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

std::optional<std::span<const uint8_t>> single_stored_block(std::span<const uint8_t> in) {
  // Final bit set, type stored; the rest of the first byte is padding.
  if (in.size() < 5 || (in[0] & 7) != 1) return std::nullopt;
  const size_t len = size_t{in[1]} | size_t{in[2]} << 8;
  const size_t nlen = size_t{in[3]} | size_t{in[4]} << 8;
  if (len != (~nlen & 0xffff) || in.size() - 5 < len) return std::nullopt;
  return in.subspan(5, len);
}

}  // namespace zu::zip
