// One member as the directory walk finds it and the member reader reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace zu::zip {

// What the reader uses of a central-directory record, after substitution
// from its zip64 extra field.
struct ZipEntry {
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint64_t local_header_offset = 0;  // base_offset already added
  uint32_t crc32 = 0;
  // Name plus extra length of the central record: the usual length of the
  // local header's variable part, so one read can cover header and data.
  uint32_t local_variable_guess = 0;
  bool has_data_descriptor = false;
};

// A ZipEntry as a directory index keeps it: 32 bytes, so that an index of
// many thousands of members stays small beside the file it describes.
class PackedEntry {
 public:
  // Trivial, so that an index's array of them is not zeroed before it is
  // filled; a default-made one is only ever assigned to.
  PackedEntry() = default;
  explicit PackedEntry(const ZipEntry& e)
      : compressed_size_(e.compressed_size),
        uncompressed_size_(e.uncompressed_size),
        local_header_offset_(e.local_header_offset),
        crc32_(e.crc32),
        // Name plus extra length is at most 2 * 0xFFFF, so bit 31 is free.
        guess_and_flag_((e.local_variable_guess & 0x7FFFFFFFu) |
                        (e.has_data_descriptor ? 0x80000000u : 0u)) {}

  ZipEntry unpack() const {
    return ZipEntry{compressed_size_,
                    uncompressed_size_,
                    local_header_offset_,
                    crc32_,
                    guess_and_flag_ & 0x7FFFFFFFu,
                    (guess_and_flag_ & 0x80000000u) != 0};
  }
  uint64_t local_header_offset() const { return local_header_offset_; }
  uint64_t uncompressed_size() const { return uncompressed_size_; }
  bool operator==(const PackedEntry&) const = default;

 private:
  uint64_t compressed_size_;
  uint64_t uncompressed_size_;
  uint64_t local_header_offset_;
  uint32_t crc32_;
  uint32_t guess_and_flag_;
};
static_assert(sizeof(PackedEntry) == 32);
static_assert(std::is_trivially_default_constructible_v<PackedEntry>);

// The entries one read goes through, in directory order, without a copy:
// those a directory walk found, or an index's packed ones (in two runs,
// one after the other), each unpacked only when it is looked at. An
// index's read of ten thousand members would otherwise first fill 400 KB
// of fresh memory with unpacked copies. A view, made implicitly where
// entries are passed: they must outlive it.
class EntryList {
 public:
  EntryList(const std::vector<ZipEntry>& entries) : plain_(entries.data()), size_(entries.size()) {}
  EntryList(std::span<const PackedEntry> entries)
      : first_(entries.data()), first_size_(entries.size()), size_(entries.size()) {}
  // The entries of `first`, then those of `second`.
  EntryList(std::span<const PackedEntry> first, std::span<const PackedEntry> second)
      : first_(first.data()),
        second_(second.data()),
        first_size_(first.size()),
        size_(first.size() + second.size()) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ZipEntry operator[](size_t i) const {
    if (plain_ != nullptr) return plain_[i];
    return i < first_size_ ? first_[i].unpack() : second_[i - first_size_].unpack();
  }

 private:
  // A walk's entries (null when there are none), or an index's in two runs.
  const ZipEntry* plain_ = nullptr;
  const PackedEntry* first_ = nullptr;
  const PackedEntry* second_ = nullptr;
  size_t first_size_ = 0;
  size_t size_ = 0;
};

}  // namespace zu::zip
