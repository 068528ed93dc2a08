// On-disk ZIP record layout: every signature, fixed size and field offset
// the reader uses, in one place, plus a bounds-checked little-endian cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// EOCD field offsets.
inline constexpr size_t kEocdEntriesThisDisk = 8;
inline constexpr size_t kEocdTotalEntries = 10;
inline constexpr size_t kEocdCdSize = 12;
inline constexpr size_t kEocdCdOffset = 16;
inline constexpr size_t kEocdCommentLength = 20;

// Zip64 locator and record field offsets.
inline constexpr size_t kLocatorRecordOffset = 8;
inline constexpr size_t kZip64EntriesThisDisk = 24;
inline constexpr size_t kZip64CdSize = 40;
inline constexpr size_t kZip64CdOffset = 48;

// Central-directory header field offsets.
inline constexpr size_t kCdVersionMadeBy = 4;
inline constexpr size_t kCdVersionNeeded = 6;
inline constexpr size_t kCdFlags = 8;
inline constexpr size_t kCdMethod = 10;
inline constexpr size_t kCdModified = 12;
inline constexpr size_t kCdCrc32 = 16;
inline constexpr size_t kCdCompressedSize = 20;
inline constexpr size_t kCdUncompressedSize = 24;
inline constexpr size_t kCdNameLength = 28;
inline constexpr size_t kCdExtraLength = 30;
inline constexpr size_t kCdCommentLength = 32;
inline constexpr size_t kCdDiskStart = 34;
inline constexpr size_t kCdInternalAttrs = 36;
inline constexpr size_t kCdExternalAttrs = 38;
inline constexpr size_t kCdLocalHeaderOffset = 42;

// Local-header field offsets.
inline constexpr size_t kLocalNameLength = 26;
inline constexpr size_t kLocalExtraLength = 28;

// Little-endian reads at fixed offsets of a byte span. Callers check the
// span is long enough for the record first; the reads still refuse to step
// outside it and yield 0 instead, so a slip can never read out of bounds.
class LeView {
 public:
  explicit LeView(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  uint16_t u16(size_t at) const { return static_cast<uint16_t>(uint_at(at, 2)); }
  uint32_t u32(size_t at) const { return static_cast<uint32_t>(uint_at(at, 4)); }
  uint64_t u64(size_t at) const { return uint_at(at, 8); }

 private:
  uint64_t uint_at(size_t at, size_t width) const {
    if (at > bytes_.size() || bytes_.size() - at < width) return 0;
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;) v = (v << 8) | bytes_[at + i];
    return v;
  }

  std::span<const uint8_t> bytes_;
};

// Sequential little-endian reader for variable records (the extra field).
class LeCursor {
 public:
  explicit LeCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  bool skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }
  bool u16(uint16_t& out) { return read(out, 2); }
  bool u32(uint32_t& out) { return read(out, 4); }
  bool u64(uint64_t& out) { return read(out, 8); }
  std::span<const uint8_t> take(size_t n) {
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  template <class T>
  bool read(T& out, size_t width) {
    if (remaining() < width) return false;
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;) v = (v << 8) | bytes_[pos_ + i];
    out = static_cast<T>(v);
    pos_ += width;
    return true;
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace zu::zip
