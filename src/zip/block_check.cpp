#include "zip/block_check.h"

#include <cstddef>

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

// Least-significant-bit-first reading of a byte span.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> in) : next_(in.data()), end_(in.data() + in.size()) {}

  // Makes at least `n` (at most 32) bits available; false when the input
  // ends first.
  bool need(unsigned n) {
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

// True when the lengths form a complete prefix code: every bit string is,
// or starts with, exactly one codeword. Over-subscribed, incomplete and
// empty codes are false.
bool is_complete_code(const uint8_t* lengths, size_t count, unsigned max_bits) {
  unsigned per_length[kMaxCodeBits + 1] = {};
  for (size_t i = 0; i < count; ++i) ++per_length[lengths[i]];
  int64_t left = 1;
  for (unsigned len = 1; len <= max_bits; ++len) {
    left = 2 * left - per_length[len];
    if (left < 0) return false;
  }
  return left == 0;
}

unsigned reverse_bits(unsigned code, unsigned bits) {
  unsigned r = 0;
  for (unsigned i = 0; i < bits; ++i) r |= ((code >> i) & 1u) << (bits - 1 - i);
  return r;
}

// Decoding table of a complete code-length code, indexed by the next seven
// input bits: symbol | codeword length << 8.
struct CodeLengthTable {
  uint16_t entries[1u << kCodeLengthBits];
};

void build_table(const uint8_t lengths[kCodeLengthSymbols], CodeLengthTable& table) {
  unsigned per_length[kCodeLengthBits + 1] = {};
  for (unsigned s = 0; s < kCodeLengthSymbols; ++s) ++per_length[lengths[s]];
  per_length[0] = 0;
  unsigned next_code[kCodeLengthBits + 1] = {};
  unsigned code = 0;
  for (unsigned len = 1; len <= kCodeLengthBits; ++len) {
    code = (code + per_length[len - 1]) << 1;
    next_code[len] = code;
  }
  for (unsigned s = 0; s < kCodeLengthSymbols; ++s) {
    const unsigned len = lengths[s];
    if (len == 0) continue;
    const unsigned first = reverse_bits(next_code[len]++, len);
    for (unsigned k = first; k < (1u << kCodeLengthBits); k += 1u << len) {
      table.entries[k] = static_cast<uint16_t>(s | len << 8);
    }
  }
}

// Reads the header of a dynamic block after its three type bits and
// checks it as described for fast_decoder_agrees.
bool dynamic_header_agrees(BitReader& in) {
  uint32_t hlit, hdist, hclen;
  if (!in.take(5, hlit) || !in.take(5, hdist) || !in.take(4, hclen)) return false;
  const unsigned nlen = hlit + 257, ndist = hdist + 1, ncode = hclen + 4;
  if (nlen > kMaxLitLenLengths || ndist > kMaxDistanceLengths) return false;

  uint8_t code_lengths[kCodeLengthSymbols] = {};
  for (unsigned i = 0; i < ncode; ++i) {
    uint32_t len;
    if (!in.take(3, len)) return false;
    code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(len);
  }
  if (!is_complete_code(code_lengths, kCodeLengthSymbols, kCodeLengthBits)) return false;
  CodeLengthTable table;
  build_table(code_lengths, table);

  uint8_t lengths[kMaxLitLenLengths + kMaxDistanceLengths];
  const unsigned total = nlen + ndist;
  unsigned have = 0;
  while (have < total) {
    if (!in.need(kCodeLengthBits)) return false;
    const uint16_t entry = table.entries[in.peek(kCodeLengthBits)];
    in.drop(entry >> 8);
    const unsigned symbol = entry & 0xff;
    if (symbol < 16) {
      lengths[have++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint32_t extra;
    uint8_t value = 0;
    unsigned repeat;
    if (symbol == 16) {
      if (have == 0 || !in.take(2, extra)) return false;
      value = lengths[have - 1];
      repeat = 3 + extra;
    } else if (symbol == 17) {
      if (!in.take(3, extra)) return false;
      repeat = 3 + extra;
    } else {
      if (!in.take(7, extra)) return false;
      repeat = 11 + extra;
    }
    if (repeat > total - have) return false;
    for (unsigned i = 0; i < repeat; ++i) lengths[have++] = value;
  }
  return lengths[kEndOfBlock] != 0 && is_complete_code(lengths, nlen, kMaxCodeBits) &&
         is_complete_code(lengths + nlen, ndist, kMaxCodeBits);
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

}  // namespace zu::zip
