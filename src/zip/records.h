// On-disk ZIP records: every signature and fixed size the reader uses, in
// one place, plus the little-endian reader their fields are parsed with.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/bits.h"

namespace zu::zip {

inline constexpr uint32_t kEocdSignature = 0x06054b50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr uint32_t kZip64EocdSignature = 0x06064b50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074b50;

inline constexpr size_t kEocdSize = 22;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kZip64EocdSize = 56;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kDataDescriptorReadSize = 8;

inline constexpr size_t kBufferSize = 65536;
inline constexpr uint64_t kMaxEocdSearch = 1048576;
inline constexpr size_t kInflateInputSize = 32768;

inline constexpr uint16_t kSaturated16 = 0xFFFF;
inline constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;

// A consuming little-endian reader over a byte span: each read takes its
// field off the front, so a record is parsed by reading its fields in order.
// A read that does not fit yields 0 (sub() what is left) and empties the
// reader instead of stepping outside the span; where the input may be short,
// callers check remaining() first. Over a record of fixed size the checks
// fold away and each read is one load.
class ReadBuf {
 public:
  explicit ReadBuf(std::span<const uint8_t> bytes) : p_(bytes.data()), n_(bytes.size()) {}
  ReadBuf(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  size_t remaining() const { return n_; }
  uint16_t u16() { return read<uint16_t>(); }
  uint32_t u32() { return read<uint32_t>(); }
  uint64_t u64() { return read<uint64_t>(); }
  void skip(size_t n) { (void)sub(n); }
  // The next `n` bytes, taken off the front.
  std::span<const uint8_t> sub(size_t n) {
    if (n > n_) [[unlikely]]
      n = n_;
    std::span<const uint8_t> s(p_, n);
    p_ += n;
    n_ -= n;
    return s;
  }

 private:
  template <class T>
  T read() {
    if (n_ < sizeof(T)) [[unlikely]] {
      skip(n_);
      return 0;
    }
    T v;
    std::memcpy(&v, p_, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
      v = platform::byteswap(v);
    }
    p_ += sizeof(T);
    n_ -= sizeof(T);
    return v;
  }

  const uint8_t* p_;
  size_t n_;
};

}  // namespace zu::zip
