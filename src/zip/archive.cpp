#include "zip/archive.h"

#include <algorithm>
#include <cstring>

#include "zip/records.h"

namespace zu::zip {

namespace {

constexpr uint8_t kEocdBytes[4] = {0x50, 0x4B, 0x05, 0x06};

// Number of trailing signature bytes a chunk may begin with: the rest of a
// signature that starts in the chunk before it.
size_t split_signature_carry(const uint8_t* chunk, size_t len) {
  for (size_t carry = 3; carry >= 1; --carry) {
    if (len >= carry && std::memcmp(chunk, kEocdBytes + 4 - carry, carry) == 0) return carry;
  }
  return 0;
}

// Scans buffer[0, len) backwards for the EOCD signature.
bool scan_backwards(const uint8_t* buf, size_t len, size_t& pos) {
  if (len < 4) return false;
  for (size_t i = len - 4 + 1; i-- > 0;) {
    if (std::memcmp(buf + i, kEocdBytes, 4) == 0) {
      pos = i;
      return true;
    }
  }
  return false;
}

// Reads the window backwards in chunks of at most one buffer, carrying the
// bytes of a signature that may straddle two chunks.
Result<uint64_t> find_end_of_central_dir(const FileReader& file, uint64_t file_len,
                                         std::vector<uint8_t>& buffer, uint64_t max_search) {
  const uint64_t window = std::min(file_len, max_search);
  uint64_t remaining = window;
  uint64_t chunk_start = file_len;
  size_t carry = 0;
  uint8_t carried[3];
  for (;;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size() - carry));
    chunk_start -= len;
    remaining -= len;
    ZU_TRY(file.read_exact(chunk_start, buffer.data(), len));
    std::memcpy(buffer.data() + len, carried, carry);
    size_t pos;
    if (scan_backwards(buffer.data(), len + carry, pos)) return chunk_start + pos;
    if (remaining == 0) return ZuError::zip(zip_text::missing_end_of_central_directory());
    carry = split_signature_carry(buffer.data(), len + carry);
    std::memcpy(carried, buffer.data(), carry);
  }
}

// What the reader uses of the end-of-central-directory record.
struct EocdFields {
  uint16_t entries_this_disk;
  uint32_t cd_size;
  uint32_t cd_offset;
};

Result<EocdFields> read_eocd(const FileReader& file, uint64_t eocd_offset) {
  uint8_t rec[kEocdSize];
  ZU_TRY_ASSIGN(const size_t got, file.read_up_to(eocd_offset, rec, sizeof rec));
  if (got < kEocdSize) return ZuError::zip(zip_text::unexpected_eof());
  ReadBuf b(rec, sizeof rec);
  const uint32_t signature = b.u32();
  if (signature != kEocdSignature) {
    return ZuError::zip(zip_text::invalid_signature(kEocdSignature, signature));
  }
  b.skip(4);  // disk numbers
  EocdFields f;
  f.entries_this_disk = b.u16();
  b.skip(2);  // total entries: the walk does not use the count
  f.cd_size = b.u32();
  f.cd_offset = b.u32();
  const uint16_t comment_length = b.u16();
  // The comment must fit in the file; bytes after it are allowed.
  if (comment_length > 0) {
    uint8_t last;
    ZU_TRY(file.read_exact(eocd_offset + kEocdSize + comment_length - 1, &last, 1));
  }
  return f;
}

struct Zip64Locator {
  uint32_t signature;
  uint64_t record_offset;  // of the zip64 end record
};

Zip64Locator parse_locator(const uint8_t (&bytes)[kZip64LocatorSize]) {
  ReadBuf b(bytes, sizeof bytes);
  Zip64Locator loc;
  loc.signature = b.u32();
  b.skip(4);  // disk of the zip64 end record
  loc.record_offset = b.u64();
  return loc;
}

Result<void> read_zip64_records(ZipArchive& a) {
  if (a.eocd_offset < kZip64LocatorSize) {
    return ZuError::zip(zip_text::missing_zip64_end_of_central_directory());
  }
  uint8_t locator[kZip64LocatorSize];
  ZU_TRY(a.file.read_exact(a.eocd_offset - kZip64LocatorSize, locator, sizeof locator));
  const Zip64Locator loc = parse_locator(locator);
  if (loc.signature != kZip64LocatorSignature) {
    return ZuError::zip(zip_text::invalid_signature(kZip64LocatorSignature, loc.signature));
  }
  uint8_t record[kZip64EocdSize];
  ZU_TRY_ASSIGN(const size_t got, a.file.read_up_to(loc.record_offset, record, sizeof record));
  if (got < kZip64EocdSize) return ZuError::zip(zip_text::unexpected_eof());
  ReadBuf b(record, sizeof record);
  const uint32_t signature = b.u32();
  if (signature != kZip64EocdSignature) {
    return ZuError::zip(zip_text::invalid_signature(kZip64EocdSignature, signature));
  }
  b.skip(8);   // size of the record
  b.skip(4);   // versions made by and needed
  b.skip(8);   // disk numbers
  b.skip(16);  // entry counts: the walk does not use them
  a.cd_size = b.u64();
  a.directory_offset = b.u64();
  a.zip64_eocd_offset = loc.record_offset;
  return {};
}

// Some writers add the zip64 end record and its locator although no field
// of the end record is saturated. The directory then ends where that record
// starts. Only a locator and record that check out, with the record after
// the recorded directory and before the locator, count; anything else is
// ignored, so such files fail as they always did.
uint64_t find_unsaturated_zip64_record(const ZipArchive& a) {
  constexpr uint64_t kNone = UINT64_MAX;
  if (a.eocd_offset < kZip64LocatorSize + kZip64EocdSize) return kNone;
  const uint64_t locator_offset = a.eocd_offset - kZip64LocatorSize;
  uint8_t locator[kZip64LocatorSize];
  Result<size_t> got = a.file.read_up_to(locator_offset, locator, sizeof locator);
  if (!got || got.value() < sizeof locator) return kNone;
  const Zip64Locator loc = parse_locator(locator);
  if (loc.signature != kZip64LocatorSignature) return kNone;
  const uint64_t record_offset = loc.record_offset;
  uint64_t directory_end;
  if (platform::add_overflow(a.directory_offset, a.cd_size, &directory_end) ||
      record_offset < directory_end || record_offset > locator_offset - kZip64EocdSize) {
    return kNone;
  }
  uint8_t record[kZip64EocdSize];
  got = a.file.read_up_to(record_offset, record, sizeof record);
  if (!got || got.value() < sizeof record) return kNone;
  if (ReadBuf(record, sizeof record).u32() != kZip64EocdSignature) return kNone;
  return record_offset;
}

// A probe failure is never an error: a wrong offset shows up later as an
// invalid signature while walking the directory.
bool has_central_header_at(const FileReader& file, uint64_t offset) {
  uint8_t rec[kCentralHeaderSize];
  Result<size_t> got = file.read_up_to(offset, rec, sizeof rec);
  if (!got || got.value() < kCentralHeaderSize) return false;
  return ReadBuf(rec, sizeof rec).u32() == kCentralHeaderSignature;
}

// Finds where the directory really starts. Archives with data prepended
// (self-extractors, concatenations) record offsets that are too small by the
// prepended length; the directory then ends right before the EOCD.
void locate_directory(ZipArchive& a, bool zip64) {
  const uint64_t recorded = a.directory_offset;
  a.base_offset = 0;
  if (has_central_header_at(a.file, recorded) || zip64) return;
  const uint64_t probe = a.eocd_offset >= a.cd_size ? a.eocd_offset - a.cd_size : 0;
  if (has_central_header_at(a.file, probe)) {
    a.directory_offset = probe;
    a.base_offset = probe > recorded ? probe - recorded : 0;
  }
}

}  // namespace

Result<ZipArchive> locate_in_file(FileReader file, std::vector<uint8_t>& buffer,
                                  uint64_t max_search_space) {
  ZU_TRY_ASSIGN(const uint64_t len, file.length());
  ZU_TRY_ASSIGN(uint64_t eocd, find_end_of_central_dir(file, len, buffer, max_search_space));
  ZU_TRY_ASSIGN(EocdFields f, read_eocd(file, eocd));

  ZipArchive a{eocd, 0, f.cd_size, f.cd_offset, 0, len, std::move(file)};
  const bool zip64 = f.entries_this_disk == kSaturated16 || f.cd_offset == kSaturated32;
  if (zip64) ZU_TRY(read_zip64_records(a));
  if (a.directory_offset > a.head_eocd_offset()) {
    return ZuError::zip(zip_text::invalid_end_of_central_directory());
  }
  locate_directory(a, zip64);
  if (!zip64) a.unsaturated_zip64_offset = find_unsaturated_zip64_record(a);
  return a;
}

}  // namespace zu::zip
